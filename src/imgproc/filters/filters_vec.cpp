// Vector forms of the filters, compiled for every x86 instruction set Highway
// knows (SSSE3, SSE4, AVX2, AVX-512 and a portable fallback) and chosen at run
// time. Each gives exactly what the plain form in the neighbouring files gives:
// the medians are exact, and the float recursions do the same operations in
// the same order. The build turns multiply-add contraction off for this file,
// since a fused multiply-add rounds once where the plain form rounds twice.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imgproc/filters/filters_vec.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "imgproc/filters/filters_internal.h"
#include "imgproc/filters/median_net.h"

HWY_BEFORE_NAMESPACE();
namespace pylox::filt {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#include "imgproc/filters/median_apply-inl.h"

constexpr std::size_t kMaxU16Lanes = HWY_MAX_BYTES / sizeof(uint16_t);

struct vmin {
    template <class V> HWY_INLINE V operator()(V a, V b) const { return hn::Min(a, b); }
};
struct vmax {
    template <class V> HWY_INLINE V operator()(V a, V b) const { return hn::Max(a, b); }
};

// Median of the R x R window for the N output pixels whose window columns
// start at rows[i][0]; rows[i] holds N + R - 1 readable values.
template <int R, class D> HWY_INLINE hn::Vec<D> median_block(D d, const uint16_t *const *rows)
{
    if constexpr (R == 3) {
        return median9(hn::LoadU(d, rows[0]), hn::LoadU(d, rows[0] + 1), hn::LoadU(d, rows[0] + 2),
                       hn::LoadU(d, rows[1]), hn::LoadU(d, rows[1] + 1), hn::LoadU(d, rows[1] + 2),
                       hn::LoadU(d, rows[2]), hn::LoadU(d, rows[2] + 1), hn::LoadU(d, rows[2] + 2),
                       vmin{}, vmax{});
    } else {
        hn::Vec<D> v[25];
        for (int r = 0; r < 5; ++r) {
            for (int c = 0; c < 5; ++c) {
                v[r * 5 + c] = hn::LoadU(d, rows[r] + c);
            }
        }
        return median25(v, vmin{}, vmax{});
    }
}

// An R x R neighbourhood filter over the whole image, a block of lanes at a
// time: block(rows) gives the outputs of the pixels whose window columns start
// at rows[i][0] (rows[i] holds lanes + R - 1 readable values). Blocks whose
// window lies inside the image read the rows directly; the others (the first
// and the last of each row) go through a small copy with the border columns
// repeated.
template <int R, class D, class F> HWY_INLINE void
stencil_image(D d, uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, F block)
{
    constexpr int32_t r = R / 2;
    const auto n = static_cast<int32_t>(hn::Lanes(d));
    HWY_ALIGN uint16_t pad[R][kMaxU16Lanes + R];
    HWY_ALIGN uint16_t out[kMaxU16Lanes];
    const uint16_t *rows[R];
    const uint16_t *prow[R];
    for (int i = 0; i < R; ++i) {
        prow[i] = pad[i];
    }
    for (int32_t y = 0; y < h; ++y) {
        for (int i = 0; i < R; ++i) {
            rows[i] = src + static_cast<std::ptrdiff_t>(clamp_index(y - r + i, h)) * w;
        }
        uint16_t *drow = dst + static_cast<std::ptrdiff_t>(y) * w;
        auto padded = [&](int32_t x0) {
            // Columns x0-r .. x0+n+r-2: the part inside the image is copied,
            // the rest repeats the first or the last column.
            const int32_t first = x0 - r, count = n + R - 1;
            const int32_t lo = first < 0 ? -first : 0;
            const int32_t hi = first + count > w ? w - first : count;
            for (int i = 0; i < R; ++i) {
                for (int32_t k = 0; k < lo; ++k) {
                    pad[i][k] = rows[i][0];
                }
                std::memcpy(&pad[i][lo], rows[i] + first + lo,
                            static_cast<std::size_t>(hi - lo) * sizeof(uint16_t));
                for (int32_t k = hi; k < count; ++k) {
                    pad[i][k] = rows[i][w - 1];
                }
            }
            hn::Store(block(prow), d, out);
            const int32_t cnt = w - x0 < n ? w - x0 : n;
            std::memcpy(drow + x0, out, static_cast<std::size_t>(cnt) * sizeof(uint16_t));
        };
        const uint16_t *at[R];
        for (int32_t x = 0; x < w; x += n) {
            if (x < r || x + n + r > w) {
                padded(x);
                continue;
            }
            for (int i = 0; i < R; ++i) {
                at[i] = rows[i] + x - r;
            }
            hn::StoreU(block(at), d, drow + x);
        }
    }
}

template <int R> void median_image(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    const hn::ScalableTag<uint16_t> d;
    stencil_image<R>(d, dst, src, w, h,
                     [d](const uint16_t *const *rows) { return median_block<R>(d, rows); });
}

// The 3x3 sums in 32 bits: lanes of 16-bit pixels, half a vector wide.
using wide_tag = hn::ScalableTag<uint32_t>;
using narrow_tag = hn::Rebind<uint16_t, wide_tag>;

HWY_INLINE hn::Vec<wide_tag> load_wide(const uint16_t *p)
{
    return hn::PromoteTo(wide_tag(), hn::LoadU(narrow_tag(), p));
}

// Back to 16 bits (every value here is below 65536).
HWY_INLINE hn::Vec<narrow_tag> narrow(hn::Vec<wide_tag> v)
{
    return hn::DemoteTo(narrow_tag(), hn::BitCast(hn::RebindToSigned<wide_tag>(), v));
}

void Gauss3Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    const narrow_tag d;
    stencil_image<3>(d, dst, src, w, h, [](const uint16_t *const *rows) {
        auto line = [](const uint16_t *p) {
            return hn::Add(hn::Add(load_wide(p), hn::ShiftLeft<1>(load_wide(p + 1))),
                           load_wide(p + 2));
        };
        const auto sum =
            hn::Add(hn::Add(line(rows[0]), hn::ShiftLeft<1>(line(rows[1]))), line(rows[2]));
        return narrow(hn::ShiftRight<4>(sum));
    });
}

