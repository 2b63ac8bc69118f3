// The packer's load-file readers: Intel HEX and S-record, good and malformed.
#include <gtest/gtest.h>

#include <ostream>

#include "load_file.h"
#include "test_files.h"

namespace {

std::vector<uint8_t> image;
std::string error;

bool hex(const std::string& text, size_t size = 64000) { return mkupdate::parse_intel_hex(text, "fw.hex", size, image, error); }
bool srec(const std::string& text, size_t size = 64000) { return mkupdate::parse_srecord(text, "fw.srec", size, image, error); }

TEST(IntelHex, PlacesDataAndFillsTheRestWithFF) {
    ASSERT_TRUE(hex(":0400000001020304F2\r\n"
                    ":020000040000FA\n"
                    ":01F9FF00AA5D\n"
                    ":00000001FF\n"))
        << error;
    ASSERT_EQ(image.size(), 64000u);
    EXPECT_EQ(image[0], 0x01);
    EXPECT_EQ(image[3], 0x04);
    EXPECT_EQ(image[4], 0xFF);
    EXPECT_EQ(image[63999], 0xAA);
}

struct Malformed {
    const char* name;
    std::string text;
    std::string error;

    friend std::ostream& operator<<(std::ostream& out, const Malformed& row) { return out << row.name; }
};

class IntelHexMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(IntelHexMalformed, IsAnErrorNamingFileAndLine) {
    EXPECT_FALSE(hex(GetParam().text));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexMalformed,
    ::testing::Values(
        Malformed{"checksum", ":0400000001020304F2\n:0400040001020304F0\n:00000001FF\n", "fw.hex:2: record checksum error"},
        Malformed{"outside_the_image", ":01FA0000AA5B\n:00000001FF\n", "fw.hex:1: data at address 0xFA00 lies outside 0 to 0xF9FF"},
        Malformed{"above_64k", ":020000040001F9\n:0100000011EE\n:00000001FF\n", "fw.hex:2: data at address 0x10000 lies outside 0 to 0xF9FF"},
        Malformed{"overlap", ":0100000011EE\n:0100000011EE\n:00000001FF\n", "fw.hex:2: address 0x0 given twice"},
        Malformed{"no_end_record", ":0400000001020304F2\n", "fw.hex: missing end-of-file record (file incomplete?)"},
        Malformed{"data_after_end", ":00000001FF\n:0100000011EE\n", "fw.hex:2: data after the end-of-file record"},
        Malformed{"no_colon", "0400000001020304F2\n", "fw.hex:1: record does not start with ':'"},
        Malformed{"odd_digits", ":0400000001020304F\n", "fw.hex:1: malformed record (not an even number of hex digits, or too short)"},
        Malformed{"not_hex", ":04000000010203G4F2\n", "fw.hex:1: malformed record (not an even number of hex digits, or too short)"},
        Malformed{"count_mismatch", ":0500000001020304F1\n", "fw.hex:1: record length does not match its byte count"},
        Malformed{"unknown_type", ":00000006FA\n", "fw.hex:1: unknown record type 6"},
        Malformed{"end_record_alone", ":00000001FF\n", "fw.hex: no data records (the image would be all 0xFF)"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SRecord, PlacesDataOfAllAddressSizes) {
    ASSERT_TRUE(srec("S00600004844521B\n"
                     "S1050000AABB95\n"
                     "S206000010CCDD40\n"
                     "S3060000F9FFEE13\n"
                     "S5030003F9\n"
                     "S9030000FC\n"))
        << error;
    EXPECT_EQ(image[0], 0xAA);
    EXPECT_EQ(image[1], 0xBB);
    EXPECT_EQ(image[0x10], 0xCC);
    EXPECT_EQ(image[0x11], 0xDD);
    EXPECT_EQ(image[63999], 0xEE);
    EXPECT_EQ(image[2], 0xFF);
}

TEST(SRecord, FinalCountRecordCompletesAFileWithoutTermination) {
    ASSERT_TRUE(srec("S1050000AABB95\nS5030001FB\n")) << error;
    EXPECT_EQ(image[1], 0xBB);
}

class SRecordMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(SRecordMalformed, IsAnErrorNamingFileAndLine) {
    EXPECT_FALSE(srec(GetParam().text));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SRecordMalformed,
    ::testing::Values(
        Malformed{"checksum", "S1050000AABB94\nS9030000FC\n", "fw.srec:1: record checksum error"},
        Malformed{"outside_the_image", "S105FA00AABB9B\nS9030000FC\n", "fw.srec:1: data at address 0xFA00 lies outside 0 to 0xF9FF"},
        Malformed{"record_count", "S1050000AABB95\nS5030002FA\nS9030000FC\n", "fw.srec:2: record count 2 does not match the 1 data records before it"},
        Malformed{"no_termination", "S1050000AABB95\n",
                  "fw.srec: missing termination record S7, S8 or S9, or final count record S5 or S6 (file incomplete?)"},
        Malformed{"data_after_the_count", "S1050000AABB95\nS5030001FB\nS1050002AABB93\n",
                  "fw.srec: missing termination record S7, S8 or S9, or final count record S5 or S6 (file incomplete?)"},
        Malformed{"reserved_type", "S4030000FC\n", "fw.srec:1: unknown record type S4"},
        Malformed{"not_a_record", "X1050000AABB95\n", "fw.srec:1: record does not start with S0 to S9"},
        Malformed{"header_and_termination_alone", "S00600004844521B\nS9030000FC\n", "fw.srec: no data records (the image would be all 0xFF)"},
        Malformed{"header_and_count_alone", "S00600004844521B\nS5030000FC\n", "fw.srec: no data records (the image would be all 0xFF)"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReadImage, ChoosesTheReaderByTheNameAndChecksRawSizes) {
    test_files::TempDir dir;
    const std::string hex_text = ":0100000011EE\n:00000001FF\n";
    test_files::write_file(dir.file("fw.HEX"), std::vector<uint8_t>(hex_text.begin(), hex_text.end()));
    EXPECT_TRUE(mkupdate::read_image(dir.file("fw.HEX"), 64000, mkupdate::RawSize::exact, image, error)) << error;
    test_files::write_file(dir.file("ee.bin"), std::vector<uint8_t>(10, 0x42));
    ASSERT_TRUE(mkupdate::read_image(dir.file("ee.bin"), 2048, mkupdate::RawSize::at_most, image, error));
    EXPECT_EQ(image[9], 0x42);
    EXPECT_EQ(image[10], 0xFF);
    EXPECT_FALSE(mkupdate::read_image(dir.file("ee.bin"), 64000, mkupdate::RawSize::exact, image, error));
    EXPECT_EQ(error, dir.file("ee.bin") + ": raw image of 10 bytes, expected exactly 64000");
    EXPECT_FALSE(mkupdate::read_image(dir.path(), 2048, mkupdate::RawSize::at_most, image, error));
    EXPECT_EQ(error, dir.path() + ": not a regular file");
}

}  // namespace
