// Logger thresholds and sinks, the line prefix, and the path prefix.
#include "support/log_capture.h"

#include "core/clock.h"

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using pylox_test::console_output;

#if defined(__SANITIZE_ADDRESS__)
// Freed memory is filled with garbage, so that a write through a FILE that was
// closed (freed) under the writer crashes instead of passing unnoticed.
extern "C" const char *__asan_default_options()
{
    return "max_free_fill_size=4096:free_fill_byte=255";
}
#endif

namespace {

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("pylox_log_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_a_ = (dir_ / "a.log").string();
        file_b_ = (dir_ / "b.log").string();
    }
    void TearDown() override
    {
        tq_log_disable();
        tq_log_enable(0, TQ_LOG_WRN, nullptr);
        fs::remove_all(dir_);
    }
    fs::path dir_;
    std::string file_a_, file_b_;
};

TEST_F(LogTest, ThresholdsRouteEachLevelToItsSinks)
{
    ASSERT_EQ(tq_log_enable(0, TQ_LOG_WRN, nullptr), 1);
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_DBG, file_a_.c_str()), 1);

    const std::string out = console_output([] {
        tq_log(TQ_LOG_INF, "INF", "[%s] info %d\n", "fn", 2);
        tq_log(TQ_LOG_TRC, "TRC", "[%s] trace\n", "fn");
        tq_log(TQ_LOG_ERR, "ERR", "[%s] error %s\n", "fn", "x");
    });
    EXPECT_EQ(out.find("info"), std::string::npos);
    EXPECT_NE(out.find("[ERR] [fn] error x\n"), std::string::npos);

    const std::string file = read_file(file_a_);
    EXPECT_NE(file.find("[INF] [fn] info 2\n"), std::string::npos);
    EXPECT_NE(file.find("[ERR] [fn] error x\n"), std::string::npos);
    EXPECT_EQ(file.find("trace"), std::string::npos);
}

TEST_F(LogTest, PrefixCarriesDateTimeMillisecondsAndThread)
{
    tq_log_enable(0, TQ_LOG_TRC, nullptr);
    const std::string out = console_output([] { tq_log(TQ_LOG_WRN, "WRN", "[%s] hello\n", "f"); });
    const std::regex line(
        R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[WRN\] \[f\] hello\n$)");
    EXPECT_TRUE(std::regex_match(out, line)) << out;

    const std::string raw = console_output([] { tq_log_raw(TQ_LOG_WRN, "plain %d", 7); });
    EXPECT_EQ(raw, "plain 7");
}

TEST_F(LogTest, LongMessagesAreWrittenWhole)
{
    tq_log_enable(0, TQ_LOG_TRC, nullptr);
    const std::string body(5000, 'x');
    const std::string out =
        console_output([&] { tq_log(TQ_LOG_ERR, "ERR", "[%s] %s|\n", "f", body.c_str()); });
    EXPECT_NE(out.find("[f] " + body + "|\n"), std::string::npos);
}

TEST_F(LogTest, FileSinkKeepsOrReplacesItsFile)
{
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_TRC, file_a_.c_str()), 1);
    tq_log(TQ_LOG_ERR, "ERR", "[%s] one\n", "f");
    // A null path keeps the open file.
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_TRC, nullptr), 1);
    tq_log(TQ_LOG_ERR, "ERR", "[%s] two\n", "f");
    // A new name closes the old file and opens the new one.
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_TRC, file_b_.c_str()), 1);
    tq_log(TQ_LOG_ERR, "ERR", "[%s] three\n", "f");

    const std::string a = read_file(file_a_), b = read_file(file_b_);
    EXPECT_NE(a.find("one"), std::string::npos);
    EXPECT_NE(a.find("two"), std::string::npos);
    EXPECT_EQ(a.find("three"), std::string::npos);
    EXPECT_NE(b.find("three"), std::string::npos);
}

TEST_F(LogTest, FileIsAppendedNotTruncated)
{
    {
        std::ofstream(file_a_) << "earlier\n";
    }
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_TRC, file_a_.c_str()), 1);
    tq_log(TQ_LOG_ERR, "ERR", "[%s] later\n", "f");
    const std::string a = read_file(file_a_);
    EXPECT_EQ(a.rfind("earlier\n", 0), 0u);
    EXPECT_NE(a.find("later"), std::string::npos);
}

