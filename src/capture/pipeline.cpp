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
#include <new>

namespace pylox {
namespace {

constexpr size_t k_work_len = 0x400000; // the callback's working buffer, 4 MiB
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

// The callback's working buffer, large enough for a frame of `need` bytes
// when memory allows. Allocated once per device and kept.
bool ensure_work(device *d, size_t need)
{
    need = std::max(need, k_work_len);
    if (d->work_len >= need)
        return true;
    auto *bigger = new (std::nothrow) uint8_t[need];
    if (!bigger) {
        // The frame stays in the ring rather than reaching the callback cut.
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] malloc failed\n");
        return false;
    }
    d->work.reset(bigger);
    d->work_len = need;
    return true;
}

// Where the next frame goes: the callback's buffer, the request's
// destination, or nowhere (counted and dropped).
struct frame_slot {
    uint8_t *dst = nullptr;
    int len = 0;
};

// Takes the next frame out of the ring into slot. Returns false when none is ready.
// done_us receives the monotonic time of the frame's last byte.
bool take_frame(pylox_dev_ctx_t *ctx, frame_slot slot, tq_stream_finfo_t *fi, uint64_t *done_us)
{
    return stream_detail::fetch_frames(ctx->stream, slot.dst, slot.len, 1, fi, 0, done_us) > 0;
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

// Counts the frame into the request; copies it there when it went to the
// callback's buffer first.
void fill_request(pylox_dev_ctx_t *ctx, pylox_frame_req_t *req, const uint8_t *data,
                  const tq_stream_finfo_t &fi)
{
    if (req->remaining == req->count && req->info)
        *req->info = ctx->frame_info;
    if (req->dst && data && data != req->dst) {
        const size_t n = std::min<size_t>(fi.frame_size, static_cast<size_t>(req->dst_left));
        std::memcpy(req->dst, data, n);
    }
    if (req->dst && static_cast<uint32_t>(req->dst_left) >= fi.frame_size) {
        req->dst += fi.frame_size;
        req->dst_left -= static_cast<int>(fi.frame_size);
    }
    --req->remaining;
}

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
    const wall_time t0 = clock_now();
    on_frame(dev, &frame);
    const wall_time t1 = clock_now();
    const int64_t us = (t1.sec - t0.sec) * 1000000 + (t1.usec - t0.usec);
    PYLOX_LOG_AS(TQ_LOG_DBG, k_fn, "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", idx, idx,
                 static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

bool passed(const steady_deadline &deadline)
{
    return deadline && std::chrono::steady_clock::now() >= *deadline;
}

// Size of the next ready frame, or 0 when none is ready.
uint32_t next_frame_size(pylox_dev_ctx_t *ctx)
{
    tq_stream_finfo_t fi{};
    uint8_t probe = 0;
    if (tq_stream_fetch_frames(ctx->stream, &probe, 0, 1, &fi, 1) == 0)
        return 0;
    return fi.frame_size;
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

        // Learn the size of the next frame so a callback always gets it whole.
        const uint32_t size = next_frame_size(ctx);
        if (size == 0)
            break;
        frame_slot slot;
        if (on_frame) {
            if (!ensure_work(d, size))
                return;
            slot = {d->work.get(), static_cast<int>(std::min<size_t>(d->work_len, 0x7FFFFFFF))};
        } else if (for_request) {
            slot = {req->dst, req->dst_left};
        }
        tq_stream_finfo_t fi{};
        uint64_t done_us = 0;
        if (!take_frame(ctx, slot, &fi, &done_us))
            break;
        ++handled;

        describe_frame(ctx, fi, done_us);
        if (for_request)
            fill_request(ctx, req, slot.dst, fi);
        if (on_frame)
            run_frame_callback(dev, ctx, on_frame, slot.dst, d->work_len);
        if (!drain && handled >= reqmax)
            break;
    }
    PYLOX_LOG_AS(TQ_LOG_TRC, k_fn, "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n",
                 static_cast<unsigned>(handled), reqmax, req ? req->remaining : reqmax);
}

} // namespace pylox
