// Entry of the updater: one fixed, interactive update run of the device through a COM port.
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "run/console_text.h"
#include "run/options.h"
#include "run/run_record.h"
#include "run/session.h"
#include "run/shown_text.h"

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

constexpr unsigned PAUSE_AFTER_FLASH_MS = 5000;

}  // namespace

int main(int argc, char** argv) {
    // Options first: a usage error, --help and --version open nothing.
    run::Options options;
    std::string usage_error;
    if (!run::parse_options(argc, argv, options, usage_error)) {
        std::fprintf(stderr, "update: %s (see update --help)\n", run::shown_text(usage_error).c_str());
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
    // The console and the signal handlers first: a signal from here on finds the record ready, and
    // nothing opened later takes a standard descriptor.
    console::init(run_record::finish_interrupted);
    // A record that cannot be kept stops the run before anything is opened.
    if (std::string reason; !options.log.empty() && !run_record::start(options.log, UPDATER_VERSION, reason)) {
        std::fprintf(stderr, "update: cannot write the run record to %s: %s\n", run::shown_text(options.log).c_str(),
                     run::shown_text(reason).c_str());
        return static_cast<int>(core::Outcome::file_error);
    }
    if (options.batch) run::run_unattended();
    // Argument 0 names the program's own file, which carries the payload.
    const char* shown_path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const char* path = console::own_file_path(shown_path);

    run::Session session;

    // Check the update file and read who and what it is for.
    run_record::set_update_file_path(path, shown_path);
    run_record::begin(run_record::Phase::file_check);
    run::read_payload_header(session, path, shown_path);
    const core::HeaderFields& header = session.image.header();
    run_record::set_update_file(session.image.length(), session.image.payload_sha256());
    run_record::set_header(header.device_name, header.version, header.year);
    run_record::end_phase();
    std::fputs(run::banner_text(header).c_str(), stdout);

    if (options.port.empty()) {
        // The port key: a digit opens that port, a letter the listed port it stands beside,
        // anything else breaks off.
        const std::vector<serial::PortInfo> listed = run::print_ports_for_prompt();
        std::printf(
            "Press the number of the connected COM port [1,2,3,4,5,6,7,8,9]\n"
            "to start the data transmission !\n"
            "Or press another key to break !\n\n");
        const unsigned port = run::port_for_key(console::read_key(), listed);
        if (port == 0) run::exit_program(session, core::Outcome::user_break);
        run::open_port(session, port);
    } else {
        run::open_port_named(session, options.port);
    }

    // Load the FLASH image and check every record before anything is sent.
    run_record::begin(run_record::Phase::file_check);
    run::load_image(session);
    run::verify_image(session);

    // The FLASH records, then a word on a slow adapter if the replies took long.
    run_record::begin(run_record::Phase::flash);
    run::download_flash(session);

    // Give the device time to settle, then offer the EEPROM, unless it was chosen in advance.
    console::pause_ms(PAUSE_AFTER_FLASH_MS);
    if (options.eeprom == run::EepromChoice::skip) run::exit_program(session, core::Outcome::completed);
    if (options.eeprom == run::EepromChoice::ask) {
        std::printf(
            "Press 'e' to download EEPROM data memory !\n\n"
            "Press ESC not to download (if old and new versions are data compatible) !\n");
        for (;;) {
            const int key = console::read_key();
            if (key == console::KEY_ESC || key == console::KEY_END) run::exit_program(session, core::Outcome::completed);
            if (key == 'e' || key == 'E') break;
        }
    }

    // Write the EEPROM and read it back.
    const core::ReadBack found = run::download_eeprom(session);
    run_record::eeprom_totals(found.differences, found.missing, found.skipped, found.reread);
    if (found.clean()) {
        std::fputs(run::EEPROM_COMPLETED_TEXT, stdout);
        run::exit_program(session, core::Outcome::completed);
    }
    std::fputs(run::read_back_failed_text(found).c_str(), stdout);
    run::exit_after_failure(session, found.outcome());
}
