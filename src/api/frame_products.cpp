// Frame products: distance and gray images in floats from a raw frame (the
// driver decodes into 16-bit values), point clouds through the lens, and false
// colours of float images with the library's colour map.
#include "api/entry.h"
#include "api/library.h"
#include "core/log.h"

#include <pylox/pylox_drv.h>
#include <pylox/pylox_frame.h>
#include <pylox/tq_calib_len.h>
#include <pylox/tq_cmap.h>

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

constexpr float k_pcl_max_m = 60.0f; // distances at or beyond this are no points

// Millimetres (or any scaled value) to a signed 32-bit integer toward zero;
// values outside the range (and NaN) give INT32_MIN, which maps to no colour.
int32_t trunc_i32(double v)
{
    if (!(v > -2147483649.0 && v < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Decodes one raw frame into 16-bit values through the device's driver.
// Returns the pixel count, 0 on failure (logged).
int get_u16(pylox::entry &call, uint16_t *scratch, int bytes, int kind, const uint8_t *src,
            int src_len, const pylox_frame_info_t *finfo)
{
    const char *const fn = "_pylox_frame_get_u16";
    pylox_drv_t *drv = call ? call.ctx()->driver : nullptr;
    if (!drv || !drv->ops || !drv->ops->frame_decode) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] Wrong params\n");
        return 0;
    }
    if (src_len < 0 || static_cast<uint32_t>(src_len) < finfo->frame_size) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] raw frame length too small: datalen=%d, frlen=%d\n",
                     src_len, static_cast<int>(finfo->frame_size));
        return 0;
    }
    const int r = drv->ops->frame_decode(drv, scratch, bytes, kind, src, src_len, finfo);
    if (r < 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] raw frame decode to %d failed: %d\n", kind, r);
        return 0;
    }
    return r / 2;
}

// Distance (kind 1, millimetres to metres) or gray (kind 2) as floats. The
// 16-bit image is decoded into the upper half of dst and widened from the
// first pixel upwards: float i ends at byte 4i + 4, which never reaches a
// 16-bit value at or after index i of the upper half (it starts at byte
// 2 * dst_len, rounded down to whole floats), so nothing is overwritten
// before it is read.
int get_float_image(const char *fn, pylox_dev_t *dev, float *dst, int dst_len, int kind,
                    const uint8_t *src, int src_len, const pylox_frame_info_t *finfo)
{
    if (!dst || !src || !finfo || dst_len < 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Wrong params\n");
        return 0;
    }
    const uint64_t pixels = static_cast<uint64_t>(finfo->width) * finfo->height;
    if (static_cast<uint64_t>(dst_len) < pixels) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong dst_len: %d (wxh=%dx%d)\n", dst_len,
                     static_cast<int>(finfo->width), static_cast<int>(finfo->height));
        return 0;
    }
    pylox::entry call(dev, fn, pylox::k_silent);
    auto *scratch = reinterpret_cast<uint16_t *>(dst + dst_len / 2);
    // dst_len * 2 bytes; a buffer of a billion floats or more still offers
    // the driver the most an int can say.
    const int bytes = dst_len > INT_MAX / 2 ? INT_MAX - 1 : dst_len * 2;
    int n = get_u16(call, scratch, bytes, kind, src, src_len, finfo);
    if (static_cast<uint64_t>(n) > pixels)
        n = static_cast<int>(pixels);
    tq_conv_u16_f32(dst, scratch, static_cast<int32_t>(pixels), kind == 1 ? 0.001f : 1.0f);
    return n;
}

struct lens_values {
    double cx, cy, fx, fy, scale;
};

bool lens_of(const char *fn, pylox::entry &call, const pylox_lens_param_t *lens, int w, int h,
             lens_values &out)
{
    if (lens) {
        out = {lens->cx, lens->cy, lens->fx, lens->fy, lens->dist_scale};
        return true;
    }
    pylox_drv_t *drv = call.ctx()->driver;
    if (!drv || !drv->ops || !drv->ops->lens_param_get) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] Cannot generate PCL: no lens parameter in driver.\n");
        return false;
    }
    tq_calib_len_param_t p{};
    if (!drv->ops->lens_param_get(drv, &p, w, h))
        return false;
    out = {p.cx, p.cy, p.fx, p.fy, 1.0};
    return true;
}

