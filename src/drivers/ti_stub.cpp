// Driver table of the TI OP8241 chip: a stub for a 320 x 240 sensor with four
// bytes per pixel. It describes frames but does not decode them, so that no
// caller ever reads its output as distances; its filter switches report
// failure and its parameter reactions do nothing.
#include "core/log.h"

#include <pylox/pylox_drv.h>

namespace {

int ti_init(pylox_drv_t *drv, pylox_dev_t *dev)
{
    drv->dev = dev;
    return 1;
}

void ti_uninit(pylox_drv_t *) {}

int ti_frame_get_info(pylox_drv_t *, pylox_frame_info_t *info, const tq_stream_finfo_t *finfo)
{
    info->frame_size = finfo->frame_size;
    info->frame_format = finfo->frame_format;
    info->frame_idx = finfo->frame_idx;
    info->width = 320;
    info->height = 240;
    info->depth = 4;
    return 1;
}

int ti_frame_decode(pylox_drv_t *, uint16_t *, int, int kind, const uint8_t *, int,
                    const pylox_frame_info_t *)
{
    LOG_WRN("[%s] frames of the TI OP8241 chip cannot be decoded (output %d)\n", kind);
    return -1;
}

int ti_reserved_zero(pylox_drv_t *, void *, int)
{
    return 0;
}
int ti_reserved_echo(pylox_drv_t *, void *, int val)
{
    return val;
}
int ti_reserved_one(pylox_drv_t *, void *, int)
{
    return 1;
}
int ti_update_intg_time(pylox_drv_t *, uint16_t, int)
{
    return 0;
}
int ti_update_mod_freq(pylox_drv_t *, uint32_t, int)
{
    return 0;
}
int ti_calib_save(pylox_drv_t *, void *, int, int)
{
    return 0;
}
int ti_filter_enable(pylox_drv_t *, int, void *)
{
    return 0;
}
int ti_filter_disable(pylox_drv_t *, int)
{
    return 0;
}

} // namespace

extern "C" PYLOX_API const pylox_drv_op_t g_pylox_driver_op_ti = {
    ti_init,          ti_uninit,           ti_frame_get_info,  ti_frame_decode,
    nullptr, // frame_raw_get
    nullptr, // frame_raw_proc
    nullptr, // lens_param_get
    ti_reserved_zero, ti_update_intg_time, ti_update_mod_freq, ti_reserved_echo, ti_calib_save,
    ti_reserved_one,  ti_filter_enable,    ti_filter_disable,  nullptr,
};