void Box3Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    const narrow_tag d;
    stencil_image<3>(d, dst, src, w, h, [](const uint16_t *const *rows) {
        auto line = [](const uint16_t *p) {
            return hn::Add(hn::Add(load_wide(p), load_wide(p + 1)), load_wide(p + 2));
        };
        const auto sum = hn::Add(hn::Add(line(rows[0]), line(rows[2])),
                                 hn::Add(load_wide(rows[1]), load_wide(rows[1] + 2)));
        return narrow(hn::ShiftRight<3>(sum));
    });
}

void FlypixImpl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, uint32_t thr)
{
    const narrow_tag d;
    const hn::RebindToSigned<wide_tag> di;
    const auto below = hn::Set(wide_tag(), (thr >> 4) + 1); // thr >> 4 < 2^28
    stencil_image<3>(d, dst, src, w, h, [&](const uint16_t *const *rows) {
        auto q = [di](const uint16_t *p) {
            return hn::BitCast(di, hn::ShiftRight<2>(load_wide(p)));
        };
        const auto tl = q(rows[0]), t = q(rows[0] + 1), tr = q(rows[0] + 2);
        const auto l = q(rows[1]), rr = q(rows[1] + 2);
        const auto bl = q(rows[2]), b = q(rows[2] + 1), br = q(rows[2] + 2);
        const auto gx =
            hn::Sub(hn::Sub(hn::Add(hn::Add(tr, br), hn::ShiftLeft<1>(hn::Sub(rr, l))), tl), bl);
        const auto gy =
            hn::Sub(hn::Sub(hn::Add(hn::Add(bl, br), hn::ShiftLeft<1>(hn::Sub(b, t))), tl), tr);
        const auto ux = hn::BitCast(wide_tag(), gx), uy = hn::BitCast(wide_tag(), gy);
        const auto g2 = hn::Add(hn::Mul(ux, ux), hn::Mul(uy, uy)); // wraps like the plain form
        const auto keep = hn::Lt(g2, below);
        return narrow(hn::IfThenElseZero(keep, load_wide(rows[1] + 1)));
    });
}

// Hole fill from a separate input: a hole (signed value <= 0) takes the
// largest signed value of the other R x R - 1 pixels of its window.
template <int R> void fhole_image(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    const hn::ScalableTag<uint16_t> d;
    const hn::RebindToSigned<decltype(d)> ds;
    stencil_image<R>(d, dst, src, w, h, [d, ds](const uint16_t *const *rows) {
        constexpr int r = R / 2;
        auto best = hn::Set(ds, INT16_MIN);
        for (int i = 0; i < R; ++i) {
            for (int j = 0; j < R; ++j) {
                if (i != r || j != r) {
                    best = hn::Max(best, hn::BitCast(ds, hn::LoadU(d, rows[i] + j)));
                }
            }
        }
        const auto centre = hn::BitCast(ds, hn::LoadU(d, rows[r] + r));
        return hn::BitCast(d, hn::IfThenElse(hn::Gt(centre, hn::Zero(ds)), centre, best));
    });
}

void Fhole3Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    fhole_image<3>(dst, src, w, h);
}

void Fhole5Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    fhole_image<5>(dst, src, w, h);
}

