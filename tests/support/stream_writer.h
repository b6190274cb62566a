// Writes the camera's bulk-in byte stream: packets of a 36-byte little-endian
// header and a payload. Written from the wire format alone, without the
// library's records or checksum code, so tests check the parser against an
// independent writer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pylox_test {

using bytes_t = std::vector<uint8_t>;
using frame_attr_t = std::array<uint8_t, 12>; // width, height, two temperatures, one word

// One packet. Fields left unset get their correct values; setting them makes
// broken packets.
struct stream_packet {
    uint16_t sidx = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    frame_attr_t attr{};
    bool frame_start = false;
    bool checksum = false; // carry a data checksum and flag it for checking
    bytes_t payload;
    std::optional<uint32_t> len;      // default: payload size
    std::optional<uint32_t> data_sum; // default: payload_sum(payload)
    std::optional<uint16_t> hdr_sum;  // default: Fletcher-16 of header bytes 0-33
};

// Fletcher-16 with sums modulo 255; seed low byte = sum1, high byte = sum2.
uint16_t fletcher16(const uint8_t *p, size_t n, uint16_t seed = 0);
// 32-bit wrapping sum of the whole little-endian words of p (a trailing
// partial word does not count).
uint32_t payload_sum(const uint8_t *p, size_t n);

bytes_t encode_packet(const stream_packet &pkt);
void append_packet(bytes_t &out, const stream_packet &pkt);

// Deterministic test contents: n bytes from a seed.
bytes_t pattern_bytes(size_t n, uint32_t seed);
frame_attr_t pattern_attr(uint32_t seed);

// Cuts frames into numbered packets as the camera does. Every packet is kept
// on its own so tests can drop, repeat or damage single packets.
class stream_writer {
public:
    struct options {
        uint32_t max_payload = 0x10000; // payload bytes per packet
        bool checksum = true;
        uint16_t frfmt = 1;
        uint16_t first_sidx = 0;
        uint16_t first_fridx = 0;
    };

    stream_writer();
    explicit stream_writer(const options &opt);

    // One frame spread over as many packets as it needs; returns its index.
    uint16_t frame(const bytes_t &data, const frame_attr_t &attr = {});
    // Several whole frames of equal size in one frame-start packet; returns
    // the index of the first.
    uint16_t packed_frames(const std::vector<bytes_t> &frames, const frame_attr_t &attr = {});
    // A packet built by the caller; its sidx is the writer's next one unless
    // keep_sidx is set.
    void packet(stream_packet pkt, bool keep_sidx = false);

    const std::vector<bytes_t> &packets() const { return packets_; }
    bytes_t bytes() const; // all packets back to back
    uint16_t next_sidx() const { return sidx_; }
    uint16_t next_fridx() const { return fridx_; }
    void set_next_sidx(uint16_t v) { sidx_ = v; }
    void set_next_fridx(uint16_t v) { fridx_ = v; }

private:
    options opt_;
    uint16_t sidx_;
    uint16_t fridx_;
    std::vector<bytes_t> packets_;
};

} // namespace pylox_test
