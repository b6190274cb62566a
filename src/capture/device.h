// The library's private record of an open device, and atomic access to the
// status words of the public context, which the event thread and the
// application's threads share without a lock.
#pragma once

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace pylox {

template <typename T> inline T load(T &field)
{
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

template <typename T> inline void store(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

using steady_deadline = std::optional<std::chrono::steady_clock::time_point>;

// One retrieval call at a time per device: the call holding the turn owns the
// context's request slot and the callback work buffer. A call from inside a
// frame-ready or error callback (the holder's own thread) is refused rather
// than left to wait for itself.
class retrieval_turn {
public:
    enum class result { taken, timed_out, reentered };
    result take(const steady_deadline &deadline);
    void give_back();

private:
    std::mutex lock_;
    std::condition_variable turn_free_;
    bool held_ = false;      // guarded by lock_
    std::thread::id holder_; // guarded by lock_
};

// Allocated by the open call; the public context comes first, so the handle's
// ctx pointer and the transport's record pointer are both this record.
struct device {
    pylox_dev_ctx_t pub{};

    // Start, stop, reset and frame-buffer changes run one at a time.
    std::mutex control;
    // A start holds control now; stops wait for it. A start gives up when a
    // stop waits (the stop also reaches the transport at once, which cuts
    // the start's slow steps short).
    std::atomic<bool> starting{false};
    std::atomic<int> stops_waiting{0};

    retrieval_turn retrieval;

    // The thread running the open call: while opening, the driver's own calls
    // on the handle are admitted before the context is open to everyone.
    std::atomic<std::thread::id> opener{};

    static device *of(pylox_dev_ctx_t *ctx) { return reinterpret_cast<device *>(ctx); }
    static device *of(pylox_ll_dev_t *ll) { return reinterpret_cast<device *>(ll); }
};

// A new record with its condition variable and mutex set up (a failure to
// create them ends the process), or null when memory is short.
device *device_create();
// Releases the record's own resources (not the driver, parser or transport).
void device_destroy(device *d);

// The handle's context pointer. Handles are packed records (in an array of
// them ctx sits misaligned), so the pointer cannot be accessed atomically: it
// is read and written under a lock chosen by the handle's address. A close
// takes the context from the handle before it waits for api_busy to reach
// zero; a call counts itself before it reads the pointer.
device *published(pylox_dev_t *dev);
void publish(pylox_dev_t *dev, device *d);
// Takes the context from the handle when it is expected (any context when
// expected is null). Returns what the handle held.
device *unpublish(pylox_dev_t *dev, device *expected = nullptr);

// --- capture control (capture.cpp) -----------------------------------------

// Starts capture (stopping a running one first). Returns the transport's result.
int cap_start(pylox_dev_t *dev, device *d);
// Stops capture if running and wakes every waiting call. Returns 1.
int cap_stop(device *d);
// Resets a part of the camera; a reset of its USB interface (target 3)
// stops a running capture first. Returns the transport's result.
int dev_reset(device *d, int target);
// Sets the frame ring's capacity from a byte size; refused while capturing.
int cap_set_frame_buffer(device *d, int size);
// Frames the ring holds at most.
int cap_max_frames(device *d);
// Reads parameters through the transport, for the library's own use.
int param_get_raw(pylox_dev_ctx_t *ctx, pylox_ll_param_t *items, int n);

// --- delivery of ready frames (pipeline.cpp) --------------------------------

// Hands ready frames over on the application's thread: reports a pending
// status to the error callback, then takes up to reqmax frames into the
// request in pub.request and the frame-ready callback. In drain mode frames
// beyond the request go on to the callback. No frame is taken for a callback
// once the deadline has passed. The caller holds the retrieval turn.
void deliver(pylox_dev_t *dev, device *d, int reqmax, bool drain,
             const steady_deadline &deadline = std::nullopt);

} // namespace pylox
