// The shipped 32-bit Windows updater under wine (its i386 programs run through qemu-i386), end to end
// against the simulated device, with COMn mapped through the wine prefix's dosdevices. Run by
// `make test-windows`, which builds the program, prepares wine and sets the environment.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <set>

#include "core/payload.h"

#include "e2e_support.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

// Bounds every wait under wine (and under emulation) by what cannot happen: a program that has hung.
// How long a step usually takes (half a minute for a complete update, more on a busy machine) is no
// bound; a fault shows as wrong text or a wrong status, not as slowness.
constexpr int HUNG_MS = 5 * 60 * 1000;
constexpr unsigned HUNG_S = HUNG_MS / 1000;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// What wine's console shows: it draws with cursor sequences, a blank as "erase, one to the right".
std::string screen_text(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            size_t end = i + 2;
            while (end < raw.size() && !(raw[end] >= 0x40 && raw[end] <= 0x7E)) ++end;
            if (end >= raw.size()) break;
            if (raw[end] == 'C') text.append(static_cast<size_t>(std::max(1, std::atoi(raw.c_str() + i + 2))), ' ');
            i = end;
        } else if (raw[i] == '\r' && i + 1 < raw.size() && (raw[i + 1] == '\n' || raw[i + 1] == '\r')) {
            continue;  // the terminal's CR before LF
        } else {
            text += raw[i];
        }
    }
    // Wine's own warnings on the console (no FreeType, no display for explorer) are not the program's.
    for (const char* noise : {"Wine cannot find the FreeType font library.  To enable Wine to\n"
                              "use TrueType fonts please install a version of FreeType greater than\n"
                              "or equal to 2.0.5.\nhttp://www.freetype.org\n"}) {
        for (size_t at = text.find(noise); at != std::string::npos; at = text.find(noise)) text.erase(at, std::strlen(noise));
    }
    for (size_t at = text.find(":err:"); at != std::string::npos; at = text.find(":err:")) {
        const size_t begin = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
        const size_t end = text.find('\n', at);
        text.erase(begin, end == std::string::npos ? std::string::npos : end - begin + 1);
    }
    return text;
}

