// The serial port in the browser: the core's Port over the page's Web Serial port object
// (Module.serialPort in the page's script), which owns the port, its reader and its writer.
#pragma once

#include "core/port.h"

namespace platform {

class WebSerialPort : public core::Port {
public:
    // Resolves once the page's port has taken the bytes.
    void write(const uint8_t* data, size_t length) override;
    // Nothing left to wait for: a write resolves when the bytes are handed over.
    void drain(unsigned) override {}
    uint16_t read_byte(unsigned timeout_ms) override;
    void close() override;

    // True once the port went away: unplugged, or its reading failed.
    static bool lost();
};

}  // namespace platform
