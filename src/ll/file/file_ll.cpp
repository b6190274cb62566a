// Replay back end: a raw frame file plays the part of a camera. Once capture
// is started the device's event thread reads the file frame by frame and hands
// each frame to the capture callback in the camera's stream framing (a 36-byte
// stream header, then the frame's bytes), paced by the frame-rate parameter.
// Commands and registers are accepted and ignored.
#include "core/fair_mutex.h"
#include "core/log.h"
#include "files/frame_file.h"
#include "files/frame_temps.h"

#include <pylox/pylox_ll.h>
#include <pylox/pylox_param_id.h>
#include <pylox/tq_stream.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// Frames of this many bytes or more go out in several packets: the stream
// parser takes at most TQ_STREAM_MAX_PKT_LEN - 1 payload bytes per packet.
constexpr uint32_t k_max_packet = 0x80000;
// Name the raw-frame loader's messages carry.
constexpr const char *k_loader = "pylox_frame_load_raw";

struct file_ll_priv {
    FILE *file = nullptr;
    int fd = -1;
    std::atomic<uint32_t> fps{0}; // 0: as fast as the file is read
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t count = 0; // 16-bit samples per pixel of one frame
    char product[PYLOX_FRAME_TAG_MAX + 1] = {};
    std::atomic<uint8_t> stopped{1};
    std::atomic<uint32_t> quit{0};
    std::atomic<uint8_t> running{0};
    std::thread thread;
    pylox_ll_dev_t *dev = nullptr;

    // Guarded by lock: the capture sink, the file position and loader state,
    // the start count and whether the event thread is inside the callback.
    // Fair: the event thread takes it back after every callback, and a start
    // or stop waiting for it must get its turn first.
    pylox::fair_mutex lock;
    std::condition_variable_any wake; // start, stop, quit, callback finished
    pylox_ll_cap_cb_t callback = nullptr;
    void *user = nullptr;
    uint32_t starts = 0;
    bool in_callback = false;
    pylox::raw_load_state loader; // the replay's own: exported loaders never disturb it
    // The recording's frame temperatures (its companion file), by frame
    // number; empty for a recording without them. next_frame counts the
    // frames read since the last rewind (guarded by lock).
    std::vector<pylox::frame_temps> temps;
    size_t next_frame = 0;

    uint32_t frame_bytes() const { return 2u * width * height * count; }
    bool on_event_thread() const { return std::this_thread::get_id() == thread.get_id(); }
    void rewind()
    {
        ::lseek(fd, 0, SEEK_SET);
        next_frame = 0;
    }
};

file_ll_priv *priv_of(pylox_ll_dev_t *dev)
{
    if (!dev || dev->kind != PYLOX_LL_KIND_FILE)
        return nullptr;
    return static_cast<file_ll_priv *>(dev->priv);
}

tq_stream_hdr_t make_header(const file_ll_priv &p, uint16_t sidx, uint16_t idx, uint32_t len,
                            bool first, pylox::frame_temps t)
{
    tq_stream_hdr_t h{};
    h.sync = TQ_STREAM_SYNC;
    h.sidx = sidx;
    h.len = len;
    h.frlen = p.frame_bytes();
    h.fridx = idx;
    h.frfmt = 2;
    h.attr.width = static_cast<uint16_t>(p.width);
    h.attr.height = static_cast<uint16_t>(p.height);
    h.attr.temp0 = static_cast<uint16_t>(t.cb);
    h.attr.temp1 = static_cast<uint16_t>(t.ib);
    h.frame_flags = first ? TQ_STREAM_FLAG_FRAME_START : 0;
    h.sum_flags = 0;
    h.hdr_sum = tq_stream_hash16(reinterpret_cast<const uint8_t *>(&h), TQ_STREAM_HDR_SIZE - 2, 0);
    return h;
}

// Hands one frame to the callback: a header and the frame's bytes, split into
// continuation packets when the frame is too long for one.
void send_frame(file_ll_priv &p, pylox_ll_cap_cb_t cb, void *user, const uint8_t *buf, uint16_t idx,
                pylox::frame_temps t)
{
    const uint32_t total = p.frame_bytes();
    const uint32_t piece = total < TQ_STREAM_MAX_PKT_LEN ? total : k_max_packet;
    uint16_t sidx = idx;
    for (uint32_t off = 0; off < total; off += piece, ++sidx) {
        const uint32_t len = std::min(piece, total - off);
        const tq_stream_hdr_t h = make_header(p, sidx, idx, len, off == 0, t);
        cb(p.dev, PYLOX_LL_EVT_DATA, reinterpret_cast<const uint8_t *>(&h), TQ_STREAM_HDR_SIZE,
           user);
        cb(p.dev, PYLOX_LL_EVT_DATA, buf + off, static_cast<int>(len), user);
    }
}

