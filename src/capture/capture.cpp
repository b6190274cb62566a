// Capture control: start and stop, the frame ring's size, and the transport's
// capture events on the event thread.
#include "capture/device.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>
#include <pylox/tq_stream.h>

#include <cstring>
#include <mutex>

namespace {

using pylox::load;
using pylox::store;

constexpr uint32_t k_max_timeouts = 32;
constexpr uint32_t k_max_stalls = 16;

// A waiter checks for news under the mutex before it sleeps, so passing
// through the mutex orders this signal after that check; signalling once the
// mutex is free lets the woken thread run on without blocking on it.
void signal_waiters(pylox_dev_ctx_t *ctx)
{
    pthread_mutex_lock(&ctx->mutex);
    pthread_mutex_unlock(&ctx->mutex);
    pthread_cond_signal(&ctx->cond);
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
    pylox_dev_ctx_t *ctx = &pylox::device::of(ll)->pub;

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

} // namespace

namespace pylox {

int param_get_raw(pylox_dev_ctx_t *ctx, pylox_ll_param_t *items, int n)
{
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_param_batch_get", "[%s] get %d param\n", n);
    return pylox_ll_param_get(&ctx->ll, items, n);
}

int cap_max_frames(device *d)
{
    if (!d->pub.stream)
        return 0;
    tq_stream_cfg_t cfg{};
    tq_stream_get_cfg(d->pub.stream, &cfg);
    return static_cast<int>(cfg.max_frames);
}

namespace {

// _pylox_cap_stop: stops the transport's capture and wakes every waiting
// call. The caller holds the control lock.
void stop_locked(device *d)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_stop", "[%s] Enter\n");
    store(ctx->stop_req, 1u);
    // Waiting calls return now, not after the transport's stop (which may
    // wait for a command in progress); and once more after it.
    pthread_mutex_lock(&ctx->mutex);
    pthread_cond_broadcast(&ctx->cond);
    pthread_mutex_unlock(&ctx->mutex);
    const int r = pylox_ll_cap_stop(&ctx->ll);
    pthread_mutex_lock(&ctx->mutex);
    pthread_cond_broadcast(&ctx->cond);
    pthread_mutex_unlock(&ctx->mutex);
    store(ctx->is_capturing, static_cast<uint8_t>(!r));
    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_stop", "[%s] Exit\n");
}

// Capture counters and the parser start again from zero.
void reset_capture_state(pylox_dev_ctx_t *ctx)
{
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
}

} // namespace

// Marks the start in progress for stops that come meanwhile.
class starting_mark {
public:
    explicit starting_mark(device *d) : d_(d) { d_->starting.store(true); }
    ~starting_mark() { d_->starting.store(false); }
    starting_mark(const starting_mark &) = delete;
    starting_mark &operator=(const starting_mark &) = delete;

private:
    device *d_;
};

int cap_start(pylox_dev_t *dev, device *d)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    std::lock_guard<std::mutex> control(d->control);
    const starting_mark mark(d);
    // A close under way has taken the context from the handle: no new capture.
    if (published(dev) != d) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_cap_start", "[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    if (load(ctx->is_capturing))
        stop_locked(d);

    pylox_ll_param_t fps{};
    fps.id = PARAM_FRAME_RATE;
    fps.len = 4;
    if (param_get_raw(ctx, &fps, 1)) {
        uint32_t v;
        std::memcpy(&v, fps.val, sizeof v);
        store(ctx->fps, v);
    }
    if (cap_max_frames(d) < 2) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_cap_start",
                     "[%s]  capture buffer not set or size is not correct \n");
        return 0;
    }

    // A stop issued meanwhile wins: nothing has been started yet.
    if (d->stops_waiting.load() > 0) {
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_cap_start", "[%s] a stop is waiting: start given up\n");
        return 0;
    }

    PYLOX_LOG_AS(TQ_LOG_TRC, "_pylox_cap_start", "[%s] Enter ... \n");
    reset_capture_state(ctx);
    PYLOX_LOG_AS(TQ_LOG_DBG, "_pylox_cap_start", "[%s] issue start cmd\n");
    const int r = pylox_ll_cap_start(&ctx->ll, ctx->cap_arg, on_capture_event, dev);
    if (r)
        store(ctx->is_capturing, uint8_t{1});
    return r;
}

int cap_stop(device *d)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    d->stops_waiting.fetch_add(1);
    if (d->starting.load()) {
        // A start holds control and may poll a busy camera for seconds: the
        // transport's stop goes ahead now. It cuts the start short (which
        // then fails and starts nothing) or, when the start won the race,
        // stops what it started; the stop below then finds the state either
        // way. Waiting calls see the stop at once.
        store(ctx->stop_req, 1u);
        pthread_mutex_lock(&ctx->mutex);
        pthread_cond_broadcast(&ctx->cond);
        pthread_mutex_unlock(&ctx->mutex);
        pylox_ll_cap_stop(&ctx->ll);
    }
    std::lock_guard<std::mutex> control(d->control);
    d->stops_waiting.fetch_sub(1);
    if (load(ctx->is_capturing))
        stop_locked(d);
    return 1;
}

int dev_reset(device *d, int target)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    std::lock_guard<std::mutex> control(d->control);
    if (target != 3 || ctx->ll.kind != PYLOX_LL_KIND_USB)
        return pylox_ll_dev_reset(&ctx->ll, static_cast<uint8_t>(target));
    // The camera leaves the bus and comes back without streaming: a running
    // capture is stopped first, as a close does, so that the state says
    // stopped, waiting calls return and the next start works on the camera
    // that came back.
    if (load(ctx->is_capturing)) {
        PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_dev_reset", "[%s] stop capture before the reset\n");
        stop_locked(d);
    }
    const int r = pylox_ll_dev_reset(&ctx->ll, static_cast<uint8_t>(target));
    // Whatever the stop reported, nothing streams into this device any more.
    store(ctx->stop_req, 1u);
    store(ctx->is_capturing, uint8_t{0});
    return r;
}

int cap_set_frame_buffer(device *d, int size)
{
    std::lock_guard<std::mutex> control(d->control);
    if (load(d->pub.is_capturing)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_cap_set_frame_buffer",
                     "[%s]  Set frame buffer is not allowed when device is not open or is "
                     "capturing\n");
        return 0;
    }
    const tq_stream_cfg_t cfg{size > 0 ? static_cast<uint32_t>(size / PYLOX_CAP_FRAME_UNIT) : 0u};
    tq_stream_set_cfg(d->pub.stream, &cfg);
    PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_cap_set_frame_buffer", "[%s] frame buffer: %d frames\n",
                 static_cast<int>(cfg.max_frames));
    d->pub.cap_arg = 0;
    return 1;
}

} // namespace pylox
