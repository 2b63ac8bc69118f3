#include "frontend/estimate.h"

#include "core/eeprom_transfer.h"
#include "core/link.h"

namespace frontend {

namespace {

constexpr double BYTE_SECONDS = 10.0 / 115200;  // 8N1
// Steps done before the pace so far stands for the rest: the first ones carry the start.
constexpr uint32_t STEPS_BEFORE_TIME_LEFT = 8;

}  // namespace

double eeprom_seconds(unsigned reply_us, uint16_t chunk) {
    const uint32_t chunks = (core::EEPROM_SIZE + chunk - 1) / chunk;
    // Start sequence and write command, the write frames, the end of writing and the read-back
    // command, the read-back headers and polls, the end of reading; one answer per write frame and
    // per byte read back.
    const uint32_t answers = chunks + core::EEPROM_SIZE;
    const uint32_t sent = 5 + chunks * 4 + core::EEPROM_SIZE + 2 + chunks * 4 + core::EEPROM_SIZE + 2;
    // And the waits for quiet: a reply window before the read-back, LATE_BYTE_MS behind its last answer.
    return (sent + answers) * BYTE_SECONDS + answers * (reply_us * 1e-6) +
           (core::READ_TIMEOUT_MS + core::LATE_BYTE_MS) * 1e-3;
}

double seconds_left(double elapsed_s, uint32_t done, uint32_t total) {
    if (done < STEPS_BEFORE_TIME_LEFT || done > total) return -1;
    return elapsed_s / done * (total - done);
}

}  // namespace frontend
