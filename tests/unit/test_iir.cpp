// Recursive filters: the Gaussian and the bilateral filter against direct
// double-precision evaluations of their recursions, the vector column passes
// against the plain ones bit for bit on every instruction set this machine
// runs, and the edge cases of both.
#include <pylox/tq_cmap.h>
#include <pylox/tq_filter.h>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imgproc/filters/filters_internal.h"
#include "support/log_capture.h"

namespace {

using pylox::filt::iir_coef;
using pylox_test::log_capture;

struct size2 {
    int32_t w, h;
};
const size2 kSizes[] = {{1, 1}, {2, 2},   {3, 7},  {7, 3},    {1, 9},
                        {9, 1}, {37, 11}, {6, 23}, {320, 240}};

std::string where(size2 s)
{
    return std::to_string(s.w) + "x" + std::to_string(s.h);
}

template <class T> std::vector<T> random_img(size2 s, uint32_t seed, uint32_t range)
{
    std::mt19937 rng(seed);
    std::vector<T> v(static_cast<std::size_t>(s.w) * s.h);
    for (auto &p : v) {
        p = static_cast<T>(rng() % range);
    }
    return v;
}

void each_target(const std::function<void(const char *)> &body)
{
    for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(t);
        body(hwy::TargetName(t));
    }
    hwy::SetSupportedTargetsForTest(0);
}

// --- recursive Gaussian ------------------------------------------------------------

// One line, causal then anti-causal, in double.
void ref_line(std::vector<double> &v, const iir_coef &c)
{
    const std::size_t n = v.size();
    std::vector<double> y(n + 3), z(n + 3);
    y[0] = y[1] = y[2] = v[0];
    for (std::size_t i = 0; i < n; ++i) {
        y[i + 3] = c.b * v[i] + c.a1 * y[i + 2] + c.a2 * y[i + 1] + c.a3 * y[i];
    }
    z[n] = z[n + 1] = z[n + 2] = y[n + 2];
    for (std::size_t i = n; i-- > 0;) {
        z[i] = c.b * y[i + 3] + c.a1 * z[i + 1] + c.a2 * z[i + 2] + c.a3 * z[i + 3];
    }
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = z[i];
    }
}

std::vector<double> ref_gauss(const std::vector<float> &src, size2 s, float sigma)
{
    const iir_coef c = pylox::filt::gauss_iir_coef(sigma);
    std::vector<double> img(src.begin(), src.end());
    std::vector<double> line;
    for (int32_t y = 0; y < s.h; ++y) {
        line.assign(img.begin() + y * s.w, img.begin() + (y + 1) * s.w);
        ref_line(line, c);
        std::copy(line.begin(), line.end(), img.begin() + y * s.w);
    }
    for (int32_t x = 0; x < s.w; ++x) {
        line.resize(s.h);
        for (int32_t y = 0; y < s.h; ++y) {
            line[y] = img[y * s.w + x];
        }
        ref_line(line, c);
        for (int32_t y = 0; y < s.h; ++y) {
            img[y * s.w + x] = line[y];
        }
    }
    return img;
}

TEST(GaussIir, CoefficientsFollowYoungAndVanVliet)
{
    const iir_coef fixed{0.84029317f, 0.170402f, -0.011035039f, 0.00033983588f};
    for (float sigma : {0.49f, 0.0f, -3.0f, NAN}) {
        const iir_coef c = pylox::filt::gauss_iir_coef(sigma);
        EXPECT_EQ(std::memcmp(&c, &fixed, sizeof c), 0) << sigma;
    }
    // At 2.5 the linear form of q applies: q = 0.98711 * 2.5 - 0.9633.
    const double q = 0.98711 * 2.5 - 0.9633;
    const double b0 = 1.57825 + 2.44413 * q + 1.4281 * q * q + 0.422205 * q * q * q;
    EXPECT_FLOAT_EQ(pylox::filt::gauss_iir_coef(2.5f).a3,
                    static_cast<float>(0.422205 * q * q * q / b0));
    // Unit gain for a constant signal, at every sigma.
    for (float sigma : {0.5f, 0.8f, 1.0f, 2.49f, 2.5f, 4.0f, 20.0f}) {
        const iir_coef c = pylox::filt::gauss_iir_coef(sigma);
        EXPECT_NEAR(double{c.b} + c.a1 + c.a2 + c.a3, 1.0, 1e-6) << sigma;
    }
}

