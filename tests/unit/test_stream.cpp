// Frame stream parser: packet checks, discards, the ready list and fetching.
#include "support/log_capture.h"
#include "support/stream_test_util.h"

#include "capture/tq_stream_internal.h"

#include <random>
#include <string>

using namespace pylox_test;

namespace {

stream_writer::options opts(uint32_t max_payload, bool checksum = true, uint16_t first_fridx = 0)
{
    stream_writer::options o;
    o.max_payload = max_payload;
    o.checksum = checksum;
    o.first_fridx = first_fridx;
    return o;
}

size_t packet_bytes(const stream_writer &w, size_t from, size_t to)
{
    size_t n = 0;
    for (size_t i = from; i < to; ++i)
        n += w.packets()[i].size();
    return n;
}

bytes_t concat(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(stream_hash16, matches_fletcher16_and_chains_through_the_seed)
{
    const auto text = [](const char *s) { return reinterpret_cast<const uint8_t *>(s); };
    EXPECT_EQ(tq_stream_hash16(text("abcde"), 5, 0), 0xC8F0);
    EXPECT_EQ(tq_stream_hash16(text("abcdef"), 6, 0), 0x2057);
    EXPECT_EQ(tq_stream_hash16(text("abcdefgh"), 8, 0), 0x0627);
    EXPECT_EQ(tq_stream_hash16(text("x"), 0, 0x1234), 0x1234);
    EXPECT_EQ(tq_stream_hash16(nullptr, 10, 0x4321), 0x4321);

    const bytes_t b = pattern_bytes(1000, 7);
    const uint16_t head = tq_stream_hash16(b.data(), 333, 0);
    EXPECT_EQ(tq_stream_hash16(b.data() + 333, 667, head), fletcher16(b.data(), b.size()));
}

TEST(stream_feed, assembles_a_frame_from_several_packets_with_its_information)
{
    stream_writer w(opts(1000, true, 100));
    const bytes_t data = pattern_bytes(2500, 1);
    const frame_attr_t attr = pattern_attr(1);
    w.frame(data, attr);
    ASSERT_EQ(w.packets().size(), 3u);

    stream_ptr s = make_stream();
    const bytes_t b = w.bytes();
    EXPECT_EQ(tq_stream_feed_input(s.get(), b.data(), static_cast<int>(b.size()) - 1), 0);
    EXPECT_EQ(tq_stream_feed_input(s.get(), b.data() + b.size() - 1, 1), 1);

    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], sent_frame(data, 100, 1, attr));
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_completed, 1u);
    EXPECT_EQ(st.frames_out, 1u);
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.bytes_discarded, 0u);
}

TEST(stream_feed, passes_over_invalid_headers)
{
    struct variant {
        const char *name;
        void (*apply)(stream_packet &);
    };
    const variant variants[] = {
        {"header checksum", [](stream_packet &p) { p.hdr_sum = 0x1234; }},
        {"len 0x100000", [](stream_packet &p) { p.len = 0x100000; }},
        {"frlen 0x8000000", [](stream_packet &p) { p.frlen = 0x8000000; }},
        {"frfmt 1024", [](stream_packet &p) { p.frfmt = 1024; }},
        {"frlen 0", [](stream_packet &p) { p.frlen = 0; }},
    };
    for (const variant &v : variants) {
        SCOPED_TRACE(v.name);
        stream_packet bad;
        bad.frlen = 64;
        bad.frame_start = true;
        bad.payload = pattern_bytes(64, 2);
        v.apply(bad);
        const bytes_t bad_bytes = encode_packet(bad);

        stream_writer w(opts(4096));
        const bytes_t data = pattern_bytes(300, 3);
        w.frame(data);

        stream_ptr s = make_stream();
        feed_all(s.get(), concat({bad_bytes, w.bytes()}));
        const auto frames = take_all(s.get());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, data);
        EXPECT_EQ(state_of(s.get()).bytes_discarded, bad_bytes.size());
        EXPECT_EQ(state_of(s.get()).frames_discarded, 0u);
    }

    // The largest valid frame format is taken.
    stream_writer::options o = opts(4096);
    o.frfmt = 1023;
    stream_writer w(o);
    w.frame(pattern_bytes(100, 4));
    stream_ptr s = make_stream();
    feed_all(s.get(), w.bytes());
    EXPECT_EQ(take_all(s.get()).size(), 1u);
}

