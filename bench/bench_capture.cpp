// End-to-end capture from the virtual camera through the public API.
//
// - BM_CpuPerFrame: process CPU per frame through pylox_cap_get_frames into
//   the caller's buffer, next to a plain libusb host on the same camera (the
//   same ring of sixteen 153,600-byte transfers, its application thread woken
//   per frame), in alternating rounds of the same run at a paced frame rate
//   (no frame is lost on either side). The difference is the library's own
//   CPU per frame, given in warm copies of one frame (memcpy of 614,400
//   bytes measured in each round); the application thread's part also in
//   copies between buffers flushed from the caches, the kind of copy the one
//   copy of a retrieval (ring -> caller's buffer) is on the virtual camera.
// - BM_Latency60fps: from the camera's last byte of a frame to the
//   frame-ready callback of pylox_cap_wait at 60 fps, next to the same path in
//   plain libusb (to the completion of the transfer holding that byte), again
//   in alternating rounds. The library's part of each frame is split at the
//   frame's arrival time (PYLOX_FRAME_TIME_US, stamped by the parser when the
//   last byte is placed): camera -> arrival is the transport (emulation,
//   libusb, back end, parser), arrival -> callback is the wake-up of the
//   application's thread and the delivery.
// - BM_GetFrames / BM_WaitCallback: throughput at the camera's full rate.
// - BM_StopFullRate: how long pylox_cap_stop takes at the camera's full rate
//   (median and worst of 30), next to the same stop in plain libusb (cancel
//   the ring, stop command and status, wait for the ring), and while another
//   thread reads parameters back to back, plain and with four busy answers
//   per read: a stop waits for the command in progress, which should not
//   take longer than the command itself takes on a camera that stopped
//   streaming.
//
// The camera's own threads run in this process, so every CPU figure includes
// the emulation; only differences taken in the same run mean something.
// Run under umockdev-wrapper (release preset).
#include "vcam_bench.h"

#include <pylox/pylox.h>
#include <vcam/vcam.h>

#include <benchmark/benchmark.h>
#include <dirent.h>
#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif
#include <libusb-1.0/libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using pylox_bench::BM_FrameMemcpy;
using pylox_bench::cpu_seconds;
using pylox_bench::k_frame;

constexpr uint64_t k_packet = 36 + k_frame; // the camera sends one frame per stream packet
constexpr int k_ring = 16;
constexpr int k_xfer = 153600;

using steady = std::chrono::steady_clock;

std::shared_ptr<vcam::Camera> g_cam;
pylox_dev_t *g_dev = nullptr;

// The library's device is opened on demand and closed while the plain host
// has the camera.
pylox_dev_t *library()
{
    if (!g_dev)
        g_dev = pylox_dev_open(nullptr);
    return g_dev;
}

void close_library()
{
    if (g_dev)
        pylox_dev_close(g_dev);
    g_dev = nullptr;
}

double ms_between(steady::time_point a, steady::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double percentile(std::vector<double> v, int pct)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(pct) / 100)];
}

// The camera's own threads (its producer, its bus, umockdev's handler),
// noted right after the camera was made: every other thread of the process
// is the host's (the benchmark's thread, libusb's and the library's).
std::set<pid_t> g_camera_threads;

std::set<pid_t> threads_now()
{
    std::set<pid_t> t;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                t.insert(static_cast<pid_t>(std::stoi(e->d_name)));
        closedir(d);
    }
    return t;
}

// CPU seconds of the host's threads (scheduler run time, nanosecond resolution).
double host_cpu_seconds()
{
    uint64_t ns = 0;
    for (pid_t tid : threads_now()) {
        if (g_camera_threads.count(tid))
            continue;
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/schedstat";
        if (FILE *f = std::fopen(path.c_str(), "r")) {
            unsigned long long run = 0;
            if (std::fscanf(f, "%llu", &run) == 1)
                ns += run;
            std::fclose(f);
        }
    }
    return static_cast<double>(ns) * 1e-9;
}

