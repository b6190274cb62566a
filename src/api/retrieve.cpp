// Frame retrieval on the application's thread: waiting for frames, taking
// one, snapshots, and the callback loop of pylox_cap_wait.
#include "api/entry.h"
#include "capture/device.h"
#include "capture/tq_stream_internal.h"
#include "core/clock.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

using pylox::load;
using pylox::store;

// Frame rate for wait times: 0 (not known yet) becomes 20 and is kept.
uint32_t effective_fps(pylox_dev_ctx_t *ctx)
{
    uint32_t fps = load(ctx->fps);
    if (fps == 0) {
        fps = 20;
        store(ctx->fps, fps);
    }
    return fps;
}

timespec deadline_after(int64_t wait_ms)
{
    const int64_t now_ms = pylox::clock_now_ms();
    int64_t sec = now_ms / 1000 + wait_ms / 1000;
    int64_t nsec = (now_ms % 1000) * 1000000 + (wait_ms % 1000) * 1000000;
    if (nsec >= 1000000000) {
        sec += 1;
        nsec -= 1000000000;
    }
    timespec ts;
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(nsec);
    return ts;
}

bool frames_ready(pylox_dev_ctx_t *ctx)
{
    tq_stream_state_t st;
    return tq_stream_get_state(ctx->stream, &st)->frames_ready != 0;
}

bool capture_running(pylox_dev_ctx_t *ctx)
{
    return load(ctx->is_capturing) && !load(ctx->stop_req);
}

enum class woke { stop, news, timeout };

// One wait on the context's condition variable: returns at once when capture
// is ending or frames or a status are already there (checked under the mutex,
// so no signal is missed), else when signalled or at the deadline (null: no
// deadline). *rc receives the wait's error on a timeout.
woke wait_for_news(pylox_dev_ctx_t *ctx, const timespec *deadline, int *rc)
{
    pthread_mutex_lock(&ctx->mutex);
    if (load(ctx->stop_req)) {
        pthread_mutex_unlock(&ctx->mutex);
        return woke::stop;
    }
    *rc = 0;
    if (!frames_ready(ctx) && load(ctx->err_code) == 0)
        *rc = deadline ? pthread_cond_timedwait(&ctx->cond, &ctx->mutex, deadline)
                       : pthread_cond_wait(&ctx->cond, &ctx->mutex);
    pthread_mutex_unlock(&ctx->mutex);
    return *rc != 0 ? woke::timeout : woke::news;
}

// While the call waits, the frame it waits for is assembled straight in its
// destination (one copy from the transport instead of two). Not for a
// frame-ready callback, which gets the frame's data to read (as a copy in the
// library's ring, not the caller's buffer), nor for a destination shorter than
// the frame.
void lend_destination(pylox_dev_ctx_t *ctx, const pylox_frame_req_t &req)
{
    if (req.dst && req.dst_left > 0 && !load(ctx->on_frame_ready))
        pylox::stream_detail::lend_buffer(ctx->stream, req.dst, static_cast<size_t>(req.dst_left));
}

// Waits for the request's frames until the deadline, capture's end or a
// pending status. Returns the status or -2 when one applies, else 0.
int wait_for_request(pylox_dev_t *dev, pylox::device *d, pylox_frame_req_t &req,
                     const timespec &deadline, const pylox::steady_deadline &until,
                     const char *name)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    int result = 0;
    bool status_taken = false;
    const int32_t err = load(ctx->err_code);
    if (err < 0) {
        result = err;
        status_taken = true;
    } else {
        for (;;) {
            lend_destination(ctx, req);
            int rc = 0;
            const woke w = wait_for_news(ctx, &deadline, &rc);
            if (w == woke::stop)
                break;
            if (w == woke::timeout) {
                PYLOX_LOG_AS(TQ_LOG_INF, name, "[%s]  timeout ... (%s)\n", std::strerror(rc));
                break;
            }
            pylox::deliver(dev, d, req.remaining, true, until);
            if (req.remaining <= 0)
                break;
        }
    }
    if (!capture_running(ctx) && !status_taken) {
        PYLOX_LOG_AS(TQ_LOG_TRC, name, "[%s] device is not capturing\n");
        result = -2;
    }
    // Frames already in the ring are delivered whatever ended the wait.
    pylox::deliver(dev, d, req.remaining, true, until);
    return result;
}

// Runs the driver's post-processing over the frames copied into data.
void post_process(pylox_dev_ctx_t *ctx, void *data, int dlen, int delivered,
                  pylox_frame_info_t *info)
{
    pylox_drv_t *drv = ctx->driver;
    if (!data || !drv->ops->frame_raw_proc)
        return;
    if (static_cast<int64_t>(dlen) >= static_cast<int64_t>(delivered) * info->frame_size)
        drv->ops->frame_raw_proc(drv, static_cast<uint8_t *>(data), delivered, info);
}

