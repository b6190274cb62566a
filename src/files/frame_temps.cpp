// Frame temperatures of raw recordings: the companion file the recorder
// writes next to a raw frame file and the replay device reads. The raw file
// itself keeps its documented form, so every reader of raw files still loads
// it.
#include "files/frame_temps.h"

#include "core/log.h"

#include <pylox/pylox_frame_file.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace pylox {

namespace {

constexpr const char *k_head = "TQ_TEMPS,CB,IB";
constexpr long k_max_file = 64L * 1024 * 1024;
constexpr int k_max_frame = 10000000;

// Frame size in bytes and header length of a raw frame file, from its header line.
bool raw_layout(const std::string &path, uint64_t &frame_bytes, long &header_len)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[257] = {};
    ssize_t got = ::pread(fd, buf, 256, 0);
    ::close(fd);
    if (got <= 0)
        return false;
    const char *nl = static_cast<const char *>(std::memchr(buf, '\n', static_cast<size_t>(got)));
    if (!nl)
        return false;
    int bits = 0, w = 0, h = 0, n = 0;
    if (std::sscanf(buf, "TQ_RAW,U%d,%d,%d,%d,", &bits, &w, &h, &n) != 4 ||
        (bits != 16 && bits != 32) || w <= 0 || h <= 0 || n <= 0)
        return false;
    frame_bytes = static_cast<uint64_t>(w) * h * n * (bits / 8);
    header_len = nl - buf + 1;
    return true;
}

bool write_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t r = ::write(fd, s.data() + off, s.size() - off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        off += static_cast<size_t>(r);
    }
    return true;
}

} // namespace

std::string path_of_fd(int fd)
{
    if (fd < 0)
        return {};
    char link[64], buf[PATH_MAX + 1];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, buf, PATH_MAX);
    if (n <= 0 || buf[0] != '/')
        return {};
    std::string p(buf, static_cast<size_t>(n));
    // A file removed while open reads "<path> (deleted)": it has no companion.
    if (::access(p.c_str(), F_OK) != 0)
        return {};
    return p;
}

std::string temps_path(const std::string &recording)
{
    return recording + ".temps";
}

temps_status load_temps(const std::string &path, const char *fn, std::vector<frame_temps> &out)
{
    out.clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return temps_status::missing;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 &&
           text.size() + n <= static_cast<size_t>(k_max_file))
        text.append(buf, n);
    const bool too_long = n > 0;
    std::fclose(f);
    if (too_long) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %s is too long: temperatures ignored\n", path.c_str());
        return temps_status::bad;
    }

    // The lines as read (frame, temperatures); the frames they leave out are
    // only filled in once the highest frame is known, so a file naming a far
    // frame costs one pass over the result rather than a zeroed buffer and a
    // flag a frame written over again.
    struct named {
        int k;
        frame_temps v;
    };
    std::vector<named> lines;
    size_t pos = 0;
    int line_no = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (line_no == 1) {
            if (line != k_head) {
                PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %s is no temperature file\n", path.c_str());
                return temps_status::bad;
            }
            continue;
        }
        if (line.empty())
            continue;
        int k = -1, cb = 0, ib = 0;
        char extra = 0;
        // A NUL would end the text sscanf sees, hiding what follows it.
        if (line.find('\0') != std::string::npos ||
            std::sscanf(line.c_str(), "%d,%d,%d%c", &k, &cb, &ib, &extra) != 3 || k < 0 ||
            k >= k_max_frame || cb < INT16_MIN || cb > INT16_MAX || ib < INT16_MIN ||
            ib > INT16_MAX) {
            PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %s line %d is damaged: temperatures ignored\n",
                         path.c_str(), line_no);
            return temps_status::bad;
        }
        lines.push_back({k, {static_cast<int16_t>(cb), static_cast<int16_t>(ib)}});
    }
    if (line_no == 0) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] %s is no temperature file\n", path.c_str());
        return temps_status::bad;
    }
    // A frame named twice keeps its last line. The recorder writes the lines
    // in order, so a sort is seldom needed.
    const auto before = [](const named &a, const named &b) { return a.k < b.k; };
    if (!std::is_sorted(lines.begin(), lines.end(), before))
        std::stable_sort(lines.begin(), lines.end(), before);
    std::vector<frame_temps> t;
    if (!lines.empty())
        t.reserve(static_cast<size_t>(lines.back().k) + 1);
    // Gaps take the nearest earlier frame's values, leading ones the first.
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size() && lines[i + 1].k == lines[i].k)
            continue;
        const frame_temps fill = t.empty() ? lines[i].v : t.back();
        t.resize(static_cast<size_t>(lines[i].k), fill);
        t.push_back(lines[i].v);
    }
    out = std::move(t);
    return temps_status::ok;
}

} // namespace pylox

extern "C" PYLOX_API int pylox_frame_save_temps(int raw_fd, const pylox_frame_info_t *info,
                                                int count)
{
    if (!info || count <= 0) {
        LOG_ERR("[%s] wrong param: count=%d\n", count);
        return 0;
    }
    const std::string raw = pylox::path_of_fd(raw_fd);
    if (raw.empty()) {
        LOG_ERR("[%s] cannot find the file of descriptor %d\n", raw_fd);
        return 0;
    }
    uint64_t fb = 0;
    long hdr = 0;
    if (!pylox::raw_layout(raw, fb, hdr)) {
        LOG_ERR("[%s] %s is no raw frame file\n", raw.c_str());
        return 0;
    }
    const off_t pos = ::lseek(raw_fd, 0, SEEK_CUR);
    if (pos < hdr || static_cast<uint64_t>(pos - hdr) % fb != 0 ||
        static_cast<uint64_t>(pos - hdr) / fb < static_cast<uint64_t>(count)) {
        LOG_ERR("[%s] %s is not just after %d whole frames (position %lld)\n", raw.c_str(), count,
                static_cast<long long>(pos));
        return 0;
    }
    const long long first = static_cast<long long>((pos - hdr) / fb) - count;
    const std::string path = pylox::temps_path(raw);
    int fd = -1;
    std::string text;
    if (first == 0) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        text = std::string(pylox::k_head) + "\n";
    } else {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) { // frames saved before without their temperatures
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            text = std::string(pylox::k_head) + "\n";
        }
    }
    if (fd < 0) {
        LOG_ERR("[%s] cannot open %s\n", path.c_str());
        return 0;
    }
    char line[64];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%lld,%d,%d\n", first + i,
                      static_cast<int>(static_cast<int16_t>(info[i].temp0)),
                      static_cast<int>(static_cast<int16_t>(info[i].temp1)));
        text += line;
    }
    const bool ok = pylox::write_all(fd, text);
    ::close(fd);
    if (!ok)
        LOG_ERR("[%s] faile to save %s\n", path.c_str());
    return ok ? 1 : 0;
}
