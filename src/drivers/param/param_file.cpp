// The parameter file: names, opening with verification, block access.
#include "core/log.h"
#include "drivers/param/param_store.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_param.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pylox {

uint16_t param_fletcher16(const uint8_t *p, size_t n, uint16_t seed)
{
    uint32_t s1 = seed & 0xFF, s2 = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 + 256 * s2);
}

bool param_join(char *out, size_t size, const char *prefix, const char *name)
{
    if (!out || size == 0)
        return false;
    const int n = std::snprintf(out, size, "%s%s", prefix ? prefix : "", name);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = 0;
        return false;
    }
    return true;
}

param_head_file param_open_head(const char *path, void *head, size_t size)
{
    param_head_file r;
    r.f.reset(std::fopen(path, "rb"));
    if (!r.f)
        return r;
    std::fseek(r.f.get(), 0, SEEK_END);
    r.length = std::ftell(r.f.get());
    std::fseek(r.f.get(), 0, SEEK_SET);
    r.head_read = std::fread(head, 1, size, r.f.get()) == size;
    return r;
}

} // namespace pylox

namespace {

constexpr size_t k_max_name = 128;             // parameter file names are shorter
constexpr uint32_t k_max_blk_size = 270794752; // largest total of all blocks
constexpr size_t k_old_unit_hdr = 42;          // block unit header of versions below 140
constexpr size_t k_dev_hdr = 5;                // block header of version 140 and later

// File number of the device: sensor value bytes 2 .. 5 XOR serial bytes 0 .. 3.
bool param_id(pylox_dev_t *dev, int32_t *id)
{
    pylox_param_item_t sensor{};
    sensor.param_id = PARAM_INFO_SENSOR;
    pylox_param_item_t serial{};
    serial.param_id = PARAM_INFO_SERIAL;
    if (!dev || !pylox_param_batch_get(dev, &sensor, 1)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "_pylox_get_param_id", "[%s] Get chip info failed\n");
        return false;
    }
    uint16_t p, cid, w;
    std::memcpy(&p, sensor.param_val, 2);
    std::memcpy(&cid, sensor.param_val + 2, 2);
    std::memcpy(&w, sensor.param_val + 4, 2);
    PYLOX_LOG_AS(TQ_LOG_DBG, "_pylox_get_param_id", "[%s] SENSOR: p/w/cid=%d/%d/%d\n", p, w, cid);
    if (!pylox_param_batch_get(dev, &serial, 1)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "_pylox_get_param_id", "[%s] Get chip info failed\n");
        return false;
    }
    uint32_t a, b;
    std::memcpy(&a, sensor.param_val + 2, 4);
    std::memcpy(&b, serial.param_val, 4);
    *id = static_cast<int32_t>(a ^ b);
    return true;
}

// Formats one of the device's file names; a name that would be cut short
// names another file, so it fails instead.
char *param_name(pylox_dev_t *dev, char *buf, int size, const char *fmt, const char *fn)
{
    if (!buf || size <= 0)
        return nullptr;
    int32_t id = 0;
    if (!param_id(dev, &id))
        return nullptr;
    const char *prefix = dev->path_prefix ? dev->path_prefix : pylox_path_get();
    const int n = std::snprintf(buf, static_cast<size_t>(size), fmt, prefix, static_cast<int>(id));
    if (n < 0 || n >= size) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] param name too long for its buffer: len=%d, size=%d\n",
                     n, size);
        buf[0] = 0;
        return nullptr;
    }
    return buf;
}

const char *err_text()
{
    return std::strerror(errno);
}

// Reads exactly n bytes; false on a short read.
bool read_all(FILE *f, void *dst, size_t n)
{
    return std::fread(dst, 1, n, f) == n;
}

long file_length(FILE *f)
{
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0)
        return -1;
    const long len = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0)
        return -1;
    return len;
}