TEST(GaussIir, MatchesTheRecursionInDoublePrecision)
{
    for (size2 s : kSizes) {
        const auto src = random_img<float>(s, static_cast<uint32_t>(s.w * 7 + s.h), 5000);
        for (float sigma : {0.3f, 1.0f, 2.5f, 6.0f}) {
            const auto ref = ref_gauss(src, s, sigma);
            std::vector<float> dst(src.size());
            tq_gauss2d_iir_f32(dst.data(), src.data(), s.w, s.h, sigma);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                ASSERT_NEAR(dst[i], ref[i], 5000 * 1e-5)
                    << where(s) << " sigma " << sigma << " at " << i;
            }
            // In place gives the same, and the u16 form truncates the same values.
            std::vector<float> same = src;
            tq_gauss2d_iir_f32(same.data(), same.data(), s.w, s.h, sigma);
            EXPECT_EQ(same, dst);
            std::vector<uint16_t> src16(src.begin(), src.end()), dst16(src.size()),
                expect16(src.size());
            tq_gauss2d_iir_u16(dst16.data(), src16.data(), s.w, s.h, sigma);
            tq_conv_f32_u16(expect16.data(), dst.data(), static_cast<int32_t>(dst.size()), 1.0f);
            EXPECT_EQ(dst16, expect16) << where(s);
        }
    }
}

TEST(GaussIir, VectorPassesMatchThePlainPassesOnEveryInstructionSet)
{
    const iir_coef c = pylox::filt::gauss_iir_coef(1.7f);
    each_target([&](const char *name) {
        for (size2 s : kSizes) {
            const auto src = random_img<float>(s, 5, 60000);
            auto vec = src, plain = src;
            pylox::filt::gauss_iir_cols_vec(vec.data(), s.w, s.h, c);
            pylox::filt::gauss_iir_cols_plain(plain.data(), s.w, s.h, c);
            EXPECT_EQ(std::memcmp(vec.data(), plain.data(), vec.size() * sizeof(float)), 0)
                << name << " columns " << where(s);
            std::vector<float> block(pylox::filt::kGaussBlockRows * s.w);
            const int32_t done =
                pylox::filt::gauss_iir_rows_vec(vec.data(), src.data(), s.w, s.h, c, block.data());
            EXPECT_GE(done, s.h / 4 * 4) << name; // at least the rows blocks of four can take
            EXPECT_LE(done, s.h) << name;
            pylox::filt::gauss_iir_rows(vec.data(), src.data(), s.w, s.h, c, done);
            pylox::filt::gauss_iir_rows(plain.data(), src.data(), s.w, s.h, c);
            EXPECT_EQ(std::memcmp(vec.data(), plain.data(), vec.size() * sizeof(float)), 0)
                << name << " rows " << where(s);
        }
    });
}

TEST(GaussIir, EdgeCases)
{
    const size2 s{13, 8};
    const std::vector<uint16_t> flat(104, 1234);
    std::vector<uint16_t> out(104);
    for (float sigma : {0.1f, 1.0f, 3.0f}) {
        tq_gauss2d_iir_u16(out.data(), flat.data(), s.w, s.h, sigma);
        for (uint16_t v : out) {
            ASSERT_NEAR(v, 1234, 1) << sigma;
        }
    }
    // The size-checked forms: equal sizes filter, different sizes do nothing.
    log_capture log(TQ_LOG_ERR);
    const auto src = random_img<float>(s, 1, 1000);
    std::vector<float> a(104, -1.0f), b(104, -1.0f);
    tq_gauss2d_iir_f32(a.data(), src.data(), s.w, s.h, 2.0f);
    gauss2d_iir_f32(b.data(), s.h, s.w, src.data(), s.h, s.w, 2.0f);
    EXPECT_EQ(a, b);
    std::vector<float> untouched(104, -1.0f);
    gauss2d_iir_f32(untouched.data(), s.w, s.h, src.data(), s.h, s.w, 2.0f);
    EXPECT_EQ(untouched, std::vector<float>(104, -1.0f));
    EXPECT_EQ(log.count("[gauss2d_iir_f32] wrong parameter: src wxh = 13x8, dst wxh = 8x13"), 1);
    std::vector<uint16_t> u16(104, 7);
    gauss2d_iir_u16(u16.data(), s.h, s.w + 1, flat.data(), s.h, s.w, 2.0f);
    EXPECT_EQ(u16, std::vector<uint16_t>(104, 7));
    EXPECT_EQ(log.count("[gauss2d_iir_u16] wrong parameter: src wxh = 13x8, dst wxh = 14x8"), 1);
    gauss2d_iir_u16(u16.data(), s.h, s.w, flat.data(), s.h, s.w, 2.0f);
    EXPECT_NE(u16, std::vector<uint16_t>(104, 7));
    // Empty or missing images are refused instead of read.
    tq_gauss2d_iir_f32(a.data(), src.data(), 0, 5, 1.0f);
    tq_gauss2d_iir_u16(u16.data(), nullptr, 13, 8, 1.0f);
    EXPECT_EQ(log.count("wrong parameter: dst="), 2);
}

