// Internal steps of the image filters: the plain one-value-at-a-time forms
// (the reference every vector form must match bit for bit) and the vector
// forms, compiled once per instruction set and chosen at run time.
#pragma once

#include <pylox/tq_filter.h>

#include <cstdint>

namespace pylox::filt {

// Nearest valid index for a neighbour position (the clamped border).
inline int32_t clamp_index(int32_t i, int32_t n)
{
    return i < 0 ? 0 : (i >= n ? n - 1 : i);
}

// The checks of the 16-bit neighbourhood filters: w and h at least 2 (else
// "[%s]  wrong parameter:w/h=%d/%d\n" under fn) and both buffers present.
bool image_args_ok(const void *dst, const void *src, int32_t w, int32_t h, const char *fn);

// --- medians (w, h >= 1; no parameter checks) ---
void median3_plain(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void median5_plain(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void median3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void median5_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);

// --- 3x3 box, binomial Gaussian and flying-pixel test (w, h >= 1) ---
void gauss3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void box3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void flypix_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, uint32_t thr);

// --- 3x3 and 5x5 hole fill from a separate input (w, h >= 1; dst != src) ---
void fhole3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
void fhole5_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);

// --- recursive Gaussian ---
struct iir_coef {
    float b, a1, a2, a3;
};
iir_coef gauss_iir_coef(float sigma);
// Causal then anti-causal recursion along every row of src from row y0 on,
// into dst (dst may be src).
void gauss_iir_rows(float *dst, const float *src, int32_t w, int32_t h, const iir_coef &c,
                    int32_t y0 = 0);
// The same over blocks of four or more rows, with kGaussBlockRows * w floats
// of scratch in block; returns the first row left for the plain form.
constexpr int32_t kGaussBlockRows = 16;
int32_t gauss_iir_rows_vec(float *dst, const float *src, int32_t w, int32_t h, const iir_coef &c,
                           float *block);
// The same along every column, in place.
void gauss_iir_cols_plain(float *img, int32_t w, int32_t h, const iir_coef &c);
void gauss_iir_cols_vec(float *img, int32_t w, int32_t h, const iir_coef &c);

// --- recursive bilateral filter ---
// Horizontal pass one row at a time from row y0 on (the reference for the
// vector form).
void bpf_horizontal_plain(tq_bpf2d_iir_t *s, const uint16_t *src, int32_t y0 = 0);
// Horizontal pass over the rows in blocks of four or more; returns the first
// row left for the plain form.
int32_t bpf_horizontal_vec(tq_bpf2d_iir_t *s, const uint16_t *src);
// Vertical pass over the columns 0 .. x_end-1 (x_end a multiple of 4).
void bpf_vertical_vec(tq_bpf2d_iir_t *s, const uint16_t *src, uint32_t x_end);

// Name of the instruction set the vector forms run on now.
const char *vec_target_name();

} // namespace pylox::filt
