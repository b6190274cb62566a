// 16-bit neighbourhood filters: every median, box, flying-pixel and hole
// filler against slow references written from the pixel rules (clamped
// border), on random images of tiny, odd and full sizes; the vector forms
// against the plain forms on every instruction set this machine runs; OpenCV's
// median as an outside oracle; the edge cases grouped per filter.
#include <pylox/tq_filter.h>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imgproc/filters/filters_internal.h"
#include "imgproc/filters/median_net.h"
#include "support/log_capture.h"

#if defined(PYLOX_HAVE_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

namespace pylox::filt {
#include "imgproc/filters/median_apply-inl.h"
}

namespace {

using pylox_test::log_capture;
using img = std::vector<uint16_t>;

struct size2 {
    int32_t w, h;
};
const size2 kSizes[] = {{2, 2}, {3, 7}, {7, 3}, {5, 5}, {37, 9}, {70, 33}, {320, 240}};

enum class kind { full, ties, holes };

img random_img(size2 s, uint32_t seed, kind k)
{
    std::mt19937 rng(seed);
    img v(static_cast<std::size_t>(s.w) * s.h);
    for (auto &p : v) {
        const uint32_t r = rng();
        switch (k) {
        case kind::full:
            p = static_cast<uint16_t>(r);
            break;
        case kind::ties:
            p = static_cast<uint16_t>(r % 4 * 1000);
            break;
        case kind::holes: // a third holes (0 or "negative"), the rest distances
            p = static_cast<uint16_t>(r % 3 == 0 ? (r % 2 ? 0 : 0x8000 + (r >> 17))
                                                 : 1 + (r >> 8) % 30000);
            break;
        }
    }
    return v;
}

// Pixel (x, y) with the clamped border.
uint16_t px(const img &v, size2 s, int32_t x, int32_t y)
{
    x = std::clamp(x, 0, s.w - 1);
    y = std::clamp(y, 0, s.h - 1);
    return v[static_cast<std::size_t>(y) * s.w + x];
}

img ref_median(const img &src, size2 s, int32_t k)
{
    img out(src.size());
    std::vector<uint16_t> win;
    for (int32_t y = 0; y < s.h; ++y) {
        for (int32_t x = 0; x < s.w; ++x) {
            win.clear();
            for (int32_t dy = -k / 2; dy <= k / 2; ++dy) {
                for (int32_t dx = -k / 2; dx <= k / 2; ++dx) {
                    win.push_back(px(src, s, x + dx, y + dy));
                }
            }
            std::sort(win.begin(), win.end());
            out[static_cast<std::size_t>(y) * s.w + x] = win[win.size() / 2];
        }
    }
    return out;
}

// out(x, y) = f(n) where n(dx, dy) reads the clamped neighbour.
img ref_each(const img &src, size2 s,
             const std::function<uint16_t(std::function<int32_t(int, int)>)> &f)
{
    img out(src.size());
    for (int32_t y = 0; y < s.h; ++y) {
        for (int32_t x = 0; x < s.w; ++x) {
            out[static_cast<std::size_t>(y) * s.w + x] =
                f([&](int dx, int dy) { return int32_t{px(src, s, x + dx, y + dy)}; });
        }
    }
    return out;
}

// Largest signed neighbour of the window for holes; inplace reads the output.
img ref_fhole(const img &src, size2 s, int r, bool inplace)
{
    img out = src;
    const img &in = inplace ? out : src;
    for (int32_t y = 0; y < s.h; ++y) {
        for (int32_t x = 0; x < s.w; ++x) {
            if (static_cast<int16_t>(px(in, s, x, y)) > 0) {
                continue;
            }
            int best = INT16_MIN;
            for (int dy = -r; dy <= r; ++dy) {
                for (int dx = -r; dx <= r; ++dx) {
                    if (dx != 0 || dy != 0) {
                        best = std::max<int>(best, static_cast<int16_t>(px(in, s, x + dx, y + dy)));
                    }
                }
            }
            out[static_cast<std::size_t>(y) * s.w + x] = static_cast<uint16_t>(best);
        }
    }
    return out;
}

template <class F> img run(F f, const img &src, size2 s)
{
    img dst(src.size(), 0xBEEF);
    f(dst.data(), src.data(), s.w, s.h);
    return dst;
}

std::string where(size2 s, int k = 0)
{
    return std::to_string(s.w) + "x" + std::to_string(s.h) + (k ? " k" + std::to_string(k) : "");
}

// Runs body once on every instruction set Highway compiled and this CPU has.
void each_target(const std::function<void(const char *)> &body)
{
    for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(t);
        body(hwy::TargetName(t));
        EXPECT_STREQ(pylox::filt::vec_target_name(), hwy::TargetName(t));
    }
    hwy::SetSupportedTargetsForTest(0);
}

