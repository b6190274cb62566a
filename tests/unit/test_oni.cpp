// OpenNI recording writer: recordings read back by an independent reader,
// record by record and through the links a player follows (undo positions,
// seek tables, patched node records) over random multi-stream recordings;
// stream slots, oversized frames, far positions and bad arguments.
#include "support/frame_files.h"
#include "support/log_capture.h"
#include "support/oni_reader.h"

#include "core/clock.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

oni_stream_info_t info_of(uint32_t type, uint32_t fmt, uint32_t w = 320, uint32_t h = 240)
{
    return {type, fmt, 10000, w, h, 2, 30};
}

std::string pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131u + seed * 7919u) >> 3);
    return s;
}

// n little-endian bytes of v.
std::string le(uint64_t v, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(v >> (8 * i));
    return s;
}

// "type name" and the value bytes of each property record of a node.
std::vector<std::string> props_of(const std::vector<const oni_record *> &node)
{
    std::vector<std::string> out;
    for (const oni_record *r : node)
        if (r->type == 3 || r->type == 4 || r->type == 6) {
            const oni_property p = decode_property(*r);
            out.push_back(std::to_string(r->type) + " " + p.name + " " + p.data);
        }
    return out;
}

class OniWriter : public ::testing::Test {
protected:
    scratch_dir dir_;
    log_capture log_;
    std::string path_ = dir_.file("rec.oni");
    oni_recorder_t rec_{};
};

// One node without frames per pixel format: the property records each format
// gets, the node's removal, seek table and patched node record, the header.
TEST_F(OniWriter, EachPixelFormatGetsItsPropertyRecords)
{
    struct row {
        uint32_t fmt;
        int supported, xn; // -1: no such record
    };
    const row rows[] = {{0, -1, -1}, {100, 8, 4},  {101, 8, 4}, {102, 8, 4},
                        {103, 8, 4}, {200, 1, 1},  {201, 2, 2}, {202, 4, 3},
                        {203, 8, 4}, {204, 16, 5}, {999, 0, 0}};
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    EXPECT_EQ(rec_.buf_size, TQ_ONI_RECORD_BUF_SIZE);
    for (const row &r : rows) {
        const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, r.fmt, 64, 48);
        oni_stream_t *s = oni_stream_open(&rec_, &in);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(rec_.streams[0], s);
        oni_stream_close(s);
        EXPECT_EQ(rec_.streams[0], nullptr);
    }
    oni_close(&rec_);
    EXPECT_EQ(rec_.buf, nullptr);
    EXPECT_EQ(rec_.file, nullptr);

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.header,
              "NI10" + le(1, 1) + le(0, 1) + le(1, 2) + le(0, 4) + le(UINT64_MAX, 8) + le(1, 4));
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    const auto added = f.of_type(13);
    ASSERT_EQ(added.size(), std::size(rows));
    const std::string mode = le(64, 4) + le(48, 4) + le(30, 4);
    for (size_t k = 0; k < added.size(); ++k) {
        const row &r = rows[k];
        SCOPED_TRACE("pixel format " + std::to_string(r.fmt));
        std::vector<std::string> want = {"3 oniRequiredFrameSize " + le(64 * 48 * 2, 8),
                                         "3 xnIsGenerating " + le(1, 8)};
        if (r.fmt == 100 || r.fmt == 101)
            want.push_back("3 xnDeviceMaxDepth " + le(10000, 8));
        want.push_back("3 xnSupportedMapOutputModesCount " + le(1, 8));
        want.push_back("6 xnSupportedMapOutputModes " + mode);
        want.push_back("6 xnMapOutputMode " + mode);
        if (r.supported >= 0) {
            want.push_back("6 xnSupportedPixelFormats " + le(r.supported, 4));
            want.push_back("3 xnPixelFormat " + le(r.xn, 8));
        }
        want.push_back("3 oniPixelFormat " + le(r.fmt, 8));
        // Without it OpenNI2's player drops every frame: cropping off, whole image.
        want.push_back("6 xnCropping " + le(0, 4) + le(0, 2) + le(0, 2) + le(64, 2) + le(48, 2));

        // The node's records: node added, properties, removed, seek table.
        std::vector<const oni_record *> node;
        for (const oni_record *r2 = added[k]; r2->type != 14; ++r2)
            node.push_back(r2);
        EXPECT_EQ(props_of(node), want);
        EXPECT_EQ(node.size(), want.size() + 2);
        EXPECT_EQ(node.back()->type, 7u);
        const oni_record &table = node.back()[1];
        EXPECT_EQ(table.payload, std::string(20, '\0'));
        const oni_node_added n = decode_node_added(*added[k]);
        EXPECT_EQ(n.name, "Depth");
        EXPECT_EQ(n.node_type, 2u);
        EXPECT_EQ(n.codec, 0x454E4F4Eu); // "NONE"
        EXPECT_EQ(n.min_ts, 0u);
        EXPECT_EQ(n.seek_pos, table.pos);
    }
    EXPECT_EQ(added[0]->pos, 24u);
    EXPECT_EQ(f.records.back().fields_size, 28u);

    const char *const names[] = {"Invalid", "Device", "Depth", "Image", "Invalid", "IR", "Invalid"};
    for (uint32_t t = 0; t < std::size(names); ++t)
        EXPECT_STREQ(AsString(t), names[t]) << t;
}

