// Waits the library must sit out in full, and a soak run with faults.
#include "support/vcam/device_fixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>

using namespace devtest;
using namespace std::chrono_literals;

namespace {

constexpr int k_frame = 320 * 240 * 8;

std::mutex g_m;
std::vector<int> g_errors;

int record_error(pylox_dev_t *, int err, uint32_t)
{
    std::lock_guard<std::mutex> lk(g_m);
    g_errors.push_back(err);
    return 1;
}

class SlowDevice : public DeviceTest {};

TEST_F(SlowDevice, ThirtyTwoTimeoutsAreToleratedAndTheThirtyThirdStops)
{
    auto cam = plug();
    cam->fault_stop_sending(true);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);
    const auto t0 = Clock::now();
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    // Sixteen transfers time out together every six seconds: the thirty-third
    // comes with the third round.
    EXPECT_EQ(pylox_cap_wait(dev_, 60000), 1);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 15s);
    std::lock_guard<std::mutex> lk(g_m);
    ASSERT_EQ(g_errors.size(), 1u);
    EXPECT_EQ(g_errors[0], PYLOX_ERR_CAP_TIMEOUT);
    EXPECT_GE(dev_->ctx->timeout_cnt, 33u);
    g_errors.clear();
}

// A frame-ready callback that stays inside the library until released.
std::mutex g_block_m;
std::condition_variable g_block_cv;
bool g_inside = false, g_release = false;

void blocking_frame(pylox_dev_t *, pylox_frame_t *)
{
    std::unique_lock<std::mutex> lk(g_block_m);
    g_inside = true;
    g_block_cv.notify_all();
    g_block_cv.wait_for(lk, 60s, [] { return g_release; });
}

TEST_F(SlowDevice, CloseWaitsTwentySecondsForACallThatStaysInside)
{
    start_library();
    const pylox_test::raw_file_layout lay{32, 24, 4, "PYLOX-E2-R320", false};
    const std::string file = pylox_test::scratch_path("pylox_close_wait");
    pylox_test::write_raw_file(file, lay, 50);
    dev_ = pylox_dev_open_replay(file.c_str());
    ASSERT_NE(dev_, nullptr);
    pylox_cap_set_callback_on_frame_ready(dev_, blocking_frame);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::thread waiter([&] { pylox_cap_wait(dev_, 0); });
    {
        std::unique_lock<std::mutex> lk(g_block_m);
        ASSERT_TRUE(g_block_cv.wait_for(lk, 10s, [] { return g_inside; }));
    }
    const auto t0 = Clock::now();
    pylox_dev_close(dev_);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 19s);
    EXPECT_LT(took, 30s);
    EXPECT_EQ(dev_->ctx, nullptr);
    {
        std::lock_guard<std::mutex> lk(g_block_m);
        g_release = true;
    }
    g_block_cv.notify_all();
    waiter.join(); // the call finishes on memory that is still valid
    dev_ = nullptr;
    std::filesystem::remove(file);
}

TEST_F(SlowDevice, SoakWithFaultsDeliversOnlyFramesTheCameraSent)
{
    vcam::CameraConfig cfg;
    cfg.fps = 60;
    cfg.data_checksum = true;
    cfg.packet_payload = 153600;
    auto cam = plug(cfg);
    cam->set_scene(vcam::Scene::box(2500, 1100));
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);

    // The reference frame, checked against the scene with plain arithmetic.
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> ref(k_frame);
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, ref.data(), k_frame, nullptr), 1);
    ASSERT_EQ(phase_mismatches(ref.data(), cam->truth(), 2.0), 0);

    std::atomic<bool> done{false};
    std::atomic<long> delivered{0}, mismatched{0};
    const auto end = Clock::now() + 60s;

    std::thread retriever([&] {
        std::mt19937 rng(7);
        std::vector<uint8_t> buf(3 * k_frame);
        while (Clock::now() < end) {
            int got = 0;
            switch (rng() % 6) {
            case 0:
                got = pylox_cap_get_frame(dev_, buf.data(), k_frame, nullptr);
                break;
            case 1:
                got = pylox_cap_snapshot(dev_, buf.data(), k_frame, nullptr);
                break;
            default:
                got = pylox_cap_get_frames(dev_, 1 + static_cast<int>(rng() % 3), buf.data(),
                                           static_cast<int>(buf.size()), nullptr);
                break;
            }
            for (int k = 0; k < got; ++k) {
                ++delivered;
                if (std::memcmp(buf.data() + static_cast<size_t>(k) * k_frame, ref.data(), k_frame))
                    ++mismatched;
            }
            if (got <= 0)
                std::this_thread::sleep_for(2ms);
        }
        done = true;
    });
    std::thread controller([&] {
        std::mt19937 rng(11);
        while (!done) {
            switch (rng() % 5) {
            case 0:
                pylox_cap_start(dev_);
                break;
            case 1:
                if (rng() % 4 == 0)
                    pylox_cap_stop(dev_);
                break;
            case 2: {
                pylox_param_item_t it{};
                it.param_id = PARAM_FRAME_RATE;
                it.param_val_len = 4;
                it.param_val[0] = (rng() % 2) ? 60 : 30;
                pylox_param_batch_set(dev_, &it, 1);
                break;
            }
            case 3: {
                pylox_param_item_t it{};
                it.param_id = PARAM_MOD_FREQ;
                pylox_param_batch_get(dev_, &it, 1);
                break;
            }
            default: {
                uint32_t regs[20];
                pylox_reg_batch_read(dev_, 1, 0, regs, 20);
                break;
            }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
        }
    });

    std::mt19937 rng(3);
    while (!done) {
        switch (rng() % 6) {
        case 0:
            cam->fault_stall_bulk(1 + static_cast<int>(rng() % 4));
            break;
        case 1:
            cam->fault_stream(vcam::StreamFault::corrupt_payload);
            break;
        case 2:
            cam->fault_stream(vcam::StreamFault::corrupt_header);
            break;
        case 3:
            cam->fault_stream(vcam::StreamFault::drop_packet);
            break;
        case 4:
            cam->fault_stream(vcam::StreamFault::duplicate_packet);
            break;
        default:
            cam->fault_busy(2);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
    }
    retriever.join();
    controller.join();
    pylox_cap_stop(dev_);

    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_GT(delivered.load(), 200); // frames keep flowing between restarts and faults
    EXPECT_EQ(dev_->api_busy, 0);
    RecordProperty("frames_delivered", static_cast<int>(delivered.load()));
    std::printf("soak: %ld frames delivered, %ld differed from the camera's\n", delivered.load(),
                mismatched.load());
}

} // namespace
