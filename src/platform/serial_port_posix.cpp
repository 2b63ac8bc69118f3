// Serial port on Linux (termios): maps COMn to a device node, opens it exclusively and makes the
// line raw at 115200 8N1. Reads wait with ppoll; writes wait until the bytes have left the port,
// bounded by a timer of the port's own that interrupts only the thread draining it.
#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/usb_serial_chips.h"
#include "platform/serial_port.h"

namespace serial {

namespace {

// What a port was found with, to be put back at its close, also from a signal handler: slots,
// claimed by one port each, written before their descriptor marks them in use.
struct Slot {
    std::atomic<bool> claimed{false};
    std::atomic<int> fd{-1};
    struct termios settings_found;
    bool settings_changed = false;
    struct serial_struct driver_flags_found;
    bool low_latency_set = false;
    // The timer that bounds a drain, signalling the thread that drains.
    timer_t drain_timer;
    bool drain_timer_made = false;
    pid_t drain_thread = 0;
};
// The slots as a signal handler finds them: a few, or as many as reserve_ports made room for.
struct Slots {
    Slot* slot;
    int count;
};
Slot few_slots[4];
Slots few = {few_slots, 4};
std::atomic<Slots*> slots{&few};

// The first line of a sysfs attribute file, or empty.
std::string sysfs_value(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return "";
    char line[256] = "";
    const bool got = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::string value = got ? line : "";
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

// An on-board UART's node exists whether or not a UART is behind it; the serial driver says which
// (its type 0 is "unknown": a placeholder). Where sysfs cannot tell, the node counts.
bool uart_present(const std::string& root, const std::string& name) {
    return sysfs_value(root + "/sys/class/tty/" + name + "/type") != "0";
}

// "product, vvvv:pppp, serial S" of the USB device behind a tty, from sysfs; empty when it is none.
std::string usb_identity(const std::string& root, const std::string& name) {
    char resolved[PATH_MAX];
    if (realpath((root + "/sys/class/tty/" + name + "/device").c_str(), resolved) == nullptr) return "";
    // From the tty's interface up to the USB device, which has the vendor and product ids.
    std::string dir = resolved;
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.substr(0, dir.rfind('/'))) {
        const std::string vendor = sysfs_value(dir + "/idVendor");
        if (vendor.empty()) continue;
        std::string identity;
        if (const std::string product = sysfs_value(dir + "/product"); !product.empty()) identity = product + ", ";
        identity += vendor + ":" + sysfs_value(dir + "/idProduct");
        if (const std::string serial = sysfs_value(dir + "/serial"); !serial.empty()) identity += ", serial " + serial;
        return identity;
    }
    return "";
}

// The serial devices of this machine in the order COM1, COM2, ... are given to them: USB serial
// adapters, then USB modems (CDC ACM), then on-board UARTs with a UART behind them, by number
// within each group.
std::vector<std::string> serial_devices(const std::string& root) {
    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        const size_t prefix_length = std::strlen(prefix);
        std::vector<std::pair<unsigned long, std::string>> group;
        if (DIR* dir = opendir((root + "/dev").c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const char* name = entry->d_name;
                if (std::strncmp(name, prefix, prefix_length) != 0) continue;
                const char* digits = name + prefix_length;
                if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits)) continue;
                if (std::strcmp(prefix, "ttyS") == 0 && !uart_present(root, name)) continue;
                group.emplace_back(std::strtoul(digits, nullptr, 10), std::string("/dev/") + name);
            }
            closedir(dir);
        }
        std::sort(group.begin(), group.end());
        for (auto& device : group) devices.push_back(device.second);
    }
    return devices;
}

// COMn is the device named by UPDATER_COMn, or else the n-th serial device of the machine.
std::string device_path(unsigned n, const std::string& root = "") {
    const std::string variable = "UPDATER_COM" + std::to_string(n);
    if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') return path;
    const std::vector<std::string> devices = serial_devices(root);
    return n <= devices.size() ? devices[n - 1] : std::string();
}

std::string reason(const std::string& path, int error) { return path + ": " + std::strerror(error); }

