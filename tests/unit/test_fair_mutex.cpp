// The fair device lock: callers are served in the order they arrived, and a
// thread that takes the lock back to back cannot pass a caller that waits.
#include "core/fair_mutex.h"

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits (on a deadline) until n threads are queued behind the holder.
bool queued(pylox::fair_mutex &m, uint64_t n)
{
    return pylox_test::eventually([&] { return m.waiting() >= n; }, 5s);
}

TEST(fair_mutex, serves_waiters_in_arrival_order_and_a_returning_holder_last)
{
    pylox::fair_mutex m;
    std::vector<int> order;
    m.lock();
    std::vector<std::thread> threads;
    for (int id = 0; id < 5; ++id) {
        threads.emplace_back([&, id] {
            std::lock_guard<pylox::fair_mutex> g(m);
            order.push_back(id);
        });
        ASSERT_TRUE(queued(m, static_cast<uint64_t>(id) + 1));
    }
    EXPECT_FALSE(m.try_lock());
    m.unlock();
    m.lock(); // queues behind the five
    order.push_back(-1);
    m.unlock();
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, -1}));
    EXPECT_TRUE(m.try_lock());
    m.unlock();
}

// A thread that holds the lock for a "command" and takes it again at once,
// against a caller that comes while a command runs: the caller gets the lock
// right after the command in progress, every time.
TEST(fair_mutex, back_to_back_holder_never_passes_a_waiting_caller)
{
    pylox::fair_mutex m;
    std::atomic<bool> quit{false};
    std::atomic<bool> hold{false}; // the holder keeps the lock while this is set
    std::atomic<int> commands{0};
    std::atomic<bool> held{false}; // the holder keeps the lock now
    std::thread holder([&] {
        while (!quit.load()) {
            std::lock_guard<pylox::fair_mutex> g(m);
            ++commands;
            if (hold.load()) {
                held = true;
                while (hold.load() && !quit.load())
                    std::this_thread::yield();
                held = false;
            }
        }
    });
    for (int round = 0; round < 50; ++round) {
        hold = true;
        ASSERT_TRUE(pylox_test::eventually([&] { return held.load(); }, 5s));
        const int before = commands.load(); // the command in progress
        std::thread caller([&] {
            std::lock_guard<pylox::fair_mutex> g(m);
            EXPECT_EQ(commands.load(), before) << "round " << round;
        });
        ASSERT_TRUE(queued(m, 1));
        hold = false; // the holder lets go and asks again at once
        caller.join();
    }
    quit = true;
    holder.join();
}

// Mutual exclusion, and waits on a condition variable that release the lock.
TEST(fair_mutex, excludes_and_works_with_condition_variable_any)
{
    pylox::fair_mutex m;
    std::condition_variable_any cv;
    long counter = 0;
    int turn = 0;
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id)
        threads.emplace_back([&, id] {
            for (int i = 0; i < 2000; ++i) {
                std::unique_lock<pylox::fair_mutex> lk(m);
                ++counter;
                if (i % 100 == 0) {
                    cv.wait(lk, [&] { return turn % 4 == id; });
                    ++turn;
                    cv.notify_all();
                }
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(counter, 4 * 2000);
    EXPECT_EQ(turn, 4 * 20);
}

} // namespace
