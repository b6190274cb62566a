// The hot-plug watcher: one thread with a libusb context of its own. Where
// libusb has hot-plug support (LIBUSB_CAP_HAS_HOTPLUG, as on Linux, and under
// umockdev, which delivers uevents to running contexts) the thread runs
// libusb's event loop and libusb calls back on arrival and departure.
// Elsewhere it compares the cameras on the bus every k_poll_ms with the last
// list it saw. Either way the application's callback runs on that thread.
#include "ll/usb/usb_hotplug.h"
#include "ll/usb/usb_priv.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace usbll {
namespace {

constexpr int k_poll_ms = 250;

struct watcher {
    std::mutex m; // guards every field but the thread's own loop state
    std::condition_variable cv;
    pylox_ll_hotplug_cb_t cb = nullptr;
    void *user = nullptr;
    bool stop = false;
    uint64_t gen = 0; // a watcher whose generation is past stops
    std::thread thread;
    bool native = false;
    bool force_polling = false;
};

watcher &w()
{
    static watcher *g = new watcher; // lives until the process ends
    return *g;
}

struct seen_dev {
    uint8_t bus, port, addr, speed;
    bool operator==(const seen_dev &o) const
    {
        return bus == o.bus && port == o.port && addr == o.addr;
    }
};

seen_dev describe(libusb_device *d)
{
    return {static_cast<uint8_t>(libusb_get_bus_number(d)),
            static_cast<uint8_t>(libusb_get_port_number(d)),
            static_cast<uint8_t>(libusb_get_device_address(d)),
            static_cast<uint8_t>(libusb_get_device_speed(d))};
}

void report(const seen_dev &s, int event, uint64_t gen)
{
    pylox_ll_hotplug_cb_t cb;
    void *user;
    {
        std::lock_guard<std::mutex> lk(w().m);
        if (w().stop || w().gen != gen)
            return;
        cb = w().cb;
        user = w().user;
    }
    pylox_ll_dev_t e{};
    e.kind = PYLOX_LL_KIND_USB;
    e.loc.usb.bus = s.bus;
    e.loc.usb.port = s.port;
    e.loc.usb.addr = s.addr;
    e.loc.usb.speed = s.speed;
    e.located = 1;
    USB_LOG(DBG, "pylox_ll_hotplug", "[%s] camera %s: %03d:%03d port %d\n",
            event == PYLOX_LL_HOTPLUG_ARRIVED ? "arrived" : "left", s.bus, s.addr, s.port);
    if (cb)
        cb(&e, event, user);
}

int LIBUSB_CALL on_libusb_hotplug(libusb_context *, libusb_device *d, libusb_hotplug_event ev,
                                  void *gen)
{
    report(describe(d),
           ev == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? PYLOX_LL_HOTPLUG_ARRIVED
                                                     : PYLOX_LL_HOTPLUG_LEFT,
           reinterpret_cast<uintptr_t>(gen));
    return 0; // stay registered
}

// Our cameras on the bus through a fresh context (a long-lived one without
// hot-plug support would never learn of new devices). False when the bus
// could not be read.
bool list_cameras(std::vector<seen_dev> &out)
{
    out.clear();
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0)
        return false;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == k_vid &&
            desc.idProduct == k_pid)
            out.push_back(describe(list[i]));
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return n >= 0;
}

bool stopping(uint64_t gen)
{
    std::lock_guard<std::mutex> lk(w().m);
    return w().stop || w().gen != gen;
}

// The thread owns the context: it ends libusb's part when it leaves.
void run_native(libusb_context *ctx, libusb_hotplug_callback_handle handle, uint64_t gen)
{
    while (!stopping(gen)) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    libusb_hotplug_deregister_callback(ctx, handle);
    libusb_exit(ctx);
}

