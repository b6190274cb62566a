// Frame files: one text header line, then the frames' samples back to back as
// little-endian numbers. Saving appends; the header goes in only at position 0.
// Loading parses the header at position 0 and otherwise reads the next frame
// with the dimensions of the last header its kind parsed.
#include "files/frame_file.h"

#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

static_assert(
    std::endian::native == std::endian::little,
    "frame files hold little-endian samples; this build stores them as they are in memory");

namespace pylox {
namespace {

// A header line is at most 255 characters and its line feed.
constexpr int k_hdr_max = 256;
// Samples are converted in pieces of this many values.
constexpr int k_chunk = 4096;

struct header_form {
    const char *prefix; // the text up to the first number, commas included
    int format;
    int sample_bytes;
};

constexpr header_form k_raw_forms[] = {
    {"TQ_RAW,U32,", PYLOX_FRAME_SAVE_U32, 4},
    {"TQ_RAW,U16,", PYLOX_FRAME_SAVE_U16, 2},
};
constexpr header_form k_dist_forms[] = {
    {"TQ_DIST,F32,", PYLOX_FRAME_SAVE_F32, 4},
    {"TQ_DIST,U32,", PYLOX_FRAME_SAVE_U32, 4},
    {"TQ_DIST,U16,", PYLOX_FRAME_SAVE_U16, 2},
};
constexpr header_form k_gray_forms[] = {
    {"TQ_GRAY,U8,", PYLOX_FRAME_SAVE_U8, 1},
    {"TQ_GRAY,U16,", PYLOX_FRAME_SAVE_U16, 2},
};

struct kind_desc {
    const header_form *forms;
    int nforms;
    int ndims; // 3 for raw (w, h, n), 2 otherwise
    bool tag;
};

constexpr kind_desc k_raw = {k_raw_forms, 2, 3, true};
constexpr kind_desc k_dist = {k_dist_forms, 3, 2, false};
constexpr kind_desc k_gray = {k_gray_forms, 2, 2, false};

// Process-wide loader state of the exported loaders, one per kind.
struct shared_state {
    std::mutex lock;
    raw_load_state st;
};
shared_state g_raw, g_dist, g_gray;

bool at_start(int fd)
{
    return ::lseek(fd, 0, SEEK_CUR) == 0;
}

// Whether the next write lands at the start of the file. A descriptor opened
// for appending stays at position 0 until its first write, yet writes at the
// end: it starts the file only when the file is empty.
bool write_at_start(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_APPEND)) {
        struct stat sb;
        return ::fstat(fd, &sb) == 0 && sb.st_size == 0;
    }
    return at_start(fd);
}

