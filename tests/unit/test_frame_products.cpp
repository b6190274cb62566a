// Frame products on a replayed device whose driver is swapped for a fake one:
// the scratch-in-the-upper-half widening, the buffer checks, point clouds
// against their own geometry, the room tests, the lens choice and the
// colour formats.
#include "support/log_capture.h"
#include "support/raw_file.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <vector>

using namespace pylox_test;

namespace {

constexpr int k_w = 32, k_h = 24, k_n = k_w * k_h;

struct fake_calls {
    const uint16_t *dst = nullptr;
    int dst_size = 0;
    int kind = 0;
    int lens_w = 0, lens_h = 0;
    int decode_result = 0; // 0: 2N bytes; otherwise returned as is
} g_fake;

uint16_t pattern(int kind, int i)
{
    return static_cast<uint16_t>(kind == 1 ? (i * 37 + 11) % 65536 : 65535 - i);
}

int fake_decode(pylox_drv_t *, uint16_t *dst, int dst_size, int kind, const uint8_t *, int,
                const pylox_frame_info_t *info)
{
    g_fake.dst = dst;
    g_fake.dst_size = dst_size;
    g_fake.kind = kind;
    const int n = static_cast<int>(info->width * info->height);
    for (int i = 0; i < n; ++i)
        dst[i] = pattern(kind, i);
    return g_fake.decode_result ? g_fake.decode_result : 2 * n;
}

int fake_lens(pylox_drv_t *, tq_calib_len_param_t *p, int w, int h)
{
    g_fake.lens_w = w;
    g_fake.lens_h = h;
    p->cx = w / 2.0 - 0.5;
    p->cy = h / 2.0 - 0.5;
    p->fx = p->fy = 40.0;
    return w > 0;
}

class FrameProducts : public ::testing::Test {
protected:
    void SetUp() override
    {
        pylox_init(log_.path().c_str());
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        raw_file_layout lay;
        lay.width = k_w;
        lay.height = k_h;
        file_ = scratch_path("pylox_products");
        write_raw_file(file_, lay, 1);
        dev_ = pylox_dev_open_replay(file_.c_str());
        ASSERT_NE(dev_, nullptr);
        real_ = dev_->ctx->driver;
        ops_ = *real_->ops;
        ops_.frame_decode = fake_decode;
        ops_.lens_param_get = fake_lens;
        fake_ = *real_;
        fake_.ops = &ops_;
        dev_->ctx->driver = &fake_;
        g_fake = {};
        info_.frame_size = 8 * k_n;
        info_.width = k_w;
        info_.height = k_h;
    }
    void TearDown() override
    {
        if (dev_) {
            dev_->ctx->driver = real_;
            pylox_dev_close(dev_);
        }
        pylox_uninit();
        std::filesystem::remove(file_);
    }

