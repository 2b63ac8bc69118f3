#include "run/options.h"

#include <algorithm>
#include <string>

namespace run {

namespace {

const char USAGE[] =
    "usage: update [--port PORT]... [--eeprom | --no-eeprom] [--batch] [--log FILE]\n"
    "              [--key PUB]...\n"
    "       update --bench [--auto | --serials] --port PORT... [option]...\n"
    "       update --list-ports | --help | --version\n"
    "\n"
    "Without options the update runs interactively: press the port's number, then 'e' for the\n"
    "EEPROM or ESC, and Enter at the end.\n"
    "\n"
    "  --port PORT   open PORT instead of asking for its number: COMn (any n), or a device path\n"
    "                such as /dev/serial/by-id/... (Linux); given several times, updates every\n"
    "                port at once, up to 256 (needs --eeprom or --no-eeprom)\n"
    "  --eeprom      download and verify the EEPROM after the FLASH, without asking\n"
    "  --no-eeprom   finish after the FLASH, without asking\n"
    "  --batch       read no key at all (needs --port and --eeprom or --no-eeprom), and end\n"
    "                without \"Press Enter to exit !\"\n"
    "  --log FILE    append a record of the run to FILE: one JSON object on one line\n"
    "  --key PUB     update only from a file signed by this P-256 public key (PEM); given\n"
    "                several times, by any of them\n"
    "  --bench       a service bench: the ports are slots, keys 1 to 9 and a to z, each updating\n"
    "                a device whenever its key arms it, until q\n"
    "  --auto        with --bench: a slot is armed when its port appears, once each time\n"
    "  --serials     with --bench: a serial number typed or scanned, then Enter, arms the first\n"
    "                idle slot and goes into that device's record; the line q ends the bench\n"
    "  --list-ports  list the serial ports present, with the device behind each, and end\n"
    "  --help        this text\n"
    "  --version     the updater's version\n"
    "\n"
    "Exit status: 0 completed, 1 broken off at the port prompt, 2 update file or usage,\n"
    "3 port, 4 device not answering or answering wrongly, 5 FLASH burning error,\n"
    "6 EEPROM differences. With several ports: 0 when every device completed, else the status\n"
    "of the first port, in the order given, that did not.\n";

// The bench's options among themselves and with the others.
bool bench_options_agree(const Options& options, std::string& error) {
    if ((options.auto_arm || options.serials) && !options.bench) error = "--auto and --serials go with --bench";
    else if (options.auto_arm && options.serials) error = "--auto and --serials exclude each other";
    else if (options.bench && options.unattended) error = "--bench is run by a person at its keys, not with --batch";
    else if (options.bench && options.ports.empty()) error = "--bench needs --port for each of its slots";
    else if (options.bench && options.eeprom == EepromChoice::ask) error = "--bench needs --eeprom or --no-eeprom";
    return error.empty();
}

}  // namespace

const char* usage() { return USAGE; }

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        if (const size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }
        const bool takes_value = name == "--port" || name == "--log" || name == "--key";
        if (has_value && !takes_value) {
            error = "option " + name + " takes no value";
            return false;
        }
        // An option in a value's place means the value is missing (an empty variable in a script):
        // "--port --batch" must not open a port named --batch.
        if (takes_value && !has_value && i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) value = argv[++i];
        if (takes_value && (value.empty() || value.rfind("--", 0) == 0)) {
            error = "option " + name + " needs a value";
            return false;
        }
        if (name == "--log" && !options.log.empty()) {
            error = "option " + name + " given twice";
            return false;
        }
        if (name == "--port" && std::find(options.ports.begin(), options.ports.end(), value) != options.ports.end()) {
            error = "port " + value + " given twice";
            return false;
        }
        if (name == "--help") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--list-ports") {
            options.list_ports = true;
        } else if (name == "--batch") {
            options.unattended = true;
        } else if (name == "--bench") {
            options.bench = true;
        } else if (name == "--auto") {
            options.auto_arm = true;
        } else if (name == "--serials") {
            options.serials = true;
        } else if (name == "--eeprom" || name == "--no-eeprom") {
            const EepromChoice choice = name == "--eeprom" ? EepromChoice::download : EepromChoice::skip;
            if (options.eeprom != EepromChoice::ask && options.eeprom != choice) {
                error = "--eeprom and --no-eeprom exclude each other";
                return false;
            }
            options.eeprom = choice;
        } else if (name == "--port") {
            if (options.ports.size() == MAX_PORTS) {
                error = "more than " + std::to_string(MAX_PORTS) + " ports: at most " + std::to_string(MAX_PORTS) +
                        " are updated at once";
                return false;
            }
            options.ports.push_back(value);
        } else if (name == "--log") {
            options.log = value;
        } else if (name == "--key") {
            options.keys.push_back(value);
        } else {
            error = (name.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + name;
            return false;
        }
    }
    if (options.unattended && (options.ports.empty() || options.eeprom == EepromChoice::ask)) {
        error = "--batch needs --port and --eeprom or --no-eeprom";
        return false;
    }
    if (options.ports.size() > 1 && options.eeprom == EepromChoice::ask) {
        error = "several ports need --eeprom or --no-eeprom";
        return false;
    }
    return bench_options_agree(options, error);
}

}  // namespace run
