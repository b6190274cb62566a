/* Camera parameter IDs and device modes: the protocol constants shared by the
 * high-level API and the transport back ends (which include only this). */
#ifndef PYLOX_PARAM_ID_H
#define PYLOX_PARAM_ID_H

/* Parameter IDs the library itself uses; any other value is passed through. */
typedef enum pylox_param_id {
    PARAM_DEV_MODE = 0, /* 8 bits: 0 normal streaming, 9 data upload */
    PARAM_MOD_FREQ = 1, /* 32 bits, Hz */
    PARAM_INFO_TEXT = 2,
    PARAM_INFO_PRODUCT = 3,
    PARAM_INFO_SERIAL = 5,
    PARAM_INFO_VERSION = 6,
    PARAM_INFO_SENSOR = 7,
    PARAM_INFO_CALIB = 8,
    PARAM_FRAME_RATE = 12, /* 32 bits, frames per second */
    PARAM_INTG_TIME = 13,  /* 16 bits */
    PARAM_INTG_TIME2 = 16, /* 16 bits */
    PARAM_DCS_CHECK = 17   /* flag byte + 16-bit value */
} pylox_param_id_e;

#define PYLOX_DEV_MODE_NORMAL 0
#define PYLOX_DEV_MODE_DATA_UP 9

#endif
