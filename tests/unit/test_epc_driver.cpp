// The EPC driver without a camera: frame information and temperatures, the
// lens intrinsics file, the runtime features and their switches, and the
// decode chain against a chain assembled here from the library's pieces.
#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_driver.h"
#include "drivers/epc/epc_features.h"
#include "support/log_capture.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace pylox;

namespace {

constexpr int k_w = 320, k_h = 240, k_n = k_w * k_h;

// A bound driver without a device: its register and parameter calls fail
// (and are logged), everything else works.
struct Driver {
    pylox_drv_t drv{"EPC chip driver", "E2", &g_pylox_driver_op_epc, nullptr, nullptr};
    epc_state_t *st;
    Driver()
    {
        EXPECT_EQ(drv.ops->init(&drv, nullptr), 1);
        st = epc_state(&drv);
        drv.ops->update_mod_freq(&drv, 12000000, 0);
    }
    ~Driver() { drv.ops->uninit(&drv); }
    int decode(std::vector<uint16_t> &out, const std::vector<uint16_t> &raw, int kind = 1,
               int fmt = 2)
    {
        pylox_frame_info_t info{};
        info.frame_size = static_cast<uint32_t>(raw.size() * 2);
        info.frame_format = static_cast<uint16_t>(fmt);
        info.width = k_w;
        info.height = k_h;
        out.assign(k_n, 0);
        return drv.ops->frame_decode(&drv, out.data(), static_cast<int>(out.size() * 2), kind,
                                     reinterpret_cast<const uint8_t *>(raw.data()),
                                     static_cast<int>(raw.size() * 2), &info);
    }
};

tq_stream_finfo_t finfo_of(uint32_t size, uint16_t fmt, uint16_t w, uint16_t h, int16_t cb,
                           int16_t ib)
{
    tq_stream_finfo_t f{};
    f.frame_size = size;
    f.frame_format = fmt;
    f.attr.width = w;
    f.attr.height = h;
    f.attr.temp0 = static_cast<uint16_t>(cb);
    f.attr.temp1 = static_cast<uint16_t>(ib);
    return f;
}

// A raw frame of four planes: a tilted surface with a box, amplitudes that
// differ between neighbouring sensor rows (for the HDR merge), dark pixels
// (minimum amplitude), saturated ones and isolated spikes (median, flying
// pixels).
std::vector<uint16_t> make_raw(uint32_t seed = 7)
{
    std::vector<uint16_t> raw(4 * k_n);
    uint32_t s = seed;
    auto rnd = [&]() {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    };
    for (int r = 0; r < k_h; ++r)
        for (int x = 0; x < k_w; ++x) {
            double theta =
                0.6 + 2.0 * x / k_w + ((x > 100 && x < 200 && r > 60 && r < 150) ? 1 : 0);
            double A = (r % 2 ? 300 : 900) + (x % 7) * 40;
            const uint32_t v = rnd() % 100;
            if (v < 3)
                A = 10 + v * 5; // dark
            else if (v < 5)
                A = 2500; // clips
            else if (v < 7)
                theta += 2.5; // spike
            for (int k = 0; k < 4; ++k) {
                double d = 2048 + A * std::cos(theta - k * M_PI / 2);
                raw[static_cast<size_t>(k) * k_n + r * k_w + x] =
                    static_cast<uint16_t>(std::clamp(std::lround(d), 0L, 4095L));
            }
        }
    return raw;
}

// --- frame information ------------------------------------------------------

TEST(EpcFrameInfo, SizesFormatsAndTemperatures)
{
    pylox_test::log_capture log(TQ_LOG_WRN);
    Driver d;
    pylox_frame_info_t info{};
    auto f = finfo_of(614400, 2, 0, 0, 300, 250);
    ASSERT_EQ(d.drv.ops->frame_get_info(&d.drv, &info, &f), 1);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.depth, 8);
    EXPECT_EQ(info.temp0, 300);
    EXPECT_EQ(info.temp1, 250);
    f = finfo_of(614401, 2, 320, 240, 300, 250);
    EXPECT_EQ(d.drv.ops->frame_get_info(&d.drv, &info, &f), 0);
    f = finfo_of(614401, 171, 320, 240, 300, 250);
    EXPECT_EQ(d.drv.ops->frame_get_info(&d.drv, &info, &f), 1);
    EXPECT_EQ(info.depth, 8);

