/* Lens undistortion by a precomputed lookup map.
 *
 * The map is built once from a pinhole camera with radial (k1, k2, k3) and
 * tangential (p1, p2) distortion: for each pixel of the corrected image it
 * holds the index y * width + x of the nearest source pixel, or -1 where the
 * corrected pixel has no source. The corrected camera keeps the whole source
 * image in view; valid_* is the rectangle of the corrected image in which
 * every pixel has a source. Applying the map is a plain gather. */
#ifndef PYLOX_TQ_CALIB_LEN_H
#define PYLOX_TQ_CALIB_LEN_H

#include <stdint.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

typedef struct tq_calib_len_param {
    double cx, cy;         /* principal point, pixels */
    double fx, fy;         /* focal lengths, pixels */
    double k1, k2;         /* radial coefficients of r^2 and r^4 */
    double p1, p2;         /* tangential coefficients */
    double k3;             /* radial coefficient of r^6 */
    int32_t width, height; /* image size the intrinsics belong to */
} tq_calib_len_param_t;

typedef struct tq_calib_len_map {
    int32_t *map;  /* width * height source indices or -1; owned */
    int32_t count; /* width * height */
    int32_t width, height;
    int32_t valid_x, valid_y, valid_w, valid_h;
    uint8_t valid; /* 1 while map is allocated */
} tq_calib_len_map_t;

PYLOX_STATIC_ASSERT(sizeof(tq_calib_len_param_t) == 80, calib_len_param_size);

/* Builds the map of a record without one (zeroed or released) and returns
 * width * height. Returns 0 and leaves the record empty (valid 0, no map) for
 * a zero or negative size, for intrinsics that do not describe a camera (a
 * focal length of 0, values that are not finite) and when memory runs out. */
PYLOX_API int32_t tq_calib_len_init_map(tq_calib_len_map_t *map, const tq_calib_len_param_t *param);
/* Releases a present map, then builds as tq_calib_len_init_map. */
PYLOX_API int32_t tq_calib_len_update_map(tq_calib_len_map_t *map,
                                          const tq_calib_len_param_t *param);
/* Frees the map if valid and clears valid and the pointer. */
PYLOX_API void tq_calib_len_uninit_map(tq_calib_len_map_t *map);

/* dst[i] = src[map[i]], or invalid where map[i] is -1, for the first
 * min(dst_count, width * height) pixels; returns 1 (also when that count is
 * 0 or less, writing nothing). src must be exactly the map's size, an empty
 * map having size 0 x 0; dst and src must not overlap. Otherwise an error is
 * logged, dst is untouched and the result is 0. */
PYLOX_API int tq_calib_len_undistort_u16(const tq_calib_len_map_t *map, uint16_t *dst,
                                         int32_t dst_count, const uint16_t *src, int32_t src_w,
                                         int32_t src_h, uint16_t invalid);
PYLOX_API int tq_calib_len_undistort_f32(const tq_calib_len_map_t *map, float *dst,
                                         int32_t dst_count, const float *src, int32_t src_w,
                                         int32_t src_h, float invalid);

PYLOX_END_DECLS

#endif
