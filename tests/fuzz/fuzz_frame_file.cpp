// libFuzzer target of the three frame-file loaders (raw, distance, gray) and
// the replay device's raw loader. Input: one byte that picks the kind (bits
// 0-1) and the destination length (bits 2-7), then the file.
//
// Each loader walks the file frame by frame until it returns 0. Every frame
// it accepts must be consistent with the header it reported: the count is
// min(destination, frame), the descriptor stands exactly one frame further,
// and the frames saved again with the library's savers (header of the same
// dimensions) load back as the same values.
#include "files/frame_file.h"
#include "fuzz_util.h"

#include <pylox/pylox_frame_file.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int k_dst_steps[8] = {1, 7, 64, 1000, 4096, 76800, 307200, 1 << 20};

struct opened {
    int fd;
    explicit opened(const std::string &path) : fd(::open(path.c_str(), O_RDWR))
    {
        FUZZ_CHECK(fd >= 0);
    }
    ~opened() { ::close(fd); }
};

off_t pos(int fd)
{
    return ::lseek(fd, 0, SEEK_CUR);
}

// Header line length of the frame-file just read (up to its line feed).
off_t header_len(const uint8_t *file, size_t n)
{
    const void *lf = std::memchr(file, '\n', std::min<size_t>(n, 256));
    FUZZ_CHECK(lf);
    return static_cast<const uint8_t *>(lf) - file + 1;
}

// A destination of exactly the length the loader is given, left
// uninitialised: the sanitizer sees a write past its end, and the megabytes
// of the longest destination cost nothing where nothing is loaded.
template <class T> struct buffer {
    std::unique_ptr<T[]> p;
    explicit buffer(int n) : p(new T[static_cast<size_t>(n)]) {}
    T *data() const { return p.get(); }
    T *begin() const { return p.get(); }
};

