// Device management of the USB camera: listing, open, the per-device event
// thread, close and reset.
#include "ll/usb/usb_priv.h"

#include "core/clock.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

namespace usbll {

namespace {

std::atomic<int> g_debug_level{0}; // libusb's scale, for contexts created from now on

void *evt_thread(void *arg);

// The ring's transfers, where a slot has none (a new state, or a camera that
// was let go by a reset). Ends the process when memory runs out.
void alloc_ring(usb_priv *p)
{
    for (int i = 0; i < k_ring; ++i) {
        if (!p->transfers[i])
            p->transfers[i] = libusb_alloc_transfer(0);
        if (!p->buffers[i])
            p->buffers[i] = static_cast<uint8_t *>(std::malloc(k_xfer_len));
        if (!p->transfers[i] || !p->buffers[i]) {
            USB_LOG(ERR, "_usb_ll_dev_priv_alloc", "[%s] malloc failed!\n");
            std::exit(-1);
        }
    }
}

// Zero-filled state with the sixteen capture transfers and their buffers.
usb_priv *priv_alloc()
{
    auto *p = new (std::nothrow) usb_priv;
    if (!p) {
        USB_LOG(ERR, "_usb_ll_dev_priv_alloc", "[%s] malloc failed\n");
        std::exit(-2);
    }
    alloc_ring(p);
    return p;
}

// Frees the state of a record whose camera was let go (no context, no
// handle, no event thread).
void priv_free(pylox_ll_dev_t *dev)
{
    usb_priv *p = priv_of(dev);
    if (!p)
        return;
    for (int i = 0; i < k_ring; ++i) {
        libusb_free_transfer(p->transfers[i]);
        std::free(p->buffers[i]);
    }
    delete p;
    dev->priv = nullptr;
}

// Runs libusb's event handling on the calling thread until nothing the
// device sent out is still held by libusb, or the deadline passes. Only for
// close, after the event thread has ended.
void drain_in_flight(usb_priv *p)
{
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        p->closing = true;
        for (int i = 0; i < k_ring; ++i)
            if (p->inflight[i])
                libusb_cancel_transfer(p->transfers[i]);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (;;) {
        int left;
        {
            std::lock_guard<std::mutex> g(p->ring_mtx);
            left = p->n_inflight;
        }
        {
            std::lock_guard<std::mutex> g(p->orphan_mtx);
            left += p->n_orphans;
        }
        if (left == 0)
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            USB_LOG(WRN, "usb_ll_dev_close", "[%s] %d transfers still pending at close\n", left);
            return;
        }
        timeval tv{0, 50000};
        libusb_handle_events_timeout_completed(p->ctx, &tv, nullptr);
    }
}

// Lets go of the camera, keeping the state: the event thread ends, whatever
// libusb still holds of the device is cancelled and reaped, the interfaces,
// the handle and the context are closed. The ring's transfers go with the
// handle (alloc_ring makes new ones). The caller holds the device lock; other
// threads waiting for it find the device closed (or, after a reset, open
// again) and never the state gone.
void release_camera(usb_priv *p)
{
    if (!quit_set(p)) {
        USB_LOG(DBG, "usb_ll_dev_close", "[%s] stop evt thread...\n");
        std::atomic_ref<int>(p->quit).store(1, std::memory_order_release);
        libusb_interrupt_event_handler(p->ctx); // do not wait for the 200 ms poll
    }
    if (p->thread_started) {
        pthread_join(p->thread, nullptr);
        p->thread_started = false;
    }
    // Nothing may stay with libusb once the transfers are freed: a ring left
    // running (capture not stopped, or stopped just now) and commands given up
    // earlier are cancelled and reaped here.
    drain_in_flight(p);
    // libusb looks at a transfer's device handle when freeing it: the idle
    // ring goes before the handle, whatever libusb still held goes after the
    // close detached it, and all of it before the context.
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        for (int i = 0; i < k_ring; ++i) {
            if (!p->inflight[i]) {
                libusb_free_transfer(p->transfers[i]);
                p->transfers[i] = nullptr;
            }
        }
    }
    if (p->handle) {
        libusb_release_interface(p->handle, 0);
        libusb_release_interface(p->handle, 1);
        libusb_close(p->handle); // detaches whatever is still pending
    }
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        for (int i = 0; i < k_ring; ++i) {
            libusb_free_transfer(p->transfers[i]);
            p->transfers[i] = nullptr;
            p->inflight[i] = false;
        }
        p->n_inflight = 0;
        p->callback = nullptr;
        p->user = nullptr;
        p->closing = false;
    }
    free_orphans(p);
    libusb_exit(p->ctx);
    p->ctx = nullptr;
    p->handle = nullptr;
}