TEST(stream_feed, resumes_the_scan_one_byte_after_a_rejected_sync_pair)
{
    stream_writer w(opts(4096));
    const bytes_t data = pattern_bytes(200, 5);
    w.frame(data);
    // A sync pair whose 36 bytes overlap the real header two bytes later.
    const bytes_t b = concat({{0xFB, 0x98}, w.bytes()});
    for (size_t split = 0; split <= 40; ++split) {
        SCOPED_TRACE(split);
        stream_ptr s = make_stream();
        tq_stream_feed_input(s.get(), b.data(), static_cast<int>(split));
        tq_stream_feed_input(s.get(), b.data() + split, static_cast<int>(b.size() - split));
        const auto frames = take_all(s.get());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, data);
        EXPECT_EQ(state_of(s.get()).bytes_discarded, 2u);
    }
}

TEST(stream_feed, counts_garbage_before_a_header_and_keeps_a_trailing_sync_byte)
{
    stream_writer w(opts(4096));
    const bytes_t data = pattern_bytes(500, 6);
    w.frame(data);
    const bytes_t pkt = w.bytes();

    // Garbage with stray sync bytes and a false sync pair.
    bytes_t garbage = pattern_bytes(100, 7);
    garbage[10] = 0xFB;
    garbage[40] = 0xFB;
    garbage[41] = 0x98;
    garbage[99] = 0xFB;
    for (size_t i = 0; i < garbage.size(); ++i)
        if (garbage[i] == 0xFB && i != 10 && i != 40 && i != 99)
            garbage[i] = 0;

    stream_ptr s = make_stream();
    feed_all(s.get(), garbage);
    EXPECT_EQ(s->hdr_held, 1); // the trailing 0xFB might begin a header
    EXPECT_EQ(state_of(s.get()).bytes_discarded, 99u);
    feed_all(s.get(), pkt);
    // The held 0xFB was not followed by 0x98: it is skipped too.
    EXPECT_EQ(state_of(s.get()).bytes_discarded, 100u);
    auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, data);

    // A chunk that ends with the first header byte keeps it.
    s = make_stream();
    feed_all(s.get(), concat({{1, 2, 3}, {pkt.begin(), pkt.begin() + 1}}));
    EXPECT_EQ(s->hdr_held, 1);
    feed_all(s.get(), bytes_t(pkt.begin() + 1, pkt.end()));
    frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(state_of(s.get()).bytes_discarded, 3u);
}

TEST(stream_feed, bad_payload_checksum_discards_until_the_next_frame_start)
{
    stream_writer w(opts(1000));
    w.frame(pattern_bytes(3000, 8)); // packets 0-2
    const bytes_t next = pattern_bytes(1000, 9);
    w.frame(next); // packet 3

    stream_ptr s = make_stream();
    bytes_t b = w.bytes();
    b[36 + 1000 + 36 + 500] ^= 0x10; // payload of packet 1
    feed_all(s.get(), b);

    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.frame_idx, 1);
    EXPECT_EQ(frames[0].data, next);
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.frames_completed, 1u);
    // Two packets of the discarded frame, then all of packet 2 (not followed).
    EXPECT_EQ(st.bytes_discarded, 2000u + packet_bytes(w, 2, 3));
}

