// The serial port in the browser: the core's Port over the page's Web Serial port object
// (Module.serialPort in the page's script), which owns the port, its reader and its writer.
#pragma once

#include "core/port.h"

namespace platform {

class WebSerialPort : public core::Port {
public:
    // Resolves once the page's port has taken the bytes, or lost it.
    core::PortStatus write(const uint8_t* data, size_t length) override;
    // Nothing left to wait for: a write resolves when the bytes are handed over.
    core::PortStatus drain(unsigned) override { return status(core::PortStatus::done); }
    core::PortStatus read(unsigned timeout_ms, uint8_t& byte) override;
    void close() override;

private:
    // what went, or lost once the page's port went away: unplugged, or its reading failed.
    static core::PortStatus status(core::PortStatus what);
};

}  // namespace platform
