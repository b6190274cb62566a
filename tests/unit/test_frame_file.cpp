// Raw, distance and gray frame files: header lines, sample conversions,
// appending, frame-by-frame loading and files that are not what they claim.
#include "support/frame_files.h"
#include "support/log_capture.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

using namespace pylox_test;

namespace {

std::vector<uint16_t> ramp(size_t n, uint16_t start = 0)
{
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint16_t>(start + i * 7919u);
    return v;
}

class FrameFile : public ::testing::Test {
protected:
    scratch_dir dir_;
    log_capture log_;
};

TEST_F(FrameFile, RawU16HeaderOnceThenFramesAppended)
{
    const std::string path = dir_.file("raw.bin");
    const auto f1 = ramp(320 * 240 * 4, 1), f2 = ramp(320 * 240 * 4, 2);
    {
        fd_guard fd(path);
        ASSERT_EQ(pylox_frame_save_raw(fd.get(), PYLOX_FRAME_SAVE_U16, f1.data(), int(f1.size()),
                                       320, 240, 4, "PYLOX-E2-R320"),
                  1);
        ASSERT_EQ(pylox_frame_save_raw(fd.get(), PYLOX_FRAME_SAVE_U16, f2.data(), int(f2.size()),
                                       320, 240, 4, "PYLOX-E2-R320"),
                  1);
    }
    const std::string hdr = "TQ_RAW,U16,320,240,4,PYLOX-E2-R320\n";
    EXPECT_EQ(read_all(path), hdr + as_bytes(f1) + as_bytes(f2));
    EXPECT_EQ(read_all(path).size(), hdr.size() + 2 * 614400);

    fd_guard fd(path, O_RDONLY);
    std::vector<uint16_t> got(f1.size() + 5, 0xABCD);
    int w = 0, h = 0, n = 0;
    char tag[40] = "x";
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), int(got.size()), &w, &h, &n, tag, 40),
              int(f1.size()));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(tag, "PYLOX-E2-R320");
    EXPECT_TRUE(std::equal(f1.begin(), f1.end(), got.begin()));
    EXPECT_EQ(got[f1.size()], 0xABCD) << "wrote past the frame";
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), int(got.size()), nullptr, nullptr, nullptr,
                                   nullptr, 0),
              int(f2.size()));
    EXPECT_TRUE(std::equal(f2.begin(), f2.end(), got.begin()));
    log_.clear();
    EXPECT_EQ(pylox_frame_load_raw(fd.get(), got.data(), int(got.size()), nullptr, nullptr, nullptr,
                                   nullptr, 0),
              0);
    EXPECT_EQ(log_.text(), "") << "the end of the file is not an error";
}

TEST_F(FrameFile, AppendingDescriptorsWriteTheHeaderOnlyIntoAnEmptyFile)
{
    // Each session opens the file for appending: its descriptor is at
    // position 0 although its writes land at the end.
    const std::string raw = dir_.file("raw.bin"), gray = dir_.file("gray.bin");
    const auto f = ramp(8);
    const std::vector<float> g = {1, 2, 3, 4};
    for (int session = 0; session < 3; ++session) {
        fd_guard r(raw, O_WRONLY | O_CREAT | O_APPEND);
        ASSERT_EQ(pylox_frame_save_raw(r.get(), 2, f.data(), 8, 2, 2, 2, "T"), 1);
        fd_guard q(gray, O_WRONLY | O_CREAT | O_APPEND);
        ASSERT_EQ(pylox_frame_save_gray(q.get(), 3, g.data(), 4, 2, 2), 1);
    }
    EXPECT_EQ(read_all(raw), "TQ_RAW,U16,2,2,2,T\n" + as_bytes(f) + as_bytes(f) + as_bytes(f));
    EXPECT_EQ(read_all(gray), std::string("TQ_GRAY,U8,2,2\n") + std::string("\1\2\3\4", 4) +
                                  std::string("\1\2\3\4", 4) + std::string("\1\2\3\4", 4));
}

