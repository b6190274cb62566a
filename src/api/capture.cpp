// Exported capture control: the frame ring's size, callbacks, start and stop.
#include "api/entry.h"
#include "capture/device.h"
#include "core/log.h"

#include <pylox/pylox_api.h>

extern "C" {

PYLOX_API int pylox_cap_set_frame_buffer(pylox_dev_t *dev, void *, int size)
{
    pylox::entry call(dev, __func__, TQ_LOG_ERR,
                      "[%s]  Set frame buffer is not allowed when device is not open or is "
                      "capturing\n");
    return call ? pylox::cap_set_frame_buffer(call.dev(), size) : 0;
}

PYLOX_API int pylox_cap_get_frame_buffer(pylox_dev_t *dev, void **buffer, int *size)
{
    pylox::entry call(dev, __func__, pylox::k_silent);
    if (buffer)
        *buffer = nullptr;
    if (size)
        *size = call ? pylox::cap_max_frames(call.dev()) * PYLOX_CAP_FRAME_UNIT : 0;
    return 1;
}

PYLOX_API int pylox_cap_set_callback_on_frame_ready(pylox_dev_t *dev, pylox_frame_ready_cb_t cb)
{
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    LOG_DBG("[%s] set on_cap_frdy to %p\n", reinterpret_cast<void *>(cb));
    pylox::store(call.ctx()->on_frame_ready, cb);
    return 1;
}

PYLOX_API int pylox_cap_set_callback_on_error(pylox_dev_t *dev, pylox_error_cb_t cb)
{
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    LOG_DBG("[%s] set on_cap_err to %p\n", reinterpret_cast<void *>(cb));
    pylox::store(call.ctx()->on_error, cb);
    return 1;
}

PYLOX_API int pylox_cap_is_ongoing(pylox_dev_t *dev)
{
    pylox::entry call(dev, __func__, pylox::k_silent);
    return call ? pylox::load(call.ctx()->is_capturing) : 0;
}

PYLOX_API int pylox_cap_start(pylox_dev_t *dev)
{
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    if (!call.ctx()->ll.priv) {
        LOG_ERR(pylox::k_no_device);
        return 0;
    }
    return pylox::cap_start(dev, call.dev());
}

PYLOX_API int pylox_cap_stop(pylox_dev_t *dev)
{
    LOG_DBG("[%s] Enter\n");
    pylox::entry call(dev, __func__);
    return call ? pylox::cap_stop(call.dev()) : 0;
}

} // extern "C"
