// Capture control and the frame ring: start and stop, the transport's capture
// events on the event thread, and the hand-over of ready frames to the
// application's thread.
#include "core/clock.h"
#include "core/dev_ctx.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>
#include <pylox/tq_stream.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using pylox::load;
using pylox::store;

constexpr uint32_t k_max_timeouts = 32;
constexpr uint32_t k_max_stalls = 16;
constexpr size_t k_cb_buffer = 0x400000; // working buffer of a handling call, 4 MiB

void signal_waiters(pylox_dev_ctx_t *ctx)
{
    pthread_mutex_lock(&ctx->mutex);
    pthread_cond_signal(&ctx->cond);
    pthread_mutex_unlock(&ctx->mutex);
}

// Raises a fatal capture status unless capture is already ending.
void fatal_event(pylox_dev_ctx_t *ctx, int code)
{
    if (load(ctx->stop_req))
        return;
    store(ctx->stop_req, 1u);
    store(ctx->err_arg, 0u);
    store(ctx->err_code, static_cast<int32_t>(code));
    pylox_ll_cap_abort(&ctx->ll);
}

// The transport's data sink; runs on the device's event thread.
int on_capture_event(pylox_ll_dev_t *ll, int event, const uint8_t *data, int len, void *)
{
    auto *ctx = reinterpret_cast<pylox_dev_ctx_t *>(ll);

    switch (event) {
    case PYLOX_LL_EVT_DATA:
        store(ctx->stall_cnt, 0u);
        if (tq_stream_feed_input(ctx->stream, data, len))
            signal_waiters(ctx);
        break;
    case PYLOX_LL_EVT_CANCELLED:
        store(ctx->stop_req, 1u);
        pylox_ll_cap_abort(ll);
        break;
    case PYLOX_LL_EVT_TIMEOUT: {
        const uint32_t n = std::atomic_ref<uint32_t>(ctx->timeout_cnt).fetch_add(1) + 1;
        if (n > k_max_timeouts && !load(ctx->stop_req)) {
            PYLOX_LOG_AS(TQ_LOG_WRN, "on_capture_event", "[%s] trans timeout -> stop\n");
            fatal_event(ctx, PYLOX_ERR_CAP_TIMEOUT);
        }
        break;
    }
    case PYLOX_LL_EVT_STALL: {
        const uint32_t n = std::atomic_ref<uint32_t>(ctx->stall_cnt).fetch_add(1) + 1;
        if (n > k_max_stalls && !load(ctx->stop_req)) {
            PYLOX_LOG_AS(TQ_LOG_WRN, "on_capture_event", "[%s] trans stall -> stop\n");
            fatal_event(ctx, PYLOX_ERR_CAP_STALL);
        }
        break;
    }
    default:
        // A failed transfer: the status is reported whatever the stop state,
        // and a waiting call is woken so that it does not wait for frames
        // that will not come.
        store(ctx->err_arg, 0u);
        store(ctx->err_code, static_cast<int32_t>(event));
        if (!load(ctx->stop_req)) {
            store(ctx->stop_req, 1u);
            pylox_ll_cap_abort(ll);
        }
        signal_waiters(ctx);
        return 0;
    }

    tq_stream_state_t st;
    tq_stream_get_state(ctx->stream, &st);
    if (st.frames_discarded > ctx->stream_state.frames_discarded) {
        PYLOX_LOG_AS(TQ_LOG_DBG, "on_capture_event", "[%s] trans discard %d frames\n",
                     static_cast<int>(st.frames_discarded - ctx->stream_state.frames_discarded));
        store(ctx->discard_cnt, st.frames_discarded);
        store(ctx->err_arg, st.frames_discarded);
        store(ctx->err_code, static_cast<int32_t>(PYLOX_ERR_CAP_FRAME_DISCARD));
    }
    ctx->stream_state = st;
    if (event != PYLOX_LL_EVT_DATA)
        signal_waiters(ctx);
    return 0;
}

// Start and stop of one device run one at a time, whichever application
// threads call them: a start stops the running capture, resets the parser and
// starts again as one step. The context record has no room for a lock of its
// own, so devices share a small set of locks by address.
std::mutex &control_lock(const pylox_dev_ctx_t *ctx)
{
    static std::mutex locks[16];
    return locks[(reinterpret_cast<uintptr_t>(ctx) / alignof(pylox_dev_ctx_t)) % 16];
}

int max_frames_of(pylox_dev_ctx_t *ctx)
{
    if (!ctx->stream)
        return 0;
    tq_stream_cfg_t cfg{};
    tq_stream_get_cfg(ctx->stream, &cfg);
    return static_cast<int>(cfg.max_frames);
}

} // namespace

