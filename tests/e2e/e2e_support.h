// What the end-to-end tests share: packed update files with the real updater stub, the simulated
// device, and the console text and wire bytes an update run is expected to produce.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console_session.h"
#include "reply_faults.h"
#include "test_files.h"
#include "core/layout.h"

namespace e2e {

using harness::tty;

inline std::string format(const char* pattern, unsigned long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The banner's text before the port prompt.
inline std::string instructions(const std::string& device = "VORNIK-5", const std::string& version = "3.10c0",
                                const std::string& year = "2011") {
    return "\n" + device + " Version " + version + " by Tarvenholt " + year + "\n\n" +
           "Connect the " + device + " with the serial cable to a COM-Port.\n" +
           "Then hold all 5 keys pressed while connecting the power supply\n" +
           "and release the 5 keys. Now the " + device + " is ready for updating.\n" +
           "It is indicated by the Display showing nothing or a dark bar.\n\n";
}

inline const std::string PORT_PROMPT =
    "Press the number of the connected COM port [1,2,3,4,5,6,7,8,9]\n"
    "to start the data transmission !\nOr press another key to break !\n\n";

// The port list the updater shows under launch's environment, as `update --list-ports` prints it.
inline std::string ports_listed(harness::Launch launch) {
    launch.args.push_back("--list-ports");
    launch.piped_input = false;
    harness::ConsoleSession listing(launch);
    if (listing.wait_exit() != 0) return "(--list-ports failed)";
    std::string text;
    for (char c : listing.output()) {
        if (c != '\r') text += c;
    }
    return text;
}

// Everything before the port key: the instructions, the ports present and the port prompt.
inline std::string banner(const harness::ConsoleSession& run, const std::string& device = "VORNIK-5",
                          const std::string& version = "3.10c0", const std::string& year = "2011") {
    return instructions(device, version, year) + ports_listed(run.launch()) + "\n" + PORT_PROMPT;
}

inline const std::string EXIT_PROMPT = "\nPress Enter to exit !\n";

using reply_faults::next_step;

// The checklist after a port that is not there, where no adapter shows without its port.
inline const std::string MISSING_PORT_HELP =
    "Check that the adapter is plugged in, that its cable carries data (some USB\n"
    "cables only charge) and that its driver is installed (FTDI, Silicon Labs\n"
    "CP210x, WCH CH340/CH341, Prolific PL2303). Then run the update again.\n";

inline std::string held_by(const std::string& port, int pid, const std::string& command) {
    std::string text = port + " is held by process " + std::to_string(pid) + " (" + command + "): close that program, then run the update again.";
    const size_t cut = text.rfind(' ', 79);
    return text.size() > 79 ? text.substr(0, cut) + "\n" + text.substr(cut + 1) + "\n" : text + "\n";
}

inline std::string disconnected(int port) { return "COM" + std::to_string(port) + " disconnected\n" + EXIT_PROMPT; }

// From "<port> connected" to "Checksum test OK" for a file of the real stub.
inline std::string loading(const std::string& port, const std::string& shown_path, long file_length) {
    return port + " connected\n" + format("Filelength = %lu Bytes\n", file_length) +
           shown_path + " opened\n" +
           format("Readaddress = %lu\n", file_length - core::FLASH_IMAGE_FROM_END) +
           "64500 Bytes allocated\n64500 Bytes read\nChecksum test OK\n";
}

inline std::string loading(int port, const std::string& shown_path, long file_length) {
    return loading("COM" + std::to_string(port), shown_path, file_length);
}

// The progress text after records 0 to records - 1 were accepted.
inline std::string flash_progress(unsigned records) {
    std::string text;
    for (unsigned long i = 128; i <= records * 128ul; i += 128) text += format("\r%lX", i) + format(" %lu%%", i * 100 / 64000);
    return text;
}

inline const std::string FLASH_DONE = "\nDownload of FLASH program memory successfully completed\n\n";
inline const std::string EEPROM_DONE = "\nDownload of EEPROM data memory successfully completed\n";
inline const std::string EEPROM_PROMPT =
    "Press 'e' to download EEPROM data memory !\n\n"
    "Press ESC not to download (if old and new versions are data compatible) !\n";

// The progress text of chunks from to to - 1 (chunks of one byte).
inline std::string eeprom_progress(uint32_t from, uint32_t to) {
    std::string text;
    for (unsigned long a = from; a < to; ++a) text += format("\r%lX", a) + format(" %lu%%", (a + 1) * 100 / 2048);
    return text;
}

inline const std::vector<uint8_t> FLASH_START = {0x59, 0xD8, 0xFD, 0x00};

// The start sequence and the first `records` frames, as the device receives them.
inline std::vector<uint8_t> flash_wire(const std::vector<uint8_t>& flash, unsigned records) {
    std::vector<uint8_t> wire = FLASH_START;
    for (unsigned b = 0; b < records; ++b) {
        uint8_t sum = 0;
        for (unsigned k = 0; k < 128; ++k) {
            wire.push_back(flash[b * 128 + k]);
            sum = static_cast<uint8_t>(sum - flash[b * 128 + k]);
        }
        wire.push_back(sum);
    }
    return wire;
}

// The complete EEPROM transfer with one-byte chunks.
inline std::vector<uint8_t> eeprom_wire(const std::vector<uint8_t>& eeprom) {
    std::vector<uint8_t> wire = {0x00, 0xFD, 0xD8, 0x59, 0x17};
    for (uint32_t a = 0; a < 2048; ++a) {
        wire.insert(wire.end(), {0x01, static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                 eeprom[a]});
    }
    wire.insert(wire.end(), {0x00, 0x18});
    for (uint32_t a = 0; a < 2048; ++a) {
        wire.insert(wire.end(), {0x01, static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), 0x00});
    }
    wire.insert(wire.end(), {0x00, 0x00});
    return wire;
}

// The run records in a log, each line parsed on its own; a line that is not one JSON object fails
// the test.
inline std::vector<nlohmann::json> run_records(const std::string& log_path) {
    std::vector<nlohmann::json> records;
    const std::vector<uint8_t> bytes = test_files::read_file(log_path);
    std::string line;
    for (uint8_t byte : bytes) {
        if (byte != '\n') {
            line += static_cast<char>(byte);
            continue;
        }
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << line;
        records.push_back(record);
        line.clear();
    }
    EXPECT_TRUE(line.empty()) << "unfinished record: " << line;
    return records;
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A test with its own folder, an update file packed from the real updater stub, and helpers to run
// it against the simulated device.
class UpdateRun : public ::testing::Test {
protected:
    // Packs content behind the given stub into the folder; returns the update file's path.
    std::string pack(const test_files::UpdateContent& content = {}, const std::string& stub = UPDATER_BIN,
                     const std::string& name = "update") {
        const std::string path = dir.file(name);
        test_files::write_file(path, test_files::update_file_bytes(test_files::read_file(stub), -1, content), 0755);
        return path;
    }

    // The updater at path under a console, its port n mapped to port_path.
    static harness::Launch launch(const std::string& path, int n = 3, const std::string& port_path = "") {
        harness::Launch launch;
        launch.program = path;
        launch.args = {path};
        if (!port_path.empty()) launch.env.push_back({"UPDATER_COM" + std::to_string(n), port_path});
        return launch;
    }

    // Presses key at the port prompt and Enter at the exit prompt; returns the exit status.
    static int press_at_port_prompt(harness::ConsoleSession& run, const std::string& key) {
        if (!run.expect(tty(banner(run)))) return -2;
        run.send(key);
        if (!run.expect(tty(EXIT_PROMPT), 30000)) return -3;
        run.send("\r");
        return run.wait_exit();
    }

    // Options that make the simulator keep what it received in this test's folder; it gives up
    // after limit_s seconds.
    std::vector<std::string> recording(std::vector<std::string> options = {}, unsigned limit_s = 60) const {
        options.insert(options.end(), {"--flash-out", dir.file("flash.out"), "--eeprom-out", dir.file("eeprom.out"),
                                       "--wire-out", dir.file("wire.out"), "--timeout", std::to_string(limit_s)});
        return options;
    }

    std::vector<uint8_t> wire() const { return test_files::read_file(dir.file("wire.out")); }

    test_files::TempDir dir;
};

}  // namespace e2e