// Thread CPU of one warm copy of a frame, in milliseconds.
double memcpy_ms()
{
    static std::vector<uint8_t> a(k_frame, 1), b(k_frame);
    constexpr int n = 300;
    for (int i = 0; i < 20; ++i)
        std::memcpy(b.data(), a.data(), k_frame);
    const double c0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < n; ++i) {
        std::memcpy(b.data(), a.data(), k_frame);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    return (cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - c0) * 1e3 / n;
}

// Thread CPU of one copy of a frame between two buffers that are in no
// cache, in milliseconds (0 where the caches cannot be flushed from here).
// The one copy of a retrieval (ring -> caller's buffer) is of that kind here:
// between two frames the camera's emulation streams several frames' worth of
// bytes through the caches of both cores.
double cold_copy_ms()
{
#if defined(__x86_64__) || defined(__i386__)
    static std::vector<uint8_t> a(k_frame, 1), b(k_frame);
    constexpr int n = 100;
    double total = 0;
    for (int i = 0; i < n; ++i) {
        for (size_t k = 0; k < a.size(); k += 64) {
            _mm_clflush(a.data() + k);
            _mm_clflush(b.data() + k);
        }
        _mm_mfence();
        const double c0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        std::memcpy(b.data(), a.data(), k_frame);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
        total += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    }
    return total * 1e3 / n;
#else
    return 0;
#endif
}

// --- the same ring in plain libusb ---------------------------------------------

// Sixteen bulk-in transfers kept in flight on their own event thread; frames
// are counted by their packets' bytes, and the application's thread waits per
// frame on a condition variable, as a retrieval call does.
class plain_host {
public:
    ~plain_host()
    {
        bool live;
        {
            std::lock_guard<std::mutex> g(m_);
            live = live_ > 0;
        }
        if (live)
            stop();
        quit_ = true;
        if (events_.joinable())
            events_.join();
        for (int i = 0; i < k_ring; ++i) {
            libusb_free_transfer(ring_[i]);
            std::free(buf_[i]);
        }
        if (h_) {
            libusb_release_interface(h_, 0);
            libusb_close(h_);
        }
        if (ctx_)
            libusb_exit(ctx_);
    }

    bool open()
    {
        if (libusb_init(&ctx_) != 0)
            return false;
        h_ = libusb_open_device_with_vid_pid(ctx_, 0x111B, 0x1238);
        if (!h_ || libusb_set_configuration(h_, 1) != 0 || libusb_claim_interface(h_, 0) != 0)
            return false;
        events_ = std::thread([this] {
            while (!quit_.load()) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
            }
        });
        return true;
    }

    bool start()
    {
        stopping_ = false;
        for (int i = 0; i < k_ring; ++i) {
            ring_[i] = libusb_alloc_transfer(0);
            buf_[i] = static_cast<unsigned char *>(std::malloc(k_xfer));
            libusb_fill_bulk_transfer(ring_[i], h_, 0x81, buf_[i], k_xfer, done, this, 6000);
            std::lock_guard<std::mutex> g(m_);
            if (libusb_submit_transfer(ring_[i]) == 0)
                ++live_;
        }
        unsigned char arg[4] = {};
        return command(4, arg, 4);
    }

    void stop()
    {
        stopping_ = true;
        for (auto *t : ring_)
            libusb_cancel_transfer(t);
        unsigned char b = 0xC2;
        command(5, &b, 1);
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait_for(lk, std::chrono::seconds(5), [this] { return live_ == 0; });
    }

    // Waits until more than `seen` frames arrived; returns the frame count.
    uint64_t wait_frames(uint64_t seen)
    {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait_for(lk, std::chrono::seconds(5), [&] { return frames_ > seen; });
        return frames_;
    }

    // Completion time of the transfer that held each frame's last byte.
    std::vector<steady::time_point> frame_times()
    {
        std::lock_guard<std::mutex> g(m_);
        return times_;
    }