void evt_thread(file_ll_priv *p)
{
    PYLOX_LOG_AS(TQ_LOG_DBG, "_file_ll_evt_thread", "[%s] enter\n");
    PYLOX_LOG_AS(TQ_LOG_TRC, "_ll_event_loop", "[%s] Enter ll event loop...\n");
    p->running.store(1);
    const uint32_t bytes = p->frame_bytes();
    const int samples = static_cast<int>(bytes / 2);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[bytes]);
    if (!buf) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "_file_ll_evt_thread", "[%s] malloc failed\n");
        std::exit(-3);
    }

    std::unique_lock<pylox::fair_mutex> lk(p->lock);
    while (!p->quit.load()) {
        if (p->stopped.load()) {
            p->wake.wait(lk, [p] { return p->quit.load() || !p->stopped.load(); });
            continue;
        }
        const uint32_t start = p->starts;
        const steady::time_point t0 = steady::now();
        const pylox::raw_load_result r = pylox::frame_load_raw(
            p->loader, k_loader, p->fd, reinterpret_cast<uint16_t *>(buf.get()), samples);
        const off_t pos = ::lseek(p->fd, 0, SEEK_CUR);
        const pylox_ll_cap_cb_t cb = p->callback;
        void *const user = p->user;
        int event = PYLOX_LL_EVT_DATA;
        pylox::frame_temps temps; // 0 and 0 for a recording without temperatures
        if (r.status == pylox::load_status::ok && r.samples == samples) {
            // Frames beyond the companion's last keep its last temperatures.
            if (!p->temps.empty())
                temps = p->temps[std::min(p->next_frame, p->temps.size() - 1)];
            ++p->next_frame;
        } else if (r.status == pylox::load_status::eof) {
            PYLOX_LOG_AS(TQ_LOG_DBG, "_ll_event_loop", "[%s] stop capture: file EOF met\n");
            event = PYLOX_LL_EVT_CANCELLED;
            p->stopped.store(1);
        } else {
            PYLOX_LOG_AS(TQ_LOG_ERR, "_ll_event_loop",
                         "[%s] load frames from file failed: len=%u\n",
                         static_cast<unsigned>(r.status == pylox::load_status::ok ? r.samples * 2
                                                                                  : r.bytes));
            event = PYLOX_LL_EVT_ERROR;
            p->stopped.store(1);
        }
        if (cb) {
            p->in_callback = true;
            lk.unlock();
            if (event == PYLOX_LL_EVT_DATA) {
                const uint16_t idx = static_cast<uint16_t>(pos > 0 ? pos / bytes : 0);
                send_frame(*p, cb, user, buf.get(), idx, temps);
            } else {
                cb(p->dev, event, buf.get(), 0, user);
            }
            lk.lock();
            p->in_callback = false;
            p->wake.notify_all();
        }
        const uint32_t fps = p->fps.load();
        if (event == PYLOX_LL_EVT_DATA && fps != 0) {
            // The next frame is due one period after this one was read; a
            // stop, a new start or the end of the device cuts the wait short.
            const steady::time_point due = t0 + std::chrono::milliseconds(1000 / fps);
            p->wake.wait_until(lk, due, [p, start] {
                return p->quit.load() || p->stopped.load() || p->starts != start;
            });
        }
    }
    lk.unlock();

    p->running.store(0);
    buf.reset();
    PYLOX_LOG_AS(TQ_LOG_TRC, "_ll_event_loop", "[%s] Exit ll event loop...\n");
    PYLOX_LOG_AS(TQ_LOG_DBG, "_file_ll_evt_thread", "[%s] exit\n");
}

int file_ll_init()
{
    return 1;
}
void file_ll_uninit() {}
void file_ll_set_debug(int) {}