TEST_F(FrameFile, RawU32ZeroExtendsAndLoadsBackAsU16)
{
    const std::string path = dir_.file("raw32.bin");
    const std::vector<uint16_t> f = {0, 1, 0x8000, 0xFFFF, 0x1234, 42};
    fd_guard fd(path);
    ASSERT_EQ(pylox_frame_save_raw(fd.get(), PYLOX_FRAME_SAVE_U32, f.data(), 6, 3, 1, 2, "T"), 1);
    ASSERT_EQ(pylox_frame_save_raw(fd.get(), PYLOX_FRAME_SAVE_U32, f.data(), 6, 3, 1, 2, "T"), 1);
    std::vector<uint32_t> wide(f.begin(), f.end());
    EXPECT_EQ(read_all(path), "TQ_RAW,U32,3,1,2,T\n" + as_bytes(wide) + as_bytes(wide));

    // The upper 16 bits of a stored sample are cut off on loading.
    fd_guard patch(path, O_WRONLY);
    const uint32_t big = 0x0005BEEF;
    ASSERT_EQ(::pwrite(patch.get(), &big, 4, 19), 4);
    fd.rewind();
    std::vector<uint16_t> got(6);
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 6, nullptr, nullptr, nullptr, nullptr, 0),
              6);
    EXPECT_EQ(got[0], 0xBEEF);
    EXPECT_TRUE(std::equal(f.begin() + 1, f.end(), got.begin() + 1));
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 6, nullptr, nullptr, nullptr, nullptr, 0),
              6);
    EXPECT_EQ(got, f);
}

TEST_F(FrameFile, RawSaveRejectsBadArgumentsAndWritesNothing)
{
    const std::string path = dir_.file("bad.bin");
    const auto f = ramp(24);
    fd_guard fd(path);
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 23, 3, 2, 2, "T"), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_raw] wrong param: raw_len=23, w=3, h=2\n"));
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 0, 3, 2, 2, "T"), 0);
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 3, f.data(), 24, 3, 2, 2, "T"), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_raw] wrong raw save format: 3\n"));
    // Zero or negative dimensions, and dimensions whose product overflows.
    for (auto [w, h, n] :
         {std::tuple{0, 2, 2}, {3, 0, 2}, {3, 2, 0}, {-3, -2, 4}, {65536, 65536, 65536}}) {
        log_.clear();
        EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 24, w, h, n, "T"), 0);
        EXPECT_TRUE(log_.has("[pylox_frame_save_raw] wrong frame size: w=" + std::to_string(w)))
            << log_.text();
    }
    // Tags that would break the header line.
    const std::string long_tag(300, 'x');
    for (const char *tag : {static_cast<const char *>(nullptr), "", "two words", "line\nfeed",
                            "tab\t", long_tag.c_str()}) {
        log_.clear();
        EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 24, 3, 2, 2, tag), 0);
        EXPECT_TRUE(log_.has("[pylox_frame_save_raw] wrong raw tag")) << log_.text();
    }
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, nullptr, 24, 3, 2, 2, "T"), 0);
    EXPECT_EQ(read_all(path), "");

    // A wrong format is refused in the middle of a file too.
    ASSERT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 24, 3, 2, 2, "T"), 1);
    const std::string before = read_all(path);
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 0, f.data(), 24, 3, 2, 2, "T"), 0);
    EXPECT_EQ(read_all(path), before);
}

TEST_F(FrameFile, RawSaveFailsOnUnwritableDescriptor)
{
    const std::string path = dir_.file("ro.bin");
    write_all(path, "");
    fd_guard fd(path, O_RDONLY);
    const auto f = ramp(4);
    EXPECT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 4, 2, 2, 1, "T"), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_raw] faile to save TQ_RAW header\n"));
    EXPECT_EQ(pylox_frame_save_raw(-1, 1, f.data(), 4, 2, 2, 1, "T"), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_raw] faile to save TQ_RAW U32 data: 16 bytes\n"));
}

TEST_F(FrameFile, RawTagsOfThirtyTwoCharactersAndLonger)
{
    const std::string t32(32, 'A'), t40 = std::string(32, 'B') + "CCCCCCCC";
    const auto f = ramp(4);
    for (const std::string &tag : {t32, t40}) {
        const std::string path = dir_.file("tag.bin");
        fd_guard fd(path);
        ASSERT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 4, 2, 2, 1, tag.c_str()), 1);
        fd.rewind();
        std::vector<uint16_t> got(4);
        char out[64];
        std::memset(out, 0x55, sizeof out);
        ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 4, nullptr, nullptr, nullptr, out, 64),
                  4);
        EXPECT_EQ(std::string(out), tag.substr(0, 32));
        EXPECT_EQ(got, f);
        // A small tag buffer gets a terminated prefix and nothing beyond it.
        std::memset(out, 0x55, sizeof out);
        ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 4, nullptr, nullptr, nullptr, out, 0),
                  0); // end of file; the buffer of size 0 is left alone
        EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x55);
        fd.rewind();
        ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 4, nullptr, nullptr, nullptr, out, 5),
                  4);
        EXPECT_EQ(std::string(out), tag.substr(0, 4));
        EXPECT_EQ(static_cast<unsigned char>(out[5]), 0x55);
    }
}