    // IB implausible: replaced by CB - 10 degrees, reported once.
    f = finfo_of(614400, 2, 320, 240, 300, 950);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(d.drv.ops->frame_get_info(&d.drv, &info, &f), 1);
        EXPECT_EQ(static_cast<int16_t>(info.temp1), 200);
        EXPECT_EQ(d.st->temp_ib, 200);
    }
    EXPECT_EQ(log.count("wrong IB temp 950"), 1);
    // CB out of range alone: both kept, CB warned about.
    f = finfo_of(614400, 2, 320, 240, 1010, 800);
    d.drv.ops->frame_get_info(&d.drv, &info, &f);
    EXPECT_EQ(info.temp0, 1010);
    EXPECT_EQ(info.temp1, 800);
    EXPECT_EQ(log.count("wrong CB temp 1010"), 1);
    // More than 60 degrees apart: IB corrected to 910 (and warned: the
    // previous frame was not a corrected one).
    f = finfo_of(614400, 2, 320, 240, 1010, 250);
    d.drv.ops->frame_get_info(&d.drv, &info, &f);
    EXPECT_EQ(info.temp1, 910);
    EXPECT_EQ(log.count("wrong IB temp 250"), 1);
}

// Applications take frames on one thread and decode them on another: the
// temperatures the frame information accepts are read by a decode running at
// the same time (ThreadSanitizer watches the hand-over).
TEST(EpcFrameInfo, TemperaturesChangeWhileAnotherThreadDecodes)
{
    Driver d;
    const auto raw = make_raw();
    std::atomic<bool> done{false};
    std::thread taker([&] {
        pylox_frame_info_t info{};
        for (int i = 0; !done.load(); ++i) {
            auto f = finfo_of(614400, 2, 320, 240, i % 2 ? 300 : 400, i % 2 ? 250 : 350);
            ASSERT_EQ(d.drv.ops->frame_get_info(&d.drv, &info, &f), 1);
            ASSERT_EQ(info.temp0 - info.temp1, 50);
        }
    });
    std::vector<uint16_t> out;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(d.decode(out, raw), 2 * k_n);
    done = true;
    taker.join();
}
// The temperature monitor's ten-second stamp is the module's, shared by the
// threads taking the frames of several devices at once: between them they
// log one line.
TEST(EpcFrameInfo, DevicesTakingFramesAtOnceShareOneTemperatureLine)
{
    pylox_test::log_capture log(TQ_LOG_DBG);
    Driver a, b;
    g_epc_stamps.temp_log_sec = 0;
    std::atomic<int> waiting{2};
    auto take = [&](Driver *d) {
        --waiting;
        while (waiting.load() > 0) {
        }
        pylox_frame_info_t info{};
        const auto f = finfo_of(614400, 2, 320, 240, 300, 250);
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(d->drv.ops->frame_get_info(&d->drv, &info, &f), 1);
    };
    std::thread ta(take, &a), tb(take, &b);
    ta.join();
    tb.join();
    EXPECT_EQ(log.count("INTERV:"), 1);
}

// --- lens intrinsics ----------------------------------------------------------

class EpcLens : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = g_epc_lens_param;
        dir_ = std::filesystem::temp_directory_path() /
               ("epc_lens_" + std::to_string(::getpid()) + "/");
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        g_epc_lens_param = saved_;
        std::filesystem::remove_all(dir_);
    }
    int load(const std::string &text)
    {
        std::ofstream(dir_ / k_lens_file) << text;
        return _tq_update_len_param(dir_.string().c_str(), &g_epc_lens_param);
    }
    tq_calib_len_param_t saved_;
    std::filesystem::path dir_;
};

