#include "core/clock.h"

#include <chrono>
#include <thread>

namespace pylox {

wall_time clock_now()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    wall_time w{};
    localtime_r(&t, &w.local);
    // The seconds of the local calendar fields are t itself. mktime would
    // give the same, but it re-reads the time zone on every call and frees
    // glibc's zone name while other threads' localtime_r may read it.
    w.sec = static_cast<int64_t>(t);
    w.msec = static_cast<int32_t>(ms % 1000);
    w.usec = w.msec * 1000;
    return w;
}

int64_t clock_now_ms()
{
    // The same instant as clock_now() gives (its seconds are the epoch's),
    // without the calendar fields: no time zone look-up per call.
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

uint64_t monotonic_us()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void sleep_ms(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace pylox
