// What the camera streams: packet framing, short packets, checksums, frame
// contents against the ground truth, stream faults, data-upload frames.
#include <cmath>
#include <set>

#include "usb_host.h"

using namespace vtest;

namespace {

struct Captured {
    std::vector<uint8_t> stream;
    std::vector<Host::Done> done;
};

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Streams until `bytes` arrived (or the camera stops sending), then stops.
Captured capture(size_t bytes)
{
    Captured c;
    Host host;
    EXPECT_TRUE(host.open());
    host.start_ring();
    EXPECT_TRUE(host.cmd(0xC2, 4, {0, 0, 0, 0}));
    wait_for([&] { return host.stream_size() >= bytes; });
    EXPECT_TRUE(host.cmd(0xC2, 5, {0xC2}));
    host.stop_ring();
    std::lock_guard<std::mutex> lk(host.mu);
    c.stream = host.stream;
    c.done = host.done;
    return c;
}

// Reassembles the frames of a packet list (frames with a gap are skipped).
std::vector<std::vector<uint8_t>> frames_of(const Captured &c, const std::vector<PacketInfo> &pk)
{
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> cur;
    for (const auto &p : pk) {
        const uint8_t *d = c.stream.data() + p.offset + vcam::kHeaderSize;
        if (p.h.frame_flags & 1)
            cur.clear();
        cur.insert(cur.end(), d, d + p.h.len);
        while (p.h.frlen && cur.size() >= p.h.frlen) {
            out.emplace_back(cur.begin(), cur.begin() + p.h.frlen);
            cur.erase(cur.begin(), cur.begin() + p.h.frlen);
        }
    }
    return out;
}

// Largest distance error of a frame against the truth, in units of the
// tolerance that 12-bit samples allow (below 1 is good).
double frame_error(const std::vector<uint8_t> &f, const vcam::Truth &t, int16_t cb, int16_t ib)
{
    const int w = t.width, h = t.height;
    const size_t n = static_cast<size_t>(w) * h;
    const double tc = cb * 1.45 + ib * 0.33765;
    double worst = 0;
    for (int s = 0; s < h; ++s) {
        int y = s % 2 == 0 ? h / 2 - 1 - s / 2 : h / 2 + s / 2;
        for (int x = 0; x < w; x += 3) {
            int d[4];
            for (int k = 0; k < 4; ++k) {
                size_t i = (k * n + static_cast<size_t>(s) * w + x) * 2;
                d[k] = (f[i] | (f[i + 1] << 8)) & 0xFFF;
            }
            double ph = std::atan2(d[1] - d[3], d[0] - d[2]);
            if (ph < 0)
                ph += 2 * M_PI;
            double dist = -2000 - tc + ph / (2 * M_PI) * t.range_mm;
            while (dist < 0)
                dist += t.range_mm;
            size_t di = static_cast<size_t>(y) * w + x;
            if (t.saturated[di])
                continue;
            double err = std::fabs(dist - t.expected_mm[di]);
            err = std::min(err, t.range_mm - err);
            double tol = t.range_mm * 0.75 / (2 * M_PI * t.amplitude[di]) + 0.5;
            worst = std::max(worst, err / tol);
        }
    }
    return worst;
}

} // namespace

TEST(Framing, FrameSplitOverPacketsEndsTransfersWithShortPackets)
{
    auto cam = vcam::Camera::create();
    cam->set_packet_payload(100000);
    cam->set_data_checksum(true);
    const uint32_t frame = 320 * 240 * 8;
    Captured c = capture(3 * (frame + 7 * 36));
    std::vector<PacketInfo> pk;
    ASSERT_TRUE(parse_stream(c.stream, pk));
    ASSERT_GE(pk.size(), 14u);
    for (size_t i = 0; i < pk.size(); ++i) {
        const auto &h = pk[i].h;
        EXPECT_EQ(h.sidx, i);
        EXPECT_EQ(h.fridx, i / 7);
        EXPECT_EQ(h.frame_flags, i % 7 == 0 ? 1 : 0);
        EXPECT_EQ(h.len, i % 7 == 6 ? frame - 600000 : 100000u);
        EXPECT_EQ(h.cksum_flags, 1);
        uint32_t sum = 0;
        const uint8_t *d = c.stream.data() + pk[i].offset + 36;
        for (uint32_t k = 0; k + 4 <= h.len; k += 4)
            sum += le32(d + k);
        EXPECT_EQ(sum, h.data_sum) << i;
    }
    // Each packet is one write of the camera that ends with a short packet, so
    // every completed transfer holds exactly one packet.
    size_t i = 0;
    for (const auto &d : c.done) {
        if (d.status != LIBUSB_TRANSFER_COMPLETED || i >= pk.size())
            continue;
        EXPECT_EQ(static_cast<uint32_t>(d.actual), 36 + pk[i].h.len) << i;
        ++i;
    }
    EXPECT_GE(i, pk.size());
    auto frames = frames_of(c, pk);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_LT(frame_error(frames[1], cam->truth(), 350, 300), 1.0);
}

