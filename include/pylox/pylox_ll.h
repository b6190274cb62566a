/* Low-level transport: device records, the operation table of a back end and
 * the exported dispatchers. */
#ifndef PYLOX_LL_H
#define PYLOX_LL_H

#include <stdint.h>
#include <stdio.h>
#include <pylox/pylox_export.h>

PYLOX_BEGIN_DECLS

/* Back-end kinds of a device record. */
enum {
    PYLOX_LL_KIND_USB = 0,
    PYLOX_LL_KIND_FILE = 2,
    PYLOX_LL_KIND_ANY = 99 /* open tries USB first, then file replay */
};

/* Capture callback events (data chunk or a transfer status). */
enum {
    PYLOX_LL_EVT_DATA = 0,
    PYLOX_LL_EVT_CANCELLED = -3, /* USB transfer cancelled / end of replay file */
    PYLOX_LL_EVT_TIMEOUT = -5,
    PYLOX_LL_EVT_STALL = -7,
    PYLOX_LL_EVT_ERROR = -8, /* reading the replay file failed */
    PYLOX_LL_EVT_UNKNOWN = -10
};

#define PYLOX_LL_PARAM_VAL_MAX 18

#pragma pack(push, 1)

/* Where a device is: a USB location or an open replay file. 40 bytes. */
typedef union pylox_ll_locator {
    struct {
        uint8_t bus;   /* USB bus number */
        uint8_t port;  /* port number on that bus */
        uint8_t addr;  /* device address */
        uint8_t speed; /* USB library speed code, 3 = high speed */
    } usb;
    FILE *file; /* replay file, opened "rb" by the caller */
    uint8_t raw[40];
} pylox_ll_locator_t;

struct pylox_ll_op;

/* The low-level device record. It may lead a larger record of the caller. */
typedef struct pylox_ll_dev {
    void *priv;    /* back-end state, null while closed */
    uint32_t kind; /* PYLOX_LL_KIND_* */
    pylox_ll_locator_t loc;
    const struct pylox_ll_op *ops; /* back-end table, null in a hand-made record */
    uint8_t located;               /* 1 when the USB locator names one device */
} pylox_ll_dev_t;

/* Transport parameter item: 8-bit ID, 8-bit length, 18 value bytes. */
typedef struct pylox_ll_param {
    uint8_t id;
    uint8_t len;
    uint8_t val[PYLOX_LL_PARAM_VAL_MAX];
} pylox_ll_param_t;

#pragma pack(pop)

PYLOX_STATIC_ASSERT(sizeof(pylox_ll_locator_t) == 40, ll_locator_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_ll_param_t) == 20, ll_param_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_ll_dev_t) == 2 * sizeof(void *) + 4 + 40 + 1, ll_dev_size);

/* Data sink of a capture: event is PYLOX_LL_EVT_*; data and len are valid for
 * PYLOX_LL_EVT_DATA. Runs on the back end's event thread; the result is ignored. */
typedef int (*pylox_ll_cap_cb_t)(pylox_ll_dev_t *dev, int event, const uint8_t *data, int len,
                                 void *user);

/* Seventeen operations of a back end; every slot is filled. */
typedef struct pylox_ll_op {
    int (*init)(void);
    void (*uninit)(void);
    void (*set_debug)(int level);
    pylox_ll_dev_t *(*dev_open)(pylox_ll_dev_t *dev);
    pylox_ll_dev_t *(*dev_open_by_fd)(pylox_ll_dev_t *dev, int fd);
    void (*dev_close)(pylox_ll_dev_t *dev);
    int (*dev_list)(pylox_ll_dev_t *entries, int max);
    int (*exe_cmd)(pylox_ll_dev_t *dev, uint8_t write, uint8_t type, uint16_t value, void *buf,
                   int len, int timeout_ms);
    int (*tx_data)(pylox_ll_dev_t *dev, const void *buf, int len);
    void (*cap_abort)(pylox_ll_dev_t *dev);
    int (*cap_start)(pylox_ll_dev_t *dev, uint32_t arg, pylox_ll_cap_cb_t cb, void *user);
    int (*cap_stop)(pylox_ll_dev_t *dev);
    int (*dev_reset)(pylox_ll_dev_t *dev, uint8_t target);
    int (*reg_write)(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                     uint16_t count);
    int (*reg_read)(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                    uint16_t count);
    int (*param_set)(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);
    int (*param_get)(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);
} pylox_ll_op_t;

PYLOX_API extern const pylox_ll_op_t ll_op_usb;
PYLOX_API extern const pylox_ll_op_t ll_op_fil;

PYLOX_API int pylox_ll_init(void);
PYLOX_API void pylox_ll_uninit(void);
PYLOX_API void pylox_ll_set_debug(int level);
PYLOX_API int pylox_ll_dev_list(pylox_ll_dev_t *entries, int max);
PYLOX_API pylox_ll_dev_t *pylox_ll_dev_open(pylox_ll_dev_t *dev);
PYLOX_API pylox_ll_dev_t *pylox_ll_dev_open_by_fd(pylox_ll_dev_t *dev, int fd);
PYLOX_API void pylox_ll_dev_close(pylox_ll_dev_t *dev);
PYLOX_API int pylox_ll_exe_cmd(pylox_ll_dev_t *dev, int write, int type, int value, void *buf,
                               int len, int timeout_ms);
PYLOX_API int pylox_ll_tx_data(pylox_ll_dev_t *dev, const void *buf, int len);
PYLOX_API void pylox_ll_cap_abort(pylox_ll_dev_t *dev);
PYLOX_API int pylox_ll_cap_start(pylox_ll_dev_t *dev, uint32_t arg, pylox_ll_cap_cb_t cb,
                                 void *user);
/* Once the stop (or a failed start) returned, the callback is not called any
 * more. A stop issued while a start waits for a busy camera makes the start
 * give up and fail; the stop then tells the camera to stop streaming. */
PYLOX_API int pylox_ll_cap_stop(pylox_ll_dev_t *dev);
/* Target 3 (USB interface) ends a running capture first: its transfers reach
 * the callback as cancelled (PYLOX_LL_EVT_CANCELLED), then nothing more. */
PYLOX_API int pylox_ll_dev_reset(pylox_ll_dev_t *dev, int target);
PYLOX_API int pylox_ll_reg_write(pylox_ll_dev_t *dev, int target, uint32_t reg_base,
                                 const uint32_t *vals, int count);
PYLOX_API int pylox_ll_reg_read(pylox_ll_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                int count);
PYLOX_API int pylox_ll_param_set(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);
PYLOX_API int pylox_ll_param_get(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);

/* Hot-plug: cameras arriving on and leaving the USB bus. */
enum { PYLOX_LL_HOTPLUG_ARRIVED = 1, PYLOX_LL_HOTPLUG_LEFT = 2 };
/* dev is a listed record (kind, locator, located) valid during the call. */
typedef void (*pylox_ll_hotplug_cb_t)(const pylox_ll_dev_t *dev, int event, void *user);
/* Registers the one hot-plug callback (a null cb removes it); cameras already
 * on the bus are reported as arrived first (inside this call where libusb
 * reports them). The callback runs on a watcher thread of the library and may
 * remove or replace itself. Returns 1, 0 on failure. */
PYLOX_API int pylox_ll_hotplug_register(pylox_ll_hotplug_cb_t cb, void *user);
/* 1 when libusb's own hot-plug events drive the watcher, 0 when it polls the bus. */
PYLOX_API int pylox_ll_hotplug_native(void);

PYLOX_END_DECLS

#endif
