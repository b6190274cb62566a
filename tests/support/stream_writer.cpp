#include "support/stream_writer.h"

#include <algorithm>

namespace pylox_test {

namespace {

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

} // namespace

uint16_t fletcher16(const uint8_t *p, size_t n, uint16_t seed)
{
    unsigned a = seed & 0xFF;
    unsigned b = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>(a + 256 * b);
}

uint32_t payload_sum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= n; i += 4)
        sum += p[i] | (p[i + 1] << 8) | (p[i + 2] << 16) | (static_cast<uint32_t>(p[i + 3]) << 24);
    return sum;
}

bytes_t encode_packet(const stream_packet &pkt)
{
    bytes_t out(36 + pkt.payload.size());
    uint8_t *h = out.data();
    h[0] = 0xFB;
    h[1] = 0x98;
    put16(h + 2, pkt.sidx);
    put32(h + 4, pkt.len.value_or(static_cast<uint32_t>(pkt.payload.size())));
    put32(h + 8, pkt.frlen);
    put16(h + 12, pkt.fridx);
    put16(h + 14, pkt.frfmt);
    std::copy(pkt.attr.begin(), pkt.attr.end(), h + 16);
    const uint32_t sum = pkt.data_sum.value_or(payload_sum(pkt.payload.data(), pkt.payload.size()));
    put32(h + 28, pkt.checksum ? sum : 0);
    h[32] = pkt.frame_start ? 1 : 0;
    h[33] = pkt.checksum ? 1 : 0;
    put16(h + 34, pkt.hdr_sum.value_or(fletcher16(h, 34)));
    std::copy(pkt.payload.begin(), pkt.payload.end(), h + 36);
    return out;
}

void append_packet(bytes_t &out, const stream_packet &pkt)
{
    const bytes_t b = encode_packet(pkt);
    out.insert(out.end(), b.begin(), b.end());
}

bytes_t pattern_bytes(size_t n, uint32_t seed)
{
    bytes_t out(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto &b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 7);
    }
    return out;
}

frame_attr_t pattern_attr(uint32_t seed)
{
    const bytes_t b = pattern_bytes(12, seed ^ 0xA5A5u);
    frame_attr_t a{};
    std::copy(b.begin(), b.end(), a.begin());
    return a;
}

stream_writer::stream_writer() : stream_writer(options{}) {}

stream_writer::stream_writer(const options &opt)
    : opt_(opt), sidx_(opt.first_sidx), fridx_(opt.first_fridx)
{
}

uint16_t stream_writer::frame(const bytes_t &data, const frame_attr_t &attr)
{
    const uint16_t idx = fridx_++;
    size_t off = 0;
    do {
        const size_t n = std::min<size_t>(opt_.max_payload, data.size() - off);
        stream_packet p;
        p.frlen = static_cast<uint32_t>(data.size());
        p.fridx = idx;
        p.frfmt = opt_.frfmt;
        p.attr = attr;
        p.frame_start = off == 0;
        p.checksum = opt_.checksum;
        p.payload.assign(data.begin() + static_cast<ptrdiff_t>(off),
                         data.begin() + static_cast<ptrdiff_t>(off + n));
        packet(std::move(p));
        off += n;
    } while (off < data.size());
    return idx;
}

uint16_t stream_writer::packed_frames(const std::vector<bytes_t> &frames, const frame_attr_t &attr)
{
    const uint16_t idx = fridx_;
    stream_packet p;
    p.frlen = frames.empty() ? 0 : static_cast<uint32_t>(frames[0].size());
    p.fridx = idx;
    p.frfmt = opt_.frfmt;
    p.attr = attr;
    p.frame_start = true;
    p.checksum = opt_.checksum;
    for (const auto &f : frames)
        p.payload.insert(p.payload.end(), f.begin(), f.end());
    packet(std::move(p));
    fridx_ = static_cast<uint16_t>(fridx_ + frames.size());
    return idx;
}

void stream_writer::packet(stream_packet pkt, bool keep_sidx)
{
    if (!keep_sidx)
        pkt.sidx = sidx_;
    sidx_ = static_cast<uint16_t>(pkt.sidx + 1);
    packets_.push_back(encode_packet(pkt));
}

bytes_t stream_writer::bytes() const
{
    bytes_t out;
    for (const auto &p : packets_)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace pylox_test