TEST(Framing, PacketsOfWholeUsbPacketsRunAcrossTransfers)
{
    auto cam = vcam::Camera::create();
    cam->set_packet_payload(153600 - 36); // header + payload = 300 USB packets
    Captured c = capture(3 * 614400);
    std::vector<PacketInfo> pk;
    ASSERT_TRUE(parse_stream(c.stream, pk));
    ASSERT_GE(pk.size(), 10u);
    for (size_t i = 0; i < pk.size(); ++i)
        EXPECT_EQ(pk[i].h.len, i % 5 == 4 ? 614400u - 4 * 153564u : 153564u);
    // No short packet inside a frame: four whole transfers, then the frame's
    // 180-byte tail, which ends with a short packet.
    int n = 0;
    for (const auto &d : c.done) {
        if (d.status != LIBUSB_TRANSFER_COMPLETED)
            continue;
        EXPECT_EQ(d.actual, n % 5 == 4 ? 180 : 153600) << n;
        ++n;
    }
    EXPECT_GE(n, 10);
}

TEST(Framing, SeveralSmallFramesInOnePacket)
{
    vcam::CameraConfig cfg;
    cfg.width = 32, cfg.height = 24;
    const uint32_t frame = 32 * 24 * 8;
    cfg.packet_payload = 4 * frame;
    cfg.temp_cb = 400, cfg.temp_ib = 380;
    auto cam = vcam::Camera::create(cfg);
    cam->set_scene(vcam::Scene::tilted(800, 3000, 32, 24));
    Captured c = capture(20 * frame);
    std::vector<PacketInfo> pk;
    ASSERT_TRUE(parse_stream(c.stream, pk));
    ASSERT_GE(pk.size(), 4u);
    for (size_t i = 0; i < pk.size(); ++i) {
        EXPECT_EQ(pk[i].h.len, 4 * frame);
        EXPECT_EQ(pk[i].h.frlen, frame);
        EXPECT_EQ(pk[i].h.fridx, 4 * i);
        EXPECT_EQ(pk[i].h.width, 32);
    }
    auto frames = frames_of(c, pk);
    ASSERT_GE(frames.size(), 8u);
    vcam::Truth t = cam->truth();
    EXPECT_LT(frame_error(frames[5], t, 400, 380), 1.0);
    // Tilted plane: distance grows from left to right; the near end clips.
    EXPECT_LT(t.distance_mm[0], t.distance_mm[31]);
    EXPECT_EQ(t.saturated[0], 1);
    EXPECT_EQ(t.saturated[31], 0);
}

TEST(Frames, StampsNameStreamAndFrameAndHashTheRest)
{
    vcam::CameraConfig cfg;
    cfg.width = 32, cfg.height = 24;
    const uint32_t frame = 32 * 24 * 8;
    cfg.packet_payload = 4 * frame; // several frames per packet: each has its own stamp
    cfg.stamp_frames = true;
    cfg.noise = 3.0f; // frames differ, so the hash cannot match by accident
    auto cam = vcam::Camera::create(cfg);
    for (uint32_t stream = 1; stream <= 2; ++stream) {
        Captured c = capture(12 * frame);
        std::vector<PacketInfo> pk;
        ASSERT_TRUE(parse_stream(c.stream, pk));
        auto frames = frames_of(c, pk);
        ASSERT_GE(frames.size(), 8u);
        std::set<uint32_t> hashes;
        for (uint32_t i = 0; i < frames.size(); ++i) {
            vcam::FrameStamp st;
            ASSERT_TRUE(vcam::read_stamp(frames[i].data(), frame, st)) << i;
            EXPECT_EQ(st.stream, stream);
            EXPECT_EQ(st.frame, i);
            hashes.insert(st.hash);
            // Any flipped bit or two swapped words of the frame break the stamp.
            auto bad = frames[i];
            bad[frame - 1 - 37 * i] ^= 0x10;
            EXPECT_FALSE(vcam::read_stamp(bad.data(), frame, st));
            bad = frames[i];
            size_t j = 104;
            while (std::equal(bad.begin() + 100, bad.begin() + 104, bad.begin() + j))
                j += 4;
            std::swap_ranges(bad.begin() + 100, bad.begin() + 104, bad.begin() + j);
            EXPECT_FALSE(vcam::read_stamp(bad.data(), frame, st));
        }
        EXPECT_EQ(hashes.size(), frames.size());
    }
}

