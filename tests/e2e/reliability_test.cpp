// What must hold whatever goes wrong: every injected device fault ends with its message and exit
// status, the port closed and free for the next run, the console as it was; signals restore the
// console and release the port; several updaters work side by side; damaged and hostile update
// files are refused or shown harmlessly.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <ostream>
#include <set>

#include "e2e_support.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

void expect_same_console(const struct termios& before, const struct termios& after) {
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
}

// ---- Reply faults ----------------------------------------------------------------------------

// The rows of the reply-fault table where the real line, its timing and the console matter: each
// ends with its text and status, and leaves the port and the console for the next run.
class FaultMatrix : public UpdateRun, public ::testing::WithParamInterface<reply_faults::Row> {};

TEST_P(FaultMatrix, EndsWithItsMessageAndLeavesPortAndConsoleForTheNextRun) {
    const reply_faults::Row& fault = GetParam();
    test_files::UpdateContent content;
    const std::string path = pack(content);
    const std::string port = dir.file("com3");
    std::vector<std::string> options = recording(fault.options());
    options.insert(options.end(), {"--link", port, "--sessions", "2", "--faulty-sessions", "1"});
    auto device = std::make_unique<Simulator>(options);

    {
        ConsoleSession run(launch(path, 3, port));
        const struct termios before = run.initial_console_settings();
        ASSERT_TRUE(run.expect(tty(banner(run))));
        run.send("3");
        if (fault.eeprom) {
            ASSERT_TRUE(run.expect(tty(EEPROM_PROMPT), 20000));
            run.send("e");
        }
        ASSERT_TRUE(run.expect(tty(fault.tail() + disconnected(3)), 30000)) << run.output().substr(0, 2000);
        EXPECT_NE(run.output().find(tty(fault.also)), std::string::npos) << fault.also;
        run.send("\r");
        EXPECT_EQ(run.wait_exit(), fault.status);
        expect_same_console(before, run.console_settings());
    }
    if (fault.hangs_up) {
        EXPECT_EQ(device->wait_exit(), 0) << device->report();
        device = std::make_unique<Simulator>(recording({"--link", port}));
    }

    ConsoleSession again(launch(path, 3, port));
    ASSERT_TRUE(again.expect(tty(banner(again))));
    again.send("3");
    ASSERT_TRUE(again.expect(tty(FLASH_DONE), 20000)) << again.output().substr(0, 2000);
    again.send("\x1b");
    ASSERT_TRUE(again.expect(tty(EXIT_PROMPT), 20000));
    again.send("\r");
    EXPECT_EQ(again.wait_exit(), 0);
    EXPECT_EQ(device->wait_exit(), 0) << device->report();
    EXPECT_EQ(test_files::read_file(dir.file("flash.out")), content.flash);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(reply_faults::rows_for(reply_faults::LINUX)),
                         [](const auto& row) { return row.param.name; });

// ---- Signals ---------------------------------------------------------------------------------

enum class Stage { port_prompt, flash, exit_prompt };

struct SignalCase {
    const char* name;
    int signal_number;
    std::string shown_as;  // the signal's name in the record
    bool typed;            // Ctrl+C on the console rather than a signal sent by another process
    Stage stage;

    friend std::ostream& operator<<(std::ostream& out, const SignalCase& row) { return out << row.name; }
};

class Signals : public UpdateRun, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(Signals, RestoreTheConsoleAndReleaseThePort) {
    const SignalCase& c = GetParam();
    // 20 ms of device time per record: the FLASH download takes 10 s, long enough to interrupt.
    Simulator device(recording({"--device-delay", "20000", "--sessions", "2"}));
    harness::Launch start = launch(pack(), 3, device.port());
    start.args.insert(start.args.end(), {"--log", dir.file("runs.log")});
    ConsoleSession run(start);
    const struct termios before = run.initial_console_settings();
    ASSERT_TRUE(run.expect(tty(banner(run))));
    if (c.stage == Stage::flash) {
        run.send("3");
        ASSERT_TRUE(run.expect("\r280 1%"));
    } else if (c.stage == Stage::exit_prompt) {
        run.send("x");
        ASSERT_TRUE(run.expect(tty(EXIT_PROMPT)));
    }
    if (c.typed) {
        run.send("\x03");
    } else {
        kill(run.pid(), c.signal_number);
    }
    EXPECT_EQ(run.wait_exit(5000), 128 + c.signal_number);
    expect_same_console(before, run.console_settings());

