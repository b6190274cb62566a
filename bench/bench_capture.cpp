// End-to-end capture from the virtual camera through the public API: frames
// per second and CPU time per frame through pylox_cap_get_frames and through
// the frame-ready callback of pylox_cap_wait, next to a memcpy of one frame
// measured in the same run; and the latency from the camera's last byte of a
// frame to the frame-ready callback at 60 fps. Run under umockdev-wrapper.
#include <pylox/pylox.h>
#include <vcam/vcam.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr int k_frame = 320 * 240 * 8;
std::shared_ptr<vcam::Camera> g_cam;
pylox_dev_t *g_dev = nullptr;

double cpu_seconds(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void BM_FrameMemcpy(benchmark::State &state)
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
BENCHMARK(BM_FrameMemcpy);

void BM_GetFrames(benchmark::State &state)
{
    g_cam->set_fps(0);
    pylox_cap_start(g_dev);
    std::vector<uint8_t> buf(k_frame);
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    int64_t frames = 0;
    for (auto _ : state)
        frames += std::max(0, pylox_cap_get_frames(g_dev, 1, buf.data(), k_frame, nullptr));
    const double p1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    pylox_cap_stop(g_dev);
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * k_frame);
    state.counters["process_cpu_ms_per_frame"] = frames ? (p1 - p0) * 1e3 / frames : 0;
}
BENCHMARK(BM_GetFrames)->UseRealTime()->MinTime(3.0);

std::atomic<int64_t> g_cb_frames{0};
void count_frame(pylox_dev_t *, pylox_frame_t *f)
{
    benchmark::DoNotOptimize(f->data[0]);
    g_cb_frames.fetch_add(1, std::memory_order_relaxed);
}

void BM_WaitCallback(benchmark::State &state)
{
    g_cam->set_fps(0);
    pylox_cap_set_callback_on_frame_ready(g_dev, count_frame);
    pylox_cap_start(g_dev);
    g_cb_frames = 0;
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state)
        pylox_cap_wait(g_dev, 10); // delivers what arrives within 10 ms
    const double p1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    pylox_cap_stop(g_dev);
    pylox_cap_set_callback_on_frame_ready(g_dev, nullptr);
    const int64_t frames = g_cb_frames.load();
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * k_frame);
    state.counters["process_cpu_ms_per_frame"] = frames ? (p1 - p0) * 1e3 / frames : 0;
}
BENCHMARK(BM_WaitCallback)->UseRealTime()->MinTime(3.0);

std::vector<std::chrono::steady_clock::time_point> g_cb_times;
void stamp_frame(pylox_dev_t *, pylox_frame_t *)
{
    g_cb_times.push_back(std::chrono::steady_clock::now());
}

// Latency from the camera's last byte to the callback, at the camera's pace.
void BM_Latency60fps(benchmark::State &state)
{
    std::vector<double> lat;
    for (auto _ : state) {
        state.PauseTiming();
        g_cam->set_fps(60);
        g_cb_times.clear();
        g_cb_times.reserve(256);
        pylox_cap_set_callback_on_frame_ready(g_dev, stamp_frame);
        const size_t before = g_cam->frame_end_times().size();
        state.ResumeTiming();
        pylox_cap_start(g_dev);
        while (g_cb_times.size() < 120)
            pylox_cap_wait(g_dev, 50);
        pylox_cap_stop(g_dev);
        state.PauseTiming();
        const auto ends = g_cam->frame_end_times();
        for (size_t k = 0; k < g_cb_times.size() && before + k < ends.size(); ++k)
            lat.push_back(
                std::chrono::duration<double, std::milli>(g_cb_times[k] - ends[before + k])
                    .count());
        pylox_cap_set_callback_on_frame_ready(g_dev, nullptr);
        state.ResumeTiming();
    }
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["latency_median_ms"] = lat[lat.size() / 2];
        state.counters["latency_p99_ms"] = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
        state.counters["frame_period_ms"] = 1000.0 / 60;
    }
}
BENCHMARK(BM_Latency60fps)->Iterations(3)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    // The camera is on the bus before the library's first look at it.
    g_cam = vcam::Camera::create();
    g_cam->set_scene(vcam::Scene::box(2000, 1200));
    pylox_init("/tmp/pylox_bench_capture.log");
    tq_log_enable(0, TQ_LOG_NONE, nullptr);
    tq_log_enable(1, TQ_LOG_NONE, nullptr);
    g_dev = pylox_dev_open(nullptr);
    if (!g_dev) {
        std::fprintf(stderr, "no virtual camera: run under umockdev-wrapper\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    pylox_dev_close(g_dev);
    pylox_uninit();
    g_cam.reset();
    return 0;
}
