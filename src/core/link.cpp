#include "core/link.h"

#include "core/layout.h"

namespace core {

Link::Link(Port& port) : port_(port) { queue_.reserve(RECORD_SIZE); }

void Link::write_and_drain(const uint8_t* data, size_t length) {
    port_.write(data, length);
    port_.drain(static_cast<unsigned>(10 * length + 50));
}

void Link::send_byte(uint16_t b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    write_and_drain(&byte, 1);
}

void Link::queue_byte(uint16_t b) {
    queue_.push_back(static_cast<uint8_t>(b));
    checksum_ = static_cast<uint8_t>(checksum_ - b);
}

void Link::flush_queue() {
    if (!queue_.empty()) write_and_drain(queue_.data(), queue_.size());
    queue_.clear();
}

uint16_t Link::receive_byte() { return port_.read_byte(READ_TIMEOUT_MS); }

uint16_t Link::exchange_byte(uint16_t b) {
    send_byte(b);
    return receive_byte();
}

uint16_t Link::unasked_byte() { return port_.read_byte(0); }

unsigned Link::discard_input() {
    // Bounded: a line that sends without pause cannot hold the transfer here.
    constexpr unsigned BOUND = 4096;
    unsigned discarded = 0;
    while (discarded < BOUND && port_.read_byte(0) != NO_BYTE) ++discarded;
    return discarded;
}

}  // namespace core
