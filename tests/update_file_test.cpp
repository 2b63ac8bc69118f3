// The update file reader over real files: length check, header, image load and checksum test,
// the logical-offset mapping and the EEPROM bytes.
#include <gtest/gtest.h>

#include <cstdio>

#include "fakes.h"
#include "test_files.h"
#include "update_file/payload_offset.h"
#include "update_file/update_file.h"

namespace {

using fakes::ExitCalled;
using run::Outcome;

class UpdateFileReader : public ::testing::Test {
protected:
    void TearDown() override { update_file::release(); }

    std::vector<uint8_t> bytes(const test_files::UpdateContent& content = {}) const {
        return test_files::update_file_bytes(std::vector<uint8_t>(100, 0x90), update_file::PAYLOAD_OFFSET, content);
    }

    std::string write(const std::vector<uint8_t>& file) const {
        const std::string path = dir.file("update");
        test_files::write_file(path, file);
        return path;
    }

    // Runs a step of the reader; returns what it printed and the outcome it ended the run with,
    // if it did.
    template <typename Step>
    std::string printed_by(Step step, Outcome* ended = nullptr) {
        testing::internal::CaptureStdout();
        try {
            step();
        } catch (const ExitCalled& exit) {
            if (ended != nullptr) *ended = exit.outcome;
        }
        return testing::internal::GetCapturedStdout();
    }

    // Reads the header and loads the image, as a run does before the checksum test.
    void open_and_load(const std::string& path) {
        printed_by([&] {
            update_file::read_payload_header(path.c_str(), "x");
            update_file::load_image();
        });
    }