    // The record says so, with the status the process ended with, what happened to the device, and
    // what was known by then: the FLASH download's time and replies so far.
    const std::vector<nlohmann::json> records = run_records(dir.file("runs.log"));
    ASSERT_EQ(records.size(), 1u);
    const nlohmann::json& record = records[0];
    EXPECT_EQ(record["outcome"], c.stage == Stage::exit_prompt ? "user_break" : "interrupted");
    EXPECT_EQ(record["interrupted"], true);
    EXPECT_EQ(record["interrupted_by"], c.shown_as);
    EXPECT_EQ(record["exit_status"], 128 + c.signal_number);
    EXPECT_EQ(record["phases"]["flash"]["ran"], c.stage == Stage::flash);
    if (c.stage == Stage::flash) {
        EXPECT_GT(record["phases"]["flash"]["duration_ms"].get<long>(), 0);
        EXPECT_GE(record["flash_round_trip_ms"]["replies"].get<int>(), 5);
    }

    // The port can be locked by the next program, and its settings are the ones found at open.
    const int fd = open(device.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    struct termios port_settings;
    ASSERT_EQ(tcgetattr(fd, &port_settings), 0);
    EXPECT_TRUE(port_settings.c_lflag & ICANON);  // the simulator's terminal starts cooked
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Signals,
    ::testing::Values(SignalCase{"ctrl_c_at_port_prompt", SIGINT, "SIGINT", true, Stage::port_prompt},
                      SignalCase{"ctrl_c_during_flash", SIGINT, "SIGINT", true, Stage::flash},
                      SignalCase{"ctrl_c_at_exit_prompt", SIGINT, "SIGINT", true, Stage::exit_prompt},
                      SignalCase{"sigterm_at_port_prompt", SIGTERM, "SIGTERM", false, Stage::port_prompt},
                      SignalCase{"sigterm_during_flash", SIGTERM, "SIGTERM", false, Stage::flash},
                      SignalCase{"sighup_at_port_prompt", SIGHUP, "SIGHUP", false, Stage::port_prompt},
                      SignalCase{"sighup_during_flash", SIGHUP, "SIGHUP", false, Stage::flash},
                      SignalCase{"sigusr1_during_flash", SIGUSR1, "SIGUSR1", false, Stage::flash},
                      SignalCase{"sigusr2_at_port_prompt", SIGUSR2, "SIGUSR2", false, Stage::port_prompt},
                      SignalCase{"sigalrm_at_port_prompt", SIGALRM, "SIGALRM", false, Stage::port_prompt},
                      SignalCase{"sigvtalrm_during_flash", SIGVTALRM, "SIGVTALRM", false, Stage::flash},
                      SignalCase{"sigxcpu_during_flash", SIGXCPU, "SIGXCPU", false, Stage::flash},
                      SignalCase{"sigio_at_port_prompt", SIGIO, "SIGIO", false, Stage::port_prompt},
                      SignalCase{"sigrtmin_3_during_flash", SIGRTMIN + 3, "SIGRTMIN+3", false, Stage::flash}),
    [](const auto& row) { return std::string(row.param.name); });

// The port is the console's own terminal (as `--port /dev/tty` makes it): the port's settings as
// found are the console's single keys, so the console's as found are put back last.
class ConsolePort : public UpdateRun {};

TEST_F(ConsolePort, SignalLeavesTheTerminalAsTheConsoleFoundIt) {
    Simulator device(recording({"--device-delay", "20000", "--sessions", "2"}));
    struct termios found;
    const int line = open(device.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    ASSERT_EQ(tcgetattr(line, &found), 0);
    harness::Launch start = launch(pack());
    start.program = "/bin/sh";
    start.args = {"sh", "-c", "exec \"$0\" --port \"$1\" --batch --no-eeprom <\"$1\"", start.args[0], device.port()};
    ConsoleSession run(start);
    ASSERT_TRUE(run.expect("\r280 1%")) << run.output();
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait_exit(5000), 128 + SIGTERM);
    struct termios after;
    ASSERT_EQ(tcgetattr(line, &after), 0);
    close(line);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
}

// ---- Closed or vanishing output ----------------------------------------------------------------

struct OutputCase {
    const char* name;
    const char* shell;  // runs the updater, "$0"; keys come from a pipe: a port, then end of input