class UnderWine : public UpdateRun {
protected:
    void SetUp() override {
        if (environment("WINE").empty() || environment("WINEPREFIX").empty() || environment("UPDATER_WIN32_EXE").empty()) {
            GTEST_FAIL() << "run through make test-windows, which sets WINE, WINEPREFIX and the executable";
        }
        // A simulator ended without its clean-up (a test that failed) may have left its link in the
        // prefix; loader-sim makes its link only where nothing is.
        for (int n : {3, 4, 5, 7, 12}) {
            struct stat info;
            if (lstat(com_link(n).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) unlink(com_link(n).c_str());
        }
    }

    // The updater at path under wine with a console, in the environment make test-windows set up;
    // COMn goes through the prefix's dosdevices.
    harness::Launch wine_launch(const std::string& path) const {
        harness::Launch launch;
        launch.program = environment("WINE");
        launch.args = {launch.program, path};
        launch.console_echo = false;
        return launch;
    }

    // Enter at the exit prompt of a run that ended right after its start: wine's console may not be
    // reading keys yet and lose the first ones, so Enter is pressed again until the program ends
    // (it ends at the first Enter it reads). Returns the exit status.
    static int press_enter_until_exit(ConsoleSession& run) {
        for (int waited = 0; waited < HUNG_MS; waited += 1000) {
            run.send("\r");
            if (!run.still_running_after(1000)) break;
        }
        return run.wait_exit(HUNG_MS);
    }

    std::string com_link(int n) const { return environment("WINEPREFIX") + "/dosdevices/com" + std::to_string(n); }

    static bool wait_for_text(ConsoleSession& run, const std::string& text, int timeout_ms = HUNG_MS) {
        for (int waited = 0; waited < timeout_ms; waited += 50) {
            if (screen_text(run.output()).find(text) != std::string::npos) return true;
            if (!run.still_running_after(50) && screen_text(run.output()).find(text) == std::string::npos) return false;
        }
        return false;
    }

    // A complete update with 'e' from the update file at path, through COM3; checks the screen, the
    // wire and the device's EEPROM.
    void complete_update(const std::string& path, const test_files::UpdateContent& content) {
        Simulator device(recording({"--link", com_link(3)}, HUNG_S));
        ConsoleSession run(wine_launch(path));
        ASSERT_TRUE(wait_for_text(run, "Or press another key to break !\n\n")) << screen_text(run.output());
        run.send("3");
        ASSERT_TRUE(wait_for_text(run, "Press ESC not to download")) << screen_text(run.output());
        run.send("e");
        ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !")) << screen_text(run.output());
        run.send("\r");
        EXPECT_EQ(run.wait_exit(HUNG_MS), 0);
        const std::string screen = screen_text(run.output());
        // The system's COM ports between the instructions and the prompt.
        EXPECT_NE(screen.find(instructions() + "COM1 = "), std::string::npos) << screen.substr(0, 800);
        EXPECT_NE(screen.find("\n\n" + PORT_PROMPT), std::string::npos) << screen.substr(0, 800);
        // The real length, a signature included.
        EXPECT_NE(screen.find("COM3 connected\nFilelength = " + std::to_string(test_files::read_file(path).size()) + " Bytes\n"),
                  std::string::npos);
        EXPECT_NE(screen.find("64500 Bytes allocated\n64500 Bytes read\nChecksum test OK\n\nDownloading FLASH...\n"),
                  std::string::npos);
        EXPECT_NE(screen.find("FA00 100%\nDownload of FLASH program memory successfully completed\n"), std::string::npos);
        EXPECT_NE(screen.find("7FF 100%\nDownload of EEPROM data memory successfully completed\nCOM3 disconnected\n\n"
                              "Press Enter to exit !"),
                  std::string::npos);
        EXPECT_EQ(device.wait_exit(HUNG_MS), 0) << device.report();
        EXPECT_EQ(wire(), concat(flash_wire(content.flash, 500), eeprom_wire(content.eeprom)));
        EXPECT_EQ(test_files::read_file(dir.file("eeprom.out")), content.eeprom);
    }

    // An update.exe packed behind the shipped stub.
    std::string shipped_update(const test_files::UpdateContent& content = {}) {
        return pack(content, environment("UPDATER_WIN32_EXE"), "update.exe");
    }
};

TEST_F(UnderWine, CompleteUpdateThroughCom3) {
    test_files::UpdateContent content;
    complete_update(shipped_update(content), content);
}

// A vendor signs update.exe after packing: the signed file passes osslsigncode's verification and
// mkupdate check, and runs a complete update; anything else behind the payload is refused.
TEST_F(UnderWine, SignedUpdateFileRunsAndOtherTailsAreRefused) {
    test_files::UpdateContent content;
    shipped_update(content);
    auto shell = [this](const std::string& command) {
        return std::system(("cd '" + dir.path() + "' && " + command + " >>tools.log 2>&1").c_str());
    };
    ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=Vendor"), 0);
    ASSERT_EQ(shell("osslsigncode sign -certs cert.pem -key key.pem -in update.exe -out signed.exe"), 0);
    EXPECT_EQ(shell("osslsigncode verify -CAfile cert.pem -in signed.exe"), 0);
    EXPECT_EQ(shell(std::string(MKUPDATE_BIN) + " check signed.exe | grep -q '^Signed: certificate table of '"), 0);
    chmod(dir.file("signed.exe").c_str(), 0755);
    complete_update(dir.file("signed.exe"), content);

    const std::vector<uint8_t> signed_file = test_files::read_file(dir.file("signed.exe"));
    std::vector<uint8_t> appended = signed_file;
    appended.push_back(0);
    // The security directory entry of the PE32 header moved 8 bytes on: it no longer starts at the
    // payload's end (after at most 7 bytes of alignment).
    std::vector<uint8_t> moved = signed_file;
    const size_t entry = (moved[0x3C] | moved[0x3D] << 8) + 24 + 96 + 4 * 8;
    moved[entry] = static_cast<uint8_t>(moved[entry] + 8);
    moved[entry + 4] = static_cast<uint8_t>(moved[entry + 4] - 8);
    for (const auto& [name, file] : {std::make_pair("appended.exe", appended), std::make_pair("moved.exe", moved)}) {
        test_files::write_file(dir.file(name), file, 0755);
        EXPECT_NE(shell(std::string(MKUPDATE_BIN) + " check " + name), 0) << name;
        ConsoleSession run(wine_launch(dir.file(name)));
        ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !")) << screen_text(run.output());
        EXPECT_EQ(press_enter_until_exit(run), 2) << name;
        EXPECT_EQ(screen_text(run.output()).find("Error: Filelength " + std::to_string(file.size()) + " not OK."), 0u)
            << screen_text(run.output());
    }
}

// The rows of the reply-fault table that the Windows port's own code decides: its reads of what
// waits, its flush at open, and the messages on its console.
class UnderWineFault : public UnderWine, public ::testing::WithParamInterface<reply_faults::Row> {};

TEST_P(UnderWineFault, EndsTheRunWithItsMessageAndStatus) {
    const reply_faults::Row& fault = GetParam();
    test_files::UpdateContent content;
    std::vector<std::string> options = fault.options();
    options.insert(options.end(), {"--link", com_link(5)});
    Simulator device(recording(options, HUNG_S));
    ConsoleSession run(wine_launch(shipped_update(content)));
    ASSERT_TRUE(wait_for_text(run, "Or press another key to break !\n\n"));
    run.send("5");
    ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !")) << screen_text(run.output());
    run.send("\r");
    EXPECT_EQ(run.wait_exit(HUNG_MS), fault.status);
    EXPECT_NE(screen_text(run.output()).find(fault.tail() + "COM5 disconnected\n"), std::string::npos)
        << screen_text(run.output());
    device.wait_exit(HUNG_MS);
    EXPECT_EQ(wire(), flash_wire(content.flash, fault.frames));
}

INSTANTIATE_TEST_SUITE_P(Faults, UnderWineFault, ::testing::ValuesIn(reply_faults::rows_for(reply_faults::WINDOWS)),
                         [](const auto& row) { return row.param.name; });

// The station under Windows: two ports in one process, a thread and a Win32 port each; one device
// fails, the other completes, and each has its record.
TEST_F(UnderWine, StationUpdatesTwoPortsInOneProcess) {
    test_files::UpdateContent content;
    Simulator sound({"--link", com_link(4), "--flash-out", dir.file("com4.flash"), "--timeout", std::to_string(HUNG_S)});
    Simulator failing({"--link", com_link(5), "--reply", "100=55", "--timeout", std::to_string(HUNG_S)});
    harness::Launch start = wine_launch(shipped_update(content));
    std::string log = "Z:" + dir.file("runs.log");
    std::replace(log.begin(), log.end(), '/', '\\');
    start.args.insert(start.args.end(), {"--batch", "--port", "COM4", "--port", "COM5", "--no-eeprom", "--log", log});
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(HUNG_MS), 5);
    const std::string screen = screen_text(run.output());
    EXPECT_NE(screen.find(": flash_burn_error, status 5, "), std::string::npos) << screen;
    EXPECT_NE(screen.find("1 of 2 devices updated"), std::string::npos) << screen;
    EXPECT_EQ(sound.wait_exit(HUNG_MS), 0) << sound.report();
    EXPECT_EQ(test_files::read_file(dir.file("com4.flash")), content.flash);
    const std::vector<nlohmann::json> records = run_records(dir.file("runs.log"));
    ASSERT_EQ(records.size(), 2u);
    std::set<std::string> seen;
    for (const nlohmann::json& record : records) {
        seen.insert(record["port"]["name"].get<std::string>() + " " + record["outcome"].get<std::string>());
        EXPECT_EQ(record["station_run"], records[0]["station_run"]);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"COM4 completed", "COM5 flash_burn_error"}));
}