// 3x3 median: each output row first sorts the column triples (above, own,
// below) of a chunk of columns, the border columns repeated, into low, middle
// and high rows; each output is then the median of (largest low, median of
// the middles, smallest high) of three neighbouring triples, so every triple
// is sorted once instead of three times.
void Median3Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    const hn::ScalableTag<uint16_t> d;
    const auto n = static_cast<int32_t>(hn::Lanes(d));
    constexpr int32_t kChunk = 512;
    constexpr std::size_t kLen = kChunk + 2 + kMaxU16Lanes;
    HWY_ALIGN uint16_t lo[kLen] = {}, mid[kLen] = {}, hi[kLen] = {};
    HWY_ALIGN uint16_t out[kMaxU16Lanes];
    const vmin mn;
    const vmax mx;
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *a = src + static_cast<std::ptrdiff_t>(clamp_index(y - 1, h)) * w;
        const uint16_t *b = src + static_cast<std::ptrdiff_t>(y) * w;
        const uint16_t *c = src + static_cast<std::ptrdiff_t>(clamp_index(y + 1, h)) * w;
        uint16_t *drow = dst + static_cast<std::ptrdiff_t>(y) * w;
        for (int32_t x0 = 0; x0 < w; x0 += kChunk) {
            const int32_t cnt = w - x0 < kChunk ? w - x0 : kChunk;
            // Triple k holds column x0 - 1 + k, for k = 0 .. cnt + 1.
            auto sort_at = [&](int32_t k, int32_t col) {
                uint16_t p = a[col], q = b[col], r = c[col];
                sort3(
                    p, q, r, [](uint16_t u, uint16_t v) { return u < v ? u : v; },
                    [](uint16_t u, uint16_t v) { return u < v ? v : u; });
                lo[k] = p;
                mid[k] = q;
                hi[k] = r;
            };
            sort_at(0, clamp_index(x0 - 1, w));
            sort_at(cnt + 1, clamp_index(x0 + cnt, w));
            auto sort_vec = [&](int32_t k) {
                auto p = hn::LoadU(d, a + x0 - 1 + k), q = hn::LoadU(d, b + x0 - 1 + k),
                     r = hn::LoadU(d, c + x0 - 1 + k);
                sort3(p, q, r, mn, mx);
                hn::StoreU(p, d, lo + k);
                hn::StoreU(q, d, mid + k);
                hn::StoreU(r, d, hi + k);
            };
            if (cnt >= n) {
                int32_t k = 1;
                for (; k + n <= cnt + 1; k += n) {
                    sort_vec(k);
                }
                if (k < cnt + 1) {
                    sort_vec(cnt + 1 - n);
                }
            } else {
                for (int32_t k = 1; k <= cnt; ++k) {
                    sort_at(k, x0 - 1 + k);
                }
            }
            auto median_at = [&](int32_t j) {
                const auto lows = mx(mx(hn::LoadU(d, lo + j), hn::LoadU(d, lo + j + 1)),
                                     hn::LoadU(d, lo + j + 2));
                const auto highs = mn(mn(hn::LoadU(d, hi + j), hn::LoadU(d, hi + j + 1)),
                                      hn::LoadU(d, hi + j + 2));
                const auto mids = median3(hn::LoadU(d, mid + j), hn::LoadU(d, mid + j + 1),
                                          hn::LoadU(d, mid + j + 2), mn, mx);
                return median3(lows, mids, highs, mn, mx);
            };
            if (cnt >= n) {
                int32_t j = 0;
                for (; j + n <= cnt; j += n) {
                    hn::StoreU(median_at(j), d, drow + x0 + j);
                }
                if (j < cnt) {
                    hn::StoreU(median_at(cnt - n), d, drow + x0 + cnt - n);
                }
            } else {
                hn::Store(median_at(0), d, out);
                std::memcpy(drow + x0, out, static_cast<std::size_t>(cnt) * sizeof(uint16_t));
            }
        }
    }
}

void Median5Impl(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    median_image<5>(dst, src, w, h);
}

// Causal then anti-causal recursion of the Gaussian, in place, over `count`
// vectors at line + i * stride (one line per lane): the causal pass
// overwrites each value with y, the anti-causal pass y with z.
template <class D> HWY_INLINE void gauss_lines(D d, float *line, int32_t count,
                                               std::ptrdiff_t stride, const iir_coef &c)
{
    const auto b = hn::Set(d, c.b), a1 = hn::Set(d, c.a1), a2 = hn::Set(d, c.a2),
               a3 = hn::Set(d, c.a3);
    using V = hn::Vec<D>;
    // One step: the value at q becomes b q + a1 v1 + a2 v2 + a3 v3, and the
    // history moves on.
    auto step = [&](float *q, V &v1, V &v2, V &v3) {
        const V v0 =
            hn::Add(hn::Add(hn::Add(hn::Mul(b, hn::LoadU(d, q)), hn::Mul(a1, v1)), hn::Mul(a2, v2)),
                    hn::Mul(a3, v3));
        hn::StoreU(v0, d, q);
        v3 = v2;
        v2 = v1;
        v1 = v0;
    };
    V y1 = hn::LoadU(d, line), y2 = y1, y3 = y1;
    for (int32_t i = 0; i < count; ++i) {
        step(line + i * stride, y1, y2, y3);
    }
    V z1 = y1, z2 = y1, z3 = y1;
    for (int32_t i = count; i-- > 0;) {
        step(line + i * stride, z1, z2, z3);
    }
}