TEST(Frames, TemperatureDriftShiftsPhaseAsTheHostCorrects)
{
    auto cam = vcam::Camera::create();
    cam->set_temperatures(300, 250, 20.0f, 5.0f); // 2 and 0.5 degrees per frame
    Captured c = capture(4 * 614436);
    std::vector<PacketInfo> pk;
    ASSERT_TRUE(parse_stream(c.stream, pk));
    ASSERT_GE(pk.size(), 4u);
    vcam::Truth t = cam->truth();
    auto frames = frames_of(c, pk);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(pk[i].h.temp_cb, 300 + 20 * static_cast<int>(i));
        EXPECT_EQ(pk[i].h.temp_ib, 250 + 5 * static_cast<int>(i));
        EXPECT_LT(frame_error(frames[i], t, pk[i].h.temp_cb, pk[i].h.temp_ib), 1.0) << i;
    }
    // Decoding frame 3 with frame 0's temperatures is off by their difference.
    EXPECT_GT(frame_error(frames[3], t, 300, 250), 3.0);
}

TEST(Frames, SaturationAndIntegrationTime)
{
    auto cam = vcam::Camera::create();
    vcam::Scene s = vcam::Scene::wall(3000);
    for (int x = 0; x < 20; ++x)
        s.at(x, 0) = 300; // very near: clips
    cam->set_scene(s);
    vcam::Truth t = cam->truth();
    EXPECT_EQ(t.saturated[5], 1);
    EXPECT_EQ(t.saturated[100], 0);
    float a1 = t.amplitude[100];
    {
        Host host;
        ASSERT_TRUE(host.open());
        ASSERT_TRUE(host.param_set(13, {0xD0, 0x07})); // 2000
    }
    EXPECT_NEAR(cam->truth().amplitude[100], 2 * a1, 0.01);
    EXPECT_NEAR(a1, 1500.0f / 9.0f, 0.01);
}

TEST(Frames, NoiseIsRepeatableWithTheSameSeed)
{
    vcam::CameraConfig a, b, q;
    a.port = 1, b.port = 2, q.port = 3;
    a.noise = b.noise = 6.0f;
    a.seed = b.seed = q.seed = 99;
    auto ca = vcam::Camera::create(a);
    auto cb = vcam::Camera::create(b);
    auto cq = vcam::Camera::create(q); // same fixed pattern, no noise
    std::vector<std::vector<uint8_t>> first(3);
    for (int i = 0; i < 3; ++i) {
        Host host;
        ASSERT_TRUE(host.open(1, i + 1));
        host.start_ring();
        ASSERT_TRUE(host.cmd(0xC2, 4, {0, 0, 0, 0}));
        ASSERT_TRUE(wait_for([&] { return host.stream_size() >= 614436; }));
        host.stop_ring();
        std::lock_guard<std::mutex> lk(host.mu);
        first[i].assign(host.stream.begin() + 36, host.stream.begin() + 614436);
    }
    EXPECT_EQ(first[0], first[1]);
    EXPECT_NE(first[0], first[2]);
    // The noise moves samples by a few counts, not more.
    int worst = 0;
    for (size_t i = 0; i < first[0].size(); i += 2) {
        int d = (first[0][i] | (first[0][i + 1] << 8)) - (first[2][i] | (first[2][i + 1] << 8));
        worst = std::max(worst, std::abs(d));
    }
    EXPECT_GT(worst, 6);
    EXPECT_LT(worst, 6 * 4);
}

