#include "run/session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/flash_transfer.h"
#include "platform/console.h"
#include "platform/file_size.h"
#include "run/console_text.h"
#include "run/run_record.h"
#include "run/shown_text.h"

namespace run {

namespace {

bool unattended = false;

// The core's events as the console shows them, and as the run record keeps them.
class ConsoleEvents : public core::Events {
public:
    explicit ConsoleEvents(Session& session) : session_(session) {}

    void flash_started() override { std::fputs(FLASH_STARTED_TEXT, stdout); }
    void flash_reply(uint32_t, unsigned round_trip_us) override {
        session_.replies.add(round_trip_us);
        run_record::flash_reply(round_trip_us);
    }
    void flash_record_accepted(uint32_t done) override {
        std::fputs(progress_text(done, static_cast<long>(done * 100u / core::FLASH_DATA_SIZE)).c_str(), stdout);
    }
    void flash_completed() override { std::fputs(FLASH_COMPLETED_TEXT, stdout); }
    void eeprom_write_started() override {
        std::fputs(EEPROM_WRITE_TEXT, stdout);
        run_record::begin(run_record::Phase::eeprom_write);
    }
    void read_back_started() override {
        std::fputs(READ_BACK_TEXT, stdout);
        run_record::begin(run_record::Phase::read_back);
    }
    void eeprom_chunk(uint32_t a, unsigned percent) override {
        std::fputs(progress_text(a, static_cast<long>(percent)).c_str(), stdout);
    }
    void read_back_difference(uint32_t a, uint16_t received, uint8_t expected) override {
        // Continues the chunk's progress text on the same line.
        std::fputs(difference_text(a, received, expected).c_str(), stdout);
        run_record::eeprom_difference(a, received == core::NO_BYTE ? -1 : received, expected);
    }
    void eeprom_finished() override { run_record::end_phase(); }
    bool stop_requested() override { return console::key_waiting(); }

private:
    Session& session_;
};

[[noreturn]] void fail(Session& session, const core::Failure& failure) {
    std::fputs(failure_text(failure, session.image.header().device_name, session.shown_path).c_str(), stdout);
    exit_after_failure(session, failure.outcome());
}

// n of "COMn" (n from 1), or 0 when name is no COM port name.
unsigned com_number(const std::string& name) {
    if (name.size() < 4 || name.size() > 8 || name.compare(0, 3, "COM") != 0 || name[3] == '0') return 0;
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

void open_as(Session& session, unsigned n, const std::string& path) {
    std::string detail;
    const serial::OpenStatus opened = session.port.open(n, path, detail);
    if (opened != serial::OpenStatus::opened) {
        std::fputs(port_failure_text(opened, serial::ConfigStatus::configured, session.port_name, detail).c_str(), stdout);
        // What the person can do about it: lines at the console, one line in a run without a person.
        const std::string device = session.port.device_tried();
        const std::vector<std::string> help =
            port_help(serial::diagnose_port(session.port.problem(), device), session.port_name, device);
        run_record::set_port_help(help);
        std::string text;
        for (const std::string& line : help) text += unattended ? line + " " : wrapped(line);
        if (unattended && !text.empty()) text.back() = '\n';
        std::fputs(text.c_str(), stdout);
        exit_program(session, Outcome::port_error);
    }
    const serial::PortInfo device = session.port.opened();
    run_record::set_port(session.port_name, device.path, device.identity);
    std::printf("%s connected\n", session.port_name.c_str());
    const serial::ConfigStatus configured = session.port.configure(detail);
    if (configured != serial::ConfigStatus::configured) {
        std::fputs(port_failure_text(serial::OpenStatus::opened, configured, session.port_name, detail).c_str(), stdout);
        exit_program(session, Outcome::port_error);
    }
    if (serial::modem_manager_may_probe(device.path)) {
        const std::string warning = modem_manager_warning(device.path);
        run_record::set_port_help({warning});
        std::fputs(wrapped(warning).c_str(), stdout);
    }
}

void wait_for_enter() {
    std::printf("\nPress Enter to exit !\n");
    for (;;) {
        const int key = console::read_key();
        if (key == console::KEY_ENTER || key == console::KEY_END) return;
    }
}

}  // namespace

void read_payload_header(Session& session, const char* path, const char* shown_path) {
    session.shown_path = shown_text(shown_path);
    // One opening, in binary mode, serves the whole run: the header, the image and the EEPROM bytes
    // all come from the same file, whatever happens to its name meanwhile.
    session.file = std::fopen(path, "rb");
    if (session.file == nullptr) {
        const int error = errno;
        std::printf("File not found: %s\n%s: %s\n", session.shown_path.c_str(), session.shown_path.c_str(),
                    shown_text(std::strerror(error)).c_str());
        exit_program(session, Outcome::file_error);
    }
    const core::Result opened = session.image.open_file(session.file, platform::query_file_size(session.file));
    // The record tells which file it was, also when its payload failed.
    if (opened && opened->fault == core::Fault::file_damaged) {
        run_record::set_update_file(session.image.length(), session.image.payload_sha256());
    }
    if (opened) fail(session, *opened);
}

void load_image(Session& session) {
    std::fputs(image_loaded_text(session.image.length(), session.shown_path, session.image.image_start()).c_str(), stdout);
}

void verify_image(Session& session) {
    if (const core::Result checked = session.image.verify()) fail(session, *checked);
    std::fputs(CHECKSUM_OK_TEXT, stdout);
}

void open_port(Session& session, unsigned n) {
    session.port_name = "COM" + std::to_string(n);
    open_as(session, n, "");
}

void open_port_named(Session& session, const std::string& name) {
    const unsigned n = com_number(name);
    session.port_name = n > 0 ? name : shown_text(name);
    open_as(session, n, name);
}

void print_ports() { std::fputs(port_list_text(serial::list_ports()).c_str(), stdout); }

std::vector<serial::PortInfo> print_ports_for_prompt() {
    if (!serial::ports_listed_at_prompt()) return {};
    const std::vector<serial::PortInfo> ports = serial::list_ports();
    std::printf("%s\n", port_list_text(ports).c_str());
    return ports;
}

void download_flash(Session& session) {
    ConsoleEvents events(session);
    session.replies.clear();
    if (const core::Result failed = core::download_flash(session.link, session.image, events)) fail(session, *failed);
    run_record::end_phase();
    const core::ReplySummary replies = session.replies.summary();
    if (replies.count > 0 && replies.median_us > core::SLOW_REPLY_US) {
        std::printf("Slow serial adapter: replies took %.1f ms (median, 4 ms at most is usual). %s\n\n",
                    replies.median_us / 1000.0, serial::latency_advice());
    }
}

core::ReadBack download_eeprom(Session& session) {
    ConsoleEvents events(session);
    return core::download_eeprom(session.link, session.image, events);
}

void exit_after_failure(Session& session, Outcome outcome) {
    if (const char* step = next_step(outcome)) {
        run_record::set_next_step(step);
        std::fputs(wrapped(step).c_str(), stdout);
    }
    exit_program(session, outcome);
}

void run_unattended() {
    unattended = true;
    console::ignore_keys();
}

void exit_program(Session& session, Outcome outcome) {
    const char* name = core::outcome_name(outcome);
    const int status = static_cast<int>(outcome);
    // The record tells the status the process ends with: written now when nobody is asked for
    // Enter, else once Enter is pressed, or by the signal handler with its own status when Ctrl+C
    // ends the exit prompt.
    run_record::settle(name);
    if (unattended) run_record::finish(name, status);
    session.image.release();
    if (session.file != nullptr) {
        std::fclose(session.file);
        session.file = nullptr;
    }
    if (session.port.is_open()) {
        session.port.close();
        std::printf("%s disconnected\n", session.port_name.c_str());
    }
    if (!unattended) {
        wait_for_enter();
        // A record that could not be written is said, and the person gets to read it.
        if (!run_record::finish(name, status)) wait_for_enter();
    }
    console::restore();
    std::exit(status);
}

}  // namespace run
