// Opening a serial port for an update, with the help that fits what the system shows when it
// cannot be used: for the front ends that open the platform's ports themselves.
#include <vector>

#include "frontend/steps.h"
#include "frontend/text.h"

namespace frontend {

Ending open_port(serial::SerialPort& port, unsigned n, const std::string& path, const std::string& port_name,
                 RunRecord& record, Console& console, bool one_line_help) {
    std::string detail;
    const serial::OpenStatus opened = port.open(n, path, detail);
    if (opened != serial::OpenStatus::opened) {
        // What the person can do about it.
        const std::string device = port.device_tried();
        const std::vector<std::string> help =
            port_help(serial::diagnose_port(port.problem(), device), port_name, device);
        record.set_port_help(help);
        console.print(port_failure_text(opened, serial::ConfigStatus::configured, port_name, detail) +
                      help_text(help, one_line_help));
        return core::Outcome::port_error;
    }
    const serial::PortInfo device = port.opened();
    record.set_port(port_name, device.path, device.identity);
    console.print(port_name + " connected\n");
    const serial::ConfigStatus configured = port.configure(detail);
    if (configured != serial::ConfigStatus::configured) {
        // A port that opens and takes no setting may have nothing behind it.
        const std::vector<std::string> help =
            port_help(serial::diagnose_port(serial::PortProblem::Kind::other, port.device_tried()), port_name,
                      port.device_tried());
        record.set_port_help(help);
        console.print(port_failure_text(serial::OpenStatus::opened, configured, port_name, detail) +
                      help_text(help, one_line_help));
        return core::Outcome::port_error;
    }
    // What will slow the transfers down or disturb them, said before they begin.
    std::vector<std::string> warnings;
    if (serial::modem_manager_may_probe(device.path)) warnings.push_back(modem_manager_warning(device.path));
    if (const unsigned timer = port.latency_timer_ms(); timer > 2) warnings.push_back(latency_timer_text(timer));
    if (!warnings.empty()) {
        record.set_port_help(warnings);
        console.print(help_text(warnings, false));
    }
    return std::nullopt;
}

}  // namespace frontend
