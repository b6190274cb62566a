// Lens undistortion of one 320 x 240 frame: building the map and applying it,
// next to OpenCV's getOptimalNewCameraMatrix + initUndistortRectifyMap and
// remap (nearest) in the same run (OpenCV on one thread, as the library is).
// The element-by-element gather and a memcpy of the frame (the floor of any
// gather) are further baselines. The table at the end divides each
// baseline's CPU time by ours (CPU time, since the machine is shared and every
// case runs on one thread).
#include <benchmark/benchmark.h>
#include <pylox/tq_calib_len.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "imgproc/undistort/calib_len_kernels.h"

#if __has_include(<opencv2/calib3d.hpp>)
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#define HAVE_CV 1
#endif

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

// The EPC driver's default intrinsics.
const tq_calib_len_param_t kLens = {157.262,  122.083,      210.783,     204.817,    -0.378924,
                                    0.145035, -0.000970854, 6.20728e-05, -0.0133954, kW,
                                    kH};

template <class T> std::vector<T> frame()
{
    std::mt19937 rng(3);
    std::vector<T> v(kW * kH);
    for (auto &e : v) {
        e = static_cast<T>(rng() % 8000);
    }
    return v;
}

void build_ours(benchmark::State &state)
{
    tq_calib_len_map_t map{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(tq_calib_len_update_map(&map, &kLens));
    }
    tq_calib_len_uninit_map(&map);
}
BENCHMARK(build_ours)->Name("build/ours")->Unit(benchmark::kMicrosecond);

template <class T> void gather_ours(benchmark::State &state)
{
    tq_calib_len_map_t map{};
    tq_calib_len_init_map(&map, &kLens);
    const std::vector<T> src = frame<T>();
    std::vector<T> dst(kW * kH);
    for (auto _ : state) {
        tq_calib_len_map_t *m = &map;
        benchmark::DoNotOptimize(m);
        if constexpr (sizeof(T) == 2) {
            tq_calib_len_undistort_u16(m, dst.data(), kW * kH, src.data(), kW, kH, 0);
        } else {
            tq_calib_len_undistort_f32(m, dst.data(), kW * kH, src.data(), kW, kH, 0.0f);
        }
        benchmark::ClobberMemory();
    }
    tq_calib_len_uninit_map(&map);
}
BENCHMARK(gather_ours<uint16_t>)->Name("gather_u16/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(gather_ours<float>)->Name("gather_f32/ours")->Unit(benchmark::kMicrosecond);

// The element-by-element loop the vector gather replaces.
template <class T> void gather_plain(benchmark::State &state)
{
    tq_calib_len_map_t map{};
    tq_calib_len_init_map(&map, &kLens);
    const std::vector<T> src = frame<T>();
    std::vector<T> dst(kW * kH);
    for (auto _ : state) {
        const int32_t *m = map.map;
        benchmark::DoNotOptimize(m);
        pylox::calib_len_gather_plain(dst.data(), src.data(), m, kW * kH, T{0});
        benchmark::ClobberMemory();
    }
    tq_calib_len_uninit_map(&map);
}
BENCHMARK(gather_plain<uint16_t>)->Name("gather_u16/plain")->Unit(benchmark::kMicrosecond);
BENCHMARK(gather_plain<float>)->Name("gather_f32/plain")->Unit(benchmark::kMicrosecond);

void copy_frame(benchmark::State &state)
{
    const std::vector<uint16_t> src = frame<uint16_t>();
    std::vector<uint16_t> dst(kW * kH);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size() * 2);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(copy_frame)->Name("gather_u16/memcpy")->Unit(benchmark::kMicrosecond);

#if HAVE_CV
struct CvLens {
    cv::Matx33d k{kLens.fx, 0, kLens.cx, 0, kLens.fy, kLens.cy, 0, 0, 1};
    std::vector<double> d{kLens.k1, kLens.k2, kLens.p1, kLens.p2, kLens.k3};
};

void build_cv(benchmark::State &state)
{
    const CvLens l;
    for (auto _ : state) {
        cv::Mat mx, my; // fresh maps, as ours are allocated anew
        const cv::Mat k_new = cv::getOptimalNewCameraMatrix(l.k, l.d, cv::Size(kW, kH), 1.0);
        cv::initUndistortRectifyMap(l.k, l.d, cv::noArray(), k_new, cv::Size(kW, kH), CV_32FC1, mx,
                                    my);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(build_cv)->Name("build/opencv")->Unit(benchmark::kMicrosecond);

// remap with float maps (converted inside every call) and with the fixed-point
// maps OpenCV prefers for repeated use.
template <class T> void gather_cv(benchmark::State &state)
{
    const CvLens l;
    const cv::Mat k_new = cv::getOptimalNewCameraMatrix(l.k, l.d, cv::Size(kW, kH), 1.0);
    cv::Mat mx, my;
    const int type = state.range(0) ? CV_16SC2 : CV_32FC1;
    cv::initUndistortRectifyMap(l.k, l.d, cv::noArray(), k_new, cv::Size(kW, kH), type, mx, my);
    std::vector<T> data = frame<T>();
    const cv::Mat src(kH, kW, sizeof(T) == 2 ? CV_16UC1 : CV_32FC1, data.data());
    cv::Mat dst(kH, kW, src.type());
    for (auto _ : state) {
        cv::remap(src, dst, mx, my, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(gather_cv<uint16_t>)
    ->Name("gather_u16/opencv")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(gather_cv<float>)
    ->Name("gather_f32/opencv")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
#endif

} // namespace

int main(int argc, char **argv)
{
#if HAVE_CV
    cv::setNumThreads(1);
#endif
    benchmark::Initialize(&argc, argv);
    pylox_bench::ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
