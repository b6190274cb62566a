// The bulk capture ring against the virtual camera: start and stop, refused
// starts, short and stalled transfers, unplugging while streaming.
#include "support/vcam/usb_vcam_util.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <set>
#include <thread>
#include <vector>

using namespace usbtest;

namespace {

class UsbCap : public ::testing::Test {
protected:
    void SetUp() override
    {
        cam_ = vcam::Camera::create();
        ASSERT_TRUE(open_any(dev_));
    }
    void TearDown() override { pylox_ll_dev_close(&dev_); }

    bool start() { return pylox_ll_cap_start(&dev_, 0x1234, Sink::cb, &sink_) == 1; }
    // Waits until the camera holds no bulk-in transfer and the ring drained.
    bool drained()
    {
        return wait_until([&] {
            auto *p = usbll::priv_of(&dev_);
            std::lock_guard<std::mutex> g(p->ring_mtx);
            return p->n_inflight == 0 && cam_->urbs_in_flight() == 0;
        });
    }
    static size_t count_event(const std::vector<Chunk> &c, int ev, size_t from = 0)
    {
        size_t n = 0;
        for (size_t i = from; i < c.size(); ++i)
            n += c[i].event == ev;
        return n;
    }

    std::shared_ptr<vcam::Camera> cam_;
    pylox_ll_dev_t dev_{};
    Sink sink_;
};

TEST_F(UsbCap, StreamArrivesWholeAndStopCancelsEveryTransfer)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->set_fps(0);
    ASSERT_TRUE(start());
    EXPECT_TRUE(cam_->streaming());
    EXPECT_EQ(cam_->capture_arg(), 0x1234u);
    ASSERT_TRUE(sink_.wait_count(40));

    // Hold the stream so that all sixteen wait at the camera, then stop.
    cam_->fault_stop_sending(true);
    ASSERT_TRUE(wait_until([&] { return cam_->urbs_in_flight() == 16; }));
    const size_t before = sink_.size();
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
    EXPECT_FALSE(cam_->streaming());
    ASSERT_TRUE(sink_.wait_count(before + 16));
    ASSERT_TRUE(drained());
    const auto c = sink_.chunks();
    EXPECT_EQ(c.size(), before + 16); // then silence: nothing was resubmitted
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_CANCELLED, before), 16u);
    std::set<const uint8_t *> slots;
    for (size_t i = before; i < c.size(); ++i)
        slots.insert(c[i].buf);
    EXPECT_EQ(slots.size(), 16u); // one from each transfer
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_DATA), before);
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
    EXPECT_EQ(log.count("[usb_ll_cap_stop] trans["), 16);
    EXPECT_EQ(log.count("cancelled (last_tx="), 16);
}

TEST_F(UsbCap, ShortTransferPassesItsBytesAndIsResubmittedFull)
{
    // A packet smaller than one transfer ends each transfer short.
    cam_->set_packet_payload(50000);
    ASSERT_TRUE(start());
    // Wait for a short chunk followed by a later chunk of the same slot.
    const uint8_t *slot = nullptr;
    size_t at = 0;
    ASSERT_TRUE(sink_.wait([&](const std::vector<Chunk> &c) {
        for (size_t i = 0; i < c.size(); ++i) {
            if (!slot && c[i].event == 0 && c[i].len > 0 && c[i].len < usbll::k_xfer_len) {
                slot = c[i].buf;
                at = i;
            } else if (slot && c[i].buf == slot && i > at) {
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(drained());
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
    // The first bytes are a stream header as the camera wrote it.
    const auto c = sink_.chunks();
    EXPECT_EQ(c.front().len, 36 + 50000);
}

TEST_F(UsbCap, StartRefusedByTheCameraCancelsTheRing)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->fault_refuse_stream_start(true);
    EXPECT_FALSE(start());
    EXPECT_TRUE(log.has("[usb_ll_cap_start] pylox_ll_cap_start failed\n"));
    ASSERT_TRUE(sink_.wait_count(16));
    ASSERT_TRUE(drained());
    const auto c = sink_.chunks();
    EXPECT_EQ(c.size(), 16u);
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_CANCELLED), 16u);
    EXPECT_FALSE(log.has("issue: size="));

    // The next start works.
    cam_->fault_refuse_stream_start(false);
    ASSERT_TRUE(start());
    EXPECT_TRUE(sink_.wait_count(20));
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
}

TEST_F(UsbCap, StallIsReportedClearedAndStreamingGoesOn)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    ASSERT_TRUE(start());
    ASSERT_TRUE(sink_.wait_count(4));
    const uint32_t clears = cam_->clear_halt_count();
    cam_->fault_stall_bulk(1);
    size_t stall_at = 0;
    ASSERT_TRUE(sink_.wait([&](const std::vector<Chunk> &c) {
        for (size_t i = 0; i < c.size(); ++i)
            if (c[i].event == PYLOX_LL_EVT_STALL)
                stall_at = i;
        return stall_at && c.size() > stall_at + 20;
    }));
    const auto c = sink_.chunks();
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_STALL), 1u);
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_DATA, stall_at + 1), c.size() - stall_at - 1);
    EXPECT_EQ(cam_->clear_halt_count(), clears + 1);
    EXPECT_TRUE(log.has("stall (last_tx="));
    EXPECT_FALSE(log.has("Clear halt failed"));
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(drained());
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
}

