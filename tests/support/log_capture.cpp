#include "support/log_capture.h"

#include "support/raw_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pylox_test {

log_capture::log_capture(int level, const std::string &stem) : path_(scratch_path(stem) + ".log")
{
    std::filesystem::remove(path_);
    tq_log_enable(0, TQ_LOG_NONE, nullptr);
    tq_log_enable(1, level, path_.c_str());
}

log_capture::~log_capture()
{
    tq_log_disable();
    tq_log_enable(0, TQ_LOG_WRN, nullptr);
    if (::testing::Test::HasFailure())
        std::printf("library log kept: %s\n", path_.c_str());
    else
        std::filesystem::remove(path_);
}

std::string log_capture::text() const
{
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int log_capture::count(const std::string &piece) const
{
    const std::string t = text();
    int n = 0;
    for (size_t at = t.find(piece); at != std::string::npos; at = t.find(piece, at + 1))
        ++n;
    return n;
}

void log_capture::clear() const
{
    std::ofstream(path_, std::ios::trunc);
}

} // namespace pylox_test