TEST_F(OniWriter, FramesPointAtTheStartOfTheirNodesPreviousRecord)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    const std::string f1 = pattern(153600, 1), f2 = pattern(153600, 2);
    oni_stream_save_frame(s, f1.data(), uint32_t(f1.size()), 1000);
    oni_stream_save_frame(s, f2.data(), uint32_t(f2.size()), 2000);
    oni_close(&rec_);

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    std::vector<uint32_t> tail;
    for (size_t i = f.records.size() - 7; i < f.records.size(); ++i)
        tail.push_back(f.records[i].type);
    // Ready and data-begin once, right before the first frame.
    EXPECT_EQ(tail, (std::vector<uint32_t>{9, 8, 10, 10, 7, 14, 11}));
    EXPECT_EQ(f.of_type(8)[0]->fields, le(UINT32_MAX, 4) + le(UINT64_MAX, 8));
    const auto d = f.of_type(10);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0]->fields, le(1000, 8) + le(1, 4));
    EXPECT_EQ(d[1]->fields, le(2000, 8) + le(2, 4));
    EXPECT_EQ(d[0]->payload, f1);
    EXPECT_EQ(d[1]->payload, f2);
    EXPECT_EQ(d[0]->undo, 0u);
    EXPECT_EQ(d[1]->undo, d[0]->pos) << "frame 2 points at the start of frame 1's record";
    const auto rows = decode_seek_table(*f.of_type(14)[0]);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].pos, 0u) << "one node: entry 0 stays zero";
    EXPECT_EQ(rows[1].pos, d[0]->pos) << "seek entries point where a frame's record starts";
    EXPECT_EQ(rows[2].pos, d[1]->pos);
    const oni_node_added n = decode_node_added(*f.of_type(13)[0]);
    EXPECT_EQ(n.frames, 2u);
    EXPECT_EQ(n.max_ts, 2000u);
}

// Any interleaving of up to four streams, with frames of any size, some
// streams closed early and the rest by oni_close, keeps every link.
TEST_F(OniWriter, RandomInterleavedRecordingsKeepEveryLink)
{
    for (uint32_t seed = 0; seed < 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int nstreams = seed < 4 ? 2 : 1 + int(rng() % 4);
        ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
        std::vector<oni_stream_t *> s;
        std::vector<uint64_t> ts(nstreams, 0);
        std::vector<std::vector<std::string>> saved(nstreams);
        for (int k = 0; k < nstreams; ++k) {
            const oni_stream_info_t in = info_of(k % 2 ? TQ_ONI_NODE_IR : TQ_ONI_NODE_DEPTH,
                                                 k % 2 ? TQ_ONI_PIXEL_GRAY16 : 100, 40, 30);
            s.push_back(oni_stream_open(&rec_, &in));
        }
        for (int i = int(rng() % 40); i > 0; --i) {
            const int k = int(rng() % uint32_t(nstreams));
            ts[k] += 1 + rng() % 50000;
            saved[k].push_back(pattern(rng() % 3000, rng()));
            oni_stream_save_frame(s[k], saved[k].back().data(), uint32_t(saved[k].back().size()),
                                  ts[k]);
        }
        for (int k = 0; k < nstreams; ++k)
            if (rng() % 2)
                oni_stream_close(s[k]);
        oni_close(&rec_);

        const oni_file f = read_oni(path_);
        ASSERT_EQ(f.error, "");
        EXPECT_EQ(le_u32(f.header, 20), uint32_t(nstreams)) << "largest node id";
        EXPECT_EQ(check_links(f), std::vector<std::string>{});
        for (int k = 0; k < nstreams; ++k) {
            const auto d = f.of_type(10, uint32_t(k + 1));
            ASSERT_EQ(d.size(), saved[k].size());
            for (size_t i = 0; i < d.size(); ++i)
                EXPECT_EQ(d[i]->payload, saved[k][i]);
        }
    }
}

