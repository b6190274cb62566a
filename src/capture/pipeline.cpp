// Delivery of ready frames on the application's thread, as a sequence of
// named steps: report the pending status, take a frame out of the ring, let
// the driver describe it, fill the waiting request, run the frame-ready
// callback. Later stages (decoding, frame products) join between them.
#include "capture/device.h"
#include "capture/tq_stream_internal.h"
#include "core/clock.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>
#include <pylox/tq_stream.h>

#include <algorithm>
#include <cstring>

namespace pylox {
namespace {

constexpr const char *k_fn = "_cap_handle_rdy_data";

// Hands a pending status to the error callback. Returns false when capture
// is to end (the callback said so now or earlier).
bool report_status(pylox_dev_t *dev, pylox_dev_ctx_t *ctx)
{
    pylox_error_cb_t on_error = load(ctx->on_error);
    const int32_t code = load(ctx->err_code);
    if (on_error && code != 0) {
        PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] error cb invoke: %s\n", pylox_error_name(code));
        const int go_on = on_error(dev, code, load(ctx->err_arg));
        // A status that arrived during the callback stays pending.
        int32_t seen = code;
        std::atomic_ref<int32_t>(ctx->err_code).compare_exchange_strong(seen, 0);
        if (!go_on) {
            PYLOX_LOG_AS(TQ_LOG_DBG, k_fn, "[%s] error cb return false to stop capture\n");
            store(ctx->stop_req, 1u);
            store(ctx->force_stop, uint8_t{1});
            PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] error callback force cap to stop\n");
            return false;
        }
    }
    if (load(ctx->force_stop)) {
        PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] error callback force cap to stop\n");
        return false;
    }
    return true;
}

// Lets the driver fill the context's frame information, then adds the
// arrival time in the reserved words (low word first).
void describe_frame(pylox_dev_ctx_t *ctx, const tq_stream_finfo_t &fi, uint64_t done_us)
{
    if (!ctx->driver->ops->frame_get_info(ctx->driver, &ctx->frame_info, &fi)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s]  driver frame_get_info failed!\n");
        std::memset(&ctx->frame_info, 0, sizeof ctx->frame_info);
    }
    ctx->frame_info.reserved2[0] = static_cast<uint32_t>(done_us);
    ctx->frame_info.reserved2[1] = static_cast<uint32_t>(done_us >> 32);
}

// Counts the frame into the request and copies it to the request's
// destination, cut to the room left there: the one copy between the ring and
// the caller. A frame the feeder assembled in the destination itself (lent
// by the waiting call) is there already; any other frame first moves a frame
// still using the loan out of the destination.
void fill_request(pylox_dev_ctx_t *ctx, pylox_frame_req_t *req, const tq_stream_node *f)
{
    if (req->remaining == req->count && req->info)
        *req->info = ctx->frame_info;
    const uint32_t size = f->finfo.frame_size;
    if (req->dst && req->dst_left > 0 && f->data() != req->dst) {
        stream_detail::end_loan(ctx->stream);
        const size_t n = std::min<size_t>(f->filled, static_cast<size_t>(req->dst_left));
        std::memcpy(req->dst, f->data(), n);
    }
    if (req->dst && static_cast<uint32_t>(req->dst_left) >= size) {
        req->dst += size;
        req->dst_left -= static_cast<int>(size);
    }
    --req->remaining;
}

// The callback reads the frame where it lies in the ring; the data is valid
// only during the call.
void run_frame_callback(pylox_dev_t *dev, pylox_dev_ctx_t *ctx, pylox_frame_ready_cb_t on_frame,
                        uint8_t *data, size_t data_len)
{
    pylox_frame_t frame{};
    frame.info = ctx->frame_info;
    if (frame.info.frame_size > data_len)
        frame.info.frame_size = static_cast<uint32_t>(data_len);
    frame.data = data;
    const unsigned idx = frame.info.frame_idx;
    PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] frdy cb invoke: %u,%u\n", idx, idx);
    const int64_t t0 = clock_now_ms();
    on_frame(dev, &frame);
    const int64_t us = (clock_now_ms() - t0) * 1000;
    PYLOX_LOG_AS(TQ_LOG_DBG, k_fn, "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", idx, idx,
                 static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

bool passed(const steady_deadline &deadline)
{
    return deadline && std::chrono::steady_clock::now() >= *deadline;
}

} // namespace

void deliver(pylox_dev_t *dev, device *d, int reqmax, bool drain, const steady_deadline &deadline)
{
    pylox_dev_ctx_t *ctx = &d->pub;
    if (!report_status(dev, ctx) || reqmax <= 0)
        return;
    tq_stream_state_t st;
    if (tq_stream_get_state(ctx->stream, &st)->frames_ready == 0)
        return;

    pylox_frame_req_t *req = ctx->request;
    const pylox_frame_ready_cb_t on_frame = load(ctx->on_frame_ready);
    int handled = 0;
    for (;;) {
        const bool for_request = req && req->remaining > 0;
        // In drain mode, frames beyond the request go to the frame-ready
        // callback; without one they stay in the ring for the next call
        // rather than being thrown away.
        if (!for_request && !on_frame && handled >= reqmax)
            break;
        // A slow callback must not hold the caller past its deadline.
        if (!for_request && on_frame && passed(deadline))
            break;

        tq_stream_node *f = stream_detail::take_frame(ctx->stream);
        if (!f)
            break;
        ++handled;

        describe_frame(ctx, f->finfo, f->done_us);
        if (for_request)
            fill_request(ctx, req, f);
        if (on_frame)
            run_frame_callback(dev, ctx, on_frame, f->data(), f->filled);
        stream_detail::release_frame(ctx->stream, f);
        if (!drain && handled >= reqmax)
            break;
    }
    PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n",
                 static_cast<unsigned>(handled), reqmax, req ? req->remaining : reqmax);
}

} // namespace pylox
