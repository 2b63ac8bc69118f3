// The packed updater in an emulated machine (QEMU) running Debian's kernel, so that the port it
// opens is served by the kernel's own drivers: ftdi_sio behind QEMU's emulated FTDI adapter, and
// the 8250 driver behind an emulated 16550 UART. loader-sim plays the device on the far side of
// each, on the pseudo terminal QEMU gives the port's wire. The machine's init (tests/qemu/init)
// runs one update and reports between "@@" lines on the machine's console; the adapter is
// unplugged through the QEMU monitor where a row asks for it.
#include <dirent.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "console_session.h"
#include "test_files.h"
#include "frontend/text.h"

namespace {

// The drivers the machine loads, in their order; ftdi_sio's sits on usbserial, the USB core and
// the host controller QEMU's adapter is plugged into (xHCI). The 8250 driver is built in.
const char* const MODULES[] = {"usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"};

// The serial number QEMU's adapter presents: what the port list must show of it.
constexpr char ADAPTER_SERIAL[] = "QEMU0001";

// Every port of the machine as --list-ports shows it: the adapter first with its USB identity,
// then the UARTs the 8250 driver found (the console's and the one under test; the driver's
// placeholders ttyS2 and ttyS3 have none behind them).
const std::string PORTS = std::string("COM1 = /dev/ttyUSB0 (QEMU USB SERIAL, 0403:6001, serial ") + ADAPTER_SERIAL +
                          ")\nCOM2 = /dev/ttyS0\nCOM3 = /dev/ttyS1\n";

const std::string FLASH_HELD = "session 1: FLASH holds the update file's firmware, byte for byte\n";
const std::string EEPROM_HELD = "loader-sim: session 1: EEPROM holds the update file's contents, byte for byte\n";

struct Scenario {
    const char* name;
    const char* port;         // the updater's port in the machine
    const char* wire;         // the QEMU character device of that port's wire, served by loader-sim
    const char* unplug_in;    // the phase during which the adapter is removed (its first line), or nullptr
    const char* unplug_at;    // ... once the console shows this progress line of it
    const char* during;       // the driver's low-latency mode while the updater holds the port
    int status;
    std::string device_report;  // what loader-sim says the device received
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// The progress lines at 20 %: FLASH record 100, EEPROM address 199.
const Scenario SCENARIOS[] = {
    {"CompleteOverFtdiSio", "/dev/ttyUSB0", "adapter", nullptr, nullptr, "low_latency=on latency_timer=1", 0,
     FLASH_HELD + EEPROM_HELD},
    {"CompleteOver16550", "/dev/ttyS1", "uart", nullptr, nullptr, "low_latency=on", 0, FLASH_HELD + EEPROM_HELD},
    {"AdapterRemovedDuringFlash", "/dev/ttyUSB0", "adapter", "Downloading FLASH...", "\r3200 20%", nullptr, 4,
     "session 1: FLASH incomplete or different: "},
    {"AdapterRemovedDuringEepromWrite", "/dev/ttyUSB0", "adapter", "Downloading EEPROM...", "\r199 20%", nullptr, 4,
     FLASH_HELD + "loader-sim: session 1: EEPROM incomplete or different: "},
};

long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// The one file matching pattern, or empty.
std::string only_match(const std::string& pattern) {
    glob_t found = {};
    std::string path;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1) path = found.gl_pathv[0];
    globfree(&found);
    return path;
}

// Status of a shell command, its output in output.
int shell(const std::string& command, std::string& output) {
    output.clear();
    std::FILE* pipe = popen(("{ " + command + "; } 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The machine's initramfs at path, from the cache's busybox and modules, the init script, the
// port flags tool and the packed updater. Empty on success, else what went wrong.
std::string make_initramfs(const std::string& cache, const std::string& staging, const std::string& path) {
    std::string command = "set -e; mkdir -p " + staging + "/bin " + staging + "/modules; cd " + staging +
                          "; cp " + cache + "/root/bin/busybox bin/; ln -s busybox bin/sh; cp " UPDATER_SOURCE_DIR
                          "/tests/qemu/init init; cp " PORT_FLAGS_BIN " port_flags; cp " UPDATE_FILE " update";
    // Numbered, so that the init loads them in order.
    int order = 0;
    for (const char* module : MODULES) {
        command += "; cp \"$(find " + cache + "/root/lib/modules -name " + module + ".ko)\" modules/" +
                   std::to_string(++order) + "-" + module + ".ko";
    }
    command += "; find . | bin/busybox cpio -o -H newc >" + path + " 2>/dev/null";
    std::string output;
    return shell(command, output) == 0 ? "" : "cannot make the initramfs: " + output;
}

// KVM where it works, else QEMU's own emulation. A machine that is itself virtual may offer
// /dev/kvm without the processor's virtualization extensions; a KVM guest there never starts.
std::vector<std::string> accelerator() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::stringstream flags;
    flags << cpuinfo.rdbuf();
    const bool extensions = flags.str().find(" vmx") != std::string::npos || flags.str().find(" svm") != std::string::npos;
    if (extensions && access("/dev/kvm", R_OK | W_OK) == 0) return {"-accel", "kvm", "-cpu", "host"};
    return {"-accel", "tcg", "-cpu", "max"};
}

// The machine, stopped before its first instruction until the monitor says "cont": its console
// on standard output, the 16550 under test as ttyS1, the adapter on an xHCI controller, each
// port's wire on a pseudo terminal of its own. The adapter is plugged in from the start, also where
// nothing serves its wire (QEMU's would otherwise appear only once its terminal is opened).
harness::Launch machine(const std::string& kernel, const std::string& initramfs, const std::string& monitor,
                        const std::string& port) {
    harness::Launch launch;
    launch.program = QEMU_BIN;
    launch.args = {QEMU_BIN, "-machine", "pc", "-m", "256", "-nodefaults", "-no-user-config", "-display", "none",
                   "-no-reboot", "-S", "-kernel", kernel, "-initrd", initramfs,
                   "-append", "console=ttyS0 loglevel=1 panic=-1 qemu_port=" + port,
                   "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
                   "-chardev", "pty,id=uart", "-device", "isa-serial,chardev=uart,index=1",
                   "-chardev", "pty,id=adapter", "-device", "qemu-xhci",
                   "-device", std::string("usb-serial,chardev=adapter,id=ftdi,always-plugged=on,serial=") + ADAPTER_SERIAL,
                   "-monitor", "unix:" + monitor + ",server=on,wait=off"};
    for (const std::string& arg : accelerator()) launch.args.push_back(arg);
    return launch;
}

// Sends one command to the QEMU monitor at path and returns its answer; empty when the monitor
// did not answer within 10 s.
std::string monitor(const std::string& path, const std::string& command) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const long long deadline = now_ms() + 10000;
    int fd = -1;
    while (now_ms() < deadline) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        close(fd);
        fd = -1;
        usleep(50000);
    }
    if (fd < 0) return "";
    const std::string line = command + "\n";
    std::string answer;
    // The monitor greets with a prompt, and prompts again once the command is done.
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        while (now_ms() < deadline && answer.find("(qemu) ", answer.find("(qemu) ") + 1) == std::string::npos) {
            pollfd ready = {fd, POLLIN, 0};
            char buffer[1024];
            ssize_t got = 0;
            if (poll(&ready, 1, 100) > 0 && (got = read(fd, buffer, sizeof buffer)) <= 0) break;
            answer.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
    }
    close(fd);
    return answer;
}

// The pseudo terminal of a character device, from the monitor's "info chardev".
std::string pty_of(const std::string& chardevs, const std::string& id) {
    const std::string key = "\n" + id + ": filename=pty:";
    const size_t at = chardevs.find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return chardevs.substr(from, chardevs.find_first_of("\r\n", from) - from);
}

// The console as lines, without the carriage returns the machine's and the host's terminal put
// before a newline.
std::string lines_of(const std::string& console) {
    std::string text;
    for (char c : console) {
        while (c == '\n' && !text.empty() && text.back() == '\r') text.pop_back();
        text += c;
    }
    return text;
}

// What the init reported after "@@ name ": the rest of that line, or for "ports" the lines up to
// the next report.
std::string reported(const std::string& console, const std::string& name) {
    const size_t at = console.find("@@ " + name + (name == "ports" ? "\n" : " "));
    if (at == std::string::npos) return "(not reported)";
    const size_t from = at + name.size() + 4;
    return console.substr(from, console.find(name == "ports" ? "@@ " : "\n", from) - from);
}

// The end of the console as a person would have seen it, each progress line at its last state:
// enough to see what went wrong.
std::string shown(const std::string& console) {
    std::string text;
    std::istringstream lines(lines_of(console));
    for (std::string line; std::getline(lines, line);) {
        const size_t last = line.rfind('\r');
        text += line.substr(last == std::string::npos ? 0 : last + 1) + "\n";
    }
    return text.substr(text.size() > 4000 ? text.size() - 4000 : 0);
}

// Waits until the console shows text; false after timeout_ms, or as soon as the updater has
// ended without showing it.
bool console_shows(harness::ConsoleSession& qemu, const std::string& text, int timeout_ms) {
    for (const long long deadline = now_ms() + timeout_ms; now_ms() < deadline;) {
        if (qemu.expect(text, 200)) return true;
        if (qemu.output().find("@@ status") != std::string::npos) return false;
    }
    return false;
}

// Puts every thread of a process ahead of the host's other work (a build beside the tests): the
// device must answer within the updater's 50 ms through an emulated machine, which a busy host can
// otherwise hold up for longer now and then. Only the superuser may; for others it stays as it is.
void favour(pid_t pid) {
    if (DIR* threads = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent* thread = readdir(threads)) {
            if (thread->d_name[0] != '.') setpriority(PRIO_PROCESS, static_cast<id_t>(std::atoi(thread->d_name)), -10);
        }
        closedir(threads);
    }
}

