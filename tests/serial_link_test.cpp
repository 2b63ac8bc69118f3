// The byte transport over a stand-in port: frames and their checksum, single bytes, reads, and the
// port's messages.
#include <gtest/gtest.h>

#include <ostream>

#include "fakes.h"
#include "serial/serial_link.h"
#include "update_file/payload.h"

namespace {

using fakes::ExitCalled;

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override { fakes::reset_port(); }
    void TearDown() override { fakes::reset_port(); }

    // Opens port n; returns what it printed and the outcome it ended the run with, if it did.
    std::string open(unsigned n, run::Outcome* ended) {
        testing::internal::CaptureStdout();
        try {
            serial::open_port(n);
        } catch (const ExitCalled& exit) {
            *ended = exit.outcome;
        }
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(SerialLink, FrameLeavesInOneWriteWithTheChecksumThatZeroesItsSum) {
    uint8_t data[128];
    for (unsigned k = 0; k < 128; ++k) data[k] = static_cast<uint8_t>(k * 37 + 0x0D);
    serial::reset_frame_checksum();
    for (uint8_t b : data) serial::queue_byte(b);
    const uint8_t checksum = serial::frame_checksum();
    EXPECT_EQ(checksum, update_file::record_checksum_of(data, 128));
    serial::queue_byte(checksum);
    EXPECT_TRUE(fakes::port().wire.empty());
    serial::flush_queue();
    ASSERT_EQ(fakes::port().write_sizes, std::vector<size_t>{129});
    EXPECT_EQ(std::vector<uint8_t>(fakes::port().wire.begin(), fakes::port().wire.end() - 1),
              std::vector<uint8_t>(data, data + 128));
    EXPECT_EQ(fakes::port().wire.back(), checksum);
}

TEST_F(SerialLink, EmptyQueueSendsNothingAndSingleBytesGoAlone) {
    serial::flush_queue();
    EXPECT_TRUE(fakes::port().write_sizes.empty());
    serial::queue_byte(0x01);
    serial::flush_queue();
    serial::send_byte(0x17);
    serial::flush_queue();  // the queue was emptied by the first flush
    EXPECT_EQ(fakes::port().write_sizes, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(fakes::port().wire, (std::vector<uint8_t>{0x01, 0x17}));
}

TEST_F(SerialLink, ExchangeSendsThenReadsAndSilenceIsNoByte) {
    fakes::port().replies = {0x00};
    EXPECT_EQ(serial::exchange_byte(0x00), 0x00);  // a received 0 is not NO_BYTE
    EXPECT_EQ(serial::exchange_byte(0x00), serial::NO_BYTE);
    EXPECT_EQ(fakes::port().wire, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(fakes::port().reads, 2u);
}

TEST_F(SerialLink, OpenAndCloseNameThePort) {
    run::Outcome ended = run::Outcome::completed;
    EXPECT_EQ(open(3, &ended), "COM3 connected\n");
    EXPECT_EQ(ended, run::Outcome::completed);
    testing::internal::CaptureStdout();
    serial::close_port();
    serial::close_port();  // a closed port is not closed again
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "COM3 disconnected\n");
}

struct PortFailure {
    const char* name;
    serial::OpenStatus open;
    serial::ConfigStatus config;
    const char* printed;

    friend std::ostream& operator<<(std::ostream& out, const PortFailure& row) { return out << row.name; }
};

class SerialLinkFailure : public SerialLink, public ::testing::WithParamInterface<PortFailure> {};

TEST_P(SerialLinkFailure, PrintsItsMessageAndTheDetailAndEndsWithPortError) {
    fakes::port().open_status = GetParam().open;
    fakes::port().config_status = GetParam().config;
    fakes::port().detail = "/dev/ttyUSB3: reason";
    run::Outcome ended = run::Outcome::completed;
    EXPECT_EQ(open(4, &ended), GetParam().printed);
    EXPECT_EQ(ended, run::Outcome::port_error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialLinkFailure,
    ::testing::Values(
        PortFailure{"not_found", serial::OpenStatus::not_found, serial::ConfigStatus::configured,
                    "COM4 not installed or in use by other program\n/dev/ttyUSB3: reason\n"},
        PortFailure{"other_problem", serial::OpenStatus::other_problem, serial::ConfigStatus::configured,
                    "Other problem with COM4\n/dev/ttyUSB3: reason\n"},
        PortFailure{"parameters_not_accessible", serial::OpenStatus::opened, serial::ConfigStatus::parameters_not_accessible,
                    "COM4 connected\nCOM parameters not accessible\n/dev/ttyUSB3: reason\n"},
        PortFailure{"impossible_parameters", serial::OpenStatus::opened, serial::ConfigStatus::impossible_parameters,
                    "COM4 connected\nImpossible COM parameters\n/dev/ttyUSB3: reason\n"},
        PortFailure{"impossible_timeouts", serial::OpenStatus::opened, serial::ConfigStatus::impossible_timeouts,
                    "COM4 connected\nImpossible COM timeouts\n/dev/ttyUSB3: reason\n"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
