/* Records of the exported high-level API: device handle, device context,
 * frames, parameter items, status codes and callbacks. The layouts are part of
 * the interface: applications allocate handles and item arrays themselves. */
#ifndef PYLOX_TYPES_H
#define PYLOX_TYPES_H

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_ll.h>
#include <pylox/pylox_param_id.h>
#include <pylox/tq_stream.h>

PYLOX_BEGIN_DECLS

/* Capture status codes. */
typedef enum pylox_err {
    PYLOX_OK = 0,
    PYLOX_ERR_CAP_FRAME_DISCARD = 3,
    PYLOX_ERR_CAP_TIMEOUT = -5,
    PYLOX_ERR_CAP_STALL = -7,
    PYLOX_ERR_CAP_ERROR = -8,
    PYLOX_ERR_CAP_UNKNOWN = -10
} pylox_err_e;

struct pylox_dev_ctx;

#pragma pack(push, 1)

/* Device handle, owned by the application (or the library's default handle). */
typedef struct pylox_dev {
    struct pylox_dev_ctx *ctx; /* null while closed or only listed */
    uint32_t kind;             /* identity words: copy of pylox_ll_dev_t's kind ... */
    pylox_ll_locator_t loc;    /* ... and locator */
    char product[32];          /* "<x>-<family>-<y>", read at open */
    char info_text[32];
    uint8_t serial[32];
    uint8_t version[8]; /* hardware, software, boot loader, spare (16 bits each) */
    const char *path_prefix;
    uint8_t reserved0[12];
    uint8_t located;
    uint8_t free_on_close; /* set by the application: free() the handle on close */
    uint8_t api_busy;      /* API calls currently working on this handle */
    uint8_t reserved1;
} pylox_dev_t;

/* Transport-independent information of a raw frame. */
typedef struct pylox_frame_info {
    uint32_t frame_size;
    uint16_t frame_format;
    uint16_t frame_idx;
    uint32_t width;
    uint32_t height;
    uint8_t depth; /* bytes per pixel of the raw frame */
    uint8_t reserved0;
    uint16_t reserved1;
    uint16_t temp0; /* tenths of a degree */
    uint16_t temp1;
    /* Arrival time: the host's monotonic clock (CLOCK_MONOTONIC, in
     * microseconds) when the frame's last byte arrived, reserved2[0] holding
     * the low 32 bits and reserved2[1] the high 32 bits; read it with
     * PYLOX_FRAME_TIME_US. 0 when unknown. */
    uint32_t reserved2[2];
} pylox_frame_info_t;

/* Arrival time of a frame in microseconds on CLOCK_MONOTONIC (uint64_t). */
#define PYLOX_FRAME_TIME_US(info)                                                                  \
    ((uint64_t)(info)->reserved2[0] | ((uint64_t)(info)->reserved2[1] << 32))

/* Parameter item of the parameter batches. */
typedef struct pylox_param_item {
    uint32_t param_id;
    uint8_t param_val_len;
    uint8_t param_val[19]; /* only the first 18 bytes travel to and from the device */
} pylox_param_item_t;

#pragma pack(pop)

/* Frame handed to the frame-ready callback; valid only during the callback. */
typedef struct pylox_frame {
    pylox_frame_info_t info;
    uint8_t *data;
} pylox_frame_t;

typedef void (*pylox_frame_ready_cb_t)(pylox_dev_t *dev, pylox_frame_t *frame);
/* Returns nonzero to go on capturing, 0 to stop. */
typedef int (*pylox_error_cb_t)(pylox_dev_t *dev, int err, uint32_t arg);

/* Request of a retrieval call waiting for frames; lives on the caller's stack. */
typedef struct pylox_frame_req {
    int count;     /* frames requested */
    int remaining; /* frames still to deliver */
    uint8_t *dst;
    int dst_left;             /* destination bytes left */
    pylox_frame_info_t *info; /* receives the first delivered frame's information */
} pylox_frame_req_t;

struct pylox_drv;

/* Device context: created by the open call, freed by close. Begins with the
 * transport record so the same pointer serves every pylox_ll_* call. */
typedef struct pylox_dev_ctx {
    pylox_ll_dev_t ll;
    struct pylox_drv *driver;
    uint8_t is_open;
    uint8_t is_capturing;
    tq_stream_t *stream;
    tq_stream_state_t stream_state;
    pylox_frame_info_t frame_info;
    uint32_t cap_arg;
    uint32_t stop_req;
    uint32_t timeout_cnt;
    uint32_t stall_cnt;
    uint32_t discard_cnt;
    int32_t err_code;
    uint8_t force_stop;
    uint32_t err_arg;
    uint32_t fps;
    pylox_frame_ready_cb_t on_frame_ready;
    pylox_error_cb_t on_error;
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    pylox_frame_req_t *request;
} pylox_dev_ctx_t;

/* Layout checks (offsets for the pointer size of this build). */
#define PYLOX_PTR_ ((size_t)sizeof(void *))
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, kind) == PYLOX_PTR_, dev_kind_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, product) == PYLOX_PTR_ + 44, dev_product_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, info_text) == PYLOX_PTR_ + 76, dev_text_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, serial) == PYLOX_PTR_ + 108, dev_serial_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, version) == PYLOX_PTR_ + 140, dev_version_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, path_prefix) == PYLOX_PTR_ + 148, dev_prefix_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, located) == 2 * PYLOX_PTR_ + 160, dev_located_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, api_busy) == 2 * PYLOX_PTR_ + 162, dev_busy_off);
PYLOX_STATIC_ASSERT(sizeof(pylox_dev_t) == 2 * PYLOX_PTR_ + 164, dev_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_frame_info_t) == 32, frame_info_size);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, depth) == 16, frame_info_depth_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, temp0) == 20, frame_info_temp0_off);
PYLOX_STATIC_ASSERT(sizeof(pylox_param_item_t) == 24, param_item_size);
PYLOX_STATIC_ASSERT(offsetof(pylox_param_item_t, param_val) == 5, param_item_val_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_ctx_t, ll) == 0, ctx_ll_first);

/* Name of a capture status code; never null ("**UNKNOWN**" for other values). */
PYLOX_API const char *pylox_error_name(int err);

PYLOX_END_DECLS

#endif
