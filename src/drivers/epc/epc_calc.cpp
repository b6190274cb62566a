// Depth calculation of the EPC driver: amplitude, phase and distance from the
// four phase planes of a raw frame, with no calibration (fixed scale and
// offset), the simple calibration (scale, offset and a temperature term) or
// the DRNU reference images; the gray image; the sensor's row order; the
// calibration record of the driver state.
#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_state.h"

#include "core/log.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pylox::epc {

void gray_plain(uint16_t *amp, const uint16_t *const d[4], int64_t n)
{
    for (int64_t p = 0; p < n; ++p) {
        const int32_t i = (d[2][p] & 0xFFF) - (d[0][p] & 0xFFF);
        const int32_t q = (d[3][p] & 0xFFF) - (d[1][p] & 0xFFF);
        amp[p] = static_cast<uint16_t>(amplitude(i, q));
    }
}

void fixed_plain(const fixed_args &a, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
                 int64_t n)
{
    for (int64_t p = 0; p < n; ++p)
        fixed_pixel(a, d[0][p] & 0xFFF, d[1][p] & 0xFFF, d[2][p] & 0xFFF, d[3][p] & 0xFFF, dist[p],
                    amp[p]);
}

void lut_plain(const lut_args &a, uint16_t *dist, uint16_t *amp, const uint16_t *const d[4],
               int64_t n)
{
    for (int64_t p = 0; p < n; ++p)
        lut_pixel(a, p, d[0][p] & 0xFFF, d[1][p] & 0xFFF, d[2][p] & 0xFFF, d[3][p] & 0xFFF, dist[p],
                  amp[p]);
}

} // namespace pylox::epc

namespace {

using namespace pylox;
using namespace pylox::epc;

constexpr int k_max_ref_images = 8192; // keeps every reference offset within 32 bits

enum class args { refuse, empty, go };

// Checks shared by the distance and gray calculations. Null buffers are
// refused like a wrong phase count: nothing is written.
args check(const char *fn, const void *out, const void *amp, const uint16_t *raw, int32_t w,
           int32_t h, int32_t phases, int64_t &n)
{
    if (phases != 4) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %d phases cannot be decoded (4 needed)\n", phases);
        return args::refuse;
    }
    n = (w <= 0 || h <= 0) ? 0 : static_cast<int64_t>(w) * h;
    if (n == 0)
        return args::empty;
    if (n % 4 != 0) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %dx%d pixels: not a multiple of 4\n", w, h);
        return args::refuse;
    }
    if (!out || !amp || !raw) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] null buffer\n");
        return args::refuse;
    }
    return args::go;
}

// The checks above and the driver state st, which the calculation needs for
// an image (and the DRNU models for an empty one too): refused, and logged,
// without one.
args begin(const char *fn, pylox_drv_t *drv, const void *out, const void *amp, const uint16_t *raw,
           int32_t w, int32_t h, int32_t phases, bool state_when_empty, int64_t &n,
           epc_state_t *&st)
{
    const args a = check(fn, out, amp, raw, w, h, phases, n);
    if (a == args::refuse || (a == args::empty && !state_when_empty))
        return a;
    st = epc_state(drv);
    if (!st) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] no driver state\n");
        return args::refuse;
    }
    return a;
}

void planes(const uint16_t *raw, int64_t n, const uint16_t *d[4])
{
    for (int k = 0; k < 4; ++k)
        d[k] = raw + k * n;
}

// Runs kernel(dist, amp, planes, first pixel, pixel count) over the n
// pixels of a w x h frame: in one piece, in the sensor's row order, or row by
// row with each row written where calc_dcs_sort puts it (display order).
template <class K> void by_rows(bool display, int32_t w, int32_t h, uint16_t *dist, uint16_t *amp,
                                const uint16_t *raw, int64_t n, K &&kernel)
{
    const uint16_t *d[4];
    planes(raw, n, d);
    if (!display) {
        kernel(dist, amp, d, 0, n);
        return;
    }
    const int32_t half = h / 2;
    for (int32_t r = 0; r < h; ++r) {
        const int32_t to = r >= 2 * half ? r : r % 2 == 0 ? half - 1 - r / 2 : half + r / 2;
        const int64_t from = int64_t{r} * w, at = int64_t{to} * w;
        const uint16_t *row[4] = {d[0] + from, d[1] + from, d[2] + from, d[3] + from};
        kernel(dist + at, amp + at, row, from, int64_t{w});
    }
}

// The fixed-scale models (none, simple) over the four planes of raw.
int fixed_model(const fixed_args &p, uint16_t *dist, uint16_t *amp, const uint16_t *raw, int64_t n,
                bool display = false, int32_t w = 0, int32_t h = 0)
{
    by_rows(display, w, h, dist, amp, raw, n,
            [&](uint16_t *ds, uint16_t *as, const uint16_t *const d[4], int64_t, int64_t m) {
                fixed_vec(p, ds, as, d, m);
            });
    return 1;
}