bool write_all(int fd, const void *buf, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    while (n > 0) {
        const ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads until n bytes came, the file ended or a read failed. Returns the bytes
// read, or -1 when the first read failed.
long read_full(int fd, void *buf, size_t n)
{
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return got ? static_cast<long>(got) : -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

// Float to integer by truncation toward zero, then cut to the low bits of the
// sample by the caller. Values no integer holds (NaN, beyond 64 bits) give 0
// or the nearest 64-bit end instead of undefined behaviour.
int64_t trunc_to_i64(float v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 9.2e18f)
        return INT64_MAX;
    if (v <= -9.2e18f)
        return INT64_MIN;
    return static_cast<int64_t>(v);
}

// A decimal number as "%d" reads it (leading blanks, optional sign), but an
// out-of-range value fails instead of being undefined.
bool parse_int(const char *&p, int &out)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    p = end;
    return true;
}

// Matches line against one header form: prefix, numbers separated by commas
// and, for raw files, ",%32s".
bool match_form(const char *line, const header_form &form, const kind_desc &kind, int *dims,
                char (&tag)[PYLOX_FRAME_TAG_MAX + 1])
{
    const size_t plen = std::strlen(form.prefix);
    if (std::strncmp(line, form.prefix, plen) != 0)
        return false;
    const char *p = line + plen;
    for (int i = 0; i < kind.ndims; ++i) {
        if (i > 0) {
            if (*p != ',')
                return false;
            ++p;
        }
        if (!parse_int(p, dims[i]))
            return false;
    }
    if (!kind.tag)
        return true;
    if (*p != ',')
        return false;
    ++p;
    return std::sscanf(p, "%32s", tag) == 1;
}

// Bytes of one frame of these dimensions, or 0 when a dimension is not
// positive or the frame is larger than a loader accepts.
uint64_t frame_bytes(const int *dims, int ndims, int sample_bytes)
{
    uint64_t bytes = static_cast<uint64_t>(sample_bytes);
    for (int i = 0; i < ndims; ++i) {
        if (dims[i] <= 0)
            return 0;
        bytes *= static_cast<uint64_t>(dims[i]); // bytes <= 64 MiB before, so no overflow
        if (bytes > PYLOX_FRAME_FILE_MAX_BYTES)
            return 0;
    }
    return bytes;
}

// At position 0: reads and parses the header line and leaves fd just after its
// line feed. Returns false (after logging) when the header is missing or bad;
// st's dimensions are then cleared.
bool parse_header(raw_load_state &st, const kind_desc &kind, const char *fn, int fd)
{
    char buf[k_hdr_max + 1];
    const long got = read_full(fd, buf, k_hdr_max);
    if (got <= 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] faile to load TQ file header\n");
        st.w = st.h = st.n = 0;
        return false;
    }
    buf[got] = '\0';

    const char *lf = static_cast<const char *>(std::memchr(buf, '\n', static_cast<size_t>(got)));
    int dims[3] = {0, 0, 1};
    char tag[PYLOX_FRAME_TAG_MAX + 1] = {};
    const header_form *form = nullptr;
    if (lf) {
        buf[lf - buf] = '\0';
        // A NUL inside the line would hide the rest of it from the matcher.
        if (std::strlen(buf) == static_cast<size_t>(lf - buf)) {
            for (int i = 0; i < kind.nforms && !form; ++i)
                if (match_form(buf, kind.forms[i], kind, dims, tag))
                    form = &kind.forms[i];
        }
    }
    if (!form) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] faile to load TQ file header\n");
        if (!lf)
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] no line feed in the first %d bytes\n",
                         static_cast<int>(got));
        st.w = st.h = st.n = 0;
        return false;
    }
    if (frame_bytes(dims, kind.ndims, form->sample_bytes) == 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] faile to load TQ file header\n");
        PYLOX_LOG_AS(TQ_LOG_ERR, fn,
                     "[%s] bad frame size %dx%dx%d: dimensions must be positive and a frame "
                     "at most %u bytes\n",
                     dims[0], dims[1], dims[2], PYLOX_FRAME_FILE_MAX_BYTES);
        st.w = st.h = st.n = 0;
        return false;
    }
    const off_t data_at = static_cast<off_t>(lf - buf) + 1;
    if (::lseek(fd, data_at, SEEK_SET) != data_at) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] faile to load TQ file header\n");
        st.w = st.h = st.n = 0;
        return false;
    }
    st.format = form->format;
    st.sample_bytes = form->sample_bytes;
    st.w = dims[0];
    st.h = dims[1];
    st.n = kind.ndims == 3 ? dims[2] : 1;
    std::memcpy(st.tag, tag, sizeof tag);
    return true;
}

// Raw bytes of one frame as the loaders see them before conversion.
struct frame_read {
    load_status status = load_status::failed;
    long bytes = 0;
    const uint8_t *data = nullptr;
};

// Parses the header when due (start: fd stands at the start of the file, as
// the caller found it), then reads one frame of st's dimensions into direct
// (when it is given and holds a whole frame) or into tmp.
frame_read read_frame(raw_load_state &st, const kind_desc &kind, const char *fn, int fd, bool start,
                      void *direct, size_t direct_bytes, std::unique_ptr<uint8_t[]> &tmp)
{
    frame_read fr;
    if (start && !parse_header(st, kind, fn, fd))
        return fr;
    if (st.w <= 0 || st.h <= 0 || st.n <= 0)
        return fr;
    const int dims[3] = {st.w, st.h, st.n};
    const uint64_t want = frame_bytes(dims, 3, st.sample_bytes);
    if (want == 0)
        return fr;

    uint8_t *buf = nullptr;
    if (direct && direct_bytes >= want) {
        buf = static_cast<uint8_t *>(direct);
    } else {
        tmp.reset(new (std::nothrow) uint8_t[want]);
        if (!tmp) {
            PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] malloc failed!\n");
            return fr;
        }
        buf = tmp.get();
    }
    const long got = read_full(fd, buf, want);
    fr.bytes = got > 0 ? got : 0;
    if (got == static_cast<long>(want)) {
        fr.status = load_status::ok;
        fr.data = buf;
    } else if (got == 0) {
        fr.status = load_status::eof;
    } else {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] read %d date failed: ret= %d\n", static_cast<int>(want),
                     static_cast<int>(got));
        fr.status = load_status::truncated;
    }
    return fr;
}

