// The two loops of lens undistortion that run over every pixel: building a
// row of the map and the gather that applies it. Each has a Highway form
// chosen for the CPU at run time and the element-by-element form it falls
// back to (and that the tests and the benchmark compare it with).
#pragma once

#include <pylox/tq_calib_len.h>

#include <cstdint>

namespace pylox {

// Map entries of destination row v for a lens and the row-major inverse ik of
// the corrected camera matrix. unit_z says that ik's last row is (0, 0, 1),
// so the divisions by z drop out (they would not change a bit).
void calib_len_row(const tq_calib_len_param_t &lens, const double ik[9], bool unit_z, int32_t v,
                   int32_t *row);

// dst[i] = src[map[i]] for i < n, or invalid where map[i] is negative. Every
// entry is below src_count; dst and src do not overlap.
void calib_len_gather_u16(uint16_t *dst, const uint16_t *src, int32_t src_count, const int32_t *map,
                          int32_t n, uint16_t invalid);
void calib_len_gather_f32(float *dst, const float *src, int32_t src_count, const int32_t *map,
                          int32_t n, float invalid);

// Entries u0 .. width-1 of row v, one by one: (x, y, z) = ik (u, v, 1), the
// lens distortion applied to (x/z, y/z), the source position rounded to the
// nearest pixel (halves up), -1 outside the source. Rounding by truncation
// toward zero would pull positions up to 1.5 pixels left of or above the image
// onto its first column or row. NaN positions fail the range tests.
inline void calib_len_row_plain(const tq_calib_len_param_t &l, const double ik[9], bool unit_z,
                                int32_t v, int32_t u0, int32_t *row)
{
    const int32_t w = l.width;
    const float wf = static_cast<float>(w);
    const float hf = static_cast<float>(l.height);
    const double vx = ik[1] * v, vy = ik[4] * v, vz = ik[7] * v;
    for (int32_t u = u0; u < w; ++u) {
        double xp = ik[0] * u + vx + ik[2];
        double yp = ik[3] * u + vy + ik[5];
        if (!unit_z) {
            const double z = ik[6] * u + vz + ik[8];
            xp = xp / z;
            yp = yp / z;
        }
        const double r2 = xp * xp + yp * yp;
        const double radial = 1.0 + ((l.k3 * r2 + l.k2) * r2 + l.k1) * r2;
        const double xpp = xp * radial + 2.0 * l.p1 * xp * yp + l.p2 * (r2 + 2.0 * xp * xp);
        const double ypp = yp * radial + l.p1 * (r2 + 2.0 * yp * yp) + 2.0 * l.p2 * xp * yp;
        const float sxf = static_cast<float>(l.fx * xpp + l.cx) + 0.5f;
        const float syf = static_cast<float>(l.fy * ypp + l.cy) + 0.5f;
        if (sxf >= 0.0f && sxf < wf && syf >= 0.0f && syf < hf) {
            row[u] = static_cast<int32_t>(sxf) + w * static_cast<int32_t>(syf);
        } else {
            row[u] = -1;
        }
    }
}

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
