// libFuzzer target of the parameter file: opening with verification, then
// every block read back. Input: one byte of flags, then the file. Flag bit 0
// rewrites the header checksum and bit 1 the block total and block checksum
// (over everything after the header), so that mutations reach the block walk
// instead of stopping at the first checksum.
//
// Whatever the file, an accepted one must describe itself truthfully: at most
// seven blocks, each within the file, each read back as the bytes at its
// position, and (version 140 and later) block sizes and checksum adding up.
#include "drivers/param/param_store.h"
#include "fuzz_util.h"

#include <pylox/pylox_param.h>

#include <cstring>
#include <vector>

namespace {

struct seen {
    const std::vector<uint8_t> *file;
    uint32_t pos;
    bool ok;
};

int check_block(pylox_param_t *, const pylox_param_blk_desc_t *d, const uint8_t *data, uint32_t len,
                void *arg)
{
    auto *s = static_cast<seen *>(arg);
    const uint32_t size = d->size;
    s->ok = len == size && static_cast<uint64_t>(s->pos) + len <= s->file->size() &&
            std::memcmp(data, s->file->data() + s->pos, len) == 0;
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    std::vector<uint8_t> file(data + 1, data + size);
    if (file.size() >= PYLOX_PARAM_HDR_SIZE) {
        if (flags & 1) {
            const uint16_t ck = pylox::param_fletcher16(file.data() + 20, 1168);
            std::memcpy(file.data() + 18, &ck, 2);
        }
        if (flags & 2) {
            const uint32_t total = static_cast<uint32_t>(file.size() - PYLOX_PARAM_HDR_SIZE);
            const uint16_t ck = pylox::param_fletcher16(file.data() + PYLOX_PARAM_HDR_SIZE, total);
            std::memcpy(file.data() + 1196, &total, 4);
            std::memcpy(file.data() + 1200, &ck, 2);
        }
    }
    static fuzz::mem_file mf("fuzz_param");
    mf.set(file.data(), file.size());
    pylox_param_t p;
    const int r = pylox_param_open_file(&p, mf.path().c_str());
    FUZZ_CHECK(r == pylox_param_is_valid(&p));
    if (!r)
        return 0;
    const int cnt = pylox_param_get_blk_cnt(&p);
    FUZZ_CHECK(cnt >= 0 && cnt <= PYLOX_PARAM_MAX_BLKS);
    const bool new_framing = p.hdr.ver >= PYLOX_PARAM_VER_NEW_FRAMING;
    uint64_t total = 0;
    uint16_t ck = 0;
    for (int i = 0; i < cnt; ++i) {
        seen s{&file, p.blk_pos[i], false};
        FUZZ_CHECK(pylox_param_parse_blk(&p, i, check_block, &s) == 1);
        FUZZ_CHECK(s.ok);
        const uint32_t bsize = p.blk_desc[i].size;
        if (new_framing) {
            FUZZ_CHECK(p.blk_pos[i] >= 5);
            ck = pylox::param_fletcher16(file.data() + p.blk_pos[i] - 5, 5 + bsize, ck);
            total += 5 + static_cast<uint64_t>(bsize);
        } else {
            FUZZ_CHECK(p.blk_desc[i].type == 1 && bsize >= 41 && file[p.blk_pos[i] - 1] == 1);
        }
    }
    if (new_framing) {
        FUZZ_CHECK(total == p.hdr.blk_size);
        FUZZ_CHECK(ck == p.hdr.blk_cksum);
    }
    FUZZ_CHECK(pylox_param_parse_blk(&p, cnt, check_block, nullptr) == 0);
    pylox_param_close(&p);
    FUZZ_CHECK(!pylox_param_is_valid(&p));
    return 0;
}
