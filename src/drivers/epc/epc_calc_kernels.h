// Per-pixel arithmetic of the depth calculation and the whole-image kernels
// built on it. The inline functions below are the definition; the vector
// kernels (epc_calc_simd.cpp) give the same result for every input.
#pragma once

#include <pylox/pylox_drv.h>
#include <pylox/tq_math.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace pylox::epc {

constexpr uint16_t k_saturated = 65500;

// Amplitude: the integer part of an approximate square root of
// (I^2 + Q^2) / 4: a bit-trick first guess, two Newton steps in single precision.
inline int32_t amplitude(int32_t i, int32_t q)
{
    const uint32_t m = static_cast<uint32_t>(i * i + q * q) >> 2;
    const float mf = static_cast<float>(m);
    uint32_t bits;
    std::memcpy(&bits, &mf, 4);
    bits = (bits >> 1) + 0x1FBFFB72u;
    float y0;
    std::memcpy(&y0, &bits, 4);
    const float hm = 0.5f * mf;
    const float y1 = 0.5f * y0 + hm / y0;
    const float y2 = hm / y1 + 0.5f * y1;
    return static_cast<int32_t>(y2);
}

// Phase of (I, Q) in units of 32768 per turn, the angle of atan2(-Q, -I):
// the vector is folded into the first octant and the arctangent read from the
// table with one integer division.
inline int32_t phase(int32_t i, int32_t q)
{
    if (q == 0)
        return i >= 0 ? 16384 : 0;
    const bool s = q >= 0;
    const int32_t a = s ? q : -q;
    const int32_t b = s ? i : -i;
    int32_t x, y, k;
    if (b > 0) {
        x = a;
        y = b;
        k = s ? 0 : 16384;
    } else {
        x = -b;
        y = a;
        k = s ? 8192 : 24576;
    }
    int32_t t;
    if (x < y) {
        t = x * 4096 / y;
    } else {
        t = (x - y) * 4096 / (x + y);
        k += 4096;
    }
    return (k + g_atan2_LUT[t] + 16384) & 0x7FFF;
}

// A pixel is valid for the fixed-scale models when no sample sits at either
// end of the 12-bit scale.
inline bool unsaturated(uint32_t d0, uint32_t d1, uint32_t d2, uint32_t d3)
{
    return d0 != 4095 && d1 != 4095 && d2 != 4095 && d3 != 4095 && d0 != 0 && d1 != 0 && d2 != 0 &&
           d3 != 0;
}

// Brings a distance once into the unambiguous range r (arithmetic modulo 2^32,
// only the low 16 bits are kept).
inline int32_t wrap(int32_t v, uint32_t r)
{
    if (v < 0)
        return static_cast<int32_t>(static_cast<uint32_t>(v) + r);
    if (static_cast<uint32_t>(v) > r)
        return static_cast<int32_t>(static_cast<uint32_t>(v) - r);
    return v;
}

