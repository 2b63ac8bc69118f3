// The console updater's port prompt: the ports present, the prompt, and the key that chooses.
#pragma once

#include "frontend/flow.h"
#include "frontend/serial_port_choice.h"

namespace run {

// The ports present above the prompt, the prompt, and the key: a digit opens its port, a letter
// the listed port it stands beside; any other key breaks off.
class PortPrompt : public frontend::SerialPortChoice {
public:
    frontend::Stopped open(const frontend::Settings& settings, frontend::RunRecord& record,
                           frontend::Dialog& dialog) override;
};

// Prints one line per port present, "COMn = <device> (<identity>)", or "no serial ports found".
void print_ports();

}  // namespace run
