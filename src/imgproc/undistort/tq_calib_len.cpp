// Lens undistortion maps: building the map from the intrinsics, and the gather
// that applies it to u16 and float images.
//
// The corrected camera keeps the whole source image in view. Its matrix comes
// from a 9 x 9 grid of source points reaching to x = width and y = height,
// undistorted by fixed-point iteration; every corrected pixel is then
// distorted forward into the source and rounded to the nearest source pixel.
// Matrices here are filled and read row-major (element (r, c) at 3r + c); the
// vector library calls used on them do not depend on the order.
#include <pylox/tq_calib_len.h>
#include <pylox/tq_vec.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "core/log.h"
#include "imgproc/undistort/calib_len_build.h"
#include "imgproc/undistort/calib_len_kernels.h"

namespace pylox {

void *(*calib_len_alloc)(std::size_t bytes) = [](std::size_t bytes) { return std::malloc(bytes); };

namespace {

constexpr int kGrid = 9;
constexpr int kUndistortIterations = 5;

bool finite_lens(const tq_calib_len_param_t &l)
{
    const double v[] = {l.cx, l.cy, l.fx, l.fy, l.k1, l.k2, l.p1, l.p2, l.k3};
    return std::all_of(std::begin(v), std::end(v), [](double d) { return std::isfinite(d); }) &&
           l.fx != 0.0 && l.fy != 0.0;
}

// Normalised undistorted coordinates of the source pixel (u, v).
void undistort_point(const tq_calib_len_param_t &l, double u, double v, double &x, double &y)
{
    const double x0 = (u - l.cx) / l.fx;
    const double y0 = (v - l.cy) / l.fy;
    x = x0;
    y = y0;
    for (int it = 0; it < kUndistortIterations; ++it) {
        const double r2 = x * x + y * y;
        const double icd = 1.0 / (1.0 + ((l.k3 * r2 + l.k2) * r2 + l.k1) * r2);
        if (icd < 0.0) {
            // The iteration left the region where the lens model folds back
            // (strong barrel far off the centre); keep the distorted point
            // instead of a value on the far side of the fold.
            x = x0;
            y = y0;
            break;
        }
        const double dx = 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x);
        const double dy = l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y;
        x = (x0 - dx) * icd;
        y = (y0 - dy) * icd;
    }
}

// Nearest integer, halves rounded up; false when the value is no int32.
bool round_half(float v, int32_t &out)
{
    const float t = std::floor(v + 0.5f);
    if (!(t > -2147483520.0f && t < 2147483520.0f)) {
        return false;
    }
    out = static_cast<int32_t>(t);
    return true;
}

void clear(tq_calib_len_map_t *m)
{
    *m = tq_calib_len_map_t{};
}

template <class T> int undistort(const char *fn, const tq_calib_len_map_t *m, T *dst,
                                 int32_t dst_count, const T *src, int32_t src_w, int32_t src_h,
                                 T invalid)
{
    if (m == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Wrong parameter: calib_map is NULL\n");
        return 0;
    }
    // An empty record has no size, whatever its fields say.
    const bool ready = m->valid != 0 && m->map != nullptr;
    const int32_t mw = ready ? m->width : 0;
    const int32_t mh = ready ? m->height : 0;
    if (src_w != mw || src_h != mh) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", mw,
                     mh, src_w, src_h);
        return 0;
    }
    const int64_t n = std::min<int64_t>(dst_count, static_cast<int64_t>(mw) * mh);
    if (n <= 0) {
        return 1;
    }
    if (dst == nullptr || src == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Wrong parameter: dst or src is NULL\n");
        return 0;
    }
    // A gather into its own source would read pixels it has already replaced.
    const auto d0 = reinterpret_cast<std::uintptr_t>(dst);
    const auto s0 = reinterpret_cast<std::uintptr_t>(src);
    if (d0 < s0 + static_cast<std::uintptr_t>(mw) * mh * sizeof(T) &&
        s0 < d0 + static_cast<std::uintptr_t>(n) * sizeof(T)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Wrong parameter: dst and src overlap\n");
        return 0;
    }
    if constexpr (sizeof(T) == 2) {
        calib_len_gather_u16(dst, src, mw * mh, m->map, static_cast<int32_t>(n), invalid);
    } else {
        calib_len_gather_f32(dst, src, mw * mh, m->map, static_cast<int32_t>(n), invalid);
    }
    return 1;
}

} // namespace

