// Calibration mounting: the calibration block of the driver's modulation
// frequency read from the device's parameter file into the calibration
// record, its reference images normalised (full period 32768, the one-pixel
// fix of files before version 150), and the summary values the distance
// calculation uses derived from per-pixel line fits. The caller holds the
// driver state's lock.
#include "drivers/epc/epc_calib_mount.h"

#include "core/log.h"
#include "drivers/epc/epc_state.h"
#include "drivers/param/param_store.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_epc.h>
#include <pylox/pylox_param.h>
#include <pylox/tq_math.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr const char *k_load = "_cal_load_calib_data";
constexpr const char *k_unmount = "epc_calc_unmount_clib";
constexpr size_t k_drv_hdr = 37; // calibration block header
constexpr size_t k_old_hdr = 42; // block unit header of files below version 140
constexpr size_t k_dev_hdr = 5;  // block header of version 140 and later
constexpr int32_t k_default_scale_um = 1000;
constexpr int32_t k_default_offset_mm = -2000;

// Fields of the 37-byte calibration block header.
struct drv_hdr {
    uint32_t freq;
    float box_len; // cm
    int16_t temp_cb, temp_ib;
    uint8_t img_count;
    uint32_t payload_len;
    uint32_t width, height, scale;
};

template <class T> T field(const uint8_t *h, size_t off)
{
    T v;
    std::memcpy(&v, h + off, sizeof v);
    return v;
}

drv_hdr parse_hdr(const uint8_t *h)
{
    drv_hdr d;
    d.freq = field<uint32_t>(h, 0);
    d.box_len = field<float>(h, 8);
    d.temp_cb = field<int16_t>(h, 16);
    d.temp_ib = field<int16_t>(h, 18);
    d.img_count = h[20];
    d.payload_len = field<uint32_t>(h, 21);
    d.width = field<uint32_t>(h, 25);
    d.height = field<uint32_t>(h, 29);
    d.scale = field<uint32_t>(h, 33);
    return d;
}

