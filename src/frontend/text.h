// The front ends' text for what the core reports: the one place where the updater's messages are
// worded, byte for byte as the person at the console has always seen them.
#pragma once

#include <string>
#include <vector>

#include "core/eeprom_transfer.h"
#include "core/failure.h"
#include "core/payload.h"
#include "core/reply_times.h"
#include "core/signature.h"
#include "platform/serial_port.h"

namespace frontend {

// The run's fixed lines, as the console prints them.
constexpr char FLASH_STARTED_TEXT[] = "\nDownloading FLASH...\n";
constexpr char FLASH_COMPLETED_TEXT[] = "\nDownload of FLASH program memory successfully completed\n\n";
constexpr char EEPROM_WRITE_TEXT[] = "\nDownloading EEPROM...\n";
constexpr char READ_BACK_TEXT[] = "\nVerifying EEPROM...\n";
constexpr char EEPROM_COMPLETED_TEXT[] = "\nDownload of EEPROM data memory successfully completed\n";
constexpr char CHECKSUM_OK_TEXT[] = "Checksum test OK\n";
// A port that went away under a transfer: unplugged, or its connection failed.
constexpr char PORT_LOST_TEXT[] = "The serial port went away during the update: the adapter was unplugged, or its "
                                  "connection failed.";

// A file without the updater's payload offset mark, given to the web page, named as shown.
std::string not_an_update_file_text(const std::string& shown_path);

// A file refused for its origin: not signed by a trusted key, and why.
std::string untrusted_file_text(const core::SignatureFinding& finding);

// Who the update is for and how to get the device ready: the banner above the port prompt.
std::string banner_text(const core::HeaderFields& header);

// The lines that tell the update file was opened and its FLASH image read: its length, its name,
// where the image starts and its size.
std::string image_loaded_text(long file_length, const std::string& shown_path, long image_start);

// A read-back difference, continuing the chunk's progress text on its line.
std::string difference_text(uint32_t address, uint16_t received, uint8_t expected);

// The line after a read-back that found differences or left bytes unverified.
std::string read_back_failed_text(const core::ReadBack& found);

// The message a failure ends the run with. device_name names the device in "No response";
// shown_path the update file in a read error's reason.
std::string failure_text(const core::Failure& failure, const std::string& device_name, const std::string& shown_path);

// The message of a port that could not be opened or configured, then detail (which device it was
// and the system's reason) on a line of its own. port_name is "COMn" or the path given.
std::string port_failure_text(serial::OpenStatus open, serial::ConfigStatus config, const std::string& port_name,
                              const std::string& detail);

// The port list above the prompt and of --list-ports: "COMn = <device> (<identity>)" a line, and
// beside a port beyond COM9 the letter key that opens it; "no serial ports found" when none is.
std::string port_list_text(const std::vector<serial::PortInfo>& ports);

// The COM number a key at the port prompt opens: a digit 1 to 9 its own, a letter the listed port
// it stands beside; 0 for any other key, which breaks off.
unsigned port_for_key(int key, const std::vector<serial::PortInfo>& ports);

// What the person can do about a port that could not be used, after its message: a few paragraphs
// that fit what the system shows. port_name as the messages name it, device the path tried.
std::vector<std::string> port_help(const serial::PortProblem& problem, const std::string& port_name,
                                   const std::string& device);

// The warning before a transfer on a port that ModemManager may probe.
std::string modem_manager_warning(const std::string& device);

// The one paragraph of what to do after a transfer that failed with this outcome; nullptr for the
// outcomes that have their own advice already (or none).
const char* next_step(core::Outcome outcome);

// The same after a read-back that did not complete: for a line that kept sending, to start the
// device's loader anew.
const char* read_back_next_step(const core::ReadBack& found);

// The note after a read-back whose answers came later than a reply window: how late, at most.
std::string slow_line_text(unsigned latest_ms);

// paragraph as lines of at most 79 characters, broken between words, each ending in a newline: a
// console of 80 columns breaks a longer line wherever it reaches the edge.
std::string wrapped(const std::string& paragraph);

// Help paragraphs as lines for a console of 80 columns, or as one line for a run without a person.
std::string help_text(const std::vector<std::string>& help, bool one_line);

// The advice after a FLASH transfer whose replies took long: the adapter's latency timer, how long
// the EEPROM takes with it, chunk bytes a frame, and how to set it on this platform.
std::string slow_adapter_text(const core::ReplySummary& replies, uint16_t chunk);

// The warning before the FLASH about an adapter whose latency timer the system tells: how long the
// EEPROM takes with it, chunk bytes a frame, and how to set it on this platform.
std::string latency_timer_text(unsigned timer_ms, uint16_t chunk);

// Why the run record could not be written to the log at path, with the system's reason.
std::string record_not_written_text(const std::string& path, const std::string& reason);

// The progress line: "\r" and the count or address in upper-case hexadecimal, then the share in
// whole percent.
std::string progress_text(unsigned long position, long percent);

}  // namespace frontend
