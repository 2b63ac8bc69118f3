// bench: how close an update comes to the wire's limit. Runs the packed updater against loader-sim
// on a pseudo terminal, paced at 115200 baud and unpaced, takes the FLASH and EEPROM transfer times
// as the simulated device measures them on its line, and compares them with the wire time of the
// bytes exchanged and with a minimal reference client timed the same way. Prints a Markdown table
// (and writes it to a file).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "console_session.h"
#include "core/eeprom_transfer.h"
#include "test_files.h"

namespace {

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr double BYTE_TIME = 10.0 / 115200;  // seconds per byte at 115200 baud, 8N1
// The device's own time before each answer: a loader's turnaround after a frame's last byte
// (checking it, and for the EEPROM the write of one byte to its buffer). The FLASH burn itself is
// not modelled, so the limit is the tightest a real device allows.
constexpr unsigned DEVICE_DELAY_US = 100;
constexpr unsigned FLASH_ROUND_TRIPS = 500;
constexpr unsigned EEPROM_ROUND_TRIPS = 4096;
// The EEPROM transfer's two waits for quiet, a reply window before its read-back and the time a
// byte out of step may be late after its last answer, which the reference client does not make: no
// round trip's cost.
constexpr double EEPROM_QUIET_WAITS = (core::READ_TIMEOUT_MS + core::LATE_BYTE_MS) / 1000.0;
// Bytes in each timed transfer, as the device times it: after the acknowledgement, 500 frames of 129
// and their replies; after the EEPROM start sequence, the write command, 2,048 write frames of 5,
// the end byte and the read-back command, 2,048 headers of 4 with a poll byte each, the two end
// bytes, and 4,096 replies.
constexpr double FLASH_BYTES = 500 * 129 + 500;
constexpr double EEPROM_BYTES = 1 + 2048 * 5 + 1 + 1 + 2048 * 5 + 2 + 4096;

struct UpdaterRun {
    bool ok = false;
    double flash = 0, eeprom = 0;  // seconds of each transfer, on the device's line
    double wall = 0, cpu = 0;      // seconds, the whole run
    long peak_rss_kib = 0;
};

// The transfer times the simulated device reports: "timing flash F eeprom E".
bool read_timing(const std::string& report, double& flash, double& eeprom) {
    const size_t at = report.find("timing flash ");
    return at != std::string::npos && std::sscanf(report.c_str() + at, "timing flash %lf eeprom %lf", &flash, &eeprom) == 2 &&
           flash > 0 && eeprom > 0;
}

// Runs the update against `devices` simulators with the options, on COM1, COM2, ...: with the keys
// 1, e, Enter through a pipe, or, given args, with those (a batch run). The console goes to
// /dev/null: what printing costs the updater is its write calls, not a terminal's drawing. The
// transfer times are the first device's.
// host_port: the updater's port when the simulator serves another (two joined serial ports).
UpdaterRun run_updater(const std::string& update, std::vector<std::string> sim_options, const std::string& host_port = "",
                       const std::vector<std::string>& args = {}, unsigned devices = 1) {
    UpdaterRun result;
    sim_options.insert(sim_options.end(), {"--timing", "--timeout", "300"});
    std::vector<std::unique_ptr<harness::Simulator>> simulators;
    for (unsigned k = 0; k < devices; ++k) simulators.push_back(std::make_unique<harness::Simulator>(sim_options));
    int input[2];
    if (pipe(input) != 0) return result;
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(input[1]);
        for (unsigned k = 0; k < devices; ++k) {
            const std::string port = host_port.empty() ? simulators[k]->port() : host_port;
            setenv(("UPDATER_COM" + std::to_string(k + 1)).c_str(), port.c_str(), 1);
        }
        std::vector<std::string> words = {update};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(update.c_str(), argv.data());
        _exit(127);
    }
    close(input[0]);
    if (args.empty() && write(input[1], "1e\r", 3) != 3) return result;
    close(input[1]);
    int status = 0;
    rusage usage = {};
    wait4(pid, &status, 0, &usage);
    result.wall = now_seconds() - start;
    result.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    result.peak_rss_kib = usage.ru_maxrss;
    for (auto& simulator : simulators) simulator->wait_exit(5000);
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                read_timing(simulators.front()->report(), result.flash, result.eeprom);
    if (!result.ok) {
        std::fprintf(stderr, "bench: the update did not complete (status %d): %s\n", status,
                     simulators.front()->report().c_str());
    }
    return result;
}