void copy_tag(char *tag, int tag_size, const char *src)
{
    if (!tag || tag_size <= 0)
        return;
    std::snprintf(tag, static_cast<size_t>(tag_size), "%s", src);
}

// Converts min(dst_len, frame) float values of a distance or gray frame.
int convert_to_float(const raw_load_state &st, const uint8_t *src, float *dst, int dst_len,
                     float scale_u)
{
    const int count = std::min(dst_len, st.w * st.h);
    for (int i = 0; i < count; ++i) {
        switch (st.format) {
        case PYLOX_FRAME_SAVE_F32: {
            float f;
            std::memcpy(&f, src + 4 * i, 4);
            dst[i] = f;
            break;
        }
        case PYLOX_FRAME_SAVE_U32: {
            uint32_t u;
            std::memcpy(&u, src + 4 * i, 4);
            dst[i] = static_cast<float>(u) / scale_u;
            break;
        }
        case PYLOX_FRAME_SAVE_U16: {
            uint16_t u;
            std::memcpy(&u, src + 2 * i, 2);
            dst[i] = static_cast<float>(u) / scale_u;
            break;
        }
        default: // U8
            dst[i] = static_cast<float>(src[i]);
            break;
        }
    }
    return count;
}

int load_float_kind(shared_state &g, const kind_desc &kind, const char *fn, int fd, float *dst,
                    int dst_len, int *w, int *h, float scale_u)
{
    if (!dst || dst_len <= 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong param: dst=%p, dst_len=%d\n",
                     static_cast<void *>(dst), dst_len);
        return 0;
    }
    std::lock_guard<std::mutex> guard(g.lock);
    std::unique_ptr<uint8_t[]> tmp;
    // F32 frames go straight into the destination when it holds a whole frame.
    const bool start = at_start(fd);
    void *direct = nullptr;
    if (!start && g.st.format == PYLOX_FRAME_SAVE_F32)
        direct = dst;
    const frame_read fr = read_frame(g.st, kind, fn, fd, start, direct,
                                     static_cast<size_t>(dst_len) * sizeof(float), tmp);
    if (fr.status != load_status::ok)
        return 0;
    const int count = fr.data == reinterpret_cast<const uint8_t *>(dst)
                          ? g.st.w * g.st.h
                          : convert_to_float(g.st, fr.data, dst, dst_len, scale_u);
    if (w)
        *w = g.st.w;
    if (h)
        *h = g.st.h;
    return count;
}

// Shared checks of the savers: data given and a positive frame size whose
// file frame a loader accepts. Returns the frame size in values, or 0 after
// logging.
int64_t checked_frame(const char *fn, const void *data, int w, int h, int n, int sample_bytes)
{
    const int dims[3] = {w, h, n};
    if (frame_bytes(dims, 3, sample_bytes) == 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn,
                     "[%s] wrong frame size: w=%d, h=%d, n=%d (each must be positive, a frame at "
                     "most %u bytes)\n",
                     w, h, n, PYLOX_FRAME_FILE_MAX_BYTES);
        return 0;
    }
    if (!data) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong param: no data\n");
        return 0;
    }
    return static_cast<int64_t>(w) * h * n;
}

// Savers of distance and gray frames need at least one whole frame.
bool enough_values(const char *fn, int len, int64_t frame)
{
    if (len >= frame)
        return true;
    PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong param: %d values, less than a frame of %d\n", len,
                 static_cast<int>(frame));
    return false;
}

// Byte counts for the "%d bytes" log lines.
int log_bytes(int64_t bytes)
{
    return bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
}

// Writes count values converted by conv(i, out) in pieces of k_chunk samples.
template <class Sample, class Conv> bool write_converted(int fd, int count, Conv conv)
{
    Sample buf[k_chunk];
    for (int at = 0; at < count;) {
        const int m = std::min(k_chunk, count - at);
        for (int i = 0; i < m; ++i)
            buf[i] = conv(at + i);
        if (!write_all(fd, buf, sizeof(Sample) * static_cast<size_t>(m)))
            return false;
        at += m;
    }
    return true;
}

bool write_header(int fd, const char *fn, const char *text, const char *msg)
{
    if (!write_all(fd, text, std::strlen(text))) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, msg);
        return false;
    }
    return true;
}

} // namespace

