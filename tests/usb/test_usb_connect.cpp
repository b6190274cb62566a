// Finding, opening, closing and resetting cameras on the virtual bus.
#include "support/vcam/usb_vcam_util.h"

#include <libusb-1.0/libusb.h>

using namespace usbtest;

namespace {

vcam::CameraConfig at(int bus, int port)
{
    vcam::CameraConfig c;
    c.bus = bus;
    c.port = port;
    return c;
}

// The (bus, port) pairs of the cameras in libusb's own device-list order.
std::vector<std::pair<int, int>> libusb_order()
{
    std::vector<std::pair<int, int>> out;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0)
        return out;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x111B &&
            d.idProduct == 0x1238)
            out.emplace_back(libusb_get_bus_number(list[i]), libusb_get_port_number(list[i]));
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return out;
}

TEST(UsbConnect, TwoCamerasListedInBusOrderSecondOpensByBusAndPort)
{
    auto a = vcam::Camera::create(at(1, 2));
    auto b = vcam::Camera::create(at(3, 4));
    pylox_test::log_capture log(TQ_LOG_TRC);
    const auto order = libusb_order();
    ASSERT_EQ(order.size(), 2u);

    pylox_ll_dev_t recs[3];
    ASSERT_EQ(pylox_ll_dev_list(recs, 3), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(+recs[i].kind, static_cast<uint32_t>(PYLOX_LL_KIND_USB));
        EXPECT_EQ(+recs[i].loc.usb.bus, order[i].first);
        EXPECT_EQ(+recs[i].loc.usb.port, order[i].second);
        EXPECT_EQ(+recs[i].loc.usb.speed, LIBUSB_SPEED_HIGH);
        EXPECT_EQ(+recs[i].located, 1);
        EXPECT_TRUE(recs[i].ops == &ll_op_usb);
        EXPECT_TRUE(recs[i].priv == nullptr);
    }
    EXPECT_TRUE(log.has("[usb_ll_dev_list] probe pylox device (max=3) in "));
    EXPECT_EQ(log.count("PYLOX device (speed=3) found @ "), 2);
    // A listing limited to one record stops at the first camera.
    pylox_ll_dev_t one;
    EXPECT_EQ(ll_op_usb.dev_list(&one, 1), 1);
    EXPECT_EQ(+one.loc.usb.bus, order[0].first);

    // The camera listed first goes away; the second record still finds its own.
    auto &first = recs[0].loc.usb.bus == a->bus() ? a : b;
    auto &second = recs[0].loc.usb.bus == a->bus() ? b : a;
    first->unplug();
    pylox_ll_dev_t &dev = recs[1];
    ASSERT_TRUE(pylox_ll_dev_open(&dev) == &dev);
    EXPECT_TRUE(log.has("open pylox device @ "));
    EXPECT_EQ(+dev.loc.usb.bus, second->bus());
    EXPECT_EQ(+dev.loc.usb.port, second->port());
    second->clear_control_log();
    pylox_ll_param_t item{};
    item.id = 3;
    EXPECT_EQ(pylox_ll_param_get(&dev, &item, 1), 1);
    EXPECT_FALSE(second->control_log().empty());
    pylox_ll_dev_close(&dev);
    EXPECT_TRUE(dev.priv == nullptr);
}

TEST(UsbConnect, AnyDeviceOpensTheFirstCameraAndRecordsWhereItIs)
{
    auto cam = vcam::Camera::create(at(2, 5));
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev{};
    dev.kind = PYLOX_LL_KIND_ANY;
    ASSERT_TRUE(pylox_ll_dev_open(&dev) == &dev);
    EXPECT_EQ(+dev.kind, static_cast<uint32_t>(PYLOX_LL_KIND_USB));
    EXPECT_EQ(+dev.located, 1);
    EXPECT_EQ(+dev.loc.usb.bus, 2);
    EXPECT_EQ(+dev.loc.usb.port, 5);
    EXPECT_EQ(+dev.loc.usb.addr, cam->address());
    EXPECT_EQ(+dev.loc.usb.speed, LIBUSB_SPEED_HIGH);
    EXPECT_TRUE(dev.ops == &ll_op_usb);
    EXPECT_TRUE(dev.priv != nullptr);
    EXPECT_TRUE(log.has("[_usb_ll_dev_open] found pylox device (speed=3) @ 005:002:"));
    EXPECT_FALSE(log.has("not in HS mode"));
    // The event thread runs until close.
    EXPECT_TRUE(wait_until(
        [&] { return std::atomic_ref<uint8_t>(usbll::priv_of(&dev)->running).load() == 1; }));
    EXPECT_TRUE(log.has("[_usb_ll_evt_thread] enter\n"));

    // Opening an open record again keeps the one device and its thread.
    EXPECT_TRUE(ll_op_usb.dev_open(&dev) == &dev);

    pylox_ll_dev_close(&dev);
    EXPECT_TRUE(dev.priv == nullptr);
    EXPECT_TRUE(log.has("[usb_ll_dev_close] stop evt thread...\n"));
    EXPECT_TRUE(log.has("[_ll_event_loop] Exit ll event loop...\n"));
    // A second close only warns.
    pylox_ll_dev_close(&dev);
    EXPECT_EQ(log.count("[usb_ll_dev_close] device no need to closed!\n"), 1);
    EXPECT_TRUE(dev.priv == nullptr);
    // The closed record opens again.
    ASSERT_TRUE(pylox_ll_dev_open(&dev) == &dev);
    pylox_ll_dev_close(&dev);
}

