// Parameter store: the file format with both block framings, verification of
// hostile files, block access, and the unpacking of zip packages.
#include "drivers/param/param_store.h"
#include "support/frame_files.h"
#include "support/log_capture.h"
#include "support/param_writer.h"

#include <pylox/pylox_param.h>

#include <gtest/gtest.h>
#include <zip.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using pylox_test::log_capture;
using pylox_test::param_block;
using pylox_test::param_file;
using pylox_test::scratch_dir;

std::vector<uint8_t> bytes_of(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return v;
}

param_file three_blocks(uint8_t ver)
{
    param_file f;
    f.ver = ver;
    f.lens_name = "vcam lens";
    f.blocks = {{1, bytes_of(300, 1)}, {4, bytes_of(20000, 2)}, {1, bytes_of(0, 3)}};
    if (ver < 140)
        for (auto &b : f.blocks) {
            b.type = 1;
            b.data.resize(41 + b.data.size(), 0x5A);
        }
    return f;
}

struct collected {
    std::vector<pylox_param_blk_desc_t> desc;
    std::vector<std::vector<uint8_t>> data;
    int accept = 1;
};

int collect(pylox_param_t *, const pylox_param_blk_desc_t *d, const uint8_t *data, uint32_t len,
            void *arg)
{
    auto *c = static_cast<collected *>(arg);
    c->desc.push_back(*d);
    c->data.emplace_back(data, data + len);
    return c->accept;
}

// Opens `bytes` written to a file; the handle is closed again.
int open_bytes(const scratch_dir &dir, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir.file("p.bin");
    EXPECT_TRUE(pylox_test::write_file(path, bytes));
    pylox_param_t p;
    const int r = pylox_param_open_file(&p, path.c_str());
    EXPECT_EQ(pylox_param_is_valid(&p), r);
    pylox_param_close(&p);
    EXPECT_EQ(pylox_param_is_valid(&p), 0);
    return r;
}

template <class T> void poke(std::vector<uint8_t> &b, size_t off, T v)
{
    std::memcpy(b.data() + off, &v, sizeof v);
}

// Rewrites the header checksum after a change to the covered bytes.
void reseal(std::vector<uint8_t> &b)
{
    poke<uint16_t>(b, 18, pylox_test::fletcher16(b.data() + 20, 1168));
}

TEST(ParamFile, Fletcher16KnownValueAndRunningSum)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(pylox::param_fletcher16(abc, 3), 0x4C27);
    // Continuing from a previous result equals one pass over the whole.
    const std::vector<uint8_t> v = bytes_of(5000, 9);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{254}, size_t{255}, size_t{4999}, size_t{5000}})
        EXPECT_EQ(pylox::param_fletcher16(v.data() + cut, v.size() - cut,
                                          pylox::param_fletcher16(v.data(), cut)),
                  pylox_test::fletcher16(v.data(), v.size()))
            << cut;
}

