// Colour map: the ramp, the range rules and the reserved codes.
#include <pylox/tq_cmap.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <unordered_set>

namespace {

class CmapTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(tq_cmap_init(&map_, 30000), nullptr); }
    void TearDown() override { tq_cmap_uninit(&map_); }
    tq_cmap_t map_{};
};

TEST_F(CmapTest, RampEntriesAndDefaults)
{
    EXPECT_EQ(map_.count, 30000);
    EXPECT_EQ(map_.table[0], 0x7F0000u);
    EXPECT_EQ(map_.table[3750], 0xFF0000u);
    EXPECT_EQ(map_.table[7500], 0xFF7F00u);
    EXPECT_EQ(map_.table[15000], 0x7FFF7Fu);
    EXPECT_EQ(map_.table[22500], 0x00AAFFu);
    EXPECT_EQ(map_.table[26250], 0x0055FFu);
    EXPECT_EQ(map_.table[29999], 0x0000BFu);
    for (int32_t i = 0; i < map_.count; ++i) {
        ASSERT_EQ(map_.table[i] >> 24, 0u) << i;
    }
    EXPECT_EQ(map_.range_min, 0);
    EXPECT_EQ(map_.range_max, 4000);
    EXPECT_FLOAT_EQ(map_.gray_scale, 0.06375f);
    EXPECT_FLOAT_EQ(map_.index_scale, 7.5f);
}

TEST_F(CmapTest, ColourLookupRange)
{
    EXPECT_EQ(tq_cmap_get_color(&map_, 0), 0u);               // range_min is outside
    EXPECT_EQ(tq_cmap_get_color(&map_, 4000), map_.table[0]); // range_max: k = 0
    EXPECT_EQ(tq_cmap_get_color(&map_, 4001), 0u);
    EXPECT_EQ(tq_cmap_get_color(&map_, -5), 0u);
    // k = 30000 - trunc(1 * 7.5) and 30000 - trunc(2000 * 7.5).
    EXPECT_EQ(tq_cmap_get_color(&map_, 1), map_.table[29993]);
    EXPECT_EQ(tq_cmap_get_color(&map_, 2000), map_.table[15000]);
    // Near values are red, far values blue.
    EXPECT_EQ(tq_cmap_get_color(&map_, 1) & 0xFFu, 0xBFu);
    EXPECT_EQ(tq_cmap_get_color(&map_, 3999) >> 16, 0x7Fu);
}

TEST_F(CmapTest, ReservedCodes)
{
    EXPECT_EQ(tq_cmap_get_color(&map_, 65300), 0u);
    EXPECT_EQ(tq_cmap_get_color(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(tq_cmap_get_color(&map_, 65500), 0xFF0EA9u);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 65500), 0xFF0EA9u);
    // 65300 is an ordinary value for gray: above the range, so white ...
    EXPECT_EQ(tq_cmap_get_gray(&map_, 65300), 0xFFFFFFu);
    // ... and inside a range that covers it, a gray level.
    tq_cmap_set_range(&map_, 65000, 65510);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 65300), 0x969696u); // 300 * 255 / 510 = 150
    EXPECT_EQ(tq_cmap_get_color(&map_, 65300), 0u);
}

TEST_F(CmapTest, GrayLookupRange)
{
    EXPECT_EQ(tq_cmap_get_gray(&map_, 0), 0u); // range_min is inside: gray 0
    EXPECT_EQ(tq_cmap_get_gray(&map_, -1), 0u);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 4001), 0xFFFFFFu);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 2000), 0x7F7F7Fu); // trunc(2000 * 0.06375) = 127
    const uint32_t top = tq_cmap_get_gray(&map_, 4000);
    EXPECT_EQ(top, (top & 0xFFu) * 0x010101u);
    EXPECT_GE(top & 0xFFu, 254u);
}

TEST_F(CmapTest, SetRangeSwapsAndKeepsEmptyRange)
{
    tq_cmap_set_range(&map_, 3000, 1000);
    EXPECT_EQ(map_.range_min, 1000);
    EXPECT_EQ(map_.range_max, 3000);
    EXPECT_FLOAT_EQ(map_.gray_scale, 255.0f / 2000.0f);
    EXPECT_FLOAT_EQ(map_.index_scale, 15.0f);
    EXPECT_EQ(tq_cmap_get_color(&map_, 1000), 0u);
    EXPECT_EQ(tq_cmap_get_color(&map_, 3000), map_.table[0]);
    EXPECT_EQ(tq_cmap_get_color(&map_, 2000), map_.table[15000]);

    tq_cmap_set_range(&map_, 500, 500);
    EXPECT_EQ(map_.range_min, 1000);
    EXPECT_EQ(map_.range_max, 3000);
    EXPECT_FLOAT_EQ(map_.gray_scale, 255.0f);
    EXPECT_FLOAT_EQ(map_.index_scale, 30000.0f);
    // Every step past range_min now jumps past the whole table: far colour.
    EXPECT_EQ(tq_cmap_get_color(&map_, 1001), map_.table[0]);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 1001), 0xFFFFFFu); // 255
    EXPECT_EQ(tq_cmap_get_gray(&map_, 1002), 0xFEFEFEu); // 510: low 8 bits
}