// Close. A state whose camera a reset could not get back has no handle: it
// is only freed.
void close_internal(pylox_ll_dev_t *dev)
{
    usb_priv *p = priv_of(dev);
    if (!p) {
        USB_LOG(WRN, "usb_ll_dev_close", "[%s] device no need to closed!\n");
        return;
    }
    p->lock.lock();
    const bool open = p->ctx && p->handle;
    if (open)
        release_camera(p);
    p->lock.unlock();
    if (!open)
        USB_LOG(WRN, "usb_ll_dev_close", "[%s] device no need to closed!\n");
    priv_free(dev);
}

void *evt_thread(void *arg)
{
    auto *dev = static_cast<pylox_ll_dev_t *>(arg);
    usb_priv *p = priv_of(dev);
    USB_LOG(DBG, "_usb_ll_evt_thread", "[%s] enter\n");
    std::atomic_ref<uint8_t>(p->running).store(1);
    USB_LOG(TRC, "_ll_event_loop", "[%s] Enter ll event loop...\n");
    for (;;) {
        timeval tv{0, 200000};
        const int r = libusb_handle_events_timeout_completed(p->ctx, &tv, &p->quit);
        if (r == 0) {
            if (quit_set(p))
                break;
            continue;
        }
        USB_LOG(ERR, "_ll_event_loop", "[%s] libusb reports error: %s\n", libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            USB_LOG(WRN, "_ll_event_loop", "[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            USB_LOG(WRN, "_ll_event_loop", "[%s] libusb_handle_events timeout \n");
            break;
        }
        if (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_OVERFLOW) {
            if (quit_set(p))
                break;
            continue;
        }
        break;
    }
    std::atomic_ref<uint8_t>(p->running).store(0);
    USB_LOG(TRC, "_ll_event_loop", "[%s] Exit ll event loop...\n");
    USB_LOG(DBG, "_usb_ll_evt_thread", "[%s] exit\n");
    return nullptr;
}

} // namespace

int debug_level()
{
    return g_debug_level.load(std::memory_order_relaxed);
}

void apply_debug(libusb_context *ctx)
{
    libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, debug_level());
}

int usb_ll_init()
{
    return 1;
}

void usb_ll_uninit() {}

void usb_ll_set_debug(int level)
{
    // Library levels (0 = most verbose) to libusb's (4 = debug, 0 = none).
    int mapped;
    if (level <= 1)
        mapped = LIBUSB_LOG_LEVEL_DEBUG;
    else if (level >= 5)
        mapped = LIBUSB_LOG_LEVEL_NONE;
    else
        mapped = 5 - level;
    g_debug_level.store(mapped, std::memory_order_relaxed);
}

namespace {

// What listing and opening learn of one device on the bus.
struct usb_seen {
    libusb_device *dev;
    int index;
    uint16_t vid, pid;
    int bus, port, addr, speed;
    bool ours() const { return vid == k_vid && pid == k_pid; }
};

// Walks the devices of ctx in libusb's order: counted(n) first, then visit
// for each device whose descriptor could be read, until visit returns false.
// Returns the number of devices on the bus, or -1 when they could not be
// enumerated (logged under fn with enum_fail).
template <typename Counted, typename Visit>
ssize_t for_each_device(libusb_context *ctx, const char *fn, const char *enum_fail, Counted counted,
                        Visit visit)
{
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        USB_LOG(ERR, fn, enum_fail, static_cast<int>(n));
        return -1;
    }
    counted(static_cast<int>(n));
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device *d = list[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(d, &desc) < 0) {
            USB_LOG(ERR, fn, "[%s]   Failed to get device desc of device %d\n",
                    static_cast<int>(i));
            continue;
        }
        const usb_seen seen{d,
                            static_cast<int>(i),
                            desc.idVendor,
                            desc.idProduct,
                            libusb_get_bus_number(d),
                            libusb_get_port_number(d),
                            libusb_get_device_address(d),
                            libusb_get_device_speed(d)};
        if (!visit(seen))
            break;
    }
    libusb_free_device_list(list, 1);
    return n;
}

void store_location(pylox_ll_dev_t *e, const usb_seen &s)
{
    e->kind = PYLOX_LL_KIND_USB;
    e->loc.usb.bus = static_cast<uint8_t>(s.bus);
    e->loc.usb.port = static_cast<uint8_t>(s.port);
    e->loc.usb.addr = static_cast<uint8_t>(s.addr);
    e->loc.usb.speed = static_cast<uint8_t>(s.speed);
    e->located = 1;
}

