// Format rules of the payload: header tokens, record checksums, the logical-offset mapping and the
// stub's payload-offset mark.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>

#include "update_file/payload.h"

namespace {

using update_file::HeaderFields;

HeaderFields parse(const std::string& text) {
    uint8_t header[32];
    std::memset(header, ' ', sizeof header);
    std::memcpy(header, text.data(), std::min(text.size(), sizeof header));
    return update_file::parse_header(header);
}

struct HeaderCase {
    const char* name;
    std::string text;
    const char* device;
    const char* version;
    const char* year;

    friend std::ostream& operator<<(std::ostream& out, const HeaderCase& row) { return out << row.name; }
};

class HeaderTokens : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTokens, AreReadFromThe32HeaderBytesOnly) {
    const HeaderCase& c = GetParam();
    const HeaderFields fields = parse(c.text);
    EXPECT_STREQ(fields.device_name, c.device);
    EXPECT_STREQ(fields.version, c.version);
    EXPECT_STREQ(fields.year, c.year);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderTokens,
    ::testing::Values(
        HeaderCase{"complete", "VORNIK-5 3.10c0 2011        \r\n\r\n", "VORNIK-5", "3.10c0", "2011"},
        HeaderCase{"leading_whitespace_and_tabs", "\t \r\nVORNIK-5\t3.10c0\v2011\r\n\r\n", "VORNIK-5", "3.10c0", "2011"},
        HeaderCase{"two_tokens_leave_year_empty", "VORNIK-5 3.10c0             \r\n\r\n", "VORNIK-5", "3.10c0", ""},
        HeaderCase{"no_tokens", "", "", "", ""},
        HeaderCase{"token_of_32_characters_is_split", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", "5", ""},
        HeaderCase{"third_token_ends_at_byte_32", "A B CDEFGHIJKLMNOPQRSTUVWXYZ0123", "A", "B", "CDEFGHIJKLMNOPQRSTUVWXYZ0123"},
        HeaderCase{"control_characters_are_shown_as_question_marks",
                   std::string("DEV\x1b[2J 1\x07\x7F 20\0" "11", 17), "DEV?[2J", "1??", "20?11"},
        HeaderCase{"bytes_beyond_ascii_are_shown_as_question_marks", "\x9b" "31m \xc3\xa4 x", "?31m", "??", "x"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HeaderFormat, ProducerRulesAreChecked) {
    auto error_of = [](const std::string& text) {
        uint8_t header[32];
        std::memcpy(header, text.data(), 32);
        const char* error = update_file::header_format_error(header);
        return std::string(error ? error : "");
    };
    EXPECT_EQ(error_of("VORNIK-5 3.10c0 2011        \r\n\r\n"), "");
    EXPECT_EQ(error_of("VORNIK-5 3.10c0 2011        \r\n\n\n"), "header does not end in CR LF CR LF");
    EXPECT_EQ(error_of("VORNIK-5 3.10c0             \r\n\r\n"), "header lacks one of its three fields");
    EXPECT_EQ(error_of("VORNIK-5  3.10c0 2011       \r\n\r\n"), "header lacks one of its three fields");
    EXPECT_EQ(error_of("VORNIK-5 3.10c0 2011 extra  \r\n\r\n"),
              "header has more than three fields or is not padded with blanks");
}

TEST(MakeHeader, BuildsThe32BytesOrRefusesFieldsThatBreakThem) {
    uint8_t header[32];
    ASSERT_EQ(update_file::make_header("VORNIK-5", "3.10c0", "2011", header), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 32), "VORNIK-5 3.10c0 2011        \r\n\r\n");
    // 28 characters fit exactly; one more does not.
    EXPECT_EQ(update_file::make_header(std::string(19, 'D'), "1.0", "2011", header), nullptr);
    EXPECT_NE(update_file::make_header(std::string(20, 'D'), "1.0", "2011", header), nullptr);
    EXPECT_NE(update_file::make_header("", "1.0", "2011", header), nullptr);
    EXPECT_NE(update_file::make_header("VOR NIK", "1.0", "2011", header), nullptr);
    EXPECT_NE(update_file::make_header("VORNIK", "1.0\t", "2011", header), nullptr);
    EXPECT_NE(update_file::make_header("VORNIK", "1.0", "20\x1b" "11", header), nullptr);
    EXPECT_NE(update_file::make_header("V\xc3\x96RNIK", "1.0", "2011", header), nullptr);
}

TEST(RecordChecksum, MakesTheRecordSumToZero) {
    uint8_t ones[128], all_ff[128], zero_sum[128] = {};
    std::memset(ones, 0x01, sizeof ones);
    std::memset(all_ff, 0xFF, sizeof all_ff);
    zero_sum[0] = 0x80;
    zero_sum[1] = 0x80;
    EXPECT_EQ(update_file::record_checksum_of(ones, 128), 0x80);
    EXPECT_EQ(update_file::record_checksum_of(all_ff, 128), 0x80);
    EXPECT_EQ(update_file::record_checksum_of(zero_sum, 128), 0x00);
}

TEST(LogicalOffset, MapsAcrossTheChecksumBytes) {
    EXPECT_EQ(update_file::image_offset(0), 0u);
    EXPECT_EQ(update_file::image_offset(127), 127u);
    EXPECT_EQ(update_file::image_offset(128), 129u);
    EXPECT_EQ(update_file::image_offset(63999), 64498u);
}

TEST(PayloadOffsetMark, IsFoundOnlyWhenWellFormed) {
    auto find = [](const std::string& text) {
        return update_file::find_payload_offset(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    EXPECT_EQ(find(std::string("\x7f" "ELF...UPDATER-PAYLOAD-OFFSET=1048576\0...", 42)), 1048576);
    EXPECT_EQ(find("no mark here"), -1);
    EXPECT_EQ(find(std::string("UPDATER-PAYLOAD-OFFSET=\0", 24)), -1);
    EXPECT_EQ(find("UPDATER-PAYLOAD-OFFSET=123"), -1);  // cut off before its terminator
    EXPECT_EQ(find(std::string("UPDATER-PAYLOAD-OFFSET=1234567890\0", 34)), -1);
    // A copy of the mark's text without its number, before or after the real mark, is passed over.
    EXPECT_EQ(find(std::string("UPDATER-PAYLOAD-OFFSET=\0..UPDATER-PAYLOAD-OFFSET=524288\0", 56)), 524288);
    EXPECT_EQ(find(std::string("UPDATER-PAYLOAD-OFFSET=x UPDATER-PAYLOAD-OFFSET=77\0", 51)), 77);
}

}  // namespace