TEST_F(EpcLens, TokensByPosition)
{
    pylox_test::log_capture log(TQ_LOG_DBG);
    EXPECT_EQ(load("160.5 120.25\n200 201\n-0.3 0.1 0.001 0.002 -0.01\n320 240\n"), 1);
    const tq_calib_len_param_t &p = g_epc_lens_param;
    EXPECT_DOUBLE_EQ(p.cx, 160.5);
    EXPECT_DOUBLE_EQ(p.cy, 120.25);
    EXPECT_DOUBLE_EQ(p.fx, 200);
    EXPECT_DOUBLE_EQ(p.fy, 201);
    EXPECT_DOUBLE_EQ(p.k1, -0.3);
    EXPECT_DOUBLE_EQ(p.k3, -0.01);
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);

    // Ten tokens: ten stored, the height stays, failure logged.
    g_epc_lens_param.height = 77;
    EXPECT_EQ(load("1 2 3 4 5 6 7 8 9 640"), 0);
    EXPECT_DOUBLE_EQ(p.cx, 1);
    EXPECT_DOUBLE_EQ(p.k3, 9);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 77);
    EXPECT_EQ(log.count("len param file lens_param.txt load failed"), 1);
    // Twelve: all eleven stored, still a failure.
    EXPECT_EQ(load("1 2 3 4 5 6 7 8 9 640 480 99"), 0);
    EXPECT_EQ(p.height, 480);
    EXPECT_EQ(log.count("len param file lens_param.txt load failed"), 2);
    // Missing file: nothing changes.
    std::filesystem::remove(dir_ / k_lens_file);
    const tq_calib_len_param_t before = p;
    EXPECT_EQ(_tq_update_len_param(dir_.string().c_str(), &g_epc_lens_param), 0);
    EXPECT_EQ(std::memcmp(&before, &p, sizeof p), 0);
    EXPECT_TRUE(log.has("Open failed, use default param"));
}

// A size no lens image has (the map of 46340 x 46340 would take 8 GiB at
// every open): refused, the size not stored, what the file had before kept.
TEST_F(EpcLens, ImageSizeOutOfRangeRefused)
{
    pylox_test::log_capture log(TQ_LOG_DBG);
    const tq_calib_len_param_t &p = g_epc_lens_param;
    for (const char *text : {"1 2 3 4 5 6 7 8 9 46340 46340", "1 2 3 4 5 6 7 8 9 320 0",
                             "1 2 3 4 5 6 7 8 9 -320 240", "1 2 3 4 5 6 7 8 9 2049 240"}) {
        g_epc_lens_param.width = 320;
        g_epc_lens_param.height = 240;
        EXPECT_EQ(load(text), 0) << text;
        EXPECT_DOUBLE_EQ(p.k3, 9);
        EXPECT_EQ(p.width, 320) << text;
        EXPECT_EQ(p.height, 240) << text;
    }
    EXPECT_EQ(log.count("out of range 1..2048"), 5); // both sizes of the first file
    EXPECT_EQ(load("1 2 3 4 5 6 7 8 9 2048 1"), 1);
    EXPECT_EQ(p.width, 2048);
    EXPECT_EQ(p.height, 1);
}

TEST_F(EpcLens, ScaledToTheFrame)
{
    pylox_test::log_capture log(TQ_LOG_WRN);
    Driver d;
    tq_calib_len_param_t out{};
    ASSERT_EQ(d.drv.ops->lens_param_get(&d.drv, &out, 160, 120), 1);
    EXPECT_DOUBLE_EQ(out.cx, g_epc_lens_param.cx / 2);
    EXPECT_DOUBLE_EQ(out.cy, g_epc_lens_param.cy / 2);
    EXPECT_DOUBLE_EQ(out.fx, g_epc_lens_param.fx / 2);
    EXPECT_DOUBLE_EQ(out.fy, g_epc_lens_param.fy / 2);
    EXPECT_DOUBLE_EQ(out.k2, g_epc_lens_param.k2);
    EXPECT_EQ(out.width, 160);
    EXPECT_EQ(d.drv.ops->lens_param_get(&d.drv, &out, 300, 240), 0);
    EXPECT_TRUE(log.has("lens param not match the frame size: lens: 320x240, frame: 300x240"));
    EXPECT_EQ(d.drv.ops->lens_param_get(&d.drv, &out, 0, 240), 0);
}

