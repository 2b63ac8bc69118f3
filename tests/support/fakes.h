// Stand-ins for the exit path, the console and the serial port, so that the updater's core can be
// tested in-process: the exit path throws instead of ending the process, and the port is wired to
// the simulated device's model.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "run/exit_program.h"
#include "serial/serial_port.h"

namespace fakes {

// Thrown by the fake exit_program.
struct ExitCalled {
    run::Outcome outcome;
};

struct Port {
    serial::OpenStatus open_status = serial::OpenStatus::opened;
    serial::ConfigStatus config_status = serial::ConfigStatus::configured;
    std::string detail;
    bool open = false;
    std::vector<uint8_t> wire;                 // every byte written
    std::vector<size_t> write_sizes;           // the length of each write
    std::unique_ptr<loader_sim::Device> device;  // answers what is written; none: never answers
    std::deque<uint16_t> replies;              // answers waiting to be read
    unsigned reads = 0;
};

// The port, reset to its defaults; attach a device model to make it answer.
Port& port();
void reset_port(const loader_sim::Faults* device_faults = nullptr);

// What key_waiting reports.
extern bool key_is_waiting;

}  // namespace fakes
