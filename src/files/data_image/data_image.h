// Byte layouts of the data-image protocol: the CRC, the action records, the
// acknowledgements, the data packets and the upload requests, and the loading
// of an image file. Nothing here talks to a device.
#pragma once

#include <pylox/pylox_data.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace pylox::data {

inline constexpr uint32_t k_packet_payload = PYLOX_DATA_PACKET_PAYLOAD;
inline constexpr uint32_t k_packet_header = PYLOX_DATA_PACKET_HEADER;
inline constexpr uint32_t k_chunk_max = PYLOX_DATA_CHUNK_MAX;
inline constexpr size_t k_payload_req_len = 12;
inline constexpr size_t k_info_len = 16;
inline constexpr size_t k_action_len = 12;
inline constexpr size_t k_ack_len = 13;
inline constexpr size_t k_ack_short_len = 9;
inline constexpr size_t k_erase_len = 13;

// Data packets needed for an image of `size` bytes.
constexpr uint32_t packet_count(uint32_t size)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(size) + k_packet_payload - 1) /
                                 k_packet_payload);
}

// Payload bytes of packet i of an image of `size` bytes (0 past the end).
constexpr uint32_t packet_len(uint32_t size, uint32_t i)
{
    const uint64_t off = static_cast<uint64_t>(i) * k_packet_payload;
    if (off >= size)
        return 0;
    const uint64_t rest = size - off;
    return static_cast<uint32_t>(rest < k_packet_payload ? rest : k_packet_payload);
}

// CRC-16/XMODEM of n bytes.
uint16_t crc16(const uint8_t *p, size_t n);

// Writes the packet (CRC of the payload, payload length, payload) to out,
// which holds k_packet_header + n bytes; returns its length.
size_t build_packet(uint8_t *out, const uint8_t *payload, uint32_t n);

std::array<uint8_t, k_action_len> info_record(uint8_t type, uint16_t version, uint32_t size);
std::array<uint8_t, k_erase_len> erase_record(uint8_t type, uint32_t size);
std::array<uint8_t, k_payload_req_len> payload_request(uint32_t n);

pylox_data_info_t parse_info(const uint8_t *p); // k_info_len bytes
pylox_data_ack_t parse_ack(const uint8_t *p);   // k_ack_len bytes
uint32_t request_offset(const uint8_t *req);    // bytes 0-3 of a payload request/answer
uint32_t request_len(const uint8_t *req);       // bytes 4-7

struct free_deleter {
    void operator()(uint8_t *p) const { std::free(p); }
};
using buffer = std::unique_ptr<uint8_t, free_deleter>;

enum class load_status {
    ok,
    open_failed,
    empty,
    too_big, // over 0xFFFFFFFE bytes: the records carry 32-bit sizes
    no_memory,
    short_read
};

struct loaded_file {
    load_status status = load_status::open_failed;
    long size = 0;  // the file's size (when it could be opened)
    size_t got = 0; // bytes read
    buffer bytes;   // the bytes read (size of them when ok)
};

// Opens ("rb"), sizes and reads the file whole; logs nothing.
loaded_file load_file(const char *path);

} // namespace pylox::data
