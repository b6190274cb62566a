// The camera's calibration package: the parameter file its factory
// calibration writes (header with checksums, one calibration block per
// modulation frequency with reference images of a flat target), optionally
// zipped, behind the 18-byte package header the camera streams first.
#include "impl.h"

#include <zip.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vcam {

namespace {

constexpr uint32_t kUploadFrame = 153600;
constexpr int kW = 320, kH = 240;
constexpr size_t kImage = 20 + 2 * kW * kH;

void put(std::vector<uint8_t> &b, size_t off, const void *v, size_t n)
{
    std::memcpy(b.data() + off, v, n);
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Fletcher-16 of the parameter file: s1 + 256 * s2, sums modulo 255.
uint16_t file_cksum(const uint8_t *p, size_t n)
{
    uint32_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 + 256 * s2);
}

// One calibration block's data: the 37-byte block header, for old files the
// 4 spare bytes of the unit header, then the reference images in sensor row
// order. Firmware before version 150 wrote each two-row block of an image one
// phase early (phase i + 1 where phase i belongs).
std::vector<uint8_t> calib_block(const CameraConfig &cfg, const CalibSpec &cal, uint32_t freq,
                                 bool old_framing)
{
    const uint32_t n = static_cast<uint32_t>(cal.images);
    const uint32_t payload = static_cast<uint32_t>(kImage * n);
    std::vector<uint8_t> b(old_framing ? 41 : 37, 0);
    put(b, 0, &freq, 4);
    put(b, 8, &cal.box_len_cm, 4);
    put(b, 16, &cfg.temp_cb, 2);
    put(b, 18, &cfg.temp_ib, 2);
    b[20] = static_cast<uint8_t>(n);
    put(b, 21, &payload, 4);
    const uint32_t w = kW, h = kH;
    put(b, 25, &w, 4);
    put(b, 29, &h, 4);
    put(b, 33, &cal.scale, 4);
    const size_t base = b.size();
    b.resize(base + payload, 0);
    const double scale = cal.scale ? cal.scale : 30000;
    std::vector<uint16_t> img(static_cast<size_t>(kW) * kH);
    for (uint32_t k = 0; k < n; ++k) {
        const float d = cal.box_len_cm * 10.0f + static_cast<float>(cal.step_um) * k / 1000.0f;
        const std::vector<float> ph = model_phases(cfg, d, freq, cfg.temp_cb, cfg.temp_ib);
        for (int s = 0; s < kH; ++s) {
            const int y = sensor_row_to_display(s, kH);
            for (int x = 0; x < kW; ++x) {
                const double v =
                    std::floor(ph[static_cast<size_t>(y) * kW + x] * scale / 32768.0 + 0.5);
                img[static_cast<size_t>(s) * kW + x] = static_cast<uint16_t>(std::fmod(v, scale));
            }
        }
        if (cal.version < 150)
            for (size_t blk = 0; blk < img.size(); blk += 2 * kW)
                for (size_t i = 0; i + 1 < 2 * kW; ++i)
                    img[blk + i] = img[blk + i + 1];
        uint8_t *p = b.data() + base + k * kImage;
        const uint32_t disp = cal.step_um * k;
        std::memcpy(p, &disp, 4);
        std::memcpy(p + 20, img.data(), img.size() * 2);
    }
    return b;
}

} // namespace

std::vector<float> model_phases(const CameraConfig &cfg, float distance_mm, uint32_t mod_freq,
                                int16_t temp_cb, int16_t temp_ib)
{
    CameraConfig c = cfg;
    c.width = kW;
    c.height = kH;
    Truth t;
    std::vector<uint16_t> planes;
    synth_planes(c, Scene::wall(distance_mm, 1.0f, kW, kH), mod_freq, c.intg_time, 0,
                 temp_offset_mm(temp_cb, temp_ib), planes, &t);
    return t.phase;
}

std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &entries)
{
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t *mem = zip_source_buffer_create(nullptr, 0, 0, &err);
    if (!mem)
        throw std::runtime_error("zip_source_buffer_create failed");
    zip_t *za = zip_open_from_source(mem, ZIP_TRUNCATE, &err);
    if (!za) {
        zip_source_free(mem);
        throw std::runtime_error("zip_open_from_source failed");
    }
    zip_source_keep(mem);
    for (const ZipEntry &e : entries) {
        zip_source_t *src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        const zip_int64_t i = src ? zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (i < 0) {
            zip_source_free(src);
            zip_discard(za);
            zip_source_free(mem);
            throw std::runtime_error("zip_file_add failed");
        }
        if (e.link)
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                             (S_IFLNK | 0777u) << 16);
    }
    if (zip_close(za) != 0) {
        zip_discard(za);
        zip_source_free(mem);
        throw std::runtime_error("zip_close failed");
    }
    std::vector<uint8_t> out;
    if (zip_source_open(mem) == 0) {
        uint8_t buf[65536];
        zip_int64_t n;
        while ((n = zip_source_read(mem, buf, sizeof buf)) > 0)
            out.insert(out.end(), buf, buf + n);
        zip_source_close(mem);
    }
    zip_source_free(mem);
    return out;
}