// --- medians -------------------------------------------------------------------

// Every 0/1 input at once, 64 per word (min = AND, max = OR): a min/max
// network selects the k-th value of every input iff it does so for 0/1 inputs.
TEST(Median, NetworksSelectTheMiddleOfEveryZeroOneInput)
{
    auto lo = [](uint64_t a, uint64_t b) { return a & b; };
    auto hi = [](uint64_t a, uint64_t b) { return a | b; };
    // Lanes: input index = (word << 6) | lane; bit i of the index feeds value i.
    uint64_t lane_bit[6];
    for (int i = 0; i < 6; ++i) {
        lane_bit[i] = 0;
        for (int l = 0; l < 64; ++l) {
            lane_bit[i] |= uint64_t{(l >> i) & 1u} << l;
        }
    }
    auto check = [&](int n, const std::function<uint64_t(uint64_t *)> &net) {
        uint64_t ones_at_least[8] = {}; // lanes whose own 6 bits hold >= t ones
        for (int t = 0; t < 8; ++t) {
            for (int l = 0; l < 64; ++l) {
                ones_at_least[t] |= uint64_t{__builtin_popcount(l) >= t} << l;
            }
        }
        for (uint64_t word = 0; word < (uint64_t{1} << (n - 6)); ++word) {
            uint64_t v[25];
            for (int i = 0; i < n; ++i) {
                v[i] = i < 6 ? lane_bit[i] : ((word >> (i - 6)) & 1 ? ~uint64_t{0} : 0);
            }
            // The median is 1 iff at least n/2 + 1 of the n values are 1.
            const int need = n / 2 + 1 - __builtin_popcountll(word);
            const uint64_t expect = need <= 0 ? ~uint64_t{0} : (need > 6 ? 0 : ones_at_least[need]);
            const uint64_t got = net(v);
            ASSERT_EQ(got, expect) << "n=" << n << " word " << word;
        }
    };
    check(9, [&](uint64_t *v) {
        return pylox::filt::median9(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], lo, hi);
    });
    check(25, [&](uint64_t *v) { return pylox::filt::median25(v, lo, hi); });
    EXPECT_LE(pylox::filt::kMedian25.count, 120u); // about 100 compare-exchanges
}

TEST(Median, EveryKernelEqualsSortingTheWindow)
{
    for (size2 s : kSizes) {
        for (kind k : {kind::full, kind::ties}) {
            const img src = random_img(s, static_cast<uint32_t>(s.w * 131 + s.h), k);
            const img m3 = ref_median(src, s, 3);
            const img m5 = ref_median(src, s, 5);
            EXPECT_EQ(run(tq_median2d_u16_k3, src, s), m3) << where(s, 3);
            EXPECT_EQ(run(tq_median2d_u16_k5, src, s), m5) << where(s, 5);
            EXPECT_EQ(run(pylox::filt::median3_plain, src, s), m3) << where(s, 3);
            EXPECT_EQ(run(pylox::filt::median5_plain, src, s), m5) << where(s, 5);
            for (int32_t ksize : {3, 5, 7, 9, 15}) {
                if (ksize >= 2 * std::min(s.w, s.h) || (s.w * s.h > 5000 && ksize > 7)) {
                    continue;
                }
                auto generic = [ksize](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                    tq_median2d_u16(d, p, w, h, ksize);
                };
                EXPECT_EQ(run(generic, src, s), ref_median(src, s, ksize)) << where(s, ksize);
            }
        }
    }
}

