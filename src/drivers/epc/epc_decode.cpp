// The decode chain of the EPC driver. A distance frame goes through:
//   depth      calibrated (DRNU table) or simple model, rows written in display order
//              (sensor rows come from the middle outwards): distance into A, amplitude into B
//   hdr        row pairs of two integration times merged (filter 8)
//   minamp     minimum amplitude with hysteresis on A by B (filter 4)
//   median     3 x 3 median             spatial chain (filter 2, argument > 1):
//   bilateral  recursive bilateral      each of these four reads the result
//   flypix     flying pixels            and writes the other of dst and A
//   holefill   3 x 3 hole fill
//   range      values near 0 and near the unambiguous range removed
//   undistort  lens undistortion of 320 x 240 frames (filter 0)
//   finish     the result into dst
#include "drivers/epc/epc_decode.h"

#include "core/log.h"
#include "drivers/epc/epc_calc_kernels.h"
#include "drivers/epc/epc_chain_kernels.h"
#include "drivers/epc/epc_features.h"

#include <pylox/tq_calib_len.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pylox {
namespace {

constexpr int k_bpf_range_max = 4096;
constexpr float k_bpf_sigma_spatial = 0.02f, k_bpf_sigma_range = 0.1f;

bool spatial_on(const epc_chain &c)
{
    return c.st->spatial_en && c.st->spatial_arg > 1;
}

void stage_depth(epc_chain &c)
{
    int done = 0;
    if (c.st->calib_en && epc_calc_calib_loaded(c.drv))
        done = epc::dist_drnu_lut_display(c.drv, c.a, c.b, c.raw, c.w, c.h);
    // A remount between the check and the calculation leaves the simple model.
    if (!done)
        done = epc::dist_simple_display(c.drv, c.a, c.b, c.raw, c.w, c.h);
    c.ok = done != 0;
    c.res = c.a;
}

void stage_hdr(epc_chain &c)
{
    if (c.st->hdr_en)
        epc_hdr_merge(c.res, c.b, c.w, c.h);
}

void stage_minamp(epc_chain &c)
{
    _feature_minamp_filter(c.st, c.res, c.b, c.n);
}

void stage_median(epc_chain &c)
{
    if (!spatial_on(c))
        return;
    uint16_t *out = c.other();
    tq_median2d_u16_k3(out, c.res, c.w, c.h);
    c.res = out;
}

void stage_bilateral(epc_chain &c)
{
    if (!spatial_on(c))
        return;
    tq_bpf2d_iir_t *bpf = &c.st->bpf;
    if (bpf->width != static_cast<uint32_t>(c.w) || bpf->height != static_cast<uint32_t>(c.h)) {
        // A frame of another size: the state is rebuilt once for it.
        tq_bpf2d_iir_uninit(bpf);
        if (!tq_bpf2d_iir_init(bpf, static_cast<uint32_t>(c.w), static_cast<uint32_t>(c.h),
                               k_bpf_sigma_spatial, k_bpf_sigma_range, 0, k_bpf_range_max)) {
            LOG_ERR("[%s] tq_bpf2d_iir_init failed\n");
            return;
        }
    }
    uint16_t *out = c.other();
    tq_bpf2d_iir(bpf, out, c.res, static_cast<uint32_t>(c.w), static_cast<uint32_t>(c.h));
    c.res = out;
}

void stage_flypix(epc_chain &c)
{
    if (!spatial_on(c) || !c.st->flypix_en)
        return;
    uint16_t *out = c.other();
    tq_flypix_u16_k3(out, c.res, c.w, c.h, c.st->flypix_thr);
    c.res = out;
}

void stage_holefill(epc_chain &c)
{
    if (!spatial_on(c))
        return;
    uint16_t *out = c.other();
    tq_fhole_u16_k3(out, c.res, c.w, c.h, 0);
    c.res = out;
}

void stage_range(epc_chain &c)
{
    epc::range_vec(c.res, c.n, static_cast<int64_t>(c.st->range_mm) - 100);
}

bool undistort_applies(const epc_chain &c)
{
    return c.st->lens_undist_en && c.w == 320 && c.h == 240;
}

void stage_undistort(epc_chain &c)
{
    if (!undistort_applies(c))
        return;
    uint16_t *out = c.other();
    if (tq_calib_len_undistort_u16(&c.st->lens_map, out, c.n, c.res, c.w, c.h, 0))
        c.res = out;
}

void stage_finish(epc_chain &c)
{
    if (c.res != c.dst)
        std::memcpy(c.dst, c.res, sizeof(uint16_t) * static_cast<size_t>(c.n));
    c.res = c.dst;
}

} // namespace

