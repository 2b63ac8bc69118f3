// The FLASH and EEPROM transfers over a stand-in port wired to the simulated device's model: the
// wire format, the failures and the events, a device that never answers (which costs 205 s on a
// real line, none here), and two updates in one process.
#include <gtest/gtest.h>

#include <ostream>
#include <thread>

#include "core/eeprom_transfer.h"
#include "core/flash_transfer.h"
#include "fake_port.h"
#include "test_files.h"

namespace {

constexpr long OFFSET = 4096;

// What the transfers reported.
struct Recorded : core::Events {
    struct Difference {
        uint32_t a;
        uint16_t received;
        uint8_t expected;
        bool operator==(const Difference& o) const { return a == o.a && received == o.received && expected == o.expected; }
    };
    std::vector<uint32_t> accepted;                      // FLASH progress
    std::vector<std::pair<uint32_t, unsigned>> chunks;   // EEPROM progress, both passes
    std::vector<Difference> differences;
    unsigned replies = 0;
    bool completed = false;
    bool stop = false;

    void flash_reply(uint32_t, unsigned) override { ++replies; }
    void flash_record_accepted(uint32_t done) override { accepted.push_back(done); }
    void flash_completed() override { completed = true; }
    void eeprom_chunk(uint32_t a, unsigned percent) override { chunks.emplace_back(a, percent); }
    void read_back_difference(uint32_t a, uint16_t received, uint8_t expected) override {
        differences.push_back({a, received, expected});
    }
    bool stop_requested() override { return stop; }
};

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        content.eeprom[0x123] = 0x5A;
        content.eeprom[0x1A] = 0x07;
        const std::vector<uint8_t> file = test_files::update_file_bytes({}, OFFSET, content);
        ASSERT_FALSE(image.open(file.data(), file.size()));
    }

    core::ReadBack eeprom(const loader_sim::Faults& faults) {
        port = std::make_unique<FakePort>(&faults);
        core::Link link(*port);
        return core::download_eeprom(link, image, events);
    }

    core::Result flash(const loader_sim::Faults& faults) {
        port = std::make_unique<FakePort>(&faults);
        core::Link link(*port);
        return core::download_flash(link, image, events);
    }

    test_files::UpdateContent content;
    core::UpdateImage image{OFFSET};
    std::unique_ptr<FakePort> port;
    Recorded events;
};

TEST_F(Transfer, EepromWritesEveryByteInItsOwnFrameAndReadsItBack) {
    const core::ReadBack found = eeprom({});
    EXPECT_TRUE(found.clean());
    EXPECT_EQ(port->device->eeprom(), content.eeprom);
    EXPECT_TRUE(port->device->protocol_errors().empty());
    const std::vector<uint8_t>& wire = port->wire;
    ASSERT_EQ(wire.size(), 4u + 1 + 2048 * 5 + 1 + 1 + 2048 * 5 + 2);
    const std::vector<uint8_t> frame_0x123(wire.begin() + 5 + 0x123 * 5, wire.begin() + 5 + 0x124 * 5);
    EXPECT_EQ(frame_0x123, (std::vector<uint8_t>{0x01, 0x00, 0x01, 0x23, 0x5A}));
    EXPECT_EQ(port->reads, 2048u * 2 + 2);  // and a reply window of quiet before and after the read-back
    ASSERT_EQ(events.chunks.size(), 2048u * 2);
    EXPECT_EQ(events.chunks[0x14], (std::pair<uint32_t, unsigned>{0x14, 1}));
    EXPECT_EQ(events.chunks.back(), (std::pair<uint32_t, unsigned>{0x7FF, 100}));
}

TEST_F(Transfer, EepromDifferenceIsReportedAndThePassGoesOn) {
    loader_sim::Faults faults;
    faults.eeprom_wrong[0x1A] = 0x05;
    const core::ReadBack found = eeprom(faults);
    EXPECT_EQ(found.differences, 1u);
    EXPECT_EQ(found.missing, 0u);
    EXPECT_EQ(events.differences, (std::vector<Recorded::Difference>{{0x1A, 0x05, 0x07}}));
    EXPECT_EQ(port->device->eeprom_bytes_read(), 2048u);
}

