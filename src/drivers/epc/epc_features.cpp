// Runtime features of the EPC driver and their switches.
#include "drivers/epc/epc_features.h"

#include "drivers/epc/epc_chain_kernels.h"

#include "capture/device.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_param_id.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pylox {

epc_feature_stamps g_epc_stamps{};

namespace {

constexpr int k_intg_min = 50, k_intg_max = 1500;
constexpr int k_pair_lo = 4017, k_pair_hi = 4175; // d0 + d2 (d1 + d3) of a sound pixel

template <typename T> T arg_of(const void *arg)
{
    T v{};
    if (arg)
        std::memcpy(&v, arg, sizeof v);
    return v;
}

} // namespace

bool epc_param_get(pylox_drv_t *drv, uint32_t id, void *val, uint8_t len)
{
    pylox_param_item_t it{};
    it.param_id = id;
    it.param_val_len = len;
    if (!pylox_param_batch_get(drv->dev, &it, 1))
        return false;
    std::memcpy(val, it.param_val, len);
    return true;
}

bool epc_param_set(pylox_drv_t *drv, uint32_t id, const void *val, uint8_t len)
{
    pylox_param_item_t it{};
    it.param_id = id;
    it.param_val_len = len;
    std::memcpy(it.param_val, val, len);
    return pylox_param_batch_set(drv->dev, &it, 1) != 0;
}

// --- automatic integration time ---------------------------------------------

int _feature_auto_intg_calc_step(const uint16_t *raw, int words, uint16_t sat_ratio)
{
    if (words <= 0) {
        LOG_TRC("[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", 0, 0, 0, 0,
                sat_ratio);
        return 50;
    }
    int bad = 0, low = 0, high = 0;
    for (int i = 0; i < words; ++i) {
        const uint16_t v = raw[i];
        bad += v < 2 || v >= 4095;
        low += v >= 2 && v <= 511;
        high += v >= 3585 && v <= 4094;
    }
    const int pct = static_cast<int>(static_cast<int64_t>(bad) * 1000 / words);
    LOG_TRC("[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", pct, bad, high, low,
            sat_ratio);
    if (pct >= sat_ratio && pct > 9)
        return -10 * (pct / 10);
    if (pct >= sat_ratio && pct > 0 && high > 512)
        return -10;
    return (high > 10 || low > 512) ? 0 : 50;
}

void _feature_auto_intg(pylox_drv_t *drv, const uint8_t *raw, int n)
{
    const int64_t now = clock_now_ms();
    const int64_t last = g_epc_stamps.auto_intg_ms.load();
    if (last != 0 && now - last <= 1)
        return;
    const epc_state_t *st = epc_state(drv);
    const int words = raw ? std::max(n, 0) / 2 : 0;
    const int step =
        _feature_auto_intg_calc_step(reinterpret_cast<const uint16_t *>(raw), words, st->sat_ratio);
    uint16_t cur = 0;
    if (!epc_param_get(drv, PARAM_INTG_TIME, &cur, sizeof cur)) {
        LOG_ERR("[%s] get intg failed\n");
        return;
    }
    const int next = std::clamp(static_cast<int>(cur) + step, k_intg_min, k_intg_max);
    if (next != cur) {
        LOG_DBG("[%s] AUTO_INTG: %d->%d\n", static_cast<int>(cur), next);
        const uint16_t v = static_cast<uint16_t>(next);
        if (!epc_param_set(drv, PARAM_INTG_TIME, &v, sizeof v))
            LOG_ERR("[%s] adjust intg from %d to %d failed\n", static_cast<int>(cur), next);
    }
    g_epc_stamps.auto_intg_ms.store(now);
}

// --- phase-pair check ---------------------------------------------------------

