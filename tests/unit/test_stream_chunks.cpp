// Frame stream parser: results do not depend on where the transport cuts the
// stream, and damaged streams never yield wrong frames.
#include "support/stream_test_util.h"

#include <cstdint>
#include <map>
#include <set>

using namespace pylox_test;

namespace {

// A stream with most of what the parser meets: packets whose payloads split
// words, packed frames, frames without checksum, garbage, rejected headers, a
// bad checksum with its orphaned continuation, and an interrupted frame.
struct mixed_stream {
    bytes_t bytes;
    std::vector<got_frame> expected;
};

mixed_stream make_mixed_stream()
{
    mixed_stream m;
    stream_writer::options o;
    o.max_payload = 1003;
    o.first_sidx = 65530;
    o.first_fridx = 65533;
    stream_writer w(o);
    std::map<size_t, bytes_t> after; // extra bytes after packet i
    std::set<size_t> lost;           // packets not sent
    size_t damaged = SIZE_MAX;       // packet with a flipped payload bit
    const auto keep = [&](const bytes_t &data, uint16_t idx, const frame_attr_t &attr) {
        m.expected.push_back(sent_frame(data, idx, o.frfmt, attr));
    };

    const bytes_t a = pattern_bytes(2501, 1);
    keep(a, w.frame(a, pattern_attr(1)), pattern_attr(1));
    bytes_t garbage = pattern_bytes(17, 2);
    garbage[5] = 0xFB;
    garbage[12] = 0xFB;
    garbage[13] = 0x98;
    after[w.packets().size() - 1] = garbage;

    std::vector<bytes_t> four;
    for (uint32_t i = 0; i < 4; ++i)
        four.push_back(pattern_bytes(333, 10 + i));
    const uint16_t first = w.packed_frames(four, pattern_attr(2));
    for (uint16_t i = 0; i < 4; ++i)
        keep(four[i], static_cast<uint16_t>(first + i), pattern_attr(2));
    after[w.packets().size() - 1] = {0xFB, 0x98}; // a sync pair overlapping the next header

    // A frame sent without data checksum.
    const bytes_t plain = pattern_bytes(777, 3);
    stream_packet p;
    p.frlen = 777;
    p.fridx = w.next_fridx();
    p.frfmt = o.frfmt;
    p.frame_start = true;
    p.payload = plain;
    w.packet(p);
    keep(plain, p.fridx, {});
    w.set_next_fridx(static_cast<uint16_t>(p.fridx + 1));

    // A header with frlen 0 and a payload: rejected, its bytes skipped.
    stream_packet zero;
    zero.frame_start = true;
    zero.payload = pattern_bytes(40, 4);
    after[w.packets().size() - 1] = encode_packet(zero);

    // Bad checksum in the second of three packets: the frame and its third
    // packet are dropped.
    w.frame(pattern_bytes(2900, 5));
    damaged = w.packets().size() - 2;

    // Interrupted frame: two of its three packets, then a new frame start.
    w.frame(pattern_bytes(3000, 6));
    lost.insert(w.packets().size() - 1);

    const bytes_t last = pattern_bytes(1234, 7);
    keep(last, w.frame(last, pattern_attr(3)), pattern_attr(3));

    for (size_t i = 0; i < w.packets().size(); ++i) {
        bytes_t pk = w.packets()[i];
        if (i == damaged)
            pk[36 + 10] ^= 0x80;
        if (!lost.count(i))
            m.bytes.insert(m.bytes.end(), pk.begin(), pk.end());
        if (after.count(i))
            m.bytes.insert(m.bytes.end(), after[i].begin(), after[i].end());
    }
    return m;
}

} // namespace

TEST(stream_chunks, any_chunking_gives_the_same_frames_and_counters)
{
    const mixed_stream m = make_mixed_stream();
    const stream_result whole = run_stream(m.bytes, [&] { return m.bytes.size(); });
    EXPECT_EQ(whole.frames, m.expected);
    const auto [completed, out, discarded, dropped, ready, bytes_discarded] = whole.stats;
    EXPECT_EQ(completed, m.expected.size());
    EXPECT_EQ(out, m.expected.size());
    EXPECT_EQ(discarded, 2u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(ready, m.expected.size());
    EXPECT_GT(bytes_discarded, 0u);

    for (size_t chunk : {1, 2, 3, 7, 36, 37, 4096}) {
        SCOPED_TRACE(chunk);
        const stream_result r = run_stream(m.bytes, [=] { return chunk; });
        EXPECT_EQ(r.stats, whole.stats);
        EXPECT_EQ(r.frames, whole.frames);
    }
    std::mt19937 rng(12345);
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        std::uniform_int_distribution<int> bits(0, 12);
        const stream_result r =
            run_stream(m.bytes, [&] { return size_t{1} << bits(rng) | rng() % 64; });
        EXPECT_EQ(r.stats, whole.stats);
        EXPECT_EQ(r.frames, whole.frames);
    }
}

TEST(stream_chunks, every_split_position_of_headers_and_payloads)
{
    const mixed_stream m = make_mixed_stream();
    const stream_result whole = run_stream(m.bytes, [&] { return m.bytes.size(); });
    for (size_t split = 1; split < m.bytes.size(); ++split) {
        bool first = true;
        const stream_result r = run_stream(m.bytes, [&] {
            const size_t n = first ? split : m.bytes.size();
            first = false;
            return n;
        });
        ASSERT_EQ(r.stats, whole.stats) << "split at " << split;
        ASSERT_EQ(r.frames, whole.frames) << "split at " << split;
    }
}

