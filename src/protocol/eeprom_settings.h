// Build settings of the EEPROM transfer.
#pragma once

#include <cstdint>

#ifndef UPDATER_EEPROM_SIZE
#define UPDATER_EEPROM_SIZE 2048
#endif
#ifndef UPDATER_EEPROM_CHUNK
#define UPDATER_EEPROM_CHUNK 1
#endif

namespace protocol {

// Number of EEPROM bytes written and verified, addresses 0 to EEPROM_SIZE - 1.
constexpr uint32_t EEPROM_SIZE = UPDATER_EEPROM_SIZE;
// Number of EEPROM bytes carried by one frame.
constexpr uint16_t EEPROM_CHUNK = UPDATER_EEPROM_CHUNK;

static_assert(EEPROM_SIZE >= 1 && EEPROM_SIZE <= 0x40000, "EEPROM_SIZE must lie within the EEPROM area");
static_assert(EEPROM_CHUNK >= 1 && EEPROM_CHUNK <= 255,
              "a frame's count byte carries a chunk of 1 to 255 bytes");

}  // namespace protocol
