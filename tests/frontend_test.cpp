// The update flow every front end runs, in process: over a stand-in port wired to the simulated
// device, with the console's text and the outcome it ends with, for every row of the reply-fault
// table; and one table of the front ends' choices (the port, the EEPROM question, the chunk, a
// waiting key, the ending) with scripted answers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <ostream>
#include <random>

#include "device.h"
#include "fake_port.h"
#include "faults.h"
#include "frontend/estimate.h"
#include "frontend/flow.h"
#include "frontend/json_text.h"
#include "platform/record_file.h"
#include "reply_faults.h"
#include "test_files.h"

namespace {

constexpr long OFFSET = 4096;

// A dialog whose text is kept and whose keys are given in advance; a key waits from the read-back
// on when key_in_read_back says so.
class ScriptedDialog : public frontend::Dialog {
public:
    void print(const std::string& text) override { text_ += text; }
    int read_key() override {
        if (keys.empty()) return console::KEY_END;
        const int key = static_cast<unsigned char>(keys.front());
        keys.pop_front();
        return key;
    }
    bool key_waiting() override { return key_in_read_back && text_.find("Verifying EEPROM") != std::string::npos; }
    const std::string& text() const { return text_; }

    std::deque<char> keys;
    bool key_in_read_back = false;

private:
    std::string text_;
};

// The stand-in port as the flow's port, opened or refused as the row says.
class FakePortChoice : public frontend::PortChoice {
public:
    FakePortChoice(FakePort& port, bool refused) : port_(port), refused_(refused) {}
    frontend::Stopped open(const frontend::Settings&, frontend::RunRecord&, frontend::Dialog& dialog) override {
        if (refused_) {
            dialog.print("COM3 not installed or in use by other program\n");
            return core::Outcome::port_error;
        }
        opened_ = true;
        dialog.print("COM3 connected\n");
        return std::nullopt;
    }
    core::Port& port() override { return port_; }
    std::string close() override {
        if (!opened_) return "";
        port_.close();
        return "COM3";
    }

private:
    FakePort& port_;
    bool refused_, opened_ = false;
};

// The console's events, and the port's clock at the EEPROM's start and end; with interrupt, a
// signal's end of the run as soon as the read-back runs again.
struct EepromClock : frontend::ConsoleEvents {
    EepromClock(frontend::Dialog& dialog, const FakePort& port, bool interrupt)
        : ConsoleEvents(dialog), port_(port), interrupt_(interrupt) {}
    void eeprom_write_started() override {
        started_us = port_.now_us;
        ConsoleEvents::eeprom_write_started();
    }
    void read_back_again(unsigned) override { again_ = true; }
    void eeprom_chunk(uint32_t a, unsigned percent) override {
        if (interrupt_ && again_) frontend::RunRecord::finish_all_interrupted("SIGTERM", 143);
        interrupt_ = interrupt_ && !again_;
        ConsoleEvents::eeprom_chunk(a, percent);
    }
    void eeprom_finished() override { finished_us = port_.now_us; }
    const FakePort& port_;
    long long started_us = 0, finished_us = 0;

private:
    bool interrupt_, again_ = false;
};

loader_sim::Faults parsed(const std::string& device) {
    loader_sim::Faults faults;
    std::string bad;
    EXPECT_TRUE(loader_sim::parse_fault_line(device, faults, bad)) << bad;
    return faults;
}

// One update through the flow: the file's bytes checked (unless a checked file is given), then the
// device's update and its ending.
struct FlowRun {
    explicit FlowRun(const loader_sim::Faults& device_faults, unsigned turnaround_us = 0, record_file::LogFile* log = nullptr)
        : faults(device_faults), port(std::make_unique<FakePort>(&faults, turnaround_us)), record(log, "test") {}
    explicit FlowRun(const std::string& device, unsigned turnaround_us = 0, record_file::LogFile* log = nullptr)
        : FlowRun(parsed(device), turnaround_us, log) {}

