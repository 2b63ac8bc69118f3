// loader-sim: stands in for the device's loader on a pseudo terminal, or on a real serial port
// joined to the updater's by a null-modem cable, so that the updater can be run and tested without
// a device. Prints the line's device path, answers the FLASH and EEPROM transfers, and can inject
// the faults a real device and cable produce.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "device.h"
#include "faults.h"
#include "frontend/shown_text.h"
#include "core/layout.h"
#include "core/payload.h"

namespace {

using loader_sim::parse_number;

const char HELP[] =
    "usage: loader-sim [options]\n"
    "Opens a pseudo terminal, prints its device path on the first line of standard output and plays\n"
    "the device's loader on it. Point the updater's port at it: UPDATER_COM1=<path>.\n"
    "\n"
    "  --port PATH          serve the serial port PATH instead of a pseudo terminal: opened exclusively,\n"
    "                       raw 115200 8N1, its settings put back at the end. A session then ends with\n"
    "                       the EEPROM transfer, the next FLASH start, or a transfer idle for 1 s\n"
    "  --expect FILE        after each session, check what it received against the update file FILE\n"
    "  --link PATH          also make PATH a symbolic link to the terminal (removed at the end)\n"
    "  --flash-out FILE     at the end, write the FLASH data received (64,000 bytes)\n"
    "  --eeprom-out FILE    at the end, write the device's EEPROM (2,048 bytes, 0xFF where unwritten)\n"
    "  --wire-out FILE      at the end, write every byte received from the host\n"
    "  --ack VALUE|none     acknowledgement of the FLASH start sequence (default 59)\n"
    "  --reply N=VALUE|none answer FLASH record N with VALUE instead of 00, or not at all\n"
    "  --late N=MS          answer FLASH record N only after MS milliseconds\n"
    "  --surplus N=VALUE    after answering FLASH record N, send VALUE as well, unasked (with --pace,\n"
    "                       5 ms later, while the next record is on the wire)\n"
    "  --stray VALUE        put VALUE on the line before the host opens it, as a power-up glitch would\n"
    "  --eeprom-late A=MS   answer the EEPROM write frame for address A only after MS milliseconds\n"
    "  --eeprom-held A      answer the EEPROM write frame for address A only when the host sends its\n"
    "                       next byte, that is after the host stopped waiting for the answer\n"
    "  --eeprom-wrong A=VALUE  read back VALUE at EEPROM address A\n"
    "  --eeprom-reply VALUE answer every EEPROM write frame with VALUE (default 00)\n"
    "  --eeprom-answer-late A=MS  answer the read-back poll for EEPROM address A MS milliseconds late\n"
    "  --reply-delay MS     answer everything MS milliseconds late, as a slow device does\n"
    "  --eeprom-delay MS[@N[+US]]  answer every EEPROM write frame and read-back poll MS milliseconds\n"
    "                       late, from the N-th such answer on (counted from 0 over the session), or\n"
    "                       with +US each answer US microseconds later than the one before, up to MS\n"
    "  --heartbeat MS[=VALUE]  from the EEPROM's start sequence on, send VALUE (default 00) every MS\n"
    "                       milliseconds, unasked, as a device whose application has started\n"
    "  --hangup WHEN        close the line: 'ack' (instead of acknowledging), 'flash:N' (on receiving\n"
    "                       record N), 'eeprom-write:A' or 'eeprom-read:A' (at EEPROM address A)\n"
    "  --silent             never answer\n"
    "  --pace               pace the line at 115200 baud, 8N1 (86.8 us a byte)\n"
    "  --device-delay US    the device's own time before each answer, in microseconds (default 0)\n"
    "  --adapter-latency MS hold each answer MS milliseconds more, as a USB serial adapter's latency\n"
    "                       timer does on its way to the host (default 0)\n"
    "  --timing             at the end, report how long the FLASH transfer took on this line (from the\n"
    "                       acknowledgement to the last record's answer) and the EEPROM transfer (from\n"
    "                       its start sequence to its last byte), in seconds\n"
    "  --sessions N         serve N runs of the updater, then end (default 1; with --port, every run\n"
    "                       until the time limit)\n"
    "  --faulty-sessions K  inject the faults into the first K runs only (default: all)\n"
    "  --timeout S          end after S seconds whatever happens (default 60)\n"
    "  --help               this text\n"
    "VALUE and A are hexadecimal; N, MS, US and S decimal.\n"
    "Exit status: 0 done, 1 the host broke the protocol (told on standard error), 2 bad usage,\n"
    "3 time limit reached.\n";

constexpr long long BYTE_TIME_NS = 86806;  // 10 bits at 115200 baud
constexpr long long SURPLUS_LAG_NS = 5000000;  // an unasked byte behind its reply, on a paced line
constexpr long long SPIN_NS = 200000;

volatile sig_atomic_t stop_requested = 0;
void on_stop_signal(int) { stop_requested = 1; }

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct Options {
    std::string port, expect, link, flash_out, eeprom_out, wire_out;
    loader_sim::Faults faults;
    bool pace = false;
    bool timing = false;
    long long device_delay_ns = 0;
    long long adapter_latency_ns = 0;
    unsigned sessions = 0;         // 0 until parsed: not given
    unsigned faulty_sessions = 0;  // 0: all
    unsigned timeout_s = 60;
    int stray = -1;  // a byte waiting on the line before the host opens it
    bool help = false;
};

// Takes the command line into options. False, with the error to show, on bad usage; --help stops
// the parsing with options.help set.
bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    loader_sim::Faults& faults = options.faults;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            options.help = true;
            return true;
        }
        if (name == "--silent") { faults.silent = true; continue; }
        if (name == "--pace") { options.pace = true; continue; }
        if (name == "--timing") { options.timing = true; continue; }
        if (i + 1 >= argc) {
            error = name == "--link" || name.rfind("--", 0) == 0 ? "option " + name + " needs a value or is unknown"
                                                                 : "unexpected argument " + name;
            return false;
        }
        const std::string value = argv[++i];
        unsigned long number = 0;
        bool ok = true;
        if (name == "--link") options.link = value;
        else if (name == "--port") options.port = value;
        else if (name == "--expect") options.expect = value;
        else if (name == "--flash-out") options.flash_out = value;
        else if (name == "--eeprom-out") options.eeprom_out = value;
        else if (name == "--wire-out") options.wire_out = value;
        else if (const loader_sim::FaultOption fault = loader_sim::parse_fault_option(name, value, faults);
                 fault != loader_sim::FaultOption::not_a_fault) {
            ok = fault == loader_sim::FaultOption::taken;
        } else if (name == "--stray") {
            ok = parse_number(value, 16, number) && number <= 0xFF;
            options.stray = static_cast<int>(number);
        } else if (name == "--device-delay") {
            ok = parse_number(value, 10, number);
            options.device_delay_ns = static_cast<long long>(number) * 1000;
        } else if (name == "--adapter-latency") {
            ok = parse_number(value, 10, number) && number <= 1000;
            options.adapter_latency_ns = static_cast<long long>(number) * 1000000;
        } else if (name == "--sessions") {
            ok = parse_number(value, 10, number) && number >= 1;
            options.sessions = static_cast<unsigned>(number);
        } else if (name == "--faulty-sessions") {
            ok = parse_number(value, 10, number) && number >= 1;
            options.faulty_sessions = static_cast<unsigned>(number);
        } else if (name == "--timeout") {
            ok = parse_number(value, 10, number) && number >= 1;
            options.timeout_s = static_cast<unsigned>(number);
        } else {
            error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    // A vendor runs the updater again and again against a real port; a test serves one run at a time.
    if (options.sessions == 0) options.sessions = options.port.empty() ? 1 : UINT_MAX;
    return true;
}