// --- features -----------------------------------------------------------------

TEST(EpcFeatures, AutoIntegrationSteps)
{
    std::vector<uint16_t> w(76800, 4095);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 50), -1000);
    // 1 % bad words
    std::fill(w.begin(), w.end(), 2000);
    std::fill(w.begin(), w.begin() + 768, 1);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 10), -10);
    std::fill(w.begin(), w.end(), 2000);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 10), 50);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 0, 10), 50);
    // pct 5 with ratio 3: 600 high words step down, 100 high and 600 low hold.
    std::fill(w.begin(), w.end(), 2000);
    std::fill(w.begin(), w.begin() + 384, 0);
    std::fill(w.begin() + 384, w.begin() + 984, 3600);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 3), -10);
    std::fill(w.begin() + 384, w.begin() + 984, 2000);
    std::fill(w.begin() + 384, w.begin() + 484, 4094);
    std::fill(w.begin() + 484, w.begin() + 1084, 511);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 3), 0);
    // Below the ratio: 11 high words hold, none move up.
    std::fill(w.begin(), w.end(), 2000);
    std::fill(w.begin(), w.begin() + 11, 3585);
    EXPECT_EQ(_feature_auto_intg_calc_step(w.data(), 76800, 0), 0);
}

TEST(EpcFeatures, MinimumAmplitudeHysteresis)
{
    pylox_test::log_capture log(TQ_LOG_ERR);
    Driver d;
    d.st->minamp_thr = 30;
    d.st->minamp_hyst = 10;
    // pixel i: amplitude sequence over three frames -> expected validity
    struct Case {
        uint16_t first, second;
        bool valid;
    } cases[] = {{30, 25, true},   {10, 25, false},  {30, 19, false},   {10, 30, true},
                 {30, 2018, true}, {30, 2019, true}, {10, 2028, false}, {30, 2029, false},
                 {2018, 20, true}, {2018, 21, true}, {30, 0, false},    {40, 65535, false}};
    const int n = sizeof cases / sizeof cases[0];
    std::vector<uint16_t> amp(n), dist(n);
    for (int i = 0; i < n; ++i)
        amp[i] = cases[i].first;
    dist.assign(n, 1000);
    _feature_minamp_filter(d.st, dist.data(), amp.data(), n);
    for (int i = 0; i < n; ++i) {
        amp[i] = cases[i].second;
        dist[i] = 1000;
    }
    _feature_minamp_filter(d.st, dist.data(), amp.data(), n);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(dist[i], cases[i].valid ? 1000 : 65300) << "case " << i;
    // Without the hysteresis the window alone decides.
    d.st->minamp_hyst_en = 0;
    amp = {29, 30, 2018, 2019};
    dist.assign(4, 5);
    _feature_minamp_filter(d.st, dist.data(), amp.data(), 4);
    EXPECT_EQ(dist, (std::vector<uint16_t>{65300, 5, 5, 65300}));
}

TEST(EpcFeatures, HdrMergeKeepsTheStrongerRow)
{
    // 3 rows: the lone last row stays; amplitudes compare as signed values.
    std::vector<uint16_t> amp = {10, 50, 0x8000, 7, /**/ 20, 50, 5, 9, /**/ 1, 2, 3, 4};
    std::vector<uint16_t> dist = {100, 101, 102, 103, /**/ 200, 201, 202, 203, /**/ 1, 2, 3, 4};
    epc_hdr_merge(dist.data(), amp.data(), 4, 3);
    EXPECT_EQ(amp, (std::vector<uint16_t>{20, 50, 5, 9, 20, 50, 5, 9, 1, 2, 3, 4}));
    EXPECT_EQ(dist, (std::vector<uint16_t>{200, 101, 202, 203, 200, 101, 202, 203, 1, 2, 3, 4}));
    std::vector<uint16_t> gray = {10, 0x8000, 20, 5};
    epc_hdr_merge_gray(gray.data(), 2, 2);
    EXPECT_EQ(gray, (std::vector<uint16_t>{20, 0x8000, 20, 0x8000}));
}

