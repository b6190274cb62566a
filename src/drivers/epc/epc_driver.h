// Operations of the EPC driver (the table g_pylox_driver_op_epc) and the
// steps they are made of.
#pragma once

#include "drivers/epc/epc_state.h"

#include <pylox/pylox_drv.h>
#include <pylox/tq_calib_len.h>

#include <cstdint>

namespace pylox {

inline constexpr const char *k_lens_file = "lens_param.txt";
// Largest width or height of the image a lens file may describe (the sensor
// gives 320 x 240; intrinsics come for that size or a multiple of it).
inline constexpr int k_lens_side_max = 2048;

// Sensor register access on target 1: direction 'r' or 'w'; 0 or -1.
int _epc_reg_rw(pylox_drv_t *drv, char dir, uint32_t addr, int count, uint32_t *vals);
// The register programming sequence of init; a failing step is logged and skipped.
void epc_program_sensor(pylox_drv_t *drv);
// Reads "<prefix>lens_param.txt" into p: 1 for exactly eleven tokens with an
// image size within 1..k_lens_side_max, else 0 (keeping what was parsed, a
// size out of range not stored; a missing file keeps p as it is).
int _tq_update_len_param(const char *prefix, tq_calib_len_param_t *p);

int epc_init(pylox_drv_t *drv, pylox_dev_t *dev);
void epc_uninit(pylox_drv_t *drv);
int epc_frame_get_info(pylox_drv_t *drv, pylox_frame_info_t *info, const tq_stream_finfo_t *finfo);
int epc_lens_param_get(pylox_drv_t *drv, tq_calib_len_param_t *param, int width, int height);
int epc_update_mod_freq(pylox_drv_t *drv, uint32_t f, int unused);
int epc_calib_save(pylox_drv_t *drv, void *data, int len, int kind);

} // namespace pylox
