// The EPC driver against the virtual camera, through the library: sensor
// programming at open, the runtime features (automatic integration time,
// phase-pair check, temperature checks, HDR rows), calibration and lens
// intrinsics reaching the decode, and each filter switch acting on its own
// stage of the distance chain.
#include "support/param_writer.h"
#include "support/vcam/device_fixture.h"

#include "core/clock.h"
#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_features.h"
#include "drivers/epc/epc_state.h"

#include <pylox/pylox_filter.h>
#include <pylox/pylox_param_id.h>
#include <pylox/tq_calib_len.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>

using namespace devtest;

namespace {

constexpr int k_w = 320, k_h = 240, k_n = k_w * k_h;
constexpr uint16_t k_removed = 65300;

struct Frame {
    std::vector<uint16_t> raw = std::vector<uint16_t>(4 * k_n);
    pylox_frame_info_t info{};
};

class EpcCamera : public DeviceTest {
protected:
    // Library started with a scratch folder as path prefix, first camera opened.
    void open(const std::string &lens_file = "")
    {
        prefix_ = dir_.file("cfg") + "/";
        if (!lens_file.empty()) {
            std::filesystem::create_directories(prefix_);
            std::ofstream(prefix_ + "lens_param.txt") << lens_file;
        }
        start_library();
        ASSERT_EQ(pylox_path_cfg(prefix_.c_str()), 0);
        ASSERT_NE(open_first(), nullptr);
    }
    pylox_drv_t *drv() { return dev_->ctx->driver; }
    epc_state_t *st() { return pylox::epc_state(drv()); }
    // One frame streamed after everything set so far (the stream restarts).
    Frame grab()
    {
        Frame f;
        EXPECT_EQ(pylox_cap_start(dev_), 1);
        EXPECT_EQ(pylox_cap_get_frames(dev_, 1, f.raw.data(), 8 * k_n, &f.info), 1);
        EXPECT_EQ(pylox_cap_stop(dev_), 1);
        return f;
    }
    int decode(const Frame &f, std::vector<uint16_t> &out)
    {
        out.assign(k_n, 0);
        return pylox::epc_frame_decode(drv(), out.data(), 2 * k_n, PYLOX_DRV_OUT_DISTANCE,
                                       reinterpret_cast<const uint8_t *>(f.raw.data()), 8 * k_n,
                                       &f.info);
    }
    std::vector<uint16_t> decode(const Frame &f)
    {
        std::vector<uint16_t> out;
        EXPECT_EQ(decode(f, out), 2 * k_n);
        return out;
    }
    // The result after each named stage of the distance chain.
    std::vector<std::vector<uint16_t>> stages(const Frame &f)
    {
        std::vector<uint16_t> dst(k_n);
        pylox::epc_chain c = pylox::epc_chain_begin(drv(), dst.data(), f.raw.data(), k_w, k_h);
        std::vector<std::vector<uint16_t>> out;
        for (int i = 0; i < pylox::g_epc_dist_stage_count && c.ok; ++i) {
            pylox::g_epc_dist_stages[i].run(c);
            out.emplace_back(c.res, c.res + k_n);
        }
        EXPECT_TRUE(c.ok);
        return out;
    }
    bool set_param16(uint32_t id, uint16_t v) { return set_param32(id, v, 2); }
    void filters_off()
    {
        pylox_filter_disable(dev_, FILTER_ID_SPATIAL);
        pylox_filter_disable(dev_, FILTER_ID_AMP);
    }
    // Pixels whose decoded distance is off the camera's own model (truth t,
    // shifted by `shift_mm`) by more than the 12-bit rounding allows, among
    // those `want` selects; `pick` names the pixel whose truth applies.
    static int off_model(const std::vector<uint16_t> &d, const vcam::Truth &t,
                         const std::function<bool(int)> &want, double shift_mm = 0,
                         const std::function<int(int)> &pick = nullptr)
    {
        int bad = 0;
        for (int p = 0; p < k_n; ++p) {
            if (!want(p))
                continue;
            const int q = pick ? pick(p) : p;
            const double tol = 1.2 * 0.75 / t.amplitude[q] * t.range_mm / (2 * M_PI) + 3.5;
            const double e = std::remainder(d[p] - t.expected_mm[q] - shift_mm, t.range_mm);
            bad += d[p] >= 60000 || std::fabs(e) > tol;
        }
        return bad;
    }
    int param_writes(const vcam::Camera &cam, uint8_t id, std::vector<uint8_t> *last = nullptr)
    {
        int n = 0;
        for (const vcam::ControlRecord &r : cam.control_log())
            if (r.bmRequestType == 0x22 && r.bRequest == 0xC0 && r.wValue == 3)
                for (size_t i = 0; i + 20 <= r.data.size(); i += 20)
                    if (r.data[i] == id) {
                        ++n;
                        if (last)
                            last->assign(r.data.begin() + i + 2, r.data.begin() + i + 20);
                    }
        return n;
    }

