/* libpylox: host library of the USB time-of-flight depth camera.
 * Including this header gives the whole exported interface (C99 and C++). */
#ifndef PYLOX_H
#define PYLOX_H

#include <pylox/pylox_export.h>
#include <pylox/tq_log.h>
#include <pylox/pylox_ll.h>
#include <pylox/pylox_param_id.h>
#include <pylox/tq_stream.h>
#include <pylox/pylox_types.h>
#include <pylox/pylox_drv.h>
#include <pylox/pylox_epc.h>
#include <pylox/tq_cmap.h>
#include <pylox/tq_math.h>
#include <pylox/tq_vec.h>
#include <pylox/tq_calib_len.h>
#include <pylox/tq_filter.h>
#include <pylox/pylox_frame_file.h>
#include <pylox/tq_oni.h>
#include <pylox/pylox_api.h>
#include <pylox/pylox_data.h>
#include <pylox/pylox_frame.h>
#include <pylox/pylox_param.h>
#include <pylox/pylox_filter.h>

#endif
