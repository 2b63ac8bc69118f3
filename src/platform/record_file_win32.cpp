#include <windows.h>

#include "platform/record_file.h"

namespace record_file {

namespace {

HANDLE log_file = INVALID_HANDLE_VALUE;
DWORD last_error = 0;

std::string system_reason(DWORD error) {
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

}  // namespace

bool log_open(const std::string& path, std::string& reason) {
    // Append access only: the system puts every write at the file's end in one step, also when
    // other updaters append to the same file.
    // Read access only serves to look at the last byte; a file that allows appending alone is kept.
    const DWORD accesses[] = {FILE_APPEND_DATA | FILE_READ_DATA, FILE_APPEND_DATA};
    for (DWORD access : accesses) {
        log_file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log_file != INVALID_HANDLE_VALUE) return true;
        if (GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    reason = system_reason(GetLastError());
    return false;
}

bool log_append(const char* data, size_t length) {
    DWORD written = 0;
    if (log_file == INVALID_HANDLE_VALUE) return false;
    if (WriteFile(log_file, data, static_cast<DWORD>(length), &written, nullptr) && written == length) return true;
    last_error = GetLastError();
    return false;
}

bool log_ends_mid_line() {
    LARGE_INTEGER size = {};
    if (log_file == INVALID_HANDLE_VALUE || !GetFileSizeEx(log_file, &size) || size.QuadPart == 0) return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return ReadFile(log_file, &last, 1, &got, &at) && got == 1 && last != '\n';
}

std::string log_error() { return system_reason(last_error); }

void log_close() {
    if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
    log_file = INVALID_HANDLE_VALUE;
}

std::string full_path(const std::string& path) {
    char full[MAX_PATH] = "";
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : std::string();
}

std::string host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD length = sizeof name;
    return GetComputerNameA(name, &length) ? std::string(name, length) : std::string();
}

long long monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

}  // namespace record_file
