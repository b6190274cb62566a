// Small helpers of the stream parser tests: owning handle, chunked feeding,
// taking every ready frame with its information.
#pragma once

#include "support/stream_writer.h"

#include "capture/tq_stream_internal.h"

#include <pylox/tq_stream.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

namespace pylox_test {

struct stream_deleter {
    void operator()(tq_stream_t *s) const { tq_stream_destroy(s); }
};
using stream_ptr = std::unique_ptr<tq_stream_t, stream_deleter>;

inline stream_ptr make_stream(uint32_t max_frames = 1000)
{
    const tq_stream_cfg_t cfg{max_frames};
    return stream_ptr(tq_stream_create(&cfg));
}

struct got_frame {
    tq_stream_finfo_t info;
    bytes_t data;

    bool operator==(const got_frame &o) const
    {
        return std::memcmp(&info, &o.info, sizeof info) == 0 && data == o.data;
    }
};

// Takes the ready frames one by one (oldest first).
inline std::vector<got_frame> take_all(tq_stream_t *s)
{
    std::vector<got_frame> out;
    for (;;) {
        got_frame f{};
        uint8_t probe = 0; // a destination without room: only the information is copied
        if (tq_stream_fetch_frames(s, &probe, 0, 1, &f.info, 1) != 1)
            break;
        f.data.resize(f.info.frame_size);
        EXPECT_EQ(tq_stream_fetch_frames(s, f.data.data(), static_cast<int>(f.data.size()), 1,
                                         nullptr, 0),
                  1);
        out.push_back(std::move(f));
    }
    return out;
}

inline tq_stream_state_t state_of(tq_stream_t *s)
{
    tq_stream_state_t st{};
    tq_stream_get_state(s, &st);
    return st;
}

// The counters that describe the stream (not the time stamp).
inline auto counters(const tq_stream_state_t &st)
{
    return std::make_tuple(st.frames_completed, st.frames_out, st.frames_discarded,
                           st.frames_dropped, st.frames_ready, st.bytes_discarded);
}

// Feeds b in chunks whose sizes next_size() gives (at least 1 byte each).
inline void feed_chunks(tq_stream_t *s, const bytes_t &b, const std::function<size_t()> &next_size)
{
    size_t off = 0;
    while (off < b.size()) {
        const size_t n = std::min(std::max<size_t>(next_size(), 1), b.size() - off);
        tq_stream_feed_input(s, b.data() + off, static_cast<int>(n));
        off += n;
    }
}

inline void feed_all(tq_stream_t *s, const bytes_t &b)
{
    tq_stream_feed_input(s, b.data(), static_cast<int>(b.size()));
}

// What a whole stream leaves behind: the frames and the counters.
struct stream_result {
    std::vector<got_frame> frames;
    std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> stats;
};

inline stream_result run_stream(const bytes_t &b, const std::function<size_t()> &next_size,
                                uint32_t max_frames = 1000)
{
    stream_ptr s = make_stream(max_frames);
    feed_chunks(s.get(), b, next_size);
    stream_result r;
    r.stats = counters(state_of(s.get()));
    r.frames = take_all(s.get());
    return r;
}

// A frame taken as the device's delivery takes it: a frame assembled in the
// lent buffer is there already, any other is copied there once the loan has
// ended. Returns the frame as the buffer then holds it.
inline got_frame take_into(tq_stream_t *s, bytes_t &buf, int &in_place)
{
    tq_stream_node *f = pylox::stream_detail::take_frame(s);
    got_frame g{};
    if (!f)
        return g;
    if (f->data() == buf.data()) {
        ++in_place;
    } else {
        pylox::stream_detail::end_loan(s);
        std::memcpy(buf.data(), f->data(), f->filled);
    }
    g.info = f->finfo;
    g.data.assign(buf.begin(), buf.begin() + f->filled);
    pylox::stream_detail::release_frame(s, f);
    return g;
}

inline got_frame sent_frame(const bytes_t &data, uint16_t idx, uint16_t frfmt,
                            const frame_attr_t &attr)
{
    got_frame f{};
    f.info.frame_size = static_cast<uint32_t>(data.size());
    f.info.frame_idx = idx;
    f.info.frame_format = frfmt;
    std::memcpy(&f.info.attr, attr.data(), attr.size());
    f.data = data;
    return f;
}

} // namespace pylox_test
