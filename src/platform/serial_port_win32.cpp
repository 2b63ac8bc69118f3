// Serial port on Win32: COMn opened with CreateFileA without sharing, 115200 8N1 through the DCB,
// and the read and write timeouts that make a one-byte read wait at most 50 ms.
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/link.h"
#include "core/usb_serial_chips.h"
#include "platform/serial_port.h"

namespace serial {

namespace {

// The handles of the open ports, by slot, each slot claimed by one port: a few, or as many as
// reserve_ports made room for.
struct Slot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::atomic<bool> claimed{false};
    DWORD read_timeout = 0;  // the read timeout the open port is set to, in milliseconds
};
struct Slots {
    Slot* slot;
    int count;
};
Slot few_slots[4];
Slots few = {few_slots, 4};
std::atomic<Slots*> slots{&few};

HANDLE handle_of(int slot) { return slots.load()->slot[slot].handle; }

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
    // Every COM port through the device namespace, which COM10 and above need and COM1 to COM9 take.
    path_ = n == 0 ? path : "\\\\.\\COM" + std::to_string(n);
    problem_ = PortProblem::Kind::other;
    Slots& table = *slots.load();
    int free_slot = 0;
    for (bool unclaimed = false; free_slot < table.count; ++free_slot, unclaimed = false) {
        if (table.slot[free_slot].claimed.compare_exchange_strong(unclaimed, true)) break;
    }
    if (free_slot == table.count) {
        detail = reason(path_, ERROR_TOO_MANY_OPEN_FILES);
        return OpenStatus::other_problem;
    }
    const HANDLE port = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        table.slot[free_slot].claimed = false;
        detail = reason(path_, error);
        // A port opened by another program is refused as access denied.
        if (error == ERROR_ACCESS_DENIED) problem_ = PortProblem::Kind::busy;
        if (error == ERROR_FILE_NOT_FOUND) problem_ = PortProblem::Kind::missing;
        return error == ERROR_FILE_NOT_FOUND ? OpenStatus::not_found : OpenStatus::other_problem;
    }
    problem_ = PortProblem::Kind::none;
    table.slot[free_slot].handle = port;
    slot_ = free_slot;
    return OpenStatus::opened;
}

PortInfo SerialPort::opened() const {
    // The device the system has behind a COM name, as list_ports shows it.
    char target[512] = "";
    const std::string dos_name = path_.rfind("\\\\.\\", 0) == 0 ? path_.substr(4) : path_;
    if (QueryDosDeviceA(dos_name.c_str(), target, sizeof target) == 0) return {"", path_, "", 0};
    return {"", target, "", 0};
}

