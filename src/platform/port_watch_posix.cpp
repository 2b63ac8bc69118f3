// Ports on Linux are device nodes, or links to them (/dev/serial/by-id/...): one is there while its
// path leads to something. COMn is the device named by UPDATER_COMn; without that variable it is a
// place in the list of serial devices, which moves as adapters come and go, and names no port to watch.
#include <sys/stat.h>

#include <cstdlib>

#include "platform/port_watch.h"

namespace port_watch {

namespace {

// The path a port is watched at: the path given, or the one UPDATER_COMn names; empty for none.
std::string watched_path(unsigned n, const std::string& path) {
    if (n == 0) return path;
    const char* named = std::getenv(("UPDATER_COM" + std::to_string(n)).c_str());
    return named != nullptr ? named : "";
}

}  // namespace

std::string unwatchable(unsigned n, const std::string& path) {
    if (!watched_path(n, path).empty()) return "";
    return "COM" + std::to_string(n) + " is a place in the list of serial devices, which moves as adapters come and go: "
           "name the port by its path (/dev/serial/by-id/...)";
}

bool present(unsigned n, const std::string& path) {
    struct stat info;
    const std::string watched = watched_path(n, path);
    return !watched.empty() && stat(watched.c_str(), &info) == 0;
}

}  // namespace port_watch