namespace pylox {

// Stops the transport's capture and wakes every waiting call.
int cap_stop(pylox_dev_t *, pylox_dev_ctx_t *ctx)
{
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_stop", "[%s] Enter\n");
    store(ctx->stop_req, 1u);
    const int r = pylox_ll_cap_stop(&ctx->ll);
    pthread_mutex_lock(&ctx->mutex);
    pthread_cond_broadcast(&ctx->cond);
    pthread_mutex_unlock(&ctx->mutex);
    store(ctx->is_capturing, static_cast<uint8_t>(!r));
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_stop", "[%s] Exit\n");
    return r;
}

void cap_handle_rdy_data(pylox_dev_t *dev, pylox_dev_ctx_t *ctx, int reqmax, bool drain)
{
    pylox_error_cb_t on_error = load(ctx->on_error);
    const int32_t code = load(ctx->err_code);
    if (on_error && code != 0) {
        PYLOX_LOG_AS(TQ_LOG_TRC, "_cap_handle_rdy_data", "[%s] error cb invoke: %s\n",
                     pylox_error_name(code));
        const int go_on = on_error(dev, code, load(ctx->err_arg));
        // A status that arrived during the callback stays pending.
        int32_t seen = code;
        std::atomic_ref<int32_t>(ctx->err_code).compare_exchange_strong(seen, 0);
        if (!go_on) {
            PYLOX_LOG_AS(TQ_LOG_DBG, "_cap_handle_rdy_data",
                         "[%s] error cb return false to stop capture\n");
            store(ctx->stop_req, 1u);
            store(ctx->force_stop, uint8_t{1});
            PYLOX_LOG_AS(TQ_LOG_TRC, "_cap_handle_rdy_data",
                         "[%s] error callback force cap to stop\n");
            return;
        }
    }
    if (load(ctx->force_stop)) {
        PYLOX_LOG_AS(TQ_LOG_TRC, "_cap_handle_rdy_data", "[%s] error callback force cap to stop\n");
        return;
    }
    if (reqmax <= 0)
        return;
    tq_stream_state_t st;
    if (tq_stream_get_state(ctx->stream, &st)->frames_ready == 0)
        return;

    pylox_frame_req_t *req = ctx->request;
    pylox_frame_ready_cb_t on_frame = load(ctx->on_frame_ready);
    uint8_t *work = nullptr;
    size_t work_len = 0;
    if (on_frame) {
        work_len = k_cb_buffer;
        work = static_cast<uint8_t *>(std::malloc(work_len));
        if (!work) {
            PYLOX_LOG_AS(TQ_LOG_ERR, "_cap_handle_rdy_data", "[%s] malloc failed\n");
            return;
        }
    }

    int handled = 0;
    for (;;) {
        const bool for_request = req && req->remaining > 0;
        // In drain mode, frames beyond the request go to the frame-ready
        // callback; without one they stay in the ring for the next call
        // rather than being thrown away.
        if (!for_request && !on_frame && handled >= reqmax)
            break;

        // Learn the size of the next frame so a callback always gets it whole.
        tq_stream_finfo_t fi{};
        uint8_t probe = 0;
        if (tq_stream_fetch_frames(ctx->stream, &probe, 0, 1, &fi, 1) == 0)
            break;
        if (on_frame && fi.frame_size > work_len) {
            auto *bigger = static_cast<uint8_t *>(std::realloc(work, fi.frame_size));
            if (bigger) {
                work = bigger;
                work_len = fi.frame_size;
            }
        }

        uint8_t *data = nullptr;
        int got;
        if (on_frame) {
            got = tq_stream_fetch_frames(ctx->stream, work, static_cast<int>(work_len), 1, &fi, 0);
            data = work;
        } else if (for_request) {
            got = tq_stream_fetch_frames(ctx->stream, req->dst, req->dst_left, 1, &fi, 0);
            data = req->dst;
        } else {
            got = tq_stream_fetch_frames(ctx->stream, nullptr, 0, 1, &fi, 0);
        }
        if (got == 0)
            break;
        ++handled;

        if (!ctx->driver->ops->frame_get_info(ctx->driver, &ctx->frame_info, &fi)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, "_cap_handle_rdy_data",
                         "[%s]  driver frame_get_info failed!\n");
            std::memset(&ctx->frame_info, 0, sizeof ctx->frame_info);
        }

        if (for_request) {
            if (req->remaining == req->count && req->info)
                *req->info = ctx->frame_info;
            if (on_frame && req->dst) {
                const size_t n = std::min<size_t>(std::min<size_t>(fi.frame_size, work_len),
                                                  static_cast<size_t>(req->dst_left));
                std::memcpy(req->dst, work, n);
            }
            if (req->dst && static_cast<uint32_t>(req->dst_left) >= fi.frame_size) {
                req->dst += fi.frame_size;
                req->dst_left -= static_cast<int>(fi.frame_size);
            }
            --req->remaining;
        }

        if (on_frame) {
            pylox_frame_t frame{};
            frame.info = ctx->frame_info;
            if (frame.info.frame_size > work_len)
                frame.info.frame_size = static_cast<uint32_t>(work_len);
            frame.data = data;
            const unsigned idx = frame.info.frame_idx;
            PYLOX_LOG_AS(TQ_LOG_TRC, "_cap_handle_rdy_data", "[%s] frdy cb invoke: %u,%u\n", idx,
                         idx);
            const pylox::wall_time t0 = pylox::clock_now();
            on_frame(dev, &frame);
            const pylox::wall_time t1 = pylox::clock_now();
            const int64_t us = (t1.sec - t0.sec) * 1000000 + (t1.usec - t0.usec);
            PYLOX_LOG_AS(TQ_LOG_DBG, "_cap_handle_rdy_data",
                         "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", idx, idx,
                         static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
        }
        if (!drain && handled >= reqmax)
            break;
    }
    PYLOX_LOG_AS(TQ_LOG_TRC, "_cap_handle_rdy_data",
                 "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n",
                 static_cast<unsigned>(handled), reqmax, req ? req->remaining : reqmax);
    std::free(work);
}

} // namespace pylox

