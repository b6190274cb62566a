/* Every member of the public records, listed once for two translation units
   to expand with their own compiler's offsetof and sizeof: records_layout.c
   (strict C99) and test_records.cpp (C++). Applications in either language
   share these records with the library, so both views must agree. */
#ifndef PYLOX_TEST_RECORDS_LAYOUT_H
#define PYLOX_TEST_RECORDS_LAYOUT_H

#include <pylox/pylox.h>

#include <stddef.h>
#include <stdint.h>

/* clang-format off */
/* Records declared under #pragma pack(1): their members must tile them. */
#define PYLOX_TEST_PACKED_RECORDS(R) \
    R(pylox_ll_dev_t) \
    R(pylox_ll_param_t) \
    R(pylox_dev_t) \
    R(pylox_frame_info_t) \
    R(pylox_param_item_t) \
    R(tq_stream_fattr_t) \
    R(tq_stream_hdr_t) \
    R(tq_stream_finfo_t)

#define PYLOX_TEST_RECORDS(R) \
    PYLOX_TEST_PACKED_RECORDS(R) \
    R(pylox_ll_locator_t) \
    R(pylox_ll_op_t) \
    R(pylox_frame_t) \
    R(pylox_frame_req_t) \
    R(pylox_dev_ctx_t) \
    R(pylox_drv_op_t) \
    R(pylox_drv_t) \
    R(tq_stream_state_t) \
    R(tq_stream_cfg_t) \
    R(tq_cmap_t) \
    R(oni_recorder_t) \
    R(oni_stream_info_t)

#define PYLOX_TEST_ENUMS(E) E(pylox_err_e) E(pylox_param_id_e) E(pylox_frame_save_fmt_e)

