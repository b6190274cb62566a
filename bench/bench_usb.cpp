// Streaming throughput of the USB back end from the virtual camera at full
// rate (fps 0): MB/s delivered to the capture callback and process CPU time
// per MB, next to a plain libusb host with the same ring of sixteen
// 153,600-byte transfers on the same camera, which is the floor that the
// emulation itself sets. The camera's own threads run in this process, so
// both CPU figures include the emulation.
//
// Next to it, how long capture start and stop wait for the device while a
// second thread issues commands back to back (register reads and parameter
// reads, as a control loop would), at 30 fps and at full rate: the median and
// the worst of ten starts and stops, in milliseconds and in command times (the
// median time of one command of that thread, measured in the same run).
//
// Run under umockdev (release preset):
//   umockdev-wrapper build/release/bench/bench_usb
#include <pylox/pylox_ll.h>
#include <vcam/vcam.h>

#include <benchmark/benchmark.h>
#include <libusb-1.0/libusb.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kBytesPerIteration = 64ull << 20;
constexpr int kRing = 16;
constexpr int kLen = 153600;

double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Bytes seen by a data sink, with a wait for a target count.
struct Meter {
    std::mutex m;
    std::condition_variable cv;
    uint64_t bytes = 0;

    void add(int n)
    {
        std::lock_guard<std::mutex> g(m);
        bytes += static_cast<uint64_t>(n);
        cv.notify_all();
    }
    uint64_t now()
    {
        std::lock_guard<std::mutex> g(m);
        return bytes;
    }
    bool wait_for_bytes(uint64_t target)
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::seconds(30), [&] { return bytes >= target; });
    }
};

// Streams iterations of kBytesPerIteration and reports rate and CPU per MB.
template <typename Start, typename Stop>
void measure(benchmark::State &st, Meter &meter, Start start, Stop stop)
{
    if (!start()) {
        st.SkipWithError("stream did not start");
        return;
    }
    if (!meter.wait_for_bytes(16ull << 20)) { // warm-up
        stop();
        st.SkipWithError("no data");
        return;
    }
    const uint64_t b0 = meter.now();
    const double c0 = cpu_seconds();
    for (auto _ : st) {
        if (!meter.wait_for_bytes(meter.now() + kBytesPerIteration)) {
            st.SkipWithError("stream stalled");
            break;
        }
    }
    const double cpu = cpu_seconds() - c0;
    const uint64_t got = meter.now() - b0;
    stop();
    st.SetBytesProcessed(static_cast<int64_t>(got));
    st.counters["cpu_ms_per_MB"] = cpu * 1000.0 / (static_cast<double>(got) / 1e6);
}

int on_capture(pylox_ll_dev_t *, int event, const uint8_t *, int len, void *user)
{
    if (event == PYLOX_LL_EVT_DATA)
        static_cast<Meter *>(user)->add(len);
    return 0;
}

void BM_usb_backend(benchmark::State &st)
{
    pylox_ll_dev_t dev{};
    dev.kind = PYLOX_LL_KIND_USB;
    if (!pylox_ll_dev_open(&dev)) {
        st.SkipWithError("no camera");
        return;
    }
    Meter meter;
    measure(
        st, meter, [&] { return pylox_ll_cap_start(&dev, 0, on_capture, &meter) == 1; },
        [&] { pylox_ll_cap_stop(&dev); });
    pylox_ll_dev_close(&dev); // reaps the cancelled ring first
}

// --- the same ring in plain libusb ------------------------------------------

struct Plain {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    libusb_transfer *ring[kRing] = {};
    unsigned char *buf[kRing] = {};
    std::atomic<bool> stopping{false}, quit{false};
    std::atomic<int> live{0};
    std::thread events;
    Meter *meter = nullptr;

