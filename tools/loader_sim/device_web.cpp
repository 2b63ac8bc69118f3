// The simulated device for the browser: the same loader model as loader-sim, driven byte by byte
// from the stand-in serial port of the web page's tests and of `make web`. The script around it
// keeps the time; faults are loader-sim's options.
#include <emscripten.h>

#include <memory>
#include <string>

#include "device.h"
#include "faults.h"

namespace {

std::unique_ptr<loader_sim::Device> device;
loader_sim::Reply reply;
std::string error;

}  // namespace

extern "C" {

// A new device with the faults in options (loader-sim's fault options, blank-separated). 0, or -1
// when an option was not understood (sim_error tells which).
EMSCRIPTEN_KEEPALIVE int sim_start(const char* options) {
    loader_sim::Faults faults;
    if (!loader_sim::parse_fault_line(options, faults, error)) return -1;
    device = std::make_unique<loader_sim::Device>(faults);
    return 0;
}

EMSCRIPTEN_KEEPALIVE const char* sim_error() { return error.c_str(); }

// Takes one byte from the host: 0 nothing to answer, 1 an answer (see the sim_reply_ calls), 2 the
// device hangs up.
EMSCRIPTEN_KEEPALIVE int sim_receive(unsigned byte) {
    reply = {};
    return static_cast<int>(device->receive(static_cast<uint8_t>(byte), &reply));
}

// What the last byte began or ended: 0 nothing, else loader_sim::Milestone (1 FLASH started, 2 FLASH
// finished, 3 EEPROM started, 4 EEPROM finished).
EMSCRIPTEN_KEEPALIVE int sim_milestone() { return static_cast<int>(device->milestone()); }

EMSCRIPTEN_KEEPALIVE unsigned sim_reply_byte() { return reply.byte; }
EMSCRIPTEN_KEEPALIVE unsigned sim_reply_delay_ms() { return reply.extra_delay_ms; }
EMSCRIPTEN_KEEPALIVE int sim_reply_held() { return reply.held ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE int sim_reply_surplus() { return reply.surplus; }

// The period of the byte the device sends unasked from the EEPROM's start on, and the byte; 0: none.
EMSCRIPTEN_KEEPALIVE unsigned sim_heartbeat_ms() { return device->heartbeat_ms(); }
EMSCRIPTEN_KEEPALIVE unsigned sim_heartbeat_byte() { return device->heartbeat_byte(); }

// The host went away: the loader waits for a new start sequence.
EMSCRIPTEN_KEEPALIVE void sim_reset_transfer() { device->reset_transfer(); }

// What the device holds: its FLASH (64,000 bytes) and EEPROM (2,048 bytes).
EMSCRIPTEN_KEEPALIVE const uint8_t* sim_flash() { return device->flash().data(); }
EMSCRIPTEN_KEEPALIVE const uint8_t* sim_eeprom() { return device->eeprom().data(); }
EMSCRIPTEN_KEEPALIVE unsigned sim_records() { return device->records_received(); }
EMSCRIPTEN_KEEPALIVE unsigned sim_protocol_errors() { return static_cast<unsigned>(device->protocol_errors().size()); }

}  // extern "C"
