// Test helpers around frame files: a scratch directory, whole-file reads and
// writes, a file descriptor that closes itself.
#pragma once

#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pylox_test {

namespace fs = std::filesystem;

// A directory of its own for each test case, removed afterwards.
class scratch_dir {
public:
    scratch_dir()
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() / ("pylox_" + std::to_string(::getpid()) + "_" +
                                             info->test_suite_name() + "_" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~scratch_dir() { fs::remove_all(path_); }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_all(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <class T> std::string as_bytes(const std::vector<T> &v)
{
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}

// File descriptor that closes itself.
class fd_guard {
public:
    explicit fd_guard(const std::string &path, int flags = O_RDWR | O_CREAT | O_TRUNC)
        : fd_(::open(path.c_str(), flags, 0644))
    {
    }
    ~fd_guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    void rewind() const { ::lseek(fd_, 0, SEEK_SET); }

private:
    int fd_;
};

} // namespace pylox_test
