// Several cameras at once: process CPU per camera-frame with one and with
// four virtual cameras streaming at 30 fps, each read by an application
// thread of its own through pylox_cap_get_frames, raw frames alone and every
// frame decoded to distance; next to a memcpy of one raw frame measured in the
// same run. The process CPU includes the virtual cameras' own work (making
// and sending the frames), the same for one camera as for four.
// Run under umockdev-wrapper.
#include "vcam_bench.h"

#include <pylox/pylox.h>
#include <vcam/vcam.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

using pylox_bench::BM_FrameMemcpy;
using pylox_bench::cpu_seconds;
using pylox_bench::k_frame;

constexpr int k_w = 320, k_h = 240, k_cams = 4;
constexpr int k_seconds = 8; // streaming per measurement

std::vector<std::shared_ptr<vcam::Camera>> g_cams;
pylox_dev_t g_devs[k_cams]{};

BENCHMARK(BM_FrameMemcpy);

// range(0): cameras streaming; range(1): 1 = every frame decoded to distance.
void BM_Cameras30fps(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const bool decode = state.range(1) != 0;
    std::atomic<int64_t> frames{0}, lost{0};
    double cpu = 0;
    for (auto _ : state) {
        std::atomic<bool> go{false};
        std::vector<std::thread> readers;
        for (int i = 0; i < n; ++i)
            readers.emplace_back([&, i] {
                pylox_dev_t *dev = &g_devs[i];
                std::vector<uint8_t> raw(k_frame);
                std::vector<float> dist(2 * k_w * k_h);
                pylox_frame_info_t info{};
                while (!go)
                    std::this_thread::yield();
                pylox_cap_start(dev);
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(k_seconds);
                int64_t got = 0;
                while (std::chrono::steady_clock::now() < end) {
                    if (pylox_cap_get_frames(dev, 1, raw.data(), k_frame, &info) != 1)
                        continue;
                    ++got;
                    if (decode)
                        pylox_frame_get_distance(dev, dist.data(), static_cast<int>(dist.size()),
                                                 raw.data(), k_frame, &info);
                }
                pylox_cap_stop(dev);
                tq_stream_state_t st{};
                tq_stream_get_state(dev->ctx->stream, &st);
                frames += got;
                lost += st.frames_dropped + st.frames_discarded;
            });
        const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        go = true;
        for (auto &t : readers)
            t.join();
        cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    }
    state.SetItemsProcessed(frames.load());
    state.counters["cameras"] = n;
    state.counters["frames_lost"] = static_cast<double>(lost.load());
    state.counters["cpu_ms_per_camera_frame"] = frames ? cpu * 1e3 / frames.load() : 0;
}
BENCHMARK(BM_Cameras30fps)
    ->ArgsProduct({{1, k_cams}, {0, 1}})
    ->ArgNames({"cameras", "decode"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    // The cameras are on the bus before the library's first look at it.
    for (int i = 0; i < k_cams; ++i) {
        vcam::CameraConfig cfg;
        cfg.port = i + 1;
        cfg.fps = 30;
        cfg.serial.back() = static_cast<uint8_t>(i + 1);
        g_cams.push_back(vcam::Camera::create(cfg));
        g_cams.back()->set_scene(vcam::Scene::box(2500.0f, 800.0f + 300.0f * i));
    }
    pylox_bench::init_quiet("/tmp/pylox_bench_multicam.log");
    if (pylox_dev_list(g_devs, k_cams) != k_cams) {
        std::fprintf(stderr, "no virtual cameras: run under umockdev-wrapper\n");
        return 1;
    }
    for (auto &d : g_devs)
        if (!pylox_dev_open(&d)) {
            std::fprintf(stderr, "cannot open a virtual camera\n");
            return 1;
        }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto &d : g_devs)
        pylox_dev_close(&d);
    pylox_uninit();
    g_cams.clear();
    return 0;
}
