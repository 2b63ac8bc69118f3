// The file behind the run records, and the host's name for them. One implementation per platform.
#pragma once

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <string>

namespace record_file {

// A log that run records are appended to, one whole line per write; several records (and several
// threads) may share one.
class LogFile {
public:
    LogFile() = default;
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens path for appending (every write goes to the file's end at once), creating it when
    // missing. False with the system's reason; a FIFO that nobody reads is refused, not waited for.
    bool open(const std::string& path, std::string& reason);

    bool is_open() const { return handle_ != CLOSED; }
    const std::string& path() const { return path_; }

    // One write of length bytes at the end of the log; false when it was not written whole.
    // Async-signal-safe.
    bool append(const char* data, size_t length);

    // Waits until a pipe has room for a record (a file always has): called before signals are held
    // for an append, so that a pipe that nobody empties does not keep a signal from ending the run.
    void wait_for_room() const;

    // The longest write that lands whole beside other writers: PIPE_BUF for a pipe or FIFO, whose
    // longer writes may be interleaved with others; 0 where any length does (a file).
    size_t whole_limit() const { return whole_limit_; }

    // True when the log's last byte is not a newline: a record before was cut short (a full
    // disk), and the next must start on a line of its own. Told by the file as it was opened and by
    // this process's own appends since, never by a look at the file's end: another thread's record
    // on its way there would look like one cut short. Async-signal-safe.
    bool ends_mid_line() const { return mid_line_.load(); }

    // The system's reason for the last failed append.
    std::string error() const;

    void close();

private:
    // Whether the open file's last byte, as it is now, is not a newline.
    bool last_byte_ends_mid_line() const;

    static constexpr intptr_t CLOSED = -1;
    intptr_t handle_ = CLOSED;  // the file descriptor, or the Windows handle
    size_t whole_limit_ = 0;
    std::atomic<bool> mid_line_{false};  // the log ends in the middle of a line
    [[maybe_unused]] unsigned long last_error_ = 0;  // the system's error code of the last failed append
    std::string path_;
};

// path as an absolute path to the file itself, links resolved; empty when the system cannot say.
std::string full_path(const std::string& path);

// This machine's name on the network.
std::string host_name();

// Sleeps for the given milliseconds. Async-signal-safe.
void sleep_ms(unsigned milliseconds);

// While it lives, the signals that end the process wait in the calling thread, so that what it
// guards is done whole before a handler runs there. Where console events come on a thread of their
// own (Windows) or nothing ends the process from outside (the page), it does nothing.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    [[maybe_unused]] alignas(8) unsigned char saved_[128];  // the thread's signal mask before, on POSIX
};

}  // namespace record_file
