// Packing: the layout of an update file, refusals, and writing without leaving partial files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "pack.h"
#include "test_files.h"
#include "core/digest.h"
#include "core/layout.h"
#include "core/payload.h"

namespace {

using namespace core;

mkupdate::PackInput input_with_stub(const std::string& stub_text) {
    mkupdate::PackInput input;
    input.stub.assign(stub_text.begin(), stub_text.end());
    input.flash = test_files::flash_pattern();
    input.eeprom = {0x11, 0x22};
    input.device_name = "VORNIK-5";
    input.version = "3.10c0";
    input.year = "2011";
    return input;
}

TEST(Pack, LaysOutStubPaddingHeaderRecordsAndEepromArea) {
    const mkupdate::PackInput input = input_with_stub(std::string("stub UPDATER-PAYLOAD-OFFSET=4096\0 end", 37));
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(mkupdate::build_update_file(input, out, error)) << error;
    ASSERT_EQ(out.size(), 4096u + 32 + 64500 + 262144);
    EXPECT_TRUE(std::equal(input.stub.begin(), input.stub.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 37, out.begin() + 4096 - 48, [](uint8_t b) { return b == 0; }));
    // The padding ends in the digest block: its mark and the payload's SHA-256.
    uint8_t digest[32];
    ASSERT_TRUE(core::sha256(out.data() + 4096, core::PAYLOAD_SIZE, digest));
    EXPECT_EQ(std::string(out.begin() + 4096 - 48, out.begin() + 4096 - 32), std::string("UPDATER-SHA256:\0", 16));
    EXPECT_TRUE(std::equal(digest, digest + 32, out.begin() + 4096 - 32));
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4128), "VORNIK-5 3.10c0 2011        \r\n\r\n");
    const uint8_t* records = out.data() + 4128;
    for (uint32_t b = 0; b < 500; ++b) {
        uint8_t sum = 0;
        for (uint32_t k = 0; k < 129; ++k) sum = static_cast<uint8_t>(sum + records[b * 129 + k]);
        ASSERT_EQ(sum, 0) << "record " << b;
        ASSERT_EQ(records[b * 129 + 5], input.flash[b * 128 + 5]);
    }
    const uint8_t* eeprom = records + 64500;
    EXPECT_EQ(eeprom[0], 0x11);
    EXPECT_EQ(eeprom[1], 0x22);
    EXPECT_TRUE(std::all_of(eeprom + 2, eeprom + 262144, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(mkupdate::check_update_file(out, -1, {}, std::tmpfile()));
}

TEST(Pack, RefusesStubsWithoutOffsetOrLargerThanIt) {
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_FALSE(mkupdate::build_update_file(input_with_stub("no mark"), out, error));
    EXPECT_EQ(error, "the stub carries no payload offset mark (give --payload-offset)");
    mkupdate::PackInput too_big = input_with_stub(std::string("UPDATER-PAYLOAD-OFFSET=16\0 and more bytes", 41));
    EXPECT_FALSE(mkupdate::build_update_file(too_big, out, error));
    EXPECT_EQ(error, "the stub is 41 bytes, more than its payload offset 16 less the 48-byte digest block");
    // Told another offset than its own mark: a file that could never run.
    too_big.payload_offset = 41 + 48;
    EXPECT_FALSE(mkupdate::build_update_file(too_big, out, error));
    EXPECT_EQ(error, "--payload-offset 89 differs from the stub's own payload offset 16");
    // A stub without a mark, told its offset: the stub and the digest block fit exactly.
    mkupdate::PackInput unmarked = input_with_stub(std::string(41, 'x'));
    unmarked.payload_offset = 41 + 48;
    EXPECT_TRUE(mkupdate::build_update_file(unmarked, out, error)) << error;
    // The inspector refuses the mark's offset of 16 before it looks for a digest block there.
    std::vector<uint8_t> small(16 + core::PAYLOAD_SIZE, 0);
    std::copy_n("UPDATER-PAYLOAD-OFFSET=16", 26, small.begin());
    EXPECT_FALSE(mkupdate::check_update_file(small, -1, {}, std::tmpfile()));
}

TEST(WriteFileAtomically, LeavesNothingBehindWhenItCannotFinish) {
    test_files::TempDir dir;
    std::string error;
    ASSERT_TRUE(mkupdate::write_file_atomically(dir.file("out"), {1, 2, 3}, 0755, error)) << error;
    struct stat info;
    ASSERT_EQ(stat(dir.file("out").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(test_files::read_file(dir.file("out")), (std::vector<uint8_t>{1, 2, 3}));

    // A folder in the way: the rename fails, and the temporary file goes again.
    std::filesystem::create_directory(dir.file("taken"));
    EXPECT_FALSE(mkupdate::write_file_atomically(dir.file("taken"), {1}, 0755, error));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u);  // out and taken
}

TEST(WriteFileAtomically, HonoursTheUmaskWritesThroughLinksAndTakesLongNames) {
    test_files::TempDir dir;
    std::string error;
    const mode_t mask = umask(027);
    const bool written = mkupdate::write_file_atomically(dir.file("masked"), {1}, 0755, error);
    umask(mask);
    ASSERT_TRUE(written) << error;
    struct stat info;
    ASSERT_EQ(stat(dir.file("masked").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);

    // Through a relative link to a link: the file pointed to is replaced, the links stay.
    std::filesystem::create_directory(dir.file("releases"));
    test_files::write_file(dir.file("releases/update"), {9});
    std::filesystem::create_symlink("releases/update", dir.file("current"));
    std::filesystem::create_symlink(dir.file("current"), dir.file("latest"));
    ASSERT_TRUE(mkupdate::write_file_atomically(dir.file("latest"), {4, 5}, 0755, error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("latest")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("current")));
    EXPECT_EQ(test_files::read_file(dir.file("releases/update")), (std::vector<uint8_t>{4, 5}));

    const std::string longest(255, 'u');  // the longest name a Linux file system allows
    ASSERT_TRUE(mkupdate::write_file_atomically(dir.file(longest), {6}, 0755, error)) << error;
    EXPECT_EQ(test_files::read_file(dir.file(longest)), (std::vector<uint8_t>{6}));
}

}  // namespace
