// A clock that only goes forward, for the time a phase or an update takes. One implementation per
// platform.
#pragma once

namespace monotonic_clock {

// Milliseconds since a fixed point. Async-signal-safe.
long long now_ms();

}  // namespace monotonic_clock
