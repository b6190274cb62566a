// OpenNI recording writer: the records of a recording read back by an
// independent reader, the links a player follows (undo positions, seek
// tables, patched node records and header) over random multi-stream
// recordings, stream slots, oversized frames and bad arguments.
#include "support/frame_files.h"
#include "support/log_capture.h"
#include "support/oni_reader.h"

#include "core/clock.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

oni_stream_info_t info_of(uint32_t type, uint32_t fmt, uint32_t w = 320, uint32_t h = 240,
                          uint32_t bpp = 2)
{
    return {type, fmt, 10000, w, h, bpp, 30};
}

std::string pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131u + seed * 7919u) >> 3);
    return s;
}

// Name, type and value of the property records of a node, in file order.
struct prop_row {
    std::string name;
    uint32_t type;
    oni_property p;
};

std::vector<prop_row> props_of(const oni_file &f, uint32_t node)
{
    std::vector<prop_row> out;
    for (const auto &r : f.records)
        if (r.node_id == node && (r.type == 3 || r.type == 4 || r.type == 6))
            out.push_back({decode_property(r).name, r.type, decode_property(r)});
    return out;
}

std::vector<uint32_t> types_of(const oni_file &f)
{
    std::vector<uint32_t> t;
    for (const auto &r : f.records)
        t.push_back(r.type);
    return t;
}

class OniWriter : public ::testing::Test {
protected:
    scratch_dir dir_;
    log_capture log_;
    std::string path_ = dir_.file("rec.oni");
    oni_recorder_t rec_{};
};

TEST_F(OniWriter, EmptyDepthNodeRecordByRecord)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    EXPECT_EQ(rec_.buf_size, TQ_ONI_RECORD_BUF_SIZE);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(rec_.streams[0], s);
    oni_close(&rec_);
    EXPECT_EQ(rec_.buf, nullptr);
    EXPECT_EQ(rec_.file, nullptr);

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.magic, "NI10");
    EXPECT_EQ(f.major, 1);
    EXPECT_EQ(f.minor, 0);
    EXPECT_EQ(f.maintenance, 1);
    EXPECT_EQ(f.build, 0u);
    EXPECT_EQ(f.max_timestamp, UINT64_MAX);
    EXPECT_EQ(f.max_node_id, 1u);
    EXPECT_EQ(types_of(f), (std::vector<uint32_t>{13, 3, 3, 3, 3, 6, 6, 6, 3, 3, 6, 7, 14, 11}));
    for (const auto &r : f.records)
        EXPECT_EQ(r.node_id, r.type == 11 ? 0u : 1u);

    const auto p = props_of(f, 1);
    const std::vector<std::string> names = {"oniRequiredFrameSize",
                                            "xnIsGenerating",
                                            "xnDeviceMaxDepth",
                                            "xnSupportedMapOutputModesCount",
                                            "xnSupportedMapOutputModes",
                                            "xnMapOutputMode",
                                            "xnSupportedPixelFormats",
                                            "xnPixelFormat",
                                            "oniPixelFormat",
                                            "xnCropping"};
    ASSERT_EQ(p.size(), names.size());
    for (size_t i = 0; i < p.size(); ++i)
        EXPECT_EQ(p[i].name, names[i]);
    EXPECT_EQ(p[0].p.as_u64(), 320u * 240u * 2u);
    EXPECT_EQ(p[1].p.as_u64(), 1u);
    EXPECT_EQ(p[2].p.as_u64(), 10000u);
    EXPECT_EQ(p[3].p.as_u64(), 1u);
    for (int k : {4, 5}) {
        ASSERT_EQ(p[k].p.data.size(), 12u);
        EXPECT_EQ(p[k].p.u32_at(0), 320u);
        EXPECT_EQ(p[k].p.u32_at(4), 240u);
        EXPECT_EQ(p[k].p.u32_at(8), 30u);
    }
    EXPECT_EQ(p[6].p.data.size(), 4u);
    EXPECT_EQ(p[6].p.u32_at(0), 8u);
    EXPECT_EQ(p[7].p.as_u64(), 4u);
    EXPECT_EQ(p[8].p.as_u64(), 100u);
    // Without the cropping property OpenNI's player drops every frame.
    ASSERT_EQ(p[9].p.data.size(), 12u);
    EXPECT_EQ(p[9].type, 6u);
    EXPECT_EQ(p[9].p.u32_at(0), 0u);
    EXPECT_EQ(p[9].p.u16_at(4), 0u);
    EXPECT_EQ(p[9].p.u16_at(6), 0u);
    EXPECT_EQ(p[9].p.u16_at(8), 320u);
    EXPECT_EQ(p[9].p.u16_at(10), 240u);

    const auto n = decode_node_added(*f.of_type(13)[0]);
    EXPECT_EQ(n.name, "Depth");
    EXPECT_EQ(n.node_type, 2u);
    EXPECT_EQ(n.codec, 0x454E4F4Eu); // "NONE"
    EXPECT_EQ(n.frames, 0u);
    EXPECT_EQ(n.min_ts, 0u);
    EXPECT_EQ(n.max_ts, 0u);
    const oni_record &table = *f.of_type(14)[0];
    EXPECT_EQ(n.seek_pos, table.pos);
    EXPECT_EQ(table.payload, std::string(20, '\0'));
    EXPECT_EQ(f.of_type(13)[0]->pos, 24u);
    EXPECT_EQ(f.records.back().fields_size, 28u);
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

