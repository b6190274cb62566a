// EPC driver records: the driver state with its defaults, the derived values
// of a modulation frequency, and the module-wide lens intrinsics.
#include "drivers/epc/epc_state.h"

#include "core/log.h"

#include <cstdlib>
#include <cstring>

tq_calib_len_param_t g_epc_lens_param = {
    157.262,      122.083,     210.783,    204.817, -0.378924, 0.145035,
    -0.000970854, 6.20728e-05, -0.0133954, 320,     240,
};

namespace pylox {

epc_state_t *epc_state_create()
{
    auto *st = static_cast<epc_state_t *>(std::calloc(1, sizeof(epc_state_t)));
    if (!st) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    st->minamp_en = 1;
    st->temp_mon_en = 1;
    st->spatial_en = 1;
    st->offset_en = 1;
    st->flypix_en = 1;
    st->minamp_hyst_en = 1;
    st->flypix_thr = 90000;
    st->minamp_hyst = 10;
    st->minamp_thr = 30;
    st->temp_mon_arg = 75;
    st->spatial_arg = 5;
    st->tc_cb = 14.5f;
    st->tc_ib = 3.3765f;
    st->box_len_mm = 295;
    if (pthread_mutex_init(&st->lock, nullptr) != 0) {
        LOG_ERR("[%s] pthread_mutex_init failed\n");
        std::exit(-1);
    }
    return st;
}

void epc_state_destroy(epc_state_t *st)
{
    if (!st)
        return;
    tq_bpf2d_iir_uninit(&st->bpf);
    tq_calib_len_uninit_map(&st->lens_map);
    pylox_drv_t drv{};
    drv.priv = st;
    pthread_mutex_lock(&st->lock);
    epc_calc_uninit(&drv);
    pthread_mutex_unlock(&st->lock);
    pthread_mutex_destroy(&st->lock);
    std::free(st->minamp_state);
    std::free(st->work[0]);
    std::free(st->work[1]);
    std::free(st);
}

uint32_t epc_range_mm(uint32_t f)
{
    if (f == 0)
        return 0;
    const float r = 1.4989622e11f / static_cast<float>(f);
    // Below 35 Hz the range would not fit 32 bits.
    return r >= 4294967296.0f ? UINT32_MAX : static_cast<uint32_t>(r);
}

void epc_state_derive(epc_state_t *st, uint32_t f)
{
    st->range_mm = epc_range_mm(f);
    if (st->range_mm == 0) {
        st->box_phase = 0;
        st->tc_cb_phase = 0.0f;
        st->tc_ib_phase = 0.0f;
        return;
    }
    st->box_phase = static_cast<uint32_t>(st->box_len_mm) * 32768u / st->range_mm;
    st->tc_cb_phase = st->tc_cb * 32768.0f / static_cast<float>(st->range_mm);
    st->tc_ib_phase = 32768.0f * st->tc_ib / static_cast<float>(st->range_mm);
}

} // namespace pylox
