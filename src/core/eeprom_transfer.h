// The EEPROM transfer with the device's loader: writing and byte-by-byte read-back.
#pragma once

#include <cstdint>

#include "core/events.h"
#include "core/failure.h"
#include "core/layout.h"
#include "core/link.h"
#include "core/update_image.h"

namespace core {

// Number of EEPROM bytes carried by one frame, as the updaters send them: one, which every loader
// takes. A frame's count byte carries 1 to 255.
constexpr uint16_t EEPROM_CHUNK = 1;

// How long a byte out of step may come after the last answer it would have displaced: the line
// must stay quiet this long behind a read-back's last answer before its answers are trusted.
constexpr unsigned LATE_BYTE_MS = 300;

// The reply window of each answer in a read-back pass run again, and the quiet its waits ask for:
// a line whose answers come up to LATE_BYTE_MS late, however the delay moves, answers every poll
// within it. Only an answer that does not come waits it out.
constexpr unsigned SLOW_LINE_WINDOW_MS = 350;

// How long a wait for quiet may go on beyond its window: a line not quiet by then keeps sending.
constexpr unsigned QUIET_LIMIT_MS = 2000;

// Read-back passes at most: one, and again from the start while bytes turn up out of step.
constexpr unsigned READ_BACK_PASSES = 4;

// What the read-back found.
struct ReadBack {
    unsigned long differences = 0;  // addresses whose byte differs, those not received included
    unsigned long missing = 0;      // of those, addresses whose byte did not arrive at all
    unsigned long skipped = 0;      // addresses not compared: a stop request ended their chunk early,
                                    // or no pass came in step
    unsigned long reread = 0;       // passes run again from the start: bytes came out of step
    unsigned slow_line_ms = 0;      // how late the latest answer of the pass judged came, where that
                                    // was past the first pass's reply window: a slow line; else 0
    bool kept_sending = false;      // the line never went quiet: nothing could be verified
    bool port_lost = false;         // the port went away: nothing after it was compared

    bool clean() const { return differences == 0 && skipped == 0 && !port_lost; }
    // Nothing differs, yet bytes were left unverified.
    bool unverified() const { return differences == 0 && skipped > 0 && !port_lost; }
    // How the run ends with this read-back: bytes that never arrived, or a port that went away,
    // mean a device that stopped answering, not an EEPROM that holds wrong bytes.
    Outcome outcome() const {
        if (clean()) return Outcome::completed;
        return missing > 0 || port_lost ? Outcome::device_error : Outcome::eeprom_mismatch;
    }
};

// The share of the EEPROM done once the chunk at a, of chunk bytes, is through: up to 100.
unsigned eeprom_percent_after(uint32_t a, uint16_t chunk);

// Writes the image's EEPROM bytes to the device, chunk bytes a frame (1 to 255), then reads them
// back and compares them, reporting every address that differs. The answers of a read-back pass
// are judged only when the pass counted exactly one answer per poll and nothing came where no
// answer was due, before a chunk or for LATE_BYTE_MS behind the last answer; otherwise the pass
// runs again from the start, with SLOW_LINE_WINDOW_MS for each answer and for the quiet behind it,
// READ_BACK_PASSES times at most, and addresses never read in step count as skipped. Every wait
// for quiet ends within QUIET_LIMIT_MS beyond its window; a line still sending by then leaves the
// whole EEPROM unverified at once. A stop request ends a chunk early; the bytes left out count as
// skipped. A port that goes away ends the transfer at once. Never fails: what it found is the
// result.
ReadBack download_eeprom(Link& link, const UpdateImage& image, Events& events, uint16_t chunk);

// Sends one write frame for the n >= 1 bytes at address a; false when the port went away.
bool write_eeprom_chunk(Link& link, const UpdateImage& image, uint32_t a, uint32_t n);

}  // namespace core
