// Scenes, sample synthesis and the stream header.
#include "impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcam {

// ---------------------------------------------------------------------------
// Scenes

Scene Scene::custom(int w, int h, float distance_mm)
{
    Scene s;
    s.width = w;
    s.height = h;
    s.distance_mm.assign(static_cast<size_t>(w) * h, distance_mm);
    s.reflectivity.assign(static_cast<size_t>(w) * h, 1.0f);
    return s;
}

Scene Scene::wall(float distance_mm, float reflectivity, int w, int h)
{
    Scene s = custom(w, h, distance_mm);
    std::fill(s.reflectivity.begin(), s.reflectivity.end(), reflectivity);
    return s;
}

Scene Scene::box(float wall_mm, float box_mm, int x0, int y0, int bw, int bh, int w, int h)
{
    Scene s = custom(w, h, wall_mm);
    for (int y = std::max(0, y0); y < std::min(h, y0 + bh); ++y)
        for (int x = std::max(0, x0); x < std::min(w, x0 + bw); ++x)
            s.at(x, y) = box_mm;
    return s;
}

Scene Scene::tilted(float left_mm, float right_mm, int w, int h)
{
    Scene s = custom(w, h, left_mm);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            s.at(x, y) =
                left_mm + (right_mm - left_mm) * (w > 1 ? static_cast<float>(x) / (w - 1) : 0.0f);
    return s;
}

// ---------------------------------------------------------------------------
// Sensor model

uint32_t range_mm(uint32_t f)
{
    if (f == 0)
        return 0;
    // Half the distance light travels in one modulation period, in mm, reckoned
    // in single precision and truncated, as the host does.
    float r = 1.4989622e11f / static_cast<float>(f);
    return static_cast<uint32_t>(r);
}

// The sensor's distance shifts with its temperatures: 1.45 mm per degree of
// the CB reading and 0.33765 mm per degree of the IB reading (tenths here).
double temp_offset_mm(int16_t cb, int16_t ib)
{
    return cb * 14.5 / 10.0 + ib * 3.3765 / 10.0;
}

// The sensor reads rows from the middle outwards: sensor row 2j is display
// row h/2 - 1 - j, sensor row 2j + 1 is display row h/2 + j.
int sensor_row_to_display(int s, int h)
{
    int j = s / 2;
    return (s % 2 == 0) ? h / 2 - 1 - j : h / 2 + j;
}

static uint64_t mix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Fixed-pattern error of a pixel in -1 .. 1, from the camera's seed and its position.
static float fpn_unit(uint64_t seed, int x, int y)
{
    uint64_t v =
        mix64(seed * 1000003ull + static_cast<uint64_t>(y) * 65536ull + static_cast<uint64_t>(x));
    return static_cast<float>(static_cast<double>(v >> 11) / 9007199254740992.0 * 2.0 - 1.0);
}

