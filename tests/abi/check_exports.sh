#!/bin/sh
# The shared library exports only the documented C names.
set -eu
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '{print $NF}' \
  | grep -v -E '^(pylox_|tq_|ll_op_usb$|ll_op_fil$|g_pylox_driver_op_|g_atan2_LUT$|epc_|calc_|_calc_scale_offset$|oni_|mat3_|mat4_|quat_|vec3_|emit_RECORD_REAL_PROPERTY$|AsString$|al_|gauss2d_iir_|_bpf2d_)' || true)
if [ -n "$bad" ]; then
  echo "unexpected exported symbols:"; echo "$bad"; exit 1
fi
nm -D --defined-only "$lib" | grep -q ' pylox_error_name$' || { echo "pylox_error_name missing"; exit 1; }
for s in tq_median2d_u16_k3 gauss2d_iir_f32 _bpf2d_vertical_simd al_data_calc_crc pylox_bin_data_write mat3_inverse mat4_lookAt quat_slerp vec3_unproject tq_calib_len_init_map \
  oni_open oni_stream_open oni_stream_save_frame oni_stream_save_property oni_stream_close \
  oni_close emit_RECORD_REAL_PROPERTY AsString \
  pylox_dev_set_callback_on_hotplug pylox_ll_hotplug_register pylox_ll_hotplug_native; do
  nm -D --defined-only "$lib" | grep -q " $s\$" || { echo "$s missing"; exit 1; }
done
echo "exports ok"
