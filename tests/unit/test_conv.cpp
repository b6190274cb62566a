// Pixel conversions: the element-wise rules, and the vector steps giving
// exactly what the element-by-element loop gives.
#include <pylox/tq_cmap.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "imgproc/tq_conv_plain.h"

namespace {

constexpr int32_t kLen = 37; // long enough for the vector steps, with a tail

template <class D, class S, class P>
std::vector<D> convert(void (*fn)(D *, const S *, int32_t, P), S value, P param)
{
    std::vector<S> src(kLen, value);
    std::vector<D> dst(kLen, D{});
    fn(dst.data(), src.data(), kLen, param);
    return dst;
}

template <class D> void expect_all(const std::vector<D> &v, D expected, const char *what)
{
    for (std::size_t i = 0; i < v.size(); ++i) {
        ASSERT_EQ(v[i], expected) << what << " at " << i;
    }
}

TEST(Conv, ElementRulesWrapInsteadOfSaturating)
{
    expect_all(convert(tq_conv_u16_u8, uint16_t{0xABCD}, 8u), uint8_t{0xAB}, "shift 8");
    expect_all(convert(tq_conv_u16_u8, uint16_t{0xABCD}, 0u), uint8_t{0xCD}, "shift 0");
    expect_all(convert(tq_conv_u16_u8, uint16_t{0xABCD}, 4u), uint8_t{0xBC}, "shift 4");
    expect_all(convert(tq_conv_u16_f32, uint16_t{1234}, 0.001f), 1234.0f * 0.001f, "mm to m");
    expect_all(convert(tq_conv_u16_u32, uint16_t{65535}, 0xFFFFu), uint32_t{4294836225u}, "max");
    expect_all(convert(tq_conv_u16_u32, uint16_t{300}, 0x10002u), uint32_t{600}, "low 16 bits");
    expect_all(convert(tq_conv_f32_u32, 70000.0f, 1.0f), uint32_t{4464}, "70000");
    expect_all(convert(tq_conv_f32_u16, -1.0f, 1.0f), uint16_t{65535}, "-1");
    expect_all(convert(tq_conv_f32_u8, 300.0f, 1.0f), uint8_t{44}, "300");
    expect_all(convert(tq_conv_f32_u8, -2.9f, 1.0f), uint8_t{254}, "toward zero");
    expect_all(convert(tq_conv_f32_u16, 1.5f, 2.9f), uint16_t{4}, "scaled");
    expect_all(convert(tq_conv_f32_u32, 2147483520.0f, 1.0f), uint32_t{0xFF80}, "largest");
}

TEST(Conv, LargeShiftsClearEverything)
{
    for (uint32_t shift : {16u, 17u, 31u, 32u, 33u, 255u, 0xFFFFFFFFu}) {
        expect_all(convert(tq_conv_u16_u8, uint16_t{0xFFFF}, shift), uint8_t{0}, "large shift");
        uint8_t one = 0xEE;
        const uint16_t v = 0xFFFF;
        tq_conv_u16_u8(&one, &v, 1, shift);
        EXPECT_EQ(one, 0u) << shift;
    }
}

TEST(Conv, FloatsOutsideTheIntegerRangeGiveZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {nan, -nan, inf, -inf, 2147483648.0f, -2147483648.0f, 3e9f, -1e20f}) {
        expect_all(convert(tq_conv_f32_u8, v, 1.0f), uint8_t{0}, "u8");
        expect_all(convert(tq_conv_f32_u16, v, 1.0f), uint16_t{0}, "u16");
        expect_all(convert(tq_conv_f32_u32, v, 1.0f), uint32_t{0}, "u32");
    }
    // In range before scaling, out of range after.
    expect_all(convert(tq_conv_f32_u16, 1e6f, 1e4f), uint16_t{0}, "scaled out");
}

TEST(Conv, NothingHappensWithoutElementsOrBuffers)
{
    std::vector<uint16_t> src(64, 7);
    std::vector<uint8_t> dst(64, 0xAA);
    tq_conv_u16_u8(dst.data(), src.data(), 0, 0);
    tq_conv_u16_u8(dst.data(), src.data(), -40, 0);
    tq_conv_u16_u8(nullptr, src.data(), 64, 0);
    tq_conv_u16_u8(dst.data(), nullptr, 64, 0);
    tq_conv_f32_u32(nullptr, nullptr, 64, 1.0f);
    expect_all(dst, uint8_t{0xAA}, "untouched");
}

// --- the vector steps against the plain loop ---------------------------------

float random_float(std::mt19937 &rng)
{
    static const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    2147483648.0f,
                                    -2147483648.0f,
                                    2147483520.0f,
                                    -0.0f,
                                    0.999999f,
                                    -0.999999f,
                                    65535.5f,
                                    65536.0f};
    switch (rng() % 8) {
    case 0:
        return special[rng() % std::size(special)];
    case 1:
        return std::uniform_real_distribution<float>(-1e10f, 1e10f)(rng);
    default:
        return std::uniform_real_distribution<float>(-70000.0f, 70000.0f)(rng);
    }
}

template <class S> S random_value(std::mt19937 &rng)
{
    if constexpr (std::is_same_v<S, float>) {
        return random_float(rng);
    } else {
        return static_cast<S>(rng());
    }
}

// One byte arena holding both buffers, so overlapping layouts can be built.
struct Arena {
    explicit Arena(std::size_t n) : size(n), bytes(new unsigned char[n]()) {}
    std::size_t size;
    std::unique_ptr<unsigned char[]> bytes;
};

template <class D, class S, class P> struct Conversion {
    void (*vec)(D *, const S *, int32_t, P);
    void (*plain)(D *, const S *, int32_t, P);
    std::vector<P> params;
};