TEST_F(Transfer, EepromDeviceThatNeverAnswersGivesADifferenceForEveryAddress) {
    loader_sim::Faults faults;
    faults.silent = true;
    const core::ReadBack found = eeprom(faults);
    EXPECT_EQ(found.differences, 2048u);
    EXPECT_EQ(found.missing, 2048u);
    ASSERT_EQ(events.differences.size(), 2048u);
    EXPECT_EQ(events.differences[0], (Recorded::Difference{0, core::NO_BYTE, 0x01}));
    EXPECT_EQ(port->reads, 2048u * 2 + 2);  // every write frame still waits for its reply
}

// A write reply so late that it comes in the read-back, ahead of the device's answer to a poll:
// the answer behind it shows, and the address is read again before it is judged. Before the
// read-back, the line must stay quiet for a reply window.
TEST_F(Transfer, EepromLateWriteReplyNeverPassesForAReadBackByte) {
    struct Case {
        const char* name;
        uint8_t file_byte;    // the file's byte at address 0
        int device_byte;      // what the device holds there instead, or -1: the file's
        unsigned late_ms;     // how late the reply to the last write frame comes
        unsigned long reread;
    };
    for (const Case& c : {Case{"equal_to_the_file_over_a_wrong_byte", 0x00, 0xAA, 120, 1},
                          Case{"other_than_the_file_over_a_right_byte", 0x42, -1, 120, 1},
                          Case{"in_the_quiet_before_the_read_back", 0x00, 0xAA, 60, 0}}) {
        SCOPED_TRACE(c.name);
        test_files::UpdateContent late_content;
        late_content.eeprom[0] = c.file_byte;
        const std::vector<uint8_t> file = test_files::update_file_bytes({}, OFFSET, late_content);
        ASSERT_FALSE(image.open(file.data(), file.size()));
        loader_sim::Faults faults;
        faults.eeprom_late_ms[0x7FF] = c.late_ms;
        if (c.device_byte >= 0) faults.eeprom_wrong[0] = static_cast<uint8_t>(c.device_byte);
        events = Recorded();
        const core::ReadBack found = eeprom(faults);
        EXPECT_EQ(found.reread, c.reread);
        const std::vector<Recorded::Difference> expected_differences =
            c.device_byte < 0 ? std::vector<Recorded::Difference>{}
                              : std::vector<Recorded::Difference>{{0, static_cast<uint16_t>(c.device_byte), c.file_byte}};
        EXPECT_EQ(events.differences, expected_differences);
        EXPECT_EQ(found.differences, expected_differences.size());
        EXPECT_EQ(port->device->eeprom_bytes_read(), 2048u + c.reread);
        EXPECT_TRUE(port->device->protocol_errors().empty());
    }
}

TEST_F(Transfer, EepromStopRequestEndsNoOneByteChunkEarly) {
    events.stop = true;
    EXPECT_TRUE(eeprom({}).clean());
    EXPECT_EQ(port->device->eeprom_bytes_read(), 2048u);
}

TEST_F(Transfer, FlashSendsEveryRecordAndReportsItsProgress) {
    EXPECT_FALSE(flash({}));
    EXPECT_EQ(port->device->flash(), content.flash);
    EXPECT_EQ(port->write_sizes.size(), 4u + 500);
    EXPECT_EQ(port->reads, 1u + 500 + 1);  // the acknowledgement, each reply, and none after the last
    ASSERT_EQ(events.accepted.size(), 500u);
    EXPECT_EQ(events.accepted.front(), 0x80u);
    EXPECT_EQ(events.accepted.back(), 0xFA00u);
    EXPECT_EQ(events.replies, 500u);
    EXPECT_TRUE(events.completed);
}