int32_t user_offset(const epc_state_t *st)
{
    return st->offset_en ? st->offset_mm : 0;
}

uint32_t hdr_freq(const epc_calib_t *c)
{
    uint32_t f;
    std::memcpy(&f, c->hdr, 4);
    return f;
}

bool loaded(const epc_state_t *st)
{
    const epc_calib_t *c = st->calib;
    return c && c->data && hdr_freq(c) == st->mod_freq;
}

// Temperature drift of the DRNU models in phase units (single precision).
float drift_phase(const epc_state_t *st, const epc_calib_t *c)
{
    return static_cast<float>(epc_temp_load(st->temp_cb) - c->cal_cb) * st->tc_cb_phase / 10.0f +
           static_cast<float>(epc_temp_load(st->temp_ib) - c->cal_ib) * st->tc_ib_phase / 10.0f;
}

// Checks of the DRNU models made under the lock: the reference images must
// cover the frame and bracket something.
bool drnu_usable(const char *fn, const epc_state_t *st, int64_t n)
{
    const epc_calib_t *c = st->calib;
    if (n > k_epc_ref_pixels) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] frame of %d pixels exceeds the reference images\n",
                     static_cast<int>(n));
        return false;
    }
    if (c->img_count < 2 || c->img_count > k_max_ref_images || st->range_mm == 0 ||
        st->range_mm > INT32_MAX) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] unusable calibration: %d images, range %u mm\n",
                     c->img_count, st->range_mm);
        return false;
    }
    return true;
}

void copy_rows(uint16_t *dst, int32_t dr, const uint16_t *src, int32_t sr, int32_t w)
{
    std::memcpy(dst + static_cast<int64_t>(dr) * w, src + static_cast<int64_t>(sr) * w,
                static_cast<size_t>(w) * 2);
}

// Moves rows with the sensor's order (forward) or back. Rows 0 .. he - 1
// (he the even part of h) are interleaved from the middle outwards; the last
// row of an odd height has no partner and stays where it is.
void reorder(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, bool forward)
{
    if (!dst || !src || w <= 0 || h <= 0)
        return;
    uint16_t *copy = nullptr;
    const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 2;
    if (dst == src) {
        copy = static_cast<uint16_t *>(std::malloc(bytes));
        if (!copy) {
            LOG_ERR("[%s] malloc failed\n");
            std::exit(-3);
        }
        std::memcpy(copy, src, bytes);
        src = copy;
    }
    const int32_t half = h / 2;
    for (int32_t j = 0; j < half; ++j) {
        if (forward) {
            copy_rows(dst, half - 1 - j, src, 2 * j, w);
            copy_rows(dst, half + j, src, 2 * j + 1, w);
        } else {
            copy_rows(dst, 2 * j, src, half - 1 - j, w);
            copy_rows(dst, 2 * j + 1, src, half + j, w);
        }
    }
    if (h % 2)
        copy_rows(dst, h - 1, src, h - 1, w);
    std::free(copy);
}

int dist_simple(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw, int32_t w,
                int32_t h, int32_t phases, bool display)
{
    const char *const fn = "calc_dist_calib_simple";
    int64_t n = 0;
    epc_state_t *st = nullptr;
    const args a = begin(fn, drv, dist, amp, raw, w, h, phases, false, n, st);
    if (a != args::go)
        return a == args::empty ? 1 : 0;
    // Without a calibration record the defaults of an unmounted one apply.
    const epc_calib_t *c = st->calib;
    const int32_t scale = c ? c->cal_scale_um : 1000;
    const int32_t offset = c ? c->cal_offset_mm : -2000;
    const int cal_cb = c ? c->cal_cb : 0;
    const int cal_ib = c ? c->cal_ib : 0;
    // Temperature correction in whole mm: the CB term in single precision,
    // the IB term and the sum in double, rounded half away from zero.
    const float t_cb = static_cast<float>(epc_temp_load(st->temp_cb) - cal_cb) * st->tc_cb / 10.0f;
    const double t_ib = static_cast<double>(epc_temp_load(st->temp_ib) - cal_ib) * st->tc_ib / 10.0;
    const auto tc = static_cast<int32_t>(std::roundf(static_cast<float>(t_cb + t_ib)));
    const fixed_args p{scale, add_wrap(add_wrap(offset, user_offset(st)), -tc), st->range_mm};
    return fixed_model(p, dist, amp, raw, n, display, w, h);
}

