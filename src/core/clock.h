// The library clock: local wall-clock time, millisecond resolution. It stamps
// log lines and measures every timeout of the library.
#pragma once

#include <cstdint>
#include <ctime>

namespace pylox {

struct wall_time {
    int64_t sec;  // seconds since the epoch, from the local calendar time
    int32_t usec; // milliseconds x 1000
    int32_t msec;
    std::tm local; // calendar fields of the same instant
};

wall_time clock_now();

// Milliseconds on the library clock (sec * 1000 + msec of clock_now()), without
// the calendar fields: the cheap form for timeouts and intervals.
int64_t clock_now_ms();

// Microseconds on the host's monotonic clock (CLOCK_MONOTONIC, the clock of
// std::chrono::steady_clock): never steps with the wall clock, so frames can
// be lined up with other sensors stamped on the same clock.
uint64_t monotonic_us();

// Sleep for ms milliseconds (no-op for ms <= 0).
void sleep_ms(int ms);

} // namespace pylox
