// Data images and firmware: the download and upload of images between host
// files and the camera's flash, over the 0xCC action protocol.
#include "api/data.h"

#include "api/entry.h"
#include "core/clock.h"
#include "core/log.h"
#include "files/data_image/data_image.h"

#include <pylox/tq_log.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pylox::data {
std::atomic<int> erase_limit_ms{k_erase_limit_ms};
} // namespace pylox::data

using namespace pylox::data;

namespace {

constexpr uint8_t k_cc = PYLOX_DATA_CMD_TYPE;
constexpr int k_info_timeout = 1000;
constexpr int k_action_info_timeout = 10000;
constexpr int k_action_ack_timeout = 1000;
constexpr int k_erase_timeout = 20000;
constexpr int k_ack_timeout = 50000;
constexpr int k_payload_timeout = 1000;
constexpr int k_wait_flash_ms = 7000;
constexpr int k_wait_reset_ms = 10000;
constexpr const char *k_cmd_failed = "[%s] Cmd:(0x%x,0x%x) failed\n";
constexpr const char *k_wrong_params = "[%s] Wrong params\n";
constexpr const char *k_dashes =
    "[%s] ----------------------------------------------------------\n";
constexpr const char *k_do_not_reset =
    "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n";
constexpr const char *k_write_fn = "pylox_bin_data_write";

// The end of a download that reached the camera: the camera writes its flash
// (types 2 and 3) or boots the new firmware (types 0 and 1) while the host
// keeps quiet and waits.
int download_ending(pylox_ll_dev_t *dev, uint8_t type, int result)
{
    if (type > 3)
        return result;
    if (type <= 1)
        PYLOX_LOG_AS(TQ_LOG_WRN, k_write_fn, "[%s]  * Wait board to reset...\n");
    PYLOX_LOG_AS(TQ_LOG_WRN, k_write_fn, k_dashes);
    PYLOX_LOG_AS(TQ_LOG_WRN, k_write_fn, k_do_not_reset);
    PYLOX_LOG_AS(TQ_LOG_WRN, k_write_fn, k_dashes);
    pylox_log_cfg(TQ_LOG_NONE, TQ_LOG_NONE, TQ_LOG_NONE);
    if (type <= 1) {
        pylox_ll_dev_reset(dev, 0);
        pylox::sleep_ms(k_wait_reset_ms);
    } else {
        pylox::sleep_ms(k_wait_flash_ms);
    }
    return result;
}

bool read_ack(pylox_ll_dev_t *dev, pylox_data_ack_t &ack)
{
    uint8_t b[k_ack_len] = {};
    if (al_data_read_action_info(dev, PYLOX_DATA_ACT_ACK, b) != 1)
        return false;
    ack = parse_ack(b);
    return true;
}

// The image info of a type; a failed read is logged and leaves it zeroed.
pylox_data_info_t image_info(pylox_ll_dev_t *dev, uint8_t type, bool &ok)
{
    uint8_t b[k_info_len] = {type};
    ok = al_get_data_info(dev, PYLOX_DATA_CMD_INFO, b, sizeof b) == 1;
    if (!ok)
        return pylox_data_info_t{};
    return parse_info(b);
}

} // namespace

int al_data_send_action_info(pylox_ll_dev_t *dev, int action, const void *record)
{
    if (!record)
        return -1;
    uint8_t b[k_erase_len] = {};
    int len = 0, timeout = 0;
    switch (action) {
    case PYLOX_DATA_ACT_INFO: {
        len = static_cast<int>(k_action_len);
        timeout = k_action_info_timeout;
        std::memcpy(b, record, k_action_len);
        const uint32_t size = static_cast<uint32_t>(b[4]) | (static_cast<uint32_t>(b[5]) << 8) |
                              (static_cast<uint32_t>(b[6]) << 16) |
                              (static_cast<uint32_t>(b[7]) << 24);
        LOG_INF("[%s] type = %hu, version = %hu, size = %d\n", static_cast<unsigned short>(b[0]),
                static_cast<unsigned short>(b[2] | (b[3] << 8)), static_cast<int>(size));
        break;
    }
    case PYLOX_DATA_ACT_ACK:
        len = static_cast<int>(k_ack_len);
        timeout = k_action_ack_timeout;
        std::memcpy(b, record, k_ack_len);
        break;
    case PYLOX_DATA_ACT_ERASE:
        len = static_cast<int>(k_erase_len);
        timeout = k_erase_timeout;
        std::memcpy(b, record, k_erase_len);
        break;
    default:
        return -1;
    }
    if (!pylox_ll_exe_cmd(dev, 1, k_cc, action, b, len, timeout)) {
        LOG_ERR(k_cmd_failed, k_cc, action);
        return -1;
    }
    return 1;
}