TEST_F(FrameFile, ShortDestinationStillConsumesTheWholeFrame)
{
    const std::string path = dir_.file("raw.bin");
    const auto frames = ramp(3 * 76800, 9);
    fd_guard fd(path);
    ASSERT_EQ(pylox_frame_save_raw(fd.get(), 2, frames.data(), int(frames.size()), 320, 240, 1,
                                   "PYLOX-E2-R320"),
              1);
    fd.rewind();
    uint16_t small[16];
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(pylox_frame_load_raw(fd.get(), small, 16, nullptr, nullptr, nullptr, nullptr, 0),
                  16);
        EXPECT_TRUE(std::equal(small, small + 16, frames.begin() + k * 76800)) << "frame " << k;
    }
    EXPECT_EQ(pylox_frame_load_raw(fd.get(), small, 16, nullptr, nullptr, nullptr, nullptr, 0), 0);
    // No destination at all is a bad argument, not a read.
    fd.rewind();
    EXPECT_EQ(pylox_frame_load_raw(fd.get(), nullptr, 16, nullptr, nullptr, nullptr, nullptr, 0),
              0);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);
}

TEST_F(FrameFile, TruncatedLastFrameIsReported)
{
    const std::string path = dir_.file("cut.bin");
    const auto f = ramp(8);
    {
        fd_guard fd(path);
        ASSERT_EQ(pylox_frame_save_raw(fd.get(), 2, f.data(), 8, 2, 2, 2, "T"), 1);
        ASSERT_EQ(::write(fd.get(), f.data(), 10), 10);
    }
    fd_guard fd(path, O_RDONLY);
    std::vector<uint16_t> got(8);
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 8, nullptr, nullptr, nullptr, nullptr, 0),
              8);
    EXPECT_EQ(pylox_frame_load_raw(fd.get(), got.data(), 8, nullptr, nullptr, nullptr, nullptr, 0),
              0);
    EXPECT_TRUE(log_.has("[pylox_frame_load_raw] read 16 date failed: ret= 10\n")) << log_.text();
}

TEST_F(FrameFile, DistanceFormatsHeadersAndRounding)
{
    // Two frames of 4 x 2 and half a frame more: only whole frames are written.
    std::vector<float> d(20);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = 1.2345f + 0.5f * static_cast<float>(i);
    const char *const headers[] = {"TQ_DIST,F32,4,2\n", "TQ_DIST,U32,4,2\n", "TQ_DIST,U16,4,2\n"};
    for (int fmt = 0; fmt < 3; ++fmt) {
        const std::string path = dir_.file("dist" + std::to_string(fmt));
        fd_guard fd(path);
        ASSERT_EQ(pylox_frame_save_distance(fd.get(), fmt, d.data(), 20, 4, 2), 1);
        const std::string bytes = read_all(path);
        const size_t sample = fmt == 2 ? 2 : 4;
        ASSERT_EQ(bytes.size(), std::strlen(headers[fmt]) + 16 * sample);
        EXPECT_EQ(bytes.substr(0, std::strlen(headers[fmt])), headers[fmt]);

        fd.rewind();
        std::vector<float> got(8, -1.0f);
        int w = 0, h = 0;
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(pylox_frame_load_distance(fd.get(), got.data(), 8, &w, &h), 8);
            EXPECT_EQ(w, 4);
            EXPECT_EQ(h, 2);
            for (int i = 0; i < 8; ++i) {
                const float v = d[k * 8 + i];
                const float want =
                    fmt == 0 ? v : static_cast<float>(static_cast<uint32_t>(v * 1000.0f)) / 1000.0f;
                EXPECT_EQ(got[i], want) << "format " << fmt << " value " << v;
            }
        }
        EXPECT_EQ(pylox_frame_load_distance(fd.get(), got.data(), 8, &w, &h), 0);
    }
    // The documented example: 1.2345 m comes back as 1.234 m from U16, exact from F32.
    const std::string path = dir_.file("one");
    fd_guard fd(path);
    const float one[1] = {1.2345f};
    ASSERT_EQ(pylox_frame_save_distance(fd.get(), PYLOX_FRAME_SAVE_U16, one, 1, 1, 1), 1);
    fd.rewind();
    float back = 0;
    ASSERT_EQ(pylox_frame_load_distance(fd.get(), &back, 1, nullptr, nullptr), 1);
    EXPECT_EQ(back, 1234.0f / 1000.0f);
}

