// Life cycle, capture and retrieval against recorded files played back
// through the replay device.
#include "support/log_capture.h"
#include "support/raw_file.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

using namespace pylox_test;
using namespace std::chrono_literals;

namespace {

raw_file_layout small_layout()
{
    raw_file_layout s;
    s.width = 32;
    s.height = 24;
    return s;
}

size_t frame_bytes(const raw_file_layout &s)
{
    return static_cast<size_t>(s.width) * s.height * s.count * 2;
}

class ReplayCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        pylox_init(log_.path().c_str());        // the library's log is the capture's
        tq_log_enable(0, TQ_LOG_NONE, nullptr); // keep the console quiet
    }
    void TearDown() override
    {
        if (dev_)
            pylox_dev_close(dev_);
        pylox_uninit();
        for (const auto &f : files_)
            std::filesystem::remove(f);
    }
    // Writes a file and opens it as the default device.
    pylox_dev_t *open(const raw_file_layout &lay, int frames, size_t cut_last = 0)
    {
        files_.push_back(scratch_path("pylox_replay"));
        write_raw_file(files_.back(), lay, frames, cut_last);
        dev_ = pylox_dev_open_replay(files_.back().c_str());
        return dev_;
    }
    void set_fps(uint32_t fps)
    {
        pylox_param_item_t it{};
        it.param_id = PARAM_FRAME_RATE;
        it.param_val_len = 4;
        std::memcpy(it.param_val, &fps, 4);
        ASSERT_EQ(pylox_param_batch_set(dev_, &it, 1), 1);
    }
    bool frame_is(const uint8_t *p, const raw_file_layout &lay, int k)
    {
        const std::vector<uint16_t> want = raw_frame(lay, k);
        return std::memcmp(p, want.data(), want.size() * 2) == 0;
    }

    log_capture log_{TQ_LOG_DBG, "pylox_replay_log"};
    std::vector<std::string> files_;
    pylox_dev_t *dev_ = nullptr;
};

TEST_F(ReplayCapture, OpenMissingAndGoodFiles)
{
    EXPECT_EQ(pylox_dev_open_replay("/no/such/file.raw"), nullptr);
    pylox_dev_t *dev = open(small_layout(), 3);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->kind, static_cast<uint32_t>(PYLOX_LL_KIND_FILE));
    EXPECT_STREQ(dev->product, "PYLOX-E2-R320");
    ASSERT_NE(dev->ctx, nullptr);
    EXPECT_EQ(dev->ctx->is_open, 1);
    EXPECT_EQ(dev->ctx->stop_req, 1u);
    EXPECT_STREQ(dev->path_prefix, pylox_path_get());

    // The default handle serves one device at a time.
    const std::string second = scratch_path("pylox_replay");
    files_.push_back(second);
    write_raw_file(second, small_layout(), 1);
    EXPECT_EQ(pylox_dev_open_replay(second.c_str()), nullptr);
    EXPECT_EQ(dev->ctx->is_open, 1);

    pylox_dev_close(dev);
    EXPECT_EQ(dev->ctx, nullptr);
    dev_ = nullptr;
    dev_ = pylox_dev_open_replay(second.c_str());
    EXPECT_NE(dev_, nullptr);
}

TEST_F(ReplayCapture, UnknownSensorFamilyFailsToOpen)
{
    raw_file_layout lay = small_layout();
    lay.tag = "PYLOX-Q9-R320";
    EXPECT_EQ(open(lay, 2), nullptr);
    dev_ = nullptr;
    // Nothing is left behind: the default handle opens again.
    EXPECT_NE(open(small_layout(), 2), nullptr);
}

