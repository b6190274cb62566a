// The gather that applies an undistortion map, vectorised where the CPU has
// gather instructions.
#pragma once

#include <cstdint>

namespace pylox {

// dst[i] = src[map[i]] for i < n, or invalid where map[i] is negative. Every
// entry is below src_count; dst and src do not overlap.
void calib_len_gather_u16(uint16_t *dst, const uint16_t *src, int32_t src_count, const int32_t *map,
                          int32_t n, uint16_t invalid);
void calib_len_gather_f32(float *dst, const float *src, int32_t src_count, const int32_t *map,
                          int32_t n, float invalid);

// The element-by-element form (the tests' and the benchmark's reference).
template <class T>
void calib_len_gather_plain(T *dst, const T *src, const int32_t *map, int32_t n, T invalid)
{
    for (int32_t i = 0; i < n; ++i) {
        const int32_t k = map[i];
        const T s = src[k < 0 ? 0 : k];
        dst[i] = k < 0 ? invalid : s;
    }
}

} // namespace pylox