raw_load_result frame_load_raw(raw_load_state &st, const char *fn, int fd, uint16_t *dst,
                               int dst_len)
{
    raw_load_result res;
    if (!dst || dst_len <= 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] wrong param: dst=%p, dst_len=%d\n",
                     static_cast<void *>(dst), dst_len);
        return res;
    }
    std::unique_ptr<uint8_t[]> tmp;
    // U16 frames go straight into the destination when it holds a whole frame;
    // at position 0 the format is not known before the header is read.
    const bool start = at_start(fd);
    void *direct = (!start && st.format == PYLOX_FRAME_SAVE_U16) ? dst : nullptr;
    const frame_read fr =
        read_frame(st, k_raw, fn, fd, start, direct, static_cast<size_t>(dst_len) * 2, tmp);
    res.status = fr.status;
    res.bytes = fr.bytes;
    if (fr.status != load_status::ok)
        return res;
    const int frame = st.w * st.h * st.n;
    const int count = std::min(dst_len, frame);
    if (fr.data != reinterpret_cast<const uint8_t *>(dst)) {
        if (st.format == PYLOX_FRAME_SAVE_U16) {
            std::memcpy(dst, fr.data, 2 * static_cast<size_t>(count));
        } else {
            for (int i = 0; i < count; ++i) {
                uint32_t u;
                std::memcpy(&u, fr.data + 4 * i, 4);
                dst[i] = static_cast<uint16_t>(u);
            }
        }
    }
    res.samples = count;
    return res;
}

} // namespace pylox

using namespace pylox;

