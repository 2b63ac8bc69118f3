// The update run from the start of the program to the checksum test, and the exit path: the
// banner, the port prompt, the update file's checks, exit statuses and the console left as found.
#include <signal.h>
#include <termios.h>

#include <ostream>

#include "e2e_support.h"
#include "core/signature.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

class RunFlow : public UpdateRun {
protected:
    // The tests' key pair of that name (tests/keys): its private or public file.
    static std::string key_file(const std::string& name) { return UPDATER_SOURCE_DIR "/tests/keys/" + name; }

    // The id of the tests' public key of that name.
    static std::string key_id(const std::string& name) {
        const std::vector<uint8_t> pem = test_files::read_file(key_file(name + ".pub"));
        core::PublicKey key;
        EXPECT_EQ(core::parse_public_key(std::string(pem.begin(), pem.end()), key), nullptr);
        return core::key_id_text(key.id);
    }

    // The update file at path signed with the tests' key of that name.
    static void sign(const std::string& path, const std::string& key) {
        ASSERT_EQ(std::system((MKUPDATE_BIN " sign --key '" + key_file(key + ".key") + "' '" + path + "'").c_str()), 0);
    }
};

struct BreakKey {
    const char* name;
    const char* keys;

    friend std::ostream& operator<<(std::ostream& out, const BreakKey& row) { return out << row.name; }
};

class PortPromptBreak : public RunFlow, public ::testing::WithParamInterface<BreakKey> {};

TEST_P(PortPromptBreak, PrintsOnlyTheExitPromptAndExitsWithStatus1) {
    const std::string path = pack();
    ConsoleSession run(launch(path));
    ASSERT_TRUE(run.expect(tty(banner(run))));
    run.send(GetParam().keys);
    ASSERT_TRUE(run.expect(tty(EXIT_PROMPT)));
    // Only Enter ends the exit prompt; the second code of an arrow key is read and ignored first.
    run.send("x");
    EXPECT_TRUE(run.still_running_after(200));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 1);
    EXPECT_EQ(run.output(), tty(banner(run) + EXIT_PROMPT));
}