TEST(Median, VectorFormsMatchThePlainFormOnEveryInstructionSet)
{
    const size2 sizes[] = {{2, 2},  {3, 7},  {17, 4},  {33, 5},
                           {64, 3}, {65, 6}, {600, 4}, {320, 240}};
    each_target([&](const char *name) {
        for (size2 s : sizes) {
            const img src = random_img(s, 7, kind::full);
            EXPECT_EQ(run(pylox::filt::median3_vec, src, s),
                      run(pylox::filt::median3_plain, src, s))
                << name << " " << where(s);
            EXPECT_EQ(run(pylox::filt::median5_vec, src, s),
                      run(pylox::filt::median5_plain, src, s))
                << name << " " << where(s);
        }
    });
}

#if defined(PYLOX_HAVE_OPENCV)
TEST(Median, EqualsOpenCvMedianBlurWithReplicatedBorder)
{
    for (size2 s : {size2{320, 240}, size2{37, 9}, size2{6, 5}}) {
        const img src = random_img(s, 11, kind::full);
        cv::Mat in(s.h, s.w, CV_16UC1, const_cast<uint16_t *>(src.data()));
        for (int k : {3, 5}) {
            cv::Mat out;
            cv::medianBlur(in, out, k);
            const img expect(out.ptr<uint16_t>(), out.ptr<uint16_t>() + src.size());
            auto ours = k == 3 ? run(tq_median2d_u16_k3, src, s) : run(tq_median2d_u16_k5, src, s);
            EXPECT_EQ(ours, expect) << where(s, k);
        }
    }
}
#endif

TEST(Median, EdgeCases)
{
    log_capture log(TQ_LOG_ERR);
    const size2 s{9, 8};
    // A constant image is unchanged; a lone 0 in a field of 1000 disappears.
    img flat(72, 1000);
    img dip = flat;
    dip[4 * 9 + 4] = 0;
    for (int32_t k : {3, 5, 7, 9, 11, 15}) {
        auto f = [k](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
            tq_median2d_u16(d, p, w, h, k);
        };
        EXPECT_EQ(run(f, flat, s), flat) << k;
        EXPECT_EQ(run(f, dip, s), flat) << k;
    }
    // The 5x5 window at the right edge counts column w-1 three times: 15 of
    // 25 values there, 10 one column further in.
    img edge(72, 0);
    for (int32_t y = 0; y < 8; ++y) {
        edge[y * 9 + 8] = 9;
    }
    const img m5 = run(tq_median2d_u16_k5, edge, s);
    EXPECT_EQ(m5[3 * 9 + 8], 9);
    EXPECT_EQ(m5[3 * 9 + 7], 0);

    // Wrong sizes and kernels: a message and an untouched output.
    const img src(16, 5);
    for (size2 bad : {size2{1, 16}, size2{16, 1}, size2{0, 5}}) {
        for (auto fn : {tq_median2d_u16_k3, tq_median2d_u16_k5}) {
            EXPECT_EQ(run(fn, src, bad), img(16, 0xBEEF));
        }
    }
    EXPECT_EQ(log.count("[tq_median2d_u16_k3]  wrong parameter:w/h=1/16"), 1);
    EXPECT_EQ(log.count("[tq_median2d_u16_k5]  wrong parameter:w/h=16/1"), 1);
    log.clear();
    const img big(100, 5);
    for (int32_t k : {1, 2, 4, 0, -3, 10, 11, 13}) {
        img dst(100, 0xBEEF);
        tq_median2d_u16(dst.data(), big.data(), 20, 5, k); // 2*min(w, h) = 10
        EXPECT_EQ(dst, img(100, 0xBEEF)) << k;
        EXPECT_EQ(
            log.count("[tq_median2d_u16]  wrong parameter:w/h/kernel=20/5/" + std::to_string(k)), 1)
            << k;
    }
    img dst(16, 0xBEEF);
    tq_median2d_u16(dst.data(), src.data(), 1, 16, 3);
    tq_median2d_u16(dst.data(), src.data(), 16, 1, 5);
    EXPECT_EQ(dst, img(16, 0xBEEF));
    EXPECT_EQ(log.count("[tq_median2d_u16_k3]  wrong parameter:w/h=1/16"), 1);
    EXPECT_EQ(log.count("[tq_median2d_u16_k5]  wrong parameter:w/h=16/1"), 1);
}

// --- box, Gaussian 3x3, flying pixel ---------------------------------------------

