// libFuzzer target of the data-image layouts: the image file loaded whole and
// cut into CRC-protected packets, and the records the camera answers with
// (image info, acknowledgement, payload request). Input: the first 13 + 16 +
// 12 bytes are answer records, the rest (and all of it when shorter) is the
// image file.
//
// Loading gives back the file's bytes; the packets cover the image exactly
// once, each header carrying its payload's length and CRC; the records read
// back what their fields hold and the action records carry what they were
// built from.
#include "files/data_image/data_image.h"
#include "fuzz_util.h"

#include <pylox/pylox_data.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// CRC-16/XMODEM from a table made bitwise, independent of the library's.
FUZZ_NO_COVERAGE uint16_t crc_oracle(const uint8_t *p, size_t n)
{
    static const auto table = [] {
        std::array<uint16_t, 256> t{};
        for (int v = 0; v < 256; ++v) {
            uint16_t c = static_cast<uint16_t>(v << 8);
            for (int b = 0; b < 8; ++b)
                c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
            t[static_cast<size_t>(v)] = c;
        }
        return t;
    }();
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i)
        c = static_cast<uint16_t>((c << 8) ^ table[((c >> 8) ^ p[i]) & 0xFF]);
    return c;
}

void records(const uint8_t *p)
{
    using namespace pylox::data;
    const pylox_data_ack_t a = parse_ack(p);
    FUZZ_CHECK(a.next == le32(p) && a.status == p[4] && std::memcmp(a.reserved, p + 5, 8) == 0);
    const uint8_t *q = p + k_ack_len;
    const pylox_data_info_t i = parse_info(q);
    FUZZ_CHECK(i.type == q[0] && i.version == (q[2] | (q[3] << 8)) && i.size == le32(q + 4) &&
               i.addr == le32(q + 8));
    const auto info = info_record(i.type, i.version, i.size);
    FUZZ_CHECK(info[0] == i.type && le32(&info[4]) == i.size && le32(&info[8]) == 0);
    const auto erase = erase_record(i.type, i.size);
    FUZZ_CHECK(erase[0] == i.type && le32(&erase[1]) == i.size &&
               le32(&erase[5]) == k_packet_payload && le32(&erase[9]) == 0);
    const uint8_t *r = q + k_info_len;
    FUZZ_CHECK(request_offset(r) == le32(r) && request_len(r) == le32(r + 4));
    const auto req = payload_request(request_len(r));
    FUZZ_CHECK(request_len(req.data()) == request_len(r) && request_offset(req.data()) == 0);
    // The packets an image of the size the camera reports would take.
    const uint32_t count = packet_count(i.size);
    FUZZ_CHECK(static_cast<uint64_t>(count) * k_packet_payload >= i.size);
    FUZZ_CHECK(count == 0 || static_cast<uint64_t>(count - 1) * k_packet_payload < i.size);
    FUZZ_CHECK(count == 0 || packet_len(i.size, count - 1) > 0);
    FUZZ_CHECK(packet_len(i.size, count) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    using namespace pylox::data;
    constexpr size_t k_records = k_ack_len + k_info_len + k_payload_req_len;
    if (size >= k_records) {
        records(data);
        data += k_records;
        size -= k_records;
    }
    static fuzz::mem_file mf("fuzz_image");
    mf.set(data, size);
    uint32_t got_size = 12345;
    uint8_t *buf = nullptr;
    const int r = al_data_build_file_buffer(mf.path().c_str(), &got_size, &buf);
    if (size == 0) {
        FUZZ_CHECK(r == -1 && got_size == 0 && buf == nullptr);
        return 0;
    }
    FUZZ_CHECK(r == 1 && got_size == size && buf != nullptr);
    FUZZ_CHECK(std::memcmp(buf, data, size) == 0);

    // The packets in order, each payload the next piece of the file.
    const uint32_t count = packet_count(got_size);
    static std::vector<uint8_t> packet(k_packet_header + k_packet_payload);
    size_t joined = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t len = packet_len(got_size, i);
        FUZZ_CHECK(len > 0 && len <= k_packet_payload);
        const uint8_t *payload = buf + static_cast<size_t>(i) * k_packet_payload;
        const size_t n = build_packet(packet.data(), payload, len);
        FUZZ_CHECK(n == k_packet_header + len);
        const uint16_t crc = crc_oracle(payload, len);
        FUZZ_CHECK((packet[0] | (packet[1] << 8)) == crc);
        FUZZ_CHECK(le32(packet.data() + 2) == len);
        FUZZ_CHECK(al_data_calc_crc(payload, len) == crc);
        FUZZ_CHECK(joined + len <= size &&
                   std::memcmp(packet.data() + k_packet_header, data + joined, len) == 0);
        joined += len;
    }
    FUZZ_CHECK(joined == size);
    al_data_free_file_buffer(buf);
    return 0;
}