bool make_context(usb_priv *p)
{
    USB_LOG(DBG, "_usb_ll_dev_open", "[%s]  create usb context\n");
    const int rc = libusb_init(&p->ctx);
    if (rc < 0) {
        USB_LOG(ERR, "_usb_ll_dev_open", "[%s]  create usb context failed: %s\n",
                libusb_error_name(rc));
        p->ctx = nullptr;
        return false;
    }
    apply_debug(p->ctx);
    return true;
}

// A located record opens the camera at its bus and port.
bool open_located(pylox_ll_dev_t *dev, usb_priv *p, const usb_seen &s)
{
    USB_LOG(TRC, "_usb_ll_dev_open", "[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", s.index,
            s.vid, s.pid, s.speed, s.port, s.bus, s.addr);
    if (!s.ours() || s.bus != dev->loc.usb.bus || s.port != dev->loc.usb.port)
        return false;
    USB_LOG(DBG, "_usb_ll_dev_open", "[%s] open pylox device @ %03d:%03d:%03d\n", s.port, s.bus,
            s.addr);
    const int rc = libusb_open(s.dev, &p->handle);
    if (rc < 0) {
        p->handle = nullptr;
        USB_LOG(WRN, "_usb_ll_dev_open", "[%s] failed to open this device: %s\n",
                libusb_error_name(rc));
    }
    return p->handle != nullptr;
}

// "Any device" opens the first camera that lets itself be opened and
// records where it was found.
bool open_first_found(pylox_ll_dev_t *dev, usb_priv *p, const usb_seen &s)
{
    if (!s.ours())
        return false;
    USB_LOG(DBG, "_usb_ll_dev_open", "[%s] found pylox device (speed=%d) @ %03d:%03d:%03d\n",
            s.speed, s.port, s.bus, s.addr);
    if (s.speed < LIBUSB_SPEED_HIGH)
        USB_LOG(WRN, "_usb_ll_dev_open",
                "[%s] found pylox device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", s.speed,
                s.port, s.bus, s.addr);
    const int rc = libusb_open(s.dev, &p->handle);
    if (rc < 0) {
        p->handle = nullptr;
        USB_LOG(WRN, "_usb_ll_dev_open", "[%s]   failed to open this device: %s, try next ...\n",
                libusb_error_name(rc));
        return false;
    }
    store_location(dev, s);
    return true;
}

// Configuration 1, interface 0 (1 as a fallback).
bool configure(usb_priv *p)
{
    int rc = libusb_set_configuration(p->handle, 1);
    if (rc < 0) {
        USB_LOG(ERR, "usb_ll_dev_open", "[%s] libusb_set_configuration failed: %s\n",
                libusb_error_name(rc));
        return false;
    }
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    if (libusb_claim_interface(p->handle, 0) < 0) {
        rc = libusb_claim_interface(p->handle, 1);
        if (rc < 0) {
            USB_LOG(ERR, "usb_ll_dev_open", "[%s] libusb_claim_interface failed: %s\n",
                    libusb_error_name(rc));
            return false;
        }
    }
    return true;
}

// Opens the camera into a state that holds none (a new state, or one whose
// camera a reset let go): context, handle, configuration and interface, the
// ring's transfers and the event thread. The caller holds the device lock.
// On failure the state is left without context and handle.
bool attach(pylox_ll_dev_t *dev, usb_priv *p)
{
    if (!make_context(p))
        return false;
    const bool located = dev->located;
    const ssize_t n = for_each_device(
        p->ctx, "_usb_ll_dev_open", "[%s]   enum libusb device failed: %d \n",
        [](int count) { USB_LOG(TRC, "_usb_ll_dev_open", "[%s]   %d usb device found \n", count); },
        [&](const usb_seen &s) {
            return !(located ? open_located(dev, p, s) : open_first_found(dev, p, s));
        });
    if (n < 0 || !p->handle || !configure(p)) {
        if (p->handle)
            libusb_close(p->handle);
        libusb_exit(p->ctx);
        p->ctx = nullptr;
        p->handle = nullptr;
        return false;
    }
    alloc_ring(p);
    std::atomic_ref<uint8_t>(p->running).store(0);
    std::atomic_ref<uint8_t>(p->cap_stopping).store(1);
    std::atomic_ref<int>(p->quit).store(0);
    p->lost = false;
    p->thread_started = pthread_create(&p->thread, nullptr, evt_thread, dev) == 0;
    if (!p->thread_started) {
        USB_LOG(ERR, "usb_ll_dev_open", "[%s]  create evt thread failed\n");
        release_camera(p);
        return false;
    }
    return true;
}

} // namespace

