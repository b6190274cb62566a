// Hot-plug through the C++ layer on the virtual camera: a watch reports the
// cameras on the bus, arrivals and departures to a std::function until it is
// destroyed (also when moved), a newer watch takes over from an older one, and
// an exception of the callback is kept for the application instead of
// crossing the library.
#include <pylox/pylox.hpp>
#include <vcam/vcam.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;

template <typename Pred> bool eventually(Pred p, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

struct recorder {
    std::mutex m;
    std::vector<std::tuple<pylox::Plug, int, int, int>> seen; // event, bus, port, address
    std::vector<pylox::DeviceEntry> entries;

    pylox::HotplugWatch::Callback fn()
    {
        return [this](const pylox::DeviceEntry &e, pylox::Plug p) {
            std::lock_guard<std::mutex> lk(m);
            seen.emplace_back(p, e.bus(), e.port(), e.address());
            entries.push_back(e);
        };
    }
    bool saw(pylox::Plug p, const vcam::Camera &c, int addr = -1)
    {
        const auto want = std::make_tuple(p, c.bus(), c.port(), addr < 0 ? c.address() : addr);
        return eventually([&] {
            std::lock_guard<std::mutex> lk(m);
            return std::find(seen.begin(), seen.end(), want) != seen.end();
        });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lk(m);
        return seen.size();
    }
};

vcam::CameraConfig at(int bus, int port)
{
    vcam::CameraConfig c;
    c.bus = bus;
    c.port = port;
    return c;
}

TEST(CppHotplug, WatchReportsUntilDestroyedAndEntriesOpen)
{
    auto a = vcam::Camera::create(at(1, 2)); // on the bus before libusb starts
    std::shared_ptr<vcam::Camera> b;
    {
        pylox::Context lib{"/tmp/pylox_test_cpp_hotplug.log"};
        recorder rec;
        size_t before_end = 0;
        {
            pylox::HotplugWatch outer;
            {
                pylox::HotplugWatch w = lib.watch_hotplug(rec.fn());
                EXPECT_TRUE(w.active());
                EXPECT_TRUE(rec.saw(pylox::Plug::arrived, *a));
                b = vcam::Camera::create(at(2, 4));
                ASSERT_TRUE(rec.saw(pylox::Plug::arrived, *b));
                pylox::DeviceEntry e;
                {
                    std::lock_guard<std::mutex> lk(rec.m);
                    e = rec.entries.back();
                }
                EXPECT_EQ(e.bus(), 2);
                pylox::Device cam = lib.open(e);
                EXPECT_EQ(cam.product(), "PYLOX-E2-VCAM");
                cam.close();
                // A moved watch goes on reporting.
                outer = std::move(w);
                EXPECT_FALSE(w.active());
            }
            EXPECT_TRUE(outer.active());
            const int old = b->address();
            b->unplug();
            EXPECT_TRUE(rec.saw(pylox::Plug::left, *b, old));
            b->replug();
            EXPECT_TRUE(rec.saw(pylox::Plug::arrived, *b));
            before_end = rec.count();
        }
        // Destroyed: nothing reports any more once the destructor returned.
        b->unplug();
        a->unplug();
        EXPECT_EQ(rec.count(), before_end);
        std::lock_guard<std::mutex> lk(rec.m);
        for (const auto &s : rec.seen)
            EXPECT_TRUE((std::get<1>(s) == 1 && std::get<2>(s) == 2) ||
                        (std::get<1>(s) == 2 && std::get<2>(s) == 4));
    }
}

TEST(CppHotplug, NewerWatchTakesOverAndExceptionsAreKept)
{
    auto a = vcam::Camera::create(at(1, 1));
    pylox::Context lib{"/tmp/pylox_test_cpp_hotplug.log"};
    EXPECT_THROW(pylox::HotplugWatch(nullptr), std::invalid_argument);
    int thrown = 0;
    pylox::HotplugWatch first([&](const pylox::DeviceEntry &, pylox::Plug) {
        ++thrown;
        throw std::runtime_error("from the hot-plug callback");
    });
    ASSERT_TRUE(eventually([&] { return first.failure() != nullptr; }));
    EXPECT_THROW(first.rethrow(), std::runtime_error);
    recorder rec;
    pylox::HotplugWatch second(rec.fn());
    EXPECT_FALSE(first.active());
    EXPECT_TRUE(second.active());
    EXPECT_TRUE(rec.saw(pylox::Plug::arrived, *a));
    // Ending the older watch leaves the newer one running.
    first.stop();
    EXPECT_TRUE(second.active());
    const int old = a->address();
    a->unplug();
    EXPECT_TRUE(rec.saw(pylox::Plug::left, *a, old));
    EXPECT_EQ(thrown, 1); // no report after the exception
    EXPECT_NO_THROW(second.rethrow());
}

// A watch may end itself from inside its callback; the next watch reports.
TEST(CppHotplug, CallbackEndsItsOwnWatch)
{
    auto a = vcam::Camera::create();
    pylox::Context lib{"/tmp/pylox_test_cpp_hotplug.log"};
    std::atomic<bool> armed{false}, ended{false};
    std::atomic<int> calls{0};
    pylox::HotplugWatch w;
    w = pylox::HotplugWatch([&](const pylox::DeviceEntry &e, pylox::Plug) {
        if (!armed || e.bus() != 2)
            return;
        ++calls;
        w.stop();
        ended = true;
    });
    armed = true;
    auto b = vcam::Camera::create(at(2, 1));
    ASSERT_TRUE(eventually([&] { return ended.load(); }));
    EXPECT_FALSE(w.active());
    recorder rec;
    pylox::HotplugWatch next(rec.fn());
    EXPECT_TRUE(rec.saw(pylox::Plug::arrived, *b));
    EXPECT_EQ(calls.load(), 1);
}

} // namespace
