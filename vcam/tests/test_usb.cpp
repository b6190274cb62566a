// USB behaviour seen through libusb: cancellation, timeouts, stalls, errors,
// disappearance, re-enumeration, the bulk-out sink and an idle event loop.
#include <cerrno>

#include "usb_host.h"

using namespace vtest;

namespace {

constexpr size_t kFrame = 320 * 240 * 8;

struct Rig {
    explicit Rig(vcam::CameraConfig c = {}) : cam(vcam::Camera::create(c))
    {
        host = std::make_unique<Host>();
        EXPECT_TRUE(host->open());
    }
    ~Rig()
    {
        host.reset();
        cam.reset();
    }
    std::shared_ptr<vcam::Camera> cam;
    std::unique_ptr<Host> host;
};

} // namespace

TEST(Usb, CancelledTransfersAreReapedOnceEach)
{
    Rig r;
    // Idle ring: every transfer is cancelled exactly once.
    r.host->start_ring();
    ASSERT_TRUE(wait_for([&] { return r.cam->urbs_in_flight() == 16; }));
    r.host->stop_ring();
    EXPECT_EQ(r.host->done_count(), 16u);
    EXPECT_EQ(r.host->count_status(LIBUSB_TRANSFER_CANCELLED), 16);
    EXPECT_EQ(r.cam->urbs_in_flight(), 0u);

    // While streaming: each transfer ends once more; the bytes of transfers
    // cut short by the cancellation are still in order.
    {
        std::lock_guard<std::mutex> lk(r.host->mu);
        r.host->done.clear();
        r.host->stream.clear();
    }
    r.host->start_ring();
    ASSERT_TRUE(r.host->cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > 3 * kFrame; }));
    r.host->stop_ring(); // cancels while the camera still sends
    ASSERT_TRUE(r.host->cmd(0xC2, 5, {0xC2}));
    std::vector<PacketInfo> pk;
    std::lock_guard<std::mutex> lk(r.host->mu);
    EXPECT_GE(r.host->done.size(), 16u);
    ASSERT_TRUE(parse_stream(r.host->stream, pk));
    for (size_t i = 0; i < pk.size(); ++i)
        EXPECT_EQ(pk[i].h.sidx, i);
}

TEST(Usb, PausedCameraMakesTransfersTimeOutThenResumes)
{
    Rig r;
    r.cam->fault_stop_sending(true);
    r.host->start_ring(4, Host::kLen, 200);
    ASSERT_TRUE(r.host->cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_TIMED_OUT) >= 8; }));
    EXPECT_EQ(r.host->stream_size(), 0u);
    r.cam->fault_stop_sending(false);
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > 2 * kFrame; }));
    r.host->stop_ring();
    std::vector<PacketInfo> pk;
    std::lock_guard<std::mutex> lk(r.host->mu);
    ASSERT_TRUE(parse_stream(r.host->stream, pk));
    ASSERT_GE(pk.size(), 2u);
    EXPECT_EQ(pk[0].h.sidx, 0);
}

TEST(Usb, StallUntilClearHaltThenStreamGoesOn)
{
    Rig r;
    r.host->on_error = [&](libusb_transfer *t) {
        if (t->status == LIBUSB_TRANSFER_STALL)
            libusb_clear_halt(t->dev_handle, 0x81);
    };
    r.host->start_ring();
    ASSERT_TRUE(r.host->cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > kFrame; }));
    r.cam->fault_stall_bulk(3);
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_STALL) == 3; }));
    size_t at = r.host->stream_size();
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > at + 2 * kFrame; }));
    EXPECT_EQ(r.cam->clear_halt_count(), 3u);
    r.host->stop_ring();
    std::vector<PacketInfo> pk;
    std::lock_guard<std::mutex> lk(r.host->mu);
    ASSERT_TRUE(parse_stream(r.host->stream, pk)); // no byte lost across the stalls
    for (size_t i = 0; i < pk.size(); ++i)
        EXPECT_EQ(pk[i].h.sidx, i);
}