// Both framings give the same blocks back: types, sizes, data (old files
// as the 41 unit header bytes after the type followed by the payload).
TEST(ParamFile, BothFramingsGiveTheirBlocksBack)
{
    scratch_dir dir;
    for (uint8_t ver : {uint8_t{139}, uint8_t{140}, uint8_t{150}}) {
        SCOPED_TRACE(ver);
        param_file f = three_blocks(ver);
        std::vector<uint8_t> bytes = pylox_test::write_param_file(f);
        if (ver < 140) {
            // Old files carry no block total or checksum: neither is looked at.
            poke<uint32_t>(bytes, 1196, 0xFFFFFFFF);
            poke<uint16_t>(bytes, 1200, 0x1234);
        }
        const std::string path = dir.file("p.bin");
        ASSERT_TRUE(pylox_test::write_file(path, bytes));
        pylox_param_t p;
        ASSERT_EQ(pylox_param_open_file(&p, path.c_str()), 1);
        EXPECT_EQ(pylox_param_is_valid(&p), 1);
        ASSERT_EQ(pylox_param_get_blk_cnt(&p), 3);
        EXPECT_EQ(uint32_t{p.hdr.ts}, 100u); // a copy: the record is packed
        collected c;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(pylox_param_parse_blk(&p, i, collect, &c), 1);
        // Out of order and again: each block is read from its own position.
        EXPECT_EQ(pylox_param_parse_blk(&p, 0, collect, &c), 1);
        ASSERT_EQ(c.data.size(), 4u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.desc[i].type, f.blocks[i].type);
            EXPECT_EQ(size_t{c.desc[i].size}, f.blocks[i].data.size());
            std::vector<uint8_t> want = f.blocks[i].data;
            if (ver < 140) {
                const uint32_t len = static_cast<uint32_t>(want.size() - 41);
                std::memcpy(want.data() + 21, &len, 4);
            }
            EXPECT_EQ(c.data[i], want) << i;
        }
        EXPECT_EQ(c.data[3], c.data[0]);

        log_capture log;
        EXPECT_EQ(pylox_param_parse_blk(&p, 3, collect, &c), 0);
        EXPECT_TRUE(log.has("wrong blk_idx 3 to parse"));
        EXPECT_EQ(pylox_param_parse_blk(&p, -1, collect, &c), 0);
        EXPECT_EQ(pylox_param_parse_blk(&p, 0, nullptr, &c), 0);
        c.accept = 0;
        EXPECT_EQ(pylox_param_parse_blk(&p, 1, collect, &c), 0);
        EXPECT_TRUE(log.has("read param blk#1: NG"));
        pylox_param_close(&p);
        EXPECT_EQ(pylox_param_is_valid(&p), 0);
        EXPECT_EQ(pylox_param_get_blk_cnt(&p), 0);
        EXPECT_EQ(pylox_param_parse_blk(&p, 0, collect, &c), 0);
        pylox_param_close(&p); // a second close does nothing
    }
    EXPECT_EQ(pylox_param_is_valid(nullptr), 0);
    EXPECT_EQ(pylox_param_get_blk_cnt(nullptr), 0);
    EXPECT_EQ(pylox_param_open_file(nullptr, "x"), 0);
}

// Hostile headers and blocks: each fails with its own message, never a crash
// or a read past the file.
TEST(ParamFile, HostileFilesFailWithTheirMessage)
{
    scratch_dir dir;
    const std::vector<uint8_t> good = pylox_test::write_param_file(three_blocks(150));
    const std::vector<uint8_t> old = pylox_test::write_param_file(three_blocks(139));
    struct hostile {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *message;
    };
    std::vector<hostile> cases;
    auto edit = [&](const char *what, const std::vector<uint8_t> &base, const char *msg,
                    auto change) {
        std::vector<uint8_t> b = base;
        change(b);
        cases.push_back({what, b, msg});
    };
    edit("magic of a new file", good, "wrong magic id (ver=150): 0x3e8",
         [](auto &b) { poke<uint32_t>(b, 5, 1000); });
    edit("new magic in an old file", old, "wrong magic id (ver=139)",
         [](auto &b) { poke<uint32_t>(b, 5, 827346244u); });
    edit("header checksum", good, "wrong cksum (ver=150)", [](auto &b) { b[700] ^= 1; });
    edit("lens centre out of range", good, "wrong range for lens param: cx/cy=1025.0/120.0",
         [](auto &b) {
             poke<double>(b, 84, 1025.0);
             reseal(b);
         });
    edit("lens centre NaN", good, "wrong range for lens param", [](auto &b) {
        poke<double>(b, 92, std::nan(""));
        reseal(b);
    });
    edit("eight blocks", good, "too much param blks: 8",
         [](auto &b) { poke<uint32_t>(b, 1192, 8); });
    edit("huge block count", old, "too much param blks: -1",
         [](auto &b) { poke<uint32_t>(b, 1192, 0xFFFFFFFF); });
    edit("total below the headers", good, "wrong blk total size: 14",
         [](auto &b) { poke<uint32_t>(b, 1196, 14); });
    edit("total beyond the limit", good, "wrong blk total size: 270794753",
         [](auto &b) { poke<uint32_t>(b, 1196, 270794753); });
    edit("one data byte", good, "param blks cksum failed", [](auto &b) { b[1202 + 5 + 100] ^= 1; });
    edit("total larger than the blocks", good, "param blks size wrong",
         [](auto &b) { poke<uint32_t>(b, 1196, static_cast<uint32_t>(b.size() - 1202 + 5)); });
    edit("block claims 4 GiB", good, "read blk#0 data failed",
         [](auto &b) { poke<uint32_t>(b, 1202 + 1, 0xFFFFFFFF); });
    edit("truncated block", good, "read blk#1 data failed",
         [](auto &b) { b.resize(1202 + 5 + 300 + 5 + 100); });
    edit("last header cut", good, "read par_dev_hdr failed",
         [](auto &b) { b.resize(b.size() - 1); });
    edit("block header cut", good, "read par_dev_hdr failed",
         [](auto &b) { b.resize(1202 + 5 + 300 + 5 + 20000 + 2); });
    edit("header cut", good, "read pylox_param_t failed", [](auto &b) { b.resize(1201); });
    edit("old unit type", old, "wrong blk unit type: 2", [](auto &b) { b[1202] = 2; });
    edit("old payload beyond the file", old, "read blk#0 data failed",
         [](auto &b) { poke<uint32_t>(b, 1202 + 22, 0xFFFFFFF0); });
    edit("old unit header cut", old, "read blk_unit_hdr failed", [](auto &b) { b.resize(1210); });

    for (const hostile &h : cases) {
        SCOPED_TRACE(h.what);
        log_capture log;
        EXPECT_EQ(open_bytes(dir, h.bytes), 0);
        EXPECT_TRUE(log.has(h.message)) << log.text();
    }

    log_capture log;
    pylox_param_t p;
    EXPECT_EQ(pylox_param_open_file(&p, dir.file("missing.bin").c_str()), 0);
    EXPECT_TRUE(log.has("open calib bin failed"));
    const std::string long_name = dir.file(std::string(130, 'n'));
    EXPECT_EQ(pylox_param_open_file(&p, long_name.c_str()), 0);
    EXPECT_TRUE(log.has("param filename too long: len="));
    EXPECT_EQ(pylox_param_is_valid(&p), 0);
}