TEST_F(ReplayCapture, ResetChecksItsTarget)
{
    ASSERT_NE(open(small_layout(), 2), nullptr);
    EXPECT_EQ(pylox_dev_reset(dev_, 9), 0);
    EXPECT_EQ(pylox_dev_reset(dev_, -1), 0);
    EXPECT_EQ(pylox_dev_reset(dev_, 0), 1);
    EXPECT_EQ(pylox_dev_reset(nullptr, 0), 0);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(ReplayCapture, FrameBufferSizes)
{
    ASSERT_NE(open(small_layout(), 4), nullptr);
    int size = -1;
    void *buf = &size;
    EXPECT_EQ(pylox_cap_get_frame_buffer(dev_, &buf, &size), 1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 10 * PYLOX_CAP_FRAME_UNIT);

    ASSERT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 307199), 1);
    pylox_cap_get_frame_buffer(dev_, nullptr, &size);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(pylox_cap_start(dev_), 0);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);

    ASSERT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 614400), 1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 1);
    EXPECT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 10 * PYLOX_CAP_FRAME_UNIT), 0);
    pylox_cap_get_frame_buffer(dev_, nullptr, &size);
    EXPECT_EQ(size, 614400);
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);
}

TEST_F(ReplayCapture, FramesArriveBackToBackAndAShortBufferIsNeverOverrun)
{
    const raw_file_layout lay = small_layout();
    const size_t fb = frame_bytes(lay);
    ASSERT_NE(open(lay, 5), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);

    // Room for two frames plus a guard area that must stay untouched.
    std::vector<uint8_t> buf(2 * fb + 64, 0xA5);
    pylox_frame_info_t info{};
    EXPECT_EQ(pylox_cap_get_frames(dev_, 3, buf.data(), static_cast<int>(2 * fb), &info), 3);
    EXPECT_TRUE(frame_is(buf.data(), lay, 0));
    EXPECT_TRUE(frame_is(buf.data() + fb, lay, 1));
    for (size_t i = 2 * fb; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0xA5) << i;
    EXPECT_EQ(info.frame_size, fb);
    EXPECT_EQ(info.width, 32u);
    EXPECT_EQ(info.height, 24u);
    EXPECT_EQ(info.depth, 8);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.frame_idx, 1);

    // The remaining frames are still there, in order.
    std::vector<uint8_t> two(2 * fb);
    EXPECT_EQ(pylox_cap_get_frames(dev_, 2, two.data(), static_cast<int>(two.size()), &info), 2);
    EXPECT_TRUE(frame_is(two.data(), lay, 3));
    EXPECT_TRUE(frame_is(two.data() + fb, lay, 4));
    EXPECT_EQ(info.frame_idx, 4);

    // End of file stopped the replay: nothing more comes.
    EXPECT_EQ(pylox_cap_get_frames(dev_, 1, two.data(), static_cast<int>(two.size()), &info), -2);
    EXPECT_EQ(pylox_cap_get_frames(dev_, 0, two.data(), 10, &info), -1);
    EXPECT_EQ(pylox_cap_get_frames(nullptr, 1, two.data(), 10, &info), -1);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(ReplayCapture, FrameIndicesFollowTheFilePosition)
{
    raw_file_layout lay = small_layout();
    lay.u32 = true;
    ASSERT_NE(open(lay, 3), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> buf(frame_bytes(lay));
    for (int k = 0; k < 3; ++k) {
        pylox_frame_info_t info{};
        ASSERT_EQ(pylox_cap_get_frames(dev_, 1, buf.data(), static_cast<int>(buf.size()), &info),
                  1);
        EXPECT_EQ(info.frame_idx, 2 * (k + 1));
        EXPECT_TRUE(frame_is(buf.data(), lay, k)); // 32-bit samples come back as 16 bits
    }
}

TEST_F(ReplayCapture, RestartBeginsAgainAtTheFirstFrame)
{
    const raw_file_layout lay = small_layout();
    ASSERT_NE(open(lay, 3), nullptr);
    set_fps(50);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> buf(frame_bytes(lay));
    pylox_frame_info_t info{};
    ASSERT_EQ(pylox_cap_get_frames(dev_, 2, nullptr, 0, &info), 2);
    ASSERT_EQ(pylox_cap_start(dev_), 1); // stops and starts again
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 1);
    EXPECT_EQ(dev_->ctx->timeout_cnt, 0u);
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, buf.data(), static_cast<int>(buf.size()), &info), 1);
    EXPECT_EQ(info.frame_idx, 1);
    EXPECT_TRUE(frame_is(buf.data(), lay, 0));
}

