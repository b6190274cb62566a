// Depth calculation of the EPC driver: the per-pixel arithmetic against
// double-precision references, every vector unit against the per-pixel form,
// the calibration models through the exported calls, and the row order.
#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_state.h"

#include <pylox/pylox.h>

#include <hwy/targets.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pylox;
namespace ep = pylox::epc;

// Runs f once per vector unit compiled into the library that this machine
// has, with the kernels dispatching to it.
void for_each_target(const std::function<void(const char *)> &f)
{
    const int64_t usable = ep::vec_compiled_targets() & hwy::SupportedTargets();
    int runs = 0;
    for (int64_t rest = usable; rest != 0; rest &= rest - 1) {
        const int64_t t = rest & -rest;
        hwy::SetSupportedTargetsForTest(t);
        ASSERT_STREQ(ep::vec_target_name(), hwy::TargetName(t));
        f(hwy::TargetName(t));
        ++runs;
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GE(runs, 1);
}

// Phase of atan2(d1 - d3, d0 - d2) = atan2(-Q, -I) in units of 32768 per turn.
double ref_phase(int i, int q)
{
    double a = std::atan2(-static_cast<double>(q), -static_cast<double>(i));
    if (a < 0)
        a += 2 * std::numbers::pi;
    return a * 32768.0 / (2 * std::numbers::pi);
}

double circ_diff(double a, double b)
{
    return std::fabs(std::remainder(a - b, 32768.0));
}

// Four planes of n pixels; plane(k)[p] is sample k of pixel p.
struct Frame {
    int64_t n;
    std::vector<uint16_t> raw;
    explicit Frame(int64_t pixels) : n(pixels), raw(static_cast<size_t>(4 * pixels)) {}
    uint16_t *plane(int k) { return raw.data() + k * n; }
    void set(int64_t p, int d0, int d1, int d2, int d3)
    {
        plane(0)[p] = static_cast<uint16_t>(d0);
        plane(1)[p] = static_cast<uint16_t>(d1);
        plane(2)[p] = static_cast<uint16_t>(d2);
        plane(3)[p] = static_cast<uint16_t>(d3);
    }
    // Samples giving I = d2 - d0 and Q = d3 - d1.
    // Samples off both rails wherever I and Q leave room for it.
    void set_iq(int64_t p, int i, int q)
    {
        const int b = std::abs(i) <= 4093 && std::abs(q) <= 4093 ? 1 : 0;
        const int d0 = std::max(0, -i) + b, d1 = std::max(0, -q) + b;
        set(p, d0, d1, d0 + i, d1 + q);
    }
    void planes(const uint16_t *d[4])
    {
        for (int k = 0; k < 4; ++k)
            d[k] = plane(k);
    }
};

// Random samples: mostly 12-bit values, some at either end of the scale,
// some with stray bits above the twelve.
Frame random_frame(int64_t n, uint32_t seed)
{
    Frame f(n);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> v(0, 4095), kind(0, 31);
    for (auto &s : f.raw) {
        const int k = kind(rng);
        s = static_cast<uint16_t>(k == 0 ? 0 : k == 1 ? 4095 : v(rng));
        if (k == 2)
            s = static_cast<uint16_t>(s | (v(rng) << 4));
    }
    return f;
}

// Parameters of the look-up model under which its distance is the phase
// itself: no drift, image 0 at phase 0 and image 1 at phase 1, one phase unit
// per image step, range 32768.
ep::lut_args identity_lut(const uint16_t *ref, int32_t stride)
{
    ep::lut_args p{};
    p.drift = 0.0f;
    p.scale = 0.0f;
    p.step_phase = 1.0f;
    p.last_k = 0;
    p.range_mm = 32768;
    p.ref = ref;
    p.ref_stride = stride;
    return p;
}

// (I, Q) over the 12-bit range (every I, every seventh Q plus the rows at the
// axis and the ends of the scale): the phase (read back through the look-up
// model set up as the identity) is within two units of atan2, the amplitude
// within one of the true root of (I^2 + Q^2) / 4, a pixel with a sample on a
// rail (|I| or |Q| above 4093) gets 65500, and every vector unit gives the
// per-pixel result bit for bit.
TEST(DepthPixel, IQGridAgainstDoublePrecisionAndEveryVectorUnit)
{
    constexpr int w = 8191 + 9; // I = -4095 .. 4095, a few pixels beyond a whole vector
    Frame f(w);
    // Reference images for w pixels: header word, image 0 all 0, image 1 all 1.
    std::vector<uint16_t> ref(2 + 2 * w, 0);
    std::fill(ref.begin() + 1 + w, ref.begin() + 1 + 2 * w, 1);
    const ep::lut_args p = identity_lut(ref.data() + 1, w);
    std::vector<uint16_t> dist(w), amp(w), vdist(w), vamp(w), gray(w);
    double worst_phase = 0, worst_amp = 0;
    int64_t vec_mismatch = 0, rows = 0, on_rail = 0;
    const int64_t targets = ep::vec_compiled_targets() & hwy::SupportedTargets();
    for (int q = -4095; q <= 4095; ++q) {
        const bool edge = std::abs(q) <= 1 || std::abs(q) >= 4094;
        if (q % 7 != 0 && !edge)
            continue;
        ++rows;
        for (int x = 0; x < w; ++x)
            f.set_iq(x, std::clamp(x - 4095, -4095, 4095), q);
        const uint16_t *d[4];
        f.planes(d);
        ep::lut_plain(p, dist.data(), amp.data(), d, w);
        for (int x = 0; x < 8191; ++x) {
            const int i = x - 4095;
            if (std::abs(i) > 4093 || std::abs(q) > 4093) { // a sample on a rail
                on_rail += dist[x] != EPC_DIST_SATURATED || amp[x] != EPC_DIST_SATURATED;
                continue;
            }
            worst_phase = std::max(worst_phase, circ_diff(dist[x], ref_phase(i, q)));
            const double root = std::sqrt(static_cast<double>((i * i + q * q) >> 2));
            worst_amp = std::max(worst_amp, std::fabs(amp[x] - root));
        }
        if (q % 140 != 0 && !edge)
            continue;
        for (int64_t rest = targets; rest != 0; rest &= rest - 1) {
            hwy::SetSupportedTargetsForTest(rest & -rest);
            ep::lut_vec(p, vdist.data(), vamp.data(), d, w);
            ep::gray_vec(gray.data(), d, w);
            for (int x = 0; x < w; ++x)
                vec_mismatch += (vdist[x] != dist[x]) + (vamp[x] != amp[x]) +
                                (gray[x] != amp[x] && amp[x] != EPC_DIST_SATURATED);
        }
        hwy::SetSupportedTargetsForTest(0);
    }
    EXPECT_EQ(rows, 1175);
    EXPECT_LE(worst_phase, 2.0);
    EXPECT_LT(worst_amp, 1.0);
    EXPECT_EQ(vec_mismatch, 0);
    EXPECT_EQ(on_rail, 0);
}

// What the vector units rest on: for every pair the octant folding can
// produce (x < y <= 4095, and y <= x <= 4095 with y > 0), the single-precision
// quotient truncates to the integer quotient.
TEST(DepthPixel, SinglePrecisionTableIndexIsTheIntegerQuotient)
{
    int64_t bad = 0;
    for (int y = 1; y <= 4095; ++y)
        for (int x = 0; x <= 4095; ++x) {
            const int num = x < y ? x : x - y;
            const int den = x < y ? y : x + y;
            const float fq = static_cast<float>(num * 4096) / static_cast<float>(den);
            bad += static_cast<int>(fq) != num * 4096 / den;
        }
    EXPECT_EQ(bad, 0);
}

// The fixed-scale model divides by 1000 in single precision while the
// product stays within 2^24: over that whole range truncation gives C's
// integer division.
TEST(DepthPixel, SinglePrecisionDivisionByAThousandUpTo2To24)
{
    int64_t bad = 0;
    for (int32_t v = -(1 << 24); v <= (1 << 24); ++v)
        bad += static_cast<int32_t>(static_cast<float>(v) / 1000.0f) != v / 1000;
    EXPECT_EQ(bad, 0);
}

// The axes, the diagonals, the origin and exact squares.
TEST(DepthPixel, PhaseAndAmplitudeOnTheAxes)
{
    EXPECT_EQ(ep::phase(2000, 0), 16384);
    EXPECT_EQ(ep::amplitude(2000, 0), 1000);
    EXPECT_EQ(ep::phase(-5, 0), 0);
    EXPECT_EQ(ep::phase(0, 0), 16384);
    EXPECT_EQ(ep::amplitude(0, 0), 0);
    // The four axes: atan2(-Q, -I).
    EXPECT_EQ(ep::phase(0, 100), 24576);
    EXPECT_EQ(ep::phase(0, -100), 8192);
    EXPECT_EQ(ep::phase(-100, 100), 28672);
    EXPECT_EQ(ep::phase(100, 100), 20480);
    // The square root is exact on squares of the 12-bit range.
    for (int a = 0; a <= 2047; ++a)
        ASSERT_EQ(ep::amplitude(2 * a, 0), a) << a;
}

// Random frames, pixel counts that leave a tail: gray, the fixed-scale model
// (with scales that drive the products over the whole 32-bit range) and the
// look-up model (with equal neighbouring references, drift, scales that
// clip the image index, an undefined index scale, runs of equal pixels and a
// slowly turning phase) agree bit for bit between every vector unit and the
// per-pixel form.
TEST(DepthVector, RandomFramesBitForBitOnEveryVectorUnit)
{
    const int64_t n = 30000 + 13;
    const Frame f = random_frame(n, 7);
    Frame fc = f;
    const uint16_t *d[4];
    fc.planes(d);
    std::vector<uint16_t> pd(n), pa(n), vd(n), va(n);

    const ep::fixed_args fixed[] = {
        {1000, -2000, 12491},          {1000, 3853, 7494},
        {-7777, 123456, 149896},       {INT32_MAX, -5, 12491},
        {INT32_MIN, INT32_MAX, 65535}, {1, 0, 0},
        {999999, -99999, 4000000},     {1000, 0, 0xFFFFFFFFu},
    };
    // Look-up model: five reference images of random phases, some pixels with
    // equal neighbours.
    const int nimg = 5;
    const int32_t stride = k_epc_ref_bytes / 2;
    std::vector<uint16_t> data(static_cast<size_t>(nimg) * stride + 1);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> ph(0, 32767), coin(0, 9);
    for (int k = 0; k < nimg; ++k)
        for (int x = 0; x < k_epc_ref_pixels; ++x) {
            uint16_t &r = data[static_cast<size_t>(k) * stride + k_epc_ref_hdr / 2 + x];
            r = static_cast<uint16_t>(
                coin(rng) == 0 && k > 0
                    ? data[static_cast<size_t>(k - 1) * stride + k_epc_ref_hdr / 2 + x]
                    : ph(rng));
        }
    auto lut = [&](float drift, float scale, float sp, int mean_first, float box, uint32_t r,
                   int off) {
        ep::lut_args p{};
        p.drift = drift;
        p.scale = scale;
        p.step_phase = sp;
        p.mean_first = mean_first;
        p.last_k = nimg - 2;
        p.box_phase = box;
        p.range_mm = r;
        p.offset_mm = off;
        p.ref = data.data() + k_epc_ref_hdr / 2;
        p.ref_stride = stride;
        return p;
    };
    const ep::lut_args luts[] = {
        lut(0.0f, 4.0f / 20000.0f, 2621.4f, 5000, 773.88f, 12491, 0),
        lut(-37.5f, 4.0f / 9000.0f, 1311.0f, 12000, 1289, 7494, -25),
        lut(410.25f, 0.01f, 9000.0f, 0, 0, 12491, 100000),
        lut(0.0f, INFINITY, 2621.4f, 16000, 773, 12491, 0),
        lut(0.0f, -INFINITY, 1e9f, 16000, 773, 12491, 0),
    };
    // Reference sets computed once by the per-pixel form.
    std::vector<std::vector<uint16_t>> want;
    ep::gray_plain(pa.data(), d, n);
    want.push_back(pa);
    for (const auto &p : fixed) {
        ep::fixed_plain(p, pd.data(), pa.data(), d, n);
        want.push_back(pd);
        want.push_back(pa);
    }
    for (const auto &p : luts) {
        ep::lut_plain(p, pd.data(), pa.data(), d, n);
        want.push_back(pd);
        want.push_back(pa);
    }
    // Runs of 24 equal pixels: many vectors then share their bracketing
    // images (read with plain loads), others straddle two runs (gathered).
    Frame runs(n);
    for (int64_t p = 0; p < n; ++p)
        for (int k = 0; k < 4; ++k)
            runs.plane(k)[p] = fc.plane(k)[p - p % 24];
    const uint16_t *dr[4];
    runs.planes(dr);
    for (const auto &p : luts) {
        ep::lut_plain(p, pd.data(), pa.data(), dr, n);
        want.push_back(pd);
        want.push_back(pa);
    }
    // A phase turning slowly, a whole turn every 997 pixels: most vectors
    // share their bracketing images, those crossing from one image to the
    // next bracket with two neighbouring pairs.
    Frame turn(n);
    for (int64_t p = 0; p < n; ++p) {
        const double t = 2 * std::numbers::pi * static_cast<double>(p % 997) / 997.0;
        turn.set_iq(p, static_cast<int>(std::lround(1500 * std::cos(t))),
                    static_cast<int>(std::lround(1500 * std::sin(t))));
    }
    const uint16_t *dt[4];
    turn.planes(dt);
    for (const auto &p : luts) {
        ep::lut_plain(p, pd.data(), pa.data(), dt, n);
        want.push_back(pd);
        want.push_back(pa);
    }
    for_each_target([&](const char *name) {
        size_t s = 0;
        auto same = [&](const std::vector<uint16_t> &got, const char *what) {
            const auto &w = want[s++];
            const auto m = std::mismatch(w.begin(), w.end(), got.begin());
            EXPECT_TRUE(m.first == w.end())
                << name << " " << what << " set " << s << " pixel " << (m.first - w.begin()) << ": "
                << *m.second << " instead of " << *m.first;
        };
        ep::gray_vec(va.data(), d, n);
        same(va, "gray");
        for (const auto &p : fixed) {
            ep::fixed_vec(p, vd.data(), va.data(), d, n);
            same(vd, "fixed distance");
            same(va, "fixed amplitude");
        }
        for (const auto &p : luts) {
            ep::lut_vec(p, vd.data(), va.data(), d, n);
            same(vd, "lut distance");
            same(va, "lut amplitude");
        }
        for (const auto &p : luts) {
            ep::lut_vec(p, vd.data(), va.data(), dr, n);
            same(vd, "lut distance, runs");
            same(va, "lut amplitude, runs");
        }
        for (const auto &p : luts) {
            ep::lut_vec(p, vd.data(), va.data(), dt, n);
            same(vd, "lut distance, turning phase");
            same(va, "lut amplitude, turning phase");
        }
        // The input is read only.
        EXPECT_EQ(fc.raw, f.raw);
    });
}

// A camera-like scene for the look-up model: a noisy surface whose phase
// climbs through all twelve reference images, with a jump to a near object
// every 200 pixels, so that vectors share one pair of reference images, cross
// from one pair to the next, or straddle an edge (all three occur, checked),
// over blocks of pixels and a tail. On every vector unit the look-up kernel
// and its earlier gathering form give the per-pixel result bit for bit.
TEST(DepthVector, LookUpPathsOnASurfaceWithEdgesBitForBit)
{
    const int64_t n = 76800 + 11;
    Frame f(n);
    std::mt19937 rng(23);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int64_t p = 0; p < n; ++p) {
        const double t =
            (p % 200 < 170 ? 0.05 + 0.9 * static_cast<double>(p % 4000) / 4000.0 : 0.02) * 2 *
                std::numbers::pi -
            std::numbers::pi;
        f.set_iq(p, static_cast<int>(std::lround(-1200 * std::cos(t) + noise(rng))),
                 static_cast<int>(std::lround(1200 * std::sin(t) + noise(rng))));
    }
    const int nimg = 12;
    const int32_t stride = k_epc_ref_bytes / 2;
    std::vector<uint16_t> data(static_cast<size_t>(nimg) * stride + 1);
    std::uniform_int_distribution<int> jitter(0, 40);
    for (int k = 0; k < nimg; ++k)
        for (int x = 0; x < k_epc_ref_pixels; ++x)
            data[static_cast<size_t>(k) * stride + k_epc_ref_hdr / 2 + x] =
                static_cast<uint16_t>(k * 2900 + jitter(rng));
    ep::lut_args p{};
    p.drift = 12.5f;
    p.scale = 11.0f / 31900.0f;
    p.step_phase = 2900.0f;
    p.mean_first = 20;
    p.last_k = nimg - 2;
    p.box_phase = 700.5f;
    p.range_mm = 12491;
    p.ref = data.data() + k_epc_ref_hdr / 2;
    p.ref_stride = stride;
    const uint16_t *d[4];
    f.planes(d);
    // Spread of the image indices within each vector of 16 pixels.
    int spreads[3] = {0, 0, 0};
    for (int64_t v = 0; v + 16 <= n; v += 16) {
        int lo = nimg, hi = -1;
        for (int64_t q = v; q < v + 16; ++q) {
            const int32_t i = d[2][q] - d[0][q], qq = d[3][q] - d[1][q];
            const int32_t k = ep::lut_index(
                p, static_cast<int32_t>(static_cast<float>(ep::phase(i, qq)) - p.drift));
            lo = std::min(lo, k);
            hi = std::max(hi, k);
        }
        ++spreads[std::min(hi - lo, 2)];
    }
    EXPECT_GT(spreads[0], 1000);
    EXPECT_GT(spreads[1], 200);
    EXPECT_GT(spreads[2], 200);
    std::vector<uint16_t> pd(n), pa(n), vd(n), va(n), gd(n), ga(n);
    ep::lut_plain(p, pd.data(), pa.data(), d, n);
    for_each_target([&](const char *name) {
        ep::lut_vec(p, vd.data(), va.data(), d, n);
        ep::lut_vec_gathered(p, gd.data(), ga.data(), d, n);
        EXPECT_TRUE(vd == pd && va == pa) << name;
        EXPECT_TRUE(gd == pd && ga == pa) << name;
    });
}

