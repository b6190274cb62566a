// Distance colour maps: a blue-cyan-yellow-red ramp and gray levels, with the
// reserved distance codes shown in fixed colours.
//
// A map is not locked: one thread may change the range while others look
// colours up (the library's global map is shared that way). The range fields
// are therefore read and written as relaxed atomics; a lookup racing with a
// range change may mix old and new fields, but every table index is clamped,
// so it still yields one of the table's colours.
#include <pylox/tq_cmap.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "core/log.h"
#include "imgproc/tq_conv_plain.h"

namespace {

constexpr int32_t kDefaultRangeMax = 4000;
constexpr uint32_t kWhite = 0xFFFFFFu;

template <class T> T load_field(const T &field)
{
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}

template <class T> void store_field(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

uint32_t channel(float v)
{
    return static_cast<uint32_t>(pylox::trunc_i32(v)) & 0xFFu;
}

uint32_t ramp_colour(int32_t i, int32_t count)
{
    const float e = static_cast<float>(i) / static_cast<float>(count) - 0.25f;
    uint32_t r = 0;
    uint32_t g = 0;
    uint32_t b = 0;
    if (e < -0.125f) {
        b = channel((0.375f + e) * 255.0f * 4.0f);
    } else if (e < 0.125f) {
        g = channel((0.125f + e) * 255.0f * 4.0f);
        b = 255;
    } else if (e < 0.375f) {
        r = channel((e - 0.125f) * 255.0f * 4.0f);
        g = 255;
        b = channel((e - 0.125f) * -255.0f * 4.0f + 255.0f);
    } else if (e < 0.625f) {
        r = 255;
        g = channel((e - 0.375f) * -255.0f / 0.375f + 255.0f);
    } else {
        r = channel((e - 0.625f) * -255.0f * 2.0f + 255.0f);
        g = channel((e - 0.375f) * -255.0f / 0.375f + 255.0f);
    }
    return r | (g << 8) | (b << 16);
}

// A map without a table (never built, or its allocation failed) is unusable:
// every lookup on it yields 0.
bool usable(const tq_cmap_t *map, const char *fn)
{
    if (map == nullptr) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] colour map is NULL\n");
        return false;
    }
    return map->table != nullptr && map->count > 0;
}

} // namespace

extern "C" {

PYLOX_API uint32_t *tq_cmap_init(tq_cmap_t *map, int32_t count)
{
    if (map == nullptr) {
        LOG_ERR("[%s] colour map is NULL\n");
        return nullptr;
    }
    *map = tq_cmap_t{};
    if (count < 1) {
        LOG_ERR("[%s] invalid colour count %d\n", count);
        return nullptr;
    }
    auto *table =
        static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * static_cast<std::size_t>(count)));
    if (table == nullptr) {
        LOG_ERR("[%s] malloc failed\n");
        return nullptr;
    }
    for (int32_t i = 0; i < count; ++i) {
        table[i] = ramp_colour(i, count);
    }
    map->count = count;
    map->table = table;
    map->range_min = 0;
    map->range_max = kDefaultRangeMax;
    map->gray_scale = 255.0f / static_cast<float>(kDefaultRangeMax);
    map->index_scale = static_cast<float>(count) / static_cast<float>(kDefaultRangeMax);
    return table;
}

PYLOX_API void tq_cmap_uninit(tq_cmap_t *map)
{
    if (map == nullptr) {
        return;
    }
    std::free(map->table);
    map->table = nullptr;
    map->count = 0;
}

PYLOX_API void tq_cmap_set_range(tq_cmap_t *map, int32_t lower, int32_t upper)
{
    if (map == nullptr) {
        LOG_ERR("[%s] colour map is NULL\n");
        return;
    }
    const auto count = static_cast<float>(map->count);
    if (lower == upper) {
        // An empty range keeps the old bounds.
        store_field(map->gray_scale, 255.0f);
        store_field(map->index_scale, count);
        return;
    }
    const int32_t lo = lower < upper ? lower : upper;
    const int32_t hi = lower < upper ? upper : lower;
    // The difference can exceed the signed 32-bit range.
    const auto d = static_cast<float>(static_cast<int64_t>(hi) - lo);
    store_field(map->range_min, lo);
    store_field(map->range_max, hi);
    store_field(map->gray_scale, 255.0f / d);
    store_field(map->index_scale, count / d);
}

PYLOX_API uint32_t tq_cmap_get_color(const tq_cmap_t *map, int32_t value)
{
    if (!usable(map, __func__)) {
        return 0;
    }
    switch (value) {
    case TQ_DIST_REMOVED:
        return 0;
    case TQ_DIST_RESERVED:
        return TQ_CMAP_COLOR_RESERVED;
    case TQ_DIST_INVALID:
        return TQ_CMAP_COLOR_INVALID;
    default:
        break;
    }
    const int32_t lo = load_field(map->range_min);
    const int32_t hi = load_field(map->range_max);
    if (!(lo < value && value <= hi)) {
        return 0;
    }
    const int32_t count = map->count;
    const float p =
        static_cast<float>(static_cast<int64_t>(value) - lo) * load_field(map->index_scale);
    // k = count - trunc(p), clamped to the table: far values (k < 1) take the
    // first entry, values next to range_min the last.
    if (p != p) {
        return 0;
    }
    if (static_cast<double>(p) >= static_cast<double>(count)) {
        return map->table[0];
    }
    if (p < 1.0f) {
        return map->table[count - 1];
    }
    return map->table[count - static_cast<int32_t>(p)];
}

PYLOX_API uint32_t tq_cmap_get_gray(const tq_cmap_t *map, int32_t value)
{
    if (!usable(map, __func__)) {
        return 0;
    }
    if (value == static_cast<int32_t>(TQ_DIST_RESERVED)) {
        return TQ_CMAP_COLOR_RESERVED;
    }
    if (value == static_cast<int32_t>(TQ_DIST_INVALID)) {
        return TQ_CMAP_COLOR_INVALID;
    }
    const int32_t lo = load_field(map->range_min);
    const int32_t hi = load_field(map->range_max);
    if (value > hi) {
        return kWhite;
    }
    if (value < lo) {
        return 0;
    }
    const float p =
        static_cast<float>(static_cast<int64_t>(value) - lo) * load_field(map->gray_scale);
    const auto g = static_cast<uint32_t>(pylox::trunc_i32(p)) & 0xFFu;
    return g * 0x010101u;
}

} // extern "C"