TEST_F(UsbCap, AbortLetsTheTransfersEndWithoutResubmission)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(sink_.wait_count(4));
    // Abort from inside the callback, as a receiver does on the event thread.
    sink_.on_chunk = [this](int, const uint8_t *, int) { pylox_ll_cap_abort(&dev_); };
    ASSERT_TRUE(wait_until([&] {
        auto *p = usbll::priv_of(&dev_);
        std::lock_guard<std::mutex> g(p->ring_mtx);
        return p->n_inflight == 0;
    }));
    sink_.on_chunk = nullptr;
    const size_t n = sink_.size();
    // The camera is still streaming, but nothing more is asked of it.
    EXPECT_TRUE(cam_->streaming());
    EXPECT_EQ(cam_->urbs_in_flight(), 0u);
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
    EXPECT_EQ(sink_.size(), n);
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
}

TEST_F(UsbCap, TransferTimeoutsAndErrorsAreEventsAndTheRingGoesOn)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(sink_.wait_count(4));
    cam_->fault_bulk_error(2, -EPROTO);
    ASSERT_TRUE(sink_.wait([&](const std::vector<Chunk> &c) {
        size_t err = 0, after = 0;
        for (const auto &k : c) {
            if (k.event == PYLOX_LL_EVT_UNKNOWN)
                ++err;
            else if (err == 2)
                ++after;
        }
        return err == 2 && after >= 16;
    }));
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(drained());
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
}

TEST_F(UsbCap, UnplugWhileStreamingEndsEveryTransfer)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    ASSERT_TRUE(start());
    ASSERT_TRUE(sink_.wait_count(8));
    // All sixteen wait at the camera when it goes.
    cam_->fault_stop_sending(true);
    ASSERT_TRUE(wait_until([&] { return cam_->urbs_in_flight() == 16; }));
    const size_t before = sink_.size();
    cam_->unplug();
    EXPECT_TRUE(sink_.wait_count(before + 16));
    ASSERT_TRUE(wait_until([&] {
        auto *p = usbll::priv_of(&dev_);
        std::lock_guard<std::mutex> g(p->ring_mtx);
        return p->n_inflight == 0;
    }));
    // Each transfer ends once, with no-device, and cannot go out again.
    const auto c = sink_.chunks();
    EXPECT_EQ(c.size(), before + 16);
    EXPECT_EQ(count_event(c, PYLOX_LL_EVT_UNKNOWN, before), 16u);
    EXPECT_EQ(log.count("Unable to submit URB. libusb error code: -4\n"), 16);
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 0);
    // Close still releases everything (checked by the sanitizers).
    pylox_ll_dev_close(&dev_);
    EXPECT_TRUE(dev_.priv == nullptr);
}

// Two threads send commands back to back while capture starts and stops ten
// times: each start and stop gets the device after the commands that were
// already running or queued, not after a random number of later ones, and
// every command, start and stop succeeds.
TEST_F(UsbCap, StartAndStopTakeTheirTurnBetweenBackToBackCommands)
{
#if defined(__SANITIZE_THREAD__)
    // Two threads' back-to-back commands next to a 30 fps stream through the
    // instrumented camera run past the host-side command limits on a busy
    // two-core machine; the lock itself runs under ThreadSanitizer in
    // test_fair_mutex and in every other capture test here.
    GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
    cam_->set_fps(30);
    for (uint32_t i = 0; i < 20; ++i)
        cam_->set_reg(1, i, i + 7);
    std::atomic<bool> quit{false};
    std::atomic<int> done{0}, failed{0};
    auto commands = [&](int seed) {
        for (int i = seed; !quit.load(); ++i) {
            if (i % 2) {
                uint32_t vals[20];
                failed += pylox_ll_reg_read(&dev_, 1, 0, vals, 20) != 1 || vals[19] != 26;
            } else {
                pylox_ll_param_t items[2] = {};
                items[0].id = 2;
                items[1].id = 3;
                failed += pylox_ll_param_get(&dev_, items, 2) != 1;
            }
            ++done;
        }
    };
    std::thread a(commands, 0), b(commands, 1);
    ASSERT_TRUE(wait_until([&] { return done.load() > 10; }));
    // Commands that finished while the call ran.
    auto passed = [&](const std::function<int()> &call) {
        const int before = done.load();
        EXPECT_EQ(call(), 1);
        return done.load() - before;
    };
    std::vector<int> at_start, at_stop;
    for (int i = 0; i < 10; ++i) {
        at_start.push_back(passed([&] { return start() ? 1 : 0; }));
        const size_t n = sink_.size();
        EXPECT_TRUE(sink_.wait_count(n + 1));
        at_stop.push_back(passed([&] { return pylox_ll_cap_stop(&dev_); }));
    }
    quit = true;
    a.join();
    b.join();
    EXPECT_EQ(failed.load(), 0);
    // The two commands in progress or queued before it, and a third that may
    // slip in while the caller's thread is preempted; two calls of each kind
    // may meet more on a loaded machine. (Behind an unfair lock the three worst
    // calls of ten met 4 to 14.)
    std::sort(at_start.begin(), at_start.end());
    std::sort(at_stop.begin(), at_stop.end());
    EXPECT_LE(at_start[7], 3) << ::testing::PrintToString(at_start);
    EXPECT_LE(at_stop[7], 3) << ::testing::PrintToString(at_stop);
    ASSERT_TRUE(drained());
    EXPECT_EQ(sink_.bytes(), cam_->bytes_streamed());
}