// The numbers of the folder's entries that are all digits: the processes under /proc.
std::vector<std::string> process_ids(const std::string& root) {
    std::vector<std::string> ids;
    if (DIR* dir = opendir((root + "/proc").c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strspn(entry->d_name, "0123456789") == std::strlen(entry->d_name) && entry->d_name[0] != '\0') {
                ids.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return ids;
}

// True when a tty lies in folder or up to depth levels below it: the port a driver made.
bool has_tty(const std::string& folder, int depth) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name == "tty" || name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) found = true;
        else if (depth > 0 && entry->d_type == DT_DIR) found = has_tty(folder + "/" + name, depth - 1);
        if (found) break;
    }
    closedir(dir);
    return found;
}

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

timespec to_timespec(long long ns) { return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)}; }

// The slot's drain timer, made for the calling thread: its SIGALRM (a timer's, which the handler
// of console_posix.cpp lets pass) interrupts only that thread's tcdrain. False when none can be made.
bool drain_timer_for_this_thread(Slot& slot) {
    const pid_t thread = static_cast<pid_t>(syscall(SYS_gettid));
    if (slot.drain_timer_made && slot.drain_thread == thread) return true;
    if (slot.drain_timer_made) timer_delete(slot.drain_timer);
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = thread;
    slot.drain_timer_made = timer_create(CLOCK_MONOTONIC, &event, &slot.drain_timer) == 0;
    slot.drain_thread = thread;
    return slot.drain_timer_made;
}

// True for the errors of a port whose device went away: an unplugged USB adapter, a line hung up.
bool gone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }

// Waits until the written bytes have left the port, or until the deadline: a device that stops
// reading (flow control, a USB device that hangs) cannot hold the run. tcdrain itself has no
// timeout, so the port's timer interrupts it. Without a timer the output queue is watched instead.
core::PortStatus drain_until(Slot& slot, long long deadline) {
    const int fd = slot.fd;
    const bool timed = drain_timer_for_this_thread(slot);
    for (;;) {
        const long long remaining = deadline - now_ns();
        if (remaining <= 0) return core::PortStatus::timed_out;
        if (!timed) {
            int queued = 0;
            if (ioctl(fd, TIOCOUTQ, &queued) != 0) return gone(errno) ? core::PortStatus::lost : core::PortStatus::done;
            if (queued == 0) return core::PortStatus::done;
            const timespec pause = to_timespec(std::min(remaining, 100000LL));
            nanosleep(&pause, nullptr);
            continue;
        }
        itimerspec timer = {};
        timer.it_value = to_timespec(remaining);
        timer_settime(slot.drain_timer, 0, &timer, nullptr);
        const int result = tcdrain(fd);
        const int error = errno;
        timer = {};
        timer_settime(slot.drain_timer, 0, &timer, nullptr);
        if (result == 0) return core::PortStatus::done;
        if (error != EINTR) return gone(error) ? core::PortStatus::lost : core::PortStatus::done;
    }
}

// Puts back what the port in the slot was found with and closes it. Async-signal-safe.
void put_back_and_close(Slot& slot) {
    const int fd = slot.fd.exchange(-1);
    if (fd < 0) return;
    if (slot.low_latency_set) ioctl(fd, TIOCSSERIAL, &slot.driver_flags_found);
    if (slot.settings_changed) tcsetattr(fd, TCSANOW, &slot.settings_found);
    ioctl(fd, TIOCNXCL);
    close(fd);
}

}  // namespace