// Runs body(st, n) under the lock of the driver state st and gives what it
// returns, 0 for refused arguments. The DRNU models check their calibration
// for an empty frame too (n = 0).
template <class F> int drnu_locked(const char *fn, pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *raw, int32_t w, int32_t h, int32_t phases,
                                   F &&body)
{
    int64_t n = 0;
    epc_state_t *st = nullptr;
    if (begin(fn, drv, dist, amp, raw, w, h, phases, true, n, st) == args::refuse)
        return 0;
    pthread_mutex_lock(&st->lock);
    const int done = body(st, n);
    pthread_mutex_unlock(&st->lock);
    return done;
}

int dist_drnu_lut(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw, int32_t w,
                  int32_t h, int32_t phases, bool display)
{
    const char *const fn = "calc_dist_calib_drnu_lut";
    return drnu_locked(fn, drv, dist, amp, raw, w, h, phases, [&](epc_state_t *st, int64_t n) {
        const bool empty = n == 0;
        int done = 0;
        if (loaded(st) && (empty || drnu_usable(fn, st, n))) {
            done = 1;
            if (!empty) {
                const epc_calib_t *c = st->calib;
                const int32_t nimg = c->img_count;
                lut_args p{};
                p.drift = drift_phase(st, c);
                p.scale = static_cast<float>(nimg - 1) /
                          static_cast<float>(static_cast<int32_t>(c->mean_last) - c->mean_first);
                p.step_phase = static_cast<float>(c->step_um) * 32768.0f /
                               (static_cast<float>(st->range_mm) * 1000.0f);
                p.mean_first = c->mean_first;
                p.last_k = nimg - 2;
                // The box length in phase units unrounded: the integer box_phase
                // drops up to one unit (0.4 mm at 12 MHz) from every distance.
                p.box_phase = st->range_mm ? static_cast<float>(st->box_len_mm) * 32768.0f /
                                                 static_cast<float>(st->range_mm)
                                           : 0.0f;
                p.range_mm = st->range_mm;
                p.offset_mm = user_offset(st);
                p.ref = reinterpret_cast<const uint16_t *>(c->data + k_epc_ref_hdr);
                p.ref_stride = k_epc_ref_bytes / 2;
                by_rows(display, w, h, dist, amp, raw, n,
                        [&](uint16_t *ds, uint16_t *as, const uint16_t *const d[4], int64_t from,
                            int64_t m) {
                            lut_args q = p;
                            q.ref = p.ref + from;
                            lut_vec(q, ds, as, d, m);
                        });
            }
        }
        return done;
    });
}

} // namespace

namespace pylox::epc {

int dist_simple_display(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                        int32_t w, int32_t h)
{
    return dist_simple(drv, dist, amp, raw, w, h, 4, true);
}

int dist_drnu_lut_display(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                          int32_t w, int32_t h)
{
    return dist_drnu_lut(drv, dist, amp, raw, w, h, 4, true);
}

} // namespace pylox::epc

extern "C" {

PYLOX_API int epc_calc_init(pylox_drv_t *drv)
{
    epc_state_t *st = epc_state(drv);
    if (!st)
        return 0;
    if (st->calib)
        epc_calc_uninit(drv);
    auto *c = static_cast<epc_calib_t *>(std::calloc(1, sizeof(epc_calib_t)));
    if (!c) {
        LOG_ERR("[%s] malloc failed\n");
        return 0;
    }
    c->cal_scale_um = 1000;
    c->cal_offset_mm = -2000;
    st->calib = c;
    return 1;
}

PYLOX_API void epc_calc_uninit(pylox_drv_t *drv)
{
    epc_state_t *st = epc_state(drv);
    if (!st || !st->calib)
        return;
    epc_calib_t *c = st->calib;
    PYLOX_LOG_AS(TQ_LOG_DBG, "epc_calc_unmount_clib", "[%s] Calib data unload [freq=%d]\n",
                 static_cast<int>(hdr_freq(c)));
    std::free(c->data);
    std::free(c->lsr);
    c->data = nullptr;
    c->lsr = nullptr;
    std::memset(c->hdr, 0, sizeof c->hdr);
    std::free(c);
    st->calib = nullptr;
}

PYLOX_API int epc_calc_calib_loaded(pylox_drv_t *drv)
{
    const epc_state_t *st = epc_state(drv);
    return st && loaded(st) ? 1 : 0;
}

PYLOX_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    reorder(dst, src, w, h, true);
}

PYLOX_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h)
{
    reorder(dst, src, w, h, false);
}

PYLOX_API int calc_dist_calib_none(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *raw, int32_t w, int32_t h, int32_t phases,
                                   int32_t scale_um, int32_t offset_mm)
{
    int64_t n = 0;
    epc_state_t *st = nullptr;
    const args a = begin(__func__, drv, dist, amp, raw, w, h, phases, false, n, st);
    if (a != args::go)
        return a == args::empty ? 1 : 0;
    const fixed_args p{scale_um, add_wrap(offset_mm, user_offset(st)), st->range_mm};
    return fixed_model(p, dist, amp, raw, n);
}

