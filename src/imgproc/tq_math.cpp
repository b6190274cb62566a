// Numeric helpers of the depth computation: printing the arctangent table and
// the least-squares line over two u16 series.
#include <pylox/tq_math.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

#include "core/log.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define PYLOX_MATH_SSE2 1
#endif

namespace {

// Quiet NaN with the sign bit set, the marker of a fit that could not be made.
const float kNoFit = std::bit_cast<float>(0xFFC00000u);

struct line_sums {
    uint64_t sx = 0;
    uint64_t sy = 0;
    uint64_t sxx = 0;
    uint64_t sxy = 0;
};

void add_plain(const uint16_t *x, const uint16_t *y, int32_t from, int32_t to, line_sums &s)
{
    for (int32_t i = from; i < to; ++i) {
        const uint32_t xi = x[i];
        const uint32_t yi = y[i];
        s.sx += xi;
        s.sy += yi;
        s.sxx += xi * xi;
        s.sxy += xi * yi;
    }
}

#if defined(PYLOX_MATH_SSE2)

// Adds the four unsigned 32-bit lanes of v to the two 64-bit lanes of acc.
inline __m128i add_u32_to_u64(__m128i acc, __m128i v)
{
    const __m128i zero = _mm_setzero_si128();
    acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(v, zero));
    return _mm_add_epi64(acc, _mm_unpackhi_epi32(v, zero));
}

// Full 32-bit products of eight u16 pairs, added to acc.
inline __m128i add_products(__m128i acc, __m128i a, __m128i b)
{
    const __m128i lo = _mm_mullo_epi16(a, b);
    const __m128i hi = _mm_mulhi_epu16(a, b);
    acc = add_u32_to_u64(acc, _mm_unpacklo_epi16(lo, hi));
    return add_u32_to_u64(acc, _mm_unpackhi_epi16(lo, hi));
}

// Sums over [from, to) eight pairs at a time; returns where it stopped.
int32_t add_vector(const uint16_t *x, const uint16_t *y, int32_t from, int32_t to, line_sums &s)
{
    // The plain sums of x and y grow by at most 2 * 65535 per 32-bit lane and
    // step; they move into the 64-bit lanes before a lane could overflow.
    constexpr int32_t kStepsPerFlush = 16384;
    const __m128i zero = _mm_setzero_si128();
    __m128i sx64 = zero;
    __m128i sy64 = zero;
    __m128i sxx64 = zero;
    __m128i sxy64 = zero;
    int32_t i = from;
    while (i + 8 <= to) {
        __m128i sx32 = zero;
        __m128i sy32 = zero;
        for (int32_t step = 0; step < kStepsPerFlush && i + 8 <= to; ++step, i += 8) {
            const __m128i vx = _mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i));
            const __m128i vy = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y + i));
            sx32 = _mm_add_epi32(sx32, _mm_unpacklo_epi16(vx, zero));
            sx32 = _mm_add_epi32(sx32, _mm_unpackhi_epi16(vx, zero));
            sy32 = _mm_add_epi32(sy32, _mm_unpacklo_epi16(vy, zero));
            sy32 = _mm_add_epi32(sy32, _mm_unpackhi_epi16(vy, zero));
            sxx64 = add_products(sxx64, vx, vx);
            sxy64 = add_products(sxy64, vx, vy);
        }
        sx64 = add_u32_to_u64(sx64, sx32);
        sy64 = add_u32_to_u64(sy64, sy32);
    }
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), sx64);
    s.sx += lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), sy64);
    s.sy += lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), sxx64);
    s.sxx += lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), sxy64);
    s.sxy += lanes[0] + lanes[1];
    return i;
}

#endif

line_sums sum_pairs(const uint16_t *x, const uint16_t *y, int32_t n)
{
    line_sums s;
    int32_t i = 0;
#if defined(PYLOX_MATH_SSE2)
    const auto a = reinterpret_cast<std::uintptr_t>(x);
    if (a % 2 == 0) {
        i = static_cast<int32_t>(((16u - (a & 15u)) & 15u) / 2u);
        if (i > n) {
            i = n;
        }
    }
    add_plain(x, y, 0, i, s);
    i = add_vector(x, y, i, n, s);
#endif
    add_plain(x, y, i, n, s);
    return s;
}

} // namespace

extern "C" {

PYLOX_API void tq_math_lut_print_arctan2(int32_t lut_num)
{
    std::printf("#define ARCTAN2_LUT_NUM %d\n", lut_num);
    std::printf("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n");
    const double last = static_cast<double>(lut_num) - 1.0;
    for (int32_t i = 0; i < lut_num; ++i) {
        const double a =
            std::atan2(static_cast<double>(i), last) * 32768.0 / (2.0 * std::numbers::pi);
        std::printf("%u, ", static_cast<unsigned>(static_cast<uint16_t>(std::lround(a))));
        if ((i & 15) == 15) {
            std::printf("\n    ");
        }
    }
    if (lut_num > 0 && lut_num % 16 != 0) {
        std::printf("\n");
    }
    std::printf("};\n");
    std::fflush(stdout);
}

PYLOX_API void tq_math_linear_LSR_u16(const uint16_t *x, const uint16_t *y, int32_t n, float *slope,
                                      float *intercept, float *r2)
{
    if (slope == nullptr || intercept == nullptr) {
        LOG_ERR("[%s] NULL result pointer\n");
        if (r2 != nullptr) {
            *r2 = kNoFit;
        }
        return;
    }
    const bool no_data = n >= 1 && (x == nullptr || y == nullptr);
    if (no_data) {
        LOG_ERR("[%s] NULL series with %d points\n", n);
    }
    if (n < 1 || no_data) {
        *slope = kNoFit;
        *intercept = kNoFit;
        if (r2 != nullptr) {
            *r2 = kNoFit;
        }
        return;
    }

    const line_sums s = sum_pairs(x, y, n);
    // Formed exactly in 128 bits: in 64 bits n * Sxx already overflows from
    // about 46000 full-scale points. Every value that fits 64 bits converts
    // to the same float either way.
    __extension__ typedef __int128 wide_t;
    const wide_t cnt = n;
    const wide_t sx = s.sx;
    const wide_t sy = s.sy;
    const wide_t sxx = s.sxx;
    const wide_t sxy = s.sxy;
    const auto d = static_cast<float>(cnt * sxx - sx * sx);
    *slope = static_cast<float>(cnt * sxy - sx * sy) / d;
    *intercept = static_cast<float>(sxx * sy - sx * sxy) / d;

    if (r2 != nullptr) {
        const float k = *slope;
        const float b = *intercept;
        const float mean = static_cast<float>(s.sy) / static_cast<float>(n);
        float ss_res = 0.0f;
        float ss_tot = 0.0f;
        for (int32_t i = 0; i < n; ++i) {
            const float yi = static_cast<float>(y[i]);
            const float r = yi - (static_cast<float>(x[i]) * k + b);
            const float t = yi - mean;
            ss_res += r * r;
            ss_tot += t * t;
        }
        *r2 = 1.0f - ss_res / ss_tot;
    }
}

} // extern "C"
