// Collects the library's log lines of one test in a file sink at trace level.
#pragma once

#include <pylox/pylox.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class LogCapture {
public:
    LogCapture()
        : path_(
              (std::filesystem::temp_directory_path() / ("pylox_usb_" + std::to_string(::getpid()) +
                                                         "_" + std::to_string(++serial()) + ".log"))
                  .string())
    {
        std::filesystem::remove(path_);
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, path_.c_str());
    }
    ~LogCapture()
    {
        tq_log_disable();
        std::filesystem::remove(path_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Lines holding every one of the given pieces.
    int count(const std::string &piece) const
    {
        const std::string t = text();
        int n = 0;
        for (size_t at = t.find(piece); at != std::string::npos; at = t.find(piece, at + 1))
            ++n;
        return n;
    }
    bool has(const std::string &piece) const { return count(piece) > 0; }

private:
    static int &serial()
    {
        static int n = 0;
        return n;
    }
    std::string path_;
};
