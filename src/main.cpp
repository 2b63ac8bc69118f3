// Entry of the updater, where its parts are put together: one fixed, interactive update run of the
// device through a COM port; with several ports named, a station that updates them all at once;
// with --bench, a service bench that updates device after device on its ports until it is ended.
// The options are parsed, the console and its signal handlers set up, the record file opened, the
// flow built for one port or the station for several, and the console restored once, on every end.
#include <cstdio>
#include <string>

#include "frontend/dialog.h"
#include "frontend/flow.h"
#include "frontend/run_record.h"
#include "frontend/serial_port_choice.h"
#include "frontend/shown_text.h"
#include "platform/console.h"
#include "platform/record_file.h"
#include "platform/serial_port.h"
#include "run/options.h"
#include "run/payload_offset.h"
#include "run/port_prompt.h"
#include "run/trusted_keys.h"
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

// The update of the one device through the console: the port by key or as named, the EEPROM by key
// or as chosen in advance, Enter at the end unless nobody is there to press it.
int update_one(const run::Options& options, const frontend::Build& build, const char* path, const char* shown_path,
               record_file::LogFile* log) {
    frontend::TerminalDialog dialog(options.unattended);
    frontend::ConsoleEvents shown(dialog);
    frontend::RunRecord record(log, build.version);
    run::PortPrompt prompt;
    frontend::GivenPort given(options.ports.empty() ? "" : options.ports[0]);
    frontend::EepromPrompt asked;
    frontend::GivenAnswer answered(options.eeprom == run::EepromChoice::download);
    frontend::PortChoice& port = options.ports.empty() ? static_cast<frontend::PortChoice&>(prompt) : given;
    frontend::EepromQuestion& eeprom =
        options.eeprom == run::EepromChoice::ask ? static_cast<frontend::EepromQuestion&>(asked) : answered;

    frontend::Settings settings;
    settings.unattended = options.unattended;
    settings.enter_at_end = !options.unattended;
    settings.trusted_keys = build.trusted_keys;
    frontend::UpdateFile file(build.payload_offset);
    frontend::UpdateFlow flow(file, record, {dialog, shown, port, eeprom}, settings);
    return static_cast<int>(flow.end(flow.run(path, frontend::shown_text(shown_path))));
}

// Everything between the console's setup and its restoring: the record file, then the update of
// one device, the station's or the bench's.
int update(const run::Options& options, const char* argv0) {
    // The keys a file must be signed by: one that cannot be used stops the run before anything is
    // opened or written.
    core::TrustedKeys trusted_keys;
    if (std::string problem; !run::load_trusted_keys(options.keys, trusted_keys, problem)) {
        std::fprintf(stderr, "update: %s\n", problem.c_str());
        return static_cast<int>(core::Outcome::file_error);
    }
    // A record that cannot be kept stops the run before anything is opened.
    record_file::LogFile log;
    if (std::string reason; !options.log.empty() && !log.open(options.log, reason)) {
        std::fprintf(stderr, "update: cannot write the run record to %s: %s\n", frontend::shown_text(options.log).c_str(),
                     frontend::shown_text(reason).c_str());
        return static_cast<int>(core::Outcome::file_error);
    }
    // Argument 0 names the program's own file, which carries the payload.
    const char* shown_path = argv0 != nullptr ? argv0 : "";
    const char* path = console::own_file_path(shown_path);
    record_file::LogFile* record_log = log.is_open() ? &log : nullptr;
    const frontend::Build build{UPDATER_VERSION, run::PAYLOAD_OFFSET, &trusted_keys};
    if (options.ports.size() > 1 || options.bench) {
        const station::Plan plan{options.ports, options.eeprom == run::EepromChoice::download, options.unattended,
                                 options.auto_arm, options.serials};
        if (options.bench) return station::run_bench(plan, build, path, shown_path, record_log);
        return station::run(plan, build, path, shown_path, record_log);
    }
    return update_one(options, build, path, shown_path, record_log);
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
    const int status = update(options, argc > 0 ? argv[0] : nullptr);
    console::restore();
    return status;
}
