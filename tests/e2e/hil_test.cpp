// Hardware in the loop without the hardware: two pseudo terminals joined by socat stand for two
// serial ports and a null-modem cable. loader-sim serves one of them as it would a real port, and
// `make hil`'s script runs its three updates over them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "e2e_support.h"

namespace e2e {
namespace {

// Output and exit status of a shell command, bounded by timeout(1).
int shell(const std::string& command, std::string& output) {
    output.clear();
    std::FILE* pipe = popen(("timeout 120 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class JoinedTerminals : public UpdateRun {
protected:
    void SetUp() override {
        host = dir.file("host");
        device = dir.file("device");
        socat = fork();
        if (socat == 0) {
            execlp("socat", "socat", ("pty,rawer,ignoreeof,link=" + host).c_str(),
                   ("pty,rawer,ignoreeof,link=" + device).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        struct stat info;
        for (int tries = 0; tries < 100 && (stat(host.c_str(), &info) != 0 || stat(device.c_str(), &info) != 0); ++tries) {
            usleep(50000);
        }
        ASSERT_EQ(stat(device.c_str(), &info), 0) << "socat did not make the terminals (is it installed?)";
    }

    void TearDown() override {
        if (socat > 0) kill(socat, SIGTERM);
        if (socat > 0) waitpid(socat, nullptr, 0);
    }

    std::string host, device;
    pid_t socat = -1;
};

TEST_F(JoinedTerminals, HilRunsItsThreeUpdatesAndChecksWhatTheDeviceReceived) {
    std::string output;
    EXPECT_EQ(shell("sh " UPDATER_SOURCE_DIR "/tools/hil.sh " UPDATER_BUILD_DIR " " + host + " " + device, output), 0)
        << output;
    for (const char* line : {"hil: complete update: ok\n", "  device: session 1: FLASH holds the update file's firmware, byte for byte\n",
                             "  device: session 1: EEPROM holds the update file's contents, byte for byte\n",
                             "hil: FLASH reply fault: ok\n", "hil: hang-up of the device: ok\n", "hil: all 3 as expected\n"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
    }
}

// The benchmark's rows over two ports: that they are there, not what they say (a pseudo terminal
// has no wire).
TEST_F(JoinedTerminals, BenchAddsRowsMeasuredOverThePorts) {
    std::string output;
    EXPECT_EQ(shell(UPDATER_BUILD_DIR "/bench " UPDATER_BUILD_DIR "/example/update --runs 1 --quick --ports " + host + " " + device,
                    output),
              0)
        << output;
    for (const std::string& row : {"| FLASH transfer over " + host + " and " + device + " (s) | ",
                                   "| EEPROM transfer over " + host + " and " + device + " (s) | ",
                                   std::string("| FLASH reply round trip, low latency on (ms) | "),
                                   std::string("| FLASH reply round trip, low latency off (ms) | ")}) {
        EXPECT_NE(output.find(row), std::string::npos) << row << "\n" << output;
    }
}

// On a port the simulator answers run after run, checking each, until Ctrl+C ends it with the
// port's settings as it found them.
TEST_F(JoinedTerminals, SimulatorServesRunAfterRunAndPutsThePortBackOnCtrlC) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios before;
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    const std::string path = pack();
    harness::Simulator simulator({"--port", device, "--expect", path, "--timeout", "60"});
    EXPECT_EQ(simulator.port(), device);
    std::string output;
    EXPECT_NE(shell("sh -c 'exec 3<>" + device + " && flock -n 3'", output), 0) << "the port should be locked";
    for (int run = 1; run <= 2; ++run) {
        EXPECT_EQ(shell(path + " --port " + host + " --batch --no-eeprom", output), 0) << output;
    }
    kill(simulator.pid(), SIGINT);
    EXPECT_EQ(simulator.wait_exit(), 0) << simulator.report();
    // The first run ends when the second starts, the second when the simulator does.
    EXPECT_NE(simulator.report().find("session 1: FLASH holds the update file's firmware, byte for byte\n"
                                      "loader-sim: session 2: FLASH holds the update file's firmware, byte for byte\n"),
              std::string::npos)
        << simulator.report();
    struct termios after;
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    close(fd);
}

// A job that forgot a port fails, rather than passing without having run anything.
TEST(HilScript, WithFewerThanTwoPortsExplainsItselfAndFails) {
    for (const char* ports : {"", " /dev/ttyUSB0"}) {
        std::string output;
        EXPECT_EQ(shell("sh " UPDATER_SOURCE_DIR "/tools/hil.sh " UPDATER_BUILD_DIR + std::string(ports), output), 2);
        EXPECT_EQ(output.rfind(std::string("make hil needs two ports, ") + (*ports ? "1" : "0") + " given.\n"
                               "make hil needs two serial ports joined by a null-modem cable", 0), 0u) << output;
    }
}

// In one line, paths shown as the updater shows them; a link is never made over what is there.
TEST(HilScript, SimulatorRefusesWhatItCannotServeInOneLine) {
    std::string output;
    EXPECT_EQ(shell(std::string(LOADER_SIM_BIN) + " --port /no/such/tty", output), 2);
    EXPECT_EQ(output, "loader-sim: /no/such/tty: No such file or directory\n");
    EXPECT_EQ(shell(std::string(LOADER_SIM_BIN) + " --port /dev/null", output), 2);
    EXPECT_EQ(output, "loader-sim: /dev/null: cannot read its settings: Inappropriate ioctl for device\n");
    EXPECT_EQ(shell(std::string(LOADER_SIM_BIN) + " --port \"$(printf '/no/such\\033]0;x\\007')\"", output), 2);
    EXPECT_EQ(output, "loader-sim: /no/such?]0;x?: No such file or directory\n");
    test_files::TempDir dir;
    const std::string taken = dir.file("taken");
    test_files::write_file(taken, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(shell(std::string(LOADER_SIM_BIN) + " --timeout 1 --link " + taken, output), 2);
    EXPECT_EQ(output, "loader-sim: cannot link " + taken + ": File exists\n");
    EXPECT_EQ(test_files::read_file(taken), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

}  // namespace
}  // namespace e2e