// The scaled distance is divided by 1000 in the vector units with an
// estimate and one correction: around every multiple of 1000 of the int32
// range (sampled) and at its ends the result is C's truncating division.
TEST(DepthVector, DivisionByAThousandOverTheInt32Range)
{
    // Fixed model with phase 16384 and range 2: the phase distance is 1, the
    // distance 65536 + scale / 1000 less the range, so its low 16 bits show
    // any quotient that is one off.
    std::vector<int32_t> scales = {INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1, 0, -1, 1};
    std::mt19937 rng(3);
    for (int i = 0; i < 4000; ++i) {
        // half of them small enough for the single-precision path
        const auto base =
            (i % 2 ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng()) >> 8) / 1000 * 1000;
        for (int dlt = -1; dlt <= 1; ++dlt)
            scales.push_back(static_cast<int32_t>(static_cast<int64_t>(base) + dlt));
        scales.push_back(static_cast<int32_t>(rng()));
    }
    Frame f(8);
    for (int p = 0; p < 8; ++p)
        f.set(p, 1000, 2000, 3000, 2000); // phase 16384
    const uint16_t *d[4];
    f.planes(d);
    uint16_t pd[8], pa[8], vd[8], va[8];
    int64_t bad = 0;
    for_each_target([&](const char *) {
        for (const int32_t s : scales) {
            const ep::fixed_args p{s, 0x10000, 2};
            ep::fixed_plain(p, pd, pa, d, 8);
            ep::fixed_vec(p, vd, va, d, 8);
            bad += std::memcmp(pd, vd, sizeof pd) != 0;
            // and the per-pixel form is C's division
            const int32_t want = ep::add_wrap(0x10000, s / 1000);
            bad += pd[0] != static_cast<uint16_t>(ep::wrap(want, 2));
        }
    });
    EXPECT_EQ(bad, 0);
}

