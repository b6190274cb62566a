// The whole distance chain of the EPC driver's frame decode on one 320 x 240
// frame, single thread: calibrated (DRNU table), every default filter on and
// lens undistortion on. Each stage of the chain is measured alone on the
// images the stages before it left, and a memcpy of the raw frame (614,400
// bytes) in the same run is the baseline; the table at the end gives each
// stage's share of the chain and the chain in memcpy's.
#include <benchmark/benchmark.h>

#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_driver.h"

#include <pylox/pylox.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kW = 320, kH = 240, kN = kW * kH;

// A wall tilted from 1.2 m to 3.2 m with a box at 0.9 m, a little noise, 12 MHz.
std::vector<uint16_t> camera_frame()
{
    std::vector<uint16_t> raw(4 * kN);
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (int p = 0; p < kN; ++p) {
        const int x = p % kW, y = p / kW;
        const bool box = x >= 110 && x < 210 && y >= 80 && y < 160;
        const double d = box ? 900.0 : 1200.0 + 2000.0 * x / (kW - 1);
        const double theta = 2 * std::numbers::pi * (d + 2000.0) / 12491.0;
        const double a = std::min(1500.0 / (d * d / 1e6), 1900.0);
        for (int k = 0; k < 4; ++k) {
            const double v = 2048 + a * std::cos(theta - k * std::numbers::pi / 2) + noise(rng);
            raw[static_cast<size_t>(k) * kN + p] =
                static_cast<uint16_t>(std::clamp(std::lround(v), 1L, 4094L));
        }
    }
    return raw;
}

// The driver as an open camera has it, with a DRNU calibration of twelve
// reference images mounted and undistortion switched on.
struct Driver {
    pylox_drv_t drv{"EPC chip driver", "E2", &g_pylox_driver_op_epc, nullptr, nullptr};
    epc_state_t *st;
    Driver()
    {
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        drv.ops->init(&drv, nullptr);
        st = pylox::epc_state(&drv);
        drv.ops->update_mod_freq(&drv, 12000000, 0);
        st->temp_cb = 400;
        st->temp_ib = 350;
        epc_calib_t *c = st->calib;
        const int n = 12;
        c->img_count = n;
        c->step_um = 300000;
        c->data = static_cast<uint8_t *>(std::calloc(n, k_epc_ref_bytes));
        for (int k = 0; k < n; ++k)
            for (int p = 0; p < k_epc_ref_pixels; ++p) {
                const auto v =
                    static_cast<uint16_t>((295 + 300 * k + 2000) * 32768 / 12491 + (p % 13));
                std::memcpy(c->data + static_cast<size_t>(k) * k_epc_ref_bytes + k_epc_ref_hdr +
                                2 * p,
                            &v, 2);
            }
        c->mean_first = static_cast<uint16_t>((295 + 2000) * 32768 / 12491 + 6);
        c->mean_last = static_cast<uint16_t>((295 + 300 * (n - 1) + 2000) * 32768 / 12491 + 6);
        std::memcpy(c->hdr, &st->mod_freq, 4);
        c->cal_cb = 350;
        c->cal_ib = 300;
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
    static const std::vector<uint16_t> raw = camera_frame();
    return raw;
}

std::map<std::string, double> g_ns; // CPU ns per frame by name

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
    }
}

// Stage i alone: the stages before it run outside the timing.
void BM_stage(benchmark::State &state)
{
    Driver &d = driver();
    const int i = static_cast<int>(state.range(0));
    state.SetLabel(pylox::g_epc_dist_stages[i].name);
    const auto &raw = frame();
    std::vector<uint16_t> dst(kN);
    for (auto _ : state) {
        state.PauseTiming();
        pylox::epc_chain c = pylox::epc_chain_begin(&d.drv, dst.data(), raw.data(), kW, kH);
        for (int k = 0; k < i; ++k)
            pylox::g_epc_dist_stages[k].run(c);
        state.ResumeTiming();
        pylox::g_epc_dist_stages[i].run(c);
        benchmark::DoNotOptimize(c.res);
    }
}

class Collect : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
                std::string name = r.benchmark_name();
                if (!r.report_label.empty())
                    name = "stage " + r.report_label;
                g_ns[name] = r.GetAdjustedCPUTime() * 1e3; // reported in us
            }
    }
};

} // namespace

BENCHMARK(BM_memcpy_raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_decode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_stage)->DenseRange(0, 10)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Collect rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    const double mc = g_ns["BM_memcpy_raw"], chain = g_ns["BM_decode"];
    double stages = 0;
    for (auto &[k, v] : g_ns)
        if (k.rfind("stage ", 0) == 0)
            stages += v;
    std::printf("\n%-22s %10s %10s %10s\n", "", "us/frame", "share", "memcpy's");
    std::printf("%-22s %10.1f %10s %10.2f\n", "memcpy raw 614400 B", mc / 1e3, "", 1.0);
    std::printf("%-22s %10.1f %10s %10.2f   goal 500 us\n", "whole distance decode", chain / 1e3,
                "", mc > 0 ? chain / mc : 0);
    for (int i = 0; i < pylox::g_epc_dist_stage_count; ++i) {
        const std::string n = std::string("stage ") + pylox::g_epc_dist_stages[i].name;
        const double v = g_ns[n];
        std::printf("%-22s %10.1f %9.1f%% %10.2f\n", n.c_str(), v / 1e3,
                    stages > 0 ? 100.0 * v / stages : 0, mc > 0 ? v / mc : 0);
    }
    return 0;
}
