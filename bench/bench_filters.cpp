// Image filters on one 320 x 240 distance frame, single thread, next to their
// counterparts measured in the same run: OpenCV's filters where it has one,
// the plain one-pixel-at-a-time forms, a per-pixel sort for the generic median.
// The table at the end gives each filter's CPU time and its ratio to every
// counterpart (counterpart time / our time; above 1 means ours is faster).
#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <pylox/tq_filter.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "imgproc/filters/filters_internal.h"

#if defined(PYLOX_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int32_t kW = 320, kH = 240, kPixels = kW * kH;

// A scene of smooth surfaces with noise, edges, holes and flying pixels.
const std::vector<uint16_t> &frame()
{
    static const std::vector<uint16_t> v = [] {
        std::mt19937 rng(3);
        std::vector<uint16_t> f(kPixels);
        for (int32_t y = 0; y < kH; ++y) {
            for (int32_t x = 0; x < kW; ++x) {
                int32_t d = x < kW / 2 ? 1200 + 2 * y : 2500 - x;
                d += static_cast<int32_t>(rng() % 40) - 20;
                if (rng() % 50 == 0) {
                    d = rng() % 2 ? 0 : 65500; // hole or saturated
                }
                f[y * kW + x] = static_cast<uint16_t>(d);
            }
        }
        return f;
    }();
    return v;
}

void add(const std::string &group, const std::string &variant, std::function<void()> fn)
{
    benchmark::RegisterBenchmark((group + "/" + variant).c_str(), [fn](benchmark::State &state) {
        for (auto _ : state) {
            fn();
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * kPixels);
    })->Unit(benchmark::kMicrosecond);
}

std::vector<uint16_t> g_dst(kPixels);
std::vector<float> g_fsrc, g_fdst(kPixels);

void register_all()
{
    const uint16_t *src = frame().data();
    uint16_t *dst = g_dst.data();
    g_fsrc.assign(frame().begin(), frame().end());

    add("median_k3", "ours", [=] { tq_median2d_u16_k3(dst, src, kW, kH); });
    add("median_k3", "plain", [=] { pylox::filt::median3_plain(dst, src, kW, kH); });
    add("median_k5", "ours", [=] { tq_median2d_u16_k5(dst, src, kW, kH); });
    add("median_k5", "plain", [=] { pylox::filt::median5_plain(dst, src, kW, kH); });
    add("median_k7", "ours", [=] { tq_median2d_u16(dst, src, kW, kH, 7); });
    add("median_k7", "sort", [=] {
        uint16_t win[49];
        for (int32_t y = 0; y < kH; ++y) {
            for (int32_t x = 0; x < kW; ++x) {
                int n = 0;
                for (int32_t dy = -3; dy <= 3; ++dy) {
                    const uint16_t *row = src + pylox::filt::clamp_index(y + dy, kH) * kW;
                    for (int32_t dx = -3; dx <= 3; ++dx) {
                        win[n++] = row[pylox::filt::clamp_index(x + dx, kW)];
                    }
                }
                std::nth_element(win, win + 24, win + 49);
                dst[y * kW + x] = win[24];
            }
        }
    });
    add("box_k3", "ours", [=] { tq_box2d_u16_k3(dst, src, kW, kH); });
    add("flypix_k3", "ours", [=] { tq_flypix_u16_k3(dst, src, kW, kH, 2000); });
    add("fhole_k3", "ours", [=] { tq_fhole_u16_k3(dst, src, kW, kH, 0); });
    add("fhole_k3_inpl", "ours", [=] { tq_fhole_u16_k3(dst, src, kW, kH, 1); });
    add("fhole_k5", "ours", [=] { tq_fhole_u16_k5(dst, src, kW, kH, 0); });
    add("fhole_edt3", "ours", [=] { tq_fhole_u16_edt3(dst, src, kW, kH); });
    add("gauss_k3", "ours", [=] { tq_gauss2d_u16_k3(dst, src, kW, kH); });
    add("gauss_iir_u16", "ours", [=] { tq_gauss2d_iir_u16(dst, src, kW, kH, 2.0f); });
    add("gauss_iir_f32", "ours",
        [=] { tq_gauss2d_iir_f32(g_fdst.data(), g_fsrc.data(), kW, kH, 2.0f); });
    add("gauss_iir_f32", "plain", [=] {
        const pylox::filt::iir_coef c = pylox::filt::gauss_iir_coef(2.0f);
        pylox::filt::gauss_iir_rows(g_fdst.data(), g_fsrc.data(), kW, kH, c);
        pylox::filt::gauss_iir_cols_plain(g_fdst.data(), kW, kH, c);
    });

    static tq_bpf2d_iir_t bpf;
    tq_bpf2d_iir_init(&bpf, kW, kH, 0.02f, 0.1f, 0, 4096); // the driver's setting
    add("bpf_iir", "ours", [=] { tq_bpf2d_iir(&bpf, dst, src, kW, kH); });
    add("bpf_iir", "plain", [=] {
        bpf.dst = dst;
        pylox::filt::bpf_horizontal_plain(&bpf, src, 0);
        _bpf2d_vertical_norm(&bpf, src, 0);
    });
    // The same with the vector forms held to each unit the CPU has (a machine
    // without AVX-512 runs the AVX2 forms).
    for (int64_t rest = HWY_TARGETS & hwy::SupportedTargets(); rest != 0; rest &= rest - 1) {
        const int64_t t = rest & -rest;
        benchmark::RegisterBenchmark(("bpf_iir/ours_" + std::string(hwy::TargetName(t))).c_str(),
                                     [=](benchmark::State &state) {
                                         hwy::SetSupportedTargetsForTest(t);
                                         for (auto _ : state) {
                                             tq_bpf2d_iir(&bpf, dst, src, kW, kH);
                                             benchmark::ClobberMemory();
                                         }
                                         hwy::SetSupportedTargetsForTest(0);
                                         state.SetItemsProcessed(state.iterations() * kPixels);
                                     })
            ->Unit(benchmark::kMicrosecond);
    }

#if defined(PYLOX_HAVE_OPENCV)
    static cv::Mat in16(kH, kW, CV_16UC1, const_cast<uint16_t *>(src));
    static cv::Mat in32f;
    in16.convertTo(in32f, CV_32F);
    static cv::Mat out;
    add("median_k3", "opencv", [] { cv::medianBlur(in16, out, 3); });
    add("median_k5", "opencv", [] { cv::medianBlur(in16, out, 5); });
    add("gauss_k3", "opencv",
        [] { cv::GaussianBlur(in16, out, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE); });
    add("gauss_iir_f32", "opencv",
        [] { cv::GaussianBlur(in32f, out, cv::Size(0, 0), 2.0, 2.0, cv::BORDER_REPLICATE); });
    // The same spatial and range scales as the driver's recursive filter.
    add("bpf_iir", "opencv_d5",
        [] { cv::bilateralFilter(in32f, out, 5, 409.7, 4.8, cv::BORDER_REPLICATE); });
#endif
}

} // namespace

int main(int argc, char **argv)
{
#if defined(PYLOX_HAVE_OPENCV)
    cv::setNumThreads(1);
#endif
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("vector forms run on %s\n", pylox::filt::vec_target_name());
    pylox_bench::ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