    pylox_test::short_dir dir_;
    std::string prefix_;
};

// Share (per mille) of raw words at either rail, as the saturation ratio counts them.
int rail_per_mille(const std::vector<uint16_t> &raw)
{
    int64_t bad = 0;
    for (uint16_t v : raw)
        bad += v < 2 || v >= 4095;
    return static_cast<int>(bad * 1000 / static_cast<int64_t>(raw.size()));
}

TEST_F(EpcCamera, SensorProgrammingAtOpen)
{
    auto cam = plug();
    open();
    const auto pattern = [](uint32_t r) { return 1u << 16 | r; }; // the camera's power-on values
    using A = vcam::RegAccess;
    std::vector<A> want = {{true, 1, 0x8B, {2}}, {true, 1, 0x71, {0, 0, 0}}, {true, 1, 0xAE, {4}}};
    for (uint32_t r : {0x22u, 0x25u, 0x28u, 0x2Bu}) {
        want.push_back({false, 1, r, {pattern(r)}});
        want.push_back({true, 1, r, {pattern(r) | 0x30}});
    }
    EXPECT_EQ(cam->reg_log(), want);
    EXPECT_EQ(cam->reg(1, 0x2B), pattern(0x2B) | 0x30);
    pylox_dev_close(dev_);

    // A refused batch is logged and skipped; a refused read skips its write;
    // the open goes on regardless.
    cam->clear_reg_log();
    cam->fault_reg(1, 0x72);
    cam->fault_reg(1, 0x25);
    log_->clear();
    ASSERT_NE(open_first(), nullptr);
    want.erase(want.begin() + 5, want.begin() + 7); // read and write of 0x25
    want.erase(want.begin() + 1);                   // the batch 0x71 .. 0x73
    for (A &a : want)
        if (!a.write && a.first != 0x25)
            a.values[0] |= 0x30; // written at the first open
    EXPECT_EQ(cam->reg_log(), want);
    EXPECT_EQ(log_->count("reg write fail!"), 2);
}

TEST_F(EpcCamera, AutoIntegrationFollowsSaturation)
{
    auto cam = plug();
    cam->set_scene(vcam::Scene::box(2000, 300)); // the box at 0.3 m saturates at 1000
    open();
    const uint16_t ratio = 20;
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_AUTO_INTG, const_cast<uint16_t *>(&ratio)), 1);
    // The feature runs at most once per millisecond: frames are decoded a
    // few milliseconds apart.
    auto last = Clock::now();
    auto step = [&](const Frame &f) {
        eventually([&] { return Clock::now() - last > std::chrono::milliseconds(3); },
                   std::chrono::milliseconds(50));
        decode(f);
        last = Clock::now();
        return cam_param32(*cam, PARAM_INTG_TIME);
    };
    uint32_t intg = cam_param32(*cam, PARAM_INTG_TIME);
    ASSERT_EQ(intg, 1000u);
    int pm = 1000, frames = 0;
    for (; frames < 40 && pm >= ratio; ++frames) {
        const Frame f = grab();
        pm = rail_per_mille(f.raw);
        const uint32_t next = step(f);
        if (pm >= ratio)
            EXPECT_LT(next, intg) << "frame " << frames << " at " << pm << " per mille";
        else
            EXPECT_GE(next, intg);
        intg = next;
    }
    EXPECT_LT(pm, ratio) << "after " << frames << " frames";
    EXPECT_GT(frames, 2);
    // Below the ratio with samples near the rails it stays.
    EXPECT_EQ(step(grab()), intg);
    EXPECT_EQ(step(grab()), intg);

    // A dark scene: up to the longest integration time and not beyond.
    cam->set_scene(vcam::Scene::wall(4000, 0.1f));
    ASSERT_TRUE(set_param16(PARAM_INTG_TIME, 1200));
    intg = 1200;
    for (int i = 0; i < 8; ++i) {
        const uint32_t next = step(grab());
        EXPECT_TRUE(next > intg || next == 1500) << next;
        intg = next;
    }
    EXPECT_EQ(intg, 1500u);

    // Switched off: nothing moves.
    pylox_filter_disable(dev_, FILTER_ID_AUTO_INTG);
    cam->set_scene(vcam::Scene::box(2000, 300));
    EXPECT_EQ(step(grab()), 1500u);
}

