// The driver's calibration upkeep: the parameter file brought up to date and
// the calibration of the modulation frequency mounted.
#pragma once

#include <pylox/pylox_drv.h>

#include <cstdint>

namespace pylox {

// calib_save: names the parameter file, checks it against the camera's time
// stamp, fetches the camera's package when the file is missing or older,
// mounts the first calibration block and sets the camera to its frequency
// (12 MHz without a calibration). 0, or -1 when no file name can be built.
int epc_calib_refresh(pylox_drv_t *drv);
// update_mod_freq: a new frequency remounts; the derived values follow f.
void epc_mod_freq_changed(pylox_drv_t *drv, uint32_t f);

} // namespace pylox
