/* Data images and firmware: moving images between host files and the
 * camera's flash.
 *
 * A camera keeps data images (its calibration data, for instance) and its
 * firmware in flash, one slot per image type. A download takes a host file
 * into a slot (firmware upgrades are downloads); an upload writes a slot's
 * contents to a host file. The exchange is an action protocol on command type
 * 0xCC: the host announces the image (INFO, acknowledged with status 3), the
 * camera erases flash (ERASE, acknowledgements report status 4 while it runs
 * and 1 when the flash is ready), the host sends the image in CRC-protected
 * packets of 65,530 payload bytes on the bulk-out endpoint and the camera
 * acknowledges each one with the index it expects next. The host never
 * resends a packet.
 *
 * Everything runs through the low-level dispatchers (pylox_ll_exe_cmd,
 * pylox_ll_tx_data, pylox_ll_dev_reset), on the caller's thread; each
 * exchange holds the device's lock only for its own duration. Callers do not
 * capture while transferring.
 *
 * Results of a download (pylox_bin_data_write and the calls built on it):
 *   PYLOX_DATA_OK (1)          the camera acknowledged every packet;
 *   PYLOX_DATA_INCOMPLETE      the camera stopped taking the image: a wrong
 *                              INFO acknowledgement, an erase that did not
 *                              end ready, a packet refused or an index
 *                              skipped, or a packet that could not be handed
 *                              to the transport. The ending below still ran
 *                              (the camera may hold a partly written slot);
 *   another negative value     the download failed before the ending: file,
 *                              INFO, erase or acknowledgement exchange, or the
 *                              transport's own error code of a data packet.
 * A download that did not finish therefore never reports success.
 *
 * The ending of a download (also after PYLOX_DATA_INCOMPLETE), by image
 * type: types 2 and 3 print a "DO NOT RESET or POWER OFF" banner, turn all
 * logging off (pylox_log_cfg(5, 5, 5); it stays off until the application
 * sets the thresholds again) and wait 7 s for the camera to write its flash;
 * types 0 and 1 (firmware) do the same, then reset the camera (target 0) and
 * wait 10 s for it to come back; other types return at once.
 *
 * Upload chunks: each chunk of at most 450 bytes is fetched by one read
 * exchange 0xCC/17 whose data stage is 12 + n bytes long. The host sends the
 * 12-byte payload request (bytes 4-7: the chunk length n; bytes 0-3 and 8-11
 * zero) followed by n zero bytes; the camera answers with the 12-byte
 * request record (bytes 0-3: the chunk's offset in the image, bytes 4-7: n)
 * followed by the chunk's n bytes. The host checks offset and length, so a
 * lost or repeated chunk fails the upload instead of corrupting the file.
 */
#ifndef PYLOX_DATA_H
#define PYLOX_DATA_H

#include <stdint.h>
#include <pylox/pylox_export.h>
#include <pylox/pylox_ll.h>
#include <pylox/pylox_types.h>

PYLOX_BEGIN_DECLS

enum { PYLOX_DATA_OK = 1, PYLOX_DATA_FAILED = -1, PYLOX_DATA_INCOMPLETE = -100 };

/* Command values of type 0xCC. */
enum {
    PYLOX_DATA_CMD_INFO = 0,      /* image info (read, 16 bytes) */
    PYLOX_DATA_ACT_INFO = 1,      /* INFO action (write, 12 bytes) */
    PYLOX_DATA_ACT_ACK = 4,       /* acknowledgement (read, 13 bytes) */
    PYLOX_DATA_ACT_ACK_SHORT = 5, /* short acknowledgement (read, 9 bytes) */
    PYLOX_DATA_ACT_ERASE = 7,     /* ERASE action (write, 13 bytes) */
    PYLOX_DATA_CMD_PAYLOAD = 17   /* upload payload request (read, 12 + n bytes) */
};

/* Acknowledgement status values. */
enum {
    PYLOX_DATA_ACK_READY = 1, /* flash erased, ready for data */
    PYLOX_DATA_ACK_INFO = 3,  /* INFO accepted */
    PYLOX_DATA_ACK_ERASING = 4
};

#define PYLOX_DATA_CMD_TYPE 0xCC
#define PYLOX_DATA_PACKET_PAYLOAD 65530u /* payload bytes of a full data packet */
#define PYLOX_DATA_PACKET_HEADER 6u      /* CRC (2 bytes) and payload length (4 bytes) */
#define PYLOX_DATA_CHUNK_MAX 450u        /* bytes of one upload chunk */
#define PYLOX_DATA_NO_DATA 0xFFFFFFFFu   /* image size of an empty slot */

#pragma pack(push, 1)

