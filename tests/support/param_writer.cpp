#include "support/param_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <stdlib.h>

namespace pylox_test {

namespace {

void put(std::vector<uint8_t> &b, size_t off, const void *v, size_t n)
{
    std::memcpy(b.data() + off, v, n);
}

} // namespace

uint16_t fletcher16(const uint8_t *p, size_t n)
{
    uint32_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 + 256 * s2);
}

std::vector<uint8_t> write_param_file(const param_file &f)
{
    std::vector<uint8_t> out(1202, 0);
    out[0] = f.ver;
    put(out, 1, &f.ts, 4);
    const uint32_t magic = f.ver < 140 ? 1000u : 827346244u;
    put(out, 5, &magic, 4);
    std::memcpy(out.data() + 20, f.lens_name.data(), std::min<size_t>(64, f.lens_name.size()));
    put(out, 84, &f.cx, 8);
    put(out, 92, &f.cy, 8);
    for (size_t i = 100; i < 1188; ++i)
        out[i] = static_cast<uint8_t>(i * 7); // reserved, covered by the checksum
    const uint16_t hck = fletcher16(out.data() + 20, 1168);
    put(out, 18, &hck, 2);
    put(out, 1188, &f.blk_ts, 4);
    const uint32_t cnt = static_cast<uint32_t>(f.blocks.size());
    put(out, 1192, &cnt, 4);

    std::vector<uint8_t> blocks;
    for (const param_block &b : f.blocks) {
        if (f.ver < 140) {
            std::vector<uint8_t> d = b.data;
            if (d.size() < 41)
                d.resize(41, 0);
            const uint32_t len = static_cast<uint32_t>(d.size() - 41);
            std::memcpy(d.data() + 21, &len, 4);
            blocks.push_back(b.type);
            blocks.insert(blocks.end(), d.begin(), d.end());
        } else {
            const uint32_t size = static_cast<uint32_t>(b.data.size());
            blocks.push_back(b.type);
            const auto *s = reinterpret_cast<const uint8_t *>(&size);
            blocks.insert(blocks.end(), s, s + 4);
            blocks.insert(blocks.end(), b.data.begin(), b.data.end());
        }
    }
    if (f.ver >= 140) {
        const uint32_t size = static_cast<uint32_t>(blocks.size());
        put(out, 1196, &size, 4);
        const uint16_t bck = fletcher16(blocks.data(), blocks.size());
        put(out, 1200, &bck, 2);
    }
    out.insert(out.end(), blocks.begin(), blocks.end());
    return out;
}

param_block calib_block(const calib_block_desc &d, bool old_framing, phase_fn phase,
                        const void *arg)
{
    constexpr size_t img = 20 + 2 * 320 * 240;
    const uint32_t true_len = static_cast<uint32_t>(img * d.images);
    std::vector<uint8_t> h(37, 0);
    std::memcpy(&h[0], &d.freq, 4);
    std::memcpy(&h[8], &d.box_len_cm, 4);
    std::memcpy(&h[16], &d.temp_cb, 2);
    std::memcpy(&h[18], &d.temp_ib, 2);
    h[20] = d.images;
    const uint32_t plen = d.payload_len ? d.payload_len : true_len;
    std::memcpy(&h[21], &plen, 4);
    std::memcpy(&h[25], &d.width, 4);
    std::memcpy(&h[29], &d.height, 4);
    std::memcpy(&h[33], &d.scale, 4);
    param_block b;
    b.type = 1;
    b.data = h;
    if (old_framing)
        b.data.resize(41, 0);
    const size_t base = b.data.size();
    b.data.resize(base + true_len, 0);
    for (int k = 0; k < d.images; ++k) {
        uint8_t *p = b.data.data() + base + static_cast<size_t>(k) * img;
        const uint32_t disp = d.step_um * static_cast<uint32_t>(k);
        std::memcpy(p, &disp, 4);
        auto *ph = reinterpret_cast<uint16_t *>(p + 20);
        for (int i = 0; i < 320 * 240; ++i) {
            const uint16_t v = phase(k, i, arg);
            std::memcpy(ph + i, &v, 2);
        }
    }
    return b;
}

short_dir::short_dir()
{
    char tmpl[] = "/tmp/plxXXXXXX";
    path_ = ::mkdtemp(tmpl) ? tmpl : "/tmp/plx_failed";
}

short_dir::~short_dir()
{
    std::filesystem::remove_all(path_);
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

} // namespace pylox_test
