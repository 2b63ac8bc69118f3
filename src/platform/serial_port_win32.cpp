// Serial port on Win32: COMn opened with CreateFileA without sharing, 115200 8N1 through the DCB,
// and the read and write timeouts that make a one-byte read wait at most 50 ms.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/link.h"
#include "platform/serial_port.h"

namespace serial {

namespace {

// The handles of the open ports, by slot.
constexpr int SLOTS = 8;
HANDLE handles[SLOTS] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                         INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};

// "COM4: <the system's reason>" for the extra line after a port message.
std::string reason(const std::string& port_path, DWORD error) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return port_path + ": " + (message.empty() ? "error " + std::to_string(error) : message);
}

}  // namespace

OpenStatus SerialPort::open(unsigned n, const std::string& path, std::string& detail) {
    close();
    // COM1 to COM9 open by their plain names; COM10 and above only through the device namespace.
    path_ = n == 0 ? path : n <= 9 ? "COM" + std::to_string(n) : "\\\\.\\COM" + std::to_string(n);
    int free_slot = 0;
    while (free_slot < SLOTS && handles[free_slot] != INVALID_HANDLE_VALUE) ++free_slot;
    if (free_slot == SLOTS) {
        detail = reason(path_, ERROR_TOO_MANY_OPEN_FILES);
        return OpenStatus::other_problem;
    }
    const HANDLE port = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        detail = reason(path_, error);
        return error == ERROR_FILE_NOT_FOUND ? OpenStatus::not_found : OpenStatus::other_problem;
    }
    handles[free_slot] = port;
    slot_ = free_slot;
    return OpenStatus::opened;
}

PortInfo SerialPort::opened() const {
    // The device the system has behind a COM name, as list_ports shows it.
    char target[512] = "";
    const std::string dos_name = path_.rfind("\\\\.\\", 0) == 0 ? path_.substr(4) : path_;
    if (QueryDosDeviceA(dos_name.c_str(), target, sizeof target) == 0) return {"", path_, ""};
    return {"", target, ""};
}

ConfigStatus SerialPort::configure(std::string& detail) {
    const HANDLE port = handles[slot_];
    DCB settings = {};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings)) {
        detail = reason(path_, GetLastError());
        return ConfigStatus::parameters_not_accessible;
    }
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    // Every byte must pass unchanged: a port found with XON/XOFF flow control would swallow the
    // device's 0x11 and 0x13 and stall on them, null stripping would drop 0x00. Hardware flow
    // control stays as found.
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fNull = FALSE;
    settings.fErrorChar = FALSE;
    settings.fAbortOnError = FALSE;
    if (!SetCommState(port, &settings)) {
        detail = reason(path_, GetLastError());
        return ConfigStatus::impossible_parameters;
    }
    // A read returns at once with what is buffered, or as soon as one byte arrives, or with nothing
    // after 50 ms; a write of n bytes gives up after 10 ms per byte plus 50 ms.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = core::READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(port, &timeouts)) {
        detail = reason(path_, GetLastError());
        return ConfigStatus::impossible_timeouts;
    }
    // What waits in the input now is no answer to anything we sent: a power-up glitch, or a reply
    // left from an earlier session, would be taken for the acknowledgement and put every reply after
    // it one frame late.
    PurgeComm(port, PURGE_RXCLEAR);
    return ConfigStatus::configured;
}

// WriteFile returns once the driver has completed the write, within the write timeouts.
void SerialPort::write(const uint8_t* data, size_t length) {
    DWORD written = 0;
    WriteFile(handles[slot_], data, static_cast<DWORD>(length), &written, nullptr);
}

void SerialPort::drain(unsigned) {}

uint16_t SerialPort::read_byte(unsigned timeout_ms) {
    const HANDLE port = handles[slot_];
    DWORD errors = 0;
    COMSTAT status = {};
    // Without waiting: only a byte that is already buffered.
    if (timeout_ms == 0 && (!ClearCommError(port, &errors, &status) || status.cbInQue == 0)) return core::NO_BYTE;
    uint8_t byte = 0;
    DWORD got = 0;
    ReadFile(port, &byte, 1, &got, nullptr);
    if (got == 0) return core::NO_BYTE;
    // A break or a framing or parity error arrives as a byte (0x00 for a break, the reply "record
    // accepted"); the driver flags it, and a damaged reply must read as a missing one.
    if (ClearCommError(port, &errors, nullptr) && (errors & (CE_BREAK | CE_FRAME | CE_RXPARITY)) != 0) return core::NO_BYTE;
    return byte;
}

void SerialPort::discard_input() { PurgeComm(handles[slot_], PURGE_RXCLEAR); }

void SerialPort::close() {
    if (slot_ < 0) return;
    CloseHandle(handles[slot_]);
    handles[slot_] = INVALID_HANDLE_VALUE;
    slot_ = -1;
}

// The system closes the handles of a process that Ctrl+C ends; nothing of a port needs putting back.
void close_ports_on_signal() {}

bool port_draining() { return false; }

const char* latency_advice() {
    return "Set its latency timer to 1 ms in its driver settings (Device Manager, the port's Properties, "
           "Port Settings, Advanced).";
}

// COMn is what Windows itself calls the port.
bool ports_listed_at_prompt() { return false; }

std::vector<PortInfo> list_ports() {
    // The system's DOS device names; the COM ports among them, by number, with the device behind.
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<std::pair<unsigned long, PortInfo>> found;
    for (DWORD at = 0; at < length && names[at] != '\0'; at += static_cast<DWORD>(std::strlen(&names[at])) + 1) {
        const char* name = &names[at];
        if (std::strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9' ||
            std::strspn(name + 3, "0123456789") != std::strlen(name + 3)) {
            continue;
        }
        char target[512] = "";
        QueryDosDeviceA(name, target, sizeof target);
        found.push_back({std::strtoul(name + 3, nullptr, 10), PortInfo{name, target, ""}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortInfo> ports;
    for (auto& entry : found) ports.push_back(entry.second);
    return ports;
}

}  // namespace serial