INSTANTIATE_TEST_SUITE_P(Keys, PortPromptBreak,
                         ::testing::Values(BreakKey{"zero", "0"}, BreakKey{"letter", "q"}, BreakKey{"escape", "\x1b"},
                                           BreakKey{"arrow_up", "\x1b[A"}, BreakKey{"f5", "\x1b[15~"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(RunFlow, FileOneByteShortOrLongIsRejectedWithItsLength) {
    const std::vector<uint8_t> good = test_files::read_file(pack());
    const long expected = static_cast<long>(good.size());
    for (long delta : {-1L, +1L}) {
        std::vector<uint8_t> bad = good;
        bad.resize(static_cast<size_t>(expected + delta), 0xFF);
        const std::string path = dir.file("bad" + std::to_string(delta));
        test_files::write_file(path, bad, 0755);
        ConsoleSession run(launch(path));
        ASSERT_TRUE(run.expect(tty(EXIT_PROMPT)));
        run.send("\r");
        EXPECT_EQ(run.wait_exit(), 2);
        EXPECT_EQ(run.output(), tty("Error: Filelength " + std::to_string(expected + delta) +
                                    " not OK. Probably incomplete download from website.\n"
                                    "Try again! Correct filelength should be " + std::to_string(expected) +
                                    " Bytes !\n" + EXIT_PROMPT));
    }
}

TEST_F(RunFlow, ArgumentZeroIsOnlyShownTheProgramReadsItsOwnFile) {
    // As `exec -a`: argument 0 names no file (and holds control characters), the program still runs.
    const std::string path = pack();
    Simulator device(recording({"--ack", "none"}));
    harness::Launch renamed = launch(path, 3, device.port());
    renamed.args = {"/no/such/folder/update\x1b[2J"};
    ConsoleSession run(renamed);
    EXPECT_EQ(press_at_port_prompt(run, "3"), 4);
    const long length = static_cast<long>(test_files::read_file(path).size());
    EXPECT_EQ(run.output(), tty(banner(run) + loading(3, "/no/such/folder/update?[2J", length) +
                                "\nError: No response from VORNIK-5\n" + next_step(4) + disconnected(3)));
}

TEST_F(RunFlow, ArgumentZeroWithoutFolderAsFromTheSearchPathFindsTheProgramItself) {
    harness::Launch searched = launch(pack());
    searched.args = {"update-vornik"};
    ConsoleSession run(searched);
    ASSERT_TRUE(run.expect(tty(banner(run))));
    run.send("n");
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 1);
}

TEST_F(RunFlow, HeaderTokensAreTakenFromTheHeaderOnly) {
    // A header with two tokens; the FLASH data right behind it starts with a non-blank token.
    std::vector<uint8_t> file = test_files::read_file(pack());
    const long offset = static_cast<long>(file.size()) - core::PAYLOAD_SIZE;
    const char header[] = "VORNIK-5 3.10c0                                ";
    std::copy(header, header + 28, file.begin() + offset);
    test_files::reseal(file);
    const std::string path = dir.file("two-tokens");
    test_files::write_file(path, file, 0755);
    ConsoleSession run(launch(path));
    ASSERT_TRUE(run.expect(tty(banner(run, "VORNIK-5", "3.10c0", ""))));
    run.send("x\r");
    EXPECT_EQ(run.wait_exit(), 1);
}

TEST_F(RunFlow, ChecksumErrorSendsNothingAndClosesThePort) {
    test_files::UpdateContent content;
    std::vector<uint8_t> file = test_files::read_file(pack(content));
    // The last data byte of record 499.
    const long record_499 = static_cast<long>(file.size()) - core::EEPROM_AREA_SIZE - 129;
    file[static_cast<size_t>(record_499 + 127)] ^= 0x01;
    test_files::reseal(file);
    const std::string path = dir.file("damaged");
    test_files::write_file(path, file, 0755);

    Simulator device(recording());
    ConsoleSession run(launch(path, 3, device.port()));
    EXPECT_EQ(press_at_port_prompt(run, "3"), 2);
    const std::string loaded = loading(3, path, static_cast<long>(file.size()));
    EXPECT_EQ(run.output(), tty(banner(run) + loaded.substr(0, loaded.find("Checksum test OK")) +
                                "Error in checksum. Probably download error from website.\n"
                                "Try again or contact Tarvenholt !\n" + disconnected(3)));
    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    EXPECT_TRUE(wire().empty());
}

// A download cut short into a pre-sized file: zeros from the digest block on, whose records of zeros
// carry right checksums. Nothing of it may reach a device.
TEST_F(RunFlow, ZeroedPayloadIsRefusedBeforeTheBanner) {
    std::vector<uint8_t> file = test_files::read_file(pack());
    std::fill(file.end() - core::PAYLOAD_SIZE - core::DIGEST_BLOCK_SIZE, file.end(), 0);
    const std::string path = dir.file("zeroed");
    test_files::write_file(path, file, 0755);
    ConsoleSession run(launch(path));
    ASSERT_TRUE(run.expect(tty(EXIT_PROMPT)));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 2);
    EXPECT_EQ(run.output(), tty("Error in checksum. Probably download error from website.\n"
                                "Try again or contact Tarvenholt !\n" + EXIT_PROMPT));
}

// With --key, a file signed by another key is refused after its check, before anything is opened:
// nothing reaches the device. With the key that signed it, the same file updates the device.
TEST_F(RunFlow, KeyOptionRefusesAFileNotSignedByItBeforeAnyPort) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    sign(path, "pinned");
    Simulator device(recording());
    for (const char* key : {"other.pub", "pinned.pub"}) {
        harness::Launch start = launch(path, 3, device.port());
        start.args.insert(start.args.end(), {"--batch", "--port", "COM3", "--no-eeprom", "--key", key_file(key), "--log",
                                             dir.file("runs.log")});
        ConsoleSession run(start);
        if (std::string(key) == "other.pub") {
            EXPECT_EQ(run.wait_exit(), 2);
            EXPECT_EQ(run.output(), tty("Update file not signed by a trusted key: signed by another key (" + key_id("pinned") + ")\n"));
        } else {
            EXPECT_EQ(run.wait_exit(30000), 0) << run.output();
        }
    }
    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    EXPECT_EQ(wire(), flash_wire(content.flash, 500));  // the second run's only
    const std::vector<nlohmann::json> records = run_records(dir.file("runs.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["signature"], nlohmann::json({{"key_id", key_id("pinned")}, {"verdict", "other_key"}, {"required", true}}));
    EXPECT_EQ(records[0]["outcome"], "file_error");
    EXPECT_EQ(records[1]["signature"]["verdict"], "valid");
}

// A stub built with a key pinned (updater_pinned, the tests' key "pinned") refuses without any
// option a file not signed by that key, and takes one signed by it.
TEST_F(RunFlow, PinnedStubRefusesAFileNotSignedByItsKey) {
    const std::string unsigned_file = pack({}, UPDATER_PINNED_BIN, "unsigned");
    const std::string by_other = pack({}, UPDATER_PINNED_BIN, "by-other");
    sign(by_other, "other");
    const std::string by_pinned = pack({}, UPDATER_PINNED_BIN, "by-pinned");
    sign(by_pinned, "pinned");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {unsigned_file, "the file is not signed"}, {by_other, "signed by another key (" + key_id("other") + ")"}};
    for (const auto& [path, why] : refused) {
        harness::Launch start = launch(path);
        start.args.insert(start.args.end(), {"--batch", "--port", dir.file("no-such-tty"), "--no-eeprom"});
        ConsoleSession run(start);
        EXPECT_EQ(run.wait_exit(), 2);
        EXPECT_EQ(run.output(), tty("Update file not signed by a trusted key: " + why + "\n"));
    }
    // Taken: the run goes on to the port, which is not there.
    harness::Launch start = launch(by_pinned);
    start.args.insert(start.args.end(), {"--batch", "--port", dir.file("no-such-tty"), "--no-eeprom"});
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(), 3);
    EXPECT_EQ(run.output().find(tty(instructions())), 0u) << run.output();
}

