// Vector forms of the pixel-by-pixel steps of the decode chain, compiled once
// per vector unit (Highway targets) and chosen at run time. The tail of an
// image that does not fill a whole vector goes through the plain form.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "drivers/epc/epc_chain_simd.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "drivers/epc/epc_chain_kernels.h"

#include <algorithm>

HWY_BEFORE_NAMESPACE();
namespace pylox::epc {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Amplitudes and states are compared as 32-bit numbers, so that thresholds
// of any 16-bit setting need no care for overflow.
using DI = hn::ScalableTag<int32_t>;
using D16 = hn::Rebind<uint16_t, DI>;
using D8 = hn::Rebind<uint8_t, DI>;
using VI = hn::Vec<DI>;

HWY_INLINE VI load_u16(const uint16_t *p)
{
    return hn::PromoteTo(DI(), hn::LoadU(D16(), p));
}

void MinampImpl(uint16_t *dist, const uint16_t *amp, int64_t n, int32_t t)
{
    const DI di;
    const auto L = static_cast<int64_t>(hn::Lanes(di));
    const VI lo = hn::Set(di, t), hi = hn::Set(di, 2048 - t);
    const VI removed = hn::Set(di, k_removed);
    int64_t p = 0;
    for (; p + L <= n; p += L) {
        const VI a = load_u16(amp + p);
        const auto out = hn::Or(hn::Lt(a, lo), hn::Gt(a, hi));
        const VI d = hn::IfThenElse(out, removed, load_u16(dist + p));
        hn::StoreU(hn::DemoteTo(D16(), d), D16(), dist + p);
    }
    minamp_plain(dist + p, amp + p, n - p, t);
}

void MinampHystImpl(uint16_t *dist, const uint16_t *amp, uint8_t *valid, int64_t n, int32_t t,
                    int32_t hy)
{
    const DI di;
    const auto L = static_cast<int64_t>(hn::Lanes(di));
    const int32_t top = 2048 - t;
    const VI lo = hn::Set(di, t), hi = hn::Set(di, top);
    const VI clr_lo = hn::Set(di, t - hy), clr_hi = hn::Set(di, top + hy);
    const VI removed = hn::Set(di, k_removed), one = hn::Set(di, 1), zero = hn::Zero(di);
    int64_t p = 0;
    for (; p + L <= n; p += L) {
        const VI a = load_u16(amp + p);
        const auto set = hn::And(hn::Not(hn::Lt(a, lo)), hn::Not(hn::Gt(a, hi)));
        const auto clr = hn::Or(hn::Lt(a, clr_lo), hn::Gt(a, clr_hi));
        const VI old = hn::PromoteTo(di, hn::LoadU(D8(), valid + p));
        const VI now = hn::IfThenElse(set, one, hn::IfThenElse(clr, zero, old));
        hn::StoreU(hn::DemoteTo(D8(), now), D8(), valid + p);
        const VI d = hn::IfThenElse(hn::Eq(now, zero), removed, load_u16(dist + p));
        hn::StoreU(hn::DemoteTo(D16(), d), D16(), dist + p);
    }
    minamp_hyst_plain(dist + p, amp + p, valid + p, n - p, t, hy);
}

void RangeImpl(uint16_t *v, int64_t n, int64_t top)
{
    const DI di;
    const auto L = static_cast<int64_t>(hn::Lanes(di));
    // v > top for v in 0 .. 60000 as v > limit with the limit held in -1 .. 60000.
    const VI limit = hn::Set(di, static_cast<int32_t>(std::clamp<int64_t>(top, -1, 60000)));
    const VI keep_max = hn::Set(di, 60000), low = hn::Set(di, 100);
    const VI removed = hn::Set(di, k_removed);
    int64_t p = 0;
    for (; p + L <= n; p += L) {
        const VI x = load_u16(v + p);
        const auto out = hn::And(hn::Not(hn::Gt(x, keep_max)),
                                 hn::Or(hn::Not(hn::Gt(x, low)), hn::Gt(x, limit)));
        hn::StoreU(hn::DemoteTo(D16(), hn::IfThenElse(out, removed, x)), D16(), v + p);
    }
    range_plain(v + p, n - p, top);
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
} // namespace HWY_NAMESPACE
} // namespace pylox::epc
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pylox::epc {

HWY_EXPORT(MinampImpl);
HWY_EXPORT(MinampHystImpl);
HWY_EXPORT(RangeImpl);

void minamp_plain(uint16_t *dist, const uint16_t *amp, int64_t n, int32_t t)
{
    const int32_t top = 2048 - t;
    for (int64_t i = 0; i < n; ++i)
        if (amp[i] < t || amp[i] > top)
            dist[i] = k_removed;
}

void minamp_hyst_plain(uint16_t *dist, const uint16_t *amp, uint8_t *valid, int64_t n, int32_t t,
                       int32_t hy)
{
    const int32_t top = 2048 - t;
    for (int64_t i = 0; i < n; ++i) {
        const int32_t a = amp[i];
        if (a >= t && a <= top)
            valid[i] = 1;
        else if (a + hy < t || a > top + hy)
            valid[i] = 0;
        if (!valid[i])
            dist[i] = k_removed;
    }
}

void range_plain(uint16_t *v, int64_t n, int64_t top)
{
    for (int64_t i = 0; i < n; ++i)
        if (v[i] <= 60000 && (v[i] <= 100 || v[i] > top))
            v[i] = k_removed;
}

void minamp_vec(uint16_t *dist, const uint16_t *amp, int64_t n, int32_t t)
{
    HWY_DYNAMIC_DISPATCH(MinampImpl)(dist, amp, n, t);
}

void minamp_hyst_vec(uint16_t *dist, const uint16_t *amp, uint8_t *valid, int64_t n, int32_t t,
                     int32_t hy)
{
    HWY_DYNAMIC_DISPATCH(MinampHystImpl)(dist, amp, valid, n, t, hy);
}

void range_vec(uint16_t *v, int64_t n, int64_t top)
{
    HWY_DYNAMIC_DISPATCH(RangeImpl)(v, n, top);
}

} // namespace pylox::epc
#endif
