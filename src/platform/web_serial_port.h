// The serial port in the browser: the core's Port over the page's port object (Module.serialPort,
// the contract of web/port.js), Web Serial or WebUSB, which owns the port, its reader and writer.
#pragma once

#include "core/port.h"
#include "platform/monotonic_clock.h"

namespace platform {

class WebSerialPort : public core::Port {
public:
    // Resolves once the page's port has taken the bytes, or lost it.
    core::PortStatus write(const uint8_t* data, size_t length) override;
    // Nothing left to wait for: a write resolves when the bytes are handed over.
    core::PortStatus drain(unsigned) override { return core::PortStatus::done; }
    core::PortStatus read(unsigned timeout_ms, uint8_t& byte) override;
    void close() override;
    long long now_ms() override { return monotonic_clock::now_ms(); }
};

}  // namespace platform