private:
    static void LIBUSB_CALL done(libusb_transfer *t)
    {
        auto *self = static_cast<plain_host *>(t->user_data);
        const steady::time_point now = steady::now();
        bool frame = false;
        {
            std::lock_guard<std::mutex> g(self->m_);
            if (t->status == LIBUSB_TRANSFER_COMPLETED) {
                self->pos_ += static_cast<uint64_t>(t->actual_length);
                for (; self->pos_ >= k_packet; self->pos_ -= k_packet) {
                    ++self->frames_;
                    self->times_.push_back(now);
                    frame = true;
                }
            }
            if (self->stopping_.load() || libusb_submit_transfer(t) != 0) {
                --self->live_;
                frame = true;
            }
        }
        if (frame)
            self->cv_.notify_all();
    }

    bool command(uint8_t value, unsigned char *data, uint16_t len)
    {
        if (libusb_control_transfer(h_, 0x22, 0xC2, value, 0, data, len, 1000) != len)
            return false;
        unsigned char status[63];
        return libusb_control_transfer(h_, 0xA2, 0xB0, 0, 0, status, 63, 1000) == 63 &&
               status[0] != 0xFF;
    }

    libusb_context *ctx_ = nullptr;
    libusb_device_handle *h_ = nullptr;
    libusb_transfer *ring_[k_ring] = {};
    unsigned char *buf_[k_ring] = {};
    std::atomic<bool> stopping_{false}, quit_{false};
    std::thread events_;
    std::mutex m_;
    std::condition_variable cv_;
    int live_ = 0;                          // under m_
    uint64_t pos_ = 0;                      // stream bytes into the current packet, under m_
    uint64_t frames_ = 0;                   // under m_
    std::vector<steady::time_point> times_; // under m_
};

// --- CPU per frame --------------------------------------------------------------

constexpr uint32_t k_cpu_fps = 100;
constexpr int k_warm_frames = 10;

struct cpu_round {
    double ms_per_frame = 0;      // process
    double host_ms_per_frame = 0; // the host's threads only
    double app_ms_per_frame = 0;  // the application's thread (this one)
    uint64_t frames = 0;          // frames the host received
    uint64_t streamed = 0;        // frames the camera sent meanwhile
};

bool plain_cpu_round(int frames, cpu_round &out)
{
    close_library();
    plain_host host;
    if (!host.open() || !host.start())
        return false;
    uint64_t seen = 0;
    while (seen < static_cast<uint64_t>(k_warm_frames))
        seen = host.wait_frames(seen);
    const uint64_t s0 = g_cam->frames_streamed();
    const double h0 = host_cpu_seconds();
    const double a0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t f0 = seen;
    while (seen < f0 + static_cast<uint64_t>(frames)) {
        const uint64_t now = host.wait_frames(seen);
        if (now == seen)
            break; // stalled
        seen = now;
    }
    const double c1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double a1 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const double h1 = host_cpu_seconds();
    out.streamed = g_cam->frames_streamed() - s0;
    out.frames = seen - f0;
    host.stop();
    const double n = static_cast<double>(std::max<uint64_t>(out.frames, 1));
    out.ms_per_frame = (c1 - c0) * 1e3 / n;
    out.host_ms_per_frame = (h1 - h0) * 1e3 / n;
    out.app_ms_per_frame = (a1 - a0) * 1e3 / n;
    return out.frames > 0;
}

bool library_cpu_round(int frames, cpu_round &out)
{
    pylox_dev_t *dev = library();
    if (!dev || !pylox_cap_start(dev))
        return false;
    std::vector<uint8_t> buf(k_frame);
    for (int i = 0; i < k_warm_frames; ++i)
        pylox_cap_get_frames(dev, 1, buf.data(), k_frame, nullptr);
    const uint64_t s0 = g_cam->frames_streamed();
    const double h0 = host_cpu_seconds();
    const double a0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    uint64_t got = 0;
    for (int i = 0; i < frames; ++i) {
        const int r = pylox_cap_get_frames(dev, 1, buf.data(), k_frame, nullptr);
        if (r <= 0)
            break;
        got += static_cast<uint64_t>(r);
    }
    const double c1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double a1 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const double h1 = host_cpu_seconds();
    out.streamed = g_cam->frames_streamed() - s0;
    out.frames = got;
    pylox_cap_stop(dev);
    const double n = static_cast<double>(std::max<uint64_t>(got, 1));
    out.ms_per_frame = (c1 - c0) * 1e3 / n;
    out.host_ms_per_frame = (h1 - h0) * 1e3 / n;
    out.app_ms_per_frame = (a1 - a0) * 1e3 / n;
    return got > 0;
}

