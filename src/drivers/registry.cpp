// Driver registry: the middle field of a device's product text names its
// sensor family, and the family picks the driver table.
#include "core/log.h"

#include <pylox/pylox_drv.h>

#include <cstdio>
#include <cstring>

namespace {

// Searched in order; ended by an all-zero row.
pylox_drv_t g_registry[] = {
    {"TI OP8241 chip driver", "T0", &g_pylox_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_pylox_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_pylox_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_pylox_driver_op_epc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

uint16_t version_word(const pylox_dev_t *dev, int i)
{
    return static_cast<uint16_t>(dev->version[2 * i] | (dev->version[2 * i + 1] << 8));
}

} // namespace

extern "C" PYLOX_API pylox_drv_t *pylox_drv_find(pylox_dev_t *dev)
{
    if (!dev)
        return nullptr;
    // The handle's text need not be terminated: work on a bounded copy.
    char product[sizeof dev->product + 1];
    std::memcpy(product, dev->product, sizeof dev->product);
    product[sizeof dev->product] = 0;

    char f0[17], f1[17], f2[17];
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", f0, f1, f2) < 3)
        return nullptr;
    for (pylox_drv_t *row = g_registry; row->ops; ++row) {
        if (std::strcmp(f1, row->key) != 0)
            continue;
        LOG_DBG("[%s]  find driver: %s (device=%s [SW=%u,BT=%u,HW=%u])\n", row->name, product,
                version_word(dev, 1), version_word(dev, 2), version_word(dev, 0));
        return row;
    }
    return nullptr;
}