TEST_F(RunFlow, EndOfPipedInputBreaksAtThePortPromptAndEndsTheExitPrompt) {
    harness::Launch piped = launch(pack());
    piped.piped_input = true;
    ConsoleSession run(piped);
    EXPECT_EQ(run.wait_exit(5000), 1);
    EXPECT_EQ(run.output(), tty(banner(run) + EXIT_PROMPT));
}

TEST_F(RunFlow, CtrlCAtThePortPromptEndsTheProcessAndRestoresTheConsole) {
    ConsoleSession run(launch(pack()));
    const struct termios before = run.initial_console_settings();
    ASSERT_TRUE(before.c_lflag & ECHO);
    ASSERT_TRUE(run.expect(tty(banner(run))));
    const struct termios during = run.console_settings();
    EXPECT_FALSE(during.c_lflag & (ECHO | ICANON));
    EXPECT_TRUE(during.c_lflag & ISIG);
    EXPECT_TRUE(during.c_oflag & OPOST);
    run.send("\x03");
    EXPECT_EQ(run.wait_exit(5000), 128 + SIGINT);
    const struct termios after = run.console_settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
}

// ---- Command-line options ----------------------------------------------------------------------

struct UsageError {
    const char* name;
    std::vector<std::string> args;
    std::string message;
    bool usage = true;  // the line points to --help

    friend std::ostream& operator<<(std::ostream& out, const UsageError& row) { return out << row.name; }
};

// --eeprom and count ports that do not exist.
std::vector<std::string> many_ports(unsigned count) {
    std::vector<std::string> args = {"--eeprom"};
    for (unsigned k = 0; k < count; ++k) args.push_back("--port=/nonexistent/port" + std::to_string(k));
    return args;
}

#define KEYS UPDATER_SOURCE_DIR "/tests/keys/"

class BadOptions : public RunFlow, public ::testing::WithParamInterface<UsageError> {};

