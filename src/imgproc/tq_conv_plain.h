// Element-by-element forms of the pixel conversions. The exported conversions
// use them for short buffers, for the leading and trailing elements around the
// vector steps and for overlapping buffers; the tests and the benchmark use
// them as the reference the vector steps must match.
#pragma once

#include <cstdint>

namespace pylox {

// Float to signed 32 bits toward zero. NaN and values outside the signed
// 32-bit range give INT32_MIN (0x80000000), which is what the SSE conversion
// instruction (cvttps2dq) gives, so the vector steps and this loop agree and
// no out-of-range cast (undefined in C++) is ever made.
inline int32_t trunc_i32(float f) noexcept
{
    if (f >= -2147483648.0f && f < 2147483648.0f) {
        return static_cast<int32_t>(f);
    }
    return INT32_MIN;
}

// Shifts of 32 or more give 0, as if every bit had been shifted out.
void conv_plain_u16_u8(uint8_t *dst, const uint16_t *src, int32_t n, uint32_t shift);
void conv_plain_u16_f32(float *dst, const uint16_t *src, int32_t n, float scale);
void conv_plain_u16_u32(uint32_t *dst, const uint16_t *src, int32_t n, uint32_t scale);
void conv_plain_f32_u8(uint8_t *dst, const float *src, int32_t n, float scale);
void conv_plain_f32_u16(uint16_t *dst, const float *src, int32_t n, float scale);
void conv_plain_f32_u32(uint32_t *dst, const float *src, int32_t n, float scale);

} // namespace pylox