// Truncation to int32 that stays defined for any float.
int32_t trunc_i32(float v)
{
    if (!(v > -2147483520.0f))
        return v != v ? 0 : std::numeric_limits<int32_t>::min();
    if (v >= 2147483520.0f)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

uint32_t trunc_u32(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (v >= 4294967040.0f)
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

uint16_t *phases(uint8_t *data, int k)
{
    return reinterpret_cast<uint16_t *>(data + static_cast<size_t>(k) * k_epc_ref_bytes +
                                        k_epc_ref_hdr);
}

void release(epc_calib_t *c)
{
    std::free(c->data);
    c->data = nullptr;
    std::free(c->lsr);
    c->lsr = nullptr;
    std::memset(c->hdr, 0, sizeof c->hdr);
}

int fallback(epc_state_t *st)
{
    epc_calib_t *c = st->calib;
    PYLOX_LOG_AS(TQ_LOG_DBG, k_unmount, "[%s] Calib data unload [freq=%d]\n",
                 static_cast<int>(field<uint32_t>(c->hdr, 0)));
    release(c);
    c->cal_scale_um = k_default_scale_um;
    c->cal_offset_mm = k_default_offset_mm;
    // The default offset holds no temperature term: the temperatures of a
    // calibration mounted before would shift every distance by their correction.
    c->cal_cb = 0;
    c->cal_ib = 0;
    PYLOX_LOG_AS(TQ_LOG_DBG, "epc_calc_mount_calib",
                 "[%s] No calib data : freq=%d. Use default scale_um/offset_mm = %d/%d\n",
                 static_cast<int>(st->mod_freq), k_default_scale_um, k_default_offset_mm);
    return -1;
}

// A block that cannot hold what its header claims is never read past its
// data: at least two reference images, all of them inside the payload, and an
// image area within the 320 x 240 the images are stored with.
bool block_holds_its_images(const drv_hdr &d, uint64_t payload, const char *path)
{
    const uint64_t w = d.width ? d.width : k_epc_ref_w;
    const uint64_t h = d.height ? d.height : k_epc_ref_h;
    const uint64_t need = static_cast<uint64_t>(d.img_count) * k_epc_ref_bytes;
    if (d.img_count >= 2 && payload >= need && w * h <= k_epc_ref_pixels)
        return true;
    PYLOX_LOG_AS(TQ_LOG_ERR, k_load,
                 "[%s] calib block of %s cannot hold its data: %d images, %llu bytes (need %llu), "
                 "%llux%llu\n",
                 path, d.img_count, static_cast<unsigned long long>(payload),
                 static_cast<unsigned long long>(need), static_cast<unsigned long long>(w),
                 static_cast<unsigned long long>(h));
    return false;
}

// _cal_load_calib_data: finds the block of the driver's frequency (the first
// calibration block when the frequency is 0) and reads it into the record.
// The file version comes back in ver.
bool load_calib_data(epc_state_t *st, uint8_t *ver)
{
    const char *path = st->param_path;
    epc_calib_t *c = st->calib;
    pylox_param_hdr_t hdr;
    pylox::param_head_file hf = pylox::param_open_head(path, &hdr, sizeof hdr);
    const pylox::file_ptr &f = hf.f;
    if (!f) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] open calib bin failed: %s\n", path);
        return false;
    }
    const long flen = hf.length;
    if (flen < 0 || !hf.head_read) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read par_tq_hdr failed: %s\n", path);
        return false;
    }
    *ver = hdr.ver;
    const bool old_framing = hdr.ver < PYLOX_PARAM_VER_NEW_FRAMING;
    const uint32_t cnt = hdr.blk_cnt < PYLOX_PARAM_MAX_BLKS ? hdr.blk_cnt : PYLOX_PARAM_MAX_BLKS;
    for (uint32_t i = 0; i < cnt; ++i) {
        uint8_t h[k_drv_hdr];
        uint64_t payload;
        if (old_framing) {
            uint8_t old[k_old_hdr];
            if (std::fread(old, 1, sizeof old, f.get()) != sizeof old) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read old_hdr failed: %s\n", path);
                return false;
            }
            if (old[0] != 1) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] wrong blk param type: %d for (ver%d)\n",
                             old[0], hdr.ver);
                return false;
            }
            std::memcpy(h, old + 1, k_drv_hdr);
            payload = field<uint32_t>(h, 21);
        } else {
            uint8_t dev[k_dev_hdr];
            if (std::fread(dev, 1, sizeof dev, f.get()) != sizeof dev) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read par_dev_hdr failed: %s\n", path);
                return false;
            }
            const uint32_t size = field<uint32_t>(dev, 1);
            if (std::fread(h, 1, sizeof h, f.get()) != sizeof h) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read par_drv_hdr failed: %s\n", path);
                return false;
            }
            if (size < k_drv_hdr) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] parse calib file failed: %s\n", path);
                return false;
            }
            payload = size - k_drv_hdr;
            if (dev[0] != 1) {
                if (std::fseek(f.get(), static_cast<long>(payload), SEEK_CUR) != 0)
                    return false;
                continue;
            }
        }
        const drv_hdr d = parse_hdr(h);
        if (st->mod_freq != 0 && d.freq != st->mod_freq) {
            if (std::fseek(f.get(), static_cast<long>(payload), SEEK_CUR) != 0)
                return false;
            continue;
        }
        const long here = std::ftell(f.get());
        if (!block_holds_its_images(d, payload, path))
            return false;
        if (here < 0 || static_cast<uint64_t>(here) + payload > static_cast<uint64_t>(flen)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read drnu.payload failed: %s\n", path);
            return false;
        }
        std::memcpy(c->hdr, h, k_drv_hdr);
        c->data = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(payload)));
        if (!c->data) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] malloc failed\n");
            std::exit(-3);
        }
        if (std::fread(c->data, 1, static_cast<size_t>(payload), f.get()) != payload) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_load, "[%s] read drnu.payload failed: %s\n", path);
            std::free(c->data);
            c->data = nullptr;
            std::memset(c->hdr, 0, sizeof c->hdr);
            return false;
        }
        PYLOX_LOG_AS(TQ_LOG_DBG, k_load, "[%s] Calib data: freq=%u, ver=%d, ts=%d\n",
                     static_cast<unsigned>(d.freq), hdr.ver, static_cast<int>(hdr.ts));
        return true;
    }
    return false;
}

// The per-pixel loops of the mount, kept apart from its decisions (and out of
// line: the fuzzer's coverage leaves them out by name).
[[gnu::noinline]] void rescale_phases(uint16_t *p, uint32_t scale)
{
    for (int i = 0; i < k_epc_ref_pixels; ++i) {
        const uint64_t v = static_cast<uint64_t>(p[i]) * 32768u / scale;
        p[i] = static_cast<uint16_t>(v > 65535 ? 65535 : v);
    }
}

