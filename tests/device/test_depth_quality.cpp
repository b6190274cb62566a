// Depth quality against the virtual camera's ground truth, through the public
// API only: open, stream, pylox_frame_get_distance, pylox_frame_get_pcl.
//
// Scenes are true planes (walls at 0.3, 1, 2 and 4 m, a box in front of a
// wall, a tilted plane): each pixel's true distance is where its ray, as the
// library's own point cloud of a unit-distance image gives it, meets the
// plane, so the decoded point cloud can be held against the plane itself.
// Per scene: mean and 95th-percentile absolute error, fill rate, and for the
// planes the RMS distance of the points from the plane; at two modulation
// frequencies and two temperatures. The spatial filter chain is switched off
// so that every pixel answers for itself.
//
// With PYLOX_DEPTH_REPORT=<file> the full run (test_depth_quality_full,
// DepthQuality.AllScenes) writes its tables as markdown to that file
// (docs/depth-quality.md).
#include "support/vcam/device_fixture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace devtest;

namespace {

constexpr int k_w = 320, k_h = 240, k_n = k_w * k_h;
constexpr int k_raw = 8 * k_n;

struct conditions {
    uint32_t freq;
    int16_t cb, ib; // tenths of a degree
};

enum class kind { wall, box, tilted };

struct scene_def {
    const char *name;
    kind k;
    double z_mm;   // wall distance (box: the wall behind it; tilted: at the centre)
    double box_mm; // box front
    uint16_t intg; // integration time that keeps the samples off the rails
};

const scene_def k_scenes[] = {
    {"wall 0.3 m", kind::wall, 300, 0, 100},
    {"wall 1 m", kind::wall, 1000, 0, 1000},
    {"wall 2 m", kind::wall, 2000, 0, 3000},
    {"wall 4 m", kind::wall, 4000, 0, 8000},
    {"box 1.2 m before a wall at 2 m", kind::box, 2000, 1200, 1500},
    {"plane tilted 30 deg, 1.5 m at the centre", kind::tilted, 1500, 0, 1500},
};
const conditions k_conds[] = {
    {12000000, 350, 300},
    {24000000, 350, 300},
    {12000000, 450, 400},
    {24000000, 450, 400},
};

// The plane n . p = dist (metres) of a plane scene; the box's front and the
// wall behind it are both planes of normal (0, 0, 1).
struct plane {
    std::array<double, 3> n;
    double dist;
};

struct stats {
    int beyond = 0;     // pixels whose truth lies beyond the unambiguous range
    int considered = 0; // others neither saturated nor at a depth edge
    int valid = 0;      // of those, with a distance
    int hi = 0;         // valid ones with amplitude >= 500
    double mean = 0, p95 = 0, mean_hi = 0, p95_hi = 0;
    double plane_rms = NAN; // mm, planes only
    int over_bound = 0;     // pixels off the reference by more than rounding allows
    double centre_mm = NAN; // centre pixel's point from its true point
    double fill() const { return considered ? double(valid) / considered : 0.0; }
};

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return NAN;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

double mean_of(const std::vector<double> &v)
{
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? NAN : s / v.size();
}

class DepthQuality : public DeviceTest {
protected:
    // Opens the camera at the given frequency and temperatures, with the
    // spatial filter chain off. False when the library cannot decode yet.
    bool open_camera(const conditions &c, float noise = 0.0f)
    {
        vcam::CameraConfig cfg;
        cfg.temp_cb = c.cb;
        cfg.temp_ib = c.ib;
        cfg.noise = noise;
        cam_ = plug(cfg);
        start_library();
        if (!open_first())
            return false;
        EXPECT_TRUE(set_param32(PARAM_MOD_FREQ, c.freq));
#if __has_include(<pylox/pylox_filter.h>)
        pylox_filter_disable(dev_, FILTER_ID_SPATIAL);
#endif
        cond_ = c;
        return rays();
    }