namespace {

// Damages a packet in one of a few ways a transport can.
bytes_t damage(const bytes_t &pkt, std::mt19937 &rng, int &kind)
{
    bytes_t out = pkt;
    kind = static_cast<int>(rng() % 6);
    switch (kind) {
    case 0: // one flipped bit, header or payload
        out[rng() % out.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
    case 1: { // bytes lost
        const size_t at = rng() % out.size();
        const size_t n = std::min<size_t>(1 + rng() % 64, out.size() - at);
        out.erase(out.begin() + static_cast<ptrdiff_t>(at),
                  out.begin() + static_cast<ptrdiff_t>(at + n));
        break;
    }
    case 2: // the packet twice
        out.insert(out.end(), pkt.begin(), pkt.end());
        break;
    case 3: // cut short
        out.resize(rng() % out.size());
        break;
    case 4: { // garbage after the packet
        const bytes_t g = pattern_bytes(1 + rng() % 100, static_cast<uint32_t>(rng()));
        out.insert(out.end(), g.begin(), g.end());
        break;
    }
    default: // packet lost
        out.clear();
        break;
    }
    return out;
}

} // namespace

TEST(stream_chunks, damaged_streams_never_yield_wrong_frames)
{
    int damaged_kinds[6] = {};
    uint32_t total_delivered = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        stream_writer::options o;
        o.max_payload = 64 + rng() % 3000;
        o.first_sidx = static_cast<uint16_t>(rng());
        o.first_fridx = static_cast<uint16_t>(rng() % 1000);
        stream_writer w(o);
        std::map<uint16_t, got_frame> sent;
        for (int f = 0; f < 40; ++f) {
            const frame_attr_t attr = pattern_attr(seed * 100 + f);
            if (rng() % 5 == 0) {
                const size_t size = 1 + rng() % 700;
                std::vector<bytes_t> group;
                for (uint32_t k = 0, n = 2 + rng() % 3; k < n; ++k)
                    group.push_back(pattern_bytes(size, static_cast<uint32_t>(rng())));
                const uint16_t first = w.packed_frames(group, attr);
                for (size_t k = 0; k < group.size(); ++k) {
                    const uint16_t idx = static_cast<uint16_t>(first + k);
                    sent[idx] = sent_frame(group[k], idx, o.frfmt, attr);
                }
            } else {
                const bytes_t data = pattern_bytes(1 + rng() % 6000, static_cast<uint32_t>(rng()));
                const uint16_t idx = w.frame(data, attr);
                sent[idx] = sent_frame(data, idx, o.frfmt, attr);
            }
        }
        bytes_t stream;
        size_t packets_fed = 0;
        for (const bytes_t &pkt : w.packets()) {
            bytes_t b = pkt;
            if (rng() % 4 == 0) {
                int kind = 0;
                b = damage(pkt, rng, kind);
                ++damaged_kinds[kind];
            }
            packets_fed += (b.size() + pkt.size() - 1) / pkt.size();
            stream.insert(stream.end(), b.begin(), b.end());
        }

        // Random chunks with fetches in between.
        const uint32_t max_frames = 1 + rng() % 12;
        stream_ptr s = make_stream(max_frames);
        std::vector<got_frame> got;
        size_t off = 0;
        while (off < stream.size()) {
            const size_t n = std::min<size_t>(1 + rng() % 9000, stream.size() - off);
            tq_stream_feed_input(s.get(), stream.data() + off, static_cast<int>(n));
            off += n;
            if (rng() % 3 == 0) {
                auto some = take_all(s.get());
                got.insert(got.end(), some.begin(), some.end());
            }
            const tq_stream_state_t st = state_of(s.get());
            ASSERT_LE(st.frames_ready, max_frames);
            ASSERT_EQ(st.frames_completed, st.frames_out);
            ASSERT_EQ(st.frames_out, got.size() + st.frames_ready + st.frames_dropped);
        }
        const tq_stream_state_t st = state_of(s.get());
        auto rest = take_all(s.get());
        got.insert(got.end(), rest.begin(), rest.end());

        uint64_t delivered_bytes = 0;
        for (const got_frame &f : got) {
            const auto it = sent.find(f.info.frame_idx);
            ASSERT_NE(it, sent.end()) << "unknown frame " << f.info.frame_idx;
            ASSERT_EQ(f, it->second) << "frame " << f.info.frame_idx << " differs";
            delivered_bytes += f.data.size();
        }
        total_delivered += static_cast<uint32_t>(got.size());
        // Every byte is delivered, discarded, a followed header, or still
        // waiting (a header prefix, a frame in progress).
        const uint64_t accounted = delivered_bytes + st.bytes_discarded;
        EXPECT_LE(accounted, stream.size());
        EXPECT_LE(stream.size() - accounted, 36 * packets_fed + 6000 + 36);

        // The same damaged stream in one piece ends the same way.
        const stream_result whole = run_stream(stream, [&] { return stream.size(); });
        const stream_result chunked = run_stream(stream, [&] { return 1 + rng() % 5000; });
        EXPECT_EQ(chunked.stats, whole.stats);
        EXPECT_EQ(chunked.frames, whole.frames);
    }
    for (int k : damaged_kinds)
        EXPECT_GT(k, 0);
    EXPECT_GT(total_delivered, 60u * 10);
}