[[gnu::noinline]] void shift_blocks(uint16_t *p, size_t n, size_t blk)
{
    for (size_t b = 0; b < n; b += blk) {
        const size_t end = std::min<size_t>(b + blk, k_epc_ref_pixels);
        if (end - b > 1)
            std::memmove(p + b + 1, p + b, (end - b - 1) * sizeof *p);
    }
}

struct line_fits {
    double sum_slope = 0.0, sum_icpt = 0.0;
    size_t good = 0;
};

// A line through each pixel's phases over the n images: 1 / slope and the
// intercept into lsr, both 0 for a pixel whose line is no good. xy holds 2 n.
[[gnu::noinline]] line_fits fit_lines(uint8_t *data, int n, size_t pixels, float *lsr, uint16_t *xy)
{
    line_fits r;
    uint16_t *x = xy, *y = xy + n;
    for (int k = 0; k < n; ++k)
        x[k] = static_cast<uint16_t>(k);
    for (size_t p = 0; p < pixels; ++p) {
        for (int k = 0; k < n; ++k)
            y[k] = phases(data, k)[p];
        float slope = 0.0f, icpt = 0.0f, r2 = 0.0f;
        tq_math_linear_LSR_u16(x, y, n, &slope, &icpt, &r2);
        if (!(r2 >= 0.998f) || slope == 0.0f) {
            PYLOX_LOG_AS(TQ_LOG_TRC, "epc_calc_mount_calib",
                         "[%s] calib pix @ %d is not good: r = %f\n", static_cast<int>(p), r2);
            lsr[2 * p] = 0.0f;
            lsr[2 * p + 1] = 0.0f;
            continue;
        }
        lsr[2 * p] = 1.0f / slope;
        lsr[2 * p + 1] = icpt;
        r.sum_slope += slope;
        r.sum_icpt += icpt;
        ++r.good;
    }
    return r;
}

// Pixels without a good line get the mean line.
[[gnu::noinline]] void fill_bad(float *lsr, size_t pixels, float ms, float mi)
{
    for (size_t p = 0; p < pixels; ++p)
        if (lsr[2 * p] == 0.0f && lsr[2 * p + 1] == 0.0f) {
            lsr[2 * p] = 1.0f / ms;
            lsr[2 * p + 1] = mi;
        }
}

[[gnu::noinline]] uint16_t mean_phase(const uint16_t *p, size_t pixels)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < pixels; ++i)
        sum += p[i];
    return static_cast<uint16_t>(sum / pixels);
}

// Steps 6 and 7: full period 32768, and for files before version 150 each
// two-row block of an image moved one phase to the right (its first phase
// kept), as the old firmware wrote the images one phase early.
void normalise(epc_calib_t *c, const drv_hdr &d, uint32_t w, uint32_t h, uint8_t ver)
{
    const uint32_t scale = d.scale ? d.scale : 30000;
    if (scale != 32768) {
        LOG_DBG("[%s] scale %d -> %d\n", static_cast<int>(scale), 32768);
        for (int k = 0; k < d.img_count; ++k)
            rescale_phases(phases(c->data, k), scale);
        const uint32_t done = 32768;
        std::memcpy(c->hdr + 33, &done, 4); // a later mount of these data leaves them alone
    }
    if (ver < 150) {
        LOG_DBG("[%s] Fix 1 pix calib issue of ref images: ver=%u\n", static_cast<unsigned>(ver));
        const size_t n = static_cast<size_t>(w) * h;
        const size_t blk = 2 * static_cast<size_t>(w);
        for (int k = 0; k < d.img_count; ++k)
            shift_blocks(phases(c->data, k), n, blk);
    }
}

} // namespace

