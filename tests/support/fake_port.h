// A stand-in for the serial port, wired to the simulated device's model, on a clock of its own:
// what is written reaches the device at once, its answers are due after its turnaround (and any
// delay its faults add), one behind the other a byte's time apart as on a line at 115200 baud, and
// a read that waits moves the clock on. Without a device nothing ever answers; a device that hangs
// up takes the line with it: the port is lost. The line itself can be given faults: a byte one way
// lost, corrupted, sent twice, preceded by an unasked 00, or late.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/port.h"
#include "device.h"

class FakePort : public core::Port {
public:
    explicit FakePort(const loader_sim::Faults* device_faults = nullptr, unsigned turnaround_us = 0)
        : turnaround_us_(turnaround_us) {
        if (device_faults != nullptr) device = std::make_unique<loader_sim::Device>(*device_faults);
    }

    enum class LineFault { lose, corrupt, duplicate, unasked, late };
    struct LineFaultAt {
        bool to_device;  // on the host's bytes to the device, else on the device's answers
        unsigned n;      // the n-th byte that way, from 0
        LineFault what;
        unsigned late_ms = 0;
    };
    std::vector<LineFaultAt> line_faults;

    core::PortStatus write(const uint8_t* data, size_t length) override {
        if (hung_up) return core::PortStatus::lost;
        write_sizes.push_back(length);
        for (size_t i = 0; i < length; ++i) {
            wire.push_back(data[i]);
            const LineFaultAt* fault = line_fault(true, sent_++);
            if (fault != nullptr && fault->what == LineFault::lose) continue;
            if (fault != nullptr && fault->what == LineFault::unasked) to_device(0x00);
            to_device(fault != nullptr && fault->what == LineFault::corrupt ? data[i] ^ 0xFF : data[i]);
            if (fault != nullptr && fault->what == LineFault::duplicate) to_device(data[i]);
        }
        return core::PortStatus::done;
    }
    core::PortStatus drain(unsigned) override { return hung_up ? core::PortStatus::lost : core::PortStatus::done; }
    core::PortStatus read(unsigned timeout_ms, uint8_t& byte) override {
        if (timeout_ms > 0) ++reads;
        if (hung_up) return core::PortStatus::lost;
        const long long until = now_us + timeout_ms * 1000LL;
        beat_until(until);
        if (replies.empty() || replies.front().due_us > until) {
            now_us = until;
            return core::PortStatus::timed_out;
        }
        now_us = std::max(now_us, replies.front().due_us);
        byte = replies.front().byte;
        replies.pop_front();
        return core::PortStatus::done;
    }
    void close() override { closed = true; }
    long long now_ms() override { return now_us / 1000; }

    struct Answer {
        long long due_us;
        uint8_t byte;
    };

    std::vector<uint8_t> wire;                   // every byte written
    std::vector<size_t> write_sizes;             // the length of each write
    std::unique_ptr<loader_sim::Device> device;  // answers what is written
    std::deque<Answer> replies;                  // answers on their way, in the order they arrive
    unsigned reads = 0;                          // reads that waited for an answer
    long long now_us = 0;                        // the port's clock
    bool hung_up = false;
    bool closed = false;

private:
    const LineFaultAt* line_fault(bool to_device, unsigned n) const {
        for (const LineFaultAt& fault : line_faults) {
            if (fault.to_device == to_device && fault.n == n) return &fault;
        }
        return nullptr;
    }

    void to_device(uint8_t byte) {
        if (held_ >= 0) schedule(now_us, static_cast<uint8_t>(held_));
        held_ = -1;
        if (!device || hung_up) return;
        loader_sim::Reply reply = {};
        const loader_sim::Step step = device->receive(byte, &reply);
        if (device->milestone() == loader_sim::Milestone::eeprom_started && device->heartbeat_ms() > 0) {
            next_beat_us_ = now_us + device->heartbeat_ms() * 1000LL;
        }
        if (device->milestone() == loader_sim::Milestone::eeprom_finished) next_beat_us_ = -1;
        hung_up = step == loader_sim::Step::hang_up;
        if (hung_up) replies.clear();
        if (step != loader_sim::Step::reply_ready) return;
        if (reply.held) {
            held_ = reply.byte;
            return;
        }
        const long long due = schedule(now_us + turnaround_us_ + reply.extra_delay_ms * 1000LL, reply.byte);
        if (reply.surplus != loader_sim::NO_REPLY) schedule(due, static_cast<uint8_t>(reply.surplus));
    }

    // An answer is due when the device sends it, a byte's time (87 us) behind the answer ahead of it.
    long long schedule(long long due_us, uint8_t byte) {
        const LineFaultAt* fault = line_fault(false, answered_++);
        if (fault != nullptr && fault->what == LineFault::lose) return due_us;
        if (fault != nullptr && fault->what == LineFault::late) due_us += fault->late_ms * 1000LL;
        if (fault != nullptr && fault->what == LineFault::unasked) due_us = queue(due_us, 0x00);
        due_us = queue(due_us, fault != nullptr && fault->what == LineFault::corrupt ? byte ^ 0xFF : byte);
        if (fault != nullptr && fault->what == LineFault::duplicate) queue(due_us, byte);
        return due_us;
    }

    long long queue(long long due_us, uint8_t byte) {
        if (!replies.empty()) due_us = std::max(due_us, replies.back().due_us + 87);
        replies.push_back({due_us, byte});
        return due_us;
    }

    // The heartbeat's bytes due by until, among the answers in order of arrival.
    void beat_until(long long until) {
        for (; next_beat_us_ >= 0 && next_beat_us_ <= until; next_beat_us_ += device->heartbeat_ms() * 1000LL) {
            auto at = std::find_if(replies.begin(), replies.end(), [&](const Answer& a) { return a.due_us > next_beat_us_; });
            replies.insert(at, {next_beat_us_, device->heartbeat_byte()});
        }
    }

    unsigned sent_ = 0;      // bytes the host sent
    unsigned answered_ = 0;  // answers the device sent

    unsigned turnaround_us_;
    int held_ = -1;
    long long next_beat_us_ = -1;  // when the heartbeat's next byte is due, or -1
};
