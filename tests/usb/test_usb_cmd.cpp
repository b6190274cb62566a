// The command exchange with the virtual camera: chunked register and
// parameter transfers, the status poll and its failures, host-side timeouts,
// bulk-out blocks.
#include "support/vcam/usb_vcam_util.h"

#include <libusb-1.0/libusb.h>

#include <cstring>

using namespace usbtest;

namespace {

class UsbCmd : public ::testing::Test {
protected:
    void SetUp() override
    {
        cam_ = vcam::Camera::create();
        ASSERT_TRUE(open_any(dev_));
        cam_->clear_control_log();
    }
    void TearDown() override { pylox_ll_dev_close(&dev_); }

    // Status polls the camera answered.
    size_t polls() const { return requests(*cam_, 0xB0, 0xA2).size(); }

    std::shared_ptr<vcam::Camera> cam_;
    pylox_ll_dev_t dev_{};
};

TEST_F(UsbCmd, RegisterReadRunsInChunksOfSixteen)
{
    for (uint32_t i = 0; i < 40; ++i)
        cam_->set_reg(1, 100 + i, 0xA5000000u + i * 0x01010101u);
    uint32_t vals[41];
    vals[40] = 0xDEADBEEF;
    ASSERT_EQ(pylox_ll_reg_read(&dev_, 1, 100, vals, 40), 1);
    for (uint32_t i = 0; i < 40; ++i)
        EXPECT_EQ(vals[i], 0xA5000000u + i * 0x01010101u) << i;
    EXPECT_EQ(vals[40], 0xDEADBEEFu); // nothing past the count

    const auto heads = requests(*cam_, 0xC2, 0x22);
    const auto reads = requests(*cam_, 0xC2, 0xA2);
    ASSERT_EQ(heads.size(), 3u);
    ASSERT_EQ(reads.size(), 3u);
    const uint32_t first[3] = {100, 116, 132};
    const uint16_t bytes[3] = {64, 64, 32};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(heads[i].wValue, 1);
        ASSERT_EQ(heads[i].data.size(), 7u);
        EXPECT_EQ(heads[i].data[0], 1);
        EXPECT_EQ(le32(&heads[i].data[1]), first[i]);
        EXPECT_EQ(heads[i].data[5] | heads[i].data[6] << 8, bytes[i]);
        EXPECT_EQ(reads[i].wLength, bytes[i]);
    }
    EXPECT_EQ(polls(), 6u); // each half of each chunk confirmed
}

TEST_F(UsbCmd, RegisterWriteSendsOneBlockAndSplitsPastTheControlLimit)
{
    uint32_t vals[20];
    for (uint32_t i = 0; i < 20; ++i)
        vals[i] = 0x100 + i;
    ASSERT_EQ(pylox_ll_reg_write(&dev_, 1, 10, vals, 20), 1);
    for (uint32_t i = 0; i < 20; ++i)
        EXPECT_EQ(cam_->reg(1, 10 + i), 0x100 + i);
    auto blocks = requests(*cam_, 0xC2, 0x22);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].wLength, 7 + 80);

    // A longer write goes out in blocks of 1,022 registers, the most one
    // control transfer carries here; the camera refuses the first block, as
    // it holds 256 registers a space, and the rest is not sent.
    std::vector<uint32_t> big(2000, 7);
    cam_->clear_control_log();
    EXPECT_EQ(pylox_ll_reg_write(&dev_, 2, 0, big.data(), 2000), 0);
    blocks = requests(*cam_, 0xC2, 0x22);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].wLength, 7 + 4 * 1022);
    EXPECT_EQ(blocks[0].data[5] | blocks[0].data[6] << 8, 4 * 1022);

    // A block that does fit in one transfer but overflows the camera's space.
    cam_->clear_control_log();
    EXPECT_EQ(pylox_ll_reg_write(&dev_, 2, 250, big.data(), 10), 0);
    EXPECT_EQ(requests(*cam_, 0xC2, 0x22).size(), 1u);
}