// Noise acts on the analog sample before the 12-bit rounding: averaged over
// frames, a sample follows its exact value below one count (after the
// rounding the average would stick to the rounded value). Regressing the
// averages' offset from the rounded value on the exact value's offset gives
// a slope near 1 (it would be near 0 with noise after the rounding).
TEST(Frames, NoiseComesBeforeTheRounding)
{
    vcam::CameraConfig cfg;
    cfg.noise = 1.0f;
    auto cam = vcam::Camera::create(cfg);
    const vcam::Truth t = cam->truth();
    constexpr int frames = 16, w = 320, h = 240;
    constexpr size_t n = static_cast<size_t>(w) * h, pkt = 36 + 8 * n;
    const Captured c = capture(frames * pkt);
    ASSERT_GE(c.stream.size(), frames * pkt);
    double er = 0, rr = 0;
    for (int k = 0; k < 4; ++k) {
        for (int s = 0; s < h; ++s) {
            const int y = (s % 2 == 0) ? h / 2 - 1 - s / 2 : h / 2 + s / 2;
            for (int x = 0; x < w; ++x) {
                const size_t di = static_cast<size_t>(y) * w + x;
                const double theta = 2 * M_PI * t.phase[di] / 32768.0 - k * M_PI / 2;
                const double exact = 2048 + t.amplitude[di] * std::cos(theta);
                const size_t at = 36 + 2 * (k * n + static_cast<size_t>(s) * w + x);
                double sum = 0;
                for (int f = 0; f < frames; ++f) {
                    const uint8_t *p = c.stream.data() + f * pkt + at;
                    sum += p[0] | (p[1] << 8);
                }
                const double rounded = std::floor(exact + 0.5);
                er += (sum / frames - rounded) * (exact - rounded);
                rr += (exact - rounded) * (exact - rounded);
            }
        }
    }
    EXPECT_NEAR(er / rr, 1.0, 0.1);
}

TEST(Faults, StreamDamageAsOrdered)
{
    auto cam = vcam::Camera::create();
    cam->set_data_checksum(true);
    const size_t pkt = 614436;
    cam->fault_stream(vcam::StreamFault::drop_packet);
    cam->fault_stream(vcam::StreamFault::duplicate_packet);
    cam->fault_stream(vcam::StreamFault::corrupt_payload);
    cam->fault_stream(vcam::StreamFault::drop_bytes);
    cam->fault_stream(vcam::StreamFault::corrupt_header);
    Captured c = capture(8 * pkt);
    // Walk the stream by hand: the faults hit the first packets in turn.
    std::vector<std::pair<vcam::StreamHeader, bool>> seen; // header, checksum ok
    size_t off = 0;
    bool bad_header = false;
    while (off + 36 <= c.stream.size()) {
        vcam::StreamHeader h;
        if (!vcam::read_header(c.stream.data() + off, h)) {
            bad_header = true;
            break;
        }
        if (off + 36 + h.len > c.stream.size())
            break;
        const uint8_t *d = c.stream.data() + off + 36;
        // A packet that lost bytes: the next sync is 100 bytes early.
        size_t len = h.len;
        if (off + 36 + len + 1 < c.stream.size() &&
            !(c.stream[off + 36 + len] == 0xFB && c.stream[off + 37 + len] == 0x98))
            len -= 100;
        uint32_t sum = 0;
        for (size_t k = 0; k + 4 <= len; k += 4)
            sum += le32(d + k);
        seen.push_back({h, sum == h.data_sum && len == h.len});
        off += 36 + len;
    }
    EXPECT_TRUE(bad_header);
    // The packet sent twice follows a lost one; then the corrupt payload, the
    // shortened packet and the broken header.
    size_t j = 0;
    while (j + 1 < seen.size() && seen[j].first.sidx != seen[j + 1].first.sidx)
        ++j;
    ASSERT_EQ(j, 0u);
    ASSERT_EQ(seen.size(), 4u);
    const uint16_t d = seen[0].first.sidx;
    EXPECT_EQ(d, 1); // packet 0 lost
    EXPECT_TRUE(seen[j].second);
    EXPECT_TRUE(seen[j + 1].second);
    EXPECT_EQ(seen[j + 2].first.sidx, d + 1);
    EXPECT_FALSE(seen[j + 2].second); // payload corrupted
    EXPECT_EQ(seen[j + 3].first.sidx, d + 2);
    EXPECT_FALSE(seen[j + 3].second); // 100 bytes lost
}

