// The replay device: a raw frame file opened through ll_op_fil streams its
// frames to the capture callback in the camera's framing.
#include "support/frame_files.h"
#include "support/log_capture.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace pylox_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

struct event {
    int code;
    std::vector<uint8_t> data;
    steady::time_point at;
};

// Collects every callback of a capture; tests wait on it with deadlines.
class recorder {
public:
    static int sink(pylox_ll_dev_t *dev, int code, const uint8_t *data, int len, void *user)
    {
        auto *self = static_cast<recorder *>(user);
        event e{code, {}, steady::now()};
        if (code == PYLOX_LL_EVT_DATA && data && len > 0)
            e.data.assign(data, data + len);
        else
            e.data.resize(static_cast<size_t>(len)); // records the length of an event
        if (self->hook)
            self->hook(dev, code);
        std::lock_guard<std::mutex> lk(self->mu_);
        self->events_.push_back(std::move(e));
        self->cv_.notify_all();
        return 0;
    }
    // Waits until pred(events) holds or the deadline passes.
    template <class Pred> bool wait_for(std::chrono::milliseconds limit, Pred pred)
    {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, limit, [&] { return pred(events_); });
    }
    bool wait_events(size_t n, std::chrono::milliseconds limit = 5s)
    {
        return wait_for(limit, [n](const std::vector<event> &ev) { return ev.size() >= n; });
    }
    std::vector<event> events()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return events_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lk(mu_);
        events_.clear();
    }
    std::function<void(pylox_ll_dev_t *, int)> hook;

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<event> events_;
};

std::vector<uint16_t> frame_data(int k, size_t samples)
{
    std::vector<uint16_t> v(samples);
    for (size_t i = 0; i < samples; ++i)
        v[i] = static_cast<uint16_t>(k * 1000 + i * 31);
    return v;
}

uint16_t fletcher16(const uint8_t *b, size_t n)
{
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + b[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | s2 << 8);
}

template <class T> T get_le(const std::vector<uint8_t> &b, size_t off)
{
    T v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

class Replay : public ::testing::Test {
protected:
    void TearDown() override
    {
        close();
        if (file_)
            std::fclose(file_);
    }
    // Writes frames of w x h x n samples (frame k holds frame_data(k + 1)),
    // then extra bytes.
    std::string make_file(int frames, int w = 8, int h = 4, int n = 2, int fmt = 2,
                          const char *tag = "PYLOX-E2-R320", const std::string &extra = "")
    {
        const std::string path = dir_.file("replay" + std::to_string(files_++) + ".raw");
        fd_guard fd(path);
        for (int k = 0; k < frames; ++k) {
            const auto f = frame_data(k + 1, static_cast<size_t>(w) * h * n);
            EXPECT_EQ(pylox_frame_save_raw(fd.get(), fmt, f.data(), int(f.size()), w, h, n, tag),
                      1);
        }
        if (!extra.empty()) {
            EXPECT_EQ(::write(fd.get(), extra.data(), extra.size()), ssize_t(extra.size()));
        }
        return path;
    }
    pylox_ll_dev_t *open(const std::string &path, uint32_t kind = PYLOX_LL_KIND_FILE)
    {
        file_ = std::fopen(path.c_str(), "rb");
        EXPECT_NE(file_, nullptr);
        dev_ = pylox_ll_dev_t{};
        dev_.kind = kind;
        dev_.loc.file = file_;
        return pylox_ll_dev_open(&dev_);
    }
    void close()
    {
        if (dev_.priv)
            pylox_ll_dev_close(&dev_);
    }
    void set_fps(uint32_t fps)
    {
        pylox_ll_param_t item{};
        item.id = PARAM_FRAME_RATE;
        item.len = 4;
        std::memcpy(item.val, &fps, 4);
        ASSERT_EQ(pylox_ll_param_set(&dev_, &item, 1), 1);
    }
    bool start() { return pylox_ll_cap_start(&dev_, 0, &recorder::sink, &rec_) != 0; }
    // Waits for the end-of-file event of the current run.
    bool wait_end(std::chrono::milliseconds limit = 5s)
    {
        return rec_.wait_for(limit, [](const std::vector<event> &ev) {
            return !ev.empty() && ev.back().code != PYLOX_LL_EVT_DATA;
        });
    }

    scratch_dir dir_;
    log_capture log_;
    FILE *file_ = nullptr;
    pylox_ll_dev_t dev_{};
    recorder rec_;
    int files_ = 0;
};

// Checks the pairs of a run: each frame is a header then its data, with the
// header fields the camera would send.
void expect_frames(const std::vector<event> &ev, int frames, int w, int h, int n, int idx_step,
                   int first_frame = 1)
{
    const size_t bytes = size_t(2) * w * h * n;
    ASSERT_GE(ev.size(), size_t(2 * frames));
    for (int k = 0; k < frames; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const event &hdr = ev[2 * k];
        const event &data = ev[2 * k + 1];
        ASSERT_EQ(hdr.code, 0);
        ASSERT_EQ(hdr.data.size(), 36u);
        EXPECT_EQ(hdr.data[0], 0xFB);
        EXPECT_EQ(hdr.data[1], 0x98);
        const uint16_t idx = static_cast<uint16_t>((k + 1) * idx_step);
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 2), idx);   // sidx
        EXPECT_EQ(get_le<uint32_t>(hdr.data, 4), bytes); // len
        EXPECT_EQ(get_le<uint32_t>(hdr.data, 8), bytes); // frlen
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 12), idx);  // fridx
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 14), 2);    // frfmt
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 16), w);
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 18), h);
        for (size_t i = 20; i < 32; ++i)
            EXPECT_EQ(hdr.data[i], 0) << "byte " << i;
        EXPECT_EQ(hdr.data[32], 1);
        EXPECT_EQ(hdr.data[33], 0);
        EXPECT_EQ(get_le<uint16_t>(hdr.data, 34), fletcher16(hdr.data.data(), 34));
        ASSERT_EQ(data.code, 0);
        const auto want = frame_data(first_frame + k, size_t(w) * h * n);
        ASSERT_EQ(data.data.size(), bytes);
        EXPECT_EQ(std::memcmp(data.data.data(), want.data(), bytes), 0);
    }
}