TEST_F(UsbCmd, ParameterGetRunsInBatchesOfThree)
{
    pylox_ll_param_t items[7];
    std::memset(items, 0xEE, sizeof items);
    for (int i = 0; i < 7; ++i)
        items[i].id = static_cast<uint8_t>(i);
    ASSERT_EQ(pylox_ll_param_get(&dev_, items, 7), 1);
    const auto outs = requests(*cam_, 0xC0, 0x22);
    const auto ins = requests(*cam_, 0xC0, 0xA2);
    ASSERT_EQ(outs.size(), 3u);
    ASSERT_EQ(ins.size(), 3u);
    const uint16_t lens[3] = {60, 60, 20};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(outs[i].wValue, 4);
        EXPECT_EQ(outs[i].wLength, lens[i]);
        EXPECT_EQ(ins[i].wLength, lens[i]);
        // The request carries the IDs with cleared values.
        for (size_t k = 0; k < outs[i].data.size(); k += 20) {
            EXPECT_EQ(outs[i].data[k], i * 3 + k / 20);
            for (size_t j = 1; j < 20; ++j)
                EXPECT_EQ(outs[i].data[k + j], 0) << "batch " << i << " byte " << k + j;
        }
    }
    for (int i = 0; i < 7; ++i) {
        std::vector<uint8_t> v;
        EXPECT_EQ(items[i].id, i);
        if (cam_->param(static_cast<uint8_t>(i), v)) {
            EXPECT_LE(items[i].len, PYLOX_LL_PARAM_VAL_MAX);
            EXPECT_EQ(std::memcmp(items[i].val, v.data(), std::min<size_t>(v.size(), 18)), 0)
                << "param " << i;
        }
    }

    // A set carries every item in one block (frame rate and integration time).
    cam_->clear_control_log();
    pylox_ll_param_t set[2] = {};
    set[0].id = 12;
    set[0].len = 4;
    set[0].val[0] = 10;
    set[1].id = 13;
    set[1].len = 2;
    set[1].val[0] = 0xF4;
    set[1].val[1] = 0x01;
    ASSERT_EQ(pylox_ll_param_set(&dev_, set, 2), 1);
    const auto sets = requests(*cam_, 0xC0, 0x22);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].wValue, 3);
    EXPECT_EQ(sets[0].wLength, 40);
    std::vector<uint8_t> v;
    ASSERT_TRUE(cam_->param(13, v));
    EXPECT_EQ(v[0] | v[1] << 8, 500);
}

TEST_F(UsbCmd, BusyAnswersArePolledAgainUntilDone)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->fault_busy(2);
    uint8_t arg[4] = {0, 0, 0, 0};
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 1);
    EXPECT_EQ(polls(), 3u);

    // A camera that stays busy is given up after a bounded time.
    cam_->fault_busy(1000000);
    const auto t0 = clk::now();
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 0);
    EXPECT_LT(ms_since(t0), 4000);
    EXPECT_TRUE(log.has("[usb_ll_check_last_cmd] camera still busy after "));
    cam_->fault_busy(0);
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 1);
}

TEST_F(UsbCmd, FailedStatusLogsTheCamerasText)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->fault_fail_next("sensor not ready");
    pylox_ll_param_t item{};
    item.id = 12;
    item.len = 4;
    item.val[0] = 5;
    EXPECT_EQ(pylox_ll_param_set(&dev_, &item, 1), 0);
    EXPECT_TRUE(log.has("[usb_ll_check_last_cmd] sensor not ready\n"));
    // The device stays open and the next command goes through.
    EXPECT_EQ(pylox_ll_param_get(&dev_, &item, 1), 1);
}

TEST_F(UsbCmd, EchoOfAnotherCommandFailsTheRead)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->fault_echo_mismatch(1);
    uint32_t vals[4];
    EXPECT_EQ(pylox_ll_reg_read(&dev_, 1, 0, vals, 4), 0);
    EXPECT_TRUE(log.has("is not as expect(t=194,v=1)\r\n"));
    EXPECT_TRUE(log.has("[usb_ll_reg_read] write phase failed\n"));
    EXPECT_EQ(pylox_ll_reg_read(&dev_, 1, 0, vals, 4), 1);
}

TEST_F(UsbCmd, ShortAnswerFailsTheExchange)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    cam_->fault_short_answer(1);
    uint8_t req[20] = {3};
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 0, 0xC0, 4, req, 20, 1000), 0);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: "));
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 0, 0xC0, 4, req, 20, 1000), 1);
    EXPECT_EQ(req[0], 3);
}