    // Unit rays of every pixel from the library's point cloud of an image of
    // 1 m everywhere, with the driver's lens (or, for a driver without lens
    // intrinsics, a lens record of the camera's nominal ones).
    bool rays()
    {
        const std::vector<float> ones(k_n, 1.0f);
        std::vector<float> pcl(3 * k_n);
        int n = pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, ones.data(), k_n, k_w, k_h, lens_);
        if (n != k_n) {
            lens_ = &nominal_;
            n = pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, ones.data(), k_n, k_w, k_h, lens_);
        }
        EXPECT_EQ(n, k_n);
        ray_.resize(k_n);
        for (int i = 0; i < k_n && n == k_n; ++i)
            ray_[i] = {pcl[3 * i], pcl[3 * i + 1], pcl[3 * i + 2]};
        return n == k_n;
    }

    double along(const plane &p, int i) const
    {
        const auto &r = ray_[i];
        return p.dist / (p.n[0] * r[0] + p.n[1] * r[1] + p.n[2] * r[2]);
    }

    // Sets the scene and its integration time; returns the plane of the
    // scene's main surface.
    plane set_scene(const scene_def &s)
    {
        plane main{{0, 0, 1}, s.z_mm / 1000};
        if (s.k == kind::tilted) {
            const double a = 30 * M_PI / 180;
            main = {{std::sin(a), 0, std::cos(a)}, s.z_mm / 1000 * std::cos(a)};
        }
        const plane front{{0, 0, 1}, s.box_mm / 1000};
        vcam::Scene sc = vcam::Scene::custom(k_w, k_h);
        for (int y = 0; y < k_h; ++y)
            for (int x = 0; x < k_w; ++x) {
                const int i = y * k_w + x;
                const bool in_box = s.k == kind::box && x >= 110 && x < 210 && y >= 80 && y < 160;
                sc.at(x, y) = static_cast<float>(1000 * along(in_box ? front : main, i));
            }
        cam_->set_scene(sc);
        EXPECT_TRUE(set_param32(PARAM_INTG_TIME, s.intg, 2));
        return main;
    }

    // n frames decoded into metres; the raw frames and their information too.
    std::vector<std::vector<float>> grab(int n, std::vector<uint8_t> *raw_out = nullptr,
                                         std::vector<pylox_frame_info_t> *info_out = nullptr)
    {
        std::vector<std::vector<float>> out;
        std::vector<uint8_t> raw(k_raw);
        EXPECT_EQ(pylox_cap_start(dev_), 1);
        for (int k = 0; k < n; ++k) {
            pylox_frame_info_t info{};
            if (pylox_cap_get_frames(dev_, 1, raw.data(), k_raw, &info) != 1)
                break;
            std::vector<float> d(k_n);
            if (pylox_frame_get_distance(dev_, d.data(), k_n, raw.data(), k_raw, &info) != k_n)
                break;
            out.push_back(std::move(d));
            if (raw_out)
                raw_out->insert(raw_out->end(), raw.begin(), raw.end());
            if (info_out)
                info_out->push_back(info);
        }
        pylox_cap_stop(dev_);
        return out;
    }

    // Pixels within two of a depth step are left out of the statistics.
    static std::vector<uint8_t> edges(const vcam::Truth &t)
    {
        std::vector<uint8_t> e(k_n, 0);
        for (int y = 0; y < k_h; ++y)
            for (int x = 0; x < k_w; ++x)
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx) {
                        const int xx = std::clamp(x + dx, 0, k_w - 1);
                        const int yy = std::clamp(y + dy, 0, k_h - 1);
                        if (std::fabs(t.distance_mm[yy * k_w + xx] - t.distance_mm[y * k_w + x]) >
                            50)
                            e[y * k_w + x] = 1;
                    }
        return e;
    }

    // Errors of a decoded image against `ref` (mm per pixel, display order):
    // the truth, or what an uncalibrated decode should give.
    stats evaluate(const std::vector<float> &d, const vcam::Truth &t, const std::vector<float> &ref,
                   const plane *pl)
    {
        stats s;
        const std::vector<uint8_t> edge = edges(t);
        const double R = t.range_mm;
        std::vector<double> err, err_hi;
        std::vector<uint8_t> use(k_n, 0);
        for (int i = 0; i < k_n; ++i) {
            // Beyond the unambiguous range (less the 100 mm the driver cuts
            // off) a pixel's phase aliases: no statistics there.
            if (t.distance_mm[i] >= R - 100) {
                ++s.beyond;
                continue;
            }
            if (t.saturated[i] || edge[i])
                continue;
            use[i] = 1;
            ++s.considered;
            if (!(d[i] > 0 && d[i] < 60))
                continue;
            ++s.valid;
            const double e = std::fabs(std::remainder(d[i] * 1000.0 - ref[i], R));
            err.push_back(e);
            const double A = std::max(1.0f, t.amplitude[i]);
            if (A >= 500) {
                err_hi.push_back(e);
                ++s.hi;
            }
            // 12-bit rounding (with a fifth to spare) and two units of the
            // arctangent table in phase; the temperature correction's
            // rounding and two integer truncations in millimetres.
            const double ph_tol = 1.2 * 0.75 / A * 32768 / (2 * M_PI) + 2;
            s.over_bound += e > ph_tol * R / 32768 + 0.5 + 2;
        }
        s.mean = mean_of(err);
        s.p95 = percentile(err, 0.95);
        s.mean_hi = mean_of(err_hi);
        s.p95_hi = percentile(err_hi, 0.95);

        std::vector<float> pcl(3 * k_n);
        const int np =
            pylox_frame_get_pcl(dev_, pcl.data(), 3 * k_n, d.data(), k_n, k_w, k_h, lens_);
        if (pl && np > 0) {
            double ss = 0;
            int used = 0;
            for (int i = 0, k = 0; i < k_n && k < np; ++i) {
                if (!(d[i] > 0 && d[i] < 60))
                    continue; // no point: the cloud is packed
                if (use[i]) {
                    const double off = pl->n[0] * pcl[3 * k] + pl->n[1] * pcl[3 * k + 1] +
                                       pl->n[2] * pcl[3 * k + 2] - pl->dist;
                    ss += off * off;
                    ++used;
                }
                ++k;
            }
            if (used)
                s.plane_rms = 1000 * std::sqrt(ss / used);
        }
        // The centre pixel alone: its point against the reference point.
        const int c = (k_h / 2) * k_w + k_w / 2;
        std::vector<float> one(k_n, 0.0f);
        one[c] = d[c];
        float p[3];
        if (pylox_frame_get_pcl(dev_, p, 3, one.data(), k_n, k_w, k_h, lens_) == 1) {
            const double r = ref[c] / 1000.0;
            s.centre_mm = 1000 * std::sqrt(std::pow(p[0] - r * ray_[c][0], 2) +
                                           std::pow(p[1] - r * ray_[c][1], 2) +
                                           std::pow(p[2] - r * ray_[c][2], 2));
        }
        return s;
    }

    // One scene under the current conditions, uncalibrated: the decode must
    // give the truth plus the sensor's fixed pattern within the rounding of
    // the samples; the table row measures against the truth itself.
    struct row {
        std::string scene;
        conditions c;
        stats vs_truth, vs_model;
    };
    row run_scene(const scene_def &s)
    {
        row r{s.name, cond_, {}, {}};
        const plane pl = set_scene(s);
        const vcam::Truth t = cam_->truth();
        const std::vector<std::vector<float>> d = grab(1);
        EXPECT_EQ(d.size(), 1u);
        if (d.empty())
            return r;
        const plane *p = s.k == kind::box ? nullptr : &pl;
        r.vs_truth = evaluate(d[0], t, t.distance_mm, p);
        r.vs_model = evaluate(d[0], t, t.expected_mm, p);
        return r;
    }

    void check_uncalibrated(const row &r)
    {
        SCOPED_TRACE(r.scene + " at " + std::to_string(r.c.freq / 1000000) + " MHz, CB " +
                     std::to_string(r.c.cb));
        const stats &m = r.vs_model;
        EXPECT_GT(m.considered, k_n / 3);
        EXPECT_EQ(m.valid, m.considered); // nothing lost on a clean scene
        EXPECT_EQ(m.over_bound, 0);
        EXPECT_LT(m.centre_mm, 1.0 + 0.5 + 2); // on the model's point up to its rounding
        if (!std::isnan(m.plane_rms)) {
            // The points lie on the plane up to the fixed pattern (3 mm at most).
            EXPECT_LT(r.vs_truth.plane_rms, 3.0);
        }
        // Against the truth: the fixed pattern (uniform, +-3 mm) is what remains.
        EXPECT_LT(r.vs_truth.mean_hi, 2.5);
    }

    std::shared_ptr<vcam::Camera> cam_;
    conditions cond_{};
    pylox_lens_param_t nominal_{157.262f, 122.083f, 210.783f, 204.817f, 1.0f};
    const pylox_lens_param_t *lens_ = nullptr;
    std::vector<std::array<float, 3>> ray_;
};

