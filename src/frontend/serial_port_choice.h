// The platform's serial port as the flow's port: for the front ends that open the platform's ports
// themselves, the console updater and the station.
#pragma once

#include <string>

#include "frontend/flow.h"
#include "platform/serial_port.h"

namespace frontend {

class SerialPortChoice : public PortChoice {
public:
    core::Port& port() override { return port_; }
    // Closes the port when it is open; returns its name then.
    std::string close() override;

    // The port the choice opened, or tried to.
    const serial::SerialPort& serial_port() const { return port_; }

protected:
    // Opens and configures the port named as named says: COMn (n >= 1) or, with n 0, the device at
    // its path. Says "<port> connected" and records the port; on failure says why and what the
    // person can do about it, with port_error. Warns of ModemManager where it may probe the port,
    // and of a slow latency timer.
    Stopped open_named(const NamedPort& named, const Settings& settings, RunRecord& record, Dialog& dialog);

private:
    serial::SerialPort port_;
    std::string name_;
};

// A port given by name: --port, or one of a station's ports.
class GivenPort : public SerialPortChoice {
public:
    explicit GivenPort(const std::string& given) : given_(named_port(given)) {}
    Stopped open(const Settings& settings, RunRecord& record, Dialog& dialog) override {
        return open_named(given_, settings, record, dialog);
    }
    const NamedPort& given() const { return given_; }

private:
    const NamedPort given_;
};

}  // namespace frontend