// Rounds alternate between the plain host and the library so that both see
// the same machine load; the figure is the median of the rounds' differences.
void BM_CpuPerFrame(benchmark::State &state)
{
    const int rounds = static_cast<int>(state.range(0));
    const int frames = static_cast<int>(state.range(1));
    g_cam->set_fps(k_cpu_fps);
    std::vector<double> plain, lib, diff, copy, cold, host_diff, app_diff;
    uint64_t lost = 0;
    for (auto _ : state) {
        for (int r = 0; r < rounds; ++r) {
            cpu_round p, l;
            if (!plain_cpu_round(frames, p) || !library_cpu_round(frames, l)) {
                state.SkipWithError("a capture round failed");
                return;
            }
            plain.push_back(p.ms_per_frame);
            lib.push_back(l.ms_per_frame);
            diff.push_back(l.ms_per_frame - p.ms_per_frame);
            host_diff.push_back(l.host_ms_per_frame - p.host_ms_per_frame);
            app_diff.push_back(l.app_ms_per_frame - p.app_ms_per_frame);
            if (std::getenv("BENCH_ROUNDS"))
                std::fprintf(stderr,
                             "round %d: plain %.3f (host %.3f, app %.3f) library %.3f (host "
                             "%.3f, app %.3f)\n",
                             r, p.ms_per_frame, p.host_ms_per_frame, p.app_ms_per_frame,
                             l.ms_per_frame, l.host_ms_per_frame, l.app_ms_per_frame);
            copy.push_back(memcpy_ms());
            cold.push_back(cold_copy_ms());
            lost += (p.streamed > p.frames + 1 ? p.streamed - p.frames - 1 : 0) +
                    (l.streamed > l.frames + 1 ? l.streamed - l.frames - 1 : 0);
        }
    }
    g_cam->set_fps(0);
    const double d = percentile(diff, 50);
    const double c = percentile(copy, 50);
    state.counters["plain_ms_per_frame"] = percentile(plain, 50);
    state.counters["lib_ms_per_frame"] = percentile(lib, 50);
    state.counters["lib_own_ms_per_frame"] = d;
    state.counters["lib_own_min_ms"] = percentile(diff, 0);
    state.counters["lib_own_max_ms"] = percentile(diff, 100);
    state.counters["memcpy_ms"] = c;
    state.counters["lib_own_copies"] = c > 0 ? d / c : 0;
    state.counters["frames_lost"] = static_cast<double>(lost);
    const double hd = percentile(host_diff, 50);
    state.counters["host_own_ms_per_frame"] = hd;
    state.counters["host_own_min_ms"] = percentile(host_diff, 0);
    state.counters["host_own_max_ms"] = percentile(host_diff, 100);
    state.counters["host_own_copies"] = c > 0 ? hd / c : 0;
    state.counters["app_own_ms_per_frame"] = percentile(app_diff, 50);
    state.counters["app_own_min_ms"] = percentile(app_diff, 0);
    state.counters["app_own_max_ms"] = percentile(app_diff, 100);
    state.counters["cold_copy_ms"] = percentile(cold, 50);
}
BENCHMARK(BM_CpuPerFrame)
    ->ArgNames({"rounds", "frames"})
    ->Args({6, 300})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- latency --------------------------------------------------------------------

constexpr int k_lat_frames = 120;

// Plain libusb: camera's last byte -> completion of the transfer holding it.
bool plain_latency_round(std::vector<double> &lat)
{
    close_library();
    g_cam->set_fps(60);
    const auto before = g_cam->frame_end_times().size();
    plain_host host;
    if (!host.open() || !host.start())
        return false;
    uint64_t seen = 0;
    while (seen < static_cast<uint64_t>(k_lat_frames)) {
        const uint64_t now = host.wait_frames(seen);
        if (now == seen)
            break;
        seen = now;
    }
    host.stop();
    const auto ends = g_cam->frame_end_times();
    const auto times = host.frame_times();
    for (size_t k = 0; k < times.size() && before + k < ends.size(); ++k)
        lat.push_back(ms_between(ends[before + k], times[k]));
    return seen >= static_cast<uint64_t>(k_lat_frames);
}

