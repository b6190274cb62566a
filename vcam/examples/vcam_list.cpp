// Lists the USB devices libusb sees (bus, port, address, IDs, speed), as a
// small lsusb. With vcam/run it shows the virtual cameras:
//   VCAM_COUNT=2 vcam/run build/default/vcam/vcam_list
#include <libusb.h>

#include <cstdio>

int main()
{
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        printf("bus %03u port %u addr %03u %04x:%04x speed %d\n", libusb_get_bus_number(list[i]),
               libusb_get_port_number(list[i]), libusb_get_device_address(list[i]), d.idVendor,
               d.idProduct, libusb_get_device_speed(list[i]));
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return 0;
}