// Products of the distance formulas wrap modulo 2^32 (no undefined overflow).
inline int32_t mul_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t add_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Single precision to int32 with truncation; NaN gives 0 and values beyond
// the int32 range the nearest end of it.
inline int32_t trunc_sat(float f)
{
    if (!(f == f))
        return 0;
    if (f >= 2147483648.0f)
        return INT32_MAX;
    if (f <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int32_t>(f);
}

// The same for double precision.
inline int32_t trunc_sat_f64(double d)
{
    if (!(d == d))
        return 0;
    if (d >= 2147483647.0)
        return INT32_MAX;
    if (d <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(d);
}

// Fixed scale and offset (models none and simple).
struct fixed_args {
    int32_t scale_um;  // um per mm of phase distance
    int32_t offset_mm; // already holds the user offset and temperature correction
    uint32_t range_mm;
};

inline void fixed_pixel(const fixed_args &p, uint32_t d0, uint32_t d1, uint32_t d2, uint32_t d3,
                        uint16_t &dist, uint16_t &amp)
{
    if (!unsaturated(d0, d1, d2, d3)) {
        dist = k_saturated;
        amp = k_saturated;
        return;
    }
    const int32_t i = static_cast<int32_t>(d2) - static_cast<int32_t>(d0);
    const int32_t q = static_cast<int32_t>(d3) - static_cast<int32_t>(d1);
    amp = static_cast<uint16_t>(amplitude(i, q));
    const uint32_t pd = static_cast<uint32_t>(phase(i, q)) * p.range_mm / 32768u;
    const int32_t v = add_wrap(p.offset_mm, mul_wrap(p.scale_um, static_cast<int32_t>(pd)) / 1000);
    dist = static_cast<uint16_t>(wrap(v, p.range_mm));
}

// DRNU look-up model: interpolation between the reference images bracketing
// the pixel's temperature-corrected phase.
struct lut_args {
    float drift;      // temperature drift in phase units
    float scale;      // (images - 1) / (mean_last - mean_first)
    float step_phase; // phase distance between neighbouring images
    int32_t mean_first;
    int32_t last_k;  // images - 2
    float box_phase; // the calibration box length in phase units, not truncated
    uint32_t range_mm;
    int32_t offset_mm;
    const uint16_t *ref; // phase of pixel 0 in image 0
    int32_t ref_stride;  // 16-bit words from one image to the next
};

// Index of the lower bracketing image: trunc((X - mean_first) * scale)
// limited to 0 .. last_k (an undefined quotient counts as 0).
inline int32_t lut_index(const lut_args &p, int32_t x)
{
    float y = static_cast<float>(x - p.mean_first) * p.scale;
    if (!(y >= 0.0f))
        y = 0.0f;
    const float top = static_cast<float>(p.last_k);
    if (y > top)
        y = top;
    return static_cast<int32_t>(y);
}

// Millimetres of an interpolated phase: range * phase / 32768, rounded half
// up (the vector form does the same single-precision steps).
inline int32_t lut_mm(const lut_args &p, float pp)
{
    return trunc_sat(std::floor(static_cast<float>(p.range_mm) * pp / 32768.0f + 0.5f));
}

inline void lut_pixel(const lut_args &p, int64_t pix, uint32_t d0, uint32_t d1, uint32_t d2,
                      uint32_t d3, uint16_t &dist, uint16_t &amp)
{
    // Clipped samples bend the phase: no distance, as in the fixed-scale models
    // (otherwise the HDR merge would prefer the saturated row's larger amplitude).
    if (!unsaturated(d0, d1, d2, d3)) {
        dist = k_saturated;
        amp = k_saturated;
        return;
    }
    const int32_t i = static_cast<int32_t>(d2) - static_cast<int32_t>(d0);
    const int32_t q = static_cast<int32_t>(d3) - static_cast<int32_t>(d1);
    amp = static_cast<uint16_t>(amplitude(i, q));
    const int32_t x = static_cast<int32_t>(static_cast<float>(phase(i, q)) - p.drift);
    const int32_t k = lut_index(p, x);
    const uint16_t *r = p.ref + static_cast<int64_t>(k) * p.ref_stride + pix;
    const int32_t r0 = r[0];
    const int32_t r1 = r[p.ref_stride];
    const float base = static_cast<float>(k) * p.step_phase + p.box_phase;
    float pp;
    if (r1 != r0) // equal neighbours: the distance of the lower image
        pp = static_cast<float>(x - r0) * p.step_phase / static_cast<float>(r1 - r0) + base;
    else
        pp = base;
    // The interpolated phase in millimetres, rounded to the nearest one:
    // truncating the phase, the box phase and the millimetres would pull
    // every calibrated distance about 1 mm short at 12 MHz.
    const int32_t mm = lut_mm(p, pp);
    const int32_t v = add_wrap(p.offset_mm, mm);
    dist = static_cast<uint16_t>(wrap(v, p.range_mm));
}

// Whole-image kernels over n pixels of the four planes d[0..3]. The plain
// forms run the inline functions pixel by pixel; the others use the best
// vector unit of the machine.
void gray_plain(uint16_t *amp, const uint16_t *const d[4], int64_t n);
void fixed_plain(const fixed_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
                 int64_t n);
void lut_plain(const lut_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
               int64_t n);

void gray_vec(uint16_t *amp, const uint16_t *const d[4], int64_t n);
void fixed_vec(const fixed_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
               int64_t n);
void lut_vec(const lut_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
             int64_t n);
// The earlier vector form of lut_vec (reference images gathered wherever a
// vector spans two pairs), the same result; the benchmarks' baseline.
void lut_vec_gathered(const lut_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
                      int64_t n);

// calc_dist_calib_simple and calc_dist_calib_drnu_lut (4 phases) with both
// images written in display row order, where calc_dcs_sort would put their
// rows: the same refusals, logs and results, without the sort's pass.
int dist_simple_display(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                        int32_t w, int32_t h);
int dist_drnu_lut_display(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                          int32_t w, int32_t h);

// For tests and benchmarks: the vector targets compiled into the library
// (Highway target bits) and the one the vector kernels use now.
int64_t vec_compiled_targets();
const char *vec_target_name();

} // namespace pylox::epc
