// Format rules of the payload: header tokens, record checksums, the logical-offset mapping and the
// stub's payload-offset mark.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <vector>
#include <string>

#include "core/digest.h"
#include "core/payload.h"
#include "core/signature_tail.h"

namespace {

using core::HeaderFields;

HeaderFields parse(const std::string& text) {
    uint8_t header[32];
    std::memset(header, ' ', sizeof header);
    std::memcpy(header, text.data(), std::min(text.size(), sizeof header));
    return core::parse_header(header);
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
        const char* error = core::header_format_error(header);
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
    ASSERT_EQ(core::make_header("VORNIK-5", "3.10c0", "2011", header), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 32), "VORNIK-5 3.10c0 2011        \r\n\r\n");
    // 28 characters fit exactly; one more does not.
    EXPECT_EQ(core::make_header(std::string(19, 'D'), "1.0", "2011", header), nullptr);
    EXPECT_NE(core::make_header(std::string(20, 'D'), "1.0", "2011", header), nullptr);
    EXPECT_NE(core::make_header("", "1.0", "2011", header), nullptr);
    EXPECT_NE(core::make_header("VOR NIK", "1.0", "2011", header), nullptr);
    EXPECT_NE(core::make_header("VORNIK", "1.0\t", "2011", header), nullptr);
    EXPECT_NE(core::make_header("VORNIK", "1.0", "20\x1b" "11", header), nullptr);
    EXPECT_NE(core::make_header("V\xc3\x96RNIK", "1.0", "2011", header), nullptr);
}

TEST(RecordChecksum, MakesTheRecordSumToZero) {
    uint8_t ones[128], all_ff[128], zero_sum[128] = {};
    std::memset(ones, 0x01, sizeof ones);
    std::memset(all_ff, 0xFF, sizeof all_ff);
    zero_sum[0] = 0x80;
    zero_sum[1] = 0x80;
    EXPECT_EQ(core::record_checksum_of(ones, 128), 0x80);
    EXPECT_EQ(core::record_checksum_of(all_ff, 128), 0x80);
    EXPECT_EQ(core::record_checksum_of(zero_sum, 128), 0x00);
}

TEST(LogicalOffset, MapsAcrossTheChecksumBytes) {
    EXPECT_EQ(core::image_offset(0), 0u);
    EXPECT_EQ(core::image_offset(127), 127u);
    EXPECT_EQ(core::image_offset(128), 129u);
    EXPECT_EQ(core::image_offset(63999), 64498u);
}

// The platform's SHA-256 against the FIPS 180-4 example vectors.
TEST(PayloadDigest, Sha256GivesThePublishedDigests) {
    auto hex_of = [](const std::string& text) {
        uint8_t digest[core::DIGEST_SIZE];
        EXPECT_TRUE(core::sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest));
        std::string hex;
        for (uint8_t byte : digest) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
        return hex;
    };
    EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex_of(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(PayloadDigest, BlockIsAbsentPresentOrDamaged) {
    uint8_t digest[32], read_back[32];
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(i * 7);
    uint8_t block[48] = {};
    EXPECT_EQ(core::read_digest_block(block, read_back), core::DigestBlock::absent);
    core::make_digest_block(digest, block);
    ASSERT_EQ(core::read_digest_block(block, read_back), core::DigestBlock::present);
    EXPECT_EQ(std::memcmp(read_back, digest, 32), 0);
    block[3] ^= 1;  // the mark damaged
    EXPECT_EQ(core::read_digest_block(block, read_back), core::DigestBlock::damaged);
}

// A signed Windows update file: the payload, then only zero alignment and the certificate table
// that the PE security directory names.
TEST(SignatureTail, AcceptsExactlyTheCertificateTableBehindThePayload) {
    constexpr long PAYLOAD_END = 5000;
    auto head_with = [](uint16_t magic, uint32_t table_offset, uint32_t table_size) {
        std::vector<uint8_t> head(core::PE_HEADERS_READ, 0);
        head[0] = 'M';
        head[1] = 'Z';
        head[0x3C] = 0x80;
        std::memcpy(head.data() + 0x80, "PE\0\0", 4);
        const size_t optional = 0x80 + 24;
        head[optional] = static_cast<uint8_t>(magic);
        head[optional + 1] = static_cast<uint8_t>(magic >> 8);
        const size_t count_at = optional + (magic == 0x10B ? 92 : 108);
        head[count_at] = 16;
        const size_t entry = count_at + 4 + 4 * 8;
        for (int i = 0; i < 4; ++i) {
            head[entry + i] = static_cast<uint8_t>(table_offset >> (8 * i));
            head[entry + 4 + i] = static_cast<uint8_t>(table_size >> (8 * i));
        }
        return head;
    };
    struct Case {
        const char* name;
        uint16_t magic;
        uint32_t table_offset, table_size;
        long file_length;
        uint8_t alignment_byte;
        bool accepted;
    };
    const Case cases[] = {
        {"pe32_right_behind", 0x10B, 5000, 1484, 6484, 0, true},
        {"pe32_plus_aligned", 0x20B, 5003, 1481, 6484, 0, true},
        {"seven_bytes_of_alignment", 0x10B, 5007, 1477, 6484, 0, true},
        {"alignment_not_zero", 0x10B, 5003, 1481, 6484, 0xAB, false},
        {"eight_bytes_before_the_table", 0x10B, 5008, 1476, 6484, 0, false},
        {"one_byte_appended", 0x10B, 5000, 1484, 6485, 0, false},
        {"table_inside_the_payload", 0x10B, 4999, 1485, 6484, 0, false},
        {"no_table", 0x10B, 0, 0, 6484, 0, false},
        {"not_a_pe_image", 0x107, 5000, 1484, 6484, 0, false},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> head = head_with(c.magic, c.table_offset, c.table_size);
        const uint8_t after[7] = {c.alignment_byte, c.alignment_byte, c.alignment_byte, c.alignment_byte,
                                  c.alignment_byte, c.alignment_byte, c.alignment_byte};
        core::CertificateTable table;
        EXPECT_EQ(core::is_signature_tail(head.data(), head.size(), after, sizeof after, PAYLOAD_END, c.file_length, table),
                  c.accepted)
            << c.name;
    }
    std::vector<uint8_t> elf(core::PE_HEADERS_READ, 0);
    std::memcpy(elf.data(), "\x7f" "ELF", 4);
    core::CertificateTable table;
    EXPECT_FALSE(core::find_certificate_table(elf.data(), elf.size(), table));
}

TEST(PayloadOffsetMark, IsFoundOnlyWhenWellFormed) {
    auto find = [](const std::string& text) {
        return core::find_payload_offset(reinterpret_cast<const uint8_t*>(text.data()), text.size());
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
