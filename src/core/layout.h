// Layout of an update file: the program's executable part, followed in the same file by a 32-byte
// payload header, the FLASH image of 500 checksummed records and the EEPROM area. The one place
// where these sizes are defined, for the updater, the tools and the simulated device alike.
#pragma once

#include <cstdint>

namespace core {

constexpr uint32_t HEADER_SIZE = 32;
constexpr uint32_t RECORD_DATA_SIZE = 128;
constexpr uint32_t RECORD_SIZE = RECORD_DATA_SIZE + 1;
constexpr uint32_t RECORD_COUNT = 500;
constexpr uint32_t FLASH_DATA_SIZE = RECORD_DATA_SIZE * RECORD_COUNT;  // 64,000 (0xFA00)
constexpr uint32_t FLASH_IMAGE_SIZE = RECORD_SIZE * RECORD_COUNT;      // 64,500
constexpr uint32_t EEPROM_AREA_SIZE = 0x40000;                         // 262,144
constexpr uint32_t EEPROM_SIZE = 2048;          // bytes of the area the device holds: its EEPROM

// Everything behind the executable part.
constexpr uint32_t PAYLOAD_SIZE = HEADER_SIZE + FLASH_IMAGE_SIZE + EEPROM_AREA_SIZE;

constexpr long expected_file_length(uint32_t payload_offset) {
    return static_cast<long>(payload_offset) + PAYLOAD_SIZE;
}

// The payload digest block ends the executable part's zero padding: DIGEST_BLOCK_SIZE bytes just
// before the payload offset, a 16-byte mark and the SHA-256 of the payload. All zeros: no digest.
constexpr uint32_t DIGEST_BLOCK_SIZE = 48;
// Before it, the vendor's signature block (SIGNATURE_BLOCK_SIZE bytes, core/signature.h), all zeros
// in a file not signed.

// Offsets measured from the end of the file, as the reader locates the regions.
constexpr long FLASH_IMAGE_FROM_END = FLASH_IMAGE_SIZE + EEPROM_AREA_SIZE;
constexpr long EEPROM_AREA_FROM_END = EEPROM_AREA_SIZE;

}  // namespace core
