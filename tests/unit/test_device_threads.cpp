// Several application threads on one device: calls racing a close and a
// reopen, two threads retrieving at once, and a wait whose callback is slower
// than the frames. Run under ASan and TSan as well.
#include "support/log_capture.h"
#include "support/raw_file.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace pylox_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// The frames of a file by content, to tell each delivered frame's origin.
class frame_book {
public:
    frame_book(const raw_file_layout &lay, int frames)
    {
        for (int k = 0; k < frames; ++k) {
            const std::vector<uint16_t> f = raw_frame(lay, k);
            bytes_ = f.size() * 2;
            book_.emplace(std::string(reinterpret_cast<const char *>(f.data()), bytes_), k);
        }
    }
    // Index of the file frame at p, or -1 when p holds no frame of the file.
    int which(const uint8_t *p) const
    {
        auto it = book_.find(std::string(reinterpret_cast<const char *>(p), bytes_));
        return it == book_.end() ? -1 : it->second;
    }
    size_t bytes() const { return bytes_; }

private:
    size_t bytes_ = 0;
    std::map<std::string, int> book_;
};

class DeviceThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        pylox_init(log_.path().c_str()); // the library's log is the capture's
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        lay_.width = 32;
        lay_.height = 24;
        path_ = scratch_path("pylox_threads");
        write_raw_file(path_, lay_, k_frames);
    }
    void TearDown() override
    {
        if (dev_)
            pylox_dev_close(dev_);
        pylox_uninit();
        std::filesystem::remove(path_);
    }
    static void set_fps(pylox_dev_t *dev, uint32_t fps)
    {
        pylox_param_item_t it{};
        it.param_id = PARAM_FRAME_RATE;
        it.param_val_len = 4;
        std::memcpy(it.param_val, &fps, 4);
        pylox_param_batch_set(dev, &it, 1);
    }

    static constexpr int k_frames = 1000;
    pylox_test::log_capture log_{TQ_LOG_DBG, "pylox_threads_log"};
    raw_file_layout lay_;
    std::string path_;
    pylox_dev_t *dev_ = nullptr;
};

// Four threads call whatever they like on the handle while a fifth closes and
// reopens it: no call may touch a freed context, every frame handed out is a
// frame of the file, and the busy count ends at zero.
TEST_F(DeviceThreads, CallsRacingCloseAndReopenStaySafe)
{
    dev_ = pylox_dev_open_replay(path_.c_str());
    ASSERT_NE(dev_, nullptr);
    pylox_dev_t *const dev = dev_; // the default handle: its address never changes
    const frame_book book(lay_, k_frames);
    std::atomic<bool> quit{false};
    std::atomic<int> frames_seen{0}, foreign{0}, opens{0};

    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> buf(book.bytes() * 3);
        while (!quit.load()) {
            pylox_frame_info_t fi{};
            switch (rng() % 8) {
            case 0: {
                set_fps(dev, 30);
                pylox_param_item_t it{};
                it.param_id = PARAM_FRAME_RATE;
                pylox_param_batch_get(dev, &it, 1);
                break;
            }
            case 1:
            case 2: {
                const int n = pylox_cap_get_frames(dev, 3, buf.data(), int(buf.size()), &fi);
                for (int i = 0; i < n; ++i, ++frames_seen)
                    foreign += book.which(buf.data() + i * book.bytes()) < 0;
                break;
            }
            case 3:
                if (pylox_cap_get_frame(dev, buf.data(), int(buf.size()), &fi) == 1) {
                    ++frames_seen;
                    foreign += book.which(buf.data()) < 0;
                }
                break;
            case 4:
                pylox_cap_is_ongoing(dev);
                break;
            case 5:
                pylox_cap_start(dev);
                break;
            case 6:
                pylox_cap_stop(dev);
                break;
            default:
                pylox_cap_set_frame_buffer(dev, nullptr, 4 * PYLOX_CAP_FRAME_UNIT);
                break;
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < 4; ++i)
        workers.emplace_back(worker, 1234 + i);

    constexpr int k_cycles = 20;
    for (int cycle = 0; cycle < k_cycles; ++cycle) {
        pylox_dev_close(dev);
        if (pylox_dev_open_replay(path_.c_str()) == dev) {
            ++opens;
            set_fps(dev, 30);
            pylox_cap_start(dev);
        }
        std::this_thread::sleep_for(60ms); // let the others work on the open device
    }
    quit = true;
    for (auto &t : workers)
        t.join();

    EXPECT_EQ(opens.load(), k_cycles);
    EXPECT_GT(frames_seen.load(), 0);
    EXPECT_EQ(foreign.load(), 0);
    EXPECT_EQ(std::atomic_ref<uint8_t>(dev->api_busy).load(), 0);
    pylox_dev_close(dev);
    dev_ = nullptr;
}

// Two threads retrieving from one device take turns: each gets all the frames
// it asked for, in file order, in its own buffer, never frames meant for the
// other, and the bytes past what it was given stay untouched.
TEST_F(DeviceThreads, TwoRetrieversNeverShareARequest)
{
    dev_ = pylox_dev_open_replay(path_.c_str());
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 4 * PYLOX_CAP_FRAME_UNIT), 1);
    set_fps(dev_, 100);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    const frame_book book(lay_, k_frames);
    std::atomic<int> bad{0}, got{0};

    auto retriever = [&] {
        constexpr int n = 4;
        std::vector<uint8_t> buf(book.bytes() * (n + 1));
        for (int round = 0; round < 15; ++round) {
            std::memset(buf.data(), 0xA5, buf.size());
            const int r = pylox_cap_get_frames(dev_, n, buf.data(), int(book.bytes() * n), nullptr);
            // The file holds far more frames than both threads ask for.
            bad += r != n;
            if (r <= 0)
                continue;
            got += r;
            int prev = -1;
            for (int i = 0; i < r; ++i) {
                const int k = book.which(buf.data() + i * book.bytes());
                bad += k < 0 || (prev >= 0 && k <= prev);
                prev = k;
            }
            for (size_t b = r * book.bytes(); b < buf.size(); ++b)
                bad += buf[b] != 0xA5;
        }
    };
    std::thread a(retriever), b(retriever);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(got.load(), 2 * 15 * 4);
}

// pylox_cap_wait keeps its deadline even when the frame-ready callback is
// slower than the frame period (the ring never empties); a retrieval call
// from inside the callback is refused instead of waiting for itself.
TEST_F(DeviceThreads, WaitKeepsItsDeadlineBehindASlowCallback)
{
    dev_ = pylox_dev_open_replay(path_.c_str());
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(pylox_cap_set_frame_buffer(dev_, nullptr, 4 * PYLOX_CAP_FRAME_UNIT), 1);
    set_fps(dev_, 60);
    static std::atomic<int> calls, nested;
    calls = 0;
    nested = 0;
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(dev_,
                                                    [](pylox_dev_t *d, pylox_frame_t *) {
                                                        ++calls;
                                                        uint8_t b[16];
                                                        nested += pylox_cap_get_frame(
                                                            d, b, sizeof b, nullptr);
                                                        std::this_thread::sleep_for(20ms);
                                                    }),
              1);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    const auto t0 = steady::now();
    EXPECT_EQ(pylox_cap_wait(dev_, 500), 0);
    const auto took = steady::now() - t0;
    EXPECT_LT(took, 2s) << "frames keep coming faster than the callback returns";
    EXPECT_GT(calls.load(), 5);
    EXPECT_EQ(nested.load(), -calls.load()) << "each nested call is refused with -1";
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
}

} // namespace