// --- recursive bilateral filter -------------------------------------------------------

struct bpf {
    tq_bpf2d_iir_t st{};
    bpf(size2 s, float ss, float sr, uint32_t lo, uint32_t hi)
    {
        EXPECT_EQ(tq_bpf2d_iir_init(&st, s.w, s.h, ss, sr, lo, hi), 1);
    }
    ~bpf() { tq_bpf2d_iir_uninit(&st); }
};

// The filter's recursions in double, with the state's weight table.
std::vector<double> ref_bpf(const tq_bpf2d_iir_t &st, const std::vector<uint16_t> &src)
{
    const int32_t w = st.width, h = st.height;
    const int32_t lo = static_cast<int32_t>(st.range_min), hi = static_cast<int32_t>(st.range_max);
    auto weight = [&](double alpha, int32_t p, int32_t q) {
        const int32_t d = std::max(std::min(std::abs(p - q), hi), lo);
        return alpha * st.range_lut[d - lo];
    };
    auto I = [&](int32_t x, int32_t y) { return int32_t{src[y * w + x]}; };
    std::vector<double> sum(src.size()), norm(src.size()), out(src.size());
    const double ah = st.alpha_h, av = st.alpha_v;
    for (int32_t y = 0; y < h; ++y) {
        std::vector<double> f(w), nf(w), g(w), ng(w);
        f[0] = I(0, y);
        nf[0] = 1;
        for (int32_t x = 1; x < w; ++x) {
            const double wt = weight(ah, I(x - 1, y), I(x, y));
            f[x] = wt * f[x - 1] + (1 - ah) * I(x, y);
            nf[x] = wt * nf[x - 1] + (1 - ah);
        }
        g[w - 1] = I(w - 1, y);
        ng[w - 1] = 1;
        for (int32_t x = w - 2; x >= 0; --x) {
            const double wt = weight(ah, I(x, y), I(x + 1, y));
            g[x] = wt * g[x + 1] + (1 - ah) * I(x, y);
            ng[x] = wt * ng[x + 1] + (1 - ah);
        }
        for (int32_t x = 0; x < w; ++x) {
            sum[y * w + x] = f[x] + g[x];
            norm[y * w + x] = nf[x] + ng[x];
        }
    }
    const double l = 1 / (1 - av);
    for (int32_t x = 0; x < w; ++x) {
        std::vector<double> s(h), n(h), t(h), m(h);
        s[0] = sum[x] * l;
        n[0] = norm[x] * l;
        for (int32_t y = 1; y < h; ++y) {
            const double wv = weight(av, I(x, y - 1), I(x, y));
            s[y] = wv * s[y - 1] + sum[y * w + x];
            n[y] = wv * n[y - 1] + norm[y * w + x];
        }
        t[h - 1] = sum[(h - 1) * w + x] * l;
        m[h - 1] = norm[(h - 1) * w + x] * l;
        for (int32_t y = h - 2; y >= 0; --y) {
            const double wv = weight(av, I(x, y), I(x, y + 1));
            t[y] = wv * t[y + 1] + sum[y * w + x];
            m[y] = wv * m[y + 1] + norm[y * w + x];
        }
        for (int32_t y = 0; y < h; ++y) {
            out[y * w + x] = (s[y] + t[y]) / (n[y] + m[y]);
        }
    }
    return out;
}