TEST_F(EpcCamera, PhaseCheckCorrectsAtMostOnceASecond)
{
    vcam::CameraConfig cfg;
    cfg.ambient = 1900; // d0 + d2 = 3800: every pixel's pair sums are off
    auto cam = plug(cfg);
    open();
    filters_off();
    const Frame bad = grab();
    Frame good = bad;
    for (uint16_t &v : good.raw)
        v = static_cast<uint16_t>(v + 148); // pair sums 4096
    const uint16_t arg = 7;
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_PHASE_CHECK, const_cast<uint16_t *>(&arg)), 1);
    std::vector<uint16_t> out;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(decode(good, out), 2 * k_n);
    EXPECT_EQ(param_writes(*cam, 17), 0);

    // Failing frames: the first of each second is dropped with a correction,
    // the others of that second decode as usual.
    int drops = 0, decoded = 0;
    int64_t last_drop = 0;
    bool known = true; // whether last_drop is the second of the last drop
    const auto end = Clock::now() + std::chrono::milliseconds(4500);
    while (drops < 3 && Clock::now() < end) {
        const pylox::wall_time before = pylox::clock_now();
        const int r = decode(bad, out);
        const pylox::wall_time after = pylox::clock_now();
        ASSERT_TRUE(r == -1 || r == 2 * k_n) << r;
        const bool dropped = r == -1;
        if (before.sec == after.sec) {
            if (known) {
                ASSERT_EQ(dropped, before.sec > last_drop) << "second " << before.sec;
            }
            if (dropped) {
                last_drop = before.sec;
                known = true;
            }
        } else if (dropped) {
            known = false; // the drop's second is one of two
        }
        drops += dropped;
        decoded += !dropped;
    }
    EXPECT_EQ(drops, 3);
    EXPECT_GT(decoded, drops);
    std::vector<uint8_t> val;
    EXPECT_EQ(param_writes(*cam, 17, &val), drops);
    ASSERT_GE(val.size(), 3u);
    EXPECT_EQ(val[0], 0); // argument not 0
    EXPECT_EQ(val[1] | val[2] << 8, arg);
}

TEST_F(EpcCamera, TemperatureChecks)
{
    vcam::CameraConfig cfg;
    cfg.temp_cb = 300;
    cfg.temp_ib = 950; // implausible
    auto cam = plug(cfg);
    cam->set_scene(vcam::Scene::wall(1500));
    open();
    filters_off();
    auto temps_of = [&](int16_t cb, int16_t ib) {
        cam->set_temperatures(cb, ib);
        Frame f = grab();
        return std::pair<int, int>(static_cast<int16_t>(f.info.temp0),
                                   static_cast<int16_t>(f.info.temp1));
    };
    // IB 950 is replaced by CB - 10 degrees, and the warning comes once.
    const Frame f = grab();
    EXPECT_EQ(static_cast<int16_t>(f.info.temp1), 200);
    EXPECT_EQ(temps_of(300, 950), std::make_pair(300, 200));
    EXPECT_EQ(log_->count("wrong IB temp 950 detected"), 1);
    // The distance is corrected with the replaced reading: the camera made
    // its phases for IB 950, so the decode lies (950 - 200) x 0.33765 mm further.
    const vcam::Truth t = cam->truth();
    EXPECT_EQ(off_model(
                  decode(f), t, [](int) { return true; }, 750 * 0.33765),
              0);

    // Plausible again, then implausible again: a warning again.
    EXPECT_EQ(temps_of(300, 250), std::make_pair(300, 250));
    EXPECT_EQ(temps_of(300, 950), std::make_pair(300, 200));
    EXPECT_EQ(log_->count("wrong IB temp 950 detected"), 2);
    // CB out of range: kept, and reported with every frame.
    EXPECT_EQ(temps_of(1010, 800), std::make_pair(1010, 800));
    EXPECT_EQ(temps_of(1010, 800), std::make_pair(1010, 800));
    EXPECT_EQ(log_->count("wrong CB temp 1010 detected"), 2);
    // IB 250 lies more than 60 degrees below CB 1010: replaced.
    EXPECT_EQ(temps_of(1010, 250), std::make_pair(1010, 910));
    // The temperature monitor logged the first frame's readings, and not again within 10 s.
    EXPECT_EQ(log_->count("INTERV:"), 1);
    EXPECT_TRUE(log_->has("IBtemp:95.00, Tsensor:30.00"));
}