int usb_ll_dev_list(pylox_ll_dev_t *entries, int max)
{
    if (!entries || max <= 0)
        return 0;
    libusb_context *ctx = nullptr;
    const int rc = libusb_init(&ctx);
    if (rc < 0) {
        USB_LOG(ERR, "usb_ll_dev_list", "[%s]  create usb context failed: %s\n",
                libusb_error_name(rc));
        return 0;
    }
    apply_debug(ctx);
    std::memset(static_cast<void *>(entries), 0, sizeof *entries * static_cast<size_t>(max));

    int found = 0;
    const auto counted = [max](int n) {
        USB_LOG(DBG, "usb_ll_dev_list", "[%s] probe pylox device (max=%d) in %d usb device\n", max,
                n);
    };
    for_each_device(ctx, "usb_ll_dev_list", "[%s]   enum usb device failed: %d \n", counted,
                    [&](const usb_seen &s) {
                        USB_LOG(TRC, "usb_ll_dev_list", "[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n",
                                s.index, s.vid, s.pid, s.port, s.bus, s.addr);
                        if (!s.ours())
                            return true;
                        pylox_ll_dev_t *e = &entries[found++];
                        store_location(e, s);
                        e->ops = &ll_op_usb;
                        USB_LOG(DBG, "usb_ll_dev_list",
                                "[%s]   PYLOX device (speed=%d) found @ %03d:%03d:%03d, %p\n",
                                e->loc.usb.speed, s.port, s.bus, s.addr, static_cast<void *>(e));
                        return found < max;
                    });
    libusb_exit(ctx);
    return found;
}

pylox_ll_dev_t *usb_ll_dev_open(pylox_ll_dev_t *dev)
{
    if (!dev || (dev->kind != PYLOX_LL_KIND_USB && dev->kind != PYLOX_LL_KIND_ANY))
        return nullptr;
    if (!dev->priv)
        dev->priv = priv_alloc();
    usb_priv *p = priv_of(dev);
    p->lock.lock();
    if (p->handle) {
        p->lock.unlock();
        // A second open of an open record would leak the first handle and thread.
        USB_LOG(WRN, "_usb_ll_dev_open", "[%s] device already open\n");
        return dev;
    }
    const bool ok = attach(dev, p);
    p->lock.unlock();
    if (!ok) {
        priv_free(dev);
        return nullptr;
    }
    dev->kind = PYLOX_LL_KIND_USB;
    dev->ops = &ll_op_usb;
    return dev;
}

pylox_ll_dev_t *usb_ll_dev_open_by_fd(pylox_ll_dev_t *dev, int)
{
    return usb_ll_dev_open(dev);
}

void usb_ll_dev_close(pylox_ll_dev_t *dev)
{
    if (!dev || dev->kind != PYLOX_LL_KIND_USB)
        return;
    close_internal(dev);
}

int usb_ll_dev_reset(pylox_ll_dev_t *dev, uint8_t target)
{
    usb_priv *p = lock_open(dev, "usb_ll_dev_reset");
    if (!p)
        return 0;
    USB_LOG(TRC, "usb_ll_dev_reset", "[%s] rest device (target=%d)\n", target);
    uint8_t arg[4] = {target, 0, 0, 0};
    if (target != 3) {
        const bool ok = usb_ll_exe_cmd(dev, 1, 0xC0, 0, arg, sizeof arg, 1000) &&
                        usb_ll_check_last_cmd(dev, 0xC0, 0);
        unlock(p);
        return ok ? 1 : 0;
    }
    USB_LOG(TRC, "usb_ll_dev_reset", "[%s] Reset usb if (timeout = %d ms) ...\n", 3000);
    // A capture cannot outlive the camera's enumeration: its receiver learns
    // of the end (cancelled transfers) rather than waiting for bytes that
    // will not come, and starts again on the camera that came back.
    end_capture(p, "usb_ll_dev_reset");
    usb_ll_exe_cmd(dev, 1, 0xC0, 0, arg, sizeof arg, 1000);
    // The camera leaves the bus and enumerates anew on the same port. The
    // state, its lock and flags stay; only what belongs to the old
    // enumeration (handle, context, event thread, transfers) is replaced.
    // Calls on other threads wait for the lock meanwhile and then find the
    // camera back, or the device closed when it did not return.
    release_camera(p);
    bool back = false;
    for (int i = 0; i < 15 && !back; ++i) {
        pylox::sleep_ms(200);
        back = attach(dev, p);
    }
    if (!back) {
        p->lost = true;
        USB_LOG(WRN, "usb_ll_dev_reset", "[%s] reopen device failed!\n");
    }
    unlock(p);
    USB_LOG(TRC, "usb_ll_dev_reset", "[%s] Reset usb if end. \n");
    return 0;
}

} // namespace usbll