TEST_F(OniWriter, PixelFormatAndNodeTypeDecideFormatRecordsAndNames)
{
    struct row {
        uint32_t fmt;
        int supported; // -1: no record
        int xn;
        bool max_depth;
    };
    const row rows[] = {{0, -1, -1, false},  {100, 8, 4, true},  {101, 8, 4, true},
                        {102, 8, 4, false},  {103, 8, 4, false}, {200, 1, 1, false},
                        {201, 2, 2, false},  {202, 4, 3, false}, {203, 8, 4, false},
                        {204, 16, 5, false}, {999, 0, 0, false}};
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    std::vector<oni_stream_t *> open;
    for (const row &r : rows) {
        // Four nodes at a time; closing one frees its slot for the next.
        if (open.size() == 3) {
            oni_stream_close(open.front());
            open.erase(open.begin());
        }
        const oni_stream_info_t in = info_of(4, r.fmt, 64, 48, 1);
        open.push_back(oni_stream_open(&rec_, &in));
        ASSERT_NE(open.back(), nullptr);
    }
    oni_close(&rec_);
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");

    // A node's properties come between its node-added and node-removed
    // records; nodes overlap, so each is followed by its id.
    std::map<uint32_t, std::pair<size_t, std::vector<prop_row>>> live;
    size_t added = 0, checked = 0;
    auto check = [&](const row &r, const std::vector<prop_row> &cur) {
        SCOPED_TRACE("pixel format " + std::to_string(r.fmt));
        auto find = [&](const std::string &name) -> const prop_row * {
            for (const auto &p : cur)
                if (p.name == name)
                    return &p;
            return nullptr;
        };
        ASSERT_NE(find("oniPixelFormat"), nullptr);
        EXPECT_EQ(find("oniPixelFormat")->p.as_u64(), r.fmt);
        EXPECT_EQ(find("xnDeviceMaxDepth") != nullptr, r.max_depth);
        EXPECT_EQ(find("xnSupportedPixelFormats") != nullptr, r.supported >= 0);
        EXPECT_EQ(find("xnPixelFormat") != nullptr, r.xn >= 0);
        if (r.supported >= 0 && find("xnSupportedPixelFormats") && find("xnPixelFormat")) {
            EXPECT_EQ(find("xnSupportedPixelFormats")->p.u32_at(0), uint32_t(r.supported));
            EXPECT_EQ(find("xnPixelFormat")->p.as_u64(), uint64_t(r.xn));
        }
        ASSERT_NE(find("xnCropping"), nullptr);
        EXPECT_EQ(find("xnCropping")->p.u16_at(8), 64u);
        EXPECT_EQ(find("xnCropping")->p.u16_at(10), 48u);
        EXPECT_EQ(cur.back().name, "xnCropping");
    };
    for (const auto &r : f.records) {
        if (r.type == 13) {
            EXPECT_EQ(decode_node_added(r).name, "Invalid") << "node type 4";
            live[r.node_id] = {added++, {}};
        } else if (r.type == 3 || r.type == 6) {
            live[r.node_id].second.push_back({decode_property(r).name, r.type, decode_property(r)});
        } else if (r.type == 7) {
            ASSERT_LT(live[r.node_id].first, std::size(rows));
            check(rows[live[r.node_id].first], live[r.node_id].second);
            ++checked;
        }
    }
    EXPECT_EQ(checked, std::size(rows));
    EXPECT_EQ(check_links(f), std::vector<std::string>{});

    const char *const names[] = {"Invalid", "Device", "Depth", "Image", "Invalid", "IR", "Invalid"};
    for (uint32_t t = 0; t < std::size(names); ++t)
        EXPECT_STREQ(AsString(t), names[t]) << t;
    EXPECT_STREQ(AsString(0xFFFFFFFFu), "Invalid");
}