TEST(stream_feed, bad_checksum_withholds_every_frame_of_its_packet)
{
    // Four frames in one packet arriving in small chunks: frames complete
    // before the packet's checksum is known, and none may leave.
    stream_writer w(opts(0x10000));
    std::vector<bytes_t> four;
    for (uint32_t i = 0; i < 4; ++i)
        four.push_back(pattern_bytes(250, 10 + i));
    w.packed_frames(four);
    const bytes_t next = pattern_bytes(250, 20);
    w.frame(next);
    bytes_t b = w.bytes();
    b[36 + 999] ^= 0x01; // last payload byte of the packed packet

    stream_ptr s = make_stream();
    feed_chunks(s.get(), b, [] { return size_t{100}; });
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, next);
    EXPECT_EQ(frames[0].info.frame_idx, 4);
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 4u);
    EXPECT_EQ(st.frames_completed, 1u);
    EXPECT_EQ(st.bytes_discarded, 1000u);
}

TEST(stream_feed, frame_start_while_a_frame_is_incomplete_discards_it)
{
    stream_writer w(opts(1000));
    w.frame(pattern_bytes(3000, 21));
    const bytes_t second = pattern_bytes(1500, 22);
    w.frame(second);
    // Stream: the first two packets of frame 0, then frame 1.
    const bytes_t b = concat({w.packets()[0], w.packets()[1], w.packets()[3], w.packets()[4]});

    log_capture log;
    stream_ptr s = make_stream();
    feed_all(s.get(), b);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, second);
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_discarded, 2000u);
    const std::string text = log.text();
    EXPECT_NE(
        text.find("[tq_stream_feed_input] discard frame: frame bound met, prev not complete\n"),
        std::string::npos);
    EXPECT_NE(text.find("[_discard_cur_frame] discard frame: idx = 0\n"), std::string::npos);
}

TEST(stream_feed, packet_index_gap_enters_discard_mode_and_wraps_after_65535)
{
    stream_writer::options o = opts(1000);
    o.first_sidx = 65534;
    stream_writer w(o);
    const bytes_t a = pattern_bytes(4000, 23); // sidx 65534, 65535, 0, 1
    w.frame(a);
    const bytes_t b = pattern_bytes(3000, 24); // sidx 2, 3, 4
    w.frame(b);
    const bytes_t c = pattern_bytes(1000, 25); // sidx 5
    w.frame(c);

    stream_ptr s = make_stream();
    feed_all(s.get(), w.bytes());
    auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].data, a);
    EXPECT_EQ(frames[1].data, b);
    EXPECT_EQ(frames[2].data, c);

    // Without the packet of sidx 3 the packet of sidx 4 does not follow on.
    bytes_t gap;
    for (size_t i = 0; i < w.packets().size(); ++i)
        if (i != 5)
            gap.insert(gap.end(), w.packets()[i].begin(), w.packets()[i].end());
    log_capture log;
    s = make_stream();
    feed_all(s.get(), gap);
    frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data, a);
    EXPECT_EQ(frames[1].data, c);
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_discarded, 1000u + packet_bytes(w, 6, 7));
    EXPECT_NE(log.text().find("discard frame: stream hdr idx not correct (prev=2, cur=4)\n"),
              std::string::npos);
    // Frame 1 is counted as discarded, not reported as missing.
    EXPECT_EQ(log.text().find("missing frame"), std::string::npos);
}