// --- the exported calls ----------------------------------------------------

struct Driver {
    pylox_drv_t drv{};
    epc_state_t *st;
    explicit Driver(uint32_t freq = 12000000)
    {
        st = epc_state_create();
        drv.priv = st;
        EXPECT_EQ(epc_calc_init(&drv), 1);
        st->mod_freq = freq;
        epc_state_derive(st, freq);
    }
    ~Driver() { epc_state_destroy(st); }
    // Mounts n reference images whose pixel p has phase ref(k, p).
    void mount(int n, uint32_t step_um, const std::function<uint16_t(int, int)> &ref)
    {
        epc_calib_t *c = st->calib;
        c->data = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(n), k_epc_ref_bytes));
        for (int k = 0; k < n; ++k) {
            uint8_t *img = c->data + static_cast<size_t>(k) * k_epc_ref_bytes;
            const uint32_t disp = step_um * static_cast<uint32_t>(k);
            std::memcpy(img, &disp, 4);
            for (int p = 0; p < k_epc_ref_pixels; ++p) {
                const uint16_t v = ref(k, p);
                std::memcpy(img + k_epc_ref_hdr + 2 * p, &v, 2);
            }
        }
        c->img_count = n;
        c->step_um = step_um;
        std::memcpy(c->hdr, &st->mod_freq, 4);
        uint64_t s0 = 0, s1 = 0;
        for (int p = 0; p < k_epc_ref_pixels; ++p) {
            s0 += ref(0, p);
            s1 += ref(n - 1, p);
        }
        c->mean_first = static_cast<uint16_t>(s0 / k_epc_ref_pixels);
        c->mean_last = static_cast<uint16_t>(s1 / k_epc_ref_pixels);
    }
};