TEST_F(OniWriter, FramesChainToTheStartOfTheirNodesPreviousRecord)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    const std::string f1 = pattern(153600, 1), f2 = pattern(153600, 2);
    oni_stream_save_frame(s, f1.data(), uint32_t(f1.size()), 1000);
    EXPECT_EQ(rec_.started, 1);
    oni_stream_save_frame(s, f2.data(), uint32_t(f2.size()), 2000);
    oni_close(&rec_);

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    const auto t = types_of(f);
    // ready and data-begin come once, right before the first frame
    const std::vector<uint32_t> tail(t.end() - 7, t.end());
    EXPECT_EQ(tail, (std::vector<uint32_t>{9, 8, 10, 10, 7, 14, 11}));
    const oni_record &begin = *f.of_type(8)[0];
    EXPECT_EQ(le_u32(begin.fields, 0), UINT32_MAX);
    EXPECT_EQ(le_u64(begin.fields, 4), UINT64_MAX);

    const auto d = f.of_type(10);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(decode_new_data(*d[0]).frame, 1u);
    EXPECT_EQ(decode_new_data(*d[1]).frame, 2u);
    EXPECT_EQ(decode_new_data(*d[1]).timestamp, 2000u);
    EXPECT_EQ(d[0]->fields_size, 40u);
    EXPECT_EQ(d[0]->payload, f1);
    EXPECT_EQ(d[1]->payload, f2);
    EXPECT_EQ(d[0]->undo, 0u);
    EXPECT_EQ(d[1]->undo, d[0]->pos) << "frame 2 must point at the start of frame 1's record";

    const auto rows = decode_seek_table(*f.of_type(14)[0]);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].pos, 0u) << "single stream: entry 0 stays zero";
    EXPECT_EQ(rows[1].pos, d[0]->pos) << "seek entries point where the frame's record starts";
    EXPECT_EQ(rows[2].pos, d[1]->pos);
    EXPECT_EQ(rows[1].timestamp, 1000u);

    const auto n = decode_node_added(*f.of_type(13)[0]);
    EXPECT_EQ(n.frames, 2u);
    EXPECT_EQ(n.max_ts, 2000u);
    EXPECT_EQ(n.min_ts, 0u);
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

// Ready and data-begin records go out once, at the first frame, for the nodes
// open then; a node opened later has none (OpenNI2's player then does not
// offer it), which the writer warns about.
TEST_F(OniWriter, NodeOpenedAfterTheFirstFrameGetsNoDataBeginAndAWarning)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *a = oni_stream_open(&rec_, &in);
    oni_stream_save_frame(a, "0123456789abcdef0123456789abcdef", 32, 7);
    EXPECT_FALSE(log_.has("after the first frame"));
    oni_stream_t *b = oni_stream_open(&rec_, &in);
    EXPECT_TRUE(log_.has("node 2 opened after the first frame"));
    oni_stream_save_frame(b, "0123456789abcdef0123456789abcdef", 32, 8);
    oni_close(&rec_);
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.of_type(9).size(), 1u);
    EXPECT_EQ(f.of_type(8, 1).size(), 1u);
    EXPECT_EQ(f.of_type(8, 2).size(), 0u);
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

// Any interleaving of up to four streams, with frames of any size, keeps
// every link a player follows.
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
            const oni_stream_info_t in =
                info_of(k % 2 ? TQ_ONI_NODE_IR : TQ_ONI_NODE_DEPTH,
                        k % 2 ? TQ_ONI_PIXEL_GRAY16 : TQ_ONI_PIXEL_DEPTH_1MM, 40, 30);
            s.push_back(oni_stream_open(&rec_, &in));
        }
        const int frames = int(rng() % 40);
        for (int i = 0; i < frames; ++i) {
            const int k = int(rng() % uint32_t(nstreams));
            ts[k] += 1 + rng() % 50000;
            saved[k].push_back(pattern(rng() % 3000, rng()));
            oni_stream_save_frame(s[k], saved[k].back().data(), uint32_t(saved[k].back().size()),
                                  ts[k]);
        }
        // Close some streams early, leave the rest to oni_close.
        for (int k = 0; k < nstreams; ++k)
            if (rng() % 2)
                oni_stream_close(s[k]);
        oni_close(&rec_);

        const oni_file f = read_oni(path_);
        ASSERT_EQ(f.error, "");
        EXPECT_EQ(f.max_node_id, uint32_t(nstreams));
        EXPECT_EQ(check_links(f), std::vector<std::string>{});
        for (int k = 0; k < nstreams; ++k) {
            const auto d = f.of_type(10, uint32_t(k + 1));
            ASSERT_EQ(d.size(), saved[k].size());
            for (size_t i = 0; i < d.size(); ++i)
                EXPECT_EQ(d[i]->payload, saved[k][i]);
        }
    }
}

