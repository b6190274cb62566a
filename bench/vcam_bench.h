// What the benchmarks streaming from virtual cameras share: the size of one
// raw frame, the CPU clocks, the library started without console output, and
// the baseline of their per-frame figures, a memcpy of one raw frame.
#pragma once

#include <pylox/pylox.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace pylox_bench {

constexpr int k_frame = 320 * 240 * 8; // four phases of two bytes per pixel

inline double cpu_seconds(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The library started with its log file at log and both log outputs silent.
inline void init_quiet(const char *log)
{
    pylox_init(log);
    tq_log_enable(0, TQ_LOG_NONE, nullptr);
    tq_log_enable(1, TQ_LOG_NONE, nullptr);
}

// Registered by each program where its table wants it: BENCHMARK(BM_FrameMemcpy).
inline void BM_FrameMemcpy(benchmark::State &state)
{
    std::vector<uint8_t> a(k_frame, 1), b(k_frame);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), k_frame);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * k_frame);
}

} // namespace pylox_bench
