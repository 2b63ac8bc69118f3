// The byte transport over a stand-in port: frames and their checksum, single bytes, reads; and the
// console's text for a port that cannot be used.
#include <gtest/gtest.h>

#include <ostream>

#include "core/link.h"
#include "core/payload.h"
#include "fake_port.h"
#include "frontend/text.h"

namespace {

class Link : public ::testing::Test {
protected:
    FakePort port;
    core::Link link{port};
};

TEST_F(Link, FrameLeavesInOneWriteWithTheChecksumThatZeroesItsSum) {
    uint8_t data[128];
    for (unsigned k = 0; k < 128; ++k) data[k] = static_cast<uint8_t>(k * 37 + 0x0D);
    link.reset_frame_checksum();
    for (uint8_t b : data) link.queue_byte(b);
    const uint8_t checksum = link.frame_checksum();
    EXPECT_EQ(checksum, core::record_checksum_of(data, 128));
    link.queue_byte(checksum);
    EXPECT_TRUE(port.wire.empty());
    link.flush_queue();
    ASSERT_EQ(port.write_sizes, std::vector<size_t>{129});
    EXPECT_EQ(std::vector<uint8_t>(port.wire.begin(), port.wire.end() - 1), std::vector<uint8_t>(data, data + 128));
    EXPECT_EQ(port.wire.back(), checksum);
}

TEST_F(Link, EmptyQueueSendsNothingSingleBytesGoAloneAndNoFrameIsCut) {
    link.flush_queue();
    EXPECT_TRUE(port.write_sizes.empty());
    link.queue_byte(0x01);
    link.flush_queue();
    link.send_byte(0x17);
    link.flush_queue();  // the queue was emptied by the first flush
    EXPECT_EQ(port.write_sizes, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(port.wire, (std::vector<uint8_t>{0x01, 0x17}));
    // More than the largest frame still leaves whole, in one write.
    for (int k = 0; k < 300; ++k) link.queue_byte(0x42);
    link.flush_queue();
    EXPECT_EQ(port.write_sizes.back(), 300u);
}

TEST_F(Link, ExchangeSendsThenReadsSilenceIsNoByteAndWaitingBytesAreSeenWithoutWaiting) {
    port.replies = {{0, 0x00}};
    EXPECT_EQ(link.exchange_byte(0x00), 0x00);  // a received 0 is not NO_BYTE
    EXPECT_EQ(link.exchange_byte(0x00), core::NO_BYTE);
    EXPECT_EQ(port.wire, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(port.reads, 2u);
    EXPECT_EQ(link.receive_within(0), core::NO_BYTE);
    port.replies = {{0, 0x33}, {port.now_us + 1000, 0x66}};
    EXPECT_EQ(link.receive_within(0), 0x33);
    EXPECT_EQ(link.receive_within(0), core::NO_BYTE);  // what is there, not what is still on its way
    EXPECT_EQ(link.receive_byte(), 0x66);
    EXPECT_EQ(port.reads, 3u);
}

TEST_F(Link, APortThatWentAwayIsToldByEveryReadAndTakesNothingMore) {
    port.replies = {{0, 0x11}};
    port.hung_up = true;
    EXPECT_EQ(link.receive_within(0), core::PORT_LOST);
    link.send_byte(0x59);
    EXPECT_EQ(link.exchange_byte(0x00), core::PORT_LOST);
    EXPECT_TRUE(port.wire.empty());
    EXPECT_EQ(port.reads, 0u);  // the port was not asked again
}

struct PortFailure {
    const char* name;
    serial::OpenStatus open;
    serial::ConfigStatus config;
    const char* text;

    friend std::ostream& operator<<(std::ostream& out, const PortFailure& row) { return out << row.name; }
};

class PortFailureText : public ::testing::TestWithParam<PortFailure> {};

TEST_P(PortFailureText, NamesThePortThenTheDetail) {
    EXPECT_EQ(frontend::port_failure_text(GetParam().open, GetParam().config, "COM4", "/dev/ttyUSB3: reason"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortFailureText,
    ::testing::Values(
        PortFailure{"not_found", serial::OpenStatus::not_found, serial::ConfigStatus::configured,
                    "COM4 not installed or in use by other program\n/dev/ttyUSB3: reason\n"},
        PortFailure{"other_problem", serial::OpenStatus::other_problem, serial::ConfigStatus::configured,
                    "Other problem with COM4\n/dev/ttyUSB3: reason\n"},
        PortFailure{"parameters_not_accessible", serial::OpenStatus::opened, serial::ConfigStatus::parameters_not_accessible,
                    "COM parameters not accessible\n/dev/ttyUSB3: reason\n"},
        PortFailure{"impossible_parameters", serial::OpenStatus::opened, serial::ConfigStatus::impossible_parameters,
                    "Impossible COM parameters\n/dev/ttyUSB3: reason\n"},
        PortFailure{"impossible_timeouts", serial::OpenStatus::opened, serial::ConfigStatus::impossible_timeouts,
                    "Impossible COM timeouts\n/dev/ttyUSB3: reason\n"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
