/* High-level API: library start-up, devices, register and parameter batches,
 * capture and frame retrieval. */
#ifndef PYLOX_API_H
#define PYLOX_API_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

/* Library start-up; log_file null or empty logs to "pylox_<date>.log". Returns 1. */
PYLOX_API int pylox_init(const char *log_file);
PYLOX_API int pylox_uninit(void);
/* Set-up of the parameter store (nothing to do; returns 1). */
PYLOX_API int pylox_param_init(void);

/* Fills up to dev_list_num handles; returns the number of cameras found. */
PYLOX_API int pylox_dev_list(pylox_dev_t *dev_list, int dev_list_num);
/* Opens a listed or hand-made handle; null opens the library's default handle. */
PYLOX_API pylox_dev_t *pylox_dev_open(pylox_dev_t *dev);
/* Opens a recorded raw frame file as a camera (on the default handle). */
PYLOX_API pylox_dev_t *pylox_dev_open_replay(const char *path);
PYLOX_API pylox_dev_t *pylox_dev_open_by_fd(int fd);
/* Hot-plug: cameras arriving (PYLOX_LL_HOTPLUG_ARRIVED) and leaving
 * (PYLOX_LL_HOTPLUG_LEFT). entry is filled as pylox_dev_list fills its
 * entries and may be copied and opened; it is valid during the call. */
typedef void (*pylox_hotplug_cb_t)(const pylox_dev_t *entry, int event, void *user);
/* Registers the one hot-plug callback, a null cb removes it; cameras already
 * on the bus are reported first. The callback runs on a watcher thread of the
 * library (libusb's hot-plug events, or a poll of the bus where libusb has
 * none); where libusb reports the cameras already present, those reports come
 * inside this call on the caller's thread. It may remove or replace itself;
 * pylox_uninit removes it. Returns 1, 0 on failure. */
PYLOX_API int pylox_dev_set_callback_on_hotplug(pylox_hotplug_cb_t cb, void *user);
PYLOX_API void pylox_dev_close(pylox_dev_t *dev);
/* Resets a part of the camera, target 0..8. Target 3 resets the camera's USB
 * interface: the camera leaves the bus and comes back without streaming, so a
 * running capture is stopped first (waiting calls return, pylox_cap_is_ongoing
 * reports 0) and pylox_cap_start starts it again on the camera that came back. */
PYLOX_API int pylox_dev_reset(pylox_dev_t *dev, int target);

PYLOX_API int pylox_reg_batch_write(pylox_dev_t *dev, int target, uint32_t reg_base,
                                    const uint32_t *reg_vals, int reg_cnt);
PYLOX_API int pylox_reg_batch_read(pylox_dev_t *dev, int target, uint32_t reg_base,
                                   uint32_t *reg_vals, int reg_cnt);
PYLOX_API int pylox_param_batch_set(pylox_dev_t *dev, pylox_param_item_t *param_items,
                                    int item_cnt);
PYLOX_API int pylox_param_batch_get(pylox_dev_t *dev, pylox_param_item_t *param_items,
                                    int item_cnt);

/* Frame ring: size in bytes, one frame counting as 307200 bytes. The library
 * allocates the frames; the buffer pointer is not used. */
#define PYLOX_CAP_FRAME_UNIT 307200
PYLOX_API int pylox_cap_set_frame_buffer(pylox_dev_t *dev, void *buffer, int size);
PYLOX_API int pylox_cap_get_frame_buffer(pylox_dev_t *dev, void **buffer, int *size);
PYLOX_API int pylox_cap_set_callback_on_frame_ready(pylox_dev_t *dev, pylox_frame_ready_cb_t cb);
PYLOX_API int pylox_cap_set_callback_on_error(pylox_dev_t *dev, pylox_error_cb_t cb);
PYLOX_API int pylox_cap_is_ongoing(pylox_dev_t *dev);
PYLOX_API int pylox_cap_start(pylox_dev_t *dev);
/* A stop issued while a start is in progress on another thread wins: the
 * start gives up (and returns 0) rather than finish waiting for a busy camera,
 * and capture ends stopped. */
PYLOX_API int pylox_cap_stop(pylox_dev_t *dev);

/* Waits for frame_num frames, copied back to back into frame_data; returns the
 * number delivered, -1 for wrong arguments, -2 when capture ended, or a
 * pending negative capture status. */
PYLOX_API int pylox_cap_get_frames(pylox_dev_t *dev, int frame_num, void *frame_data,
                                   int frame_dlen, pylox_frame_info_t *first_frame_info);
/* Takes one frame if one is ready, without waiting. */
PYLOX_API int pylox_cap_get_frame(pylox_dev_t *dev, void *frame_data, int frame_dlen,
                                  pylox_frame_info_t *frame_info);
/* One frame, starting and stopping capture around it when needed. */
PYLOX_API int pylox_cap_snapshot(pylox_dev_t *dev, void *frame_data, int frame_dlen,
                                 pylox_frame_info_t *frame_info);
/* Delivers frames to the frame-ready callback until capture ends (1) or the
 * timeout passes (0); timeout 0 waits without limit. */
PYLOX_API int pylox_cap_wait(pylox_dev_t *dev, int timeout_msec);

PYLOX_END_DECLS

#endif