void epc_dcs_pair_counts(const uint16_t *raw, int n, int count, int *a, int *b)
{
    const uint16_t *d0 = raw, *d1 = raw + n, *d2 = raw + 2 * n, *d3 = raw + 3 * n;
    int ca = 0, cb = 0;
    for (int i = 0; i < count; ++i) {
        const int s02 = (d0[i] & 0xFFF) + (d2[i] & 0xFFF);
        const int s13 = (d1[i] & 0xFFF) + (d3[i] & 0xFFF);
        ca += s02 >= k_pair_lo && s02 <= k_pair_hi;
        cb += s13 >= k_pair_lo && s13 <= k_pair_hi;
    }
    *a = ca;
    *b = cb;
}

bool _feature_dcs_check(pylox_drv_t *drv, const uint16_t *raw, int n, int bytes)
{
    const epc_state_t *st = epc_state(drv);
    const int64_t now = clock_now_ms() / 1000;
    if (n <= 0)
        return false;
    // The first bytes/8 pixels: the whole frame when all four planes are there.
    const int count = std::min(bytes / 8, n);
    int a = 0, b = 0;
    epc_dcs_pair_counts(raw, n, count, &a, &b);
    if (a * 100 / n > 60 && b * 100 / n > 60)
        return false;
    int64_t fixed = g_epc_stamps.dcs_fix_sec.load();
    if (now <= fixed || !g_epc_stamps.dcs_fix_sec.compare_exchange_strong(fixed, now))
        return false; // corrected within this second already: decode as usual
    uint8_t val[3] = {static_cast<uint8_t>(st->dcs_check_arg == 0 ? 1 : 0),
                      static_cast<uint8_t>(st->dcs_check_arg & 0xFF),
                      static_cast<uint8_t>(st->dcs_check_arg >> 8)};
    LOG_DBG("[%s] phase pairs %d/%d of %d in range: correction %u sent\n", a, b, n,
            static_cast<unsigned>(st->dcs_check_arg));
    if (!epc_param_set(drv, PARAM_DCS_CHECK, val, sizeof val))
        LOG_ERR("[%s] set phase check correction failed\n");
    return true;
}

// --- HDR row merge ------------------------------------------------------------

void epc_hdr_merge(uint16_t *dist, uint16_t *amp, int w, int h)
{
    for (int j = 0; j + 1 < h; j += 2) {
        uint16_t *a0 = amp + static_cast<size_t>(j) * w, *a1 = a0 + w;
        uint16_t *d0 = dist + static_cast<size_t>(j) * w, *d1 = d0 + w;
        for (int x = 0; x < w; ++x) {
            if (static_cast<int16_t>(a1[x]) > static_cast<int16_t>(a0[x])) {
                a0[x] = a1[x];
                d0[x] = d1[x];
            } else {
                a1[x] = a0[x];
                d1[x] = d0[x];
            }
        }
    }
}

void epc_hdr_merge_gray(uint16_t *gray, int w, int h)
{
    for (int j = 0; j + 1 < h; j += 2) {
        uint16_t *g0 = gray + static_cast<size_t>(j) * w, *g1 = g0 + w;
        for (int x = 0; x < w; ++x)
            g0[x] = g1[x] = std::max(g0[x], g1[x]);
    }
}

// --- minimum amplitude --------------------------------------------------------

void _feature_minamp_filter(epc_state_t *st, uint16_t *dist, const uint16_t *amp, int n)
{
    if (!st->minamp_en || n <= 0)
        return;
    if (!st->minamp_hyst_en) {
        epc::minamp_vec(dist, amp, n, st->minamp_thr);
        return;
    }
    if (!st->minamp_state || st->minamp_state_len < n) {
        std::free(st->minamp_state);
        st->minamp_state = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(n), 1));
        if (!st->minamp_state) {
            LOG_ERR("[%s] malloc failed\n");
            std::exit(-3);
        }
        st->minamp_state_len = n;
    }
    epc::minamp_hyst_vec(dist, amp, st->minamp_state, n, st->minamp_thr, st->minamp_hyst);
}

// --- temperature monitor ------------------------------------------------------