TEST(Upload, CalibrationPackageComesAsFormat171Frames)
{
    auto cam = vcam::Camera::create();
    std::vector<uint8_t> pkg(2 * 153600);
    for (size_t i = 0; i < pkg.size(); ++i)
        pkg[i] = static_cast<uint8_t>(i * 7 + 3);
    cam->set_calib_package(pkg, 1234, 5678, 1);
    Host host;
    ASSERT_TRUE(host.open());
    std::vector<uint8_t> v;
    ASSERT_TRUE(host.param_get(8, v));
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 1);
    EXPECT_EQ(le32(&v[2]), 1234u);
    EXPECT_EQ(le32(&v[6]), 5678u);
    EXPECT_EQ(le32(&v[10]), pkg.size());
    EXPECT_EQ(le32(&v[14]), pkg.size() - 18);
    ASSERT_TRUE(host.param_set(0, {9}));
    host.start_ring(16, Host::kLen, 300);
    ASSERT_TRUE(host.cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return host.stream_size() >= 2 * (153600 + 36); }));
    // Then nothing more: the transfers time out.
    ASSERT_TRUE(wait_for([&] { return host.count_status(LIBUSB_TRANSFER_TIMED_OUT) >= 1; }));
    ASSERT_TRUE(host.cmd(0xC2, 5, {0xC2}));
    ASSERT_TRUE(host.param_set(0, {0}));
    host.stop_ring();
    std::lock_guard<std::mutex> lk(host.mu);
    EXPECT_EQ(host.stream.size(), 2u * (153600 + 36));
    std::vector<PacketInfo> pk;
    ASSERT_TRUE(parse_stream(host.stream, pk));
    ASSERT_EQ(pk.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(pk[i].h.frfmt, 171);
        EXPECT_EQ(pk[i].h.fridx, i);
        EXPECT_TRUE(std::equal(pkg.begin() + i * 153600, pkg.begin() + (i + 1) * 153600,
                               host.stream.begin() + static_cast<long>(pk[i].offset) + 36));
    }
}

TEST(Rate, FramesPerSecondIsAnUpperBound)
{
    auto cam = vcam::Camera::create();
    cam->set_fps(20);
    Host host;
    ASSERT_TRUE(host.open());
    host.start_ring();
    auto t0 = Clock::now();
    ASSERT_TRUE(host.cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(wait_for([&] { return cam->frames_streamed() >= 3; }));
    auto dt = std::chrono::duration<double>(Clock::now() - t0).count();
    // Frame k leaves no earlier than k / 20 s after the start.
    EXPECT_GE(dt, 0.1 - 0.005);
    host.stop_ring();
}

TEST(Cameras, TwoCamerasStreamAtOnce)
{
    vcam::CameraConfig a, b;
    a.bus = 1, a.port = 2;
    b.bus = 4, b.port = 1;
    b.full_speed = true;
    auto ca = vcam::Camera::create(a);
    auto cb = vcam::Camera::create(b);
    ca->set_scene(vcam::Scene::wall(1500));
    cb->set_scene(vcam::Scene::wall(2500));
    Host ha, hb;
    ASSERT_TRUE(ha.open(1, 2));
    ASSERT_TRUE(hb.open(4, 1));
    ha.start_ring();
    hb.start_ring();
    ASSERT_TRUE(ha.cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(hb.cmd(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_TRUE(
        wait_for([&] { return ha.stream_size() > 3 * 614436 && hb.stream_size() > 3 * 614436; }));
    ha.stop_ring();
    hb.stop_ring();
    for (auto *pr : {&ha, &hb}) {
        std::lock_guard<std::mutex> lk(pr->mu);
        std::vector<PacketInfo> pk;
        ASSERT_TRUE(parse_stream(pr->stream, pk));
        Captured c{pr->stream, {}};
        auto frames = frames_of(c, pk);
        ASSERT_GE(frames.size(), 2u);
        EXPECT_LT(frame_error(frames[1], (pr == &ha ? ca : cb)->truth(), 350, 300), 1.0);
    }
    EXPECT_GT(ca->bytes_streamed(), 3u * 614436);
    EXPECT_GT(cb->bytes_streamed(), 3u * 614436);
}
