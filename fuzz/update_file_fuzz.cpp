// Fuzzes the reader of the program's own file: the length check, the header, the image load and
// checksum test, and the EEPROM source, plus the packer's inspector over the same bytes. The first
// input byte chooses between taking the rest as the whole file and as a payload placed in a file of
// the expected length (so that the paths past the length check are reached), and whether that file
// records its payload's digest.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pack.h"
#include "run/exit_program.h"
#include "update_file/digest.h"
#include "update_file/payload.h"
#include "update_file/payload_offset.h"
#include "update_file/update_file.h"

namespace {

struct RunEnded {};

const std::string& scratch_file() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz-update-file-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    return path;
}

// A file of the expected length whose FLASH records are valid (0xFF data, checksum 0x80), with
// the payload bytes laid over it from the header on.
std::vector<uint8_t> file_around(const uint8_t* payload, size_t size) {
    using namespace update_file;
    std::vector<uint8_t> file(static_cast<size_t>(EXPECTED_FILE_LENGTH), 0xFF);
    std::memset(file.data(), 0, PAYLOAD_OFFSET);
    for (uint32_t b = 0; b < RECORD_COUNT; ++b) file[PAYLOAD_OFFSET + HEADER_SIZE + b * RECORD_SIZE + 128] = 0x80;
    std::memcpy(file.data() + PAYLOAD_OFFSET, payload, std::min<size_t>(size, PAYLOAD_SIZE));
    return file;
}

}  // namespace

namespace run {
void exit_program(Outcome) { throw RunEnded{}; }
}  // namespace run

namespace run_record {
void set_update_file(long, const uint8_t (&)[32]) {}
}  // namespace run_record

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);  // the reader's messages
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> file = (data[0] & 1) ? file_around(data + 1, size - 1)
                                              : std::vector<uint8_t>(data + 1, data + size);
    if ((data[0] & 3) == 3) {
        // The payload's own digest recorded before it, so that the digest check passes too.
        uint8_t digest[update_file::DIGEST_SIZE];
        uint8_t block[update_file::DIGEST_BLOCK_SIZE];
        if (update_file::sha256(file.data() + update_file::PAYLOAD_OFFSET, update_file::PAYLOAD_SIZE, digest)) {
            update_file::make_digest_block(digest, block);
            std::memcpy(file.data() + update_file::PAYLOAD_OFFSET - update_file::DIGEST_BLOCK_SIZE, block, sizeof block);
        }
    }
    std::FILE* out = std::fopen(scratch_file().c_str(), "wb");
    if (out == nullptr) return 0;
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);

    const char* path = scratch_file().c_str();
    try {
        update_file::read_payload_header(path, path);
        update_file::load_image();
        update_file::verify_image();
        unsigned sum = 0;
        for (uint32_t i = 0; i < update_file::FLASH_DATA_SIZE; ++i) sum += update_file::flash_byte(i);
        for (uint32_t a = 0; a < update_file::EEPROM_CONTENT_SIZE; a += 1 + (data[size - 1] & 7)) sum += update_file::eeprom_byte(a);
        if (sum == 0xFFFFFFFFu) std::abort();  // keeps the reads from being optimised away
    } catch (const RunEnded&) {
    }
    update_file::release();

    // The inspector: over a whole file given as input it also has to find the stub's mark.
    std::FILE* sink = std::fopen("/dev/null", "w");
    mkupdate::check_update_file(file, (data[0] & 1) ? update_file::PAYLOAD_OFFSET : -1, sink);
    std::fclose(sink);
    return 0;
}