TEST(EpcFeatures, PhasePairCounts)
{
    // planes of 4 pixels: sums 4017, 4175, 4016, 4176 in both pairs
    const uint16_t raw[16] = {2000, 2100, 2000, 2100, 2000, 2100, 2000, 2100,
                              2017, 2075, 2016, 2076, 2017, 2075, 2016, 2076 | 0xF000};
    int a = 0, b = 0;
    epc_dcs_pair_counts(raw, 4, 4, &a, &b);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 2);
    epc_dcs_pair_counts(raw, 4, 1, &a, &b);
    EXPECT_EQ(a, 1);
}

TEST(EpcFeatures, SwitchesAndDefaults)
{
    pylox_test::log_capture log(TQ_LOG_DBG);
    Driver d;
    epc_state_t *st = d.st;
    const pylox_drv_op_t *ops = d.drv.ops;
    // defaults after init
    EXPECT_EQ(st->lens_undist_en, 0);
    EXPECT_EQ(st->calib_en, 0);
    EXPECT_EQ(st->spatial_en, 1);
    EXPECT_EQ(st->spatial_arg, 5);
    EXPECT_EQ(st->minamp_en, 1);
    EXPECT_EQ(st->minamp_thr, 30);
    EXPECT_EQ(st->auto_intg_en, 0);
    EXPECT_EQ(st->dcs_check_en, 0);
    EXPECT_EQ(st->temp_mon_en, 1);
    EXPECT_EQ(st->temp_mon_arg, 75);
    EXPECT_EQ(st->hdr_en, 0);
    EXPECT_EQ(st->offset_en, 1);
    EXPECT_EQ(st->offset_mm, 0);

    // IDs without a feature: accepted, nothing changes (the whole record).
    std::vector<uint8_t> before(reinterpret_cast<uint8_t *>(st),
                                reinterpret_cast<uint8_t *>(st) + sizeof *st);
    uint32_t junk = 0xFFFFFFFF;
    for (int id : {3, 10, 11, 255, -1}) {
        EXPECT_EQ(ops->filter_enable(&d.drv, id, &junk), 1);
        EXPECT_EQ(ops->filter_disable(&d.drv, id), 1);
    }
    EXPECT_EQ(std::memcmp(before.data(), st, sizeof *st), 0);

    uint8_t u8 = 3;
    uint16_t u16 = 44;
    int32_t off = -25;
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_SPATIAL, &u8), 1);
    EXPECT_EQ(st->spatial_arg, 3);
    EXPECT_EQ(ops->filter_disable(&d.drv, FILTER_ID_SPATIAL), 1);
    EXPECT_EQ(st->spatial_en, 0);
    EXPECT_EQ(st->spatial_arg, 0);
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_AMP, &u16), 1);
    EXPECT_EQ(st->minamp_thr, 44);
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_AUTO_INTG, &u16), 1);
    EXPECT_EQ(st->sat_ratio, 44);
    EXPECT_EQ(ops->filter_disable(&d.drv, FILTER_ID_AUTO_INTG), 1);
    EXPECT_EQ(st->auto_intg_en, 0);
    EXPECT_EQ(st->sat_ratio, 0);
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_PHASE_CHECK, &u16), 1);
    EXPECT_EQ(st->dcs_check_arg, 44);
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_OFFSET, &off), 1);
    EXPECT_EQ(st->offset_mm, -25);
    EXPECT_TRUE(log.has("offset_mm: 0 -> -25"));
    EXPECT_EQ(ops->filter_disable(&d.drv, FILTER_ID_OFFSET), 1);
    EXPECT_EQ(st->offset_en, 0);
    EXPECT_EQ(st->offset_mm, -25);
    // Calibration without a mounted one: 0, but the switch is on.
    EXPECT_EQ(ops->filter_enable(&d.drv, FILTER_ID_CALIB, nullptr), 0);
    EXPECT_EQ(st->calib_en, 1);
    // Disabling the amplitude filter releases its state.
    std::vector<uint16_t> a(8, 100), dd(8, 1);
    _feature_minamp_filter(st, dd.data(), a.data(), 8);
    EXPECT_NE(st->minamp_state, nullptr);
    EXPECT_EQ(ops->filter_disable(&d.drv, FILTER_ID_AMP), 1);
    EXPECT_EQ(st->minamp_state, nullptr);
    EXPECT_EQ(st->minamp_en, 0);
}