void run_polling(uint64_t gen)
{
    std::vector<seen_dev> known, now;
    list_cameras(known);
    for (const seen_dev &s : known)
        report(s, PYLOX_LL_HOTPLUG_ARRIVED, gen);
    std::unique_lock<std::mutex> lk(w().m);
    while (!w().stop && w().gen == gen) {
        w().cv.wait_for(lk, std::chrono::milliseconds(k_poll_ms));
        if (w().stop || w().gen != gen)
            break;
        lk.unlock();
        if (list_cameras(now)) {
            for (const seen_dev &s : known)
                if (std::find(now.begin(), now.end(), s) == now.end())
                    report(s, PYLOX_LL_HOTPLUG_LEFT, gen);
            for (const seen_dev &s : now)
                if (std::find(known.begin(), known.end(), s) == known.end())
                    report(s, PYLOX_LL_HOTPLUG_ARRIVED, gen);
            known.swap(now);
        }
        lk.lock();
    }
}

// Ends the current watcher and waits for it; from inside the callback the
// watcher is only told to end (it leaves after the callback returns).
void join_old()
{
    std::thread old;
    {
        std::lock_guard<std::mutex> lk(w().m);
        w().stop = true;
        w().cb = nullptr;
        ++w().gen;
        old = std::move(w().thread);
        w().cv.notify_all();
    }
    if (old.joinable()) {
        if (old.get_id() == std::this_thread::get_id())
            old.detach();
        else
            old.join();
    }
}

} // namespace

int hotplug_register(pylox_ll_hotplug_cb_t cb, void *user)
{
    join_old();
    if (!cb)
        return 1;
    uint64_t gen;
    bool poll_only;
    {
        std::lock_guard<std::mutex> lk(w().m);
        w().cb = cb;
        w().user = user;
        w().stop = false;
        gen = ++w().gen;
        poll_only = w().force_polling;
    }
    libusb_context *ctx = nullptr;
    libusb_hotplug_callback_handle handle = 0;
    bool native = false;
    if (!poll_only && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) && libusb_init(&ctx) == 0) {
        apply_debug(ctx);
        // Cameras already on the bus are reported first (ENUMERATE), on this thread.
        const int rc = libusb_hotplug_register_callback(
            ctx,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, k_vid, k_pid, LIBUSB_HOTPLUG_MATCH_ANY, on_libusb_hotplug,
            reinterpret_cast<void *>(static_cast<uintptr_t>(gen)), &handle);
        if (rc == LIBUSB_SUCCESS) {
            native = true;
        } else {
            USB_LOG(WRN, "pylox_ll_hotplug_register",
                    "[%s] libusb hot-plug refused (%s): polling the bus instead\n",
                    libusb_error_name(rc));
            libusb_exit(ctx);
        }
    }
    bool superseded = false;
    try {
        std::lock_guard<std::mutex> lk(w().m);
        // The callback, called above for the cameras already on the bus, may
        // have removed or replaced this registration; a newer watcher may be
        // running already and keeps its thread.
        superseded = w().stop || w().gen != gen;
        if (!superseded) {
            w().native = native;
            if (native)
                w().thread = std::thread(run_native, ctx, handle, gen);
            else
                w().thread = std::thread(run_polling, gen);
        }
    } catch (...) {
        USB_LOG(ERR, "pylox_ll_hotplug_register", "[%s] cannot start the watcher thread\n");
        if (native) {
            libusb_hotplug_deregister_callback(ctx, handle);
            libusb_exit(ctx);
        }
        join_old();
        return 0;
    }
    if (superseded && native) {
        libusb_hotplug_deregister_callback(ctx, handle);
        libusb_exit(ctx);
    }
    return 1;
}

void hotplug_stop()
{
    join_old();
}

void hotplug_force_polling(bool on)
{
    std::lock_guard<std::mutex> lk(w().m);
    w().force_polling = on;
}

int hotplug_native()
{
    std::lock_guard<std::mutex> lk(w().m);
    return w().native ? 1 : 0;
}

} // namespace usbll