TEST(DepthRecords, DefaultsDerivedValuesAndCalibrationRecord)
{
    Driver dr(20000000);
    const epc_state_t *st = dr.st;
    // the defaults the calculation reads
    EXPECT_EQ(st->offset_en, 1);
    EXPECT_EQ(st->offset_mm, 0);
    EXPECT_EQ(st->box_len_mm, 295);
    // 20 MHz: R = 7494 mm (truncated), box phase 295 * 32768 / 7494.
    EXPECT_EQ(st->range_mm, 7494u);
    EXPECT_EQ(st->box_phase, 295u * 32768u / 7494u);
    EXPECT_FLOAT_EQ(st->tc_cb_phase, 14.5f * 32768.0f / 7494.0f);
    EXPECT_EQ(epc_range_mm(12000000), 12491u);
    EXPECT_EQ(epc_range_mm(0), 0u);
    EXPECT_EQ(epc_range_mm(1), UINT32_MAX);

    ASSERT_NE(st->calib, nullptr);
    EXPECT_EQ(st->calib->cal_scale_um, 1000);
    EXPECT_EQ(st->calib->cal_offset_mm, -2000);
    EXPECT_EQ(epc_calc_calib_loaded(&dr.drv), 0);
    dr.mount(2, 100000, [](int k, int) { return static_cast<uint16_t>(1000 + k); });
    EXPECT_EQ(epc_calc_calib_loaded(&dr.drv), 1);
    dr.st->mod_freq = 12000000; // another frequency than the mounted one
    EXPECT_EQ(epc_calc_calib_loaded(&dr.drv), 0);
    epc_calc_uninit(&dr.drv);
    EXPECT_EQ(dr.st->calib, nullptr);
    EXPECT_EQ(epc_calc_calib_loaded(&dr.drv), 0);
    EXPECT_EQ(epc_calc_init(nullptr), 0);
    EXPECT_EQ(epc_calc_calib_loaded(nullptr), 0);
    EXPECT_EQ(epc_calc_init(&dr.drv), 1);
}

