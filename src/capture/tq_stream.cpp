// Frame stream parser. The camera sends packets (a 36-byte header and a
// payload) over the bulk-in endpoint; the transport hands them over in chunks
// cut anywhere. The parser finds and checks the headers, follows packet and
// frame continuity, checks the optional payload checksum and assembles frames,
// which wait in a bounded ready list for the application's threads.
//
// Stream bytes are handled by one state machine that carries everything it
// needs across chunk boundaries (a header prefix, a partial checksum word), so
// frames and statistics do not depend on how the transport cut the stream.
#include "capture/tq_stream_internal.h"
#include "capture/stream_sum.h"

#include "core/clock.h"
#include "core/log.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace pylox::stream_detail {
node_alloc_fn g_node_alloc = &std::malloc;
} // namespace pylox::stream_detail

namespace {

using pylox::stream_detail::g_node_alloc;
using node_t = tq_stream_node;

constexpr int k_hdr = TQ_STREAM_HDR_SIZE;
constexpr uint8_t k_sync0 = 0xFB;
constexpr uint8_t k_sync1 = 0x98;

// Lines of the feed loop carry the name of the call that runs it.
#define FEED_LOG(level, fmt, ...) PYLOX_LOG_AS(level, "tq_stream_feed_input", fmt, ##__VA_ARGS__)

// --- counters shared with other threads ---------------------------------------

uint32_t ld(uint32_t &v)
{
    return std::atomic_ref<uint32_t>(v).load(std::memory_order_relaxed);
}

uint8_t ld_flag(uint8_t &v)
{
    return std::atomic_ref<uint8_t>(v).load(std::memory_order_acquire);
}

void st_flag(uint8_t &v, uint8_t x)
{
    std::atomic_ref<uint8_t>(v).store(x, std::memory_order_release);
}

void st_set(uint32_t &v, uint32_t x)
{
    std::atomic_ref<uint32_t>(v).store(x, std::memory_order_relaxed);
}

void st_add(uint32_t &v, uint32_t x)
{
    std::atomic_ref<uint32_t>(v).fetch_add(x, std::memory_order_relaxed);
}

// --- header -------------------------------------------------------------------

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct hdr_view {
    uint16_t sidx;
    uint32_t len;
    uint32_t frlen;
    uint16_t fridx;
    uint16_t frfmt;
    const uint8_t *attr; // 12 bytes
    uint32_t data_sum;
    bool frame_start;
    bool checked; // the data checksum is present
};

hdr_view decode_hdr(const uint8_t *h)
{
    hdr_view v;
    v.sidx = le16(h + 2);
    v.len = le32(h + 4);
    v.frlen = le32(h + 8);
    v.fridx = le16(h + 12);
    v.frfmt = le16(h + 14);
    v.attr = h + 16;
    v.data_sum = le32(h + 28);
    v.frame_start = (h[32] & TQ_STREAM_FLAG_FRAME_START) != 0;
    v.checked = (h[33] & TQ_STREAM_FLAG_DATA_CHECKSUM) != 0;
    return v;
}

uint16_t fletcher16(const uint8_t *p, size_t n, uint16_t seed)
{
    uint32_t s1 = seed & 0xFFu;
    uint32_t s2 = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255u;
        s2 = (s2 + s1) % 255u;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

// The five rules of a valid header, and a frame length that can hold data.
bool hdr_accepted(const uint8_t *h)
{
    if (h[0] != k_sync0 || h[1] != k_sync1)
        return false;
    if (fletcher16(h, 34, 0) != le16(h + 34))
        return false;
    const hdr_view v = decode_hdr(h);
    // A frame of zero bytes cannot carry payload: such a packet would make
    // endless empty frames.
    if (v.len >= TQ_STREAM_MAX_PKT_LEN || v.frlen >= TQ_STREAM_MAX_FRAME_LEN ||
        v.frfmt >= TQ_STREAM_MAX_FRFMT || (v.frlen == 0 && v.len > 0)) {
        PYLOX_LOG_AS(TQ_LOG_DBG, "_sync_stream_hdr",
                     "[%s] stream hdr rejected: idx/len=%u/%u (frlen:%u,frfmt=%u)\n",
                     static_cast<unsigned>(v.sidx), static_cast<unsigned>(v.len),
                     static_cast<unsigned>(v.frlen), static_cast<unsigned>(v.frfmt));
        return false;
    }
    return true;
}

// --- payload checksum ---------------------------------------------------------

// Copies n bytes and adds them to the running word sum in the same pass.
void copy_sum(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, tq_stream_wsum &w)
{
    while (n && w.part_len) {
        w.part |= static_cast<uint32_t>(*src) << (8 * w.part_len);
        *dst++ = *src++;
        --n;
        if (++w.part_len == 4) {
            w.sum += w.part;
            w.part = 0;
            w.part_len = 0;
        }
    }
    const size_t words = n / 4;
    w.sum = pylox::stream_copy_sum_words(dst, src, words, w.sum);
    src += 4 * words;
    dst += 4 * words;
    n -= 4 * words;
    for (; n; --n) {
        w.part |= static_cast<uint32_t>(*src) << (8 * w.part_len++);
        *dst++ = *src++;
    }
}

// --- lists --------------------------------------------------------------------

node_t *list_tail(node_t *head)
{
    return head ? head->prev : nullptr;
}

// Appends the list `add` (head with back link to its tail) to `head`.
void list_append(node_t *&head, node_t *add)
{
    if (!add)
        return;
    if (!head) {
        head = add;
        return;
    }
    node_t *tail = head->prev;
    node_t *add_tail = add->prev;
    tail->next = add;
    add->prev = tail;
    head->prev = add_tail;
}

// Unlinks the first n nodes of `head` and returns them as a list.
node_t *list_cut_front(node_t *&head, uint32_t n)
{
    if (!head || n == 0)
        return nullptr;
    node_t *first = head;
    node_t *last = head;
    for (uint32_t i = 1; i < n && last->next; ++i)
        last = last->next;
    node_t *rest = last->next;
    if (rest) {
        rest->prev = head->prev;
        head = rest;
    } else {
        head = nullptr;
    }
    last->next = nullptr;
    first->prev = last;
    return first;
}

void list_free(node_t *head)
{
    while (head) {
        node_t *next = head->next;
        std::free(head);
        head = next;
    }
}

// --- frame buffers --------------------------------------------------------------

// A node that wrote into a lent buffer leaves it (it was taken, dropped or
// discarded, or the loan ended): its bytes are in its own buffer from now on,
// or no longer needed. Takes lend_lock; the caller holds no stream lock.
void return_buffer(tq_stream_t *s, node_t *f)
{
    std::lock_guard lk(s->lend_lock);
    if (s->lent_node == f) {
        s->lent_node = nullptr;
        st_flag(s->loan_offered, s->loan != nullptr);
    }
    f->buf = f->storage();
    st_flag(f->lent, 0);
}

// A frame begins in node f: it takes the offered loan when it fits there and
// is the next frame to be taken (none ready, none before it in the build
// list). A later frame would be moved out again when the earlier one is
// delivered into the buffer.
void take_loan(tq_stream_t *s, node_t *f, uint32_t frlen)
{
    if (!ld_flag(s->loan_offered) || s->build || ld(s->st.frames_ready) != 0)
        return;
    std::lock_guard lk(s->lend_lock);
    if (!s->loan || s->lent_node || s->loan_len < frlen)
        return;
    f->buf = s->loan;
    st_flag(f->lent, 1);
    s->lent_node = f;
    s->loan = nullptr;
}

// A node for a frame of frlen bytes: a spare one when it is large enough,
// else a new one. A spare that is too small (the frame size changed) is freed.
node_t *take_node(tq_stream_t *s, uint32_t frlen)
{
    node_t *f;
    {
        std::lock_guard lk(s->spare_lock);
        f = s->spare;
        if (f) {
            s->spare = f->next;
            --s->n_spare;
        }
    }
    if (f && f->room >= frlen)
        return f;
    std::free(f);
    f = static_cast<node_t *>(g_node_alloc(pylox::stream_detail::node_overhead + frlen));
    if (f)
        f->room = frlen;
    return f;
}

// Hands the nodes of a list back for reuse; those beyond the spare list's
// bound are freed. The bound covers a full ready list, the frame being built
// and the frame being delivered.
void release_nodes(tq_stream_t *s, node_t *head)
{
    if (!head)
        return;
    const uint32_t keep = ld(s->max_frames) + 2;
    for (node_t *f = head; f; f = f->next)
        if (ld_flag(f->lent))
            return_buffer(s, f);
    node_t *excess = nullptr;
    {
        std::lock_guard lk(s->spare_lock);
        while (head) {
            node_t *next = head->next;
            if (s->n_spare < keep) {
                head->next = s->spare;
                s->spare = head;
                ++s->n_spare;
            } else {
                head->next = excess;
                excess = head;
            }
            head = next;
        }
    }
    list_free(excess);
}

bool frame_in_progress(const tq_stream_t *s)
{
    const node_t *tail = list_tail(s->build);
    return tail && !tail->complete();
}

// --- steps of the feed loop ---------------------------------------------------

// Stream bytes that reached us and were thrown away (not frames dropped from
// a full ready list): they may have held the start of a frame.
void lose_bytes(tq_stream_t *s, uint32_t n)
{
    st_add(s->st.bytes_discarded, n);
    s->bytes_lost = true;
}

// Throws away the frames of the build list: the incomplete tail and the
// frames a checksummed packet completed but that were not verified.
void _discard_cur_frame(tq_stream_t *s)
{
    node_t *f = s->build;
    s->build = nullptr;
    while (f) {
        node_t *next = f->next;
        lose_bytes(s, f->filled);
        st_add(s->st.frames_discarded, 1);
        LOG_DBG("[%s] discard frame: idx = %d\n", static_cast<int>(f->finfo.frame_idx));
        f->next = nullptr;
        release_nodes(s, f);
        f = next;
    }
}

// Moves the complete frames at the front of the build list to the ready list
// and keeps the ready list within max_frames by dropping the oldest frames.
// Both happen under one hold of the write lock, so readers never see more
// than max_frames ready.
void _fr_list_refresh(tq_stream_t *s)
{
    uint32_t n = 0;
    for (node_t *f = s->build; f && f->complete(); f = f->next)
        ++n;
    const uint32_t max_frames = ld(s->max_frames);
    if (n == 0 && ld(s->st.frames_ready) <= max_frames)
        return;
    node_t *done = list_cut_front(s->build, n);
    node_t *dropped = nullptr;
    uint32_t excess = 0;
    {
        std::unique_lock lk(s->lock);
        list_append(s->ready, done);
        const uint32_t ready = s->st.frames_ready + n;
        excess = ready > max_frames ? ready - max_frames : 0;
        dropped = list_cut_front(s->ready, excess);
        // The counters move together with the lists, so a state read under
        // the lock always finds frames_out = taken + dropped + ready.
        st_set(s->st.frames_ready, ready - excess);
        st_add(s->st.frames_completed, n);
        st_add(s->st.frames_out, n);
        if (excess) {
            uint32_t bytes = 0;
            for (node_t *f = dropped; f; f = f->next)
                bytes += f->filled;
            st_add(s->st.frames_dropped, excess);
            st_add(s->st.bytes_discarded, bytes);
        }
    }
    if (!excess)
        return;
    LOG_DBG("[%s] discard frames: frame buffer is full (%d/%d)\n", static_cast<int>(excess),
            static_cast<int>(ld(s->st.frames_dropped)));
    for (node_t *f = dropped; f; f = f->next)
        LOG_DBG("[%s] discard frame: idx = %d\n", static_cast<int>(f->finfo.frame_idx));
    release_nodes(s, dropped);
}

// A frame begins. When stream bytes were thrown away since the last frame
// began, the frames the camera numbered in between were lost with them (a
// damaged frame-start packet, a frame whose start went missing, a frame that
// could not be allocated): they are counted as discarded. Without lost bytes
// a jump in the numbering is the camera's own (a replayed recording of wider
// samples counts in twos, a camera that lost a packet itself never sent that
// frame); a step back (the camera started counting again, a packet sent
// twice) counts nothing either.
void count_skipped(tq_stream_t *s, uint16_t idx)
{
    const bool lost = s->bytes_lost;
    s->bytes_lost = false;
    if (lost && s->next_fridx >= 0) {
        const uint16_t missing = static_cast<uint16_t>(idx - s->next_fridx);
        if (missing != 0 && missing < 0x8000) {
            st_add(s->st.frames_discarded, missing);
            LOG_DBG("[%s] discard frame: %d missing before idx = %d\n", static_cast<int>(missing),
                    static_cast<int>(idx));
        }
    }
    s->next_fridx = (idx + 1) & 0xFFFF;
}

// Fills the frames of the current packet with n payload bytes: first the
// incomplete tail frame, then new frames of `frlen` bytes each. Returns the
// bytes placed; fewer than n only when a frame could not be allocated (the
// rest is counted as discarded).
size_t _fr_node_add_data(tq_stream_t *s, const uint8_t *bytes, size_t n)
{
    const hdr_view h = decode_hdr(s->hdr);
    size_t done = 0;
    node_t *tail = list_tail(s->build);
    while (done < n) {
        if (!tail || tail->complete()) {
            node_t *f = take_node(s, h.frlen);
            if (!f) {
                const size_t size = pylox::stream_detail::node_overhead + h.frlen;
                LOG_ERR("[%s] malloc failed: %d bytes\n", static_cast<int>(size));
                lose_bytes(s, static_cast<uint32_t>(n - done));
                return done;
            }
            f->next = nullptr;
            f->prev = f;
            f->finfo.frame_size = h.frlen;
            f->finfo.frame_idx = static_cast<uint16_t>(h.fridx + s->pkt_frames);
            f->finfo.frame_format = h.frfmt;
            std::memcpy(&f->finfo.attr, h.attr, sizeof f->finfo.attr);
            f->filled = 0;
            f->capacity = h.frlen;
            f->done_us = 0;
            f->buf = f->storage();
            f->lent = 0;
            take_loan(s, f, h.frlen);
            count_skipped(s, f->finfo.frame_idx);
            list_append(s->build, f);
            tail = f;
        }
        const size_t k = std::min<size_t>(tail->capacity - tail->filled, n - done);
        // Into a lent buffer only under lend_lock: the lender may end the
        // loan at any time, and then finds the bytes so far and the buffer
        // this frame goes on in.
        std::unique_lock<std::mutex> lent;
        if (ld_flag(tail->lent))
            lent = std::unique_lock(s->lend_lock);
        if (h.checked)
            copy_sum(tail->buf + tail->filled, bytes + done, k, s->pkt_sum);
        else
            std::memcpy(tail->buf + tail->filled, bytes + done, k);
        tail->filled += static_cast<uint32_t>(k);
        done += k;
        if (tail->complete()) {
            tail->done_us = pylox::monotonic_us();
            ++s->pkt_frames;
        }
    }
    return done;
}

// The packet of the held header is finished with (done or given up): its
// indices become the reference for the next packet.
void leave_packet(tq_stream_t *s, const hdr_view &h)
{
    s->prev_sidx = h.sidx;
    s->prev_fridx = h.fridx;
    s->fridx_step = (h.frlen < h.len) ? static_cast<uint16_t>(h.len / h.frlen) : 1;
    s->hdr_held = 0;
}

void end_packet(tq_stream_t *s, const hdr_view &h)
{
    if (h.checked) {
        FEED_LOG(TQ_LOG_TRC, "[%s] check data checksum: sidx=%d\n", static_cast<int>(h.sidx));
        if (s->pkt_sum.sum == h.data_sum) {
            _fr_list_refresh(s);
        } else {
            FEED_LOG(TQ_LOG_DBG, "[%s] discard frame: verify data checksum failed: sidx=%d\n",
                     static_cast<int>(h.sidx));
            _discard_cur_frame(s);
            s->discard_mode = true;
        }
    }
    leave_packet(s, h);
}

// Header checks for a header just completed: decides whether its packet is
// followed. A packet that is not followed gives up its 36 header bytes and
// its payload is searched over like any other bytes.
void start_packet(tq_stream_t *s)
{
    const hdr_view h = decode_hdr(s->hdr);
    bool follow = true;
    if (s->discard_mode) {
        if (h.frame_start) {
            s->discard_mode = false;
            s->prev_sidx = -1;
        } else {
            follow = false;
        }
    }
    if (follow && h.frame_start) {
        if (frame_in_progress(s)) {
            FEED_LOG(TQ_LOG_DBG, "[%s] discard frame: frame bound met, prev not complete\n");
            _discard_cur_frame(s);
            s->prev_sidx = -1;
        } else if (ld(s->st.frames_completed) > 0 && s->prev_fridx >= 0) {
            const int expected = (s->prev_fridx + s->fridx_step) & 0xFFFF;
            if (h.fridx != expected)
                FEED_LOG(TQ_LOG_DBG, "[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n",
                         expected, static_cast<int>(h.fridx));
        }
    } else if (follow) {
        // A continuation must carry on the frame in progress; otherwise its
        // bytes would land in the wrong place of a frame.
        if (s->prev_fridx >= 0 && s->prev_fridx != h.fridx) {
            FEED_LOG(TQ_LOG_DBG, "[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n",
                     static_cast<int>(s->prev_fridx), static_cast<int>(h.fridx));
            follow = false;
        } else if (s->prev_sidx >= 0 && h.sidx != ((s->prev_sidx + 1) & 0xFFFF)) {
            FEED_LOG(TQ_LOG_DBG,
                     "[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n",
                     static_cast<int>(s->prev_sidx), static_cast<int>(h.sidx));
            follow = false;
        } else if (!frame_in_progress(s)) {
            FEED_LOG(TQ_LOG_DBG, "[%s] discard packet: no frame in progress (sidx=%d, fridx=%d)\n",
                     static_cast<int>(h.sidx), static_cast<int>(h.fridx));
            follow = false;
        }
        if (!follow) {
            _discard_cur_frame(s);
            s->discard_mode = true;
        }
    }
    if (!follow) {
        lose_bytes(s, k_hdr);
        leave_packet(s, h);
        return;
    }
    s->pkt_consumed = 0;
    s->pkt_sum = {};
    s->pkt_frames = 0;
    if (h.len == 0)
        end_packet(s, h);
}

// Payload of the followed packet; returns the bytes consumed.
size_t feed_payload(tq_stream_t *s, const uint8_t *bytes, size_t left)
{
    const hdr_view h = decode_hdr(s->hdr);
    const size_t n = std::min<size_t>(h.len - s->pkt_consumed, left);
    s->pkt_consumed += static_cast<uint32_t>(n);
    FEED_LOG(TQ_LOG_TRC, "[%s] Add %d bytes to frlist\n", static_cast<int>(n));
    const size_t placed = _fr_node_add_data(s, bytes, n);
    if (placed < n) {
        // Without a frame for them the rest of this frame's bytes cannot be
        // placed: keep what is whole and wait for the next frame start.
        if (!h.checked) {
            _fr_list_refresh(s);
        }
        _discard_cur_frame(s);
        s->discard_mode = true;
        leave_packet(s, h);
        return n;
    }
    if (!h.checked) {
        _fr_list_refresh(s);
    }
    if (s->pkt_consumed == h.len)
        end_packet(s, h);
    return n;
}

#define SYNC_LOG(level, fmt, ...) PYLOX_LOG_AS(level, "_sync_stream_hdr", fmt, ##__VA_ARGS__)

enum class held_hdr { partial, accepted, rejected };

// Adds input bytes to a held header prefix and judges it.
held_hdr fill_held(tq_stream_t *s, const uint8_t *p, size_t n, size_t &i)
{
    const size_t take = std::min<size_t>(k_hdr - s->hdr_held, n - i);
    std::memcpy(s->hdr + s->hdr_held, p + i, take);
    i += take;
    s->hdr_held += static_cast<int>(take);
    const bool bad = s->hdr_held >= 2 && s->hdr[1] != k_sync1;
    if (!bad && s->hdr_held < k_hdr) {
        SYNC_LOG(TQ_LOG_TRC, "[%s] partial stream hdr found: %d bytes, need more bytes.\n",
                 s->hdr_held);
        return held_hdr::partial;
    }
    if (bad || !hdr_accepted(s->hdr))
        return held_hdr::rejected;
    const hdr_view h = decode_hdr(s->hdr);
    SYNC_LOG(TQ_LOG_TRC, "[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n",
             static_cast<int>(h.sidx), static_cast<int>(h.len), static_cast<int>(h.frlen),
             static_cast<int>(h.fridx), static_cast<int>(h.frfmt));
    return held_hdr::accepted;
}

// A rejected held prefix: its first byte is skipped and the scan goes on
// inside the held bytes (then in the input). Returns the bytes skipped.
uint32_t skip_held(tq_stream_t *s)
{
    int j = 1;
    while (j < s->hdr_held &&
           !(s->hdr[j] == k_sync0 && (j + 1 == s->hdr_held || s->hdr[j + 1] == k_sync1)))
        ++j;
    std::memmove(s->hdr, s->hdr + j, static_cast<size_t>(s->hdr_held - j));
    s->hdr_held -= j;
    return static_cast<uint32_t>(j);
}

// The next place at or after i where a header may start: the first sync byte
// followed by the second one or by the end of the input; n when there is none.
size_t next_sync(const uint8_t *p, size_t i, size_t n)
{
    for (size_t k = i; k < n; ++k) {
        const void *f = std::memchr(p + k, k_sync0, n - k);
        if (!f)
            return n;
        k = static_cast<size_t>(static_cast<const uint8_t *>(f) - p);
        if (k + 1 == n || p[k + 1] == k_sync1)
            return k;
    }
    return n;
}

// Takes a candidate from the input into the held bytes. Returns true when a
// whole header (already accepted) is held, false when more input is needed.
bool take_candidate(tq_stream_t *s, const uint8_t *p, size_t n, size_t &i)
{
    const size_t take = std::min<size_t>(k_hdr, n - i);
    std::memcpy(s->hdr, p + i, take);
    s->hdr_held = static_cast<int>(take);
    i += take;
    if (s->hdr_held < k_hdr) {
        SYNC_LOG(TQ_LOG_TRC, "[%s] partial stream hdr found: %d bytes, need more bytes.\n",
                 s->hdr_held);
        return false;
    }
    const hdr_view h = decode_hdr(s->hdr);
    SYNC_LOG(TQ_LOG_TRC, "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n",
             static_cast<int>(h.sidx), static_cast<int>(h.len), static_cast<int>(h.frlen),
             static_cast<int>(h.fridx), static_cast<int>(h.frfmt));
    return true;
}

// Collects a header: continues a held header prefix or scans the input for
// the sync bytes. Returns the bytes consumed; on return either a whole
// accepted header is held or the input is used up. Bytes passed over are
// counted as discarded.
size_t _sync_stream_hdr(tq_stream_t *s, const uint8_t *p, size_t n)
{
    size_t i = 0;
    uint32_t skipped = 0;
    bool found = false;
    for (;;) {
        if (s->hdr_held > 0) {
            const held_hdr h = fill_held(s, p, n, i);
            if (h == held_hdr::rejected) {
                skipped += skip_held(s);
                continue;
            }
            found = h == held_hdr::accepted;
            break;
        }
        const size_t k = next_sync(p, i, n);
        skipped += static_cast<uint32_t>(k - i);
        i = k;
        if (i == n)
            break;
        if (n - i >= static_cast<size_t>(k_hdr) && !hdr_accepted(p + i)) {
            ++skipped;
            ++i;
            continue;
        }
        found = take_candidate(s, p, n, i);
        break;
    }
    if (skipped) {
        lose_bytes(s, skipped);
        if (found)
            SYNC_LOG(TQ_LOG_TRC, "[%s] sync hdr: skip %d bytes\n", static_cast<int>(skipped));
        else
            SYNC_LOG(TQ_LOG_DBG, "[%s] not find hdr: skip %d bytes\n", static_cast<int>(skipped));
    }
    return i;
}

void free_build_and_ready(tq_stream_t *s)
{
    release_nodes(s, s->build);
    s->build = nullptr;
    node_t *ready;
    {
        std::unique_lock lk(s->lock);
        ready = s->ready;
        s->ready = nullptr;
        st_set(s->st.frames_ready, 0);
    }
    release_nodes(s, ready);
}

void stamp_time(tq_stream_t *s)
{
    const pylox::wall_time w = pylox::clock_now();
    st_set(s->st.time_sec, static_cast<uint32_t>(w.sec));
    st_set(s->st.time_usec, static_cast<uint32_t>(w.usec));
}

void clear_position(tq_stream_t *s)
{
    std::memset(s->hdr, 0, sizeof s->hdr);
    s->hdr_held = 0;
    s->pkt_consumed = 0;
    s->pkt_sum = {};
    s->pkt_frames = 0;
    s->prev_sidx = -1;
    s->prev_fridx = -1;
    s->fridx_step = 1;
}

} // namespace

namespace pylox::stream_detail {

// Log lines carry the exported call's name.
constexpr const char *k_fetch_fn = "tq_stream_fetch_frames";

tq_stream_node *take_frame(tq_stream_t *stream)
{
    node_t *f;
    {
        std::unique_lock lk(stream->lock);
        if (stream->st.frames_ready == 0)
            return nullptr;
        f = list_cut_front(stream->ready, 1);
        st_set(stream->st.frames_ready, stream->st.frames_ready - 1);
    }
    f->next = nullptr;
    f->prev = f;
    return f;
}

void release_frame(tq_stream_t *stream, tq_stream_node *node)
{
    if (node) {
        node->next = nullptr;
        release_nodes(stream, node);
    }
}

bool lend_buffer(tq_stream_t *stream, uint8_t *dst, size_t len)
{
    if (!stream || !dst)
        return false;
    std::lock_guard lk(stream->lend_lock);
    if (stream->lent_node)
        return false;
    stream->loan = dst;
    stream->loan_len = len;
    st_flag(stream->loan_offered, 1);
    return true;
}

void end_loan(tq_stream_t *stream)
{
    if (!stream || !ld_flag(stream->loan_offered))
        return;
    std::lock_guard lk(stream->lend_lock);
    stream->loan = nullptr;
    st_flag(stream->loan_offered, 0);
    node_t *f = stream->lent_node;
    if (!f)
        return;
    stream->lent_node = nullptr;
    // The node is in the build list (the feeder reaches its buffer only
    // under lend_lock) or in the ready list (readers reach it under `lock`).
    std::unique_lock ready(stream->lock);
    std::memcpy(f->storage(), f->buf, f->filled);
    f->buf = f->storage();
    st_flag(f->lent, 0);
}

int fetch_frames(tq_stream_t *stream, uint8_t *dst, int dst_len, int count,
                 tq_stream_finfo_t *finfo, int peek, uint64_t *done_us)
{
    if (!stream || count < 0 || (dst && dst_len < 0)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fetch_fn, "[%s] invalid argument: count=%d dst_len=%d\n", count,
                     dst_len);
        return -1;
    }
    if (done_us)
        *done_us = 0;
    try {
        size_t room = dst ? static_cast<size_t>(dst_len) : 0;
        uint32_t n = 0;
        if (peek) {
            if (!dst)
                return static_cast<int>(
                    std::min<uint32_t>(static_cast<uint32_t>(count), ld(stream->st.frames_ready)));
            std::shared_lock lk(stream->lock);
            n = std::min<uint32_t>(static_cast<uint32_t>(count), ld(stream->st.frames_ready));
            const node_t *f = stream->ready;
            for (uint32_t k = 0; k < n && f; ++k, f = f->next) {
                if (k == 0 && finfo)
                    *finfo = f->finfo;
                if (k == 0 && done_us)
                    *done_us = f->done_us;
                const size_t c = std::min<size_t>(f->filled, room);
                if (dst != f->data())
                    std::memcpy(dst, f->data(), c);
                dst += c;
                room -= c;
            }
            return static_cast<int>(n);
        }
        node_t *taken;
        {
            std::unique_lock lk(stream->lock);
            n = std::min<uint32_t>(static_cast<uint32_t>(count), stream->st.frames_ready);
            taken = list_cut_front(stream->ready, n);
            st_set(stream->st.frames_ready, stream->st.frames_ready - n);
        }
        if (taken && finfo)
            *finfo = taken->finfo;
        if (taken && done_us)
            *done_us = taken->done_us;
        for (const node_t *f = taken; f && dst; f = f->next) {
            const size_t c = std::min<size_t>(f->filled, room);
            if (dst != f->data())
                std::memcpy(dst, f->data(), c);
            dst += c;
            room -= c;
        }
        release_nodes(stream, taken);
        return static_cast<int>(n);
    } catch (...) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fetch_fn, "[%s] lock failed\n");
        return -1;
    }
}

} // namespace pylox::stream_detail