    friend std::ostream& operator<<(std::ostream& out, const OutputCase& row) { return out << row.name; }
};

class ClosedOutput : public UpdateRun, public ::testing::WithParamInterface<OutputCase> {};

// Neither a closed standard output (the port would take its descriptor and receive the console's
// text) nor a reader that goes away (SIGPIPE) may disturb the transfer.
TEST_P(ClosedOutput, LeavesTheTransferUndisturbed) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    Simulator device(recording());
    harness::Launch start = launch(path, 3, device.port());
    start.program = "/bin/sh";
    start.args = {"sh", "-c", GetParam().shell, path};
    start.piped_input = true;
    start.input = "3";
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(30000), 0) << run.output();
    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    EXPECT_EQ(wire(), flash_wire(content.flash, 500));
}

INSTANTIATE_TEST_SUITE_P(Cases, ClosedOutput,
                         ::testing::Values(OutputCase{"standard_output_closed", "exec \"$0\" >&-"},
                                           OutputCase{"output_and_error_closed", "exec \"$0\" >&- 2>&-"},
                                           // The update file takes descriptor 0, the port would take 1.
                                           OutputCase{"all_three_closed", "exec \"$0\" --batch --port COM3 --no-eeprom <&- >&- 2>&-"},
                                           OutputCase{"output_reader_gone", "\"$0\" | head -c 1"}),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- Several devices at once -----------------------------------------------------------------

class SeveralDevices : public UpdateRun {
protected:
    std::vector<std::string> recording_as(const std::string& name, std::vector<std::string> options = {}) const {
        options.insert(options.end(), {"--flash-out", dir.file(name + ".flash"), "--eeprom-out", dir.file(name + ".eeprom"),
                                       "--timeout", "60"});
        return options;
    }
};

TEST_F(SeveralDevices, FourUpdatersOnFourPortsCompleteSideBySide) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    std::vector<std::unique_ptr<Simulator>> devices;
    std::vector<std::unique_ptr<ConsoleSession>> runs;
    const std::string log = dir.file("runs.log");
    for (int n = 1; n <= 4; ++n) {
        devices.push_back(std::make_unique<Simulator>(recording_as("device" + std::to_string(n))));
        harness::Launch piped = launch(path, n, devices.back()->port());
        piped.args.insert(piped.args.end(), {"--log", log});
        piped.piped_input = true;
        piped.input = std::to_string(n) + "e\r";
        runs.push_back(std::make_unique<ConsoleSession>(piped));
    }
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE("COM" + std::to_string(n));
        EXPECT_EQ(runs[n - 1]->wait_exit(40000), 0);
        EXPECT_EQ(devices[n - 1]->wait_exit(), 0);
        const std::string name = "device" + std::to_string(n);
        EXPECT_EQ(test_files::read_file(dir.file(name + ".flash")), content.flash);
        EXPECT_EQ(test_files::read_file(dir.file(name + ".eeprom")), content.eeprom);
    }
    // One whole line each in the shared log, in whatever order they ended.
    std::set<std::string> ports;
    for (const nlohmann::json& record : run_records(log)) {
        EXPECT_EQ(record["outcome"], "completed");
        ports.insert(record["port"]["name"].get<std::string>());
    }
    EXPECT_EQ(ports, (std::set<std::string>{"COM1", "COM2", "COM3", "COM4"}));
}

TEST_F(SeveralDevices, SecondUpdaterOnABusyPortIsRefusedAndTheFirstGoesOn) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    Simulator device(recording_as("device", {"--device-delay", "5000"}));
    harness::Launch first_launch = launch(path, 3, device.port());
    first_launch.piped_input = true;
    first_launch.input = "3\x1b\r";
    ConsoleSession first(first_launch);
    ASSERT_TRUE(first.expect("\r80 0%"));

    ConsoleSession second(launch(path, 3, device.port()));
    EXPECT_EQ(press_at_port_prompt(second, "3"), 3);
    EXPECT_EQ(second.output(), tty(banner(second) + "COM3 not installed or in use by other program\n" + device.port() +
                                   ": in use by another program\n" + held_by("COM3", first.pid(), "update") + EXIT_PROMPT));

    EXPECT_EQ(first.wait_exit(30000), 0);
    EXPECT_NE(first.output().find(tty(FLASH_DONE)), std::string::npos);
    EXPECT_EQ(device.wait_exit(), 0);
    EXPECT_EQ(test_files::read_file(dir.file("device.flash")), content.flash);
}

