// Byte layouts of the data-image protocol and the loading of image files.
#include "files/data_image/data_image.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace pylox::data;

namespace {

// CRC-16/XMODEM bit by bit, the textbook way.
uint16_t crc_bitwise(const uint8_t *p, size_t n)
{
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i)
        for (int b = 7; b >= 0; --b) {
            const bool top = ((c >> 15) ^ (p[i] >> b)) & 1;
            c = static_cast<uint16_t>(c << 1);
            if (top)
                c ^= 0x1021;
        }
    return c;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(g());
    return v;
}

std::string temp_file(const std::string &stem, const std::vector<uint8_t> &bytes)
{
    const fs::path p =
        fs::temp_directory_path() /
        (stem + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         std::to_string(reinterpret_cast<uintptr_t>(&bytes)) + ".bin");
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return p.string();
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

TEST(DataCrc, MatchesTheBitwiseDefinitionForAnyLength)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(al_data_calc_crc(check, 9), 0x31C3); // the catalogue's check value
    EXPECT_EQ(al_data_calc_crc(nullptr, 0), 0);
    EXPECT_EQ(al_data_calc_crc(check, 0), 0);
    // Lengths around the 16-bit limit of the camera's counter and well past it.
    const auto data = random_bytes(200000, 7);
    for (size_t n : {1u, 2u, 449u, 65530u, 65535u, 65536u, 65537u, 200000u})
        EXPECT_EQ(al_data_calc_crc(data.data(), static_cast<uint32_t>(n)),
                  crc_bitwise(data.data(), n))
            << n;
}

TEST(DataPackets, SplitTheImageIntoFullPacketsAndTheRest)
{
    EXPECT_EQ(packet_count(0), 0u);
    EXPECT_EQ(packet_count(1), 1u);
    EXPECT_EQ(packet_count(131060), 2u);
    EXPECT_EQ(packet_len(131060, 1), 65530u);
    EXPECT_EQ(packet_count(131061), 3u);
    EXPECT_EQ(packet_len(131061, 2), 1u);
    EXPECT_EQ(packet_len(131061, 3), 0u);
    EXPECT_EQ(packet_count(0xFFFFFFFEu), 65543u); // no overflow near the top
    // The packets cover the image exactly, every one but the last full.
    std::mt19937 g(3);
    for (int k = 0; k < 200; ++k) {
        const uint32_t size = g() % 5000000 + 1;
        uint64_t sum = 0;
        const uint32_t n = packet_count(size);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t len = packet_len(size, i);
            ASSERT_GT(len, 0u);
            if (i + 1 < n) {
                ASSERT_EQ(len, PYLOX_DATA_PACKET_PAYLOAD);
            }
            sum += len;
        }
        ASSERT_EQ(sum, size);
    }

    const auto payload = random_bytes(1000, 9);
    std::vector<uint8_t> pkt(6 + payload.size());
    ASSERT_EQ(build_packet(pkt.data(), payload.data(), 1000), 1006u);
    EXPECT_EQ(pkt[0] | (pkt[1] << 8), crc_bitwise(payload.data(), payload.size()));
    EXPECT_EQ(le32(&pkt[2]), 1000u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), pkt.begin() + 6));
}

TEST(DataFileBuffer, HandsTheWholeFileBackOrFailsWithoutAStaleSize)
{
    pylox_test::log_capture log(TQ_LOG_INF);
    const auto bytes = random_bytes(70001, 11);
    const std::string path = temp_file("pylox_image", bytes);

    uint32_t size = 0;
    uint8_t *buf = nullptr;
    ASSERT_EQ(al_data_build_file_buffer(path.c_str(), &size, &buf), 1);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(size, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf));
    al_data_free_file_buffer(buf);
    char first[32];
    std::snprintf(first, sizeof first, "File read ok,70001,%x", bytes[0]);
    EXPECT_TRUE(log.has(first)) << log.text();
    EXPECT_TRUE(log.has("] Data image file loaded."));

    // Without a place for the buffer the call releases it itself (the leak
    // check of the sanitized build watches this).
    size = 0;
    EXPECT_EQ(al_data_build_file_buffer(path.c_str(), &size, nullptr), 1);
    EXPECT_EQ(size, bytes.size());

    // An empty file is no image, whatever the caller's size held before.
    const std::string empty = temp_file("pylox_empty", {});
    size = 1234;
    buf = reinterpret_cast<uint8_t *>(&size);
    log.clear();
    EXPECT_EQ(al_data_build_file_buffer(empty.c_str(), &size, &buf), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buf, nullptr);
    EXPECT_TRUE(log.has("] Data image file loading failed."));

    size = 99;
    EXPECT_EQ(al_data_build_file_buffer((path + ".missing").c_str(), &size, nullptr), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(al_data_build_file_buffer(nullptr, &size, nullptr), -1);
    fs::remove(path);
    fs::remove(empty);
}
