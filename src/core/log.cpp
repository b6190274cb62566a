// Process-wide logger: console and file sinks with per-sink thresholds and a
// time-stamped prefix that names the calling thread. The thresholds are
// atomic; the file sink is guarded by a lock that is held only around the
// switch of the file and around each write to it (which the stream serialises
// anyway), so a file is never closed under a writer. Formatting and the
// console take no lock of ours.
#include "core/log.h"
#include "core/clock.h"

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::atomic<int> g_threshold[3] = {TQ_LOG_WRN, TQ_LOG_DBG, TQ_LOG_NONE};
// The open file: changed under g_sink_lock, read there by writers; the atomic
// lets the level checks see without the lock whether there is a file at all.
std::atomic<FILE *> g_file{nullptr};
std::mutex g_sink_lock;
// Serialises the callers that enable or disable the file sink; the file is
// opened and closed under it but outside g_sink_lock, so writers never wait
// for a file system call other than their own write.
std::mutex g_cfg_lock;
const char *g_file_name = nullptr; // under g_cfg_lock; the pointer the file was opened with

const char *const k_tags[] = {"TRC", "DBG", "INF", "WRN", "ERR"};

void format_prefix(char (&out)[48])
{
    const pylox::wall_time w = pylox::clock_now();
    std::snprintf(out, sizeof out, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]",
                  static_cast<unsigned>(w.local.tm_year + 1900),
                  static_cast<unsigned>(w.local.tm_mon + 1), static_cast<unsigned>(w.local.tm_mday),
                  static_cast<unsigned>(w.local.tm_hour), static_cast<unsigned>(w.local.tm_min),
                  static_cast<unsigned>(w.local.tm_sec), static_cast<unsigned>(w.msec),
                  static_cast<unsigned>(pthread_self()));
}

// Formats head + message into one buffer and hands it to each sink whose
// threshold the level reaches, so a line from one thread is written whole.
void emit(int level, const char *head, const char *format, va_list ap)
{
    const bool to_console = level >= g_threshold[0].load(std::memory_order_relaxed);
    const bool to_file = g_file.load(std::memory_order_relaxed) &&
                         level >= g_threshold[1].load(std::memory_order_relaxed);
    if (!to_console && !to_file)
        return;

    char small[512];
    int head_len = std::snprintf(small, sizeof small, "%s", head);
    if (head_len < 0)
        return;
    va_list ap2;
    va_copy(ap2, ap);
    const int body_len = std::vsnprintf(small + head_len, sizeof small - head_len, format, ap2);
    va_end(ap2);
    if (body_len < 0)
        return;

    char *line = small;
    const size_t total = static_cast<size_t>(head_len) + static_cast<size_t>(body_len);
    if (total >= sizeof small) {
        line = static_cast<char *>(std::malloc(total + 1));
        if (!line)
            return;
        std::memcpy(line, head, static_cast<size_t>(head_len));
        va_copy(ap2, ap);
        std::vsnprintf(line + head_len, static_cast<size_t>(body_len) + 1, format, ap2);
        va_end(ap2);
    }
    if (to_console)
        std::fwrite(line, 1, total, stdout);
    if (to_file) {
        std::lock_guard<std::mutex> lk(g_sink_lock);
        if (FILE *file = g_file.load(std::memory_order_relaxed)) {
            std::fwrite(line, 1, total, file);
            std::fflush(file);
        }
    }
    if (line != small)
        std::free(line);
}

} // namespace

const char *pylox_log_tag(int level)
{
    return (level >= 0 && level <= TQ_LOG_ERR) ? k_tags[level] : "???";
}

extern "C" {

PYLOX_API int tq_log_enable(int index, int level, const char *path)
{
    if (index < 0 || index > 2)
        return 0;
    g_threshold[index].store(level, std::memory_order_relaxed);
    if (index != 1)
        return 1;

    std::lock_guard<std::mutex> cfg(g_cfg_lock);
    FILE *open_file = g_file.load(std::memory_order_relaxed);
    if (!path) {
        if (open_file)
            return 1;
        path = "tq.log";
    }
    if (open_file && path == g_file_name)
        return 1;
    if (open_file) {
        {
            std::lock_guard<std::mutex> lk(g_sink_lock);
            g_file.store(nullptr, std::memory_order_relaxed);
        }
        std::fclose(open_file); // no writer holds it any more
    }
    g_file_name = path;
    FILE *f = std::fopen(path, "ab");
    if (!f) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    std::lock_guard<std::mutex> lk(g_sink_lock);
    g_file.store(f, std::memory_order_relaxed);
    return 1;
}

PYLOX_API int tq_log_disable(void)
{
    for (auto &t : g_threshold)
        t.store(TQ_LOG_NONE, std::memory_order_relaxed);
    std::lock_guard<std::mutex> cfg(g_cfg_lock);
    FILE *f;
    {
        std::lock_guard<std::mutex> lk(g_sink_lock);
        f = g_file.exchange(nullptr, std::memory_order_relaxed);
    }
    return f ? std::fclose(f) : 0;
}

PYLOX_API void tq_log(int level, const char *tag, const char *format, ...)
{
    // Most trace lines go nowhere: decide that before reading the clock.
    if (level < g_threshold[0].load(std::memory_order_relaxed) &&
        (level < g_threshold[1].load(std::memory_order_relaxed) ||
         !g_file.load(std::memory_order_relaxed)))
        return;
    char prefix[48];
    format_prefix(prefix);
    char head[64];
    std::snprintf(head, sizeof head, "%s[%s] ", prefix, tag ? tag : "");
    va_list ap;
    va_start(ap, format);
    emit(level, head, format, ap);
    va_end(ap);
}

PYLOX_API void tq_log_raw(int level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(level, "", format, ap);
    va_end(ap);
}

} // extern "C"

void pylox_log_set_thresholds(int console_level, int file_level)
{
    g_threshold[0].store(console_level, std::memory_order_relaxed);
    g_threshold[1].store(file_level, std::memory_order_relaxed);
}