// The temperature monitor reports the frame rate the capture started with:
// a command to the camera from the delivery path would hold the callbacks of
// the frames behind it until the camera answered.
TEST_F(EpcCamera, TemperatureMonitorSendsNoCommandWhileFramesAreDelivered)
{
    vcam::CameraConfig cfg;
    cfg.fps = 40;
    auto cam = plug(cfg);
    open();
    log_->clear();
    pylox::g_epc_stamps.temp_log_sec = 0; // the monitor's next frame logs, whatever ran before
    ASSERT_EQ(pylox_cap_start(dev_), 1);
    cam->clear_control_log();
    std::vector<uint16_t> raw(4 * k_n);
    for (int k = 0; k < 3; ++k)
        ASSERT_EQ(pylox_cap_get_frames(dev_, 1, raw.data(), 8 * k_n, nullptr), 1);
    EXPECT_EQ(cam->control_log().size(), 0u);
    EXPECT_EQ(pylox_cap_stop(dev_), 1);
    EXPECT_EQ(log_->count("INTERV:"), 1);
    EXPECT_TRUE(log_->has("FPS:40")) << "the monitor's line carries the capture's frame rate";
}

TEST_F(EpcCamera, ModulationFrequencyMountsItsCalibration)
{
    vcam::CameraConfig cfg;
    cfg.mod_freq = 24000000;
    cfg.fpn_mm = 30; // what the calibration must take out
    auto cam = plug(cfg);
    // A plane within the calibrated span (0.3 .. 0.8 m), dim enough not to saturate.
    vcam::Scene sc = vcam::Scene::tilted(350, 750);
    std::fill(sc.reflectivity.begin(), sc.reflectivity.end(), 0.15f);
    cam->set_scene(sc);
    vcam::CalibSpec cal; // blocks of 12 and 24 MHz
    cam->serve_calibration(cal, false, 5, 7);
    open();
    filters_off();
    // The first block (12 MHz) is mounted and the camera set to its frequency.
    EXPECT_EQ(cam->mod_freq(), 12000000u);
    auto mounted = [&] {
        uint32_t f = 0;
        std::memcpy(&f, st()->calib->hdr, 4);
        return f;
    };
    // Calibrated, the fixed-pattern error is gone: the decode meets the true distance.
    auto calibrated_error = [&] {
        const vcam::Truth t = cam->truth();
        const std::vector<uint16_t> d = decode(grab());
        std::vector<double> e;
        for (int p = 0; p < k_n; ++p)
            if (d[p] < 60000)
                e.push_back(std::fabs(d[p] - t.distance_mm[p]));
        EXPECT_GT(e.size(), k_n * 95u / 100);
        std::sort(e.begin(), e.end());
        return e[e.size() * 95 / 100];
    };
    for (uint32_t f : {12000000u, 24000000u, 12000000u}) {
        SCOPED_TRACE(f);
        ASSERT_TRUE(set_param32(PARAM_MOD_FREQ, f));
        EXPECT_EQ(st()->mod_freq, f);
        EXPECT_EQ(mounted(), f);
        EXPECT_EQ(pylox_filter_enable(dev_, FILTER_ID_CALIB, nullptr), 1);
        EXPECT_LT(calibrated_error(), 4.0); // uncalibrated: about 28 mm
    }
    // No block for 20 MHz: the simple model with the default scale and offset
    // (no temperatures of the calibration left behind), as the camera's
    // uncalibrated model has it.
    ASSERT_TRUE(set_param32(PARAM_MOD_FREQ, 20000000));
    EXPECT_EQ(pylox_filter_enable(dev_, FILTER_ID_CALIB, nullptr), 0);
    EXPECT_EQ(st()->calib_en, 1);
    const Frame f = grab();
    EXPECT_EQ(off_model(decode(f), cam->truth(), [](int) { return true; }), 0);
}

