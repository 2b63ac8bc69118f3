// The steps every front end shares, in process: the transfers through them over a stand-in port
// wired to the simulated device, with the console's text and the outcome they end with, for every
// row of the reply-fault table; and the run record they keep, read back as JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "device.h"
#include "fake_port.h"
#include "faults.h"
#include "frontend/json_text.h"
#include "frontend/steps.h"
#include "platform/record_file.h"
#include "reply_faults.h"
#include "test_files.h"

namespace {

constexpr long OFFSET = 4096;

// A console whose text is kept and whose keys are given in advance.
class ScriptedConsole : public frontend::Console {
public:
    void print(const std::string& text) override { text_ += text; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class ReplyFaults : public ::testing::TestWithParam<reply_faults::Row> {};

TEST_P(ReplyFaults, EndTheUpdateWithTheirTextAndStatus) {
    const reply_faults::Row& row = GetParam();
    test_files::UpdateContent content;
    const std::vector<uint8_t> file = test_files::update_file_bytes({}, OFFSET, content);
    core::UpdateImage image{OFFSET};
    ASSERT_FALSE(image.open(file.data(), file.size()));
    loader_sim::Faults faults;
    std::string bad;
    ASSERT_TRUE(loader_sim::parse_fault_line(row.device, faults, bad)) << bad;
    FakePort port(&faults);
    core::Link link(port);
    frontend::RunRecord record(nullptr, "test");
    ScriptedConsole console;
    frontend::DeviceRun run{image, link, record, console, "update", false};
    frontend::ConsoleEvents shown(console);

    frontend::Ending ended = frontend::download_flash(run, shown);
    if (!ended && row.eeprom) ended = frontend::download_eeprom(run, shown);
    EXPECT_EQ(static_cast<int>(ended.value_or(core::Outcome::completed)), row.status);
    const std::string tail = row.ending + reply_faults::next_step(row.status);
    const std::string& text = console.text();
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text.substr(text.size() > 300 ? text.size() - 300 : 0);
    EXPECT_NE(text.find(row.also), std::string::npos) << row.also;
    // Nothing more was sent after the failing record.
    EXPECT_EQ(std::count(port.write_sizes.begin(), port.write_sizes.end(), size_t{129}), row.frames);
    // Never completed unless the device holds the file: a byte it reads back wrongly is a byte it holds.
    if (!ended || *ended == core::Outcome::completed) {
        EXPECT_EQ(port.device->flash(), content.flash);
        std::vector<uint8_t> held = port.device->eeprom();
        for (const auto& [a, value] : faults.eeprom_wrong) held[a] = value;
        if (row.eeprom) EXPECT_EQ(held, content.eeprom);
    }
}

// Faults of the line itself, one or two in a run, each a byte lost, corrupted, sent twice, unasked
// or up to 300 ms late, over a device that holds the file, reports a burning error, or holds a
// wrong EEPROM byte: an update is never reported completed unless the device holds the file.
TEST(LineFaults, NeverLetAnUpdateCompleteUnlessTheDeviceHoldsTheFile) {
    test_files::UpdateContent content;
    const std::vector<uint8_t> file = test_files::update_file_bytes({}, OFFSET, content);
    core::UpdateImage image{OFFSET};
    ASSERT_FALSE(image.open(file.data(), file.size()));
    std::mt19937 random(29);
    auto below = [&random](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
    constexpr unsigned HOST_BYTES = 4 + 500 * 129 + 5 + 2048 * 5 + 2 + 2048 * 5, ANSWERS = 1 + 500 + 2048 * 2;
    unsigned completed = 0;
    for (unsigned trial = 0; trial < 1000; ++trial) {
        loader_sim::Faults faults;
        const unsigned kind = below(3);
        if (kind == 1) faults.record_reply[below(500)] = 0x55;
        const uint32_t wrong_at = below(2048);
        if (kind == 2) faults.eeprom_wrong[wrong_at] = static_cast<uint8_t>(content.eeprom[wrong_at] ^ (1 + below(255)));
        FakePort port(&faults, below(2) * 2000);
        std::string faults_text;
        for (unsigned k = 0, count = 1 + below(2); k < count; ++k) {
            const bool to_device = below(4) == 0;
            const auto what = static_cast<FakePort::LineFault>(below(to_device ? 4 : 5));
            port.line_faults.push_back({to_device, below(to_device ? HOST_BYTES : ANSWERS), what, 1 + below(300)});
            faults_text += (to_device ? " to device #" : " to host #") + std::to_string(port.line_faults.back().n) + " " +
                           std::to_string(static_cast<int>(what));
        }
        core::Link link(port);
        frontend::RunRecord record(nullptr, "test");
        ScriptedConsole console;
        frontend::DeviceRun run{image, link, record, console, "update", false};
        frontend::ConsoleEvents shown(console);
        frontend::Ending ended = frontend::download_flash(run, shown);
        if (!ended) ended = frontend::download_eeprom(run, shown);
        if (*ended != core::Outcome::completed) continue;
        ++completed;
        std::vector<uint8_t> held = port.device->eeprom();
        for (const auto& [a, value] : faults.eeprom_wrong) held[a] = value;
        EXPECT_TRUE(kind != 1 && port.device->flash() == content.flash && held == content.eeprom)
            << "trial " << trial << ", device fault " << kind << "," << faults_text;
    }
    EXPECT_GT(completed, 100u);  // many faults leave nothing to see, and those runs complete
}

INSTANTIATE_TEST_SUITE_P(Table, ReplyFaults, ::testing::ValuesIn(reply_faults::rows_for(reply_faults::IN_PROCESS)),
                         [](const auto& row) { return row.param.name; });

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

}  // namespace