TEST(Spatial, BoxGaussAndFlyingPixelFollowThePixelRules)
{
    auto box = [](auto n) {
        uint32_t sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                sum += (dx || dy) ? n(dx, dy) : 0;
        return static_cast<uint16_t>(sum >> 3);
    };
    auto gauss = [](auto n) {
        uint32_t sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                sum += static_cast<uint32_t>(n(dx, dy) << (2 - std::abs(dx) - std::abs(dy)));
        return static_cast<uint16_t>(sum >> 4);
    };
    auto flypix = [](uint32_t thr) {
        return [thr](auto n) {
            auto q = [&](int dx, int dy) { return n(dx, dy) / 4; };
            const int32_t gx = q(1, -1) + q(1, 1) + 2 * (q(1, 0) - q(-1, 0)) - q(-1, -1) - q(-1, 1);
            const int32_t gy = q(-1, 1) + q(1, 1) + 2 * (q(0, 1) - q(0, -1)) - q(-1, -1) - q(1, -1);
            const uint64_t g2 =
                (uint64_t{uint32_t(gx)} * uint32_t(gx) + uint64_t{uint32_t(gy)} * uint32_t(gy)) &
                0xFFFFFFFFu;
            return static_cast<uint16_t>(g2 <= (thr >> 4) ? n(0, 0) : 0);
        };
    };
    // On every instruction set: the vector forms have no other reference.
    const size2 sizes[] = {{2, 2}, {3, 7}, {7, 3}, {17, 5}, {70, 33}, {320, 240}};
    const uint32_t thresholds[] = {0u, 15u, 16u, 100000u, 50000000u, 0xFFFFFFFFu};
    struct expected {
        img src, box, gauss, fly[6];
    };
    std::vector<expected> cases;
    for (size2 s : sizes) {
        for (kind k : {kind::full, kind::ties}) {
            expected e;
            e.src = random_img(s, static_cast<uint32_t>(s.w + 7 * s.h), k);
            e.box = ref_each(e.src, s, box);
            e.gauss = ref_each(e.src, s, gauss);
            for (int t = 0; t < 6; ++t) {
                e.fly[t] = ref_each(e.src, s, flypix(thresholds[t]));
            }
            cases.push_back(std::move(e));
        }
    }
    each_target([&](const char *name) {
        std::size_t i = 0;
        for (size2 s : sizes) {
            for (int k = 0; k < 2; ++k, ++i) {
                const expected &e = cases[i];
                EXPECT_EQ(run(tq_box2d_u16_k3, e.src, s), e.box) << name << " " << where(s);
                EXPECT_EQ(run(tq_gauss2d_u16_k3, e.src, s), e.gauss) << name << " " << where(s);
                for (int t = 0; t < 6; ++t) {
                    const uint32_t thr = thresholds[t];
                    auto f = [thr](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                        tq_flypix_u16_k3(d, p, w, h, thr);
                    };
                    EXPECT_EQ(run(f, e.src, s), e.fly[t])
                        << name << " " << where(s) << " thr " << thr;
                }
            }
        }
    });
}

TEST(Spatial, EdgeCases)
{
    const size2 s{6, 5};
    const img flat(30, 4321);
    EXPECT_EQ(run(tq_box2d_u16_k3, flat, s), flat);
    EXPECT_EQ(run(tq_gauss2d_u16_k3, flat, s), flat);
    // thr 0..15 keeps only pixels whose quartered neighbourhood is flat: a
    // step of 2 vanishes in the quartering (4321/4 == 4323/4), one of 4 not.
    img step = flat;
    step[2 * 6 + 5] = 4323;
    img step4 = flat;
    step4[2 * 6 + 5] = 4325;
    auto fly15 = [](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
        tq_flypix_u16_k3(d, p, w, h, 15);
    };
    EXPECT_EQ(run(fly15, step, s), step);
    const img out = run(fly15, step4, s);
    EXPECT_EQ(out[2 * 6 + 4], 0); // left neighbour of the step
    EXPECT_EQ(out[2 * 6 + 5], 0); // the step itself: its right neighbour is itself
    EXPECT_EQ(out[2 * 6 + 3], 4321);
    EXPECT_EQ(out[1 * 6 + 4], 0); // above and below: the diagonals see it
    EXPECT_EQ(out[0], 4321);

    log_capture log(TQ_LOG_ERR);
    const img src(16, 5);
    auto fly = [](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
        tq_flypix_u16_k3(d, p, w, h, 99);
    };
    for (size2 bad : {size2{1, 16}, size2{16, 1}}) {
        EXPECT_EQ(run(tq_box2d_u16_k3, src, bad), img(16, 0xBEEF));
        EXPECT_EQ(run(tq_gauss2d_u16_k3, src, bad), img(16, 0xBEEF));
        EXPECT_EQ(run(fly, src, bad), img(16, 0xBEEF));
    }
    EXPECT_EQ(log.count("[tq_box2d_u16_k3]  wrong parameter:w/h=1/16"), 1);
    EXPECT_EQ(log.count("[tq_gauss2d_u16_k3]  wrong parameter:w/h=16/1"), 1);
    EXPECT_EQ(log.count("[tq_flypix_u16_k3]  wrong parameter:w/h=1/16"), 1);
}