extern "C" {

PYLOX_API int pylox_cap_set_frame_buffer(pylox_dev_t *dev, void *, int size)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    std::unique_lock<std::mutex> control;
    if (ctx)
        control = std::unique_lock<std::mutex>(control_lock(ctx));
    if (!ctx || load(ctx->is_capturing)) {
        LOG_ERR("[%s]  Set frame buffer is not allowed when device is not open or is capturing\n");
        return 0;
    }
    const tq_stream_cfg_t cfg{size > 0 ? static_cast<uint32_t>(size / PYLOX_CAP_FRAME_UNIT) : 0u};
    tq_stream_set_cfg(ctx->stream, &cfg);
    LOG_DBG("[%s] frame buffer: %d frames\n", static_cast<int>(cfg.max_frames));
    ctx->cap_arg = 0;
    return 1;
}

PYLOX_API int pylox_cap_get_frame_buffer(pylox_dev_t *dev, void **buffer, int *size)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (buffer)
        *buffer = nullptr;
    if (size)
        *size = ctx ? max_frames_of(ctx) * PYLOX_CAP_FRAME_UNIT : 0;
    return 1;
}

PYLOX_API int pylox_cap_set_callback_on_frame_ready(pylox_dev_t *dev, pylox_frame_ready_cb_t cb)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (!ctx) {
        LOG_ERR("[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    LOG_DBG("[%s] set on_cap_frdy to %p\n", reinterpret_cast<void *>(cb));
    store(ctx->on_frame_ready, cb);
    return 1;
}

PYLOX_API int pylox_cap_set_callback_on_error(pylox_dev_t *dev, pylox_error_cb_t cb)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (!ctx) {
        LOG_ERR("[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    LOG_DBG("[%s] set on_cap_err to %p\n", reinterpret_cast<void *>(cb));
    store(ctx->on_error, cb);
    return 1;
}

PYLOX_API int pylox_cap_is_ongoing(pylox_dev_t *dev)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    return ctx ? load(ctx->is_capturing) : 0;
}

PYLOX_API int pylox_cap_start(pylox_dev_t *dev)
{
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (!ctx || !ctx->ll.priv) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_cap_start", "[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    pylox::busy_guard busy(dev);
    std::lock_guard<std::mutex> control(control_lock(ctx));
    if (load(ctx->is_capturing))
        pylox::cap_stop(dev, ctx);

    pylox_ll_param_t fps{};
    fps.id = PARAM_FRAME_RATE;
    fps.len = 4;
    if (pylox::param_get_raw(ctx, &fps, 1)) {
        uint32_t v;
        std::memcpy(&v, fps.val, sizeof v);
        store(ctx->fps, v);
    }
    if (max_frames_of(ctx) < 2) {
        LOG_ERR("[%s]  capture buffer not set or size is not correct \n");
        return 0;
    }

    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_start", "[%s] Enter ... \n");
    store(ctx->force_stop, uint8_t{0});
    store(ctx->err_code, 0);
    store(ctx->err_arg, 0u);
    store(ctx->stop_req, 0u);
    store(ctx->timeout_cnt, 0u);
    store(ctx->stall_cnt, 0u);
    store(ctx->discard_cnt, 0u);
    tq_stream_reset(ctx->stream);
    // The parser's counters start again from zero, and so does our snapshot of them.
    std::memset(&ctx->stream_state, 0, sizeof ctx->stream_state);
    PYLOX_LOG_AS(TQ_LOG_DBG, "_pylox_cap_start", "[%s] issue start cmd\n");
    const int r = pylox_ll_cap_start(&ctx->ll, ctx->cap_arg, on_capture_event, dev);
    if (r)
        store(ctx->is_capturing, uint8_t{1});
    return r;
}

PYLOX_API int pylox_cap_stop(pylox_dev_t *dev)
{
    PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_cap_stop", "[%s] Enter\n");
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (!ctx) {
        LOG_ERR("[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    pylox::busy_guard busy(dev);
    std::lock_guard<std::mutex> control(control_lock(ctx));
    if (load(ctx->is_capturing))
        pylox::cap_stop(dev, ctx);
    return 1;
}

} // extern "C"