TEST_F(ReplayCapture, SnapshotStartsAndStopsOnlyWhatItStarted)
{
    const raw_file_layout lay = small_layout();
    ASSERT_NE(open(lay, 4), nullptr);
    std::vector<uint8_t> buf(frame_bytes(lay));
    pylox_frame_info_t info{};
    EXPECT_EQ(pylox_cap_snapshot(dev_, buf.data(), static_cast<int>(buf.size()), &info), 1);
    EXPECT_TRUE(frame_is(buf.data(), lay, 0));
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);

    set_fps(50);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_snapshot(dev_, buf.data(), static_cast<int>(buf.size()), &info), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 1);
    EXPECT_EQ(pylox_cap_snapshot(nullptr, buf.data(), 1, &info), 0);
}

TEST_F(ReplayCapture, GetFrameDoesNotWait)
{
    const raw_file_layout lay = small_layout();
    ASSERT_NE(open(lay, 10), nullptr);
    set_fps(2); // a frame every 500 ms
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> buf(frame_bytes(lay));
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, buf.data(), static_cast<int>(buf.size()), nullptr), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pylox_cap_get_frame(dev_, buf.data(), static_cast<int>(buf.size()), nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 400ms);
    pylox_cap_stop(dev_);
    EXPECT_EQ(pylox_cap_get_frame(dev_, buf.data(), static_cast<int>(buf.size()), nullptr), -2);
}

struct cb_record {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::thread::id> threads;
    std::vector<uint16_t> indices;
    std::vector<int> errors;
    bool data_ok = true;
    raw_file_layout lay;
    bool error_goes_on = true;
};
cb_record *g_cb = nullptr;

void on_frame(pylox_dev_t *, pylox_frame_t *f)
{
    std::lock_guard<std::mutex> lk(g_cb->m);
    g_cb->threads.push_back(std::this_thread::get_id());
    const int k = static_cast<int>(g_cb->indices.size());
    g_cb->indices.push_back(f->info.frame_idx);
    const std::vector<uint16_t> want = raw_frame(g_cb->lay, k);
    if (f->info.frame_size != want.size() * 2 || std::memcmp(f->data, want.data(), want.size() * 2))
        g_cb->data_ok = false;
    g_cb->cv.notify_all();
}

int on_error(pylox_dev_t *, int err, uint32_t)
{
    std::lock_guard<std::mutex> lk(g_cb->m);
    g_cb->threads.push_back(std::this_thread::get_id());
    g_cb->errors.push_back(err);
    return g_cb->error_goes_on;
}

