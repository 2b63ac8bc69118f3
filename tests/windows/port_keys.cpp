// Prints the port list and the port each key opens, for the ports given as arguments (NAME=DEVICE or
// NAME=DEVICE=IDENTITY), as the updater shows them: built for both systems, so that a test holds the
// Windows program's text against the Linux one's. A test tool.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/text.h"

int main(int argc, char** argv) {
    std::vector<serial::PortInfo> ports;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t first = arg.find('='), second = arg.find('=', first + 1);
        serial::PortInfo port;
        port.name = arg.substr(0, first);
        port.path = arg.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (second != std::string::npos) port.identity = arg.substr(second + 1);
        port.number = static_cast<unsigned>(std::strtoul(port.name.c_str() + 3, nullptr, 10));
        ports.push_back(port);
    }
    std::fputs(frontend::port_list_text(ports).c_str(), stdout);
    for (const char* key = "0123456789abcdz"; *key != '\0'; ++key) {
        std::printf("%c %u\n", *key, frontend::port_for_key(*key, ports));
    }
    return 0;
}