// Column recursion over the columns x .. x+lanes-1, in place.
template <class D>
HWY_INLINE void gauss_cols(D d, float *img, int32_t w, int32_t h, int32_t x, const iir_coef &c)
{
    gauss_lines(d, img + x, h, w, c);
}

void GaussColsImpl(float *img, int32_t w, int32_t h, const iir_coef &c)
{
    const hn::ScalableTag<float> d;
    const auto n = static_cast<int32_t>(hn::Lanes(d));
    int32_t x = 0;
    for (; x + n <= w; x += n) {
        gauss_cols(d, img, w, h, x, c);
    }
    const hn::CappedTag<float, 1> d1;
    for (; x < w; ++x) {
        gauss_cols(d1, img, w, h, x, c);
    }
}

#if HWY_TARGET != HWY_SCALAR
// 4 x 4 transpose: a b c e are the rows before, the columns after.
template <class D4, class V> HWY_INLINE void transpose4(D4 d4, V &a, V &b, V &c, V &e)
{
    const V t0 = hn::InterleaveLower(d4, a, b), t1 = hn::InterleaveLower(d4, c, e);
    const V t2 = hn::InterleaveUpper(d4, a, b), t3 = hn::InterleaveUpper(d4, c, e);
    a = hn::ConcatLowerLower(d4, t1, t0);
    b = hn::ConcatUpperUpper(d4, t1, t0);
    c = hn::ConcatLowerLower(d4, t3, t2);
    e = hn::ConcatUpperUpper(d4, t3, t2);
}
#endif

// Copies between rows y0 .. y0+n-1 of an image w wide and a column-major
// block (value (x, y0+j) at block[x * n + j]): 4 x 4 tiles are transposed in
// registers, the columns past the last full tile one value at a time.
template <class T>
HWY_INLINE void rows_to_block(const T *img, int32_t w, int32_t y0, std::size_t n, float *block)
{
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    if (n % 4 == 0) {
        const hn::CappedTag<float, 4> d4;
        auto load4 = [&](std::size_t j, int32_t xx) {
            const T *p = img + static_cast<std::ptrdiff_t>(y0 + j) * w + xx;
            if constexpr (std::is_same_v<T, float>) {
                return hn::LoadU(d4, p);
            } else {
                const hn::Rebind<int32_t, decltype(d4)> di4;
                return hn::ConvertTo(
                    d4, hn::PromoteTo(di4, hn::LoadU(hn::Rebind<T, decltype(d4)>(), p)));
            }
        };
        for (; x + 4 <= w; x += 4) {
            for (std::size_t j = 0; j < n; j += 4) {
                auto a = load4(j, x), b = load4(j + 1, x), c = load4(j + 2, x), e = load4(j + 3, x);
                transpose4(d4, a, b, c, e);
                hn::StoreU(a, d4, block + (x + 0) * n + j);
                hn::StoreU(b, d4, block + (x + 1) * n + j);
                hn::StoreU(c, d4, block + (x + 2) * n + j);
                hn::StoreU(e, d4, block + (x + 3) * n + j);
            }
        }
    }
#endif
    for (std::size_t j = 0; j < n; ++j) {
        const T *row = img + static_cast<std::ptrdiff_t>(y0 + j) * w;
        for (int32_t xx = x; xx < w; ++xx) {
            block[xx * n + j] = static_cast<float>(row[xx]);
        }
    }
}

HWY_INLINE void block_to_rows(const float *block, int32_t w, int32_t y0, std::size_t n, float *img)
{
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    if (n % 4 == 0) {
        const hn::CappedTag<float, 4> d4;
        for (; x + 4 <= w; x += 4) {
            for (std::size_t j = 0; j < n; j += 4) {
                auto a = hn::LoadU(d4, block + (x + 0) * n + j);
                auto b = hn::LoadU(d4, block + (x + 1) * n + j);
                auto c = hn::LoadU(d4, block + (x + 2) * n + j);
                auto e = hn::LoadU(d4, block + (x + 3) * n + j);
                transpose4(d4, a, b, c, e);
                float *p = img + static_cast<std::ptrdiff_t>(y0 + j) * w + x;
                hn::StoreU(a, d4, p);
                hn::StoreU(b, d4, p + w);
                hn::StoreU(c, d4, p + 2 * w);
                hn::StoreU(e, d4, p + 3 * w);
            }
        }
    }
#endif
    for (std::size_t j = 0; j < n; ++j) {
        float *row = img + static_cast<std::ptrdiff_t>(y0 + j) * w;
        for (int32_t xx = x; xx < w; ++xx) {
            row[xx] = block[xx * n + j];
        }
    }
}

