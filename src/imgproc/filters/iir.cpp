// Recursive filters: the Young - van Vliet Gaussian and the recursive
// bilateral filter. The float recursions here are the reference of the vector
// forms in filters_vec.cpp, which repeat them operation for operation; like
// that file this one is compiled without multiply-add contraction.

#include <pylox/tq_cmap.h>
#include <pylox/tq_filter.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "imgproc/filters/filters_internal.h"
#include "imgproc/tq_conv_plain.h"

namespace pylox::filt {

iir_coef gauss_iir_coef(float sigma)
{
    if (!(sigma >= 0.5f)) { // also NaN
        return {0.84029317f, 0.170402f, -0.011035039f, 0.00033983588f};
    }
    const double s = sigma;
    const double q =
        s >= 2.5 ? 0.98711 * s - 0.9633 : 3.97156 - 4.14554 * std::sqrt(1.0 - 0.26891 * s);
    const double q2 = q * q, q3 = q2 * q;
    const double b0 = 1.57825 + 2.44413 * q + 1.4281 * q2 + 0.422205 * q3;
    const double a1 = (2.44413 * q + 2.85619 * q2 + 1.26661 * q3) / b0;
    const double a2 = -(1.4281 * q2 + 1.26661 * q3) / b0;
    const double a3 = 0.422205 * q3 / b0;
    return {static_cast<float>(1.0 - (a1 + a2 + a3)), static_cast<float>(a1),
            static_cast<float>(a2), static_cast<float>(a3)};
}

namespace {

// One line with stride: causal pass into out, then the anti-causal pass over
// it in place. out may be in.
void gauss_line(float *out, const float *in, int32_t n, std::ptrdiff_t stride, const iir_coef &c)
{
    float y1 = in[0], y2 = y1, y3 = y1;
    for (int32_t i = 0; i < n; ++i) {
        const float y0 = c.b * in[i * stride] + c.a1 * y1 + c.a2 * y2 + c.a3 * y3;
        out[i * stride] = y0;
        y3 = y2;
        y2 = y1;
        y1 = y0;
    }
    float z1 = y1, z2 = y1, z3 = y1;
    for (int32_t i = n; i-- > 0;) {
        const float z0 = c.b * out[i * stride] + c.a1 * z1 + c.a2 * z2 + c.a3 * z3;
        out[i * stride] = z0;
        z3 = z2;
        z2 = z1;
        z1 = z0;
    }
}

} // namespace

void gauss_iir_rows(float *dst, const float *src, int32_t w, int32_t h, const iir_coef &c,
                    int32_t y0)
{
    for (int32_t y = y0; y < h; ++y) {
        const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(y) * w;
        gauss_line(dst + o, src + o, w, 1, c);
    }
}

void gauss_iir_cols_plain(float *img, int32_t w, int32_t h, const iir_coef &c)
{
    for (int32_t x = 0; x < w; ++x) {
        gauss_line(img + x, img + x, h, w, c);
    }
}

// --- recursive bilateral filter ----------------------------------------------

namespace {

struct range_index {
    int32_t lo, hi;
    int32_t operator()(int32_t p, int32_t q) const
    {
        int32_t d = p > q ? p - q : q - p;
        d = d > hi ? hi : d;
        d = d < lo ? lo : d;
        return d - lo;
    }
};

range_index range_of(const tq_bpf2d_iir_t *s)
{
    return {static_cast<int32_t>(s->range_min), static_cast<int32_t>(s->range_max)};
}

uint16_t to_u16(float v)
{
    return static_cast<uint16_t>(pylox::trunc_i32(v) & 0xFFFF);
}

} // namespace

void bpf_horizontal_plain(tq_bpf2d_iir_t *s, const uint16_t *src, int32_t y0)
{
    const auto w = static_cast<int32_t>(s->width);
    const auto h = static_cast<int32_t>(s->height);
    const range_index idx = range_of(s);
    const float alpha = s->alpha_h;
    const float c = 1.0f - alpha;
    float *wt = s->line_weight;
    for (int32_t y = y0; y < h; ++y) {
        const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(y) * w;
        const uint16_t *in = src + o;
        float *sum = s->sum_img + o;
        float *norm = s->norm_img + o;
        for (int32_t x = 0; x + 1 < w; ++x) {
            wt[x] = alpha * s->range_lut[idx(in[x], in[x + 1])];
        }
        float f = in[0], nf = 1.0f;
        sum[0] = f;
        norm[0] = nf;
        for (int32_t x = 1; x < w; ++x) {
            f = wt[x - 1] * f + c * static_cast<float>(in[x]);
            nf = wt[x - 1] * nf + c;
            sum[x] = f;
            norm[x] = nf;
        }
        float g = in[w - 1], ng = 1.0f;
        sum[w - 1] = sum[w - 1] + g;
        norm[w - 1] = norm[w - 1] + ng;
        for (int32_t x = w - 2; x >= 0; --x) {
            g = wt[x] * g + c * static_cast<float>(in[x]);
            ng = wt[x] * ng + c;
            sum[x] = sum[x] + g;
            norm[x] = norm[x] + ng;
        }
    }
}

} // namespace pylox::filt