struct cb_stamp {
    uint16_t idx;
    uint64_t arrived_us;
    steady::time_point at;
};
std::vector<cb_stamp> g_cb_stamps;

void stamp_frame(pylox_dev_t *, pylox_frame_t *f)
{
    g_cb_stamps.push_back({f->info.frame_idx, PYLOX_FRAME_TIME_US(&f->info), steady::now()});
}

// The library: camera's last byte -> frame-ready callback, split at the
// frame's arrival time.
bool library_latency_round(std::vector<double> &lat, std::vector<double> &transport,
                           std::vector<double> &own)
{
    pylox_dev_t *dev = library();
    if (!dev)
        return false;
    g_cam->set_fps(60);
    g_cb_stamps.clear();
    g_cb_stamps.reserve(4 * k_lat_frames);
    pylox_cap_set_callback_on_frame_ready(dev, stamp_frame);
    const auto before = g_cam->frame_end_times().size();
    if (!pylox_cap_start(dev))
        return false;
    const steady::time_point limit = steady::now() + std::chrono::seconds(10);
    while (g_cb_stamps.size() < static_cast<size_t>(k_lat_frames) && steady::now() < limit)
        pylox_cap_wait(dev, 50);
    pylox_cap_stop(dev);
    pylox_cap_set_callback_on_frame_ready(dev, nullptr);
    const auto ends = g_cam->frame_end_times();
    for (const cb_stamp &s : g_cb_stamps) {
        if (before + s.idx >= ends.size())
            continue;
        const steady::time_point end = ends[before + s.idx];
        const steady::time_point arrived{std::chrono::microseconds(s.arrived_us)};
        lat.push_back(ms_between(end, s.at));
        transport.push_back(ms_between(end, arrived));
        own.push_back(ms_between(arrived, s.at));
    }
    return g_cb_stamps.size() >= static_cast<size_t>(k_lat_frames);
}

void BM_Latency60fps(benchmark::State &state)
{
    const int rounds = static_cast<int>(state.range(0));
    std::vector<double> plain, lib, transport, own;
    for (auto _ : state) {
        for (int r = 0; r < rounds; ++r) {
            if (!plain_latency_round(plain) || !library_latency_round(lib, transport, own)) {
                state.SkipWithError("a capture round failed");
                break;
            }
        }
    }
    g_cam->set_fps(0);
    state.counters["frame_period_ms"] = 1000.0 / 60;
    state.counters["plain_median_ms"] = percentile(plain, 50);
    state.counters["plain_p99_ms"] = percentile(plain, 99);
    state.counters["lib_median_ms"] = percentile(lib, 50);
    state.counters["lib_p99_ms"] = percentile(lib, 99);
    state.counters["diff_median_ms"] = percentile(lib, 50) - percentile(plain, 50);
    state.counters["diff_p99_ms"] = percentile(lib, 99) - percentile(plain, 99);
    state.counters["lib_transport_p99_ms"] = percentile(transport, 99);
    state.counters["lib_own_median_ms"] = percentile(own, 50);
    state.counters["lib_own_p99_ms"] = percentile(own, 99);
    state.counters["lib_own_max_ms"] = percentile(own, 100);
}
BENCHMARK(BM_Latency60fps)
    ->ArgName("rounds")
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- throughput at full rate ------------------------------------------------------

BENCHMARK(BM_FrameMemcpy);

void BM_GetFrames(benchmark::State &state)
{
    pylox_dev_t *dev = library();
    g_cam->set_fps(0);
    pylox_cap_start(dev);
    std::vector<uint8_t> buf(k_frame);
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    int64_t frames = 0;
    for (auto _ : state)
        frames += std::max(0, pylox_cap_get_frames(dev, 1, buf.data(), k_frame, nullptr));
    const double p1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    pylox_cap_stop(dev);
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
    pylox_dev_t *dev = library();
    g_cam->set_fps(0);
    pylox_cap_set_callback_on_frame_ready(dev, count_frame);
    pylox_cap_start(dev);
    g_cb_frames = 0;
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state)
        pylox_cap_wait(dev, 10); // delivers what arrives within 10 ms
    const double p1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    pylox_cap_stop(dev);
    pylox_cap_set_callback_on_frame_ready(dev, nullptr);
    const int64_t frames = g_cb_frames.load();
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * k_frame);
    state.counters["process_cpu_ms_per_frame"] = frames ? (p1 - p0) * 1e3 / frames : 0;
}
BENCHMARK(BM_WaitCallback)->UseRealTime()->MinTime(3.0);

