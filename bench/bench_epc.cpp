// The whole distance chain of the EPC driver's frame decode on one 320 x 240
// frame, single thread: calibrated (DRNU table), every default filter on and
// lens undistortion on. A memcpy of the raw frame (614,400 bytes) in the same
// run is the baseline. BM_decode is the driver's decode call as an
// application makes it; BM_stages runs the same chain stage by stage with a
// clock read between stages, which gives each stage's share of the chain.
// The table at the end gives the chain in memcpy's (goal: at most 35, that
// is 0.5 ms on a machine whose memcpy of the frame takes 14 us) and each
// stage's share, and the whole decode with the vector code held to each unit
// the CPU has (a machine without AVX-512 runs the AVX2 forms). On a busy machine run it with
// --benchmark_repetitions=5: the table then takes the medians.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_driver.h"
#include "epc_bench_frame.h"

#include <pylox/pylox.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using pylox_bench::kH;
using pylox_bench::kN;
using pylox_bench::kW;

// The driver as an open camera has it, with the benchmark's calibration
// mounted, calibration and undistortion switched on and the other filters at
// their defaults.
struct Driver {
    pylox_drv_t drv{"EPC chip driver", "E2", &g_pylox_driver_op_epc, nullptr, nullptr};
    epc_state_t *st;
    Driver()
    {
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        drv.ops->init(&drv, nullptr);
        st = pylox::epc_state(&drv);
        drv.ops->update_mod_freq(&drv, 12000000, 0);
        pylox_bench::mount_drnu(st);
        st->calib_en = 1;
        st->lens_undist_en = 1;
    }
    ~Driver() { drv.ops->uninit(&drv); }
};

Driver &driver()
{
    static Driver d;
    return d;
}
const std::vector<uint16_t> &frame()
{
    static const std::vector<uint16_t> raw = pylox_bench::camera_frame();
    return raw;
}

std::map<std::string, double> g_us; // CPU us per frame by benchmark name
std::vector<double> g_stage_ns;     // wall ns per frame by stage, summed over frames
double g_stage_frames = 0;

void BM_memcpy_raw(benchmark::State &state)
{
    const auto &raw = frame();
    std::vector<uint16_t> dst(raw.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), raw.data(), raw.size() * 2);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

void BM_decode(benchmark::State &state)
{
    Driver &d = driver();
    const auto &raw = frame();
    std::vector<uint16_t> dst(kN);
    pylox_frame_info_t info{};
    info.frame_size = 8 * kN;
    info.frame_format = EPC_FRAME_FMT_DCS;
    info.width = kW;
    info.height = kH;
    for (auto _ : state) {
        const int r =
            d.drv.ops->frame_decode(&d.drv, dst.data(), 2 * kN, 1,
                                    reinterpret_cast<const uint8_t *>(raw.data()), 8 * kN, &info);
        if (r != 2 * kN)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

// The chain of BM_decode stage by stage, the clock read after every stage.
void BM_stages(benchmark::State &state)
{
    using clock = std::chrono::steady_clock;
    Driver &d = driver();
    const auto &raw = frame();
    std::vector<uint16_t> dst(kN);
    const int n = pylox::g_epc_dist_stage_count;
    std::vector<double> ns(static_cast<size_t>(n), 0.0);
    for (auto _ : state) {
        pylox::epc_chain c = pylox::epc_chain_begin(&d.drv, dst.data(), raw.data(), kW, kH);
        auto t0 = clock::now();
        for (int i = 0; i < n; ++i) {
            pylox::g_epc_dist_stages[i].run(c);
            const auto t1 = clock::now();
            ns[static_cast<size_t>(i)] += std::chrono::duration<double, std::nano>(t1 - t0).count();
            t0 = t1;
        }
        benchmark::DoNotOptimize(c.res);
        benchmark::ClobberMemory();
    }
    // Summed over the repetitions.
    g_stage_ns.resize(ns.size(), 0.0);
    for (size_t i = 0; i < ns.size(); ++i)
        g_stage_ns[i] += ns[i];
    g_stage_frames += static_cast<double>(state.iterations());
}

// The whole decode with every vector kernel held to one unit.
std::vector<std::string> register_per_unit()
{
    std::vector<std::string> names;
    const int64_t usable = pylox::epc::vec_compiled_targets() & hwy::SupportedTargets();
    for (int64_t rest = usable; rest != 0; rest &= rest - 1) {
        const int64_t t = rest & -rest;
        names.push_back(std::string("BM_decode/") + hwy::TargetName(t));
        benchmark::RegisterBenchmark(names.back().c_str(), [t](benchmark::State &st) {
            hwy::SetSupportedTargetsForTest(t);
            BM_decode(st);
            hwy::SetSupportedTargetsForTest(0);
        })->Unit(benchmark::kMicrosecond);
    }
    return names;
}

class Collect : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions the median of the repetitions counts.
        for (const Run &r : runs)
            if (!r.error_occurred &&
                (r.run_type == Run::RT_Iteration ||
                 (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")))
                g_us[r.run_name.str()] = r.GetAdjustedCPUTime(); // reported in us
    }
};

} // namespace

BENCHMARK(BM_memcpy_raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_decode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_stages)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const std::vector<std::string> units = register_per_unit();
    Collect rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    const double mc = g_us["BM_memcpy_raw"], chain = g_us["BM_decode"];
    double total = 0;
    for (double v : g_stage_ns)
        total += v;
    std::printf("\n%-24s %10s %10s %10s\n", "per 320 x 240 frame", "us", "share", "memcpy's");
    std::printf("%-24s %10.1f %10s %10.2f\n", "memcpy raw 614400 B", mc, "", 1.0);
    std::printf("%-24s %10.1f %10s %10.2f   goal: 35 (500 us)\n", "whole distance decode", chain,
                "", mc > 0 ? chain / mc : 0);
    // Each stage's part of the decode time, by its share of the staged run.
    for (size_t i = 0; i < g_stage_ns.size(); ++i) {
        const double share = total > 0 ? g_stage_ns[i] / total : 0;
        std::printf("%-24s %10.1f %9.1f%% %10.2f\n",
                    (std::string("stage ") + pylox::g_epc_dist_stages[i].name).c_str(),
                    share * chain, 100 * share, mc > 0 ? share * chain / mc : 0);
    }
    if (g_stage_frames > 0)
        std::printf("%-24s %10.1f   (wall time of the staged run, clock reads included)\n",
                    "staged chain", total / g_stage_frames / 1e3);
    for (const std::string &u : units)
        if (g_us.count(u))
            std::printf("%-24s %10.1f %10s %10.2f\n", u.c_str() + 3, g_us[u], "",
                        mc > 0 ? g_us[u] / mc : 0);
    return 0;
}
