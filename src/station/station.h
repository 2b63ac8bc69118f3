// The station: one process updating the devices on several ports at once, as a service bench with
// a tray of devices does. The update file is read and judged once; every port has a thread of its
// own with its own port, link, record and events, and one device failing never stops the others.
// The bench runs the same devices again and again, one slot a port, until the operator ends it.
#pragma once

#include <string>
#include <vector>

#include "frontend/flow.h"
#include "platform/record_file.h"

namespace station {

struct Plan {
    std::vector<std::string> ports;  // as given: "COMn" or a device path
    bool eeprom = false;             // write and verify the EEPROM after the FLASH
    bool unattended = false;         // no person at the console: no "Press Enter to exit !"
    bool arm_on_appearance = false;  // bench: a slot is armed when its port appears
    bool serials = false;            // bench: a line typed arms the first idle slot and names its device
};

// Updates the device on every port of the plan from the update file at path (named as shown_path)
// of this build, each device's record appended to log (nullptr: none). Shows one line per port, redrawn in place
// on a terminal, or a plain line per port and phase change, then a summary. Returns the exit
// status: 0 when every device completed, else the status of the first port, in the order given,
// that did not.
int run(const Plan& plan, const frontend::Build& build, const char* path, const char* shown_path,
        record_file::LogFile* log);

// The service bench: the plan's ports are its slots, each updating one device whenever it is armed
// (by its key, its port appearing or a serial number typed), until q ends it; the update file is
// judged once for all. Shows the slots and the totals, redrawn in place on a terminal, or plain
// lines, then a summary. Refuses to start, with one line and status 2, without a terminal on
// standard input. Returns the exit status: 0 when every device it updated completed, else the
// status of the first device, by its running number, that did not.
int run_bench(const Plan& plan, const frontend::Build& build, const char* path, const char* shown_path,
              record_file::LogFile* log);

}  // namespace station