// Row recursion of the Gaussian over the rows y0 .. y0+lanes-1, one row per
// lane, through a column-major copy of the rows in block (lanes * w floats).
template <class D> HWY_INLINE void gauss_rows(D d, float *dst, const float *src, int32_t w,
                                              int32_t y0, const iir_coef &c, float *block)
{
    const std::size_t n = hn::Lanes(d);
    rows_to_block(src, w, y0, n, block);
    gauss_lines(d, block, w, static_cast<std::ptrdiff_t>(n), c);
    block_to_rows(block, w, y0, n, dst);
}

int32_t GaussRowsImpl(float *dst, const float *src, int32_t w, int32_t h, const iir_coef &c,
                      float *block)
{
    const hn::CappedTag<float, kGaussBlockRows> d;
    const auto n = static_cast<int32_t>(hn::Lanes(d));
    int32_t y = 0;
    for (; y + n <= h; y += n) {
        gauss_rows(d, dst, src, w, y, c, block);
    }
    const hn::CappedTag<float, 4> d4;
    for (; y + 4 <= h; y += 4) {
        gauss_rows(d4, dst, src, w, y, c, block);
    }
    return y;
}

// Range weights range_lut[idx] of the bilateral filter. On AVX-512 the first
// 256 entries of the table sit in sixteen registers and a vector whose
// indices all fall among them reads them with two-register permutes and a
// three-level select by index bits 5, 6 and 7 (a gather costs several times
// as much); AVX2 does the same with the first 32 entries; other vectors and
// instruction sets gather.
template <class D> struct range_table {
    explicit range_table(const tq_bpf2d_iir_t *) {}
    HWY_INLINE hn::Vec<D> operator()(D d, const float *lut,
                                     hn::Vec<hn::RebindToSigned<D>> idx) const
    {
        return hn::GatherIndex(d, lut, idx);
    }
};

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
template <> struct range_table<hn::CappedTag<float, TQ_BPF2D_LINE_LANES>> {
    using D = hn::CappedTag<float, TQ_BPF2D_LINE_LANES>;
    static_assert(hn::MaxLanes(D()) == 16, "one 512-bit register per vector");
    __m512 t[16];
    bool in_regs; // the table has 256 entries or more
    explicit range_table(const tq_bpf2d_iir_t *s) : in_regs(s->range_count >= 256)
    {
        for (int j = 0; j < 16; ++j)
            t[j] = in_regs ? _mm512_loadu_ps(s->range_lut + 16 * j) : _mm512_setzero_ps();
    }
    HWY_INLINE hn::Vec<D> operator()(D d, const float *lut,
                                     hn::Vec<hn::RebindToSigned<D>> idx) const
    {
        const __m512i i = idx.raw;
        if (!in_regs || _mm512_cmpge_epu32_mask(i, _mm512_set1_epi32(256)) != 0)
            return hn::GatherIndex(d, lut, idx);
        __m512 r[8];
        for (int j = 0; j < 8; ++j)
            r[j] = _mm512_permutex2var_ps(t[2 * j], i, t[2 * j + 1]); // entries 32j .. 32j+31
        const __mmask16 b5 = _mm512_test_epi32_mask(i, _mm512_set1_epi32(32));
        const __mmask16 b6 = _mm512_test_epi32_mask(i, _mm512_set1_epi32(64));
        const __mmask16 b7 = _mm512_test_epi32_mask(i, _mm512_set1_epi32(128));
        for (int j = 0; j < 4; ++j)
            r[j] = _mm512_mask_blend_ps(b5, r[2 * j], r[2 * j + 1]);
        for (int j = 0; j < 2; ++j)
            r[j] = _mm512_mask_blend_ps(b6, r[2 * j], r[2 * j + 1]);
        return hn::Vec<D>{_mm512_mask_blend_ps(b7, r[0], r[1])};
    }
};
#elif HWY_TARGET == HWY_AVX2
// AVX2 has sixteen registers of eight lanes: the first 32 entries sit in four
// of them, enough for the small steps between neighbours on a surface, read
// with one-register permutes and a two-level select by index bits 3 and 4.
template <> struct range_table<hn::CappedTag<float, TQ_BPF2D_LINE_LANES>> {
    using D = hn::CappedTag<float, TQ_BPF2D_LINE_LANES>;
    static_assert(hn::MaxLanes(D()) == 8, "one 256-bit register per vector");
    static constexpr int kRegs = 4;
    static constexpr int kEntries = 8 * kRegs;
    __m256 t[kRegs];
    bool in_regs; // the table has kEntries entries or more
    explicit range_table(const tq_bpf2d_iir_t *s) : in_regs(s->range_count >= kEntries)
    {
        for (int j = 0; j < kRegs; ++j)
            t[j] = in_regs ? _mm256_loadu_ps(s->range_lut + 8 * j) : _mm256_setzero_ps();
    }
    HWY_INLINE hn::Vec<D> operator()(D d, const float *lut,
                                     hn::Vec<hn::RebindToSigned<D>> idx) const
    {
        const __m256i i = idx.raw;
        if (!in_regs || !_mm256_testz_si256(i, _mm256_set1_epi32(-kEntries)))
            return hn::GatherIndex(d, lut, idx);
        __m256 r[kRegs];
        for (int j = 0; j < kRegs; ++j)
            r[j] = _mm256_permutevar8x32_ps(t[j], i); // entries 8j .. 8j+7
        for (int m = kRegs, bit = 3; m > 1; m /= 2, ++bit) {
            // index bit 3, then 4, in the sign bit
            const __m256 b = _mm256_castsi256_ps(_mm256_slli_epi32(i, 31 - bit));
            for (int j = 0; j < m / 2; ++j)
                r[j] = _mm256_blendv_ps(r[2 * j], r[2 * j + 1], b);
        }
        return hn::Vec<D>{r[0]};
    }
};
#endif

