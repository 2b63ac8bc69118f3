// The EEPROM transfer with the device's loader: writing and byte-by-byte read-back.
#pragma once

#include <cstdint>

namespace protocol {

// Writes the EEPROM bytes of the update file to the device, then reads them back and compares
// them, printing a line for every address that differs. Never ends the run. Returns the number of
// differing addresses (0 for a clean read-back).
unsigned long download_eeprom();

// Sends one write frame for the n >= 1 bytes at address a.
void write_eeprom_chunk(uint32_t a, uint32_t n);

// Reads back the n >= 1 bytes at address a and compares them; returns how many differ. Returns early,
// leaving the key waiting, when a key has been pressed.
unsigned long verify_eeprom_chunk(uint32_t a, uint32_t n);

}  // namespace protocol
