// The run record of --log: one JSON object per run, read back with a JSON parser, for the ways a
// run can end; and the slow-adapter advice, which comes from the same reply times.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <ostream>
#include <regex>

#include "e2e_support.h"
#include "core/digest.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;
using nlohmann::json;

struct RecordCase {
    const char* name;
    std::vector<std::string> sim;
    const char* eeprom_option;
    std::string device;  // the header's device name
    std::string file_name;
    int status;
    const char* outcome;
    std::vector<bool> ran;  // file check, FLASH, EEPROM write, read-back
    unsigned replies;       // FLASH replies received
    json first_differences;

    friend std::ostream& operator<<(std::ostream& out, const RecordCase& row) { return out << row.name; }
};

class RunRecord : public UpdateRun, public ::testing::WithParamInterface<RecordCase> {
protected:
    std::string log = dir.file("runs.log");

    // An unattended run on COM3 logging to log, the port named by a link to the device; returns the
    // exit status.
    int run_logged(const std::string& path, const Simulator& device, std::vector<std::string> options,
                   std::string* output = nullptr) {
        const std::string link = dir.file("com3-link");
        unlink(link.c_str());
        if (symlink(device.port().c_str(), link.c_str()) != 0) return -1;
        harness::Launch start = launch(path, 3, link);
        options.insert(options.end(), {"--port", "COM3", "--batch", "--log", log});
        start.args.insert(start.args.end(), options.begin(), options.end());
        ConsoleSession run(start);
        const int status = run.wait_exit(150000);
        if (output != nullptr) *output = run.output();
        return status;
    }
};

TEST_P(RunRecord, TellsWhatWasWrittenWhereAndHowItEnded) {
    const RecordCase& c = GetParam();
    // A device name the packer would refuse is put into the header afterwards, in place of one of
    // the same length.
    const std::string path = pack({}, UPDATER_BIN, c.file_name);
    std::vector<uint8_t> file = test_files::read_file(path);
    if (c.device != "VORNIK-5") {
        ASSERT_EQ(c.device.size(), 8u);
        std::copy(c.device.begin(), c.device.end(), file.end() - core::PAYLOAD_SIZE);
        test_files::reseal(file);
        test_files::write_file(path, file, 0755);
    }
    Simulator device(recording(c.sim));
    ASSERT_EQ(run_logged(path, device, {c.eeprom_option}), c.status);

    const std::vector<json> records = run_records(log);
    ASSERT_EQ(records.size(), 1u);
    const json& record = records[0];
    EXPECT_TRUE(std::regex_match(record["start"].get<std::string>(),
                                 std::regex("2[0-9]{3}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z")))
        << record["start"];
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(record["host"], host);
    EXPECT_EQ(record["updater_version"].get<std::string>().rfind("1.", 0), 0u);

    uint8_t digest[core::DIGEST_SIZE];
    ASSERT_TRUE(core::sha256(file.data() + file.size() - core::PAYLOAD_SIZE, core::PAYLOAD_SIZE, digest));
    std::string hex;
    for (uint8_t byte : digest) hex += format("%02lx", byte);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(path.c_str(), resolved), nullptr);
    // Bytes that are no UTF-8 come out as U+FFFD; the rest is escaped, not lost. The header's
    // unprintable bytes are '?' from the start.
    std::string path_shown = resolved;
    if (const size_t bad = path_shown.find('\xE9'); bad != std::string::npos) path_shown.replace(bad, 1, "\xEF\xBF\xBD");
    EXPECT_EQ(record["update_file"], json({{"path", path_shown}, {"length", file.size()}, {"payload_sha256", hex}}));
    std::string device_shown = c.device;
    for (char& byte : device_shown) byte = byte >= 0x20 && byte < 0x7F ? byte : '?';
    EXPECT_EQ(record["header"], json({{"device", device_shown}, {"version", "3.10c0"}, {"year", "2011"}}));
    EXPECT_EQ(record["port"], json({{"name", "COM3"}, {"device", device.port()}, {"identity", "UPDATER_COM3"}}));

    const char* phases[] = {"file_check", "flash", "eeprom_write", "read_back"};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(phases[i]);
        const json& phase = record["phases"][phases[i]];
        EXPECT_EQ(phase["ran"], c.ran[i]);
        EXPECT_EQ(phase["duration_ms"].is_number_integer(), c.ran[i]);
    }
    EXPECT_EQ(record["flash_round_trip_ms"]["replies"], c.replies);
    EXPECT_LE(record["flash_round_trip_ms"]["median"].get<double>(), record["flash_round_trip_ms"]["max"].get<double>());
    EXPECT_EQ(record["eeprom"]["differences"], c.first_differences.size());
    EXPECT_EQ(record["eeprom"]["first_differences"], c.first_differences);
    EXPECT_EQ(record["outcome"], c.outcome);
    EXPECT_EQ(record["exit_status"], c.status);
    EXPECT_EQ(record["interrupted"], false);
    std::string step = next_step(c.status);
    std::replace(step.begin(), step.end(), '\n', ' ');
    EXPECT_EQ(record["next_step"], step.empty() ? json() : json(step.substr(0, step.size() - 1)));
    EXPECT_EQ(record["port_help"], json::array());
}

