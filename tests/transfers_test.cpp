// The FLASH and EEPROM transfers over a stand-in port wired to the simulated device's model: the
// wire format and the events, a device that never answers (which costs 205 s on a real line, none
// here), and two updates in one process. How each reply fault ends a transfer is the reply-fault
// table's (frontend_test.cpp).
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
struct Recorded : core::Listener {
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
    void read_back_difference(uint32_t a, unsigned, uint16_t received, uint8_t expected) override {
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
        return core::download_eeprom(link, image, events, core::EEPROM_CHUNK);
    }

    core::Failed flash(const loader_sim::Faults& faults) {
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

// Nothing of a run is shared: two updates in one process, one after the other and side by side.
TEST_F(Transfer, TwoFlashTransfersInOneProcessEachGetTheirOwnResult) {
    test_files::UpdateContent other;
    other.flash = test_files::flash_pattern(7);
    const std::vector<uint8_t> other_file = test_files::update_file_bytes({}, OFFSET, other);
    core::UpdateImage other_image{OFFSET};
    ASSERT_FALSE(other_image.open(other_file.data(), other_file.size()));
    loader_sim::Faults failing;
    failing.record_reply[250] = 0x55;

    auto run = [](const core::UpdateImage& with_image, FakePort& on, core::Failed& result) {
        core::Link link(on);
        Recorded recorded;
        result = core::download_flash(link, with_image, recorded);
    };
    const loader_sim::Faults none;
    for (bool threads : {false, true}) {
        SCOPED_TRACE(threads ? "side by side" : "one after the other");
        FakePort first(&none), second(&failing);
        core::Failed first_result = core::Failure{core::Fault::out_of_memory}, second_result;
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
