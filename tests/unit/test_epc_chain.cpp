// The pixel-by-pixel steps of the EPC decode chain: on every vector unit the
// vector forms give what the plain forms give, over random images whose
// lengths leave a tail and thresholds at and beyond the ends of their ranges;
// the plain forms follow the pixel rules.
#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_chain_kernels.h"

#include <hwy/targets.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

namespace ep = pylox::epc;
using img = std::vector<uint16_t>;

template <class F> void each_target(F &&f)
{
    const int64_t usable = ep::vec_compiled_targets() & hwy::SupportedTargets();
    for (int64_t rest = usable; rest != 0; rest &= rest - 1) {
        hwy::SetSupportedTargetsForTest(rest & -rest);
        f(hwy::TargetName(rest & -rest));
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Values spread over the whole 16-bit range, half of them near the
// thresholds of the steps (amplitudes below 2100, distances below 1000 or
// near a range).
img random_values(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    img v(n);
    for (auto &x : v) {
        const uint32_t r = rng();
        x = static_cast<uint16_t>(r % 4 == 0   ? r >> 16
                                  : r % 4 == 1 ? (r >> 8) % 2100
                                               : (r >> 8) % 1000 + 7000 * (r % 2));
    }
    return v;
}

TEST(EpcChain, MinimumAmplitudeVectorFormsMatchThePlainForms)
{
    const size_t n = 4099;
    const img amp = random_values(n, 1), dist = random_values(n, 2);
    std::vector<uint8_t> state0(n);
    std::mt19937 rng(3);
    for (auto &s : state0)
        s = static_cast<uint8_t>(rng() % 2);
    const int32_t thresholds[] = {0, 1, 30, 1024, 2048, 2049, 65535};
    const int32_t hysteresis[] = {0, 10, 2000, 65535};
    each_target([&](const char *name) {
        for (int32_t t : thresholds) {
            img want = dist, got = dist;
            ep::minamp_plain(want.data(), amp.data(), n, t);
            ep::minamp_vec(got.data(), amp.data(), n, t);
            EXPECT_EQ(got, want) << name << " t " << t;
            for (int32_t hy : hysteresis) {
                img dw = dist, dg = dist;
                std::vector<uint8_t> sw = state0, sg = state0;
                ep::minamp_hyst_plain(dw.data(), amp.data(), sw.data(), n, t, hy);
                ep::minamp_hyst_vec(dg.data(), amp.data(), sg.data(), n, t, hy);
                EXPECT_EQ(dg, dw) << name << " t " << t << " hy " << hy;
                EXPECT_EQ(sg, sw) << name << " t " << t << " hy " << hy;
            }
        }
    });
}

TEST(EpcChain, RangeInvalidationVectorFormMatchesThePlainForm)
{
    const size_t n = 4099;
    const img v = random_values(n, 4);
    const int64_t tops[] = {-200, -1, 0, 99, 100, 1000, 7394, 12391, 59999, 60000, 70000};
    each_target([&](const char *name) {
        for (int64_t top : tops) {
            img want = v, got = v;
            ep::range_plain(want.data(), n, top);
            ep::range_vec(got.data(), n, top);
            EXPECT_EQ(got, want) << name << " top " << top;
        }
    });
}

// The rules themselves: threshold 30 with hysteresis 10, and the range of
// 12 MHz (12491 mm).
TEST(EpcChain, PlainFormsFollowThePixelRules)
{
    const img amp = {25, 19, 30, 2018, 2019, 2028, 2029, 25};
    img dist(amp.size(), 1000);
    std::vector<uint8_t> state = {1, 1, 0, 0, 1, 0, 1, 0};
    ep::minamp_hyst_plain(dist.data(), amp.data(), state.data(), amp.size(), 30, 10);
    EXPECT_EQ(state, (std::vector<uint8_t>{1, 0, 1, 1, 1, 0, 0, 0}));
    EXPECT_EQ(dist, (img{1000, 65300, 1000, 1000, 1000, 65300, 65300, 65300}));
    img d = {0, 100, 101, 12391, 12392, 60000, 60001, 65500};
    ep::range_plain(d.data(), d.size(), 12391);
    EXPECT_EQ(d, (img{65300, 65300, 101, 12391, 65300, 65300, 60001, 65500}));
}

} // namespace