TEST(stream_feed, continuation_packets_never_start_or_extend_the_wrong_frame)
{
    stream_writer w(opts(1000));
    w.frame(pattern_bytes(3000, 26)); // packets 0-2, frame 0
    w.frame(pattern_bytes(3000, 27)); // packets 3-5, frame 1
    const bytes_t last = pattern_bytes(2000, 28);
    w.frame(last); // packets 6-7, frame 2

    // Capture joins in the middle of frame 0.
    stream_ptr s = make_stream();
    feed_all(s.get(), concat({w.packets()[1], w.packets()[2], w.packets()[6], w.packets()[7]}));
    auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, last);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 0u);
    EXPECT_EQ(state_of(s.get()).bytes_discarded, packet_bytes(w, 1, 3));

    // Frame 0's start, then a continuation of frame 1 with the next sidx.
    stream_packet p;
    p.sidx = 1;
    p.frlen = 3000;
    p.fridx = 1;
    p.frfmt = 1;
    p.checksum = true;
    p.payload = pattern_bytes(1000, 29);
    log_capture log;
    s = make_stream();
    feed_all(s.get(), concat({w.packets()[0], encode_packet(p), w.packets()[6], w.packets()[7]}));
    frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, last);
    // Frame 0 is discarded incomplete; frame 1, of which only a stray piece
    // came, is counted as missing when frame 2 begins.
    EXPECT_EQ(state_of(s.get()).frames_discarded, 2u);
    EXPECT_EQ(state_of(s.get()).bytes_discarded, 1000u + 1036u);
    EXPECT_NE(log.text().find("discard frame: frame idx not consist (prev=0, cur=1)\n"),
              std::string::npos);
}

// Damage of every kind, one packet per frame at most, fed in chunks of any
// size: each frame is either delivered whole or counted lost, never both, and
// a jump in the camera's numbering alone (nothing lost on the way) counts nothing.
TEST(stream_feed, every_frame_is_delivered_whole_or_counted_lost)
{
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        stream_writer w(opts(1000));
        constexpr int n = 120;
        std::vector<bytes_t> sent;
        std::vector<size_t> first_packet;
        for (int k = 0; k < n; ++k) {
            first_packet.push_back(w.packets().size());
            sent.push_back(pattern_bytes(2500, seed * 1000 + k));
            w.frame(sent.back());
            if (k == n / 2)
                w.set_next_fridx(
                    static_cast<uint16_t>(w.next_fridx() + 3)); // the camera's own jump
        }
        bytes_t b;
        int damaged = 0;
        for (int k = 0; k < n; ++k) {
            const size_t lo = first_packet[k];
            const size_t hi = k + 1 < n ? first_packet[k + 1] : w.packets().size();
            // The first and the last two frames stay whole: the parser needs
            // a frame to count from, and a damaged last frame is still in
            // progress. So do the frames around the camera's own jump: a jump
            // right after lost bytes is taken for frames lost with them.
            const bool damage = k > 0 && k < n - 2 && std::abs(k - n / 2) > 1 && rng() % 3 == 0;
            const size_t victim = lo + rng() % (hi - lo);
            damaged += damage;
            for (size_t i = lo; i < hi; ++i) {
                bytes_t pk = w.packets()[i];
                if (damage && i == victim) {
                    switch (rng() % 4) {
                    case 0:
                        continue; // lost
                    case 1:
                        pk[4 + rng() % 30] ^= 0x21; // header
                        break;
                    case 2:
                        pk[36 + rng() % (pk.size() - 36)] ^= 0x08; // payload
                        break;
                    default:
                        pk.erase(pk.begin() + 100, pk.begin() + 110); // bytes lost
                        break;
                    }
                }
                b.insert(b.end(), pk.begin(), pk.end());
            }
        }
        stream_ptr s = make_stream();
        feed_chunks(s.get(), b, [&] { return 1 + rng() % 3000; });
        const auto frames = take_all(s.get());
        const tq_stream_state_t st = state_of(s.get());
        int prev = -1;
        for (const auto &f : frames) {
            const int idx = f.info.frame_idx;
            const int k = idx <= n / 2 ? idx : idx - 3;
            ASSERT_GT(k, prev) << "seed " << seed;
            ASSERT_LT(k, n);
            EXPECT_EQ(f.data, sent[k]) << "seed " << seed << " frame " << k;
            prev = k;
        }
        EXPECT_EQ(frames.size() + st.frames_discarded, static_cast<size_t>(n))
            << "seed " << seed << ", " << damaged << " frames damaged";
        EXPECT_GE(st.frames_discarded, 1u);
        EXPECT_LE(st.frames_discarded, static_cast<uint32_t>(2 * damaged));
    }
}