void _feature_temp_monitor(pylox_drv_t *drv, const tq_stream_finfo_t *finfo)
{
    const int64_t now = clock_now_ms() / 1000;
    int64_t last = g_epc_stamps.temp_log_sec.load();
    const int64_t secs = now - last;
    // One line per ten seconds for all devices: of two threads that find the
    // time come, the one that moves the stamp logs.
    if (secs <= 9 || !g_epc_stamps.temp_log_sec.compare_exchange_strong(last, now))
        return;
    // The frame rate the capture started with, as the context keeps it: a
    // command to the camera here, on the delivery path, held the callback of
    // this frame and of every frame behind it until the camera answered.
    uint32_t fps = 0;
    if (pylox::device *d = drv->dev ? pylox::published(drv->dev) : nullptr)
        fps = pylox::load(d->pub.fps);
    LOG_DBG("[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", static_cast<int>(secs),
            static_cast<int16_t>(finfo->attr.temp1) / 10.0,
            static_cast<int16_t>(finfo->attr.temp0) / 10.0, static_cast<int>(fps));
}

// --- switches -----------------------------------------------------------------

int epc_filter_enable(pylox_drv_t *drv, int id, void *arg)
{
    epc_state_t *st = epc_state(drv);
    if (!st)
        return 0;
    switch (id) {
    case FILTER_ID_LENS_UNDIST:
        st->lens_undist_en = 1;
        break;
    case FILTER_ID_CALIB:
        st->calib_en = 1;
        return epc_calc_calib_loaded(drv) ? 1 : 0;
    case FILTER_ID_SPATIAL:
        st->spatial_en = 1;
        st->spatial_arg = arg_of<uint8_t>(arg);
        break;
    case FILTER_ID_AMP:
        st->minamp_en = 1;
        st->minamp_thr = arg_of<uint16_t>(arg);
        break;
    case FILTER_ID_AUTO_INTG:
        st->auto_intg_en = 1;
        st->sat_ratio = arg_of<uint16_t>(arg);
        break;
    case FILTER_ID_PHASE_CHECK:
        st->dcs_check_en = 1;
        st->dcs_check_arg = arg_of<uint16_t>(arg);
        break;
    case FILTER_ID_TEMP_MONITOR:
        st->temp_mon_en = 1;
        st->temp_mon_arg = arg_of<uint16_t>(arg);
        break;
    case FILTER_ID_HDR:
        st->hdr_en = 1;
        break;
    case FILTER_ID_OFFSET: {
        const int32_t mm = arg_of<int32_t>(arg);
        if (mm != st->offset_mm)
            LOG_DBG("[%s] offset_mm: %d -> %d\n", st->offset_mm, mm);
        st->offset_en = 1;
        st->offset_mm = mm;
        break;
    }
    default:
        break;
    }
    return 1;
}

int epc_filter_disable(pylox_drv_t *drv, int id)
{
    epc_state_t *st = epc_state(drv);
    if (!st)
        return 0;
    switch (id) {
    case FILTER_ID_LENS_UNDIST:
        st->lens_undist_en = 0;
        break;
    case FILTER_ID_CALIB:
        st->calib_en = 0;
        break;
    case FILTER_ID_SPATIAL:
        st->spatial_en = 0;
        st->spatial_arg = 0;
        break;
    case FILTER_ID_AMP:
        st->minamp_en = 0;
        std::free(st->minamp_state);
        st->minamp_state = nullptr;
        st->minamp_state_len = 0;
        break;
    case FILTER_ID_AUTO_INTG:
        st->auto_intg_en = 0;
        st->sat_ratio = 0;
        break;
    case FILTER_ID_PHASE_CHECK:
        st->dcs_check_en = 0;
        break;
    case FILTER_ID_TEMP_MONITOR:
        st->temp_mon_en = 0;
        break;
    case FILTER_ID_HDR: {
        st->hdr_en = 0;
        const uint16_t zero = 0;
        epc_param_set(drv, PARAM_INTG_TIME2, &zero, sizeof zero);
        break;
    }
    case FILTER_ID_OFFSET:
        st->offset_en = 0;
        break;
    default:
        break;
    }
    return 1;
}

} // namespace pylox
