#include "core/reply_times.h"

#include <algorithm>

namespace core {

ReplySummary ReplyTimes::summary() const {
    ReplySummary summary;
    if (times_us_.empty()) return summary;
    std::vector<unsigned> sorted = times_us_;
    std::sort(sorted.begin(), sorted.end());
    summary.count = static_cast<unsigned>(sorted.size());
    summary.median_us = sorted[sorted.size() / 2];
    summary.max_us = sorted.back();
    return summary;
}

}  // namespace core