OpenStatus SerialPort::open(unsigned n, const std::string& named, std::string& detail) {
    close();
    const std::string path = n > 0 ? device_path(n) : named;
    path_ = path;
    problem_ = PortProblem::Kind::missing;
    if (path.empty()) {
        detail = "No serial device for COM" + std::to_string(n) + " (set UPDATER_COM" +
                 std::to_string(n) + " to its device path)";
        return OpenStatus::not_found;
    }
    Slots& table = *slots.load();
    int free_slot = 0;
    for (bool unclaimed = false; free_slot < table.count; ++free_slot, unclaimed = false) {
        if (table.slot[free_slot].claimed.compare_exchange_strong(unclaimed, true)) break;
    }
    if (free_slot == table.count) {
        detail = path + ": " + std::strerror(EMFILE);
        problem_ = PortProblem::Kind::other;
        return OpenStatus::other_problem;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        table.slot[free_slot].claimed = false;
        detail = reason(path, error);
        switch (error) {
            case ENOENT: case ENODEV: case ENXIO: case EIO:
                return OpenStatus::not_found;
            case EBUSY:  // held exclusively by another program
                problem_ = PortProblem::Kind::busy;
                return OpenStatus::not_found;
            case EACCES: case EPERM:
                problem_ = PortProblem::Kind::denied;
                return OpenStatus::other_problem;
            default:
                problem_ = PortProblem::Kind::other;
                return OpenStatus::other_problem;
        }
    }
    // Exclusive use: programs that lock serial ports with flock see the port as taken, and the
    // terminal refuses further opens (to all but the superuser) while we hold it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        table.slot[free_slot].claimed = false;
        detail = error == EWOULDBLOCK ? path + ": in use by another program" : reason(path, error);
        problem_ = error == EWOULDBLOCK ? PortProblem::Kind::busy : PortProblem::Kind::other;
        return error == EWOULDBLOCK ? OpenStatus::not_found : OpenStatus::other_problem;
    }
    problem_ = PortProblem::Kind::none;
    ioctl(fd, TIOCEXCL);
    Slot& slot = table.slot[free_slot];
    slot.settings_changed = false;
    slot.low_latency_set = false;
    slot.fd = fd;
    slot_ = free_slot;
    variable_.clear();
    // The variable that named the device, when one did: an empty one names nothing.
    const std::string variable = "UPDATER_COM" + std::to_string(n);
    if (const char* value = n > 0 ? std::getenv(variable.c_str()) : nullptr; value != nullptr && *value != '\0') {
        variable_ = variable;
    }
    return OpenStatus::opened;
}

PortInfo SerialPort::opened() const {
    // The device itself, where the name given is a link to it (a /dev/serial/by-id path); a name
    // the system cannot resolve (longer than PATH_MAX) as given.
    char resolved[PATH_MAX];
    const std::string device = realpath(path_.c_str(), resolved) != nullptr ? resolved : path_;
    if (!variable_.empty()) return {"", device, variable_, 0};
    return {"", device, usb_identity("", device.substr(device.rfind('/') + 1)), 0};
}

unsigned SerialPort::latency_timer_ms() const {
    // The USB serial driver's setting beside its port (ftdi_sio's), as it stands after the request
    // for low latency.
    char resolved[PATH_MAX];
    if (realpath(path_.c_str(), resolved) == nullptr) return 0;
    const std::string name = std::string(resolved).substr(std::string(resolved).rfind('/') + 1);
    return static_cast<unsigned>(std::strtoul(sysfs_value("/sys/class/tty/" + name + "/device/latency_timer").c_str(), nullptr, 10));
}

ConfigStatus SerialPort::configure(std::string& detail) {
    Slot& slot = slots.load()->slot[slot_];
    const int fd = slot.fd;
    if (tcgetattr(fd, &slot.settings_found) != 0) {
        detail = std::string("tcgetattr: ") + std::strerror(errno);
        return ConfigStatus::parameters_not_accessible;
    }
    struct termios raw = slot.settings_found;
    // Every byte passes unchanged: no CR/LF translation, no software flow control, no echo or line
    // editing, no output processing. A break or a byte with a framing or parity error is dropped
    // (IGNBRK, IGNPAR): it would otherwise arrive as 0x00, the reply "record accepted", and a damaged
    // reply must read as a missing one. Hardware flow control (CRTSCTS) is left as found; CLOCAL
    // ignores the modem lines.
    raw.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    raw.c_iflag |= IGNBRK | IGNPAR;
    raw.c_oflag &= ~OPOST;
    raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    raw.c_cflag |= CS8 | CREAD | CLOCAL;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;  // reads wait in ppoll, not in the driver
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        detail = std::string("tcsetattr: ") + std::strerror(errno);
        return ConfigStatus::impossible_parameters;
    }
    slot.settings_changed = true;
    struct termios applied;
    if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != B115200 ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) {
        detail = "the driver did not take 115200 baud, 8 data bits, no parity, one stop bit";
        return ConfigStatus::impossible_parameters;
    }
    // USB serial adapters otherwise hold received bytes back for milliseconds; a driver without
    // the setting is fine as it is.
    if (ioctl(fd, TIOCGSERIAL, &slot.driver_flags_found) == 0) {
        struct serial_struct low_latency = slot.driver_flags_found;
        low_latency.flags |= ASYNC_LOW_LATENCY;
        slot.low_latency_set = ioctl(fd, TIOCSSERIAL, &low_latency) == 0;
    }
    // What waits in the input now is no answer to anything we sent: a power-up glitch, or a reply
    // left from an earlier session, would be taken for the acknowledgement and put every reply after
    // it one frame late.
    tcflush(fd, TCIFLUSH);
    return ConfigStatus::configured;
}