    static void LIBUSB_CALL done(libusb_transfer *t)
    {
        auto *self = static_cast<Plain *>(t->user_data);
        if (t->status == LIBUSB_TRANSFER_COMPLETED)
            self->meter->add(t->actual_length);
        if (self->stopping.load() || libusb_submit_transfer(t) != 0)
            --self->live;
    }
    bool command(uint8_t value, unsigned char *data, uint16_t len)
    {
        if (libusb_control_transfer(h, 0x22, 0xC2, value, 0, data, len, 1000) != len)
            return false;
        unsigned char status[63];
        return libusb_control_transfer(h, 0xA2, 0xB0, 0, 0, status, 63, 1000) == 63 &&
               status[0] != 0xFF;
    }
    bool open()
    {
        if (libusb_init(&ctx) != 0)
            return false;
        h = libusb_open_device_with_vid_pid(ctx, 0x111B, 0x1238);
        if (!h || libusb_set_configuration(h, 1) != 0 || libusb_claim_interface(h, 0) != 0)
            return false;
        events = std::thread([this] {
            while (!quit.load()) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
        return true;
    }
    bool start()
    {
        stopping = false;
        for (int i = 0; i < kRing; ++i) {
            ring[i] = libusb_alloc_transfer(0);
            buf[i] = static_cast<unsigned char *>(std::malloc(kLen));
            libusb_fill_bulk_transfer(ring[i], h, 0x81, buf[i], kLen, done, this, 6000);
            if (libusb_submit_transfer(ring[i]) == 0)
                ++live;
        }
        unsigned char arg[4] = {};
        return command(4, arg, 4);
    }
    void stop()
    {
        stopping = true;
        for (auto *t : ring)
            libusb_cancel_transfer(t);
        unsigned char b = 0xC2;
        command(5, &b, 1);
        while (live.load() > 0)
            std::this_thread::yield();
    }
    ~Plain()
    {
        quit = true;
        if (events.joinable())
            events.join();
        for (int i = 0; i < kRing; ++i) {
            libusb_free_transfer(ring[i]);
            std::free(buf[i]);
        }
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        if (ctx)
            libusb_exit(ctx);
    }
};

void BM_plain_libusb(benchmark::State &st)
{
    Plain host;
    if (!host.open()) {
        st.SkipWithError("no camera");
        return;
    }
    Meter meter;
    host.meter = &meter;
    measure(
        st, meter, [&] { return host.start(); }, [&] { host.stop(); });
}

BENCHMARK(BM_plain_libusb)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_usb_backend)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// --- start and stop behind back-to-back commands ---------------------------------

std::shared_ptr<vcam::Camera> g_cam;

using steady = std::chrono::steady_clock;

double ms_between(steady::time_point a, steady::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void BM_start_stop_behind_commands(benchmark::State &st)
{
    constexpr int kRounds = 10;
    g_cam->set_fps(static_cast<uint32_t>(st.range(0)));
    pylox_ll_dev_t dev{};
    dev.kind = PYLOX_LL_KIND_USB;
    if (!pylox_ll_dev_open(&dev)) {
        st.SkipWithError("no camera");
        return;
    }
    Meter meter;
    std::atomic<bool> quit{false};
    std::atomic<int> failed{0};
    std::vector<double> cmd_ms;
    std::thread commands([&] {
        for (int i = 0; !quit.load(); ++i) {
            const auto t0 = steady::now();
            bool ok;
            if (i % 2) {
                uint32_t vals[20];
                ok = pylox_ll_reg_read(&dev, 1, 0, vals, 20) == 1;
            } else {
                pylox_ll_param_t items[2] = {};
                items[0].id = 2;
                items[1].id = 3;
                ok = pylox_ll_param_get(&dev, items, 2) == 1;
            }
            cmd_ms.push_back(ms_between(t0, steady::now()));
            failed += !ok;
        }
    });
    std::vector<double> start_ms, stop_ms;
    for (auto _ : st) {
        for (int r = 0; r < kRounds; ++r) {
            auto t0 = steady::now();
            const bool started = pylox_ll_cap_start(&dev, 0, on_capture, &meter) == 1;
            start_ms.push_back(ms_between(t0, steady::now()));
            if (!started || !meter.wait_for_bytes(meter.now() + (4ull << 20)))
                ++failed;
            t0 = steady::now();
            failed += pylox_ll_cap_stop(&dev) != 1;
            stop_ms.push_back(ms_between(t0, steady::now()));
        }
    }
    quit = true;
    commands.join();
    pylox_ll_dev_close(&dev);
    g_cam->set_fps(0);
    if (failed.load())
        st.SkipWithError("a command, start or stop failed");
    st.counters["cmd_ms"] = median(cmd_ms);
    st.counters["start_med_ms"] = median(start_ms);
    st.counters["start_max_ms"] = *std::max_element(start_ms.begin(), start_ms.end());
    st.counters["stop_med_ms"] = median(stop_ms);
    st.counters["stop_max_ms"] = *std::max_element(stop_ms.begin(), stop_ms.end());
}
BENCHMARK(BM_start_stop_behind_commands)
    ->ArgName("fps")
    ->Arg(30)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Prints the back end's figures as ratios of the plain libusb host's, each
// the mean over the repetitions of the run.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            if (r.counters.count("stop_max_ms")) {
                latencies_.push_back(r);
                continue;
            }
            const auto bytes = r.counters.find("bytes_per_second");
            const auto cpu = r.counters.find("cpu_ms_per_MB");
            if (bytes == r.counters.end() || cpu == r.counters.end())
                continue;
            auto &f = figures_[r.run_name.function_name];
            f.mb_s += bytes->second.value / 1e6;
            f.cpu += cpu->second.value;
            ++f.n;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const Run &r : latencies_) {
            auto c = [&](const char *k) { return r.counters.at(k).value; };
            const double cmd = c("cmd_ms");
            std::printf("%s: one command %.1f ms; stop median %.1f ms (%.1f commands), worst "
                        "%.1f ms (%.1f commands); start median %.1f ms, worst %.1f ms\n",
                        r.benchmark_name().c_str(), cmd, c("stop_med_ms"), c("stop_med_ms") / cmd,
                        c("stop_max_ms"), c("stop_max_ms") / cmd, c("start_med_ms"),
                        c("start_max_ms"));
        }
        const auto base = figures_.find("BM_plain_libusb");
        const auto ours = figures_.find("BM_usb_backend");
        if (base == figures_.end() || ours == figures_.end())
            return;
        const double b_rate = base->second.mb_s / base->second.n;
        const double b_cpu = base->second.cpu / base->second.n;
        const double o_rate = ours->second.mb_s / ours->second.n;
        const double o_cpu = ours->second.cpu / ours->second.n;
        std::printf("plain libusb: %.1f MB/s, %.3f ms CPU per MB (mean of %d)\n", b_rate, b_cpu,
                    base->second.n);
        std::printf("USB back end: %.1f MB/s (%.2f of plain), %.3f ms CPU per MB (%.2f of plain)"
                    " (mean of %d)\n",
                    o_rate, o_rate / b_rate, o_cpu, o_cpu / b_cpu, ours->second.n);
    }

private:
    struct sums {
        double mb_s = 0, cpu = 0;
        int n = 0;
    };
    std::map<std::string, sums> figures_;
    std::vector<Run> latencies_;
};

} // namespace

int main(int argc, char **argv)
{
    const char *pre = std::getenv("LD_PRELOAD");
    if (!pre || !std::strstr(pre, "umockdev")) {
        std::fprintf(stderr, "run under umockdev-wrapper: the virtual camera needs its bus\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    vcam::CameraConfig cfg;
    cfg.fps = 0;
    g_cam = vcam::Camera::create(cfg); // before the first libusb_init
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    g_cam.reset();
    return 0;
}
