#include "platform/monotonic_clock.h"

#include <windows.h>

namespace monotonic_clock {

long long now_ms() { return static_cast<long long>(GetTickCount64()); }

}  // namespace monotonic_clock
