// Data images: download in CRC-checked packets on endpoint 0x01 with the
// camera's acknowledgements, image info, upload chunks.
#include "usb_host.h"

using namespace vtest;

namespace {

uint16_t crc(const uint8_t *p, size_t n)
{ // CRC-16/XMODEM, bit by bit
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i)
        for (int b = 7; b >= 0; --b) {
            bool top = ((c >> 15) & 1) ^ ((p[i] >> b) & 1);
            c = static_cast<uint16_t>(c << 1);
            if (top)
                c ^= 0x1021;
        }
    return c;
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Ack {
    uint32_t next;
    uint8_t status;
};

Ack ack(Host &h)
{
    std::vector<uint8_t> b(13, 0);
    EXPECT_TRUE(h.read_cmd(0xCC, 4, b));
    return {le32(b.data()), b[4]};
}

} // namespace

TEST(Image, DownloadAcknowledgedPacketByPacketThenInfoAndUpload)
{
    auto cam = vcam::Camera::create();
    Host h;
    ASSERT_TRUE(h.open());
    std::vector<uint8_t> img(131061);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(i * 31 + (i >> 9));

    // Nothing stored yet.
    std::vector<uint8_t> info(16, 0);
    info[0] = 5;
    ASSERT_TRUE(h.read_cmd(0xCC, 0, info));
    EXPECT_EQ(le32(&info[4]), 0xFFFFFFFFu);

    std::vector<uint8_t> rec = {5, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    rec[4] = img.size() & 0xFF, rec[5] = (img.size() >> 8) & 0xFF, rec[6] = img.size() >> 16;
    ASSERT_TRUE(h.cmd(0xCC, 1, rec));
    Ack a = ack(h);
    EXPECT_EQ(a.status, 3);
    EXPECT_EQ(a.next, 0u);
    std::vector<uint8_t> erase = {5, rec[4], rec[5], rec[6], 0, 0xFA, 0xFF, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(h.cmd(0xCC, 7, erase));
    int erasing = 0;
    while ((a = ack(h)).status == 4 && erasing < 10)
        ++erasing;
    EXPECT_EQ(erasing, 2);
    EXPECT_EQ(a.status, 1);

    // Three packets of 65,530, 65,530 and 1 bytes; a damaged one is refused
    // and the camera keeps waiting for the same index.
    for (uint32_t i = 0; i < 3; ++i) {
        size_t off = i * 65530, n = std::min<size_t>(65530, img.size() - off);
        std::vector<uint8_t> pkt(6 + n);
        uint16_t c = crc(img.data() + off, n);
        pkt[0] = c & 0xFF, pkt[1] = c >> 8;
        pkt[2] = n & 0xFF, pkt[3] = (n >> 8) & 0xFF, pkt[4] = (n >> 16) & 0xFF;
        std::copy(img.begin() + off, img.begin() + off + n, pkt.begin() + 6);
        if (i == 1) {
            pkt[10] ^= 1;
            ASSERT_EQ(h.bulk_out(pkt.data(), static_cast<int>(pkt.size())),
                      static_cast<int>(pkt.size()));
            EXPECT_EQ(ack(h).next, 1u);
            pkt[10] ^= 1;
        }
        ASSERT_EQ(h.bulk_out(pkt.data(), static_cast<int>(pkt.size())),
                  static_cast<int>(pkt.size()));
        EXPECT_EQ(ack(h).next, i + 1);
    }
    uint16_t ver = 0;
    std::vector<uint8_t> stored;
    ASSERT_TRUE(cam->image(5, ver, stored));
    EXPECT_EQ(ver, 7);
    EXPECT_EQ(stored, img);
    EXPECT_EQ(cam->bulk_out_bytes(), img.size() + 4 * 6 + 65530);

    info.assign(16, 0);
    info[0] = 5;
    ASSERT_TRUE(h.read_cmd(0xCC, 0, info));
    EXPECT_EQ(info[2], 7);
    EXPECT_EQ(le32(&info[4]), img.size());

    // Upload: each payload request (chunk length in bytes 4-7) is followed by
    // a read of the chunk's bytes.
    std::vector<uint8_t> got;
    for (size_t off = 0; off < 1000; off += 450) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(450, 1000 - off));
        std::vector<uint8_t> req(12, 0);
        req[4] = n & 0xFF, req[5] = n >> 8;
        ASSERT_TRUE(h.read_cmd(0xCC, 17, req));
        EXPECT_EQ(le32(&req[4]), n);
        std::vector<uint8_t> chunk(n);
        ASSERT_EQ(h.ctrl(0xA2, 0xCC, 17, chunk.data(), static_cast<uint16_t>(n)),
                  static_cast<int>(n));
        ASSERT_TRUE(h.check(0xCC, 17));
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), img.begin()));
}

TEST(Image, UploadChunkFollowsTheRecordInOneExchangeAndFirmwareBootsAtReset)
{
    auto cam = vcam::Camera::create();
    Host h;
    ASSERT_TRUE(h.open());
    std::vector<uint8_t> img(1000);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(i * 7 + 3);
    cam->set_image(0, 151, img);
    cam->set_image_address(0, 0x08012300u);
    std::vector<uint8_t> info(16, 0);
    ASSERT_TRUE(h.read_cmd(0xCC, 0, info));
    EXPECT_EQ(le32(&info[8]), 0x08012300u);

    // A data stage of 12 + n bytes: the record (offset, length), then the
    // chunk. A lost chunk shows as an offset one chunk further on.
    cam->fault_image(vcam::ImageFault::upload_skip);
    for (uint32_t off : {100u, 200u}) {
        std::vector<uint8_t> x(12 + 100, 0);
        x[4] = 100;
        ASSERT_TRUE(h.read_cmd(0xCC, 17, x));
        EXPECT_EQ(le32(&x[0]), off);
        EXPECT_EQ(le32(&x[4]), 100u);
        EXPECT_TRUE(std::equal(x.begin() + 12, x.end(), img.begin() + off));
    }

    // A firmware image downloaded and a reset with target 0 start it.
    std::vector<uint8_t> rec = {0, 0, 152, 0, 10, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(h.cmd(0xCC, 1, rec));
    ASSERT_TRUE(h.cmd(0xCC, 7, {0, 10, 0, 0, 0, 0xFA, 0xFF, 0, 0, 0, 0, 0, 0}));
    while (ack(h).status == 4) {
    }
    std::vector<uint8_t> pkt = {0, 0, 10, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const uint16_t c = crc(pkt.data() + 6, 10);
    pkt[0] = c & 0xFF, pkt[1] = c >> 8;
    ASSERT_EQ(h.bulk_out(pkt.data(), static_cast<int>(pkt.size())), 16);
    EXPECT_EQ(ack(h).next, 1u);
    EXPECT_EQ(cam->firmware_boots(), 0u);
    ASSERT_TRUE(h.cmd(0xC0, 0, {0, 0, 0, 0}));
    EXPECT_EQ(cam->firmware_boots(), 1u);
    std::vector<uint8_t> ver;
    ASSERT_TRUE(cam->param(6, ver));
    EXPECT_EQ(ver[2] | (ver[3] << 8), 152);
}