const epc_stage g_epc_dist_stages[] = {
    {"depth", stage_depth},         {"hdr", stage_hdr},
    {"minamp", stage_minamp},       {"median", stage_median},
    {"bilateral", stage_bilateral}, {"flypix", stage_flypix},
    {"holefill", stage_holefill},   {"range", stage_range},
    {"undistort", stage_undistort}, {"finish", stage_finish},
};
const int g_epc_dist_stage_count = sizeof g_epc_dist_stages / sizeof g_epc_dist_stages[0];

void epc_work_reserve(epc_state_t *st, int n)
{
    if (n <= st->work_len)
        return;
    for (auto *&img : st->work) {
        std::free(img);
        img = static_cast<uint16_t *>(std::malloc(sizeof(uint16_t) * static_cast<size_t>(n)));
        if (!img) {
            LOG_ERR("[%s] malloc failed\n");
            std::exit(-3);
        }
    }
    st->work_len = n;
}

epc_chain epc_chain_begin(pylox_drv_t *drv, uint16_t *dst, const uint16_t *raw, int w, int h)
{
    epc_state_t *st = epc_state(drv);
    const int n = w * h;
    epc_work_reserve(st, n);
    return epc_chain{drv, st, raw, dst, st->work[0], st->work[1], dst, w, h, n, true};
}

bool epc_gray_chain(pylox_drv_t *drv, uint16_t *dst, const uint16_t *raw, int w, int h)
{
    epc_state_t *st = epc_state(drv);
    if (!calc_gray(drv, dst, raw, w, h, 4))
        return false;
    const int n = w * h;
    epc_work_reserve(st, n);
    uint16_t *g = st->work[0];
    calc_dcs_sort(g, dst, w, h);
    if (st->hdr_en)
        epc_hdr_merge_gray(g, w, h);
    if (st->lens_undist_en && w == 320 && h == 240 &&
        tq_calib_len_undistort_u16(&st->lens_map, dst, n, g, w, h, 0))
        return true;
    std::memcpy(dst, g, sizeof(uint16_t) * static_cast<size_t>(n));
    return true;
}

int epc_frame_decode(pylox_drv_t *drv, uint16_t *dst, int dst_size, int kind, const uint8_t *raw,
                     int raw_len, const pylox_frame_info_t *info)
{
    epc_state_t *st = epc_state(drv);
    if (!st || !info || !raw || raw_len < 0) {
        LOG_ERR("[%s] no frame to decode\n");
        return -1;
    }
    const int64_t pixels = static_cast<int64_t>(info->width) * info->height;
    const int n = static_cast<int>(std::min<int64_t>(raw_len, info->frame_size));

    if (st->auto_intg_en && st->sat_ratio != 0 && !st->hdr_en)
        _feature_auto_intg(drv, raw, n);

    if (info->frame_format == EPC_FRAME_FMT_CALIB) {
        LOG_INF("[%s] Calibration data frame,size:%d\n", static_cast<int>(info->frame_size));
        return -1;
    }
    if (info->frame_format != EPC_FRAME_FMT_DCS)
        return -1;
    if (pixels <= 0 || pixels > 0x10000000 || !dst || dst_size < 2 * pixels || n < 8 * pixels) {
        LOG_ERR("[%s] wrong data len: src=%d, dst=%d\n", n, dst_size);
        return -1;
    }
    const int N = static_cast<int>(pixels);
    const int w = static_cast<int>(info->width), h = static_cast<int>(info->height);
    const auto *words = reinterpret_cast<const uint16_t *>(raw);

    if (st->dcs_check_en && _feature_dcs_check(drv, words, N, n))
        return -1;

    if (kind == PYLOX_DRV_OUT_DISTANCE) {
        epc_chain c = epc_chain_begin(drv, dst, words, w, h);
        for (int i = 0; i < g_epc_dist_stage_count && c.ok; ++i)
            g_epc_dist_stages[i].run(c);
        if (!c.ok) {
            LOG_ERR("[%s] distance calculation refused the frame (%dx%d)\n", w, h);
            return -1;
        }
        return 2 * N;
    }
    if (kind == PYLOX_DRV_OUT_GRAY) {
        if (!epc_gray_chain(drv, dst, words, w, h)) {
            LOG_ERR("[%s] gray calculation refused the frame (%dx%d)\n", w, h);
            return -1;
        }
        return 2 * N;
    }
    return -1;
}

} // namespace pylox