TEST(DepthCalls, RefusalsWriteNothingAndEmptyImagesSucceed)
{
    Driver dr;
    Frame f(76804);
    std::vector<uint16_t> dist(76804, 0xABCD), amp(76804, 0xABCD);
    const std::vector<uint16_t> untouched = dist;
    // 76801 pixels (not a multiple of 4) and a phase count of 2 are refused.
    EXPECT_EQ(calc_dist_calib_simple(&dr.drv, dist.data(), amp.data(), f.raw.data(), 76801, 1, 4),
              0);
    EXPECT_EQ(calc_dist_calib_simple(&dr.drv, dist.data(), amp.data(), f.raw.data(), 320, 240, 2),
              0);
    EXPECT_EQ(
        calc_dist_calib_none(&dr.drv, dist.data(), amp.data(), f.raw.data(), 76801, 1, 4, 1000, 0),
        0);
    EXPECT_EQ(calc_gray(&dr.drv, dist.data(), f.raw.data(), 320, 240, 3), 0);
    EXPECT_EQ(calc_gray(&dr.drv, dist.data(), f.raw.data(), 7, 3, 4), 0);
    EXPECT_EQ(calc_dist_calib_simple(&dr.drv, nullptr, amp.data(), f.raw.data(), 4, 1, 4), 0);
    EXPECT_EQ(calc_dist_calib_simple(nullptr, dist.data(), amp.data(), f.raw.data(), 4, 1, 4), 0);
    // The DRNU models need a calibration of the current frequency.
    EXPECT_EQ(calc_dist_calib_drnu_lut(&dr.drv, dist.data(), amp.data(), f.raw.data(), 320, 240, 4),
              0);
    EXPECT_EQ(calc_dist_calib_drnu_lsr(&dr.drv, dist.data(), amp.data(), f.raw.data(), 320, 240, 4),
              0);
    EXPECT_EQ(calc_dist_calib_drnu_lut(&dr.drv, dist.data(), amp.data(), f.raw.data(), 0, 0, 4), 0);
    EXPECT_EQ(dist, untouched);
    EXPECT_EQ(amp, untouched);
    // Empty images succeed: none, simple and gray always, DRNU with a calibration.
    EXPECT_EQ(calc_dist_calib_simple(&dr.drv, dist.data(), amp.data(), f.raw.data(), 0, 240, 4), 1);
    EXPECT_EQ(calc_gray(&dr.drv, dist.data(), f.raw.data(), -4, 5, 4), 1);
    dr.mount(3, 100000, [](int k, int) { return static_cast<uint16_t>(1000 * (k + 1)); });
    EXPECT_EQ(calc_dist_calib_drnu_lut(&dr.drv, dist.data(), amp.data(), f.raw.data(), 0, 0, 4), 1);
    // A frame larger than the reference images is refused.
    std::vector<uint16_t> big(4 * 76804), bd(76804), ba(76804);
    EXPECT_EQ(calc_dist_calib_drnu_lut(&dr.drv, bd.data(), ba.data(), big.data(), 76804, 1, 4), 0);
    // The line model's table is released after mounting: nothing to do.
    EXPECT_EQ(calc_dist_calib_drnu_lsr(&dr.drv, dist.data(), amp.data(), f.raw.data(), 320, 240, 4),
              0);
    EXPECT_EQ(dist, untouched);
}

