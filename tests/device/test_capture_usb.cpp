// Devices, batches and capture on the virtual camera, through the public API.
#include "support/vcam/device_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>

using namespace devtest;
using namespace std::chrono_literals;

namespace {

constexpr int k_frame = 320 * 240 * 8;

struct events {
    std::mutex m;
    std::vector<std::pair<int, uint32_t>> errors;
    std::vector<std::thread::id> threads;
    int frames = 0;
    bool go_on = true;
};
events *g_ev = nullptr;

int record_error(pylox_dev_t *, int err, uint32_t arg)
{
    std::lock_guard<std::mutex> lk(g_ev->m);
    g_ev->errors.emplace_back(err, arg);
    g_ev->threads.push_back(std::this_thread::get_id());
    return g_ev->go_on;
}

void count_frame(pylox_dev_t *, pylox_frame_t *)
{
    std::lock_guard<std::mutex> lk(g_ev->m);
    ++g_ev->frames;
    g_ev->threads.push_back(std::this_thread::get_id());
}

class UsbDevice : public DeviceTest {};

TEST_F(UsbDevice, ListsCamerasAndOpensOneByItsEntry)
{
    vcam::CameraConfig a;
    a.bus = 1;
    a.port = 1;
    vcam::CameraConfig b;
    b.bus = 2;
    b.port = 3;
    b.product = "PYLOX-E1-SECOND";
    plug(a);
    plug(b);
    start_library();

    pylox_dev_t list[4];
    std::memset(list, 0x77, sizeof list);
    ASSERT_EQ(pylox_dev_list(list, 4), 2);
    // Entries come in the USB library's order; find the second camera by its bus.
    const int second = list[0].loc.usb.bus == 2 ? 0 : 1;
    EXPECT_EQ(list[second].loc.usb.bus, 2);
    EXPECT_EQ(list[second].loc.usb.port, 3);
    EXPECT_EQ(list[1 - second].loc.usb.bus, 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(list[i].ctx == nullptr); // by value: the packed array misaligns it
        EXPECT_EQ(list[i].product[0], 0);
        EXPECT_EQ(list[i].free_on_close, 0);
        EXPECT_EQ(list[i].located, 1);
        EXPECT_EQ(list[i].kind, static_cast<uint32_t>(PYLOX_LL_KIND_USB));
    }
    EXPECT_TRUE(list[2].ctx == nullptr); // the unused entries are zeroed too
    EXPECT_EQ(pylox_dev_list(nullptr, 4), 0);
    EXPECT_EQ(pylox_dev_list(list, 0), 0);

    pylox_dev_list(list, 4);
    dev_ = pylox_dev_open(&list[second]);
    ASSERT_EQ(dev_, &list[second]);
    EXPECT_STREQ(dev_->product, "PYLOX-E1-SECOND");
    EXPECT_STREQ(dev_->info_text, "virtual camera");
    EXPECT_EQ(dev_->serial[0], 0x56);
    EXPECT_EQ(dev_->serial[7], 0x01);
    uint16_t ver[4];
    std::memcpy(ver, dev_->version, sizeof ver);
    EXPECT_EQ(ver[0], 3);   // hardware
    EXPECT_EQ(ver[1], 140); // software
    EXPECT_EQ(ver[2], 2);   // boot loader
    ASSERT_NE(dev_->ctx, nullptr);
    EXPECT_STREQ(dev_->ctx->driver->key, "E1");
    pylox_dev_close(dev_); // the handle lives in this test's array
    dev_ = nullptr;
}

TEST_F(UsbDevice, DefaultHandleServesOneDeviceAtATime)
{
    plug();
    start_library();
    ASSERT_NE(open_first(), nullptr);
    EXPECT_EQ(dev_->kind, static_cast<uint32_t>(PYLOX_LL_KIND_USB));
    EXPECT_EQ(dev_->located, 1);
    EXPECT_EQ(dev_->loc.usb.bus, 1);
    EXPECT_EQ(dev_->loc.usb.speed, 3);
    EXPECT_EQ(pylox_dev_open(nullptr), nullptr);
    pylox_dev_close(dev_);
    EXPECT_EQ(dev_->ctx, nullptr);
    pylox_dev_close(dev_); // closing twice is harmless
    ASSERT_NE(open_first(), nullptr);
}

TEST_F(UsbDevice, TwoCamerasOfOneFamilyKeepTheirOwnDriverState)
{
    vcam::CameraConfig a, b;
    b.bus = 2;
    plug(a);
    plug(b);
    start_library();
    pylox_dev_t list[2];
    ASSERT_EQ(pylox_dev_list(list, 2), 2);
    ASSERT_NE(pylox_dev_open(&list[0]), nullptr);
    ASSERT_NE(pylox_dev_open(&list[1]), nullptr);
    EXPECT_NE(list[0].ctx->driver, list[1].ctx->driver);
    EXPECT_EQ(list[0].ctx->driver->dev, &list[0]);
    EXPECT_EQ(list[1].ctx->driver->dev, &list[1]);
    pylox_dev_close(&list[0]);
    pylox_dev_close(&list[1]);
}

TEST_F(UsbDevice, UnknownSensorFamilyIsRefused)
{
    vcam::CameraConfig c;
    c.product = "PYLOX-X7-VCAM";
    plug(c);
    start_library();
    EXPECT_EQ(open_first(), nullptr);
    dev_ = nullptr;
}

TEST_F(UsbDevice, ParameterBatchesAndTheirReactions)
{
    auto cam = plug();
    start_library();
    ASSERT_NE(open_first(), nullptr);

    pylox_param_item_t items[2] = {};
    const uint32_t fps = 30;
    items[0].param_id = PARAM_FRAME_RATE;
    items[0].param_val_len = 4;
    std::memcpy(items[0].param_val, &fps, 4);
    items[1].param_id = PARAM_INTG_TIME;
    items[1].param_val_len = 2;
    items[1].param_val[0] = 0xF4;
    items[1].param_val[1] = 0x01; // 500
    ASSERT_EQ(pylox_param_batch_set(dev_, items, 2), 1);
    EXPECT_EQ(dev_->ctx->fps, 30u);
    EXPECT_EQ(cam_param32(*cam, PARAM_FRAME_RATE), 30u);
    EXPECT_EQ(cam_param32(*cam, PARAM_INTG_TIME) & 0xFFFF, 500u);

    // Only the low 8 bits of the ID travel.
    ASSERT_TRUE(set_param32(256 + PARAM_INTG_TIME, 700, 2));
    EXPECT_EQ(cam_param32(*cam, PARAM_INTG_TIME) & 0xFFFF, 700u);

    // A failed set leaves the context's frame rate alone.
    cam->fault_fail_next("refused");
    EXPECT_FALSE(set_param32(PARAM_FRAME_RATE, 15));
    EXPECT_EQ(dev_->ctx->fps, 30u);

    pylox_param_item_t get[2] = {};
    get[0].param_id = PARAM_MOD_FREQ;
    get[0].param_val_len = 9; // overwritten by the device's length
    get[1].param_id = PARAM_INFO_PRODUCT;
    get[1].param_val[18] = 0x5A;
    ASSERT_EQ(pylox_param_batch_get(dev_, get, 2), 1);
    uint32_t f = 0;
    std::memcpy(&f, get[0].param_val, 4);
    EXPECT_EQ(f, 12000000u);
    EXPECT_EQ(get[0].param_val_len, 4);
    EXPECT_EQ(std::memcmp(get[1].param_val, "PYLOX-E2-VCAM", 13), 0);
    EXPECT_EQ(get[1].param_val[18], 0x5A);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(UsbDevice, RegisterBatchesAndTheSixteenBitCount)
{
    auto cam = plug();
    start_library();
    ASSERT_NE(open_first(), nullptr);
    const uint32_t vals[3] = {11, 22, 33};
    ASSERT_EQ(pylox_reg_batch_write(dev_, 1, 100, vals, 3), 1);
    EXPECT_EQ(cam->reg(1, 101), 22u);
    uint32_t back[3] = {};
    ASSERT_EQ(pylox_reg_batch_read(dev_, 1, 100, back, 3), 1);
    EXPECT_EQ(back[2], 33u);

    // The count travels as 16 bits: 65,539 registers write three.
    std::vector<uint32_t> many(65539);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<uint32_t>(1000 + i);
    cam->set_reg(2, 3, 77);
    ASSERT_EQ(pylox_reg_batch_write(dev_, 2, 0, many.data(), 65539), 1);
    EXPECT_EQ(cam->reg(2, 0), 1000u);
    EXPECT_EQ(cam->reg(2, 2), 1002u);
    EXPECT_EQ(cam->reg(2, 3), 77u);
    EXPECT_EQ(pylox_reg_batch_write(nullptr, 1, 0, vals, 1), 0);
}

TEST_F(UsbDevice, FramesMatchTheScene)
{
    auto cam = plug();
    cam->set_scene(vcam::Scene::box(2000, 1200));
    start_library();
    ASSERT_NE(open_first(), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    std::vector<uint8_t> buf(2 * k_frame);
    pylox_frame_info_t info{};
    ASSERT_EQ(pylox_cap_get_frames(dev_, 2, buf.data(), static_cast<int>(buf.size()), &info), 2);
    EXPECT_EQ(info.frame_size, static_cast<uint32_t>(k_frame));
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.depth, 8);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.temp0, 350);
    EXPECT_EQ(info.temp1, 300);
    const vcam::Truth t = cam->truth();
    EXPECT_EQ(phase_mismatches(buf.data(), t, 2.0), 0);
    EXPECT_EQ(phase_mismatches(buf.data() + k_frame, t, 2.0), 0);
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);
}

