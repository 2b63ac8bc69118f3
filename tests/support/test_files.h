// Temporary folders and update files for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_files {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// 64,000 bytes of FLASH data: deterministic filler, seeded, that starts with the byte values a
// serial line is most likely to mangle (0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF and others).
std::vector<uint8_t> flash_pattern(uint32_t seed = 1);

// 2,048 bytes of EEPROM contents that differ from one address to the next.
std::vector<uint8_t> eeprom_pattern();

struct UpdateContent {
    std::vector<uint8_t> flash = flash_pattern();
    std::vector<uint8_t> eeprom = eeprom_pattern();
    std::string device = "VORNIK-5";
    std::string version = "3.10c0";
    std::string year = "2011";
};

// The bytes of an update file for the given stub and payload offset (-1: the stub's own mark).
std::vector<uint8_t> update_file_bytes(const std::vector<uint8_t>& stub, long payload_offset,
                                       const UpdateContent& content);

// Records the digest of a packed file's payload anew, so that a test can change the payload and
// reach the checks behind the digest.
void reseal(std::vector<uint8_t>& file);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& data, unsigned mode = 0644);

}  // namespace test_files
