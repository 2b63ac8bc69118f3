// The EEPROM transfer with the device's loader: writing and byte-by-byte read-back.
#pragma once

#include <cstdint>

namespace protocol {

// What the read-back found.
struct ReadBack {
    unsigned long differences = 0;  // addresses whose byte differs, those not received included
    unsigned long missing = 0;      // of those, addresses whose byte did not arrive at all
    unsigned long skipped = 0;      // addresses not compared: a waiting key ended their chunk early

    bool clean() const { return differences == 0 && skipped == 0; }
};

// Writes the EEPROM bytes of the update file to the device, then reads them back and compares
// them, printing a line for every address that differs. Never ends the run.
ReadBack download_eeprom();

// Sends one write frame for the n >= 1 bytes at address a.
void write_eeprom_chunk(uint32_t a, uint32_t n);

// Reads back the n >= 1 bytes at address a and compares them, adding to found. Returns early,
// leaving the key waiting, when a key has been pressed; the bytes left out count as skipped.
void verify_eeprom_chunk(uint32_t a, uint32_t n, ReadBack& found);

}  // namespace protocol
