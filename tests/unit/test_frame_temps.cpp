// Frame temperatures of raw recordings: saved next to the recording, played
// back by the replay device in every frame's header, recordings without them
// still playable (with one warning), and the raw file itself unchanged.
#include "files/frame_temps.h"
#include "support/log_capture.h"
#include "support/raw_file.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

constexpr int k_w = 32, k_h = 24, k_n = k_w * k_h * 4;
const char *const k_tag = "PYLOX-E2-R320";

class FrameTemps : public ::testing::Test {
protected:
    void SetUp() override
    {
        pylox_init(log_.path().c_str());
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        path_ = scratch_path("pylox_temps") + ".raw";
    }
    void TearDown() override
    {
        pylox_uninit();
        std::filesystem::remove(path_);
        std::filesystem::remove(path_ + ".temps");
    }
    static std::vector<uint16_t> frame(int k) { return std::vector<uint16_t>(k_n, 100 + k); }
    // Frames saved as an application records them: in calls of `per` frames,
    // each followed by the temperatures of the frames it wrote.
    void record(const std::vector<std::pair<int16_t, int16_t>> &temps, int per, bool with_temps)
    {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (size_t k = 0; k < temps.size(); k += per) {
            std::vector<uint16_t> data;
            std::vector<pylox_frame_info_t> info;
            for (size_t j = k; j < temps.size() && j < k + per; ++j) {
                const auto f = frame(static_cast<int>(j));
                data.insert(data.end(), f.begin(), f.end());
                pylox_frame_info_t fi{};
                fi.temp0 = static_cast<uint16_t>(temps[j].first);
                fi.temp1 = static_cast<uint16_t>(temps[j].second);
                info.push_back(fi);
            }
            ASSERT_EQ(pylox_frame_save_raw(fd, PYLOX_FRAME_SAVE_U16, data.data(),
                                           static_cast<int>(data.size()), k_w, k_h, 4, k_tag),
                      1);
            if (with_temps) {
                ASSERT_EQ(pylox_frame_save_temps(fd, info.data(), static_cast<int>(info.size())),
                          1);
            }
        }
        ::close(fd);
    }
    // The temperatures of every replayed frame, as the driver reports them.
    std::vector<std::pair<int, int>> replay(int frames)
    {
        std::vector<std::pair<int, int>> out;
        pylox_dev_t *dev = pylox_dev_open_replay(path_.c_str());
        EXPECT_NE(dev, nullptr);
        if (!dev)
            return out;
        std::vector<uint8_t> buf(2 * k_n);
        EXPECT_EQ(pylox_cap_start(dev), 1);
        for (int k = 0; k < frames; ++k) {
            pylox_frame_info_t info{};
            if (pylox_cap_get_frames(dev, 1, buf.data(), static_cast<int>(buf.size()), &info) != 1)
                break;
            EXPECT_EQ(buf[0], 100 + k);
            out.emplace_back(static_cast<int16_t>(info.temp0), static_cast<int16_t>(info.temp1));
        }
        pylox_cap_stop(dev);
        pylox_dev_close(dev);
        return out;
    }

    log_capture log_{TQ_LOG_DBG, "pylox_temps_log"};
    std::string path_;
};

// Frame by frame or several frames per call, every frame replays with its
// own temperatures, and a second replay (a rewound file) starts again at the
// first frame's. The raw file stays what a plain raw reader expects.
TEST_F(FrameTemps, ReplayCarriesEachFramesTemperatures)
{
    const std::vector<std::pair<int16_t, int16_t>> temps = {
        {350, 300}, {352, 301}, {-20, 45}, {999, 880}, {410, 399}};
    for (int per : {1, 2, 5}) {
        record(temps, per, true);
        for (int pass = 0; pass < 2; ++pass) {
            const auto got = replay(5);
            ASSERT_EQ(got.size(), temps.size()) << per;
            for (size_t k = 0; k < temps.size(); ++k) {
                EXPECT_EQ(got[k].first, temps[k].first) << per << " " << k;
                EXPECT_EQ(got[k].second, temps[k].second) << per << " " << k;
            }
        }
    }
    const int fd = ::open(path_.c_str(), O_RDONLY);
    std::vector<uint16_t> dst(k_n);
    int w = 0, n = 0, frames = 0;
    while (pylox_frame_load_raw(fd, dst.data(), k_n, &w, nullptr, &n, nullptr, 0) == k_n)
        EXPECT_EQ(dst[5], 100 + frames++);
    ::close(fd);
    EXPECT_EQ(frames, 5);
    EXPECT_EQ(w, k_w);
    EXPECT_EQ(std::filesystem::file_size(path_),
              std::string("TQ_RAW,U16,32,24,4,PYLOX-E2-R320\n").size() + 5u * 2 * k_n);
}

