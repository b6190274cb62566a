// Enumeration, the command protocol and streaming, through plain libusb.
#include <cmath>

#include "usb_host.h"

using namespace vtest;

TEST(Enumeration, DescriptorsAndLocation)
{
    vcam::CameraConfig a, b;
    a.bus = 1, a.port = 3;
    b.bus = 2, b.port = 5;
    b.full_speed = true;
    auto ca = vcam::Camera::create(a);
    auto cb = vcam::Camera::create(b);
    Host host;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(host.ctx, &list);
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        if (d.idVendor != 0x111B || d.idProduct != 0x1238)
            continue;
        ++found;
        int bus = libusb_get_bus_number(list[i]);
        const auto &cam = bus == 1 ? ca : cb;
        EXPECT_EQ(libusb_get_port_number(list[i]), cam->port());
        EXPECT_EQ(libusb_get_device_address(list[i]), cam->address());
        EXPECT_EQ(libusb_get_device_speed(list[i]),
                  bus == 1 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL);
        EXPECT_EQ(d.bNumConfigurations, 1);
        libusb_config_descriptor *cfg = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(list[i], &cfg), 0);
        EXPECT_EQ(cfg->bConfigurationValue, 1);
        ASSERT_EQ(cfg->bNumInterfaces, 1);
        const auto &alt = cfg->interface[0].altsetting[0];
        ASSERT_EQ(alt.bNumEndpoints, 2);
        EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x01);
        EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, bus == 1 ? 512 : 64);
        libusb_free_config_descriptor(cfg);
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(found, 2);

    ASSERT_TRUE(host.open(2, 5));
    // String descriptor 2 (GET_DESCRIPTOR): the product text in UTF-16.
    uint8_t sd[64] = {};
    int sn = host.ctrl(0x80, 6, 0x0302, sd, sizeof sd);
    ASSERT_EQ(sn, 2 + 2 * 13);
    std::string prod;
    for (int i = 2; i < sn; i += 2)
        prod += static_cast<char>(sd[i]);
    EXPECT_EQ(prod, "PYLOX-E2-VCAM");
    // Interface 1 does not exist (with automatic driver detaching libusb
    // claims through disconnect-and-claim, which the kernel answers EINVAL).
    EXPECT_EQ(libusb_claim_interface(host.h, 1), LIBUSB_ERROR_INVALID_PARAM);
    libusb_set_auto_detach_kernel_driver(host.h, 0);
    EXPECT_EQ(libusb_claim_interface(host.h, 1), LIBUSB_ERROR_NOT_FOUND);
}

class Cmd : public ::testing::Test {
protected:
    void SetUp() override
    {
        cam = vcam::Camera::create();
        host = std::make_unique<Host>();
        ASSERT_TRUE(host->open());
    }
    void TearDown() override
    {
        host.reset();
        cam.reset();
    }
    std::shared_ptr<vcam::Camera> cam;
    std::unique_ptr<Host> host;
};

