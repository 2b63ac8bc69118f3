#include "platform/monotonic_clock.h"

#include <time.h>

namespace monotonic_clock {

long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

}  // namespace monotonic_clock