extern "C" {

PYLOX_API int pylox_frame_save_raw(int fd, int format, const uint16_t *data, int len, int w, int h,
                                   int n, const char *tag)
{
    const int64_t frame =
        checked_frame(__func__, data, w, h, n, format == PYLOX_FRAME_SAVE_U32 ? 4 : 2);
    if (frame == 0)
        return 0;
    if (len <= 0 || len % frame != 0) {
        LOG_ERR("[%s] wrong param: raw_len=%d, w=%d, h=%d\n", len, w, h);
        return 0;
    }
    if (format != PYLOX_FRAME_SAVE_U32 && format != PYLOX_FRAME_SAVE_U16) {
        LOG_ERR("[%s] wrong raw save format: %d\n", format);
        return 0;
    }
    // The tag is read back as one word: an empty tag or one with blanks or
    // control characters would break the header line.
    bool tag_ok = tag && *tag;
    for (const char *p = tag; tag_ok && *p; ++p)
        tag_ok = static_cast<unsigned char>(*p) > ' ' && *p != 0x7F;
    if (!tag_ok) {
        LOG_ERR("[%s] wrong raw tag: one word without blanks is needed\n");
        return 0;
    }
    if (write_at_start(fd)) {
        char hdr[k_hdr_max + 64];
        const int hl =
            std::snprintf(hdr, sizeof hdr, "TQ_RAW,%s,%d,%d,%d,%.*s\n",
                          format == PYLOX_FRAME_SAVE_U32 ? "U32" : "U16", w, h, n, k_hdr_max, tag);
        if (hl > k_hdr_max) {
            LOG_ERR("[%s] wrong raw tag: header line longer than %d characters\n", k_hdr_max - 1);
            return 0;
        }
        if (!write_header(fd, __func__, hdr, "[%s] faile to save TQ_RAW header\n"))
            return 0;
    }
    if (format == PYLOX_FRAME_SAVE_U16) {
        if (!write_all(fd, data, 2 * static_cast<size_t>(len))) {
            LOG_ERR("[%s] faile to save TQ_RAW U16 data: %d bytes\n", log_bytes(2LL * len));
            return 0;
        }
    } else if (!write_converted<uint32_t>(fd, len, [&](int i) { return uint32_t{data[i]}; })) {
        LOG_ERR("[%s] faile to save TQ_RAW U32 data: %d bytes\n", log_bytes(4LL * len));
        return 0;
    }
    return 1;
}

PYLOX_API int pylox_frame_save_distance(int fd, int format, const float *data, int len, int w,
                                        int h)
{
    const int64_t frame =
        checked_frame(__func__, data, w, h, 1, format == PYLOX_FRAME_SAVE_U16 ? 2 : 4);
    if (frame == 0 || !enough_values(__func__, len, frame))
        return 0;
    if (format < PYLOX_FRAME_SAVE_F32 || format > PYLOX_FRAME_SAVE_U16) {
        LOG_ERR("[%s] wrong distance save format: %d\n", format);
        return 0;
    }
    if (write_at_start(fd)) {
        char hdr[64];
        static const char *const names[] = {"F32", "U32", "U16"};
        std::snprintf(hdr, sizeof hdr, "TQ_DIST,%s,%d,%d\n", names[format], w, h);
        if (!write_header(fd, __func__, hdr, "[%s] faile to save TQ_DIST header\n"))
            return 0;
    }
    const int count = static_cast<int>(len / frame * frame); // whole frames only
    bool ok = true;
    switch (format) {
    case PYLOX_FRAME_SAVE_F32:
        ok = write_all(fd, data, 4 * static_cast<size_t>(count));
        if (!ok)
            LOG_ERR("[%s] faile to save TQ_DIST F32 data: %d bytes\n", log_bytes(4LL * count));
        break;
    case PYLOX_FRAME_SAVE_U32:
        ok = write_converted<uint32_t>(fd, count, [&](int i) {
            return static_cast<uint32_t>(trunc_to_i64(data[i] * 1000.0f));
        });
        if (!ok)
            LOG_ERR("[%s] faile to save TQ_DIST U32 data: %d bytes\n", log_bytes(4LL * count));
        break;
    default:
        ok = write_converted<uint16_t>(fd, count, [&](int i) {
            return static_cast<uint16_t>(trunc_to_i64(data[i] * 1000.0f));
        });
        if (!ok)
            LOG_ERR("[%s] faile to save TQ_DIST U16 data: %d bytes\n", log_bytes(2LL * count));
        break;
    }
    return ok ? 1 : 0;
}

PYLOX_API int pylox_frame_save_gray(int fd, int format, const float *data, int len, int w, int h)
{
    const int64_t frame =
        checked_frame(__func__, data, w, h, 1, format == PYLOX_FRAME_SAVE_U8 ? 1 : 2);
    if (frame == 0 || !enough_values(__func__, len, frame))
        return 0;
    if (format != PYLOX_FRAME_SAVE_U16 && format != PYLOX_FRAME_SAVE_U8) {
        LOG_ERR("[%s] wrong gray save format: %d\n", format);
        return 0;
    }
    if (write_at_start(fd)) {
        char hdr[64];
        std::snprintf(hdr, sizeof hdr, "TQ_GRAY,%s,%d,%d\n",
                      format == PYLOX_FRAME_SAVE_U8 ? "U8" : "U16", w, h);
        if (!write_header(fd, __func__, hdr, "[%s] faile to save TQ_GRAY header\n"))
            return 0;
    }
    const int count = static_cast<int>(frame); // one frame per call
    if (format == PYLOX_FRAME_SAVE_U8) {
        if (!write_converted<uint8_t>(
                fd, count, [&](int i) { return static_cast<uint8_t>(trunc_to_i64(data[i])); })) {
            LOG_ERR("[%s] faile to save TQ_GRAY U8 data: %d bytes\n", count);
            return 0;
        }
    } else if (!write_converted<uint16_t>(fd, count, [&](int i) {
                   return static_cast<uint16_t>(trunc_to_i64(data[i]));
               })) {
        LOG_ERR("[%s] faile to save TQ_GRAY U16 data: %d bytes\n", 2 * count);
        return 0;
    }
    return 1;
}

PYLOX_API int pylox_frame_load_raw(int fd, uint16_t *dst, int dst_len, int *w, int *h, int *n,
                                   char *tag, int tag_size)
{
    std::lock_guard<std::mutex> guard(g_raw.lock);
    const raw_load_result r = frame_load_raw(g_raw.st, __func__, fd, dst, dst_len);
    if (r.status != load_status::ok)
        return 0;
    if (w)
        *w = g_raw.st.w;
    if (h)
        *h = g_raw.st.h;
    if (n)
        *n = g_raw.st.n;
    copy_tag(tag, tag_size, g_raw.st.tag);
    return r.samples;
}

PYLOX_API int pylox_frame_load_distance(int fd, float *dst, int dst_len, int *w, int *h)
{
    return load_float_kind(g_dist, k_dist, __func__, fd, dst, dst_len, w, h, 1000.0f);
}

PYLOX_API int pylox_frame_load_gray(int fd, float *dst, int dst_len, int *w, int *h)
{
    return load_float_kind(g_gray, k_gray, __func__, fd, dst, dst_len, w, h, 1.0f);
}

} // extern "C"