// One line on standard error, status 2, and nothing opened: not even the banner is shown.
TEST_P(BadOptions, AreOneLineOnStandardErrorWithStatus2) {
    harness::Launch start = launch(pack());
    start.program = "/bin/sh";
    start.args = {"sh", "-c", "\"$0\" \"$@\" 2>&1 >/dev/null", start.args[0]};
    start.args.insert(start.args.end(), GetParam().args.begin(), GetParam().args.end());
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(), 2);
    EXPECT_EQ(run.output(), tty("update: " + GetParam().message + (GetParam().usage ? " (see update --help)" : "") + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptions,
    ::testing::Values(UsageError{"unknown", {"--colour"}, "unknown option --colour"},
                      UsageError{"argument", {"COM3"}, "unexpected argument COM3"},
                      UsageError{"missing_value", {"--port"}, "option --port needs a value"},
                      UsageError{"empty_log", {"--log="}, "option --log needs a value"},
                      UsageError{"option_in_the_ports_place", {"--port", "--batch", "--eeprom"}, "option --port needs a value"},
                      UsageError{"option_in_the_logs_place", {"--log", "--eeprom"}, "option --log needs a value"},
                      UsageError{"same_port_twice", {"--port", "COM1", "--port=COM1", "--eeprom"}, "port COM1 given twice"},
                      UsageError{"several_ports_without_choice", {"--port", "COM1", "--port=COM2"}, "several ports need --eeprom or --no-eeprom"},
                      UsageError{"value_for_a_switch", {"--batch=yes"}, "option --batch takes no value"},
                      UsageError{"both_eeprom_choices", {"--eeprom", "--no-eeprom"}, "--eeprom and --no-eeprom exclude each other"},
                      UsageError{"batch_without_port", {"--batch", "--eeprom"}, "--batch needs --port and --eeprom or --no-eeprom"},
                      UsageError{"batch_without_choice", {"--batch", "--port=COM3"}, "--batch needs --port and --eeprom or --no-eeprom"},
                      UsageError{"more_ports_than_a_run_takes", many_ports(257), "more than 256 ports: at most 256 are updated at once"},
                      UsageError{"key_file_missing", {"--key", "/no/such/key.pub"}, "/no/such/key.pub: cannot open: No such file or directory", false},
                      UsageError{"private_key_for_key", {"--key", KEYS "pinned.key"}, KEYS "pinned.key: a private key, where the public key is needed", false},
                      UsageError{"key_not_pem", {"--key", KEYS "README.md"}, KEYS "README.md: not a PEM key file", false},
                      UsageError{"key_of_another_curve", {"--key", KEYS "p384.pub"}, KEYS "p384.pub: not an ECDSA P-256 key (prime256v1, uncompressed)", false},
                      UsageError{"auto_without_bench", {"--auto", "--port=COM3", "--eeprom"}, "--auto and --serials go with --bench"},
                      UsageError{"auto_and_serials", {"--bench", "--auto", "--serials", "--port=COM3", "--eeprom"},
                                 "--auto and --serials exclude each other"},
                      UsageError{"bench_in_a_batch", {"--bench", "--batch", "--port=COM3", "--eeprom"},
                                 "--bench is run by a person at its keys, not with --batch"},
                      UsageError{"bench_without_choice", {"--bench", "--port=COM3"}, "--bench needs --eeprom or --no-eeprom"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(RunFlow, HelpAndVersionPrintAndEndWithStatus0) {
    for (const char* option : {"--help", "--version"}) {
        harness::Launch start = launch(pack());
        start.args.push_back(option);
        ConsoleSession run(start);
        EXPECT_EQ(run.wait_exit(), 0);
        EXPECT_EQ(run.output().find(std::string(option) == "--help" ? "usage: update [--port PORT]" : "update 1."), 0u)
            << run.output();
    }
}

TEST_F(RunFlow, ListPortsShowsEachPortWithTheDeviceBehindIt) {
    harness::Launch start = launch(pack(), 3, "/dev/pts/77");
    start.env.push_back({"UPDATER_COM12", "/dev/serial/by-id/usb-ACME\x1b[2J-port0"});
    start.args.push_back("--list-ports");
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(), 0);
    EXPECT_NE(run.output().find(tty("COM3 = /dev/pts/77 (UPDATER_COM3)\n")), std::string::npos) << run.output();
    // Beyond COM9 a port has its letter key beside it.
    EXPECT_NE(run.output().find(tty("COM12 = /dev/serial/by-id/usb-ACME?[2J-port0 (UPDATER_COM12) - press a\n")),
              std::string::npos)
        << run.output();
    EXPECT_EQ(run.output().find("Version"), std::string::npos);  // no banner: nothing else is done
}

// A port beyond COM9 is opened by the letter its list line shows; a letter the list does not show
// breaks off like any other key.
TEST_F(RunFlow, LetterKeyOpensTheTenthPortItStandsBeside) {
    const std::string path = pack();
    Simulator device(recording());
    harness::Launch start = launch(path, 10, device.port());
    {
        ConsoleSession run(start);
        EXPECT_EQ(press_at_port_prompt(run, "b"), 1);
        EXPECT_NE(run.output().find(tty("COM10 = " + device.port() + " (UPDATER_COM10) - press a\n")), std::string::npos)
            << run.output();
    }
    ConsoleSession run(start);
    ASSERT_TRUE(run.expect(tty(banner(run))));
    run.send("a");
    ASSERT_TRUE(run.expect(tty("COM10 connected\n")));
    ASSERT_TRUE(run.expect(tty(FLASH_DONE), 20000)) << run.output();
    run.send("\x1b");
    ASSERT_TRUE(run.expect(tty(disconnected(10))));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 0);
}

// Without a person, the help for a missing port is one line, and the status says what failed.
TEST_F(RunFlow, MissingPortInABatchRunIsOneLineOfHelpAndStatus3) {
    harness::Launch start = launch(pack(), 4, dir.file("no-such-tty"));
    start.args.insert(start.args.end(), {"--batch", "--port", "COM4", "--no-eeprom", "--log", dir.file("runs.log")});
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(), 3);
    std::string help = MISSING_PORT_HELP.substr(0, MISSING_PORT_HELP.size() - 1);
    std::replace(help.begin(), help.end(), '\n', ' ');
    EXPECT_EQ(run.output(), tty(instructions() + "COM4 not installed or in use by other program\n" + dir.file("no-such-tty") +
                                ": No such file or directory\n" + help + "\n"));
    // The record has the same help.
    EXPECT_EQ(run_records(dir.file("runs.log")).at(0)["port_help"], nlohmann::json({help}));
}

struct Unattended {
    const char* name;
    std::vector<std::string> options;  // "PATH" stands for the simulator's device path
    std::string port_name;             // as the messages show it; empty: the device path
    bool eeprom;
    bool batch;

    friend std::ostream& operator<<(std::ostream& out, const Unattended& row) { return out << row.name; }
};

class PortOption : public RunFlow, public ::testing::WithParamInterface<Unattended> {};

// --port skips the port prompt; --eeprom and --no-eeprom answer the EEPROM prompt; --batch reads
// no key at all, so that no key is typed here, and ends without asking for Enter.
TEST_P(PortOption, RunsWithoutThePromptsItAnswers) {
    const Unattended& c = GetParam();
    test_files::UpdateContent content;
    const std::string path = pack(content);
    Simulator device(recording());
    harness::Launch start = launch(path, 3, device.port());
    for (std::string option : c.options) start.args.push_back(option == "PATH" ? device.port() : option);
    ConsoleSession run(start);
    const std::string port = c.port_name.empty() ? device.port() : c.port_name;
    if (!c.batch) {
        ASSERT_TRUE(run.expect(tty(port + " disconnected\n" + EXIT_PROMPT), 30000)) << run.output();
        run.send("\r");
    }
    EXPECT_EQ(run.wait_exit(30000), 0);
    const long length = static_cast<long>(test_files::read_file(path).size());
    std::string expected = instructions() + loading(port, path, length) + "\nDownloading FLASH...\n" + flash_progress(500) + FLASH_DONE;
    if (c.eeprom) expected += "\nDownloading EEPROM...\n" + eeprom_progress(0, 2048) + "\nVerifying EEPROM...\n" +
                              eeprom_progress(0, 2048) + EEPROM_DONE;
    expected += port + " disconnected\n" + (c.batch ? "" : EXIT_PROMPT);
    EXPECT_EQ(run.output(), tty(expected));
    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    EXPECT_EQ(wire(), c.eeprom ? concat(flash_wire(content.flash, 500), eeprom_wire(content.eeprom))
                               : flash_wire(content.flash, 500));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortOption,
    ::testing::Values(Unattended{"com_name_then_enter", {"--port", "COM3", "--no-eeprom"}, "COM3", false, false},
                      Unattended{"batch_by_com_name", {"--batch", "--port=COM3", "--no-eeprom"}, "COM3", false, true},
                      Unattended{"batch_by_device_path_with_eeprom", {"--batch", "--port", "PATH", "--eeprom"}, "", true, true}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace e2e
