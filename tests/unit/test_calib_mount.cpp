// Calibration mounting: block choice by frequency in both framings, the
// normalisation of the reference images, the per-pixel line fits and their
// summary, the fallback, and blocks that cannot hold what they claim.
#include "drivers/epc/epc_state.h"
#include "support/frame_files.h"
#include "support/log_capture.h"
#include "support/param_writer.h"

#include <pylox/pylox_epc.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

using pylox_test::calib_block;
using pylox_test::calib_block_desc;
using pylox_test::log_capture;
using pylox_test::param_file;

constexpr int kPix = 320 * 240;
constexpr size_t kImg = 20 + 2 * kPix;

// Phase of pixel i in image k: a line per pixel with a pixel's own offset.
struct line_model {
    uint16_t base = 8000;
    uint16_t step = 1000;
};
uint16_t line_phase(int k, int i, const void *arg)
{
    const auto *m = static_cast<const line_model *>(arg);
    return static_cast<uint16_t>(m->base + (i % 50) + k * m->step);
}
// Up and down again: no pixel fits a line.
uint16_t zigzag_phase(int k, int i, const void *)
{
    return static_cast<uint16_t>(k % 2 ? 20000 + i % 7 : 10000);
}

class Mount : public ::testing::Test {
protected:
    void SetUp() override
    {
        drv_.priv = pylox::epc_state_create();
        ASSERT_EQ(epc_calc_init(&drv_), 1);
        st_ = pylox::epc_state(&drv_);
    }
    void TearDown() override { pylox::epc_state_destroy(st_); }

    void use(const param_file &f, uint32_t mod_freq)
    {
        const std::string path = dir_.file("p.bin");
        ASSERT_LT(path.size(), sizeof st_->param_path);
        ASSERT_TRUE(pylox_test::write_file(path, pylox_test::write_param_file(f)));
        std::strcpy(st_->param_path, path.c_str());
        st_->param_valid = 1;
        st_->mod_freq = mod_freq;
    }
    int mount()
    {
        pthread_mutex_lock(&st_->lock);
        const int r = epc_calc_mount_calib(&drv_);
        pthread_mutex_unlock(&st_->lock);
        return r;
    }
    uint32_t mounted_freq() const
    {
        uint32_t f;
        std::memcpy(&f, st_->calib->hdr, 4);
        return f;
    }
    uint16_t phase(int k, int i) const
    {
        uint16_t v;
        std::memcpy(&v, st_->calib->data + k * kImg + 20 + 2 * i, 2);
        return v;
    }
    void expect_defaults(int r)
    {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(st_->calib->data, nullptr);
        EXPECT_EQ(st_->calib->cal_scale_um, 1000);
        EXPECT_EQ(st_->calib->cal_offset_mm, -2000);
        EXPECT_EQ(epc_calc_calib_loaded(&drv_), 0);
    }

    pylox_test::short_dir dir_;
    pylox_drv_t drv_{};
    epc_state_t *st_ = nullptr;
};

// Two blocks (12 and 24 MHz, old and new framing): the frequency picks its
// block, 0 takes the first and adopts its frequency; the summary follows the
// per-pixel lines exactly.
TEST_F(Mount, FrequencyPicksTheBlockAndTheLinesGiveTheSummary)
{
    line_model m12, m24{12000, 2000};
    for (uint8_t ver : {uint8_t{139}, uint8_t{150}}) {
        SCOPED_TRACE(ver);
        param_file f;
        f.ver = ver;
        calib_block_desc d;
        d.images = 4;
        f.blocks.push_back(calib_block(d, ver < 140, line_phase, &m12));
        d.freq = 24000000;
        d.temp_cb = 400;
        f.blocks.push_back(calib_block(d, ver < 140, line_phase, &m24));
        use(f, 24000000);
        log_capture log;
        ASSERT_EQ(mount(), 1) << log.text();
        EXPECT_EQ(mounted_freq(), 24000000u);
        EXPECT_EQ(epc_calc_calib_loaded(&drv_), 1);
        epc_calib_t *c = st_->calib;
        EXPECT_EQ(c->cal_cb, 400);
        EXPECT_EQ(c->img_count, 4);
        EXPECT_EQ(c->cal_scale_um, 1000);
        EXPECT_EQ(st_->box_len_mm, 295);
        // Mean slope 2000 phase units per image at 24 MHz (range 6245 mm).
        const double range = 1.4989622e11 / 24000000.0;
        EXPECT_NEAR(c->step_um, 2000.0 / 32768 * range * 1000, 2.0);
        EXPECT_NEAR(c->cal_offset_mm, 295 - 12024.5 * range / 32768, 1.0);
        EXPECT_EQ(c->lsr, nullptr);
        EXPECT_NEAR(c->mean_first, 12024, 1); // 12000 + the mean of i % 50
        EXPECT_NEAR(c->mean_last, 18024, 1);
        EXPECT_EQ(st_->box_phase, 295u * 32768u / 6245u);

        epc_calc_unmount_clib(&drv_);
        EXPECT_EQ(c->data, nullptr);
        EXPECT_EQ(mounted_freq(), 0u);
        EXPECT_EQ(c->cal_cb, 400); // the summary stays until the next mount

        st_->mod_freq = 0;
        ASSERT_EQ(mount(), 1);
        EXPECT_EQ(st_->mod_freq, 12000000u);
        EXPECT_EQ(mounted_freq(), 12000000u);
        epc_calc_unmount_clib(&drv_);

        st_->mod_freq = 36000000; // no block of this frequency
        expect_defaults(mount());
    }
}