    test_files::TempDir dir;
};

TEST_F(UpdateFileReader, ValidFileIsReadLoadedAndVerified) {
    const std::string path = write(bytes());
    Outcome ended = Outcome::completed;
    EXPECT_EQ(printed_by([&] { update_file::read_payload_header(path.c_str(), "shown"); }, &ended), "");
    EXPECT_STREQ(update_file::device_name(), "VORNIK-5");
    EXPECT_STREQ(update_file::version(), "3.10c0");
    EXPECT_STREQ(update_file::year(), "2011");
    const long length = update_file::EXPECTED_FILE_LENGTH;
    EXPECT_EQ(printed_by([&] { update_file::load_image(); }),
              "Filelength = " + std::to_string(length) + " Bytes\nshown opened\nReadaddress = " +
                  std::to_string(update_file::PAYLOAD_OFFSET + 32) + "\n64500 Bytes allocated\n64500 Bytes read\n");
    EXPECT_EQ(printed_by([] { update_file::verify_image(); }, &ended), "Checksum test OK\n");
    EXPECT_EQ(ended, Outcome::completed);
}

TEST_F(UpdateFileReader, LengthOneByteOffIsRejectedBeforeTheHeaderIsRead) {
    for (long delta : {-1L, +1L}) {
        std::vector<uint8_t> file = bytes();
        file.resize(static_cast<size_t>(update_file::EXPECTED_FILE_LENGTH + delta));
        const std::string path = write(file);
        Outcome ended = Outcome::completed;
        const std::string text = printed_by([&] { update_file::read_payload_header(path.c_str(), "x"); }, &ended);
        EXPECT_EQ(ended, Outcome::file_error);
        EXPECT_EQ(text, "Error: Filelength " + std::to_string(update_file::EXPECTED_FILE_LENGTH + delta) +
                            " not OK. Probably incomplete download from website.\nTry again! Correct filelength should be " +
                            std::to_string(update_file::EXPECTED_FILE_LENGTH) + " Bytes !\n");
        EXPECT_STREQ(update_file::device_name(), "");
        update_file::release();
    }
}

TEST_F(UpdateFileReader, MissingFileIsNotFound) {
    Outcome ended = Outcome::completed;
    EXPECT_EQ(printed_by([&] { update_file::read_payload_header(dir.file("none").c_str(), "shown/none"); }, &ended),
              "File not found: shown/none\nshown/none: No such file or directory\n");
    EXPECT_EQ(ended, Outcome::file_error);
}

TEST_F(UpdateFileReader, ChecksumErrorInTheFirstOrLastRecordStopsTheRun) {
    for (size_t record : {size_t{0}, size_t{499}}) {
        std::vector<uint8_t> file = bytes();
        file[update_file::PAYLOAD_OFFSET + 32 + record * 129 + 128] ^= 0x40;  // the stored checksum byte
        test_files::reseal(file);
        const std::string path = write(file);
        Outcome ended = Outcome::completed;
        open_and_load(path);
        EXPECT_EQ(printed_by([] { update_file::verify_image(); }, &ended),
                  "Error in checksum. Probably download error from website.\nTry again or contact Tarvenholt !\n");
        EXPECT_EQ(ended, Outcome::file_error) << record;
        update_file::release();
    }
}

TEST_F(UpdateFileReader, PayloadWithoutItsDigestIsRefusedBeforeTheHeaderIsRead) {
    // A damaged EEPROM byte, which no record checksum covers; the same file with its digest block
    // zeroed too, as a download cut short into a pre-sized file leaves it.
    std::vector<uint8_t> file = bytes();
    file[file.size() - update_file::EEPROM_AREA_SIZE + 5] ^= 0x10;
    for (bool zeroed : {false, true}) {
        if (zeroed) std::fill(file.end() - update_file::PAYLOAD_SIZE - update_file::DIGEST_BLOCK_SIZE, file.end(), 0);
        const std::string path = write(file);
        Outcome ended = Outcome::completed;
        const std::string text = printed_by([&] { update_file::read_payload_header(path.c_str(), "x"); }, &ended);
        EXPECT_EQ(ended, Outcome::file_error);
        EXPECT_EQ(text, "Error in checksum. Probably download error from website.\n"
                        "Try again or contact Tarvenholt !\n");
        EXPECT_STREQ(update_file::device_name(), "");
        update_file::release();
    }
}

TEST_F(UpdateFileReader, FlashBytesAndStoredChecksumsFollowTheLogicalOffsets) {
    test_files::UpdateContent content;
    const std::string path = write(bytes(content));
    open_and_load(path);
    for (uint32_t i : {0u, 127u, 128u, 129u, 32000u, 63999u}) EXPECT_EQ(update_file::flash_byte(i), content.flash[i]) << i;
    uint8_t sum = 0;
    for (uint32_t i = 63872; i < 64000; ++i) sum = static_cast<uint8_t>(sum - content.flash[i]);
    EXPECT_EQ(update_file::record_checksum(64000), sum);
}

TEST_F(UpdateFileReader, EepromBytesAreLoadedWithTheImageAndOutliveTheFile) {
    test_files::UpdateContent content;
    const std::string path = write(bytes(content));
    open_and_load(path);
    // A medium that fails after the FLASH download can no longer change what is written.
    test_files::write_file(path, std::vector<uint8_t>(update_file::EXPECTED_FILE_LENGTH, 0x00));
    for (uint32_t a : {0u, 1u, 5u, 2047u}) EXPECT_EQ(update_file::eeprom_byte(a), content.eeprom[a]) << a;
    EXPECT_EQ(update_file::eeprom_byte(2048), 0xFF);  // the area's filler
}

TEST_F(UpdateFileReader, HeaderAndImageComeFromTheFileOpenedFirstWhateverReplacesItsName) {
    test_files::UpdateContent content;
    const std::string path = write(bytes(content));
    Outcome ended = Outcome::completed;
    printed_by([&] { update_file::read_payload_header(path.c_str(), "x"); }, &ended);
    test_files::UpdateContent other;
    other.flash[0] ^= 0xFF;
    const std::string replacement = dir.file("replacement");
    test_files::write_file(replacement, test_files::update_file_bytes(std::vector<uint8_t>(100, 0x90),
                                                                      update_file::PAYLOAD_OFFSET, other));
    ASSERT_EQ(std::rename(replacement.c_str(), path.c_str()), 0);
    printed_by([] { update_file::load_image(); }, &ended);
    EXPECT_EQ(ended, Outcome::completed);
    EXPECT_EQ(update_file::flash_byte(0), content.flash[0]);
}

}  // namespace