TEST_F(EpcCamera, LensIntrinsicsFromTheFile)
{
    auto cam = plug();
    cam->set_scene(vcam::Scene::wall(1500));
    open("150.5 110.25 250 240 -0.2 0.05 0.001 -0.002 0.01 320 240\n");
    EXPECT_EQ(g_epc_lens_param.cx, 150.5);
    EXPECT_EQ(g_epc_lens_param.k3, 0.01);
    const Frame f = grab();
    // The point cloud's rays: x = (u - cx) d / fx, y = (v - cy) d / fy.
    std::vector<float> m(2 * k_n), pcl(3 * k_n);
    ASSERT_EQ(pylox_frame_get_distance(dev_, m.data(), 2 * k_n,
                                       reinterpret_cast<const uint8_t *>(f.raw.data()), 8 * k_n,
                                       &f.info),
              k_n);
    const int pts =
        pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, m.data(), k_n, k_w, k_h, nullptr);
    EXPECT_GT(pts, k_n * 9 / 10);
    int i = 0, bad = 0;
    for (int p = 0; p < k_n && i < pts; ++p) {
        const float d = m[p];
        if (!(d > 0 && d < 60))
            continue;
        const double x = (p % k_w - 150.5) * d / 250, y = (p / k_w - 110.25) * d / 240;
        bad += std::fabs(pcl[3 * i] - x) > 1e-4 || std::fabs(pcl[3 * i + 1] - y) > 1e-4;
        ++i;
    }
    EXPECT_EQ(bad, 0);
    // Undistortion maps through the file's intrinsics.
    const std::vector<uint16_t> plain = decode(f);
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_LENS_UNDIST, nullptr), 1);
    const std::vector<uint16_t> undist = decode(f);
    auto remap = [&](const tq_calib_len_param_t &lp, const std::vector<uint16_t> &src) {
        tq_calib_len_map_t map{};
        tq_calib_len_init_map(&map, &lp);
        std::vector<uint16_t> out(k_n);
        tq_calib_len_undistort_u16(&map, out.data(), k_n, src.data(), k_w, k_h, 0);
        tq_calib_len_uninit_map(&map);
        return out;
    };
    const tq_calib_len_param_t file_lp = {150.5, 110.25, 250,  240, -0.2, 0.05,
                                          0.001, -0.002, 0.01, 320, 240};
    tq_calib_len_param_t default_lp = file_lp;
    default_lp.cx = 157.262; // another centre
    EXPECT_EQ(undist, remap(file_lp, plain));
    EXPECT_NE(undist, remap(default_lp, plain));
    EXPECT_NE(undist, plain);

    // Intrinsics of a lens calibrated at 640 x 480 are halved for the frames.
    pylox_dev_close(dev_);
    std::ofstream(prefix_ + "lens_param.txt")
        << "301 220.5 500 480 -0.2 0.05 0.001 -0.002 0.01 640 480\n";
    ASSERT_NE(open_first(), nullptr);
    const Frame g = grab();
    const std::vector<uint16_t> flat = decode(g);
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_LENS_UNDIST, nullptr), 1);
    EXPECT_EQ(decode(g), remap(file_lp, flat));
}

// 3 x 3 median with the edge pixels repeated beyond the border.
std::vector<uint16_t> median3(const std::vector<uint16_t> &in)
{
    std::vector<uint16_t> out(k_n);
    for (int y = 0; y < k_h; ++y)
        for (int x = 0; x < k_w; ++x) {
            uint16_t v[9];
            int k = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    v[k++] =
                        in[std::clamp(y + dy, 0, k_h - 1) * k_w + std::clamp(x + dx, 0, k_w - 1)];
            std::nth_element(v, v + 4, v + 9);
            out[y * k_w + x] = v[4];
        }
    return out;
}