extern "C" {

PYLOX_API int al_data_read_action_info(pylox_ll_dev_t *dev, int action, void *out)
{
    size_t n = 0;
    if (action == PYLOX_DATA_ACT_ACK)
        n = k_ack_len;
    else if (action == PYLOX_DATA_ACT_ACK_SHORT)
        n = k_ack_short_len;
    else
        return 1;
    if (out)
        std::memset(out, 0, n);
    if (!out || !pylox_ll_exe_cmd(dev, 0, k_cc, action, out, static_cast<int>(n), k_ack_timeout)) {
        LOG_ERR(k_cmd_failed, k_cc, action);
        return -1;
    }
    return 1;
}

PYLOX_API int al_get_data_info(pylox_ll_dev_t *dev, int value, void *buf, int size)
{
    if (!buf || size <= 0 || !pylox_ll_exe_cmd(dev, 0, k_cc, value, buf, size, k_info_timeout)) {
        LOG_ERR(k_cmd_failed, k_cc, value);
        return 0;
    }
    return 1;
}

PYLOX_API int al_get_data_payload(pylox_ll_dev_t *dev, uint8_t *req, uint32_t len, uint8_t *chunk)
{
    if (!req || len > k_chunk_max || (len && !chunk)) {
        LOG_ERR("[%s] bad payload request (len=%u)\n", len);
        return 0;
    }
    // Request, then room for the chunk: the answer brings the request record
    // back (with the chunk's offset) followed by the chunk's bytes.
    uint8_t b[k_payload_req_len + k_chunk_max] = {};
    auto r = payload_request(len);
    std::memcpy(req + 4, &r[4], 4);
    std::memcpy(b, req, k_payload_req_len);
    const int n = static_cast<int>(k_payload_req_len + len);
    if (!pylox_ll_exe_cmd(dev, 0, k_cc, PYLOX_DATA_CMD_PAYLOAD, b, n, k_payload_timeout)) {
        LOG_ERR(k_cmd_failed, k_cc, PYLOX_DATA_CMD_PAYLOAD);
        return 0;
    }
    std::memcpy(req, b, k_payload_req_len);
    if (request_len(b) != len) {
        LOG_ERR("[%s] chunk of %u bytes answered for %u\n", request_len(b), len);
        return 0;
    }
    if (len)
        std::memcpy(chunk, b + k_payload_req_len, len);
    return 1;
}

PYLOX_API int pylox_bin_data_write(pylox_ll_dev_t *dev, uint8_t type, uint16_t version, int unused,
                                   const char *path)
{
    (void)unused;
    if (!dev || !path) {
        LOG_DBG(k_wrong_params);
        return PYLOX_DATA_FAILED;
    }
    // 1. The image, whole.
    LOG_INF("[%s] name:%s, type:%hu, version:%hu\n", path, static_cast<unsigned short>(type),
            version);
    loaded_file f = load_file(path);
    if (f.status == load_status::open_failed) {
        LOG_INF("[%s] File open failed\n");
        return PYLOX_DATA_FAILED;
    }
    LOG_INF("[%s] File size:%d\n", static_cast<int>(f.size));
    if (f.status == load_status::empty || f.status == load_status::too_big ||
        f.status == load_status::no_memory) {
        LOG_ERR("[%s] data upgrade failed!\n");
        return PYLOX_DATA_FAILED;
    }
    LOG_INF("[%s] File read ok,%d\n", static_cast<int>(f.got));
    if (f.status != load_status::ok) {
        LOG_INF("[%s] Firmware image file loading failed.\n");
        return PYLOX_DATA_FAILED;
    }
    LOG_INF("[%s] Firmware image file loaded.\n");
    const uint32_t size = static_cast<uint32_t>(f.size);
    const uint8_t *image = f.bytes.get();

    // 2. What the camera holds now (for the log only).
    LOG_INF("[%s] Get info\n");
    bool info_ok = false;
    const pylox_data_info_t info = image_info(dev, type, info_ok);
    LOG_INF("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", info.version,
            static_cast<unsigned short>(info.type), info.addr, static_cast<int>(info.size));

    // 3., 4. Announce the image; the camera accepts it with status 3, next 0.
    LOG_INF("[%s] send action info\n");
    const auto rec = info_record(type, version, size);
    if (al_data_send_action_info(dev, PYLOX_DATA_ACT_INFO, rec.data()) != 1) {
        LOG_ERR("[%s] data upgrade failed!\n");
        return PYLOX_DATA_FAILED;
    }
    pylox_data_ack_t ack{};
    if (!read_ack(dev, ack)) {
        LOG_ERR("[%s] data upgrade failed!\n");
        return PYLOX_DATA_FAILED;
    }
    LOG_INF("[%s] read ack: next=%d, status=%d\n", static_cast<int>(ack.next),
            static_cast<int>(ack.status));
    if (ack.status != PYLOX_DATA_ACK_INFO || ack.next != 0) {
        LOG_ERR("[%s] Wrong ACK(NUM:%d,VER:%d)\n", static_cast<int>(ack.next),
                static_cast<int>(version));
        return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
    }

    // 5., 6. Erase, and wait while the camera reports it running.
    LOG_INF("[%s] INFO ack ok\n");
    LOG_INF("[%s] Wait flash erase           .....\n");
    const auto erase = erase_record(type, size);
    if (al_data_send_action_info(dev, PYLOX_DATA_ACT_ERASE, erase.data()) != 1) {
        LOG_INF("[%s] wait cfm failed.....\n");
        LOG_ERR("[%s] data upgrade failed!\n");
        return PYLOX_DATA_FAILED;
    }
    LOG_INF("[%s] loop check.....\n");
    const int64_t give_up = pylox::clock_now_ms() + erase_limit_ms.load();
    for (;;) {
        if (!read_ack(dev, ack)) {
            LOG_ERR("[%s] DATA ACK failed\n");
            LOG_ERR("[%s] data upgrade failed!\n");
            return PYLOX_DATA_FAILED;
        }
        LOG_INF("[%s] erase ack,%d\n", 1);
        if (ack.status != PYLOX_DATA_ACK_ERASING)
            break;
        if (pylox::clock_now_ms() > give_up) {
            LOG_ERR("[%s] erase still running after %d ms\n", erase_limit_ms.load());
            return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
        }
    }
    LOG_INF("[%s] erase ok,%d\n", 1);
    LOG_INF("[%s] Download.....\n");
    if (ack.status != PYLOX_DATA_ACK_READY || ack.next != 0) {
        LOG_ERR("[%s] erase ended with next=%d, status=%d\n", static_cast<int>(ack.next),
                static_cast<int>(ack.status));
        return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
    }

    // 7. The packets, each acknowledged with the index of the next one.
    buffer pkt(static_cast<uint8_t *>(std::malloc(k_packet_header + k_packet_payload)));
    if (!pkt) {
        LOG_ERR("[%s] malloc failed\n");
        LOG_ERR("[%s] data upgrade failed!\n");
        return PYLOX_DATA_FAILED;
    }
    const uint32_t count = packet_count(size);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = packet_len(size, i);
        const size_t len =
            build_packet(pkt.get(), image + static_cast<size_t>(i) * k_packet_payload, n);
        const int r = pylox_ll_tx_data(dev, pkt.get(), static_cast<int>(len));
        if (r < 0) {
            PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_data_pk_transf", "[%s] tx data failed\n");
            LOG_INF("[%s] Data transfer failed D.\n");
            LOG_ERR("[%s] data upgrade failed!\n");
            return r;
        }
        if (r == 0) {
            LOG_INF("[%s] Data transfer failed D.\n");
            return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
        }
        if (!read_ack(dev, ack)) {
            LOG_INF("[%s] Data transfer failed C.\n");
            LOG_ERR("[%s] data upgrade failed!\n");
            return PYLOX_DATA_FAILED;
        }
        if (ack.next == i) {
            LOG_INF("[%s] Data transfer failed A.indx%d, %d\n", static_cast<int>(i),
                    static_cast<int>(i));
            return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
        }
        if (ack.next != i + 1) {
            LOG_INF("[%s] Data transfer failed B.\n");
            return download_ending(dev, type, PYLOX_DATA_INCOMPLETE);
        }
    }
    LOG_INF("[%s] Data transfer finished.\n");
    return download_ending(dev, type, PYLOX_DATA_OK);
}