// A call waiting in pylox_cap_get_frames has its frame assembled in its own
// buffer, which is the library's only during the call: once a call returned
// (with its frame, or ended by a stop from another thread while it waited)
// nothing writes there, and every frame delivered is whole.
TEST_F(UsbDevice, CallersBufferIsWrittenOnlyDuringTheCall)
{
    vcam::CameraConfig cfg;
    cfg.stamp_frames = true;
    cfg.fps = 60;
    auto cam = plug(cfg);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    auto marked = [](const std::vector<uint8_t> &b, uint8_t mark) {
        return std::all_of(b.begin(), b.end(), [mark](uint8_t v) { return v == mark; });
    };
    std::vector<uint8_t> bufs[2] = {std::vector<uint8_t>(k_frame), std::vector<uint8_t>(k_frame)};
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    for (int k = 0; k < 12; ++k) {
        std::vector<uint8_t> &buf = bufs[k % 2];
        ASSERT_EQ(pylox_cap_get_frames(dev_, 1, buf.data(), k_frame, nullptr), 1);
        vcam::FrameStamp st;
        EXPECT_TRUE(vcam::read_stamp(buf.data(), k_frame, st)) << "call " << k;
        EXPECT_TRUE(marked(bufs[(k + 1) % 2], static_cast<uint8_t>(k))) << "call " << k;
        std::fill(buf.begin(), buf.end(), static_cast<uint8_t>(k + 1));
    }

    for (int round = 0; round < 4; ++round) {
        std::atomic<int> got{0};
        std::vector<uint8_t> &buf = bufs[0];
        std::thread taker([&] {
            vcam::FrameStamp st;
            while (pylox_cap_get_frames(dev_, 1, buf.data(), k_frame, nullptr) == 1) {
                if (!vcam::read_stamp(buf.data(), k_frame, st))
                    ADD_FAILURE() << "a torn frame";
                ++got;
            }
            std::fill(buf.begin(), buf.end(), uint8_t{0xA5});
        });
        EXPECT_TRUE(eventually([&] { return got.load() >= 3 + round; }, 5000ms));
        EXPECT_EQ(pylox_cap_stop(dev_), 1);
        taker.join();
        // Capture goes on, into another buffer.
        ASSERT_EQ(pylox_cap_start(dev_), 1);
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(pylox_cap_get_frames(dev_, 1, bufs[1].data(), k_frame, nullptr), 1);
        EXPECT_TRUE(marked(buf, 0xA5)) << "round " << round;
    }
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
}

