#include "update_file/update_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/eeprom_settings.h"
#include "run/exit_program.h"
#include "run/run_record.h"
#include "run/shown_text.h"
#include "update_file/digest.h"
#include "update_file/file_size.h"
#include "update_file/payload.h"
#include "update_file/payload_offset.h"
#include "update_file/signature_tail.h"

namespace update_file {

namespace {

std::FILE* file = nullptr;
long file_length = 0;
uint8_t payload_digest[DIGEST_SIZE] = {};
HeaderFields header;
uint8_t* image = nullptr;
uint8_t eeprom[protocol::EEPROM_SIZE];
std::string shown_name;

// The line after a file message: which file, and the system's reason.
void print_reason(int error) {
    std::printf("%s: %s\n", shown_name.c_str(), run::shown_text(std::strerror(error)).c_str());
}

// Reads exactly length bytes at offset; on a short read prints the count message with the reason
// and ends the run.
void read_exactly(long offset, uint8_t* target, size_t length) {
    errno = 0;
    const size_t got = std::fseek(file, offset, SEEK_SET) == 0 ? std::fread(target, 1, length, file) : 0;
    if (got == length) return;
    const int error = errno;
    std::printf("Error: %lu bytes read instead of %lu\n", static_cast<unsigned long>(got),
                static_cast<unsigned long>(length));
    if (error != 0) print_reason(error);
    run::exit_program(run::Outcome::file_error);
}

[[noreturn]] void checksum_error() {
    std::printf(
        "Error in checksum. Probably download error from website.\n"
        "Try again or contact Tarvenholt !\n");
    run::exit_program(run::Outcome::file_error);
}

// Bytes at offset into target, whole; false otherwise.
bool read_at(long offset, uint8_t* target, size_t length) {
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(target, 1, length, file) == length;
}

// True when the file is the expected update file followed by an Authenticode signature, and
// nothing else: a vendor signs update.exe after packing.
bool signed_after_payload() {
    if (file_length <= EXPECTED_FILE_LENGTH) return false;
    uint8_t head[PE_HEADERS_READ];
    uint8_t after[MAX_SIGNATURE_ALIGNMENT];
    const size_t after_length = static_cast<size_t>(std::min<long>(MAX_SIGNATURE_ALIGNMENT, file_length - EXPECTED_FILE_LENGTH));
    CertificateTable table;
    return read_at(0, head, sizeof head) && read_at(EXPECTED_FILE_LENGTH, after, after_length) &&
           is_signature_tail(head, sizeof head, after, after_length, EXPECTED_FILE_LENGTH, file_length, table);
}

// Computes the payload's digest and checks it against the one the packer recorded before it. Every
// file the packer makes records one: a block that is missing (all zeros, as in a file cut short
// into a pre-sized one or zeroed on a bad medium) or does not match is reported like a damaged
// record.
void check_digest() {
    static_assert(PAYLOAD_OFFSET >= DIGEST_BLOCK_SIZE, "the digest block lies before the payload");
    uint8_t block[DIGEST_BLOCK_SIZE];
    uint8_t recorded[DIGEST_SIZE];
    const DigestBlock kind = read_at(PAYLOAD_OFFSET - DIGEST_BLOCK_SIZE, block, sizeof block)
                                 ? read_digest_block(block, recorded)
                                 : DigestBlock::damaged;
    uint8_t* payload = static_cast<uint8_t*>(std::malloc(PAYLOAD_SIZE));
    if (payload == nullptr) {
        std::printf("Error: Too few RAM memory\n");
        run::exit_program(run::Outcome::file_error);
    }
    const bool computed = read_at(PAYLOAD_OFFSET, payload, PAYLOAD_SIZE) && sha256(payload, PAYLOAD_SIZE, payload_digest);
    std::free(payload);
    if (!computed) std::memset(payload_digest, 0, sizeof payload_digest);
    if (kind == DigestBlock::present && computed && std::memcmp(payload_digest, recorded, DIGEST_SIZE) == 0) return;
    // The record still tells which file it was.
    run_record::set_update_file(file_length, payload_digest);
    checksum_error();
}

}  // namespace

void read_payload_header(const char* path, const char* shown_path) {
    shown_name = run::shown_text(shown_path);
    // One opening, in binary mode, serves the whole run: the header, the image and the EEPROM bytes
    // all come from the same file, whatever happens to its name meanwhile.
    file = std::fopen(path, "rb");
    if (file == nullptr) {
        const int error = errno;
        std::printf("File not found: %s\n", shown_name.c_str());
        print_reason(error);
        run::exit_program(run::Outcome::file_error);
    }
    file_length = query_file_size(file);
    if (file_length != EXPECTED_FILE_LENGTH && !signed_after_payload()) {
        std::printf(
            "Error: Filelength %ld not OK. Probably incomplete download from website.\n"
            "Try again! Correct filelength should be %ld Bytes !\n",
            file_length, EXPECTED_FILE_LENGTH);
        run::exit_program(run::Outcome::file_error);
    }
    check_digest();
    // The tokens are taken from the 32 header bytes only; a token missing there stays empty.
    uint8_t bytes[HEADER_SIZE] = {};
    std::fseek(file, PAYLOAD_OFFSET, SEEK_SET);
    const size_t got = std::fread(bytes, 1, sizeof bytes, file);
    for (size_t i = got; i < sizeof bytes; ++i) bytes[i] = ' ';
    header = parse_header(bytes);
}

long length() { return file_length; }

const uint8_t (&payload_sha256())[DIGEST_SIZE] { return payload_digest; }

const char* device_name() { return header.device_name; }
const char* version() { return header.version; }
const char* year() { return header.year; }

void load_image() {
    std::printf("Filelength = %ld Bytes\n", file_length);
    std::printf("%s opened\n", shown_name.c_str());
    // Located from the payload's end, which a signature may follow.
    const long image_start = EXPECTED_FILE_LENGTH - FLASH_IMAGE_FROM_END;
    std::printf("Readaddress = %lu\n", static_cast<unsigned long>(image_start));
    image = static_cast<uint8_t*>(std::malloc(FLASH_IMAGE_SIZE));
    if (image == nullptr) {
        std::printf("Error: Too few RAM memory\n");
        run::exit_program(run::Outcome::file_error);
    }
    std::printf("%lu Bytes allocated\n", static_cast<unsigned long>(FLASH_IMAGE_SIZE));
    read_exactly(image_start, image, FLASH_IMAGE_SIZE);
    std::printf("%lu Bytes read\n", static_cast<unsigned long>(FLASH_IMAGE_SIZE));
    // The EEPROM bytes too, before anything is sent: a medium that fails later cannot turn into
    // bytes written to the device.
    read_exactly(EXPECTED_FILE_LENGTH - EEPROM_AREA_FROM_END, eeprom, sizeof eeprom);
}

void verify_image() {
    for (uint32_t i = 0; i < FLASH_DATA_SIZE;) {
        uint8_t sum = 0;
        for (uint32_t k = 0; k < RECORD_DATA_SIZE; ++k) sum = static_cast<uint8_t>(sum - flash_byte(i++));
        if (record_checksum(i) != sum) checksum_error();
    }
    std::printf("Checksum test OK\n");
}

uint8_t flash_byte(uint32_t i) { return image[image_offset(i)]; }

uint8_t record_checksum(uint32_t i) { return image[i + i / RECORD_DATA_SIZE - 1]; }

uint8_t eeprom_byte(uint32_t a) { return a < sizeof eeprom ? eeprom[a] : 0xFF; }

void release() {
    std::free(image);
    image = nullptr;
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    // Nothing of the run is kept.
    file_length = 0;
    header = HeaderFields();
    std::memset(eeprom, 0xFF, sizeof eeprom);
    shown_name.clear();
}

}  // namespace update_file