// Vectors of one block side by side: every step of the recursions waits on
// the one before (a multiply and an add), so a unit with vectors narrower
// than the block runs two or four recursions at once, which fills the time
// the previous step's result takes. Every lane computes what it computes
// alone.
template <class D> constexpr int bpf_unroll(D d)
{
    return TQ_BPF2D_LINE_LANES / hn::MaxLanes(d) >= 4 ? 4 : TQ_BPF2D_LINE_LANES / hn::MaxLanes(d);
}

// Horizontal pass of the bilateral filter over the rows y0 .. y0+m-1 (m =
// lanes * K), one row per lane: the rows are copied into a column-major block
// (line_value), both recursions run along it and the sums are copied back
// into the rows.
template <int K, class D>
HWY_INLINE void bpf_rows(D d, tq_bpf2d_iir_t *s, const uint16_t *src, int32_t y0)
{
    const hn::RebindToSigned<D> di;
    const std::size_t n = hn::Lanes(d);
    const std::size_t m = n * K;
    const auto w = static_cast<int32_t>(s->width);
    const auto rmin = static_cast<int32_t>(s->range_min);
    const auto rmax = static_cast<int32_t>(s->range_max);
    const auto vmin_r = hn::Set(di, rmin), vmax_r = hn::Set(di, rmax);
    const auto alpha = hn::Set(d, s->alpha_h);
    const auto c = hn::Set(d, 1.0f - s->alpha_h);
    const auto one = hn::Set(d, 1.0f);
    float *in = s->line_value;
    float *wt = s->line_weight;
    float *fs = s->line_fwd;
    float *fn = s->line_fwd_norm;
    float *sum = s->line_bwd;
    float *norm = s->line_bwd_norm;
    const range_table<D> table(s);
    rows_to_block(src, w, y0, m, in);
    for (int32_t x = 0; x + 1 < w; ++x) {
        for (std::size_t k = 0; k < m; k += n) {
            const auto diff = hn::ConvertTo(
                di,
                hn::Abs(hn::Sub(hn::LoadU(d, in + x * m + k), hn::LoadU(d, in + (x + 1) * m + k))));
            const auto dd = hn::Max(hn::Min(diff, vmax_r), vmin_r);
            hn::StoreU(hn::Mul(alpha, table(d, s->range_lut, hn::Sub(dd, vmin_r))), d,
                       wt + x * m + k);
        }
    }
    hn::Vec<D> f[K], nf[K], g[K], ng[K];
    for (int k = 0; k < K; ++k) {
        f[k] = hn::LoadU(d, in + k * n);
        nf[k] = one;
        hn::StoreU(f[k], d, fs + k * n);
        hn::StoreU(nf[k], d, fn + k * n);
    }
    for (int32_t x = 1; x < w; ++x) {
        for (int k = 0; k < K; ++k) {
            const std::size_t o = x * m + k * n;
            const auto wx = hn::LoadU(d, wt + o - m);
            f[k] = hn::Add(hn::Mul(wx, f[k]), hn::Mul(c, hn::LoadU(d, in + o)));
            nf[k] = hn::Add(hn::Mul(wx, nf[k]), c);
            hn::StoreU(f[k], d, fs + o);
            hn::StoreU(nf[k], d, fn + o);
        }
    }
    for (int k = 0; k < K; ++k) {
        const std::size_t o = (w - 1) * m + k * n;
        g[k] = hn::LoadU(d, in + o);
        ng[k] = one;
        hn::StoreU(hn::Add(hn::LoadU(d, fs + o), g[k]), d, sum + o);
        hn::StoreU(hn::Add(hn::LoadU(d, fn + o), ng[k]), d, norm + o);
    }
    for (int32_t x = w - 2; x >= 0; --x) {
        for (int k = 0; k < K; ++k) {
            const std::size_t o = x * m + k * n;
            const auto wx = hn::LoadU(d, wt + o);
            g[k] = hn::Add(hn::Mul(wx, g[k]), hn::Mul(c, hn::LoadU(d, in + o)));
            ng[k] = hn::Add(hn::Mul(wx, ng[k]), c);
            hn::StoreU(hn::Add(hn::LoadU(d, fs + o), g[k]), d, sum + o);
            hn::StoreU(hn::Add(hn::LoadU(d, fn + o), ng[k]), d, norm + o);
        }
    }
    block_to_rows(sum, w, y0, m, s->sum_img);
    block_to_rows(norm, w, y0, m, s->norm_img);
}