PYLOX_API int pylox_bin_data_read(pylox_ll_dev_t *dev, uint8_t type, const char *path)
{
    if (!dev) {
        LOG_DBG(k_wrong_params);
        return -1;
    }
    LOG_DBG("[%s] Get info\n");
    bool info_ok = false;
    const pylox_data_info_t info = image_info(dev, type, info_ok);
    LOG_INF("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", info.version,
            static_cast<unsigned short>(info.type), info.addr, static_cast<int>(info.size));
    // Without the camera's answer the size is unknown: reading on would leave
    // an empty or made-up file behind a success.
    if (!info_ok) {
        LOG_ERR("[%s] No image info, nothing read\n");
        return -1;
    }
    if (info.size == PYLOX_DATA_NO_DATA) {
        LOG_ERR("[%s] No valid data to read, please check\n");
        return -1;
    }
    const char *name = path ? path : "calib.bin";
    FILE *f = std::fopen(name, "wb+");
    if (!f) {
        LOG_ERR("[%s] File open failed\n");
        return -1;
    }
    uint8_t chunk[k_chunk_max];
    bool ok = true;
    for (uint32_t off = 0; ok && off < info.size;) {
        const uint32_t n = std::min(k_chunk_max, info.size - off);
        uint8_t req[k_payload_req_len] = {};
        if (!al_get_data_payload(dev, req, n, chunk)) {
            ok = false;
        } else if (request_offset(req) != off) {
            LOG_ERR("[%s] chunk of offset %u answered for offset %u\n", request_offset(req), off);
            ok = false;
        } else if (std::fwrite(chunk, 1, n, f) != n) {
            LOG_ERR("[%s] File write failed\n");
            ok = false;
        }
        off += n;
    }
    if (std::fclose(f) != 0 && ok) {
        LOG_ERR("[%s] File write failed\n");
        ok = false;
    }
    if (!ok) {
        // A partial image must not pass for the camera's data.
        std::remove(name);
        LOG_ERR("[%s] data upload failed!\n");
        return -1;
    }
    return 1;
}

PYLOX_API int pylox_ll_firmware_upgrade(pylox_ll_dev_t *dev, uint8_t type, uint16_t version,
                                        const char *path)
{
    return pylox_bin_data_write(dev, type, version, 0, path);
}

PYLOX_API int pylox_data_download(pylox_dev_t *dev, const char *path, uint8_t type,
                                  uint16_t version, int unused)
{
    pylox::entry call(dev, __func__, TQ_LOG_DBG, k_wrong_params);
    if (!call)
        return -1;
    return pylox_bin_data_write(&call.ctx()->ll, type, version, unused, path);
}

PYLOX_API int pylox_data_upload(pylox_dev_t *dev, uint8_t type, const char *path)
{
    pylox::entry call(dev, __func__, TQ_LOG_DBG, k_wrong_params);
    if (!call)
        return -1;
    return pylox_bin_data_read(&call.ctx()->ll, type, path);
}

PYLOX_API int pylox_firmware_upgrade(pylox_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *path)
{
    pylox::entry call(dev, __func__, TQ_LOG_DBG, k_wrong_params);
    if (!call)
        return -1;
    return pylox_bin_data_write(&call.ctx()->ll, type, version, 0, path);
}

} // extern "C"
