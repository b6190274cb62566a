/* Depth calculation of the EPC sensor driver: the four phase samples of every
 * pixel to amplitude, phase and distance, the row order of the sensor, and the
 * calibration record of the driver state.
 *
 * Raw frames of format 2 are four planes of width x height 16-bit words, plane
 * k holding the phase sample DCSk of every pixel in sensor row order; only the
 * low 12 bits of a word are the sample. Outputs are width x height 16-bit
 * values in the same (sensor) order: distances in millimetres, 65500 marking a
 * saturated pixel. A full phase period is 32768. */
#ifndef PYLOX_EPC_H
#define PYLOX_EPC_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_drv.h>

PYLOX_BEGIN_DECLS

#define EPC_FRAME_FMT_DCS 2      /* four 12-bit phase planes, 8 bytes per pixel */
#define EPC_FRAME_FMT_CALIB 171  /* calibration data frame, never decoded */
#define EPC_DIST_SATURATED 65500 /* distance (and amplitude) of a saturated pixel */

/* Creates the calibration record of the driver state with the default scale
 * (1000 um/mm) and offset (-2000 mm). 1, or 0 without a driver state. */
PYLOX_API int epc_calc_init(pylox_drv_t *drv);
/* Releases the calibration record and its data. */
PYLOX_API void epc_calc_uninit(pylox_drv_t *drv);
/* Nonzero when reference images for the driver's modulation frequency are loaded. */
PYLOX_API int epc_calc_calib_loaded(pylox_drv_t *drv);

/* Mounts the calibration block of the driver's modulation frequency (the
 * first block when it is 0, which then becomes the block's) from the device's
 * parameter file: 1 mounted, -1 the default scale and offset are in force.
 * Unmounting releases the data (always 0). The caller holds the state's lock. */
PYLOX_API int epc_calc_mount_calib(pylox_drv_t *drv);
PYLOX_API int epc_calc_unmount_clib(pylox_drv_t *drv);

/* Sensor rows come from the middle outwards: source row 2j goes to row
 * h/2 - 1 - j, source row 2j + 1 to row h/2 + j; with an odd height the last
 * row stays last. unsort is the inverse. dst and src may be the same buffer. */
PYLOX_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);
PYLOX_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h);

/* The distance and gray calculations return 1 when done and 0 when refused
 * (phase count other than 4, pixel count not a multiple of 4, null buffers,
 * no calibration for the DRNU models); a refusal writes nothing. */
PYLOX_API int calc_dist_calib_none(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *raw, int32_t w, int32_t h, int32_t phases,
                                   int32_t scale_um, int32_t offset_mm);
PYLOX_API int calc_dist_calib_simple(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                     const uint16_t *raw, int32_t w, int32_t h, int32_t phases);
PYLOX_API int calc_dist_calib_drnu_lut(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *raw, int32_t w, int32_t h, int32_t phases);
PYLOX_API int calc_dist_calib_drnu_lsr(pylox_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *raw, int32_t w, int32_t h, int32_t phases);
PYLOX_API int calc_gray(pylox_drv_t *drv, uint16_t *gray, const uint16_t *raw, int32_t w, int32_t h,
                        int32_t phases);

/* Scale and offset of the distance line through two reference images (each a
 * 20-byte header and 320 x 240 phases). */
PYLOX_API void _calc_scale_offset(pylox_drv_t *drv, float *scale, float *offset,
                                  const uint8_t *ref_a, const uint8_t *ref_b);

PYLOX_END_DECLS

#endif
