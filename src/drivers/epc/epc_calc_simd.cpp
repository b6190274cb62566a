// Vector forms of the depth calculation kernels, compiled once per vector
// unit (Highway targets: SSSE3, SSE4, AVX2, AVX-512 and a portable fallback)
// and chosen at run time. Every lane computes exactly what the per-pixel
// functions of epc_calc_kernels.h compute:
// - the table index x * 4096 / y comes from a single-precision division: both
//   operands are exact in single precision (x * 4096 < 2^24) and the true
//   quotient stays more than half a unit in the last place away from the next
//   integer (its distance is at least 1/8190), so truncation gives the
//   integer quotient;
// - the division of the scaled distance by 1000 is estimated in single
//   precision and corrected by one step with exact integer arithmetic;
// - products wrap modulo 2^32 as the per-pixel form defines them.
// The tail of an image that does not fill a whole vector runs pixel by pixel.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "drivers/epc/epc_calc_simd.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "drivers/epc/epc_calc_kernels.h"

#ifndef PYLOX_EPC_CALC_SIMD_ONCE
#define PYLOX_EPC_CALC_SIMD_ONCE
namespace pylox::epc {
// The arctangent table widened to 32 bits for the gathers, with one entry
// more for the diagonal.
const int32_t *atan_lut32();
} // namespace pylox::epc
#endif

HWY_BEFORE_NAMESPACE();
namespace pylox::epc {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DI = hn::ScalableTag<int32_t>;
using DU = hn::Rebind<uint32_t, DI>;
using DF = hn::Rebind<float, DI>;
using D16 = hn::Rebind<uint16_t, DI>;
using VI = hn::Vec<DI>;
using VF = hn::Vec<DF>;

HWY_INLINE VI load12(const uint16_t *p)
{
    const DI di;
    const DU du;
    const D16 d16;
    return hn::And(hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d16, p))), hn::Set(di, 0xFFF));
}

// Stores the low 16 bits of every lane.
HWY_INLINE void store16(VI v, uint16_t *p)
{
    const DU du;
    const D16 d16;
    hn::StoreU(hn::TruncateTo(d16, hn::BitCast(du, v)), d16, p);
}