std::vector<uint8_t> calib_package(const std::vector<uint8_t> &payload, uint8_t kind,
                                   uint32_t dev_ts, uint32_t pkg_ts)
{
    const size_t whole = (18 + payload.size() + kUploadFrame - 1) / kUploadFrame * kUploadFrame;
    std::vector<uint8_t> pkg(whole, 0);
    pkg[0] = 1;
    pkg[1] = kind;
    put(pkg, 2, &dev_ts, 4);
    put(pkg, 6, &pkg_ts, 4);
    const uint32_t fsize = static_cast<uint32_t>(whole),
                   dsize = static_cast<uint32_t>(payload.size());
    put(pkg, 10, &fsize, 4);
    put(pkg, 14, &dsize, 4);
    std::memcpy(pkg.data() + 18, payload.data(), payload.size());
    return pkg;
}

std::vector<uint8_t> Camera::calib_param_file(const CalibSpec &cal) const
{
    CameraConfig cfg;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        cfg = impl_->cfg;
    }
    const bool old_framing = cal.version < 140;
    std::vector<uint8_t> out(1202, 0);
    out[0] = cal.version;
    put(out, 1, &cal.ts, 4);
    const uint32_t magic = old_framing ? 1000u : 827346244u;
    put(out, 5, &magic, 4);
    const char lens[] = "vcam wide";
    std::memcpy(out.data() + 20, lens, sizeof lens);
    const double cx = 157.262, cy = 122.083;
    put(out, 84, &cx, 8);
    put(out, 92, &cy, 8);
    const uint16_t hck = file_cksum(out.data() + 20, 1168);
    put(out, 18, &hck, 2);
    put(out, 1188, &cal.ts, 4);
    const uint32_t cnt = static_cast<uint32_t>(cal.freqs.size());
    put(out, 1192, &cnt, 4);
    std::vector<uint8_t> blocks;
    for (uint32_t f : cal.freqs) {
        const std::vector<uint8_t> d = calib_block(cfg, cal, f, old_framing);
        blocks.push_back(1);
        if (!old_framing) {
            const uint32_t size = static_cast<uint32_t>(d.size());
            const auto *s = reinterpret_cast<const uint8_t *>(&size);
            blocks.insert(blocks.end(), s, s + 4);
        }
        blocks.insert(blocks.end(), d.begin(), d.end());
    }
    if (!old_framing) {
        const uint32_t size = static_cast<uint32_t>(blocks.size());
        put(out, 1196, &size, 4);
        const uint16_t bck = file_cksum(blocks.data(), blocks.size());
        put(out, 1200, &bck, 2);
    }
    out.insert(out.end(), blocks.begin(), blocks.end());
    return out;
}

std::string Camera::param_file_name() const
{
    std::vector<uint8_t> sensor, serial;
    param(7, sensor);
    param(5, serial);
    sensor.resize(18, 0);
    serial.resize(18, 0);
    const int32_t n = static_cast<int32_t>(le32(&sensor[2]) ^ le32(&serial[0]));
    return "pylox_param_" + std::to_string(n) + ".bin";
}

void Camera::serve_package(const std::vector<uint8_t> &payload, uint8_t kind, uint32_t dev_ts,
                           uint32_t pkg_ts)
{
    const std::vector<uint8_t> pkg = calib_package(payload, kind, dev_ts, pkg_ts);
    set_calib_package(pkg, dev_ts, pkg_ts, kind);
    std::vector<uint8_t> info(pkg.begin(), pkg.begin() + 18);
    set_param(8, info);
}

void Camera::serve_calibration(const CalibSpec &cal, bool zip, uint32_t dev_ts, uint32_t pkg_ts)
{
    const std::vector<uint8_t> file = calib_param_file(cal);
    if (zip)
        serve_package(zip_archive({{param_file_name(), file, false}}), 1, dev_ts, pkg_ts);
    else
        serve_package(file, 0, dev_ts, pkg_ts);
}

} // namespace vcam