class RealDrivers : public ::testing::TestWithParam<Scenario> {};

TEST_P(RealDrivers, UpdateOverThePort) {
    const Scenario& scenario = GetParam();
    const std::string cache = UPDATER_BUILD_DIR "/qemu-cache";
    const std::string kernel = only_match(cache + "/root/boot/vmlinuz-*");
    ASSERT_FALSE(kernel.empty()) << "no kernel in " << cache << ": `make deps-qemu` fetches it";
    test_files::TempDir dir;
    ASSERT_EQ(make_initramfs(cache, dir.file("staging"), dir.file("initramfs")), "");

    harness::ConsoleSession qemu(machine(kernel, dir.file("initramfs"), dir.file("monitor"), scenario.port));
    const std::string wire = pty_of(monitor(dir.file("monitor"), "info chardev"), scenario.wire);
    ASSERT_FALSE(wire.empty()) << "QEMU did not start:\n" << shown(qemu.output());
    harness::Simulator device({"--port", wire, "--expect", UPDATE_FILE, "--pace", "--timeout", "200"});
    favour(qemu.pid());
    favour(device.pid());
    ASSERT_NE(monitor(dir.file("monitor"), "cont"), "") << "the QEMU monitor did not answer";

    if (scenario.unplug_at != nullptr) {
        ASSERT_TRUE(console_shows(qemu, scenario.unplug_in, 90000) && console_shows(qemu, scenario.unplug_at, 30000))
            << "no \"" << scenario.unplug_at << "\" in " << scenario.unplug_in << "\n" << shown(qemu.output())
            << device.report();
        monitor(dir.file("monitor"), "device_del ftdi");
        EXPECT_TRUE(qemu.expect("@@ status", 15000)) << "the updater still ran 15 s after the unplug";
    }
    // A hung machine is killed: the init bounds the updater by 60 s, the whole run by less than this.
    ASSERT_EQ(qemu.wait_exit(150000), 0) << "the machine did not power off:\n" << shown(qemu.output()) << device.report();
    kill(device.pid(), SIGINT);
    device.wait_exit(5000);
    const std::string console = lines_of(qemu.output());
    ASSERT_NE(console.find("@@ end\n"), std::string::npos) << shown(console);

    EXPECT_EQ(reported(console, "ports"), PORTS);
    EXPECT_EQ(reported(console, "status"), std::to_string(scenario.status)) << shown(console);
    EXPECT_NE(device.report().find(scenario.device_report), std::string::npos) << device.report();
    nlohmann::json record = nlohmann::json::parse(reported(console, "record"), nullptr, false);
    ASSERT_TRUE(record.is_object()) << reported(console, "record");
    EXPECT_EQ(record["exit_status"], scenario.status);
    if (scenario.during != nullptr) {
        // Low latency asked for while the updater held the port, and the driver as found after it.
        EXPECT_NE(reported(console, "during").find(scenario.during), std::string::npos) << reported(console, "during");
        EXPECT_NE(reported(console, "before").find("low_latency=off"), std::string::npos) << reported(console, "before");
        EXPECT_EQ(reported(console, "after"), reported(console, "before"));
    }
    if (scenario.unplug_at != nullptr) {
        // The lost port said on the console (however its lines are broken) and in the record.
        std::string words = console;
        for (char& c : words) c = c == '\n' ? ' ' : c;
        EXPECT_NE(words.find(frontend::PORT_LOST_TEXT), std::string::npos) << shown(console);
        EXPECT_NE(record["port_help"].dump().find(frontend::PORT_LOST_TEXT), std::string::npos) << record["port_help"];
    }
}

INSTANTIATE_TEST_SUITE_P(Machine, RealDrivers, ::testing::ValuesIn(SCENARIOS),
                         [](const ::testing::TestParamInfo<Scenario>& row) { return std::string(row.param.name); });

}  // namespace
