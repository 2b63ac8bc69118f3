// The station: one updater process updating the devices on several ports at once, each against a
// simulated device of its own, for the ways a tray of devices can go.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "e2e_support.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

struct StationCase {
    const char* name;
    std::vector<std::string> devices;  // each device's loader-sim options, in the order of the ports
    const char* eeprom;                // --eeprom or --no-eeprom
    int status;
    std::vector<std::string> outcomes;  // each port's, in the record
    bool piped;                         // standard output is a pipe
    bool interrupted;                   // Ctrl+C once the transfers are under way
    bool attended = false;              // without --batch: one Enter ends the run
    unsigned missing = 0;               // ports that do not exist, named before the devices' ports
    int signal_number = SIGINT;         // what interrupts: Ctrl+C typed, or another signal sent

    friend std::ostream& operator<<(std::ostream& out, const StationCase& row) { return out << row.name; }
};

class Station : public UpdateRun, public ::testing::WithParamInterface<StationCase> {};

TEST_P(Station, UpdatesEveryPortAtOnceAndSumsUp) {
    const StationCase& c = GetParam();
    test_files::UpdateContent content;
    const std::string path = pack(content);
    const std::string log = dir.file("runs.log");
    std::vector<std::unique_ptr<Simulator>> devices;
    harness::Launch start = launch(path);
    start.env.push_back({"TERM", "xterm"});
    std::string command = "exec \"$0\" " + std::string(c.attended ? "" : "--batch ") + c.eeprom + " --log " + log;
    for (unsigned k = 0; k < c.missing; ++k) command += " --port " + dir.file("missing-" + std::to_string(k));
    for (size_t k = 0; k < c.devices.size(); ++k) {
        const std::string name = "COM" + std::to_string(k + 1);
        std::vector<std::string> options = reply_faults::words(c.devices[k]);
        options.insert(options.end(), {"--flash-out", dir.file(name + ".flash"), "--timeout", "60"});
        // Kept after an interruption, so that its port can be looked at.
        if (c.interrupted) options.insert(options.end(), {"--sessions", "2"});
        devices.push_back(std::make_unique<Simulator>(options));
        start.env.push_back({"UPDATER_" + name, devices.back()->port()});
        command += " --port " + name;
    }
    start.program = "/bin/sh";
    start.args = {"sh", "-c", command + (c.piped ? " | cat" : ""), path};
    ConsoleSession run(start);
    if (c.interrupted) {
        ASSERT_TRUE(run.expect("FLASH")) << run.output();
        ASSERT_TRUE(run.expect("%", 10000)) << run.output();
        if (c.signal_number == SIGINT) run.send("\x03");
        else kill(run.pid(), c.signal_number);
    }
    if (c.attended) {
        ASSERT_TRUE(run.expect(tty("devices updated\n\nPress Enter to exit !\n"), 30000)) << run.output();
        run.send("\r");
    }
    EXPECT_EQ(run.wait_exit(60000), c.status) << run.output();

    // One record per port, with the same station run and the port's own outcome. A record without
    // a port is one of a port that does not exist, or of a device that a signal caught before its
    // port was open.
    std::set<std::string> station_runs;
    std::map<std::string, std::string> outcomes;
    const std::vector<nlohmann::json> records = run_records(log);
    EXPECT_EQ(records.size(), c.devices.size() + c.missing);
    unsigned without_port = 0, caught_unopened = 0;
    for (const nlohmann::json& record : records) {
        station_runs.insert(record.value("station_run", ""));
        const bool interrupted = record["outcome"] == "interrupted";
        EXPECT_EQ(record["interrupted"], interrupted);
        if (interrupted) {
            EXPECT_EQ(record["interrupted_by"], "SIG" + std::string(sigabbrev_np(c.signal_number)));
        }
        if (record["port"].is_null()) {
            EXPECT_TRUE(record["outcome"] == "port_error" || (c.interrupted && interrupted)) << record;
            ++without_port;
            continue;
        }
        outcomes[record["port"]["name"].get<std::string>()] = record["outcome"].get<std::string>();
    }
    EXPECT_EQ(station_runs.size(), 1u);
    EXPECT_NE(station_runs.begin()->size(), 0u);
    std::string summary;
    unsigned completed = 0;
    for (size_t k = 0; k < c.devices.size(); ++k) {
        const std::string name = "COM" + std::to_string(k + 1);
        SCOPED_TRACE(name);
        if (c.interrupted && outcomes.count(name) == 0) ++caught_unopened;
        else EXPECT_EQ(outcomes[name], c.outcomes[k]);
        // Every port was put back as found: free to lock, its settings the simulator's cooked ones.
        const int fd = c.interrupted ? open(devices[k]->port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        if (fd >= 0) {
            struct termios settings;
            EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
            EXPECT_TRUE(tcgetattr(fd, &settings) == 0 && (settings.c_lflag & ICANON) != 0);
            close(fd);
        }
        if (c.outcomes[k] != "completed") continue;
        ++completed;
        EXPECT_EQ(devices[k]->wait_exit(), 0) << devices[k]->report();
        EXPECT_EQ(test_files::read_file(dir.file(name + ".flash")), content.flash);
    }
    EXPECT_EQ(without_port, c.missing + caught_unopened);
    if (c.interrupted) return;
    const std::string shown = run.output();
    EXPECT_NE(shown.find(tty(std::to_string(completed) + " of " + std::to_string(c.devices.size()) + " devices updated\n")),
              std::string::npos) << shown;
    // Through a pipe: a plain line per port and phase change, nothing redrawn.
    if (c.piped) {
        EXPECT_EQ(shown.find("\r\r"), std::string::npos);
        EXPECT_EQ(shown.find("\x1b["), std::string::npos);
        EXPECT_NE(shown.find(tty("COM2: FLASH\nCOM")), std::string::npos) << shown;
    } else {
        EXPECT_NE(shown.find("PORT         ADAPTER          PHASE   PROGRESS"), std::string::npos) << shown;
    }
}

const std::vector<std::string> FOUR_SOUND = {"", "", "", ""};

INSTANTIATE_TEST_SUITE_P(
    Cases, Station,
    ::testing::Values(
        StationCase{"all_complete_with_a_person", FOUR_SOUND, "--eeprom", 0, {"completed", "completed", "completed", "completed"},
                    false, false, true},
        StationCase{"one_burning_error_among_four", {"", "--reply 250=55", "", ""}, "--no-eeprom", 5,
                    {"completed", "flash_burn_error", "completed", "completed"}, false, false},
        // The first port that did not complete gives the status.
        StationCase{"a_device_that_never_acknowledges", {"", "", "--ack none", "--reply 9=55"}, "--no-eeprom", 4,
                    {"completed", "completed", "device_error", "flash_burn_error"}, false, false},
        StationCase{"unplugged_mid_flash", {"--hangup flash:250", ""}, "--no-eeprom", 4, {"device_error", "completed"}, false, false},
        StationCase{"ctrl_c_mid_transfer",
                    {"--device-delay 20000", "--device-delay 20000", "--device-delay 20000"}, "--no-eeprom", 130,
                    {"interrupted", "interrupted", "interrupted"}, false, true},
        StationCase{"output_to_a_pipe", {"", "", ""}, "--no-eeprom", 0, {"completed", "completed", "completed"}, true, false},
        // Every record reaches the signal, however many ports.
        StationCase{"sigterm_with_65_ports", {"--device-delay 20000"}, "--no-eeprom", 128 + SIGTERM, {"interrupted"}, false,
                    true, false, 64, SIGTERM}),
    [](const auto& row) { return std::string(row.param.name); });

// The bench: its slots' ports are links to simulated devices (each serving as many updates as it
// is given), the operator's keys typed on its terminal, step by step.
struct BenchStep {
    enum Kind { keys, shows, link, unlink, idle } kind;
    std::string text;  // the keys typed, or the text waited for
    unsigned slot = 0;  // the slot whose port is linked or unlinked; idle: milliseconds of waiting
};

BenchStep keys(const std::string& text) { return {BenchStep::keys, text}; }
BenchStep shows(const std::string& text) { return {BenchStep::shows, text}; }

struct BenchCase {
    const char* name;
    std::vector<std::string> devices;  // each slot's loader-sim options; "missing": no device behind its port
    std::vector<std::string> options;
    std::vector<BenchStep> steps;
    int status;
    std::vector<std::string> records;  // by running number: "<slot> <outcome>[ <serial>]"
    std::vector<size_t> flash_starts;  // each device's FLASH transfers begun
    bool keys_piped = false;           // standard input is no terminal

    friend std::ostream& operator<<(std::ostream& out, const BenchCase& row) { return out << row.name; }
};

class Bench : public UpdateRun, public ::testing::WithParamInterface<BenchCase> {};

TEST_P(Bench, UpdatesADeviceEachTimeASlotIsArmed) {
    const BenchCase& c = GetParam();
    const std::string log = dir.file("runs.log");
    std::vector<std::unique_ptr<Simulator>> devices;
    harness::Launch start = launch(pack());
    start.env.push_back({"TERM", "xterm"});
    start.args.insert(start.args.end(), {"--bench", "--log", log});
    start.args.insert(start.args.end(), c.options.begin(), c.options.end());
    start.piped_input = c.keys_piped;
    auto port = [this](size_t k) { return dir.file("slot" + std::to_string(k + 1)); };
    auto link = [&](size_t k) { ASSERT_EQ(symlink(devices[k]->port().c_str(), port(k).c_str()), 0); };
    const bool on_appearance = std::find(c.options.begin(), c.options.end(), "--auto") != c.options.end();
    for (size_t k = 0; k < c.devices.size(); ++k) {
        const std::string wire = dir.file("wire" + std::to_string(k + 1));
        std::vector<std::string> options = reply_faults::words(c.devices[k]);
        options.insert(options.end(), {"--sessions", "99", "--wire-out", wire, "--timeout", "60"});
        devices.push_back(c.devices[k] == "missing" ? nullptr : std::make_unique<Simulator>(options));
        if (devices[k] && !on_appearance) link(k);
        start.args.insert(start.args.end(), {"--port", port(k)});
    }
    ConsoleSession run(start);
    // Keys typed once the bench shows its slots.
    if (!c.keys_piped) {
        ASSERT_TRUE(run.expect("KEY PORT")) << run.output();
    }
    for (const BenchStep& step : c.steps) {
        if (step.kind == BenchStep::keys) run.send(step.text);
        if (step.kind == BenchStep::shows) {
            ASSERT_TRUE(run.expect(step.text, 30000)) << step.text << "\n" << run.output();
        }
        if (step.kind == BenchStep::link) link(step.slot);
        if (step.kind == BenchStep::unlink) unlink(port(step.slot).c_str());
        if (step.kind == BenchStep::idle) run.still_running_after(static_cast<int>(step.slot));
    }
    // q ends it within seconds.
    EXPECT_EQ(run.wait_exit(10000), c.status) << run.output();

    // Each written when its update ended; all of one bench run, numbered from 1.
    std::map<int, std::string> by_number;
    for (const nlohmann::json& record : run_records(log)) {
        EXPECT_EQ(record["station_run"], run_records(log)[0]["station_run"]);
        by_number[record["bench_device"].get<int>()] =
            std::to_string(record["slot"].get<int>()) + " " + record["outcome"].get<std::string>() +
            (record.contains("device_serial") ? " " + record["device_serial"].get<std::string>() : "");
    }
    std::vector<std::string> records;
    for (const auto& [number, record] : by_number) records.push_back(record);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(by_number.empty() ? 0 : by_number.rbegin()->first, static_cast<int>(records.size()));
    for (size_t k = 0; k < devices.size(); ++k) {
        if (!devices[k]) continue;
        SCOPED_TRACE(k + 1);
        // Put back as found between devices and at the end: free to lock, its settings the simulator's cooked ones.
        const int fd = open(devices[k]->port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct termios settings;
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_TRUE(tcgetattr(fd, &settings) == 0 && (settings.c_lflag & ICANON) != 0);
        close(fd);
        kill(devices[k]->pid(), SIGTERM);
        EXPECT_EQ(devices[k]->wait_exit(), 0) << devices[k]->report();
        const std::vector<uint8_t> wire = test_files::read_file(dir.file("wire" + std::to_string(k + 1)));
        size_t starts = 0;
        for (auto at = wire.begin(); (at = std::search(at, wire.end(), FLASH_START.begin(), FLASH_START.end())) != wire.end(); ++at) {
            ++starts;
        }
        EXPECT_EQ(starts, c.flash_starts[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Bench,
    ::testing::Values(
        // A key whose slot is updating is ignored; each key after an update arms its slot once more.
        BenchCase{"keys_arm_their_slots_one_burning_error",
                  {"", "--reply 250=55 --faulty-sessions 1"},
                  {"--eeprom"},
                  {keys("11"), shows("Updated 1,"), keys("12"), shows("Updated 3,"), keys("2"), shows("Updated 4,"), keys("q"),
                   shows(tty("  device 3: flash_burn_error 5: FLASH burning error at address 7D00. Try again!\n"
                             "Updated 4, completed 3, failed 1, yield 75.0 %, mean completed update "))},
                  5,
                  {"1 completed", "1 completed", "2 flash_burn_error", "2 completed"},
                  {2, 2}},
        // Once per appearance: a port there after its update arms nothing until it has gone and come again.
        BenchCase{"auto_arms_once_each_time_the_port_appears",
                  {""},
                  {"--auto", "--no-eeprom"},
                  {{BenchStep::link, ""}, shows("Updated 1,"), {BenchStep::idle, "", 1500}, {BenchStep::unlink, ""},
                   shows("slot1 idle"), {BenchStep::link, ""}, shows("Updated 2,"), keys("q")},
                  0,
                  {"1 completed", "1 completed"},
                  {2}},
        // Backspace takes a key back; a serial number for which no slot is idle is said and dropped;
        // the line q, while both update, ends the bench once they have ended.
        BenchCase{"serials_name_their_devices_and_q_waits_for_them",
                  {"", ""},
                  {"--serials", "--no-eeprom"},
                  {keys("SN-0X\x7f" "001\r"), shows("SN-0001: slot 1"), keys("SN-0002\r"), keys("SN-0003\r"),
                   shows("No slot is idle for SN-0003"), keys("q\r"), shows("Ending once"),
                   shows("Slot 2 "), shows("Updated 2, completed 2, failed 0, yield 100.0 %")},
                  0,
                  {"1 completed SN-0001", "2 completed SN-0002"},
                  {1, 1}},
        // A port that cannot be opened is said with its help and fails its device; the slot can be
        // armed again, and the others go on.
        BenchCase{"port_that_cannot_be_opened",
                  {"missing", ""},
                  {"--no-eeprom"},
                  {keys("1"), shows("port_error 3"), shows("Check that the adapter is plugged in"), keys("2"),
                   shows("Updated 2,"), keys("1"), shows("Updated 3,"), keys("q")},
                  3,
                  {"1 port_error", "2 completed", "1 port_error"},
                  {0, 1}},
        BenchCase{"refused_without_a_terminal_for_its_keys",
                  {""},
                  {"--no-eeprom"},
                  {shows("update: --bench needs a terminal on standard input, where its slots are armed")},
                  2,
                  {},
                  {0},
                  true}),
    [](const auto& row) { return std::string(row.param.name); });

// A signal while the records are being written: the log is a FIFO that is full after a record, so
// that the other threads are held writing theirs when the signal comes. Every port's record is
// still written, and only once.
class StationLog : public UpdateRun {};

TEST_F(StationLog, SignalWhileRecordsAreWrittenLosesAndRepeatsNone) {
    const std::string path = pack();
    const std::string log = dir.file("runs.fifo");
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    constexpr unsigned PORTS = 12;
    harness::Launch start = launch(path);
    start.args.insert(start.args.end(), {"--batch", "--no-eeprom", "--log", log});
    for (unsigned k = 0; k < PORTS; ++k) start.args.insert(start.args.end(), {"--port", dir.file("missing-" + std::to_string(k))});
    ConsoleSession run(start);
    // Full, and nothing more coming: the other threads wait to write theirs.
    int queued = 0, before = -1;
    for (int waited = 0; waited < 100 && (queued == 0 || queued != before); ++waited) {
        before = queued;
        usleep(100000);
        ASSERT_EQ(ioctl(reader, FIONREAD, &queued), 0);
    }
    ASSERT_GT(queued, 0);
    kill(run.pid(), SIGTERM);
    std::string text;
    for (int idle = 0; idle < 100;) {
        pollfd wait = {reader, POLLIN, 0};
        char buffer[4096];
        const ssize_t got = poll(&wait, 1, 100) > 0 ? read(reader, buffer, sizeof buffer) : -1;
        if (got == 0) break;  // every writer gone
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
        else ++idle;
    }
    close(reader);
    EXPECT_EQ(run.wait_exit(10000), 128 + SIGTERM);
    unsigned records = 0;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++records) {
        EXPECT_EQ(nlohmann::json::parse(text.substr(at, end - at))["outcome"], "port_error");
    }
    EXPECT_EQ(records, PORTS) << text;
}

}  // namespace
}  // namespace e2e
