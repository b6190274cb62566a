// Register and parameter batches, with the reactions of the driver and the
// capture code to the parameters they follow.
#include "api/entry.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>

#include <cstdlib>
#include <cstring>

namespace {

uint32_t u32_of(const pylox_param_item_t &it)
{
    uint32_t v;
    std::memcpy(&v, it.param_val, sizeof v);
    return v;
}

uint16_t u16_of(const pylox_param_item_t &it)
{
    uint16_t v;
    std::memcpy(&v, it.param_val, sizeof v);
    return v;
}

// The transport's items for a batch: IDs cut to 8 bits, the caller's lengths,
// and the values when they are to be sent.
pylox_ll_param_t *to_ll_items(const pylox_param_item_t *items, int n, bool with_values)
{
    // calloc(0) may give null; one spare item keeps an empty batch valid.
    auto *ll = static_cast<pylox_ll_param_t *>(
        std::calloc(static_cast<size_t>(n > 0 ? n : 0) + 1, sizeof(pylox_ll_param_t)));
    for (int i = 0; ll && i < n; ++i) {
        ll[i].id = static_cast<uint8_t>(items[i].param_id);
        ll[i].len = items[i].param_val_len;
        if (with_values)
            std::memcpy(ll[i].val, items[i].param_val, PYLOX_LL_PARAM_VAL_MAX);
    }
    return ll;
}

bool items_ok(const pylox_param_item_t *items, int n, const char *name)
{
    if (n < 0 || (n > 0 && !items)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, name, pylox::k_no_device);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

PYLOX_API int pylox_reg_batch_write(pylox_dev_t *dev, int target, uint32_t reg_base,
                                    const uint32_t *reg_vals, int reg_cnt)
{
    LOG_TRC("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", target,
            static_cast<int>(reg_base), static_cast<int>(static_cast<uint16_t>(reg_cnt)),
            static_cast<const void *>(reg_vals));
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    return pylox_ll_reg_write(&call.ctx()->ll, static_cast<uint8_t>(target), reg_base, reg_vals,
                              static_cast<uint16_t>(reg_cnt));
}

PYLOX_API int pylox_reg_batch_read(pylox_dev_t *dev, int target, uint32_t reg_base,
                                   uint32_t *reg_vals, int reg_cnt)
{
    LOG_TRC("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", target,
            static_cast<int>(reg_base), static_cast<int>(static_cast<uint16_t>(reg_cnt)),
            static_cast<void *>(reg_vals));
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    return pylox_ll_reg_read(&call.ctx()->ll, static_cast<uint8_t>(target), reg_base, reg_vals,
                             static_cast<uint16_t>(reg_cnt));
}

PYLOX_API int pylox_param_batch_set(pylox_dev_t *dev, pylox_param_item_t *items, int n)
{
    pylox::entry call(dev, __func__);
    if (!call || !items_ok(items, n, __func__))
        return 0;
    pylox_dev_ctx_t *ctx = call.ctx();
    pylox_ll_param_t *ll = to_ll_items(items, n, true);
    if (!ll)
        return 0;
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_param_batch_set", "[%s] set %d param\n", n);
    const int r = pylox_ll_param_set(&ctx->ll, ll, n);
    std::free(ll);
    if (!r)
        return r;

    pylox_drv_t *drv = ctx->driver;
    for (int i = 0; i < n; ++i) {
        switch (items[i].param_id) {
        case PARAM_FRAME_RATE:
            PYLOX_LOG_AS(TQ_LOG_DBG, "_pylox_param_batch_set", "[%s] Set FPS:%d\n",
                         static_cast<int>(u32_of(items[i])));
            pylox::store(ctx->fps, u32_of(items[i]));
            break;
        case PARAM_INTG_TIME:
            drv->ops->update_intg_time(drv, u16_of(items[i]), 0);
            break;
        case PARAM_INTG_TIME2:
            drv->ops->update_intg_time(drv, u16_of(items[i]), 1);
            break;
        case PARAM_MOD_FREQ:
            drv->ops->update_mod_freq(drv, u32_of(items[i]), 0);
            break;
        default:
            break;
        }
    }
    return r;
}

PYLOX_API int pylox_param_batch_get(pylox_dev_t *dev, pylox_param_item_t *items, int n)
{
    pylox::entry call(dev, __func__);
    if (!call || !items_ok(items, n, __func__))
        return 0;
    pylox_dev_ctx_t *ctx = call.ctx();
    pylox_ll_param_t *ll = to_ll_items(items, n, false);
    if (!ll)
        return 0;
    const int r = pylox::param_get_raw(ctx, ll, n);
    if (r) {
        for (int i = 0; i < n; ++i) {
            items[i].param_val_len = ll[i].len;
            std::memcpy(items[i].param_val, ll[i].val, PYLOX_LL_PARAM_VAL_MAX);
        }
    }
    std::free(ll);
    return r ? 1 : 0;
}

} // extern "C"