    core::Outcome run(const std::vector<uint8_t>& file, frontend::EepromQuestion& question, frontend::Settings settings,
                      bool refused = false, frontend::UpdateFile* checked = nullptr) {
        FakePortChoice choice(*port, refused);
        EepromClock clock(dialog, *port, interrupt_when_read_again);
        frontend::UpdateFile own_file(OFFSET);
        settings.file_shared = checked != nullptr;
        frontend::UpdateFlow flow(checked ? *checked : own_file, record, {dialog, clock, choice, question}, settings);
        core::Outcome outcome = core::Outcome::completed;
        const frontend::Stopped stopped = checked ? std::nullopt : flow.check_bytes(file.data(), file.size(), "update");
        outcome = stopped ? *stopped : flow.update_device();
        outcome = flow.end(outcome);
        result = flow.result_text();
        eeprom_us = clock.finished_us - clock.started_us;
        return outcome;
    }

    loader_sim::Faults faults;
    std::unique_ptr<FakePort> port;
    frontend::RunRecord record;
    ScriptedDialog dialog;
    bool interrupt_when_read_again = false;
    std::string result;
    long long eeprom_us = 0;
};

// An update file as the page gets it: behind a stub that carries the payload offset's mark.
std::vector<uint8_t> file_bytes(const test_files::UpdateContent& content) {
    std::vector<uint8_t> stub(1024, 0);
    const std::string mark = "UPDATER-PAYLOAD-OFFSET=" + std::to_string(OFFSET);
    std::copy(mark.begin(), mark.end(), stub.begin() + 100);
    return test_files::update_file_bytes(stub, OFFSET, content);
}

class ReplyFaults : public ::testing::TestWithParam<reply_faults::Row> {};

TEST_P(ReplyFaults, EndTheUpdateWithTheirTextAndStatus) {
    const reply_faults::Row& row = GetParam();
    test_files::UpdateContent content;
    FlowRun run(row.device);
    frontend::GivenAnswer answer(row.eeprom);
    const core::Outcome outcome = run.run(file_bytes(content), answer, {});
    EXPECT_EQ(static_cast<int>(outcome), row.status);
    const std::string tail = row.tail();
    const std::string& text = run.dialog.text();
    const size_t end = text.rfind("COM3 disconnected\n");
    ASSERT_NE(end, std::string::npos) << text;
    ASSERT_GE(end, tail.size()) << text;
    EXPECT_EQ(text.substr(end - tail.size(), tail.size()), tail) << text.substr(end > 300 ? end - 300 : 0);
    EXPECT_NE(text.find(row.also), std::string::npos) << row.also;
    // The result is the text the failed step ended with.
    if (outcome != core::Outcome::completed) {
        ASSERT_GE(end, run.result.size());
        EXPECT_EQ(text.substr(end - run.result.size(), run.result.size()), run.result);
    }
    // Nothing more was sent after the failing record.
    EXPECT_EQ(std::count(run.port->write_sizes.begin(), run.port->write_sizes.end(), size_t{129}), row.frames);
    // Never completed unless the device holds the file: a byte it reads back wrongly is a byte it holds.
    if (outcome == core::Outcome::completed) {
        EXPECT_EQ(run.port->device->flash(), content.flash);
        std::vector<uint8_t> held = run.port->device->eeprom();
        for (const auto& [a, value] : run.faults.eeprom_wrong) held[a] = value;
        if (row.eeprom) {
            EXPECT_EQ(held, content.eeprom);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReplyFaults, ::testing::ValuesIn(reply_faults::rows_for(reply_faults::IN_PROCESS)),
                         [](const auto& row) { return row.param.name; });

// Faults of the line itself, one or two in a run, each a byte lost, corrupted, sent twice, unasked
// or up to 300 ms late, over a device that holds the file, reports a burning error, or holds a
// wrong EEPROM byte, on a line that may turn slow: an update is never reported completed unless
// the device holds the file.
TEST(LineFaults, NeverLetAnUpdateCompleteUnlessTheDeviceHoldsTheFile) {
    test_files::UpdateContent content;
    frontend::UpdateFile file(OFFSET);
    const std::vector<uint8_t> bytes = file_bytes(content);
    ASSERT_FALSE(file.image.open(bytes.data(), bytes.size()));
    file.verified = true;
    std::mt19937 random(29);
    auto below = [&random](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
    constexpr unsigned HOST_BYTES = 4 + 500 * 129 + 5 + 2048 * 5 + 2 + 2048 * 5, ANSWERS = 1 + 500 + 2048 * 2;
    unsigned completed = 0;
    frontend::GivenAnswer write(true);
    for (unsigned trial = 0; trial < 1000; ++trial) {
        loader_sim::Faults faults;
        const unsigned kind = below(3);
        if (kind == 1) faults.record_reply[below(500)] = 0x55;
        const uint32_t wrong_at = below(2048);
        if (kind == 2) faults.eeprom_wrong[wrong_at] = static_cast<uint8_t>(content.eeprom[wrong_at] ^ (1 + below(255)));
        // A line that turns slow (at once or growing) part-way through the EEPROM, in one trial of four.
        if (below(4) == 0) faults.eeprom_delay = {30 + below(271), below(6000), below(2) * below(300)};
        FlowRun run(faults, below(2) * 2000);
        std::string faults_text;
        for (unsigned k = 0, count = 1 + below(2); k < count; ++k) {
            const bool to_device = below(4) == 0;
            const auto what = static_cast<FakePort::LineFault>(below(to_device ? 4 : 5));
            run.port->line_faults.push_back({to_device, below(to_device ? HOST_BYTES : ANSWERS), what, 1 + below(300)});
            faults_text += (to_device ? " to device #" : " to host #") + std::to_string(run.port->line_faults.back().n) +
                           " " + std::to_string(static_cast<int>(what));
        }
        if (run.run({}, write, {}, false, &file) != core::Outcome::completed) continue;
        ++completed;
        std::vector<uint8_t> held = run.port->device->eeprom();
        for (const auto& [a, value] : faults.eeprom_wrong) held[a] = value;
        EXPECT_TRUE(kind != 1 && run.port->device->flash() == content.flash && held == content.eeprom)
            << "trial " << trial << ", device fault " << kind << "," << faults_text;
    }
    EXPECT_GT(completed, 100u);  // many faults leave nothing to see, and those runs complete
}

// The record keeps how the line answered: a slow line's lateness, a line that kept sending, a
// reply that came after its window; a read-back run again is counted also when a signal ends it.
TEST(RunRecord, KeepsHowTheLineAnswered) {
    struct Case {
        const char* device;
        bool interrupted;
        nlohmann::json eeprom, late_reply;
    };
    const nlohmann::json none;
    const Case cases[] = {
        {"--eeprom-delay 52", false, {{"not_verified", 0}, {"reread", 1}, {"slow_line_ms", 52}, {"kept_sending", false}}, none},
        {"--heartbeat 250", false, {{"not_verified", 2048}, {"slow_line_ms", none}, {"kept_sending", true}}, none},
        {"--reply 250=55 --late 250=120", false, {{"reread", 0}}, {{"reply", 0x55}, {"record", 250}}},
        {"--eeprom-delay 52", true, {{"not_verified", 0}, {"reread", 1}, {"slow_line_ms", none}}, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        test_files::TempDir dir;
        record_file::LogFile log;
        std::string reason;
        ASSERT_TRUE(log.open(dir.file("runs.log"), reason)) << reason;
        FlowRun run(c.device, 0, &log);
        run.interrupt_when_read_again = c.interrupted;
        frontend::GivenAnswer write(true);
        frontend::Settings settings;
        settings.unattended = true;
        run.run(file_bytes({}), write, settings);
        const std::vector<uint8_t> bytes = test_files::read_file(dir.file("runs.log"));
        const nlohmann::json record = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(record["interrupted"], c.interrupted);
        for (const auto& [key, value] : c.eeprom.items()) EXPECT_EQ(record["eeprom"][key], value) << key;
        EXPECT_EQ(record["late_reply"], c.late_reply);
    }
}

// More records than room was made for at the start: an interruption still reaches every one, and
// a record it wrote is not written again when its update ends; one that ended first keeps its own.
TEST(RunRecord, InterruptionWritesEveryRecordExactlyOnce) {
    test_files::TempDir dir;
    record_file::LogFile log;
    std::string reason;
    ASSERT_TRUE(log.open(dir.file("runs.log"), reason)) << reason;
    frontend::RunRecord::reserve(2);
    std::vector<std::unique_ptr<frontend::RunRecord>> records;
    for (int k = 0; k < 5; ++k) records.push_back(std::make_unique<frontend::RunRecord>(&log, "test"));
    ASSERT_TRUE(records[3]->finish(core::Outcome::device_error, 4));
    frontend::RunRecord::finish_all_interrupted("SIGTERM", 143);
    for (const auto& record : records) EXPECT_TRUE(record->finish(core::Outcome::completed, 0));
    std::vector<std::string> outcomes;
    const std::vector<uint8_t> bytes = test_files::read_file(dir.file("runs.log"));
    std::string line;
    for (uint8_t byte : bytes) {
        if (byte != '\n') {
            line += static_cast<char>(byte);
            continue;
        }
        outcomes.push_back(nlohmann::json::parse(line)["outcome"]);
        line.clear();
    }
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes, (std::vector<std::string>{"device_error", "interrupted", "interrupted", "interrupted", "interrupted"}));
}

// A string cut to a limit keeps whole characters and escapes, within the limit, marked as cut.
TEST(JsonText, CutsLongStringsAtACharactersEnd) {
    for (const std::string unit : {"a", "\xC3\xA9", "\x01", "\xFF"}) {
        std::string value;
        while (value.size() < 200) value += unit;
        const std::string full = frontend::JsonText().field("k", value).line();
        const std::string cut = frontend::JsonText(64).field("k", value).line();
        const nlohmann::json parsed = nlohmann::json::parse(cut, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << cut;
        const std::string kept = cut.substr(6, cut.size() - 6 - std::strlen("...[cut]\"}\n"));
        EXPECT_LE(kept.size() + std::strlen(frontend::JsonText::CUT_MARK), 64u);
        EXPECT_GT(kept.size() + 6, 64u - std::strlen(frontend::JsonText::CUT_MARK)) << "cut more than a character";
        EXPECT_EQ(full.rfind("{\"k\":\"" + kept, 0), 0u) << cut;
    }
    EXPECT_EQ(frontend::JsonText(64).field("k", std::string(64, 'a')).line(), "{\"k\":\"" + std::string(64, 'a') + "\"}\n");
}

// A front end's choices and what the run shows for them.
struct Choices {
    const char* name;
    const char* keys;          // keys at the EEPROM prompt; nullptr: the answer "write" given in advance
    uint16_t chunk;
    bool key_in_read_back;     // a key waits from the read-back on
    bool refused;              // the port cannot be opened
    bool damaged;              // a record's checksum fails
    bool enter_at_end;
    int status;
    std::vector<std::string> shown;  // in this order
    const char* result;              // how the result begins
    bool eeprom_held;                // the device holds the file's EEPROM

    friend std::ostream& operator<<(std::ostream& out, const Choices& row) { return out << row.name; }
};

const std::string PROMPT = "Press 'e' to download EEPROM data memory !\n\n";
const std::string FLASH_DONE = "\nDownload of FLASH program memory successfully completed\n\n";
const std::string EEPROM_DONE = "\nDownload of EEPROM data memory successfully completed\n";

class FrontEndChoices : public ::testing::TestWithParam<Choices> {};

TEST_P(FrontEndChoices, RunTheStepsInTheirOrder) {
    const Choices& row = GetParam();
    test_files::UpdateContent content;
    std::vector<uint8_t> file = file_bytes(content);
    // The last data byte of record 499.
    if (row.damaged) file[file.size() - core::EEPROM_AREA_SIZE - 2] ^= 0x01, test_files::reseal(file);
    FlowRun run("");
    for (const char* key = row.keys; key != nullptr && *key != 0; ++key) run.dialog.keys.push_back(*key);
    run.dialog.key_in_read_back = row.key_in_read_back;
    frontend::EepromPrompt prompt;
    frontend::GivenAnswer answer(true);
    frontend::Settings settings;
    settings.chunk = row.chunk;
    settings.enter_at_end = row.enter_at_end;
    const core::Outcome outcome = run.run(file, row.keys ? static_cast<frontend::EepromQuestion&>(prompt) : answer, settings, row.refused);

    EXPECT_EQ(static_cast<int>(outcome), row.status);
    const std::string& text = run.dialog.text();
    size_t at = 0;
    for (const std::string& part : row.shown) {
        const size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << "\"" << part << "\" after " << at << " in:\n" << text;
        at = found + part.size();
    }
    EXPECT_EQ(run.result.rfind(row.result, 0), 0u) << run.result;
    EXPECT_EQ(run.port->device->eeprom() == content.eeprom, row.eeprom_held);
    if (row.refused || row.damaged) {
        EXPECT_TRUE(run.port->wire.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrontEndChoices,
    ::testing::Values(
        Choices{"other_keys_ignored_then_capital_e", "x\rE", 1, false, false, false, false, 0,
                {"COM3 connected\n", "Checksum test OK\n", "\nDownloading FLASH...\n", FLASH_DONE, PROMPT,
                 "\nDownloading EEPROM...\n", "\r7FF 100%\n", EEPROM_DONE, "COM3 disconnected\n"},
                "Download of FLASH program memory successfully completed\nDownload of EEPROM", true},
        Choices{"escape_leaves_the_eeprom", "\x1b", 1, false, false, false, true, 0,
                {FLASH_DONE, PROMPT, "COM3 disconnected\n\nPress Enter to exit !\n"},
                "Download of FLASH program memory successfully completed", false},
        Choices{"end_of_input_leaves_the_eeprom", "", 1, false, false, false, false, 0, {FLASH_DONE, PROMPT, "COM3 disconnected\n"},
                "Download of FLASH", false},
        Choices{"chunk_16_carries_the_same_contents", nullptr, 16, false, false, false, false, 0,
                {"\nVerifying EEPROM...\n", "\r7F0 100%\n" + EEPROM_DONE.substr(1), "COM3 disconnected\n"},
                "Download of FLASH", true},
        // A key waiting ends every later chunk after its first byte; the bytes left out are no
        // success (and the device, polled for fewer bytes than announced, falls out of step too).
        Choices{"key_waiting_in_the_read_back_leaves_bytes_unverified", nullptr, 16, true, false, false, false, 6,
                {"\nVerifying EEPROM...\n", " not verified. Try again!\n", "What to do: run the update again"}, "", true},
        Choices{"refused_port_sends_nothing", "e", 1, false, true, false, true, 3,
                {"COM3 not installed or in use by other program\n\nPress Enter to exit !\n"},
                "COM3 not installed", false},
        Choices{"checksum_error_after_the_port_sends_nothing", "e", 1, false, false, true, false, 2,
                {"COM3 connected\n", "Error in checksum. Probably download error from website.\n", "COM3 disconnected\n"},
                "Error in checksum", false}),
    [](const auto& row) { return std::string(row.param.name); });

// The EEPROM's time as estimated for the advice, against its time behind a 16 ms adapter, chunk
// bytes a frame: the stand-in port's clock leaves out the wire time, which the estimate adds.
TEST(Estimate, TellsTheEepromsTimeForTheChunkItIsSentIn) {
    for (const uint16_t chunk : {uint16_t{1}, uint16_t{16}}) {
        FlowRun run("", 16000);
        frontend::GivenAnswer answer(true);
        frontend::Settings settings;
        settings.chunk = chunk;
        ASSERT_EQ(run.run(file_bytes({}), answer, settings), core::Outcome::completed) << run.dialog.text();
        const double took = run.eeprom_us / 1e6;
        EXPECT_NEAR(frontend::eeprom_seconds(16000, chunk), took, took / 20) << "chunk " << chunk;
    }
}

}  // namespace
