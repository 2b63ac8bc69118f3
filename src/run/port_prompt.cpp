#include "run/port_prompt.h"

#include <cstdio>
#include <vector>

#include "frontend/text.h"
#include "platform/serial_port.h"

namespace run {

frontend::Stopped PortPrompt::open(const frontend::Settings& settings, frontend::RunRecord& record,
                                   frontend::Dialog& dialog) {
    std::vector<serial::PortInfo> listed;
    if (serial::ports_listed_at_prompt()) {
        listed = serial::list_ports();
        dialog.print(frontend::port_list_text(listed) + "\n");
    }
    dialog.print(
        "Press the number of the connected COM port [1,2,3,4,5,6,7,8,9]\n"
        "to start the data transmission !\n"
        "Or press another key to break !\n\n");
    const unsigned n = frontend::port_for_key(dialog.read_key(), listed);
    if (n == 0) return core::Outcome::user_break;
    frontend::NamedPort named;
    named.n = n;
    named.name = "COM" + std::to_string(n);
    return open_named(named, settings, record, dialog);
}

void print_ports() { std::fputs(frontend::port_list_text(serial::list_ports()).c_str(), stdout); }

}  // namespace run