TEST_F(Cmd, ParametersAndRegisters)
{
    std::vector<uint8_t> v;
    uint8_t len = 0;
    ASSERT_TRUE(host->param_get(3, v, &len));
    EXPECT_EQ(std::string(v.begin(), v.begin() + len), "PYLOX-E2-VCAM");
    ASSERT_TRUE(host->param_get(6, v, &len));
    EXPECT_EQ(v[2] | (v[3] << 8), 140); // software version word
    ASSERT_TRUE(host->param_get(200, v, &len));
    EXPECT_EQ(len, 0);
    EXPECT_EQ(v, std::vector<uint8_t>(18, 0));

    // Three items in one read, IDs kept in order.
    std::vector<uint8_t> items(60, 0);
    items[0] = 1, items[20] = 12, items[40] = 13;
    ASSERT_TRUE(host->read_cmd(0xC0, 4, items));
    EXPECT_EQ(items[0], 1);
    EXPECT_EQ(items[1], 4);
    uint32_t f =
        items[2] | (items[3] << 8) | (items[4] << 16) | (static_cast<uint32_t>(items[5]) << 24);
    EXPECT_EQ(f, 12000000u);
    EXPECT_EQ(items[40], 13);

    ASSERT_TRUE(host->param_set(1, {0x00, 0x2D, 0x31, 0x01})); // 20 MHz
    EXPECT_EQ(cam->mod_freq(), 20000000u);
    EXPECT_EQ(cam->truth().range_mm, 7494u);
    // A read-only parameter is refused with a text.
    std::string text;
    std::vector<uint8_t> item(20, 0);
    item[0] = 3;
    ASSERT_EQ(host->ctrl(0x22, 0xC0, 3, item.data(), 20), 20);
    EXPECT_FALSE(host->check(0xC0, 3, nullptr, &text));
    EXPECT_EQ(text, "parameter is read-only");

    // Registers of space 1: write three, read 20 back in one go.
    std::vector<uint8_t> wr = {1, 0x71, 0, 0, 0, 12, 0, 7, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0};
    ASSERT_TRUE(host->cmd(0xC2, 0, wr));
    EXPECT_EQ(cam->reg(1, 0x72), 8u);
    std::vector<uint8_t> rd = {1, 0x70, 0, 0, 0, 80, 0};
    ASSERT_TRUE(host->cmd(0xC2, 1, rd));
    std::vector<uint8_t> regs(80);
    ASSERT_EQ(host->ctrl(0xA2, 0xC2, 1, regs.data(), 80), 80);
    ASSERT_TRUE(host->check(0xC2, 1));
    EXPECT_EQ(regs[4], 7);
    EXPECT_EQ(regs[12], 9);
    EXPECT_EQ(regs[0] | (regs[1] << 8) | (regs[2] << 16), (1 << 16) | 0x70);
    // Beyond register 255 is refused.
    std::vector<uint8_t> bad = {1, 0xF8, 0, 0, 0, 64, 0};
    ASSERT_EQ(host->ctrl(0x22, 0xC2, 1, bad.data(), 7), 7);
    EXPECT_FALSE(host->check(0xC2, 1));

    // The camera recorded every exchange, status polls included.
    auto log = cam->control_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().bRequest, 0xB0);
    EXPECT_EQ(log.back().wLength, 63);
}

TEST_F(Cmd, BusyFailureEchoShortAndHang)
{
    std::vector<uint8_t> arg = {0xC2};
    cam->fault_busy(2);
    ASSERT_EQ(host->ctrl(0x22, 0xC2, 5, arg.data(), 1), 1);
    int polls = 0;
    EXPECT_TRUE(host->check(0xC2, 5, &polls));
    EXPECT_EQ(polls, 3);

    cam->fault_fail_next("sensor not ready");
    std::string text;
    ASSERT_EQ(host->ctrl(0x22, 0xC2, 5, arg.data(), 1), 1);
    EXPECT_FALSE(host->check(0xC2, 5, nullptr, &text));
    EXPECT_EQ(text, "sensor not ready");

    cam->fault_echo_mismatch(1);
    ASSERT_EQ(host->ctrl(0x22, 0xC2, 5, arg.data(), 1), 1);
    Status s;
    ASSERT_TRUE(host->status(s));
    EXPECT_EQ(s.type, 0xC2);
    EXPECT_EQ(s.value, 6);
    ASSERT_TRUE(host->status(s));
    EXPECT_EQ(s.value, 5);

    cam->fault_short_answer(1);
    uint8_t b[63];
    EXPECT_EQ(host->ctrl(0xA2, 0xB0, 0, b, 63), 62);

    // A hanging exchange ends with libusb's own timeout, and the camera
    // recorded it as not completed.
    cam->fault_hang_control(1, 0xB0);
    auto t0 = Clock::now();
    EXPECT_EQ(host->ctrl(0xA2, 0xB0, 0, b, 63, 300), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(290));
    auto log = cam->control_log();
    EXPECT_FALSE(log.back().completed);
    EXPECT_EQ(host->ctrl(0xA2, 0xB0, 0, b, 63), 63);
}

// --- streaming

namespace {

// Phase of a pixel from its four samples, in units of 32768 per period.
double phase_of(int d0, int d1, int d2, int d3)
{
    double p = std::atan2(static_cast<double>(d1 - d3), static_cast<double>(d0 - d2));
    if (p < 0)
        p += 2 * M_PI;
    return p * 32768.0 / (2 * M_PI);
}

} // namespace