template <class T> bool same_bits(const std::vector<T> &a, const std::vector<T> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

void raw(const uint8_t *file, size_t n, int dst_len, bool replay)
{
    static fuzz::mem_file mf("fuzz_raw"), again("fuzz_raw_again");
    mf.set(file, n);
    opened in(mf.path());
    buffer<uint16_t> dst(dst_len);
    std::vector<std::vector<uint16_t>> frames;
    int w = -1, h = -1, cnt = -1;
    char tag[8];
    std::memset(tag, 'x', sizeof tag);
    pylox::raw_load_state st;
    off_t at = 0;
    for (;;) {
        int got;
        if (replay) {
            const pylox::raw_load_result r =
                pylox::frame_load_raw(st, "fuzz", in.fd, dst.data(), dst_len);
            got = r.samples;
            FUZZ_CHECK((r.status == pylox::load_status::ok) == (got > 0));
            w = st.w, h = st.h, cnt = st.n;
        } else {
            got = pylox_frame_load_raw(in.fd, dst.data(), dst_len, &w, &h, &cnt, tag, sizeof tag);
            FUZZ_CHECK(got == 0 || std::memchr(tag, 0, sizeof tag));
        }
        if (got == 0)
            break;
        FUZZ_CHECK(w > 0 && h > 0 && cnt > 0);
        const int64_t frame = static_cast<int64_t>(w) * h * cnt;
        FUZZ_CHECK(got == std::min<int64_t>(dst_len, frame));
        if (at == 0)
            at = header_len(file, n);
        const off_t now = pos(in.fd);
        const off_t sample = (now - at) / frame;
        FUZZ_CHECK(sample == 2 || sample == 4);
        FUZZ_CHECK(now == at + sample * frame);
        at = now;
        frames.emplace_back(dst.begin(), dst.begin() + got);
        FUZZ_CHECK(frames.size() <= n);
    }
    if (frames.empty() || replay || dst_len < static_cast<int64_t>(w) * h * cnt)
        return;
    // The frames again through the saver, U16, and back.
    again.set(nullptr, 0);
    opened out(again.path());
    for (const auto &f : frames)
        FUZZ_CHECK(pylox_frame_save_raw(out.fd, PYLOX_FRAME_SAVE_U16, f.data(),
                                        static_cast<int>(f.size()), w, h, cnt, "fuzz") == 1);
    FUZZ_CHECK(::lseek(out.fd, 0, SEEK_SET) == 0);
    for (const auto &f : frames) {
        int w2 = 0, h2 = 0, c2 = 0;
        FUZZ_CHECK(pylox_frame_load_raw(out.fd, dst.data(), dst_len, &w2, &h2, &c2, nullptr, 0) ==
                   static_cast<int>(f.size()));
        FUZZ_CHECK(w2 == w && h2 == h && c2 == cnt);
        FUZZ_CHECK(std::equal(f.begin(), f.end(), dst.begin()));
    }
    FUZZ_CHECK(pylox_frame_load_raw(out.fd, dst.data(), dst_len, nullptr, nullptr, nullptr, nullptr,
                                    0) == 0);
}

// Distance (is_gray false) or gray frames; saved again as F32 distances or
// U16 gray values (the loaded gray values are whole numbers below 65536).
void floats(const uint8_t *file, size_t n, int dst_len, bool is_gray)
{
    static fuzz::mem_file mf("fuzz_float"), again("fuzz_float_again");
    mf.set(file, n);
    opened in(mf.path());
    auto load = is_gray ? pylox_frame_load_gray : pylox_frame_load_distance;
    buffer<float> dst(dst_len);
    std::vector<std::vector<float>> frames;
    int w = -1, h = -1;
    off_t at = 0;
    for (;;) {
        const int got = load(in.fd, dst.data(), dst_len, &w, &h);
        if (got == 0)
            break;
        FUZZ_CHECK(w > 0 && h > 0);
        const int64_t frame = static_cast<int64_t>(w) * h;
        FUZZ_CHECK(got == std::min<int64_t>(dst_len, frame));
        if (at == 0)
            at = header_len(file, n);
        const off_t now = pos(in.fd);
        const off_t sample = (now - at) / frame;
        FUZZ_CHECK(sample == 1 || sample == 2 || sample == 4);
        FUZZ_CHECK(now == at + sample * frame);
        at = now;
        frames.emplace_back(dst.begin(), dst.begin() + got);
        for (float v : frames.back())
            FUZZ_CHECK(!is_gray || (v >= 0.0f && v < 65536.0f && v == static_cast<int>(v)));
        FUZZ_CHECK(frames.size() <= n);
    }
    if (frames.empty() || dst_len < static_cast<int64_t>(w) * h)
        return;
    again.set(nullptr, 0);
    opened out(again.path());
    for (const auto &f : frames) {
        const int ok = is_gray ? pylox_frame_save_gray(out.fd, PYLOX_FRAME_SAVE_U16, f.data(),
                                                       static_cast<int>(f.size()), w, h)
                               : pylox_frame_save_distance(out.fd, PYLOX_FRAME_SAVE_F32, f.data(),
                                                           static_cast<int>(f.size()), w, h);
        FUZZ_CHECK(ok == 1);
    }
    FUZZ_CHECK(::lseek(out.fd, 0, SEEK_SET) == 0);
    buffer<float> back(dst_len);
    for (const auto &f : frames) {
        int w2 = 0, h2 = 0;
        FUZZ_CHECK(load(out.fd, back.data(), dst_len, &w2, &h2) == static_cast<int>(f.size()));
        FUZZ_CHECK(w2 == w && h2 == h);
        FUZZ_CHECK(std::memcmp(f.data(), back.data(), f.size() * sizeof(float)) == 0);
    }
    FUZZ_CHECK(load(out.fd, back.data(), dst_len, nullptr, nullptr) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    if (size < 1)
        return 0;
    const int kind = data[0] & 3;
    const int dst_len = k_dst_steps[(data[0] >> 2) & 7] + ((data[0] >> 5) & 1);
    switch (kind) {
    case 0:
        raw(data + 1, size - 1, dst_len, false);
        break;
    case 1:
        raw(data + 1, size - 1, dst_len, true);
        break;
    case 2:
        floats(data + 1, size - 1, dst_len, false);
        break;
    default:
        floats(data + 1, size - 1, dst_len, true);
        break;
    }
    return 0;
}