TEST_F(ReplayCapture, CallbacksRunOnTheWaitingThread)
{
    cb_record rec;
    rec.lay = small_layout();
    g_cb = &rec;
    ASSERT_NE(open(rec.lay, 6), nullptr);
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(dev_, on_frame), 1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    // End of file ends capture, which ends the wait.
    EXPECT_EQ(pylox_cap_wait(dev_, 0), 1);
    ASSERT_EQ(rec.indices.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(rec.indices[i], i + 1);
    EXPECT_TRUE(rec.data_ok);
    for (const auto &id : rec.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    g_cb = nullptr;
}

// A wait whose deadline passes while a slow callback still has frames to
// take reports the timeout, not the end of capture, though the file has
// ended: a caller that waits until the end gets every frame.
TEST_F(ReplayCapture, EndIsReportedOnlyWhenEveryFrameWasDelivered)
{
    cb_record rec;
    rec.lay = small_layout();
    g_cb = &rec;
    ASSERT_NE(open(rec.lay, 6), nullptr);
    set_fps(0); // the whole file is in the ring long before the callback is through
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(dev_,
                                                    [](pylox_dev_t *d, pylox_frame_t *f) {
                                                        on_frame(d, f);
                                                        std::this_thread::sleep_for(25ms);
                                                    }),
              1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    int rc = 0, waits = 0;
    while ((rc = pylox_cap_wait(dev_, 30)) == 0 && ++waits < 200) {
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(rec.indices.size(), 6u);
    EXPECT_TRUE(rec.data_ok);
    g_cb = nullptr;
}

// The callback reads each frame where it lies in the ring: it gets the whole
// frame, and what it does to that memory reaches neither the caller's copy
// nor the frames after it, whose buffers the ring reuses.
void scribbling_frame(pylox_dev_t *dev, pylox_frame_t *f)
{
    on_frame(dev, f);
    std::memset(f->data, 0xEE, f->info.frame_size);
}

TEST_F(ReplayCapture, RequestAndCallbackGetTheSameFramesAndTheCallbackCannotSpoilThem)
{
    cb_record rec;
    rec.lay = small_layout();
    g_cb = &rec;
    const size_t fb = frame_bytes(rec.lay);
    constexpr int k_frames = 12; // the buffers of frames handed back serve later frames
    ASSERT_NE(open(rec.lay, k_frames), nullptr);
    // The file plays faster than frames are taken: the ring holds all of them.
    ASSERT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 2 * k_frames * PYLOX_CAP_FRAME_UNIT), 1);
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(dev_, scribbling_frame), 1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    // Frames beyond each request go on to the callback only.
    std::vector<uint8_t> buf(fb);
    int requested = 0;
    for (;;) {
        pylox_frame_info_t info{};
        std::memset(buf.data(), 0, fb);
        if (pylox_cap_get_frames(dev_, 1, buf.data(), static_cast<int>(fb), &info) != 1)
            break; // the end of the file ended capture
        ++requested;
        ASSERT_GE(info.frame_idx, 1);
        EXPECT_TRUE(frame_is(buf.data(), rec.lay, info.frame_idx - 1)) << info.frame_idx;
    }
    EXPECT_GE(requested, 1);
    ASSERT_EQ(rec.indices.size(), static_cast<size_t>(k_frames));
    for (int k = 0; k < k_frames; ++k)
        EXPECT_EQ(rec.indices[k], k + 1);
    EXPECT_TRUE(rec.data_ok);
    g_cb = nullptr;
}

TEST_F(ReplayCapture, FramesTakenByWaitWithoutCallbackAreThrownAway)
{
    const raw_file_layout lay = small_layout();
    ASSERT_NE(open(lay, 4), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_wait(dev_, 0), 1);
    tq_stream_state_t st{};
    tq_stream_get_state(dev_->ctx->stream, &st);
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_out, 4u);
    EXPECT_EQ(pylox_cap_wait(dev_, 10), 1); // capture ended: nothing to wait for
    pylox_cap_stop(dev_);
    EXPECT_EQ(pylox_cap_wait(dev_, 10), 0); // not capturing
}

TEST_F(ReplayCapture, WaitWithoutLimitEndsWhenAnotherThreadStops)
{
    cb_record rec;
    rec.lay = small_layout();
    g_cb = &rec;
    ASSERT_NE(open(rec.lay, 200), nullptr);
    set_fps(20);
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(dev_, on_frame), 1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::thread stopper([&] {
        std::unique_lock<std::mutex> lk(rec.m);
        rec.cv.wait_for(lk, 10s, [&] { return rec.indices.size() >= 2; });
        lk.unlock();
        pylox_cap_stop(dev_);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pylox_cap_wait(dev_, 0), 1);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 9s);
    EXPECT_GE(rec.indices.size(), 2u);
    EXPECT_LT(rec.indices.size(), 200u);
    EXPECT_TRUE(rec.data_ok);
    g_cb = nullptr;
}

TEST_F(ReplayCapture, WaitTimesOut)
{
    ASSERT_NE(open(small_layout(), 100), nullptr);
    set_fps(1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pylox_cap_wait(dev_, 150), 0);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 900ms);
}

