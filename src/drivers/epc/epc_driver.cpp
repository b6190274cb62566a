// EPC sensor driver (families E1, E2, E3). This first form describes frames
// from their stream headers, with the temperature plausibility check, and
// keeps the driver state the depth calculation (epc_calc.cpp) works on; depth
// decoding, calibration and the runtime features come with the full driver.
#include "core/log.h"
#include "drivers/epc/epc_calib_mount.h"
#include "drivers/epc/epc_state.h"

#include <pylox/pylox_drv.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t k_fmt_calib = EPC_FRAME_FMT_CALIB; // calibration data frame, never decoded

int epc_init(pylox_drv_t *drv, pylox_dev_t *dev)
{
    drv->dev = dev;
    drv->priv = pylox::epc_state_create();
    if (!epc_calc_init(drv)) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    return 1;
}

void epc_uninit(pylox_drv_t *drv)
{
    pylox::epc_state_destroy(static_cast<epc_state_t *>(drv->priv));
    drv->priv = nullptr;
}

int epc_frame_get_info(pylox_drv_t *drv, pylox_frame_info_t *info, const tq_stream_finfo_t *finfo)
{
    auto *st = static_cast<epc_state_t *>(drv->priv);
    const int cb = static_cast<int16_t>(finfo->attr.temp0);
    const int ib = static_cast<int16_t>(finfo->attr.temp1);
    if (st) {
        const int diff = ib > cb ? ib - cb : cb - ib;
        if (ib < -300 || ib > 900 || diff > 600) {
            const bool corrected = st->temp_ib == st->temp_cb - 100 && st->temp_ib != 0;
            if (!corrected)
                LOG_WRN("[%s] wrong IB temp %d detected: corrected to temp_cb - 10 (reported only "
                        "once)\n",
                        ib);
            st->temp_cb = static_cast<int16_t>(cb);
            st->temp_ib = static_cast<int16_t>(cb - 100);
        } else {
            if (cb < -40 || cb > 1000)
                LOG_WRN("[%s] wrong CB temp %d detected: distance value may be wrong \n", cb);
            st->temp_cb = static_cast<int16_t>(cb);
            st->temp_ib = static_cast<int16_t>(ib);
        }
    }

    std::memset(info, 0, sizeof *info);
    const uint32_t w = finfo->attr.width ? finfo->attr.width : 320;
    const uint32_t h = finfo->attr.height ? finfo->attr.height : 240;
    LOG_TRC("[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", finfo->frame_format,
            static_cast<int>(finfo->frame_size), static_cast<int>(w), static_cast<int>(h));
    if (finfo->frame_format != k_fmt_calib && finfo->frame_size % (w * h) != 0)
        return 0;
    info->frame_size = finfo->frame_size;
    info->frame_format = finfo->frame_format;
    info->frame_idx = finfo->frame_idx;
    info->width = w;
    info->height = h;
    info->depth = static_cast<uint8_t>(finfo->frame_size / w / h);
    info->temp0 = st ? static_cast<uint16_t>(st->temp_cb) : finfo->attr.temp0;
    info->temp1 = st ? static_cast<uint16_t>(st->temp_ib) : finfo->attr.temp1;
    return 1;
}

int epc_frame_decode(pylox_drv_t *, uint16_t *, int, int kind, const uint8_t *, int,
                     const pylox_frame_info_t *)
{
    LOG_WRN("[%s] depth decoding is not available in this build (output %d)\n", kind);
    return -1;
}

int epc_frame_raw_get(pylox_drv_t *, uint8_t *, int, pylox_frame_info_t *)
{
    return 0;
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
    return 0;
}
int epc_update_mod_freq(pylox_drv_t *drv, uint32_t f, int)
{
    pylox::epc_mod_freq_changed(drv, f);
    return 0;
}
int epc_calib_save(pylox_drv_t *drv, void *, int, int)
{
    return pylox::epc_calib_refresh(drv);
}
int epc_filter_enable(pylox_drv_t *, int, void *)
{
    return 0;
}
int epc_filter_disable(pylox_drv_t *, int)
{
    return 0;
}

} // namespace

extern "C" PYLOX_API const pylox_drv_op_t g_pylox_driver_op_epc = {
    epc_init,          epc_uninit,           epc_frame_get_info,
    epc_frame_decode,  epc_frame_raw_get,    epc_frame_raw_proc,
    nullptr, // lens_param_get: with the lens intrinsics of the full driver
    epc_reserved_zero, epc_update_intg_time, epc_update_mod_freq,
    epc_reserved_zero, epc_calib_save,       epc_reserved_one,
    epc_filter_enable, epc_filter_disable,   nullptr,
};
