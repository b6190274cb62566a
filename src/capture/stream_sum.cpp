// The payload copy of checksummed packets: the bytes are moved and their
// 32-bit word sum is taken in the same pass, with the widest vectors the CPU
// offers (chosen at run time).
#include "capture/stream_sum.h"

#include <bit>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "capture/stream_sum.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace pylox::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

uint32_t CopySumWords(uint8_t *HWY_RESTRICT dst, const uint8_t *HWY_RESTRICT src, size_t words,
                      uint32_t sum)
{
    const hn::ScalableTag<uint32_t> d;
    const size_t lanes = hn::Lanes(d);
    auto *out = reinterpret_cast<uint32_t *>(dst);
    const auto *in = reinterpret_cast<const uint32_t *>(src);
    auto acc0 = hn::Zero(d);
    auto acc1 = hn::Zero(d);
    size_t k = 0;
    for (; k + 4 * lanes <= words; k += 4 * lanes) {
        const auto v0 = hn::LoadU(d, in + k);
        const auto v1 = hn::LoadU(d, in + k + lanes);
        const auto v2 = hn::LoadU(d, in + k + 2 * lanes);
        const auto v3 = hn::LoadU(d, in + k + 3 * lanes);
        hn::StoreU(v0, d, out + k);
        hn::StoreU(v1, d, out + k + lanes);
        hn::StoreU(v2, d, out + k + 2 * lanes);
        hn::StoreU(v3, d, out + k + 3 * lanes);
        acc0 = hn::Add(acc0, hn::Add(v0, v1));
        acc1 = hn::Add(acc1, hn::Add(v2, v3));
    }
    for (; k + lanes <= words; k += lanes) {
        const auto v = hn::LoadU(d, in + k);
        hn::StoreU(v, d, out + k);
        acc0 = hn::Add(acc0, v);
    }
    // The lanes are added here rather than by SumOfLanes: some compilers'
    // reductions add as signed int, which overflows where unsigned words wrap.
    HWY_ALIGN uint32_t lane_sums[HWY_MAX_BYTES / sizeof(uint32_t)];
    hn::Store(hn::Add(acc0, acc1), d, lane_sums);
    for (size_t i = 0; i < lanes; ++i)
        sum += lane_sums[i];
    for (; k < words; ++k) {
        uint32_t v;
        std::memcpy(&v, src + 4 * k, 4);
        std::memcpy(dst + 4 * k, &v, 4);
        sum += v;
    }
    return sum;
}

} // namespace pylox::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pylox {

HWY_EXPORT(CopySumWords);

uint32_t stream_copy_sum_words(uint8_t *dst, const uint8_t *src, size_t words, uint32_t sum)
{
    if constexpr (std::endian::native == std::endian::little) {
        return HWY_DYNAMIC_DISPATCH(CopySumWords)(dst, src, words, sum);
    } else {
        for (size_t k = 0; k < words; ++k) {
            const uint8_t *p = src + 4 * k;
            std::memcpy(dst + 4 * k, p, 4);
            sum += static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                   static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        }
        return sum;
    }
}

} // namespace pylox
#endif
