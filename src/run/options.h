// The updater's command-line options. Without any, the run is the interactive one: the port by key,
// the EEPROM by key, Enter at the end. Parsed once into a plain struct that the run flow reads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace run {

enum class EepromChoice { ask, download, skip };

// Ports updated at once, at most: each takes a thread and a descriptor (a 32-bit Windows program
// has room for the stacks of about a thousand threads, a Linux process often for 1,024 descriptors).
constexpr size_t MAX_PORTS = 256;

struct Options {
    bool help = false;
    bool version = false;
    bool list_ports = false;
    std::vector<std::string> ports;  // "COMn", or a device path on Linux; none: ask for the port key;
                                     // several: update them all at once
    EepromChoice eeprom = EepromChoice::ask;
    bool unattended = false;  // --batch: no person at the console, no key is read at all
    std::string log;     // the file each run appends its record to; empty: none
    std::vector<std::string> keys;  // --key: public key files, one of which must have signed the file
    bool bench = false;     // --bench: the ports are slots, each updating a device whenever it is armed
    bool auto_arm = false;  // --auto: a bench's slot is armed when its port appears
    bool serials = false;   // --serials: a line typed arms a bench's first idle slot and names its device
};

// Parses argv (argument 0 excluded) into options; false with a one-line error otherwise: an
// unknown option, a missing value, conflicting options, a port named twice, more than MAX_PORTS
// ports, several ports or --batch without an EEPROM choice, or --batch without --port; --bench
// without ports or an EEPROM choice, or with --batch; --auto or --serials without --bench, or both.
// --name value and --name=value are both taken.
bool parse_options(int argc, char** argv, Options& options, std::string& error);

// The text of --help.
const char* usage();

}  // namespace run
