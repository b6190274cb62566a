// Shared pieces of the USB back end's tests against the virtual camera: a
// capture sink that records what the event thread delivered, deadline waits
// and small helpers for the camera's request log.
#pragma once

#include "support/log_capture.h"
#include "support/wait.h"

#include "ll/usb/usb_priv.h"

#include <pylox/pylox_ll.h>
#include <vcam/vcam.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace usbtest {

using clk = std::chrono::steady_clock;

// Builds under AddressSanitizer or ThreadSanitizer: the load tests run less
// load there, enough to meet every interleaving often, short enough for their
// ten- to fiftyfold slowdown (the camera's threads are instrumented too).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

inline int64_t ms_since(clk::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count();
}

// Polls pred until it holds or ms pass; returns pred().
inline bool wait_until(const std::function<bool()> &pred, int ms = 5000)
{
    return pylox_test::eventually(pred, std::chrono::milliseconds(ms));
}

// What the capture callback saw, in order.
struct Chunk {
    int event;
    int len;
    const uint8_t *buf; // the slot's buffer: tells the transfers apart
};

class Sink {
public:
    static int cb(pylox_ll_dev_t *, int event, const uint8_t *data, int len, void *user)
    {
        auto *s = static_cast<Sink *>(user);
        std::lock_guard<std::mutex> g(s->m_);
        s->chunks_.push_back({event, len, data});
        if (len > 0)
            s->bytes_ += static_cast<uint64_t>(len);
        if (s->on_chunk)
            s->on_chunk(event, data, len);
        s->cv_.notify_all();
        return 0;
    }
    // Waits until pred(chunks) holds, at most ms.
    bool wait(const std::function<bool(const std::vector<Chunk> &)> &pred, int ms = 5000)
    {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return pred(chunks_); });
    }
    bool wait_count(size_t n, int ms = 5000)
    {
        return wait([n](const std::vector<Chunk> &c) { return c.size() >= n; }, ms);
    }
    std::vector<Chunk> chunks()
    {
        std::lock_guard<std::mutex> g(m_);
        return chunks_;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> g(m_);
        return chunks_.size();
    }
    uint64_t bytes()
    {
        std::lock_guard<std::mutex> g(m_);
        return bytes_;
    }
    // Runs on the event thread inside the callback, under the sink's lock.
    std::function<void(int, const uint8_t *, int)> on_chunk;

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Chunk> chunks_;
    uint64_t bytes_ = 0;
};

// A record for the first camera found, opened through the back end.
inline bool open_any(pylox_ll_dev_t &dev)
{
    dev = pylox_ll_dev_t{};
    dev.kind = PYLOX_LL_KIND_USB;
    return ll_op_usb.dev_open(&dev) == &dev;
}

inline std::vector<vcam::ControlRecord> requests(const vcam::Camera &cam, uint8_t type,
                                                 uint8_t request_type)
{
    std::vector<vcam::ControlRecord> out;
    for (auto &r : cam.control_log())
        if (r.bRequest == type && r.bmRequestType == request_type)
            out.push_back(r);
    return out;
}

inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace usbtest
