// Fixed 3x3 and 5x5 neighbourhood filters of 16-bit images: box, binomial
// Gaussian and flying-pixel removal (their vector forms are in
// filters_vec.cpp) and the hole fillers.
#include <pylox/tq_filter.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "imgproc/filters/filters_internal.h"

namespace pylox::filt {

bool image_args_ok(const void *dst, const void *src, int32_t w, int32_t h, const char *fn)
{
    if (w <= 1 || h <= 1) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s]  wrong parameter:w/h=%d/%d\n", w, h);
        return false;
    }
    if (dst == nullptr || src == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s]  wrong parameter:dst=%p src=%p\n", dst, src);
        return false;
    }
    return true;
}

namespace {

const uint16_t *row_at(const uint16_t *img, int32_t y, int32_t w, int32_t h)
{
    return img + static_cast<std::ptrdiff_t>(clamp_index(y, h)) * w;
}

bool is_hole(uint16_t v)
{
    return static_cast<int16_t>(v) <= 0;
}

int16_t smax16(int16_t a, int16_t b)
{
    return a < b ? b : a;
}

// Hole filling with the largest signed value of the (2r+1)^2 window around
// each hole; in place when inplace is set (reading dst, filled in raster order).
// From a separate input the vector form does it.
template <int R>
void fill_holes(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t inplace)
{
    const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 2;
    const auto db = reinterpret_cast<std::uintptr_t>(dst);
    const auto sb = reinterpret_cast<std::uintptr_t>(src);
    if (inplace == 0 && (db + bytes <= sb || sb + bytes <= db)) {
        if constexpr (R == 1) {
            fhole3_vec(dst, src, w, h);
        } else {
            fhole5_vec(dst, src, w, h);
        }
        return;
    }
    const uint16_t *in = src;
    if (inplace != 0) {
        if (dst != src) {
            std::memmove(dst, src, bytes);
        }
        in = dst;
    }
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint16_t centre = in[static_cast<std::ptrdiff_t>(y) * w + x];
            if (!is_hole(centre)) {
                dst[static_cast<std::ptrdiff_t>(y) * w + x] = centre;
                continue;
            }
            int16_t best = INT16_MIN;
            for (int32_t dy = -R; dy <= R; ++dy) {
                const uint16_t *row = row_at(in, y + dy, w, h);
                for (int32_t dx = -R; dx <= R; ++dx) {
                    if (dx != 0 || dy != 0) {
                        best = smax16(best, static_cast<int16_t>(row[clamp_index(x + dx, w)]));
                    }
                }
            }
            dst[static_cast<std::ptrdiff_t>(y) * w + x] = static_cast<uint16_t>(best);
        }
    }
}

} // namespace
} // namespace pylox::filt

using namespace pylox::filt;

extern "C" {

PYLOX_API void tq_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        box3_vec(dst, src, w, h);
    }
}

PYLOX_API void tq_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        gauss3_vec(dst, src, w, h);
    }
}

PYLOX_API void tq_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                uint32_t thr)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        flypix_vec(dst, src, w, h, thr);
    }
}

PYLOX_API void tq_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t inplace)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        fill_holes<1>(dst, src, w, h, inplace);
    }
}

PYLOX_API void tq_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t inplace)
{
    if (image_args_ok(dst, src, w, h, __func__)) {
        fill_holes<2>(dst, src, w, h, inplace);
    }
}

PYLOX_API void tq_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    if (!image_args_ok(dst, src, w, h, __func__)) {
        return;
    }
    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (dst != src) {
        std::memmove(dst, src, n * sizeof(uint16_t));
    }
    auto *d = static_cast<uint16_t *>(std::malloc(n * sizeof(uint16_t)));
    if (d == nullptr) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    constexpr uint16_t kFar = 999;
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = is_hole(dst[i]) ? kFar : 1;
    }
    auto at = [w, h](int32_t x, int32_t y) {
        return static_cast<std::ptrdiff_t>(clamp_index(y, h)) * w + clamp_index(x, w);
    };
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * w + x;
            if (d[i] != kFar) {
                continue;
            }
            const uint16_t u = d[at(x, y - 1)], dn = d[at(x, y + 1)];
            const uint16_t ul = d[at(x - 1, y - 1)], ur = d[at(x + 1, y - 1)];
            const uint16_t l = d[at(x - 1, y)], r = d[at(x + 1, y)];
            const uint16_t dl = d[at(x - 1, y + 1)], dr = d[at(x + 1, y + 1)];
            auto mn = [](uint16_t p, uint16_t q) { return p < q ? p : q; };
            const uint16_t min_a = mn(mn(u, dn), mn(dl, dr));
            const uint16_t min_b = mn(mn(l, r), mn(ul, ur));
            const uint16_t m = mn(min_a, min_b);
            int32_t dx, dy;
            if (min_a < min_b) {
                if (mn(u, dn) < mn(dl, dr)) {
                    dx = 0;
                    dy = dn >= u ? -1 : 1;
                } else {
                    dx = dr < dl ? 1 : -1;
                    dy = 1;
                }
            } else if (mn(l, r) < mn(ul, ur)) {
                dx = r < l ? 1 : -1;
                dy = 0;
            } else {
                dx = ur < ul ? 1 : -1;
                dy = -1;
            }
            const std::ptrdiff_t j = at(x + dx, y + dy);
            dst[i] = dst[j];
            const int32_t step = j == i ? 0 : (dx != 0 ? 1 : 0) + (dy != 0 ? 1 : 0);
            d[i] = static_cast<uint16_t>(m + step);
        }
    }
    std::free(d);
}

} // extern "C"
