// The file behind the run record, and the host's name for it. One implementation per platform.
#pragma once

#include <cstddef>
#include <string>

namespace record_file {

// Opens path for appending (every write goes to the file's end at once), creating it when missing.
// False with the system's reason; a FIFO that nobody reads is refused, not waited for.
bool log_open(const std::string& path, std::string& reason);

// One write of length bytes at the end of the log; false (with errno or the last error set) when it
// was not written whole. Async-signal-safe.
bool log_append(const char* data, size_t length);

// True when the log's last byte is not a newline: a record before was cut short (a full disk), and
// the next must start on a line of its own. Async-signal-safe.
bool log_ends_mid_line();

// The system's reason for the last failed log_append.
std::string log_error();

void log_close();

// path as an absolute path to the file itself, links resolved; empty when the system cannot say.
std::string full_path(const std::string& path);

// This machine's name on the network.
std::string host_name();

// Milliseconds on a clock that only goes forward. Async-signal-safe.
long long monotonic_ms();

}  // namespace record_file