// Version 149 images were written one phase early: each two-row block moves
// one phase to the right (its first phase kept); version 150 stays as
// stored. Scale 30000 becomes 32768 (15000 -> 16384). A calibration IB
// temperature of 950 with CB 300 becomes 200.
TEST_F(Mount, ImagesAreNormalisedOnce)
{
    struct model {
        static uint16_t phase(int k, int i, const void *)
        {
            return static_cast<uint16_t>(15000 + i % 640 + 500 * k);
        }
    };
    for (uint8_t ver : {uint8_t{149}, uint8_t{150}}) {
        SCOPED_TRACE(ver);
        param_file f;
        f.ver = ver;
        calib_block_desc d;
        d.images = 3;
        d.scale = ver == 149 ? 30000 : 32768;
        d.temp_cb = 300;
        d.temp_ib = 950;
        f.blocks.push_back(calib_block(d, false, model::phase, nullptr));
        use(f, 12000000);
        log_capture log;
        ASSERT_EQ(mount(), 1);
        EXPECT_EQ(st_->calib->cal_ib, 200);
        EXPECT_TRUE(log.has("wrong IB calib temp 950"));
        for (int k = 0; k < 3; ++k)
            for (int i : {0, 1, 2, 639, 640, 641, kPix - 1}) {
                const int src = ver == 149 && i % 640 != 0 ? i - 1 : i;
                uint32_t want = model::phase(k, src, nullptr);
                if (ver == 149)
                    want = want * 32768 / 30000;
                EXPECT_EQ(phase(k, i), want) << "image " << k << " phase " << i;
            }
        if (ver == 149) {
            EXPECT_TRUE(log.has("scale 30000 -> 32768"));
            EXPECT_TRUE(log.has("Fix 1 pix calib issue of ref images: ver=149"));
            EXPECT_EQ(phase(0, 0), 16384); // 15000 -> 16384
        }
        // Mounted again without an unmount: the data are not corrected twice.
        const uint16_t before = phase(1, 5);
        ASSERT_EQ(mount(), 1);
        EXPECT_EQ(phase(1, 5), before);
        epc_calc_unmount_clib(&drv_);
    }
}

// Fallbacks: no valid file, no file, phases that fit no line, and blocks that
// cannot hold what their header claims (read nothing past their data).
TEST_F(Mount, FallsBackToTheDefaults)
{
    line_model m;
    param_file f;
    calib_block_desc d;
    d.images = 3;
    f.blocks.push_back(calib_block(d, false, line_phase, &m));
    use(f, 12000000);
    st_->param_valid = 0;
    expect_defaults(mount());
    st_->param_valid = 1;
    std::strcpy(st_->param_path, dir_.file("none.bin").c_str());
    expect_defaults(mount());

    param_file noisy;
    noisy.blocks.push_back(calib_block(d, false, zigzag_phase));
    use(noisy, 12000000);
    {
        log_capture log;
        expect_defaults(mount());
        EXPECT_TRUE(log.has("All pixel calib data is wrong!"));
    }

    struct hostile {
        const char *what;
        calib_block_desc d;
        size_t cut; // bytes taken off the block's payload
    };
    calib_block_desc one = d, wide = d, tall = d, shorter = d;
    one.images = 1;
    wide.width = 321;
    tall.width = 320;
    tall.height = 241;
    for (const hostile &h : {hostile{"one image", one, 0}, hostile{"wider than stored", wide, 0},
                             hostile{"taller than stored", tall, 0},
                             hostile{"payload short of its images", shorter, 1}}) {
        SCOPED_TRACE(h.what);
        for (uint8_t ver : {uint8_t{139}, uint8_t{150}}) {
            param_file bad;
            bad.ver = ver;
            bad.blocks.push_back(calib_block(h.d, ver < 140, line_phase, &m));
            bad.blocks[0].data.resize(bad.blocks[0].data.size() - h.cut);
            use(bad, 12000000);
            log_capture log;
            expect_defaults(mount());
            EXPECT_TRUE(log.has("cannot hold its data")) << log.text();
        }
    }
}

} // namespace

// A box length no millimetre count holds (the file is outside data): the
// mount goes through (the scale check included, which once truncated it into
// an int32 undefined) and the offset saturates rather than wrapping.
TEST(MountBoxLength, BeyondTheIntegerRangeSaturates)
{
    line_model m;
    const struct {
        float box_len_cm;
        int32_t offset;
    } cases[] = {{-6.2e26f, INT32_MIN}, {1e30f, INT32_MAX}, {std::nanf(""), 0}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.box_len_cm);
        pylox_test::short_dir dir;
        pylox_drv_t drv{};
        drv.priv = pylox::epc_state_create();
        ASSERT_EQ(epc_calc_init(&drv), 1);
        epc_state_t *st = pylox::epc_state(&drv);
        param_file f;
        calib_block_desc d;
        d.images = 2;
        d.box_len_cm = k.box_len_cm;
        f.blocks.push_back(calib_block(d, false, line_phase, &m));
        ASSERT_TRUE(pylox_test::write_file(dir.file("p.bin"), pylox_test::write_param_file(f)));
        std::strcpy(st->param_path, dir.file("p.bin").c_str());
        st->param_valid = 1;
        st->mod_freq = d.freq;
        float scale = 0, offset = 0;
        pthread_mutex_lock(&st->lock);
        EXPECT_EQ(epc_calc_mount_calib(&drv), 1);
        _calc_scale_offset(&drv, &scale, &offset, st->calib->data, st->calib->data + 20 + 2 * kPix);
        pthread_mutex_unlock(&st->lock);
        EXPECT_EQ(st->calib->cal_offset_mm, k.offset);
        EXPECT_EQ(offset, static_cast<float>(k.offset));
        pylox::epc_state_destroy(st);
    }
}
