#include "fakes.h"

#include "run/console.h"
#include "serial/serial_link.h"

namespace fakes {

namespace {
Port the_port;
}

bool key_is_waiting = false;

Port& port() { return the_port; }

void reset_port(const loader_sim::Faults* device_faults) {
    serial::close_port();
    the_port = Port();
    if (device_faults != nullptr) the_port.device = std::make_unique<loader_sim::Device>(*device_faults);
}

}  // namespace fakes

namespace run {
void exit_program(Outcome outcome) { throw fakes::ExitCalled{outcome}; }
}  // namespace run

namespace console {
bool key_waiting() { return fakes::key_is_waiting; }
}  // namespace console

namespace serial {

using fakes::the_port;

// The stand-in machine has no ports of its own.
std::vector<PortInfo> list_ports() { return {}; }
bool ports_listed_at_prompt() { return false; }
const char* latency_advice() { return "Set its latency timer to 1 ms."; }
PortInfo opened_port() { return {"", "/dev/fake", ""}; }

OpenStatus port_open(unsigned, const std::string&, std::string& detail) {
    detail = the_port.detail;
    the_port.open = the_port.open_status == OpenStatus::opened;
    return the_port.open_status;
}

ConfigStatus port_configure(std::string& detail) {
    detail = the_port.detail;
    return the_port.config_status;
}

void port_write(const uint8_t* data, size_t length) {
    the_port.write_sizes.push_back(length);
    for (size_t i = 0; i < length; ++i) {
        the_port.wire.push_back(data[i]);
        loader_sim::Reply reply = {};
        if (the_port.device && the_port.device->receive(data[i], &reply) == loader_sim::Step::reply_ready) {
            the_port.replies.push_back(reply.byte);
        }
    }
}

uint16_t port_read_byte() {
    ++the_port.reads;
    if (the_port.replies.empty()) return NO_BYTE;
    const uint16_t byte = the_port.replies.front();
    the_port.replies.pop_front();
    return byte;
}

uint16_t port_read_waiting_byte() {
    if (the_port.replies.empty()) return NO_BYTE;
    const uint16_t byte = the_port.replies.front();
    the_port.replies.pop_front();
    return byte;
}

void port_discard_input() { the_port.replies.clear(); }

void port_close() { the_port.open = false; }
void port_close_on_signal() { the_port.open = false; }
bool port_is_open() { return the_port.open; }

}  // namespace serial
