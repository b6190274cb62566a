// Frame stream parser: one thread feeds while others take, peek and read the
// statistics, as the transport's event thread and the application do.
#include "support/stream_test_util.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace pylox_test;

TEST(stream_threads, feeder_and_readers_see_consistent_frames_and_counters)
{
    constexpr int k_frames = 400;
    constexpr uint32_t k_max_frames = 4;
    constexpr size_t k_max_size = 20000;
    stream_writer::options o;
    o.max_payload = 4096;
    stream_writer w(o);
    std::vector<bytes_t> sent;
    std::mt19937 rng(99);
    for (int i = 0; i < k_frames; ++i) {
        sent.push_back(pattern_bytes(1 + rng() % k_max_size, static_cast<uint32_t>(i)));
        w.frame(sent.back());
    }
    const bytes_t stream = w.bytes();
    stream_ptr s = make_stream(k_max_frames);
    std::atomic<bool> fed{false};
    std::atomic<bool> failed{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    std::thread feeder([&] {
        std::mt19937 r(7);
        size_t off = 0;
        while (off < stream.size()) {
            const size_t n = std::min<size_t>(1 + r() % 8000, stream.size() - off);
            tq_stream_feed_input(s.get(), stream.data() + off, static_cast<int>(n));
            off += n;
        }
        fed = true;
    });

    // A peeking reader: the first peeked frame is always a whole sent frame.
    std::thread peeker([&] {
        bytes_t buf(k_max_size);
        tq_stream_state_t last{};
        while (!fed && std::chrono::steady_clock::now() < deadline) {
            tq_stream_finfo_t info{};
            if (tq_stream_fetch_frames(s.get(), buf.data(), static_cast<int>(buf.size()), 1, &info,
                                       1) == 1) {
                const bytes_t &want = sent[info.frame_idx];
                if (info.frame_size != want.size() ||
                    !std::equal(want.begin(), want.end(), buf.begin()))
                    failed = true;
            }
            const tq_stream_state_t st = state_of(s.get());
            if (st.frames_ready > k_max_frames || st.frames_out < last.frames_out ||
                st.frames_dropped < last.frames_dropped || st.frames_out < st.frames_ready)
                failed = true;
            last = st;
            std::this_thread::yield();
        }
    });

    // The taker: frames arrive oldest first, whole and unchanged. Failures
    // end the loop so the threads are always joined.
    bytes_t buf(k_max_size);
    uint32_t taken = 0;
    int last_idx = -1;
    bool order_ok = true;
    bool data_ok = true;
    bool in_time = true;
    for (;;) {
        tq_stream_finfo_t info{};
        const int n =
            tq_stream_fetch_frames(s.get(), buf.data(), static_cast<int>(buf.size()), 1, &info, 0);
        if (n == 1) {
            ++taken;
            order_ok = static_cast<int>(info.frame_idx) > last_idx;
            last_idx = info.frame_idx;
            const bytes_t &want = sent[info.frame_idx];
            data_ok =
                info.frame_size == want.size() && std::equal(want.begin(), want.end(), buf.begin());
            if (!order_ok || !data_ok)
                break;
        } else if (fed && state_of(s.get()).frames_ready == 0) {
            break;
        }
        in_time = std::chrono::steady_clock::now() < deadline;
        if (!in_time)
            break;
        std::this_thread::yield();
    }
    feeder.join();
    peeker.join();
    EXPECT_FALSE(failed);
    EXPECT_TRUE(order_ok);
    EXPECT_TRUE(data_ok);
    EXPECT_TRUE(in_time);

    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_out, static_cast<uint32_t>(k_frames));
    EXPECT_EQ(st.frames_out, taken + st.frames_dropped + st.frames_ready);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_GT(taken, 0u);
}

// The application's call lends its buffer while it waits and gives up now
// and then before its frame came, while the transport's thread feeds: every
// frame taken is whole, and once a loan has ended the feeder never writes
// into the buffer again (the call's own writes to it would race with it).
TEST(stream_threads, a_lent_buffer_is_written_only_during_the_loan)
{
    constexpr int k_frames = 300;
    stream_writer::options o;
    o.max_payload = 3000;
    stream_writer w(o);
    std::vector<bytes_t> sent;
    std::vector<size_t> frame_end; // stream offset after each frame
    std::mt19937 rng(5);
    size_t end = 0;
    for (int i = 0; i < k_frames; ++i) {
        sent.push_back(pattern_bytes(6000 + rng() % 6000, static_cast<uint32_t>(i)));
        const size_t first = w.packets().size();
        w.frame(sent.back());
        for (size_t k = first; k < w.packets().size(); ++k)
            end += w.packets()[k].size();
        frame_end.push_back(end);
    }
    const bytes_t stream = w.bytes();
    stream_ptr s = make_stream(3);
    std::atomic<bool> fed{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // Mostly one frame at a time once the taker waits for it, as with a
    // camera paced slower than the taker; now and then several back to back.
    auto waiting = [&] {
        return state_of(s.get()).frames_ready == 0 &&
               std::atomic_ref<uint8_t>(s->loan_offered).load() != 0;
    };
    std::thread feeder([&] {
        std::mt19937 r(11);
        size_t off = 0;
        for (const size_t to : frame_end) {
            const bool paced = r() % 4 != 0;
            while (paced && !waiting() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            while (off < to) {
                const size_t n = std::min<size_t>(1 + r() % 5000, to - off);
                tq_stream_feed_input(s.get(), stream.data() + off, static_cast<int>(n));
                off += n;
                std::this_thread::yield();
            }
        }
        fed = true;
    });

    bytes_t buf(12000);
    int in_place = 0, taken = 0, gave_up = 0;
    bool whole = true, untouched = true;
    std::mt19937 r(3);
    while ((!fed || state_of(s.get()).frames_ready > 0) &&
           std::chrono::steady_clock::now() < deadline) {
        pylox::stream_detail::lend_buffer(s.get(), buf.data(), buf.size());
        // One call in eight gives up after a moment, whatever came meanwhile
        // (a frame may be under way in the buffer); the others wait.
        const bool give_up = r() % 8 == 0;
        const int moment = static_cast<int>(r() % 50);
        for (int spin = 0; give_up ? spin < moment
                                   : state_of(s.get()).frames_ready == 0 && !fed &&
                                         std::chrono::steady_clock::now() < deadline;
             ++spin)
            std::this_thread::yield();
        if (give_up) {
            ++gave_up;
        } else if (state_of(s.get()).frames_ready > 0) {
            const got_frame f = take_into(s.get(), buf, in_place);
            whole = whole && f.data == sent[f.info.frame_idx];
            ++taken;
        }
        // The call returns: the buffer is the application's again.
        pylox::stream_detail::end_loan(s.get());
        const uint8_t mark = static_cast<uint8_t>(r());
        std::fill(buf.begin(), buf.end(), mark);
        std::this_thread::yield();
        untouched = untouched &&
                    std::all_of(buf.begin(), buf.end(), [mark](uint8_t b) { return b == mark; });
        if (!whole || !untouched)
            break;
    }
    feeder.join();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(untouched);
    const tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.frames_out, static_cast<uint32_t>(taken) + st.frames_dropped + st.frames_ready);
    EXPECT_GT(in_place, 0);
    EXPECT_GT(gave_up, 0);
}