TEST(stream_feed, four_frames_in_one_packet_get_consecutive_indices)
{
    stream_writer w(opts(0x10000, true, 40));
    std::vector<bytes_t> four;
    for (uint32_t i = 0; i < 4; ++i)
        four.push_back(pattern_bytes(1001, 30 + i)); // odd size: frames split words
    const frame_attr_t attr = pattern_attr(3);
    w.packed_frames(four, attr);
    const bytes_t fifth = pattern_bytes(1001, 40);
    w.frame(fifth, attr); // index 44: no frame missing
    w.set_next_fridx(46);
    w.frame(fifth, attr); // index 46: one missing

    log_capture log;
    stream_ptr s = make_stream();
    feed_all(s.get(), w.bytes());
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 6u);
    for (uint16_t i = 0; i < 4; ++i)
        EXPECT_EQ(frames[i], sent_frame(four[i], static_cast<uint16_t>(40 + i), 1, attr));
    EXPECT_EQ(frames[4], sent_frame(fifth, 44, 1, attr));
    EXPECT_EQ(frames[5], sent_frame(fifth, 46, 1, attr));
    const std::string text = log.text();
    EXPECT_EQ(text.find("cur=44"), std::string::npos);
    EXPECT_NE(
        text.find("[tq_stream_feed_input] missing frame: jumpping frame idx (prev=45, cur=46)\n"),
        std::string::npos);
}

TEST(stream_ready_list, overflow_drops_the_oldest_frames)
{
    stream_writer w(opts(4096));
    std::vector<bytes_t> sent;
    for (uint32_t i = 0; i < 12; ++i) {
        sent.push_back(pattern_bytes(100, 50 + i));
        w.frame(sent.back());
    }
    log_capture log;
    stream_ptr s = make_stream(10);
    feed_all(s.get(), w.bytes());
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_dropped, 2u);
    EXPECT_EQ(st.frames_ready, 10u);
    EXPECT_EQ(st.frames_out, 12u);
    EXPECT_EQ(st.bytes_discarded, 200u);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(frames[i].data, sent[i + 2]);
    EXPECT_NE(log.text().find("[_fr_list_refresh] discard frames: frame buffer is full (1/2)\n"),
              std::string::npos);
    EXPECT_NE(log.text().find("[_fr_list_refresh] discard frame: idx = 1\n"), std::string::npos);
}

TEST(stream_fetch, peeks_and_takes_into_short_destinations)
{
    stream_writer w(opts(4096, true, 7));
    std::vector<bytes_t> sent;
    for (uint32_t i = 0; i < 4; ++i) {
        sent.push_back(pattern_bytes(100, 60 + i));
        w.frame(sent.back(), pattern_attr(i));
    }
    stream_ptr s = make_stream();
    feed_all(s.get(), w.bytes());

    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 3, nullptr, 1), 3);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 9, nullptr, 1), 4);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 0, nullptr, 1), 0);

    // Peek: two frames into room for one and a half.
    bytes_t dst(150 + 8, 0xEE);
    tq_stream_finfo_t info{};
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 150, 2, &info, 1), 2);
    EXPECT_EQ(info.frame_idx, 7);
    EXPECT_TRUE(std::equal(sent[0].begin(), sent[0].end(), dst.begin()));
    EXPECT_TRUE(std::equal(sent[1].begin(), sent[1].begin() + 50, dst.begin() + 100));
    EXPECT_EQ(dst[150], 0xEE);
    EXPECT_EQ(state_of(s.get()).frames_ready, 4u);

    // Take three frames into room for one and a half: all three leave.
    std::fill(dst.begin(), dst.end(), 0xEE);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 150, 3, &info, 0), 3);
    EXPECT_EQ(info.frame_idx, 7);
    EXPECT_TRUE(std::equal(sent[0].begin(), sent[0].end(), dst.begin()));
    EXPECT_TRUE(std::equal(sent[1].begin(), sent[1].begin() + 50, dst.begin() + 100));
    EXPECT_EQ(dst[150], 0xEE);
    EXPECT_EQ(state_of(s.get()).frames_ready, 1u);

    // Taking without a destination throws the frames away.
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 5, &info, 0), 1);
    EXPECT_EQ(info.frame_idx, 10);
    EXPECT_EQ(state_of(s.get()).frames_ready, 0u);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 150, 1, &info, 0), 0);

    // Bad arguments fail without touching the list.
    feed_all(s.get(), w.packets()[0]);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 150, -1, nullptr, 0), -1);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), -5, 1, nullptr, 0), -1);
    EXPECT_EQ(tq_stream_fetch_frames(nullptr, dst.data(), 150, 1, nullptr, 0), -1);
    EXPECT_EQ(state_of(s.get()).frames_ready, 1u);
}