PYLOX_API int calc_dist_calib_simple(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                     const uint16_t *raw, int32_t w, int32_t h, int32_t phases)
{
    return dist_simple(drv, dist, amp, raw, w, h, phases, false);
}

PYLOX_API int calc_dist_calib_drnu_lut(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *raw, int32_t w, int32_t h, int32_t phases)
{
    return dist_drnu_lut(drv, dist, amp, raw, w, h, phases, false);
}

PYLOX_API int calc_dist_calib_drnu_lsr(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *raw, int32_t w, int32_t h, int32_t phases)
{
    const char *const fn = __func__;
    return drnu_locked(fn, drv, dist, amp, raw, w, h, phases, [&](epc_state_t *st, int64_t n) {
        const bool empty = n == 0;
        int done = 0;
        const epc_calib_t *c = st->calib;
        // The line table is released after mounting; without it nothing is done.
        if (loaded(st) && c->lsr && (empty || n <= k_epc_ref_pixels)) {
            done = 1;
            const float drift = drift_phase(st, c);
            const int32_t o = user_offset(st);
            const auto box = static_cast<float>(st->box_len_mm);
            const auto step = static_cast<float>(c->step_um);
            const uint16_t *d[4];
            planes(raw, n, d);
            for (int64_t p = 0; p < n; ++p) {
                const uint32_t d0 = d[0][p] & 0xFFF, d1 = d[1][p] & 0xFFF;
                const uint32_t d2 = d[2][p] & 0xFFF, d3 = d[3][p] & 0xFFF;
                if (!unsaturated(d0, d1, d2, d3)) {
                    amp[p] = 0;
                    dist[p] = k_saturated;
                    continue;
                }
                const int32_t i = static_cast<int32_t>(d2) - static_cast<int32_t>(d0);
                const int32_t q = static_cast<int32_t>(d3) - static_cast<int32_t>(d1);
                amp[p] = static_cast<uint16_t>(amplitude(i, q));
                const int32_t x = trunc_sat(static_cast<float>(phase(i, q)) - drift);
                const float g = c->lsr[2 * p], b = c->lsr[2 * p + 1];
                const int32_t v =
                    add_wrap(o, trunc_sat(box + g * (static_cast<float>(x) - b) * step / 1000.0f));
                dist[p] = static_cast<uint16_t>(wrap(v, st->range_mm));
            }
        } else if (loaded(st) && c->lsr) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] frame of %d pixels exceeds the calibration\n",
                         static_cast<int>(n));
        }
        return done;
    });
}

PYLOX_API int calc_gray(pylox_drv_t *, uint16_t *gray, const uint16_t *raw, int32_t w, int32_t h,
                        int32_t phases)
{
    int64_t n = 0;
    const args a = check(__func__, gray, gray, raw, w, h, phases, n);
    if (a != args::go)
        return a == args::empty ? 1 : 0;
    const uint16_t *d[4];
    planes(raw, n, d);
    gray_vec(gray, d, n);
    return 1;
}

PYLOX_API void _calc_scale_offset(pylox_drv_t *drv, float *scale, float *offset,
                                  const uint8_t *ref_a, const uint8_t *ref_b)
{
    const epc_state_t *st = epc_state(drv);
    if (!st || !st->calib || !scale || !offset || !ref_a || !ref_b) {
        LOG_ERR("[%s] missing argument\n");
        return;
    }
    uint64_t sa = 0, sb = 0, cnt = 0;
    for (int p = 0; p < k_epc_ref_pixels; ++p) {
        if (p % k_epc_ref_w == k_epc_ref_w - 1)
            continue;
        uint16_t va, vb;
        std::memcpy(&va, ref_a + k_epc_ref_hdr + 2 * p, 2);
        std::memcpy(&vb, ref_b + k_epc_ref_hdr + 2 * p, 2);
        sa += va;
        sb += vb;
        ++cnt;
    }
    // The box length comes from the calibration file: truncations saturate
    // (any float times ten leaves the int32 range or is NaN).
    const double box = 10.0 * static_cast<double>(st->calib->box_len);
    const int32_t b = trunc_sat_f64(box);
    const float r = 1.4989622e11f / static_cast<float>(st->mod_freq);
    const float da = static_cast<float>(sa / cnt) * r / 32768.0f;
    const float db = static_cast<float>(sb / cnt) * r / 32768.0f;
    uint32_t disp_b;
    std::memcpy(&disp_b, ref_b, 4);
    const int32_t far_mm = trunc_sat_f64(static_cast<double>(disp_b / 1000) + box);
    *scale = static_cast<float>(int64_t{far_mm} - b) / (db - da);
    *offset = static_cast<float>(b) - *scale * da;
}

} // extern "C"
