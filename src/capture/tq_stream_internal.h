// Internal layout of the frame stream parser, shared with its tests.
#pragma once

#include <pylox/tq_stream.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

// One frame: links, frame information, fill state, then `capacity` data bytes
// in a buffer of `room` bytes (a node is reused for frames that fit).
struct tq_stream_node {
    tq_stream_node *next;
    tq_stream_node *prev; // the head's back link points at the tail
    tq_stream_finfo_t finfo;
    uint32_t filled;
    uint32_t capacity;
    uint32_t room;
    uint64_t done_us; // monotonic time at which the frame's last byte arrived

    uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
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

// tq_stream_fetch_frames that also gives the first frame's arrival time
// (monotonic microseconds of its last byte; 0 when no frame was fetched).
int fetch_frames(tq_stream_t *stream, uint8_t *dst, int dst_len, int count,
                 tq_stream_finfo_t *finfo, int peek, uint64_t *done_us);

} // namespace pylox::stream_detail
