// Internal layout of the frame stream parser, shared with its tests.
#pragma once

#include <pylox/tq_stream.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

// One frame: links, frame information, fill state, then `capacity` data bytes
// in a buffer of `room` bytes (a node is reused for frames that fit). The
// frame's bytes are in that buffer, or in a buffer an application's call lent
// for this one frame (see lend_buffer).
struct tq_stream_node {
    tq_stream_node *next;
    tq_stream_node *prev; // the head's back link points at the tail
    tq_stream_finfo_t finfo;
    uint32_t filled;
    uint32_t capacity;
    uint32_t room;
    uint64_t done_us; // monotonic time at which the frame's last byte arrived
    uint8_t *buf;     // the frame's bytes: storage() or the lent buffer
    // buf is a lent buffer. Set by the feeder when the frame begins, cleared
    // under the stream's lend_lock; the feeder reads it without the lock
    // (atomic access).
    uint8_t lent;

    uint8_t *data() { return buf; }
    const uint8_t *data() const { return buf; }
    uint8_t *storage() { return reinterpret_cast<uint8_t *>(this + 1); }
    bool complete() const { return filled == capacity; }
};

// Running 32-bit little-endian word sum of a packet's payload. Bytes of a word
// that is split between two pieces wait in `part` until the word is whole, so
// the sum does not depend on where the transport cut the stream.
struct tq_stream_wsum {
    uint32_t sum;
    uint32_t part;
    uint32_t part_len; // 0-3 bytes waiting in `part`
};

struct tq_stream {
    uint32_t max_frames; // read by the feeder without the lock: atomic access

    // Complete frames, oldest first. Guarded by `lock` together with
    // st.frames_ready.
    tq_stream_node *ready;
    std::shared_mutex lock;

    // Header being collected (hdr_held < 36) or the packet being followed
    // (hdr_held == 36). A rejected header is never held.
    uint8_t hdr[TQ_STREAM_HDR_SIZE];
    int hdr_held;
    bool discard_mode; // drop packets until a frame-start packet

    uint32_t pkt_consumed; // payload bytes of the current packet taken so far
    tq_stream_wsum pkt_sum;
    uint16_t pkt_frames; // frames completed inside the current packet

    int32_t prev_sidx; // -1: none
    int32_t prev_fridx;
    uint16_t fridx_step;
    // Index the next frame to begin should carry (-1 until the first frame
    // after a reset): frames of which nothing arrived are counted from it.
    int32_t next_fridx;
    bool bytes_lost; // stream bytes thrown away since the last frame began

    // Frames in progress: at most one incomplete frame (the tail). While a
    // checksummed packet runs, the frames it completed wait here until its
    // checksum has been verified.
    tq_stream_node *build;

    // Nodes of frames that were taken, dropped or discarded, kept for the
    // next frames so that streaming does not allocate and free a frame buffer
    // per frame. At most max_frames + 2 of them (the ready list's capacity,
    // the frame being built and the frame being delivered). Guarded by spare_lock, which is never
    // held together with `lock`.
    tq_stream_node *spare;
    uint32_t n_spare;
    std::mutex spare_lock;

    // A buffer lent by the application's call that waits for the next frame:
    // the feeder assembles the next frame that begins and fits straight in it,
    // so that the frame needs no second copy. At most one node uses it.
    // Guarded by lend_lock, which the feeder also holds while it writes into a
    // lent buffer; taken before `lock` when both are held.
    std::mutex lend_lock;
    uint8_t *loan; // offered, not yet in use
    size_t loan_len;
    tq_stream_node *lent_node; // the node writing into the lent buffer
    uint8_t loan_offered;      // loan or lent_node set: read by the feeder without the lock

    // Statistics. Written by the feeder (frames_ready also by takers, under
    // the write lock) and read by other threads: atomic access only.
    tq_stream_state_t st;
};

namespace pylox::stream_detail {

// Allocator of frame nodes; tests replace it to exercise allocation failure.
using node_alloc_fn = void *(*)(size_t);
extern node_alloc_fn g_node_alloc;

// Node header size: a frame of frlen bytes takes frlen + node_overhead bytes.
constexpr size_t node_overhead = sizeof(tq_stream_node);

// Takes the oldest ready frame out of the ring without copying it: the
// caller reads its data in place and hands it back with release_frame (the
// node then serves a later frame). Null when no frame is ready.
tq_stream_node *take_frame(tq_stream_t *stream);
void release_frame(tq_stream_t *stream, tq_stream_node *node);

// Offers dst (len bytes) to the next frame that begins and fits in it: the
// feeder then writes that frame straight into dst, and the frame, once ready,
// is taken as any other (its data() is dst). Refused (false) while a frame
// still uses an earlier loan. The caller must call end_loan before dst goes
// out of its hands.
bool lend_buffer(tq_stream_t *stream, uint8_t *dst, size_t len);
// Ends the loan: a frame being written into the lent buffer, or waiting
// there in the ready list, moves into its own buffer. Once it returns the
// feeder no longer writes into the lent buffer.
void end_loan(tq_stream_t *stream);

// tq_stream_fetch_frames that also gives the first frame's arrival time
// (monotonic microseconds of its last byte; 0 when no frame was fetched).
int fetch_frames(tq_stream_t *stream, uint8_t *dst, int dst_len, int count,
                 tq_stream_finfo_t *finfo, int peek, uint64_t *done_us);

} // namespace pylox::stream_detail
