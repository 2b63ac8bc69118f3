#include "platform/web_serial_port.h"

#include "platform/serial_port.h"

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

uint16_t byte_or_none(int value) { return value < 0 ? core::NO_BYTE : static_cast<uint16_t>(value); }

}  // namespace

namespace platform {

void WebSerialPort::write(const uint8_t* data, size_t length) { port_write(data, length); }

uint16_t WebSerialPort::read_byte(unsigned timeout_ms) {
    // Only an empty buffer costs a wait on the page's promise.
    const int waiting = port_take_byte();
    if (waiting >= 0 || timeout_ms == 0) return byte_or_none(waiting);
    return byte_or_none(port_wait_byte(timeout_ms));
}

void WebSerialPort::close() { port_close(); }

bool WebSerialPort::lost() { return port_lost() != 0; }

}  // namespace platform

namespace serial {

// A page cannot reach an adapter's driver settings.
const char* latency_advice() {
    return "The browser cannot change an adapter's latency timer: set it to 1 ms in the adapter's driver settings, "
           "or update with the console updater, which asks the driver for low latency on Linux.";
}

}  // namespace serial