TEST_F(ReplayCapture, TruncatedFileRaisesAnErrorOnce)
{
    cb_record rec;
    rec.lay = small_layout();
    rec.error_goes_on = false;
    g_cb = &rec;
    ASSERT_NE(open(rec.lay, 3, 10), nullptr);
    pylox_cap_set_callback_on_error(dev_, on_error);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_wait(dev_, 0), 1);
    EXPECT_EQ(pylox_cap_wait(dev_, 0), 1);
    ASSERT_EQ(rec.errors.size(), 1u);
    EXPECT_EQ(rec.errors[0], PYLOX_ERR_CAP_ERROR);
    EXPECT_EQ(dev_->ctx->force_stop, 1);
    for (const auto &id : rec.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    g_cb = nullptr;
}

TEST_F(ReplayCapture, PendingStatusIsReturnedWithoutACallback)
{
    const raw_file_layout lay = small_layout();
    ASSERT_NE(open(lay, 3, 10), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> buf(4 * frame_bytes(lay));
    // Wait until the read error has been raised, then ask for frames.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (std::atomic_ref<int32_t>(dev_->ctx->err_code).load() == 0 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    // The two complete frames come first; the status follows with the next call.
    EXPECT_EQ(pylox_cap_get_frames(dev_, 4, buf.data(), static_cast<int>(buf.size()), nullptr), 2);
    EXPECT_TRUE(frame_is(buf.data(), lay, 0));
    EXPECT_TRUE(frame_is(buf.data() + frame_bytes(lay), lay, 1));
    EXPECT_EQ(pylox_cap_get_frames(dev_, 4, buf.data(), static_cast<int>(buf.size()), nullptr),
              PYLOX_ERR_CAP_ERROR);
    EXPECT_EQ(pylox_cap_get_frame(dev_, buf.data(), static_cast<int>(buf.size()), nullptr),
              PYLOX_ERR_CAP_ERROR);
}

TEST_F(ReplayCapture, ParameterBatchesReachTheDeviceAndTheContext)
{
    ASSERT_NE(open(small_layout(), 2), nullptr);
    pylox_param_item_t items[2] = {};
    const uint32_t fps = 30;
    items[0].param_id = PARAM_FRAME_RATE;
    items[0].param_val_len = 4;
    std::memcpy(items[0].param_val, &fps, 4);
    items[1].param_id = PARAM_INTG_TIME;
    items[1].param_val_len = 2;
    items[1].param_val[0] = 100;
    ASSERT_EQ(pylox_param_batch_set(dev_, items, 2), 1);
    EXPECT_EQ(dev_->ctx->fps, 30u);

    // Only the low 8 bits of an ID travel: 256 + 12 is the frame rate again.
    pylox_param_item_t wide{};
    wide.param_id = 256 + PARAM_FRAME_RATE;
    const uint32_t seven = 7;
    std::memcpy(wide.param_val, &seven, 4);
    ASSERT_EQ(pylox_param_batch_set(dev_, &wide, 1), 1);

    pylox_param_item_t get[2] = {};
    get[0].param_id = PARAM_FRAME_RATE;
    get[0].param_val_len = 4;
    get[1].param_id = PARAM_INFO_PRODUCT;
    get[1].param_val_len = 99;
    get[1].param_val[18] = 0x5A; // the 19th byte is the caller's
    ASSERT_EQ(pylox_param_batch_get(dev_, get, 2), 1);
    uint32_t got = 0;
    std::memcpy(&got, get[0].param_val, 4);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(get[1].param_val_len, std::strlen("PYLOX-E2-R320"));
    EXPECT_EQ(std::memcmp(get[1].param_val, "PYLOX-E2-R320", 13), 0);
    EXPECT_EQ(get[1].param_val[18], 0x5A);

    EXPECT_EQ(pylox_param_batch_set(nullptr, items, 1), 0);
    EXPECT_EQ(pylox_param_batch_get(nullptr, get, 1), 0);
}

} // namespace
