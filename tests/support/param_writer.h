// An independent writer of parameter files (the per-camera calibration cache)
// for tests and fuzz seeds: header with its checksums, then the blocks in the
// framing of the file's version.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pylox_test {

// Fletcher-16 over bytes: sums modulo 255, result s1 + 256 * s2.
uint16_t fletcher16(const uint8_t *p, size_t n);

struct param_block {
    uint8_t type = 1;
    // Version 140 and later: the block's data. Below 140: the 41 bytes of the
    // unit header after its type byte followed by the payload (the writer
    // fills in the payload length at data offset 21).
    std::vector<uint8_t> data;
};

struct param_file {
    uint8_t ver = 150;
    uint32_t ts = 100;
    std::string lens_name;
    double cx = 160, cy = 120;
    uint32_t blk_ts = 7;
    std::vector<param_block> blocks;
};

std::vector<uint8_t> write_param_file(const param_file &f);

// A calibration block (type 1): the 37-byte block header followed by n
// reference images of 153620 bytes (a 20-byte image header with the image's
// displacement in um, then 320 x 240 phases). phase(k, i) gives phase i of
// image k. For files below version 140 the block comes with the 4 spare
// bytes of the old unit header after the block header.
struct calib_block_desc {
    uint32_t freq = 12000000;
    float box_len_cm = 29.5f;
    int16_t temp_cb = 350, temp_ib = 300;
    uint8_t images = 4;
    uint32_t step_um = 100000;
    uint32_t width = 0, height = 0, scale = 32768;
    uint32_t payload_len = 0; // 0: the images' true length
};
using phase_fn = uint16_t (*)(int k, int i, const void *arg);
param_block calib_block(const calib_block_desc &d, bool old_framing, phase_fn phase,
                        const void *arg = nullptr);

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

// A scratch folder with a short name (/tmp/plxXXXXXX), removed afterwards: the
// driver keeps the parameter file's name in 64 characters.
class short_dir {
public:
    short_dir();
    ~short_dir();
    short_dir(const short_dir &) = delete;
    short_dir &operator=(const short_dir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
std::vector<uint8_t> read_file(const std::string &path);

} // namespace pylox_test