#define REQUIRE_DECODING(c)                                                                        \
    do {                                                                                           \
        ASSERT_TRUE(open_camera(c));                                                               \
        if (grab(1).empty())                                                                       \
            GTEST_SKIP() << "the sensor driver decodes no distance images in this build";          \
    } while (0)

// The quick run: the wall at 1 m and the box, at 12 MHz.
TEST_F(DepthQuality, WallAndBoxUncalibrated)
{
    REQUIRE_DECODING(k_conds[0]);
    for (int s : {1, 4})
        check_uncalibrated(run_scene(k_scenes[s]));
}

// A 10 degC warmer sensor decodes to the same distances: the temperature
// terms of the model take the drift out.
TEST_F(DepthQuality, TemperatureChangeLeavesTheDistance)
{
    REQUIRE_DECODING(k_conds[0]);
    set_scene(k_scenes[1]);
    const std::vector<std::vector<float>> cold = grab(1);
    cam_->set_temperatures(450, 400);
    const std::vector<std::vector<float>> warm = grab(1);
    ASSERT_EQ(cold.size(), 1u);
    ASSERT_EQ(warm.size(), 1u);
    double shift = 0;
    for (int i = 0; i < k_n; ++i)
        shift += (warm[0][i] - cold[0][i]) * 1000.0;
    EXPECT_LE(std::fabs(shift / k_n), 1.0);
}

