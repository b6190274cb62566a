// The gather of the undistortion map, one Highway build per CPU target with
// the best chosen at run time.
//
// Floats are gathered directly. A u16 source is read as 32-bit words at byte
// offset 2 * index, the pixel in the low half; the last pixel is read as the
// high half of the word before it, so no read goes past the source.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imgproc/undistort/calib_len_gather.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "imgproc/undistort/calib_len_gather.h"

HWY_BEFORE_NAMESPACE();
namespace pylox {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

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

HWY_EXPORT(GatherU16);
HWY_EXPORT(GatherF32);

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
