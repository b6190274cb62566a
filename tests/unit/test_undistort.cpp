// Lens undistortion maps against OpenCV (camera matrix, valid region, the map
// entry by entry, the gather), and the map's edge cases and lifecycle.
#include <gtest/gtest.h>
#include <pylox/tq_calib_len.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include <hwy/targets.h>

#include "imgproc/undistort/calib_len_build.h"
#include "imgproc/undistort/calib_len_kernels.h"
#include "support/log_capture.h"

#if __has_include(<opencv2/calib3d.hpp>)
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#define HAVE_CV 1
#endif

namespace {

struct Lens {
    const char *name;
    tq_calib_len_param_t p;
};

// The EPC driver's default intrinsics, no distortion, strong barrel and
// strong pincushion distortion.
const Lens kLenses[] = {
    {"epc_default",
     {157.262, 122.083, 210.783, 204.817, -0.378924, 0.145035, -0.000970854, 6.20728e-05,
      -0.0133954, 320, 240}},
    {"zero", {160.0, 120.0, 200.0, 200.0, 0, 0, 0, 0, 0, 320, 240}},
    {"barrel", {155.0, 125.0, 200.0, 200.0, -0.3, 0.05, 0.002, -0.001, 0.0, 320, 240}},
    {"pincushion", {162.0, 118.0, 220.0, 215.0, 0.45, 0.12, 0.001, 0.002, 0.01, 320, 240}},
    // Past the model's turning point: the corners lie farther out than any
    // undistorted point distorts to, and undistorting six grid points stops
    // early.
    {"barrel_folding", {155.0, 125.0, 190.0, 190.0, -0.55, 0.25, 0.002, -0.001, -0.04, 320, 240}},
};

struct Map {
    tq_calib_len_map_t m{};
    ~Map() { tq_calib_len_uninit_map(&m); }
    int32_t at(int u, int v) const { return m.map[v * m.width + u]; }
};

class LensTest : public ::testing::TestWithParam<Lens> {};

// Every pixel inside the valid region has a source; outside the source the
// map holds -1 and nothing else points out of range.
TEST_P(LensTest, MapEntriesAndValidRegion)
{
    const tq_calib_len_param_t &p = GetParam().p;
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &p), 320 * 240);
    ASSERT_EQ(map.m.valid, 1);
    EXPECT_EQ(map.m.count, 320 * 240);
    EXPECT_EQ(map.m.width, 320);
    EXPECT_EQ(map.m.height, 240);
    ASSERT_GT(map.m.valid_w, 0);
    ASSERT_GT(map.m.valid_h, 0);
    EXPECT_GE(map.m.valid_x, 0);
    EXPECT_GE(map.m.valid_y, 0);
    EXPECT_LE(map.m.valid_x + map.m.valid_w, 320);
    EXPECT_LE(map.m.valid_y + map.m.valid_h, 240);
    for (int v = 0; v < 240; ++v) {
        for (int u = 0; u < 320; ++u) {
            const int32_t e = map.at(u, v);
            ASSERT_GE(e, -1);
            ASSERT_LT(e, 320 * 240);
            if (u >= map.m.valid_x && u < map.m.valid_x + map.m.valid_w && v >= map.m.valid_y &&
                v < map.m.valid_y + map.m.valid_h) {
                ASSERT_GE(e, 0) << u << "," << v;
            }
        }
    }
}

