// Entry of the updater: one fixed, interactive update run of the device through a COM port; with
// several ports named, a station that updates them all at once.
#include <cstdio>
#include <string>

#include "frontend/run_record.h"
#include "frontend/shown_text.h"
#include "frontend/text.h"
#include "platform/console.h"
#include "platform/record_file.h"
#include "platform/serial_port.h"
#include "run/options.h"
#include "run/session.h"
#include "station/station.h"

// The stub's payload offset, found by the packer in the executable itself.
#define UPDATER_STRINGIFY(x) #x
#define UPDATER_DECIMAL(x) UPDATER_STRINGIFY(x)
extern const char payload_offset_mark[];
#ifdef __ELF__
__attribute__((used, retain))  // kept through the linker's --gc-sections too
#else
__attribute__((used))
#endif
const char payload_offset_mark[] =
    "UPDATER-PAYLOAD-OFFSET=" UPDATER_DECIMAL(UPDATER_PAYLOAD_OFFSET);

namespace {

// One update, step by step: each step either lets it go on or ends it with its outcome.
core::Outcome update(run::Session& session, const run::Options& options, const char* path, const char* shown_path) {
    // Check the update file and read who and what it is for.
    if (const frontend::Ending ended = run::check_update_file(session, path, shown_path)) return *ended;
    session.console.print(frontend::banner_text(session.image.header()));

    // The port: the key pressed at the prompt, or the one named.
    const frontend::Ending opened =
        options.ports.empty() ? run::choose_port(session) : run::open_port_named(session, options.ports[0]);
    if (opened) return *opened;

    // Check every record of the FLASH image before anything is sent.
    if (const frontend::Ending ended = run::verify_image(session)) return *ended;

    // The FLASH records and the pause after them, the line watched through it; then a word on a
    // slow adapter if the replies took long.
    if (const frontend::Ending ended = run::download_flash(session)) return *ended;

    // Offer the EEPROM, unless it was chosen in advance.
    if (const frontend::Ending ended = run::choose_eeprom(session, options.eeprom)) return *ended;

    // Write the EEPROM and read it back.
    return run::download_eeprom(session);
}

}  // namespace

int main(int argc, char** argv) {
    // Options first: a usage error, --help and --version open nothing.
    run::Options options;
    std::string usage_error;
    if (!run::parse_options(argc, argv, options, usage_error)) {
        std::fprintf(stderr, "update: %s (see update --help)\n", frontend::shown_text(usage_error).c_str());
        return static_cast<int>(core::Outcome::file_error);
    }
    if (options.help || options.version) {
        std::fputs(options.help ? run::usage() : "update " UPDATER_VERSION "\n", stdout);
        return 0;
    }
    if (options.list_ports) {
        run::print_ports();
        return 0;
    }
    // Room for every port and record that a signal must reach, before anything is opened and any
    // thread runs.
    const size_t ports = options.ports.empty() ? 1 : options.ports.size();
    frontend::RunRecord::reserve(ports);
    serial::reserve_ports(ports);
    // The console and the signal handlers first: a signal from here on finds the records ready,
    // and nothing opened later takes a standard descriptor.
    console::init(frontend::RunRecord::finish_all_interrupted);
    // A record that cannot be kept stops the run before anything is opened.
    record_file::LogFile log;
    if (std::string reason; !options.log.empty() && !log.open(options.log, reason)) {
        std::fprintf(stderr, "update: cannot write the run record to %s: %s\n", frontend::shown_text(options.log).c_str(),
                     frontend::shown_text(reason).c_str());
        console::restore();
        return static_cast<int>(core::Outcome::file_error);
    }
    // Argument 0 names the program's own file, which carries the payload.
    const char* shown_path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const char* path = console::own_file_path(shown_path);
    record_file::LogFile* record_log = log.is_open() ? &log : nullptr;

    if (options.ports.size() > 1) {
        const station::Plan plan{options.ports, options.eeprom == run::EepromChoice::download, options.batch,
                                 run::PAYLOAD_OFFSET};
        return station::run(plan, path, shown_path, record_log);
    }
    frontend::TerminalConsole keys_and_text(options.batch);
    run::Session session(keys_and_text, record_log, options.batch);
    return run::exit_program(session, update(session, options, path, shown_path));
}
