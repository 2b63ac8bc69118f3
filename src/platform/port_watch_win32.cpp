// Ports on Windows are COM names in the system's list of devices: one is there while the system
// resolves its name, which asks nothing of the port itself.
#include <windows.h>

#include "platform/port_watch.h"

namespace port_watch {

std::string unwatchable(unsigned, const std::string&) { return ""; }

bool present(unsigned n, const std::string& path) {
    // A path given as \\.\COMn names the same device as COMn.
    std::string name = n > 0 ? "COM" + std::to_string(n) : path;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    char target[512];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

}  // namespace port_watch