TEST_F(Replay, OpenNeedsARawFrameFileOfSixteenSamples)
{
    const std::string good = make_file(2);
    // Not the file back end's kind, or no file in the record.
    pylox_ll_dev_t usb{};
    usb.kind = PYLOX_LL_KIND_USB;
    usb.loc.file = std::fopen(good.c_str(), "rb");
    EXPECT_EQ(ll_op_fil.dev_open(&usb), nullptr);
    EXPECT_EQ(static_cast<void *>(usb.priv), nullptr);
    std::fclose(usb.loc.file);
    pylox_ll_dev_t empty{};
    empty.kind = PYLOX_LL_KIND_FILE;
    EXPECT_EQ(ll_op_fil.dev_open(&empty), nullptr);
    // A listed USB record of kind "any" holds a USB location, not a file.
    pylox_ll_dev_t listed{};
    listed.kind = PYLOX_LL_KIND_ANY;
    listed.loc.usb = {1, 2, 3, 3};
    listed.located = 1;
    EXPECT_EQ(ll_op_fil.dev_open(&listed), nullptr);

    // A distance file, frames of 15 samples, a header alone, an incomplete first frame.
    std::vector<std::string> bad = {dir_.file("dist"), make_file(1, 3, 5, 1), dir_.file("hdr"),
                                    dir_.file("cut")};
    write_all(bad[0], "TQ_DIST,F32,4,4\n" + std::string(64, '\0'));
    write_all(bad[2], "TQ_RAW,U16,8,4,2,T\n");
    write_all(bad[3], "TQ_RAW,U16,8,4,2,T\n" + std::string(10, '\1'));
    for (const std::string &path : bad) {
        SCOPED_TRACE(path);
        FILE *f = std::fopen(path.c_str(), "rb");
        pylox_ll_dev_t d{};
        d.kind = PYLOX_LL_KIND_FILE;
        d.loc.file = f;
        EXPECT_EQ(pylox_ll_dev_open(&d), nullptr);
        EXPECT_EQ(static_cast<void *>(d.priv), nullptr);
        EXPECT_EQ(static_cast<const pylox_ll_op_t *>(d.ops), nullptr);
        std::fclose(f);
    }

    // Kind "any" falls through to the file; the caller's file position does
    // not matter.
    file_ = std::fopen(good.c_str(), "rb");
    ASSERT_EQ(std::fseek(file_, 50, SEEK_SET), 0);
    char skip[8];
    ASSERT_EQ(std::fread(skip, 1, 8, file_), 8u);
    dev_.kind = PYLOX_LL_KIND_ANY;
    dev_.loc.file = file_;
    ASSERT_EQ(pylox_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(uint32_t(dev_.kind), uint32_t(PYLOX_LL_KIND_FILE));
    EXPECT_EQ(static_cast<const pylox_ll_op_t *>(dev_.ops), &ll_op_fil);
    EXPECT_NE(static_cast<void *>(dev_.priv), nullptr);
    EXPECT_TRUE(
        log_.has("[file_ll_dev_open] open file dev: prod = PYLOX-E2-R320, WxHxN = 8x4x2\n"));
    // Opening it twice would start a second event thread.
    EXPECT_EQ(ll_op_fil.dev_open(&dev_), nullptr);
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_end());
    expect_frames(rec_.events(), 2, 8, 4, 2, 1);

    pylox_ll_dev_close(&dev_);
    EXPECT_EQ(static_cast<void *>(dev_.priv), nullptr);
    EXPECT_TRUE(log_.has("[file_ll_dev_close] stop evt thread...\n"));
    ll_op_fil.dev_close(&dev_);
    EXPECT_TRUE(log_.has("[file_ll_dev_close] device no need to closed!\n"));
    // The file still belongs to its opener and can open again.
    ASSERT_EQ(pylox_ll_dev_open(&dev_), &dev_);
}