void file_ll_dev_close(pylox_ll_dev_t *dev)
{
    if (!dev || dev->kind != PYLOX_LL_KIND_FILE)
        return;
    auto *p = static_cast<file_ll_priv *>(dev->priv);
    if (!p) {
        LOG_WRN("[%s] device no need to closed!\n");
        return;
    }
    if (p->thread.joinable() && p->on_event_thread()) {
        LOG_ERR("[%s] cannot close the device from its own event thread\n");
        return;
    }
    {
        std::lock_guard<pylox::fair_mutex> lk(p->lock);
        if (!p->quit.load()) {
            LOG_DBG("[%s] stop evt thread...\n");
            p->quit.store(1);
            p->wake.notify_all();
        }
    }
    if (p->thread.joinable())
        p->thread.join();
    delete p;
    dev->priv = nullptr;
}

file_ll_priv *priv_alloc()
{
    auto *p = new (std::nothrow) file_ll_priv;
    if (!p) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "_file_ll_dev_priv_alloc", "[%s] malloc failed\n");
        std::exit(-2);
    }
    return p;
}

// The temperatures the recording's frames came with, from the companion file
// next to it. Without them the frames replay with temperatures 0, so their
// distances lack the temperature correction: say so once.
void load_recording_temps(file_ll_priv &p)
{
    const char *const fn = "file_ll_dev_open";
    const std::string rec = pylox::path_of_fd(p.fd);
    const std::string path = rec.empty() ? std::string() : pylox::temps_path(rec);
    const pylox::temps_status st =
        path.empty() ? pylox::temps_status::missing : pylox::load_temps(path, fn, p.temps);
    if (st == pylox::temps_status::ok) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] frame temperatures of %d frames from %s\n",
                     static_cast<int>(p.temps.size()), path.c_str());
    } else if (st == pylox::temps_status::missing) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn,
                     "[%s] recording %s has no frame temperatures (%s): distances lack the "
                     "temperature correction\n",
                     rec.empty() ? "(unnamed)" : rec.c_str(),
                     path.empty() ? "no file name" : "no .temps file");
    }
}

pylox_ll_dev_t *file_ll_dev_open(pylox_ll_dev_t *dev)
{
    const char *const fn = "_file_ll_dev_open";
    if (!dev || (dev->kind != PYLOX_LL_KIND_FILE && dev->kind != PYLOX_LL_KIND_ANY))
        return nullptr;
    // A record that names a USB camera holds no file in its locator.
    if (dev->kind == PYLOX_LL_KIND_ANY && dev->located)
        return nullptr;
    if (dev->priv) {
        PYLOX_LOG_AS(TQ_LOG_WRN, fn, "[%s] device already open\n");
        return nullptr;
    }
    FILE *file = dev->loc.file;
    const int fd = file ? ::fileno(file) : -1;
    if (fd < 0) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] no replay file\n");
        return nullptr;
    }

    std::unique_ptr<file_ll_priv> p(priv_alloc());
    p->file = file;
    p->fd = fd;
    // The head of the file tells what it holds, wherever the caller left it.
    ::lseek(fd, 0, SEEK_SET);
    uint16_t scratch[16];
    const pylox::raw_load_result r = pylox::frame_load_raw(p->loader, k_loader, fd, scratch, 16);
    if (r.status != pylox::load_status::ok || r.samples != 16) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] not a raw frame file of 16 samples or more\n");
        ::lseek(fd, 0, SEEK_SET);
        return nullptr;
    }
    ::lseek(fd, 0, SEEK_SET);
    p->width = static_cast<uint32_t>(p->loader.w);
    p->height = static_cast<uint32_t>(p->loader.h);
    p->count = static_cast<uint32_t>(p->loader.n);
    std::memcpy(p->product, p->loader.tag, sizeof p->product);
    LOG_DBG("[%s] open file dev: prod = %s, WxHxN = %dx%dx%d\n", p->product, p->loader.w,
            p->loader.h, p->loader.n);
    load_recording_temps(*p);

    dev->kind = PYLOX_LL_KIND_FILE;
    p->dev = dev;
    file_ll_priv *const raw = p.release();
    dev->priv = raw;
    try {
        raw->thread = std::thread(evt_thread, raw);
    } catch (const std::system_error &) {
        LOG_ERR("[%s]  create evt thread failed\n");
        file_ll_dev_close(dev);
        return nullptr;
    }
    dev->ops = &ll_op_fil;
    return dev;
}

