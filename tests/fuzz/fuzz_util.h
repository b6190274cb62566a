// Helpers of the libFuzzer targets: a failed property aborts (libFuzzer keeps
// the input), the library stays quiet, and files live in memory or in a
// scratch folder on a memory file system, so the targets run at memory speed.
#pragma once

#include <pylox/tq_log.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Work of the target itself (expanding an input, computing what the library
// must give back) is no part of what the fuzzer explores: without coverage
// feedback it runs at the speed of plain code and adds no features.
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))

namespace fuzz {

// Turns the library's console and file logs off once.
inline void quiet()
{
    static const bool done = (tq_log_enable(0, TQ_LOG_NONE, nullptr), true);
    (void)done;
}

// A file in memory (memfd), reachable by name through /proc/self/fd.
class mem_file {
public:
    explicit mem_file(const char *name) : fd_(::memfd_create(name, 0))
    {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const std::string &path() const { return path_; }
    int fd() const { return fd_; }
    // Replaces the contents.
    void set(const uint8_t *data, size_t n, size_t at = 0) const
    {
        if (at == 0)
            FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::pwrite(fd_, data + done, n - done, static_cast<off_t>(at + done));
            FUZZ_CHECK(w > 0);
            done += static_cast<size_t>(w);
        }
    }
    off_t size() const
    {
        struct stat sb;
        FUZZ_CHECK(::fstat(fd_, &sb) == 0);
        return sb.st_size;
    }

private:
    int fd_;
    std::string path_;
};

// Replaces the contents of the file at path (made when missing).
inline void write_file(const std::string &path, const uint8_t *data, size_t n)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        FUZZ_CHECK(w > 0);
        done += static_cast<size_t>(w);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

// Removes everything below path (and path itself unless keep_root).
inline void remove_tree(const std::string &path, bool keep_root)
{
    static const std::string *root = nullptr;
    root = &path;
    static bool keep = false;
    keep = keep_root;
    ::nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            if (keep && *root == p)
                return 0;
            ::remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// A scratch folder of this process on /dev/shm (or TMPDIR when that is
// missing), made once; its name ends without a slash.
inline const std::string &scratch_dir(const char *what)
{
    static const std::string dir = [what] {
        struct stat sb;
        const char *base = ::stat("/dev/shm", &sb) == 0 && S_ISDIR(sb.st_mode) ? "/dev/shm"
                           : std::getenv("TMPDIR") ? std::getenv("TMPDIR")
                                                   : "/tmp";
        std::string d = std::string(base) + "/plxfz_" + what + "_" + std::to_string(::getpid());
        FUZZ_CHECK(::mkdir(d.c_str(), 0700) == 0 || errno == EEXIST);
        return d;
    }();
    static const bool cleanup = (std::atexit([] { remove_tree(scratch_dir(""), false); }), true);
    (void)cleanup;
    return dir;
}

} // namespace fuzz
