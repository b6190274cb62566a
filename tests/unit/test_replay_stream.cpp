// The replay device's output goes through the stream parser as a camera's
// byte stream would: every frame of the file comes out whole, byte for byte,
// with its index, format and size.
#include "support/frame_files.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace pylox_test;
using namespace std::chrono_literals;

namespace {

// Feeds the capture callback's chunks to a parser, as the capture layer does.
struct parser_sink {
    tq_stream_t *stream = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    int ends = 0;     // end-of-file or error events
    int last_end = 0; // the code of the last one

    static int feed(pylox_ll_dev_t *, int code, const uint8_t *data, int len, void *user)
    {
        auto *self = static_cast<parser_sink *>(user);
        if (code == PYLOX_LL_EVT_DATA) {
            tq_stream_feed_input(self->stream, data, len);
            return 0;
        }
        std::lock_guard<std::mutex> lk(self->mu);
        ++self->ends;
        self->last_end = code;
        self->cv.notify_all();
        return 0;
    }
    bool wait_ends(int n)
    {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, 10s, [&] { return ends >= n; });
    }
};

class ReplayStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        tq_stream_cfg_t cfg{10};
        sink_.stream = tq_stream_create(&cfg);
        ASSERT_NE(sink_.stream, nullptr);
    }
    void TearDown() override
    {
        if (dev_.priv)
            pylox_ll_dev_close(&dev_);
        if (file_)
            std::fclose(file_);
        tq_stream_destroy(sink_.stream);
    }
    // Frames of w x h x n samples with contents unique to each frame and sample.
    std::vector<std::vector<uint16_t>> write_file(const std::string &path, int frames, int w, int h,
                                                  int n, int fmt)
    {
        std::vector<std::vector<uint16_t>> all;
        fd_guard fd(path);
        for (int k = 0; k < frames; ++k) {
            std::vector<uint16_t> f(size_t(w) * h * n);
            for (size_t i = 0; i < f.size(); ++i)
                f[i] = static_cast<uint16_t>((i * 40503u) ^ (k * 0x9E37u));
            EXPECT_EQ(pylox_frame_save_raw(fd.get(), fmt, f.data(), int(f.size()), w, h, n,
                                           "PYLOX-E2-R320"),
                      1);
            all.push_back(std::move(f));
        }
        return all;
    }
    void open(const std::string &path)
    {
        file_ = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file_, nullptr);
        dev_.kind = PYLOX_LL_KIND_FILE;
        dev_.loc.file = file_;
        ASSERT_EQ(pylox_ll_dev_open(&dev_), &dev_);
    }
    // One run from the first frame to the end of the file, then every ready
    // frame compared with the file's frames.
    // temp0/temp1: the temperatures the frames' headers carry (those of the
    // recording's companion file; 0 without one).
    void run_and_check(const std::vector<std::vector<uint16_t>> &frames, int w, int h, int idx_step,
                       int runs_before, uint16_t temp0 = 0, uint16_t temp1 = 0)
    {
        tq_stream_reset(sink_.stream);
        ASSERT_EQ(pylox_ll_cap_start(&dev_, 0, &parser_sink::feed, &sink_), 1);
        ASSERT_TRUE(sink_.wait_ends(runs_before + 1));
        EXPECT_EQ(sink_.last_end, PYLOX_LL_EVT_CANCELLED);

        tq_stream_state_t st{};
        tq_stream_get_state(sink_.stream, &st);
        EXPECT_EQ(st.frames_completed, frames.size());
        EXPECT_EQ(st.frames_ready, frames.size());
        EXPECT_EQ(st.frames_discarded, 0u);
        EXPECT_EQ(st.frames_dropped, 0u);
        EXPECT_EQ(st.bytes_discarded, 0u);

        const size_t bytes = frames[0].size() * 2;
        std::vector<uint8_t> got(bytes + 8, 0xCC);
        for (size_t k = 0; k < frames.size(); ++k) {
            SCOPED_TRACE("frame " + std::to_string(k));
            tq_stream_finfo_t fi{};
            ASSERT_EQ(tq_stream_fetch_frames(sink_.stream, got.data(), int(got.size()), 1, &fi, 0),
                      1);
            EXPECT_EQ(fi.frame_size, bytes);
            EXPECT_EQ(fi.frame_idx, uint16_t((k + 1) * idx_step));
            EXPECT_EQ(fi.frame_format, 2);
            EXPECT_EQ(fi.attr.width, w);
            EXPECT_EQ(fi.attr.height, h);
            EXPECT_EQ(fi.attr.temp0, temp0);
            EXPECT_EQ(fi.attr.temp1, temp1);
            EXPECT_EQ(fi.attr.word, 0u);
            ASSERT_EQ(std::memcmp(got.data(), frames[k].data(), bytes), 0);
            EXPECT_EQ(got[bytes], 0xCC);
        }
        EXPECT_EQ(tq_stream_fetch_frames(sink_.stream, got.data(), int(got.size()), 1, nullptr, 0),
                  0);
    }

    scratch_dir dir_;
    FILE *file_ = nullptr;
    pylox_ll_dev_t dev_{};
    parser_sink sink_;
};

TEST_F(ReplayStream, CameraSizedFramesArriveWholeOnEveryRun)
{
    const std::string path = dir_.file("cam.raw");
    const auto frames = write_file(path, 4, 320, 240, 4, PYLOX_FRAME_SAVE_U16);
    open(path);
    run_and_check(frames, 320, 240, 1, 0);
    run_and_check(frames, 320, 240, 1, 1); // a new start replays from the first frame
}

TEST_F(ReplayStream, U32FilesAndFramesLongerThanAPacket)
{
    const std::string p32 = dir_.file("u32.raw");
    const auto f32 = write_file(p32, 3, 32, 8, 4, PYLOX_FRAME_SAVE_U32);
    open(p32);
    run_and_check(f32, 32, 8, 2, 0);
    pylox_ll_dev_close(&dev_);
    std::fclose(file_);
    file_ = nullptr;

    // 1024 x 768 x 2 samples: 3 MiB per frame, six packets each.
    const std::string big = dir_.file("big.raw");
    const auto fb = write_file(big, 2, 1024, 768, 2, PYLOX_FRAME_SAVE_U16);
    open(big);
    run_and_check(fb, 1024, 768, 1, 1);
}

// The recorded sample of the repository replays as the camera sent it.
TEST_F(ReplayStream, RecordedSampleReplays)
{
    const std::string path =
        (fs::path(PYLOX_SOURCE_DIR) / "samples" / "vcam_box_e2.raw").string();
    fd_guard fd(path, O_RDONLY);
    ASSERT_GE(fd.get(), 0) << path;
    std::vector<std::vector<uint16_t>> frames;
    std::vector<uint16_t> f(320 * 240 * 4);
    int w = 0, h = 0, n = 0;
    char tag[40] = {};
    while (pylox_frame_load_raw(fd.get(), f.data(), int(f.size()), &w, &h, &n, tag, 40) ==
           int(f.size())) {
        frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(tag, "PYLOX-E2-VCAM");
    for (const auto &fr : frames)
        EXPECT_LE(*std::max_element(fr.begin(), fr.end()), 4095) << "phase samples have 12 bits";

    open(path);
    pylox_ll_param_t item{};
    item.id = PARAM_INFO_PRODUCT;
    ASSERT_EQ(pylox_ll_param_get(&dev_, &item, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(item.val), item.len), "PYLOX-E2-VCAM");
    run_and_check(frames, 320, 240, 1, 0, 350, 300); // 35.0 and 30.0 degC
}

} // namespace