// Every byte from the header checksum on is protected: a one-bit change
// anywhere there (except the logged block time stamp) fails the open, and so
// does every truncation.
TEST(ParamFile, EveryProtectedByteAndEveryCutIsNoticed)
{
    scratch_dir dir;
    param_file f = three_blocks(150);
    f.blocks[1].data.resize(600);
    const std::vector<uint8_t> good = pylox_test::write_param_file(f);
    ASSERT_EQ(open_bytes(dir, good), 1);
    log_capture quiet(TQ_LOG_NONE);
    std::mt19937 rng(14);
    int tried = 0;
    for (size_t off = 18; off < good.size(); off += 1 + rng() % 9) {
        if (off >= 1188 && off < 1192)
            continue;
        std::vector<uint8_t> b = good;
        b[off] ^= static_cast<uint8_t>(1u << (rng() % 8));
        EXPECT_EQ(open_bytes(dir, b), 0) << "bit flip at " << off;
        ++tried;
    }
    EXPECT_GT(tried, 150);
    for (size_t cut = 0; cut < good.size(); cut += 1 + rng() % 40)
        EXPECT_EQ(open_bytes(dir, std::vector<uint8_t>(good.begin(), good.begin() + cut)), 0)
            << "cut at " << cut;
    // The bytes outside the checksums (time stamp, reserved) do not matter.
    std::vector<uint8_t> b = good;
    b[2] ^= 0xFF;
    b[12] ^= 0xFF;
    b[1189] ^= 0xFF;
    EXPECT_EQ(open_bytes(dir, b), 1);
}

// --- zip packages -------------------------------------------------------------

struct zip_entry {
    std::string name;
    std::string data;
    bool link = false;
};

void make_zip(const std::string &path, const std::vector<zip_entry> &entries)
{
    std::filesystem::remove(path);
    int err = 0;
    zip_t *za = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &err);
    ASSERT_NE(za, nullptr);
    for (const zip_entry &e : entries) {
        zip_source_t *src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        ASSERT_NE(src, nullptr);
        const zip_int64_t i = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(i, 0) << zip_strerror(za);
        if (e.link)
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                             (S_IFLNK | 0777u) << 16);
    }
    ASSERT_EQ(zip_close(za), 0);
}

int count_entry(const char *, void *arg)
{
    ++*static_cast<int *>(arg);
    return 0;
}