calib_len_rects calib_len_rectangles(const tq_calib_len_param_t &l, const double p[9])
{
    float ix0 = -FLT_MAX, ix1 = FLT_MAX, iy0 = -FLT_MAX, iy1 = FLT_MAX;
    float ox0 = FLT_MAX, ox1 = -FLT_MAX, oy0 = FLT_MAX, oy1 = -FLT_MAX;
    for (int j = 0; j < kGrid; ++j) {
        for (int i = 0; i < kGrid; ++i) {
            const float u = static_cast<float>(i) * static_cast<float>(l.width) / (kGrid - 1);
            const float v = static_cast<float>(j) * static_cast<float>(l.height) / (kGrid - 1);
            double x, y;
            undistort_point(l, u, v, x, y);
            const double X = p[0] * x + p[1] * y + p[2];
            const double Y = p[3] * x + p[4] * y + p[5];
            const double Z = p[6] * x + p[7] * y + p[8];
            const float px = static_cast<float>(X / Z);
            const float py = static_cast<float>(Y / Z);
            ox0 = std::min(ox0, px);
            ox1 = std::max(ox1, px);
            oy0 = std::min(oy0, py);
            oy1 = std::max(oy1, py);
            if (i == 0) {
                ix0 = std::max(ix0, px);
            }
            if (i == kGrid - 1) {
                ix1 = std::min(ix1, px);
            }
            if (j == 0) {
                iy0 = std::max(iy0, py);
            }
            if (j == kGrid - 1) {
                iy1 = std::min(iy1, py);
            }
        }
    }
    return calib_len_rects{{ox0, oy0, ox1 - ox0, oy1 - oy0}, {ix0, iy0, ix1 - ix0, iy1 - iy0}};
}

bool calib_len_new_camera(const tq_calib_len_param_t &l, double k_new[9], int32_t valid[4])
{
    double ident[9];
    mat3_identity(ident);
    const calib_len_rects first = calib_len_rectangles(l, ident);
    const float *outer = first.outer;

    double k[9];
    mat3_set(ident, k);
    k[0] = (l.width - 1) / static_cast<double>(outer[2]);
    k[4] = (l.height - 1) / static_cast<double>(outer[3]);
    k[2] = -k[0] * outer[0];
    k[5] = -k[4] * outer[1];
    if (!std::all_of(k, k + 9, [](double d) { return std::isfinite(d); }) || k[0] <= 0.0 ||
        k[4] <= 0.0) {
        return false;
    }
    const calib_len_rects second = calib_len_rectangles(l, k);
    int32_t r[4];
    for (int i = 0; i < 4; ++i) {
        if (!round_half(second.inner[i], r[i])) {
            return false;
        }
    }
    // Clipped to the image; an empty region when the lens leaves none.
    const int64_t x0 = std::max<int64_t>(r[0], 0);
    const int64_t y0 = std::max<int64_t>(r[1], 0);
    const int64_t x1 = std::min<int64_t>(int64_t{r[0]} + r[2], l.width);
    const int64_t y1 = std::min<int64_t>(int64_t{r[1]} + r[3], l.height);
    if (x1 > x0 && y1 > y0) {
        valid[0] = static_cast<int32_t>(x0);
        valid[1] = static_cast<int32_t>(y0);
        valid[2] = static_cast<int32_t>(x1 - x0);
        valid[3] = static_cast<int32_t>(y1 - y0);
    } else {
        valid[0] = valid[1] = valid[2] = valid[3] = 0;
    }
    mat3_set(k, k_new);
    return true;
}

} // namespace pylox