const uint8_t EXPECTED_AT_16 = test_files::eeprom_pattern()[16];

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RunRecord,
    ::testing::Values(
        RecordCase{"complete_with_eeprom", {}, "--eeprom", "VORNIK-5", "update", 0, "completed", {1, 1, 1, 1}, 500, json::array()},
        RecordCase{"flash_burning_error", {"--reply", "7=55"}, "--eeprom", "VORNIK-5", "update", 5, "flash_burn_error",
                   {1, 1, 0, 0}, 8, json::array()},
        RecordCase{"eeprom_difference", {"--eeprom-wrong", "10=AB"}, "--eeprom", "VORNIK-5", "update", 6, "eeprom_mismatch",
                   {1, 1, 1, 1}, 500, json::array({{{"address", 16}, {"received", 0xAB}, {"expected", EXPECTED_AT_16}}})},
        RecordCase{"bytes_of_any_kind_in_header_and_path", {}, "--no-eeprom", "V\"O\\\xE9\x01-5", "up\"da\\t\xE9\n", 0, "completed", {1, 1, 0, 0}, 500,
                   json::array()}));

// A record that cannot be kept stops the run before the port is opened.
TEST_F(RunRecord, LogThatCannotBeWrittenEndsTheRunBeforeThePort) {
    const std::string path = pack();
    Simulator device(recording({}, 1));
    log = dir.file("no-such-folder/runs.log");
    std::string output;
    EXPECT_EQ(run_logged(path, device, {"--eeprom"}, &output), 2);
    EXPECT_EQ(output, tty("update: cannot write the run record to " + log + ": No such file or directory\n"));
    EXPECT_EQ(device.wait_exit(), 3);  // its time limit: nobody opened the port
    EXPECT_TRUE(wire().empty());
}

// A file that fails its check is recorded by its path; of a file of the right length whose payload
// fails its digest, also by its length and the digest it has.
TEST_F(RunRecord, FileThatFailsItsCheckIsNamed) {
    const std::string path = pack();
    const std::vector<uint8_t> packed = test_files::read_file(path);
    for (bool right_length : {false, true}) {
        std::vector<uint8_t> file = packed;
        if (right_length) file.back() ^= 1;     // the EEPROM area's last byte
        else file.resize(file.size() + 10);  // a length no update file has
        test_files::write_file(path, file, 0755);
        Simulator device(recording({}, 1));
        EXPECT_EQ(run_logged(path, device, {"--no-eeprom"}), 2);
        const std::vector<json> records = run_records(log);
        ASSERT_EQ(records.size(), right_length ? 2u : 1u);
        const json& record = records.back();
        char resolved[PATH_MAX];
        ASSERT_NE(realpath(path.c_str(), resolved), nullptr);
        EXPECT_EQ(record["update_file"]["path"], resolved);
        EXPECT_EQ(record["outcome"], "file_error");
        if (right_length) {
            uint8_t digest[core::DIGEST_SIZE];
            ASSERT_TRUE(core::sha256(file.data() + file.size() - core::PAYLOAD_SIZE, core::PAYLOAD_SIZE, digest));
            std::string hex;
            for (uint8_t byte : digest) hex += format("%02lx", byte);
            EXPECT_EQ(record["update_file"]["length"], file.size());
            EXPECT_EQ(record["update_file"]["payload_sha256"], hex);
        } else {
            EXPECT_EQ(record["update_file"]["length"], nullptr);
        }
        EXPECT_EQ(record["header"], nullptr);
        EXPECT_EQ(record["port"], nullptr);
        EXPECT_EQ(record["phases"]["file_check"]["ran"], true);
    }
}

