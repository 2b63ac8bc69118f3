#include "platform/monotonic_clock.h"

#include <emscripten.h>

namespace monotonic_clock {

long long now_ms() { return static_cast<long long>(emscripten_get_now()); }

}  // namespace monotonic_clock
