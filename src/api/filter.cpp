// Filter switches: the runtime features of the device's sensor driver.
#include "api/entry.h"
#include "core/log.h"

#include <pylox/pylox_drv.h>
#include <pylox/pylox_filter.h>

#include <cstring>

namespace {

// The device's driver. An open device always has one; otherwise the registry
// row for its product is used as it stands (it holds no state, so its
// switches report failure) and is not stored in the context, which frees
// only drivers bound to it.
pylox_drv_t *driver_of(pylox::entry &call, const char *fn)
{
    if (pylox_drv_t *drv = call.ctx()->driver)
        return drv;
    if (pylox_drv_t *row = pylox_drv_find(call.handle()))
        return row;
    char product[sizeof call.handle()->product + 1] = {};
    std::memcpy(product, call.handle()->product, sizeof call.handle()->product);
    PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] cannot find driver for device: product=%s\n", product);
    return nullptr;
}

// One filter switch of the device's driver: slot names the operation, args
// follow the driver. A driver without that switch takes it as done.
template <auto slot, typename... Args>
int switch_filter(pylox_dev_t *dev, const char *fn, Args... args)
{
    pylox::entry call(dev, fn);
    if (!call)
        return 0;
    pylox_drv_t *drv = driver_of(call, fn);
    if (!drv)
        return -1;
    auto op = drv->ops->*slot;
    if (!op)
        return 0;
    return op(drv, args...) & 0xFF;
}

} // namespace

extern "C" {

PYLOX_API int pylox_filter_enable(pylox_dev_t *dev, int filter_id, void *arg)
{
    return switch_filter<&pylox_drv_op_t::filter_enable>(dev, __func__, filter_id, arg);
}

PYLOX_API int pylox_filter_disable(pylox_dev_t *dev, int filter_id)
{
    return switch_filter<&pylox_drv_op_t::filter_disable>(dev, __func__, filter_id);
}

} // extern "C"
