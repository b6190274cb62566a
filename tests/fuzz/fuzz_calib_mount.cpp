// libFuzzer target of calibration mounting from the parameter file, and of
// the DRNU distance calculation on what was mounted.
//
// Input: one byte of flags, the driver's modulation frequency (4 bytes,
// little-endian; flag bit 3 makes it 0, "the first block"), then the start of
// the parameter file (header and block headers as the mutator leaves them).
// Flag bits 0-2 append that many reference images of 153620 bytes to the file,
// made from a line per pixel with a slope and noise taken from the input, so
// that short inputs reach the line fits.
//
// Whatever the file: the mount reports 1 with the block of the driver's
// frequency in memory or -1 with the default scale and offset and nothing
// held; mounting again is a no-op for the result; a mounted calibration
// decodes a frame.
//
// Built with FUZZ_PARSE_ONLY (fuzz_calib_mount_parse) the file gets no
// reference images: the mount reads the header and walks the block headers
// only, some thousand times faster than fitting 76800 lines a mount.
#include "drivers/epc/epc_state.h"
#include "fuzz_util.h"

#include <pylox/pylox_epc.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t k_img = k_epc_ref_bytes;

int mount(pylox_drv_t *drv, epc_state_t *st)
{
    pthread_mutex_lock(&st->lock);
    const int r = epc_calc_mount_calib(drv);
    pthread_mutex_unlock(&st->lock);
    return r;
}

void check_state(int r, epc_state_t *st, uint32_t asked)
{
    const epc_calib_t *c = st->calib;
    FUZZ_CHECK(c && c->lsr == nullptr);
    if (r == 1) {
        uint32_t f;
        std::memcpy(&f, c->hdr, 4);
        FUZZ_CHECK(c->data != nullptr && c->img_count >= 2);
        FUZZ_CHECK(st->mod_freq == f && (asked == 0 || asked == f));
        FUZZ_CHECK(c->cal_scale_um == 1000);
    } else {
        FUZZ_CHECK(r == -1);
        FUZZ_CHECK(c->data == nullptr);
        FUZZ_CHECK(c->cal_scale_um == 1000 && c->cal_offset_mm == -2000);
    }
}

// Reference image k appended to the file: pixel i is base + k * slope +
// noise, the noise cycling through the file's own bytes (none when flag bit
// 4 is set); base and slope are the file's last four bytes.
FUZZ_NO_COVERAGE const uint8_t *reference_image(const uint8_t *head, size_t head_len, uint8_t flags,
                                                int k)
{
    static std::vector<uint8_t> img(k_img);
    uint16_t base = 4000, slope = 1500;
    if (head_len >= 4) {
        std::memcpy(&base, head + head_len - 4, 2);
        std::memcpy(&slope, head + head_len - 2, 2);
    }
    const uint32_t disp = static_cast<uint32_t>(k) * 100000u;
    std::memcpy(img.data(), &disp, 4);
    const bool noise = !(flags & 16) && head_len > 0;
    // Pixel i repeats pixel i - period: the first period written one by one,
    // the rest copied in doubling blocks (the harness's own time, most of
    // an execution when written a pixel at a time).
    const size_t n = k_epc_ref_pixels;
    const size_t period = noise ? std::min(head_len, n) : 1;
    uint8_t *px = img.data() + k_epc_ref_hdr;
    size_t at = noise ? static_cast<size_t>(7 * k) % head_len : 0;
    for (size_t i = 0; i < period; ++i) {
        const uint16_t v = static_cast<uint16_t>(base + k * slope + (noise ? head[at] & 7 : 0));
        std::memcpy(px + 2 * i, &v, 2);
        if (noise && ++at == head_len)
            at = 0;
    }
    for (size_t done = period; done < n;) {
        const size_t c = std::min(done, n - done);
        std::memcpy(px + 2 * done, px, 2 * c);
        done += c;
    }
    return img.data();
}

// The raw frame decoded through a mounted calibration (four phases a pixel).
FUZZ_NO_COVERAGE std::vector<uint16_t> raw_frame()
{
    std::vector<uint16_t> raw(4 * k_epc_ref_pixels);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint16_t>(2048 + ((i * 2654435761u) >> 20) % 1500);
    return raw;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 5)
        return 0;
    const uint8_t flags = data[0];
    uint32_t freq;
    std::memcpy(&freq, data + 1, 4);
    if (flags & 8)
        freq = 0;
    const uint8_t *head = data + 5;
    const size_t head_len = size - 5;

    static fuzz::mem_file mf("fuzz_calib");
    mf.set(head, head_len);
#ifdef FUZZ_PARSE_ONLY
    const int images = 0;
#else
    const int images = flags & 7;
#endif
    for (int k = 0; k < images; ++k)
        mf.set(reference_image(head, head_len, flags, k), k_img,
               head_len + static_cast<size_t>(k) * k_img);

    pylox_drv_t drv{};
    drv.priv = pylox::epc_state_create();
    epc_state_t *st = pylox::epc_state(&drv);
    FUZZ_CHECK(epc_calc_init(&drv) == 1);
    FUZZ_CHECK(mf.path().size() < sizeof st->param_path);
    std::strcpy(st->param_path, mf.path().c_str());
    st->param_valid = 1;
    st->mod_freq = freq;

    const int r = mount(&drv, st);
    check_state(r, st, freq);
    if (r == 1) {
        const epc_calib_t before = *st->calib;
        FUZZ_CHECK(epc_calc_calib_loaded(&drv));
        // The same frequency again: the data in memory, the same summary.
        FUZZ_CHECK(mount(&drv, st) == 1);
        check_state(1, st, freq);
        FUZZ_CHECK(st->calib->data == before.data && st->calib->step_um == before.step_um &&
                   st->calib->cal_offset_mm == before.cal_offset_mm &&
                   st->calib->mean_first == before.mean_first &&
                   st->calib->mean_last == before.mean_last);
        // A frame through the mounted calibration, as the driver decodes
        // after deriving the frequency's values.
        pylox::epc_state_derive(st, st->mod_freq);
        static const std::vector<uint16_t> raw = raw_frame();
        std::vector<uint16_t> dist(k_epc_ref_pixels), amp(k_epc_ref_pixels);
        const int done = calc_dist_calib_drnu_lut(&drv, dist.data(), amp.data(), raw.data(),
                                                  k_epc_ref_w, k_epc_ref_h, 4);
        FUZZ_CHECK(done == 1 || (done == 0 && (st->range_mm == 0 || st->range_mm > INT32_MAX ||
                                               st->calib->img_count > 255)));
    }
    pthread_mutex_lock(&st->lock);
    FUZZ_CHECK(epc_calc_unmount_clib(&drv) == 0);
    pthread_mutex_unlock(&st->lock);
    FUZZ_CHECK(st->calib->data == nullptr);
    pylox::epc_state_destroy(st);
    return 0;
}
