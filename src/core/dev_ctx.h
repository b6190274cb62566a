// Helpers shared by the calls that work on an open device: handle checks, the
// api_busy count, and atomic access to the context's status words, which the
// event thread and the application's threads share without a lock.
#pragma once

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>

#include <atomic>

namespace pylox {

template <typename T> inline T load(T &field)
{
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

template <typename T> inline void store(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// The open context of a handle, or null.
inline pylox_dev_ctx_t *open_ctx(pylox_dev_t *dev)
{
    if (!dev || !dev->ctx || !load(dev->ctx->is_open))
        return nullptr;
    return dev->ctx;
}

inline void busy_enter(pylox_dev_t *dev)
{
    std::atomic_ref<uint8_t>(dev->api_busy).fetch_add(1, std::memory_order_acq_rel);
}

inline void busy_leave(pylox_dev_t *dev)
{
    std::atomic_ref<uint8_t>(dev->api_busy).fetch_sub(1, std::memory_order_acq_rel);
}

// Counts a call in api_busy for the lifetime of the guard.
class busy_guard {
public:
    explicit busy_guard(pylox_dev_t *dev) : dev_(dev) { busy_enter(dev_); }
    ~busy_guard() { busy_leave(dev_); }
    busy_guard(const busy_guard &) = delete;
    busy_guard &operator=(const busy_guard &) = delete;

private:
    pylox_dev_t *dev_;
};

// Capture internals used across the capture and retrieval calls.
// The context is passed with the handle: a call that outlived a close still
// works on its context after the handle has let go of it.
int cap_stop(pylox_dev_t *dev, pylox_dev_ctx_t *ctx); // _pylox_cap_stop
void cap_handle_rdy_data(pylox_dev_t *dev, pylox_dev_ctx_t *ctx, int reqmax, bool drain);
int param_get_raw(pylox_dev_ctx_t *ctx, pylox_ll_param_t *items, int n);

} // namespace pylox