TEST_F(EpcCamera, EachFilterSwitchActsOnItsStage)
{
    vcam::CameraConfig cfg;
    cfg.noise = 4;
    auto cam = plug(cfg);
    vcam::Scene sc = vcam::Scene::box(2000, 1200);
    for (int y = 0; y < k_h; ++y)
        for (int x = 20; x < 40; ++x)
            sc.refl(x, y) = 0.02f; // amplitude about 7: below the minimum
    cam->set_scene(sc);
    cam->serve_calibration(vcam::CalibSpec{}, false, 5, 7);
    open();
    const Frame f = grab();
    const vcam::Truth t = cam->truth();
    std::vector<std::string> names;
    for (int i = 0; i < pylox::g_epc_dist_stage_count; ++i)
        names.push_back(pylox::g_epc_dist_stages[i].name);
    auto at = [&](const std::string &n) {
        return static_cast<int>(std::find(names.begin(), names.end(), n) - names.begin());
    };
    const uint16_t thr = 30;
    const uint8_t spatial = 5;
    const int32_t offset = 100;
    auto fresh_minamp = [&] { // the hysteresis starts anew for every run
        if (!st()->minamp_en)
            return;
        pylox_filter_disable(dev_, FILTER_ID_AMP);
        pylox_filter_enable(dev_, FILTER_ID_AMP, const_cast<uint16_t *>(&thr));
    };
    struct Switch {
        int id;
        const void *arg;
        std::vector<std::string> stages;
    } switches[] = {
        {FILTER_ID_CALIB, nullptr, {"depth"}},
        {FILTER_ID_OFFSET, &offset, {"depth"}},
        {FILTER_ID_HDR, nullptr, {"hdr"}},
        {FILTER_ID_AMP, &thr, {"minamp"}},
        {FILTER_ID_SPATIAL, &spatial, {"median", "bilateral", "flypix", "holefill"}},
        {FILTER_ID_LENS_UNDIST, nullptr, {"undistort"}},
    };
    for (const Switch &s : switches) {
        SCOPED_TRACE(names[at(s.stages[0])]);
        pylox_filter_enable(dev_, s.id, const_cast<void *>(s.arg));
        fresh_minamp();
        const auto on = stages(f);
        // The public decode is this chain.
        std::vector<float> m(2 * k_n);
        ASSERT_EQ(pylox_frame_get_distance(dev_, m.data(), 2 * k_n,
                                           reinterpret_cast<const uint8_t *>(f.raw.data()), 8 * k_n,
                                           &f.info),
                  k_n);
        int mism = 0;
        for (int p = 0; p < k_n; ++p)
            mism += on.back()[p] < 60000 && std::fabs(m[p] * 1000 - on.back()[p]) > 0.01;
        EXPECT_EQ(mism, 0);
        pylox_filter_disable(dev_, s.id);
        fresh_minamp();
        const auto off = stages(f);
        const int first = at(s.stages[0]);
        for (int k = 0; k < first; ++k)
            EXPECT_EQ(on[k], off[k]) << names[k];
        EXPECT_NE(on[first], off[first]);
        for (const std::string &n : s.stages)
            if (at(n) > 0) {
                EXPECT_EQ(off[at(n)], off[at(n) - 1]) << n << " ran while off";
            }

        // What the stage did, where an independent reckoning is at hand.
        if (s.id == FILTER_ID_OFFSET) {
            int bad = 0;
            for (int p = 0; p < k_n; ++p)
                if (off[0][p] < 60000) {
                    const uint32_t v = off[0][p] + offset; // wrapped into the range
                    bad += on[0][p] != (v > st()->range_mm ? v - st()->range_mm : v);
                }
            EXPECT_EQ(bad, 0);
        } else if (s.id == FILTER_ID_AMP) {
            const std::vector<uint16_t> &in = on[first - 1], &out = on[first];
            int bad = 0, removed = 0;
            for (int p = 0; p < k_n; ++p) {
                const bool dark = t.amplitude[p] < thr;
                removed += dark;
                bad += dark ? out[p] != k_removed : out[p] != in[p];
            }
            EXPECT_EQ(bad, 0);
            EXPECT_EQ(removed, 20 * k_h);
        } else if (s.id == FILTER_ID_SPATIAL) {
            EXPECT_EQ(on[first], median3(on[first - 1]));
        } else if (s.id == FILTER_ID_HDR) {
            const std::vector<uint16_t> &in = on[first - 1], &out = on[first];
            int bad = 0;
            for (int y = 0; y < k_h; y += 2)
                for (int p = y * k_w; p < (y + 1) * k_w; ++p) {
                    const int q = p + k_w; // the row below
                    bad += out[p] != out[q] || (out[p] != in[p] && out[p] != in[q]);
                }
            EXPECT_EQ(bad, 0);
        }
    }
}

