// The platform's serial ports: which are present, and one opened exclusively and set to 115200
// baud, 8N1, raw, as the core's Port. One implementation per platform. What a terminating signal
// must put back is kept in slots here, sized when the run starts, reached by close_ports_on_signal().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/port.h"
#include "platform/monotonic_clock.h"

namespace serial {

// A port as a person can recognise it.
struct PortInfo {
    std::string name;      // COMn
    std::string path;      // the device behind it, or on Windows its name in the Device Manager
    std::string identity;  // the USB device (product, vendor:product ids, serial), the variable
                           // that named it, or empty
    unsigned number = 0;   // n of COMn
};

// The ports present on this machine, COM1 first. On Linux, root is the folder that stands for /
// (its dev, sys and proc), so that a test can give a tree of its own; Windows asks the system.
std::vector<PortInfo> list_ports(const std::string& root = "");

// A USB serial adapter that is plugged in but has no port.
struct AdapterWithoutPort {
    uint16_t vendor = 0, product = 0;
    unsigned problem_code = 0;  // Windows: the Device Manager's problem code of its driver
};

// Why a port could not be opened, and what the system shows around it.
struct PortProblem {
    enum class Kind { none, missing, busy, denied, other } kind = Kind::none;
    std::vector<AdapterWithoutPort> adapters_without_port;
    std::string holder;  // the process that holds the port: "1234 (minicom)", where the system says
    std::string group;   // the group that owns the device, where the user may not use it
    bool no_uart = false;  // the device is an on-board serial port's name with no UART behind it
};

// What the system shows about a port of that kind of problem at device (the path tried; empty when
// no device was there), under root as for list_ports.
PortProblem diagnose_port(PortProblem::Kind kind, const std::string& device, const std::string& root = "");

// True when ModemManager runs and device is a CDC ACM modem it would probe in the middle of a
// transfer.
bool modem_manager_may_probe(const std::string& device, const std::string& root = "");

// How to make a USB serial adapter pass each reply on at once, for a person to follow.
const char* latency_advice();

// True where the port prompt needs the list beside it: the keys' numbers are not the names a
// person sees elsewhere on the system.
bool ports_listed_at_prompt();

enum class OpenStatus { opened, not_found, other_problem };
enum class ConfigStatus { configured, parameters_not_accessible, impossible_parameters, impossible_timeouts };

class SerialPort : public core::Port {
public:
    SerialPort() = default;
    ~SerialPort() override { close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens COMn (n >= 1) exclusively, or with n 0 the device named by path. not_found covers a
    // port that does not exist, has no device behind it or is held by another program. On failure,
    // detail says which device it was and the system's reason.
    OpenStatus open(unsigned n, const std::string& path, std::string& detail);

    // Sets 115200 baud, 8 data bits, no parity, one stop bit, raw bytes both ways, and discards
    // what waits in the input: it is no answer to anything sent.
    ConfigStatus configure(std::string& detail);

    // The open port: the device behind it and that device's identity, as list_ports gives them.
    PortInfo opened() const;

    bool is_open() const { return slot_ >= 0; }

    // The open adapter's latency timer in milliseconds, where the system tells it (an FTDI
    // adapter's driver setting); 0 where it does not.
    unsigned latency_timer_ms() const;

    // Why the last open failed, and the device it tried (empty when there was none).
    PortProblem::Kind problem() const { return problem_; }
    const std::string& device_tried() const { return path_; }

    core::PortStatus write(const uint8_t* data, size_t length) override;
    core::PortStatus drain(unsigned limit_ms) override;
    core::PortStatus read(unsigned timeout_ms, uint8_t& byte) override;
    void close() override;
    long long now_ms() override { return monotonic_clock::now_ms(); }

private:
    int slot_ = -1;          // this port's slot of what a signal must put back
    PortProblem::Kind problem_ = PortProblem::Kind::none;
    std::string path_;       // the device opened
    std::string variable_;   // the UPDATER_COMn that named it, if one did
};

// Makes room for count ports open at once: called when the run starts, before any port is opened
// and before any thread. Without it, a few ports have room.
void reserve_ports(size_t count);

// For a terminating signal: puts back the settings found at open (the driver's low-latency flag
// included) and closes every open port, using only async-signal-safe calls.
void close_ports_on_signal();

}  // namespace serial