// Lends the caller's buffer to the delivery as a request for n frames while
// take(req) waits for them or delivers them, then hands the first frame's
// record to finfo and runs the driver's post-processing over what arrived.
// Returns the number of frames delivered.
template <class Take> int request_frames(pylox_dev_ctx_t *ctx, int n, void *data, int dlen,
                                         pylox_frame_info_t *finfo, Take take)
{
    pylox_frame_info_t first{};
    pylox_frame_req_t req{n, n, static_cast<uint8_t *>(data), data ? dlen : 0, &first};
    ctx->request = &req;
    take(req);
    // The caller's buffer goes back to it: a frame the feeder was writing
    // there moves into the ring.
    pylox::stream_detail::end_loan(ctx->stream);
    ctx->request = nullptr;
    const int delivered = n - req.remaining;
    if (delivered > 0) {
        if (finfo)
            *finfo = first;
        post_process(ctx, data, dlen, delivered, &first);
    }
    return delivered;
}

// The driver may deliver frames from a cache of its own. Returns its result.
int driver_frames(pylox_dev_ctx_t *ctx, void *data, int n, pylox_frame_info_t *finfo)
{
    pylox_drv_t *drv = ctx->driver;
    if (!drv->ops->frame_raw_proc || !drv->ops->frame_raw_get)
        return 0;
    pylox_frame_info_t info{};
    const int r = drv->ops->frame_raw_get(drv, static_cast<uint8_t *>(data), n, &info);
    if (r > 0 && finfo)
        *finfo = info;
    return r;
}

// Holds the device's retrieval turn for one call, so that two threads never
// share the request slot. Refusals are logged under the call's name.
class turn_holder {
public:
    turn_holder(pylox::device *d, const pylox::steady_deadline &until, const char *name) : d_(d)
    {
        switch (d->retrieval.take(until)) {
        case pylox::retrieval_turn::result::taken:
            held_ = true;
            break;
        case pylox::retrieval_turn::result::timed_out:
            PYLOX_LOG_AS(TQ_LOG_ERR, name,
                         "[%s] another call is still taking frames from this device\n");
            break;
        case pylox::retrieval_turn::result::reentered:
            PYLOX_LOG_AS(TQ_LOG_ERR, name, "[%s] not allowed inside a capture callback\n");
            break;
        }
    }
    ~turn_holder()
    {
        if (held_)
            d_->retrieval.give_back();
    }
    turn_holder(const turn_holder &) = delete;
    turn_holder &operator=(const turn_holder &) = delete;
    explicit operator bool() const { return held_; }

private:
    pylox::device *d_;
    bool held_ = false;
};

pylox::steady_deadline steady_after(int64_t ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

extern "C" {

PYLOX_API int pylox_cap_get_frames(pylox_dev_t *dev, int n, void *data, int dlen,
                                   pylox_frame_info_t *finfo)
{
    constexpr const char *fn = "_pylox_cap_get_frames";
    pylox::entry call(dev, fn, TQ_LOG_DBG, "[%s] Wrong params\n");
    if (!call)
        return -1;
    if (n <= 0 || dlen < 0) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] Wrong params\n");
        return -1;
    }
    pylox::device *d = call.dev();
    pylox_dev_ctx_t *ctx = call.ctx();
    const uint32_t per_frame = 1000 / effective_fps(ctx);
    const int64_t wait = static_cast<int64_t>(n) * 100 + static_cast<int64_t>(n) * per_frame + 2000;
    const pylox::steady_deadline until = steady_after(wait);
    turn_holder turn(d, until, fn);
    if (!turn)
        return -1;

    int result = driver_frames(ctx, data, n, finfo);
    if (result > 0)
        return result;

    const timespec deadline = deadline_after(wait);
    PYLOX_LOG_AS(TQ_LOG_TRC, fn, "[%s] frame_num = %d, timeout_msec=%d\n", n,
                 static_cast<int>(wait));
    int r = 0;
    const int delivered = request_frames(ctx, n, data, dlen, finfo, [&](pylox_frame_req_t &req) {
        r = wait_for_request(dev, d, req, deadline, until, fn);
    });
    // Frames that reached the caller's buffer are always reported; a status
    // or the end of capture is reported by the next call that gets nothing.
    if (delivered > 0 && result >= 0)
        return delivered;
    if (result == 0)
        result = r;
    return result != 0 ? result : delivered;
}

