// The one way tests look at the library's log lines: a capture that routes the
// file sink into a file of its own while alive (the console stays quiet), and
// a capture of what the console sink prints.
#pragma once

#include <pylox/tq_log.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace pylox_test {

class log_capture {
public:
    // Lines at `level` and above go to a fresh file under the temporary folder.
    explicit log_capture(int level = TQ_LOG_DBG, const std::string &stem = "pylox_log");
    // Closes the sink and restores the console's default threshold (warnings). A
    // failed test keeps the file for a look afterwards and names it on stdout.
    ~log_capture();
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    // The file the lines go to; the logger keeps this very pointer while the
    // file is open, so a caller that opens the sink itself (pylox_init) must
    // pass path().c_str().
    const std::string &path() const { return path_; }
    std::string text() const;
    // Occurrences of the piece in everything logged so far.
    int count(const std::string &piece) const;
    bool has(const std::string &piece) const { return text().find(piece) != std::string::npos; }
    // Forgets what was logged so far.
    void clear() const;

private:
    std::string path_;
};

// What fn prints on standard output, where the console sink writes.
template <typename F> std::string console_output(F fn)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

} // namespace pylox_test