// Rows in blocks of lanes * K, then of four; returns the first row not done.
int32_t BpfHorizontalImpl(tq_bpf2d_iir_t *s, const uint16_t *src)
{
    const hn::CappedTag<float, TQ_BPF2D_LINE_LANES> d;
    constexpr int K = bpf_unroll(d);
    const auto m = static_cast<int32_t>(hn::Lanes(d)) * K;
    const auto h = static_cast<int32_t>(s->height);
    int32_t y = 0;
    for (; y + m <= h; y += m) {
        bpf_rows<K>(d, s, src, y);
    }
    const hn::CappedTag<float, 4> d4;
    for (; y + 4 <= h; y += 4) {
        bpf_rows<1>(d4, s, src, y);
    }
    return y;
}

// Vertical pass of the bilateral filter over the columns x .. x+m-1 (m =
// lanes * K).
template <int K, class D>
HWY_INLINE void bpf_cols(D d, tq_bpf2d_iir_t *s, const uint16_t *src, uint32_t x)
{
    const hn::RebindToSigned<D> di;
    const hn::Rebind<uint16_t, D> du;
    const std::size_t n = hn::Lanes(d);
    const std::size_t m = n * K;
    const auto w = static_cast<std::ptrdiff_t>(s->width);
    const auto h = static_cast<int32_t>(s->height);
    const auto rmin = static_cast<int32_t>(s->range_min);
    const auto rmax = static_cast<int32_t>(s->range_max);
    const auto vmin_r = hn::Set(di, rmin), vmax_r = hn::Set(di, rmax);
    const auto alpha = hn::Set(d, s->alpha_v);
    const auto l = hn::Set(d, 1.0f / (1.0f - s->alpha_v));
    float *wv = s->line_weight;
    float *fs = s->line_fwd;
    float *fn = s->line_fwd_norm;
    const range_table<D> table(s);
    for (std::size_t k = 0; k < m; k += n) {
        const uint16_t *col = src + x + k;
        auto cur = hn::PromoteTo(di, hn::LoadU(du, col));
        for (int32_t y = 0; y + 1 < h; ++y) {
            const auto next = hn::PromoteTo(di, hn::LoadU(du, col + (y + 1) * w));
            const auto dd = hn::Max(hn::Min(hn::Abs(hn::Sub(cur, next)), vmax_r), vmin_r);
            const auto g = table(d, s->range_lut, hn::Sub(dd, vmin_r));
            hn::StoreU(hn::Mul(alpha, g), d, wv + y * m + k);
            cur = next;
        }
    }
    const float *sum = s->sum_img + x;
    const float *norm = s->norm_img + x;
    hn::Vec<D> sv[K], nv[K], tv[K], mv[K];
    for (int k = 0; k < K; ++k) {
        sv[k] = hn::Mul(hn::LoadU(d, sum + k * n), l);
        nv[k] = hn::Mul(hn::LoadU(d, norm + k * n), l);
        hn::StoreU(sv[k], d, fs + k * n);
        hn::StoreU(nv[k], d, fn + k * n);
    }
    for (int32_t y = 1; y < h; ++y) {
        for (int k = 0; k < K; ++k) {
            const std::size_t o = y * m + k * n;
            const std::ptrdiff_t p = y * w + k * n;
            const auto wy = hn::LoadU(d, wv + o - m);
            sv[k] = hn::Add(hn::Mul(wy, sv[k]), hn::LoadU(d, sum + p));
            nv[k] = hn::Add(hn::Mul(wy, nv[k]), hn::LoadU(d, norm + p));
            hn::StoreU(sv[k], d, fs + o);
            hn::StoreU(nv[k], d, fn + o);
        }
    }
    uint16_t *out = s->dst + x;
    for (int k = 0; k < K; ++k) {
        tv[k] = hn::Mul(hn::LoadU(d, sum + (h - 1) * w + k * n), l);
        mv[k] = hn::Mul(hn::LoadU(d, norm + (h - 1) * w + k * n), l);
    }
    for (int32_t y = h - 1;; --y) {
        for (int k = 0; k < K; ++k) {
            const std::size_t o = y * m + k * n;
            const auto v =
                hn::Div(hn::Add(hn::LoadU(d, fs + o), tv[k]), hn::Add(hn::LoadU(d, fn + o), mv[k]));
            hn::StoreU(hn::DemoteTo(du, hn::ConvertTo(di, v)), du, out + y * w + k * n);
        }
        if (y == 0) {
            break;
        }
        for (int k = 0; k < K; ++k) {
            const std::ptrdiff_t p = (y - 1) * w + k * n;
            const auto wy = hn::LoadU(d, wv + (y - 1) * m + k * n);
            tv[k] = hn::Add(hn::Mul(wy, tv[k]), hn::LoadU(d, sum + p));
            mv[k] = hn::Add(hn::Mul(wy, mv[k]), hn::LoadU(d, norm + p));
        }
    }
}