TEST_F(LogTest, BadIndexOrUnopenableFileFails)
{
    EXPECT_EQ(tq_log_enable(3, TQ_LOG_TRC, nullptr), 0);
    EXPECT_EQ(tq_log_enable(-1, TQ_LOG_TRC, nullptr), 0);
    // Index 3 changed nothing: the console threshold is still WRN.
    const std::string out = console_output([] { tq_log(TQ_LOG_INF, "INF", "[%s] quiet\n", "f"); });
    EXPECT_TRUE(out.empty());

    const std::string missing = (dir_ / "no" / "such" / "dir.log").string();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(tq_log_enable(1, TQ_LOG_TRC, missing.c_str()), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot open file " + missing + " for write"), std::string::npos);
}

TEST_F(LogTest, DisableSilencesEverySink)
{
    tq_log_enable(0, TQ_LOG_TRC, nullptr);
    tq_log_enable(1, TQ_LOG_TRC, file_a_.c_str());
    EXPECT_EQ(tq_log_disable(), 0);
    const std::string out = console_output([] { tq_log(TQ_LOG_ERR, "ERR", "[%s] gone\n", "f"); });
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(read_file(file_a_).find("gone"), std::string::npos);
    EXPECT_EQ(tq_log_disable(), 0); // nothing left to close
}

TEST_F(LogTest, LogCfgSetsBothThresholds)
{
    tq_log_enable(1, TQ_LOG_TRC, file_a_.c_str());
    pylox_log_cfg(TQ_LOG_ERR, TQ_LOG_WRN, TQ_LOG_NONE);
    const std::string out = console_output([] {
        tq_log(TQ_LOG_WRN, "WRN", "[%s] warn\n", "f");
        tq_log(TQ_LOG_INF, "INF", "[%s] info\n", "f");
    });
    EXPECT_TRUE(out.empty());
    const std::string a = read_file(file_a_);
    EXPECT_NE(a.find("warn"), std::string::npos);
    EXPECT_EQ(a.find("info"), std::string::npos);
}

// Threads log without pause while another thread switches the file sink
// between two files and disables it, again and again: no line is written to a
// closed file (ASan/TSan see it) and each file holds whole lines only. Once
// the switching stops, every line reaches the file.
TEST_F(LogTest, FileSwitchesAndClosesWhileThreadsLog)
{
    constexpr int writers = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> lines{0};
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_DBG, file_a_.c_str()), 1);
    // Lines longer than the logger's stack buffer take its longer path
    // (formatted twice), which widens the time between its look at the sink
    // and the write.
    const std::string pad(400, 'x');
    auto writer = [&](int id) {
        for (int i = 0; i < 1000000 && !stop.load(); ++i) {
            tq_log(TQ_LOG_INF, "INF", "[%s] line %d of writer %d %s\n", "w", i, id, pad.c_str());
            ++lines;
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < writers; ++id)
        threads.emplace_back(writer, id);
    for (int i = 0; i < 6000; ++i) {
        tq_log_enable(1, TQ_LOG_DBG, (i % 2 ? file_a_ : file_b_).c_str());
        if (i % 3 == 2)
            tq_log_disable();
    }
    stop = true;
    for (std::thread &t : threads)
        t.join();
    threads.clear();
    EXPECT_GT(lines.load(), 0);

    ASSERT_EQ(tq_log_enable(0, TQ_LOG_NONE, nullptr), 1);
    ASSERT_EQ(tq_log_enable(1, TQ_LOG_DBG, file_a_.c_str()), 1);
    for (int id = 0; id < writers; ++id)
        threads.emplace_back([id] {
            for (int i = 0; i < 100; ++i)
                tq_log(TQ_LOG_INF, "INF", "[%s] last %d of writer %d\n", "w", i, id);
        });
    for (std::thread &t : threads)
        t.join();
    tq_log_disable();

    const std::regex line(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[INF\] \[w\] )"
                          R"((line \d+ of writer \d x{400}|last \d+ of writer \d))");
    int last_lines = 0;
    for (const std::string &f : {file_a_, file_b_}) {
        std::istringstream in(read_file(f));
        for (std::string l; std::getline(in, l);) {
            ASSERT_TRUE(std::regex_match(l, line)) << l;
            last_lines += l.find("] last ") != std::string::npos;
        }
    }
    EXPECT_EQ(last_lines, writers * 100);
}

class PathTest : public LogTest {};

TEST_F(PathTest, CreatesEveryLevelOfARelativePrefix)
{
    const fs::path old = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(pylox_path_cfg("one/two/three/"), 0);
    EXPECT_STREQ(pylox_path_get(), "one/two/three/");
    EXPECT_TRUE(fs::is_directory(dir_ / "one" / "two" / "three"));
    // Existing directories are fine, and backslashes separate levels as well.
    EXPECT_EQ(pylox_path_cfg("one\\two\\four\\"), 0);
    EXPECT_TRUE(fs::is_directory(dir_ / "one" / "two" / "four"));
    fs::current_path(old);
}

TEST_F(PathTest, AbsolutePrefixAndFailure)
{
    const std::string abs = (dir_ / "x" / "y").string() + "/";
    EXPECT_EQ(pylox_path_cfg(abs.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir_ / "x" / "y"));

    // A regular file in the way makes the final directory impossible.
    {
        std::ofstream(dir_ / "blocker") << "f";
    }
    const std::string bad = (dir_ / "blocker" / "sub").string();
    EXPECT_EQ(pylox_path_cfg(bad.c_str()), -1);
    EXPECT_EQ(pylox_path_cfg(nullptr), -1);
}

TEST_F(PathTest, LongPrefixIsCutTo255Characters)
{
    const fs::path old = fs::current_path();
    fs::current_path(dir_);
    const std::string longp(400, 'a');
    pylox_path_cfg(longp.c_str());
    EXPECT_EQ(std::string(pylox_path_get()).size(), 255u);
    fs::current_path(old);
}

} // namespace

// The millisecond clock of timeouts and intervals is the instant of the
// calendar clock that stamps log lines, read without the calendar fields.
TEST(LibraryClock, MillisecondsAgreeWithTheCalendarClock)
{
    for (int i = 0; i < 2000; ++i) {
        const pylox::wall_time a = pylox::clock_now();
        const int64_t ms = pylox::clock_now_ms();
        const pylox::wall_time b = pylox::clock_now();
        ASSERT_LE(a.sec * 1000 + a.msec, ms);
        ASSERT_LE(ms, b.sec * 1000 + b.msec);
        ASSERT_EQ(a.usec, a.msec * 1000);
    }
}
