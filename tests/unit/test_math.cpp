// Arctangent table, its printout and the least-squares line fit.
#include <pylox/tq_math.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

std::string printed(int32_t lut_num)
{
    testing::internal::CaptureStdout();
    tq_math_lut_print_arctan2(lut_num);
    return testing::internal::GetCapturedStdout();
}

TEST(Atan2Table, EntriesAreRoundedAnglesOfTheFirstOctant)
{
    const uint16_t first[] = {0, 1, 3, 4, 5, 6, 8, 9, 10, 11, 13};
    for (std::size_t i = 0; i < std::size(first); ++i) {
        EXPECT_EQ(g_atan2_LUT[i], first[i]) << i;
    }
    EXPECT_EQ(g_atan2_LUT[ARCTAN2_LUT_NUM - 1], 4096);
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) {
        const double turn = std::atan2(i, 4095.0) / (2.0 * std::numbers::pi);
        ASSERT_NEAR(g_atan2_LUT[i], turn * 32768.0, 0.5) << i;
        if (i > 0) {
            ASSERT_GE(g_atan2_LUT[i], g_atan2_LUT[i - 1]) << i;
        }
    }
}

TEST(Atan2Table, PrintoutOfFourEntries)
{
    EXPECT_EQ(printed(4), "#define ARCTAN2_LUT_NUM 4\n"
                          "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n"
                          "0, 1678, 3067, 4096, \n"
                          "};\n");
}

TEST(Atan2Table, PrintoutWithoutEntriesOrTrailingNewline)
{
    const std::string head = "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n";
    EXPECT_EQ(printed(0), "#define ARCTAN2_LUT_NUM 0\n" + head + "};\n");
    EXPECT_EQ(printed(-17), "#define ARCTAN2_LUT_NUM -17\n" + head + "};\n");
    // 16 entries fill one line exactly: the line break after it is the only one.
    const std::string p16 = printed(16);
    EXPECT_TRUE(p16.ends_with(", 4096, \n    };\n")) << p16;
    EXPECT_EQ(std::count(p16.begin(), p16.end(), '\n'), 4) << p16;
}

TEST(Atan2Table, PrintoutReproducesTheTable)
{
    std::string expected = "#define ARCTAN2_LUT_NUM 4096\n"
                           "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n";
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) {
        expected += std::to_string(g_atan2_LUT[i]) + ", ";
        if ((i & 15) == 15) {
            expected += "\n    ";
        }
    }
    expected += "};\n";
    EXPECT_EQ(printed(4096), expected);
}

// --- least-squares line ------------------------------------------------------

struct Fit {
    float slope = 0;
    float intercept = 0;
    float r2 = 0;
};

Fit fit(const std::vector<uint16_t> &x, const std::vector<uint16_t> &y)
{
    Fit f;
    tq_math_linear_LSR_u16(x.data(), y.data(), static_cast<int32_t>(x.size()), &f.slope,
                           &f.intercept, &f.r2);
    return f;
}

TEST(LineFit, NoPointsGiveTheNoFitMarker)
{
    Fit f;
    const uint16_t v = 3;
    tq_math_linear_LSR_u16(&v, &v, 0, &f.slope, &f.intercept, &f.r2);
    EXPECT_EQ(std::bit_cast<uint32_t>(f.slope), 0xFFC00000u);
    EXPECT_EQ(std::bit_cast<uint32_t>(f.intercept), 0xFFC00000u);
    EXPECT_TRUE(std::isnan(f.r2));
    f = Fit{};
    tq_math_linear_LSR_u16(nullptr, nullptr, -4, &f.slope, &f.intercept, nullptr);
    EXPECT_EQ(std::bit_cast<uint32_t>(f.slope), 0xFFC00000u);
    // Points announced but missing: the same marker, no crash.
    f = Fit{};
    tq_math_linear_LSR_u16(nullptr, &v, 1, &f.slope, &f.intercept, &f.r2);
    EXPECT_EQ(std::bit_cast<uint32_t>(f.intercept), 0xFFC00000u);
    tq_math_linear_LSR_u16(&v, &v, 1, nullptr, &f.intercept, nullptr);
}

