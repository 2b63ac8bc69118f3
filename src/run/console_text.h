// The console's text for what the core reports: the one place where the updater's messages are
// worded, byte for byte as the person at the console has always seen them.
#pragma once

#include <string>

#include "core/failure.h"
#include "platform/serial_port.h"

namespace run {

// The message a failure ends the run with. device_name names the device in "No response";
// shown_path the update file in a read error's reason.
std::string failure_text(const core::Failure& failure, const std::string& device_name, const std::string& shown_path);

// The message of a port that could not be opened or configured, then detail (which device it was
// and the system's reason) on a line of its own. port_name is "COMn" or the path given.
std::string port_failure_text(serial::OpenStatus open, serial::ConfigStatus config, const std::string& port_name,
                              const std::string& detail);

// The progress line: "\r" and the count or address in upper-case hexadecimal, then the share in
// whole percent.
std::string progress_text(unsigned long position, long percent);

}  // namespace run
