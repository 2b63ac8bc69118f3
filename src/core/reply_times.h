// The FLASH replies' round trips, as the slow-adapter advice, the time estimate and the run record
// sum them up. Kept in place as they come, so that a signal handler can sum them up too.
#pragma once

#include <atomic>

#include "core/layout.h"

namespace core {

// Above this median round trip the adapter, not the device, sets the pace.
constexpr unsigned SLOW_REPLY_US = 4000;

struct ReplySummary {
    unsigned count = 0;
    unsigned median_us = 0;
    unsigned max_us = 0;
};

class ReplyTimes {
public:
    // One reply's round trip; past one per record, the rest is not kept.
    void add(unsigned round_trip_us) {
        const unsigned n = count_.load(std::memory_order_relaxed);
        if (n >= RECORD_COUNT) return;
        times_us_[n] = round_trip_us;
        count_.store(n + 1, std::memory_order_release);
    }
    unsigned count() const { return count_.load(std::memory_order_acquire); }

    // Count, median and maximum of the round trips so far. Allocates nothing: async-signal-safe.
    ReplySummary summary() const;

private:
    unsigned times_us_[RECORD_COUNT] = {};
    std::atomic<unsigned> count_{0};
};

}  // namespace core