// _param_verify: the header's own checks.
bool verify_header(const pylox_param_hdr_t &h, const char *name)
{
    constexpr const char *fn = "_param_verify";
    const uint8_t ver = h.ver;
    const uint32_t magic = h.magic;
    const uint32_t want =
        ver < PYLOX_PARAM_VER_NEW_FRAMING ? PYLOX_PARAM_MAGIC_OLD : PYLOX_PARAM_MAGIC;
    if (magic != want) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] wrong magic id (ver=%d): 0x%x\n", ver, magic);
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_param_open_file", "[%s] _param_verify failed: %s\n", name);
        return false;
    }
    const auto *raw = reinterpret_cast<const uint8_t *>(&h);
    const uint16_t stored = h.hdr_cksum;
    if (pylox::param_fletcher16(raw + 20, 1168) != stored) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] wrong cksum (ver=%d): 0x%x\n", ver, stored);
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_param_open_file", "[%s] _param_verify failed: %s\n", name);
        return false;
    }
    if (h.lens_name[0]) {
        const double cx = h.cx, cy = h.cy;
        // Written so that a NaN fails too.
        if (!(cx >= 16 && cx <= 1024 && cy >= 16 && cy <= 1024)) {
            char lens[65] = {};
            std::memcpy(lens, h.lens_name, 64);
            PYLOX_LOG_AS(TQ_LOG_DBG, fn,
                         "[%s] wrong range for lens param: cx/cy=%.1f/%.1f, name=%64s\n", cx, cy,
                         lens);
            PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_param_open_file", "[%s] _param_verify failed: %s\n",
                         name);
            return false;
        }
    }
    const uint32_t cnt = h.blk_cnt;
    if (cnt > PYLOX_PARAM_MAX_BLKS) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] too much param blks: %d", static_cast<int>(cnt));
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_param_open_file", "[%s] _param_verify failed: %s\n", name);
        return false;
    }
    PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] BLK param timestamp: %u\n", static_cast<unsigned>(h.blk_ts));
    const uint32_t size = h.blk_size;
    if (ver >= PYLOX_PARAM_VER_NEW_FRAMING && (size < k_dev_hdr * cnt || size > k_max_blk_size)) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] wrong blk total size: %d\n", static_cast<int>(size));
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_param_open_file", "[%s] _param_verify failed: %s\n", name);
        return false;
    }
    return true;
}

// Walks the blocks of a file of version 140 and later, checking their total
// size and checksum. Block data are streamed through the checksum, never held.
bool walk_new_blocks(pylox_param_t *p, long flen, const char *name)
{
    constexpr const char *fn = "pylox_param_open_file";
    const uint32_t cnt = p->hdr.blk_cnt;
    const uint32_t want_size = p->hdr.blk_size;
    uint64_t total = 0;
    uint16_t ck = 0;
    uint8_t chunk[16384];
    for (uint32_t i = 0; i < cnt; ++i) {
        uint8_t raw[k_dev_hdr];
        if (!read_all(p->file, raw, sizeof raw)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read par_dev_hdr failed: %s\n", name);
            return false;
        }
        ck = pylox::param_fletcher16(raw, sizeof raw, ck);
        pylox_param_blk_desc_t &d = p->blk_desc[i];
        d.type = raw[0];
        uint32_t size;
        std::memcpy(&size, raw + 1, 4);
        d.size = size;
        const long pos = std::ftell(p->file);
        p->blk_pos[i] = static_cast<uint32_t>(pos);
        // A block larger than what the header announces or the file holds
        // cannot be read: say so without trying.
        if (total + k_dev_hdr + size > want_size || pos < 0 ||
            static_cast<uint64_t>(pos) + size > static_cast<uint64_t>(flen)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read blk#%d data failed: %s\n", static_cast<int>(i),
                         "block larger than the file or the announced total");
            return false;
        }
        for (uint32_t left = size; left > 0;) {
            const size_t n = left < sizeof chunk ? left : sizeof chunk;
            if (!read_all(p->file, chunk, n)) {
                PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read blk#%d data failed: %s\n",
                             static_cast<int>(i), err_text());
                return false;
            }
            ck = pylox::param_fletcher16(chunk, n, ck);
            left -= static_cast<uint32_t>(n);
        }
        total += k_dev_hdr + size;
    }
    if (total != want_size) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] param blks size wrong: size=%d (expect %d)\n",
                     static_cast<int>(total), static_cast<int>(want_size));
        return false;
    }
    const uint16_t want_ck = p->hdr.blk_cksum;
    if (ck != want_ck) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] param blks cksum failed: ck_sum=0x%x (expect 0x%x)\n",
                     ck, want_ck);
        return false;
    }
    return true;
}

// Walks the blocks of a file below version 140: 42-byte unit headers of type
// 1, the payload length at byte 22. The block's data start one byte into the
// unit header (its remaining 41 bytes, then the payload).
bool walk_old_blocks(pylox_param_t *p, long flen, const char *name)
{
    constexpr const char *fn = "pylox_param_open_file";
    const uint32_t cnt = p->hdr.blk_cnt;
    for (uint32_t i = 0; i < cnt; ++i) {
        const long pos = std::ftell(p->file);
        uint8_t unit[k_old_unit_hdr];
        if (pos < 0 || !read_all(p->file, unit, sizeof unit)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read blk_unit_hdr failed: %s\n", name);
            return false;
        }
        if (unit[0] != 1) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong blk unit type: %d\n", unit[0]);
            return false;
        }
        uint32_t len;
        std::memcpy(&len, unit + 22, 4);
        const uint64_t end = static_cast<uint64_t>(pos) + k_old_unit_hdr + len;
        if (end > static_cast<uint64_t>(flen)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read blk#%d data failed: %s\n", static_cast<int>(i),
                         "payload beyond the end of the file");
            return false;
        }
        p->blk_desc[i].type = 1;
        p->blk_desc[i].size = len + static_cast<uint32_t>(k_old_unit_hdr - 1);
        p->blk_pos[i] = static_cast<uint32_t>(pos + 1);
        if (std::fseek(p->file, static_cast<long>(end), SEEK_SET) != 0) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read blk#%d data failed: %s\n", static_cast<int>(i),
                         err_text());
            return false;
        }
    }
    return true;
}