unsigned SerialPort::latency_timer_ms() const {
    // FTDI's driver keeps each adapter's settings under Enum\FTDIBUS\<device>\<instance>\Device
    // Parameters, readable without rights: the one whose PortName is this port's has its timer.
    const std::string port_name = path_.rfind("\\\\.\\", 0) == 0 ? path_.substr(4) : path_;
    HKEY devices;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ, &devices) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD timer = 0;
    char device[256];
    for (DWORD i = 0; timer == 0; ++i) {
        DWORD length = sizeof device;
        if (RegEnumKeyExA(devices, i, device, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY instances;
        if (RegOpenKeyExA(devices, device, 0, KEY_READ, &instances) != ERROR_SUCCESS) continue;
        char instance[256];
        for (DWORD k = 0; timer == 0; ++k) {
            DWORD instance_length = sizeof instance;
            if (RegEnumKeyExA(instances, k, instance, &instance_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            HKEY parameters;
            if (RegOpenKeyExA(instances, (std::string(instance) + "\\Device Parameters").c_str(), 0, KEY_READ, &parameters) !=
                ERROR_SUCCESS) {
                continue;
            }
            char name[64] = "";
            DWORD name_size = sizeof name - 1;
            DWORD value = 0, value_size = sizeof value;
            if (RegQueryValueExA(parameters, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &name_size) ==
                    ERROR_SUCCESS &&
                port_name == name &&
                RegQueryValueExA(parameters, "LatencyTimer", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &value_size) ==
                    ERROR_SUCCESS) {
                timer = value;
            }
            RegCloseKey(parameters);
        }
        RegCloseKey(instances);
    }
    RegCloseKey(devices);
    return timer;
}

ConfigStatus SerialPort::configure(std::string& detail) {
    const HANDLE port = handle_of(slot_);
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
    timeouts.ReadTotalTimeoutConstant = slots.load()->slot[slot_].read_timeout = core::READ_TIMEOUT_MS;
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

// WriteFile returns once the driver has completed the write, within the write timeouts; it fails
// on a port whose device went away (an unplugged adapter: access denied, device removed).
core::PortStatus SerialPort::write(const uint8_t* data, size_t length) {
    DWORD written = 0;
    if (!WriteFile(handle_of(slot_), data, static_cast<DWORD>(length), &written, nullptr)) return core::PortStatus::lost;
    return written == length ? core::PortStatus::done : core::PortStatus::timed_out;
}

core::PortStatus SerialPort::drain(unsigned) { return core::PortStatus::done; }

core::PortStatus SerialPort::read(unsigned timeout_ms, uint8_t& byte) {
    const HANDLE port = handle_of(slot_);
    DWORD errors = 0;
    COMSTAT status = {};
    // Without waiting: only a byte that is already buffered.
    if (timeout_ms == 0) {
        if (!ClearCommError(port, &errors, &status)) return core::PortStatus::lost;
        if (status.cbInQue == 0) return core::PortStatus::timed_out;
    } else if (timeout_ms != slots.load()->slot[slot_].read_timeout) {
        // A wait longer than a reply window (the pause after the FLASH, a wait for quiet) sets the
        // port's read timeout for it; the next reply window sets it back.
        COMMTIMEOUTS timeouts = {};
        if (!GetCommTimeouts(port, &timeouts)) return core::PortStatus::lost;
        timeouts.ReadTotalTimeoutConstant = timeout_ms;
        if (!SetCommTimeouts(port, &timeouts)) return core::PortStatus::lost;
        slots.load()->slot[slot_].read_timeout = timeout_ms;
    }
    DWORD got = 0;
    if (!ReadFile(port, &byte, 1, &got, nullptr)) return core::PortStatus::lost;
    if (got == 0) return core::PortStatus::timed_out;
    // A break or a framing or parity error arrives as a byte (0x00 for a break, the reply "record
    // accepted"); the driver flags it, and a damaged reply must read as a missing one.
    if (!ClearCommError(port, &errors, nullptr)) return core::PortStatus::lost;
    if ((errors & (CE_BREAK | CE_FRAME | CE_RXPARITY)) != 0) return core::PortStatus::timed_out;
    return core::PortStatus::done;
}

void SerialPort::close() {
    if (slot_ < 0) return;
    Slot& slot = slots.load()->slot[slot_];
    CloseHandle(slot.handle);
    slot.handle = INVALID_HANDLE_VALUE;
    slot.claimed = false;
    slot_ = -1;
}

void reserve_ports(size_t count) {
    const Slots* table = slots.load();
    if (count <= static_cast<size_t>(table->count)) return;
    for (int k = 0; k < table->count; ++k) {
        if (table->slot[k].claimed) return;  // too late: a port is open
    }
    slots.store(new Slots{new Slot[count], static_cast<int>(count)});
}

// The system closes the handles of a process that Ctrl+C ends; nothing of a port needs putting back.
void close_ports_on_signal() {}

const char* latency_advice() {
    return "Set its latency timer to 1 ms in its driver settings (Device Manager, the port's Properties, "
           "Port Settings, Advanced).";
}

// The list helps on Windows too: the keys reach ports beyond COM9, and the Device Manager's names
// tell which adapter is which.
bool ports_listed_at_prompt() { return true; }

namespace {

// The Device Manager's class "Ports (COM & LPT)".
const GUID PORTS_CLASS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// "vvvv:pppp" of a USB device's hardware id ("USB\\VID_1A86&PID_7523&REV_0254"); false when it has none.
bool usb_ids(const std::string& hardware_id, uint16_t& vendor, uint16_t& product) {
    const size_t vid = hardware_id.find("VID_"), pid = hardware_id.find("PID_");
    if (vid == std::string::npos || pid == std::string::npos) return false;
    vendor = static_cast<uint16_t>(std::strtoul(hardware_id.substr(vid + 4, 4).c_str(), nullptr, 16));
    product = static_cast<uint16_t>(std::strtoul(hardware_id.substr(pid + 4, 4).c_str(), nullptr, 16));
    return true;
}

std::string device_property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    char text[512] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 2, nullptr)) {
        return "";
    }
    return text;  // of a list of strings, the first
}

// The ports class's devices by COM number: their name in the Device Manager and USB ids.
std::vector<std::pair<unsigned long, PortInfo>> ports_class() {
    std::vector<std::pair<unsigned long, PortInfo>> found;
    const HDEVINFO devices = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        char port_name[64] = "";
        DWORD size = sizeof port_name;
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const bool named = RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(port_name), &size) ==
                           ERROR_SUCCESS;
        RegCloseKey(key);
        if (!named || std::strncmp(port_name, "COM", 3) != 0) continue;
        PortInfo port{port_name, device_property(devices, device, SPDRP_FRIENDLYNAME), "", 0};
        uint16_t vendor = 0, product = 0;
        char ids[16];
        if (usb_ids(device_property(devices, device, SPDRP_HARDWAREID), vendor, product)) {
            std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
            port.identity = ids;
        }
        found.push_back({std::strtoul(port_name + 3, nullptr, 10), port});
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

}  // namespace

std::vector<PortInfo> list_ports(const std::string&) {
    // The ports class as the Device Manager shows it, and every COM name the system resolves
    // besides (a port without a device node, as wine's), by number.
    std::vector<std::pair<unsigned long, PortInfo>> found = ports_class();
    for (unsigned long n = 1; n <= 255; ++n) {
        bool known = false;
        for (const auto& entry : found) known = known || entry.first == n;
        const std::string name = "COM" + std::to_string(n);
        char target[512] = "";
        if (known || QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) continue;
        found.push_back({n, PortInfo{name, target, "", 0}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortInfo> ports;
    for (auto& entry : found) {
        entry.second.number = static_cast<unsigned>(entry.first);
        if (entry.second.path.empty()) entry.second.path = entry.second.name;
        ports.push_back(entry.second);
    }
    return ports;
}

PortProblem diagnose_port(PortProblem::Kind kind, const std::string&, const std::string&) {
    PortProblem problem;
    problem.kind = kind;
    if (kind != PortProblem::Kind::missing) return problem;
    // Known USB serial chips whose driver has a problem (none installed, or one that failed).
    const HDEVINFO devices = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return problem;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        uint16_t vendor = 0, product = 0;
        if (!usb_ids(device_property(devices, device, SPDRP_HARDWAREID), vendor, product) ||
            core::find_usb_serial_chip(vendor, product) == nullptr) {
            continue;
        }
        ULONG status = 0, code = 0;
        if (CM_Get_DevNode_Status(&status, &code, device.DevInst, 0) == CR_SUCCESS && (status & DN_HAS_PROBLEM) != 0) {
            problem.adapters_without_port.push_back({vendor, product, static_cast<unsigned>(code)});
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return problem;
}

// ModemManager is a Linux service.
bool modem_manager_may_probe(const std::string&, const std::string&) { return false; }

}  // namespace serial