using namespace pylox::filt;

namespace {

constexpr uint32_t kBpfMaxSide = 40960;

bool gauss_args_ok(const void *dst, const void *src, int32_t w, int32_t h, const char *fn)
{
    if (dst == nullptr || src == nullptr || w < 1 || h < 1) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong parameter: dst=%p src=%p w=%d h=%d\n", dst, src, w,
                     h);
        return false;
    }
    return true;
}

void *alloc_or_exit(std::size_t n, const char *fn)
{
    void *p = std::malloc(n);
    if (p == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] malloc failed\n");
        std::exit(-3);
    }
    return p;
}

void gauss_f32(float *dst, const float *src, int32_t w, int32_t h, float sigma, const char *fn)
{
    const iir_coef c = gauss_iir_coef(sigma);
    auto *block = static_cast<float *>(alloc_or_exit(
        static_cast<std::size_t>(kGaussBlockRows) * static_cast<std::size_t>(w) * sizeof(float),
        fn));
    gauss_iir_rows(dst, src, w, h, c, gauss_iir_rows_vec(dst, src, w, h, c, block));
    std::free(block);
    gauss_iir_cols_vec(dst, w, h, c);
}

void gauss_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, float sigma,
               const char *fn)
{
    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    auto *img = static_cast<float *>(alloc_or_exit(n * sizeof(float), fn));
    // The conversions take a signed 32-bit count; a larger image goes in slices.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    for (std::size_t i = 0; i < n; i += kSlice) {
        tq_conv_u16_f32(img + i, src + i, static_cast<int32_t>(n - i < kSlice ? n - i : kSlice),
                        1.0f);
    }
    gauss_f32(img, img, w, h, sigma, fn);
    for (std::size_t i = 0; i < n; i += kSlice) {
        tq_conv_f32_u16(dst + i, img + i, static_cast<int32_t>(n - i < kSlice ? n - i : kSlice),
                        1.0f);
    }
    std::free(img);
}

} // namespace

extern "C" {

PYLOX_API void tq_gauss2d_iir_f32(float *dst, const float *src, int32_t w, int32_t h, float sigma)
{
    if (gauss_args_ok(dst, src, w, h, __func__)) {
        gauss_f32(dst, src, w, h, sigma, __func__);
    }
}

PYLOX_API void tq_gauss2d_iir_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                  float sigma)
{
    if (gauss_args_ok(dst, src, w, h, __func__)) {
        gauss_u16(dst, src, w, h, sigma, __func__);
    }
}

