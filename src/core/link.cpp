#include "core/link.h"

#include "core/layout.h"

namespace core {

Link::Link(Port& port) : port_(port) { queue_.reserve(RECORD_SIZE); }

void Link::write_and_drain(const uint8_t* data, size_t length) {
    if (lost_) return;
    // A write or drain that only ran out of time is left to the missing reply to show.
    lost_ = port_.write(data, length) == PortStatus::lost ||
            port_.drain(write_limit_ms(length)) == PortStatus::lost;
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

uint16_t Link::receive_within(unsigned timeout_ms) {
    if (lost_) return PORT_LOST;
    uint8_t byte = 0;
    switch (port_.read(timeout_ms, byte)) {
        case PortStatus::done: return byte;
        case PortStatus::timed_out: return NO_BYTE;
        case PortStatus::lost: break;
    }
    lost_ = true;
    return PORT_LOST;
}

uint16_t Link::exchange_byte(uint16_t b, unsigned timeout_ms) {
    send_byte(b);
    return receive_within(timeout_ms);
}

}  // namespace core