TEST_F(UsbCmd, UnansweredCommandIsCancelledAfterOneSecond)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    uint8_t arg[4] = {1, 0, 0, 0};
    // The host cancels after 1000 ms whatever the transfer's own timeout.
    cam_->fault_hang_control(1, 0xC0);
    auto t0 = clk::now();
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 5000), 0);
    int64_t took = ms_since(t0);
    EXPECT_GE(took, 1000);
    EXPECT_LE(took, 2100);
    EXPECT_EQ(log.count("[usb_ll_exe_cmd] contrl trans timeout , cancel it\n"), 1);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_IO\n"));

    // A shorter transfer timeout ends it first, as timed out.
    cam_->fault_hang_control(1, 0xC0);
    t0 = clk::now();
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 300), 0);
    took = ms_since(t0);
    EXPECT_LT(took, 1000);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT\n"));
    EXPECT_EQ(log.count("contrl trans timeout"), 1);

    // Nothing is left behind: the next command works.
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 1);
}

TEST_F(UsbCmd, CancelThatNeverCompletesIsGivenUpAndReleasedLater)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    auto orphans = [this] {
        auto *p = usbll::priv_of(&dev_);
        std::lock_guard<std::mutex> g(p->orphan_mtx);
        return p->n_orphans;
    };
    uint8_t arg[4] = {2, 0, 0, 0};
    cam_->fault_hold_discarded(true);
    cam_->fault_hang_control(1, 0xC0);
    auto t0 = clk::now();
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 5000), 0);
    EXPECT_GE(ms_since(t0), 2000);
    EXPECT_LT(ms_since(t0), 2600);
    EXPECT_EQ(log.count("[usb_ll_exe_cmd] contrl trans timeout , cancel it\n"), 1);
    EXPECT_EQ(log.count("[usb_ll_exe_cmd] control transfer timeout !\n"), 1);
    // libusb still holds the transfer; the device goes on working meanwhile.
    EXPECT_EQ(orphans(), 1);
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 1);
    // Its late completion releases it.
    cam_->release_hung();
    EXPECT_TRUE(wait_until([&] { return orphans() == 0; }));

    // One still pending at close is reaped or detached there, then freed.
    cam_->fault_hang_control(1, 0xC0);
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 5000), 0);
    EXPECT_EQ(orphans(), 1);
    pylox_ll_dev_close(&dev_);
    EXPECT_TRUE(dev_.priv == nullptr);
    EXPECT_TRUE(log.has("[usb_ll_dev_close] 1 transfers still pending at close\n"));
}

TEST_F(UsbCmd, CallerBuffersAreCheckedAndNeverOverrun)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    uint8_t buf[16] = {};
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 3, buf, -1, 1000), 0);
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 3, nullptr, 16, 1000), 0);
    std::vector<uint8_t> huge(4097);
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 3, huge.data(), 4097, 1000), 0);
    EXPECT_EQ(log.count("bad command buffer"), 3);
    EXPECT_EQ(pylox_ll_param_get(&dev_, nullptr, 2), 0);
    EXPECT_EQ(pylox_ll_param_set(&dev_, nullptr, 2), 0);
    EXPECT_EQ(pylox_ll_reg_read(&dev_, 1, 0, nullptr, 2), 0);
    EXPECT_EQ(pylox_ll_tx_data(&dev_, nullptr, 5), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_TRUE(cam_->control_log().empty());
}

TEST_F(UsbCmd, BulkOutBlockIsSentWhole)
{
    pylox_test::log_capture log(TQ_LOG_TRC);
    std::vector<uint8_t> block(65536 + 6);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(pylox_ll_tx_data(&dev_, block.data(), static_cast<int>(block.size())),
              static_cast<int>(block.size()));
    EXPECT_EQ(cam_->bulk_out_bytes(), block.size());
    EXPECT_TRUE(log.has("[usb_ll_tx_data] trans[0] issue: txlen=65542\n"));
}

TEST_F(UsbCmd, CommandsFailOnceTheCameraIsGone)
{
    cam_->unplug();
    uint8_t arg[4] = {};
    const auto t0 = clk::now();
    EXPECT_EQ(pylox_ll_exe_cmd(&dev_, 1, 0xC0, 0, arg, 4, 1000), 0);
    EXPECT_LT(ms_since(t0), 2100);
    EXPECT_LT(pylox_ll_tx_data(&dev_, arg, 4), 0);
}

} // namespace