TEST(Usb, HaltedEndpointSendsNothingUntilCleared)
{
    Rig r;
    r.host->resubmit_errors = true;
    r.host->start_ring(4, Host::kLen, 300);
    ASSERT_TRUE(r.host->cmd(0xC2, 4, {0, 0, 0, 0}));
    r.cam->fault_stall_bulk(1);
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_STALL) == 1; }));
    size_t at = r.host->stream_size();
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_TIMED_OUT) >= 2; }));
    EXPECT_EQ(r.host->stream_size(), at);
    EXPECT_EQ(libusb_clear_halt(r.host->h, 0x81), 0);
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > at + kFrame; }));
    r.host->stop_ring();
}

TEST(Usb, TransferErrorsComeOutAsLibusbStatuses)
{
    Rig r;
    r.host->start_ring(2);
    r.cam->fault_bulk_error(1, -EPROTO);
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_ERROR) == 1; }));
    r.cam->fault_bulk_error(1, -EOVERFLOW);
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_OVERFLOW) == 1; }));
    r.host->stop_ring();
}

TEST(Usb, UnplugWhileStreamingEndsEveryTransferWithNoDevice)
{
    vcam::CameraConfig c;
    c.bus = 3, c.port = 4;
    Rig r(c);
    const int addr = r.cam->address();
    r.host->start_ring();
    ASSERT_TRUE(r.host->cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return r.host->stream_size() > kFrame; }));
    // Transfers the camera already filled are reaped as completed, as the
    // kernel does; hold the stream so that all sixteen are waiting.
    r.cam->fault_stop_sending(true);
    ASSERT_TRUE(wait_for([&] { return r.cam->urbs_in_flight() == 16; }));
    size_t before = r.host->done_count();
    r.cam->unplug();
    EXPECT_FALSE(r.cam->plugged());
    ASSERT_TRUE(wait_for([&] { return r.host->live.load() == 0; }));
    EXPECT_EQ(r.host->count_status(LIBUSB_TRANSFER_NO_DEVICE), 16);
    EXPECT_EQ(r.host->done_count(), before + 16);
    uint8_t b[63];
    EXPECT_EQ(r.host->ctrl(0xA2, 0xB0, 0, b, 63), LIBUSB_ERROR_NO_DEVICE);
    {
        Host other; // a new scan does not find it
        EXPECT_FALSE(other.open());
    }
    r.cam->replug();
    EXPECT_TRUE(r.cam->plugged());
    EXPECT_NE(r.cam->address(), addr);
    Host again;
    ASSERT_TRUE(again.open(3, 4));
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(again.h)), r.cam->address());
    Status s;
    EXPECT_TRUE(again.status(s));
}

TEST(Usb, ResetOfTheUsbInterfaceReenumeratesOnTheSameBusAndPort)
{
    vcam::CameraConfig c;
    c.bus = 2, c.port = 7;
    c.replug_delay_ms = 100;
    Rig r(c);
    const int addr = r.cam->address();
    std::vector<uint8_t> target = {3, 0, 0, 0};
    ASSERT_EQ(r.host->ctrl(0x22, 0xC0, 0, target.data(), 4), 4);
    ASSERT_TRUE(wait_for([&] { return !r.cam->plugged(); }));
    ASSERT_TRUE(wait_for([&] { return r.cam->plugged(); }));
    EXPECT_EQ(r.cam->reset_count(), 1u);
    EXPECT_EQ(r.cam->last_reset_target(), 3u);
    Host again;
    ASSERT_TRUE(again.open(2, 7));
    EXPECT_NE(libusb_get_device_address(libusb_get_device(again.h)), addr);
    std::vector<uint8_t> v;
    EXPECT_TRUE(again.param_get(3, v));

    // Other targets are answered in place; above 8 is refused.
    target[0] = 0;
    EXPECT_TRUE(again.cmd(0xC0, 0, target));
    target[0] = 9;
    ASSERT_EQ(again.ctrl(0x22, 0xC0, 0, target.data(), 4), 4);
    EXPECT_FALSE(again.check(0xC0, 0));
    EXPECT_TRUE(r.cam->plugged());
}