// Each frame carries the host's monotonic time of its last byte: not before
// the camera sent that byte (the camera's frame ends are on the same clock),
// not later than the retrieval of frames that waited in the ring, increasing
// from frame to frame. The request and the callback both carry it.
TEST_F(UsbDevice, FramesCarryTheArrivalTimeOfTheirLastByte)
{
    auto cam = plug();
    cam->set_fps(25);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    struct stamp {
        int idx;
        uint64_t arrived; // the frame's arrival time
        uint64_t handed;  // when the application had it
    };
    static std::vector<stamp> seen;
    seen.clear();
    static constexpr auto now_us = [] {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                .count());
    };
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    tq_stream_state_t st{};
    ASSERT_TRUE(eventually(
        [&] { return tq_stream_get_state(dev_->ctx->stream, &st)->frames_ready >= 3; }, 5000ms));
    const uint64_t asked = now_us();
    for (int k = 0; k < 6; ++k) {
        pylox_frame_info_t info{};
        ASSERT_EQ(pylox_cap_get_frames(dev_, 1, nullptr, 0, &info), 1);
        seen.push_back({info.frame_idx, PYLOX_FRAME_TIME_US(&info), now_us()});
        // The oldest frame surely waited in the ring (a slow, instrumented
        // build may drop and refill the rest while the first call runs).
        if (k == 0) {
            EXPECT_LT(seen.back().arrived, asked) << "the first frame waited in the ring";
        }
    }
    ASSERT_EQ(pylox_cap_set_callback_on_frame_ready(
                  dev_,
                  [](pylox_dev_t *, pylox_frame_t *f) {
                      seen.push_back({f->info.frame_idx, PYLOX_FRAME_TIME_US(&f->info), now_us()});
                  }),
              1);
    // Two more through the callback. An instrumented build takes the frames
    // at a fraction of the camera's rate, so the wait has a deadline rather
    // than a window of a few frame times.
    ASSERT_TRUE(eventually(
        [&] {
            EXPECT_EQ(pylox_cap_wait(dev_, 200), 0);
            return seen.size() >= 8u;
        },
        5000ms));
    ASSERT_EQ(pylox_cap_stop(dev_), 1);

    // The camera's frames count from index 0 on, one end time each. A frame
    // arrives between the camera's sending and the application's having it
    // (how long between depends on the build and the machine's load).
    const auto ends = cam->frame_end_times();
    for (size_t k = 0; k < seen.size(); ++k) {
        const auto [idx, us, handed] = seen[k];
        ASSERT_LT(static_cast<size_t>(idx), ends.size());
        const auto sent = std::chrono::duration_cast<std::chrono::microseconds>(
            ends[static_cast<size_t>(idx)].time_since_epoch());
        EXPECT_GE(us, static_cast<uint64_t>(sent.count())) << "frame " << idx;
        EXPECT_LE(us, handed) << "frame " << idx;
        if (k > 0) {
            EXPECT_GT(us, seen[k - 1].arrived) << "frame " << idx;
        }
    }
}

