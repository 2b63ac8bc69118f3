// The console updater's run: what one run holds, its steps around the shared ones (the file named
// on the command line, the port prompt, the EEPROM prompt), and the single exit path that releases
// what is held in its fixed order. Every step returns; only main ends the process.
#pragma once

#include <cstdio>
#include <string>

#include "core/link.h"
#include "core/update_image.h"
#include "frontend/console.h"
#include "frontend/run_record.h"
#include "frontend/steps.h"
#include "platform/serial_port.h"
#include "run/options.h"
#include "run/payload_offset.h"

namespace run {

// What one run holds, from its acquisition to the exit path.
struct Session {
    Session(frontend::Console& run_console, record_file::LogFile* log, bool without_person);

    // The device's update as the shared steps take it.
    frontend::DeviceRun device() { return {image, link, record, console, shown_path, unattended}; }

    frontend::Console& console;
    frontend::RunRecord record;
    core::UpdateImage image{PAYLOAD_OFFSET};
    std::FILE* file = nullptr;  // the update file, open from the header's check to the exit path
    std::string shown_path;     // the file as its messages name it
    serial::SerialPort port;
    core::Link link{port};
    std::string port_name;      // "COMn", or the device path the person named
    bool unattended;            // no person at the console: no key is read, help comes in one line
};

// Opens the update file at path, checks its length and its payload digest, and reads the header.
// Messages name the file as shown_path. Ends the run when the file cannot be opened (with the
// system's reason), has the wrong length, or its payload is damaged.
frontend::Ending check_update_file(Session& session, const char* path, const char* shown_path);

// The ports present above the prompt, the prompt, and the key: a digit opens its port, a letter
// the listed port it stands beside; any other key breaks off.
frontend::Ending choose_port(Session& session);

// Opens the port given by name as the key would: "COMn" (any n from 1) as the key n, or else a
// device path. The messages name it as given.
frontend::Ending open_port_named(Session& session, const std::string& name);

// Shows the image's place in the file and checks the 500 records.
frontend::Ending verify_image(Session& session);

// The FLASH transfer with its progress, then the slow-adapter advice when the replies took long.
frontend::Ending download_flash(Session& session);

// After the pause: the EEPROM prompt, unless the choice was made in advance. ESC (or the end of
// input, or --no-eeprom) finishes the run as completed; e or E goes on.
frontend::Ending choose_eeprom(Session& session, EepromChoice choice);

// The EEPROM transfer with its progress and the differences found; its outcome ends the run.
core::Outcome download_eeprom(Session& session);

// The single exit path: releases the image, the update file and the port in that order, asks for
// Enter (unless the run is unattended), writes the record and restores the console. Returns the
// exit status, the outcome's.
int exit_program(Session& session, core::Outcome outcome);

// Prints one line per port present, "COMn = <device> (<identity>)", or "no serial ports found".
void print_ports();

}  // namespace run
