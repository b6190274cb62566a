/* Frame products: a raw frame turned into a distance image in metres, a gray
 * (amplitude) image, point clouds, and false colours of any float image. */
#ifndef PYLOX_FRAME_H
#define PYLOX_FRAME_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

/* Lens of a point cloud: optical centre and focal lengths in pixels of the
 * distance image, and a factor applied to every distance before projecting. */
typedef struct pylox_lens_param {
    float cx, cy;
    float fx, fy;
    float dist_scale;
} pylox_lens_param_t;

PYLOX_STATIC_ASSERT(sizeof(pylox_lens_param_t) == 20, lens_param_size);

/* Output formats of pylox_cmap_float. */
enum {
    PYLOX_CMAP_RGB = 0,   /* 3 bytes: red, green, blue */
    PYLOX_CMAP_RGB32 = 1, /* 4 bytes: the packed colour word, little-endian */
    PYLOX_CMAP_BGR = 2    /* 3 bytes: blue, green, red */
};

/* Distances in metres (pylox_frame_get_distance) or gray values
 * (pylox_frame_get_gray) of one raw frame of src_len bytes described by finfo.
 * dst holds dst_len floats, at least width x height of the frame; its upper
 * half serves as scratch. Returns the pixels written, 0 on failure (a failed
 * decoding still leaves a converted, meaningless image in dst). */
PYLOX_API int pylox_frame_get_distance(pylox_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, int src_len,
                                       const pylox_frame_info_t *finfo);
PYLOX_API int pylox_frame_get_gray(pylox_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   int src_len, const pylox_frame_info_t *finfo);

/* Point cloud of a distance image of img_w x img_h metres: x, y, z per valid
 * pixel (0 < d < 60), packed without gaps, into pcl of pcl_len floats. lens
 * null takes the driver's intrinsics for that image size (dist_scale 1).
 * dist_len is not used. Returns the number of points. */
PYLOX_API int pylox_frame_get_pcl(pylox_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int img_w, int img_h,
                                  const pylox_lens_param_t *lens);
/* As pylox_frame_get_pcl with four floats per point: the scaled distance, or
 * with pseudo_color the colour of the global colour map for it (the 32-bit
 * packed colour as a float number). */
PYLOX_API int pylox_frame_get_pcl_xyzd(pylox_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int img_w, int img_h, int pseudo_color,
                                       const pylox_lens_param_t *lens);

/* Colours src_len float values (metres) with the global colour map over
 * range_min .. range_max into dst of dst_len bytes in format outfmt
 * (PYLOX_CMAP_*). Returns the pixels coloured, 0 for an unknown format. */
PYLOX_API int pylox_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max);

PYLOX_END_DECLS

#endif