// The fixed-scale models on the documented cases: saturation, 20 MHz wrap,
// the user offset, the temperature correction, against an independent
// computation for every pixel of a random frame.
TEST(DepthCalls, FixedScaleModels)
{
    Driver dr(20000000);
    Frame f(8);
    for (int p = 0; p < 8; ++p)
        f.set(p, 1000, 2000, 3000, 2000); // I = 2000, Q = 0: phase 16384, amplitude 1000
    f.set(1, 4095, 2000, 3000, 2000);     // saturated
    f.set(2, 1000, 0, 3000, 2000);        // empty sample
    uint16_t dist[8], amp[8];
    // phase distance 16384 * 7494 / 32768 = 3747; 3853 + 3747 = 7600 -> 106
    dr.st->offset_en = 0;
    ASSERT_EQ(calc_dist_calib_none(&dr.drv, dist, amp, f.raw.data(), 4, 2, 4, 1000, 3853), 1);
    EXPECT_EQ(dist[0], 106);
    EXPECT_EQ(amp[0], 1000);
    EXPECT_EQ(dist[1], 65500);
    EXPECT_EQ(amp[1], 65500);
    EXPECT_EQ(dist[2], 65500);
    ASSERT_EQ(calc_dist_calib_none(&dr.drv, dist, amp, f.raw.data(), 8, 1, 4, 1000, -3797), 1);
    EXPECT_EQ(dist[0], 7444); // -50 -> 7444
    // The user offset counts only when enabled.
    dr.st->offset_en = 1;
    dr.st->offset_mm = 3853 + 3797;
    ASSERT_EQ(calc_dist_calib_none(&dr.drv, dist, amp, f.raw.data(), 8, 1, 4, 1000, -3797), 1);
    EXPECT_EQ(dist[0], 106);

    // simple: offset - tc, with tc = round(dCB * 1.45 + dIB * 0.33765)
    Driver sd(12000000);
    const Frame r = random_frame(76800, 21);
    std::vector<uint16_t> sdist(76800), samp(76800), gray(76800);
    sd.st->temp_cb = 431;
    sd.st->temp_ib = -87;
    sd.st->calib->cal_cb = 300;
    sd.st->calib->cal_ib = 250;
    sd.st->calib->cal_scale_um = 1013;
    sd.st->calib->cal_offset_mm = -1950;
    sd.st->offset_mm = 7;
    ASSERT_EQ(calc_dist_calib_simple(&sd.drv, sdist.data(), samp.data(), r.raw.data(), 320, 240, 4),
              1);
    ASSERT_EQ(calc_gray(&sd.drv, gray.data(), r.raw.data(), 320, 240, 4), 1);
    const double tc = std::round(131 * 1.45 + (-337) * 0.33765); // 189.95 - 113.79 = 76.16
    const int64_t off = -1950 + 7 - static_cast<int64_t>(tc);
    const int64_t R = 12491;
    int bad = 0;
    for (int p = 0; p < 76800; ++p) {
        const int s[4] = {r.raw[p] & 0xFFF, r.raw[76800 + p] & 0xFFF, r.raw[2 * 76800 + p] & 0xFFF,
                          r.raw[3 * 76800 + p] & 0xFFF};
        const bool sat = *std::max_element(s, s + 4) == 4095 || *std::min_element(s, s + 4) == 0;
        const int i = s[2] - s[0], q = s[3] - s[1];
        const int64_t ph = ep::phase(i, q);
        int64_t v = off + 1013 * (ph * R / 32768) / 1000;
        v = v < 0 ? v + R : v > R ? v - R : v;
        const auto want_d = static_cast<uint16_t>(sat ? 65500 : v);
        const auto want_a = static_cast<uint16_t>(sat ? 65500 : ep::amplitude(i, q));
        bad += sdist[p] != want_d || samp[p] != want_a || gray[p] != ep::amplitude(i, q);
    }
    EXPECT_EQ(bad, 0);
}