// One line on standard error, with paths and reasons shown as the updater shows them.
void complain(const std::string& message) { std::fprintf(stderr, "loader-sim: %s\n", frontend::shown_text(message).c_str()); }

// What the symbolic link at path points to; empty when path is no symbolic link.
std::string link_target(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    return length > 0 && static_cast<size_t>(length) < sizeof target ? std::string(target, static_cast<size_t>(length)) : "";
}

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
    if (path.empty()) return true;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr && (data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size());
    if (file != nullptr) ok = std::fclose(file) == 0 && ok;
    if (!ok) complain("cannot write " + path + ": " + std::strerror(errno));
    return ok;
}

void sleep_ns(long long ns) {
    timespec t = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    nanosleep(&t, nullptr);
}

// A serial port's driver discards what nobody read when its last user closes it; a pseudo terminal
// keeps it while this side is open. So that the next run does not take an old answer for a new
// one, the simulator discards it, as a real line would.
void discard_unread_answers(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    tcflush(fd, TCIFLUSH);
    close(fd);
}

// A serial port's settings as they were found, to be put back at the end.
struct PortFound {
    struct termios line = {};
    serial_struct driver = {};
    bool low_latency_set = false;
};

// Opens a serial port as the updater opens its own: exclusively (flock and TIOCEXCL), raw 115200
// 8N1 without flow control, asking the driver for low latency. found gets the settings to put back.
int open_serial_port(const std::string& path, PortFound& port_found, std::string& error) {
    struct termios& found = port_found.line;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + (errno == EWOULDBLOCK ? std::string(": in use by another program") : ": " + std::string(std::strerror(errno)));
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    struct termios line;
    if (tcgetattr(fd, &found) != 0) {
        error = path + ": cannot read its settings: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    line = found;
    cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (cfsetspeed(&line, B115200) != 0 || tcsetattr(fd, TCSANOW, &line) != 0) {
        error = path + ": cannot set 115200 8N1 raw: " + std::strerror(errno);
        tcsetattr(fd, TCSANOW, &found);
        close(fd);
        return -1;
    }
    if (ioctl(fd, TIOCGSERIAL, &port_found.driver) == 0) {
        serial_struct low_latency = port_found.driver;
        low_latency.flags |= ASYNC_LOW_LATENCY;
        port_found.low_latency_set = ioctl(fd, TIOCSSERIAL, &low_latency) == 0;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void close_serial_port(int fd, const PortFound& found) {
    if (found.low_latency_set) ioctl(fd, TIOCSSERIAL, &found.driver);
    tcsetattr(fd, TCSANOW, &found.line);
    ioctl(fd, TIOCNXCL);
    close(fd);
}

// What an update file holds for the device: the FLASH data without the record checksums, and the
// EEPROM bytes.
struct Expected {
    std::vector<uint8_t> flash, eeprom;
};

bool read_expected(const std::string& path, Expected& expected, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::vector<uint8_t> data;
    if (file != nullptr) {
        uint8_t buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) data.insert(data.end(), buffer, buffer + got);
        std::fclose(file);
    } else {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const long offset = core::find_payload_offset(data.data(), data.size());
    if (offset < 0 || static_cast<size_t>(offset) + core::PAYLOAD_SIZE > data.size()) {
        error = path + ": no update file";
        return false;
    }
    const uint8_t* image = data.data() + offset + core::HEADER_SIZE;
    for (uint32_t i = 0; i < core::FLASH_DATA_SIZE; ++i) expected.flash.push_back(image[core::image_offset(i)]);
    const uint8_t* eeprom = image + core::FLASH_IMAGE_SIZE;
    expected.eeprom.assign(eeprom, eeprom + core::EEPROM_SIZE);
    return true;
}

// What the device received in one session, checked against the update file: a line for the FLASH
// and, when the session wrote it, one for the EEPROM.
void report_session(unsigned session, const loader_sim::Device& device, uint32_t records, uint32_t eeprom_written,
                    const Expected& expected) {
    if (expected.flash.empty()) return;
    if (records == 500 && device.flash() == expected.flash) {
        std::fprintf(stderr, "loader-sim: session %u: FLASH holds the update file's firmware, byte for byte\n", session);
    } else {
        std::fprintf(stderr, "loader-sim: session %u: FLASH incomplete or different: %u of 500 records received\n", session,
                     records);
    }
    if (eeprom_written == 0) return;
    unsigned differences = 0;
    for (size_t a = 0; a < expected.eeprom.size(); ++a) differences += device.eeprom()[a] != expected.eeprom[a];
    if (eeprom_written == expected.eeprom.size() && differences == 0) {
        std::fprintf(stderr, "loader-sim: session %u: EEPROM holds the update file's contents, byte for byte\n", session);
    } else {
        std::fprintf(stderr, "loader-sim: session %u: EEPROM incomplete or different: %u bytes written, %u differ\n",
                     session, eeprom_written, differences);
    }
}

// Answers are due to the microsecond when pacing; the default 50 us of timer slack would add to
// every round trip. A stop signal ends the serving, so that the line is put back and the files are
// written.
void prepare_process() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}

// The line the device answers on: a serial port given, or a new pseudo terminal.
struct Line {
    int fd = -1;
    bool serial_port = false;
    PortFound port_found;  // a serial port's settings, to be put back
    std::string path;

    void close() {
        if (fd < 0) return;
        if (serial_port) close_serial_port(fd, port_found);
        else ::close(fd);
        fd = -1;
    }
};

// Opens the line; says on standard error why it could not.
bool open_line(const Options& options, Line& line) {
    line.serial_port = !options.port.empty();
    line.path = options.port;
    if (line.serial_port) {
        std::string error;
        line.fd = open_serial_port(options.port, line.port_found, error);
        if (line.fd < 0) complain(error);
        return line.fd >= 0;
    }
    line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
        std::fprintf(stderr, "loader-sim: cannot open a pseudo terminal: %s\n", std::strerror(errno));
        return false;
    }
    // The terminal keeps its cooked settings (line editing, CR/LF translation, XON/XOFF): making
    // the line raw is the updater's job. Only its echo goes: a serial line does not echo, and the
    // echo of an answer arriving while the updater puts the settings back would look like a host.
    struct termios settings;
    if (tcgetattr(line.fd, &settings) == 0) {
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        tcsetattr(line.fd, TCSANOW, &settings);
    }
    line.path = ptsname(line.fd);
    return true;
}

// Makes the link asked for and puts the stray byte on the line; says on standard error what failed.
// The link is made new, never over something that is there.
bool prepare_line(const Options& options, const Line& line) {
    if (!options.link.empty() && symlink(line.path.c_str(), options.link.c_str()) != 0) {
        complain("cannot link " + options.link + ": " + std::strerror(errno));
        return false;
    }
    if (options.stray >= 0) {
        const uint8_t stray = static_cast<uint8_t>(options.stray);
        if (write(line.fd, &stray, 1) != 1) {
            std::fprintf(stderr, "loader-sim: cannot put the stray byte on the line: %s\n", std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The link is removed only while it is ours.
void remove_link(const Options& options, const Line& line) {
    if (!options.link.empty() && link_target(options.link) == line.path) unlink(options.link.c_str());
}

// A serial port does not tell when the host closes it: a transfer idle this long means the host
// gave up on it.
constexpr long long IDLE_TRANSFER_NS = 1000000000LL;

// Plays the device on the line: takes the host's bytes, sends the device's answers when they are
// due (paced as on a real line when asked), counts the sessions and notes when each transfer
// started and ended.
class Loader {
public:
    Loader(const Options& options, const Expected& expected, Line& line)
        : options_(options),
          expected_(expected),
          line_(line),
          device_(options.faults),
          deadline_(now_ns() + static_cast<long long>(options.timeout_s) * 1000000000LL),
          last_byte_ns_(now_ns()) {}

    // Answers the host until the line closes, a stop signal comes, the sessions are served or the
    // time limit is reached.
    void serve() {
        while (line_.fd >= 0 && !stop_requested) {
            const long long now = now_ns();
            if (now >= deadline_) {
                timed_out_ = true;
                break;
            }
            send_heartbeats(now);
            send_due_answers(now);
            if (host_gave_up(now) && end_session()) break;
            if (spin_to_next_answer(now)) continue;
            uint8_t buffer[512];
            ssize_t got = 0;
            const Arrival arrival = wait_for_host(time_to_wait(now), buffer, sizeof buffer, got);
            if (arrival == Arrival::nothing) continue;
            if (arrival == Arrival::closed && line_.serial_port) {
                std::fprintf(stderr, "loader-sim: the port is gone: %s\n", got < 0 ? std::strerror(errno) : "end of input");
                break;
            }
            if (arrival == Arrival::closed) {
                if (host_hung_up()) break;
                continue;
            }
            if (!receive(buffer, static_cast<size_t>(got))) break;
        }
    }

    // Ends a session still open on a serial port, lets the last answers leave and closes the line.
    void finish() {
        if (line_.serial_port && session_open_) end_session();
        if (line_.serial_port && line_.fd >= 0) tcdrain(line_.fd);
        line_.close();
    }

    bool timed_out() const { return timed_out_; }
    const loader_sim::Device& device() const { return device_; }
    const std::vector<uint8_t>& wire() const { return wire_; }

    // Seconds on the line between two milestones; -1 if either was not reached.
    double seconds_between(loader_sim::Milestone from, loader_sim::Milestone to) const {
        const long long begin = milestone_at_[static_cast<int>(from)], end = milestone_at_[static_cast<int>(to)];
        return begin >= 0 && end >= 0 ? static_cast<double>(end - begin) * 1e-9 : -1.0;
    }

private:
    struct Scheduled {
        long long due_ns;
        uint8_t byte;
    };

    enum class Arrival { nothing, bytes, closed };

    // Answers due together leave in one write, so that the host finds them together, as it would
    // behind a USB adapter that passes on what it gathered.
    void send_due_answers(long long now) {
        uint8_t due_bytes[64];
        size_t due_count = 0;
        while (!replies_.empty() && replies_.front().due_ns <= now && due_count < sizeof due_bytes) {
            due_bytes[due_count++] = replies_.front().byte;
            replies_.pop_front();
        }
        for (size_t sent = 0; sent < due_count;) {
            const ssize_t written = write(line_.fd, due_bytes + sent, due_count - sent);
            if (written > 0) sent += static_cast<size_t>(written);
            else if (!(written < 0 && errno == EINTR)) break;
        }
    }

    // The unasked bytes of a device that sends on its own, queued as they fall due.
    void send_heartbeats(long long now) {
        for (; next_beat_ns_ >= 0 && next_beat_ns_ <= now; next_beat_ns_ += device_.heartbeat_ms() * 1000000LL) {
            schedule(next_beat_ns_, device_.heartbeat_byte());
        }
    }

    // On a serial port, a transfer left idle: the device drops it. True when it did.
    bool host_gave_up(long long now) {
        if (!line_.serial_port || !device_.transfer_open() || now - last_byte_ns_ <= IDLE_TRANSFER_NS) return false;
        replies_.clear();
        held_reply_ = -1;
        device_.reset_transfer();
        return true;
    }

    // When pacing, the last 0.2 ms before an answer is due are spun out: a timed wake-up would come
    // late by the machine's wake-up latency, which a real line does not have. True when it spun.
    bool spin_to_next_answer(long long now) const {
        if (!options_.pace || replies_.empty() || replies_.front().due_ns - now > SPIN_NS) return false;
        while (now_ns() < replies_.front().due_ns) {
        }
        return true;
    }

    // Until the time limit, the next answer (less the spin when pacing), or, on a serial port
    // during a transfer, the next look at whether it went idle.
    long long time_to_wait(long long now) const {
        long long wait_ns = deadline_ - now;
        if (line_.serial_port && device_.transfer_open()) wait_ns = std::min(wait_ns, IDLE_TRANSFER_NS / 10);
        if (next_beat_ns_ >= 0) wait_ns = std::min(wait_ns, next_beat_ns_ - now);
        if (!replies_.empty()) {
            const long long until_due = replies_.front().due_ns - now;
            wait_ns = std::min(wait_ns, options_.pace ? until_due - SPIN_NS : until_due);
        }
        return wait_ns;
    }

    // Waits up to wait_ns for the host: bytes (got of them in buffer), nothing, or the line closed
    // (got 0, or below 0 with errno telling why).
    Arrival wait_for_host(long long wait_ns, uint8_t* buffer, size_t size, ssize_t& got) {
        pollfd ready = {line_.fd, POLLIN, 0};
        const timespec timeout = {static_cast<time_t>(wait_ns / 1000000000LL), static_cast<long>(wait_ns % 1000000000LL)};
        const int ready_count = ppoll(&ready, 1, &timeout, nullptr);
        if (ready_count == 0) hung_up_ = false;
        if (ready_count <= 0) return Arrival::nothing;
        if (ready.revents & POLLIN) {
            got = read(line_.fd, buffer, size);
            if (got < 0 && errno == EINTR) return Arrival::nothing;
        }
        if (line_.serial_port && got < 0 && (errno == EAGAIN || errno == EINTR)) return Arrival::nothing;
        return got > 0 ? Arrival::bytes : Arrival::closed;
    }

    // The terminal side was closed: the updater is done with the port. The hang-up is reported
    // until the port is opened again, so only its start ends a session. True when the sessions are
    // served.
    bool host_hung_up() {
        if (!hung_up_) {
            hung_up_ = true;
            next_beat_ns_ = -1;
            replies_.clear();
            device_.reset_transfer();
            discard_unread_answers(line_.path);
            if (end_session()) return true;
        }
        sleep_ns(5000000);
        return false;
    }

    // Takes the bytes that arrived. False when the device hung up or the sessions are served.
    bool receive(const uint8_t* bytes, size_t count) {
        hung_up_ = false;
        const long long arrived = now_ns();
        last_byte_ns_ = arrived;
        for (size_t k = 0; k < count; ++k) {
            if (!take_byte(bytes[k], arrived)) break;
        }
        return line_.fd >= 0 && !limit_reached_;
    }

    // One byte from the host: the device's answer queued, the milestone it reached noted, and on a
    // serial port, where a session begins with the FLASH start and ends with the EEPROM transfer or
    // the next FLASH start, the session ended. False when the device hung up or the sessions are
    // served.
    bool take_byte(uint8_t byte, long long arrived) {
        if (held_reply_ >= 0) {
            schedule(arrived, static_cast<uint8_t>(held_reply_));
            held_reply_ = -1;
        }
        wire_.push_back(byte);
        host_line_free_ = options_.pace ? std::max(host_line_free_, arrived) + BYTE_TIME_NS : arrived;
        loader_sim::Reply reply = {};
        const loader_sim::Step step = device_.receive(byte, &reply);
        if (step == loader_sim::Step::hang_up) {
            line_.close();
            return false;
        }
        // A milestone's moment is the byte's time on the line, or its answer's when it has one:
        // the FLASH transfer runs from the acknowledgement to the answer to its last record.
        long long moment = host_line_free_;
        if (step == loader_sim::Step::reply_ready && reply.held) held_reply_ = reply.byte;
        else if (step == loader_sim::Step::reply_ready) moment = queue_answer(reply);
        const loader_sim::Milestone milestone = device_.milestone();
        if (milestone != loader_sim::Milestone::none) milestone_at_[static_cast<int>(milestone)] = moment;
        if (milestone == loader_sim::Milestone::eeprom_started && device_.heartbeat_ms() > 0) {
            next_beat_ns_ = arrived + device_.heartbeat_ms() * 1000000LL;
        }
        if (milestone == loader_sim::Milestone::eeprom_finished) next_beat_ns_ = -1;
        if (!line_.serial_port) return true;
        if (milestone == loader_sim::Milestone::flash_started) {
            if (session_open_ && end_session()) return false;
            session_open_ = true;
        }
        return !(milestone == loader_sim::Milestone::eeprom_finished && end_session());
    }

    // Queues the device's answer behind its own turnaround (and, when pacing, behind the answers on
    // the line before it) and the adapter's latency; returns when it is due.
    long long queue_answer(const loader_sim::Reply& reply) {
        long long due = host_line_free_ + options_.device_delay_ns;
        if (options_.pace) due = std::max(due, device_line_free_) + BYTE_TIME_NS;
        device_line_free_ = due;
        const long long moment =
            schedule(due + options_.adapter_latency_ns + static_cast<long long>(reply.extra_delay_ms) * 1000000LL, reply.byte);
        // On a paced line the unasked byte comes while the host's next frame is on its way.
        if (reply.surplus != loader_sim::NO_REPLY) {
            schedule(moment + (options_.pace ? SURPLUS_LAG_NS : 0), static_cast<uint8_t>(reply.surplus));
        }
        return moment;
    }

    // Queues an answer, never before the answers queued ahead of it; returns when it is due.
    long long schedule(long long due, uint8_t byte) {
        if (!replies_.empty()) due = std::max(due, replies_.back().due_ns);
        replies_.push_back({due, byte});
        return due;
    }

    // Ends a session: reports it, clears the faults after the faulty ones, tells whether the
    // simulator has served its sessions.
    bool end_session() {
        ++sessions_done_;
        report_session(sessions_done_, device_, device_.records_received() - records_before_,
                       device_.eeprom_bytes_written() - eeprom_before_, expected_);
        records_before_ = device_.records_received();
        eeprom_before_ = device_.eeprom_bytes_written();
        session_open_ = false;
        if (sessions_done_ == options_.faulty_sessions) device_.clear_faults();
        limit_reached_ = sessions_done_ >= options_.sessions;
        return limit_reached_;
    }

    const Options& options_;
    const Expected& expected_;
    Line& line_;
    loader_sim::Device device_;
    std::vector<uint8_t> wire_;    // every byte received from the host
    std::deque<Scheduled> replies_;
    const long long deadline_;
    long long host_line_free_ = 0;    // when the host-to-device line has carried all bytes so far
    long long device_line_free_ = 0;  // when the device-to-host line is free for the next answer
    long long last_byte_ns_;
    int held_reply_ = -1;             // an answer sent only when the host's next byte arrives
    long long next_beat_ns_ = -1;     // when the next unasked byte of a heartbeat is due, or -1
    bool hung_up_ = false;            // the terminal's hang-up, reported until the port is opened again
    unsigned sessions_done_ = 0;
    bool session_open_ = false;       // on a serial port: a FLASH start was seen and its session not ended
    uint32_t records_before_ = 0, eeprom_before_ = 0;  // the device's counts when the session began
    bool limit_reached_ = false;
    bool timed_out_ = false;
    // Line time of each milestone, indexed by it (the paced time when pacing); -1 until reached.
    long long milestone_at_[5] = {-1, -1, -1, -1, -1};
};

// The end: the files asked for, what the device received, the host's protocol errors and the
// timing on standard error; the exit status.
int report_end(const Options& options, const Loader& loader) {
    const loader_sim::Device& device = loader.device();
    const bool written = write_file(options.flash_out, device.flash()) && write_file(options.eeprom_out, device.eeprom()) &&
                         write_file(options.wire_out, loader.wire());
    std::fprintf(stderr, "loader-sim: %u FLASH records received, %u EEPROM bytes written, %u read back\n",
                 device.records_received(), device.eeprom_bytes_written(), device.eeprom_bytes_read());
    for (const std::string& problem : device.protocol_errors()) std::fprintf(stderr, "loader-sim: %s\n", problem.c_str());
    if (options.timing) {
        std::fprintf(stderr, "loader-sim: timing flash %.6f eeprom %.6f\n",
                     loader.seconds_between(loader_sim::Milestone::flash_started, loader_sim::Milestone::flash_finished),
                     loader.seconds_between(loader_sim::Milestone::eeprom_started, loader_sim::Milestone::eeprom_finished));
    }
    if (loader.timed_out()) {
        std::fprintf(stderr, "loader-sim: time limit of %u s reached\n", options.timeout_s);
        return 3;
    }
    if (!written) return 2;
    return device.protocol_errors().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        complain(error + " (see --help)");
        return 2;
    }
    if (options.help) {
        std::fputs(HELP, stdout);
        return 0;
    }
    prepare_process();

    Expected expected;
    if (!options.expect.empty() && !read_expected(options.expect, expected, error)) {
        complain(error);
        return 2;
    }

    Line line;
    if (!open_line(options, line)) return 2;
    if (!prepare_line(options, line)) {
        line.close();
        return 2;
    }
    // The line's path, for the updater's port.
    std::printf("%s\n", line.path.c_str());
    std::fflush(stdout);

    Loader loader(options, expected, line);
    loader.serve();
    loader.finish();
    remove_link(options, line);
    return report_end(options, loader);
}