namespace {
bool g_fail_alloc = false;
void *failing_alloc(size_t n)
{
    return g_fail_alloc ? nullptr : std::malloc(n);
}
} // namespace

TEST(stream_feed, allocation_failure_drops_the_frame_until_the_next_start)
{
    stream_writer w(opts(1000));
    w.frame(pattern_bytes(3000, 70)); // packets 0-2
    const bytes_t next = pattern_bytes(1000, 71);
    w.frame(next); // packet 3

    pylox::stream_detail::g_node_alloc = &failing_alloc;
    g_fail_alloc = true;
    stream_ptr s = make_stream();
    feed_all(s.get(), w.packets()[0]);
    g_fail_alloc = false;
    feed_all(s.get(), concat({w.packets()[1], w.packets()[2], w.packets()[3]}));
    pylox::stream_detail::g_node_alloc = &std::malloc;

    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, next);
    // Packet 0's payload found no frame; packets 1 and 2 are not followed.
    EXPECT_EQ(state_of(s.get()).bytes_discarded, 1000u + packet_bytes(w, 1, 3));
}

namespace {
int g_node_allocs = 0;
void *counting_alloc(size_t n)
{
    ++g_node_allocs;
    return std::malloc(n);
}
} // namespace

// Streaming reuses the buffers of frames that were taken, dropped or
// discarded: the allocations stay within the ready list's capacity however
// many frames pass, and a recycled buffer never shows a byte of its last frame.
TEST(stream_buffers, frames_reuse_their_buffers_and_keep_their_contents)
{
    constexpr uint32_t max_frames = 4;
    stream_writer w(opts(1000));
    stream_ptr s = make_stream(max_frames);
    pylox::stream_detail::g_node_alloc = &counting_alloc;
    g_node_allocs = 0;
    uint32_t seed = 200;
    // Feeds frames of the given size; returns the frames that were sent.
    auto feed = [&](int count, size_t size) {
        std::vector<bytes_t> sent;
        for (int i = 0; i < count; ++i) {
            sent.push_back(pattern_bytes(size, seed++));
            const size_t first = w.packets().size();
            w.frame(sent.back());
            for (size_t k = first; k < w.packets().size(); ++k)
                feed_all(s.get(), w.packets()[k]);
        }
        return sent;
    };
    auto data_of = [](const std::vector<got_frame> &frames) {
        std::vector<bytes_t> d;
        for (const got_frame &f : frames)
            d.push_back(f.data);
        return d;
    };

    // Taken one by one, then overflowing the ready list (the oldest are dropped).
    for (int i = 0; i < 30; ++i) {
        const std::vector<bytes_t> one = feed(1, 2500);
        EXPECT_EQ(data_of(take_all(s.get())), one);
    }
    std::vector<bytes_t> sent = feed(30, 2500);
    EXPECT_EQ(data_of(take_all(s.get())),
              std::vector<bytes_t>(sent.end() - max_frames, sent.end()));

    // Larger frames cannot use the small buffers; smaller ones use the large.
    for (const size_t size : {4000u, 700u, 4000u}) {
        sent = feed(12, size);
        EXPECT_EQ(data_of(take_all(s.get())),
                  std::vector<bytes_t>(sent.end() - max_frames, sent.end()));
    }

    // A frame discarded half-way gives its buffer back as well.
    for (int i = 0; i < 20; ++i) {
        const bytes_t whole = pattern_bytes(2500, seed++);
        w.frame(whole);
        const bytes_t first = w.packets()[w.packets().size() - 3];
        feed_all(s.get(), first); // its other two packets never come
    }
    sent = feed(1, 2500);
    EXPECT_EQ(data_of(take_all(s.get())), sent);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 20u);
    pylox::stream_detail::g_node_alloc = &std::malloc;

    // Without reuse every one of the ~130 frames would allocate.
    EXPECT_LE(g_node_allocs, static_cast<int>(3 * (max_frames + 2)));
}

