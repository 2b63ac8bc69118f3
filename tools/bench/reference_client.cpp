// bench-reference: the least a host can do for the same transfers: write, drain, wait for the
// reply, read, over the same kind of terminal, with nothing else (no file, no console, no checks).
// Its time per round trip is the yardstick for the updater's own overhead.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

int round_trip(int fd, const uint8_t* bytes, size_t length) {
    send(fd, bytes, length);
    return reply(fd);
}

// Both transfers against the device on port; false if it did not answer as expected.
bool run_reference_client(const std::string& port, const std::vector<uint8_t>& flash) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    struct termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(fd, TCSANOW, &raw);

    for (uint8_t b : {0x59, 0xD8, 0xFD, 0x00}) send(fd, &b, 1);
    if (reply(fd) < 0) return false;
    for (unsigned record = 0; record < 500; ++record) {
        uint8_t frame[129];
        uint8_t sum = 0;
        for (unsigned k = 0; k < 128; ++k) sum = static_cast<uint8_t>(sum - (frame[k] = flash[record * 128 + k]));
        frame[128] = sum;
        if (round_trip(fd, frame, sizeof frame) != 0) return false;
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
    close(fd);
    return true;
}

}  // namespace

// bench-reference PORT: runs as its own process, like the updater, so that neither starts warm.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench-reference PORT\n");
        return 2;
    }
    return run_reference_client(argv[1], test_files::flash_pattern()) ? 0 : 1;
}
