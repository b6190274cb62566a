/* Frame stream parser: cuts the camera's packet stream into verified frames. */
#ifndef PYLOX_TQ_STREAM_H
#define PYLOX_TQ_STREAM_H

#include <stddef.h>
#include <stdint.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

#define TQ_STREAM_HDR_SIZE 36
#define TQ_STREAM_SYNC 0x98FBu             /* bytes 0xFB, 0x98 on the wire */
#define TQ_STREAM_MAX_PKT_LEN 0x100000u    /* payload bytes of one packet, exclusive */
#define TQ_STREAM_MAX_FRAME_LEN 0x8000000u /* bytes of one frame, exclusive */
#define TQ_STREAM_MAX_FRFMT 0x400u         /* frame format code, exclusive */
#define TQ_STREAM_FLAG_FRAME_START 0x01u
#define TQ_STREAM_FLAG_DATA_CHECKSUM 0x01u

#pragma pack(push, 1)

/* The 12 attribute bytes a packet carries for its frame. */
typedef struct tq_stream_fattr {
    uint16_t width;
    uint16_t height;
    uint16_t temp0; /* tenths of a degree */
    uint16_t temp1;
    uint32_t word;
} tq_stream_fattr_t;

/* The 36-byte stream header as it is on the wire (little-endian). */
typedef struct tq_stream_hdr {
    uint16_t sync;
    uint16_t sidx;
    uint32_t len;
    uint32_t frlen;
    uint16_t fridx;
    uint16_t frfmt;
    tq_stream_fattr_t attr;
    uint32_t data_sum;
    uint8_t frame_flags;
    uint8_t sum_flags;
    uint16_t hdr_sum;
} tq_stream_hdr_t;

/* Information handed out with every frame. */
typedef struct tq_stream_finfo {
    uint32_t frame_size;
    uint16_t frame_idx;
    uint16_t frame_format;
    tq_stream_fattr_t attr;
} tq_stream_finfo_t;

#pragma pack(pop)

PYLOX_STATIC_ASSERT(sizeof(tq_stream_hdr_t) == TQ_STREAM_HDR_SIZE, stream_hdr_size);
PYLOX_STATIC_ASSERT(sizeof(tq_stream_finfo_t) == 20, stream_finfo_size);

/* Parser statistics: ten 32-bit words. */
typedef struct tq_stream_state {
    uint32_t frames_completed; /* frames whose last byte arrived and whose data checked out */
    uint32_t frames_out;       /* frames moved to the ready list */
    uint32_t frames_discarded; /* frames lost on the way: incomplete ones thrown away and
                                  ones skipped in the frame index sequence */
    uint32_t frames_dropped;   /* ready frames dropped because the list was full */
    uint32_t frames_ready;     /* frames in the ready list now */
    uint32_t reserved0;
    uint32_t bytes_discarded; /* stream bytes skipped or thrown away */
    uint32_t reserved1;
    uint32_t time_sec; /* time of the last creation or reset */
    uint32_t time_usec;
} tq_stream_state_t;

PYLOX_STATIC_ASSERT(sizeof(tq_stream_state_t) == 40, stream_state_size);

typedef struct tq_stream_cfg {
    uint32_t max_frames; /* capacity of the ready list */
} tq_stream_cfg_t;

typedef struct tq_stream tq_stream_t;

PYLOX_API tq_stream_t *tq_stream_create(const tq_stream_cfg_t *cfg);
PYLOX_API void tq_stream_destroy(tq_stream_t *stream);
PYLOX_API void tq_stream_set_cfg(tq_stream_t *stream, const tq_stream_cfg_t *cfg);
PYLOX_API tq_stream_cfg_t *tq_stream_get_cfg(tq_stream_t *stream, tq_stream_cfg_t *cfg);
PYLOX_API void tq_stream_reset(tq_stream_t *stream);
/* Consumes all bytes; returns 1 when at least one frame is ready. */
PYLOX_API int tq_stream_feed_input(tq_stream_t *stream, const uint8_t *bytes, int count);
/* Copies (peek != 0) or takes up to count ready frames; returns the number of frames. */
PYLOX_API int tq_stream_fetch_frames(tq_stream_t *stream, uint8_t *dst, int dst_len, int count,
                                     tq_stream_finfo_t *finfo, int peek);
PYLOX_API tq_stream_state_t *tq_stream_get_state(tq_stream_t *stream, tq_stream_state_t *state);
/* Fletcher-16 over bytes, starting from seed (low byte sum1, high byte sum2). */
PYLOX_API uint16_t tq_stream_hash16(const uint8_t *bytes, int length, uint16_t seed);

PYLOX_END_DECLS

#endif
