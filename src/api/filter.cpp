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

} // namespace

extern "C" {

PYLOX_API int pylox_filter_enable(pylox_dev_t *dev, int filter_id, void *arg)
{
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    pylox_drv_t *drv = driver_of(call, __func__);
    if (!drv)
        return -1;
    if (!drv->ops->filter_enable)
        return 0;
    return drv->ops->filter_enable(drv, filter_id, arg) & 0xFF;
}

PYLOX_API int pylox_filter_disable(pylox_dev_t *dev, int filter_id)
{
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    pylox_drv_t *drv = driver_of(call, __func__);
    if (!drv)
        return -1;
    if (!drv->ops->filter_disable)
        return 0;
    return drv->ops->filter_disable(drv, filter_id) & 0xFF;
}

} // extern "C"
