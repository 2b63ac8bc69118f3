// The run record's file on Win32: opened for appending only, so that every write lands whole at
// its end, also beside other updaters writing to it.
#include <windows.h>

#include "platform/record_file.h"

namespace record_file {

namespace {

std::string system_reason(DWORD error) {
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

HANDLE handle_of(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool LogFile::open(const std::string& path, std::string& reason) {
    close();
    path_ = path;
    // Append access only: the system puts every write at the file's end in one step, also when
    // other updaters append to the same file.
    // Read access only serves to look at the last byte; a file that allows appending alone is kept.
    const DWORD accesses[] = {FILE_APPEND_DATA | FILE_READ_DATA, FILE_APPEND_DATA};
    for (DWORD access : accesses) {
        const HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(file);
            mid_line_ = last_byte_ends_mid_line();
            return true;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    reason = system_reason(GetLastError());
    return false;
}

bool LogFile::append(const char* data, size_t length) {
    DWORD written = 0;
    if (handle_ == CLOSED) return false;
    if (WriteFile(handle_of(handle_), data, static_cast<DWORD>(length), &written, nullptr) && written == length) {
        mid_line_ = false;  // a record ends its line
        return true;
    }
    if (written > 0) mid_line_ = true;
    last_error_ = GetLastError();
    return false;
}

bool LogFile::last_byte_ends_mid_line() const {
    LARGE_INTEGER size = {};
    if (handle_ == CLOSED || !GetFileSizeEx(handle_of(handle_), &size) || size.QuadPart == 0) return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return ReadFile(handle_of(handle_), &last, 1, &got, &at) && got == 1 && last != '\n';
}

void LogFile::wait_for_room() const {}

std::string LogFile::error() const { return system_reason(static_cast<DWORD>(last_error_)); }

void LogFile::close() {
    if (handle_ != CLOSED) CloseHandle(handle_of(handle_));
    handle_ = CLOSED;
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

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

SignalsHeld::SignalsHeld() {}

SignalsHeld::~SignalsHeld() {}

}  // namespace record_file