// The bench under Windows: a slot armed by its key through the console, its Win32 port opened for
// the device and closed after it, its record kept, and q ending the bench. (Its --auto looks at
// the system's COM names, which wine fixes when it starts: a link made later opens, but never
// appears in them.)
TEST_F(UnderWine, BenchUpdatesTheDeviceOfTheSlotWhoseKeyIsPressedAndEndsWithQ) {
    Simulator device({"--link", com_link(7), "--timeout", std::to_string(HUNG_S)});
    harness::Launch start = wine_launch(shipped_update({}));
    std::string log = "Z:" + dir.file("runs.log");
    std::replace(log.begin(), log.end(), '/', '\\');
    start.args.insert(start.args.end(), {"--bench", "--port", "COM7", "--no-eeprom", "--log", log});
    ConsoleSession run(start);
    ASSERT_TRUE(wait_for_text(run, "KEY PORT")) << screen_text(run.output());
    run.send("1");
    ASSERT_TRUE(wait_for_text(run, "Updated 1, completed 1")) << screen_text(run.output());
    run.send("q");
    EXPECT_EQ(run.wait_exit(HUNG_MS), 0) << screen_text(run.output());
    EXPECT_EQ(device.wait_exit(HUNG_MS), 0) << device.report();
    const std::vector<nlohmann::json> records = run_records(dir.file("runs.log"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["outcome"], "completed");
    EXPECT_EQ(records[0]["slot"], 1);
    EXPECT_EQ(records[0]["port"]["name"], "COM7");
}

// An FTDI adapter whose driver keeps its default latency timer, 16 ms, in the registry: said before
// the FLASH, with how long the EEPROM takes at that pace.
TEST_F(UnderWine, FtdiLatencyTimerFromTheRegistryIsToldBeforeTheFlash) {
    const std::string reg = "'" + environment("WINE") + "' reg ";
    const std::string adapters = "'HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
    const std::string key = adapters + "\\VID_0403+PID_6001+A50285BIA\\0000\\Device Parameters'";
    struct Removed {
        std::string command;
        ~Removed() { std::system(command.c_str()); }
    } removed{reg + "delete " + adapters + "' /f >/dev/null 2>&1"};
    ASSERT_EQ(std::system((reg + "add " + key + " /v PortName /t REG_SZ /d COM3 /f >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(std::system((reg + "add " + key + " /v LatencyTimer /t REG_DWORD /d 16 /f >/dev/null 2>&1").c_str()), 0);
    Simulator device(recording({"--link", com_link(3)}, HUNG_S));
    harness::Launch start = wine_launch(shipped_update({}));
    start.args.insert(start.args.end(), {"--batch", "--port", "COM3", "--no-eeprom"});
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(HUNG_MS), 0);
    std::string screen = screen_text(run.output());
    std::replace(screen.begin(), screen.end(), '\n', ' ');
    EXPECT_NE(screen.find("COM3 connected Slow serial adapter: its latency timer is 16 ms (2 ms at most is usual). The "
                          "EEPROM takes about 68 s with this adapter (about 7 s at 1 ms latency). Set its latency timer "
                          "to 1 ms in its driver settings (Device Manager, the port's Properties, Port Settings, "
                          "Advanced). Filelength = "),
              std::string::npos)
        << screen;
}

// Unattended, on a port above COM9, which Windows opens only as \\.\COM12.
// Also: the run record, written through the system's append-only access (the log on drive Z:,
// wine's view of the root).
TEST_F(UnderWine, BatchRunOnCom12ReadsNoKeyAndKeepsARecord) {
    test_files::UpdateContent content;
    Simulator device(recording({"--link", com_link(12)}, HUNG_S));
    const std::string path = shipped_update(content);
    harness::Launch start = wine_launch(path);
    std::string log = "Z:" + dir.file("runs.log");
    std::replace(log.begin(), log.end(), '/', '\\');
    start.args.insert(start.args.end(), {"--batch", "--port", "COM12", "--no-eeprom", "--log", log});
    ConsoleSession run(start);
    EXPECT_EQ(run.wait_exit(HUNG_MS), 0);
    const std::string screen = screen_text(run.output());
    EXPECT_NE(screen.find("dark bar.\n\nCOM12 connected\nFilelength = "), std::string::npos) << screen;
    EXPECT_NE(screen.find("successfully completed\n\nCOM12 disconnected\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Press Enter"), std::string::npos);
    EXPECT_EQ(device.wait_exit(HUNG_MS), 0) << device.report();
    EXPECT_EQ(wire(), flash_wire(content.flash, 500));

    const std::vector<nlohmann::json> records = run_records(dir.file("runs.log"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["outcome"], "completed");
    EXPECT_EQ(records[0]["port"]["name"], "COM12");
    EXPECT_EQ(records[0]["update_file"]["length"], test_files::read_file(path).size());
    EXPECT_EQ(records[0]["header"]["device"], content.device);
    EXPECT_EQ(records[0]["flash_round_trip_ms"]["replies"], 500);
    EXPECT_EQ(records[0]["phases"]["eeprom_write"]["ran"], false);
}

// A signed update.exe checked with --key by the system's CNG: refused for another key and, once its
// header is changed with the digest recorded anew, for a signature that no longer matches, before any
// port is opened; taken for the key that signed it (the run goes on to COM4, which is not there).
TEST_F(UnderWine, KeyOptionChecksTheSignatureWithTheSystemsCng) {
    unlink(com_link(4).c_str());
    const std::string path = shipped_update();
    const std::string keys = UPDATER_SOURCE_DIR "/tests/keys/";
    ASSERT_EQ(std::system((MKUPDATE_BIN " sign --key '" + keys + "pinned.key' '" + path + "'").c_str()), 0);
    std::vector<uint8_t> changed = test_files::read_file(path);
    changed[changed.size() - core::PAYLOAD_SIZE] ^= 1;  // VORNIK-5 becomes WORNIK-5
    test_files::reseal(changed);
    test_files::write_file(dir.file("changed.exe"), changed, 0755);
    struct Row {
        std::string file, key, shown;
        int status;
    };
    const std::vector<Row> rows = {
        {path, "other.pub", "Update file not signed by a trusted key: signed by another key (", 2},
        {dir.file("changed.exe"), "pinned.pub", "Update file not signed by a trusted key: signature does not match (", 2},
        {path, "pinned.pub", "dark bar.\n\nCOM4 not installed or in use by other program\n", 3},
    };
    for (const Row& row : rows) {
        harness::Launch start = wine_launch(row.file);
        std::string key_path = "Z:" + keys + row.key;
        std::replace(key_path.begin(), key_path.end(), '/', '\\');
        start.args.insert(start.args.end(), {"--batch", "--port", "COM4", "--no-eeprom", "--key", key_path});
        ConsoleSession run(start);
        EXPECT_EQ(run.wait_exit(HUNG_MS), row.status) << row.shown;
        const std::string screen = screen_text(run.output());
        EXPECT_NE(screen.find(row.shown), std::string::npos) << screen;
    }
}

// The program's own list: the COM ports the system names (wine's own COM1 among them), each on its
// line, the same above the prompt as from --list-ports; another key there breaks off.
TEST_F(UnderWine, ListsTheComPortsTheSystemNamesAndOtherKeysBreakOff) {
    harness::Launch listing = wine_launch(shipped_update());
    listing.args.push_back("--list-ports");
    ConsoleSession list(listing);
    EXPECT_EQ(list.wait_exit(HUNG_MS), 0);
    const std::string listed = screen_text(list.output());
    ASSERT_EQ(listed.find("COM1 = "), 0u) << listed;

    ConsoleSession run(wine_launch(shipped_update()));
    ASSERT_TRUE(wait_for_text(run, "Or press another key to break !\n\n"));
    EXPECT_NE(screen_text(run.output()).find("dark bar.\n\n" + listed + "\n" + PORT_PROMPT), std::string::npos)
        << screen_text(run.output());
    run.send("q");
    ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !"));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(HUNG_MS), 1);
    EXPECT_NE(screen_text(run.output()).find(PORT_PROMPT + EXIT_PROMPT), std::string::npos) << screen_text(run.output());
}

TEST_F(UnderWine, PortWithoutDeviceIsNotInstalled) {
    unlink(com_link(4).c_str());
    ConsoleSession run(wine_launch(shipped_update()));
    ASSERT_TRUE(wait_for_text(run, "Or press another key to break !\n\n"));
    run.send("4");
    ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !"));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(HUNG_MS), 3);
    EXPECT_NE(screen_text(run.output()).find("COM4 not installed or in use by other program\n"), std::string::npos)
        << screen_text(run.output());
    EXPECT_NE(screen_text(run.output()).find(MISSING_PORT_HELP + "\nPress Enter to exit !"), std::string::npos)
        << screen_text(run.output());
}

// The port list's lines and letter keys come from one function on both systems: the Windows
// program's text is the Linux one's, for ports beyond COM9 too.
TEST(PortKeys, AreTheSameOnWindowsAsOnLinux) {
    const std::string tool = environment("UPDATER_WIN32_PORT_KEYS");
    ASSERT_FALSE(tool.empty()) << "run through make test-windows";
    const std::string ports =
        " COM1=COM1 'COM3=USB-SERIAL CH340 (COM3)=1a86:7523' 'COM12=Silicon Labs CP210x (COM12)=10c4:ea60' COM27=x";
    auto output_of = [](const std::string& command) {
        std::FILE* out = popen(command.c_str(), "r");
        std::string text;
        char buffer[4096];
        for (size_t got; out != nullptr && (got = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, got);
        if (out != nullptr) pclose(out);
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    };
    const std::string on_linux = output_of(PORT_KEYS_BIN + ports);
    EXPECT_NE(on_linux.find("COM12 = Silicon Labs CP210x (COM12) (10c4:ea60) - press a\nCOM27 = x - press b\n"),
              std::string::npos)
        << on_linux;
    EXPECT_NE(on_linux.find("a 12\nb 27\nc 0\n"), std::string::npos) << on_linux;
    EXPECT_EQ(output_of(environment("WINE") + " '" + tool + "'" + ports + " 2>/dev/null"), on_linux);
}

// The system's SHA-256 that the Windows updater checks its payload with, against the FIPS 180-4
// vectors and against sha256sum over a packed file's payload.
TEST_F(UnderWine, DigestIsSha256AsPublishedAndAsSha256sumComputesIt) {
    const std::string tool = environment("UPDATER_WIN32_SHA256");
    ASSERT_FALSE(tool.empty()) << "run through make test-windows";
    auto digest_of = [&](const std::string& path, const char* program) {
        const std::string command = std::string(program) + " '" + path + "'";
        std::FILE* out = popen(command.c_str(), "r");
        char hex[65] = "";
        if (out == nullptr || std::fscanf(out, "%64s", hex) != 1) hex[0] = '\0';
        if (out != nullptr) pclose(out);
        return std::string(hex);
    };
    const std::string under_wine = environment("WINE") + " '" + tool + "'";
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (size_t i = 0; i < vectors.size(); ++i) {
        const std::string path = dir.file("vector" + std::to_string(i));
        test_files::write_file(path, std::vector<uint8_t>(vectors[i].first.begin(), vectors[i].first.end()));
        EXPECT_EQ(digest_of("Z:" + path, under_wine.c_str()), vectors[i].second) << i;
    }
    const std::vector<uint8_t> file = test_files::read_file(shipped_update());
    test_files::write_file(dir.file("payload"), std::vector<uint8_t>(file.end() - core::PAYLOAD_SIZE, file.end()));
    EXPECT_EQ(digest_of("Z:" + dir.file("payload"), under_wine.c_str()), digest_of(dir.file("payload"), "sha256sum"));
}

TEST_F(UnderWine, PayloadThatDoesNotMatchItsDigestIsRefusedBeforeTheBanner) {
    std::vector<uint8_t> file = test_files::read_file(shipped_update());
    file[file.size() - 1] ^= 1;  // the EEPROM area's last byte: no record checksum covers it
    test_files::write_file(dir.file("damaged.exe"), file, 0755);
    ConsoleSession run(wine_launch(dir.file("damaged.exe")));
    ASSERT_TRUE(wait_for_text(run, "Press Enter to exit !")) << screen_text(run.output());
    EXPECT_EQ(press_enter_until_exit(run), 2);
    EXPECT_EQ(screen_text(run.output()).find("Error in checksum. Probably download error from website.\n"
                                             "Try again or contact Tarvenholt !\n\nPress Enter to exit !"),
              0u)
        << screen_text(run.output());
}

// The shipped program: a 32-bit console executable that needs no DLL beyond the system's.
TEST(Win32Executable, IsAConsolePe32ImportingOnlySystemDlls) {
    const std::string exe = environment("UPDATER_WIN32_EXE");
    ASSERT_FALSE(exe.empty()) << "run through make test-windows";
    std::FILE* dump = popen(("i686-w64-mingw32-objdump -p '" + exe + "'").c_str(), "r");
    ASSERT_NE(dump, nullptr);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, dump)) > 0) text.append(buffer, got);
    EXPECT_EQ(pclose(dump), 0);
    EXPECT_NE(text.find("file format pei-i386"), std::string::npos);
    EXPECT_NE(text.find("Magic\t\t\t010b\t(PE32)"), std::string::npos);
    EXPECT_NE(text.find("Subsystem\t\t00000003\t(Windows CUI)"), std::string::npos);
    // ADVAPI32: CryptoAPI and the registry; SETUPAPI: the Device Manager's ports and drivers.
    const std::set<std::string> allowed = {"ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll", "SETUPAPI.dll"};
    size_t imports = 0;
    for (size_t at = text.find("DLL Name: "); at != std::string::npos; at = text.find("DLL Name: ", at + 1)) {
        const std::string dll = text.substr(at + 10, text.find('\n', at) - at - 10);
        EXPECT_TRUE(allowed.count(dll) != 0) << "imports " << dll;
        ++imports;
    }
    EXPECT_GT(imports, 0u);
    const std::vector<uint8_t> image = test_files::read_file(exe);
    EXPECT_EQ(core::find_payload_offset(image.data(), image.size()), 524288);
}

}  // namespace
}  // namespace e2e