pylox_ll_dev_t *file_ll_dev_open_by_fd(pylox_ll_dev_t *, int)
{
    return nullptr;
}
int file_ll_dev_list(pylox_ll_dev_t *, int)
{
    return 0;
}
int file_ll_exe_cmd(pylox_ll_dev_t *, uint8_t, uint8_t, uint16_t, void *, int, int)
{
    return 1;
}
int file_ll_tx_data(pylox_ll_dev_t *, const void *, int)
{
    return 0;
}

void file_ll_cap_abort(pylox_ll_dev_t *dev)
{
    if (file_ll_priv *p = priv_of(dev))
        p->stopped.store(1);
}

// Waits (under p->lock) until no callback runs, unless called from inside
// one: afterwards no event of the run that was going on can reach a sink.
void wait_callback_done(file_ll_priv *p, std::unique_lock<pylox::fair_mutex> &lk)
{
    if (!p->on_event_thread())
        p->wake.wait(lk, [p] { return !p->in_callback; });
}

int file_ll_cap_start(pylox_ll_dev_t *dev, uint32_t, pylox_ll_cap_cb_t cb, void *user)
{
    file_ll_priv *p = priv_of(dev);
    if (!p)
        return 0;
    std::unique_lock<pylox::fair_mutex> lk(p->lock);
    if (p->quit.load())
        return 0;
    // The previous run's end-of-file or error event must not reach the new sink.
    wait_callback_done(p, lk);
    p->rewind();
    p->callback = cb;
    p->user = user;
    ++p->starts;
    p->stopped.store(0);
    p->wake.notify_all();
    return 1;
}

int file_ll_cap_stop(pylox_ll_dev_t *dev)
{
    file_ll_priv *p = priv_of(dev);
    if (!p)
        return 0;
    std::unique_lock<pylox::fair_mutex> lk(p->lock);
    if (p->quit.load())
        return 0;
    p->stopped.store(1);
    p->wake.notify_all();
    wait_callback_done(p, lk);
    return 1;
}

int file_ll_dev_reset(pylox_ll_dev_t *dev, uint8_t)
{
    file_ll_priv *p = priv_of(dev);
    if (!p)
        return 0;
    std::lock_guard<pylox::fair_mutex> lk(p->lock);
    p->rewind();
    return 1;
}

int file_ll_reg_write(pylox_ll_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t)
{
    return 1;
}
int file_ll_reg_read(pylox_ll_dev_t *, uint8_t, uint32_t, uint32_t *, uint16_t)
{
    return 1;
}

int file_ll_param_set(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    file_ll_priv *p = priv_of(dev);
    if (!p)
        return 0;
    for (int i = 0; items && i < count; ++i) {
        if (items[i].id != PARAM_FRAME_RATE)
            continue;
        uint32_t fps;
        std::memcpy(&fps, items[i].val, 4);
        p->fps.store(fps);
        PYLOX_LOG_AS(TQ_LOG_DBG, "file_ll_param_set", "[%s] file replay set fps to %d\n",
                     static_cast<int>(fps));
    }
    return 1;
}

int file_ll_param_get(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    file_ll_priv *p = priv_of(dev);
    if (!p)
        return 0;
    for (int i = 0; items && i < count; ++i) {
        pylox_ll_param_t &it = items[i];
        if (it.id == PARAM_FRAME_RATE) {
            const uint32_t fps = p->fps.load();
            std::memcpy(it.val, &fps, 4);
        } else if (it.id == PARAM_INFO_PRODUCT) {
            const size_t n = std::min<size_t>(std::strlen(p->product), PYLOX_LL_PARAM_VAL_MAX);
            std::memset(it.val, 0, sizeof it.val);
            std::memcpy(it.val, p->product, n);
            it.len = static_cast<uint8_t>(n);
        } else {
            std::memset(it.val, 0, sizeof it.val);
        }
    }
    return 1;
}

} // namespace

extern "C" PYLOX_API const pylox_ll_op_t ll_op_fil = {
    file_ll_init,           file_ll_uninit,    file_ll_set_debug, file_ll_dev_open,
    file_ll_dev_open_by_fd, file_ll_dev_close, file_ll_dev_list,  file_ll_exe_cmd,
    file_ll_tx_data,        file_ll_cap_abort, file_ll_cap_start, file_ll_cap_stop,
    file_ll_dev_reset,      file_ll_reg_write, file_ll_reg_read,  file_ll_param_set,
    file_ll_param_get,
};