extern "C" {

PYLOX_API tq_stream_t *tq_stream_create(const tq_stream_cfg_t *cfg)
{
    if (!cfg) {
        LOG_ERR("[%s] no configuration\n");
        return nullptr;
    }
    try {
        tq_stream_t *s = new (std::nothrow) tq_stream_t();
        if (!s) {
            LOG_ERR("[%s] malloc failed\n");
            return nullptr;
        }
        s->max_frames = cfg->max_frames;
        s->ready = nullptr;
        s->build = nullptr;
        s->spare = nullptr;
        s->n_spare = 0;
        s->loan = nullptr;
        s->loan_len = 0;
        s->lent_node = nullptr;
        s->loan_offered = 0;
        s->discard_mode = false;
        clear_position(s);
        s->next_fridx = -1;
        s->bytes_lost = false;
        s->st = {};
        stamp_time(s);
        return s;
    } catch (...) {
        LOG_ERR("[%s] cannot create the stream lock\n");
        return nullptr;
    }
}

PYLOX_API void tq_stream_destroy(tq_stream_t *stream)
{
    if (!stream)
        return;
    list_free(stream->build);
    list_free(stream->ready);
    list_free(stream->spare);
    delete stream;
}

PYLOX_API void tq_stream_set_cfg(tq_stream_t *stream, const tq_stream_cfg_t *cfg)
{
    if (!stream || !cfg) {
        LOG_ERR("[%s] invalid argument\n");
        return;
    }
    st_set(stream->max_frames, cfg->max_frames);
}

PYLOX_API tq_stream_cfg_t *tq_stream_get_cfg(tq_stream_t *stream, tq_stream_cfg_t *cfg)
{
    if (!stream || !cfg) {
        LOG_ERR("[%s] invalid argument\n");
        return cfg;
    }
    cfg->max_frames = ld(stream->max_frames);
    return cfg;
}

PYLOX_API void tq_stream_reset(tq_stream_t *stream)
{
    if (!stream) {
        LOG_ERR("[%s] invalid argument\n");
        return;
    }
    try {
        free_build_and_ready(stream);
        clear_position(stream);
        stream->next_fridx = -1;
        stream->bytes_lost = false;
        for (uint32_t *w :
             {&stream->st.frames_completed, &stream->st.frames_out, &stream->st.frames_discarded,
              &stream->st.frames_dropped, &stream->st.reserved0, &stream->st.bytes_discarded,
              &stream->st.reserved1})
            st_set(*w, 0);
        stamp_time(stream);
    } catch (...) {
        LOG_ERR("[%s] lock failed\n");
    }
}

PYLOX_API int tq_stream_feed_input(tq_stream_t *stream, const uint8_t *bytes, int count)
{
    if (!stream) {
        LOG_ERR("[%s] invalid argument\n");
        return 0;
    }
    if (count < 0 || (count > 0 && !bytes)) {
        LOG_ERR("[%s] invalid input: %d bytes at %p\n", count, static_cast<const void *>(bytes));
        return ld(stream->st.frames_ready) != 0;
    }
    LOG_TRC("[%s] %d raw bytes\n", count);
    try {
        const size_t n = static_cast<size_t>(count);
        size_t i = 0;
        while (i < n) {
            if (stream->hdr_held < k_hdr) {
                i += _sync_stream_hdr(stream, bytes + i, n - i);
                if (stream->hdr_held == k_hdr)
                    start_packet(stream);
            } else {
                i += feed_payload(stream, bytes + i, n - i);
            }
        }
    } catch (...) {
        LOG_ERR("[%s] lock failed\n");
    }
    return ld(stream->st.frames_ready) != 0;
}

PYLOX_API int tq_stream_fetch_frames(tq_stream_t *stream, uint8_t *dst, int dst_len, int count,
                                     tq_stream_finfo_t *finfo, int peek)
{
    return pylox::stream_detail::fetch_frames(stream, dst, dst_len, count, finfo, peek, nullptr);
}

PYLOX_API tq_stream_state_t *tq_stream_get_state(tq_stream_t *stream, tq_stream_state_t *state)
{
    if (!stream || !state) {
        LOG_ERR("[%s] invalid argument\n");
        return state;
    }
    try {
        std::shared_lock lk(stream->lock);
        tq_stream_state_t &st = stream->st;
        state->frames_completed = ld(st.frames_completed);
        state->frames_out = ld(st.frames_out);
        state->frames_discarded = ld(st.frames_discarded);
        state->frames_dropped = ld(st.frames_dropped);
        state->frames_ready = ld(st.frames_ready);
        state->reserved0 = 0;
        state->bytes_discarded = ld(st.bytes_discarded);
        state->reserved1 = 0;
        state->time_sec = ld(st.time_sec);
        state->time_usec = ld(st.time_usec);
    } catch (...) {
        LOG_ERR("[%s] lock failed\n");
    }
    return state;
}

PYLOX_API uint16_t tq_stream_hash16(const uint8_t *bytes, int length, uint16_t seed)
{
    if (!bytes || length <= 0)
        return seed;
    return fletcher16(bytes, static_cast<size_t>(length), seed);
}

} // extern "C"
