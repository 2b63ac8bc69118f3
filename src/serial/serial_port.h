// The platform's serial port, under the transport of serial_link.h. One implementation per
// platform; at most one port is open at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace serial {

// A port as a person can recognise it.
struct PortInfo {
    std::string name;      // COMn
    std::string path;      // the device behind it
    std::string identity;  // the USB device (product, vendor:product ids, serial), the variable
                           // that named it, or empty
};

// The ports present on this machine, COM1 first.
std::vector<PortInfo> list_ports();

// How to make a USB serial adapter pass each reply on at once, for a person to follow.
const char* latency_advice();

// True where the port prompt needs the list beside it: the keys' numbers are not the names a
// person sees elsewhere on the system.
bool ports_listed_at_prompt();

enum class OpenStatus { opened, not_found, other_problem };
enum class ConfigStatus { configured, parameters_not_accessible, impossible_parameters, impossible_timeouts };

// Opens COMn (n >= 1) exclusively, or with n 0 the device named by path. not_found covers a port
// that does not exist, has no device behind it or is held by another program. On failure, detail
// says which device it was and the system's reason.
OpenStatus port_open(unsigned n, const std::string& path, std::string& detail);

// The open port: the device behind it and that device's identity, as list_ports gives them.
PortInfo opened_port();

// Sets 115200 baud, 8 data bits, no parity, one stop bit, raw bytes both ways and the read timeout.
ConfigStatus port_configure(std::string& detail);

// Writes all bytes and returns once they have left the port, or after 10 ms per byte plus 50 ms.
// The outcome is not reported.
void port_write(const uint8_t* data, size_t length);

// One byte as soon as it arrives, or NO_BYTE after the read timeout without one.
uint16_t port_read_byte();

// A byte that has already arrived and not been read, or NO_BYTE; never waits.
uint16_t port_read_waiting_byte();

// Discards what has arrived and not been read.
void port_discard_input();

// Puts back the settings found at open and closes the port. No effect when it is not open.
void port_close();

// True while a port is open.
bool port_is_open();

}  // namespace serial

namespace serial {

// For a terminating signal: puts back the settings found at open (the driver's low-latency flag
// included) and closes the port, using only async-signal-safe calls.
void port_close_on_signal();

// True while port_write waits for its bytes to leave under a timer that raises SIGALRM; a SIGALRM
// then only ends that wait. Async-signal-safe.
bool port_draining();

}  // namespace serial