TEST_F(UsbDevice, WaitTimeAtUnknownFrameRate)
{
    auto cam = plug();
    cam->fault_stop_sending(true);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(dev_->ctx->fps, 0u); // the camera streams as fast as it can
    std::vector<uint8_t> buf(k_frame);
    const auto t0 = Clock::now();
    EXPECT_EQ(pylox_cap_get_frames(dev_, 5, buf.data(), static_cast<int>(buf.size()), nullptr), 0);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 2700ms); // 5 x 100 + 5 x 1000 / 20 + 2000
    EXPECT_LT(took, 3600ms);
    EXPECT_EQ(dev_->ctx->fps, 20u);
}

TEST_F(UsbDevice, StartRefusedByTheCameraFails)
{
    auto cam = plug();
    cam->fault_refuse_stream_start(true);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    EXPECT_EQ(pylox_cap_start(dev_), 0);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);
    cam->fault_refuse_stream_start(false);
    EXPECT_EQ(pylox_cap_start(dev_), 1);
}

TEST_F(UsbDevice, StallsStopCaptureOnlyWhenSeventeenComeInARow)
{
    events ev;
    g_ev = &ev;
    auto cam = plug();
    cam->set_fps(100);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);
    ASSERT_EQ(pylox_cap_start(dev_), 1);

    // Three frames after each run of stalls, on a deadline: a call's own
    // wait is sized for a camera streaming at its rate, and recovering from
    // sixteen stalls under a sanitizer on a busy machine can take longer.
    const auto three_frames = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int got = 0;
        while (got < 3 && std::chrono::steady_clock::now() < until) {
            const int n = pylox_cap_get_frames(dev_, 3 - got, nullptr, 0, nullptr);
            if (n < 0)
                break;
            got += n;
        }
        return got;
    };
    cam->fault_stall_bulk(16);
    ASSERT_EQ(three_frames(), 3);
    cam->fault_stall_bulk(10);
    ASSERT_EQ(three_frames(), 3);
    cam->fault_stall_bulk(10);
    ASSERT_EQ(three_frames(), 3);
    EXPECT_TRUE(ev.errors.empty());
    EXPECT_GE(cam->clear_halt_count(), 1u);

    cam->fault_stall_bulk(40);
    pylox_cap_wait(dev_, 8000);
    ASSERT_EQ(ev.errors.size(), 1u);
    EXPECT_EQ(ev.errors[0].first, PYLOX_ERR_CAP_STALL);
    EXPECT_EQ(dev_->ctx->stop_req, 1u);
    g_ev = nullptr;
}