TEST_F(OniWriter, FifthNodeTakesSlotThreeAndItsFormerOwnerClosesAlone)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 8, 8);
    oni_stream_t *s[5];
    for (auto &x : s)
        x = oni_stream_open(&rec_, &in);
    EXPECT_EQ(rec_.streams[0], s[0]);
    EXPECT_EQ(rec_.streams[2], s[2]);
    EXPECT_EQ(rec_.streams[3], s[4]) << "the fifth stream takes slot 3";
    EXPECT_TRUE(log_.has("taken over"));
    const std::string px = pattern(128, 5);
    oni_stream_save_frame(s[4], px.data(), 128, 10);
    oni_stream_close(s[3]); // the replaced stream
    EXPECT_EQ(rec_.streams[3], s[4]) << "closing the replaced stream left slot 3 alone";
    oni_stream_save_frame(s[4], px.data(), 128, 20);
    oni_close(&rec_);

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.max_node_id, 4u);
    // Both node-4 streams were closed once each, and the one that held the
    // slot at the end kept its two frames.
    const auto removed = f.of_type(7, 4);
    ASSERT_EQ(removed.size(), 2u);
    const auto added = f.of_type(13, 4);
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
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_IMAGE, TQ_ONI_PIXEL_RGB888, 1280, 720, 3);
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
    EXPECT_EQ(decode_new_data(*d[1]).frame, 2u);
    EXPECT_EQ(d[2]->payload, big.substr(0, 10));
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
}

TEST_F(OniWriter, RealPropertyIsBuiltInTheBufferOnly)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const long before = std::ftell(rec_.file);
    ASSERT_EQ(emit_RECORD_REAL_PROPERTY(&rec_, 3, 0x89ABCDEFu, 0x1u, "xnFocalLength", -2.5), 0);
    EXPECT_EQ(std::ftell(rec_.file), before);
    oni_record r;
    const std::string b(reinterpret_cast<const char *>(rec_.buf), 28 + 4 + 14 + 4 + 8);
    EXPECT_EQ(b.substr(0, 4), std::string("NIR\0", 4));
    EXPECT_EQ(le_u32(b, 4), 4u);
    EXPECT_EQ(le_u32(b, 8), 3u);
    EXPECT_EQ(le_u32(b, 12), b.size());
    EXPECT_EQ(le_u32(b, 16), 0u);
    EXPECT_EQ(le_u64(b, 20), 0x189ABCDEFull);
    r.fields = b.substr(28);
    const oni_property p = decode_property(r);
    EXPECT_EQ(p.name, "xnFocalLength");
    EXPECT_EQ(p.as_double(), -2.5);

    // Names are cut to 255 characters.
    const std::string longname(300, 'n');
    ASSERT_EQ(emit_RECORD_REAL_PROPERTY(&rec_, 1, 0, 0, longname.c_str(), 1.0), 0);
    const std::string c(reinterpret_cast<const char *>(rec_.buf), 28 + 4 + 256 + 12);
    EXPECT_EQ(le_u32(c, 12), c.size());
    EXPECT_EQ(le_u32(c, 28), 256u);
    r.fields = c.substr(28);
    EXPECT_EQ(decode_property(r).name, longname.substr(0, 255));
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
    oni_stream_save_frame(s, "0123456789abcdef0123456789abcdef", 32, 0);
    const uint64_t hi = uint64_t(pylox::clock_now_ms()) * 1000;
    oni_close(&rec_);
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.of_type(10).size(), 1u);
    const uint64_t ts = decode_new_data(*f.of_type(10)[0]).timestamp;
    EXPECT_GE(ts, lo);
    EXPECT_LE(ts, hi);
    EXPECT_EQ(decode_node_added(*f.of_type(13)[0]).max_ts, ts);
}

// Positions past 4 GiB are written in full (the gap before them stays a hole
// in the file).
TEST_F(OniWriter, PositionsBeyondFourGiBAreWrittenWhole)
{
    ASSERT_EQ(oni_open(&rec_, path_.c_str()), 1);
    const uint64_t far = (5ull << 30) + 7;
    ASSERT_EQ(fseeko(rec_.file, off_t(far), SEEK_SET), 0);
    const oni_stream_info_t in = info_of(TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 4, 4);
    oni_stream_t *s = oni_stream_open(&rec_, &in);
    const std::string px = pattern(32, 9);
    oni_stream_save_frame(s, px.data(), 32, 5);
    oni_stream_save_frame(s, px.data(), 32, 6);
    oni_close(&rec_);

    const oni_file f = read_oni(path_, far);
    ASSERT_EQ(f.error, "");
    const auto d = f.of_type(10);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[1]->undo, d[0]->pos);
    EXPECT_GT(d[0]->pos, far);
    const auto n = decode_node_added(*f.of_type(13)[0]);
    EXPECT_EQ(n.seek_pos, f.of_type(14)[0]->pos);
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
    EXPECT_EQ(oni_stream_open(nullptr, nullptr), nullptr);
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
    EXPECT_EQ(f.of_type(11).size(), 1u);
}

} // namespace