// --- stop at full rate ------------------------------------------------------------

constexpr int k_stop_rounds = 30;

// Plain libusb: cancel the ring, send the stop command and its status poll,
// wait until every transfer came back.
bool plain_stop_round(std::vector<double> &ms)
{
    close_library();
    g_cam->set_fps(0);
    plain_host host;
    if (!host.open())
        return false;
    for (int r = 0; r < k_stop_rounds; ++r) {
        if (!host.start())
            return false;
        uint64_t seen = 0;
        while (seen < 8) {
            const uint64_t now = host.wait_frames(seen);
            if (now == seen)
                return false;
            seen = now;
        }
        const auto t0 = steady::now();
        host.stop();
        ms.push_back(ms_between(t0, steady::now()));
    }
    return true;
}

// The library: pylox_cap_stop while frames stream at full rate; with
// `commands`, a second thread reads parameters back to back meanwhile (the
// stop then also waits for the command in progress), and with busy_polls the
// camera answers that many status polls of each read with "busy" first.
// *cmd_ms receives the median time of one of those reads.
bool library_stop_round(std::vector<double> &ms, bool commands, int busy_polls, double *cmd_ms)
{
    pylox_dev_t *dev = library();
    if (!dev)
        return false;
    g_cam->set_fps(0);
    std::atomic<bool> quit{false};
    std::vector<double> cmd;
    std::thread reader;
    if (commands)
        reader = std::thread([&] {
            while (!quit.load()) {
                pylox_param_item_t it[3]{};
                it[0].param_id = PARAM_MOD_FREQ;
                it[1].param_id = PARAM_FRAME_RATE;
                it[2].param_id = PARAM_INTG_TIME;
                if (busy_polls)
                    g_cam->fault_busy(busy_polls);
                const auto t0 = steady::now();
                pylox_param_batch_get(dev, it, 3);
                cmd.push_back(ms_between(t0, steady::now()));
            }
        });
    std::vector<uint8_t> buf(k_frame);
    bool ok = true;
    for (int r = 0; r < k_stop_rounds && ok; ++r) {
        ok = pylox_cap_start(dev) == 1;
        for (int i = 0; ok && i < 8; ++i)
            ok = pylox_cap_get_frames(dev, 1, buf.data(), k_frame, nullptr) > 0;
        const auto t0 = steady::now();
        pylox_cap_stop(dev);
        ms.push_back(ms_between(t0, steady::now()));
    }
    quit = true;
    if (reader.joinable())
        reader.join();
    g_cam->fault_busy(0);
    if (cmd_ms)
        *cmd_ms = percentile(cmd, 50);
    return ok;
}

