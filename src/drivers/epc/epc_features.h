// Runtime features of the EPC driver, switched by filter ID: automatic
// integration time, phase-pair check, HDR row merge, minimum amplitude with
// hysteresis, temperature monitor, and the switches themselves.
#pragma once

#include "core/clock.h"
#include "drivers/epc/epc_state.h"

#include <pylox/pylox_filter.h>

#include <atomic>
#include <cstdint>

namespace pylox {

// Module-wide time stamps of the features on the library clock, shared by
// every open device: the threads taking and decoding the frames of several
// devices read and set them at once. 0 counts as never set.
struct epc_feature_stamps {
    std::atomic<int64_t> auto_intg_ms{0}; // last automatic integration run
    std::atomic<int64_t> temp_log_sec{0}; // last temperature log line
    std::atomic<int64_t> dcs_fix_sec{0};  // last phase-pair correction sent to the camera
};
extern epc_feature_stamps g_epc_stamps;

// One device parameter through the parameter batches (first `len` value bytes).
bool epc_param_get(pylox_drv_t *drv, uint32_t id, void *val, uint8_t len);
bool epc_param_set(pylox_drv_t *drv, uint32_t id, const void *val, uint8_t len);

// Step of the integration time for the first `words` raw 16-bit words.
int _feature_auto_intg_calc_step(const uint16_t *raw, int words, uint16_t sat_ratio);
// Reads PARAM_INTG_TIME, moves it by the step (50 .. 1500) and writes it back
// when it changed; runs at most once per millisecond.
void _feature_auto_intg(pylox_drv_t *drv, const uint8_t *raw, int n);

// Number of pixels among the first `count` whose d0 + d2 (a) and d1 + d3 (b)
// lie in 4017 .. 4175 (planes of n pixels each, 12-bit samples).
void epc_dcs_pair_counts(const uint16_t *raw, int n, int count, int *a, int *b);
// The phase-pair check of a frame of n pixels and `bytes` raw bytes: true
// when the frame is to be dropped (it failed, and the correction was sent
// for the first time this second).
bool _feature_dcs_check(pylox_drv_t *drv, const uint16_t *raw, int n, int bytes);

// Row pairs (2j, 2j + 1) of display-order images keep the stronger row's
// amplitude and distance (ties: the even row's); a lone last row stays.
void epc_hdr_merge(uint16_t *dist, uint16_t *amp, int w, int h);
// Both rows of each pair take the larger gray value.
void epc_hdr_merge_gray(uint16_t *gray, int w, int h);

// Minimum-amplitude filter of n pixels: distances of pixels whose amplitude
// lies outside thr .. 2048 - thr (with the hysteresis state) become 65300.
void _feature_minamp_filter(epc_state_t *st, uint16_t *dist, const uint16_t *amp, int n);

// Periodic temperature log (every 10 s at most) with the camera's frame rate.
void _feature_temp_monitor(pylox_drv_t *drv, const tq_stream_finfo_t *finfo);

// The driver's filter switches (table slots 13 and 14).
int epc_filter_enable(pylox_drv_t *drv, int id, void *arg);
int epc_filter_disable(pylox_drv_t *drv, int id);

} // namespace pylox