// --- decode -------------------------------------------------------------------

TEST(EpcDecode, RefusesWhatItCannotDecode)
{
    pylox_test::log_capture log(TQ_LOG_INF);
    Driver d;
    const auto raw = make_raw();
    std::vector<uint16_t> out;
    EXPECT_EQ(d.decode(out, raw, 1, 171), -1);
    EXPECT_TRUE(log.has("Calibration data frame,size:614400"));
    EXPECT_EQ(d.decode(out, raw, 1, 3), -1);
    EXPECT_EQ(d.decode(out, raw, 3), -1);
    EXPECT_EQ(d.decode(out, raw, 1), 2 * k_n);
    EXPECT_EQ(d.decode(out, raw, 2), 2 * k_n);

    // A destination two bytes short, a raw frame two bytes short.
    pylox_frame_info_t info{614400, 2, 0, k_w, k_h, 8, 0, 0, 0, 0, {}};
    out.assign(k_n, 0);
    EXPECT_EQ(d.drv.ops->frame_decode(&d.drv, out.data(), 2 * k_n - 2, 1,
                                      reinterpret_cast<const uint8_t *>(raw.data()), 8 * k_n,
                                      &info),
              -1);
    EXPECT_TRUE(log.has("wrong data len: src=614400, dst=153598"));
    EXPECT_EQ(d.drv.ops->frame_decode(&d.drv, out.data(), 2 * k_n, 1,
                                      reinterpret_cast<const uint8_t *>(raw.data()), 8 * k_n - 2,
                                      &info),
              -1);
    // A frame whose pixel count is not a multiple of four: the calculation
    // refuses, so does the decode.
    info.width = 3;
    info.height = 3;
    EXPECT_EQ(d.drv.ops->frame_decode(&d.drv, out.data(), 2 * k_n, 1,
                                      reinterpret_cast<const uint8_t *>(raw.data()), 8 * k_n,
                                      &info),
              -1);
    EXPECT_EQ(d.drv.ops->frame_decode(&d.drv, out.data(), 2 * k_n, 1, nullptr, 8 * k_n, &info), -1);
}

