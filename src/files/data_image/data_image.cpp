// Byte layouts of the data-image protocol and the loading of image files.
#include "files/data_image/data_image.h"

#include "core/log.h"

#include <cstdio>
#include <cstring>

namespace pylox::data {

namespace {

constexpr std::array<uint16_t, 256> make_crc_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021)
                             : static_cast<uint16_t>(c << 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint16_t, 256> k_crc_table = make_crc_table();

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i)
        c = static_cast<uint16_t>((c << 8) ^ k_crc_table[((c >> 8) ^ p[i]) & 0xFF]);
    return c;
}

size_t build_packet(uint8_t *out, const uint8_t *payload, uint32_t n)
{
    put16(out, crc16(payload, n));
    put32(out + 2, n);
    if (n)
        std::memcpy(out + k_packet_header, payload, n);
    return k_packet_header + n;
}

std::array<uint8_t, k_action_len> info_record(uint8_t type, uint16_t version, uint32_t size)
{
    std::array<uint8_t, k_action_len> r{};
    r[0] = type;
    put16(&r[2], version);
    put32(&r[4], size);
    return r;
}

std::array<uint8_t, k_erase_len> erase_record(uint8_t type, uint32_t size)
{
    std::array<uint8_t, k_erase_len> r{};
    r[0] = type;
    put32(&r[1], size);
    put32(&r[5], k_packet_payload);
    return r;
}

std::array<uint8_t, k_payload_req_len> payload_request(uint32_t n)
{
    std::array<uint8_t, k_payload_req_len> r{};
    put32(&r[4], n);
    return r;
}

pylox_data_info_t parse_info(const uint8_t *p)
{
    pylox_data_info_t i{};
    i.type = p[0];
    i.reserved0 = p[1];
    i.version = get16(p + 2);
    i.size = get32(p + 4);
    i.addr = get32(p + 8);
    i.reserved1 = get32(p + 12);
    return i;
}

pylox_data_ack_t parse_ack(const uint8_t *p)
{
    pylox_data_ack_t a{};
    a.next = get32(p);
    a.status = p[4];
    std::memcpy(a.reserved, p + 5, sizeof a.reserved);
    return a;
}

uint32_t request_offset(const uint8_t *req)
{
    return get32(req);
}

uint32_t request_len(const uint8_t *req)
{
    return get32(req + 4);
}

loaded_file load_file(const char *path)
{
    loaded_file r;
    if (!path)
        return r;
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return r;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        r.status = load_status::short_read;
        r.size = 0;
        return r;
    }
    r.size = size;
    if (size == 0)
        r.status = load_status::empty;
    else if (static_cast<unsigned long>(size) >= PYLOX_DATA_NO_DATA)
        r.status = load_status::too_big;
    else if (!(r.bytes = buffer(static_cast<uint8_t *>(std::malloc(static_cast<size_t>(size))))))
        r.status = load_status::no_memory;
    else {
        r.got = std::fread(r.bytes.get(), 1, static_cast<size_t>(size), f);
        r.status = r.got == static_cast<size_t>(size) ? load_status::ok : load_status::short_read;
    }
    std::fclose(f);
    return r;
}

} // namespace pylox::data

using namespace pylox::data;

extern "C" {

PYLOX_API uint16_t al_data_calc_crc(const uint8_t *data, uint32_t len)
{
    if (!data && len) {
        LOG_ERR("[%s] no data for %u bytes\n", len);
        return 0;
    }
    return crc16(data, len);
}

PYLOX_API int al_data_build_file_buffer(const char *path, uint32_t *size, uint8_t **buf)
{
    if (buf)
        *buf = nullptr;
    LOG_INF("[%s] Loading data image file:%s\n", path ? path : "(null)");
    loaded_file f = load_file(path);
    if (f.status != load_status::open_failed)
        LOG_INF("[%s] File size:%d\n", static_cast<int>(f.size));
    if (f.got > 0)
        LOG_INF("[%s] File read ok,%d,%x\n", static_cast<int>(f.got),
                f.bytes ? f.bytes.get()[0] : 0u);
    if (f.status != load_status::ok) {
        if (size)
            *size = 0;
        LOG_INF("[%s] Data image file loading failed.\n");
        return -1;
    }
    if (size)
        *size = static_cast<uint32_t>(f.size);
    if (buf)
        *buf = f.bytes.release();
    LOG_INF("[%s] Data image file loaded.\n");
    return 1;
}

PYLOX_API void al_data_free_file_buffer(uint8_t *buf)
{
    std::free(buf);
}

} // extern "C"
