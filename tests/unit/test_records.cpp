// The records applications share with the library as C and C++ see them,
// and the names of the capture status codes.
#include "records_layout.h"
#include "support/stream_writer.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// The C++ compiler's view of the same list as records_layout.c.
#define PYLOX_TEST_ALIGN_HOLDER(T)                                                                 \
    struct records_align_##T {                                                                     \
        char c;                                                                                    \
        T t;                                                                                       \
    };
PYLOX_TEST_RECORDS(PYLOX_TEST_ALIGN_HOLDER)

std::vector<records_layout_entry> layout_cpp()
{
#define PYLOX_TEST_CPP_RECORD(T) {#T, offsetof(records_align_##T, t), sizeof(T)},
#define PYLOX_TEST_CPP_ENUM(T) {#T, 0, sizeof(T)},
#define PYLOX_TEST_CPP_MEMBER(T, m) {#T "." #m, offsetof(T, m), sizeof(((T *)nullptr)->m)},
    return {PYLOX_TEST_RECORDS(PYLOX_TEST_CPP_RECORD) PYLOX_TEST_ENUMS(PYLOX_TEST_CPP_ENUM)
                PYLOX_TEST_MEMBERS(PYLOX_TEST_CPP_MEMBER)};
}

std::vector<records_layout_entry> layout_c()
{
    std::vector<records_layout_entry> v(records_layout_c(nullptr, 0));
    records_layout_c(v.data(), v.size());
    return v;
}

size_t size_of(const std::vector<records_layout_entry> &all, const std::string &record)
{
    for (const auto &e : all)
        if (e.name == record)
            return e.size;
    return 0;
}

// A program in C and one in C++ must see every public record alike: same
// size, alignment, member offsets and member sizes (the packing pragmas, the
// enumerations and the nested union are where compilers can part).
TEST(Records, CAndCppLayOutEveryRecordAlike)
{
    const auto c = layout_c(), cpp = layout_cpp();
    ASSERT_EQ(c.size(), cpp.size());
    for (size_t i = 0; i < c.size(); ++i) {
        ASSERT_STREQ(c[i].name, cpp[i].name);
        EXPECT_EQ(c[i].offset, cpp[i].offset) << c[i].name;
        EXPECT_EQ(c[i].size, cpp[i].size) << c[i].name;
    }
}

// The list covers the records: the members of a packed record tile it without
// gaps or overlaps (a member added to a header and not listed shows here), and
// no member of any record reaches past its end.
TEST(Records, ListedMembersTileThePackedRecords)
{
    const auto all = layout_cpp();
    std::set<std::string> packed;
#define PYLOX_TEST_PACKED_NAME(T) packed.insert(#T);
    PYLOX_TEST_PACKED_RECORDS(PYLOX_TEST_PACKED_NAME)
    std::map<std::string, std::vector<std::pair<size_t, size_t>>> spans; // top-level members
    for (const auto &e : all) {
        const std::string name = e.name;
        const size_t dot = name.find('.');
        if (dot == std::string::npos)
            continue;
        const std::string record = name.substr(0, dot);
        EXPECT_LE(e.offset + e.size, size_of(all, record)) << name;
        if (name.find('.', dot + 1) == std::string::npos)
            spans[record].emplace_back(e.offset, e.size);
    }
    for (const auto &record : packed) {
        auto v = spans[record];
        std::sort(v.begin(), v.end());
        size_t end = 0;
        for (const auto &[off, size] : v) {
            EXPECT_EQ(off, end) << record << ": gap or overlap at " << off;
            end = off + size;
        }
        EXPECT_EQ(end, size_of(all, record)) << record;
    }
}

// A frame information record that the library (C++) fills is read right by
// a C program.
TEST(Records, CProgramReadsTheFrameInformationTheParserFills)
{
    pylox_test::stream_writer w;
    w.set_next_fridx(0x1234);
    const pylox_test::frame_attr_t attr = pylox_test::pattern_attr(7);
    const auto data = pylox_test::pattern_bytes(3000, 5);
    w.frame(data, attr);
    const auto bytes = w.bytes();
    uint32_t got[8] = {};
    ASSERT_EQ(records_stream_c(bytes.data(), static_cast<int>(bytes.size()), got), 1);
    auto u16 = [&](int at) { return static_cast<uint32_t>(attr[at] | attr[at + 1] << 8); };
    const uint32_t word = u16(8) | u16(10) << 16;
    const uint32_t want[8] = {3000, 0x1234, 1, u16(0), u16(2), u16(4), u16(6), word};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(got[i], want[i]) << "field " << i;
}

TEST(Records, DriverTablesEndWithANull)
{
    EXPECT_EQ(g_pylox_driver_op_epc.end, nullptr);
    EXPECT_EQ(g_pylox_driver_op_ti.end, nullptr);
}

TEST(ErrorNames, KnownCodes)
{
    EXPECT_STREQ(pylox_error_name(PYLOX_OK), "OK");
    EXPECT_STREQ(pylox_error_name(3), "PYLOX_ERR_CAP_FRAME_DISCARD");
    EXPECT_STREQ(pylox_error_name(-5), "PYLOX_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(pylox_error_name(-7), "PYLOX_ERR_CAP_STALL");
    EXPECT_STREQ(pylox_error_name(-8), "PYLOX_ERR_CAP_ERROR");
    EXPECT_STREQ(pylox_error_name(-10), "PYLOX_ERR_CAP_UNKNOWN");
}

TEST(ErrorNames, EveryOtherValueIsUnknown)
{
    for (int v : {-1, -2, -3, -4, -6, -9, 1, 2, 4, -11, 100, -2147483647 - 1, 2147483647})
        EXPECT_STREQ(pylox_error_name(v), "**UNKNOWN**") << v;
}

} // namespace