// A node opened after the first frame gets no ready or data-begin record
// (OpenNI2's player then does not offer it): the writer warns.
TEST_F(OniWriter, NodeOpenedAfterTheFirstFrameIsWarnedAbout)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *a = oni_stream_open(&rec_, &in);
    oni_stream_save_frame(a, pattern(32, 1).data(), 32, 7);
    EXPECT_FALSE(log_.has("after the first frame"));
    oni_stream_t *b = oni_stream_open(&rec_, &in);
    EXPECT_TRUE(log_.has("node 2 opened after the first frame"));
    oni_stream_save_frame(b, pattern(32, 2).data(), 32, 8);
    oni_close(&rec_);
    const oni_file f = read_oni(path_);
    EXPECT_EQ(f.of_type(9).size(), 1u);
    EXPECT_EQ(f.of_type(8, 2).size(), 0u);
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

TEST_F(OniWriter, FifthStreamTakesSlotThreeAndItsFormerOwnerClosesAlone)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 8, 8);
    oni_stream_t *s[5];
    for (auto &x : s)
        x = oni_stream_open(&rec_, &in);
    EXPECT_EQ(rec_.streams[2], s[2]);
    EXPECT_EQ(rec_.streams[3], s[4]) << "the fifth stream takes slot 3";
    EXPECT_TRUE(log_.has("taken over"));
    oni_stream_save_frame(s[4], pattern(128, 5).data(), 128, 10);
    oni_stream_close(s[3]);
    EXPECT_EQ(rec_.streams[3], s[4]) << "closing the replaced stream left slot 3 alone";
    oni_stream_save_frame(s[4], pattern(128, 6).data(), 128, 20);
    oni_close(&rec_);

    // Both node-4 streams were closed once, each with its own records.
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(le_u32(f.header, 20), 4u);
    const auto removed = f.of_type(7, 4), added = f.of_type(13, 4);
    ASSERT_EQ(removed.size(), 2u);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(removed[0]->undo, added[0]->pos);
    EXPECT_EQ(removed[1]->undo, added[1]->pos);
    EXPECT_EQ(decode_node_added(*added[0]).frames, 0u);
    EXPECT_EQ(decode_node_added(*added[1]).frames, 2u);
    EXPECT_EQ(decode_node_added(*added[1]).max_ts, 20u);
    EXPECT_EQ(f.of_type(7).size(), 5u);
}

TEST_F(OniWriter, FrameBeyondTheBufferIsKeptWithoutData)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_IMAGE, TQ_ONI_PIXEL_RGB888, 1280, 720);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    const uint32_t fits = TQ_ONI_RECORD_BUF_SIZE - 40;
    const std::string big = pattern(fits + 1, 3);
    oni_stream_save_frame(s, big.data(), fits, 1);
    oni_stream_save_frame(s, big.data(), fits + 1, 2);
    oni_stream_save_frame(s, big.data(), 10, 3);
    oni_close(&rec_);
    EXPECT_TRUE(log_.has("does not fit"));
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    const auto d = f.of_type(10);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0]->payload, big.substr(0, fits));
    EXPECT_EQ(d[1]->payload_size, 0u);
    EXPECT_EQ(d[2]->payload, big.substr(0, 10));
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

