// Writes starting inputs for a fuzz target into a folder. The stream parser's
// (the default): small camera streams with the cases the parser must handle,
// each beginning with the ready-list capacity and the chunking seed. The
// parameter file's: small files of both block framings behind a flags byte.
#include "support/param_writer.h"
#include "support/stream_writer.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

bool write_seed(const std::string &dir, const char *name, uint8_t max_frames, const bytes_t &b)
{
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    const uint8_t head[2] = {max_frames, static_cast<uint8_t>(name[0])};
    bool ok = std::fwrite(head, 1, 2, f) == 2 && std::fwrite(b.data(), 1, b.size(), f) == b.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

stream_writer::options small(uint32_t max_payload, bool checksum = true)
{
    stream_writer::options o;
    o.max_payload = max_payload;
    o.checksum = checksum;
    return o;
}

bytes_t join(const std::vector<bytes_t> &parts)
{
    bytes_t out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool write_param_seed(const std::string &dir, const char *name, uint8_t flags, const param_file &pf)
{
    bytes_t b = {flags};
    const std::vector<uint8_t> file = write_param_file(pf);
    b.insert(b.end(), file.begin(), file.end());
    return write_file(dir + "/" + name, b);
}

bool param_seeds(const std::string &dir)
{
    param_file f;
    f.blocks = {{1, pattern_bytes(200, 1)}, {3, pattern_bytes(57, 2)}, {1, {}}};
    bool ok = write_param_seed(dir, "new_three", 0, f);
    ok &= write_param_seed(dir, "new_fixed", 3, f);
    f.lens_name = "lens";
    f.cx = 1024;
    f.cy = 16;
    f.ver = 140;
    ok &= write_param_seed(dir, "lens_edge", 1, f);
    f.blocks.clear();
    ok &= write_param_seed(dir, "empty", 0, f);
    param_file old;
    old.ver = 139;
    old.blocks = {{1, pattern_bytes(41 + 64, 3)}, {1, pattern_bytes(41, 4)}};
    ok &= write_param_seed(dir, "old_two", 1, old);
    calib_block_desc d;
    d.images = 0;
    d.payload_len = 153620 * 2;
    param_file cal;
    cal.blocks = {calib_block(d, false, [](int, int, const void *) { return uint16_t{0}; })};
    ok &= write_param_seed(dir, "calib_hdr_only", 2, cal);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <folder> [target]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    if (argc == 3 && std::string(argv[2]) == "fuzz_param_file")
        return param_seeds(dir) ? 0 : 1;
    bool ok = true;

    stream_writer multi(small(100));
    multi.frame(pattern_bytes(250, 1), pattern_attr(1));
    multi.frame(pattern_bytes(101, 2), pattern_attr(2));
    ok &= write_seed(dir, "multi_packet", 4, multi.bytes());

    stream_writer packed(small(1000));
    packed.packed_frames(
        {pattern_bytes(60, 3), pattern_bytes(60, 4), pattern_bytes(60, 5), pattern_bytes(60, 6)});
    packed.frame(pattern_bytes(61, 7));
    ok &= write_seed(dir, "packed", 3, packed.bytes());

    stream_writer plain(small(64, false));
    plain.frame(pattern_bytes(130, 8));
    ok &= write_seed(dir, "plain", 2, plain.bytes());

    stream_writer garbage(small(200));
    garbage.frame(pattern_bytes(150, 9));
    ok &= write_seed(dir, "garbage", 2,
                     join({pattern_bytes(23, 10), {0xFB, 0x98, 0x00}, garbage.bytes(), {0xFB}}));

    stream_writer bad(small(80));
    bad.frame(pattern_bytes(240, 11));
    bad.frame(pattern_bytes(70, 12));
    bytes_t bad_bytes = bad.bytes();
    bad_bytes[36 + 80 + 36 + 5] ^= 0x04;
    ok &= write_seed(dir, "bad_checksum", 5, bad_bytes);

    stream_writer::options wrap_opt = small(90);
    wrap_opt.first_sidx = 65534;
    stream_writer wrap(wrap_opt);
    wrap.frame(pattern_bytes(300, 13));
    wrap.frame(pattern_bytes(200, 14));
    const auto &p = wrap.packets();
    ok &= write_seed(dir, "sidx_gap", 5, join({p[0], p[1], p[3], p[4], p[5], p[6]}));

    stream_writer many(small(48));
    for (uint32_t i = 0; i < 12; ++i)
        many.frame(pattern_bytes(20 + 7 * i, 20 + i));
    ok &= write_seed(dir, "overflow", 2, many.bytes());

    stream_packet zero;
    zero.frame_start = true;
    zero.payload = pattern_bytes(16, 30);
    stream_writer after(small(64));
    after.frame(pattern_bytes(64, 31));
    ok &= write_seed(dir, "zero_frlen", 1, join({encode_packet(zero), after.bytes()}));
    return ok ? 0 : 1;
}