// Truncation toward zero of values known to lie within the int32 range: the
// plain instruction, without ConvertTo's fix-up for values beyond it.
HWY_INLINE VI trunc_in_range(VF v)
{
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    return VI{_mm512_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_AVX2
    return VI{_mm256_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
    return VI{_mm_cvttps_epi32(v.raw)};
#else
    return hn::ConvertTo(DI(), v);
#endif
}

HWY_INLINE VI amplitude(VI i, VI q)
{
    const DI di;
    const DU du;
    const DF df;
    const VI m =
        hn::BitCast(di, hn::ShiftRight<2>(hn::BitCast(du, hn::Add(hn::Mul(i, i), hn::Mul(q, q)))));
    const VF mf = hn::ConvertTo(df, m);
    const VF y0 =
        hn::BitCast(df, hn::Add(hn::ShiftRight<1>(hn::BitCast(du, mf)), hn::Set(du, 0x1FBFFB72u)));
    const VF half = hn::Set(df, 0.5f);
    const VF hm = hn::Mul(half, mf);
    const VF y1 = hn::Add(hn::Mul(half, y0), hn::Div(hm, y0));
    const VF y2 = hn::Add(hn::Div(hm, y1), hn::Mul(half, y1));
    return trunc_in_range(y2);
}

// The octant folding of the per-pixel form without its branches. The table
// has one entry more (index 4096 = 4096, the angle of the diagonal), so that
// Q = 0 needs no case of its own: I > 0 gives index 0 and 16384, I < 0 index
// 4096 and 0. Only I = Q = 0 (0 / 0) is set apart.
HWY_INLINE VI phase(VI i, VI q, const int32_t *lut)
{
    const DI di;
    const DF df;
    const VI zero = hn::Zero(di);
    const VI sm = hn::ShiftRight<31>(q);      // -1 where Q < 0
    const VI b = hn::Sub(hn::Xor(i, sm), sm); // I, or -I where Q < 0
    const VI ai = hn::Abs(i), aq = hn::Abs(q);
    const auto bpos = hn::Gt(b, zero);
    const VI x = hn::IfThenElse(bpos, aq, ai); // a or -b
    const VI y = hn::IfThenElse(bpos, ai, aq); // b or a
    VI k = hn::Add(hn::And(sm, hn::Set(di, 16384)), hn::IfThenZeroElse(bpos, hn::Set(di, 8192)));
    const auto lt = hn::Lt(x, y);
    const VI num = hn::Sub(x, hn::IfThenZeroElse(lt, y));
    const VI den = hn::Max(hn::Add(y, hn::IfThenZeroElse(lt, x)), hn::Set(di, 1));
    k = hn::Add(k, hn::IfThenZeroElse(lt, hn::Set(di, 4096)));
    const VF quot = hn::Div(hn::ConvertTo(df, hn::ShiftLeft<12>(num)), hn::ConvertTo(df, den));
    const VI t = trunc_in_range(quot);
    const VI ph = hn::And(hn::Add(hn::Add(k, hn::GatherIndex(di, lut, t)), hn::Set(di, 16384)),
                          hn::Set(di, 0x7FFF));
    return hn::IfThenElse(hn::Eq(hn::Or(i, q), zero), hn::Set(di, 16384), ph);
}

// Signed division by 1000, truncating toward zero, for every int32.
HWY_INLINE VI div1000(VI v)
{
    const DI di;
    const DU du;
    const DF df;
    // |v| as unsigned (INT32_MIN gives 2^31), estimated quotient, one correction.
    const auto neg = hn::Lt(v, hn::Zero(di));
    const VI a = hn::IfThenElse(neg, hn::Neg(v), v);
    const VF af = hn::ConvertTo(df, hn::BitCast(di, hn::ShiftRight<1>(hn::BitCast(du, a))));
    // a / 1000 = (a >> 1) / 500 + at most 1/1000: the estimate below is off by
    // at most one either way.
    VI qt = hn::ConvertTo(di, hn::Mul(af, hn::Set(df, 1.0f / 500.0f)));
    const VI r = hn::Sub(a, hn::Mul(qt, hn::Set(di, 1000))); // wraps like uint32
    // r lies in 0 .. 999 when qt is right, in 1000 .. 1999 when it is one too
    // small and in -1000 .. -1 when it is one too large.
    const auto too_small = hn::Gt(r, hn::Set(di, 999));
    const auto too_large = hn::Lt(r, hn::Zero(di));
    qt = hn::IfThenElse(too_small, hn::Add(qt, hn::Set(di, 1)), qt);
    qt = hn::IfThenElse(too_large, hn::Sub(qt, hn::Set(di, 1)), qt);
    return hn::IfThenElse(neg, hn::Neg(qt), qt);
}

// The same for |v| <= 2^24: v is exact in single precision and the quotient
// (below 16778) stays farther than half a unit in the last place from the
// next integer (its distance is at least 1/1000), so the single-precision
// division truncates to the integer quotient.
HWY_INLINE VI div1000_small(VI v)
{
    const DI di;
    const DF df;
    return hn::ConvertTo(di, hn::Div(hn::ConvertTo(df, v), hn::Set(df, 1000.0f)));
}

// Brings v once into 0 .. r (modulo 2^32); rc is r limited to INT32_MAX.
HWY_INLINE VI wrap(VI v, VI r, VI rc)
{
    const DI di;
    const VI lo = hn::Add(v, r);
    const VI hi = hn::Sub(v, r);
    const auto neg = hn::Lt(v, hn::Zero(di));
    return hn::IfThenElse(neg, lo, hn::IfThenElse(hn::Gt(v, rc), hi, v));
}

void gray_vec(uint16_t *amp, const uint16_t *const d[4], int64_t n)
{
    const DI di;
    const int64_t L = static_cast<int64_t>(hn::Lanes(di));
    int64_t p = 0;
    for (; p + L <= n; p += L) {
        const VI d0 = load12(d[0] + p), d1 = load12(d[1] + p);
        const VI d2 = load12(d[2] + p), d3 = load12(d[3] + p);
        store16(amplitude(hn::Sub(d2, d0), hn::Sub(d3, d1)), amp + p);
    }
    for (; p < n; ++p) {
        const int32_t i = (d[2][p] & 0xFFF) - (d[0][p] & 0xFFF);
        const int32_t q = (d[3][p] & 0xFFF) - (d[1][p] & 0xFFF);
        amp[p] = static_cast<uint16_t>(epc::amplitude(i, q));
    }
}

template <bool kSmall> void fixed_loop(const fixed_args &pa, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *const d[4], int64_t n)
{
    const DI di;
    const DU du;
    const int64_t L = static_cast<int64_t>(hn::Lanes(di));
    const int32_t *lut = atan_lut32();
    const VI r = hn::Set(di, static_cast<int32_t>(pa.range_mm));
    const VI rc =
        hn::Set(di, static_cast<int32_t>(pa.range_mm > INT32_MAX ? INT32_MAX : pa.range_mm));
    const VI scale = hn::Set(di, pa.scale_um);
    const VI off = hn::Set(di, pa.offset_mm);
    const VI sat = hn::Set(di, k_saturated);
    const VI top = hn::Set(di, 4095);
    const VI zero = hn::Zero(di);
    int64_t p = 0;
    for (; p + L <= n; p += L) {
        const VI d0 = load12(d[0] + p), d1 = load12(d[1] + p);
        const VI d2 = load12(d[2] + p), d3 = load12(d[3] + p);
        const VI hi = hn::Max(hn::Max(d0, d1), hn::Max(d2, d3));
        const VI lo = hn::Min(hn::Min(d0, d1), hn::Min(d2, d3));
        const auto bad = hn::Or(hn::Eq(hi, top), hn::Eq(lo, zero));
        const VI i = hn::Sub(d2, d0), q = hn::Sub(d3, d1);
        const VI am = amplitude(i, q);
        // phase * range wraps as uint32, then an unsigned shift by 15
        const VI pd =
            hn::BitCast(di, hn::ShiftRight<15>(hn::BitCast(du, hn::Mul(phase(i, q, lut), r))));
        const VI prod = hn::Mul(scale, pd);
        const VI v = hn::Add(off, kSmall ? div1000_small(prod) : div1000(prod));
        store16(hn::IfThenElse(bad, sat, wrap(v, r, rc)), dist + p);
        store16(hn::IfThenElse(bad, sat, am), amp + p);
    }
    for (; p < n; ++p)
        fixed_pixel(pa, d[0][p] & 0xFFF, d[1][p] & 0xFFF, d[2][p] & 0xFFF, d[3][p] & 0xFFF, dist[p],
                    amp[p]);
}

void fixed_vec(const fixed_args &pa, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
               int64_t n)
{
    // Phase distances stay below the range: with |scale| * range <= 2^24 no
    // product leaves the exact single-precision integers.
    const int64_t s = pa.scale_um < 0 ? -static_cast<int64_t>(pa.scale_um) : pa.scale_um;
    if (s * static_cast<int64_t>(pa.range_mm) <= (int64_t{1} << 24))
        fixed_loop<true>(pa, dist, amp, d, n);
    else
        fixed_loop<false>(pa, dist, amp, d, n);
}

// Pixels per block of lut_vec (a multiple of every vector length).
constexpr int64_t k_lut_block = 256;

using MI = hn::Mask<DI>;

// The constants of one look-up call, built from its arguments, and the steps
// both look-up kernels take for a vector of pixels.
struct lut_consts {
    const lut_args &pa;
    const int32_t *lut;
    VI r, rc, off, mean_first, stride2, lane2, sat, rail;
    VF drift, scale, sp, box, rf, period, half, top;

    explicit lut_consts(const lut_args &a)
        : pa(a), lut(atan_lut32()), r(hn::Set(DI(), static_cast<int32_t>(a.range_mm))),
          rc(hn::Set(DI(), static_cast<int32_t>(a.range_mm > INT32_MAX ? INT32_MAX : a.range_mm))),
          off(hn::Set(DI(), a.offset_mm)), mean_first(hn::Set(DI(), a.mean_first)),
          stride2(hn::Set(DI(), 2 * a.ref_stride)), lane2(hn::ShiftLeft<1>(hn::Iota(DI(), 0))),
          sat(hn::Set(DI(), k_saturated)), rail(hn::Set(DI(), 4095)), drift(hn::Set(DF(), a.drift)),
          scale(hn::Set(DF(), a.scale)), sp(hn::Set(DF(), a.step_phase)),
          box(hn::Set(DF(), a.box_phase)), rf(hn::Set(DF(), static_cast<float>(a.range_mm))),
          period(hn::Set(DF(), 32768.0f)), half(hn::Set(DF(), 0.5f)),
          top(hn::Set(DF(), static_cast<float>(a.last_k)))
    {
    }

    // Stores the amplitudes of the pixels p .. p + L - 1 and gives their
    // corrected phase x, the saturated lanes and the image index y limited
    // to 0 .. last_k, still in single precision.
    HWY_INLINE VF front(const uint16_t *const d[4], int64_t p, uint16_t *amp, VI &x, MI &bad) const
    {
        const DI di;
        const DF df;
        const VI d0 = load12(d[0] + p), d1 = load12(d[1] + p);
        const VI d2 = load12(d[2] + p), d3 = load12(d[3] + p);
        const VI hi = hn::Max(hn::Max(d0, d1), hn::Max(d2, d3));
        const VI lo = hn::Min(hn::Min(d0, d1), hn::Min(d2, d3));
        bad = hn::Or(hn::Eq(hi, rail), hn::Eq(lo, hn::Zero(di)));
        const VI i = hn::Sub(d2, d0), q = hn::Sub(d3, d1);
        store16(hn::IfThenElse(bad, sat, amplitude(i, q)), amp + p);
        x = hn::ConvertTo(di, hn::Sub(hn::ConvertTo(df, phase(i, q, lut)), drift));
        VF y = hn::Mul(hn::ConvertTo(df, hn::Sub(x, mean_first)), scale);
        y = hn::IfThenElseZero(hn::Ge(y, hn::Zero(df)), y); // NaN and negatives: 0
        return hn::Min(y, top);
    }

    // Reference phases of image k at the pixels p .. p + L - 1.
    HWY_INLINE VI image(int64_t k, int64_t p) const
    {
        const DU du;
        const D16 d16;
        return hn::BitCast(DI(), hn::PromoteTo(du, hn::LoadU(d16, pa.ref + k * pa.ref_stride + p)));
    }

    // Reference phases of images k and k + 1, every lane its own k: 32-bit
    // loads ending at the wanted phase; its bits are the upper half.
    HWY_INLINE void gather(VI k, int64_t p, VI &r0, VI &r1) const
    {
        const DI di;
        const DU du;
        const VI offs = hn::Add(hn::Mul(k, stride2), lane2);
        const int32_t *b0 = reinterpret_cast<const int32_t *>(pa.ref + p - 1);
        const int32_t *b1 = reinterpret_cast<const int32_t *>(pa.ref + pa.ref_stride + p - 1);
        r0 = hn::BitCast(di, hn::ShiftRight<16>(hn::BitCast(du, hn::GatherOffset(di, b0, offs))));
        r1 = hn::BitCast(di, hn::ShiftRight<16>(hn::BitCast(du, hn::GatherOffset(di, b1, offs))));
    }

    // Interpolates between the bracketing phases r0 and r1 and stores the
    // distances (saturated lanes marked).
    HWY_INLINE void finish(VI x, VI k, VI r0, VI r1, MI bad, uint16_t *dist) const
    {
        const DI di;
        const DF df;
        const VF base = hn::Add(hn::Mul(hn::ConvertTo(df, k), sp), box);
        const VI dr = hn::Sub(r1, r0);
        const auto same = hn::Eq(dr, hn::Zero(di));
        const VF frac = hn::Div(hn::Mul(hn::ConvertTo(df, hn::Sub(x, r0)), sp),
                                hn::ConvertTo(df, hn::IfThenElse(same, hn::Set(di, 1), dr)));
        const VF pp = hn::IfThenElse(hn::RebindMask(df, same), base, hn::Add(frac, base));
        // millimetres rounded half up, as lut_mm
        const VI mm = hn::ConvertTo(di, hn::Floor(hn::Add(hn::Div(hn::Mul(rf, pp), period), half)));
        store16(hn::IfThenElse(bad, sat, wrap(hn::Add(off, mm), r, rc)), dist);
    }
};

// Two passes over a block of pixels: the first computes amplitude, corrected
// phase X and image index k of every pixel, and for each vector the smallest
// index and whether the others stay within one step of it; the second reads
// the bracketing
// reference phases and interpolates. Splitting them keeps the reference
// addresses from waiting on the whole phase computation of the same vector.
// A vector whose lanes bracket with one pair of images or with two
// neighbouring pairs (a surface crossing from one image to the next) reads
// the images with plain loads, each lane taking its pair; only a wider spread
// (an edge between near and far) gathers.
void lut_vec(const lut_args &pa, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
             int64_t n)
{
    const DI di;
    const int64_t L = static_cast<int64_t>(hn::Lanes(di));
    const lut_consts c(pa);
    HWY_ALIGN int32_t xs[k_lut_block], ks[k_lut_block], bads[k_lut_block];
    int32_t k0s[k_lut_block]; // per vector: the smallest index
    bool near[k_lut_block];   // per vector: no index above k0 + 1
    const int64_t whole = n - n % L;
    for (int64_t b = 0; b < whole; b += k_lut_block) {
        const int64_t m = whole - b < k_lut_block ? whole - b : k_lut_block;
        for (int64_t j = 0, v = 0; j < m; j += L, ++v) {
            VI x;
            MI bad;
            const VI k = trunc_in_range(c.front(d, b + j, amp, x, bad)); // 0 .. last_k
            hn::Store(x, di, xs + j);
            hn::Store(k, di, ks + j);
            hn::Store(hn::VecFromMask(di, bad), di, bads + j);
            const int32_t k0 = hn::GetLane(hn::MinOfLanes(di, k));
            k0s[v] = k0;
            near[v] = hn::AllTrue(di, hn::Lt(k, hn::Set(di, k0 + 2)));
        }
        for (int64_t j = 0, v = 0; j < m; j += L, ++v) {
            const int64_t p = b + j;
            const VI x = hn::Load(di, xs + j);
            const VI k = hn::Load(di, ks + j);
            VI r0, r1;
            const int32_t k0 = k0s[v];
            if (near[v]) {
                // the images k0, k0 + 1 and k0 + 2 (while there is one)
                const int32_t k2 = k0 + 2 <= pa.last_k + 1 ? k0 + 2 : pa.last_k + 1;
                const VI a1 = c.image(k0 + 1, p);
                const auto up = hn::Gt(k, hn::Set(di, k0));
                r0 = hn::IfThenElse(up, a1, c.image(k0, p));
                r1 = hn::IfThenElse(up, c.image(k2, p), a1);
            } else {
                c.gather(k, p, r0, r1);
            }
            c.finish(x, k, r0, r1, hn::MaskFromVec(hn::Load(di, bads + j)), dist + p);
        }
    }
    for (int64_t p = whole; p < n; ++p)
        lut_pixel(pa, p, d[0][p] & 0xFFF, d[1][p] & 0xFFF, d[2][p] & 0xFFF, d[3][p] & 0xFFF,
                  dist[p], amp[p]);
}

// The earlier form, kept as the benchmarks' baseline: one pass, the reference
// images gathered wherever the lanes of a vector do not share one pair.
void lut_vec_gathered(const lut_args &pa, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
                      int64_t n)
{
    const DI di;
    const int64_t L = static_cast<int64_t>(hn::Lanes(di));
    const lut_consts c(pa);
    for (int64_t p = 0; p + L <= n; p += L) {
        VI x;
        MI bad;
        const VI k = hn::ConvertTo(di, c.front(d, p, amp, x, bad));
        VI r0, r1;
        const int32_t k0 = hn::GetLane(k);
        if (hn::AllTrue(di, hn::Eq(k, hn::Set(di, k0)))) {
            // One bracketing pair for all lanes (the usual case on smooth
            // surfaces): plain loads.
            r0 = c.image(k0, p);
            r1 = c.image(k0 + 1, p);
        } else {
            c.gather(k, p, r0, r1);
        }
        c.finish(x, k, r0, r1, bad, dist + p);
    }
    for (int64_t p = n - n % L; p < n; ++p)
        lut_pixel(pa, p, d[0][p] & 0xFFF, d[1][p] & 0xFFF, d[2][p] & 0xFFF, d[3][p] & 0xFFF,
                  dist[p], amp[p]);
}

int64_t target_now()
{
    return HWY_TARGET;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
} // namespace HWY_NAMESPACE
} // namespace pylox::epc
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pylox::epc {

HWY_EXPORT(gray_vec);
HWY_EXPORT(fixed_vec);
HWY_EXPORT(lut_vec);
HWY_EXPORT(lut_vec_gathered);
HWY_EXPORT(target_now);

const int32_t *atan_lut32()
{
    static const struct table {
        int32_t v[ARCTAN2_LUT_NUM + 1];
        table()
        {
            for (int i = 0; i < ARCTAN2_LUT_NUM; ++i)
                v[i] = g_atan2_LUT[i];
            v[ARCTAN2_LUT_NUM] = 4096; // the diagonal, reached only with Q = 0
        }
    } t;
    return t.v;
}

void gray_vec(uint16_t *amp, const uint16_t *const d[4], int64_t n)
{
    HWY_DYNAMIC_DISPATCH(gray_vec)(amp, d, n);
}

void fixed_vec(const fixed_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
               int64_t n)
{
    HWY_DYNAMIC_DISPATCH(fixed_vec)(p, dist, amp, d, n);
}

void lut_vec(const lut_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
             int64_t n)
{
    HWY_DYNAMIC_DISPATCH(lut_vec)(p, dist, amp, d, n);
}

void lut_vec_gathered(const lut_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
                      int64_t n)
{
    HWY_DYNAMIC_DISPATCH(lut_vec_gathered)(p, dist, amp, d, n);
}

int64_t vec_compiled_targets()
{
    return HWY_TARGETS;
}

const char *vec_target_name()
{
    return hwy::TargetName(HWY_DYNAMIC_DISPATCH(target_now)());
}

} // namespace pylox::epc
#endif