// ---- Damaged and hostile update files --------------------------------------------------------

class HostileFile : public UpdateRun {
protected:
    // Runs the update file at path (argument 0 the same), breaking off at the port prompt if it gets
    // there; returns its exit status.
    int run_as(const std::string& path, bool reaches_port_prompt, bool unprivileged = false) {
        harness::Launch start = launch(path);
        start.as_unprivileged_user = unprivileged;
        session = std::make_unique<ConsoleSession>(start);
        if (reaches_port_prompt) {
            session->expect(tty("Or press another key to break !\n\n"));
            session->send("x");
        }
        session->expect(tty(EXIT_PROMPT));
        session->send("\r");
        return session->wait_exit();
    }

    std::unique_ptr<ConsoleSession> session;
};

TEST_F(HostileFile, FileThatCannotBeOpenedIsNotFoundWithTheSystemsReason) {
    // Execute-only: the program runs but cannot read itself.
    const std::string path = pack();
    chmod(dir.path().c_str(), 0755);
    chmod(path.c_str(), 0111);
    EXPECT_EQ(run_as(path, false, true), 2);
    EXPECT_EQ(session->output(), tty("File not found: " + path + "\n" + path + ": Permission denied\n" + EXIT_PROMPT));

#ifdef UPDATER_IS_STATIC
    // Out of descriptors. (A dynamically linked build could not even load its libraries.)
    chmod(path.c_str(), 0755);
    harness::Launch limited = launch(path);
    limited.program = "/bin/sh";
    limited.args = {"sh", "-c", "ulimit -n 3 && exec \"$0\"", path};
    session = std::make_unique<ConsoleSession>(limited);
    ASSERT_TRUE(session->expect(tty(EXIT_PROMPT)));
    session->send("\r");
    EXPECT_EQ(session->wait_exit(), 2);
    EXPECT_EQ(session->output(), tty("File not found: " + path + "\n" + path + ": Too many open files\n" + EXIT_PROMPT));
#endif
}

TEST_F(HostileFile, ControlCharactersInTheHeaderCannotDriveTheTerminal) {
    std::vector<uint8_t> file = test_files::read_file(pack());
    const size_t header = file.size() - core::PAYLOAD_SIZE;
    const std::string hostile = "\x1b[2J\x1b]0;x\x07 \x9b" "31m\x08\x7f \x1b" "c";
    std::copy(hostile.begin(), hostile.end(), file.begin() + static_cast<long>(header));
    test_files::reseal(file);
    test_files::write_file(dir.file("hostile"), file, 0755);
    EXPECT_EQ(run_as(dir.file("hostile"), true), 1);
    const std::string header_output = session->output();
    // The port's device path is shown the same way.
    session = std::make_unique<ConsoleSession>(launch(dir.file("hostile"), 3, "/dev/no-such\x1b]0;port\x07"));
    ASSERT_TRUE(session->expect(tty("Or press another key to break !\n\n")));
    session->send("3");
    ASSERT_TRUE(session->expect(tty("COM3 not installed or in use by other program\n"
                                    "/dev/no-such?]0;port?: No such file or directory\n" + MISSING_PORT_HELP + EXIT_PROMPT)));
    session->send("\r");
    EXPECT_EQ(session->wait_exit(), 3);
    const std::string output = header_output + session->output();
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_EQ(output.find('\x07'), std::string::npos);
    EXPECT_EQ(output.find('\x08'), std::string::npos);
    EXPECT_EQ(output.find('\x9b'), std::string::npos);
    EXPECT_NE(output.find("\r\n?[2J?]0;x? Version ?31m?? by Tarvenholt ?c"), std::string::npos) << output.substr(0, 200);
}

TEST_F(HostileFile, GarbageHeaderStillRunsWithWhatItHolds) {
    std::vector<uint8_t> file = test_files::read_file(pack());
    const size_t header = file.size() - core::PAYLOAD_SIZE;
    for (size_t i = 0; i < 32; ++i) file[header + i] = static_cast<uint8_t>(i * 29 + 1);
    test_files::reseal(file);
    test_files::write_file(dir.file("garbage"), file, 0755);
    EXPECT_EQ(run_as(dir.file("garbage"), true), 1);
    for (char c : session->output()) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE((byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n') << "byte " << int(byte);
    }
}

}  // namespace
}  // namespace e2e