// How long pylox_cap_stop takes at the camera's full rate, next to the same
// stop in plain libusb, and while another thread sends commands back to back.
void BM_StopFullRate(benchmark::State &state)
{
    std::vector<double> plain, lib, cmds, busy;
    double cmd_ms = 0, busy_cmd_ms = 0;
    for (auto _ : state) {
        if (!plain_stop_round(plain) || !library_stop_round(lib, false, 0, nullptr) ||
            !library_stop_round(cmds, true, 0, &cmd_ms) ||
            !library_stop_round(busy, true, 4, &busy_cmd_ms)) {
            state.SkipWithError("a capture round failed");
            return;
        }
    }
    const auto stops = [&](const std::string &kind, const std::vector<double> &ms) {
        state.counters["stop_" + kind + "_median_ms"] = percentile(ms, 50);
        state.counters["stop_" + kind + "_max_ms"] = percentile(ms, 100);
    };
    stops("plain", plain);
    stops("lib", lib);
    stops("cmds", cmds);
    stops("busy", busy);
    state.counters["param_get_ms"] = cmd_ms;
    state.counters["busy_param_get_ms"] = busy_cmd_ms;
}
BENCHMARK(BM_StopFullRate)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the figures of the comparisons in words after the table.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                runs_.push_back(r);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const Run &r : runs_) {
            auto c = [&](const char *k) {
                const auto it = r.counters.find(k);
                return it == r.counters.end() ? 0.0 : it->second.value;
            };
            if (r.counters.count("lib_own_copies"))
                std::printf("CPU per frame at %u fps (median of rounds): plain libusb %.3f ms, "
                            "library %.3f ms; library's own %.3f ms (rounds %.3f..%.3f) = %.2f "
                            "warm copies of the frame (memcpy %.4f ms); frames lost %.0f\n",
                            k_cpu_fps, c("plain_ms_per_frame"), c("lib_ms_per_frame"),
                            c("lib_own_ms_per_frame"), c("lib_own_min_ms"), c("lib_own_max_ms"),
                            c("lib_own_copies"), c("memcpy_ms"), c("frames_lost"));
            if (r.counters.count("host_own_copies"))
                std::printf("The same from the host's threads only (without the camera's): "
                            "library's own %.3f ms (rounds %.3f..%.3f) = %.2f warm copies\n",
                            c("host_own_ms_per_frame"), c("host_own_min_ms"), c("host_own_max_ms"),
                            c("host_own_copies"));
            if (r.counters.count("app_own_ms_per_frame"))
                std::printf("  of which on the application's thread %.3f ms (rounds %.3f..%.3f) = "
                            "%.2f warm copies = %.2f uncached copies (%.4f ms)\n",
                            c("app_own_ms_per_frame"), c("app_own_min_ms"), c("app_own_max_ms"),
                            c("app_own_ms_per_frame") / c("memcpy_ms"),
                            c("cold_copy_ms") > 0 ? c("app_own_ms_per_frame") / c("cold_copy_ms")
                                                  : 0,
                            c("cold_copy_ms"));
            if (r.counters.count("lib_own_p99_ms"))
                std::printf("Latency at 60 fps, median / p99: plain libusb %.3f / %.3f ms, library "
                            "%.3f / %.3f ms, difference %.3f / %.3f ms; library from the frame's "
                            "arrival to the callback %.3f / %.3f ms (worst %.3f)\n",
                            c("plain_median_ms"), c("plain_p99_ms"), c("lib_median_ms"),
                            c("lib_p99_ms"), c("diff_median_ms"), c("diff_p99_ms"),
                            c("lib_own_median_ms"), c("lib_own_p99_ms"), c("lib_own_max_ms"));
            if (r.counters.count("stop_lib_median_ms")) {
                const double p = c("stop_plain_median_ms");
                std::printf("Stop at full rate, median / worst of %d: plain libusb %.2f / %.2f ms, "
                            "library %.2f / %.2f ms (%.2fx the plain median); with parameter "
                            "reads back to back on another thread (%.2f ms each) %.2f / %.2f ms; "
                            "the same with four busy answers per read (%.2f ms each) %.2f / %.2f "
                            "ms\n",
                            k_stop_rounds, p, c("stop_plain_max_ms"), c("stop_lib_median_ms"),
                            c("stop_lib_max_ms"), p > 0 ? c("stop_lib_median_ms") / p : 0,
                            c("param_get_ms"), c("stop_cmds_median_ms"), c("stop_cmds_max_ms"),
                            c("busy_param_get_ms"), c("stop_busy_median_ms"),
                            c("stop_busy_max_ms"));
            }
        }
    }

private:
    std::vector<Run> runs_;
};

} // namespace

int main(int argc, char **argv)
{
    // The camera is on the bus before the library's first look at it.
    g_cam = vcam::Camera::create();
    g_cam->set_scene(vcam::Scene::box(2000, 1200));
    g_camera_threads = threads_now();
    g_camera_threads.erase(static_cast<pid_t>(gettid()));
    pylox_bench::init_quiet("/tmp/pylox_bench_capture.log");
    if (!library()) {
        std::fprintf(stderr, "no virtual camera: run under umockdev-wrapper\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    close_library();
    pylox_uninit();
    g_cam.reset();
    return 0;
}