void close_file(pylox_param_t *p)
{
    if (p->file)
        std::fclose(p->file);
    p->file = nullptr;
    p->valid = 0;
}

} // namespace

extern "C" {

// The store keeps no state of its own between calls.
PYLOX_API int pylox_param_init(void)
{
    return 1;
}

PYLOX_API void pylox_param_uninit(void) {}

PYLOX_API char *pylox_get_param_absolute_name(pylox_dev_t *dev, char *buf, int size)
{
    return param_name(dev, buf, size, "%spylox_param_%d.bin", __func__);
}

PYLOX_API char *pylox_get_param_lens_absolute_name(pylox_dev_t *dev, char *buf, int size)
{
    return param_name(dev, buf, size, "%spylox_param_lens_%d.txt", __func__);
}

PYLOX_API int pylox_param_open_file(pylox_param_t *p, const char *name)
{
    if (!p)
        return 0;
    std::memset(p, 0, sizeof *p);
    if (!name)
        return 0;
    const size_t name_len = std::strlen(name);
    if (name_len >= k_max_name) {
        LOG_ERR("[%s] param filename too long: len=%d\n", static_cast<int>(name_len));
        return 0;
    }
    p->file = std::fopen(name, "rb");
    if (!p->file) {
        LOG_DBG("[%s] open calib bin failed: %s\n", name);
        return 0;
    }
    if (!read_all(p->file, &p->hdr, sizeof p->hdr)) {
        LOG_ERR("[%s] read pylox_param_t failed: %s\n", name);
        close_file(p);
        return 0;
    }
    if (!verify_header(p->hdr, name)) {
        close_file(p);
        return 0;
    }
    const int ver = p->hdr.ver;
    LOG_DBG("[%s] calib param : ver = %d, blk cnt = %d, size = %u, cksum = 0x%x\n", ver,
            static_cast<int>(p->hdr.blk_cnt), static_cast<unsigned>(p->hdr.blk_size),
            static_cast<unsigned>(p->hdr.blk_cksum));
    const long flen = file_length(p->file);
    const bool ok =
        flen >= 0 && (ver < PYLOX_PARAM_VER_NEW_FRAMING ? walk_old_blocks(p, flen, name)
                                                        : walk_new_blocks(p, flen, name));
    if (!ok) {
        close_file(p);
        return 0;
    }
    p->valid = 1;
    return 1;
}

PYLOX_API void pylox_param_close(pylox_param_t *p)
{
    if (p && p->valid)
        close_file(p);
}

PYLOX_API int pylox_param_is_valid(const pylox_param_t *p)
{
    return p ? p->valid : 0;
}

PYLOX_API int pylox_param_get_blk_cnt(const pylox_param_t *p)
{
    return p && p->valid ? static_cast<int>(p->hdr.blk_cnt) : 0;
}

PYLOX_API int pylox_param_parse_blk(pylox_param_t *p, int idx, pylox_param_blk_cb_t cb, void *arg)
{
    if (!p || !p->valid || !cb)
        return 0;
    if (idx < 0 || static_cast<uint32_t>(idx) >= p->hdr.blk_cnt) {
        LOG_DBG("[%s] wrong blk_idx %d to parse \n", idx);
        return 0;
    }
    if (std::fseek(p->file, static_cast<long>(p->blk_pos[idx]), SEEK_SET) != 0) {
        LOG_ERR("[%s] seek to param blk # %d failed\n", idx);
        return 0;
    }
    const pylox_param_blk_desc_t desc = p->blk_desc[idx];
    const uint32_t size = desc.size;
    // One spare byte: a block of size 0 still gets a buffer.
    auto *buf = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!buf) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    if (!read_all(p->file, buf, size)) {
        LOG_ERR("[%s] read param blk#%d data failed: %s\n", idx, err_text());
        std::free(buf);
        return 0;
    }
    const int accepted = cb(p, &desc, buf, size, arg) ? 1 : 0;
    std::free(buf);
    LOG_ERR("[%s] read param blk#%d: %s\n", idx, accepted ? "OK" : "NG");
    return accepted;
}

} // extern "C"
