// The byte transport of both device transfers over a Port: single bytes, frames queued with a
// running checksum and written in one piece, one-byte reads that give up after a reply window.
// One object per port and run. A port that went away is told by the reads: from then on every
// read returns PORT_LOST at once and nothing more is written.
#pragma once

#include <cstdint>
#include <vector>

#include "core/port.h"

namespace core {

// Reply window of one read, in milliseconds.
constexpr unsigned READ_TIMEOUT_MS = 50;

// What a read returns once the port went away; like NO_BYTE, it differs from every byte.
constexpr uint16_t PORT_LOST = 0xFFFE;

class Link {
public:
    explicit Link(Port& port);

    // One write of the single byte b. Only while the transmit queue is empty.
    void send_byte(uint16_t b);

    // Appends b to the transmit queue and subtracts it from the frame checksum. The queue grows as
    // needed: a frame is never cut.
    void queue_byte(uint16_t b);

    // One write of all queued bytes, then empties the queue; sends nothing when it is empty.
    void flush_queue();

    // Sets the frame checksum to 0, at the start of a frame.
    void reset_frame_checksum() { checksum_ = 0; }

    // The running frame checksum: 0 minus the bytes queued since the last reset, modulo 256.
    uint8_t frame_checksum() const { return checksum_; }

    // The oldest byte received and not yet read (0 to 255), NO_BYTE if none arrives within the
    // reply window, or PORT_LOST.
    uint16_t receive_byte() { return receive_within(READ_TIMEOUT_MS); }

    // The same within timeout_ms; with 0, only a byte that has already arrived, without waiting.
    uint16_t receive_within(unsigned timeout_ms);

    // send_byte(b), then receive_byte(), or receive_within(timeout_ms).
    uint16_t exchange_byte(uint16_t b, unsigned timeout_ms = READ_TIMEOUT_MS);

    // The port's clock, in milliseconds.
    long long now_ms() { return port_.now_ms(); }

private:
    // Writes bytes and waits for them to leave, within the port's write limit.
    void write_and_drain(const uint8_t* data, size_t length);

    Port& port_;
    std::vector<uint8_t> queue_;
    uint8_t checksum_ = 0;
    bool lost_ = false;  // the port went away: nothing more goes to it
};

// True for NO_BYTE and PORT_LOST: a read that brought no byte.
constexpr bool no_byte(uint16_t read) { return read > 0xFF; }

}  // namespace core