// Lending the taker's buffer changes nothing the stream yields: with the same
// damaged stream, chunks and takes, the frames taken and the counters are
// those of a stream that never borrows, and once a loan has ended (or its
// frame was taken) the stream never writes into the buffer again.
TEST(stream_loan, frames_and_counters_do_not_depend_on_lending)
{
    int in_place = 0, moved = 0, damaged = 0;
    for (uint32_t seed = 1; seed <= 48; ++seed) {
        std::mt19937 gen(seed);
        stream_writer w(opts(700 + seed * 97, seed % 3 != 0));
        for (int k = 0; k < 60; ++k) {
            if (k % 9 == 4) {
                w.packed_frames({pattern_bytes(900, seed * 100 + k), pattern_bytes(900, k)});
                continue;
            }
            w.frame(pattern_bytes(1 + gen() % 3000, seed * 100 + k));
            if (gen() % 6 == 0) { // a bent payload byte in the frame's last packet
                bytes_t &pk = const_cast<bytes_t &>(w.packets().back());
                if (pk.size() > 60)
                    pk[36 + gen() % (pk.size() - 36)] ^= 0x10;
            }
        }
        const bytes_t stream = w.bytes();
        // Where the packets end: a chunk often ends with a frame, as a paced
        // camera's last transfer of a frame does.
        std::vector<size_t> ends;
        size_t at = 0;
        for (const bytes_t &pk : w.packets())
            ends.push_back(at += pk.size());
        auto run = [&](bool lend, std::vector<got_frame> &taken) {
            std::mt19937 r(seed * 7), marks(seed);
            stream_ptr s = make_stream(3);
            bytes_t buf(3000, 0);
            bytes_t canary; // what the buffer must hold while nothing uses it
            bool lent = false;
            size_t off = 0;
            while (off < stream.size()) {
                size_t n = std::min<size_t>(1 + r() % 1500, stream.size() - off);
                if (r() % 2)
                    n = *std::upper_bound(ends.begin(), ends.end(), off) - off;
                tq_stream_feed_input(s.get(), stream.data() + off, static_cast<int>(n));
                off += n;
                if (!lent && !canary.empty()) {
                    EXPECT_EQ(buf, canary) << "seed " << seed << ": written after the loan";
                }
                // As the device's call does: it waits (lending its buffer)
                // while nothing is ready, gives up now and then, takes
                // frames that are ready.
                const size_t len = r() % 4 ? buf.size() : 300 + r() % 2701;
                const unsigned act = r() % 8;
                if (state_of(s.get()).frames_ready == 0) {
                    if (act < 2) {
                        moved += s->lent_node != nullptr;
                        pylox::stream_detail::end_loan(s.get());
                        lent = false;
                    } else if (lend &&
                               pylox::stream_detail::lend_buffer(s.get(), buf.data(), len)) {
                        lent = true;
                    }
                } else if (act < 7) {
                    taken.push_back(take_into(s.get(), buf, in_place));
                    lent = false;
                }
                if (!lent) {
                    pylox::stream_detail::end_loan(s.get());
                    std::fill(buf.begin(), buf.end(), static_cast<uint8_t>(marks()));
                    canary = buf;
                }
            }
            pylox::stream_detail::end_loan(s.get());
            for (const got_frame &f : take_all(s.get()))
                taken.push_back(f);
            return counters(state_of(s.get()));
        };
        std::vector<got_frame> plain, borrowed;
        const auto plain_stats = run(false, plain);
        const auto borrowed_stats = run(true, borrowed);
        EXPECT_EQ(borrowed_stats, plain_stats) << "seed " << seed;
        EXPECT_EQ(borrowed.size(), plain.size()) << "seed " << seed;
        EXPECT_TRUE(borrowed == plain) << "seed " << seed;
        damaged += std::get<2>(plain_stats) > 0;
    }
    EXPECT_GT(in_place, 40); // frames did arrive in the lent buffer
    EXPECT_GT(moved, 5);     // loans ended while their frame was under way
    EXPECT_GT(damaged, 0);   // and frames were lost on the way
}

