// A stand-in for the serial port, wired to the simulated device's model: what is written reaches
// the device at once, and its answers wait to be read. Without a device nothing ever answers.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/port.h"
#include "device.h"

class FakePort : public core::Port {
public:
    explicit FakePort(const loader_sim::Faults* device_faults = nullptr) {
        if (device_faults != nullptr) device = std::make_unique<loader_sim::Device>(*device_faults);
    }

    void write(const uint8_t* data, size_t length) override {
        write_sizes.push_back(length);
        for (size_t i = 0; i < length; ++i) {
            wire.push_back(data[i]);
            loader_sim::Reply reply = {};
            if (device && device->receive(data[i], &reply) == loader_sim::Step::reply_ready) {
                replies.push_back(reply.byte);
                if (reply.surplus != loader_sim::NO_REPLY) replies.push_back(static_cast<uint16_t>(reply.surplus));
            }
        }
    }
    void drain(unsigned) override {}
    uint16_t read_byte(unsigned timeout_ms) override {
        if (timeout_ms > 0) ++reads;
        if (replies.empty()) return core::NO_BYTE;
        const uint16_t byte = replies.front();
        replies.pop_front();
        return byte;
    }
    void discard_input() override { replies.clear(); }
    void close() override { closed = true; }

    std::vector<uint8_t> wire;                   // every byte written
    std::vector<size_t> write_sizes;             // the length of each write
    std::unique_ptr<loader_sim::Device> device;  // answers what is written
    std::deque<uint16_t> replies;                // answers waiting to be read
    unsigned reads = 0;                          // reads that waited for an answer
    bool closed = false;
};