TEST_F(UsbCap, CloseWhileStreamingReapsTheRingFirst)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(sink_.wait_count(8));
    pylox_ll_dev_close(&dev_);
    EXPECT_TRUE(dev_.priv == nullptr);
    const size_t n = sink_.size();
    EXPECT_TRUE(wait_until([&] { return cam_->urbs_in_flight() == 0; }));
    EXPECT_EQ(sink_.size(), n); // no callback after close
}

// A stop issued while a start polls a busy camera cuts the start short: the
// start fails and leaves nothing streaming (the stop tells the camera), and
// the next start works.
TEST_F(UsbCap, StopCutsShortAStartPollingABusyCamera)
{
    pylox_test::log_capture log(TQ_LOG_DBG);
    cam_->fault_busy(1 << 30);
    std::atomic<int> started{-1}, stopped{-1};
    std::thread starter([&] { started = start() ? 1 : 0; });
    // The start holds the device lock once its command reached the camera.
    ASSERT_TRUE(wait_until([&] {
        const auto cmds = requests(*cam_, 0xC2, 0x22);
        return std::any_of(cmds.begin(), cmds.end(), [](auto &r) { return r.wValue == 4; });
    }));
    std::thread stopper([&] { stopped = pylox_ll_cap_stop(&dev_); });
    const bool cut = wait_until([&] { return log.has("poll given up for a waiting stop"); });
    cam_->fault_busy(0); // the stop's own poll goes through
    starter.join();
    stopper.join();
    EXPECT_TRUE(cut);
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_FALSE(log.has("still busy after"));
    EXPECT_FALSE(cam_->streaming());
    ASSERT_TRUE(drained());
    const size_t n = sink_.size();
    ASSERT_TRUE(start());
    EXPECT_TRUE(sink_.wait_count(n + 4));
    EXPECT_EQ(pylox_ll_cap_stop(&dev_), 1);
}

// Whatever keeps the ring from coming back in time (here: the event thread
// held inside the callback past the stop's own limits), once a stop returns
// no completion reaches the callback any more: the receiver may reset what
// the callback feeds.
TEST_F(UsbCap, NoCallbackRunsOnceTheStopReturned)
{
    pylox_test::log_capture log(TQ_LOG_WRN);
    struct held {
        std::mutex m;
        std::condition_variable cv;
        bool inside = false, release = false;
        std::atomic<bool> armed{false}, stop_returned{false};
        std::atomic<int> calls{0}, late{0};
    } h;
    auto cb = [](pylox_ll_dev_t *, int, const uint8_t *, int, void *user) {
        auto *h = static_cast<held *>(user);
        ++h->calls;
        if (h->stop_returned)
            ++h->late;
        // Held only once the start has returned: the first frame can be
        // handled before the start command's answer, and holding the event
        // thread then would keep that answer from the start.
        if (!h->armed)
            return 0;
        std::unique_lock<std::mutex> lk(h->m);
        if (!h->inside) {
            h->inside = true;
            h->cv.notify_all();
            h->cv.wait_for(lk, std::chrono::seconds(30), [h] { return h->release; });
        }
        return 0;
    };
    ASSERT_EQ(pylox_ll_cap_start(&dev_, 0, cb, &h), 1);
    h.armed = true;
    {
        std::unique_lock<std::mutex> lk(h.m);
        ASSERT_TRUE(h.cv.wait_for(lk, std::chrono::seconds(5), [&] { return h.inside; }));
    }
    std::thread stopper([&] {
        pylox_ll_cap_stop(&dev_);
        h.stop_returned = true;
    });
    // The stop's command and its wait for the ring run out (2 s each) while
    // the event thread is held.
    EXPECT_TRUE(wait_until([&] { return log.has("still pending after stop"); }, 10000));
    {
        std::lock_guard<std::mutex> lk(h.m);
        h.release = true;
        h.cv.notify_all();
    }
    stopper.join();
    ASSERT_TRUE(drained());
    EXPECT_EQ(h.late.load(), 0) << "of " << h.calls.load() << " calls";
}

} // namespace
