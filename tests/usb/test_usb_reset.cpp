// Resets of the camera's USB interface (target 3: the camera leaves the bus
// and enumerates anew) while other threads send commands and start and stop
// capture on the same device. The device's state lives through the reset:
// the other calls wait for it and then work on the camera that came back.
#include "support/vcam/usb_vcam_util.h"

#include <algorithm>
#include <atomic>

using namespace usbtest;

namespace {

constexpr int kResets = kSanitized ? 3 : 6;

// A camera at 200 fps that is back on the bus 100 ms after a reset.
std::shared_ptr<vcam::Camera> resetting_camera()
{
    vcam::CameraConfig cfg;
    cfg.fps = 200;
    cfg.replug_delay_ms = 100;
    return vcam::Camera::create(cfg);
}

// Calls of one thread: how many, how many failed, and how many succeeded
// after the last reset had ended.
struct tally {
    std::atomic<int> calls{0}, failed{0}, after_last{0};
    void add(bool ok, bool resets_over)
    {
        ++calls;
        if (!ok)
            ++failed;
        else if (resets_over)
            ++after_last;
    }
};

TEST(UsbReset, CommandsAndCaptureOnOtherThreadsWaitForTheResetAndWorkAfterIt)
{
    auto cam = resetting_camera();
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    pylox_test::log_capture log(TQ_LOG_WRN);

    std::atomic<bool> done{false}, resets_over{false};
    tally params, regs, starts, stops;
    Sink sink;
    std::thread param_thread([&] {
        while (!done) {
            pylox_ll_param_t item{};
            item.id = 3;
            params.add(pylox_ll_param_get(&dev, &item, 1) == 1, resets_over);
        }
    });
    std::thread reg_thread([&] {
        while (!done) {
            uint32_t v[20];
            regs.add(pylox_ll_reg_read(&dev, 1, 0, v, 20) == 1, resets_over); // two chunks
        }
    });
    std::thread capture_thread([&] {
        while (!done) {
            starts.add(pylox_ll_cap_start(&dev, 0, Sink::cb, &sink) == 1, resets_over);
            sink.wait_count(sink.size() + 4, 50);
            stops.add(pylox_ll_cap_stop(&dev) == 1, resets_over);
        }
    });

    for (int i = 0; i < kResets; ++i) {
        // Every other reset meets a running capture.
        wait_until([&] { return starts.calls > 2 * i && params.calls > 2 * i; });
        EXPECT_EQ(pylox_ll_dev_reset(&dev, 3), 0);
    }
    resets_over = true;
    const bool all_back = wait_until(
        [&] { return params.after_last > 2 && regs.after_last > 2 && stops.after_last > 2; },
        20000);
    done = true;
    param_thread.join();
    reg_thread.join();
    capture_thread.join();

    EXPECT_TRUE(all_back);
    EXPECT_EQ(cam->reset_count(), static_cast<uint32_t>(kResets));
    // The other threads never met the device half-closed: no call failed.
    EXPECT_EQ(params.failed, 0);
    EXPECT_EQ(regs.failed, 0);
    EXPECT_EQ(starts.failed, 0);
    EXPECT_EQ(stops.failed, 0);
    EXPECT_FALSE(log.has("reopen device failed!"));
    // The camera that came back streams into the same record.
    const uint64_t before = sink.bytes();
    ASSERT_TRUE(pylox_ll_cap_start(&dev, 0, Sink::cb, &sink));
    EXPECT_TRUE(wait_until([&] { return sink.bytes() > before; }));
    EXPECT_EQ(pylox_ll_cap_stop(&dev), 1);
    pylox_ll_dev_close(&dev);
    EXPECT_TRUE(dev.priv == nullptr);
}

// A reset while streaming ends the capture the way a stop does: each transfer
// of the ring comes back to the receiver as cancelled, and nothing reaches it
// after the reset; a capture started on the camera that came back streams to
// its own receiver alone.
TEST(UsbReset, ResetWhileStreamingEndsTheCaptureWithCancellations)
{
    auto cam = resetting_camera();
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    Sink before, after;
    ASSERT_EQ(pylox_ll_cap_start(&dev, 0, Sink::cb, &before), 1);
    ASSERT_TRUE(before.wait_count(4));
    // All sixteen wait at the camera when the reset comes.
    cam->fault_stop_sending(true);
    ASSERT_TRUE(wait_until([&] { return cam->urbs_in_flight() == 16; }));
    const size_t streamed = before.size();
    EXPECT_EQ(pylox_ll_dev_reset(&dev, 3), 0);
    const auto seen = before.chunks();
    EXPECT_EQ(seen.size(), streamed + 16);
    EXPECT_EQ(std::count_if(seen.begin() + static_cast<long>(streamed), seen.end(),
                            [](const Chunk &c) { return c.event == PYLOX_LL_EVT_CANCELLED; }),
              16);

    cam->fault_stop_sending(false);
    ASSERT_EQ(pylox_ll_cap_start(&dev, 0, Sink::cb, &after), 1);
    EXPECT_TRUE(after.wait_count(4));
    EXPECT_EQ(pylox_ll_cap_stop(&dev), 1);
    EXPECT_EQ(before.size(), seen.size());
    pylox_ll_dev_close(&dev);
}

} // namespace
