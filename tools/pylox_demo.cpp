// Demo: shows what the library sees without a camera attached.
#include <pylox/pylox.h>

#include <cstdio>

int main()
{
    tq_log_enable(0, TQ_LOG_WRN, nullptr);
    pylox_ll_init();
    pylox_ll_dev_t devs[8] = {};
    const int n = pylox_ll_dev_list(devs, 8);
    std::printf("cameras found: %d\n", n);
    for (int i = 0; i < n; ++i)
        std::printf("  bus %u port %u addr %u speed %u\n", devs[i].loc.usb.bus,
                    devs[i].loc.usb.port, devs[i].loc.usb.addr, devs[i].loc.usb.speed);
    pylox_ll_uninit();
    return 0;
}