TEST(stream_reset, forgets_position_frames_and_counters)
{
    stream_writer w(opts(1000));
    w.frame(pattern_bytes(1000, 80));
    w.frame(pattern_bytes(3000, 81));
    const bytes_t b = w.bytes();
    stream_ptr s = make_stream();
    feed_all(s.get(), {1, 2, 3});
    tq_stream_feed_input(s.get(), b.data(), 1036 + 1500); // frame 0 and half of frame 1
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_ready, 1u);
    EXPECT_EQ(st.bytes_discarded, 3u);

    tq_stream_reset(s.get());
    const tq_stream_state_t after = state_of(s.get());
    EXPECT_EQ(counters(after), counters(tq_stream_state_t{}));
    EXPECT_GE(after.time_sec, st.time_sec);
    EXPECT_EQ(take_all(s.get()).size(), 0u);

    // The rest of frame 1 is not taken for a new frame; the stream starts over.
    feed_all(s.get(), bytes_t(b.begin() + 1036 + 1500, b.end()));
    feed_all(s.get(), w.packets()[0]);
    const auto frames = take_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.frame_idx, 0);
}

TEST(stream_api, rejects_null_and_negative_arguments)
{
    EXPECT_EQ(tq_stream_create(nullptr), nullptr);
    stream_ptr s = make_stream(5);
    tq_stream_cfg_t cfg{0};
    EXPECT_EQ(tq_stream_get_cfg(s.get(), &cfg), &cfg);
    EXPECT_EQ(cfg.max_frames, 5u);
    cfg.max_frames = 3;
    tq_stream_set_cfg(s.get(), &cfg);
    cfg.max_frames = 0;
    EXPECT_EQ(tq_stream_get_cfg(s.get(), &cfg)->max_frames, 3u);

    const uint8_t b[4] = {0xFB, 0x98, 0, 0};
    EXPECT_EQ(tq_stream_feed_input(nullptr, b, 4), 0);
    EXPECT_EQ(tq_stream_feed_input(s.get(), b, -1), 0);
    EXPECT_EQ(tq_stream_feed_input(s.get(), nullptr, 4), 0);
    EXPECT_EQ(tq_stream_feed_input(s.get(), nullptr, 0), 0);
    EXPECT_EQ(counters(state_of(s.get())), counters(tq_stream_state_t{}));
    EXPECT_EQ(tq_stream_get_state(s.get(), nullptr), nullptr);
    tq_stream_destroy(nullptr);
    tq_stream_reset(nullptr);
}
