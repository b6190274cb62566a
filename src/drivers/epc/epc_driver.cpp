// EPC sensor driver (families E1, E2, E3): sensor set-up, frame information
// with the temperature checks, lens intrinsics, modulation frequency and
// calibration, and the operation table. The decode chain is in
// epc_decode.cpp, the runtime features in epc_features.cpp.
#include "drivers/epc/epc_driver.h"

#include "core/log.h"
#include "drivers/epc/epc_calib_mount.h"
#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_features.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_param_id.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pylox {
namespace {

constexpr int k_sensor = 1; // register target of the sensor chip

// Sensor programming at init: (address, values) batches, then the registers
// whose bits 4 and 5 are set by read-modify-write.
struct reg_batch {
    uint32_t addr;
    uint32_t vals[3];
    int count;
};
constexpr reg_batch k_init_writes[] = {
    {0x8B, {2}, 1},
    {0x71, {0, 0, 0}, 3},
    {0xAE, {4}, 1},
};
constexpr uint32_t k_init_rmw[] = {0x22, 0x25, 0x28, 0x2B};
constexpr uint32_t k_init_rmw_bits = 0x30;

} // namespace

int _epc_reg_rw(pylox_drv_t *drv, char dir, uint32_t addr, int count, uint32_t *vals)
{
    if (addr >= 256) {
        LOG_ERR("[%s] reg address %d is out of range.\n", static_cast<int>(addr));
        return -1;
    }
    int r;
    if (dir == 'r')
        r = pylox_reg_batch_read(drv->dev, k_sensor, addr, vals, count);
    else if (dir == 'w')
        r = pylox_reg_batch_write(drv->dev, k_sensor, addr, vals, count);
    else
        return -1;
    if (!r) {
        LOG_ERR("[%s] reg write fail!\n");
        return -1;
    }
    return 0;
}

void epc_program_sensor(pylox_drv_t *drv)
{
    for (const reg_batch &b : k_init_writes) {
        uint32_t vals[3];
        std::memcpy(vals, b.vals, sizeof vals);
        _epc_reg_rw(drv, 'w', b.addr, b.count, vals);
    }
    for (uint32_t addr : k_init_rmw) {
        uint32_t v = 0;
        if (_epc_reg_rw(drv, 'r', addr, 1, &v) != 0)
            continue;
        v |= k_init_rmw_bits;
        _epc_reg_rw(drv, 'w', addr, 1, &v);
    }
}

int _tq_update_len_param(const char *prefix, tq_calib_len_param_t *p)
{
    char path[256];
    const int len = std::snprintf(path, sizeof path, "%s%s", prefix ? prefix : "", k_lens_file);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
        LOG_WRN("[%s] len param file %s load failed\n", k_lens_file);
        return 0;
    }
    FILE *f = std::fopen(path, "r");
    if (!f) {
        LOG_DBG("[%s] %s Open failed, use default param\n", path);
        return 0;
    }
    double *coeff[5] = {&p->k1, &p->k2, &p->p1, &p->p2, &p->k3};
    char tok[256];
    int count = 0;
    bool size_ok = true;
    while (std::fscanf(f, "%255s", tok) == 1) {
        ++count;
        double d = 0;
        int i = 0;
        if (count <= 9) {
            if (std::sscanf(tok, "%lf\n", &d) != 1)
                continue; // not a number: counted, nothing stored
        } else if (count <= 11) {
            if (std::sscanf(tok, "%d\n", &i) != 1)
                continue;
            // The undistortion map is built for this size at every open: a
            // size no lens image has would take gigabytes and minutes.
            if (i < 1 || i > k_lens_side_max) {
                LOG_WRN("[%s] lens image %s %d out of range 1..%d\n",
                        count == 10 ? "width" : "height", i, k_lens_side_max);
                size_ok = false;
                continue;
            }
        }
        switch (count) {
        case 1:
            p->cx = d;
            LOG_DBG("[%s] Cx:%3.5f\n", d);
            break;
        case 2:
            p->cy = d;
            LOG_DBG("[%s] Cy:%3.5f\n", d);
            break;
        case 3:
            p->fx = d;
            LOG_DBG("[%s] Fx:%3.5f\n", d);
            break;
        case 4:
            p->fy = d;
            LOG_DBG("[%s] Fy:%3.5f\n", d);
            break;
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
            *coeff[count - 5] = d;
            LOG_DBG("[%s] dcoeff[%d]:%3.5f\n", count - 5, d);
            break;
        case 10:
            p->width = i;
            LOG_DBG("[%s] img_w = %d\n", i);
            break;
        case 11:
            p->height = i;
            LOG_DBG("[%s] img_h = %d\n", i);
            break;
        default:
            break;
        }
    }
    std::fclose(f);
    if (count != 11 || !size_ok) {
        LOG_WRN("[%s] len param file %s load failed\n", k_lens_file);
        return 0;
    }
    return 1;
}

int epc_init(pylox_drv_t *drv, pylox_dev_t *dev)
{
    drv->dev = dev;
    epc_state_t *st =
        epc_state_create(); // zero-filled, defaults, lock; ends the process on failure
    drv->priv = st;

    _tq_update_len_param(dev ? dev->path_prefix : nullptr, &g_epc_lens_param);
    // The map undistorts the sensor's 320 x 240 frames: intrinsics given for a
    // multiple of that size are scaled to it, as for point clouds (a map of
    // another size would leave every frame distorted).
    tq_calib_len_param_t lens = g_epc_lens_param;
    if (lens.width != k_epc_ref_w || lens.height != k_epc_ref_h)
        epc_lens_param_get(drv, &lens, k_epc_ref_w, k_epc_ref_h); // keeps lens when it fails
    tq_calib_len_init_map(&st->lens_map, &lens);

    st->mod_freq = 0;
    if (!epc_calc_init(drv)) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    epc_program_sensor(drv);

    if (!tq_bpf2d_iir_init(&st->bpf, 320, 240, 0.02f, 0.1f, 0, 4096))
        LOG_ERR("[%s] tq_bpf2d_iir_init failed\n");
    epc_work_reserve(st, 320 * 240);
    return 1;
}