TEST_F(FrameFile, DistanceU16AndU32CutTheirRange)
{
    const float d[4] = {70.0f, -0.0015f, 5000000.5f, 1e30f};
    fd_guard fd(dir_.file("range"));
    ASSERT_EQ(pylox_frame_save_distance(fd.get(), PYLOX_FRAME_SAVE_U16, d, 4, 4, 1), 1);
    ASSERT_EQ(pylox_frame_save_distance(fd.get(), PYLOX_FRAME_SAVE_U32, d, 4, 4, 1), 1);
    const std::string bytes = read_all(dir_.file("range"));
    const std::string hdr = "TQ_DIST,U16,4,1\n";
    uint16_t u16[4];
    std::memcpy(u16, bytes.data() + hdr.size(), 8);
    EXPECT_EQ(u16[0], static_cast<uint16_t>(70000)); // cut to 16 bits
    EXPECT_EQ(u16[1], static_cast<uint16_t>(-1));    // truncation toward zero, then cut
    const int64_t big = static_cast<int64_t>(d[2] * 1000.0f);
    EXPECT_EQ(u16[2], static_cast<uint16_t>(big));
    uint32_t u32[4];
    std::memcpy(u32, bytes.data() + hdr.size() + 8, 16);
    EXPECT_EQ(u32[0], 70000u);
    EXPECT_EQ(u32[1], static_cast<uint32_t>(-1));
    EXPECT_EQ(u32[2], static_cast<uint32_t>(big));
}

TEST_F(FrameFile, DistanceAndGraySaveRejectBadCalls)
{
    fd_guard fd(dir_.file("x"));
    const std::vector<float> v(12, 1.0f);
    EXPECT_EQ(pylox_frame_save_distance(fd.get(), 3, v.data(), 12, 3, 2), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_distance] wrong distance save format: 3\n"));
    EXPECT_EQ(pylox_frame_save_gray(fd.get(), 1, v.data(), 12, 3, 2), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_save_gray] wrong gray save format: 1\n"));
    // Less than one frame would leave a partial frame in the file.
    EXPECT_EQ(pylox_frame_save_distance(fd.get(), 0, v.data(), 5, 3, 2), 0);
    EXPECT_EQ(pylox_frame_save_gray(fd.get(), 3, v.data(), 5, 3, 2), 0);
    EXPECT_EQ(pylox_frame_save_gray(fd.get(), 3, v.data(), 12, 0, 2), 0);
    EXPECT_EQ(pylox_frame_save_distance(fd.get(), 0, v.data(), 12, 3, -2), 0);
    EXPECT_EQ(pylox_frame_save_distance(fd.get(), 0, nullptr, 12, 3, 2), 0);
    EXPECT_EQ(read_all(dir_.file("x")), "");
}

TEST_F(FrameFile, GrayCutsToItsSampleAndWritesOneFramePerCall)
{
    const std::vector<float> g = {300.7f, 12.9f, 255.0f, 256.0f, 65536.0f + 7.5f, 0.2f};
    const char *const headers[] = {"TQ_GRAY,U16,2,2\n", "TQ_GRAY,U8,2,2\n"};
    for (int fmt : {PYLOX_FRAME_SAVE_U16, PYLOX_FRAME_SAVE_U8}) {
        const std::string path = dir_.file("gray" + std::to_string(fmt));
        fd_guard fd(path);
        // 1.5 frames: one frame goes in.
        ASSERT_EQ(pylox_frame_save_gray(fd.get(), fmt, g.data(), 6, 2, 2), 1);
        const std::string hdr = headers[fmt - 2];
        const std::string bytes = read_all(path);
        ASSERT_EQ(bytes.size(), hdr.size() + 4 * (fmt == PYLOX_FRAME_SAVE_U8 ? 1 : 2));
        EXPECT_EQ(bytes.substr(0, hdr.size()), hdr);
        if (fmt == PYLOX_FRAME_SAVE_U8) {
            EXPECT_EQ(static_cast<uint8_t>(bytes[hdr.size()]), 44); // 300 cut to 8 bits
        }
        fd.rewind();
        float got[4];
        int w = 0, h = 0;
        ASSERT_EQ(pylox_frame_load_gray(fd.get(), got, 4, &w, &h), 4);
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 2);
        if (fmt == PYLOX_FRAME_SAVE_U8) {
            EXPECT_EQ(got[0], 44.0f);
            EXPECT_EQ(got[3], 0.0f);
        } else {
            EXPECT_EQ(got[0], 300.0f);
            EXPECT_EQ(got[3], 256.0f);
        }
        EXPECT_EQ(got[1], 12.0f);
        EXPECT_EQ(got[2], 255.0f);
        EXPECT_EQ(pylox_frame_load_gray(fd.get(), got, 4, &w, &h), 0);
    }
}