TEST(Stream, SixteenTransfersContinuousFramesDecodeToScene)
{
    vcam::CameraConfig c;
    c.noise = 0;
    auto cam = vcam::Camera::create(c);
    cam->set_scene(vcam::Scene::box(2500, 1200));
    Host host;
    ASSERT_TRUE(host.open());
    host.start_ring();
    EXPECT_TRUE(wait_for([&] { return cam->urbs_in_flight() == 16; }));
    ASSERT_TRUE(host.cmd(0xC2, 4, {7, 0, 0, 0}));
    EXPECT_EQ(cam->capture_arg(), 7u);
    const size_t frame = 320 * 240 * 8;
    ASSERT_TRUE(wait_for([&] { return host.stream_size() > 4 * (frame + 36); }));
    ASSERT_TRUE(host.cmd(0xC2, 5, {0xC2}));
    host.stop_ring();
    EXPECT_FALSE(cam->streaming());

    std::vector<PacketInfo> pk;
    std::vector<uint8_t> s;
    {
        std::lock_guard<std::mutex> lk(host.mu);
        s = host.stream;
        // Full transfers, and each frame's last transfer ends early with the
        // short packet that ends the frame's write.
        for (auto &d : host.done)
            EXPECT_TRUE(d.status == LIBUSB_TRANSFER_COMPLETED ||
                        d.status == LIBUSB_TRANSFER_CANCELLED);
    }
    ASSERT_TRUE(parse_stream(s, pk));
    ASSERT_GE(pk.size(), 4u);
    for (size_t i = 0; i < pk.size(); ++i) {
        EXPECT_EQ(pk[i].h.sidx, i);
        EXPECT_EQ(pk[i].h.fridx, i);
        EXPECT_EQ(pk[i].h.len, frame);
        EXPECT_EQ(pk[i].h.frlen, frame);
        EXPECT_EQ(pk[i].h.frfmt, 2);
        EXPECT_EQ(pk[i].h.frame_flags, 1);
        EXPECT_EQ(pk[i].h.width, 320);
        EXPECT_EQ(pk[i].h.height, 240);
        EXPECT_EQ(pk[i].h.temp_cb, 350);
        EXPECT_EQ(pk[i].h.temp_ib, 300);
    }
    EXPECT_EQ(cam->bytes_streamed() >= s.size(), true);

    // Decode frame 1 by hand: rows come from the middle outwards.
    vcam::Truth t = cam->truth();
    const uint8_t *f = s.data() + pk[1].offset + 36;
    auto sample = [&](int k, int srow, int x) {
        size_t i = (static_cast<size_t>(k) * 240 * 320 + static_cast<size_t>(srow) * 320 + x) * 2;
        return (f[i] | (f[i + 1] << 8)) & 0xFFF;
    };
    const double tc = 350 * 1.45 + 300 * 0.33765;
    double worst = 0;
    for (int srow = 0; srow < 240; ++srow) {
        int y = srow % 2 == 0 ? 119 - srow / 2 : 120 + srow / 2;
        for (int x = 0; x < 320; x += 7) {
            int d0 = sample(0, srow, x), d1 = sample(1, srow, x), d2 = sample(2, srow, x),
                d3 = sample(3, srow, x);
            size_t di = static_cast<size_t>(y) * 320 + x;
            double ph = phase_of(d0, d1, d2, d3);
            double dph = std::fabs(ph - t.phase[di]);
            dph = std::min(dph, 32768 - dph);
            // 12-bit samples: rounding moves the phase by up to about 0.75 / A rad.
            const double tol = 32768 / (2 * M_PI) * 0.75 / t.amplitude[di];
            EXPECT_LT(dph, tol) << x << "," << y;
            // Uncalibrated model: -2000 mm and the temperature offset.
            double dist = -2000 - tc + ph * t.range_mm / 32768.0;
            if (dist < 0)
                dist += t.range_mm;
            double err = std::fabs(dist - t.expected_mm[di]);
            worst = std::max(worst, err / (tol * t.range_mm / 32768.0));
            double amp = std::sqrt((d2 - d0) * (d2 - d0) + (d3 - d1) * (d3 - d1)) / 2;
            EXPECT_NEAR(amp, t.amplitude[di], 1.5);
            EXPECT_NEAR(t.expected_mm[di], t.distance_mm[di] + t.fpn_mm[di], 0.01);
        }
    }
    EXPECT_LT(worst, 1.0); // distance error within what the phase tolerance allows
    // The box is nearer than the wall.
    EXPECT_FLOAT_EQ(t.distance_mm[120 * 320 + 160], 1200.0f);
    EXPECT_FLOAT_EQ(t.distance_mm[10 * 320 + 10], 2500.0f);
}
