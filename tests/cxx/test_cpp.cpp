// The C++ layer over the sample recording: the frames it hands out are the C
// interface's frames byte for byte, callbacks are std::function objects whose
// exceptions come back out of the call that ran them, devices are move-only
// and close in their destructor, failures are exceptions.
#include <pylox/pylox.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <type_traits>
#include <vector>

namespace {

static_assert(!std::is_copy_constructible_v<pylox::Device>);
static_assert(std::is_nothrow_move_constructible_v<pylox::Device>);
static_assert(!std::is_copy_constructible_v<pylox::Context>);

constexpr int k_frames = 4; // frames in the sample recording

// The recording's frames through the C interface alone.
std::vector<std::vector<uint8_t>> c_frames()
{
    std::vector<std::vector<uint8_t>> out;
    pylox_dev_t *dev = pylox_dev_open_replay(PYLOX_SAMPLE);
    if (!dev || pylox_cap_start(dev) != 1)
        return out;
    std::vector<uint8_t> buf(pylox::default_frame_bytes);
    for (int k = 0; k < k_frames; ++k) {
        pylox_frame_info_t info{};
        if (pylox_cap_get_frames(dev, 1, buf.data(), static_cast<int>(buf.size()), &info) != 1)
            break;
        out.emplace_back(buf.begin(), buf.begin() + info.frame_size);
    }
    pylox_dev_close(dev);
    return out;
}

class Cpp : public ::testing::Test {
protected:
    pylox::Context lib{"/tmp/pylox_test_cpp.log"};
};

TEST_F(Cpp, FramesAreTheCInterfacesFrames)
{
    const auto want = c_frames();
    ASSERT_EQ(want.size(), static_cast<size_t>(k_frames));
    pylox::Device cam = lib.open_replay(PYLOX_SAMPLE);
    EXPECT_EQ(cam.product(), "PYLOX-E2-VCAM");
    cam.start();
    EXPECT_TRUE(cam.capturing());
    uint64_t last = 0;
    for (int k = 0; k < 2; ++k) {
        const pylox::Frame f = cam.get_frame_wait();
        EXPECT_EQ(f.data, want[static_cast<size_t>(k)]) << "frame " << k;
        EXPECT_EQ(f.info.width, 320u);
        EXPECT_GT(f.time_us(), last);
        last = f.time_us();
#if __cplusplus >= 202002L
        EXPECT_EQ(f.bytes().size(), f.data.size());
#endif
    }
    // The rest through a callback, which sees the same bytes and times.
    int seen = 2;
    cam.on_frame([&](const pylox::FrameView &v) {
        ASSERT_LT(seen, k_frames);
        const auto &w = want[static_cast<size_t>(seen++)];
        EXPECT_EQ(std::vector<uint8_t>(v.data, v.data + v.size), w);
        EXPECT_GT(v.time_us(), last);
        last = v.time_us();
#if __cplusplus >= 202002L
        EXPECT_EQ(v.bytes().data(), v.data);
#endif
    });
    while (seen < k_frames)
        if (cam.wait(5000))
            break;
    EXPECT_EQ(seen, k_frames);
}

TEST_F(Cpp, CallbackExceptionsComeOutOfTheCallThatRanThem)
{
    pylox::Device cam = lib.open_replay(PYLOX_SAMPLE);
    cam.on_frame([](const pylox::FrameView &) { throw std::runtime_error("from the callback"); });
    cam.start();
    EXPECT_THROW(
        {
            for (int k = 0; k < 10; ++k)
                cam.wait(2000);
        },
        std::runtime_error);
    // The device goes on working without the callback.
    cam.on_frame(nullptr);
    EXPECT_NO_THROW(cam.stop());
    EXPECT_FALSE(cam.capturing());
}

TEST_F(Cpp, DevicesMoveAndCloseInTheirDestructor)
{
    {
        pylox::Device a = lib.open_replay(PYLOX_SAMPLE);
        // The default handle serves one device at a time.
        EXPECT_THROW(lib.open_replay(PYLOX_SAMPLE), pylox::Error);
        pylox::Device b = std::move(a);
        EXPECT_FALSE(a.is_open());
        EXPECT_TRUE(b.is_open());
        EXPECT_THROW(a.start(), std::logic_error);
        pylox::Device c;
        c = std::move(b);
        EXPECT_TRUE(c.is_open());
        EXPECT_EQ(c.product(), "PYLOX-E2-VCAM");
    }
    // Closed by the destructor: the handle opens again.
    pylox::Device again = lib.open_replay(PYLOX_SAMPLE);
    EXPECT_TRUE(again.is_open());
    again.close();
    EXPECT_FALSE(again.is_open());
}

TEST_F(Cpp, FailuresAreExceptions)
{
    try {
        lib.open_replay("/no/such/file.raw");
        FAIL() << "no exception";
    } catch (const pylox::Error &e) {
        EXPECT_NE(std::string(e.what()).find("pylox_dev_open_replay"), std::string::npos);
    }
    pylox::Device cam = lib.open_replay(PYLOX_SAMPLE);
    EXPECT_THROW(cam.set_param(PARAM_FRAME_RATE, "0123456789abcdefghij", 20),
                 std::invalid_argument);
}

// Sizes: an owned frame holds the frame's bytes (or as many as were asked
// for), a view and its span cover exactly the frame; failed calls throw
// pylox::Error with the C call's name and result.
TEST_F(Cpp, FrameSizesAndErrorCodes)
{
    pylox::Device cam = lib.open_replay(PYLOX_SAMPLE);
    // Not capturing: the C call's -2 comes out as the error's code.
    try {
        cam.get_frame_wait();
        FAIL() << "no exception";
    } catch (const pylox::Error &e) {
        EXPECT_EQ(e.code(), -2);
        EXPECT_NE(std::string(e.what()).find("pylox_cap_get_frames"), std::string::npos);
    }
    const pylox::Frame snap = cam.snapshot();
    EXPECT_EQ(snap.info.frame_size, pylox::default_frame_bytes);
    EXPECT_EQ(snap.data.size(), pylox::default_frame_bytes);
    EXPECT_FALSE(cam.capturing());
    // A ring of one frame cannot capture.
    cam.set_ring_frames(1);
    EXPECT_THROW(cam.start(), pylox::Error);
    cam.set_ring_frames(4);
    cam.start();
    const pylox::Frame part = cam.get_frame_wait(1000);
    EXPECT_EQ(part.data.size(), 1000u);
    EXPECT_EQ(part.info.frame_size, pylox::default_frame_bytes);
    size_t viewed = 0;
    cam.on_frame([&](const pylox::FrameView &v) {
        viewed = v.size;
        EXPECT_EQ(v.size, v.info.frame_size);
#if __cplusplus >= 202002L
        EXPECT_EQ(v.bytes().size(), v.size);
#endif
    });
    while (viewed == 0 && !cam.wait(5000)) {
    }
    EXPECT_EQ(viewed, pylox::default_frame_bytes);
#if __cplusplus >= 202002L
    EXPECT_EQ(snap.bytes().size(), snap.info.frame_size);
#endif
}

} // namespace