// --- hole fillers ------------------------------------------------------------------

TEST(HoleFill, WindowFillersTakeTheLargestSignedNeighbour)
{
    for (size2 s : kSizes) {
        const img src = random_img(s, static_cast<uint32_t>(s.w * s.h), kind::holes);
        for (int inplace : {0, 1}) {
            auto k3 = [inplace](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                tq_fhole_u16_k3(d, p, w, h, inplace);
            };
            auto k5 = [inplace](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                tq_fhole_u16_k5(d, p, w, h, inplace);
            };
            EXPECT_EQ(run(k3, src, s), ref_fhole(src, s, 1, inplace)) << where(s) << inplace;
            EXPECT_EQ(run(k5, src, s), ref_fhole(src, s, 2, inplace)) << where(s) << inplace;
            // Same buffer for both.
            img same = src;
            tq_fhole_u16_k3(same.data(), same.data(), s.w, s.h, inplace);
            EXPECT_EQ(same, ref_fhole(src, s, 1, true)) << where(s) << inplace;
        }
    }
}

// From a separate input the window fillers run as vector forms: every
// instruction set gives the reference's result.
TEST(HoleFill, VectorFormsMatchTheReferenceOnEveryInstructionSet)
{
    each_target([&](const char *name) {
        for (size2 s : kSizes) {
            const img src = random_img(s, static_cast<uint32_t>(s.w + s.h), kind::holes);
            EXPECT_EQ(run(pylox::filt::fhole3_vec, src, s), ref_fhole(src, s, 1, false))
                << name << " " << where(s);
            EXPECT_EQ(run(pylox::filt::fhole5_vec, src, s), ref_fhole(src, s, 2, false))
                << name << " " << where(s);
        }
    });
}

// The distance-transform filler keeps every filled pixel, and fills a hole
// with a value the image held, taken from a neighbour chosen by the tie rules.
TEST(HoleFill, DistanceTransformFillsFromTheNearestNeighbour)
{
    for (size2 s : kSizes) {
        const img src = random_img(s, 3, kind::holes);
        const img out = run(tq_fhole_u16_edt3, src, s);
        for (std::size_t i = 0; i < src.size(); ++i) {
            if (static_cast<int16_t>(src[i]) > 0) {
                ASSERT_EQ(out[i], src[i]) << where(s) << " at " << i;
            } else {
                ASSERT_NE(std::find(src.begin(), src.end(), out[i]), src.end())
                    << where(s) << " at " << i;
            }
        }
    }
    // Tie rules, worked by hand on 3x3 images (raster order, clamped border).
    auto fill = [](img v) {
        tq_fhole_u16_edt3(v.data(), v.data(), 3, 3);
        return v;
    };
    // Everything filled around the hole: all distances tie, up-left wins.
    EXPECT_EQ(fill({1, 2, 3, 4, 0, 6, 7, 8, 9})[4], 1);
    // Only the bottom row filled: the top row has nothing near and copies its
    // (clamped) up-left neighbour, a hole; the middle row takes the
    // down-left pixel, since down-right wins only when nearer and up/down
    // only when nearer than both diagonals.
    EXPECT_EQ(fill({0, 0, 0, 0, 0, 0, 7, 8, 9}), img({0, 0, 0, 7, 7, 8, 7, 8, 9}));
    // Only the pixel below filled: straight down beats the diagonal holes.
    EXPECT_EQ(fill({0, 0, 0, 0, 0, 0, 0, 8, 0})[4], 8);
    // Only the left and right neighbours filled: left wins the tie.
    EXPECT_EQ(fill({0, 0, 0, 4, 0, 6, 0, 0, 0})[4], 4);
    EXPECT_EQ(fill(img(9, 0)), img(9, 0));
}