TEST_F(Replay, NeverListedNorOpenedByDescriptor)
{
    const std::string path = make_file(1);
    file_ = std::fopen(path.c_str(), "rb");
    dev_.kind = PYLOX_LL_KIND_FILE;
    dev_.loc.file = file_;
    EXPECT_EQ(ll_op_fil.dev_open_by_fd(&dev_, ::fileno(file_)), nullptr);
    EXPECT_EQ(pylox_ll_dev_open_by_fd(&dev_, ::fileno(file_)), nullptr);
    EXPECT_EQ(static_cast<void *>(dev_.priv), nullptr);
    pylox_ll_dev_t list[4] = {};
    EXPECT_EQ(ll_op_fil.dev_list(list, 4), 0);
    const int n = pylox_ll_dev_list(list, 4);
    for (int i = 0; i < n; ++i)
        EXPECT_NE(uint32_t(list[i].kind), uint32_t(PYLOX_LL_KIND_FILE));
}

TEST_F(Replay, EndOfFileOnceThenRestartFromFrameOne)
{
    ASSERT_EQ(open(make_file(3)), &dev_);
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_end());
    auto ev = rec_.events();
    ASSERT_EQ(ev.size(), 7u);
    expect_frames(ev, 3, 8, 4, 2, 1);
    EXPECT_EQ(ev[6].code, PYLOX_LL_EVT_CANCELLED);
    EXPECT_EQ(ev[6].data.size(), 0u);
    EXPECT_TRUE(log_.has("[_ll_event_loop] stop capture: file EOF met\n"));
    // Nothing follows the end of the file.
    EXPECT_FALSE(rec_.wait_events(8, 50ms));

    rec_.clear();
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_end());
    ev = rec_.events();
    ASSERT_EQ(ev.size(), 7u);
    expect_frames(ev, 3, 8, 4, 2, 1);
    EXPECT_EQ(ev[6].code, PYLOX_LL_EVT_CANCELLED);
    EXPECT_EQ(log_.count("file EOF met"), 2);
}

TEST_F(Replay, TruncatedLastFrameStopsWithAnError)
{
    ASSERT_EQ(open(make_file(2, 8, 4, 2, 2, "T", std::string(40, 'z'))), &dev_);
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_end());
    const auto ev = rec_.events();
    ASSERT_EQ(ev.size(), 5u);
    expect_frames(ev, 2, 8, 4, 2, 1);
    EXPECT_EQ(ev[4].code, PYLOX_LL_EVT_ERROR);
    EXPECT_EQ(ev[4].data.size(), 0u);
    EXPECT_TRUE(log_.has("[_ll_event_loop] load frames from file failed: len=40\n")) << log_.text();
    EXPECT_FALSE(rec_.wait_events(6, 50ms));
}