TEST(Usb, RefusedStreamStartSendsNothing)
{
    Rig r;
    r.cam->fault_refuse_stream_start(true);
    r.host->start_ring(4, Host::kLen, 200);
    std::vector<uint8_t> arg = {0, 0, 0, 0};
    ASSERT_EQ(r.host->ctrl(0x22, 0xC2, 4, arg.data(), 4), 4);
    std::string text;
    EXPECT_FALSE(r.host->check(0xC2, 4, nullptr, &text));
    EXPECT_EQ(text, "stream start refused");
    EXPECT_FALSE(r.cam->streaming());
    ASSERT_TRUE(wait_for([&] { return r.host->count_status(LIBUSB_TRANSFER_TIMED_OUT) >= 4; }));
    EXPECT_EQ(r.host->stream_size(), 0u);
    r.host->stop_ring();
}

TEST(Usb, BulkOutSinkCountsBytes)
{
    Rig r;
    std::vector<uint8_t> data(70000, 0x5A);
    EXPECT_EQ(r.host->bulk_out(data.data(), 70000), 70000);
    EXPECT_EQ(r.host->bulk_out(data.data(), 6), 6);
    EXPECT_EQ(r.cam->bulk_out_bytes(), 70006u);
}

TEST(Usb, IdleEventLoopSleeps)
{
    Rig r;
    r.host->start_ring();
    ASSERT_TRUE(wait_for([&] { return r.cam->urbs_in_flight() == 16; }));
    uint64_t before = r.cam->usbfs_calls();
    // Nothing to reap: libusb's event thread must not keep asking. Wait on a
    // deadline and count what reached the camera meanwhile.
    auto end = Clock::now() + std::chrono::milliseconds(300);
    wait_for([&] { return Clock::now() > end; }, 1000);
    EXPECT_LT(r.cam->usbfs_calls() - before, 20u);
    r.host->stop_ring();
}

TEST(Usb, CameraDestroyedUnderAnOpenHandleLooksUnplugged)
{
    auto cam = vcam::Camera::create();
    Host host;
    ASSERT_TRUE(host.open());
    host.start_ring(4);
    ASSERT_TRUE(wait_for([&] { return cam->urbs_in_flight() == 4; }));
    cam.reset();
    ASSERT_TRUE(wait_for([&] { return host.live.load() == 0; }));
    EXPECT_EQ(host.count_status(LIBUSB_TRANSFER_NO_DEVICE), 4);
    uint8_t b[63];
    EXPECT_LT(host.ctrl(0xA2, 0xB0, 0, b, 63), 0);
}

TEST(Usb, CamerasAddedAndRemovedLaterReachALiveContext)
{
    auto first = vcam::Camera::create(); // the test bed exists before libusb_init
    Host host;
    auto cameras = [&] {
        libusb_device **l = nullptr;
        ssize_t n = libusb_get_device_list(host.ctx, &l);
        int c = 0;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            libusb_get_device_descriptor(l[i], &d);
            c += d.idVendor == 0x111B && d.idProduct == 0x1238;
        }
        libusb_free_device_list(l, 1);
        return c;
    };
    EXPECT_EQ(cameras(), 1);
    vcam::CameraConfig c;
    c.bus = 2, c.port = 3;
    auto second = vcam::Camera::create(c);
    EXPECT_TRUE(wait_for([&] { return cameras() == 2; }));
    second->unplug();
    EXPECT_TRUE(wait_for([&] { return cameras() == 1; }));
    second->replug();
    EXPECT_TRUE(wait_for([&] { return cameras() == 2; }));
    EXPECT_TRUE(host.open(2, 3));
}