/* Answer of the image-info read (0xCC/0); the request carries the type in byte 0. */
typedef struct pylox_data_info {
    uint8_t type;
    uint8_t reserved0;
    uint16_t version;
    uint32_t size; /* PYLOX_DATA_NO_DATA: the slot holds nothing */
    uint32_t addr; /* flash address */
    uint32_t reserved1;
} pylox_data_info_t;

/* INFO action record (0xCC/1). */
typedef struct pylox_data_action {
    uint8_t type;
    uint8_t reserved0;
    uint16_t version;
    uint32_t size;
    uint32_t reserved1;
} pylox_data_action_t;

/* Acknowledgement (0xCC/4). */
typedef struct pylox_data_ack {
    uint32_t next; /* index of the packet the camera expects next */
    uint8_t status;
    uint8_t reserved[8];
} pylox_data_ack_t;

/* ERASE action record (0xCC/7). */
typedef struct pylox_data_erase {
    uint8_t type;
    uint32_t size;
    uint32_t packet_size; /* PYLOX_DATA_PACKET_PAYLOAD */
    uint32_t reserved;
} pylox_data_erase_t;

#pragma pack(pop)

PYLOX_STATIC_ASSERT(sizeof(pylox_data_info_t) == 16, data_info_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_data_action_t) == 12, data_action_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_data_ack_t) == 13, data_ack_size);
PYLOX_STATIC_ASSERT(sizeof(pylox_data_erase_t) == 13, data_erase_size);

/* Handle-level calls. A closed or null handle logs "Wrong params" and gives
 * -1; the handle counts the call as busy while the transfer runs. */

/* Downloads the file at path into the camera's slot of image type `type`.
 * `unused` is passed through and ignored. Result: as pylox_bin_data_write. */
PYLOX_API int pylox_data_download(pylox_dev_t *dev, const char *path, uint8_t type,
                                  uint16_t version, int unused);
/* Uploads the slot of `type` to the file at path ("calib.bin" when null).
 * Result: as pylox_bin_data_read. */
PYLOX_API int pylox_data_upload(pylox_dev_t *dev, uint8_t type, const char *path);
/* Firmware upgrade: a download of the file at path (types 0 and 1 reset the
 * camera afterwards). Result: as pylox_bin_data_write. */
PYLOX_API int pylox_firmware_upgrade(pylox_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *path);

/* Low-level record calls. */

/* pylox_bin_data_write on a low-level record. */
PYLOX_API int pylox_ll_firmware_upgrade(pylox_ll_dev_t *dev, uint8_t type, uint16_t version,
                                        const char *path);
/* The download. Result: PYLOX_DATA_OK, PYLOX_DATA_INCOMPLETE or another
 * negative code (see the top of this header). */
PYLOX_API int pylox_bin_data_write(pylox_ll_dev_t *dev, uint8_t type, uint16_t version, int unused,
                                   const char *path);
/* The upload: 1 on success, -1 on failure. A slot reporting no data creates
 * no file; a failed chunk removes the partial file. */
PYLOX_API int pylox_bin_data_read(pylox_ll_dev_t *dev, uint8_t type, const char *path);

/* Helpers of the protocol. */

/* CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR)
 * of len bytes; 0 for an empty payload. Any length is served. */
PYLOX_API uint16_t al_data_calc_crc(const uint8_t *data, uint32_t len);
/* Reads the acknowledgement of `action` into out: 13 bytes
 * (pylox_data_ack_t) for 4, 9 bytes for 5; other actions read nothing.
 * 1 on success (and for other actions), -1 when the exchange fails. */
PYLOX_API int al_data_read_action_info(pylox_ll_dev_t *dev, int action, void *out);
/* Read exchange 0xCC/value of size bytes in buf (the request goes out of buf
 * and the answer comes back into it). 1 on success, 0 on failure. */
PYLOX_API int al_get_data_info(pylox_ll_dev_t *dev, int value, void *buf, int size);
/* One upload chunk: stores len (at most 450) in bytes 4-7 of the 12-byte
 * request req, runs the payload request and leaves the camera's 12-byte
 * answer in req and the len chunk bytes in chunk. 1 on success, 0 on
 * failure (exchange failed, len too long, or an answer whose length field
 * is not len). */
PYLOX_API int al_get_data_payload(pylox_ll_dev_t *dev, uint8_t *req, uint32_t len, uint8_t *chunk);
/* Loads the whole file at path. On success stores its size in *size and
 * returns 1; with buf non-null the loaded bytes are handed over in *buf (release
 * them with al_data_free_file_buffer), with buf null they are released before
 * the call returns. An empty file, a file that cannot be read whole, one
 * larger than 0xFFFFFFFE bytes or one whose buffer cannot be had stores 0
 * and returns -1, as does a file that cannot be opened. */
PYLOX_API int al_data_build_file_buffer(const char *path, uint32_t *size, uint8_t **buf);
PYLOX_API void al_data_free_file_buffer(uint8_t *buf);

PYLOX_END_DECLS

#endif