TEST_F(Replay, ParametersFrameRateAndProductTag)
{
    ASSERT_EQ(open(make_file(1, 8, 4, 2, 2, "PYLOX-E2-AB")), &dev_); // 11 characters
    pylox_ll_param_t items[3] = {};
    items[0].id = PARAM_INFO_PRODUCT;
    items[1].id = PARAM_FRAME_RATE;
    items[1].len = 77;
    items[2].id = PARAM_INFO_SERIAL;
    std::memset(items[2].val, 0xEE, sizeof items[2].val);
    ASSERT_EQ(pylox_ll_param_get(&dev_, items, 3), 1);
    EXPECT_EQ(items[0].len, 11);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(items[0].val), 11), "PYLOX-E2-AB");
    EXPECT_EQ(items[0].val[11], 0);
    EXPECT_EQ(get_le<uint32_t>(std::vector<uint8_t>(items[1].val, items[1].val + 4), 0), 0u);
    EXPECT_EQ(items[1].len, 77) << "the length byte of the rate is left alone";
    for (uint8_t b : items[2].val)
        EXPECT_EQ(b, 0);

    set_fps(30);
    EXPECT_TRUE(log_.has("[file_ll_param_set] file replay set fps to 30\n"));
    ASSERT_EQ(pylox_ll_param_get(&dev_, &items[1], 1), 1);
    uint32_t fps = 0;
    std::memcpy(&fps, items[1].val, 4);
    EXPECT_EQ(fps, 30u);
    close();
    std::fclose(file_);

    ASSERT_EQ(open(make_file(1, 8, 4, 2, 2, "PYLOX-E2-ABCDEFGHIJK")), &dev_); // 20 characters
    items[0].len = 0;
    ASSERT_EQ(pylox_ll_param_get(&dev_, items, 1), 1);
    EXPECT_EQ(items[0].len, 18);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(items[0].val), 18), "PYLOX-E2-ABCDEFGHI");
    close();
    // A closed record refuses everything that needs the device.
    EXPECT_EQ(pylox_ll_param_get(&dev_, items, 1), 0);
    EXPECT_EQ(pylox_ll_param_set(&dev_, items, 1), 0);
    EXPECT_EQ(pylox_ll_cap_start(&dev_, 0, &recorder::sink, &rec_), 0);
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 0);
    EXPECT_EQ(pylox_ll_dev_reset(&dev_, 0), 0);
    // Commands and registers are accepted and ignored on any record.
    uint32_t regs[2] = {5, 6};
    EXPECT_EQ(ll_op_fil.exe_cmd(nullptr, 0, 1, 2, regs, 8, 100), 1);
    EXPECT_EQ(ll_op_fil.reg_write(nullptr, 0, 0, regs, 2), 1);
    EXPECT_EQ(ll_op_fil.reg_read(nullptr, 0, 0, regs, 2), 1);
    EXPECT_EQ(regs[0], 5u);
    EXPECT_EQ(ll_op_fil.tx_data(nullptr, regs, 8), 0);
}

// Pacing: the intervals between frame headers at a set frame rate.
std::vector<double> header_intervals_ms(const std::vector<event> &ev)
{
    std::vector<steady::time_point> t;
    for (const event &e : ev)
        if (e.code == 0 && e.data.size() == 36)
            t.push_back(e.at);
    std::vector<double> d;
    for (size_t i = 1; i < t.size(); ++i)
        d.push_back(std::chrono::duration<double, std::milli>(t[i] - t[i - 1]).count());
    return d;
}

TEST_F(Replay, PacedByTheFrameRate)
{
    ASSERT_EQ(open(make_file(6)), &dev_);
    for (const auto &[fps, period] : {std::pair{25u, 40.0}, {3u, 333.0}}) {
        SCOPED_TRACE(fps);
        set_fps(fps);
        const int frames = fps == 3 ? 3 : 6;
        rec_.clear();
        ASSERT_TRUE(start());
        ASSERT_TRUE(rec_.wait_events(size_t(2 * frames), 5s));
        if (fps == 3) {
            ASSERT_EQ(pylox_ll_cap_stop(&dev_), 1);
        }
        const auto d = header_intervals_ms(rec_.events());
        ASSERT_GE(d.size(), size_t(frames - 1));
        // Pacing follows a deadline per frame, so a late frame is followed by
        // a shorter gap: the mean keeps the period, no gap collapses.
        double sum = 0;
        for (size_t i = 0; i < size_t(frames - 1); ++i) {
            EXPECT_GE(d[i], period / 2) << "interval " << i;
            sum += d[i];
        }
        EXPECT_GE(sum / (frames - 1), period - 2.0);
        EXPECT_LT(sum / (frames - 1), period + 30.0);
        if (fps == 25) {
            ASSERT_TRUE(wait_end());
        }
    }
    // Rate 0: as fast as the file can be read.
    set_fps(0);
    rec_.clear();
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_end(2s));
    const auto fast = header_intervals_ms(rec_.events());
    double total = 0;
    for (double ms : fast)
        total += ms;
    EXPECT_LT(total / std::max<size_t>(1, fast.size()), 20.0);
}