void synth_planes(const CameraConfig &cfg, const Scene &sc, uint32_t mod_freq, uint16_t intg,
                  uint16_t intg2, double tc_mm, std::vector<uint16_t> &planes, Truth *truth,
                  std::vector<float> *exact)
{
    const int w = cfg.width, h = cfg.height;
    const size_t n = static_cast<size_t>(w) * h;
    planes.assign(4 * n, 0);
    if (exact)
        exact->assign(4 * n, 0.0f);
    const uint32_t R = range_mm(mod_freq);
    if (truth) {
        truth->width = w;
        truth->height = h;
        truth->range_mm = R;
        truth->distance_mm.assign(n, 0);
        truth->fpn_mm.assign(n, 0);
        truth->expected_mm.assign(n, 0);
        truth->amplitude.assign(n, 0);
        truth->phase.assign(n, 0);
        truth->saturated.assign(n, 0);
    }
    if (R == 0)
        return;
    const double two_pi = 6.283185307179586;
    for (int s = 0; s < h; ++s) {
        const int y = sensor_row_to_display(s, h);
        for (int x = 0; x < w; ++x) {
            // Scene pixel (the scene is scaled onto the frame when sizes differ).
            int sx = sc.width == w ? x : x * sc.width / w;
            int sy = sc.height == h ? y : y * sc.height / h;
            size_t si = static_cast<size_t>(sy) * sc.width + sx;
            float d = si < sc.distance_mm.size() ? sc.distance_mm[si] : 1000.0f;
            float refl = si < sc.reflectivity.size() ? sc.reflectivity[si] : 1.0f;
            float fpn = cfg.fpn_mm * fpn_unit(cfg.seed, x, y);
            // Phase: the uncalibrated host model subtracts 2000 mm and the
            // temperature offset, so the sensor's raw phase distance carries them.
            double pd =
                std::fmod(static_cast<double>(d) + fpn + 2000.0 + tc_mm, static_cast<double>(R));
            if (pd < 0)
                pd += R;
            double theta = two_pi * pd / R;
            float dm = std::max(d / 1000.0f, 0.2f);
            // With a second integration time the sensor's rows alternate
            // between the two: even rows take the first, odd rows the second.
            const uint16_t t = (intg2 != 0 && y % 2 == 1) ? intg2 : intg;
            float A = refl * cfg.amp_gain * (t / 1000.0f) / (dm * dm);
            double c = std::cos(theta), sn = std::sin(theta);
            // DCSk = B + A cos(theta - k pi/2)
            double v[4] = {cfg.ambient + A * c, cfg.ambient + A * sn, cfg.ambient - A * c,
                           cfg.ambient - A * sn};
            bool sat = false;
            for (int k = 0; k < 4; ++k) {
                double r = std::floor(v[k] + 0.5);
                if (r <= 0) {
                    r = 0;
                    sat = true;
                }
                if (r >= 4095) {
                    r = 4095;
                    sat = true;
                }
                planes[k * n + static_cast<size_t>(s) * w + x] = static_cast<uint16_t>(r);
                if (exact)
                    (*exact)[k * n + static_cast<size_t>(s) * w + x] = static_cast<float>(v[k]);
            }
            if (truth) {
                size_t di = static_cast<size_t>(y) * w + x;
                truth->distance_mm[di] = d;
                truth->fpn_mm[di] = fpn;
                double e = std::fmod(static_cast<double>(d) + fpn, static_cast<double>(R));
                if (e < 0)
                    e += R;
                truth->expected_mm[di] = static_cast<float>(e);
                truth->amplitude[di] = A;
                truth->phase[di] = static_cast<float>(pd * 32768.0 / R);
                truth->saturated[di] = sat ? 1 : 0;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Stream header

uint16_t fletcher16(const uint8_t *p, size_t n, uint16_t seed)
{
    uint32_t s1 = seed & 0xFF, s2 = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

static void put16(uint8_t *p, uint16_t v)
{
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}
static void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (v >> (8 * i)) & 0xFF;
}
static uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
static uint32_t get32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void write_header(uint8_t o[kHeaderSize], const StreamHeader &h)
{
    o[0] = 0xFB;
    o[1] = 0x98;
    put16(o + 2, h.sidx);
    put32(o + 4, h.len);
    put32(o + 8, h.frlen);
    put16(o + 12, h.fridx);
    put16(o + 14, h.frfmt);
    put16(o + 16, h.width);
    put16(o + 18, h.height);
    put16(o + 20, static_cast<uint16_t>(h.temp_cb));
    put16(o + 22, static_cast<uint16_t>(h.temp_ib));
    put32(o + 24, h.attr_word);
    put32(o + 28, h.data_sum);
    o[32] = h.frame_flags;
    o[33] = h.cksum_flags;
    put16(o + 34, fletcher16(o, 34));
}

bool read_header(const uint8_t in[kHeaderSize], StreamHeader &h)
{
    if (in[0] != 0xFB || in[1] != 0x98)
        return false;
    if (fletcher16(in, 34) != get16(in + 34))
        return false;
    h.sidx = get16(in + 2);
    h.len = get32(in + 4);
    h.frlen = get32(in + 8);
    h.fridx = get16(in + 12);
    h.frfmt = get16(in + 14);
    h.width = get16(in + 16);
    h.height = get16(in + 18);
    h.temp_cb = static_cast<int16_t>(get16(in + 20));
    h.temp_ib = static_cast<int16_t>(get16(in + 22));
    h.attr_word = get32(in + 24);
    h.data_sum = get32(in + 28);
    h.frame_flags = in[32];
    h.cksum_flags = in[33];
    return true;
}

// Two multiply chains over alternate 32-bit words: every byte and its place
// count, and the two chains keep the hash quick at frame rate.
uint32_t stamp_hash(const uint8_t *p, size_t n)
{
    uint64_t a = 0x9E3779B97F4A7C15ull, b = 0xC2B2AE3D27D4EB4Full;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        a = (a ^ get32(p + i)) * 0x100000001B3ull;
        b = (b ^ get32(p + i + 4)) * 0x100000001B3ull;
    }
    for (; i < n; ++i)
        a = (a ^ p[i]) * 0x100000001B3ull;
    const uint64_t h = (a ^ (b >> 17) ^ (b << 23)) * 0xFF51AFD7ED558CCDull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

bool read_stamp(const uint8_t *frame, size_t n, FrameStamp &out)
{
    if (n <= FrameStamp::kSize || get32(frame) != FrameStamp::kMagic)
        return false;
    out.stream = get32(frame + 4);
    out.frame = get32(frame + 8);
    out.hash = get32(frame + 12);
    return stamp_hash(frame + FrameStamp::kSize, n - FrameStamp::kSize) == out.hash;
}

} // namespace vcam