// The look-up model against an independent evaluation in double precision:
// linear reference images (image k at phase base_p + 2000 k) give each pixel
// the distance of its phase by interpolation, rounded to the nearest
// millimetre and never pulled short (the box length in phase units is not
// truncated, nor the interpolated phase, nor the millimetres: together they
// cost about 1 mm at 12 MHz); equal neighbouring references give the lower
// image's distance instead of a division by zero; a sample on either rail
// gives no distance.
// The decode chain's entries that write display rows give what the exported
// calls followed by calc_dcs_sort give, for the look-up and the simple model,
// on a full frame and on frames of odd height (whose last row stays) and odd
// width (rows that leave a vector tail); refusals stay refusals.
TEST(DepthCalls, DisplayOrderEntriesAreTheCallsFollowedByTheSort)
{
    Driver dr(12000000);
    dr.mount(6, 150000,
             [](int k, int p) { return static_cast<uint16_t>(3000 + 2000 * k + p % 50); });
    dr.st->temp_cb = 400;
    dr.st->calib->cal_cb = 350;
    const Frame f = random_frame(76800, 17);
    struct size {
        int w, h;
    };
    for (const size z : {size{320, 240}, size{8, 7}, size{36, 5}, size{44, 1}}) {
        const int n = z.w * z.h;
        // four planes of n pixels from the random frame
        std::vector<uint16_t> raw(4 * static_cast<size_t>(n));
        for (int k = 0; k < 4; ++k)
            std::copy_n(f.raw.begin() + k * 76800, n, raw.begin() + k * n);
        std::vector<uint16_t> wd(n), wa(n), gd(n), ga(n);
        using call = int (*)(pylox_drv_t *, uint16_t *, uint16_t *, const uint16_t *, int32_t,
                             int32_t, int32_t);
        using entry =
            int (*)(pylox_drv_t *, uint16_t *, uint16_t *, const uint16_t *, int32_t, int32_t);
        for (const auto &[c, e] :
             {std::pair<call, entry>{calc_dist_calib_drnu_lut, ep::dist_drnu_lut_display},
              std::pair<call, entry>{calc_dist_calib_simple, ep::dist_simple_display}}) {
            ASSERT_EQ(c(&dr.drv, wd.data(), wa.data(), raw.data(), z.w, z.h, 4), 1);
            calc_dcs_sort(wd.data(), wd.data(), z.w, z.h);
            calc_dcs_sort(wa.data(), wa.data(), z.w, z.h);
            ASSERT_EQ(e(&dr.drv, gd.data(), ga.data(), raw.data(), z.w, z.h), 1);
            EXPECT_EQ(gd, wd) << z.w << "x" << z.h;
            EXPECT_EQ(ga, wa) << z.w << "x" << z.h;
        }
    }
    std::vector<uint16_t> d(9, 7), a(9, 7);
    EXPECT_EQ(ep::dist_drnu_lut_display(&dr.drv, d.data(), a.data(), f.raw.data(), 3, 3), 0);
    EXPECT_EQ(ep::dist_simple_display(&dr.drv, d.data(), a.data(), f.raw.data(), 3, 3), 0);
    EXPECT_EQ(d, std::vector<uint16_t>(9, 7));
}

