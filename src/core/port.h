// The serial port as the core sees it: a few blocking calls that a front end implements over its
// platform's port (termios, Win32, the browser's Web Serial) or a test's stand-in. One object per
// port; the core never opens or configures a port, the front end hands it an open one. Every call
// that can fail says how it went: a port that went away (an unplugged adapter, a line hung up) is
// a returned status, and nothing on it succeeds again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// What read_byte returns when no byte arrived in time.
constexpr uint16_t NO_BYTE = 0xFFFF;

// How long a port may take to hand over and send length bytes: 10 ms a byte plus 50 ms, far more
// than the line needs at 115200 baud. A write past it has met a port that no longer sends.
constexpr unsigned write_limit_ms(size_t length) { return static_cast<unsigned>(10 * length + 50); }

// How a port call went.
enum class PortStatus {
    done,       // the bytes were handed over, had left, or a byte arrived
    timed_out,  // the time allowed passed first
    lost,       // the port went away: the device is gone or the line hung up
};

class Port {
public:
    virtual ~Port() = default;

    // Hands all bytes to the port within write_limit_ms(length); timed_out when they could not all
    // be taken in that time.
    virtual PortStatus write(const uint8_t* data, size_t length) = 0;

    // Waits until the bytes written have left the port, for at most limit_ms milliseconds.
    virtual PortStatus drain(unsigned limit_ms) = 0;

    // The oldest byte received and not yet read, in byte, as soon as it is there; timed_out after
    // timeout_ms without one; with 0, only a byte that has already arrived, without waiting. A
    // byte that arrives late stays for the next read.
    virtual PortStatus read(unsigned timeout_ms, uint8_t& byte) = 0;

    // Puts back what the port was found with and closes it. No effect when it is closed.
    virtual void close() = 0;

    // The clock the port's waits run on, in milliseconds that only go forward: how long the line
    // took to answer, or to go quiet, is measured on it.
    virtual long long now_ms() = 0;
};

}  // namespace core
