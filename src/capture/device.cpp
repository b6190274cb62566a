// The private device record and the retrieval turn.
#include "capture/device.h"
#include "core/log.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace pylox {

retrieval_turn::result retrieval_turn::take(const steady_deadline &deadline)
{
    std::unique_lock<std::mutex> lk(lock_);
    if (held_ && holder_ == std::this_thread::get_id())
        return result::reentered;
    while (held_) {
        if (!deadline) {
            turn_free_.wait(lk);
        } else if (turn_free_.wait_until(lk, *deadline) == std::cv_status::timeout && held_) {
            return result::timed_out;
        }
    }
    held_ = true;
    holder_ = std::this_thread::get_id();
    return result::taken;
}

void retrieval_turn::give_back()
{
    {
        std::lock_guard<std::mutex> lk(lock_);
        held_ = false;
        holder_ = std::thread::id{};
    }
    turn_free_.notify_one();
}

namespace {

std::mutex &handle_lock(const pylox_dev_t *dev)
{
    static std::mutex locks[32];
    return locks[(reinterpret_cast<uintptr_t>(dev) / 4) % 32];
}

} // namespace

device *published(pylox_dev_t *dev)
{
    std::lock_guard<std::mutex> lk(handle_lock(dev));
    return device::of(dev->ctx);
}

void publish(pylox_dev_t *dev, device *d)
{
    std::lock_guard<std::mutex> lk(handle_lock(dev));
    dev->ctx = d ? &d->pub : nullptr;
}

device *unpublish(pylox_dev_t *dev, device *expected)
{
    std::lock_guard<std::mutex> lk(handle_lock(dev));
    device *held = device::of(dev->ctx);
    if (!expected || held == expected)
        dev->ctx = nullptr;
    return held;
}

device *device_create()
{
    auto *d = new (std::nothrow) device;
    if (!d)
        return nullptr;
    if (pthread_cond_init(&d->pub.cond, nullptr) != 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_dev_open", "[%s] pthread_cond_init failed\n");
        std::exit(-1);
    }
    if (pthread_mutex_init(&d->pub.mutex, nullptr) != 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, "pylox_dev_open", "[%s] pthread_mutex_init failed\n");
        std::exit(-1);
    }
    return d;
}

void device_destroy(device *d)
{
    if (!d)
        return;
    pthread_cond_destroy(&d->pub.cond);
    pthread_mutex_destroy(&d->pub.mutex);
    delete d;
}

} // namespace pylox
