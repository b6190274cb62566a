// Whole-buffer pixel type conversions. Results wrap, none saturates.
//
// On x86-64 the bulk of a buffer goes through SSE2 steps of 8 or 16 elements;
// leading elements are converted one by one until the source (for the
// narrowing conversions) or the destination (for the widening ones) is 16-byte
// aligned, and the remainder after the last full step likewise. Short buffers
// and buffers whose overlap would let a vector step see different source
// values than the element-by-element loop take the plain loop throughout, so
// the result is always that of the element-wise definition.
#include <pylox/tq_cmap.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/log.h"
#include "imgproc/tq_conv_plain.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define PYLOX_CONV_SSE2 1
#endif

namespace pylox {

void conv_plain_u16_u8(uint8_t *dst, const uint16_t *src, int32_t n, uint32_t shift)
{
    if (shift >= 32) {
        for (int32_t i = 0; i < n; ++i) {
            dst[i] = 0;
        }
        return;
    }
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint8_t>(static_cast<uint32_t>(src[i]) >> shift);
    }
}

void conv_plain_u16_f32(float *dst, const uint16_t *src, int32_t n, float scale)
{
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<float>(src[i]) * scale;
    }
}

void conv_plain_u16_u32(uint32_t *dst, const uint16_t *src, int32_t n, uint32_t scale)
{
    const uint32_t s = scale & 0xFFFFu;
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint32_t>(src[i]) * s;
    }
}

void conv_plain_f32_u8(uint8_t *dst, const float *src, int32_t n, float scale)
{
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint8_t>(trunc_i32(src[i] * scale) & 0xFF);
    }
}

void conv_plain_f32_u16(uint16_t *dst, const float *src, int32_t n, float scale)
{
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint16_t>(trunc_i32(src[i] * scale) & 0xFFFF);
    }
}

void conv_plain_f32_u32(uint32_t *dst, const float *src, int32_t n, float scale)
{
    for (int32_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint32_t>(trunc_i32(src[i] * scale) & 0xFFFF);
    }
}

} // namespace pylox

namespace {

using namespace pylox;

// Shortest buffers worth the vector steps.
constexpr int32_t kMinU16ToU8 = 19;
constexpr int32_t kMinF32ToU8 = 20;
constexpr int32_t kMinWide = 16;

bool check_args(const void *dst, const void *src, int32_t n, const char *fn)
{
    if (n <= 0) {
        return false;
    }
    if (dst == nullptr || src == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] null buffer (dst=%p src=%p n=%d)\n", dst, src, n);
        return false;
    }
    return true;
}

// True when converting in forward blocks (all reads of a block before its
// writes) gives the same result as the element-by-element loop: no element's
// destination bytes reach the source bytes of a later element. Disjoint
// buffers always qualify; so does converting in place towards the start of a
// buffer, as long as the destination does not overtake the source.
bool blocks_match_plain(const void *dst, std::size_t dsz, const void *src, std::size_t ssz,
                        int32_t n)
{
    const auto d = reinterpret_cast<std::uintptr_t>(dst);
    const auto s = reinterpret_cast<std::uintptr_t>(src);
    const auto cnt = static_cast<std::uintptr_t>(n);
    if (d + cnt * dsz <= s || s + cnt * ssz <= d) {
        return true;
    }
    if (d > s) {
        return false;
    }
    if (dsz <= ssz) {
        return true;
    }
    // Element k's destination ends at d + (k+1)*dsz; it must stay at or below
    // the start of source element k+1, s + (k+1)*ssz, for every k < n-1.
    return (cnt - 1) * (dsz - ssz) <= s - d;
}

// Elements to convert one by one before p is 16-byte aligned (0 when p is not
// even aligned to its element size; unaligned vector loads then do the work).
template <class T> int32_t lead_count(const T *p, int32_t n)
{
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    if (a % sizeof(T) != 0) {
        return 0;
    }
    const auto k = static_cast<int32_t>(((16u - (a & 15u)) & 15u) / sizeof(T));
    return k < n ? k : n;
}

#if defined(PYLOX_CONV_SSE2)

inline __m128i load_i(const void *p)
{
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}
inline void store_i(void *p, __m128i v)
{
    _mm_storeu_si128(static_cast<__m128i *>(p), v);
}
inline __m128i trunc_scaled(const float *p, __m128 scale)
{
    return _mm_cvttps_epi32(_mm_mul_ps(_mm_loadu_ps(p), scale));
}

int32_t vec_u16_u8(uint8_t *dst, const uint16_t *src, int32_t i, int32_t n, uint32_t shift)
{
    // A shift of 16 or more clears every element, like the plain loop.
    const __m128i cnt = _mm_cvtsi32_si128(static_cast<int>(shift > 16 ? 16 : shift));
    const __m128i low8 = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_and_si128(_mm_srl_epi16(load_i(src + i), cnt), low8);
        const __m128i b = _mm_and_si128(_mm_srl_epi16(load_i(src + i + 8), cnt), low8);
        store_i(dst + i, _mm_packus_epi16(a, b));
    }
    return i;
}

int32_t vec_u16_f32(float *dst, const uint16_t *src, int32_t i, int32_t n, float scale)
{
    const __m128 s = _mm_set1_ps(scale);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i v = load_i(src + i);
        const __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, zero));
        const __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(v, zero));
        _mm_storeu_ps(dst + i, _mm_mul_ps(lo, s));
        _mm_storeu_ps(dst + i + 4, _mm_mul_ps(hi, s));
    }
    return i;
}

