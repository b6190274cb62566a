// Exported low-level dispatchers: each forwards to the operation table of the
// device; the global calls and the two open calls walk both back ends.
#include "core/log.h"
#include "ll/usb/usb_hotplug.h"

#include <pylox/pylox_ll.h>

namespace {

const pylox_ll_op_t *const k_backends[2] = {&ll_op_usb, &ll_op_fil};

} // namespace

extern "C" {

PYLOX_API int pylox_ll_init(void)
{
    for (int i = 0; i < 2; ++i) {
        if (!k_backends[i]->init()) {
            LOG_ERR("[%s] ll_init failed: ll[%d]\n", i);
            return 0;
        }
    }
    return 1;
}

PYLOX_API void pylox_ll_uninit(void)
{
    usbll::hotplug_stop();
    for (const pylox_ll_op_t *ops : k_backends)
        ops->uninit();
}

PYLOX_API void pylox_ll_set_debug(int level)
{
    for (const pylox_ll_op_t *ops : k_backends)
        ops->set_debug(level);
}

PYLOX_API int pylox_ll_dev_list(pylox_ll_dev_t *entries, int max)
{
    if (!entries || max <= 0)
        return 0;
    int n = ll_op_usb.dev_list(entries, max);
    if (n < 0)
        return n;
    if (n < max) {
        const int m = ll_op_fil.dev_list(entries + n, max - n);
        if (m > 0)
            n += m;
    }
    return n;
}

PYLOX_API pylox_ll_dev_t *pylox_ll_dev_open(pylox_ll_dev_t *dev)
{
    if (!dev)
        return nullptr;
    if (dev->ops)
        return dev->ops->dev_open(dev);
    pylox_ll_dev_t *r = ll_op_usb.dev_open(dev);
    return r ? r : ll_op_fil.dev_open(dev);
}

PYLOX_API pylox_ll_dev_t *pylox_ll_dev_open_by_fd(pylox_ll_dev_t *dev, int fd)
{
    if (!dev)
        return nullptr;
    if (dev->ops)
        return dev->ops->dev_open_by_fd(dev, fd);
    pylox_ll_dev_t *r = ll_op_usb.dev_open_by_fd(dev, fd);
    return r ? r : ll_op_fil.dev_open_by_fd(dev, fd);
}

PYLOX_API void pylox_ll_dev_close(pylox_ll_dev_t *dev)
{
    if (dev && dev->ops)
        dev->ops->dev_close(dev);
}

PYLOX_API int pylox_ll_exe_cmd(pylox_ll_dev_t *dev, int write, int type, int value, void *buf,
                               int len, int timeout_ms)
{
    if (!dev || !dev->ops)
        return 0;
    return dev->ops->exe_cmd(dev, static_cast<uint8_t>(write), static_cast<uint8_t>(type),
                             static_cast<uint16_t>(value), buf, len, timeout_ms);
}

PYLOX_API int pylox_ll_tx_data(pylox_ll_dev_t *dev, const void *buf, int len)
{
    return (dev && dev->ops) ? dev->ops->tx_data(dev, buf, len) : 0;
}

PYLOX_API void pylox_ll_cap_abort(pylox_ll_dev_t *dev)
{
    if (dev && dev->ops)
        dev->ops->cap_abort(dev);
}

PYLOX_API int pylox_ll_cap_start(pylox_ll_dev_t *dev, uint32_t arg, pylox_ll_cap_cb_t cb,
                                 void *user)
{
    return (dev && dev->ops) ? dev->ops->cap_start(dev, arg, cb, user) : 0;
}

PYLOX_API int pylox_ll_cap_stop(pylox_ll_dev_t *dev)
{
    return (dev && dev->ops) ? dev->ops->cap_stop(dev) : 0;
}

PYLOX_API int pylox_ll_dev_reset(pylox_ll_dev_t *dev, int target)
{
    return (dev && dev->ops) ? dev->ops->dev_reset(dev, static_cast<uint8_t>(target)) : 0;
}

PYLOX_API int pylox_ll_reg_write(pylox_ll_dev_t *dev, int target, uint32_t reg_base,
                                 const uint32_t *vals, int count)
{
    if (!dev || !dev->ops)
        return 0;
    return dev->ops->reg_write(dev, static_cast<uint8_t>(target), reg_base, vals,
                               static_cast<uint16_t>(count));
}

PYLOX_API int pylox_ll_reg_read(pylox_ll_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                int count)
{
    if (!dev || !dev->ops)
        return 0;
    return dev->ops->reg_read(dev, static_cast<uint8_t>(target), reg_base, vals,
                              static_cast<uint16_t>(count));
}

PYLOX_API int pylox_ll_param_set(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    return (dev && dev->ops) ? dev->ops->param_set(dev, items, count) : 0;
}

PYLOX_API int pylox_ll_param_get(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    return (dev && dev->ops) ? dev->ops->param_get(dev, items, count) : 0;
}

// Only the USB back end has cameras that come and go.
PYLOX_API int pylox_ll_hotplug_register(pylox_ll_hotplug_cb_t cb, void *user)
{
    return usbll::hotplug_register(cb, user);
}

PYLOX_API int pylox_ll_hotplug_native(void)
{
    return usbll::hotplug_native();
}

} // extern "C"
