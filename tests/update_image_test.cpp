// The update image over real files and buffers: length check, payload digest, header, the records'
// checksum test, the logical-offset mapping and the EEPROM bytes.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/update_image.h"
#include "test_files.h"

namespace {

using core::Fault;

constexpr long OFFSET = 4096;

class UpdateImage : public ::testing::Test {
protected:
    std::vector<uint8_t> bytes(const test_files::UpdateContent& content = {}) const {
        return test_files::update_file_bytes(std::vector<uint8_t>(100, 0x90), OFFSET, content);
    }

    core::Failed open(const std::vector<uint8_t>& file) { return image.open(file.data(), file.size()); }

    core::UpdateImage image{OFFSET};
    test_files::TempDir dir;
};

TEST_F(UpdateImage, ValidFileIsJudgedAndVerified) {
    EXPECT_FALSE(open(bytes()));
    EXPECT_STREQ(image.header().device_name, "VORNIK-5");
    EXPECT_STREQ(image.header().version, "3.10c0");
    EXPECT_STREQ(image.header().year, "2011");
    EXPECT_EQ(image.length(), core::expected_file_length(OFFSET));
    EXPECT_EQ(image.image_start(), OFFSET + 32);
    EXPECT_FALSE(image.verify());
}

TEST_F(UpdateImage, LengthOneByteOffIsRejectedBeforeTheHeaderIsRead) {
    for (long delta : {-1L, +1L}) {
        std::vector<uint8_t> file = bytes();
        file.resize(static_cast<size_t>(core::expected_file_length(OFFSET) + delta));
        const core::Failed failed = open(file);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->fault, Fault::file_length);
        EXPECT_EQ(failed->outcome(), core::Outcome::file_error);
        EXPECT_EQ(failed->count, core::expected_file_length(OFFSET) + delta);
        EXPECT_EQ(failed->expected, core::expected_file_length(OFFSET));
        EXPECT_STREQ(image.header().device_name, "");
    }
}

TEST_F(UpdateImage, ChecksumErrorInTheFirstOrLastRecordFailsTheChecksumTest) {
    for (size_t record : {size_t{0}, size_t{499}}) {
        std::vector<uint8_t> file = bytes();
        file[OFFSET + 32 + record * 129 + 128] ^= 0x40;  // the stored checksum byte
        test_files::reseal(file);
        EXPECT_FALSE(open(file));
        const core::Failed checked = image.verify();
        ASSERT_TRUE(checked) << record;
        EXPECT_EQ(checked->fault, Fault::file_damaged);
    }
}

TEST_F(UpdateImage, PayloadWithoutItsDigestIsRefusedBeforeTheHeaderIsRead) {
    // A damaged EEPROM byte, which no record checksum covers; the same file with its digest block
    // zeroed too, as a download cut short into a pre-sized file leaves it.
    std::vector<uint8_t> file = bytes();
    file[file.size() - core::EEPROM_AREA_SIZE + 5] ^= 0x10;
    for (bool zeroed : {false, true}) {
        if (zeroed) std::fill(file.end() - core::PAYLOAD_SIZE - core::DIGEST_BLOCK_SIZE, file.end(), 0);
        const core::Failed failed = open(file);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->fault, Fault::file_damaged);
        EXPECT_STREQ(image.header().device_name, "");
        // Which file it was is still known.
        EXPECT_EQ(image.length(), static_cast<long>(file.size()));
        EXPECT_TRUE(image.digest_known());
    }
}

TEST_F(UpdateImage, FlashBytesAndStoredChecksumsFollowTheLogicalOffsets) {
    test_files::UpdateContent content;
    ASSERT_FALSE(open(bytes(content)));
    for (uint32_t i : {0u, 127u, 128u, 129u, 32000u, 63999u}) EXPECT_EQ(image.flash_byte(i), content.flash[i]) << i;
    uint8_t sum = 0;
    for (uint32_t i = 63872; i < 64000; ++i) sum = static_cast<uint8_t>(sum - content.flash[i]);
    EXPECT_EQ(image.record_checksum(64000), sum);
}

// Everything is taken from the file as it was opened: neither a file renamed over its name nor a
// medium that fails later changes what is written.
TEST_F(UpdateImage, ImageIsHeldFromTheFileAsOpened) {
    test_files::UpdateContent content;
    const std::string path = dir.file("update");
    test_files::write_file(path, bytes(content));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(image.open_file(file, core::expected_file_length(OFFSET)));
    std::fclose(file);
    test_files::write_file(path, std::vector<uint8_t>(core::expected_file_length(OFFSET), 0x00));
    for (uint32_t a : {0u, 1u, 5u, 2047u}) EXPECT_EQ(image.eeprom_byte(a), content.eeprom[a]) << a;
    EXPECT_EQ(image.eeprom_byte(2048), 0xFF);  // the area's filler
    EXPECT_EQ(image.flash_byte(0), content.flash[0]);
}

}  // namespace
