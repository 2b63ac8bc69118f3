#include "test_files.h"

#include <algorithm>

#include "core/digest.h"
#include "core/layout.h"
#include "core/payload.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pack.h"

namespace test_files {

TempDir::TempDir() {
    char name[] = "/tmp/updater-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> flash_pattern(uint32_t seed) {
    std::vector<uint8_t> data(64000);
    uint32_t state = seed;
    for (auto& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    const uint8_t awkward[] = {0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x03, 0x1A, 0x1B, 0x7F, 0x0D, 0x0D, 0x0A};
    std::copy(std::begin(awkward), std::end(awkward), data.begin());
    return data;
}

std::vector<uint8_t> eeprom_pattern() {
    std::vector<uint8_t> data(2048);
    for (size_t a = 0; a < data.size(); ++a) data[a] = static_cast<uint8_t>(a * 7 + (a >> 8) + 1);
    return data;
}

std::vector<uint8_t> update_file_bytes(const std::vector<uint8_t>& stub, long payload_offset,
                                       const UpdateContent& content) {
    mkupdate::PackInput input;
    input.stub = stub;
    input.payload_offset = payload_offset;
    input.flash = content.flash;
    input.eeprom = content.eeprom;
    input.device_name = content.device;
    input.version = content.version;
    input.year = content.year;
    std::vector<uint8_t> out;
    std::string error;
    if (!mkupdate::build_update_file(input, out, error)) throw std::runtime_error("packing failed: " + error);
    return out;
}

void reseal(std::vector<uint8_t>& file) {
    uint8_t* payload = file.data() + file.size() - core::PAYLOAD_SIZE;
    uint8_t digest[core::DIGEST_SIZE];
    uint8_t block[core::DIGEST_BLOCK_SIZE];
    if (!core::sha256(payload, core::PAYLOAD_SIZE, digest)) throw std::runtime_error("sha256 failed");
    core::make_digest_block(digest, block);
    std::copy(block, block + sizeof block, payload - sizeof block);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& data, unsigned mode) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    file.close();
    if (!file || chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot write " + path);
}

}  // namespace test_files
