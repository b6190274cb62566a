// Map rows and the gather of lens undistortion, one Highway build per CPU
// target with the best chosen at run time.
//
// A map row is computed in double lanes with the operations of the
// element-by-element form in the same order (no fused multiply-add), so both
// give the same bits; the last lanes of a row take that form. Floats are gathered directly. A u16
// source is read as 32-bit words at byte offset 2 * index, the pixel in the low half; the last
// pixel is read as the high half of the word before it, so no read goes past the source.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imgproc/undistort/calib_len_kernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "imgproc/undistort/calib_len_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace pylox {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Row(const tq_calib_len_param_t &l, const double ik[9], bool unit_z, int32_t v, int32_t *row)
{
    const hn::ScalableTag<double> dd;
    const hn::Rebind<float, decltype(dd)> df;
    const hn::Rebind<int32_t, decltype(dd)> di;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(dd));
    const int32_t w = l.width;
    const auto ik0 = hn::Set(dd, ik[0]), ik2 = hn::Set(dd, ik[2]);
    const auto ik3 = hn::Set(dd, ik[3]), ik5 = hn::Set(dd, ik[5]);
    const auto ik6 = hn::Set(dd, ik[6]), ik8 = hn::Set(dd, ik[8]);
    const auto vx = hn::Set(dd, ik[1] * v), vy = hn::Set(dd, ik[4] * v),
               vz = hn::Set(dd, ik[7] * v);
    const auto one = hn::Set(dd, 1.0), two = hn::Set(dd, 2.0);
    const auto k1 = hn::Set(dd, l.k1), k2 = hn::Set(dd, l.k2), k3 = hn::Set(dd, l.k3);
    const auto p1 = hn::Set(dd, l.p1), p2 = hn::Set(dd, l.p2);
    const auto p1x2 = hn::Set(dd, 2.0 * l.p1), p2x2 = hn::Set(dd, 2.0 * l.p2);
    const auto fx = hn::Set(dd, l.fx), fy = hn::Set(dd, l.fy);
    const auto cx = hn::Set(dd, l.cx), cy = hn::Set(dd, l.cy);
    const auto half = hn::Set(df, 0.5f), fzero = hn::Zero(df);
    const auto wf = hn::Set(df, static_cast<float>(w));
    const auto hf = hn::Set(df, static_cast<float>(l.height));
    const auto wi = hn::Set(di, w), none = hn::Set(di, -1);
    const auto iota = hn::Iota(dd, 0.0);
    int32_t u = 0;
    for (; u + lanes <= w; u += lanes) {
        const auto uu = hn::Add(hn::Set(dd, static_cast<double>(u)), iota);
        auto xp = hn::Add(hn::Add(hn::Mul(ik0, uu), vx), ik2);
        auto yp = hn::Add(hn::Add(hn::Mul(ik3, uu), vy), ik5);
        if (!unit_z) {
            const auto z = hn::Add(hn::Add(hn::Mul(ik6, uu), vz), ik8);
            xp = hn::Div(xp, z);
            yp = hn::Div(yp, z);
        }
        const auto xx = hn::Mul(xp, xp), yy = hn::Mul(yp, yp);
        const auto r2 = hn::Add(xx, yy);
        const auto radial =
            hn::Add(one, hn::Mul(hn::Add(hn::Mul(hn::Add(hn::Mul(k3, r2), k2), r2), k1), r2));
        const auto xpp = hn::Add(hn::Add(hn::Mul(xp, radial), hn::Mul(hn::Mul(p1x2, xp), yp)),
                                 hn::Mul(p2, hn::Add(r2, hn::Mul(two, xx))));
        const auto ypp =
            hn::Add(hn::Add(hn::Mul(yp, radial), hn::Mul(p1, hn::Add(r2, hn::Mul(two, yy)))),
                    hn::Mul(hn::Mul(p2x2, xp), yp));
        const auto sx = hn::Add(hn::DemoteTo(df, hn::Add(hn::Mul(fx, xpp), cx)), half);
        const auto sy = hn::Add(hn::DemoteTo(df, hn::Add(hn::Mul(fy, ypp), cy)), half);
        const auto in = hn::And(hn::And(hn::Ge(sx, fzero), hn::Lt(sx, wf)),
                                hn::And(hn::Ge(sy, fzero), hn::Lt(sy, hf)));
        const auto ix = hn::ConvertTo(di, hn::IfThenElseZero(in, sx));
        const auto iy = hn::ConvertTo(di, hn::IfThenElseZero(in, sy));
        const auto idx = hn::Add(ix, hn::Mul(wi, iy));
        hn::StoreU(hn::IfThenElse(hn::RebindMask(di, in), idx, none), di, row + u);
    }
    calib_len_row_plain(l, ik, unit_z, v, u, row);
}

