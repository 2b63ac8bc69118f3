// The run record's file on POSIX: O_APPEND, so that every record lands whole at its end, also beside
// other updaters writing to it.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/record_file.h"

namespace record_file {

bool LogFile::open(const std::string& path, std::string& reason) {
    close();
    path_ = path;
    whole_limit_ = 0;
    // Read access too where the file allows it, to see whether the last record ends its line. A
    // FIFO is opened for writing only and without waiting: one that nobody reads would hold the run
    // before it starts. Writes then wait as usual.
    constexpr int FLAGS = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat info;
    const bool fifo = stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    int fd = fifo ? -1 : ::open(path.c_str(), O_RDWR | FLAGS, 0644);
    if (fd < 0 && (fifo || errno == EACCES)) fd = ::open(path.c_str(), O_WRONLY | FLAGS, 0644);
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        handle_ = fd;
        // A pipe takes a write whole only up to PIPE_BUF: beyond, it may be interleaved with the
        // records of other writers.
        whole_limit_ = fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode) ? PIPE_BUF : 0;
        mid_line_ = last_byte_ends_mid_line();
        return true;
    }
    reason = errno == ENXIO ? "a FIFO that no program reads" : std::strerror(errno);
    return false;
}

bool LogFile::last_byte_ends_mid_line() const {
    const int fd = static_cast<int>(handle_);
    struct stat info;
    char last = '\n';
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
    return pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

bool LogFile::append(const char* data, size_t length) {
    const int fd = static_cast<int>(handle_);
    if (fd < 0) return false;
    // O_APPEND puts the whole line at the end in one step; a regular file takes it whole.
    ssize_t written;
    do {
        written = write(fd, data, length);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(length)) {
        mid_line_ = false;  // a record ends its line
        return true;
    }
    if (written > 0) mid_line_ = true;
    last_error_ = static_cast<unsigned long>(written < 0 ? errno : ENOSPC);
    return false;
}

void LogFile::wait_for_room() const {
    pollfd room = {static_cast<int>(handle_), POLLOUT, 0};
    while (whole_limit_ > 0 && poll(&room, 1, -1) < 0 && errno == EINTR) {
    }
}

std::string LogFile::error() const { return std::strerror(static_cast<int>(last_error_)); }

void LogFile::close() {
    if (handle_ != CLOSED) ::close(static_cast<int>(handle_));
    handle_ = CLOSED;
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

void sleep_ms(unsigned milliseconds) {
    timespec remaining = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

SignalsHeld::SignalsHeld() {
    static_assert(sizeof(sigset_t) <= sizeof saved_, "room for a signal mask");
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, reinterpret_cast<sigset_t*>(saved_));
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr); }

}  // namespace record_file