/* M(record, member); nested members are named with their path. */
#define PYLOX_TEST_MEMBERS(M) \
    M(pylox_ll_locator_t, usb) M(pylox_ll_locator_t, usb.bus) M(pylox_ll_locator_t, usb.port) \
    M(pylox_ll_locator_t, usb.addr) M(pylox_ll_locator_t, usb.speed) M(pylox_ll_locator_t, file) \
    M(pylox_ll_locator_t, raw) \
    M(pylox_ll_dev_t, priv) M(pylox_ll_dev_t, kind) M(pylox_ll_dev_t, loc) M(pylox_ll_dev_t, ops) \
    M(pylox_ll_dev_t, located) \
    M(pylox_ll_param_t, id) M(pylox_ll_param_t, len) M(pylox_ll_param_t, val) \
    M(pylox_ll_op_t, init) M(pylox_ll_op_t, uninit) M(pylox_ll_op_t, set_debug) \
    M(pylox_ll_op_t, dev_open) M(pylox_ll_op_t, dev_open_by_fd) M(pylox_ll_op_t, dev_close) \
    M(pylox_ll_op_t, dev_list) M(pylox_ll_op_t, exe_cmd) M(pylox_ll_op_t, tx_data) \
    M(pylox_ll_op_t, cap_abort) M(pylox_ll_op_t, cap_start) M(pylox_ll_op_t, cap_stop) \
    M(pylox_ll_op_t, dev_reset) M(pylox_ll_op_t, reg_write) M(pylox_ll_op_t, reg_read) \
    M(pylox_ll_op_t, param_set) M(pylox_ll_op_t, param_get) \
    M(pylox_dev_t, ctx) M(pylox_dev_t, kind) M(pylox_dev_t, loc) M(pylox_dev_t, product) \
    M(pylox_dev_t, info_text) M(pylox_dev_t, serial) M(pylox_dev_t, version) \
    M(pylox_dev_t, path_prefix) M(pylox_dev_t, reserved0) M(pylox_dev_t, located) \
    M(pylox_dev_t, free_on_close) M(pylox_dev_t, api_busy) M(pylox_dev_t, reserved1) \
    M(pylox_frame_info_t, frame_size) M(pylox_frame_info_t, frame_format) \
    M(pylox_frame_info_t, frame_idx) M(pylox_frame_info_t, width) M(pylox_frame_info_t, height) \
    M(pylox_frame_info_t, depth) M(pylox_frame_info_t, reserved0) \
    M(pylox_frame_info_t, reserved1) M(pylox_frame_info_t, temp0) M(pylox_frame_info_t, temp1) \
    M(pylox_frame_info_t, reserved2) \
    M(pylox_param_item_t, param_id) M(pylox_param_item_t, param_val_len) \
    M(pylox_param_item_t, param_val) \
    M(pylox_frame_t, info) M(pylox_frame_t, data) \
    M(pylox_frame_req_t, count) M(pylox_frame_req_t, remaining) M(pylox_frame_req_t, dst) \
    M(pylox_frame_req_t, dst_left) M(pylox_frame_req_t, info) \
    M(pylox_dev_ctx_t, ll) M(pylox_dev_ctx_t, driver) M(pylox_dev_ctx_t, is_open) \
    M(pylox_dev_ctx_t, is_capturing) M(pylox_dev_ctx_t, stream) M(pylox_dev_ctx_t, stream_state) \
    M(pylox_dev_ctx_t, frame_info) M(pylox_dev_ctx_t, cap_arg) M(pylox_dev_ctx_t, stop_req) \
    M(pylox_dev_ctx_t, timeout_cnt) M(pylox_dev_ctx_t, stall_cnt) M(pylox_dev_ctx_t, discard_cnt) \
    M(pylox_dev_ctx_t, err_code) M(pylox_dev_ctx_t, force_stop) M(pylox_dev_ctx_t, err_arg) \
    M(pylox_dev_ctx_t, fps) M(pylox_dev_ctx_t, on_frame_ready) M(pylox_dev_ctx_t, on_error) \
    M(pylox_dev_ctx_t, cond) M(pylox_dev_ctx_t, mutex) M(pylox_dev_ctx_t, request) \
    M(pylox_drv_op_t, init) M(pylox_drv_op_t, uninit) M(pylox_drv_op_t, frame_get_info) \
    M(pylox_drv_op_t, frame_decode) M(pylox_drv_op_t, frame_raw_get) \
    M(pylox_drv_op_t, frame_raw_proc) M(pylox_drv_op_t, lens_param_get) \
    M(pylox_drv_op_t, reserved1) M(pylox_drv_op_t, update_intg_time) \
    M(pylox_drv_op_t, update_mod_freq) M(pylox_drv_op_t, reserved2) M(pylox_drv_op_t, calib_save) \
    M(pylox_drv_op_t, reserved3) M(pylox_drv_op_t, filter_enable) \
    M(pylox_drv_op_t, filter_disable) M(pylox_drv_op_t, end) \
    M(pylox_drv_t, name) M(pylox_drv_t, key) M(pylox_drv_t, ops) M(pylox_drv_t, dev) \
    M(pylox_drv_t, priv) \
    M(tq_stream_fattr_t, width) M(tq_stream_fattr_t, height) M(tq_stream_fattr_t, temp0) \
    M(tq_stream_fattr_t, temp1) M(tq_stream_fattr_t, word) \
    M(tq_stream_hdr_t, sync) M(tq_stream_hdr_t, sidx) M(tq_stream_hdr_t, len) \
    M(tq_stream_hdr_t, frlen) M(tq_stream_hdr_t, fridx) M(tq_stream_hdr_t, frfmt) \
    M(tq_stream_hdr_t, attr) M(tq_stream_hdr_t, data_sum) M(tq_stream_hdr_t, frame_flags) \
    M(tq_stream_hdr_t, sum_flags) M(tq_stream_hdr_t, hdr_sum) \
    M(tq_stream_finfo_t, frame_size) M(tq_stream_finfo_t, frame_idx) \
    M(tq_stream_finfo_t, frame_format) M(tq_stream_finfo_t, attr) \
    M(tq_stream_state_t, frames_completed) M(tq_stream_state_t, frames_out) \
    M(tq_stream_state_t, frames_discarded) M(tq_stream_state_t, frames_dropped) \
    M(tq_stream_state_t, frames_ready) M(tq_stream_state_t, reserved0) \
    M(tq_stream_state_t, bytes_discarded) M(tq_stream_state_t, reserved1) \
    M(tq_stream_state_t, time_sec) M(tq_stream_state_t, time_usec) \
    M(tq_stream_cfg_t, max_frames) \
    M(tq_cmap_t, count) M(tq_cmap_t, range_min) M(tq_cmap_t, range_max) M(tq_cmap_t, index_scale) \
    M(tq_cmap_t, gray_scale) M(tq_cmap_t, table) \
    M(oni_recorder_t, buf) M(oni_recorder_t, buf_size) M(oni_recorder_t, cur) \
    M(oni_recorder_t, file) M(oni_recorder_t, max_node_id) M(oni_recorder_t, streams) \
    M(oni_recorder_t, config_id) M(oni_recorder_t, started) \
    M(oni_stream_info_t, node_type) M(oni_stream_info_t, pixel_format) \
    M(oni_stream_info_t, max_depth) M(oni_stream_info_t, x_res) M(oni_stream_info_t, y_res) \
    M(oni_stream_info_t, bytes_per_pixel) M(oni_stream_info_t, fps)
/* clang-format on */

/* One line of a layout: a record (offset = its alignment), an enumeration
   (offset 0) or a member ("record.member"). */
typedef struct records_layout_entry {
    const char *name;
    size_t offset;
    size_t size;
} records_layout_entry;

#ifdef __cplusplus
extern "C" {
#endif

/* The C compiler's view: copies up to max entries, returns how many there are. */
size_t records_layout_c(records_layout_entry *out, size_t max);

/* Feeds count stream bytes to a parser made from C and reads the first ready
   frame's information through C's record layout into out: frame_size,
   frame_idx, frame_format, width, height, temp0, temp1, word. Returns the
   number of frames fetched (0 or 1). */
int records_stream_c(const uint8_t *bytes, int count, uint32_t out[8]);

#ifdef __cplusplus
}
#endif

#endif
