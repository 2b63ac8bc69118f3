// Fuzzes the update image over the program's own file: the length check, the payload digest, the
// header, the records' checksum test and the bytes served from it, plus the packer's inspector over
// the same bytes. The first input byte chooses between taking the rest as the whole file and as a
// payload placed in a file of the expected length (so that the paths past the length check are
// reached), and whether that file records its payload's digest.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>

#include "core/digest.h"
#include "core/layout.h"
#include "core/payload.h"
#include "core/update_image.h"
#include "pack.h"

namespace {

// A small payload offset keeps the files small.
constexpr long OFFSET = 64;

// A file of the expected length whose FLASH records are valid (0xFF data, checksum 0x80), with
// the payload bytes laid over it from the header on.
std::vector<uint8_t> file_around(const uint8_t* payload, size_t size) {
    using namespace core;
    std::vector<uint8_t> file(static_cast<size_t>(expected_file_length(OFFSET)), 0xFF);
    std::memset(file.data(), 0, OFFSET);
    for (uint32_t b = 0; b < RECORD_COUNT; ++b) file[OFFSET + HEADER_SIZE + b * RECORD_SIZE + 128] = 0x80;
    std::memcpy(file.data() + OFFSET, payload, std::min<size_t>(size, PAYLOAD_SIZE));
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> file = (data[0] & 1) ? file_around(data + 1, size - 1)
                                              : std::vector<uint8_t>(data + 1, data + size);
    if ((data[0] & 3) == 3) {
        // The payload's own digest recorded before it, so that the digest check passes too.
        uint8_t digest[core::DIGEST_SIZE];
        uint8_t block[core::DIGEST_BLOCK_SIZE];
        if (core::sha256(file.data() + OFFSET, core::PAYLOAD_SIZE, digest)) {
            core::make_digest_block(digest, block);
            std::memcpy(file.data() + OFFSET - core::DIGEST_BLOCK_SIZE, block, sizeof block);
        }
    }

    core::UpdateImage image(OFFSET);
    if (!image.open(file.data(), file.size()) && !image.verify()) {
        unsigned sum = 0;
        for (uint32_t i = 0; i < core::FLASH_DATA_SIZE; ++i) sum += image.flash_byte(i);
        for (uint32_t a = 0; a < core::EEPROM_SIZE; a += 1 + (data[size - 1] & 7)) sum += image.eeprom_byte(a);
        if (sum == 0xFFFFFFFFu) std::abort();  // keeps the reads from being optimised away
    }

    // The inspector: over a whole file given as input it also has to find the stub's mark.
    std::FILE* sink = std::fopen("/dev/null", "w");
    mkupdate::check_update_file(file, (data[0] & 1) ? OFFSET : -1, {}, sink);
    std::fclose(sink);
    return 0;
}