PYLOX_API void gauss2d_iir_f32(float *dst, int32_t dst_h, int32_t dst_w, const float *src,
                               int32_t src_h, int32_t src_w, float sigma)
{
    if (src_w != dst_w || src_h != dst_h) {
        LOG_ERR("[%s] wrong parameter: src wxh = %dx%d, dst wxh = %dx%d\n", src_w, src_h, dst_w,
                dst_h);
        return;
    }
    tq_gauss2d_iir_f32(dst, src, src_w, src_h, sigma);
}

PYLOX_API void gauss2d_iir_u16(uint16_t *dst, int32_t dst_h, int32_t dst_w, const uint16_t *src,
                               int32_t src_h, int32_t src_w, float sigma)
{
    if (src_w != dst_w || src_h != dst_h) {
        LOG_ERR("[%s] wrong parameter: src wxh = %dx%d, dst wxh = %dx%d\n", src_w, src_h, dst_w,
                dst_h);
        return;
    }
    if (gauss_args_ok(dst, src, src_w, src_h, "tq_gauss2d_iir_u16")) {
        gauss_u16(dst, src, src_w, src_h, sigma, "tq_gauss2d_iir_u16");
    }
}

PYLOX_API void tq_bpf2d_iir_uninit(tq_bpf2d_iir_t *state)
{
    if (state == nullptr) {
        return;
    }
    std::free(state->range_lut);
    std::free(state->sum_img);
    std::free(state->norm_img);
    std::free(state->line_fwd);
    std::free(state->line_fwd_norm);
    std::free(state->line_bwd);
    std::free(state->line_bwd_norm);
    std::free(state->line_weight);
    std::free(state->line_value);
    std::memset(state, 0, sizeof(*state));
}

PYLOX_API int32_t tq_bpf2d_iir_init(tq_bpf2d_iir_t *state, uint32_t w, uint32_t h,
                                    float sigma_spatial, float sigma_range, uint32_t range_min,
                                    uint32_t range_max)
{
    if (state == nullptr) {
        LOG_ERR("[%s] wrong parameters\n");
        return 0;
    }
    std::memset(state, 0, sizeof(*state));
    if (w > kBpfMaxSide || h > kBpfMaxSide) {
        LOG_ERR("[%s] wrong image width or height: w=%u, h=%u\n", w, h);
        return 0;
    }
    const uint32_t rmin = range_min & 0xFFFFu, rmax = range_max & 0xFFFFu;
    // An empty image, an inverted value range or a sigma that is not a
    // positive number would give empty buffers, a wrapped table size or NaN
    // weights (and so a NaN image).
    if (w == 0 || h == 0 || rmin > rmax || !(sigma_spatial > 0.0f) || !(sigma_range > 0.0f) ||
        !std::isfinite(sigma_spatial) || !std::isfinite(sigma_range)) {
        LOG_ERR("[%s] wrong parameters: w=%u h=%u sigma=%g/%g range=%u..%u\n", w, h,
                static_cast<double>(sigma_spatial), static_cast<double>(sigma_range), rmin, rmax);
        return 0;
    }
    state->width = w;
    state->height = h;
    state->sigma_spatial = sigma_spatial;
    state->sigma_range = sigma_range;
    state->range_min = static_cast<float>(rmin);
    state->range_max = static_cast<float>(rmax);
    state->range_count = rmax - rmin + 1;
    state->alpha_h =
        static_cast<float>(std::exp(-std::sqrt(2.0) / (w * static_cast<double>(sigma_spatial))));
    state->alpha_v =
        static_cast<float>(std::exp(-std::sqrt(2.0) / (h * static_cast<double>(sigma_spatial))));

    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    const std::size_t line = std::size_t{TQ_BPF2D_LINE_LANES} * (w > h ? w : h);
    state->range_lut = static_cast<float *>(std::malloc(state->range_count * sizeof(float)));
    state->sum_img = static_cast<float *>(std::malloc(pixels * sizeof(float)));
    state->norm_img = static_cast<float *>(std::malloc(pixels * sizeof(float)));
    float **lines[] = {&state->line_fwd,      &state->line_fwd_norm, &state->line_bwd,
                       &state->line_bwd_norm, &state->line_weight,   &state->line_value};
    bool ok =
        state->range_lut != nullptr && state->sum_img != nullptr && state->norm_img != nullptr;
    for (float **p : lines) {
        *p = static_cast<float *>(std::malloc(line * sizeof(float)));
        ok = ok && *p != nullptr;
    }
    if (!ok) {
        LOG_ERR("[%s] cannot malloc buffers for BPF\n");
        tq_bpf2d_iir_uninit(state);
        return 0;
    }
    const double scale = static_cast<double>(state->range_count) * sigma_range;
    for (uint32_t k = 0; k < state->range_count; ++k) {
        state->range_lut[k] = static_cast<float>(std::exp(-static_cast<double>(k) / scale));
    }
    return 1;
}