// Points of a distance image, `per` floats each (3: x, y, z; 4: plus the
// distance or its colour), packed in row-major pixel order.
int get_pcl(const char *fn, pylox_dev_t *dev, float *pcl, int pcl_len, const float *dist, int img_w,
            int img_h, int per, bool colour, const pylox_lens_param_t *lens)
{
    pylox::entry call(dev, fn);
    if (!call)
        return 0;
    lens_values L{};
    if (!lens_of(fn, call, lens, img_w, img_h, L))
        return 0;
    if (img_h <= 0 || img_w <= 0 || !pcl || !dist)
        return 0;
    const tq_cmap_t *cmap = pylox::global_cmap();
    int64_t count = 0;
    for (int v = 0; v < img_h; ++v) {
        const float *row = dist + static_cast<size_t>(v) * static_cast<size_t>(img_w);
        for (int u = 0; u < img_w; ++u) {
            if (per * count + per - 1 >= pcl_len)
                return static_cast<int>(count);
            const float d = row[u];
            if (!(d > 0.0f && d < k_pcl_max_m))
                continue;
            // d' in single precision, as the fourth value hands it out
            const float dsf = static_cast<float>(d * L.scale);
            const double ds = dsf;
            const double x = (u - L.cx) * ds / L.fx;
            const double y = (v - L.cy) * ds / L.fy;
            const double z = std::sqrt(ds * ds - x * x - y * y);
            float *o = pcl + per * count;
            o[0] = static_cast<float>(x);
            o[1] = static_cast<float>(y);
            o[2] = static_cast<float>(z);
            if (per == 4) {
                if (colour) {
                    const uint32_t c = tq_cmap_get_color(cmap, trunc_i32(dsf * 1000.0f));
                    o[3] = static_cast<float>(c >> 16) * 65536.0f + static_cast<float>(c & 0xFFFF);
                } else {
                    o[3] = dsf;
                }
            }
            ++count;
        }
    }
    return static_cast<int>(count);
}

} // namespace

extern "C" {

PYLOX_API int pylox_frame_get_distance(pylox_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, int src_len,
                                       const pylox_frame_info_t *finfo)
{
    return get_float_image(__func__, dev, dst, dst_len, PYLOX_DRV_OUT_DISTANCE, src, src_len,
                           finfo);
}

PYLOX_API int pylox_frame_get_gray(pylox_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   int src_len, const pylox_frame_info_t *finfo)
{
    return get_float_image(__func__, dev, dst, dst_len, PYLOX_DRV_OUT_GRAY, src, src_len, finfo);
}

PYLOX_API int pylox_frame_get_pcl(pylox_dev_t *dev, float *pcl, int pcl_len, const float *dist, int,
                                  int img_w, int img_h, const pylox_lens_param_t *lens)
{
    return get_pcl(__func__, dev, pcl, pcl_len, dist, img_w, img_h, 3, false, lens);
}

PYLOX_API int pylox_frame_get_pcl_xyzd(pylox_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int, int img_w, int img_h, int pseudo_color,
                                       const pylox_lens_param_t *lens)
{
    return get_pcl(__func__, dev, pcl, pcl_len, dist, img_w, img_h, 4, pseudo_color != 0, lens);
}

PYLOX_API int pylox_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max)
{
    int bpp;
    switch (outfmt) {
    case PYLOX_CMAP_RGB:
    case PYLOX_CMAP_BGR:
        bpp = 3;
        break;
    case PYLOX_CMAP_RGB32:
        bpp = 4;
        break;
    default:
        return 0;
    }
    tq_cmap_t *cmap = pylox::global_cmap();
    tq_cmap_set_range(cmap, trunc_i32(range_min * 1000.0f), trunc_i32(range_max * 1000.0f));
    if (!dst || !src || src_len <= 0 || dst_len <= 0)
        return 0;
    const int m = src_len < dst_len / bpp ? src_len : dst_len / bpp;
    for (int i = 0; i < m; ++i) {
        const uint32_t c = tq_cmap_get_color(cmap, trunc_i32(src[i] * 1000.0f));
        uint8_t *o = dst + static_cast<size_t>(i) * bpp;
        const uint8_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
        if (outfmt == PYLOX_CMAP_BGR) {
            o[0] = b;
            o[1] = g;
            o[2] = r;
        } else {
            o[0] = r;
            o[1] = g;
            o[2] = b;
            if (bpp == 4)
                o[3] = static_cast<uint8_t>(c >> 24);
        }
    }
    return m;
}

} // extern "C"
