// Runs in the emulated machine beside the updater: tells what a serial port's driver holds of the
// low-latency mode, its flag (TIOCGSERIAL) and, on a USB adapter that has one, its latency timer in
// ms, as "low_latency=on latency_timer=1". With --watch, looks every 50 ms until it is ended and
// prints each state the first time it sees it; a look opens the port and closes it again, so that
// the updater alone holds it between looks.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

std::string port_state(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct driver = {};
    const bool asked = fd >= 0 && ioctl(fd, TIOCGSERIAL, &driver) == 0;
    const int error = errno;
    if (fd >= 0) close(fd);
    if (!asked) return path + ": " + std::strerror(error);
    std::string state = std::string("low_latency=") + ((driver.flags & ASYNC_LOW_LATENCY) != 0 ? "on" : "off");
    const std::string name = path.substr(path.rfind('/') + 1);
    if (std::FILE* timer = std::fopen(("/sys/class/tty/" + name + "/device/latency_timer").c_str(), "r")) {
        unsigned ms = 0;
        if (std::fscanf(timer, "%u", &ms) == 1) state += " latency_timer=" + std::to_string(ms);
        std::fclose(timer);
    }
    return state;
}

}  // namespace

int main(int argc, char** argv) {
    const bool watch = argc == 3 && std::strcmp(argv[1], "--watch") == 0;
    if (argc != 2 && !watch) {
        std::fprintf(stderr, "usage: port_flags [--watch] /dev/ttyXXX\n");
        return 2;
    }
    if (!watch) {
        std::printf("%s\n", port_state(argv[1]).c_str());
        return 0;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::set<std::string> seen;
    for (;;) {
        if (const std::string state = port_state(argv[2]); seen.insert(state).second) std::printf("%s\n", state.c_str());
        const timespec pause = {0, 50000000};
        nanosleep(&pause, nullptr);
    }
}
