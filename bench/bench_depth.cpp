// Depth calculation on one 320 x 240 frame, single thread: the simple and the
// DRNU look-up model and the gray image (vector units chosen at run time),
// their per-pixel forms, and OpenCV's four-phase decode (I and Q planes,
// cv::cartToPolar, conversion of angle and magnitude to 16 bits) measured in
// the same run. The tables at the end give each time (CPU time per frame)
// and its ratio to OpenCV, for the unit chosen at run time and for each unit,
// and the look-up kernel against its earlier form (reference images gathered
// wherever a vector crosses from one image to the next).
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_state.h"
#include "epc_bench_frame.h"

#include <pylox/pylox.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef PYLOX_BENCH_OPENCV
#include <opencv2/core.hpp>
#endif

namespace {

using pylox_bench::camera_frame;
using pylox_bench::kH;
using pylox_bench::kN;
using pylox_bench::kW;

// Driver state at 12 MHz with the benchmark's calibration mounted.
struct Driver {
    pylox_drv_t drv{};
    epc_state_t *st;
    Driver()
    {
        st = pylox::epc_state_create();
        drv.priv = st;
        epc_calc_init(&drv);
        st->mod_freq = 12000000;
        pylox::epc_state_derive(st, st->mod_freq);
        pylox_bench::mount_drnu(st);
    }
    ~Driver() { pylox::epc_state_destroy(st); }
};

struct Bufs {
    std::vector<uint16_t> raw = camera_frame();
    std::vector<uint16_t> dist = std::vector<uint16_t>(kN), amp = std::vector<uint16_t>(kN);
    const uint16_t *d[4];
    Bufs()
    {
        for (int k = 0; k < 4; ++k)
            d[k] = raw.data() + static_cast<size_t>(k) * kN;
    }
};

template <class F> void run(benchmark::State &state, F &&f)
{
    for (auto _ : state) {
        f();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kN);
}

void BM_simple(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    run(state, [&] {
        calc_dist_calib_simple(&dr.drv, b.dist.data(), b.amp.data(), b.raw.data(), kW, kH, 4);
    });
}

void BM_drnu_lut(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    run(state, [&] {
        calc_dist_calib_drnu_lut(&dr.drv, b.dist.data(), b.amp.data(), b.raw.data(), kW, kH, 4);
    });
}

void BM_gray(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    run(state, [&] { calc_gray(&dr.drv, b.amp.data(), b.raw.data(), kW, kH, 4); });
}

// The per-pixel forms with the parameters the exported calls derive.
void BM_simple_plain(benchmark::State &state)
{
    Bufs b;
    const pylox::epc::fixed_args p{1000, -2000 - 80, 12491};
    run(state, [&] { pylox::epc::fixed_plain(p, b.dist.data(), b.amp.data(), b.d, kN); });
}

// The look-up model's arguments as the exported call derives them.
pylox::epc::lut_args drnu_args(const Driver &dr)
{
    const epc_calib_t *c = dr.st->calib;
    pylox::epc::lut_args p{};
    p.drift = 3.5f;
    p.scale = 11.0f / (c->mean_last - c->mean_first);
    p.step_phase = 300000.0f * 32768.0f / (12491.0f * 1000.0f);
    p.mean_first = c->mean_first;
    p.last_k = 10;
    p.box_phase = dr.st->box_phase;
    p.range_mm = 12491;
    p.ref = reinterpret_cast<const uint16_t *>(c->data + k_epc_ref_hdr);
    p.ref_stride = k_epc_ref_bytes / 2;
    return p;
}

void BM_drnu_lut_plain(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    const pylox::epc::lut_args p = drnu_args(dr);
    run(state, [&] { pylox::epc::lut_plain(p, b.dist.data(), b.amp.data(), b.d, kN); });
}

// The look-up kernel alone, and its earlier form (reference images gathered
// wherever a vector crosses from one image to the next) as its baseline.
void BM_drnu_lut_kernel(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    const pylox::epc::lut_args p = drnu_args(dr);
    run(state, [&] { pylox::epc::lut_vec(p, b.dist.data(), b.amp.data(), b.d, kN); });
}

void BM_drnu_lut_gathered(benchmark::State &state)
{
    Driver dr;
    Bufs b;
    const pylox::epc::lut_args p = drnu_args(dr);
    run(state, [&] { pylox::epc::lut_vec_gathered(p, b.dist.data(), b.amp.data(), b.d, kN); });
}

void BM_gray_plain(benchmark::State &state)
{
    Bufs b;
    run(state, [&] { pylox::epc::gray_plain(b.amp.data(), b.d, kN); });
}

#ifdef PYLOX_BENCH_OPENCV
// OpenCV's four-phase decode: I = d2 - d0 and Q = d3 - d1 as float planes,
// magnitude and angle, both converted to 16-bit (phase in 32768 per turn,
// amplitude halved).
void BM_opencv(benchmark::State &state)
{
    Bufs b;
    cv::Mat d0(kH, kW, CV_16U, b.raw.data()), d1(kH, kW, CV_16U, b.raw.data() + kN);
    cv::Mat d2(kH, kW, CV_16U, b.raw.data() + 2 * kN), d3(kH, kW, CV_16U, b.raw.data() + 3 * kN);
    cv::Mat i, q, mag, ang;
    cv::Mat phase(kH, kW, CV_16U, b.dist.data()), amp(kH, kW, CV_16U, b.amp.data());
    cv::setNumThreads(1);
    run(state, [&] {
        cv::subtract(d2, d0, i, cv::noArray(), CV_32F);
        cv::subtract(d3, d1, q, cv::noArray(), CV_32F);
        cv::cartToPolar(i, q, mag, ang);
        ang.convertTo(phase, CV_16U, 32768.0 / (2 * CV_PI));
        mag.convertTo(amp, CV_16U, 0.5);
    });
}
#endif

// The exported calls with the kernels held to one vector unit.
void register_per_unit()
{
    const int64_t usable = pylox::epc::vec_compiled_targets() & hwy::SupportedTargets();
    for (int64_t rest = usable; rest != 0; rest &= rest - 1) {
        const int64_t t = rest & -rest;
        const std::string unit = hwy::TargetName(t);
        for (auto [name, fn] :
             {std::pair{"BM_simple", &BM_simple}, std::pair{"BM_drnu_lut", &BM_drnu_lut},
              std::pair{"BM_gray", &BM_gray}}) {
            benchmark::RegisterBenchmark((std::string(name) + "/" + unit).c_str(),
                                         [t, fn = fn](benchmark::State &st) {
                                             hwy::SetSupportedTargetsForTest(t);
                                             fn(st);
                                             hwy::SetSupportedTargetsForTest(0);
                                         })
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                times_[r.benchmark_name()] = r.GetAdjustedCPUTime(); // us
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nvector unit: %s\n", pylox::epc::vec_target_name());
        const double cv = times_.count("BM_opencv") ? times_.at("BM_opencv") : 0.0;
        std::printf("%-22s %10s %14s %12s\n", "per frame", "us", "OpenCV / this", "plain / this");
        for (const char *name : {"BM_simple", "BM_drnu_lut", "BM_gray"}) {
            if (!times_.count(name))
                continue;
            const double t = times_.at(name);
            const std::string plain = std::string(name) + "_plain";
            std::printf("%-22s %10.1f %13.2fx %11.2fx\n", name, t, cv > 0 ? cv / t : 0.0,
                        times_.count(plain) ? times_.at(plain) / t : 0.0);
        }
        if (cv > 0)
            std::printf("%-22s %10.1f\n", "BM_opencv", cv);
        if (times_.count("BM_drnu_lut_kernel") && times_.count("BM_drnu_lut_gathered"))
            std::printf("look-up kernel %.1f us, its earlier gathering form %.1f us: %.2fx\n",
                        times_.at("BM_drnu_lut_kernel"), times_.at("BM_drnu_lut_gathered"),
                        times_.at("BM_drnu_lut_gathered") / times_.at("BM_drnu_lut_kernel"));
        std::printf("\nper vector unit          us  OpenCV / this\n");
        for (const auto &[name, t] : times_)
            if (name.find('/') != std::string::npos)
                std::printf("%-22s %10.1f %13.2fx\n", name.c_str(), t, cv > 0 ? cv / t : 0.0);
    }

private:
    std::map<std::string, double> times_;
};

} // namespace

BENCHMARK(BM_simple)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_drnu_lut)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gray)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_simple_plain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_drnu_lut_plain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_drnu_lut_kernel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_drnu_lut_gathered)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gray_plain)->Unit(benchmark::kMicrosecond);
#ifdef PYLOX_BENCH_OPENCV
BENCHMARK(BM_opencv)->Unit(benchmark::kMicrosecond);
#endif

int main(int argc, char **argv)
{
    register_per_unit();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