extern "C" {

PYLOX_API int epc_calc_unmount_clib(pylox_drv_t *drv)
{
    epc_state_t *st = pylox::epc_state(drv);
    if (!st || !st->calib)
        return 0;
    LOG_DBG("[%s] Calib data unload [freq=%d]\n",
            static_cast<int>(field<uint32_t>(st->calib->hdr, 0)));
    release(st->calib);
    return 0;
}

PYLOX_API int epc_calc_mount_calib(pylox_drv_t *drv)
{
    LOG_TRC("[%s] Mount\n");
    epc_state_t *st = pylox::epc_state(drv);
    if (!st)
        return -1;
    if (!st->calib && !epc_calc_init(drv))
        return -1;
    epc_calib_t *c = st->calib;
    if (!st->param_valid)
        return fallback(st);

    // 1 .. 3: the data of the frequency, from memory or from the file.
    uint8_t ver = 150;
    bool fresh = true;
    if (c->data && field<uint32_t>(c->hdr, 0) == st->mod_freq) {
        LOG_TRC("[%s] Calib data already loaded: freq=%u\n", static_cast<unsigned>(st->mod_freq));
        fresh = false;
    } else {
        release(c);
        if (!load_calib_data(st, &ver))
            return fallback(st);
    }
    drv_hdr d = parse_hdr(c->hdr);

    // 4, 5: frequency, temperatures, image size.
    if (st->mod_freq == 0)
        st->mod_freq = d.freq;
    if (d.temp_ib < -200 || d.temp_ib > 900) {
        LOG_WRN("[%s] wrong IB calib temp %d\n", d.temp_ib);
        d.temp_ib = static_cast<int16_t>(d.temp_cb - 100);
        std::memcpy(c->hdr + 18, &d.temp_ib, 2);
    }
    const uint32_t w = d.width ? d.width : k_epc_ref_w;
    const uint32_t h = d.height ? d.height : k_epc_ref_h;
    const int n = d.img_count;
    if (n < 2 || static_cast<uint64_t>(w) * h > k_epc_ref_pixels)
        return fallback(st); // only a damaged record in memory gets here

    // 6, 7: the images normalised (once per load).
    if (fresh)
        normalise(c, d, w, h, ver);

    // 8: summary values.
    const uint32_t range = pylox::epc_range_mm(st->mod_freq);
    c->box_len = d.box_len;
    st->box_len_mm = trunc_i32(10.0f * d.box_len);
    st->box_phase = range ? static_cast<uint32_t>(st->box_len_mm) * 32768u / range : 0;
    c->cal_cb = d.temp_cb;
    c->cal_ib = d.temp_ib;
    c->img_count = n;
    c->step_um = field<uint32_t>(c->data + k_epc_ref_bytes, 0);

    // 9: scale and offset from the first and the middle image (superseded below).
    float s = 0.0f, o = 0.0f;
    _calc_scale_offset(drv, &s, &o, c->data,
                       c->data + static_cast<size_t>(n / 2) * k_epc_ref_bytes);
    LOG_TRC("[%s] calib scale/offset = %.3f/%.3f\n", s, o);

    // 10, 11: a line through each pixel's phases over the images.
    LOG_DBG("[%s] Re-calc DRNU step: orig step = %.3f\n", c->step_um / 1000.0);
    const size_t pixels = static_cast<size_t>(w) * h;
    auto *xy = static_cast<uint16_t *>(std::malloc(2 * static_cast<size_t>(n) * sizeof(uint16_t)));
    c->lsr = static_cast<float *>(std::malloc((pixels ? pixels : 1) * 2 * sizeof(float)));
    if (!xy || !c->lsr) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    if (pixels == 0) {
        std::free(xy);
        LOG_ERR("[%s] All pixel calib data is wrong!\n");
        return fallback(st);
    }
    const line_fits fits = fit_lines(c->data, n, pixels, c->lsr, xy);
    const size_t good = fits.good;
    std::free(xy);
    if (good == 0) {
        LOG_ERR("[%s] All pixel calib data is wrong!\n");
        return fallback(st);
    }
    const float ms = static_cast<float>(fits.sum_slope / good);
    const float mi = static_cast<float>(fits.sum_icpt / good);
    const size_t bad = pixels - good;
    if (bad > 0) {
        LOG_WRN("[%s] Calib data of %u (%u %%) pixels are NG\n", static_cast<unsigned>(bad),
                static_cast<unsigned>(bad * 100 / pixels));
        fill_bad(c->lsr, pixels, ms, mi);
    }

    // 12, 13: scale, step and offset in distance units; mean phases.
    const float f = static_cast<float>(st->mod_freq);
    c->cal_scale_um = k_default_scale_um;
    c->step_um = trunc_u32(ms * 1000000.0f * 149896220.0f / f / 32768.0f);
    c->cal_offset_mm = trunc_i32(10.0f * d.box_len - mi * 1000.0f * 149896220.0f / f / 32768.0f);
    c->mean_first = mean_phase(phases(c->data, 0), pixels);
    c->mean_last = mean_phase(phases(c->data, n - 1), pixels);

    // 14.
    std::free(c->lsr);
    c->lsr = nullptr;
    LOG_DBG("[%s] Calib data loaded [freq=%d, %s]: box_len: %.1f cm, temp: cb=%d, ib=%d, step mm = "
            "%.3f, scale_um/offset_mm = %d/%d\n",
            static_cast<int>(st->mod_freq), "DRNU_LUT", static_cast<double>(c->box_len), c->cal_cb,
            c->cal_ib, c->step_um / 1000.0, c->cal_scale_um, c->cal_offset_mm);
    return 1;
}

} // extern "C"