TEST_F(Replay, StoppedDeviceWaitsQuietlyAndWakesAtOnce)
{
    ASSERT_EQ(open(make_file(3)), &dev_);
    set_fps(1); // a frame period of one second
    // While stopped the event thread does not burn a processor.
    timespec c0{}, c1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    EXPECT_FALSE(rec_.wait_events(1, 200ms));
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    const double cpu_ms = (c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 50.0);

    // A start is seen well within a frame period, and so are stop and close
    // in the middle of the wait for the next frame.
    const auto t0 = steady::now();
    ASSERT_TRUE(start());
    ASSERT_TRUE(rec_.wait_events(2, 500ms));
    ASSERT_EQ(pylox_ll_cap_stop(&dev_), 1);
    rec_.clear();
    ASSERT_TRUE(start()); // restarts from frame 1 without waiting out the period
    ASSERT_TRUE(rec_.wait_events(2, 500ms));
    expect_frames(rec_.events(), 1, 8, 4, 2, 1);
    close();
    EXPECT_LT(steady::now() - t0, 800ms);
}

TEST_F(Replay, ResetRewindsAndAbortStops)
{
    ASSERT_EQ(open(make_file(3)), &dev_);
    set_fps(20);
    ASSERT_TRUE(start());
    ASSERT_TRUE(rec_.wait_events(2));
    ASSERT_EQ(pylox_ll_dev_reset(&dev_, 7), 1);
    ASSERT_TRUE(rec_.wait_events(4));
    auto ev = rec_.events();
    ev.erase(ev.begin(), ev.begin() + 2);
    expect_frames(ev, 1, 8, 4, 2, 1); // frame 1 again
    pylox_ll_cap_abort(&dev_);
    ASSERT_EQ(pylox_ll_cap_stop(&dev_), 1);
    const size_t n = rec_.events().size();
    EXPECT_FALSE(rec_.wait_events(n + 1, 150ms)) << "frames after the stop";
}

TEST_F(Replay, CallbackMayRestartOrAbortTheCapture)
{
    ASSERT_EQ(open(make_file(2)), &dev_);
    // Restart from within the callback on the end of the file, twice, then
    // abort the way the capture layer does.
    int ends = 0;
    rec_.hook = [&](pylox_ll_dev_t *dev, int code) {
        if (code == PYLOX_LL_EVT_CANCELLED && ++ends < 3)
            EXPECT_EQ(pylox_ll_cap_start(dev, 0, &recorder::sink, &rec_), 1);
        else if (code == PYLOX_LL_EVT_CANCELLED)
            pylox_ll_cap_abort(dev);
    };
    ASSERT_TRUE(start());
    ASSERT_TRUE(rec_.wait_for(5s, [](const std::vector<event> &ev) {
        int n = 0;
        for (const event &e : ev)
            n += e.code == PYLOX_LL_EVT_CANCELLED;
        return n == 3;
    }));
    const auto ev = rec_.events();
    ASSERT_EQ(ev.size(), 15u);
    for (int run = 0; run < 3; ++run) {
        const std::vector<event> part(ev.begin() + 5 * run, ev.begin() + 5 * run + 5);
        expect_frames(part, 2, 8, 4, 2, 1);
        EXPECT_EQ(part[4].code, PYLOX_LL_EVT_CANCELLED);
    }
    EXPECT_FALSE(rec_.wait_events(16, 50ms));
}

TEST_F(Replay, IndependentOfTheExportedLoader)
{
    // Loading another raw file while a replay runs does not disturb either.
    ASSERT_EQ(open(make_file(5)), &dev_);
    set_fps(200);
    const std::string other = make_file(3, 4, 4, 1, 2, "OTHER");
    ASSERT_TRUE(start());
    fd_guard fd(other, O_RDONLY);
    std::vector<uint16_t> got(16);
    int k = 0;
    while (pylox_frame_load_raw(fd.get(), got.data(), 16, nullptr, nullptr, nullptr, nullptr, 0) ==
           16) {
        EXPECT_EQ(got, frame_data(++k, 16));
    }
    EXPECT_EQ(k, 3);
    ASSERT_TRUE(wait_end());
    const auto ev = rec_.events();
    ASSERT_EQ(ev.size(), 11u);
    expect_frames(ev, 5, 8, 4, 2, 1);
}

} // namespace
