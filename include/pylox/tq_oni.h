/* OpenNI recording writer: records depth, image and IR streams into an
 * OpenNI recording file (.oni, "NI10") that OpenNI players can replay.
 *
 * Use: oni_open a caller-allocated recorder, oni_stream_open up to four
 * streams, oni_stream_save_frame their frames, then oni_close (which closes
 * the streams still open). A recorder and its streams are used by one thread
 * at a time. All values in the file are little-endian.
 *
 * Slot k of the recorder holds node id k + 1. A fifth stream opened while
 * four are open takes slot 3 over; the stream it replaced stays valid and is
 * closed by its owner with oni_stream_close before oni_close. */
#ifndef TQ_ONI_H
#define TQ_ONI_H

#include <stdint.h>
#include <stdio.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* Size of the record buffer every recorder allocates. */
#define TQ_ONI_RECORD_BUF_SIZE 6912297u
/* Number of stream slots of a recorder. */
#define TQ_ONI_MAX_STREAMS 4

/* OpenNI node types. */
#define TQ_ONI_NODE_DEVICE 1u
#define TQ_ONI_NODE_DEPTH 2u
#define TQ_ONI_NODE_IMAGE 3u
#define TQ_ONI_NODE_IR 5u

/* OpenNI pixel formats (100-103 depth, 200 RGB 8-8-8, 201 YUV 4:2:2,
 * 202 gray 8-bit, 203 gray 16-bit, 204 JPEG). */
#define TQ_ONI_PIXEL_DEPTH_1MM 100u
#define TQ_ONI_PIXEL_DEPTH_100UM 101u
#define TQ_ONI_PIXEL_SHIFT_9_2 102u
#define TQ_ONI_PIXEL_SHIFT_9_3 103u
#define TQ_ONI_PIXEL_RGB888 200u
#define TQ_ONI_PIXEL_YUV422 201u
#define TQ_ONI_PIXEL_GRAY8 202u
#define TQ_ONI_PIXEL_GRAY16 203u
#define TQ_ONI_PIXEL_JPEG 204u

typedef struct oni_stream oni_stream_t;

/* Recorder (caller-allocated, set up by oni_open, released by oni_close). */
typedef struct oni_recorder {
    uint8_t *buf;         /* record buffer, owned */
    uint32_t buf_size;    /* TQ_ONI_RECORD_BUF_SIZE, 0 when it could not be allocated */
    uint8_t *cur;         /* write position while a record is built */
    FILE *file;           /* the .oni file */
    uint16_t max_node_id; /* largest node id written so far */
    oni_stream_t *streams[TQ_ONI_MAX_STREAMS]; /* open streams; slot k is node id k + 1 */
    uint32_t config_id;                        /* configuration id of the seek-table entries (0) */
    uint8_t started;                           /* set by the first saved frame */
} oni_recorder_t;

/* What a stream records (input of oni_stream_open). */
typedef struct oni_stream_info {
    uint32_t node_type;    /* ONI_NODE_* */
    uint32_t pixel_format; /* ONI_PIXEL_*, or 0 */
    uint32_t max_depth;    /* largest depth value (depth formats) */
    uint32_t x_res;        /* width in pixels */
    uint32_t y_res;        /* height in pixels */
    uint32_t bytes_per_pixel;
    uint32_t fps; /* frames per second */
} oni_stream_info_t;

PYLOX_STATIC_ASSERT(sizeof(oni_stream_info_t) == 28, oni_stream_info_size);

/* Creates the file at path ("wb+") and writes its header. 1 on success, else
 * 0 (null arguments, no buffer, file not created); a recorder for which it
 * returned 0 is not used further. */
PYLOX_API int oni_open(oni_recorder_t *rec, const char *path);

/* Opens a stream in the first free slot (slot 3 when all are taken) and
 * writes its node record and properties. The new stream, or null. */
PYLOX_API oni_stream_t *oni_stream_open(oni_recorder_t *rec, const oni_stream_info_t *info);

/* Appends one frame of size bytes; timestamp in microseconds, 0 = now. A
 * frame larger than the record buffer is recorded without its data. */
PYLOX_API void oni_stream_save_frame(oni_stream_t *stream, const void *data, uint32_t size,
                                     uint64_t timestamp);

/* Reserved; does nothing. */
PYLOX_API void oni_stream_save_property(void);

/* Ends the stream's node: removal record, seek table, final node record.
 * Frees the stream; null is ignored. */
PYLOX_API void oni_stream_close(oni_stream_t *stream);

/* Closes the streams still in the slots, writes the end record and the final
 * header, closes the file and frees the buffer. */
PYLOX_API void oni_close(oni_recorder_t *rec);

/* Builds (without writing) a real-property record for node_id in the
 * recorder's buffer; the undo position is given as two 32-bit halves, low
 * first. 0 when built, 1 when the recorder has no buffer. */
PYLOX_API int emit_RECORD_REAL_PROPERTY(oni_recorder_t *rec, uint32_t node_id, uint32_t undo_lo,
                                        uint32_t undo_hi, const char *name, double value);

/* Node name of a node type: "Device", "Depth", "Image", "IR", else "Invalid". */
PYLOX_API const char *AsString(uint32_t node_type);

PYLOX_END_DECLS

#endif
