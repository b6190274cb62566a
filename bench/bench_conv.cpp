// Pixel conversions on one 320 x 240 frame: the exported conversions (vector
// steps) against the element-by-element loop they fall back to, both measured
// in the same run. The ratio table at the end divides the loop's time by the
// vector time.
#include <benchmark/benchmark.h>
#include <pylox/tq_cmap.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "imgproc/tq_conv_plain.h"

namespace {

constexpr int32_t kPixels = 320 * 240;

template <class S> std::vector<S> frame_data()
{
    std::mt19937 rng(1);
    std::vector<S> v(kPixels);
    for (auto &e : v) {
        if constexpr (std::is_same_v<S, float>) {
            e = std::uniform_real_distribution<float>(0.0f, 8.0f)(rng); // metres
        } else {
            e = static_cast<S>(rng() % 8000); // millimetres
        }
    }
    return v;
}

template <class D, class S, class P>
void register_pair(const std::string &name, void (*vec)(D *, const S *, int32_t, P),
                   void (*plain)(D *, const S *, int32_t, P), P param)
{
    auto body = [param](benchmark::State &state, void (*fn)(D *, const S *, int32_t, P)) {
        const std::vector<S> src = frame_data<S>();
        std::vector<D> dst(kPixels);
        for (auto _ : state) {
            fn(dst.data(), src.data(), kPixels, param);
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * kPixels);
    };
    benchmark::RegisterBenchmark((name + "/vector").c_str(), body, vec)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((name + "/plain").c_str(), body, plain)
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char **argv)
{
    register_pair("u16_u8", tq_conv_u16_u8, pylox::conv_plain_u16_u8, 4u);
    register_pair("u16_f32", tq_conv_u16_f32, pylox::conv_plain_u16_f32, 0.001f);
    register_pair("u16_u32", tq_conv_u16_u32, pylox::conv_plain_u16_u32, 3u);
    register_pair("f32_u8", tq_conv_f32_u8, pylox::conv_plain_f32_u8, 255.0f / 8.0f);
    register_pair("f32_u16", tq_conv_f32_u16, pylox::conv_plain_f32_u16, 1000.0f);
    register_pair("f32_u32", tq_conv_f32_u32, pylox::conv_plain_f32_u32, 1000.0f);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    pylox_bench::ratio_reporter reporter("vector");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