TEST_F(EpcCamera, HdrMergeTakesTheUnsaturatedRow)
{
    auto cam = plug();
    // At 1000 us the box at 0.35 m saturates and the wall is well lit; at 100 us
    // the box is fine and the wall dim.
    cam->set_scene(vcam::Scene::box(1000, 350));
    cam->serve_calibration(vcam::CalibSpec{}, false, 5, 7);
    open();
    filters_off();
    pylox_filter_disable(dev_, FILTER_ID_CALIB); // first by the camera's uncalibrated model
    ASSERT_TRUE(set_param16(PARAM_INTG_TIME2, 100));
    const Frame f = grab();
    const vcam::Truth t = cam->truth();
    auto in_box = [](int p) {
        const int x = p % k_w, y = p / k_w;
        return x >= 110 && x < 210 && y >= 80 && y < 160;
    };
    auto odd_row = [](int p) { return (p / k_w) % 2 == 1; };
    // Without the merge the rows alternate: the box saturates on even rows only.
    std::vector<uint16_t> d = decode(f);
    int sat_even = 0, sat_odd = 0;
    for (int p = 0; p < k_n; ++p)
        if (d[p] == EPC_DIST_SATURATED)
            (odd_row(p) ? sat_odd : sat_even)++;
    EXPECT_EQ(sat_even, 100 * 40);
    EXPECT_EQ(sat_odd, 0);
    EXPECT_EQ(off_model(d, t, [&](int p) { return !(in_box(p) && !odd_row(p)); }), 0);

    // Merged: in the box both rows of a pair take the odd row (100 us), on the
    // wall the even row (1000 us, the stronger signal).
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_HDR, nullptr), 1);
    d = decode(f);
    auto winner = [&](int p) {
        const int even = p - (odd_row(p) ? k_w : 0);
        return in_box(p) ? even + k_w : even;
    };
    EXPECT_EQ(off_model(
                  d, t, [](int) { return true; }, 0, winner),
              0);
    // Calibrated as well: saturated samples make no distance there either, so
    // the box comes from the odd rows, within the calibration's accuracy.
    ASSERT_EQ(pylox_filter_enable(dev_, FILTER_ID_CALIB, nullptr), 1);
    d = decode(f);
    int bad = 0;
    for (int p = 0; p < k_n; ++p)
        bad += in_box(p) && std::fabs(d[p] - t.distance_mm[p]) > 6;
    EXPECT_EQ(bad, 0);
    // Automatic integration stays off while the rows are merged.
    const uint16_t ratio = 20;
    pylox_filter_enable(dev_, FILTER_ID_AUTO_INTG, const_cast<uint16_t *>(&ratio));
    decode(f);
    EXPECT_EQ(cam_param32(*cam, PARAM_INTG_TIME), 1000u);

    // Switched off: the camera's second integration time is cleared.
    pylox_filter_disable(dev_, FILTER_ID_AUTO_INTG);
    pylox_filter_disable(dev_, FILTER_ID_HDR);
    EXPECT_EQ(cam_param32(*cam, PARAM_INTG_TIME2), 0u);
    d = decode(grab());
    int sat = 0;
    for (int p = 0; p < k_n; ++p)
        sat += d[p] == EPC_DIST_SATURATED;
    EXPECT_EQ(sat, 100 * 80);
}

} // namespace