core::PortStatus SerialPort::write(const uint8_t* data, size_t length) {
    const int fd = slots.load()->slot[slot_].fd;
    const long long deadline = now_ns() + core::write_limit_ms(length) * 1000000LL;
    size_t done = 0;
    while (done < length) {
        const ssize_t written = ::write(fd, data + done, length - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            const long long remaining = deadline - now_ns();
            if (remaining <= 0) return core::PortStatus::timed_out;
            pollfd wait = {fd, POLLOUT, 0};
            const timespec timeout = to_timespec(remaining);
            ppoll(&wait, 1, &timeout, nullptr);
        } else if (!(written < 0 && errno == EINTR)) {
            // A port that failed otherwise is left to the missing reply to show.
            return written < 0 && gone(errno) ? core::PortStatus::lost : core::PortStatus::timed_out;
        }
    }
    return core::PortStatus::done;
}

core::PortStatus SerialPort::drain(unsigned limit_ms) {
    return drain_until(slots.load()->slot[slot_], now_ns() + limit_ms * 1000000LL);
}

core::PortStatus SerialPort::read(unsigned timeout_ms, uint8_t& byte) {
    const int fd = slots.load()->slot[slot_].fd;
    const long long deadline = now_ns() + timeout_ms * 1000000LL;
    for (;;) {
        const long long remaining = deadline - now_ns();
        pollfd wait = {fd, POLLIN, 0};
        const timespec timeout = to_timespec(remaining > 0 ? remaining : 0);
        const int ready = ppoll(&wait, 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) return core::PortStatus::lost;
        if (ready > 0) {
            const ssize_t got = ::read(fd, &byte, 1);
            if (got == 1) return core::PortStatus::done;
            // Nothing to read although ready: the line hung up or the device vanished.
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) return core::PortStatus::lost;
        }
        if (remaining <= 0) return core::PortStatus::timed_out;
    }
}

