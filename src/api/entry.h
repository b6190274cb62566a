// The one entry guard of every exported call that works on an open device.
//
// The call counts itself in the handle's api_busy first and only then looks
// at the handle's context: a close clears the context from the handle before
// it waits for api_busy to reach zero, so a call either sees no context (and
// leaves) or is counted before the close frees anything.
#pragma once

#include "capture/device.h"
#include "core/log.h"

#include <atomic>
#include <thread>

namespace pylox {

inline constexpr const char *k_no_device = "[%s]  Device handler Is NULL!\r\n";
inline constexpr int k_silent = -1;

class entry {
public:
    // fn names the call in the refusal line; level k_silent refuses quietly.
    entry(pylox_dev_t *dev, const char *fn, int level = TQ_LOG_ERR,
          const char *refusal = k_no_device)
        : dev_(dev)
    {
        if (dev_) {
            std::atomic_ref<uint8_t>(dev_->api_busy).fetch_add(1);
            device *d = published(dev_);
            if (d && (load(d->pub.is_open) || d->opener.load() == std::this_thread::get_id()))
                d_ = d;
        }
        if (!d_) {
            leave();
            if (level != k_silent)
                PYLOX_LOG_AS(level, fn, refusal);
        }
    }
    ~entry() { leave(); }
    entry(const entry &) = delete;
    entry &operator=(const entry &) = delete;

    explicit operator bool() const { return d_ != nullptr; }
    device *dev() const { return d_; }
    pylox_dev_ctx_t *ctx() const { return &d_->pub; }
    pylox_dev_t *handle() const { return dev_; }

private:
    void leave()
    {
        if (dev_)
            std::atomic_ref<uint8_t>(dev_->api_busy).fetch_sub(1);
        dev_ = nullptr;
    }

    pylox_dev_t *dev_;
    device *d_ = nullptr;
};

} // namespace pylox