// The chain put together here from the library's pieces, switch by switch.
std::vector<uint16_t> reference_chain(pylox_drv_t *drv, const std::vector<uint16_t> &raw)
{
    const epc_state_t *st = epc_state(drv);
    std::vector<uint16_t> dist(k_n), amp(k_n), t(k_n);
    EXPECT_EQ(calc_dist_calib_simple(drv, dist.data(), amp.data(), raw.data(), k_w, k_h, 4), 1);
    calc_dcs_sort(dist.data(), dist.data(), k_w, k_h);
    calc_dcs_sort(amp.data(), amp.data(), k_w, k_h);
    if (st->hdr_en)
        for (int j = 0; j + 1 < k_h; j += 2)
            for (int x = 0; x < k_w; ++x) {
                const int p = j * k_w + x, q = p + k_w;
                const int src = int16_t(amp[q]) > int16_t(amp[p]) ? q : p;
                amp[p] = amp[q] = amp[src];
                dist[p] = dist[q] = dist[src];
            }
    if (st->minamp_en)
        for (int i = 0; i < k_n; ++i)
            if (amp[i] < st->minamp_thr || amp[i] > 2048 - st->minamp_thr)
                dist[i] = 65300;
    if (st->spatial_en && st->spatial_arg > 1) {
        tq_bpf2d_iir_t bpf{};
        EXPECT_EQ(tq_bpf2d_iir_init(&bpf, k_w, k_h, 0.02f, 0.1f, 0, 4096), 1);
        tq_median2d_u16(t.data(), dist.data(), k_w, k_h, 3);
        tq_bpf2d_iir(&bpf, dist.data(), t.data(), k_w, k_h);
        tq_bpf2d_iir_uninit(&bpf);
        if (st->flypix_en) {
            tq_flypix_u16_k3(t.data(), dist.data(), k_w, k_h, st->flypix_thr);
            dist = t;
        }
        tq_fhole_u16_k3(t.data(), dist.data(), k_w, k_h, 0);
        dist = t;
    }
    for (auto &v : dist)
        if (v <= 60000 && (v <= 100 || v > static_cast<int>(st->range_mm) - 100))
            v = 65300;
    if (st->lens_undist_en) {
        tq_calib_len_map_t map{};
        tq_calib_len_init_map(&map, &g_epc_lens_param);
        tq_calib_len_undistort_u16(&map, t.data(), k_n, dist.data(), k_w, k_h, 0);
        tq_calib_len_uninit_map(&map);
        dist = t;
    }
    return dist;
}

TEST(EpcDecode, EachSwitchChangesItsStage)
{
    pylox_test::log_capture log(TQ_LOG_ERR);
    Driver d;
    epc_state_t *st = d.st;
    const auto raw = make_raw();
    std::vector<uint16_t> out;
    std::vector<std::vector<uint16_t>> seen;
    // Defaults first, then each switch flipped alone.
    struct Flip {
        const char *name;
        uint8_t *flag;
    } flips[] = {{"none", nullptr},          {"hdr", &st->hdr_en},
                 {"minamp", &st->minamp_en}, {"spatial", &st->spatial_en},
                 {"flypix", &st->flypix_en}, {"undistort", &st->lens_undist_en}};
    for (const Flip &f : flips) {
        if (f.flag)
            *f.flag ^= 1;
        std::free(st->minamp_state); // a fresh hysteresis state, as the reference assumes
        st->minamp_state = nullptr;
        st->minamp_state_len = 0;
        ASSERT_EQ(d.decode(out, raw), 2 * k_n) << f.name;
        const auto want = reference_chain(&d.drv, raw);
        int diff = 0;
        for (int i = 0; i < k_n; ++i)
            diff += out[i] != want[i];
        EXPECT_EQ(diff, 0) << f.name;
        for (const auto &s : seen)
            EXPECT_NE(s, out) << f.name << " changed nothing";
        seen.push_back(out);
        if (f.flag)
            *f.flag ^= 1;
    }
    // The work images stay the same buffers from frame to frame.
    const uint16_t *w0 = st->work[0];
    ASSERT_EQ(d.decode(out, raw), 2 * k_n);
    EXPECT_EQ(st->work[0], w0);
}

TEST(EpcDecode, GrayChain)
{
    pylox_test::log_capture log(TQ_LOG_ERR);
    Driver d;
    const auto raw = make_raw();
    std::vector<uint16_t> out, want(k_n);
    ASSERT_EQ(calc_gray(&d.drv, want.data(), raw.data(), k_w, k_h, 4), 1);
    calc_dcs_sort(want.data(), want.data(), k_w, k_h);
    ASSERT_EQ(d.decode(out, raw, 2), 2 * k_n);
    EXPECT_EQ(out, want);
    d.st->hdr_en = 1;
    ASSERT_EQ(d.decode(out, raw, 2), 2 * k_n);
    epc_hdr_merge_gray(want.data(), k_w, k_h);
    EXPECT_EQ(out, want);
}

} // namespace
