// bench-reference: the least a host can do for the same transfers: write, drain, wait for the
// reply, read, over the same kind of terminal, with nothing else (no file, no console, no checks).
// Its time per round trip is the yardstick for the updater's own overhead.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

void send(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written <= 0) return;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    tcdrain(fd);
}

int reply(int fd) {
    pollfd ready = {fd, POLLIN, 0};
    uint8_t byte;
    if (poll(&ready, 1, 50) <= 0 || read(fd, &byte, 1) != 1) return -1;
    return byte;
}

long long now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

std::vector<long long> flash_round_trips_us;  // from a record having left the port to its reply

int round_trip(int fd, const uint8_t* bytes, size_t length) {
    send(fd, bytes, length);
    return reply(fd);
}

// Both transfers against the device on port; false if it did not answer as expected. low_latency:
// 1 asks the driver for low-latency mode, 0 turns it off, -1 leaves it (a pseudo terminal has none).
bool run_reference_client(const std::string& port, const std::vector<uint8_t>& flash, int low_latency) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    struct termios found, raw;
    tcgetattr(fd, &found);
    raw = found;
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    cfsetspeed(&raw, B115200);
    tcsetattr(fd, TCSANOW, &raw);
    serial_struct serial = {};
    const bool has_serial = low_latency >= 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0;
    const serial_struct serial_found = serial;
    if (has_serial) {
        serial.flags = low_latency ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }

    for (uint8_t b : {0x59, 0xD8, 0xFD, 0x00}) send(fd, &b, 1);
    if (reply(fd) < 0) return false;
    for (unsigned record = 0; record < 500; ++record) {
        uint8_t frame[129];
        uint8_t sum = 0;
        for (unsigned k = 0; k < 128; ++k) sum = static_cast<uint8_t>(sum - (frame[k] = flash[record * 128 + k]));
        frame[128] = sum;
        send(fd, frame, sizeof frame);
        const long long sent = now_us();
        if (reply(fd) != 0) return false;
        flash_round_trips_us.push_back(now_us() - sent);
    }

    for (uint8_t b : {0x00, 0xFD, 0xD8, 0x59, 0x17}) send(fd, &b, 1);
    for (uint32_t a = 0; a < 2048; ++a) {
        const uint8_t frame[5] = {1, 0, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), 0x5A};
        round_trip(fd, frame, sizeof frame);
    }
    for (uint8_t b : {0x00, 0x18}) send(fd, &b, 1);
    for (uint32_t a = 0; a < 2048; ++a) {
        const uint8_t header[4] = {1, 0, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
        const uint8_t poll_byte = 0;
        send(fd, header, sizeof header);
        round_trip(fd, &poll_byte, 1);
    }
    for (uint8_t b : {0x00, 0x00}) send(fd, &b, 1);
    if (has_serial) ioctl(fd, TIOCSSERIAL, &serial_found);
    tcsetattr(fd, TCSANOW, &found);
    close(fd);
    return true;
}

}  // namespace

// bench-reference PORT [--low-latency on|off]: runs as its own process, like the updater, so that
// neither starts warm. Prints the FLASH replies' round trips: "round trips median M p99 P max X"
// in microseconds.
int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[3] : "";
    if ((argc != 2 && argc != 4) || (argc == 4 && (std::string(argv[2]) != "--low-latency" || (mode != "on" && mode != "off")))) {
        std::fprintf(stderr, "usage: bench-reference PORT [--low-latency on|off]\n");
        return 2;
    }
    if (!run_reference_client(argv[1], test_files::flash_pattern(), mode.empty() ? -1 : mode == "on")) return 1;
    std::vector<long long> trips = flash_round_trips_us;
    std::sort(trips.begin(), trips.end());
    std::printf("round trips median %lld p99 %lld max %lld\n", trips[trips.size() / 2], trips[trips.size() * 99 / 100],
                trips.back());
    return 0;
}