    log_capture log_{TQ_LOG_DBG, "pylox_products_log"};
    std::string file_;
    pylox_dev_t *dev_ = nullptr;
    pylox_drv_t *real_ = nullptr, fake_{};
    pylox_drv_op_t ops_{};
    pylox_frame_info_t info_{};
    std::vector<uint8_t> raw_ = std::vector<uint8_t>(8 * k_n);
};

// Every size from the tightest (the scratch starts in the middle of the
// pixels) to roomy ones, odd and even: the decoder sees the upper half, and
// every pixel comes out as its 16-bit value times the unit.
TEST_F(FrameProducts, WidensFromTheUpperHalfWithoutLosingPixels)
{
    for (int kind : {1, 2}) {
        for (int len : {k_n, k_n + 1, k_n + 7, 2 * k_n, 2 * k_n + 1}) {
            std::vector<float> dst(len, -1.0f);
            const int got =
                kind == 1
                    ? pylox_frame_get_distance(dev_, dst.data(), len, raw_.data(), 8 * k_n, &info_)
                    : pylox_frame_get_gray(dev_, dst.data(), len, raw_.data(), 8 * k_n, &info_);
            ASSERT_EQ(got, k_n) << kind << " " << len;
            EXPECT_EQ(g_fake.kind, kind);
            EXPECT_EQ(reinterpret_cast<const void *>(g_fake.dst),
                      static_cast<void *>(dst.data() + len / 2));
            EXPECT_EQ(g_fake.dst_size, 2 * len);
            int bad = 0;
            for (int i = 0; i < k_n; ++i)
                bad += dst[i] != static_cast<float>(pattern(kind, i)) * (kind == 1 ? 0.001f : 1.0f);
            EXPECT_EQ(bad, 0) << kind << " " << len;
        }
    }
}

TEST_F(FrameProducts, RefusesShortBuffersFailedDecodesAndClosedDevices)
{
    std::vector<float> dst(2 * k_n, -1.0f);
    EXPECT_EQ(pylox_frame_get_distance(dev_, dst.data(), k_n - 1, raw_.data(), 8 * k_n, &info_), 0);
    EXPECT_EQ(dst[0], -1.0f); // nothing written
    EXPECT_EQ(dst[k_n - 2], -1.0f);
    EXPECT_TRUE(log_.has("wrong dst_len: 767 (wxh=32x24)"));
    EXPECT_EQ(pylox_frame_get_gray(dev_, dst.data(), k_n, raw_.data(), 8 * k_n - 1, &info_), 0);
    EXPECT_TRUE(log_.has("raw frame length too small: datalen=6143, frlen=6144"));
    g_fake.decode_result = -1;
    EXPECT_EQ(pylox_frame_get_distance(dev_, dst.data(), k_n, raw_.data(), 8 * k_n, &info_), 0);
    EXPECT_TRUE(log_.has("raw frame decode to 1 failed: -1"));
    EXPECT_EQ(pylox_frame_get_distance(dev_, nullptr, k_n, raw_.data(), 8 * k_n, &info_), 0);
    EXPECT_EQ(pylox_frame_get_distance(dev_, dst.data(), k_n, raw_.data(), 8 * k_n, nullptr), 0);
    pylox_dev_t closed{};
    EXPECT_EQ(pylox_frame_get_distance(&closed, dst.data(), k_n, raw_.data(), 8 * k_n, &info_), 0);
    EXPECT_EQ(pylox_frame_get_pcl(nullptr, dst.data(), k_n, dst.data(), 0, k_w, k_h, nullptr), 0);
}

// Each point lies on the ray of its pixel at the pixel's (scaled) distance;
// invalid distances leave no point and no gap.
TEST_F(FrameProducts, PointsLieOnTheirPixelRaysAtTheirDistance)
{
    const pylox_lens_param_t lens{15.3f, 11.7f, 38.0f, 41.0f, 1.25f};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(0.05f, 8.0f);
    std::vector<float> dist(k_n);
    for (float &d : dist)
        d = any(rng);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {0.0f, 60.0f, nan, -1.0f, 65.5f, 59.99f};
    for (int k = 0; k < 6; ++k)
        dist[k * 101] = specials[k];
    std::vector<float> pcl(4 * k_n);
    for (int per : {3, 4}) {
        const int n = per == 3 ? pylox_frame_get_pcl(dev_, pcl.data(), per * k_n, dist.data(), 0,
                                                     k_w, k_h, &lens)
                               : pylox_frame_get_pcl_xyzd(dev_, pcl.data(), per * k_n, dist.data(),
                                                          0, k_w, k_h, 0, &lens);
        ASSERT_EQ(n, k_n - 5) << per;
        int at = 0;
        for (int i = 0; i < k_n; ++i) {
            if (!(dist[i] > 0 && dist[i] < 60))
                continue;
            const float *p = &pcl[static_cast<size_t>(per) * at++];
            const double d = dist[i] * 1.25;
            const int u = i % k_w, v = i / k_w;
            EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), d, 1e-5 * d);
            EXPECT_NEAR(p[0], (u - 15.3) * d / 38.0, 1e-5 * d);
            EXPECT_NEAR(p[1], (v - 11.7) * d / 41.0, 1e-5 * d);
            if (per == 4) {
                EXPECT_FLOAT_EQ(p[3], static_cast<float>(d));
            }
        }
    }
    // The centre pixel is straight ahead.
    const pylox_lens_param_t centre{3.0f, 2.0f, 40.0f, 40.0f, 2.0f};
    std::vector<float> one(k_n, 0.0f);
    one[2 * k_w + 3] = 1.5f;
    ASSERT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), 3, one.data(), 0, k_w, k_h, &centre), 1);
    EXPECT_EQ(pcl[0], 0.0f);
    EXPECT_EQ(pcl[1], 0.0f);
    EXPECT_EQ(pcl[2], 3.0f);
}