TEST(DepthCalls, DrnuLookUpInterpolatesWithoutBiasAndMendsEqualReferences)
{
    Driver dr(12000000);
    const int nimg = 6;
    auto ref = [](int k, int p) {
        if (p % 97 == 5 && k == 2)
            return static_cast<uint16_t>(3000 + 2000 * 3 + p % 50); // equal to image 3
        return static_cast<uint16_t>(3000 + 2000 * k + p % 50);
    };
    dr.mount(nimg, 150000, ref);
    epc_state_t *st = dr.st;
    st->temp_cb = 400;
    st->temp_ib = 380;
    st->calib->cal_cb = 350;
    st->calib->cal_ib = 300;
    st->offset_mm = -12;
    const Frame f = random_frame(76800, 5);
    std::vector<uint16_t> dist(76800), amp(76800);
    ASSERT_EQ(calc_dist_calib_drnu_lut(&dr.drv, dist.data(), amp.data(), f.raw.data(), 320, 240, 4),
              1);
    const epc_calib_t *c = st->calib;
    const double F = 50 * st->tc_cb_phase / 10.0 + 80 * st->tc_ib_phase / 10.0;
    const double a = (nimg - 1.0) / (c->mean_last - c->mean_first);
    const double R = 12491;
    const double sp = 150000.0 * 32768 / (R * 1000);
    const double box = 295 * 32768 / R;
    int bad = 0, mended = 0, saturated = 0, n = 0;
    double sum = 0;
    for (int p = 0; p < 76800; ++p) {
        const int s[4] = {f.raw[p] & 0xFFF, f.raw[76800 + p] & 0xFFF, f.raw[2 * 76800 + p] & 0xFFF,
                          f.raw[3 * 76800 + p] & 0xFFF};
        const int i = s[2] - s[0], q = s[3] - s[1];
        // a sample on either rail: no distance, as in the fixed-scale models
        if (*std::max_element(s, s + 4) == 4095 || *std::min_element(s, s + 4) == 0) {
            bad += amp[p] != EPC_DIST_SATURATED || dist[p] != EPC_DIST_SATURATED;
            ++saturated;
            continue;
        }
        bad += amp[p] != ep::amplitude(i, q);
        const auto X = static_cast<int>(ep::phase(i, q) - F);
        const double y = (X - c->mean_first) * a;
        const int k = y < 0 ? 0 : std::min(static_cast<int>(y), nimg - 2);
        const int r0 = ref(k, p), r1 = ref(k + 1, p);
        const double P = r0 == r1 ? k * sp + box : (X - r0) * sp / (r1 - r0) + k * sp + box;
        mended += r0 == r1;
        // the exact distance, brought into the range like the library's
        const double v = std::fmod(-12 + R * P / 32768 + 2 * R, R);
        const double err = std::remainder(dist[p] - v, R);
        // rounding to whole millimetres, and single against double precision
        bad += std::fabs(err) > 0.52;
        if (i != 0 || q != 0) {
            sum += err;
            ++n;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_GT(mended, 0);
    EXPECT_GT(saturated, 0);
    EXPECT_LT(std::fabs(sum / n), 0.05) << "mean error " << sum / n << " mm";
}

TEST(DepthCalls, ScaleAndOffsetOfTwoReferenceImages)
{
    Driver dr(12000000);
    dr.st->calib->box_len = 29.5f; // 295 mm
    std::vector<uint8_t> a(k_epc_ref_bytes), b(k_epc_ref_bytes);
    const uint32_t disp = 1500000; // 1.5 m
    std::memcpy(b.data(), &disp, 4);
    for (int p = 0; p < k_epc_ref_pixels; ++p) {
        // the last column is left out of the means: give it wild values
        const bool last = p % 320 == 319;
        const uint16_t va = last ? 60000 : static_cast<uint16_t>(1000 + p % 3);
        const uint16_t vb = last ? 0 : 5001;
        std::memcpy(a.data() + 20 + 2 * p, &va, 2);
        std::memcpy(b.data() + 20 + 2 * p, &vb, 2);
    }
    float scale = 0, offset = 0;
    _calc_scale_offset(&dr.drv, &scale, &offset, a.data(), b.data());
    // mean A = 1001 (integer mean over 76560 positions), mean B = 5001
    const double r = 1.4989622e11 / 12e6;
    const double da = 1001 * r / 32768, db = 5001 * r / 32768;
    const double want_scale = (1500 + 295 - 295) / (db - da);
    EXPECT_NEAR(scale, want_scale, 1e-4 * want_scale);
    EXPECT_NEAR(offset, 295 - want_scale * da, 0.05);
}

// Rows from the middle outwards and back, for every height: h = 4 maps source
// rows 0, 1, 2, 3 to 1, 2, 0, 3; unsort undoes sort and sort undoes unsort,
// in place as well.
TEST(DepthRows, SortAndUnsortAreInversePermutations)
{
    {
        const uint16_t src[4] = {10, 11, 12, 13};
        uint16_t dst[4] = {};
        calc_dcs_sort(dst, src, 1, 4);
        EXPECT_EQ(dst[1], 10);
        EXPECT_EQ(dst[2], 11);
        EXPECT_EQ(dst[0], 12);
        EXPECT_EQ(dst[3], 13);
    }
    for (int h = 1; h <= 61; ++h) {
        for (const int w : {1, 3, 320}) {
            std::vector<uint16_t> src(static_cast<size_t>(w) * h), s(src.size(), 0xFFFF),
                u(src.size(), 0xFFFF);
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = static_cast<uint16_t>(i);
            calc_dcs_sort(s.data(), src.data(), w, h);
            // a permutation of whole rows: every source row appears once
            std::vector<int> seen(static_cast<size_t>(h), 0);
            for (int r = 0; r < h; ++r) {
                const int from = s[static_cast<size_t>(r) * w] / w;
                ASSERT_TRUE(from >= 0 && from < h) << h;
                ++seen[static_cast<size_t>(from)];
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(s[static_cast<size_t>(r) * w + x], from * w + x);
            }
            ASSERT_EQ(std::count(seen.begin(), seen.end(), 1), h) << "height " << h;
            calc_dcs_unsort(u.data(), s.data(), w, h);
            ASSERT_EQ(u, src) << "height " << h;
            calc_dcs_unsort(u.data(), src.data(), w, h);
            calc_dcs_sort(u.data(), u.data(), w, h); // in place
            ASSERT_EQ(u, src) << "height " << h;
        }
    }
    uint16_t one = 7;
    calc_dcs_sort(&one, nullptr, 1, 1);
    calc_dcs_sort(&one, &one, 0, 1);
    EXPECT_EQ(one, 7);
}

} // namespace
