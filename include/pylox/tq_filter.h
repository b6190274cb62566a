/* Image filters over single-channel images: medians, box, flying-pixel and
 * hole fillers on 16-bit images, the 3x3 and recursive Gaussians and the
 * recursive bilateral filter.
 *
 * Images are row-major, w pixels per row, h rows, no row padding; the output
 * comes first. A neighbour outside the image reads the nearest edge pixel.
 * Functions that find a wrong parameter log it at error level and leave the
 * output untouched. */
#ifndef PYLOX_TQ_FILTER_H
#define PYLOX_TQ_FILTER_H

#include <stdint.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* --- 16-bit neighbourhood filters (w and h must be at least 2) ---------------
 * Medians, box and flying-pixel filter need separate dst and src buffers; the
 * hole fillers accept dst == src. A hole is a pixel whose value read as a
 * signed 16-bit number is <= 0 (0 or 0x8000..0xFFFF). */

/* Exact median of the 3x3 / 5x5 window. */
PYLOX_API void tq_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
PYLOX_API void tq_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
/* Exact median of the ksize x ksize window (ksize odd, 3 <= ksize < 2*min(w, h)). */
PYLOX_API void tq_median2d_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t ksize);
/* Mean of the eight neighbours (centre excluded), truncated. */
PYLOX_API void tq_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
/* Centre, or 0 where the Sobel gradient of the quartered neighbours has
 * gx*gx + gy*gy > thr >> 4. */
PYLOX_API void tq_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                uint32_t thr);
/* Centre, or the largest (signed) neighbour of the 3x3 / 5x5 window where the
 * centre is a hole. With inplace non-zero src is copied to dst first and the
 * filter reads dst, so holes filled earlier in raster order feed later ones. */
PYLOX_API void tq_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t inplace);
PYLOX_API void tq_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t inplace);
/* Centre, or the value of the nearest filled neighbour found by a one-pass
 * chamfer distance transform in raster order. */
PYLOX_API void tq_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);

/* --- Gaussians ---------------------------------------------------------------*/

/* 3x3 binomial kernel (1 2 1 / 2 4 2 / 1 2 1) / 16, truncated. */
PYLOX_API void tq_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
/* Separable third-order recursive Gaussian (Young and van Vliet), rows then
 * columns; sigma below 0.5 filters as sigma 0.5. dst may equal src. */
PYLOX_API void tq_gauss2d_iir_f32(float *dst, const float *src, int32_t w, int32_t h, float sigma);
/* The same on a 16-bit image; results are truncated toward zero. */
PYLOX_API void tq_gauss2d_iir_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                  float sigma);
/* Size-checked forms: nothing happens unless the sizes agree. */
PYLOX_API void gauss2d_iir_f32(float *dst, int32_t dst_h, int32_t dst_w, const float *src,
                               int32_t src_h, int32_t src_w, float sigma);
PYLOX_API void gauss2d_iir_u16(uint16_t *dst, int32_t dst_h, int32_t dst_w, const uint16_t *src,
                               int32_t src_h, int32_t src_w, float sigma);

/* --- Recursive bilateral filter ("band-pass IIR filter") -----------------------
 * The state is allocated by the caller (it may be embedded in another record);
 * tq_bpf2d_iir_init fills it and allocates every buffer, so filtering a frame
 * allocates nothing. One state serves one caller at a time. */

/* Line buffers hold this many interleaved lines of max(w, h) values. */
#define TQ_BPF2D_LINE_LANES 16

typedef struct tq_bpf2d_iir {
    uint32_t width;
    uint32_t height;
    float sigma_spatial; /* fraction of the image size */
    float sigma_range;   /* fraction of the value range */
    float range_min;
    float range_max;
    float *range_lut; /* range_count weights, exp(-k / (range_count * sigma_range)) */
    uint32_t range_count;
    float alpha_h;   /* feedback coefficient along rows */
    float alpha_v;   /* feedback coefficient along columns */
    uint16_t *dst;   /* output of the current call */
    float *sum_img;  /* w*h: horizontally filtered values */
    float *norm_img; /* w*h: horizontal normalisation weights */
    /* TQ_BPF2D_LINE_LANES * max(w, h) floats each: forward and backward
     * values and weights, per-step weights */
    float *line_fwd;
    float *line_fwd_norm;
    float *line_bwd;
    float *line_bwd_norm;
    float *line_weight;
    float *line_value;
} tq_bpf2d_iir_t;

/* Builds the state for w x h images (each at most 40960), spatial sigma as a
 * fraction of the image size (> 0), range sigma as a fraction of the value
 * range (> 0) and the value range range_min..range_max (low 16 bits used,
 * range_min <= range_max). Returns 1, or 0 with the state zeroed. */
PYLOX_API int32_t tq_bpf2d_iir_init(tq_bpf2d_iir_t *state, uint32_t w, uint32_t h,
                                    float sigma_spatial, float sigma_range, uint32_t range_min,
                                    uint32_t range_max);
/* Frees the buffers and zeroes the state; a null state is ignored. */
PYLOX_API void tq_bpf2d_iir_uninit(tq_bpf2d_iir_t *state);
/* Filters src into dst (separate buffers; w and h must be the state's). */
PYLOX_API void tq_bpf2d_iir(tq_bpf2d_iir_t *state, uint16_t *dst, const uint16_t *src, uint32_t w,
                            uint32_t h);

/* The passes of tq_bpf2d_iir, each over the state's image size: the
 * horizontal pass fills sum_img and norm_img from src; the vertical pass
 * writes state->dst from them, columns 0 .. 4*(w/4)-1 through the vector
 * form and the rest one by one (from column x0 on in _bpf2d_vertical_norm). */
PYLOX_API void _bpf2d_horizontal(tq_bpf2d_iir_t *state, const uint16_t *src);
PYLOX_API void _bpf2d_vertical(tq_bpf2d_iir_t *state, const uint16_t *src);
PYLOX_API void _bpf2d_vertical_simd(tq_bpf2d_iir_t *state, const uint16_t *src);
PYLOX_API void _bpf2d_vertical_norm(tq_bpf2d_iir_t *state, const uint16_t *src, uint32_t x0);

PYLOX_END_DECLS

#endif
