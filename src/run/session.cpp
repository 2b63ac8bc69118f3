#include "run/session.h"

#include <vector>

#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/console.h"

namespace run {

using frontend::Ending;

Session::Session(frontend::Console& run_console, record_file::LogFile* log, bool without_person)
    : console(run_console), record(log, UPDATER_VERSION), unattended(without_person) {}

namespace {

Ending open_as(Session& session, unsigned n, const std::string& path) {
    return frontend::open_port(session.port, n, path, session.port_name, session.record, session.console,
                               session.unattended);
}

// Writes the record; says so when it could not be written.
bool finish_record(Session& session, core::Outcome outcome) {
    if (session.record.finish(outcome, static_cast<int>(outcome))) return true;
    session.console.print("\n" + frontend::record_not_written_text(session.record.log_path(), session.record.error()));
    return false;
}

}  // namespace

Ending check_update_file(Session& session, const char* path, const char* shown_path) {
    session.shown_path = frontend::shown_text(shown_path);
    session.record.begin(frontend::Phase::file_check);
    const Ending ended = frontend::check_update_file(session.image, session.file, path, session.shown_path,
                                                    session.record, session.console);
    if (!ended) session.record.end_phase();
    return ended;
}

Ending choose_port(Session& session) {
    std::vector<serial::PortInfo> listed;
    if (serial::ports_listed_at_prompt()) {
        listed = serial::list_ports();
        session.console.print(frontend::port_list_text(listed) + "\n");
    }
    session.console.print(
        "Press the number of the connected COM port [1,2,3,4,5,6,7,8,9]\n"
        "to start the data transmission !\n"
        "Or press another key to break !\n\n");
    const unsigned n = frontend::port_for_key(session.console.read_key(), listed);
    if (n == 0) return core::Outcome::user_break;
    session.port_name = "COM" + std::to_string(n);
    return open_as(session, n, "");
}

Ending open_port_named(Session& session, const std::string& name) {
    const frontend::NamedPort port = frontend::named_port(name);
    session.port_name = port.name;
    return open_as(session, port.n, port.path);
}

Ending verify_image(Session& session) {
    session.record.begin(frontend::Phase::file_check);
    return frontend::image_verified(session.image, session.console, session.shown_path);
}

Ending download_flash(Session& session) {
    frontend::DeviceRun device = session.device();
    frontend::ConsoleEvents shown(session.console);
    return frontend::download_flash(device, shown);
}

Ending choose_eeprom(Session& session, EepromChoice choice) {
    if (choice == EepromChoice::skip) return core::Outcome::completed;
    if (choice == EepromChoice::download) return std::nullopt;
    session.console.print(
        "Press 'e' to download EEPROM data memory !\n\n"
        "Press ESC not to download (if old and new versions are data compatible) !\n");
    for (;;) {
        const int key = session.console.read_key();
        if (key == console::KEY_ESC || key == console::KEY_END) return core::Outcome::completed;
        if (key == 'e' || key == 'E') return std::nullopt;
    }
}

core::Outcome download_eeprom(Session& session) {
    frontend::DeviceRun device = session.device();
    frontend::ConsoleEvents shown(session.console);
    return *frontend::download_eeprom(device, shown);
}

int exit_program(Session& session, core::Outcome outcome) {
    // The record tells the status the process ends with: written now when nobody is asked for
    // Enter, else once Enter is pressed, or by the signal handler with its own status when Ctrl+C
    // ends the exit prompt.
    session.record.settle(outcome);
    if (session.unattended) finish_record(session, outcome);
    session.image.release();
    if (session.file != nullptr) {
        std::fclose(session.file);
        session.file = nullptr;
    }
    if (session.port.is_open()) {
        session.port.close();
        session.console.print(session.port_name + " disconnected\n");
    }
    if (!session.unattended) {
        frontend::wait_for_enter(session.console);
        // A record that could not be written is said, and the person gets to read it.
        if (!finish_record(session, outcome)) frontend::wait_for_enter(session.console);
    }
    console::restore();
    return static_cast<int>(outcome);
}

void print_ports() { std::fputs(frontend::port_list_text(serial::list_ports()).c_str(), stdout); }

}  // namespace run
