// The EEPROM transfer with the device's loader: writing and byte-by-byte read-back.
#pragma once

#include <cstdint>

#include "core/events.h"
#include "core/failure.h"
#include "core/layout.h"
#include "core/link.h"
#include "core/update_image.h"

#ifndef UPDATER_EEPROM_CHUNK
#define UPDATER_EEPROM_CHUNK 1
#endif

namespace core {

// Number of EEPROM bytes carried by one frame: a build setting.
constexpr uint16_t EEPROM_CHUNK = UPDATER_EEPROM_CHUNK;

static_assert(EEPROM_CHUNK >= 1 && EEPROM_CHUNK <= 255, "a frame's count byte carries a chunk of 1 to 255 bytes");

// What the read-back found.
struct ReadBack {
    unsigned long differences = 0;  // addresses whose byte differs, those not received included
    unsigned long missing = 0;      // of those, addresses whose byte did not arrive at all
    unsigned long skipped = 0;      // addresses not compared: a stop request ended their chunk early,
                                    // or their answers never came in step
    unsigned long reread = 0;       // chunks read again: a byte came behind their answers

    bool clean() const { return differences == 0 && skipped == 0; }
    // How the run ends with this read-back: bytes that never arrived mean a device that stopped
    // answering, not an EEPROM that holds wrong bytes.
    Outcome outcome() const {
        if (clean()) return Outcome::completed;
        return missing > 0 ? Outcome::device_error : Outcome::eeprom_mismatch;
    }
};

// Writes the image's EEPROM bytes to the device, then reads them back and compares them, reporting
// every address that differs. A chunk's answers count only once nothing is found waiting behind
// them; a chunk with a byte behind its answers is read again. A stop request ends a chunk early;
// the bytes left out count as skipped. Never fails: what it found is the result.
ReadBack download_eeprom(Link& link, const UpdateImage& image, Events& events);

// Sends one write frame for the n >= 1 bytes at address a.
void write_eeprom_chunk(Link& link, const UpdateImage& image, uint32_t a, uint32_t n);

}  // namespace core