TEST(LineFit, EqualXGiveNoLine)
{
    Fit f = fit({9}, {4});
    EXPECT_TRUE(std::isnan(f.slope));
    EXPECT_TRUE(std::isnan(f.intercept));
    f = fit({5, 5, 5}, {1, 2, 4});
    EXPECT_TRUE(std::isnan(f.slope));
    EXPECT_TRUE(std::isnan(f.intercept));
}

TEST(LineFit, ExactLines)
{
    std::vector<uint16_t> x(100);
    std::vector<uint16_t> y(100);
    for (int i = 0; i < 100; ++i) {
        x[i] = static_cast<uint16_t>(i);
        y[i] = static_cast<uint16_t>(2 * i + 5);
    }
    Fit f = fit(x, y);
    EXPECT_EQ(f.slope, 2.0f);
    EXPECT_EQ(f.intercept, 5.0f);
    EXPECT_EQ(f.r2, 1.0f);

    for (int i = 0; i < 100; ++i) {
        y[i] = static_cast<uint16_t>(1000 - i);
    }
    f = fit(x, y);
    EXPECT_EQ(f.slope, -1.0f);
    EXPECT_FLOAT_EQ(f.intercept, 1000.0f);
    EXPECT_FLOAT_EQ(f.r2, 1.0f);

    // A constant series: exact fit, but no spread to explain (0 / 0).
    f = fit(x, std::vector<uint16_t>(100, 7));
    EXPECT_EQ(f.slope, 0.0f);
    EXPECT_EQ(f.intercept, 7.0f);
    EXPECT_TRUE(std::isnan(f.r2));
}

TEST(LineFit, NoisyLineHasGoodnessBelowOne)
{
    std::vector<uint16_t> x = {0, 1, 2, 3, 4, 5};
    std::vector<uint16_t> y = {10, 12, 15, 16, 18, 21};
    const Fit f = fit(x, y);
    EXPECT_NEAR(f.slope, 37.0f / 17.5f, 1e-5);
    EXPECT_NEAR(f.intercept, 92.0f / 6.0f - 2.5f * 37.0f / 17.5f, 1e-4);
    EXPECT_GT(f.r2, 0.98f);
    EXPECT_LT(f.r2, 1.0f);
}

// Slope and intercept from sums made one pair at a time, in exact integers.
void expect_fit_of_plain_sums(const uint16_t *x, const uint16_t *y, int32_t n)
{
    uint64_t sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int32_t i = 0; i < n; ++i) {
        sx += x[i];
        sy += y[i];
        sxx += uint64_t{x[i]} * x[i];
        sxy += uint64_t{x[i]} * y[i];
    }
    __extension__ typedef __int128 wide;
    const wide w = n;
    const float d = static_cast<float>(w * sxx - wide{sx} * sx);
    const float slope = static_cast<float>(w * sxy - wide{sx} * sy) / d;
    const float intercept = static_cast<float>(wide{sxx} * sy - wide{sx} * sxy) / d;
    float s = 0, b = 0;
    tq_math_linear_LSR_u16(x, y, n, &s, &b, nullptr);
    ASSERT_EQ(std::bit_cast<uint32_t>(s), std::bit_cast<uint32_t>(slope)) << "n=" << n;
    ASSERT_EQ(std::bit_cast<uint32_t>(b), std::bit_cast<uint32_t>(intercept)) << "n=" << n;
}

TEST(LineFit, VectorSumsEqualPlainSums)
{
    std::mt19937 rng(77);
    std::vector<uint16_t> x(400000);
    std::vector<uint16_t> y(400000);
    for (auto &v : x) {
        v = static_cast<uint16_t>(60000 + rng() % 5536); // near full scale
    }
    for (auto &v : y) {
        v = static_cast<uint16_t>(rng());
    }
    for (int32_t n = 2; n <= 40; ++n) {
        for (int off = 0; off < 8; ++off) {
            expect_fit_of_plain_sums(x.data() + off, y.data() + 3 + off / 2, n);
        }
    }
    // Long enough for several rounds of the 32-bit partial sums, and for
    // n * Sxx to exceed 64 bits.
    expect_fit_of_plain_sums(x.data() + 1, y.data(), 399999);
    const Fit f = fit(x, y);
    EXPECT_GE(f.r2, -0.01f);
    EXPECT_LE(f.r2, 0.01f);
}

} // namespace
