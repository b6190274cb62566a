/* Frame files: raw ("TQ_RAW"), distance ("TQ_DIST") and gray ("TQ_GRAY")
 * frames stored behind one text header line as little-endian samples.
 *
 * All six calls work on a file descriptor the caller opened (and closes).
 * Savers append one call's data and write the header line only when the
 * descriptor is at position 0. Loaders parse the header when the descriptor is
 * at position 0 and otherwise read the next frame using the dimensions of the
 * header their kind parsed last (one file per kind at a time). */
#ifndef PYLOX_FRAME_FILE_H
#define PYLOX_FRAME_FILE_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

/* Sample formats of the save calls. */
typedef enum pylox_frame_save_fmt {
    PYLOX_FRAME_SAVE_F32 = 0, /* 32-bit float: distance */
    PYLOX_FRAME_SAVE_U32 = 1, /* 32-bit unsigned: raw, distance */
    PYLOX_FRAME_SAVE_U16 = 2, /* 16-bit unsigned: raw, distance, gray */
    PYLOX_FRAME_SAVE_U8 = 3   /* 8-bit unsigned: gray */
} pylox_frame_save_fmt_e;

/* Largest frame a loader accepts from a file header, in bytes of samples. */
#define PYLOX_FRAME_FILE_MAX_BYTES (64u * 1024u * 1024u)
/* Longest raw tag read back from a header (the product string). */
#define PYLOX_FRAME_TAG_MAX 32

/* Raw frames: len 16-bit samples, a multiple of w x h x n (n samples per
 * pixel); format 1 (U32) or 2 (U16); tag is one word without blanks. 1 or 0. */
PYLOX_API int pylox_frame_save_raw(int fd, int format, const uint16_t *data, int len, int w, int h,
                                   int n, const char *tag);
/* Distance in metres; writes the whole frames among len values; format 0, 1 or 2. */
PYLOX_API int pylox_frame_save_distance(int fd, int format, const float *data, int len, int w,
                                        int h);
/* Gray values; writes at most one frame; format 2 (U16) or 3 (U8). */
PYLOX_API int pylox_frame_save_gray(int fd, int format, const float *data, int len, int w, int h);

/* Loaders return the number of samples written to dst (at most dst_len; the
 * whole frame is consumed from the file either way), 0 at the end of the file
 * or on failure. The out pointers and the tag buffer may be null; the tag is
 * always terminated within tag_size bytes. */
PYLOX_API int pylox_frame_load_raw(int fd, uint16_t *dst, int dst_len, int *w, int *h, int *n,
                                   char *tag, int tag_size);
PYLOX_API int pylox_frame_load_distance(int fd, float *dst, int dst_len, int *w, int *h);
PYLOX_API int pylox_frame_load_gray(int fd, float *dst, int dst_len, int *w, int *h);

/* Frame temperatures of a raw recording. A raw frame file holds samples only,
 * while the distance depends on the CB and IB temperatures each frame came
 * with; they go into the companion file "<recording>.temps" next to it, a text
 * file of a line "TQ_TEMPS,CB,IB" and one line "frame,cb,ib" per frame
 * (frame counted from 0, temperatures in tenths of a degree), which the replay
 * device reads. Call it after pylox_frame_save_raw with the information of
 * the `count` frames that call wrote (raw_fd is the same descriptor, left
 * just after them); the companion file starts anew with the recording's
 * first frame. 1 on success, 0 on failure (logged). */
PYLOX_API int pylox_frame_save_temps(int raw_fd, const pylox_frame_info_t *info, int count);

PYLOX_END_DECLS

#endif