TEST(UsbConnect, FullSpeedCameraOpensWithAWarning)
{
    auto cfg = at(1, 1);
    cfg.full_speed = true;
    auto cam = vcam::Camera::create(cfg);
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    EXPECT_EQ(+dev.loc.usb.speed, LIBUSB_SPEED_FULL);
    EXPECT_EQ(
        log.count("[_usb_ll_dev_open] found pylox device not in HS mode (speed=2) @ 001:001:"), 1);
    pylox_ll_dev_close(&dev);
}

TEST(UsbConnect, OtherDevicesAreNotCameras)
{
    auto cfg = at(1, 1);
    cfg.pid = 0x1239;
    auto other = vcam::Camera::create(cfg);
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t recs[2];
    EXPECT_EQ(ll_op_usb.dev_list(recs, 2), 0);
    EXPECT_TRUE(log.has("111b:1239 @ 001:001:"));
    pylox_ll_dev_t dev;
    EXPECT_FALSE(open_any(dev));
    EXPECT_TRUE(dev.priv == nullptr);
}

TEST(UsbConnect, ResetOfTheUsbInterfaceReopensTheSameRecord)
{
    auto cam = vcam::Camera::create(at(1, 3));
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    const void *old_priv = dev.priv;
    const int old_addr = dev.loc.usb.addr;

    // Any other target is a command whose status is the result.
    EXPECT_EQ(pylox_ll_dev_reset(&dev, 0), 1);
    EXPECT_EQ(cam->last_reset_target(), 0u);
    EXPECT_TRUE(dev.priv == old_priv);

    // Target 3: the camera leaves the bus and comes back on the same port;
    // the result is false even so, and the record is open again.
    EXPECT_EQ(pylox_ll_dev_reset(&dev, 3), 0);
    EXPECT_EQ(cam->last_reset_target(), 3u);
    EXPECT_EQ(cam->reset_count(), 2u);
    EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if (timeout = 3000 ms) ...\n"));
    EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if end. \n"));
    EXPECT_FALSE(log.has("reopen device failed!"));
    EXPECT_TRUE(dev.priv == old_priv); // the state lives through the reset
    EXPECT_EQ(+dev.loc.usb.bus, 1);
    EXPECT_EQ(+dev.loc.usb.port, 3);
    EXPECT_NE(cam->address(), old_addr); // a new enumeration
    pylox_ll_param_t item{};
    item.id = 3;
    EXPECT_EQ(pylox_ll_param_get(&dev, &item, 1), 1);
    pylox_ll_dev_close(&dev);
}

TEST(UsbConnect, ResetWithACameraThatNeverReturnsLeavesTheRecordClosed)
{
    auto cfg = at(1, 3);
    cfg.replug_delay_ms = 60000;
    auto cam = vcam::Camera::create(cfg);
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev;
    ASSERT_TRUE(open_any(dev));
    EXPECT_EQ(pylox_ll_dev_reset(&dev, 3), 0);
    EXPECT_TRUE(log.has("[usb_ll_dev_reset] reopen device failed!\n"));
    // The state stays with the record until it is closed; calls are refused.
    EXPECT_EQ(pylox_ll_param_get(&dev, nullptr, 0), 0);
    EXPECT_TRUE(log.has("[usb_ll_param_get] camera did not come back after a reset: device "
                        "closed\n"));
    EXPECT_EQ(pylox_ll_cap_start(&dev, 0, nullptr, nullptr), 0);
    pylox_ll_dev_close(&dev);
    EXPECT_TRUE(dev.priv == nullptr);
}

} // namespace