// A raw recording made as the recorder makes it (frames and their
// temperatures) replays to the distances of the live frames it holds.
TEST_F(DepthQuality, RecordingDecodesLikeTheLiveStream)
{
    REQUIRE_DECODING(k_conds[0]);
    set_scene(k_scenes[4]);
    std::vector<uint8_t> raw;
    std::vector<pylox_frame_info_t> info;
    const std::vector<std::vector<float>> live = grab(3, &raw, &info);
    ASSERT_EQ(live.size(), 3u);
    char product[33] = {};
    std::memcpy(product, dev_->product, 32);
    pylox_dev_close(dev_);
    dev_ = nullptr;

    const std::string path = pylox_test::scratch_path("pylox_depth_rec") + ".raw";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(pylox_frame_save_raw(fd, PYLOX_FRAME_SAVE_U16,
                                       reinterpret_cast<const uint16_t *>(raw.data() + k * k_raw),
                                       4 * k_n, k_w, k_h, 4, product),
                  1);
        ASSERT_EQ(pylox_frame_save_temps(fd, &info[k], 1), 1);
    }
    ::close(fd);

    dev_ = pylox_dev_open_replay(path.c_str());
    ASSERT_NE(dev_, nullptr);
#if __has_include(<pylox/pylox_filter.h>)
    pylox_filter_disable(dev_, FILTER_ID_SPATIAL);
#endif
    ASSERT_TRUE(set_param32(PARAM_MOD_FREQ, cond_.freq));
    const std::vector<std::vector<float>> replayed = grab(3);
    ASSERT_EQ(replayed.size(), 3u);
    double worst = 0;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < k_n; ++i)
            if (live[k][i] < 60)
                worst = std::max(worst, std::fabs(double(replayed[k][i]) - live[k][i]) * 1000);
    EXPECT_LE(worst, 1.0);
    pylox_dev_close(dev_);
    dev_ = nullptr;
    std::remove(path.c_str());
    std::remove((path + ".temps").c_str());
}

#ifdef PYLOX_DEPTH_FULL
std::string fmt(double v, int prec = 2)
{
    if (std::isnan(v))
        return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", prec, v);
    return b;
}

