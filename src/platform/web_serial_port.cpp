#include "platform/web_serial_port.h"

#include <emscripten.h>

namespace {

// What the page's port returns for a read that timed out, and for a port that went away.
constexpr int TIMED_OUT = -1;
constexpr int LOST = -2;

// 0 once the port has taken the bytes, or LOST.
EM_ASYNC_JS(int, port_write, (const uint8_t* data, size_t length), {
    return await Module.serialPort.write(HEAPU8.slice(data, data + length));
});

// A byte already received, TIMED_OUT when none is there, or LOST; never waits.
EM_JS(int, port_take_byte, (), { return Module.serialPort.takeByte(); });

// The next byte to arrive within timeout_ms, TIMED_OUT, or LOST.
EM_ASYNC_JS(int, port_read, (unsigned timeout_ms), { return await Module.serialPort.read(timeout_ms); });

EM_ASYNC_JS(void, port_close, (), { await Module.serialPort.close(); });

}  // namespace

namespace platform {

core::PortStatus WebSerialPort::write(const uint8_t* data, size_t length) {
    return port_write(data, length) == LOST ? core::PortStatus::lost : core::PortStatus::done;
}

core::PortStatus WebSerialPort::read(unsigned timeout_ms, uint8_t& byte) {
    // Only an empty buffer costs a wait on the page's promise.
    int got = port_take_byte();
    if (got == TIMED_OUT && timeout_ms > 0) got = port_read(timeout_ms);
    if (got == LOST) return core::PortStatus::lost;
    if (got == TIMED_OUT) return core::PortStatus::timed_out;
    byte = static_cast<uint8_t>(got);
    return core::PortStatus::done;
}

void WebSerialPort::close() { port_close(); }

}  // namespace platform
