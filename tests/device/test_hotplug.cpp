// Hot-plug on the virtual camera: cameras on the bus at registration, cameras
// plugged in later, unplugged and replugged are reported with their bus
// location, and a reported entry opens. Every case runs twice: on libusb's
// hot-plug events and on the poll of the bus that stands in where libusb has
// none.
#include "ll/usb/usb_hotplug.h"
#include "support/vcam/device_fixture.h"

#include <libusb.h>

#include <mutex>

using namespace devtest;
using namespace std::chrono_literals;

namespace {

struct plug_event {
    int event;
    int bus, port, addr;
};

struct recorder {
    std::mutex m;
    std::vector<plug_event> events;
    std::vector<pylox_dev_t> entries;

    static void cb(const pylox_dev_t *e, int event, void *user)
    {
        auto *r = static_cast<recorder *>(user);
        std::lock_guard<std::mutex> lk(r->m);
        r->events.push_back({event, e->loc.usb.bus, e->loc.usb.port, e->loc.usb.addr});
        r->entries.push_back(*e);
    }
    // Waits until an event of this kind for the camera at bus/port came.
    bool saw(int event, int bus, int port, int addr)
    {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> lk(m);
                for (const plug_event &e : events)
                    if (e.event == event && e.bus == bus && e.port == port && e.addr == addr)
                        return true;
                return false;
            },
            5000ms);
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lk(m);
        return events.size();
    }
};

// Parameter: the watcher polls the bus.
class Hotplug : public DeviceTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { usbll::hotplug_force_polling(GetParam()); }
    void TearDown() override
    {
        DeviceTest::TearDown();
        usbll::hotplug_force_polling(false);
    }
    void expect_mode() const
    {
        EXPECT_EQ(pylox_ll_hotplug_native(),
                  GetParam() ? 0 : (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ? 1 : 0));
    }
};

INSTANTIATE_TEST_SUITE_P(Watcher, Hotplug, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "polling" : "libusb_events";
                         });

TEST_P(Hotplug, ArrivalsAndDeparturesAreReported)
{
    vcam::CameraConfig a;
    a.bus = 1;
    a.port = 2;
    auto cam_a = plug(a);
    start_library();
    recorder rec;
    ASSERT_EQ(pylox_dev_set_callback_on_hotplug(&recorder::cb, &rec), 1);
    expect_mode();
    // Already on the bus: reported first.
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_ARRIVED, 1, 2, cam_a->address()));

    vcam::CameraConfig b;
    b.bus = 2;
    b.port = 4;
    auto cam_b = plug(b);
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_ARRIVED, 2, 4, cam_b->address()));
    const int old_addr = cam_b->address();
    cam_b->unplug();
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_LEFT, 2, 4, old_addr));
    cam_b->replug();
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_ARRIVED, 2, 4, cam_b->address()));
    EXPECT_NE(cam_b->address(), old_addr);

    // The reported entry opens like a listed one.
    pylox_dev_t entry{};
    {
        std::lock_guard<std::mutex> lk(rec.m);
        entry = rec.entries.back();
    }
    EXPECT_EQ(entry.kind, static_cast<uint32_t>(PYLOX_LL_KIND_USB));
    ASSERT_EQ(pylox_dev_open(&entry), &entry);
    EXPECT_EQ(entry.loc.usb.bus, 2);
    pylox_dev_close(&entry);

    // Every event so far names one of the two cameras.
    {
        std::lock_guard<std::mutex> lk(rec.m);
        for (const plug_event &e : rec.events)
            EXPECT_TRUE((e.bus == 1 && e.port == 2) || (e.bus == 2 && e.port == 4));
    }
    EXPECT_EQ(pylox_dev_set_callback_on_hotplug(nullptr, nullptr), 1);
    const size_t n = rec.count();
    cam_b->unplug();
    // Removed: the departure is not reported (the watcher has ended: nothing
    // can call after the removal returned).
    EXPECT_EQ(rec.count(), n);
}

// The callback may remove itself from inside, and a new one takes over.
TEST_P(Hotplug, CallbackRemovesItselfAndAnotherTakesOver)
{
    auto cam = plug();
    start_library();
    static std::atomic<int> calls{0};
    calls = 0;
    ASSERT_EQ(pylox_dev_set_callback_on_hotplug(
                  [](const pylox_dev_t *, int, void *) {
                      ++calls;
                      pylox_dev_set_callback_on_hotplug(nullptr, nullptr);
                  },
                  nullptr),
              1);
    ASSERT_TRUE(eventually([] { return calls.load() >= 1; }, 5000ms));
    recorder rec;
    ASSERT_EQ(pylox_dev_set_callback_on_hotplug(&recorder::cb, &rec), 1);
    expect_mode();
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_ARRIVED, cam->bus(), cam->port(), cam->address()));
    EXPECT_EQ(calls.load(), 1);
}

// The callback may also put another in its place from inside, also while
// the cameras already on the bus are being reported (where libusb reports
// them, that happens inside the registering call).
TEST_P(Hotplug, CallbackReplacesItselfFromInside)
{
    auto cam = plug();
    start_library();
    static recorder *next;
    static std::atomic<int> calls{0};
    recorder rec;
    next = &rec;
    calls = 0;
    ASSERT_EQ(pylox_dev_set_callback_on_hotplug(
                  [](const pylox_dev_t *, int, void *) {
                      ++calls;
                      pylox_dev_set_callback_on_hotplug(&recorder::cb, next);
                  },
                  nullptr),
              1);
    expect_mode();
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_ARRIVED, cam->bus(), cam->port(), cam->address()));
    const int old = cam->address();
    cam->unplug();
    EXPECT_TRUE(rec.saw(PYLOX_LL_HOTPLUG_LEFT, cam->bus(), cam->port(), old));
    EXPECT_EQ(calls.load(), 1);
}

} // namespace