PYLOX_API int pylox_cap_get_frame(pylox_dev_t *dev, void *data, int dlen, pylox_frame_info_t *finfo)
{
    constexpr const char *fn = "_pylox_cap_get_frames";
    pylox::entry call(dev, fn, TQ_LOG_DBG, "[%s] Wrong params\n");
    if (!call)
        return -1;
    if (dlen < 0) {
        PYLOX_LOG_AS(TQ_LOG_DBG, fn, "[%s] Wrong params\n");
        return -1;
    }
    pylox::device *d = call.dev();
    pylox_dev_ctx_t *ctx = call.ctx();
    // It does not wait for frames, but may wait one frame time for its turn.
    turn_holder turn(d, steady_after(1000 / effective_fps(ctx)), fn);
    if (!turn)
        return -1;
    int result = driver_frames(ctx, data, 1, finfo);
    if (result > 0)
        return result;

    PYLOX_LOG_AS(TQ_LOG_TRC, fn, "[%s] frame_num = %d, timeout_msec=%d\n", 1, 0);
    const int delivered = request_frames(
        ctx, 1, data, dlen, finfo, [&](pylox_frame_req_t &) { pylox::deliver(dev, d, 1, false); });
    if (delivered > 0 && result >= 0)
        return delivered;
    if (result == 0) {
        const int32_t err = load(ctx->err_code);
        if (err < 0)
            result = err;
        else if (!capture_running(ctx))
            result = -2;
    }
    return result != 0 ? result : delivered;
}

PYLOX_API int pylox_cap_snapshot(pylox_dev_t *dev, void *data, int dlen, pylox_frame_info_t *finfo)
{
    pylox::entry call(dev, __func__, TQ_LOG_ERR, "[%s] wrong parameters\n");
    if (!call)
        return 0;
    if (dlen < 0) {
        LOG_ERR("[%s] wrong parameters\n");
        return 0;
    }
    pylox::device *d = call.dev();
    pylox_dev_ctx_t *ctx = call.ctx();
    const bool was_capturing = load(ctx->is_capturing) != 0;
    if (!was_capturing)
        pylox_cap_start(dev);

    int delivered = 0;
    {
        const int64_t wait = 1000 / effective_fps(ctx) + 2100;
        const timespec deadline = deadline_after(wait);
        const pylox::steady_deadline until = steady_after(wait);
        turn_holder turn(d, until, __func__);
        pylox_frame_info_t info{};
        if (!turn) {
            delivered = 0;
        } else if (driver_frames(ctx, data, 1, &info) > 0) {
            if (finfo)
                *finfo = info;
            delivered = 1;
        } else {
            PYLOX_LOG_AS(TQ_LOG_TRC, "pylox_cap_snapshot", "[%s] frame_num = %d, timeout_msec=%d\n",
                         1, static_cast<int>(wait));
            delivered = request_frames(ctx, 1, data, dlen, finfo, [&](pylox_frame_req_t &req) {
                wait_for_request(dev, d, req, deadline, until, "pylox_cap_snapshot");
            });
        }
    }
    if (!was_capturing)
        pylox::cap_stop(d);
    return delivered > 0 ? 1 : 0;
}

PYLOX_API int pylox_cap_wait(pylox_dev_t *dev, int timeout_msec)
{
    LOG_DBG("[%s] timeout_msec=%d\n", timeout_msec);
    // The call stays counted while it waits: pylox_dev_close stops capture
    // first, which wakes it, and only then releases the condition variable.
    pylox::entry call(dev, __func__, TQ_LOG_DBG, "[%s] Wrong params\n");
    if (!call)
        return 0;
    pylox::device *d = call.dev();
    pylox_dev_ctx_t *ctx = call.ctx();
    if (!load(ctx->is_capturing)) {
        LOG_DBG("[%s] device is not capturing\n");
        return 0;
    }
    const timespec deadline = deadline_after(timeout_msec > 0 ? timeout_msec : 0);
    const pylox::steady_deadline until =
        timeout_msec > 0 ? steady_after(timeout_msec) : pylox::steady_deadline{};
    turn_holder turn(d, until, __func__);
    if (!turn)
        return 0;
    bool timed_out = false;
    if (load(ctx->err_code) >= 0 && !load(ctx->stop_req)) {
        for (;;) {
            int rc = 0;
            const woke w = wait_for_news(ctx, timeout_msec > 0 ? &deadline : nullptr, &rc);
            if (w == woke::stop)
                break;
            if (w == woke::timeout || (until && std::chrono::steady_clock::now() >= *until)) {
                LOG_INF("[%s]  timeout ...\n");
                timed_out = true;
                break;
            }
            pylox::deliver(dev, d, 0x7FFFFFFF, false, until);
            if (load(ctx->stop_req))
                break;
        }
    }
    pylox::deliver(dev, d, 0x7FFFFFFF, false, until);
    // Capture has ended for the caller only once the callback has had every
    // frame: when the deadline cut the delivery short, the frames left in the
    // ring come with the next call.
    if (!timed_out && until && std::chrono::steady_clock::now() >= *until &&
        load(ctx->on_frame_ready) && frames_ready(ctx)) {
        LOG_INF("[%s]  timeout with frames still to deliver\n");
        timed_out = true;
    }
    return timed_out ? 0 : 1;
}

} // extern "C"
