// libFuzzer target of the unpacking of zipped calibration packages. Input:
// the archive.
//
// Whatever the archive: nothing is created outside the destination folder
// (a file beside it stays as it was), the folder holds only plain files and
// folders, files left half written are never kept under their own name, and
// the entry callback counts no more entries than the archive has.
#include "drivers/param/param_store.h"
#include "fuzz_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

struct tally {
    int entries = 0;
};

int on_entry(const char *name, void *arg)
{
    FUZZ_CHECK(name != nullptr);
    ++static_cast<tally *>(arg)->entries;
    return 0;
}

// Walks dir: plain files and folders only, no "*.part" left; counts files.
void walk(const std::string &dir, int depth, int &files)
{
    FUZZ_CHECK(depth < 4096);
    DIR *d = ::opendir(dir.c_str());
    FUZZ_CHECK(d);
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        struct stat sb;
        FUZZ_CHECK(::lstat(path.c_str(), &sb) == 0);
        FUZZ_CHECK(S_ISREG(sb.st_mode) || S_ISDIR(sb.st_mode));
        if (S_ISDIR(sb.st_mode)) {
            walk(path, depth + 1, files);
        } else {
            FUZZ_CHECK(name.size() < 5 || name.compare(name.size() - 5, 5, ".part") != 0);
            ++files;
        }
    }
    ::closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    static const std::string root = fuzz::scratch_dir("zip");
    static const std::string out = root + "/out";
    static const std::string beside = root + "/beside";
    static fuzz::mem_file archive("fuzz_zip");
    // "beside" is written once: every run checks it stayed as it was, and the
    // scratch folder never holds more than it and "out", so emptying "out"
    // readies the next run.
    static const bool made =
        (fuzz::remove_tree(root, true), ::mkdir(out.c_str(), 0700),
         fuzz::write_file(beside, reinterpret_cast<const uint8_t *>("keep"), 4), true);
    (void)made;
    archive.set(data, size);
    fuzz::remove_tree(out, true);

    tally t;
    const bool ok = pylox::zip_extract(archive.path().c_str(), out.c_str(), on_entry, &t);
    int files = 0;
    walk(out, 0, files);
    if (!ok)
        FUZZ_CHECK(t.entries >= 0);
    FUZZ_CHECK(t.entries <= static_cast<int>(size / 22)); // 22 bytes: the smallest record
    if (ok)
        FUZZ_CHECK(files <= t.entries);

    // Only "out" and "beside" in the scratch folder, "beside" untouched.
    DIR *d = ::opendir(root.c_str());
    FUZZ_CHECK(d);
    int others = 0;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "out" && name != "beside")
            ++others;
    }
    ::closedir(d);
    FUZZ_CHECK(others == 0);
    char buf[8] = {};
    const int fd = ::open(beside.c_str(), O_RDONLY);
    FUZZ_CHECK(fd >= 0);
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    FUZZ_CHECK(n == 4 && std::memcmp(buf, "keep", 4) == 0);
    return 0;
}
