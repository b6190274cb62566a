// Writes starting inputs for a fuzz target into a folder. The stream parser's
// (the default): small camera streams with the cases the parser must handle,
// each beginning with the ready-list capacity and the chunking seed. The
// parameter file's: small files of both block framings behind a flags byte.
// The other file parsers': small files of each form they read, good and
// damaged, behind the selector bytes their targets take.
#include "support/param_writer.h"
#include "support/stream_writer.h"

#include <zip.h>

#include <cstdio>
#include <cstring>
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

bytes_t text(const std::string &t)
{
    return bytes_t(t.begin(), t.end());
}

bytes_t join_bytes(const bytes_t &a, const bytes_t &b)
{
    bytes_t out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Frame files: selector (bits 0-1 kind: raw, raw through the replay loader,
// distance, gray; bits 2-5 the destination length), then the file.
bool frame_file_seeds(const std::string &dir)
{
    struct seed {
        const char *name;
        uint8_t sel;
        std::string head;
        size_t data;
    };
    const seed seeds[] = {
        {"raw_u16", 0 | (2 << 2), "TQ_RAW,U16,4,3,2,PYLOX\n", 2 * 24 * 2 + 5},
        {"raw_u32", 0 | (4 << 2), "TQ_RAW,U32,2,2,4,tag\n", 4 * 16 * 2},
        {"raw_short_dst", 0, "TQ_RAW,U16,8,2,4,x\n", 2 * 64 * 3},
        {"replay_u16", 1 | (2 << 2), "TQ_RAW,U16,4,3,2,PYLOX\n", 2 * 24 * 3},
        {"replay_u32", 1 | (3 << 2), "TQ_RAW,U32,3,3,1,cam\n", 4 * 9 * 2 + 3},
        {"dist_f32", 2 | (2 << 2), "TQ_DIST,F32,4,4\n", 4 * 16 * 2},
        {"dist_u32", 2 | (2 << 2), "TQ_DIST,U32,5,2\n", 4 * 10 * 2},
        {"dist_u16", 2 | (3 << 2), "TQ_DIST,U16,6,3\n", 2 * 18 * 3 + 1},
        {"gray_u8", 3 | (2 << 2), "TQ_GRAY,U8,7,3\n", 21 * 2},
        {"gray_u16", 3 | (2 << 2), "TQ_GRAY,U16,4,4\n", 2 * 16 * 2},
        {"wrong_kind", 3, "TQ_DIST,U16,4,4\n", 32},
        {"no_lf", 0, std::string(300, 'T'), 0},
    };
    bool ok = true;
    for (const seed &sd : seeds) {
        bytes_t b = {sd.sel};
        b.insert(b.end(), sd.head.begin(), sd.head.end());
        const bytes_t d = pattern_bytes(sd.data, sd.sel);
        b.insert(b.end(), d.begin(), d.end());
        ok &= write_file(dir + "/" + sd.name, b);
    }
    return ok;
}

bool frame_temps_seeds(const std::string &dir)
{
    bool ok = write_file(dir + "/full", text("TQ_TEMPS,CB,IB\n0,350,300\n1,351,301\n2,352,-5\n"));
    ok &= write_file(dir + "/gaps", text("TQ_TEMPS,CB,IB\n3,400,410\n1,200,210\n\n7,1,2"));
    ok &= write_file(dir + "/head_only", text("TQ_TEMPS,CB,IB\n"));
    ok &= write_file(dir + "/damaged", text("TQ_TEMPS,CB,IB\n0,350\n"));
    ok &= write_file(dir + "/range", text("TQ_TEMPS,CB,IB\n5,32767,-32768\n"));
    return ok;
}

bool lens_param_seeds(const std::string &dir)
{
    bool ok = write_file(
        dir + "/full", text("160.5 120.25 210.1 209.9\n-0.12 0.03 0.001 -0.002 0.0005\n320 240\n"));
    ok &= write_file(dir + "/half", text("80 60 105 105 0 0 0 0 0 160 120"));
    ok &= write_file(dir + "/short", text("160 120 210 210 0 0 0"));
    ok &= write_file(dir + "/words", text("cx 120 fx 210 k1 0 0 0 0 320 240 extra"));
    ok &= write_file(dir + "/strong", text("150 110 90 95 0.9 -0.4 0.05 0.05 0.2 320 240"));
    return ok;
}

// Calibration: flags (bits 0-2 images appended by the target, bit 3 the
// driver's frequency 0), the frequency, then the file without its images.
bool calib_mount_seeds(const std::string &dir)
{
    constexpr size_t k_img = 20 + 2 * 320 * 240;
    auto seed = [&](const char *name, uint8_t flags, uint32_t freq, uint8_t ver, bool old_framing,
                    calib_block_desc d, const std::vector<param_block> &before) {
        param_file f;
        f.ver = ver;
        f.blocks = before;
        const uint8_t images = d.images;
        f.blocks.push_back(
            calib_block(d, old_framing, [](int, int, const void *) { return uint16_t{0}; }));
        bytes_t file = write_param_file(f);
        file.resize(file.size() - images * k_img);
        bytes_t b = {static_cast<uint8_t>(flags | images)};
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(freq >> (8 * i)));
        b.insert(b.end(), file.begin(), file.end());
        return write_file(dir + "/" + name, b);
    };
    calib_block_desc d;
    d.images = 3;
    bool ok = seed("new_first", 8, 0, 150, false, d, {});
    ok &= seed("new_freq", 0, 12000000, 150, false, d, {{3, pattern_bytes(30, 1)}});
    d.scale = 30000;
    ok &= seed("old_scaled", 8, 0, 139, true, d, {});
    d.scale = 32768;
    d.width = 16;
    d.height = 8;
    d.images = 2;
    ok &= seed("small_area", 16 | 8, 0, 149, false, d, {});
    d.temp_ib = 950;
    d.freq = 24000000;
    ok &= seed("hot_ib", 0, 24000000, 150, false, d, {});
    d.images = 4;
    ok &= seed("short_payload", 8, 0, 150, false, d, {});
    return ok;
}

bool write_zip(const std::string &path, const std::vector<std::pair<std::string, std::string>> &e,
               bool link = false)
{
    int err = 0;
    std::remove(path.c_str());
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &err);
    if (!za)
        return false;
    for (const auto &[name, data] : e) {
        zip_source_t *src = zip_source_buffer(za, data.data(), data.size(), 0);
        const zip_int64_t i = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (i < 0) {
            zip_source_free(src);
            zip_discard(za);
            return false;
        }
        if (link)
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                             (0120777u) << 16);
    }
    return zip_close(za) == 0;
}