TEST_F(UsbDevice, DiscardedFramesAreReportedWithTheirTotal)
{
    events ev;
    g_ev = &ev;
    auto cam = plug();
    cam->set_fps(100);
    cam->set_data_checksum(true);
    cam->set_packet_payload(153600); // four packets a frame
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);
    pylox_cap_set_callback_on_frame_ready(dev_, count_frame);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    // Frames flow (an instrumented build on a busy machine may take longer
    // than one call's wait for the first two).
    int streamed = 0;
    ASSERT_TRUE(eventually(
        [&] {
            streamed += std::max(0, pylox_cap_get_frames(dev_, 2, nullptr, 0, nullptr));
            return streamed >= 2;
        },
        10s));

    cam->fault_stream(vcam::StreamFault::corrupt_payload, 1);
    ASSERT_TRUE(eventually(
        [&] {
            pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr);
            std::lock_guard<std::mutex> lk(ev.m);
            return !ev.errors.empty();
        },
        5s));
    cam->fault_stream(vcam::StreamFault::corrupt_payload, 1);
    ASSERT_TRUE(eventually(
        [&] {
            pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr);
            std::lock_guard<std::mutex> lk(ev.m);
            return ev.errors.size() >= 2;
        },
        5s));
    tq_stream_state_t st{};
    tq_stream_get_state(dev_->ctx->stream, &st);
    EXPECT_EQ(ev.errors[0].first, PYLOX_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(ev.errors[0].second, 1u);
    EXPECT_EQ(ev.errors[1].first, PYLOX_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(ev.errors[1].second, st.frames_discarded);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 1); // discards do not stop capture
    for (const auto &id : ev.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    g_ev = nullptr;
}

TEST_F(UsbDevice, ErrorCallbackRefusalStopsCaptureUntilTheNextStart)
{
    events ev;
    ev.go_on = false;
    g_ev = &ev;
    auto cam = plug();
    cam->set_fps(100);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);
    pylox_cap_set_callback_on_frame_ready(dev_, count_frame);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr), 1);
    cam->fault_bulk_error(1, -71 /* EPROTO */);
    EXPECT_EQ(pylox_cap_wait(dev_, 5000), 1);
    ASSERT_EQ(ev.errors.size(), 1u);
    EXPECT_EQ(ev.errors[0].first, PYLOX_ERR_CAP_UNKNOWN);
    EXPECT_EQ(dev_->ctx->force_stop, 1);
    const int before = ev.frames;
    EXPECT_EQ(pylox_cap_wait(dev_, 100), 1); // handles nothing more
    EXPECT_EQ(ev.frames, before);

    ev.go_on = true;
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(dev_->ctx->force_stop, 0);
    EXPECT_EQ(pylox_cap_get_frames(dev_, 2, nullptr, 0, nullptr), 2);
    g_ev = nullptr;
}

TEST_F(UsbDevice, UnplugWhileStreamingEndsCaptureWithAStatus)
{
    events ev;
    g_ev = &ev;
    auto cam = plug();
    cam->set_fps(100);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_cap_set_callback_on_error(dev_, record_error);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr), 1);
    cam->unplug();
    EXPECT_EQ(pylox_cap_wait(dev_, 5000), 1);
    ASSERT_FALSE(ev.errors.empty());
    EXPECT_EQ(ev.errors[0].first, PYLOX_ERR_CAP_UNKNOWN);
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
    g_ev = nullptr;
}

// A reset of the camera's USB interface while capturing: the camera comes
// back without streaming, so capture stops first (a waiting call returns,
// the state says stopped) and the next start streams from the camera that
// came back.
TEST_F(UsbDevice, ResetWhileCapturingStopsCaptureAndTheNextStartStreams)
{
    vcam::CameraConfig cfg;
    cfg.fps = 100;
    cfg.replug_delay_ms = 100;
    auto cam = plug(cfg);
    start_library();
    ASSERT_NE(open_first(), nullptr);
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    ASSERT_EQ(pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr), 1);
    std::atomic<int> waited{-1};
    std::thread waiter([&] { waited = pylox_cap_wait(dev_, 60000); });
    EXPECT_EQ(pylox_dev_reset(dev_, 3), 0);
    EXPECT_EQ(cam->reset_count(), 1u);
    const bool woke = eventually([&] { return waited.load() >= 0; }, 10s);
    if (!woke)
        pylox_cap_stop(dev_); // lets the waiter go
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(waited.load(), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);

    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_get_frames(dev_, 2, nullptr, 0, nullptr), 2);
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);
}

