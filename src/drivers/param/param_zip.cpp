// Unpacking of calibration packages that come as zip archives. The only file
// of the library that sees libzip.
//
// Archive entries are untrusted: every name is checked before anything is
// written (no absolute names, no drive letters, no ".." components, no links
// or other special files), and files are created by walking the folders one
// component at a time without following links, so that nothing lands outside
// the destination folder even when the folder holds a link of its own.
#include "core/log.h"
#include "drivers/param/param_store.h"

#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr zip_int64_t k_max_entries = 4096;
constexpr uint64_t k_max_total = 0x20000000; // 512 MiB unpacked at most

class fd_guard {
public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Splits an entry name into its components; false for a name that could
// leave the destination folder.
bool safe_components(const char *name, std::vector<std::string> &parts, bool &is_dir)
{
    parts.clear();
    const size_t len = std::strlen(name);
    if (len == 0 || name[0] == '/' || name[0] == '\\')
        return false;
    if (std::strchr(name, ':')) // drive letters and stream names
        return false;
    is_dir = name[len - 1] == '/' || name[len - 1] == '\\';
    std::string cur;
    for (size_t i = 0; i <= len; ++i) {
        const char c = i < len ? name[i] : '/';
        if (c == '/' || c == '\\') {
            if (cur == "..")
                return false;
            if (!cur.empty() && cur != ".")
                parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    return !parts.empty();
}

// Files and folders only: a Unix link, device, fifo or socket is refused.
bool plain_entry(zip_t *za, zip_uint64_t i)
{
    zip_uint8_t opsys = 0;
    zip_uint32_t attr = 0;
    if (zip_file_get_external_attributes(za, i, 0, &opsys, &attr) != 0)
        return false;
    if (opsys != ZIP_OPSYS_UNIX)
        return true;
    const mode_t type = static_cast<mode_t>((attr >> 16) & S_IFMT);
    return type == 0 || type == S_IFREG || type == S_IFDIR;
}

// Opens (creating when missing) the folder `name` inside dirfd without
// following a link.
int open_subdir(int dirfd, const std::string &name)
{
    if (::mkdirat(dirfd, name.c_str(), 0755) != 0 && errno != EEXIST)
        return -1;
    return ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Writes one entry into its place below root: into "<name>.part" first,
// renamed when complete, so a failure leaves any earlier file as it was.
bool extract_one(zip_t *za, zip_uint64_t i, int root, const std::vector<std::string> &parts,
                 bool is_dir, uint64_t &total)
{
    fd_guard dir(::dup(root));
    const size_t folders = is_dir ? parts.size() : parts.size() - 1;
    for (size_t k = 0; k < folders; ++k) {
        const int sub = open_subdir(dir.get(), parts[k]);
        if (sub < 0) {
            LOG_ERR("[%s] cannot open folder %s: %s\n", parts[k].c_str(), std::strerror(errno));
            return false;
        }
        dir.reset(sub);
    }
    if (is_dir)
        return true;

    const std::string &leaf = parts.back();
    const std::string part = leaf + ".part";
    fd_guard out(::openat(dir.get(), part.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.get() < 0) {
        LOG_ERR("[%s] cannot create %s: %s\n", part.c_str(), std::strerror(errno));
        return false;
    }
    zip_file_t *zf = zip_fopen_index(za, i, 0);
    if (!zf) {
        LOG_ERR("[%s] cannot read entry %s: %s\n", leaf.c_str(), zip_strerror(za));
        ::unlinkat(dir.get(), part.c_str(), 0);
        return false;
    }
    bool ok = true;
    char buf[65536];
    for (;;) {
        const zip_int64_t n = zip_fread(zf, buf, sizeof buf);
        if (n < 0) {
            LOG_ERR("[%s] entry %s is damaged: %s\n", leaf.c_str(), zip_file_strerror(zf));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        total += static_cast<uint64_t>(n);
        if (total > k_max_total) {
            LOG_ERR("[%s] archive unpacks to more than %llu bytes\n",
                    static_cast<unsigned long long>(k_max_total));
            ok = false;
            break;
        }
        for (zip_int64_t done = 0; done < n;) {
            const ssize_t w = ::write(out.get(), buf + done, static_cast<size_t>(n - done));
            if (w <= 0) {
                LOG_ERR("[%s] write %s failed: %s\n", part.c_str(), std::strerror(errno));
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    zip_fclose(zf);
    if (ok && ::fsync(out.get()) != 0)
        ok = false;
    if (ok && ::renameat(dir.get(), part.c_str(), dir.get(), leaf.c_str()) != 0) {
        LOG_ERR("[%s] cannot put %s in place: %s\n", leaf.c_str(), std::strerror(errno));
        ok = false;
    }
    if (!ok)
        ::unlinkat(dir.get(), part.c_str(), 0);
    return ok;
}

} // namespace

namespace pylox {

bool zip_extract(const char *archive, const char *dir, zip_entry_cb on_entry, void *arg)
{
    int err = 0;
    zip_t *za = zip_open(archive, ZIP_RDONLY | ZIP_CHECKCONS, &err);
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, err);
        LOG_ERR("[%s] cannot open archive %s: %s\n", archive, zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return false;
    }
    const zip_int64_t n = zip_get_num_entries(za, 0);
    bool ok = n >= 0 && n <= k_max_entries;
    if (!ok)
        LOG_ERR("[%s] archive %s: %lld entries refused\n", archive, static_cast<long long>(n));

    // Every name is checked before the first byte is written.
    std::vector<std::vector<std::string>> parts(ok ? static_cast<size_t>(n) : 0);
    std::vector<char> dirs(parts.size(), 0);
    for (zip_int64_t i = 0; ok && i < n; ++i) {
        const char *name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
        bool is_dir = false;
        if (!name || !safe_components(name, parts[i], is_dir)) {
            LOG_ERR("[%s] archive %s: entry name \"%s\" leaves the folder, refused\n", archive,
                    name ? name : "(null)");
            ok = false;
        } else if (!plain_entry(za, static_cast<zip_uint64_t>(i))) {
            LOG_ERR("[%s] archive %s: entry \"%s\" is a link or special file, refused\n", archive,
                    name);
            ok = false;
        }
        dirs[i] = is_dir;
    }

    if (ok) {
        fd_guard root(::open(dir && *dir ? dir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0) {
            LOG_ERR("[%s] cannot open folder %s: %s\n", dir, std::strerror(errno));
            ok = false;
        }
        uint64_t total = 0;
        for (zip_int64_t i = 0; ok && i < n; ++i) {
            ok =
                extract_one(za, static_cast<zip_uint64_t>(i), root.get(), parts[i], dirs[i], total);
            if (ok && on_entry) {
                const char *name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
                if (on_entry(name ? name : "", arg) != 0)
                    break;
            }
        }
    }
    zip_discard(za);
    return ok;
}

} // namespace pylox
