/* Parameter store: the per-camera parameter file that caches the camera's
 * calibration on the host, its verification and block access, the file names,
 * and the transfer that fetches the file from the camera.
 *
 * File format (little-endian): a 1202-byte header with Fletcher-16 checksums,
 * then up to seven blocks back to back. Version 140 and later frame each block
 * with a 5-byte header (type, size); older files use a 42-byte unit header
 * (type 1, payload length at byte 22) and the handle records such a block as
 * type 1 of size payload + 41 starting one byte into the unit header. */
#ifndef PYLOX_PARAM_H
#define PYLOX_PARAM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_api.h>

PYLOX_BEGIN_DECLS

#define PYLOX_PARAM_HDR_SIZE 1202
#define PYLOX_PARAM_MAX_BLKS 7
#define PYLOX_PARAM_MAGIC_OLD 1000u     /* versions below 140 */
#define PYLOX_PARAM_MAGIC 827346244u    /* "DRP1", version 140 and later */
#define PYLOX_PARAM_VER_NEW_FRAMING 140 /* first version with 5-byte block headers */
#define PYLOX_CALIB_FRAME_SIZE 153600   /* bytes of one data-upload frame */
#define PYLOX_CALIB_FRAME_FMT 171       /* frame format of data-upload frames */
#define PYLOX_CALIB_PKG_MAX 0xA00000u   /* largest package the camera may announce */

#pragma pack(push, 1)

/* Header of a parameter file. */
typedef struct pylox_param_hdr {
    uint8_t ver;
    uint32_t ts; /* time stamp of the calibration data */
    uint32_t magic;
    uint8_t reserved0[9];
    uint16_t hdr_cksum; /* Fletcher-16 of bytes 20 .. 1187 */
    char lens_name[64];
    double cx; /* checked (16 .. 1024) when lens_name is not empty */
    double cy;
    uint8_t reserved1[1088];
    uint32_t blk_ts;
    uint32_t blk_cnt;
    uint32_t blk_size;  /* all blocks with their 5-byte headers (version 140 and later) */
    uint16_t blk_cksum; /* Fletcher-16 of all block headers and data (version 140 and later) */
} pylox_param_hdr_t;

/* Block descriptor: the 5-byte block header of version 140 and later. */
typedef struct pylox_param_blk_desc {
    uint8_t type;
    uint32_t size;
} pylox_param_blk_desc_t;

/* Description of the calibration package kept in the camera (the 18 value
 * bytes of PARAM_INFO_CALIB) and header of the package it streams. */
typedef struct pylox_calib_pkg_hdr {
    uint8_t valid;   /* 1 when the camera holds a package */
    uint8_t kind;    /* 1 zip archive, otherwise a plain parameter file */
    uint32_t dev_ts; /* device time stamp, compared with the file's ts */
    uint32_t pkg_ts; /* package time stamp, never 0 */
    uint32_t fsize;  /* package bytes including this header */
    uint32_t dsize;  /* payload bytes */
} pylox_calib_pkg_hdr_t;

#pragma pack(pop)

/* Handle of an open parameter file; caller-allocated (for instance on the stack). */
typedef struct pylox_param {
    uint8_t reserved[128];
    FILE *file; /* open while the handle is valid */
    pylox_param_hdr_t hdr;
    pylox_param_blk_desc_t blk_desc[8];
    uint32_t blk_pos[8]; /* file position of each block's data */
    uint8_t valid;
} pylox_param_t;

PYLOX_STATIC_ASSERT(sizeof(pylox_param_hdr_t) == PYLOX_PARAM_HDR_SIZE, param_hdr_size);
PYLOX_STATIC_ASSERT(offsetof(pylox_param_hdr_t, hdr_cksum) == 18, param_hdr_cksum_off);
PYLOX_STATIC_ASSERT(offsetof(pylox_param_hdr_t, blk_ts) == 1188, param_hdr_blk_ts_off);
PYLOX_STATIC_ASSERT(sizeof(pylox_param_blk_desc_t) == 5, param_blk_desc_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_calib_pkg_hdr_t) == 18, calib_pkg_hdr_size);

/* Block callback of pylox_param_parse_blk: nonzero accepts the block. */
typedef int (*pylox_param_blk_cb_t)(pylox_param_t *param, const pylox_param_blk_desc_t *desc,
                                    const uint8_t *data, uint32_t len, void *arg);

/* pylox_param_init (nothing to set up, returns 1) is declared in pylox_api.h. */
PYLOX_API void pylox_param_uninit(void);

/* "<prefix>pylox_param_<n>.bin" and "<prefix>pylox_param_lens_<n>.txt" of an
 * open device into buf; null when the device's identity cannot be read or
 * the name does not fit into size - 1 characters. */
PYLOX_API char *pylox_get_param_absolute_name(pylox_dev_t *dev, char *buf, int size);
PYLOX_API char *pylox_get_param_lens_absolute_name(pylox_dev_t *dev, char *buf, int size);

/* Opens and verifies a parameter file (header, checksums, block framing).
 * 1 valid (the file stays open until pylox_param_close), 0 not. */
PYLOX_API int pylox_param_open_file(pylox_param_t *param, const char *file_name);
PYLOX_API void pylox_param_close(pylox_param_t *param);
PYLOX_API int pylox_param_is_valid(const pylox_param_t *param);
PYLOX_API int pylox_param_get_blk_cnt(const pylox_param_t *param);
/* Reads block blk_idx and hands it to cb; 1 when cb accepted it, else 0. */
PYLOX_API int pylox_param_parse_blk(pylox_param_t *param, int blk_idx, pylox_param_blk_cb_t cb,
                                    void *arg);

/* Fetches the camera's calibration package in data-upload mode and writes the
 * device's parameter file (a zip package is unpacked into the path prefix).
 * 1 when a package arrived whole and was stored, 0 otherwise. */
PYLOX_API int pylox_param_load_from_dev(pylox_dev_t *dev);

PYLOX_END_DECLS

#endif