#if HAVE_CV
// The camera matrix and valid region of OpenCV's getOptimalNewCameraMatrix
// (alpha 1), the map of initUndistortRectifyMap rounded to the nearest pixel,
// and remap (nearest) for the gather. OpenCV 4.6 samples the same grid (to
// x = width, y = height) and stops undistorting a grid point the same way when
// the lens model folds back. Map entries may differ only within 1e-3 of a
// rounding boundary, where float rounding of the two computations decides.
TEST_P(LensTest, AgreesWithOpenCv)
{
    const tq_calib_len_param_t &p = GetParam().p;
    const int w = p.width, h = p.height;
    const cv::Matx33d K(p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1);
    const std::vector<double> D{p.k1, p.k2, p.p1, p.p2, p.k3};

    double k_new[9];
    int32_t valid[4];
    ASSERT_TRUE(pylox::calib_len_new_camera(p, k_new, valid));
    cv::Rect roi;
    const cv::Mat kcv = cv::getOptimalNewCameraMatrix(K, D, cv::Size(w, h), 1.0, {}, &roi);
    std::printf("[%s] fx'=%.4f fy'=%.4f cx'=%.4f cy'=%.4f valid %d,%d %dx%d; OpenCV fx'=%.4f "
                "fy'=%.4f cx'=%.4f cy'=%.4f roi %d,%d %dx%d\n",
                GetParam().name, k_new[0], k_new[4], k_new[2], k_new[5], valid[0], valid[1],
                valid[2], valid[3], kcv.at<double>(0, 0), kcv.at<double>(1, 1),
                kcv.at<double>(0, 2), kcv.at<double>(1, 2), roi.x, roi.y, roi.width, roi.height);
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(k_new[i], kcv.at<double>(i / 3, i % 3), 1e-5 * std::fabs(k_new[i]) + 1e-9)
            << "element " << i;
    }
    EXPECT_EQ(valid[0], roi.x);
    EXPECT_EQ(valid[1], roi.y);
    EXPECT_EQ(valid[2], roi.width);
    EXPECT_EQ(valid[3], roi.height);

    cv::Mat mx, my;
    cv::initUndistortRectifyMap(K, D, cv::noArray(), kcv, cv::Size(w, h), CV_32FC1, mx, my);
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &p), w * h);
    auto near_tie = [](float s) { return std::fabs(s - std::floor(s) - 0.5f) < 1e-3f; };
    // Positions up to 1.5 pixels before the first column or row: rounding by
    // truncation toward zero would pull them onto the image.
    auto just_before = [](float s) { return s > -1.5f && s <= -0.5f; };
    int same = 0, by_tie = 0, invalid = 0, before = 0;
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const float sx = mx.at<float>(v, u), sy = my.at<float>(v, u);
            const long rx = std::lround(sx), ry = std::lround(sy);
            const int32_t want = rx >= 0 && rx < w && ry >= 0 && ry < h ? int32_t(rx + w * ry) : -1;
            const int32_t got = map.at(u, v);
            invalid += got < 0;
            if (just_before(sx) || just_before(sy)) {
                ++before;
                ASSERT_EQ(got, -1) << u << "," << v;
            }
            if (got == want) {
                ++same;
            } else {
                ASSERT_TRUE(near_tie(sx) || near_tie(sy))
                    << "entry (" << u << "," << v << "): ours " << got << " OpenCV " << want
                    << " at " << sx << "," << sy;
                ++by_tie;
            }
        }
    }
    std::printf("[%s] map: %d equal, %d differ at a rounding tie; %d entries -1, %d of them "
                "within 1.5 pixels before the first column or row\n",
                GetParam().name, same, by_tie, invalid, before);
    EXPECT_LE(by_tie, 4);

    // The gather gives OpenCV's remap wherever the entries agree.
    std::mt19937 rng(7);
    cv::Mat src16(h, w, CV_16UC1), srcf(h, w, CV_32FC1);
    for (int i = 0; i < w * h; ++i) {
        src16.at<uint16_t>(i) = static_cast<uint16_t>(1 + rng() % 60000);
        srcf.at<float>(i) = static_cast<float>(rng() % 100000) * 1e-3f;
    }
    cv::Mat cv16, cvf;
    cv::remap(src16, cv16, mx, my, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::remap(srcf, cvf, mx, my, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(-1));
    std::vector<uint16_t> d16(w * h, 7);
    std::vector<float> df(w * h, 7.0f);
    ASSERT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), w * h, src16.ptr<uint16_t>(), w, h, 0),
              1);
    ASSERT_EQ(tq_calib_len_undistort_f32(&map.m, df.data(), w * h, srcf.ptr<float>(), w, h, -1.0f),
              1);
    int compared = 0;
    for (int i = 0; i < w * h; ++i) {
        const float sx = mx.at<float>(i), sy = my.at<float>(i);
        if (near_tie(sx) || near_tie(sy)) {
            continue;
        }
        ++compared;
        ASSERT_EQ(d16[i], cv16.at<uint16_t>(i)) << "pixel " << i;
        ASSERT_EQ(df[i], cvf.at<float>(i)) << "pixel " << i;
    }
    EXPECT_GT(compared, w * h * 9 / 10);
}
#endif