// A stop issued while a start waits for a busy camera to confirm the start
// command does not wait for the start's 2 s limit: the start fails, nothing
// streams, and the device is stopped.
TEST_F(UsbDevice, StopCutsShortAStartWaitingForABusyCamera)
{
    auto cam = plug();
    start_library();
    ASSERT_NE(open_first(), nullptr);
    cam->fault_busy(1 << 30);
    std::atomic<int> started{-1}, stopped{-1};
    std::thread starter([&] { started = pylox_cap_start(dev_); });
    // The start command reached the camera: the start polls its status now.
    ASSERT_TRUE(eventually(
        [&] {
            const auto log = cam->control_log();
            return std::any_of(log.begin(), log.end(),
                               [](auto &r) { return r.bRequest == 0xC2 && r.wValue == 4; });
        },
        10s));
    std::thread stopper([&] { stopped = pylox_cap_stop(dev_); });
    const bool cut = eventually([&] { return log_->has("poll given up for a waiting stop"); }, 5s);
    cam->fault_busy(0);
    starter.join();
    stopper.join();
    EXPECT_TRUE(cut);
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_FALSE(log_->has("(t=194,v=4), give up")); // only the frame-rate read ran out
    EXPECT_EQ(pylox_cap_is_ongoing(dev_), 0);
    EXPECT_TRUE(eventually([&] { return !cam->streaming() && cam->urbs_in_flight() == 0; }, 5s));
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    EXPECT_EQ(pylox_cap_get_frames(dev_, 1, nullptr, 0, nullptr), 1);
}

// Four application threads call whatever they like on the handle while a
// fifth closes and reopens it: no call may use a context (or a
// transport) that the close freed, and every frame handed out is the camera's.
TEST_F(UsbDevice, CallsRacingCloseAndReopenStaySafe)
{
    vcam::CameraConfig cfg;
    cfg.fps = 30;
    auto cam = plug(cfg);
    cam->set_scene(vcam::Scene::box(2000, 1200));
    start_library();
    ASSERT_NE(open_first(), nullptr);
    pylox_dev_t *const dev = dev_;
    const vcam::Truth truth = cam->truth();
    std::atomic<bool> quit{false};
    std::atomic<int> frames{0}, wrong{0}, opens{0};

    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> buf(2 * k_frame);
        while (!quit.load()) {
            switch (rng() % 7) {
            case 0: {
                set_param32(PARAM_FRAME_RATE, 30);
                uint32_t regs[4];
                pylox_reg_batch_read(dev, 1, 0, regs, 4);
                break;
            }
            case 1: {
                const int n = pylox_cap_get_frames(dev, 2, buf.data(), int(buf.size()), nullptr);
                for (int i = 0; i < n; ++i, ++frames)
                    wrong += phase_mismatches(buf.data() + i * k_frame, truth, 2.0) != 0;
                break;
            }
            case 2:
                if (pylox_cap_get_frame(dev, buf.data(), int(buf.size()), nullptr) == 1) {
                    ++frames;
                    wrong += phase_mismatches(buf.data(), truth, 2.0) != 0;
                }
                break;
            case 3:
                pylox_cap_is_ongoing(dev);
                break;
            case 4:
                pylox_cap_start(dev);
                break;
            case 5:
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
        workers.emplace_back(worker, 77 + i);
    constexpr int k_cycles = 10;
    for (int cycle = 0; cycle < k_cycles; ++cycle) {
        pylox_dev_close(dev);
        if (pylox_dev_open(dev) == dev) {
            ++opens;
            pylox_cap_start(dev);
        }
        std::this_thread::sleep_for(100ms); // the others work on the open device meanwhile
    }
    quit = true;
    for (auto &t : workers)
        t.join();
    EXPECT_EQ(opens.load(), k_cycles);
    // The device still streams after the race (an instrumented build on a
    // busy machine may see none while the others keep stopping it).
    std::vector<uint8_t> buf(k_frame);
    pylox_cap_start(dev);
    ASSERT_TRUE(eventually(
        [&] {
            if (pylox_cap_get_frame(dev, buf.data(), int(buf.size()), nullptr) != 1)
                return false;
            ++frames;
            wrong += phase_mismatches(buf.data(), truth, 2.0) != 0;
            return true;
        },
        10000ms));
    EXPECT_EQ(pylox_cap_stop(dev), 1);
    EXPECT_EQ(wrong.load(), 0) << "of " << frames.load() << " frames";
    EXPECT_EQ(std::atomic_ref<uint8_t>(dev->api_busy).load(), 0);
}

} // namespace