bool param_zip_seeds(const std::string &dir)
{
    bool ok = write_zip(dir + "/plain", {{"pylox_param_7.bin", std::string(100, 'p')}});
    ok &= write_zip(dir + "/folders", {{"sub/", ""}, {"sub/a.txt", "a"}, {"b/c/d.bin", "dd"}});
    ok &= write_zip(dir + "/slip", {{"../escaped", "x"}});
    ok &= write_zip(dir + "/dotted", {{"./a/./b", "x"}, {"a\\c", "y"}});
    ok &= write_zip(dir + "/link", {{"l", "/etc/passwd"}}, true);
    ok &= write_zip(dir + "/squeezed", {{"zeros", std::string(60000, '\0')}});
    return ok;
}

bool data_image_seeds(const std::string &dir)
{
    bytes_t rec = {1, 0, 0, 0, 3,    0, 0, 0, 0, 0, 0, 0, 0,          // ack: next 1, status 3
                   2, 0, 7, 0, 0xE8, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, // info: 1000 bytes
                   0, 0, 0, 0, 0xC2, 1, 0, 0, 0, 0, 0, 0};            // request of 450 bytes
    bool ok = write_file(dir + "/small", join_bytes(rec, pattern_bytes(1000, 1)));
    ok &= write_file(dir + "/two_packets", join_bytes(rec, pattern_bytes(65531, 2)));
    ok &= write_file(dir + "/records_only", rec);
    ok &= write_file(dir + "/tiny", {0x41});
    return ok;
}

// OpenNI writer scripts: op (bits 0-1 open, frame, close; bits 2-3 slot; bit
// 7 outsized), then the operation's bytes.
bool oni_writer_seeds(const std::string &dir)
{
    const bytes_t open_depth = {0, 2, 1, 0x10, 0x27, 0x40, 1, 0xF0, 0, 2, 30};
    const bytes_t open_ir = {0, 5, 9, 0, 0, 0x40, 1, 0xF0, 0, 2, 30};
    const bytes_t frame0 = {1, 0x00, 0x01, 0xE8, 0x03};
    const bytes_t frame1 = {1 | 4, 0x00, 0x02, 0xD0, 0x07};
    bytes_t two = join_bytes(open_depth, open_ir);
    two = join_bytes(two, frame0);
    two = join_bytes(two, frame1);
    two = join_bytes(two, frame0);
    bool ok = write_file(dir + "/two_streams", two);
    ok &= write_file(dir + "/no_frames", open_depth);
    bytes_t reopen = join_bytes(open_depth, frame0);
    reopen.push_back(2);
    reopen = join_bytes(reopen, open_ir);
    reopen = join_bytes(reopen, frame0);
    ok &= write_file(dir + "/reopen", reopen);
    ok &= write_file(dir + "/big_frame", join_bytes(open_depth, {0x81, 0x3F, 0, 0, 0}));
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
    const std::string target = argc == 3 ? argv[2] : "";
    if (target == "fuzz_param_file")
        return param_seeds(dir) ? 0 : 1;
    struct writer {
        const char *target;
        bool (*write)(const std::string &);
    };
    const writer writers[] = {
        {"fuzz_frame_file", frame_file_seeds}, {"fuzz_frame_temps", frame_temps_seeds},
        {"fuzz_lens_param", lens_param_seeds}, {"fuzz_calib_mount", calib_mount_seeds},
        {"fuzz_param_zip", param_zip_seeds},   {"fuzz_data_image", data_image_seeds},
        {"fuzz_oni_writer", oni_writer_seeds}, {"fuzz_calib_mount_parse", calib_mount_seeds},
    };
    for (const writer &w : writers)
        if (target == w.target)
            return w.write(dir) ? 0 : 1;
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