// Old recordings (no companion) and damaged companions still play, with the
// temperatures at 0 and one warning per open; a companion shorter than the
// recording lends its last frame's values to the frames after it.
TEST_F(FrameTemps, RecordingsWithoutUsableTemperaturesStillPlay)
{
    record({{350, 300}, {351, 300}, {352, 300}}, 1, false);
    auto got = replay(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], std::make_pair(0, 0));
    EXPECT_EQ(log_.count("has no frame temperatures"), 1);

    for (const char *bad : {"TQ_TEMPS,CB,IB\n0,350\n", "temps\n0,350,300\n",
                            "TQ_TEMPS,CB,IB\n-1,3,3\n", "TQ_TEMPS,CB,IB\n0,350,99999\n"}) {
        std::ofstream(path_ + ".temps") << bad;
        got = replay(3);
        ASSERT_EQ(got.size(), 3u) << bad;
        EXPECT_EQ(got[0], std::make_pair(0, 0)) << bad;
    }
    // A NUL inside a line must not hide a damaged rest of it.
    std::ofstream(path_ + ".temps") << std::string("TQ_TEMPS,CB,IB\n0,350,300\0),2,2\n", 31);
    got = replay(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::make_pair(0, 0));
    EXPECT_GE(log_.count("temperatures ignored") + log_.count("is no temperature file"), 5);

    std::ofstream(path_ + ".temps") << "TQ_TEMPS,CB,IB\n1,360,310\n";
    got = replay(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::make_pair(360, 310));
    EXPECT_EQ(got[2], std::make_pair(360, 310));
}

TEST_F(FrameTemps, SavingNeedsTheRecordingJustAfterWholeFrames)
{
    pylox_frame_info_t fi{};
    EXPECT_EQ(pylox_frame_save_temps(-1, &fi, 1), 0);
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(pylox_frame_save_temps(fd, &fi, 1), 0); // no header yet
    const auto f = frame(0);
    ASSERT_EQ(pylox_frame_save_raw(fd, PYLOX_FRAME_SAVE_U16, f.data(), k_n, k_w, k_h, 4, k_tag), 1);
    EXPECT_EQ(pylox_frame_save_temps(fd, &fi, 2), 0); // only one frame there
    EXPECT_EQ(pylox_frame_save_temps(fd, &fi, 0), 0);
    ::lseek(fd, -1, SEEK_CUR);
    EXPECT_EQ(pylox_frame_save_temps(fd, &fi, 1), 0); // inside a frame
    ::close(fd);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".temps"));
}

// Companions as written by hand or by older tools: lines in any order, frames
// named twice (the last line wins), gaps (the nearest earlier frame's values,
// leading ones the first named frame's), far frame numbers; the result matches
// a plain model of those rules.
TEST_F(FrameTemps, CompanionLinesInAnyOrderFollowTheFillRules)
{
    std::mt19937 rng(7);
    const std::string temps = path_ + ".temps";
    for (int round = 0; round < 200; ++round) {
        const int span = round % 50 == 49 ? 300000 : 40;
        const int lines = static_cast<int>(rng() % 12);
        std::string text = "TQ_TEMPS,CB,IB\n";
        std::vector<int> cb(span, INT32_MIN), ib(span, 0);
        int top = -1;
        for (int i = 0; i < lines; ++i) {
            const int k = static_cast<int>(rng() % span);
            const int c = static_cast<int>(rng() % 2000) - 1000, b = static_cast<int>(rng() % 900);
            text += std::to_string(k) + "," + std::to_string(c) + "," + std::to_string(b) + "\n";
            if (rng() % 4 == 0)
                text += "\n";
            cb[k] = c;
            ib[k] = b;
            top = std::max(top, k);
        }
        std::ofstream(temps, std::ios::binary | std::ios::trunc) << text;
        std::vector<pylox::frame_temps> got(5);
        ASSERT_EQ(pylox::load_temps(temps, "test", got), pylox::temps_status::ok) << text;
        ASSERT_EQ(got.size(), static_cast<size_t>(top + 1)) << text;
        int first = 0;
        while (first <= top && cb[first] == INT32_MIN)
            ++first;
        for (int k = 0; k <= top; ++k) {
            const int from = cb[k] != INT32_MIN ? k : k < first ? first : -1;
            if (from < 0) { // a gap after the first named frame
                cb[k] = cb[k - 1];
                ib[k] = ib[k - 1];
            }
            const int src = from < 0 ? k : from;
            ASSERT_EQ(got[k].cb, cb[src]) << "frame " << k << " of\n" << text;
            ASSERT_EQ(got[k].ib, ib[src]) << "frame " << k << " of\n" << text;
        }
    }
}

} // namespace