INSTANTIATE_TEST_SUITE_P(Lenses, LensTest, ::testing::ValuesIn(kLenses),
                         [](const auto &info) { return std::string(info.param.name); });

// Without distortion the corrected camera is K scaled by (w-1)/w and (h-1)/h:
// column u reads source column u*w/(w-1) (plus 0.5, truncated), row v likewise,
// and the last column and row fall outside the source.
TEST(Undistort, ZeroDistortionScalesByOnePixel)
{
    const tq_calib_len_param_t &p = kLenses[1].p;
    double k_new[9];
    int32_t valid[4];
    ASSERT_TRUE(pylox::calib_len_new_camera(p, k_new, valid));
    EXPECT_NEAR(k_new[0], p.fx * 319.0 / 320.0, 1e-4);
    EXPECT_NEAR(k_new[4], p.fy * 239.0 / 240.0, 1e-4);
    EXPECT_NEAR(k_new[2], p.cx * 319.0 / 320.0, 1e-4);
    EXPECT_NEAR(k_new[5], p.cy * 239.0 / 240.0, 1e-4);
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &p), 320 * 240);
    for (int v = 0; v < 240; ++v) {
        for (int u = 0; u < 320; ++u) {
            const int sx = static_cast<int>(u * 320.0 / 319.0 + 0.5);
            const int sy = static_cast<int>(v * 240.0 / 239.0 + 0.5);
            const int32_t want = sx < 320 && sy < 240 ? sx + 320 * sy : -1;
            ASSERT_EQ(map.at(u, v), want) << u << "," << v;
        }
    }
    EXPECT_EQ(map.at(319, 0), -1);
    EXPECT_EQ(map.at(0, 239), -1);
}

// Barrel distortion pulls the middle of each edge inward: there the corrected
// image has no source and reads the invalid value.
TEST(Undistort, BarrelBorderReadsTheInvalidValue)
{
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &kLenses[2].p), 320 * 240);
    std::vector<uint16_t> src(320 * 240, 1000), dst(320 * 240, 1);
    ASSERT_EQ(tq_calib_len_undistort_u16(&map.m, dst.data(), 320 * 240, src.data(), 320, 240, 0),
              1);
    for (const auto [u, v] : {std::pair{160, 0}, {0, 120}, {319, 120}, {160, 239}}) {
        EXPECT_EQ(map.at(u, v), -1) << u << "," << v;
        EXPECT_EQ(dst[v * 320 + u], 0);
    }
    EXPECT_EQ(dst[120 * 320 + 160], 1000);
    EXPECT_LT(map.m.valid_w, 300);
    EXPECT_LT(map.m.valid_h, 220);
}

// Oversized and empty destinations, a source of the wrong size.
TEST(Undistort, ApplyBounds)
{
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &kLenses[0].p), 320 * 240);
    const int n = 320 * 240;
    std::vector<float> src(n);
    for (int i = 0; i < n; ++i) {
        src[i] = static_cast<float>(i);
    }
    std::vector<float> dst(n + 16, -5.0f);
    ASSERT_EQ(tq_calib_len_undistort_f32(&map.m, dst.data(), n + 16, src.data(), 320, 240, -2.0f),
              1);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(dst[i], map.m.map[i] < 0 ? -2.0f : static_cast<float>(map.m.map[i]));
    }
    for (int i = n; i < n + 16; ++i) {
        EXPECT_EQ(dst[i], -5.0f); // nothing past width * height
    }
    std::vector<uint16_t> s16(n, 3), d16(n, 9);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), 0, s16.data(), 320, 240, 0), 1);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), -4, s16.data(), 320, 240, 0), 1);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), 100, s16.data(), 320, 240, 0), 1);
    EXPECT_EQ(d16[99] == 3 || d16[99] == 0, true);
    EXPECT_EQ(d16[100], 9);

    pylox_test::log_capture log;
    std::vector<uint16_t> big(640 * 480, 1);
    std::fill(d16.begin(), d16.end(), 9);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), n, big.data(), 640, 480, 0), 0);
    EXPECT_TRUE(log.has("[tq_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, "
                        "src_img: 640x480"));
    EXPECT_EQ(tq_calib_len_undistort_f32(&map.m, dst.data(), n, src.data(), 240, 320, 0.0f), 0);
    EXPECT_TRUE(log.has("[tq_calib_len_undistort_f32] Wrong parameter: calib_map: 320x240, "
                        "src_img: 240x320"));
    EXPECT_EQ(std::count(d16.begin(), d16.end(), 9), n); // untouched
    // In place, or overlapping by one pixel: refused, nothing written.
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data(), n, d16.data(), 320, 240, 0), 0);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, d16.data() + n - 1, 1, d16.data(), 320, 240, 0),
              0);
    EXPECT_EQ(log.count("Wrong parameter: dst and src overlap"), 2);
    EXPECT_EQ(std::count(d16.begin(), d16.end(), 9), n);
    std::vector<uint16_t> both(2 * n, 9); // adjacent halves of one buffer are fine
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, both.data() + n, n, both.data(), 320, 240, 0), 1);
}

