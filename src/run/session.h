// The console updater's run: what one run holds, the steps that print the run's fixed text around
// the core's work, and the single exit path that releases what is held in its fixed order.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/eeprom_transfer.h"
#include "core/failure.h"
#include "core/link.h"
#include "core/reply_times.h"
#include "core/update_image.h"
#include "platform/serial_port.h"
#include "run/payload_offset.h"

namespace run {

using core::Outcome;

// What one run holds, from its acquisition to the exit path.
struct Session {
    core::UpdateImage image{PAYLOAD_OFFSET};
    std::FILE* file = nullptr;  // the update file, open from the header's check to the exit path
    std::string shown_path;     // the file as its messages name it
    serial::SerialPort port;
    core::Link link{port};
    std::string port_name;      // "COMn", or the device path the person named
    core::ReplyTimes replies;   // the FLASH replies' round trips
};

// Opens the update file at path, checks its length and its payload digest, and reads the header.
// Messages name the file as shown_path. Ends the run when the file cannot be opened (with the
// system's reason), has the wrong length, or its payload is damaged.
void read_payload_header(Session& session, const char* path, const char* shown_path);

// Opens and configures COMn (1 to 9) with its messages; ends the run when it cannot.
void open_port(Session& session, unsigned n);

// Opens the port given by name, as open_port does: "COMn" (any n from 1) as the key n would, or else
// a device path. The messages name it as given.
void open_port_named(Session& session, const std::string& name);

// Prints one line per port present, "COMn = <device> (<identity>)", or "no serial ports found".
void print_ports();

// The list of print_ports() and a blank line, on the systems where the port prompt needs them;
// returns the ports listed, whose keys the prompt takes.
std::vector<serial::PortInfo> print_ports_for_prompt();

// Shows the image's place in the file, as loaded at the header's check.
void load_image(Session& session);

// The checksum test of the 500 records: "Checksum test OK", or the checksum message and the end.
void verify_image(Session& session);

// The FLASH transfer with its progress; ends the run on a failure, with its message. After it, the
// slow-adapter advice when the replies took long.
void download_flash(Session& session);

// The EEPROM transfer with its progress and the differences found.
core::ReadBack download_eeprom(Session& session);

// From now on no key is read: the exit path asks for no Enter, and a key waiting never ends a
// read-back chunk early. For runs without a person (--batch).
void run_unattended();

// After a failure: the line of what to do next where the outcome has one, then exit_program.
[[noreturn]] void exit_after_failure(Session& session, Outcome outcome);

// Releases the image, the update file and the port in that order, asks for Enter (unless the run
// is unattended), restores the console and ends the process with the outcome as its exit status.
[[noreturn]] void exit_program(Session& session, Outcome outcome);

}  // namespace run