TEST(Bpf, MatchesTheRecursionInDoublePrecision)
{
    struct setup {
        float ss, sr;
        uint32_t lo, hi;
    };
    for (size2 s : kSizes) {
        for (setup p : {setup{0.02f, 0.1f, 0, 4096}, setup{0.2f, 0.05f, 100, 3000}}) {
            bpf f(s, p.ss, p.sr, p.lo, p.hi);
            // Distances with steps, some beyond the value range.
            auto src = random_img<uint16_t>(s, static_cast<uint32_t>(s.w + s.h), 600);
            for (std::size_t i = 0; i < src.size(); ++i) {
                src[i] = static_cast<uint16_t>(src[i] + (i % 23 < 9 ? 1500 : 0) +
                                               (i % 97 == 0 ? 9000 : 0));
            }
            std::vector<uint16_t> dst(src.size());
            tq_bpf2d_iir(&f.st, dst.data(), src.data(), s.w, s.h);
            const auto ref = ref_bpf(f.st, src);
            for (std::size_t i = 0; i < dst.size(); ++i) {
                ASSERT_NEAR(dst[i], std::floor(ref[i]), 1) << where(s) << " at " << i;
            }
        }
    }
}

TEST(Bpf, VectorPassesMatchThePlainPassesOnEveryInstructionSet)
{
    each_target([&](const char *name) {
        for (size2 s : kSizes) {
            bpf f(s, 0.02f, 0.1f, 0, 4096);
            const auto src = random_img<uint16_t>(s, 9, 5000);
            std::vector<uint16_t> vec(src.size()), plain(src.size());
            tq_bpf2d_iir(&f.st, vec.data(), src.data(), s.w, s.h);
            f.st.dst = plain.data();
            pylox::filt::bpf_horizontal_plain(&f.st, src.data(), 0);
            _bpf2d_vertical_norm(&f.st, src.data(), 0);
            EXPECT_EQ(vec, plain) << name << " " << where(s);
        }
    });
}

// Depth-like images: a tilted surface with noise, so that neighbours mostly
// differ by less than 256 (weights read from the table kept in registers on
// AVX-512) and, with the lower noise, whole vectors by less than 32 (the
// registers of AVX2), plus edges and outliers (weights gathered), for value
// ranges whose table holds 4097, 2901, 201 and 21 entries (the last two too
// short for the registers of AVX-512, the last one for those of AVX2): the
// vector passes give the plain result on every instruction set.
TEST(Bpf, SmoothImagesWithEdgesMatchThePlainPassesOnEveryInstructionSet)
{
    struct setup {
        uint32_t lo, hi;
    };
    const size2 s{320, 240};
    for (double sd : {25.0, 4.0}) {
        std::mt19937 rng(31);
        std::normal_distribution<double> noise(0.0, sd);
        std::vector<uint16_t> src(static_cast<std::size_t>(s.w) * s.h);
        for (int32_t y = 0; y < s.h; ++y) {
            for (int32_t x = 0; x < s.w; ++x) {
                const bool box = x >= 100 && x < 180 && y >= 60 && y < 150;
                const double v = box ? 900.0 : 1200.0 + 6.0 * x + 2.0 * y;
                src[static_cast<std::size_t>(y) * s.w + x] = static_cast<uint16_t>(
                    (x * 7 + y * 13) % 211 == 0 ? 65300 : std::lround(v + noise(rng)));
            }
        }
        each_target([&](const char *name) {
            for (setup p : {setup{0, 4096}, setup{100, 3000}, setup{1000, 1200}, setup{0, 20}}) {
                bpf f(s, 0.02f, 0.1f, p.lo, p.hi);
                std::vector<uint16_t> vec(src.size()), plain(src.size());
                tq_bpf2d_iir(&f.st, vec.data(), src.data(), s.w, s.h);
                f.st.dst = plain.data();
                pylox::filt::bpf_horizontal_plain(&f.st, src.data(), 0);
                _bpf2d_vertical_norm(&f.st, src.data(), 0);
                EXPECT_EQ(vec, plain) << name << " noise " << sd << " " << p.lo << ".." << p.hi;
            }
        });
    }
}