TEST_F(FrameFile, LoaderOfOneKindRefusesTheOthers)
{
    fd_guard fd(dir_.file("d"));
    const float d[2] = {1, 2};
    ASSERT_EQ(pylox_frame_save_distance(fd.get(), 0, d, 2, 2, 1), 1);
    fd.rewind();
    uint16_t raw[2];
    float out[2];
    EXPECT_EQ(pylox_frame_load_raw(fd.get(), raw, 2, nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_load_raw] faile to load TQ file header\n"));
    fd.rewind();
    EXPECT_EQ(pylox_frame_load_gray(fd.get(), out, 2, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.has("[pylox_frame_load_gray] faile to load TQ file header\n"));
    // Each kind keeps its own state: the distance loader is unaffected.
    fd.rewind();
    EXPECT_EQ(pylox_frame_load_distance(fd.get(), out, 2, nullptr, nullptr), 2);
    EXPECT_EQ(out[1], 2.0f);
}

// Files that are not frame files, or lie about their frames: every load fails
// with the header line and nothing is allocated for absurd frames (ASan would
// report a wild allocation or an overrun).
TEST_F(FrameFile, HostileRawFilesFailCleanly)
{
    std::string junk(4096, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string pad(300, 'p');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"huge", "TQ_RAW,U16,100000,100000,4,T\n" + std::string(64, 'x')},
        {"overflowing product", "TQ_RAW,U32,2147483647,2147483647,2147483647,T\n"},
        {"just over the limit", "TQ_RAW,U16,4096,4096,3,T\n"},
        {"overflowing number", "TQ_RAW,U16,99999999999999999999,2,2,T\n"},
        {"negative", "TQ_RAW,U16,-320,240,4,T\n"},
        {"zero count", "TQ_RAW,U16,320,240,0,T\n"},
        {"no tag", "TQ_RAW,U16,2,2,1,\n" + std::string(8, 'x')},
        {"binary junk", junk},
        {"no line feed", "TQ_RAW,U16,2,2,1,T" + std::string(8, 'x')},
        {"300-byte first line", "TQ_RAW,U16,2,2,1," + pad + "\n" + std::string(8, 'x')},
        {"NUL in the line", std::string("TQ_RAW,U16,2,2,1,T\0junk\n", 24) + std::string(8, 'x')},
        {"other kind", "TQ_GRAY,U16,2,2\n" + std::string(8, 'x')},
    };
    std::vector<uint16_t> dst(64);
    for (const auto &[name, bytes] : cases) {
        SCOPED_TRACE(name);
        const std::string path = dir_.file("hostile");
        write_all(path, bytes);
        fd_guard fd(path, O_RDONLY);
        log_.clear();
        int w = -1;
        EXPECT_EQ(pylox_frame_load_raw(fd.get(), dst.data(), 64, &w, nullptr, nullptr, nullptr, 0),
                  0);
        EXPECT_EQ(w, -1);
        EXPECT_TRUE(log_.has("[pylox_frame_load_raw] faile to load TQ file header\n"))
            << log_.text();
        // The failed header leaves nothing behind for a read further on.
        ::lseek(fd.get(), 1, SEEK_SET);
        EXPECT_EQ(
            pylox_frame_load_raw(fd.get(), dst.data(), 64, nullptr, nullptr, nullptr, nullptr, 0),
            0);
    }
    // The largest frame a loader takes still loads.
    const std::string path = dir_.file("limit");
    write_all(path, "TQ_GRAY,U8,8192,8192\n" + std::string(8192 * 8192, '\x07'));
    fd_guard fd(path, O_RDONLY);
    std::vector<float> g(4);
    EXPECT_EQ(pylox_frame_load_gray(fd.get(), g.data(), 4, nullptr, nullptr), 4);
    EXPECT_EQ(g[3], 7.0f);
}

TEST_F(FrameFile, HeaderLinesMayEndAnywhereWithinTheirLimit)
{
    // A 255-character line with its line feed is the longest header.
    const std::string pad(255 - std::string("TQ_RAW,U16,2,1,1,").size(), 'q');
    const std::string line = "TQ_RAW,U16,2,1,1," + pad;
    ASSERT_EQ(line.size(), 255u);
    const std::string path = dir_.file("long");
    write_all(path, line + "\n" + std::string("\x01\x00\x02\x00", 4));
    fd_guard fd(path, O_RDONLY);
    uint16_t got[2] = {};
    char tag[64];
    ASSERT_EQ(pylox_frame_load_raw(fd.get(), got, 2, nullptr, nullptr, nullptr, tag, 64), 2);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[1], 2);
    EXPECT_EQ(std::string(tag), pad.substr(0, 32));
}

} // namespace