// The vector loops equal the element-by-element ones: map rows bit for bit
// (also for a camera matrix whose inverse needs the division by z, and for
// widths that leave a tail); the gather for any entries (-1, the first and the
// last source pixel included) and any count, writing nothing past it.
void vector_loops_match_plain_loops()
{
    std::mt19937 rng(5);
    for (const Lens &lens : kLenses) {
        for (const int32_t w : {320, 37}) {
            tq_calib_len_param_t p = lens.p;
            p.width = w;
            const double tilt[9] = {0.0069, 1e-5, -1.06, -2e-5, 0.0068, -0.83, 3e-5, -4e-5, 1.01};
            double k_new[9];
            int32_t valid[4];
            ASSERT_TRUE(pylox::calib_len_new_camera(p, k_new, valid));
            const double unit[9] = {1 / k_new[0],
                                    0,
                                    -k_new[2] / k_new[0],
                                    0,
                                    1 / k_new[4],
                                    -k_new[5] / k_new[4],
                                    0,
                                    0,
                                    1};
            for (const double *ik : {unit, tilt}) {
                const bool unit_z = ik == unit;
                std::vector<int32_t> vec(w + 1, 5), plain(w + 1, 5);
                for (int32_t v = 0; v < 240; v += 7) {
                    pylox::calib_len_row(p, ik, unit_z, v, vec.data());
                    pylox::calib_len_row_plain(p, ik, unit_z, v, 0, plain.data());
                    ASSERT_EQ(vec, plain) << lens.name << " width " << w << " row " << v;
                    if (v == 119 && w == 320) { // a middle row mostly has sources
                        EXPECT_GT(std::count_if(vec.begin(), vec.end() - 1,
                                                [](int32_t e) { return e >= 0; }),
                                  w / 2);
                    }
                }
            }
        }
    }

    for (const int32_t src_count : {1, 2, 3, 77, 320 * 240}) {
        std::vector<uint16_t> s16(src_count);
        std::vector<float> sf(src_count);
        for (int32_t i = 0; i < src_count; ++i) {
            s16[i] = static_cast<uint16_t>(rng());
            sf[i] = static_cast<float>(rng() % 1000) - 500.0f;
        }
        for (const int32_t n : {0, 1, 7, 8, 15, 16, 17, 31, 33, 1000}) {
            std::vector<int32_t> map(n);
            for (auto &e : map) {
                const uint32_t r = rng() % 8;
                e = r == 0 ? -1 : r == 1 ? 0 : r == 2 ? src_count - 1 : int32_t(rng() % src_count);
            }
            std::vector<uint16_t> d16(n + 1, 0xABCD), p16(n + 1, 0xABCD);
            std::vector<float> df(n + 1, 9.5f), pf(n + 1, 9.5f);
            pylox::calib_len_gather_u16(d16.data(), s16.data(), src_count, map.data(), n, 7);
            pylox::calib_len_gather_plain(p16.data(), s16.data(), map.data(), n, uint16_t{7});
            pylox::calib_len_gather_f32(df.data(), sf.data(), src_count, map.data(), n, -1.0f);
            pylox::calib_len_gather_plain(pf.data(), sf.data(), map.data(), n, -1.0f);
            ASSERT_EQ(d16, p16) << src_count << " " << n;
            ASSERT_EQ(df, pf) << src_count << " " << n;
        }
    }
}

