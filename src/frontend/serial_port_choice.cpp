// Opening a serial port for an update, with the help that fits what the system shows when it
// cannot be used.
#include "frontend/serial_port_choice.h"

#include <vector>

#include "frontend/text.h"

namespace frontend {

Stopped SerialPortChoice::open_named(const NamedPort& named, const Settings& settings, RunRecord& record,
                                     Dialog& dialog) {
    name_ = named.name;
    std::string detail;
    const serial::OpenStatus opened = port_.open(named.n, named.path, detail);
    if (opened != serial::OpenStatus::opened) {
        // What the person can do about it.
        const std::string device = port_.device_tried();
        const std::vector<std::string> help = port_help(serial::diagnose_port(port_.problem(), device), name_, device);
        record.set_port_help(help);
        dialog.print(port_failure_text(opened, serial::ConfigStatus::configured, name_, detail) +
                     help_text(help, settings.unattended));
        return core::Outcome::port_error;
    }
    const serial::PortInfo device = port_.opened();
    record.set_port(name_, device.path, device.identity);
    dialog.print(name_ + " connected\n");
    const serial::ConfigStatus configured = port_.configure(detail);
    if (configured != serial::ConfigStatus::configured) {
        // A port that opens and takes no setting may have nothing behind it.
        const std::vector<std::string> help =
            port_help(serial::diagnose_port(serial::PortProblem::Kind::other, port_.device_tried()), name_,
                      port_.device_tried());
        record.set_port_help(help);
        dialog.print(port_failure_text(serial::OpenStatus::opened, configured, name_, detail) +
                     help_text(help, settings.unattended));
        return core::Outcome::port_error;
    }
    // What will slow the transfers down or disturb them, said before they begin.
    std::vector<std::string> warnings;
    if (serial::modem_manager_may_probe(device.path)) warnings.push_back(modem_manager_warning(device.path));
    if (const unsigned timer = port_.latency_timer_ms(); timer > 2) {
        warnings.push_back(latency_timer_text(timer, settings.chunk));
    }
    if (!warnings.empty()) {
        record.set_port_help(warnings);
        dialog.print(help_text(warnings, false));
    }
    return std::nullopt;
}

std::string SerialPortChoice::close() {
    if (!port_.is_open()) return "";
    port_.close();
    return name_;
}

}  // namespace frontend
