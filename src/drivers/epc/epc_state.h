// Records of the EPC driver: the per-device driver state, the mounted
// calibration it points to, and the module-wide lens intrinsics.
#pragma once

#include <pylox/pylox_drv.h>
#include <pylox/pylox_epc.h>
#include <pylox/tq_calib_len.h>

#include <pthread.h>

#include <pylox/tq_filter.h>

#include <atomic>
#include <cstdint>

// Mounted calibration: summary values and the reference images of one
// modulation frequency. Created by epc_calc_init, filled by mounting.
struct epc_calib_t {
    float box_len;         // calibration box length, cm
    int32_t img_count;     // number of reference images
    uint32_t step_um;      // distance between neighbouring reference images
    int32_t cal_scale_um;  // distance scale, um per mm of raw phase distance (1000)
    int32_t cal_offset_mm; // distance offset (-2000)
    int16_t cal_cb;        // CB temperature at calibration, tenths of a degree
    int16_t cal_ib;        // IB temperature at calibration
    float *lsr;            // per pixel: inverse slope, intercept (null after mounting)
    uint16_t mean_first;   // mean phase of the first reference image
    uint16_t mean_last;    // mean phase of the last reference image
    uint8_t hdr[37];       // the calibration block's header; first word: its frequency
    uint8_t *data;         // img_count images: 20-byte header, then 320 x 240 phases
};

// Reference images: a 20-byte header whose first 32-bit word is the image's
// displacement from the first image in um, then 320 x 240 phases.
constexpr int k_epc_ref_w = 320;
constexpr int k_epc_ref_h = 240;
constexpr int k_epc_ref_hdr = 20;
constexpr int k_epc_ref_pixels = k_epc_ref_w * k_epc_ref_h;
constexpr int k_epc_ref_bytes = k_epc_ref_hdr + 2 * k_epc_ref_pixels;

// Module-wide lens intrinsics (not per device); the lens file replaces them.
extern tq_calib_len_param_t g_epc_lens_param;

// Driver private state of one bound device (the descriptor's priv).
struct epc_state_t {
    tq_calib_len_map_t lens_map; // lens undistortion map, built at init
    uint8_t calib_en;            // filter 1
    uint8_t lens_undist_en;      // filter 0
    uint8_t minamp_en;           // filter 4
    uint8_t auto_intg_en;        // filter 5
    uint8_t dcs_check_en;        // filter 6
    uint8_t temp_mon_en;         // filter 7
    uint8_t hdr_en;              // filter 8
    uint8_t spatial_en;          // filter 2
    uint8_t offset_en;           // filter 9
    uint8_t flypix_en;
    uint8_t minamp_hyst_en;
    uint32_t flypix_thr;
    uint16_t minamp_hyst;
    uint16_t minamp_thr;
    uint16_t sat_ratio; // per mille
    uint16_t dcs_check_arg;
    uint16_t temp_mon_arg;
    int32_t offset_mm; // user distance offset
    uint8_t spatial_arg;
    tq_bpf2d_iir_t bpf; // band-pass (bilateral IIR) state of the spatial chain
    uint8_t *minamp_state;
    int32_t minamp_state_len;
    // Last accepted temperatures, tenths of a degree: written by the thread
    // that takes a frame's information, read by whichever thread decodes, so
    // always through epc_temp_load/epc_temp_store.
    int16_t temp_cb;
    int16_t temp_ib;
    float tc_cb; // mm per degree
    float tc_ib;
    int32_t box_len_mm;
    uint32_t box_phase; // box_len_mm * 32768 / range_mm
    uint32_t range_mm;  // unambiguous range of mod_freq
    float tc_cb_phase;  // tc_cb * 32768 / range_mm
    float tc_ib_phase;  // 32768 * tc_ib / range_mm
    uint8_t param_valid;
    pthread_mutex_t lock; // guards the mounted calibration
    char param_path[64];
    uint32_t mod_freq; // Hz
    epc_calib_t *calib;
    // Work images of the decode chain (two of work_len values each), made at
    // init for a full frame and grown only when a larger frame arrives, so
    // decoding allocates nothing per frame.
    uint16_t *work[2];
    int32_t work_len;
};

namespace pylox {

// A zero-filled state with the defaults and an initialised lock; the process
// ends (-3, -1) when memory or the mutex cannot be had.
epc_state_t *epc_state_create();
// Releases the filter state, the lens map, the calibration record (under the
// lock), the lock, the work images and the state.
void epc_state_destroy(epc_state_t *st);
// range_mm, box_phase, tc_cb_phase and tc_ib_phase for modulation frequency f.
void epc_state_derive(epc_state_t *st, uint32_t f);
// Unambiguous range in mm of a modulation frequency (0 for f = 0).
uint32_t epc_range_mm(uint32_t f);

inline epc_state_t *epc_state(pylox_drv_t *drv)
{
    return drv ? static_cast<epc_state_t *>(drv->priv) : nullptr;
}

// Atomic access to the temperatures of the driver state (see temp_cb).
inline int epc_temp_load(const int16_t &t)
{
    return std::atomic_ref<int16_t>(const_cast<int16_t &>(t)).load(std::memory_order_relaxed);
}
inline void epc_temp_store(int16_t &t, int v)
{
    std::atomic_ref<int16_t>(t).store(static_cast<int16_t>(v), std::memory_order_relaxed);
}

} // namespace pylox