TEST_F(OniWriter, RealPropertyIsBuiltInTheBufferOnly)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const long before = std::ftell(rec_.file);
    ASSERT_EQ(emit_RECORD_REAL_PROPERTY(&rec_, 3, 0x89ABCDEFu, 0x1u, "xnFocalLength", -2.5), 0);
    EXPECT_EQ(std::ftell(rec_.file), before) << "nothing written";
    double v = -2.5;
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    const std::string want = std::string("NIR\0", 4) + le(4, 4) + le(3, 4) + le(58, 4) + le(0, 4) +
                             le(0x189ABCDEFull, 8) + le(14, 4) + "xnFocalLength" + '\0' + le(8, 4) +
                             le(bits, 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec_.buf), want.size()), want);
    // Names are cut to 255 characters.
    ASSERT_EQ(emit_RECORD_REAL_PROPERTY(&rec_, 1, 0, 0, std::string(300, 'n').c_str(), 1.0), 0);
    oni_record r;
    r.fields.assign(reinterpret_cast<const char *>(rec_.buf) + 28, 4 + 256 + 12);
    EXPECT_EQ(le_u32(std::string(reinterpret_cast<const char *>(rec_.buf), 16), 12), 28u + 272u);
    EXPECT_EQ(decode_property(r).name, std::string(255, 'n'));
    oni_close(&rec_);
    EXPECT_EQ(emit_RECORD_REAL_PROPERTY(&rec_, 1, 0, 0, "x", 1.0), 1) << "no buffer after close";
    EXPECT_EQ(emit_RECORD_REAL_PROPERTY(nullptr, 1, 0, 0, "x", 1.0), 1);
}

TEST_F(OniWriter, ZeroTimestampIsTheWallClockInMicroseconds)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    const uint64_t lo = uint64_t(pylox::clock_now_ms()) * 1000;
    oni_stream_save_frame(s, pattern(32, 1).data(), 32, 0);
    const uint64_t hi = uint64_t(pylox::clock_now_ms()) * 1000;
    oni_close(&rec_);
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.of_type(10).size(), 1u);
    const uint64_t ts = decode_new_data(*f.of_type(10)[0]).timestamp;
    EXPECT_GE(ts, lo);
    EXPECT_LE(ts, hi);
    EXPECT_EQ(decode_node_added(*f.of_type(13)[0]).max_ts, ts);
}

// Positions past 4 GiB are written whole (the gap before them stays a hole).
TEST_F(OniWriter, PositionsBeyondFourGiBAreWrittenWhole)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const uint64_t far = (5ull << 30) + 7;
    ASSERT_EQ(fseeko(rec_.file, off_t(far), SEEK_SET), 0);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    oni_stream_save_frame(s, pattern(32, 1).data(), 32, 5);
    oni_stream_save_frame(s, pattern(32, 2).data(), 32, 6);
    oni_close(&rec_);
    const oni_file f = read_oni(path_, far);
    ASSERT_EQ(f.error, "");
    ASSERT_EQ(f.of_type(10).size(), 2u);
    EXPECT_EQ(f.of_type(7)[0]->undo, far);
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

TEST_F(OniWriter, BadArgumentsFailWithALogLine)
{
    EXPECT_EQ(oni_open(nullptr, path_.c_str()), 0);
    EXPECT_EQ(oni_open(&rec_, nullptr), 0);
    EXPECT_EQ(oni_open(&rec_, dir_.file("no/such/dir/x.oni").c_str()), 0);
    EXPECT_TRUE(log_.has("cannot create"));
    EXPECT_EQ(rec_.buf, nullptr) << "the buffer of a failed open is released";
    EXPECT_EQ(oni_stream_open(&rec_, nullptr), nullptr);

    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    EXPECT_EQ(oni_stream_open(&rec_, nullptr), nullptr);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    oni_stream_save_frame(s, nullptr, 10, 1);
    oni_stream_save_frame(nullptr, "x", 1, 1);
    EXPECT_TRUE(log_.has("null stream or data"));
    oni_stream_save_property();
    oni_stream_close(nullptr);
    oni_close(&rec_);
    oni_close(nullptr);
    oni_close(&rec_); // a second close does nothing
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.of_type(10).size(), 0u);
}

} // namespace
