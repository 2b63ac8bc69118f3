// How long a transfer takes with the adapter at hand: the one place that works it out, for every
// front end's advice and time left.
#pragma once

#include <cstdint>

namespace frontend {

// The EEPROM transfer's time in seconds, chunk bytes a frame, when each of its answers comes
// reply_us after its request has left: its bytes' wire time at 115200 baud, the wait for each of
// its answers (one per write frame and per byte read back), and the waits for quiet around its
// read-back.
double eeprom_seconds(unsigned reply_us, uint16_t chunk);

// The answers' wait with an adapter whose latency timer is set to 1 ms.
constexpr unsigned LOW_LATENCY_REPLY_US = 1000;

// The time left of a transfer that has done `done` of `total` steps in elapsed_s seconds; negative
// while too few are done to tell.
double seconds_left(double elapsed_s, uint32_t done, uint32_t total);

}  // namespace frontend