// Runs both forms on identical copies of an arena with dst and src at the given
// byte offsets and compares the whole arena, so writes beyond n show up too.
template <class D, class S, class P>
void compare_at(const Conversion<D, S, P> &c, std::mt19937 &rng, std::size_t arena_bytes,
                std::size_t dst_off, std::size_t src_off, int32_t n)
{
    Arena a(arena_bytes);
    Arena b(arena_bytes);
    for (std::size_t i = 0; i + sizeof(S) <= arena_bytes; i += sizeof(S)) {
        const S v = random_value<S>(rng);
        std::memcpy(a.bytes.get() + i, &v, sizeof v);
    }
    const P param = c.params[rng() % c.params.size()];
    std::memcpy(b.bytes.get(), a.bytes.get(), arena_bytes);
    c.vec(reinterpret_cast<D *>(a.bytes.get() + dst_off),
          reinterpret_cast<const S *>(a.bytes.get() + src_off), n, param);
    c.plain(reinterpret_cast<D *>(b.bytes.get() + dst_off),
            reinterpret_cast<const S *>(b.bytes.get() + src_off), n, param);
    if (std::memcmp(a.bytes.get(), b.bytes.get(), arena_bytes) != 0) {
        std::size_t i = 0;
        while (a.bytes[i] == b.bytes[i]) {
            ++i;
        }
        FAIL() << "n=" << n << " dst_off=" << dst_off << " src_off=" << src_off
               << " first differing byte " << i;
    }
}

template <class D, class S, class P> void check_conversion(const Conversion<D, S, P> &c)
{
    std::mt19937 rng(20261208);
    // Separate buffers: every length up to a few vector steps, every alignment.
    for (int32_t n = 0; n <= 72; ++n) {
        for (std::size_t so = 0; so < 16 / sizeof(S); ++so) {
            for (std::size_t dof = 0; dof < 16 / sizeof(D); ++dof) {
                const std::size_t src_off = 16 + so * sizeof(S);
                const std::size_t dst_off = 16 + 80 * sizeof(S) + 16 + dof * sizeof(D);
                compare_at(c, rng, dst_off + 80 * sizeof(D) + 16, dst_off, src_off, n);
            }
        }
    }
    // A whole frame.
    const std::size_t frame_dst = (76803 * sizeof(S) + 8 + 15) / 16 * 16 + sizeof(D);
    compare_at(c, rng, frame_dst + 76803 * sizeof(D) + 16, frame_dst, 8, 76803);
    // Overlapping buffers: the destination before, on and after the source.
    const std::size_t step = sizeof(D) > sizeof(S) ? sizeof(D) : sizeof(S);
    for (int32_t n : {5, 19, 20, 40, 101}) {
        const std::size_t base = 256;
        for (std::size_t k = 0; k <= 2 * 128 / step; ++k) {
            const std::size_t dst_off = base - 128 + k * step;
            compare_at(c, rng, 256 + 128 + 8 * static_cast<std::size_t>(n), dst_off, base, n);
        }
    }
}

TEST(ConvVector, U16ToU8)
{
    check_conversion(Conversion<uint8_t, uint16_t, uint32_t>{
        tq_conv_u16_u8, pylox::conv_plain_u16_u8, {0, 1, 3, 8, 15, 16, 31, 32, 40}});
}

TEST(ConvVector, U16ToF32)
{
    check_conversion(Conversion<float, uint16_t, float>{
        tq_conv_u16_f32, pylox::conv_plain_u16_f32, {1.0f, 0.001f, -2.5f, 1e30f}});
}

TEST(ConvVector, U16ToU32)
{
    check_conversion(Conversion<uint32_t, uint16_t, uint32_t>{
        tq_conv_u16_u32, pylox::conv_plain_u16_u32, {0, 1, 7, 0xFFFF, 0x12345, 0xFFFFFFFF}});
}

TEST(ConvVector, F32ToU8)
{
    check_conversion(Conversion<uint8_t, float, float>{
        tq_conv_f32_u8, pylox::conv_plain_f32_u8, {1.0f, 0.001f, 255.0f / 4000.0f, -3.7f}});
}

TEST(ConvVector, F32ToU16)
{
    check_conversion(Conversion<uint16_t, float, float>{
        tq_conv_f32_u16, pylox::conv_plain_f32_u16, {1.0f, 1000.0f, -1.0f, 0.5f}});
}

TEST(ConvVector, F32ToU32)
{
    check_conversion(Conversion<uint32_t, float, float>{
        tq_conv_f32_u32, pylox::conv_plain_f32_u32, {1.0f, 1000.0f, -7.25f, 65536.0f}});
}

// The distance output converts a u16 image kept in the upper half of its own
// float buffer into the lower half, from the first pixel upwards.
TEST(ConvVector, WideningIntoTheSameBuffer)
{
    constexpr int32_t kPixels = 320 * 240;
    std::vector<float> buf(kPixels);
    auto *scratch = reinterpret_cast<uint16_t *>(buf.data() + kPixels / 2);
    std::vector<uint16_t> original(kPixels);
    std::mt19937 rng(5);
    for (int32_t i = 0; i < kPixels; ++i) {
        original[i] = static_cast<uint16_t>(rng());
    }
    std::memcpy(scratch, original.data(), sizeof(uint16_t) * kPixels);
    tq_conv_u16_f32(buf.data(), scratch, kPixels, 0.001f);
    for (int32_t i = 0; i < kPixels; ++i) {
        ASSERT_EQ(buf[i], static_cast<float>(original[i]) * 0.001f) << i;
    }
}

} // namespace