namespace pylox {

namespace {

constexpr uint32_t k_default_freq = 12000000;

// Unmounts and mounts the calibration of frequency f under the lock.
void remount(pylox_drv_t *drv, epc_state_t *st)
{
    pthread_mutex_lock(&st->lock);
    epc_calc_unmount_clib(drv);
    epc_calc_mount_calib(drv);
    pthread_mutex_unlock(&st->lock);
}

bool param_file_valid(const char *path)
{
    pylox_param_t p;
    const int ok = pylox_param_open_file(&p, path);
    pylox_param_close(&p);
    return ok != 0;
}

} // namespace

void epc_mod_freq_changed(pylox_drv_t *drv, uint32_t f)
{
    epc_state_t *st = epc_state(drv);
    if (!st)
        return;
    if (f != st->mod_freq) {
        PYLOX_LOG_AS(TQ_LOG_DBG, "epc_event_freq_change", "[%s] MOD_FREQ change: %d -> %d HZ\n",
                     static_cast<int>(st->mod_freq), static_cast<int>(f));
        st->mod_freq = f;
        remount(drv, st);
    }
    epc_state_derive(st, f);
}

int epc_calib_refresh(pylox_drv_t *drv)
{
    constexpr const char *fn = "epc_calib_save";
    epc_state_t *st = epc_state(drv);
    pylox_dev_t *dev = drv ? drv->dev : nullptr;
    if (!st || !dev)
        return -1;
    // 1. The parameter file's name; one cut short would name another file.
    if (!pylox_get_param_absolute_name(dev, st->param_path, sizeof st->param_path)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] cannot get param name!\n");
        return -1;
    }
    PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] param_name:%s\n", st->param_path);

    // 2. The local file, and whether the camera holds newer data.
    pylox_param_t p;
    st->param_valid = static_cast<uint8_t>(pylox_param_open_file(&p, st->param_path));
    if (st->param_valid) {
        pylox_calib_pkg_hdr_t info{};
        const uint32_t file_ts = p.hdr.ts;
        if (!pylox::param_calib_info(dev, &info)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s]  get PARAM_INFO_CALIB failed!\n");
            st->param_valid = 0;
        } else if (info.valid == 0) {
            PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s]  No valid calib data on dev, use local cache!\n");
        } else if (info.dev_ts > file_ts) {
            PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] local param (ts=%u) is not up-to-date (dev ts=%u)\n",
                         static_cast<unsigned>(file_ts), static_cast<unsigned>(info.dev_ts));
            st->param_valid = 0;
        }
        pylox_param_close(&p);
    }

    // 3. Fetched from the camera when missing or old.
    uint32_t f = k_default_freq;
    if (!st->param_valid) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] Try to load calib data from device\n");
        if (pylox_param_load_from_dev(dev))
            st->param_valid = param_file_valid(st->param_path) ? 1 : 0;
        else
            PYLOX_LOG_AS(TQ_LOG_TRC, fn, "[%s] Load calibration data from device failed\n");
    }
    if (st->param_valid) {
        // 4, 5. The first calibration block sets the frequency.
        st->mod_freq = 0;
        pthread_mutex_lock(&st->lock);
        epc_calc_mount_calib(drv);
        pthread_mutex_unlock(&st->lock);
        f = st->mod_freq;
        if (f != 0)
            st->calib_en = 1;
        else
            f = k_default_freq;
        pylox_param_item_t it{};
        it.param_id = PARAM_MOD_FREQ;
        it.param_val_len = 4;
        uint32_t dev_f = 0;
        if (pylox_param_batch_get(dev, &it, 1))
            std::memcpy(&dev_f, it.param_val, 4);
        if (dev_f != f) {
            std::memcpy(it.param_val, &f, 4);
            it.param_val_len = 4;
            pylox_param_batch_set(dev, &it, 1);
        }
    }
    // 6.
    epc_mod_freq_changed(drv, f);
    return 0;
}

} // namespace pylox