// A FIFO that nobody reads is refused at once, not waited on; one with a reader takes the record.
// A log whose last record was cut short (a full disk) gets the next on a line of its own.
TEST_F(RunRecord, FifoWithoutReaderIsRefusedAndACutRecordSwallowsNoOther) {
    const std::string path = pack();
    log = dir.file("fifo");
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    std::string output;
    {
        Simulator device(recording({}, 1));
        EXPECT_EQ(run_logged(path, device, {"--no-eeprom"}, &output), 2);
        EXPECT_EQ(output, tty("update: cannot write the run record to " + log + ": a FIFO that no program reads\n"));
    }
    const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    {
        Simulator device(recording());
        EXPECT_EQ(run_logged(path, device, {"--no-eeprom"}), 0);
    }
    char buffer[8192];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    close(reader);
    ASSERT_GT(got, 0);
    EXPECT_EQ(json::parse(std::string(buffer, static_cast<size_t>(got)))["outcome"], "completed");

    log = dir.file("cut.log");
    const std::string cut = "{\"start\":\"2026-12-07T18:33:28Z\",\"host\":\"li";
    test_files::write_file(log, std::vector<uint8_t>(cut.begin(), cut.end()));
    Simulator device(recording());
    EXPECT_EQ(run_logged(path, device, {"--no-eeprom"}), 0);
    const std::vector<uint8_t> bytes = test_files::read_file(log);
    const std::string text(bytes.begin(), bytes.end());
    ASSERT_EQ(text.rfind(cut + "\n{", 0), 0u) << text;
    EXPECT_EQ(json::parse(text.substr(cut.size() + 1))["outcome"], "completed");
}

// A port named by a path of 3,700 characters: into a FIFO the record stays within PIPE_BUF, which
// a pipe takes whole beside other writers, the name cut and marked so; a file takes it whole.
TEST_F(RunRecord, LongFieldIntoAFifoIsCutToStayOneWholeWrite) {
    const std::string path = pack();
    Simulator device(recording({"--sessions", "2"}));
    std::string port = dir.path();
    for (int k = 0; port.size() < 3700; ++k) {
        port += "/" + std::string(200, static_cast<char>('a' + k));
        ASSERT_EQ(mkdir(port.c_str(), 0755), 0);
    }
    port += "/com";
    ASSERT_EQ(symlink(device.port().c_str(), port.c_str()), 0);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const std::string& into : {fifo, log}) {
        harness::Launch start = launch(path);
        start.args.insert(start.args.end(), {"--port", port, "--batch", "--no-eeprom", "--log", into});
        ConsoleSession run(start);
        EXPECT_EQ(run.wait_exit(30000), 0) << run.output().substr(0, 300);
    }
    char buffer[65536];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    close(reader);
    ASSERT_GT(got, 0);
    EXPECT_LE(got, PIPE_BUF);
    EXPECT_EQ(buffer[got - 1], '\n');
    const json piped = json::parse(std::string(buffer, static_cast<size_t>(got)));
    const std::string name = piped["port"]["name"];
    const std::string mark = "...[cut]";
    ASSERT_GT(name.size(), mark.size());
    EXPECT_EQ(name.substr(name.size() - mark.size()), mark);
    EXPECT_EQ(port.rfind(name.substr(0, name.size() - mark.size()), 0), 0u);
    EXPECT_EQ(piped["port"]["device"], device.port());
    EXPECT_EQ(piped["outcome"], "completed");
    EXPECT_EQ(run_records(log).at(0)["port"]["name"], port);
}

// A record that cannot be written at the end (a full disk) is said on the console, and an update
// that completed with nobody at the console ends with a status of its own.
TEST_F(RunRecord, RecordLostAtTheEndIsToldNotHidden) {
    const std::string path = pack();
    Simulator device(recording());
    log = "/dev/full";
    std::string output;
    EXPECT_EQ(run_logged(path, device, {"--no-eeprom"}, &output), 7);
    EXPECT_NE(output.find(tty("\nThe run record could not be written to /dev/full: No space left on device\nCOM3 disconnected\n")),
              std::string::npos)
        << output;
}