// A batch run over the first `devices` ports, with the EEPROM.
std::vector<std::string> batch_over(unsigned devices) {
    std::vector<std::string> args = {"--batch", "--eeprom"};
    for (unsigned k = 1; k <= devices; ++k) args.insert(args.end(), {"--port", "COM" + std::to_string(k)});
    return args;
}

// The FLASH replies' round trips as the reference client measured them, in seconds.
struct RoundTrips {
    double median = 0, p99 = 0, max = 0;
};

// The reference client against a simulator with the options; the transfer times it measured. With
// host_port, it runs there with the driver's low-latency mode set to low_latency ("on" or "off").
bool run_reference(std::vector<std::string> sim_options, double& flash, double& eeprom, const std::string& host_port = "",
                   const std::string& low_latency = "", RoundTrips* trips = nullptr) {
    sim_options.insert(sim_options.end(), {"--timing", "--timeout", "60"});
    harness::Simulator device(sim_options);
    int output[2];
    if (pipe(output) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        const std::string port = host_port.empty() ? device.port() : host_port;
        if (low_latency.empty()) {
            execl(BENCH_REFERENCE_BIN, BENCH_REFERENCE_BIN, port.c_str(), static_cast<char*>(nullptr));
        } else {
            execl(BENCH_REFERENCE_BIN, BENCH_REFERENCE_BIN, port.c_str(), "--low-latency", low_latency.c_str(),
                  static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(output[1]);
    std::string printed;
    char buffer[256];
    for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<size_t>(got));
    close(output[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    device.wait_exit(5000);
    long long median = 0, p99 = 0, max = 0;
    if (ok && trips != nullptr) {
        ok = std::sscanf(printed.c_str(), "round trips median %lld p99 %lld max %lld", &median, &p99, &max) == 3;
        *trips = {median * 1e-6, p99 * 1e-6, max * 1e-6};
    }
    if (!ok || !read_timing(device.report(), flash, eeprom)) {
        std::fprintf(stderr, "bench: the reference client did not complete: %s\n", device.report().c_str());
        return false;
    }
    return true;
}

struct Summary {
    double median, low, high;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string row(const std::string& measure, const std::string& median, const std::string& spread, const std::string& target,
                const std::string& met) {
    return "| " + measure + " | " + median + " | " + spread + " | " + target + " | " + met + " |\n";
}

// A row for a measured value: its median and spread in the pattern, multiplied by scale.
std::string measured_row(const std::string& measure, const std::vector<double>& values, const char* pattern,
                         double scale = 1, const std::string& target = "", const std::string& met = "") {
    const Summary s = summarize(values);
    return row(measure, format(pattern, s.median * scale),
               format(pattern, s.low * scale) + " to " + format(pattern, s.high * scale), target, met);
}

// A row for the ratio of two medians against its upper target.
std::string ratio_row(const std::string& measure, const std::vector<double>& numerator,
                      const std::vector<double>& denominator, double target) {
    const double ratio = summarize(numerator).median / summarize(denominator).median;
    return row(measure, format("%.2f", ratio), "", "≤ " + format("%g", target), ratio <= target ? "yes" : "**no**");
}

std::string met(bool yes) { return yes ? "yes" : "**no**"; }

std::string machine() {
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname system = {};
    uname(&system);
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
    return std::string(date) + ", " + cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
           system.release;
}

const char USAGE[] =
    "usage: bench UPDATE_FILE [--runs N] [--markdown FILE] [--quick] [--ports HOST_PORT DEVICE_PORT]\n"
    "             [--page-trips FILE] [--page-usb FILE]\n";

struct Arguments {
    std::string update, markdown;
    std::string host_port, device_port;  // two serial ports joined by a null-modem cable
    std::string page_trips_file;         // the web page's host time per FLASH and EEPROM round trip, µs, a run a line
    std::string page_usb_file;           // the page's EEPROM over WebUSB FTDI in s: "set S" a run a line, "left S"
    int runs = 5;
    bool quick = false;
};

// False on bad usage.
bool parse_arguments(int argc, char** argv, Arguments& arguments) {
    bool bad_usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) arguments.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--markdown" && i + 1 < argc) arguments.markdown = argv[++i];
        else if (arg == "--quick") arguments.quick = true;
        else if (arg == "--page-trips" && i + 1 < argc) arguments.page_trips_file = argv[++i];
        else if (arg == "--page-usb" && i + 1 < argc) arguments.page_usb_file = argv[++i];
        else if (arg == "--ports" && i + 2 < argc) {
            arguments.host_port = argv[++i];
            arguments.device_port = argv[++i];
        }
        else if (arguments.update.empty() && arg[0] != '-') arguments.update = arg;
        else bad_usage = true;
    }
    return !bad_usage && !arguments.update.empty();
}

// The web page's round trips, in seconds, as its own benchmark measured them: a run a line, the
// FLASH's, the EEPROM's and a fresh page's first FLASH's, in µs.
struct PageTrips {
    std::vector<double> flash, eeprom, first_flash;
};

// False, said on standard error, when the file holds none.
bool read_page_trips(const std::string& path, PageTrips& trips) {
    std::ifstream in(path);
    for (double flash_us, eeprom_us, first_us; in >> flash_us >> eeprom_us >> first_us;) {
        trips.flash.push_back(flash_us * 1e-6);
        trips.eeprom.push_back(eeprom_us * 1e-6);
        trips.first_flash.push_back(first_us * 1e-6);
    }
    if (trips.flash.empty()) std::fprintf(stderr, "bench: no round trips in %s\n", path.c_str());
    return !trips.flash.empty();
}

// The page's EEPROM over WebUSB FTDI, in seconds: with the latency timer set by the page, a run a
// line ("set S"), and left at 16 ms ("left S"). False, said on standard error, when either is missing.
struct PageUsb {
    std::vector<double> timer_set, timer_left;
};

bool read_page_usb(const std::string& path, PageUsb& usb) {
    std::ifstream in(path);
    std::string kind;
    for (double seconds; in >> kind >> seconds;) (kind == "set" ? usb.timer_set : usb.timer_left).push_back(seconds);
    const bool complete = !usb.timer_set.empty() && !usb.timer_left.empty();
    if (!complete) std::fprintf(stderr, "bench: no EEPROM times over WebUSB in %s\n", path.c_str());
    return complete;
}

const std::string DELAY = std::to_string(DEVICE_DELAY_US);
// The simulator paced at 115200 baud, with the device's turnaround.
const std::vector<std::string> PACED = {"--pace", "--device-delay", DELAY};
// The tightest a transfer can be at 115200 baud: the wire time of its bytes and the device's turnarounds.
constexpr double FLASH_LIMIT = FLASH_BYTES * BYTE_TIME + FLASH_ROUND_TRIPS * DEVICE_DELAY_US * 1e-6;
constexpr double EEPROM_LIMIT = EEPROM_BYTES * BYTE_TIME + EEPROM_ROUND_TRIPS * DEVICE_DELAY_US * 1e-6;
// A whole update behind a USB adapter that holds each answer for its latency timer: 1 ms, the
// setting to use, and 16 ms, the common default.
const unsigned ADAPTER_LATENCIES_MS[] = {1, 16};
const char* const LOW_LATENCY[] = {"on", "off"};
constexpr unsigned STATION_DEVICES = 8;

// What the runs measured, a value a run.
struct Measures {
    std::vector<double> flash_ratio, eeprom_ratio, flash_paced, eeprom_paced, cpu_share, rss;
    std::vector<double> flash_trip, eeprom_trip, reference_flash_trip, reference_eeprom_trip;
    std::vector<double> reference_flash_ratio, reference_eeprom_ratio;
    std::vector<double> batch_flash, logged_flash;  // FLASH transfer, unpaced, batch runs without and with --log
    std::vector<double> logged_flash_trip, logged_eeprom_trip;  // the run with --log, per round trip
    std::vector<double> one_alone, eight_together, eight_cpu_share, eight_rss;  // paced station runs
    std::vector<double> bench_one, bench_eight, bench_idle_cpu;  // the bench: one slot's update, eight at once; idle
    double whole_at_latency[2] = {0, 0};  // seconds, at each of ADAPTER_LATENCIES_MS
    UpdaterRun over_ports;                // over the two joined ports
    RoundTrips trips_at[2];               // over the two joined ports, at each of LOW_LATENCY
};

// The updater paced and unpaced, in a batch run without and with its record, and the reference
// client alike, each run after run; the paced runs only when not quick. False when one failed.
bool measure_transfers(const Arguments& arguments, const std::string& log, Measures& m) {
    const std::string& update = arguments.update;
    std::vector<std::string> logged = batch_over(1);
    logged.insert(logged.end(), {"--log", log});
    for (int run = 0; run < arguments.runs; ++run) {
        std::fprintf(stderr, "bench: run %d of %d\n", run + 1, arguments.runs);
        if (!arguments.quick) {
            const UpdaterRun paced = run_updater(update, PACED);
            if (!paced.ok) return false;
            m.flash_paced.push_back(paced.flash);
            m.eeprom_paced.push_back(paced.eeprom);
            m.flash_ratio.push_back(paced.flash / FLASH_LIMIT);
            m.eeprom_ratio.push_back(paced.eeprom / EEPROM_LIMIT);
            m.cpu_share.push_back(paced.cpu / paced.wall);
            m.rss.push_back(static_cast<double>(paced.peak_rss_kib) / 1024);
        }
        const UpdaterRun unpaced = run_updater(update, {});
        if (!unpaced.ok) return false;
        m.flash_trip.push_back(unpaced.flash / FLASH_ROUND_TRIPS);
        m.eeprom_trip.push_back((unpaced.eeprom - EEPROM_QUIET_WAITS) / EEPROM_ROUND_TRIPS);
        if (arguments.quick) {
            m.cpu_share.push_back(unpaced.cpu / unpaced.wall);
            m.rss.push_back(static_cast<double>(unpaced.peak_rss_kib) / 1024);
        }
        // What the run record costs the FLASH transfer: like for like, a batch run without and with it.
        const UpdaterRun batch = run_updater(update, {}, "", batch_over(1));
        const UpdaterRun with_log = run_updater(update, {}, "", logged);
        if (!batch.ok || !with_log.ok) return false;
        m.batch_flash.push_back(batch.flash);
        m.logged_flash.push_back(with_log.flash);
        m.logged_flash_trip.push_back(with_log.flash / FLASH_ROUND_TRIPS);
        m.logged_eeprom_trip.push_back(with_log.eeprom / EEPROM_ROUND_TRIPS);
        double reference_flash = 0, reference_eeprom = 0;
        if (!run_reference({}, reference_flash, reference_eeprom)) return false;
        m.reference_flash_trip.push_back(reference_flash / FLASH_ROUND_TRIPS);
        m.reference_eeprom_trip.push_back(reference_eeprom / EEPROM_ROUND_TRIPS);
        if (!arguments.quick) {
            if (!run_reference(PACED, reference_flash, reference_eeprom)) return false;
            m.reference_flash_ratio.push_back(reference_flash / FLASH_LIMIT);
            m.reference_eeprom_ratio.push_back(reference_eeprom / EEPROM_LIMIT);
        }
    }
    return true;
}

// The station: eight paced devices in one process against one alone, the whole run each, up to
// three times; not when quick.
bool measure_station(const Arguments& arguments, Measures& m) {
    for (int run = 0; run < std::min(arguments.runs, 3) && !arguments.quick; ++run) {
        std::fprintf(stderr, "bench: station run %d: one device, then %u\n", run + 1, STATION_DEVICES);
        const UpdaterRun alone = run_updater(arguments.update, PACED, "", batch_over(1));
        const UpdaterRun together = run_updater(arguments.update, PACED, "", batch_over(STATION_DEVICES), STATION_DEVICES);
        if (!alone.ok || !together.ok) return false;
        m.one_alone.push_back(alone.wall);
        m.eight_together.push_back(together.wall);
        m.eight_cpu_share.push_back(together.cpu / together.wall);
        m.eight_rss.push_back(static_cast<double>(together.peak_rss_kib) / 1024);
    }
    return true;
}

// Processor seconds a process has used so far, from /proc; -1 when it cannot be read.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t after_name = text.rfind(')');
    unsigned long user = 0, system = 0;
    // After the name: state, then 10 fields, then utime and stime in clock ticks.
    if (after_name == std::string::npos ||
        std::sscanf(text.c_str() + after_name + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The bench on a pseudo terminal over `slots` paced devices (COM1, COM2, ...): the seconds from
// the slots' keys to the last of their updates ended, or -1 when it failed.
double bench_update(const std::string& update, unsigned slots) {
    std::vector<std::unique_ptr<harness::Simulator>> simulators;
    harness::Launch launch;
    launch.program = update;
    launch.args = {update, "--bench", "--eeprom"};
    std::string keys;
    for (unsigned k = 1; k <= slots; ++k) {
        std::vector<std::string> options = PACED;
        options.insert(options.end(), {"--timeout", "300"});
        simulators.push_back(std::make_unique<harness::Simulator>(options));
        launch.env.push_back({"UPDATER_COM" + std::to_string(k), simulators.back()->port()});
        launch.args.insert(launch.args.end(), {"--port", "COM" + std::to_string(k)});
        keys += std::to_string(k);
    }
    harness::ConsoleSession bench(launch);
    if (!bench.expect("KEY PORT")) return -1;
    const double start = now_seconds();
    bench.send(keys);
    const bool ended = bench.expect("Updated " + std::to_string(slots) + ", completed " + std::to_string(slots), 120000);
    const double took = now_seconds() - start;
    bench.send("q");
    if (!ended || bench.wait_exit() != 0) {
        std::fprintf(stderr, "bench: the bench's updates did not complete: %s\n", bench.output().c_str());
        return -1;
    }
    return took;
}

// An idle bench's share of a core over ten seconds: eight slots watching for their ports (none
// appears), on a pseudo terminal. -1 when it could not be measured.
double idle_bench_cpu_share(const std::string& update) {
    harness::Launch launch;
    launch.program = update;
    launch.args = {update, "--bench", "--auto", "--no-eeprom"};
    for (unsigned k = 1; k <= STATION_DEVICES; ++k) {
        launch.args.insert(launch.args.end(), {"--port", "/nonexistent/slot" + std::to_string(k)});
    }
    harness::ConsoleSession bench(launch);
    if (!bench.expect("KEY PORT")) return -1;
    const double before = cpu_seconds(bench.pid()), start = now_seconds();
    bench.still_running_after(10000);
    const double share = (cpu_seconds(bench.pid()) - before) / (now_seconds() - start);
    bench.send("q");
    return bench.wait_exit() == 0 && before >= 0 ? share : -1;
}

// The bench: eight slots updating at once against one alone, up to three times, and an idle
// bench's processor time; not when quick.
bool measure_bench(const Arguments& arguments, Measures& m) {
    for (int run = 0; run < std::min(arguments.runs, 3) && !arguments.quick; ++run) {
        std::fprintf(stderr, "bench: bench run %d: one slot, then %u, then idle\n", run + 1, STATION_DEVICES);
        const double one = bench_update(arguments.update, 1), eight = bench_update(arguments.update, STATION_DEVICES);
        const double idle = idle_bench_cpu_share(arguments.update);
        if (one < 0 || eight < 0 || idle < 0) return false;
        m.bench_one.push_back(one);
        m.bench_eight.push_back(eight);
        m.bench_idle_cpu.push_back(idle);
    }
    return true;
}

// A whole update at each adapter latency, once each: they take long. Not when quick.
bool measure_adapter_latency(const Arguments& arguments, Measures& m) {
    for (size_t i = 0; i < 2 && !arguments.quick; ++i) {
        std::fprintf(stderr, "bench: whole update at %u ms of adapter latency\n", ADAPTER_LATENCIES_MS[i]);
        std::vector<std::string> slow_line = PACED;
        slow_line.insert(slow_line.end(), {"--adapter-latency", std::to_string(ADAPTER_LATENCIES_MS[i])});
        const UpdaterRun slow = run_updater(arguments.update, slow_line);
        if (!slow.ok) return false;
        m.whole_at_latency[i] = slow.flash + slow.eeprom;
    }
    return true;
}

// Over two real ports, when given: the transfers against the wire's limit, and the reply round
// trips with and without the driver's low-latency mode. Once each.
bool measure_over_ports(const Arguments& arguments, Measures& m) {
    if (arguments.host_port.empty()) return true;
    std::fprintf(stderr, "bench: over %s and %s\n", arguments.host_port.c_str(), arguments.device_port.c_str());
    const std::vector<std::string> device_side = {"--port", arguments.device_port, "--sessions", "1"};
    m.over_ports = run_updater(arguments.update, device_side, arguments.host_port);
    if (!m.over_ports.ok) return false;
    for (size_t i = 0; i < 2; ++i) {
        double flash = 0, eeprom = 0;
        if (!run_reference(device_side, flash, eeprom, arguments.host_port, LOW_LATENCY[i], &m.trips_at[i])) return false;
    }
    return true;
}

// The Markdown table of what was measured, with the notes on how.
std::string table_of(const Arguments& arguments, const Measures& m, const PageTrips& page, const PageUsb& usb) {
    const bool quick = arguments.quick;
    const std::string& host_port = arguments.host_port;
    const std::string& device_port = arguments.device_port;
    std::string table = "Measured " + machine() + "; medians of " + std::to_string(arguments.runs) + " runs" +
                        (quick ? " (quick: unpaced only)" : "") + ".\n\n";
    table += row("Measure", "Median", "Spread", "Target", "Met");
    table += row("---", "---", "---", "---", "---");
    if (!quick) {
        const double flash_ratio_median = summarize(m.flash_ratio).median, eeprom_ratio_median = summarize(m.eeprom_ratio).median;
        table += measured_row("FLASH transfer, paced (s)", m.flash_paced, "%.3f", 1, "limit " + format("%.3f", FLASH_LIMIT) + " s");
        table += measured_row("FLASH transfer / wire-time limit", m.flash_ratio, "%.4f", 1, "≤ 1.02", met(flash_ratio_median <= 1.02));
        table += measured_row("Reference client, paced FLASH / limit", m.reference_flash_ratio, "%.4f");
        table += measured_row("EEPROM transfer, paced (s)", m.eeprom_paced, "%.3f", 1, "limit " + format("%.3f", EEPROM_LIMIT) + " s");
        table += measured_row("EEPROM transfer / wire-time limit", m.eeprom_ratio, "%.4f", 1, "≤ 1.02", met(eeprom_ratio_median <= 1.02));
        table += measured_row("Reference client, paced EEPROM / limit", m.reference_eeprom_ratio, "%.4f");
        for (size_t i = 0; i < 2; ++i) {
            table += row("Whole update, paced, adapter latency " + std::to_string(ADAPTER_LATENCIES_MS[i]) + " ms (s)",
                         format("%.1f", m.whole_at_latency[i]), "one run",
                         "without latency " + format("%.1f", FLASH_LIMIT + EEPROM_LIMIT) + " s", "");
        }
    }
    table += measured_row("Host time per FLASH round trip, unpaced (µs)", m.flash_trip, "%.1f", 1e6);
    table += measured_row("Reference client, per FLASH round trip (µs)", m.reference_flash_trip, "%.1f", 1e6);
    table += ratio_row("FLASH: updater / reference", m.flash_trip, m.reference_flash_trip, 1.2);
    if (!page.flash.empty()) {
        // Like with like: the page keeps its run record, so the updater's run here keeps one too.
        table += measured_row("Updater with --log, host time per FLASH round trip (µs)", m.logged_flash_trip, "%.1f", 1e6);
        table += measured_row("Web page, host time per FLASH round trip (µs)", page.flash, "%.1f", 1e6);
        table += row("FLASH: web page / updater, both keeping their record",
                     format("%.1f", summarize(page.flash).median / summarize(m.logged_flash_trip).median), "", "", "");
        table += measured_row("Updater with --log, host time per EEPROM round trip (µs)", m.logged_eeprom_trip, "%.1f", 1e6);
        table += measured_row("Web page, host time per EEPROM round trip (µs)", page.eeprom, "%.1f", 1e6);
        table += row("EEPROM: web page / updater, both keeping their record",
                     format("%.1f", summarize(page.eeprom).median / summarize(m.logged_eeprom_trip).median), "", "", "");
        table += ratio_row("Web page: FLASH round trip / EEPROM round trip", page.flash, page.eeprom, 2);
        table += measured_row("Web page, a fresh page's first FLASH, per round trip (µs)", page.first_flash, "%.1f", 1e6);
    }
    if (!usb.timer_set.empty() && !page.eeprom.empty()) {
        std::vector<double> page_eeprom;
        for (const double trip : page.eeprom) page_eeprom.push_back(trip * EEPROM_ROUND_TRIPS);
        table += measured_row("Web page over Web Serial, EEPROM without latency (s)", page_eeprom, "%.2f");
        table += measured_row("Web page over WebUSB FTDI, EEPROM, latency timer set to 1 ms by the page (s)", usb.timer_set,
                              "%.2f");
        table += row("Web page over WebUSB FTDI, EEPROM, latency timer left at 16 ms (s)",
                     format("%.2f", usb.timer_left.front()), "one run", "", "");
        table += ratio_row("EEPROM: WebUSB FTDI with the timer set / Web Serial without latency", usb.timer_set,
                           page_eeprom, 1.5);
        table += row("EEPROM over WebUSB FTDI: timer left at 16 ms / set by the page",
                     format("%.1f", usb.timer_left.front() / summarize(usb.timer_set).median), "", "", "");
    }
    table += measured_row("FLASH transfer, unpaced, batch without --log (ms)", m.batch_flash, "%.1f", 1e3);
    table += measured_row("FLASH transfer, unpaced, batch with --log (ms)", m.logged_flash, "%.1f", 1e3);
    table += ratio_row("FLASH: with --log / without", m.logged_flash, m.batch_flash, 1.3);
    table += measured_row("Host time per EEPROM round trip, unpaced, less the two waits for quiet (µs)", m.eeprom_trip, "%.1f",
                          1e6);
    table += measured_row("Reference client, per EEPROM round trip (µs)", m.reference_eeprom_trip, "%.1f", 1e6);
    table += ratio_row("EEPROM: updater / reference", m.eeprom_trip, m.reference_eeprom_trip, 1.2);
    table += measured_row(std::string("Processor time / wall time, complete ") + (quick ? "unpaced" : "paced") + " run",
                          m.cpu_share, "%.2f%%", 100, "< 5 %", met(summarize(m.cpu_share).median < 0.05));
    table += measured_row("Peak resident memory (MiB)", m.rss, "%.2f", 1, "< 4 MiB", met(summarize(m.rss).median < 4));
    if (!quick) {
        table += measured_row("Whole update, paced, one device alone (s)", m.one_alone, "%.2f");
        table += measured_row("Whole update, paced, 8 devices in one process (s)", m.eight_together, "%.2f");
        table += ratio_row("8 devices / one alone", m.eight_together, m.one_alone, 1.15);
        table += measured_row("Processor time / wall time, 8 devices", m.eight_cpu_share, "%.2f%%", 100);
        table += measured_row("Peak resident memory, 8 devices (MiB)", m.eight_rss, "%.2f");
        table += measured_row("Bench, one slot's update, paced (s)", m.bench_one, "%.2f");
        table += measured_row("Bench, 8 slots updating at once, paced (s)", m.bench_eight, "%.2f");
        table += ratio_row("Bench: 8 slots / one", m.bench_eight, m.bench_one, 1.15);
        table += measured_row("Idle bench, 8 slots watching for their ports, processor time / 10 s", m.bench_idle_cpu,
                              "%.3f%%", 100, "< 1 %", met(summarize(m.bench_idle_cpu).median < 0.01));
    }
    if (!host_port.empty()) {
        const double flash_wire = FLASH_BYTES * BYTE_TIME, eeprom_wire = EEPROM_BYTES * BYTE_TIME;
        table += row("FLASH transfer over " + host_port + " and " + device_port + " (s)",
                     format("%.3f", m.over_ports.flash) + format(" (%.2f × wire)", m.over_ports.flash / flash_wire), "one run",
                     "wire " + format("%.3f", flash_wire) + " s", "");
        table += row("EEPROM transfer over " + host_port + " and " + device_port + " (s)",
                     format("%.3f", m.over_ports.eeprom) + format(" (%.2f × wire)", m.over_ports.eeprom / eeprom_wire), "one run",
                     "wire " + format("%.3f", eeprom_wire) + " s", "");
        for (size_t i = 0; i < 2; ++i) {
            const RoundTrips& t = m.trips_at[i];
            table += row(std::string("FLASH reply round trip, low latency ") + LOW_LATENCY[i] + " (ms)", format("%.2f", t.median * 1e3),
                         "p99 " + format("%.2f", t.p99 * 1e3) + ", max " + format("%.2f", t.max * 1e3), "≤ 4 ms", met(t.median <= 0.004));
        }
    }
    table += "\nTransfer times are measured by the simulated device on its line. Paced: loader-sim --pace "
             "--device-delay " + DELAY + " (115200 baud, 86.8 µs a byte, and 0.1 ms of device turnaround before each "
             "answer); the limit of a transfer is the wire time of every byte it exchanges plus the device's "
             "turnarounds. Unpaced: the device answers at once, so a round trip's time is the host's and the "
             "terminal's; the reference client does only write, drain, wait and read. The processor-time share "
             "covers the whole run, the 5 s pause included. The whole-update rows (one run each) add loader-sim "
             "--adapter-latency, which holds every answer as a USB serial adapter's latency timer does: FLASH and "
             "EEPROM transfers together, 4,596 answers. The bench rows run the updater's --bench on a pseudo "
             "terminal: from the slots' keys to the last update's end, FLASH and EEPROM; idle, with --auto on eight "
             "ports that never appear, its processor time over ten seconds.\n";
    if (!page.flash.empty()) {
        table += "\nWeb page: the update page in headless Chromium, the simulated device (compiled to WebAssembly) behind "
                 "a stand-in Web Serial port answering at once; the FLASH from its acknowledgement to its answer to the "
                 "last record, over 500 records, the EEPROM from its start sequence to its last byte, over 4,096 round "
                 "trips, as the device sees them, in an update that follows a first one on the same page; the first, "
                 "while the browser still compiles the core to its faster code, has a row of its own. The page keeps "
                 "its run record, so it is set against the updater's batch run with --log.\n";
    }
    if (!usb.timer_set.empty() && !page.eeprom.empty()) {
        table += "\nWebUSB: the same page without Web Serial, over its own FTDI driver, against a stand-in FTDI "
                 "FT232R whose latency timer holds every reply that does not fill a packet until the timer runs out "
                 "(16 ms as shipped, as another program left it); the page sets it to 1 ms for the update and puts it "
                 "back after. Left at 16 ms: a stand-in chip that refuses the timer's requests. The EEPROM from its "
                 "start sequence to its last byte as the device sees it; with the timer set, in an update that "
                 "follows a first one on the same page. Each of the EEPROM's 4,096 answers waits for the timer, "
                 "4.1 s in all at 1 ms, which Web Serial's stand-in, answering at once, does not: against it, no "
                 "adapter with a timer of 1 ms meets the target.\n";
    }
    if (!host_port.empty()) {
        table += "\nOver the two ports (one run each): the updater, and loader-sim serving the second port, time the "
                 "transfers on that line against the wire time of their bytes; the reference client measures each FLASH "
                 "reply from its record having left the port, with the driver's low-latency mode on and off.\n";
    }
    return table;
}

// The table as a Markdown page; false, said on standard error, when it cannot be written.
bool write_markdown(const std::string& path, const std::string& table) {
    std::ofstream out(path);
    out << "# Benchmark\n\n" << table;
    if (!out) std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    PageTrips page;
    if (!arguments.page_trips_file.empty() && !read_page_trips(arguments.page_trips_file, page)) return 1;
    PageUsb usb;
    if (!arguments.page_usb_file.empty() && !read_page_usb(arguments.page_usb_file, usb)) return 1;

    Measures measures;
    const test_files::TempDir scratch;
    if (!measure_transfers(arguments, scratch.file("runs.log"), measures) || !measure_station(arguments, measures) ||
        !measure_bench(arguments, measures) ||
        !measure_adapter_latency(arguments, measures) || !measure_over_ports(arguments, measures)) {
        return 1;
    }

    const std::string table = table_of(arguments, measures, page, usb);
    std::fputs(table.c_str(), stdout);
    if (!arguments.markdown.empty() && !write_markdown(arguments.markdown, table)) return 1;
    return 0;
}
