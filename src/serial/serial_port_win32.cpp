// Serial port on Win32: COMn opened with CreateFileA without sharing, 115200 8N1 through the DCB,
// and the read and write timeouts that make a one-byte read wait at most 50 ms.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial_link.h"
#include "serial/serial_port.h"

namespace serial {

namespace {

HANDLE port = INVALID_HANDLE_VALUE;
std::string port_path;

// "COM4: <the system's reason>" for the extra line after a port message.
std::string reason(DWORD error) {
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

OpenStatus port_open(unsigned n, const std::string& path, std::string& detail) {
    // COM1 to COM9 open by their plain names; COM10 and above only through the device namespace.
    port_path = n == 0 ? path : n <= 9 ? "COM" + std::to_string(n) : "\\\\.\\COM" + std::to_string(n);
    port = CreateFileA(port_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port != INVALID_HANDLE_VALUE) return OpenStatus::opened;
    const DWORD error = GetLastError();
    detail = reason(error);
    return error == ERROR_FILE_NOT_FOUND ? OpenStatus::not_found : OpenStatus::other_problem;
}

PortInfo opened_port() {
    // The device the system has behind a COM name, as list_ports shows it.
    char target[512] = "";
    const std::string dos_name = port_path.rfind("\\\\.\\", 0) == 0 ? port_path.substr(4) : port_path;
    if (QueryDosDeviceA(dos_name.c_str(), target, sizeof target) == 0) return {"", port_path, ""};
    return {"", target, ""};
}

ConfigStatus port_configure(std::string& detail) {
    DCB settings = {};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings)) {
        detail = reason(GetLastError());
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
        detail = reason(GetLastError());
        return ConfigStatus::impossible_parameters;
    }
    // A read returns at once with what is buffered, or as soon as one byte arrives, or with nothing
    // after 50 ms; a write of n bytes gives up after 10 ms per byte plus 50 ms.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(port, &timeouts)) {
        detail = reason(GetLastError());
        return ConfigStatus::impossible_timeouts;
    }
    // What waits in the input now is no answer to anything we sent: a power-up glitch, or a reply
    // left from an earlier session, would be taken for the acknowledgement and put every reply after
    // it one frame late.
    PurgeComm(port, PURGE_RXCLEAR);
    return ConfigStatus::configured;
}

void port_write(const uint8_t* data, size_t length) {
    DWORD written = 0;
    WriteFile(port, data, static_cast<DWORD>(length), &written, nullptr);
}

uint16_t port_read_byte() {
    uint8_t byte = 0;
    DWORD got = 0;
    ReadFile(port, &byte, 1, &got, nullptr);
    if (got == 0) return NO_BYTE;
    // A break or a framing or parity error arrives as a byte (0x00 for a break, the reply "record
    // accepted"); the driver flags it, and a damaged reply must read as a missing one.
    DWORD errors = 0;
    if (ClearCommError(port, &errors, nullptr) && (errors & (CE_BREAK | CE_FRAME | CE_RXPARITY)) != 0) return NO_BYTE;
    return byte;
}

uint16_t port_read_waiting_byte() {
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port, &errors, &status) || status.cbInQue == 0) return NO_BYTE;
    return port_read_byte();  // returns at once: a byte is buffered
}

void port_discard_input() { PurgeComm(port, PURGE_RXCLEAR); }

void port_close() {
    if (port == INVALID_HANDLE_VALUE) return;
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
}

// The system closes the handle of a process that Ctrl+C ends; nothing of the port needs putting back.
void port_close_on_signal() {}

bool port_draining() { return false; }

bool port_is_open() { return port != INVALID_HANDLE_VALUE; }

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