// Every scene under every condition; with PYLOX_DEPTH_REPORT the tables.
TEST_F(DepthQuality, AllScenes)
{
    std::vector<row> rows;
    REQUIRE_DECODING(k_conds[0]);
    for (const conditions &c : k_conds) {
        ASSERT_TRUE(set_param32(PARAM_MOD_FREQ, c.freq));
        cam_->set_temperatures(c.cb, c.ib);
        cond_ = c;
        for (const scene_def &s : k_scenes) {
            rows.push_back(run_scene(s));
            check_uncalibrated(rows.back());
        }
    }
    const char *out = std::getenv("PYLOX_DEPTH_REPORT");
    if (!out || !*out)
        return;
    std::ostringstream md;
    md << "# Depth quality on the virtual camera\n\n"
       << "Measured by `tests/device/test_depth_quality.cpp` through the public API (open, "
          "stream,\n"
       << "`pylox_frame_get_distance`, `pylox_frame_get_pcl`) against the virtual camera's ground\n"
       << "truth. Regenerate with\n\n"
       << "```sh\n"
       << "cmake --build --preset default --target test_depth_quality_full\n"
       << "PYLOX_DEPTH_REPORT=$PWD/docs/depth-quality.md umockdev-wrapper \\\n"
       << "  build/default/tests/device/test_depth_quality_full "
          "--gtest_filter=DepthQuality.AllScenes\n"
       << "```\n\n"
       << "Every scene is a true plane (or two): each pixel's distance is where its ray meets the\n"
       << "plane. One noise-free frame per row, spatial filter chain off, no calibration mounted\n"
       << "(uncalibrated model: scale and offset only, temperature terms 14.5 and 3.3765 mm per\n"
       << "degree of CB and IB). Errors are absolute, in mm, against the true distance; pixels\n"
       << "within two of a depth step and saturated ones are left out. *A>=500*: pixels with an\n"
       << "amplitude of at least 500. *model*: against what the uncalibrated model should give\n"
       << "(truth plus the sensor's fixed pattern of up to 3 mm), whose bound is the 12-bit\n"
       << "rounding R*0.75/(2*pi*A). *plane RMS*: the point cloud's RMS distance from the true\n"
       << "plane. *centre*: the centre pixel's point from its true point. *beyond range*: pixels\n"
       << "whose true distance lies beyond the modulation frequency's unambiguous range (less the\n"
       << "100 mm the driver cuts off), where the phase aliases; they are left out. The point\n"
       << "cloud takes (u - cx) / fx as x / d (d the measured distance), so the pixel rays of the\n"
       << "image corners lean far outwards and a wall's corners lie about 3.4 times farther than "
          "its\n"
       << "centre: the far walls reach past 24 MHz's 6.2 m.\n\n"
       << "Status of these figures: measured with the EPC driver's distance decoding (issue 15) "
          "merged\n"
       << "locally onto the library, before calibration mounting (issue 14) reached it, so every "
          "row is\n"
       << "uncalibrated. Against the model every pixel stays within the rounding bound (\"over "
          "bound\"\n"
       << "0 everywhere); against the truth the sensor's fixed pattern (uniform within +-3 mm) is "
          "what\n"
       << "remains, which is what a calibration takes out. The calibrated rows, the fixed-pattern\n"
       << "reduction on averaged noisy frames and the calibrated temperature check are still to "
          "come.\n\n";
    for (const scene_def &s : k_scenes) {
        md << "## " << s.name << " (integration time " << s.intg << ")\n\n"
           << "| MHz | CB/IB degC | mean | p95 | mean A>=500 | p95 A>=500 | model mean | model p95 "
              "| over bound | fill | beyond range | plane RMS | centre |\n"
           << "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
        for (const row &r : rows) {
            if (r.scene != s.name)
                continue;
            const stats &a = r.vs_truth, &m = r.vs_model;
            md << "| " << r.c.freq / 1000000 << " | " << fmt(r.c.cb / 10.0, 1) << "/"
               << fmt(r.c.ib / 10.0, 1) << " | " << fmt(a.mean) << " | " << fmt(a.p95) << " | "
               << fmt(a.mean_hi) << " | " << fmt(a.p95_hi) << " | " << fmt(m.mean) << " | "
               << fmt(m.p95) << " | " << m.over_bound << " | " << fmt(100.0 * a.fill(), 1) << "% | "
               << fmt(100.0 * a.beyond / k_n, 1) << "% | " << fmt(a.plane_rms) << " | "
               << fmt(a.centre_mm) << " |\n";
        }
        md << "\n";
    }
    std::ofstream(out) << md.str();
}
#endif

} // namespace