// On a line paced at 115200 baud, the frame's own wire time is no latency: only an adapter that
// holds each reply for its latency timer gets the advice after the FLASH download, with the time it
// measured (the record has the same time) and how long the EEPROM takes with it, within a fifth of
// what the EEPROM then took.
TEST_F(RunRecord, SlowAdapterIsToldAfterTheFlashDownloadAndOnlyThen) {
    const std::string path = pack();
    for (const char* latency : {"0", "10"}) {
        SCOPED_TRACE(latency);
        const bool slow = std::string(latency) == "10";
        log = dir.file(std::string("runs-") + latency + ".log");
        Simulator device(recording({"--pace", "--adapter-latency", latency}, 150));
        std::string output;
        ASSERT_EQ(run_logged(path, device, {slow ? "--eeprom" : "--no-eeprom"}, &output), 0);
        const json record = run_records(log).at(0);
        const double median = record["flash_round_trip_ms"]["median"].get<double>();
        if (!slow) {
            EXPECT_LT(median, 4.0);
            EXPECT_EQ(output.find("Slow serial adapter"), std::string::npos) << output;
            continue;
        }
        EXPECT_GE(median, 10.0);
        EXPECT_LT(median, 18.0);  // a busy machine adds its own delay
        char shown[16];
        std::snprintf(shown, sizeof shown, "%.1f", median);
        const std::string advice = FLASH_DONE + "Slow serial adapter: replies took " + shown +
                                   " ms (median, 4 ms at most is usual). The EEPROM takes about ";
        const size_t at = output.find(tty(advice));
        ASSERT_NE(at, std::string::npos) << output;
        double estimate = 0, at_1_ms = 0;
        ASSERT_EQ(std::sscanf(output.c_str() + at + tty(advice).size(), "%lf s with this adapter (about %lf s at 1 ms latency).",
                              &estimate, &at_1_ms), 2);
        EXPECT_NE(output.find(tty(" s at 1 ms latency). Set its latency timer to 1 ms, as the driver did not when asked for "
                                  "low latency: echo 1 > /sys/bus/usb-serial/devices/<ttyUSBn>/latency_timer\n\n")),
                  std::string::npos) << output;
        const double took = (record["phases"]["eeprom_write"]["duration_ms"].get<double>() +
                             record["phases"]["read_back"]["duration_ms"].get<double>()) / 1000;
        EXPECT_NEAR(estimate, took, took / 5) << "estimated " << estimate << " s, took " << took << " s";
        EXPECT_LT(at_1_ms, estimate / 5);
    }
}

// A program path the system cannot resolve (longer than PATH_MAX) is recorded as it was given.
TEST_F(RunRecord, PathLongerThanPathMaxIsRecordedAsGiven) {
    const std::string path = pack();
    std::string deep = dir.path(), steps;
    const std::string component(250, 'd');
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    while (deep.size() <= PATH_MAX) {
        deep += "/" + component;
        ASSERT_EQ(mkdir(component.c_str(), 0755) == 0 || errno == EEXIST, true);
        ASSERT_EQ(chdir(component.c_str()), 0);
        steps += "cd -P " + component + " && ";
    }
    ASSERT_EQ(std::system(("cp '" + path + "' update").c_str()), 0);
    ASSERT_EQ(chdir("/"), 0);
    Simulator device(recording());
    harness::Launch start = launch(path, 3, device.port());
    start.program = "/bin/sh";
    start.args = {"sh", "-c", "cd '" + dir.path() + "' && " + steps + "exec ./update --port COM3 --batch --no-eeprom --log '" +
                                  log + "'"};
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(30000), 0) << run.output();
    EXPECT_EQ(run_records(log).at(0)["update_file"]["path"], "./update");
    // rm works its way down by relative names, where the folder's own clean-up could not.
    EXPECT_EQ(std::system(("rm -rf '" + dir.path() + "/" + component + "'").c_str()), 0);
}

}  // namespace
}  // namespace e2e
