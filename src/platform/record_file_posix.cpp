#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/record_file.h"

namespace record_file {

namespace {
int log_fd = -1;
int last_error = 0;
}  // namespace

bool log_open(const std::string& path, std::string& reason) {
    // Read access too where the file allows it, to see whether the last record ends its line. A
    // FIFO is opened for writing only and without waiting: one that nobody reads would hold the run
    // before it starts. Writes then wait as usual.
    constexpr int FLAGS = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat info;
    const bool fifo = stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    log_fd = fifo ? -1 : open(path.c_str(), O_RDWR | FLAGS, 0644);
    if (log_fd < 0 && (fifo || errno == EACCES)) log_fd = open(path.c_str(), O_WRONLY | FLAGS, 0644);
    if (log_fd >= 0) {
        fcntl(log_fd, F_SETFL, fcntl(log_fd, F_GETFL) & ~O_NONBLOCK);
        return true;
    }
    reason = errno == ENXIO ? "a FIFO that no program reads" : std::strerror(errno);
    return false;
}

bool log_ends_mid_line() {
    struct stat info;
    char last = '\n';
    if (log_fd < 0 || fstat(log_fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
    return pread(log_fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

bool log_append(const char* data, size_t length) {
    if (log_fd < 0) return false;
    // O_APPEND puts the whole line at the end in one step; a regular file takes it whole.
    ssize_t written;
    do {
        written = write(log_fd, data, length);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(length)) return true;
    last_error = written < 0 ? errno : ENOSPC;
    return false;
}

std::string log_error() { return std::strerror(last_error); }

void log_close() {
    if (log_fd >= 0) close(log_fd);
    log_fd = -1;
}

std::string full_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::string host_name() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

long long monotonic_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

}  // namespace record_file