TEST_F(CmapTest, ExtremeRangesStayInsideTheTable)
{
    constexpr int32_t lo = std::numeric_limits<int32_t>::min();
    constexpr int32_t hi = std::numeric_limits<int32_t>::max();
    // Span 2^32 - 1 (2^32 as a float): every product below is exact.
    tq_cmap_set_range(&map_, hi, lo);
    EXPECT_EQ(map_.range_min, lo);
    EXPECT_EQ(map_.range_max, hi);
    EXPECT_EQ(tq_cmap_get_color(&map_, hi), map_.table[0]);
    EXPECT_EQ(tq_cmap_get_color(&map_, lo + 1), map_.table[29999]);
    EXPECT_EQ(tq_cmap_get_color(&map_, 0), map_.table[15000]);
    EXPECT_EQ(tq_cmap_get_gray(&map_, lo), 0u);
    EXPECT_EQ(tq_cmap_get_gray(&map_, 0), 0x7F7F7Fu);

    // An empty range over a wide span: products far past 32 bits.
    tq_cmap_set_range(&map_, 7, 7);
    EXPECT_EQ(tq_cmap_get_color(&map_, hi), map_.table[0]);
    const uint32_t g = tq_cmap_get_gray(&map_, hi);
    EXPECT_EQ(g, (g & 0xFFu) * 0x010101u);
}

// One thread changes the range while another looks colours up: every answer
// is still a table colour or black (and the tsan build sees no data race).
TEST_F(CmapTest, RangeChangesDuringLookups)
{
    const std::unordered_set<uint32_t> colours(map_.table, map_.table + map_.count);
    std::thread changer([this] {
        for (int i = 0; i < 20000; ++i) {
            tq_cmap_set_range(&map_, (i % 7) * 100, 1000 + (i % 13) * 300);
        }
    });
    int bad = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t c = tq_cmap_get_color(&map_, 100 + (i % 4000));
        bad += (c != 0 && colours.count(c) == 0) ? 1 : 0;
        (void)tq_cmap_get_gray(&map_, i % 5000);
    }
    changer.join();
    EXPECT_EQ(bad, 0);
}

TEST(CmapFailure, UnbuiltMapIsInertAndUninitIsRepeatable)
{
    tq_cmap_t map;
    map.count = 12;
    map.table = reinterpret_cast<uint32_t *>(&map); // garbage the init must clear
    EXPECT_EQ(tq_cmap_init(&map, 0), nullptr);
    EXPECT_EQ(map.count, 0);
    EXPECT_EQ(map.table, nullptr);
    EXPECT_EQ(tq_cmap_init(&map, -3), nullptr);
    EXPECT_EQ(map.table, nullptr);
    for (int32_t v : {0, 1, 2000, 4000, 65300, 65400, 65500}) {
        EXPECT_EQ(tq_cmap_get_color(&map, v), 0u) << v;
        EXPECT_EQ(tq_cmap_get_gray(&map, v), 0u) << v;
    }
    tq_cmap_set_range(&map, 0, 100);
    EXPECT_EQ(tq_cmap_get_color(&map, 50), 0u);
    tq_cmap_uninit(&map);
    tq_cmap_uninit(&map);
    EXPECT_EQ(tq_cmap_get_color(nullptr, 1), 0u);
    EXPECT_EQ(tq_cmap_init(nullptr, 10), nullptr);

    ASSERT_NE(tq_cmap_init(&map, 1), nullptr);
    EXPECT_EQ(map.table[0], 0x7F0000u);
    EXPECT_EQ(tq_cmap_get_color(&map, 4000), 0x7F0000u);
    EXPECT_EQ(tq_cmap_get_color(&map, 1), 0x7F0000u);
    tq_cmap_uninit(&map);
    EXPECT_EQ(map.table, nullptr);
    EXPECT_EQ(map.count, 0);
    tq_cmap_uninit(&map);
}

} // namespace
