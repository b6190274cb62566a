// A mutex that serves its callers in the order they arrived (a ticket lock).
// A thread that unlocks and locks again at once queues behind those already
// waiting, so a caller waits for at most the holder and the callers queued
// before it. Suits locks held for long operations (a USB command) by threads
// that take them back to back; for short critical sections std::mutex is
// cheaper. Meets BasicLockable: std::unique_lock and
// std::condition_variable_any work with it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pylox {

class fair_mutex {
public:
    fair_mutex() = default;
    fair_mutex(const fair_mutex &) = delete;
    fair_mutex &operator=(const fair_mutex &) = delete;

    void lock()
    {
        std::unique_lock<std::mutex> lk(m_);
        const uint64_t ticket = next_++;
        if (ticket != serving_)
            cv_.wait(lk, [&] { return ticket == serving_; });
    }

    bool try_lock()
    {
        std::lock_guard<std::mutex> lk(m_);
        if (next_ != serving_)
            return false;
        ++next_;
        return true;
    }

    void unlock()
    {
        // Notified under the lock: the next holder may destroy this mutex (a
        // close that frees the device state) only after we let go of m_.
        std::lock_guard<std::mutex> lk(m_);
        ++serving_;
        if (next_ != serving_)
            cv_.notify_all(); // the next ticket holder takes it; the rest wait on
    }

    // Threads waiting for the lock now (not counting the holder).
    uint64_t waiting()
    {
        std::lock_guard<std::mutex> lk(m_);
        return next_ - serving_ > 0 ? next_ - serving_ - 1 : 0;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t next_ = 0;    // the ticket the next caller draws
    uint64_t serving_ = 0; // the ticket that may hold the lock
};

} // namespace pylox