// Under every CPU target this machine runs.
TEST(Undistort, VectorLoopsMatchPlainLoops)
{
    const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
    for (int64_t t = 1; t != 0 && t <= targets; t <<= 1) {
        if ((targets & t) == 0) {
            continue;
        }
        hwy::SetSupportedTargetsForTest(t);
        SCOPED_TRACE(hwy::TargetName(t));
        std::printf("target %s\n", hwy::TargetName(t));
        vector_loops_match_plain_loops();
    }
    hwy::SetSupportedTargetsForTest(0);
}

void *no_memory(std::size_t)
{
    return nullptr;
}

// Building, rebuilding, releasing; records that cannot be built stay empty.
TEST(Undistort, Lifecycle)
{
    pylox_test::log_capture log;
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &kLenses[0].p), 320 * 240);
    tq_calib_len_param_t half = kLenses[0].p;
    half.width = 160;
    half.height = 120;
    half.cx /= 2;
    half.cy /= 2;
    half.fx /= 2;
    half.fy /= 2;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(tq_calib_len_update_map(&map.m, &half), 160 * 120);
        EXPECT_EQ(map.m.width, 160);
        EXPECT_EQ(map.m.count, 160 * 120);
    }
    std::vector<uint16_t> src(320 * 240, 1), dst(320 * 240);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, dst.data(), 160 * 120, src.data(), 160, 120, 0),
              1);
    tq_calib_len_uninit_map(&map.m);
    EXPECT_EQ(map.m.valid, 0);
    EXPECT_EQ(map.m.map, nullptr);
    tq_calib_len_uninit_map(&map.m); // empty: nothing happens
    tq_calib_len_uninit_map(nullptr);
    EXPECT_EQ(tq_calib_len_undistort_u16(&map.m, dst.data(), 160 * 120, src.data(), 160, 120, 0),
              0);

    auto expect_empty = [&](const tq_calib_len_param_t &p) {
        EXPECT_EQ(tq_calib_len_update_map(&map.m, &p), 0);
        EXPECT_EQ(map.m.valid, 0);
        EXPECT_EQ(map.m.map, nullptr);
        EXPECT_EQ(map.m.width, 0);
        EXPECT_EQ(
            tq_calib_len_undistort_u16(&map.m, dst.data(), 100, src.data(), p.width, p.height, 0),
            p.width == 0 && p.height == 0 ? 1 : 0);
    };
    tq_calib_len_param_t p = kLenses[0].p;
    p.width = 0;
    expect_empty(p);
    p = kLenses[0].p;
    p.height = -240;
    expect_empty(p);
    p = kLenses[0].p;
    p.width = p.height = 50000; // more entries than a 32-bit count holds
    expect_empty(p);
    p = kLenses[0].p;
    p.fx = 0.0;
    expect_empty(p);
    p = kLenses[0].p;
    p.k2 = NAN;
    expect_empty(p);
    p = kLenses[0].p;
    p.k1 = 1e300; // no camera: every grid point undistorts to the centre
    expect_empty(p);

    ASSERT_EQ(tq_calib_len_update_map(&map.m, &kLenses[0].p), 320 * 240);
    void *(*saved)(std::size_t) = pylox::calib_len_alloc;
    pylox::calib_len_alloc = no_memory;
    expect_empty(kLenses[0].p);
    pylox::calib_len_alloc = saved;
    EXPECT_TRUE(log.has("malloc failed"));
    EXPECT_EQ(tq_calib_len_init_map(nullptr, &kLenses[0].p), 0);
    EXPECT_EQ(tq_calib_len_init_map(&map.m, nullptr), 0);
    EXPECT_EQ(tq_calib_len_undistort_u16(nullptr, dst.data(), 1, src.data(), 320, 240, 0), 0);
}

} // namespace