PYLOX_API void _bpf2d_horizontal(tq_bpf2d_iir_t *state, const uint16_t *src)
{
    bpf_horizontal_plain(state, src, bpf_horizontal_vec(state, src));
}

PYLOX_API void _bpf2d_vertical_norm(tq_bpf2d_iir_t *state, const uint16_t *src, uint32_t x0)
{
    const auto w = static_cast<std::ptrdiff_t>(state->width);
    const auto h = static_cast<int32_t>(state->height);
    const range_index idx = range_of(state);
    const float alpha = state->alpha_v;
    const float l = 1.0f / (1.0f - alpha);
    float *wv = state->line_weight;
    float *fs = state->line_fwd;
    float *fn = state->line_fwd_norm;
    for (std::ptrdiff_t x = x0; x < w; ++x) {
        const uint16_t *col = src + x;
        for (int32_t y = 0; y + 1 < h; ++y) {
            wv[y] = alpha * state->range_lut[idx(col[y * w], col[(y + 1) * w])];
        }
        const float *sum = state->sum_img + x;
        const float *norm = state->norm_img + x;
        float sv = sum[0] * l, nv = norm[0] * l;
        fs[0] = sv;
        fn[0] = nv;
        for (int32_t y = 1; y < h; ++y) {
            sv = wv[y - 1] * sv + sum[y * w];
            nv = wv[y - 1] * nv + norm[y * w];
            fs[y] = sv;
            fn[y] = nv;
        }
        uint16_t *out = state->dst + x;
        float tv = sum[(h - 1) * w] * l, mv = norm[(h - 1) * w] * l;
        for (int32_t y = h - 1;; --y) {
            out[y * w] = to_u16((fs[y] + tv) / (fn[y] + mv));
            if (y == 0) {
                break;
            }
            tv = wv[y - 1] * tv + sum[(y - 1) * w];
            mv = wv[y - 1] * mv + norm[(y - 1) * w];
        }
    }
}

PYLOX_API void _bpf2d_vertical_simd(tq_bpf2d_iir_t *state, const uint16_t *src)
{
    bpf_vertical_vec(state, src, state->width / 4 * 4);
}

PYLOX_API void _bpf2d_vertical(tq_bpf2d_iir_t *state, const uint16_t *src)
{
    _bpf2d_vertical_simd(state, src);
    _bpf2d_vertical_norm(state, src, state->width / 4 * 4);
}

PYLOX_API void tq_bpf2d_iir(tq_bpf2d_iir_t *state, uint16_t *dst, const uint16_t *src, uint32_t w,
                            uint32_t h)
{
    if (state == nullptr || dst == nullptr || src == nullptr || state->sum_img == nullptr ||
        w != state->width || h != state->height) {
        LOG_ERR("[%s] wrong parameters\n");
        return;
    }
    state->dst = dst;
    _bpf2d_horizontal(state, src);
    _bpf2d_vertical(state, src);
}

} // extern "C"