void BpfVerticalImpl(tq_bpf2d_iir_t *s, const uint16_t *src, uint32_t x_end)
{
    const hn::CappedTag<float, TQ_BPF2D_LINE_LANES> d;
    constexpr int K = bpf_unroll(d);
    const auto m = static_cast<uint32_t>(hn::Lanes(d)) * K;
    uint32_t x = 0;
    for (; x + m <= x_end; x += m) {
        bpf_cols<K>(d, s, src, x);
    }
    const hn::CappedTag<float, 4> d4;
    for (; x + 4 <= x_end; x += 4) {
        bpf_cols<1>(d4, s, src, x);
    }
}

int64_t TargetImpl()
{
    return HWY_TARGET;
}

} // namespace HWY_NAMESPACE
} // namespace pylox::filt
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pylox::filt {

HWY_EXPORT(Median3Impl);
HWY_EXPORT(Median5Impl);
HWY_EXPORT(GaussColsImpl);
HWY_EXPORT(BpfVerticalImpl);
HWY_EXPORT(BpfHorizontalImpl);
HWY_EXPORT(GaussRowsImpl);
HWY_EXPORT(TargetImpl);
HWY_EXPORT(Gauss3Impl);
HWY_EXPORT(Box3Impl);
HWY_EXPORT(FlypixImpl);
HWY_EXPORT(Fhole3Impl);
HWY_EXPORT(Fhole5Impl);

void median3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Median3Impl)(dst, src, w, h);
}

void median5_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Median5Impl)(dst, src, w, h);
}

void gauss3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Gauss3Impl)(dst, src, w, h);
}

void box3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Box3Impl)(dst, src, w, h);
}

void flypix_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, uint32_t thr)
{
    HWY_DYNAMIC_DISPATCH(FlypixImpl)(dst, src, w, h, thr);
}

void fhole3_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Fhole3Impl)(dst, src, w, h);
}

void fhole5_vec(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    HWY_DYNAMIC_DISPATCH(Fhole5Impl)(dst, src, w, h);
}

void gauss_iir_cols_vec(float *img, int32_t w, int32_t h, const iir_coef &c)
{
    HWY_DYNAMIC_DISPATCH(GaussColsImpl)(img, w, h, c);
}

void bpf_vertical_vec(tq_bpf2d_iir_t *s, const uint16_t *src, uint32_t x_end)
{
    HWY_DYNAMIC_DISPATCH(BpfVerticalImpl)(s, src, x_end);
}

int32_t gauss_iir_rows_vec(float *dst, const float *src, int32_t w, int32_t h, const iir_coef &c,
                           float *block)
{
    return HWY_DYNAMIC_DISPATCH(GaussRowsImpl)(dst, src, w, h, c, block);
}

int32_t bpf_horizontal_vec(tq_bpf2d_iir_t *s, const uint16_t *src)
{
    return HWY_DYNAMIC_DISPATCH(BpfHorizontalImpl)(s, src);
}

const char *vec_target_name()
{
    return hwy::TargetName(HWY_DYNAMIC_DISPATCH(TargetImpl)());
}

} // namespace pylox::filt
#endif
