// Recordings of the OpenNI writer played by OpenNI2's own file player: the
// player must offer the streams with their video modes and frame counts and
// deliver every frame with its pixels, index and timestamp, then start over.
//
// Seeking is checked on the file instead of through PlaybackControl::seek:
// Debian's OpenNI2 2.2.0.33 crashes inside that call for every file, its
// own recordings included (a known fault of its core: the seek record it
// hands to the file driver lives on a stack frame already left). What the player's seek reads is
// checked instead: the seek-table entry of frames N/2, 1 and N leads to the record of that frame,
// whose contents are those the player delivered as that frame.
#include "support/frame_files.h"
#include "support/oni_reader.h"

#include <pylox/pylox.h>

#include <OpenNI.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

constexpr int k_w = 320, k_h = 240, k_frames = 20;

uint64_t depth_ts(int f)
{
    return 5000000u + uint64_t(f) * 33333u + uint64_t(f % 4) * 11u;
}

uint64_t ir_ts(int f)
{
    return depth_ts(f) + 500u;
}

std::vector<uint16_t> depth_frame(int f)
{
    std::vector<uint16_t> px(k_w * k_h);
    for (int i = 0; i < k_w * k_h; ++i)
        px[i] = uint16_t((uint32_t(f) * 1009u + uint32_t(i) * 13u) % 10000u);
    return px;
}

std::vector<uint16_t> ir_frame(int f)
{
    std::vector<uint16_t> px(k_w * k_h);
    for (int i = 0; i < k_w * k_h; ++i)
        px[i] = uint16_t((uint32_t(i) * 7u) ^ (uint32_t(f) * 0x9E37u));
    return px;
}

// What the player delivered for one frame.
struct played {
    int index;
    uint64_t ts;
    std::vector<uint16_t> px;
};

class OniPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(openni::OpenNI::initialize(), openni::STATUS_OK)
            << openni::OpenNI::getExtendedError();
    }
    static void TearDownTestSuite() { openni::OpenNI::shutdown(); }

    // Records k_frames frames of a depth stream, and of an IR stream too when
    // with_ir, frames of the two interleaved.
    void record(bool with_ir)
    {
        oni_recorder_t rec{};
        ASSERT_EQ(oni_open(&rec, path_.c_str()), 1);
        const oni_stream_info_t depth = {
            TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 10000, k_w, k_h, 2, 30};
        const oni_stream_info_t ir = {TQ_ONI_NODE_IR, TQ_ONI_PIXEL_GRAY16, 0, k_w, k_h, 2, 30};
        oni_stream_t *d = oni_stream_open(&rec, &depth);
        oni_stream_t *r = with_ir ? oni_stream_open(&rec, &ir) : nullptr;
        ASSERT_NE(d, nullptr);
        for (int f = 1; f <= k_frames; ++f) {
            const auto dp = depth_frame(f);
            oni_stream_save_frame(d, dp.data(), uint32_t(dp.size() * 2), depth_ts(f));
            if (r) {
                const auto ip = ir_frame(f);
                oni_stream_save_frame(r, ip.data(), uint32_t(ip.size() * 2), ir_ts(f));
            }
        }
        oni_close(&rec);
    }

    // Steps the player frame by frame until each stream delivered `want`
    // frames; what each stream delivered, in order.
    std::vector<std::vector<played>> play(std::vector<openni::VideoStream *> streams, int want)
    {
        std::vector<std::vector<played>> got(streams.size());
        auto done = [&] {
            for (const auto &g : got)
                if (int(g.size()) < want)
                    return false;
            return true;
        };
        // Each step delivers one frame; the bound only ends a player gone wrong.
        for (int step = 0; step < 4 * want * int(streams.size()) && !done(); ++step) {
            int idx = -1;
            const openni::Status st =
                openni::OpenNI::waitForAnyStream(streams.data(), int(streams.size()), &idx, 5000);
            if (st != openni::STATUS_OK) {
                ADD_FAILURE() << "no frame within 5 s after " << step << " frames";
                break;
            }
            openni::VideoFrameRef fr;
            if (streams[idx]->readFrame(&fr) != openni::STATUS_OK) {
                ADD_FAILURE() << "readFrame failed";
                break;
            }
            EXPECT_EQ(fr.getWidth(), k_w);
            EXPECT_EQ(fr.getHeight(), k_h);
            EXPECT_EQ(fr.getStrideInBytes(), k_w * 2);
            EXPECT_EQ(fr.getDataSize(), k_w * k_h * 2);
            const auto *p = static_cast<const uint16_t *>(fr.getData());
            got[idx].push_back({fr.getFrameIndex(), fr.getTimestamp(),
                                std::vector<uint16_t>(p, p + fr.getDataSize() / 2)});
        }
        EXPECT_TRUE(done());
        return got;
    }

    // Frames 1..k_frames in order with their timestamps and pixels, then the
    // player starts again at frame 1.
    void expect_all_frames_then_loop(const std::vector<played> &got, uint64_t (*ts)(int),
                                     std::vector<uint16_t> (*pixels)(int), const char *what)
    {
        SCOPED_TRACE(what);
        ASSERT_GE(got.size(), size_t(k_frames + 2));
        for (int f = 1; f <= k_frames + 2; ++f) {
            const int want = (f - 1) % k_frames + 1;
            const played &p = got[size_t(f - 1)];
            EXPECT_EQ(p.index, want) << "delivery " << f;
            EXPECT_EQ(p.ts, ts(want)) << "frame " << want;
            EXPECT_TRUE(p.px == pixels(want)) << "pixels of frame " << want;
        }
    }

    // Where the player's seek to frame k of a node goes: the seek-table entry
    // leads to the record holding what the player delivered as frame k.
    void expect_seek_targets(const oni_file &f, uint32_t node, const std::vector<played> &got)
    {
        const oni_node_added n = decode_node_added(*f.of_type(13, node)[0]);
        const oni_record *table = f.at(n.seek_pos);
        ASSERT_NE(table, nullptr);
        const auto rows = decode_seek_table(*table);
        ASSERT_EQ(rows.size(), size_t(k_frames + 1));
        for (int k : {k_frames / 2, 1, k_frames}) {
            SCOPED_TRACE("node " + std::to_string(node) + " frame " + std::to_string(k));
            const oni_record *r = f.at(rows[size_t(k)].pos);
            ASSERT_NE(r, nullptr) << "seek entry points between records";
            ASSERT_EQ(r->type, 10u);
            EXPECT_EQ(r->node_id, node);
            EXPECT_EQ(decode_new_data(*r).frame, uint32_t(k));
            const played &p = got[size_t(k - 1)];
            EXPECT_EQ(decode_new_data(*r).timestamp, p.ts);
            EXPECT_EQ(r->payload,
                      std::string(reinterpret_cast<const char *>(p.px.data()), p.px.size() * 2));
        }
    }

    scratch_dir dir_;
    std::string path_ = dir_.file("play.oni");
};

