// libFuzzer target of the frame stream parser. Input: one byte of ready-list
// capacity, one byte that seeds the chunking, then the stream bytes.
//
// Three parsers read the same stream: one in a single call, one in chunks
// (their frames and counters must agree), and one in chunks with fetches of
// every kind in between (its counters must stay consistent).
#include "fuzz_util.h"

#include <pylox/tq_stream.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct rng {
    uint32_t x;
    uint32_t next()
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

struct frame {
    tq_stream_finfo_t info;
    std::vector<uint8_t> data;
};

tq_stream_t *create(uint32_t max_frames)
{
    const tq_stream_cfg_t cfg{max_frames};
    tq_stream_t *s = tq_stream_create(&cfg);
    FUZZ_CHECK(s);
    return s;
}

tq_stream_state_t state_of(tq_stream_t *s)
{
    tq_stream_state_t st{};
    tq_stream_get_state(s, &st);
    return st;
}

std::vector<frame> take_all(tq_stream_t *s)
{
    std::vector<frame> out;
    for (;;) {
        frame f{};
        uint8_t probe = 0;
        if (tq_stream_fetch_frames(s, &probe, 0, 1, &f.info, 1) != 1)
            break;
        f.data.resize(f.info.frame_size);
        FUZZ_CHECK(tq_stream_fetch_frames(s, f.data.data(), static_cast<int>(f.data.size()), 1,
                                          nullptr, 0) == 1);
        out.push_back(std::move(f));
    }
    return out;
}

void check_counters(const tq_stream_state_t &st, uint32_t max_frames, uint32_t taken)
{
    FUZZ_CHECK(st.frames_ready <= max_frames);
    FUZZ_CHECK(st.frames_completed == st.frames_out);
    FUZZ_CHECK(st.frames_out == taken + st.frames_ready + st.frames_dropped);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 2)
        return 0;
    const uint32_t max_frames = data[0] & 15u;
    rng r{0x9E3779B9u ^ (static_cast<uint32_t>(data[1]) * 0x01000193u)};
    const uint8_t *bytes = data + 2;
    const int n = static_cast<int>(size - 2);

    // Whole against chunked: the same frames and counters.
    tq_stream_t *whole = create(1u << 20);
    tq_stream_t *chunked = create(1u << 20);
    tq_stream_feed_input(whole, bytes, n);
    for (int off = 0; off < n;) {
        const int k = std::min<int>(1 + static_cast<int>(r.next() % 64), n - off);
        tq_stream_feed_input(chunked, bytes + off, k);
        off += k;
    }
    const tq_stream_state_t a = state_of(whole);
    const tq_stream_state_t b = state_of(chunked);
    FUZZ_CHECK(a.frames_completed == b.frames_completed && a.frames_out == b.frames_out &&
               a.frames_discarded == b.frames_discarded && a.frames_dropped == b.frames_dropped &&
               a.frames_ready == b.frames_ready && a.bytes_discarded == b.bytes_discarded);
    check_counters(a, 1u << 20, 0);
    const std::vector<frame> fa = take_all(whole);
    const std::vector<frame> fb = take_all(chunked);
    FUZZ_CHECK(fa.size() == fb.size());
    uint64_t delivered = 0;
    for (size_t i = 0; i < fa.size(); ++i) {
        FUZZ_CHECK(std::memcmp(&fa[i].info, &fb[i].info, sizeof fa[i].info) == 0);
        FUZZ_CHECK(fa[i].data == fb[i].data);
        delivered += fa[i].data.size();
    }
    FUZZ_CHECK(delivered + a.bytes_discarded <= static_cast<uint64_t>(n));
    tq_stream_destroy(whole);
    tq_stream_destroy(chunked);

    // Chunks with peeks, takes into short or missing buffers, state reads
    // and resets in between.
    tq_stream_t *s = create(max_frames);
    std::vector<uint8_t> dst(4096);
    uint32_t taken = 0;
    for (int off = 0; off < n;) {
        const int k = std::min<int>(1 + static_cast<int>(r.next() % 512), n - off);
        tq_stream_feed_input(s, bytes + off, k);
        off += k;
        const uint32_t op = r.next();
        const int count = static_cast<int>(op % 4);
        const int room = static_cast<int>((op >> 4) % (dst.size() + 1));
        tq_stream_finfo_t info{};
        switch ((op >> 16) % 6) {
        case 0:
            FUZZ_CHECK(tq_stream_fetch_frames(s, dst.data(), room, count, &info, 1) >= 0);
            break;
        case 1:
            taken +=
                static_cast<uint32_t>(tq_stream_fetch_frames(s, dst.data(), room, count, &info, 0));
            break;
        case 2:
            taken +=
                static_cast<uint32_t>(tq_stream_fetch_frames(s, nullptr, 0, count, nullptr, 0));
            break;
        case 3:
            if ((op >> 24) == 0) {
                tq_stream_reset(s);
                taken = 0;
            }
            break;
        default:
            break;
        }
        check_counters(state_of(s), max_frames, taken);
    }
    tq_stream_destroy(s);
    return 0;
}