void GatherU16(uint16_t *HWY_RESTRICT dst, const uint16_t *HWY_RESTRICT src, int32_t src_count,
               const int32_t *HWY_RESTRICT map, int32_t n, uint16_t invalid)
{
    const hn::ScalableTag<int32_t> di;
    const hn::Rebind<uint16_t, decltype(di)> d16;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(di));
    int32_t i = 0;
    if (src_count >= 2) {
        const auto *words = reinterpret_cast<const int32_t *>(src);
        const auto zero = hn::Zero(di);
        const auto last_word = hn::Set(di, src_count - 2);
        const auto low = hn::Set(di, 0xFFFF);
        const auto bad = hn::Set(di, invalid);
        for (; i + lanes <= n; i += lanes) {
            const auto idx = hn::LoadU(di, map + i);
            const auto ok = hn::Lt(hn::Set(di, -1), idx);
            const auto pos = hn::Max(idx, zero);
            const auto word = hn::Min(pos, last_word);
            const auto shift = hn::ShiftLeft<4>(hn::Sub(pos, word)); // 0 or 16
            const auto got = hn::GatherOffset(di, words, hn::Add(word, word));
            const auto px = hn::And(hn::Shr(got, shift), low);
            hn::StoreU(hn::DemoteTo(d16, hn::IfThenElse(ok, px, bad)), d16, dst + i);
        }
    }
    calib_len_gather_plain(dst + i, src, map + i, n - i, invalid);
}

void GatherF32(float *HWY_RESTRICT dst, const float *HWY_RESTRICT src, int32_t /*src_count*/,
               const int32_t *HWY_RESTRICT map, int32_t n, float invalid)
{
    const hn::ScalableTag<int32_t> di;
    const hn::Rebind<float, decltype(di)> df;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(di));
    const auto zero = hn::Zero(di);
    const auto bad = hn::Set(df, invalid);
    int32_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        const auto idx = hn::LoadU(di, map + i);
        const auto ok = hn::RebindMask(df, hn::Lt(hn::Set(di, -1), idx));
        const auto got = hn::GatherIndex(df, src, hn::Max(idx, zero));
        hn::StoreU(hn::IfThenElse(ok, got, bad), df, dst + i);
    }
    calib_len_gather_plain(dst + i, src, map + i, n - i, invalid);
}

} // namespace HWY_NAMESPACE
} // namespace pylox
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pylox {

HWY_EXPORT(Row);
HWY_EXPORT(GatherU16);
HWY_EXPORT(GatherF32);

void calib_len_row(const tq_calib_len_param_t &lens, const double ik[9], bool unit_z, int32_t v,
                   int32_t *row)
{
    HWY_DYNAMIC_DISPATCH(Row)(lens, ik, unit_z, v, row);
}

void calib_len_gather_u16(uint16_t *dst, const uint16_t *src, int32_t src_count, const int32_t *map,
                          int32_t n, uint16_t invalid)
{
    HWY_DYNAMIC_DISPATCH(GatherU16)(dst, src, src_count, map, n, invalid);
}

void calib_len_gather_f32(float *dst, const float *src, int32_t src_count, const int32_t *map,
                          int32_t n, float invalid)
{
    HWY_DYNAMIC_DISPATCH(GatherF32)(dst, src, src_count, map, n, invalid);
}

} // namespace pylox
#endif
