// Load on one device: many start/stop cycles, and commands from two threads
// while the camera streams; every byte the camera put into a transfer reaches
// the callback, in order.
#include "support/vcam/usb_vcam_util.h"

#include <atomic>
#include <cstring>

using namespace usbtest;

namespace {

// Sanitized builds run a tenth of the load.
constexpr int kScale = kSanitized ? 10 : 1;
constexpr int kCycles = 1000 / kScale;
constexpr int kCommandsPerThread = 5000 / kScale;

// Follows the stream packet by packet across chunks: each header must check
// and its packet index must follow the previous one.
class StreamChecker {
public:
    void feed(const uint8_t *p, int n)
    {
        while (n > 0) {
            if (skip_ > 0) {
                const int k = static_cast<int>(std::min<uint64_t>(skip_, static_cast<uint64_t>(n)));
                skip_ -= static_cast<uint64_t>(k);
                p += k;
                n -= k;
                continue;
            }
            const int k = std::min<int>(n, static_cast<int>(vcam::kHeaderSize - head_len_));
            std::memcpy(head_ + head_len_, p, static_cast<size_t>(k));
            head_len_ += static_cast<size_t>(k);
            p += k;
            n -= k;
            if (head_len_ < vcam::kHeaderSize)
                continue;
            head_len_ = 0;
            vcam::StreamHeader h;
            if (!vcam::read_header(head_, h)) {
                ++bad_;
                return;
            }
            if (packets_ > 0 && h.sidx != static_cast<uint16_t>(last_sidx_ + 1))
                ++gaps_;
            last_sidx_ = h.sidx;
            ++packets_;
            skip_ = h.len;
        }
    }
    uint64_t packets_ = 0, bad_ = 0, gaps_ = 0;

private:
    uint8_t head_[vcam::kHeaderSize];
    size_t head_len_ = 0;
    uint64_t skip_ = 0;
    uint16_t last_sidx_ = 0;
};

TEST(UsbStress, ThousandStartStopCyclesLoseNoByte)
{
    auto cfg = vcam::CameraConfig{};
    cfg.fps = 100; // a frame at every start, so that stops meet data in flight
    auto cam = vcam::Camera::create(cfg);
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    Sink sink;
    int ok_start = 0, ok_stop = 0;
    for (int i = 0; i < kCycles; ++i) {
        ok_start += ll_op_usb.cap_start(&dev, static_cast<uint32_t>(i), Sink::cb, &sink);
        ok_stop += ll_op_usb.cap_stop(&dev);
    }
    EXPECT_EQ(ok_start, kCycles);
    EXPECT_EQ(ok_stop, kCycles);
    ASSERT_TRUE(wait_until([&] {
        auto *p = usbll::priv_of(&dev);
        std::lock_guard<std::mutex> g(p->ring_mtx);
        return p->n_inflight == 0 && cam->urbs_in_flight() == 0;
    }));
    EXPECT_EQ(sink.bytes(), cam->bytes_streamed());
    EXPECT_EQ(cam->capture_arg(), static_cast<uint32_t>(kCycles - 1));
    // Every transfer of every cycle ended once: sixteen endings per cycle.
    size_t endings = 0;
    for (const auto &c : sink.chunks())
        endings += c.event == PYLOX_LL_EVT_CANCELLED || c.event == PYLOX_LL_EVT_DATA;
    EXPECT_GE(endings, 16u * kCycles);
    pylox_ll_dev_close(&dev);
}

TEST(UsbStress, CommandsFromTwoThreadsWhileStreaming)
{
    // About 20 MB/s: the event thread has the stream and the commands' completions
    // to deliver, and the run stays short on two cores.
    auto cfg = vcam::CameraConfig{};
    cfg.fps = 30;
    auto cam = vcam::Camera::create(cfg);
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    for (uint32_t i = 0; i < 64; ++i)
        cam->set_reg(1, i, i * 3 + 1);
    Sink sink;
    StreamChecker check;
    sink.on_chunk = [&](int event, const uint8_t *data, int len) {
        if (event == PYLOX_LL_EVT_DATA)
            check.feed(data, len);
    };
    ASSERT_EQ(pylox_ll_cap_start(&dev, 0, Sink::cb, &sink), 1);

    std::atomic<int> failures{0};
    auto worker = [&](int seed) {
        for (int i = 0; i < kCommandsPerThread; ++i) {
            switch ((i + seed) % 4) {
            case 0: {
                uint32_t vals[20];
                if (pylox_ll_reg_read(&dev, 1, 0, vals, 20) != 1)
                    ++failures;
                else
                    for (uint32_t k = 0; k < 20; ++k)
                        if (vals[k] != k * 3 + 1)
                            ++failures;
                break;
            }
            case 1: {
                pylox_ll_param_t items[4] = {};
                for (int k = 0; k < 4; ++k)
                    items[k].id = static_cast<uint8_t>(k + 2);
                failures += pylox_ll_param_get(&dev, items, 4) != 1;
                break;
            }
            case 2: {
                const uint32_t v = static_cast<uint32_t>(seed * 100000 + i);
                failures += pylox_ll_reg_write(&dev, 2, static_cast<uint32_t>(seed), &v, 1) != 1;
                break;
            }
            default: {
                uint8_t block[512];
                std::memset(block, i & 0xFF, sizeof block);
                failures += pylox_ll_tx_data(&dev, block, sizeof block) != 512;
                break;
            }
            }
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    // Each thread's last write of its own register is the one that stays.
    const auto last = [](int seed) { // the last i with (i + seed) % 4 == 2
        int i = kCommandsPerThread - 1;
        while ((i + seed) % 4 != 2)
            --i;
        return static_cast<uint32_t>(seed * 100000 + i);
    };
    EXPECT_EQ(cam->reg(2, 0), last(0));
    EXPECT_EQ(cam->reg(2, 1), last(1));
    ASSERT_EQ(pylox_ll_cap_stop(&dev), 1);
    ASSERT_TRUE(wait_until([&] {
        auto *p = usbll::priv_of(&dev);
        std::lock_guard<std::mutex> g(p->ring_mtx);
        return p->n_inflight == 0 && cam->urbs_in_flight() == 0;
    }));
    EXPECT_EQ(sink.bytes(), cam->bytes_streamed());
    EXPECT_GT(check.packets_, 10u);
    EXPECT_EQ(check.bad_, 0u);
    EXPECT_EQ(check.gaps_, 0u);
    pylox_ll_dev_close(&dev);
}

} // namespace
