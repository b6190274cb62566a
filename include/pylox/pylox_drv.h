/* Sensor driver interface and the registry that picks a driver from the
 * product text of a device. */
#ifndef PYLOX_DRV_H
#define PYLOX_DRV_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

struct pylox_drv;
struct tq_calib_len_param;

enum { PYLOX_DRV_OUT_DISTANCE = 1, PYLOX_DRV_OUT_GRAY = 2 };

/* Fifteen operations followed by a null slot. Callers test slots 4, 5 and 6
 * for null; all others are called directly. */
typedef struct pylox_drv_op {
    int (*init)(struct pylox_drv *drv, pylox_dev_t *dev);
    void (*uninit)(struct pylox_drv *drv);
    int (*frame_get_info)(struct pylox_drv *drv, pylox_frame_info_t *info,
                          const tq_stream_finfo_t *finfo);
    int (*frame_decode)(struct pylox_drv *drv, uint16_t *dst, int dst_size, int out_kind,
                        const uint8_t *raw, int raw_len, const pylox_frame_info_t *info);
    int (*frame_raw_get)(struct pylox_drv *drv, uint8_t *dst, int count, pylox_frame_info_t *info);
    int (*frame_raw_proc)(struct pylox_drv *drv, uint8_t *data, int count,
                          pylox_frame_info_t *info);
    int (*lens_param_get)(struct pylox_drv *drv, struct tq_calib_len_param *param, int width,
                          int height);
    int (*reserved1)(struct pylox_drv *drv, void *arg, int val);
    int (*update_intg_time)(struct pylox_drv *drv, uint16_t intg_time, int selector);
    int (*update_mod_freq)(struct pylox_drv *drv, uint32_t freq_hz, int unused);
    int (*reserved2)(struct pylox_drv *drv, void *arg, int val);
    int (*calib_save)(struct pylox_drv *drv, void *data, int len, int kind);
    int (*reserved3)(struct pylox_drv *drv, void *arg, int val);
    int (*filter_enable)(struct pylox_drv *drv, int filter_id, void *arg);
    int (*filter_disable)(struct pylox_drv *drv, int filter_id);
    void *end; /* always null */
} pylox_drv_op_t;

/* Driver descriptor: one per registry row, bound to one open device. */
typedef struct pylox_drv {
    const char *name;
    const char *key; /* sensor family, the middle field of the product text */
    const pylox_drv_op_t *ops;
    pylox_dev_t *dev;
    void *priv;
} pylox_drv_t;

PYLOX_API extern const pylox_drv_op_t g_pylox_driver_op_epc;
PYLOX_API extern const pylox_drv_op_t g_pylox_driver_op_ti;

/* Descriptor for the device's product text, or null when no row matches. */
PYLOX_API pylox_drv_t *pylox_drv_find(pylox_dev_t *dev);

PYLOX_END_DECLS

#endif