void SerialPort::close() {
    if (slot_ < 0) return;
    Slot& slot = slots.load()->slot[slot_];
    put_back_and_close(slot);
    if (slot.drain_timer_made) timer_delete(slot.drain_timer);
    slot.drain_timer_made = false;
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

void close_ports_on_signal() {
    const Slots* table = slots.load();
    for (int k = 0; k < table->count; ++k) put_back_and_close(table->slot[k]);
}

const char* latency_advice() {
    // The updater already asks the driver for low latency (ASYNC_LOW_LATENCY); this driver kept
    // its timer.
    return "Set its latency timer to 1 ms, as the driver did not when asked for low latency: "
           "echo 1 > /sys/bus/usb-serial/devices/<ttyUSBn>/latency_timer";
}

bool ports_listed_at_prompt() { return true; }

std::vector<PortInfo> list_ports(const std::string& root) {
    // COM1 to COM9, and beyond as far as there are devices or a variable names a port.
    std::vector<PortInfo> ports;
    const size_t devices = serial_devices(root).size();
    for (unsigned n = 1; n <= 99; ++n) {
        const std::string variable = "UPDATER_COM" + std::to_string(n);
        const char* named = std::getenv(variable.c_str());
        if ((named == nullptr || *named == '\0') && n > std::max<size_t>(devices, 9)) continue;
        const std::string path = device_path(n, root);
        if (path.empty()) continue;
        std::string identity = variable;
        if (named == nullptr || *named == '\0') identity = usb_identity(root, path.substr(path.rfind('/') + 1));
        ports.push_back({"COM" + std::to_string(n), path, identity, n});
    }
    return ports;
}

PortProblem diagnose_port(PortProblem::Kind kind, const std::string& device, const std::string& root) {
    PortProblem problem;
    problem.kind = kind;
    // An on-board port's node with nothing behind it opens, and then fails every request (EIO).
    char node[PATH_MAX];
    if (!device.empty() && realpath((root + device).c_str(), node) != nullptr) {
        const std::string name = std::strrchr(node, '/') + 1;
        const size_t digits = name.find_first_not_of("0123456789", 4);
        problem.no_uart = name.rfind("ttyS", 0) == 0 && name.size() > 4 && digits == std::string::npos &&
                          !uart_present(root, name);
    }
    if (kind == PortProblem::Kind::missing) {
        // Known USB serial chips without a tty: no driver bound, or one (brltty's) that took them.
        const std::string usb = root + "/sys/bus/usb/devices";
        if (DIR* dir = opendir(usb.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string folder = usb + "/" + entry->d_name;
                const std::string vendor = sysfs_value(folder + "/idVendor"), product = sysfs_value(folder + "/idProduct");
                if (vendor.empty() || product.empty()) continue;
                const auto vendor_id = static_cast<uint16_t>(std::strtoul(vendor.c_str(), nullptr, 16));
                const auto product_id = static_cast<uint16_t>(std::strtoul(product.c_str(), nullptr, 16));
                if (core::find_usb_serial_chip(vendor_id, product_id) == nullptr || has_tty(folder, 3)) continue;
                problem.adapters_without_port.push_back({vendor_id, product_id, 0});
            }
            closedir(dir);
        }
    } else if (kind == PortProblem::Kind::busy && !device.empty()) {
        // The process with the device open, as its descriptors under /proc show it.
        char resolved[PATH_MAX];
        const std::string real = root.empty() && realpath(device.c_str(), resolved) != nullptr ? resolved : device;
        for (const std::string& pid : process_ids(root)) {
            const std::string fds = root + "/proc/" + pid + "/fd";
            DIR* dir = opendir(fds.c_str());
            if (dir == nullptr) continue;
            while (const dirent* entry = readdir(dir)) {
                char target[PATH_MAX];
                const ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
                if (length <= 0) continue;
                const std::string opened(target, static_cast<size_t>(length));
                if (opened != real && opened != device) continue;
                problem.holder = pid + " (" + sysfs_value(root + "/proc/" + pid + "/comm") + ")";
                break;
            }
            closedir(dir);
            if (!problem.holder.empty()) break;
        }
    } else if (kind == PortProblem::Kind::denied && !device.empty()) {
        // The group's name from the group file itself: a static program has no name service.
        struct stat info;
        std::FILE* groups = stat((root + device).c_str(), &info) == 0 ? std::fopen((root + "/etc/group").c_str(), "r") : nullptr;
        char line[1024];
        while (groups != nullptr && std::fgets(line, sizeof line, groups) != nullptr) {
            const std::string entry = line;
            const size_t first = entry.find(':'), second = entry.find(':', first + 1), third = entry.find(':', second + 1);
            if (third == std::string::npos) continue;
            if (std::strtoul(entry.substr(second + 1, third - second - 1).c_str(), nullptr, 10) == info.st_gid) {
                problem.group = entry.substr(0, first);
                break;
            }
        }
        if (groups != nullptr) std::fclose(groups);
    }
    return problem;
}

bool modem_manager_may_probe(const std::string& device, const std::string& root) {
    char resolved[PATH_MAX];
    const std::string real = realpath((root + device).c_str(), resolved) != nullptr ? resolved : device;
    if (real.substr(real.rfind('/') + 1).rfind("ttyACM", 0) != 0) return false;
    for (const std::string& pid : process_ids(root)) {
        if (sysfs_value(root + "/proc/" + pid + "/comm") == "ModemManager") return true;
    }
    return false;
}

}  // namespace serial
