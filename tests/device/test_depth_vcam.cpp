// The depth calculation on frames of the virtual camera, captured through the
// library: phase, amplitude and uncalibrated distance agree with the scene
// the camera was given, within the rounding its 12-bit samples allow.
#include "support/vcam/device_fixture.h"

#include "drivers/epc/epc_state.h"

#include <algorithm>
#include <cmath>

using namespace devtest;

namespace {

constexpr int k_w = 320, k_h = 240, k_n = k_w * k_h;

class DepthOnCamera : public DeviceTest {
protected:
    // One raw frame through the capture pipeline; the driver's frame
    // information has stored the frame's temperatures in its state.
    std::vector<uint16_t> capture()
    {
        std::vector<uint16_t> raw(4 * k_n);
        pylox_frame_info_t info{};
        EXPECT_EQ(pylox_cap_start(dev_), 1);
        EXPECT_EQ(
            pylox_cap_get_frames(dev_, 1, reinterpret_cast<uint8_t *>(raw.data()), 8 * k_n, &info),
            1);
        EXPECT_EQ(pylox_cap_stop(dev_), 1);
        EXPECT_EQ(info.frame_format, EPC_FRAME_FMT_DCS);
        return raw;
    }
    pylox_drv_t *driver() { return dev_->ctx->driver; }
    epc_state_t *state() { return static_cast<epc_state_t *>(driver()->priv); }

    // Decodes the frame with the simple model (no calibration mounted) and
    // compares with the truth; returns the number of pixels compared.
    int check(const std::vector<uint16_t> &raw, const vcam::Truth &t)
    {
        epc_state_t *st = state();
        std::vector<uint16_t> dist(k_n), amp(k_n), gray(k_n), phase(k_n), pamp(k_n);
        EXPECT_EQ(
            calc_dist_calib_simple(driver(), dist.data(), amp.data(), raw.data(), k_w, k_h, 4), 1);
        EXPECT_EQ(calc_gray(driver(), gray.data(), raw.data(), k_w, k_h, 4), 1);
        // The phase itself: the fixed model over a range of 32768 "mm" at
        // scale 1000 and offset 0 gives back the phase.
        const uint32_t range = st->range_mm;
        const uint8_t off_en = st->offset_en;
        st->range_mm = 32768;
        st->offset_en = 0;
        EXPECT_EQ(calc_dist_calib_none(driver(), phase.data(), pamp.data(), raw.data(), k_w, k_h, 4,
                                       1000, 0),
                  1);
        st->range_mm = range;
        st->offset_en = off_en;
        for (auto *img : {&dist, &amp, &gray, &phase})
            calc_dcs_sort(img->data(), img->data(), k_w, k_h);

        const double R = t.range_mm;
        int compared = 0, bad_d = 0, bad_a = 0, bad_p = 0, bad_g = 0;
        for (int p = 0; p < k_n; ++p) {
            if (t.saturated[p]) {
                bad_d += dist[p] != EPC_DIST_SATURATED;
                continue;
            }
            ++compared;
            const double A = t.amplitude[p];
            // 12-bit rounding: up to 0.75 / A radians (with a fifth to spare),
            // plus two units of the arctangent table.
            const double ph_tol = 1.2 * 0.75 / A * 32768 / (2 * M_PI) + 2;
            double dp = std::fabs(std::remainder(phase[p] - t.phase[p], 32768.0));
            bad_p += dp > ph_tol;
            // distance: the phase error in mm, the rounding of the temperature
            // correction (0.5 mm) and two integer truncations
            const double d_tol = ph_tol * R / 32768 + 0.5 + 2;
            const double dd = std::fabs(std::remainder(dist[p] - t.expected_mm[p], R));
            bad_d += dd > d_tol;
            // amplitude: I and Q are each off by at most one count
            bad_a += std::fabs(amp[p] - A) > 2.0;
            bad_g += gray[p] != amp[p];
        }
        EXPECT_EQ(bad_p, 0);
        EXPECT_EQ(bad_d, 0);
        EXPECT_EQ(bad_a, 0);
        EXPECT_EQ(bad_g, 0);
        return compared;
    }
};

TEST_F(DepthOnCamera, BoxSceneAtTwelveMegahertz)
{
    auto cam = plug();
    cam->set_scene(vcam::Scene::box(2000, 1200));
    start_library();
    ASSERT_NE(open_first(), nullptr);
    epc_state_t *st = state();
    st->mod_freq = cam->mod_freq();
    pylox::epc_state_derive(st, st->mod_freq);
    ASSERT_EQ(st->range_mm, 12491u);
    const std::vector<uint16_t> raw = capture();
    EXPECT_EQ(st->temp_cb, 350);
    EXPECT_EQ(st->temp_ib, 300);
    const vcam::Truth t = cam->truth();
    ASSERT_EQ(t.range_mm, st->range_mm);
    EXPECT_EQ(check(raw, t), k_n);
}

// A tilted plane from 0.5 m to 12 m at 20 MHz (range 7494 mm) wraps several
// times; warmer readings than at calibration exercise the temperature term.
TEST_F(DepthOnCamera, TiltedSceneWrapsAtTwentyMegahertz)
{
    vcam::CameraConfig cfg;
    cfg.mod_freq = 20000000;
    cfg.temp_cb = 520;
    cfg.temp_ib = 410;
    auto cam = plug(cfg);
    cam->set_scene(vcam::Scene::tilted(500, 12000));
    start_library();
    ASSERT_NE(open_first(), nullptr);
    epc_state_t *st = state();
    st->mod_freq = 20000000;
    pylox::epc_state_derive(st, st->mod_freq);
    ASSERT_EQ(st->range_mm, 7494u);
    const std::vector<uint16_t> raw = capture();
    EXPECT_EQ(st->temp_cb, 520);
    EXPECT_EQ(st->temp_ib, 410);
    const vcam::Truth t = cam->truth();
    ASSERT_EQ(t.range_mm, st->range_mm);
    EXPECT_GT(check(raw, t), k_n * 9 / 10);
}

} // namespace