// Room: a point is written only when all its floats fit.
TEST_F(FrameProducts, StopsWhenTheNextPointDoesNotFit)
{
    const std::vector<float> dist(k_n, 1.0f);
    const pylox_lens_param_t lens{16, 12, 40, 40, 1};
    std::vector<float> pcl(4 * k_n + 8, -7.0f);
    for (int k : {0, 1, 5}) {
        for (int extra : {0, 1, 2}) {
            const int len3 = 3 * k + extra, len4 = 4 * k + extra;
            EXPECT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), len3, dist.data(), 0, k_w, k_h, &lens),
                      k);
            EXPECT_EQ(pylox_frame_get_pcl_xyzd(dev_, pcl.data(), len4, dist.data(), 0, k_w, k_h, 0,
                                               &lens),
                      k);
        }
    }
    EXPECT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), 3, dist.data(), 0, k_w, k_h, &lens), 1);
    EXPECT_EQ(pylox_frame_get_pcl_xyzd(dev_, pcl.data(), 3, dist.data(), 0, k_w, k_h, 0, &lens), 0);
    pcl.assign(pcl.size(), -7.0f);
    EXPECT_EQ(pylox_frame_get_pcl_xyzd(dev_, pcl.data(), 4, dist.data(), 0, k_w, k_h, 0, &lens), 1);
    EXPECT_EQ(pcl[3], 1.0f);
    EXPECT_EQ(pcl[4], -7.0f);
    EXPECT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), -3, dist.data(), 0, k_w, k_h, &lens), 0);
}

// Without a lens record the driver's intrinsics for the image size serve;
// a driver without them yields no cloud.
TEST_F(FrameProducts, LensFromTheDriverForTheImageSize)
{
    std::vector<float> dist(k_n, 0.0f);
    dist[(k_h / 2) * k_w + k_w / 2] = 2.0f;
    std::vector<float> pcl(3 * k_n);
    ASSERT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, dist.data(), 0, k_w, k_h, nullptr), 1);
    EXPECT_EQ(g_fake.lens_w, k_w);
    EXPECT_EQ(g_fake.lens_h, k_h);
    EXPECT_FLOAT_EQ(pcl[0], 0.5f * 2.0f / 40.0f);
    EXPECT_FLOAT_EQ(pcl[1], 0.5f * 2.0f / 40.0f);
    ops_.lens_param_get = nullptr;
    EXPECT_EQ(pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, dist.data(), 0, k_w, k_h, nullptr), 0);
    EXPECT_TRUE(log_.has("Cannot generate PCL: no lens parameter in driver."));
}

// Colours: every format against the colour map's own lookup over the range
// the call set, and the pseudo-colour of point clouds from the same map.
TEST_F(FrameProducts, ColourFormatsFollowTheColourMap)
{
    tq_cmap_t ref{};
    ASSERT_NE(tq_cmap_init(&ref, 30000), nullptr);
    tq_cmap_set_range(&ref, 500, 3500);
    std::vector<float> src(k_n);
    for (int i = 0; i < k_n; ++i)
        src[i] = 0.3f + i * 0.005f;
    src[3] = 65.5f;
    src[4] = 65.4f;
    for (int fmt : {0, 1, 2}) {
        const int bpp = fmt == 1 ? 4 : 3;
        std::vector<uint8_t> dst(bpp * k_n + 2, 0xEE);
        ASSERT_EQ(pylox_cmap_float(dst.data(), bpp * k_n + 2, src.data(), k_n, fmt, 0.5f, 3.5f),
                  k_n);
        int bad = 0;
        for (int i = 0; i < k_n; ++i) {
            const uint32_t c = tq_cmap_get_color(&ref, static_cast<int32_t>(src[i] * 1000.0f));
            const uint8_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
            const uint8_t *o = &dst[static_cast<size_t>(bpp) * i];
            bad += fmt == 2 ? (o[0] != b || o[1] != g || o[2] != r)
                            : (o[0] != r || o[1] != g || o[2] != b || (bpp == 4 && o[3] != 0));
        }
        EXPECT_EQ(bad, 0) << fmt;
        EXPECT_EQ(dst[bpp * k_n], 0xEE);
    }
    std::vector<uint8_t> small(10);
    EXPECT_EQ(pylox_cmap_float(small.data(), 10, src.data(), k_n, 1, 0.5f, 3.5f), 2);
    EXPECT_EQ(pylox_cmap_float(small.data(), 10, src.data(), k_n, 3, 0.5f, 3.5f), 0);

    const pylox_lens_param_t lens{16, 12, 40, 40, 1};
    std::vector<float> pcl(4 * k_n);
    const int n =
        pylox_frame_get_pcl_xyzd(dev_, pcl.data(), 4 * k_n, src.data(), 0, k_w, k_h, 1, &lens);
    ASSERT_EQ(n, k_n - 2);
    int at = 0, bad = 0;
    for (int i = 0; i < k_n; ++i)
        if (i != 3 && i != 4)
            bad +=
                pcl[4 * at++ + 3] !=
                static_cast<float>(tq_cmap_get_color(&ref, static_cast<int32_t>(src[i] * 1000.0f)));
    EXPECT_EQ(bad, 0);
    tq_cmap_uninit(&ref);
}

} // namespace
