// The FLASH replies' round trips, as the slow-adapter advice and the run record sum them up.
#pragma once

#include <vector>

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
    ReplyTimes() { times_us_.reserve(500); }
    void add(unsigned round_trip_us) { times_us_.push_back(round_trip_us); }
    void clear() { times_us_.clear(); }
    ReplySummary summary() const;

private:
    std::vector<unsigned> times_us_;
};

}  // namespace core
