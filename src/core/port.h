// The serial port as the core sees it: a few blocking calls that a front end implements over its
// platform's port (termios, Win32, the browser's Web Serial) or a test's stand-in. One object per
// port; the core never opens or configures a port, the front end hands it an open one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// What read_byte returns when no byte arrived in time.
constexpr uint16_t NO_BYTE = 0xFFFF;

class Port {
public:
    virtual ~Port() = default;

    // Hands all bytes to the port. The outcome is not reported: a lost write shows as a missing
    // reply.
    virtual void write(const uint8_t* data, size_t length) = 0;

    // Waits until the bytes written have left the port, for at most limit_ms milliseconds.
    virtual void drain(unsigned limit_ms) = 0;

    // The oldest byte received and not yet read (0 to 255) as soon as it is there, or NO_BYTE after
    // timeout_ms without one; with 0, only a byte that has already arrived, without waiting. A byte
    // that arrives late stays for the next read.
    virtual uint16_t read_byte(unsigned timeout_ms) = 0;

    // Puts back what the port was found with and closes it. No effect when it is closed.
    virtual void close() = 0;
};

}  // namespace core
