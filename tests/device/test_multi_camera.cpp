// Four cameras streaming at once, each read by an application thread of its
// own through pylox_cap_get_frames, every frame decoded to distance: none is
// lost, and each arrives whole (the cameras stamp their frames).
//
// PYLOX_MULTICAM_SECONDS sets the streaming time (60 when unset).
#include "support/vcam/device_fixture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

using namespace devtest;

namespace {

constexpr int k_w = 320, k_h = 240, k_frame = k_w * k_h * 8, k_cams = 4;

int stream_seconds()
{
    const char *s = std::getenv("PYLOX_MULTICAM_SECONDS");
    const int v = s ? std::atoi(s) : 0;
    return v > 0 ? v : 60;
}

struct reader_result {
    int delivered = 0, decoded = 0, out_of_sequence = 0, bad = 0;
    int64_t first_gap = -1;   // the first frame missing
    uint64_t sent_before = 0; // frames the camera sent before the measured stream
    tq_stream_state_t st{};
};

class MultiCamera : public DeviceTest {
protected:
    void TearDown() override
    {
        for (auto &h : handles_)
            if (h.ctx)
                pylox_dev_close(&h);
        DeviceTest::TearDown();
    }
    pylox_dev_t handles_[k_cams]{};
};

TEST_F(MultiCamera, FourCamerasAtThirtyFramesPerSecondLoseNoFrame)
{
    const int seconds = stream_seconds();
    std::vector<std::shared_ptr<vcam::Camera>> cams;
    for (int i = 0; i < k_cams; ++i) {
        vcam::CameraConfig cfg;
        cfg.port = i + 1;
        cfg.fps = 30;
        cfg.stamp_frames = true;
        cfg.serial.back() = static_cast<uint8_t>(i + 1);
        cams.push_back(plug(cfg));
        cams.back()->set_scene(vcam::Scene::box(2500.0f, 800.0f + 300.0f * i));
    }
    start_library();
    ASSERT_EQ(pylox_dev_list(handles_, k_cams), k_cams);
    // The camera behind each handle, by its port.
    std::vector<std::shared_ptr<vcam::Camera>> cam_of(k_cams);
    for (int i = 0; i < k_cams; ++i) {
        ASSERT_NE(pylox_dev_open(&handles_[i]), nullptr) << i;
        for (auto &c : cams)
            if (c->port() == handles_[i].loc.usb.port)
                cam_of[i] = c;
        ASSERT_NE(cam_of[i], nullptr);
    }

    std::vector<reader_result> res(k_cams);
    std::atomic<int> started{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < k_cams; ++i)
        readers.emplace_back([&, i] {
            pylox_dev_t *dev = &handles_[i];
            reader_result &r = res[i];
            std::vector<uint8_t> raw(k_frame);
            std::vector<float> dist(2 * k_w * k_h);
            pylox_frame_info_t info{};
            // A first short stream: the camera makes its scene's samples once
            // (and then sends the frames that fell due meanwhile back to back).
            if (pylox_cap_start(dev) != 1 ||
                pylox_cap_get_frames(dev, 1, raw.data(), k_frame, &info) != 1 ||
                pylox_cap_stop(dev) != 1)
                return;
            r.sent_before = cam_of[i]->frames_streamed();
            // A ring of one second, as an application on a busy machine would have.
            pylox_cap_set_frame_buffer(dev, nullptr, 30 * PYLOX_CAP_FRAME_UNIT);
            if (pylox_cap_start(dev) != 1)
                return;
            ++started;
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            int64_t next = 0;
            auto take = [&](int got) {
                if (got != 1)
                    return;
                ++r.delivered;
                vcam::FrameStamp st;
                if (!vcam::read_stamp(raw.data(), k_frame, st) || st.stream != 2) {
                    ++r.bad;
                    return;
                }
                if (st.frame != next) {
                    ++r.out_of_sequence;
                    if (r.first_gap < 0)
                        r.first_gap = next;
                }
                next = int64_t{st.frame} + 1;
                if (pylox_frame_get_distance(dev, dist.data(), static_cast<int>(dist.size()),
                                             raw.data(), k_frame, &info) == k_w * k_h)
                    ++r.decoded;
            };
            while (Clock::now() < end)
                take(pylox_cap_get_frames(dev, 1, raw.data(), k_frame, &info));
            pylox_cap_stop(dev);
            // What is still in the ring after the stop is delivered all the
            // same (the call reports -2 then, frame or not).
            while (tq_stream_get_state(dev->ctx->stream, &r.st)->frames_ready > 0) {
                pylox_cap_get_frame(dev, raw.data(), k_frame, &info);
                take(1);
            }
            tq_stream_get_state(dev->ctx->stream, &r.st);
        });
    for (auto &t : readers)
        t.join();
    ASSERT_EQ(started.load(), k_cams);

    for (int i = 0; i < k_cams; ++i) {
        const reader_result &r = res[i];
        const uint64_t sent = cam_of[i]->frames_streamed() - r.sent_before;
        std::printf("camera %d: %llu frames sent, %d delivered, %d decoded, %u dropped, %u "
                    "discarded, first missing %lld\n",
                    i, static_cast<unsigned long long>(sent), r.delivered, r.decoded,
                    r.st.frames_dropped, r.st.frames_discarded,
                    static_cast<long long>(r.first_gap));
        EXPECT_EQ(r.bad, 0) << i;
        EXPECT_EQ(r.out_of_sequence, 0) << i;
        EXPECT_EQ(r.st.frames_dropped, 0u) << i;
        EXPECT_EQ(r.st.frames_discarded, 0u) << i;
        EXPECT_EQ(r.decoded, r.delivered) << i;
        // Every frame the camera finished sending arrived (the stop may cut
        // the last one short).
        EXPECT_GE(static_cast<uint64_t>(r.delivered) + 1, sent) << i;
        EXPECT_GE(r.delivered, 30 * seconds * 9 / 10) << i;
    }
}

} // namespace