using pylox::calib_len_alloc;

extern "C" {

PYLOX_API int32_t tq_calib_len_init_map(tq_calib_len_map_t *map, const tq_calib_len_param_t *param)
{
    if (map == nullptr || param == nullptr) {
        LOG_ERR("[%s] Wrong parameter: map or lens is NULL\n");
        return 0;
    }
    pylox::clear(map);
    const tq_calib_len_param_t &l = *param;
    const int32_t w = l.width;
    const int32_t h = l.height;
    if (w <= 0 || h <= 0) {
        if (w < 0 || h < 0) {
            LOG_ERR("[%s] Wrong parameter: lens size %dx%d\n", w, h);
        }
        return 0;
    }
    const int64_t count = static_cast<int64_t>(w) * h;
    if (count > INT32_MAX) {
        LOG_ERR("[%s] Wrong parameter: lens size %dx%d\n", w, h);
        return 0;
    }
    if (!pylox::finite_lens(l)) {
        LOG_ERR("[%s] Wrong parameter: lens fx/fy=%f/%f cx/cy=%f/%f\n", l.fx, l.fy, l.cx, l.cy);
        return 0;
    }
    double k_new[9];
    int32_t valid[4];
    double ik[9];
    // The new camera has positive focal lengths, so it is invertible.
    if (!pylox::calib_len_new_camera(l, k_new, valid) ||
        !std::all_of(ik, mat3_inverse(k_new, ik) + 9, [](double d) { return std::isfinite(d); })) {
        LOG_ERR("[%s] lens gives no undistorted camera: fx/fy=%f/%f k1/k2/k3=%f/%f/%f\n", l.fx,
                l.fy, l.k1, l.k2, l.k3);
        return 0;
    }
    auto *entries = static_cast<int32_t *>(calib_len_alloc(static_cast<size_t>(count) * 4));
    if (entries == nullptr) {
        LOG_ERR("[%s] malloc failed\n");
        return 0;
    }
    const bool unit_z = ik[6] == 0.0 && ik[7] == 0.0 && ik[8] == 1.0;
    for (int32_t v = 0; v < h; ++v) {
        int32_t *row = entries + static_cast<int64_t>(v) * w;
        pylox::calib_len_row(l, ik, unit_z, v, row);
    }
    map->map = entries;
    map->count = static_cast<int32_t>(count);
    map->width = w;
    map->height = h;
    map->valid_x = valid[0];
    map->valid_y = valid[1];
    map->valid_w = valid[2];
    map->valid_h = valid[3];
    map->valid = 1;
    return map->count;
}

PYLOX_API int32_t tq_calib_len_update_map(tq_calib_len_map_t *map,
                                          const tq_calib_len_param_t *param)
{
    tq_calib_len_uninit_map(map);
    return tq_calib_len_init_map(map, param);
}

PYLOX_API void tq_calib_len_uninit_map(tq_calib_len_map_t *map)
{
    if (map == nullptr) {
        return;
    }
    if (map->valid != 0) {
        std::free(map->map);
    }
    map->map = nullptr;
    map->valid = 0;
}

PYLOX_API int tq_calib_len_undistort_u16(const tq_calib_len_map_t *map, uint16_t *dst,
                                         int32_t dst_count, const uint16_t *src, int32_t src_w,
                                         int32_t src_h, uint16_t invalid)
{
    return pylox::undistort(__func__, map, dst, dst_count, src, src_w, src_h, invalid);
}

PYLOX_API int tq_calib_len_undistort_f32(const tq_calib_len_map_t *map, float *dst,
                                         int32_t dst_count, const float *src, int32_t src_w,
                                         int32_t src_h, float invalid)
{
    return pylox::undistort(__func__, map, dst, dst_count, src, src_w, src_h, invalid);
}

} // extern "C"
