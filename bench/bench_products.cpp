// Frame products on a 320 x 240 distance image: the point cloud and the
// false colours against the plain scalar loops of the same arithmetic (the
// baseline), each measured in this run. The device is a replayed recording
// (the products need an open device); the lens is given.
#include <pylox/pylox.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int k_w = 320, k_h = 240, k_n = k_w * k_h;
const pylox_lens_param_t k_lens{157.262f, 122.083f, 210.783f, 204.817f, 1.0f};

std::vector<float> distances()
{
    std::vector<float> d(k_n);
    for (int i = 0; i < k_n; ++i)
        d[i] = 0.5f + 3.0f * static_cast<float>((i * 7919) % k_n) / k_n;
    return d;
}

pylox_dev_t *device()
{
    static pylox_dev_t *dev = [] {
        pylox_init(nullptr);
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        const std::string path = "/tmp/pylox_bench_products.raw";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<uint16_t> raw(4 * 16 * 16, 2048);
        pylox_frame_save_raw(fd, PYLOX_FRAME_SAVE_U16, raw.data(), static_cast<int>(raw.size()), 16,
                             16, 4, "PYLOX-E2-BENCH");
        ::close(fd);
        return pylox_dev_open_replay(path.c_str());
    }();
    return dev;
}

void BM_pcl_library(benchmark::State &state)
{
    const std::vector<float> d = distances();
    std::vector<float> pcl(3 * k_n);
    pylox_dev_t *dev = device();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            pylox_frame_get_pcl(dev, pcl.data(), 3 * k_n, d.data(), k_n, k_w, k_h, &k_lens));
        benchmark::ClobberMemory();
    }
}

// Baseline: the same projection as a plain loop.
void BM_pcl_plain(benchmark::State &state)
{
    const std::vector<float> d = distances();
    std::vector<float> pcl(3 * k_n);
    for (auto _ : state) {
        float *o = pcl.data();
        for (int v = 0; v < k_h; ++v)
            for (int u = 0; u < k_w; ++u) {
                const float dd = d[v * k_w + u];
                if (!(dd > 0.0f && dd < 60.0f))
                    continue;
                const double x = (u - k_lens.cx) * double(dd) / k_lens.fx;
                const double y = (v - k_lens.cy) * double(dd) / k_lens.fy;
                *o++ = static_cast<float>(x);
                *o++ = static_cast<float>(y);
                *o++ = static_cast<float>(std::sqrt(double(dd) * dd - x * x - y * y));
            }
        benchmark::DoNotOptimize(pcl.data());
        benchmark::ClobberMemory();
    }
}

void BM_cmap_library(benchmark::State &state)
{
    device();
    const std::vector<float> d = distances();
    std::vector<uint8_t> rgb(3 * k_n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            pylox_cmap_float(rgb.data(), 3 * k_n, d.data(), k_n, PYLOX_CMAP_RGB, 0.5f, 3.5f));
        benchmark::ClobberMemory();
    }
}

// Baseline: a colour map lookup per pixel written as three bytes.
void BM_cmap_plain(benchmark::State &state)
{
    tq_cmap_t map{};
    tq_cmap_init(&map, 30000);
    tq_cmap_set_range(&map, 500, 3500);
    const std::vector<float> d = distances();
    std::vector<uint8_t> rgb(3 * k_n);
    for (auto _ : state) {
        for (int i = 0; i < k_n; ++i) {
            const uint32_t c = tq_cmap_get_color(&map, static_cast<int32_t>(d[i] * 1000.0f));
            rgb[3 * i] = c & 0xFF;
            rgb[3 * i + 1] = (c >> 8) & 0xFF;
            rgb[3 * i + 2] = (c >> 16) & 0xFF;
        }
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    tq_cmap_uninit(&map);
}

BENCHMARK(BM_pcl_plain);
BENCHMARK(BM_pcl_library);
BENCHMARK(BM_cmap_plain);
BENCHMARK(BM_cmap_library);

} // namespace

BENCHMARK_MAIN();
