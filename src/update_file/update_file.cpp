#include "update_file/update_file.h"

#include <cstdio>
#include <cstdlib>

#include "run/exit_program.h"
#include "update_file/file_size.h"
#include "update_file/payload.h"
#include "update_file/payload_offset.h"

namespace update_file {

namespace {

std::FILE* file = nullptr;
long file_length = 0;
HeaderFields header;
uint8_t* image = nullptr;
uint32_t eeprom_cursor = 0;
unsigned long eeprom_seeks = 0;

void seek_eeprom(uint32_t a) {
    std::fseek(file, static_cast<long>(a) + file_length - EEPROM_AREA_FROM_END, SEEK_SET);
    eeprom_cursor = a;
    ++eeprom_seeks;
}

}  // namespace

void read_payload_header(const char* path, const char* shown_path) {
    file = std::fopen(path, "r");
    if (file == nullptr) {
        std::printf("File not found: %s\n", shown_path);
        run::exit_program(run::Outcome::file_error);
    }
    file_length = query_file_size(path);
    if (file_length != EXPECTED_FILE_LENGTH) {
        std::printf(
            "Error: Filelength %ld not OK. Probably incomplete download from website.\n"
            "Try again! Correct filelength should be %ld Bytes !\n",
            file_length, EXPECTED_FILE_LENGTH);
        run::exit_program(run::Outcome::file_error);
    }
    // The tokens are taken from the 32 header bytes only; a token missing there stays empty.
    uint8_t bytes[HEADER_SIZE] = {};
    std::fseek(file, PAYLOAD_OFFSET, SEEK_SET);
    const size_t got = std::fread(bytes, 1, sizeof bytes, file);
    for (size_t i = got; i < sizeof bytes; ++i) bytes[i] = ' ';
    header = parse_header(bytes);
    std::fclose(file);
    file = nullptr;
}

const char* device_name() { return header.device_name; }
const char* version() { return header.version; }
const char* year() { return header.year; }

void load_image(const char* path, const char* shown_path) {
    std::printf("Filelength = %ld Bytes\n", file_length);
    file = std::fopen(path, "rb");
    if (file == nullptr) run::exit_program(run::Outcome::file_error);
    std::printf("%s opened\n", shown_path);
    const long image_start = file_length - FLASH_IMAGE_FROM_END;
    std::fseek(file, image_start, SEEK_SET);
    std::printf("Readaddress = %lu\n", static_cast<unsigned long>(image_start));
    image = static_cast<uint8_t*>(std::malloc(FLASH_IMAGE_SIZE));
    if (image == nullptr) {
        std::printf("Error: Too few RAM memory\n");
        run::exit_program(run::Outcome::file_error);
    }
    const size_t got = std::fread(image, 1, FLASH_IMAGE_SIZE, file);
    std::printf("%lu Bytes allocated\n", static_cast<unsigned long>(FLASH_IMAGE_SIZE));
    if (got < FLASH_IMAGE_SIZE) {
        std::printf("Error: %lu bytes read instead of %lu\n", static_cast<unsigned long>(got),
                    static_cast<unsigned long>(FLASH_IMAGE_SIZE));
        run::exit_program(run::Outcome::file_error);
    }
    std::printf("%lu Bytes read\n", static_cast<unsigned long>(got));
    eeprom_cursor = 0;
    eeprom_seeks = 0;
}

void verify_image() {
    for (uint32_t i = 0; i < FLASH_DATA_SIZE;) {
        uint8_t sum = 0;
        for (uint32_t k = 0; k < RECORD_DATA_SIZE; ++k) sum = static_cast<uint8_t>(sum - flash_byte(i++));
        if (record_checksum(i) != sum) {
            std::printf(
                "Error in checksum. Probably download error from website.\n"
                "Try again or contact Tarvenholt !\n");
            run::exit_program(run::Outcome::file_error);
        }
    }
    std::printf("Checksum test OK\n");
}

uint8_t flash_byte(uint32_t i) { return image[image_offset(i)]; }

uint8_t record_checksum(uint32_t i) { return image[i + i / RECORD_DATA_SIZE - 1]; }

void eeprom_rewind() { seek_eeprom(0); }

uint8_t eeprom_byte(uint32_t a) {
    if (a != eeprom_cursor) seek_eeprom(a);
    ++eeprom_cursor;
    return static_cast<uint8_t>(std::getc(file));
}

unsigned long eeprom_seek_count() { return eeprom_seeks; }

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
    eeprom_cursor = 0;
    eeprom_seeks = 0;
}

}  // namespace update_file