TEST(HoleFill, EdgeCases)
{
    const size2 s{7, 6};
    img dip(42, 1000);
    dip[3 * 7 + 3] = 0;
    img sat = dip;
    sat[3 * 7 + 3] = 65535; // signed -1: a hole
    const img field(42, 1000);
    for (const img *src : {&dip, &sat}) {
        for (int inplace : {0, 1}) {
            auto k3 = [inplace](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                tq_fhole_u16_k3(d, p, w, h, inplace);
            };
            auto k5 = [inplace](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                tq_fhole_u16_k5(d, p, w, h, inplace);
            };
            EXPECT_EQ(run(k3, *src, s), field);
            EXPECT_EQ(run(k5, *src, s), field);
        }
        EXPECT_EQ(run(tq_fhole_u16_edt3, *src, s), field);
    }
    // All holes stay holes (the signed maximum of non-positive values).
    img holes(42);
    for (std::size_t i = 0; i < holes.size(); ++i) {
        holes[i] = static_cast<uint16_t>(i % 2 ? 0 : 0x8000 + i);
    }
    for (auto f : {tq_fhole_u16_k3, tq_fhole_u16_k5}) {
        img dst(42);
        f(dst.data(), holes.data(), s.w, s.h, 0);
        for (uint16_t v : dst) {
            EXPECT_LE(static_cast<int16_t>(v), 0);
        }
    }

    log_capture log(TQ_LOG_ERR);
    const img src(16, 5);
    auto k3 = [](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
        tq_fhole_u16_k3(d, p, w, h, 1);
    };
    auto k5 = [](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
        tq_fhole_u16_k5(d, p, w, h, 0);
    };
    for (size2 bad : {size2{1, 16}, size2{16, 1}}) {
        EXPECT_EQ(run(k3, src, bad), img(16, 0xBEEF));
        EXPECT_EQ(run(k5, src, bad), img(16, 0xBEEF));
        EXPECT_EQ(run(tq_fhole_u16_edt3, src, bad), img(16, 0xBEEF));
    }
    EXPECT_EQ(log.count("[tq_fhole_u16_k3]  wrong parameter:w/h=1/16"), 1);
    EXPECT_EQ(log.count("[tq_fhole_u16_k5]  wrong parameter:w/h=16/1"), 1);
    EXPECT_EQ(log.count("[tq_fhole_u16_edt3]  wrong parameter:w/h=1/16"), 1);
}

// A missing buffer is refused with a message instead of read or written.
TEST(Filters, MissingBuffersAreRefused)
{
    log_capture log(TQ_LOG_ERR);
    img buf(64, 1000);
    const std::function<void(uint16_t *, const uint16_t *)> calls[] = {
        [](uint16_t *d, const uint16_t *p) { tq_median2d_u16_k3(d, p, 8, 8); },
        [](uint16_t *d, const uint16_t *p) { tq_median2d_u16_k5(d, p, 8, 8); },
        [](uint16_t *d, const uint16_t *p) { tq_median2d_u16(d, p, 8, 8, 7); },
        [](uint16_t *d, const uint16_t *p) { tq_box2d_u16_k3(d, p, 8, 8); },
        [](uint16_t *d, const uint16_t *p) { tq_gauss2d_u16_k3(d, p, 8, 8); },
        [](uint16_t *d, const uint16_t *p) { tq_flypix_u16_k3(d, p, 8, 8, 100); },
        [](uint16_t *d, const uint16_t *p) { tq_fhole_u16_k3(d, p, 8, 8, 1); },
        [](uint16_t *d, const uint16_t *p) { tq_fhole_u16_k5(d, p, 8, 8, 0); },
        [](uint16_t *d, const uint16_t *p) { tq_fhole_u16_edt3(d, p, 8, 8); },
    };
    for (const auto &call : calls) {
        call(buf.data(), nullptr);
        call(nullptr, buf.data());
    }
    EXPECT_EQ(buf, img(64, 1000));
    EXPECT_EQ(log.count("  wrong parameter:dst="), 18);
}

} // namespace
