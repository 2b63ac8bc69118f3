// The byte transport of both device transfers over a Port: single bytes, frames queued with a
// running checksum and written in one piece, one-byte reads that give up after 50 ms. One object
// per port and run.
#pragma once

#include <cstdint>
#include <vector>

#include "core/port.h"

namespace core {

// Reply window of one read, in milliseconds.
constexpr unsigned READ_TIMEOUT_MS = 50;

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

    // The oldest byte received and not yet read (0 to 255), or NO_BYTE if none arrives within 50 ms.
    uint16_t receive_byte();

    // send_byte(b), then receive_byte().
    uint16_t exchange_byte(uint16_t b);

    // A byte that has arrived unasked and waits to be read, or NO_BYTE; never waits.
    uint16_t unasked_byte();

    // Discards what has arrived and not been read (late answers to earlier requests); returns how
    // many bytes that was.
    unsigned discard_input();

private:
    // Writes bytes and waits for them to leave: 10 ms per byte plus 50 ms at most.
    void write_and_drain(const uint8_t* data, size_t length);

    Port& port_;
    std::vector<uint8_t> queue_;
    uint8_t checksum_ = 0;
};

}  // namespace core
