#include "platform/web_serial_port.h"

#include <emscripten.h>

namespace {

EM_ASYNC_JS(void, port_write, (const uint8_t* data, size_t length), {
    await Module.serialPort.write(HEAPU8.slice(data, data + length));
});

// A byte already received, or -1; never waits.
EM_JS(int, port_take_byte, (), { return Module.serialPort.takeByte(); });

// The next byte to arrive within timeout_ms, or -1.
EM_ASYNC_JS(int, port_wait_byte, (unsigned timeout_ms), {
    return await Module.serialPort.waitByte(timeout_ms);
});

EM_ASYNC_JS(void, port_close, (), { await Module.serialPort.close(); });

EM_JS(int, port_lost, (), { return Module.serialPort.lost ? 1 : 0; });


}  // namespace

namespace platform {

core::PortStatus WebSerialPort::status(core::PortStatus what) {
    return port_lost() != 0 ? core::PortStatus::lost : what;
}

core::PortStatus WebSerialPort::write(const uint8_t* data, size_t length) {
    port_write(data, length);
    return status(core::PortStatus::done);
}

core::PortStatus WebSerialPort::read(unsigned timeout_ms, uint8_t& byte) {
    // Only an empty buffer costs a wait on the page's promise.
    int got = port_take_byte();
    if (got < 0 && timeout_ms > 0) got = port_wait_byte(timeout_ms);
    if (got < 0) return status(core::PortStatus::timed_out);
    byte = static_cast<uint8_t>(got);
    return core::PortStatus::done;
}

void WebSerialPort::close() { port_close(); }

}  // namespace platform
