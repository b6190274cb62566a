// The USB back end on a machine without a camera: nothing is listed, opens
// fail cleanly and leave the record closed, every slot refuses a closed record.
#include "support/log_capture.h"

#include "ll/usb/usb_priv.h"

#include <pylox/pylox_ll.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(UsbNoCamera, ListingFindsNothingAndZeroesTheRecords)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t recs[4];
    std::memset(static_cast<void *>(recs), 0xAB, sizeof recs);
    EXPECT_EQ(ll_op_usb.dev_list(recs, 4), 0);
    for (const auto &r : recs) {
        EXPECT_TRUE(r.priv == nullptr);
        EXPECT_TRUE(r.ops == nullptr);
        EXPECT_EQ(+r.located, 0);
    }
    EXPECT_TRUE(log.has("[usb_ll_dev_list] probe pylox device (max=4) in "));
    EXPECT_FALSE(log.has("PYLOX device (speed="));

    // The dispatcher asks no back end for max <= 0 and adds no file entries.
    std::memset(static_cast<void *>(recs), 0xAB, sizeof recs);
    EXPECT_EQ(pylox_ll_dev_list(recs, 0), 0);
    EXPECT_EQ(pylox_ll_dev_list(recs, -1), 0);
    EXPECT_EQ(recs[0].located, 0xAB);
    EXPECT_EQ(pylox_ll_dev_list(recs, 4), 0);
}

TEST(UsbNoCamera, OpenFailsAndLeavesTheRecordClosed)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev{};
    dev.kind = PYLOX_LL_KIND_USB;
    EXPECT_EQ(ll_op_usb.dev_open(&dev), nullptr);
    EXPECT_TRUE(dev.priv == nullptr);
    EXPECT_TRUE(dev.ops == nullptr);
    EXPECT_EQ(+dev.located, 0);
    EXPECT_TRUE(log.has("[_usb_ll_dev_open]  create usb context\n"));
    EXPECT_TRUE(log.has(" usb device found \n"));
    EXPECT_EQ(ll_op_usb.dev_open_by_fd(&dev, 7), nullptr);
    EXPECT_TRUE(dev.priv == nullptr);

    // A located record finds nothing at its bus and port either.
    dev.located = 1;
    dev.loc.usb.bus = 1;
    dev.loc.usb.port = 2;
    EXPECT_EQ(ll_op_usb.dev_open(&dev), nullptr);
    EXPECT_TRUE(dev.priv == nullptr);

    // "Any" falls through to the file back end, which has no file to replay.
    pylox_ll_dev_t any{};
    any.kind = PYLOX_LL_KIND_ANY;
    EXPECT_EQ(pylox_ll_dev_open(&any), nullptr);
    EXPECT_TRUE(any.priv == nullptr);

    // A replay record is not the USB back end's: it does not even look.
    pylox_ll_dev_t file{};
    file.kind = PYLOX_LL_KIND_FILE;
    const int opens = log.count("create usb context\n");
    EXPECT_EQ(ll_op_usb.dev_open(&file), nullptr);
    EXPECT_EQ(log.count("create usb context\n"), opens);
}

TEST(UsbNoCamera, ClosedRecordIsRefusedBySlots)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    pylox_ll_dev_t dev{};
    ll_op_usb.dev_close(&dev);
    EXPECT_EQ(log.count("[usb_ll_dev_close] device no need to closed!\n"), 1);
    EXPECT_TRUE(dev.priv == nullptr);
    dev.kind = PYLOX_LL_KIND_FILE; // not ours: close says nothing
    ll_op_usb.dev_close(&dev);
    EXPECT_EQ(log.count("device no need to closed!"), 1);
    dev.kind = PYLOX_LL_KIND_USB;

    uint8_t buf[8] = {};
    uint32_t regs[4] = {};
    pylox_ll_param_t items[2] = {};
    EXPECT_EQ(ll_op_usb.exe_cmd(&dev, 1, 0xC0, 3, buf, 8, 1000), 0);
    EXPECT_EQ(ll_op_usb.tx_data(&dev, buf, 8), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(ll_op_usb.cap_start(&dev, 0, nullptr, nullptr), 0);
    EXPECT_EQ(ll_op_usb.cap_stop(&dev), 0);
    ll_op_usb.cap_abort(&dev);
    EXPECT_EQ(ll_op_usb.dev_reset(&dev, 3), 0);
    EXPECT_EQ(ll_op_usb.reg_write(&dev, 1, 0, regs, 4), 0);
    EXPECT_EQ(ll_op_usb.reg_read(&dev, 1, 0, regs, 4), 0);
    EXPECT_EQ(ll_op_usb.reg_read(&dev, 1, 0, regs, 0), 0);
    EXPECT_EQ(ll_op_usb.param_set(&dev, items, 2), 0);
    EXPECT_EQ(ll_op_usb.param_get(&dev, items, 2), 0);
    EXPECT_TRUE(dev.priv == nullptr);
}

TEST(UsbNoCamera, DebugLevelMapsLibraryLevelsToLibusb)
{
    const int map[][2] = {{-1, 4}, {0, 4}, {1, 4}, {2, 3}, {3, 2}, {4, 1}, {5, 0}, {7, 0}};
    for (const auto &m : map) {
        pylox_ll_set_debug(m[0]);
        EXPECT_EQ(usbll::debug_level(), m[1]) << "level " << m[0];
    }
    pylox_log_cfg(TQ_LOG_WRN, TQ_LOG_DBG, 2);
    EXPECT_EQ(usbll::debug_level(), 3);
    pylox_ll_set_debug(5);
}

} // namespace