TEST(Bpf, InitBuildsTheTablesAndRefusesWhatItCannotServe)
{
    log_capture log(TQ_LOG_ERR);
    tq_bpf2d_iir_t st;
    std::memset(&st, 0x5A, sizeof st);
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 40961, 240, 0.02f, 0.1f, 0, 4096), 0);
    EXPECT_EQ(log.count("[tq_bpf2d_iir_init] wrong image width or height: w=40961, h=240"), 1);
    tq_bpf2d_iir_t zero{};
    EXPECT_EQ(std::memcmp(&st, &zero, sizeof st), 0);

    ASSERT_EQ(tq_bpf2d_iir_init(&st, 320, 240, 0.02f, 0.1f, 0x10000, 0x11000), 1); // low 16 bits
    EXPECT_EQ(st.range_count, 4097u);
    EXPECT_EQ(st.range_lut[0], 1.0f);
    EXPECT_NEAR(st.range_lut[4096], std::exp(-4096.0 / 409.7), 1e-6);
    EXPECT_NEAR(st.alpha_h, std::exp(-std::sqrt(2.0) / 6.4), 1e-6);
    EXPECT_NEAR(st.alpha_v, std::exp(-std::sqrt(2.0) / 4.8), 1e-6);
    tq_bpf2d_iir_uninit(&st);
    EXPECT_EQ(std::memcmp(&st, &zero, sizeof st), 0);
    tq_bpf2d_iir_uninit(nullptr);

    // An inverted range would wrap the table size; sigmas that are not
    // positive numbers would make every weight NaN; an empty image has nothing.
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 320, 240, 0.02f, 0.1f, 4096, 0), 0);
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 320, 240, 0.02f, 0.0f, 0, 4096), 0);
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 320, 240, -1.0f, 0.1f, 0, 4096), 0);
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 320, 240, NAN, 0.1f, 0, 4096), 0);
    EXPECT_EQ(tq_bpf2d_iir_init(&st, 0, 240, 0.02f, 0.1f, 0, 4096), 0);
    EXPECT_EQ(log.count("[tq_bpf2d_iir_init] wrong parameters:"), 5);
    EXPECT_EQ(std::memcmp(&st, &zero, sizeof st), 0);
}

// The horizontal weights come from the input: norm_img depends on nothing else.
TEST(Bpf, RangeWeightsAreLimitedToTheValueRange)
{
    const size2 s{2, 1};
    bpf f(s, 0.5f, 0.1f, 100, 4096);
    auto norm_of = [&](uint16_t a, uint16_t b) {
        const uint16_t src[2] = {a, b};
        _bpf2d_horizontal(&f.st, src);
        return f.st.norm_img[0];
    };
    // Beyond range_max: the weight of range_max.
    EXPECT_EQ(norm_of(0, 5000), norm_of(0, 4096));
    EXPECT_EQ(norm_of(60000, 0), norm_of(4096, 0));
    EXPECT_NE(norm_of(0, 3000), norm_of(0, 4096));
    // Up to range_min: the weight of range_lut[0].
    EXPECT_EQ(norm_of(7, 7), norm_of(0, 100));
    EXPECT_EQ(norm_of(7, 57), norm_of(0, 100));
    EXPECT_NE(norm_of(0, 101), norm_of(0, 100));
    EXPECT_FLOAT_EQ(norm_of(7, 7), 1.0f + f.st.alpha_h * f.st.range_lut[0] + (1.0f - f.st.alpha_h));
}

TEST(Bpf, EdgeCases)
{
    const size2 s{31, 17};
    bpf f(s, 0.02f, 0.1f, 0, 4096);
    const std::vector<uint16_t> flat(31 * 17, 2500);
    std::vector<uint16_t> out(flat.size(), 0);
    tq_bpf2d_iir(&f.st, out.data(), flat.data(), s.w, s.h);
    for (uint16_t v : out) {
        ASSERT_NEAR(v, 2500, 1);
    }
    log_capture log(TQ_LOG_ERR);
    std::vector<uint16_t> dst(flat.size(), 0xBEEF);
    tq_bpf2d_iir(&f.st, dst.data(), flat.data(), s.w + 1, s.h);
    tq_bpf2d_iir(&f.st, dst.data(), flat.data(), s.w, s.h - 1);
    tq_bpf2d_iir(&f.st, nullptr, flat.data(), s.w, s.h);
    tq_bpf2d_iir(nullptr, dst.data(), flat.data(), s.w, s.h);
    EXPECT_EQ(dst, std::vector<uint16_t>(flat.size(), 0xBEEF));
    EXPECT_EQ(log.count("[tq_bpf2d_iir] wrong parameters\n"), 4);
}

} // namespace
