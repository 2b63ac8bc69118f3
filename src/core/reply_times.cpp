#include "core/reply_times.h"

#include <algorithm>

namespace core {

ReplySummary ReplyTimes::summary() const {
    ReplySummary summary;
    summary.count = count();
    if (summary.count == 0) return summary;
    unsigned sorted[RECORD_COUNT];
    std::copy(times_us_, times_us_ + summary.count, sorted);
    unsigned* middle = sorted + summary.count / 2;
    std::nth_element(sorted, middle, sorted + summary.count);
    summary.median_us = *middle;
    summary.max_us = *std::max_element(sorted, sorted + summary.count);
    return summary;
}

}  // namespace core