TEST(ParamZip, UnpacksFilesAndFoldersIntoThePrefix)
{
    scratch_dir dir;
    const std::string out = dir.file("prefix") + "/";
    std::filesystem::create_directories(out);
    std::string big(300000, 0);
    std::mt19937 rng(5);
    for (char &c : big)
        c = static_cast<char>(rng());
    make_zip(dir.file("ok.zip"), {{"pylox_param_7.bin", "abc"},
                                  {"lens/", ""},
                                  {"lens/a/b.txt", "deep"},
                                  {"./dot.txt", "dot"},
                                  {"big.bin", big}});
    // An earlier file of the same name is replaced.
    pylox_test::write_file(out + "pylox_param_7.bin", {1, 2, 3, 4, 5});
    int n = 0;
    log_capture log;
    ASSERT_TRUE(pylox::zip_extract(dir.file("ok.zip").c_str(), out.c_str(), count_entry, &n));
    EXPECT_EQ(n, 5);
    EXPECT_EQ(pylox_test::read_all(out + "pylox_param_7.bin"), "abc");
    EXPECT_EQ(pylox_test::read_all(out + "lens/a/b.txt"), "deep");
    EXPECT_EQ(pylox_test::read_all(out + "dot.txt"), "dot");
    EXPECT_EQ(pylox_test::read_all(out + "big.bin"), big);
    EXPECT_FALSE(std::filesystem::exists(out + "big.bin.part"));

    // Not an archive, or a damaged one: a clean failure.
    pylox_test::write_file(dir.file("bad.zip"), bytes_of(1000, 3));
    EXPECT_FALSE(pylox::zip_extract(dir.file("bad.zip").c_str(), out.c_str(), count_entry, &n));
    std::vector<uint8_t> z = pylox_test::read_file(dir.file("ok.zip"));
    z[z.size() / 3] ^= 0x55; // inside big.bin's compressed data
    pylox_test::write_file(dir.file("dmg.zip"), z);
    EXPECT_FALSE(pylox::zip_extract(dir.file("dmg.zip").c_str(), out.c_str(), count_entry, &n));
    EXPECT_FALSE(pylox::zip_extract(dir.file("none.zip").c_str(), out.c_str(), count_entry, &n));
}

// Entry names and links that would put files outside the prefix are refused,
// and the refusal comes before anything is written.
TEST(ParamZip, EntriesLeavingThePrefixAreRefused)
{
    scratch_dir dir;
    const std::string out = dir.file("prefix") + "/";
    const std::string outside = dir.file("outside");
    std::filesystem::create_directories(out);
    std::filesystem::create_directories(outside);
    struct slip {
        const char *name;
        bool link;
    };
    const slip slips[] = {{"../escaped.txt", false},   {"a/../../escaped.txt", false},
                          {"/tmp/escaped.txt", false}, {"..\\escaped.txt", false},
                          {"C:escaped.txt", false},    {"a/..", false},
                          {"link.txt", true}};
    for (const slip &s : slips) {
        SCOPED_TRACE(s.name);
        log_capture log;
        make_zip(dir.file("slip.zip"),
                 {{"first.txt", "written first?"}, {s.name, "../outside/escaped.txt", s.link}});
        int n = 0;
        EXPECT_FALSE(
            pylox::zip_extract(dir.file("slip.zip").c_str(), out.c_str(), count_entry, &n));
        EXPECT_EQ(n, 0);
        EXPECT_TRUE(log.has("refused")) << log.text();
        EXPECT_FALSE(std::filesystem::exists(out + "first.txt"));
        EXPECT_FALSE(std::filesystem::exists(dir.file("escaped.txt")));
    }
    // A link already in the prefix is not followed.
    std::filesystem::create_directory_symlink(outside, out + "sub");
    std::filesystem::create_symlink(outside + "/target.txt", out + "file.txt");
    make_zip(dir.file("through.zip"), {{"sub/escaped.txt", "x"}});
    EXPECT_FALSE(
        pylox::zip_extract(dir.file("through.zip").c_str(), out.c_str(), nullptr, nullptr));
    EXPECT_FALSE(std::filesystem::exists(outside + "/escaped.txt"));
    make_zip(dir.file("over.zip"), {{"file.txt", "replaces the link"}});
    EXPECT_TRUE(pylox::zip_extract(dir.file("over.zip").c_str(), out.c_str(), nullptr, nullptr));
    EXPECT_FALSE(std::filesystem::exists(outside + "/target.txt"));
    EXPECT_FALSE(std::filesystem::is_symlink(out + "file.txt"));
    EXPECT_EQ(pylox_test::read_all(out + "file.txt"), "replaces the link");
}

} // namespace