void epc_uninit(pylox_drv_t *drv)
{
    epc_state_destroy(epc_state(drv)); // filter state, lens map, calibration, lock, buffers
    drv->priv = nullptr;
}

int epc_frame_get_info(pylox_drv_t *drv, pylox_frame_info_t *info, const tq_stream_finfo_t *finfo)
{
    epc_state_t *st = epc_state(drv);
    if (!info || !finfo)
        return 0;
    const int cb = static_cast<int16_t>(finfo->attr.temp0);
    const int ib = static_cast<int16_t>(finfo->attr.temp1);
    if (st) {
        const int diff = ib > cb ? ib - cb : cb - ib;
        if (ib < -300 || ib > 900 || diff > 600) {
            const int last_cb = epc_temp_load(st->temp_cb), last_ib = epc_temp_load(st->temp_ib);
            const bool corrected = last_ib == last_cb - 100 && last_ib != 0;
            if (!corrected)
                LOG_WRN("[%s] wrong IB temp %d detected: corrected to temp_cb - 10 (reported only "
                        "once)\n",
                        ib);
            epc_temp_store(st->temp_cb, cb);
            epc_temp_store(st->temp_ib, cb - 100);
        } else {
            if (cb < -40 || cb > 1000)
                LOG_WRN("[%s] wrong CB temp %d detected: distance value may be wrong \n", cb);
            epc_temp_store(st->temp_cb, cb);
            epc_temp_store(st->temp_ib, ib);
        }
        if (st->temp_mon_en && finfo->frame_format != EPC_FRAME_FMT_CALIB)
            _feature_temp_monitor(drv, finfo);
        else
            LOG_TRC("[%s] Temp monitor not enable\n");
    }

    std::memset(info, 0, sizeof *info);
    const uint32_t w = finfo->attr.width ? finfo->attr.width : 320;
    const uint32_t h = finfo->attr.height ? finfo->attr.height : 240;
    LOG_TRC("[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", finfo->frame_format,
            static_cast<int>(finfo->frame_size), static_cast<int>(w), static_cast<int>(h));
    if (finfo->frame_format != EPC_FRAME_FMT_CALIB && finfo->frame_size % (w * h) != 0)
        return 0;
    info->frame_size = finfo->frame_size;
    info->frame_format = finfo->frame_format;
    info->frame_idx = finfo->frame_idx;
    info->width = w;
    info->height = h;
    info->depth = static_cast<uint8_t>(finfo->frame_size / w / h);
    info->temp0 = st ? static_cast<uint16_t>(epc_temp_load(st->temp_cb)) : finfo->attr.temp0;
    info->temp1 = st ? static_cast<uint16_t>(epc_temp_load(st->temp_ib)) : finfo->attr.temp1;
    return 1;
}

int epc_lens_param_get(pylox_drv_t *, tq_calib_len_param_t *param, int width, int height)
{
    const tq_calib_len_param_t &lp = g_epc_lens_param;
    if (!param || width <= 0 || height <= 0)
        return 0;
    if (lp.width <= 0 || lp.height <= 0 || lp.width % width != 0 || lp.height % height != 0) {
        LOG_WRN("[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n", lp.width,
                lp.height, width, height);
        return 0;
    }
    const int rw = lp.width / width, rh = lp.height / height;
    *param = lp;
    param->cx = lp.cx / rw;
    param->cy = lp.cy / rh;
    param->fx = lp.fx / rw;
    param->fy = lp.fy / rh;
    param->width = width;
    param->height = height;
    return 1;
}

int epc_update_mod_freq(pylox_drv_t *drv, uint32_t f, int)
{
    if (epc_state(drv))
        epc_mod_freq_changed(drv, f); // remounts on a change; derived values follow f
    return 0;
}

int epc_calib_save(pylox_drv_t *drv, void *, int, int)
{
    return epc_state(drv) ? epc_calib_refresh(drv) : -1;
}

namespace {

int epc_frame_raw_get(pylox_drv_t *, uint8_t *, int, pylox_frame_info_t *)
{
    return 0; // no driver-side frame cache: frames come from the ring
}
int epc_frame_raw_proc(pylox_drv_t *, uint8_t *, int, pylox_frame_info_t *)
{
    return 0;
}
int epc_reserved_zero(pylox_drv_t *, void *, int)
{
    return 0;
}
int epc_reserved_one(pylox_drv_t *, void *, int)
{
    return 1;
}
int epc_update_intg_time(pylox_drv_t *, uint16_t, int)
{
    return 0; // the sensor takes integration times as they are
}

} // namespace
} // namespace pylox

extern "C" PYLOX_API const pylox_drv_op_t g_pylox_driver_op_epc = {
    pylox::epc_init,
    pylox::epc_uninit,
    pylox::epc_frame_get_info,
    pylox::epc_frame_decode,
    pylox::epc_frame_raw_get,
    pylox::epc_frame_raw_proc,
    pylox::epc_lens_param_get,
    pylox::epc_reserved_zero,
    pylox::epc_update_intg_time,
    pylox::epc_update_mod_freq,
    pylox::epc_reserved_zero,
    pylox::epc_calib_save,
    pylox::epc_reserved_one,
    pylox::epc_filter_enable,
    pylox::epc_filter_disable,
    nullptr,
};