int32_t vec_u16_u32(uint32_t *dst, const uint16_t *src, int32_t i, int32_t n, uint32_t scale)
{
    const __m128i s = _mm_set1_epi16(static_cast<short>(scale & 0xFFFFu));
    for (; i + 8 <= n; i += 8) {
        const __m128i v = load_i(src + i);
        const __m128i lo = _mm_mullo_epi16(v, s);
        const __m128i hi = _mm_mulhi_epu16(v, s);
        store_i(dst + i, _mm_unpacklo_epi16(lo, hi));
        store_i(dst + i + 4, _mm_unpackhi_epi16(lo, hi));
    }
    return i;
}

int32_t vec_f32_u8(uint8_t *dst, const float *src, int32_t i, int32_t n, float scale)
{
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low8 = _mm_set1_epi32(0xFF);
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_and_si128(trunc_scaled(src + i, s), low8);
        const __m128i b = _mm_and_si128(trunc_scaled(src + i + 4, s), low8);
        const __m128i c = _mm_and_si128(trunc_scaled(src + i + 8, s), low8);
        const __m128i d = _mm_and_si128(trunc_scaled(src + i + 12, s), low8);
        store_i(dst + i, _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
    return i;
}

int32_t vec_f32_u16(uint16_t *dst, const float *src, int32_t i, int32_t n, float scale)
{
    const __m128 s = _mm_set1_ps(scale);
    for (; i + 8 <= n; i += 8) {
        // Sign-extend the low 16 bits so the signed pack keeps them unchanged.
        const __m128i a = _mm_srai_epi32(_mm_slli_epi32(trunc_scaled(src + i, s), 16), 16);
        const __m128i b = _mm_srai_epi32(_mm_slli_epi32(trunc_scaled(src + i + 4, s), 16), 16);
        store_i(dst + i, _mm_packs_epi32(a, b));
    }
    return i;
}

int32_t vec_f32_u32(uint32_t *dst, const float *src, int32_t i, int32_t n, float scale)
{
    const __m128 s = _mm_set1_ps(scale);
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    for (; i + 8 <= n; i += 8) {
        store_i(dst + i, _mm_and_si128(trunc_scaled(src + i, s), low16));
        store_i(dst + i + 4, _mm_and_si128(trunc_scaled(src + i + 4, s), low16));
    }
    return i;
}

#endif

// The vector steps align the destination when they widen 16-bit samples,
// the source otherwise.
enum class align_on { src, dst };

template <typename D, typename S, typename A>
using vec_fn = int32_t (*)(D *, const S *, int32_t, int32_t, A);

// Plain loop up to the aligned pointer, vector steps, plain loop for the
// rest; the plain loop alone for short or overlapping buffers.
template <typename D, typename S, typename A>
void convert(D *dst, const S *src, int32_t n, A arg, const char *fn, int32_t min_n, align_on align,
             void (*plain)(D *, const S *, int32_t, A), std::type_identity_t<vec_fn<D, S, A>> vec)
{
    if (!check_args(dst, src, n, fn))
        return;
#if defined(PYLOX_CONV_SSE2)
    if (n >= min_n && blocks_match_plain(dst, sizeof(D), src, sizeof(S), n)) {
        int32_t i = align == align_on::src ? lead_count(src, n) : lead_count(dst, n);
        plain(dst, src, i, arg);
        i = vec(dst, src, i, n, arg);
        plain(dst + i, src + i, n - i, arg);
        return;
    }
#else
    (void)min_n;
    (void)align;
    (void)vec;
#endif
    plain(dst, src, n, arg);
}

#if defined(PYLOX_CONV_SSE2)
#define PYLOX_VEC_STEP(f) f
#else
#define PYLOX_VEC_STEP(f) nullptr
#endif

} // namespace

extern "C" {

PYLOX_API void tq_conv_u16_u8(uint8_t *dst, const uint16_t *src, int32_t n, uint32_t shift)
{
    convert(dst, src, n, shift, __func__, kMinU16ToU8, align_on::src, conv_plain_u16_u8,
            PYLOX_VEC_STEP(vec_u16_u8));
}

PYLOX_API void tq_conv_u16_f32(float *dst, const uint16_t *src, int32_t n, float scale)
{
    convert(dst, src, n, scale, __func__, kMinWide, align_on::dst, conv_plain_u16_f32,
            PYLOX_VEC_STEP(vec_u16_f32));
}

PYLOX_API void tq_conv_u16_u32(uint32_t *dst, const uint16_t *src, int32_t n, uint32_t scale)
{
    convert(dst, src, n, scale, __func__, kMinWide, align_on::dst, conv_plain_u16_u32,
            PYLOX_VEC_STEP(vec_u16_u32));
}

PYLOX_API void tq_conv_f32_u8(uint8_t *dst, const float *src, int32_t n, float scale)
{
    convert(dst, src, n, scale, __func__, kMinF32ToU8, align_on::src, conv_plain_f32_u8,
            PYLOX_VEC_STEP(vec_f32_u8));
}

PYLOX_API void tq_conv_f32_u16(uint16_t *dst, const float *src, int32_t n, float scale)
{
    convert(dst, src, n, scale, __func__, kMinWide, align_on::src, conv_plain_f32_u16,
            PYLOX_VEC_STEP(vec_f32_u16));
}

PYLOX_API void tq_conv_f32_u32(uint32_t *dst, const float *src, int32_t n, float scale)
{
    convert(dst, src, n, scale, __func__, kMinWide, align_on::src, conv_plain_f32_u32,
            PYLOX_VEC_STEP(vec_f32_u32));
}

} // extern "C"
