// The EEPROM transfer over a stand-in port wired to the simulated device's model: the wire format,
// differences, and a device that never answers (which costs 205 s on a real line, none here).
#include <gtest/gtest.h>

#include "device.h"
#include "fakes.h"
#include "protocol/eeprom_download.h"
#include "test_files.h"
#include "update_file/payload_offset.h"
#include "update_file/update_file.h"

namespace {

class EepromTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        content.eeprom[0x123] = 0x5A;
        content.eeprom[0x1A] = 0x07;
        const std::string path = dir.file("update");
        test_files::write_file(path, test_files::update_file_bytes({}, update_file::PAYLOAD_OFFSET, content));
        testing::internal::CaptureStdout();
        update_file::read_payload_header(path.c_str(), path.c_str());
        update_file::load_image();
        testing::internal::GetCapturedStdout();
    }

    void TearDown() override {
        update_file::release();
        fakes::reset_port();
        fakes::key_is_waiting = false;
    }

    // Runs the transfer against a device with the given faults; returns what it printed.
    std::string transfer(const loader_sim::Faults& faults, protocol::ReadBack* found) {
        fakes::reset_port(&faults);
        testing::internal::CaptureStdout();
        *found = protocol::download_eeprom();
        return testing::internal::GetCapturedStdout();
    }

    test_files::TempDir dir;
    test_files::UpdateContent content;
};

TEST_F(EepromTransfer, WritesEveryByteInItsOwnFrameAndReadsItBack) {
    protocol::ReadBack found;
    found.differences = 99;
    const std::string printed = transfer({}, &found);
    EXPECT_TRUE(found.clean());
    EXPECT_EQ(fakes::port().device->eeprom(), content.eeprom);
    EXPECT_TRUE(fakes::port().device->protocol_errors().empty());
    const std::vector<uint8_t>& wire = fakes::port().wire;
    ASSERT_EQ(wire.size(), 4u + 1 + 2048 * 5 + 1 + 1 + 2048 * 5 + 2);
    const std::vector<uint8_t> frame_0x123(wire.begin() + 5 + 0x123 * 5, wire.begin() + 5 + 0x124 * 5);
    EXPECT_EQ(frame_0x123, (std::vector<uint8_t>{0x01, 0x00, 0x01, 0x23, 0x5A}));
    EXPECT_EQ(fakes::port().reads, 2048u * 2);
    EXPECT_NE(printed.find("\r14 1%"), std::string::npos);
    EXPECT_EQ(printed.substr(printed.size() - 9), "\r7FF 100%");
}

TEST_F(EepromTransfer, DifferenceIsPrintedBehindItsProgressAndThePassGoesOn) {
    loader_sim::Faults faults;
    faults.eeprom_wrong[0x1A] = 0x05;
    protocol::ReadBack found;
    const std::string printed = transfer(faults, &found);
    EXPECT_EQ(found.differences, 1u);
    EXPECT_EQ(found.missing, 0u);
    const size_t verifying = printed.find("Verifying");
    EXPECT_NE(printed.find("\r1A 1%Error at address 1A: 5 (!=7)\n\r1B 1%", verifying), std::string::npos);
}

TEST_F(EepromTransfer, DeviceThatNeverAnswersGivesADifferenceForEveryAddress) {
    loader_sim::Faults faults;
    faults.silent = true;
    protocol::ReadBack found;
    const std::string printed = transfer(faults, &found);
    EXPECT_EQ(found.differences, 2048u);
    EXPECT_EQ(found.missing, 2048u);
    EXPECT_NE(printed.find("\r0 0%Error at address 0: ffff (!=1)\n"), std::string::npos);
    size_t lines = 0;
    for (size_t at = printed.find("ffff (!="); at != std::string::npos; at = printed.find("ffff (!=", at + 1)) ++lines;
    EXPECT_EQ(lines, 2048u);
    EXPECT_EQ(fakes::port().reads, 2048u * 2);  // every write frame still waits for its reply
}

TEST_F(EepromTransfer, WaitingKeyIsLeftAndEndsNoOneByteChunkEarly) {
    fakes::key_is_waiting = true;
    protocol::ReadBack found;
    transfer({}, &found);
    EXPECT_TRUE(found.clean());
    EXPECT_EQ(fakes::port().device->eeprom_bytes_read(), 2048u);
}

}  // namespace