struct FlashFault {
    const char* name;
    loader_sim::Faults faults;
    core::Fault fault;
    uint32_t address;
    uint16_t value;
    unsigned records_sent;

    friend std::ostream& operator<<(std::ostream& out, const FlashFault& row) { return out << row.name; }
};

class FlashFaults : public Transfer, public ::testing::WithParamInterface<FlashFault> {};

TEST_P(FlashFaults, EndTheTransferWithTheirFailure) {
    const FlashFault& row = GetParam();
    const core::Result failed = flash(row.faults);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->fault, row.fault);
    EXPECT_EQ(failed->address, row.address);
    EXPECT_EQ(failed->value, row.value);
    EXPECT_EQ(port->write_sizes.size(), 4u + row.records_sent);
    EXPECT_FALSE(events.completed);
}

loader_sim::Faults with(void (*set)(loader_sim::Faults&)) {
    loader_sim::Faults faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashFaults,
    ::testing::Values(
        FlashFault{"no_acknowledgement", with([](auto& f) { f.acknowledgement = loader_sim::NO_REPLY; }),
                   core::Fault::no_acknowledgement, 0, 0, 0},
        FlashFault{"burning_error_at_record_2", with([](auto& f) { f.record_reply[2] = 0x55; }),
                   core::Fault::flash_burning_error, 0x100, 0, 3},
        FlashFault{"transmission_error_at_record_0", with([](auto& f) { f.record_reply[0] = 0xAA; }),
                   core::Fault::transmission_error, 0, 0, 1},
        FlashFault{"no_reply_at_record_7", with([](auto& f) { f.record_reply[7] = loader_sim::NO_REPLY; }),
                   core::Fault::undefined_response, 0, core::NO_BYTE, 8},
        // Seen before the next record goes out, not when a later reply goes missing.
        FlashFault{"unasked_byte_after_record_10", with([](auto& f) { f.record_surplus[10] = 0x33; }),
                   core::Fault::undefined_response, 0, 0x33, 11}),
    [](const auto& row) { return std::string(row.param.name); });

// Nothing of a run is shared: two updates in one process, one after the other and side by side.
TEST_F(Transfer, TwoFlashTransfersInOneProcessEachGetTheirOwnResult) {
    test_files::UpdateContent other;
    other.flash = test_files::flash_pattern(7);
    const std::vector<uint8_t> other_file = test_files::update_file_bytes({}, OFFSET, other);
    core::UpdateImage other_image{OFFSET};
    ASSERT_FALSE(other_image.open(other_file.data(), other_file.size()));
    loader_sim::Faults failing;
    failing.record_reply[250] = 0x55;

    auto run = [](const core::UpdateImage& with_image, FakePort& on, core::Result& result) {
        core::Link link(on);
        Recorded recorded;
        result = core::download_flash(link, with_image, recorded);
    };
    const loader_sim::Faults none;
    for (bool threads : {false, true}) {
        SCOPED_TRACE(threads ? "side by side" : "one after the other");
        FakePort first(&none), second(&failing);
        core::Result first_result = core::Failure{core::Fault::out_of_memory}, second_result;
        if (threads) {
            std::thread a(run, std::cref(image), std::ref(first), std::ref(first_result));
            std::thread b(run, std::cref(other_image), std::ref(second), std::ref(second_result));
            a.join();
            b.join();
        } else {
            run(image, first, first_result);
            run(other_image, second, second_result);
        }
        EXPECT_FALSE(first_result);
        EXPECT_EQ(first.device->flash(), content.flash);
        ASSERT_TRUE(second_result);
        EXPECT_EQ(second_result->fault, core::Fault::flash_burning_error);
        EXPECT_EQ(second_result->address, 250u * 128);
        EXPECT_EQ(std::vector<uint8_t>(second.device->flash().begin(), second.device->flash().begin() + 250 * 128),
                  std::vector<uint8_t>(other.flash.begin(), other.flash.begin() + 250 * 128));
    }
}

}  // namespace