TEST_F(OniPlayback, DepthPlaysEveryFrameAndStartsOver)
{
    record(false);
    openni::Device dev;
    ASSERT_EQ(dev.open(path_.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    EXPECT_TRUE(dev.isFile());
    EXPECT_FALSE(dev.hasSensor(openni::SENSOR_IR));
    openni::VideoStream depth;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    const openni::VideoMode vm = depth.getVideoMode();
    EXPECT_EQ(vm.getResolutionX(), k_w);
    EXPECT_EQ(vm.getResolutionY(), k_h);
    EXPECT_EQ(vm.getFps(), 30);
    EXPECT_EQ(vm.getPixelFormat(), openni::PIXEL_FORMAT_DEPTH_1_MM);
    EXPECT_EQ(depth.getMaxPixelValue(), 10000);
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->getNumberOfFrames(depth), k_frames);
    EXPECT_TRUE(pc->getRepeatEnabled());
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    ASSERT_EQ(depth.start(), openni::STATUS_OK);

    const auto got = play({&depth}, k_frames + 2);
    expect_all_frames_then_loop(got[0], depth_ts, depth_frame, "depth");
    depth.stop();
    depth.destroy();
    dev.close();

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    expect_seek_targets(f, 1, got[0]);
}

TEST_F(OniPlayback, DepthAndIrPlayTogether)
{
    record(true);
    openni::Device dev;
    ASSERT_EQ(dev.open(path_.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    openni::VideoStream depth, ir;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    ASSERT_EQ(ir.create(dev, openni::SENSOR_IR), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    EXPECT_EQ(ir.getVideoMode().getPixelFormat(), openni::PIXEL_FORMAT_GRAY16);
    EXPECT_EQ(ir.getVideoMode().getResolutionX(), k_w);
    EXPECT_EQ(ir.getVideoMode().getResolutionY(), k_h);
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->getNumberOfFrames(depth), k_frames);
    EXPECT_EQ(pc->getNumberOfFrames(ir), k_frames);
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    ASSERT_EQ(depth.start(), openni::STATUS_OK);
    ASSERT_EQ(ir.start(), openni::STATUS_OK);

    const auto got = play({&depth, &ir}, k_frames + 2);
    expect_all_frames_then_loop(got[0], depth_ts, depth_frame, "depth");
    expect_all_frames_then_loop(got[1], ir_ts, ir_frame, "IR");
    ir.stop();
    depth.stop();
    ir.destroy();
    depth.destroy();
    dev.close();

    // With two streams the player seeks the other stream through its seek
    // entry 0 as well: it must lead to that stream's first frame.
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    for (uint32_t node : {1u, 2u}) {
        expect_seek_targets(f, node, got[node - 1]);
        const auto rows =
            decode_seek_table(*f.at(decode_node_added(*f.of_type(13, node)[0]).seek_pos));
        EXPECT_EQ(rows[0].pos, f.of_type(10, node)[0]->pos) << "node " << node;
    }
}

} // namespace
