// Bulk capture of the USB camera: a ring of sixteen bulk-in transfers kept in
// flight on endpoint 0x81 while streaming, every completion handed to the
// capture callback on the event thread and resubmitted.
#include "ll/usb/usb_priv.h"

#include <chrono>

namespace usbll {

namespace {

void fill_slot(pylox_ll_dev_t *dev, usb_priv *p, int i)
{
    libusb_fill_bulk_transfer(p->transfers[i], p->handle, k_ep_in, p->buffers[i], k_xfer_len,
                              on_usb_trans_event, dev, k_bulk_timeout);
    libusb_transfer_set_stream_id(p->transfers[i], static_cast<uint32_t>(i));
}

// Cancels every slot (logged unless quiet); the caller holds ring_mtx.
void cancel_ring(usb_priv *p, const char *who, bool quiet = false)
{
    for (int i = 0; i < k_ring; ++i) {
        if (!quiet)
            USB_LOG(TRC, who, "[%s] trans[%d] cancel: status=%d\n", i,
                    static_cast<int>(p->transfers[i]->status));
        if (p->inflight[i])
            libusb_cancel_transfer(p->transfers[i]);
    }
}

// A slot leaves the ring; the caller holds ring_mtx.
void slot_done(usb_priv *p, int i)
{
    p->inflight[i] = false;
    if (--p->n_inflight == 0)
        p->ring_cv.notify_all();
}

bool stopping(usb_priv *p)
{
    return std::atomic_ref<uint8_t>(p->cap_stopping).load(std::memory_order_acquire) != 0;
}

// Waits until the cancelled ring came back, then forgets the callback: once
// a stop (or a failed start) returns, no completion of that capture reaches
// the callback, and the caller may reset what the callback feeds. A ring
// that does not come back in time is left to libusb, but the callback is
// forgotten all the same (after the completion inside it, if any, returned):
// its late completions are reaped without reaching anyone. The event thread
// itself cannot wait for its own completions.
void await_ring(usb_priv *p, const char *who, const char *fmt)
{
    if (pthread_equal(pthread_self(), p->thread))
        return;
    std::unique_lock<std::mutex> g(p->ring_mtx);
    if (!p->ring_cv.wait_for(g, std::chrono::milliseconds(k_cmd_giveup_ms),
                             [p] { return p->n_inflight == 0 && p->in_callback == 0; }))
        USB_LOG(WRN, who, fmt, p->n_inflight);
    p->callback = nullptr;
    p->user = nullptr;
    p->ring_cv.wait(g, [p] { return p->in_callback == 0; });
}

// Takes the callback for one delivery unless capture is being torn down; the
// caller holds ring_mtx and, when one is returned, calls leave_callback.
pylox_ll_cap_cb_t enter_callback(usb_priv *p, void **user)
{
    if (!p->callback || p->closing)
        return nullptr;
    *user = p->user;
    ++p->in_callback;
    return p->callback;
}

void leave_callback(usb_priv *p)
{
    std::lock_guard<std::mutex> g(p->ring_mtx);
    if (--p->in_callback == 0)
        p->ring_cv.notify_all();
}

// A stop is waiting for the device lock that a start holds.
bool stop_waiting(usb_priv *p)
{
    return p->stops_waiting.load(std::memory_order_acquire) > 0;
}

} // namespace

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *t)
{
    static const char *const who = "on_usb_trans_event";
    auto *dev = static_cast<pylox_ll_dev_t *>(t->user_data);
    usb_priv *p = priv_of(dev);
    const int idx = static_cast<int>(libusb_transfer_get_stream_id(t));
    const int got = t->actual_length;
    USB_LOG(TRC, who, "[%s] trans[%d]: txlen=%d, status = %d\n", idx, got,
            static_cast<int>(t->status));
    int event = PYLOX_LL_EVT_DATA;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        event = PYLOX_LL_EVT_CANCELLED;
        USB_LOG(TRC, who, "[%s] trans[%d] cancelled (last_tx=%d)\n", idx, got);
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        event = PYLOX_LL_EVT_TIMEOUT;
        USB_LOG(DBG, who, "[%s] trans[%d] timeout (last_tx=%d)\n", idx, got);
        break;
    case LIBUSB_TRANSFER_STALL:
        event = PYLOX_LL_EVT_STALL;
        USB_LOG(WRN, who, "[%s] trans[%d] stall (last_tx=%d)\n", idx, got);
        // A direct request to the kernel, safe on the event thread.
        if (libusb_clear_halt(p->handle, k_ep_in) < 0)
            USB_LOG(ERR, who, "[%s]  Clear halt failed on EP: %0x!\r\n", k_ep_in);
        break;
    default:
        event = PYLOX_LL_EVT_UNKNOWN;
        USB_LOG(WRN, who, "[%s] trans[%d] error (%d) (last_tx=%d)\n", idx,
                static_cast<int>(t->status), got);
        break;
    }

    // Every delivery counts itself in in_callback: a stop that saw the ring
    // come back also waits for the callback to return.
    void *user = nullptr;
    pylox_ll_cap_cb_t cb;
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        cb = enter_callback(p, &user);
    }
    if (cb) {
        cb(dev, event, p->buffers[idx], got, user);
        leave_callback(p);
    }

    // The stop sets the flag and cancels under ring_mtx, so a transfer is
    // either resubmitted before the stop's cancel (and cancelled by it) or
    // not resubmitted at all.
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        if (t->length <= 0 || stopping(p) || p->closing) {
            slot_done(p, idx);
            return;
        }
        USB_LOG(TRC, who, "[%s] trans[%d] issue: size=%d \n", idx, t->length);
        t->timeout = k_bulk_timeout;
        const int rc = libusb_submit_transfer(t);
        if (rc >= 0)
            return;
        USB_LOG(ERR, who, "[%s] Unable to submit URB. libusb error code: %d\n", rc);
        slot_done(p, idx);
        // A transfer that cannot go out again (the camera left the bus, say)
        // ends the stream: unless its completion already reported a failure,
        // tell the receiver instead of falling silent. The callback is taken
        // in the same hold of ring_mtx as the slot leaves the ring, so a stop
        // that saw the ring empty has also seen this delivery.
        cb = event == PYLOX_LL_EVT_DATA ? enter_callback(p, &user) : nullptr;
    }
    if (cb) {
        cb(dev, PYLOX_LL_EVT_UNKNOWN, p->buffers[idx], 0, user);
        leave_callback(p);
    }
}

int usb_ll_cap_start(pylox_ll_dev_t *dev, uint32_t arg, pylox_ll_cap_cb_t cb, void *user)
{
    static const char *const who = "usb_ll_cap_start";
    usb_priv *p = lock_open(dev, who);
    if (!p)
        return 0;
    {
        // Transfers of an earlier capture may still be draining; libusb owns
        // them until their completion, so they are neither refilled nor
        // resubmitted before it arrives.
        std::unique_lock<std::mutex> g(p->ring_mtx);
        if (!p->ring_cv.wait_for(g, std::chrono::milliseconds(k_cmd_giveup_ms),
                                 [p] { return p->n_inflight == 0 || stop_waiting(p); }))
            USB_LOG(WRN, who, "[%s] %d transfers of the last capture still pending\n",
                    p->n_inflight);
    }
    // A stop issued while this start waited for the lock or for the old ring
    // wins: nothing has been sent to the camera yet.
    if (stop_waiting(p)) {
        USB_LOG(DBG, who, "[%s] a stop is waiting: start given up\n");
        unlock(p);
        return 0;
    }
    std::atomic_ref<uint8_t>(p->cap_stopping).store(0, std::memory_order_release);
    if (libusb_clear_halt(p->handle, k_ep_in) < 0)
        USB_LOG(ERR, who, "[%s]  Clear halt failed on EP: %0x!\r\n", k_ep_in);
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        p->callback = cb;
        p->user = user;
        for (int i = 0; i < k_ring; ++i) {
            if (p->inflight[i])
                continue;
            fill_slot(dev, p, i);
            const int rc = libusb_submit_transfer(p->transfers[i]);
            if (rc < 0) {
                USB_LOG(ERR, who, "[%s] trans[%d] issue failed\n", i);
                continue;
            }
            p->inflight[i] = true;
            ++p->n_inflight;
            USB_LOG(TRC, who, "[%s] trans[%d] issue: txlen=%d\n", i, k_xfer_len);
        }
    }
    USB_LOG(TRC, who, "[%s] Enter\n");
    uint8_t a[4] = {static_cast<uint8_t>(arg), static_cast<uint8_t>(arg >> 8),
                    static_cast<uint8_t>(arg >> 16), static_cast<uint8_t>(arg >> 24)};
    // A busy camera is polled for up to 2 s; a stop arriving meanwhile cuts
    // the poll short. The start then fails like a refused one, and the stop,
    // next in line for the lock, tells the camera to stop streaming.
    if (usb_ll_exe_cmd(dev, 1, 0xC2, 4, a, sizeof a, 1000) &&
        usb_ll_check_last_cmd(dev, 0xC2, 4, &p->stops_waiting)) {
        unlock(p);
        return 1;
    }
    USB_LOG(WRN, who, "[%s] pylox_ll_cap_start failed\n");
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        std::atomic_ref<uint8_t>(p->cap_stopping).store(1, std::memory_order_release);
        cancel_ring(p, who);
    }
    // The camera may have streamed already: its bytes must not reach the
    // callback after the caller learnt that the start failed.
    await_ring(p, who, "[%s] %d transfers still pending after the failed start\n");
    unlock(p);
    return 0;
}

int usb_ll_cap_stop(pylox_ll_dev_t *dev)
{
    // The stream stops at once, before the stop waits for the device lock:
    // a command in progress may hold it for a while (every status poll of a
    // busy camera is an exchange of its own), and while the ring streams at
    // full rate each exchange of it waits behind the bulk completions. The
    // ring is guarded by ring_mtx alone; a start that holds the device lock
    // now and submits after this is cancelled again below. Not while a close
    // or reset is reaping the ring (closing): the handle goes with it.
    bool cancelled = false;
    usb_priv *q = priv_of(dev);
    if (q) {
        q->stops_waiting.fetch_add(1, std::memory_order_acq_rel);
        std::lock_guard<std::mutex> g(q->ring_mtx);
        q->ring_cv.notify_all(); // a start waiting for the old ring gives up
        if (q->n_inflight > 0 && !q->closing) {
            std::atomic_ref<uint8_t>(q->cap_stopping).store(1, std::memory_order_release);
            cancel_ring(q, "usb_ll_cap_stop");
            cancelled = true;
        }
    }
    usb_priv *p = lock_open(dev, "usb_ll_cap_stop");
    if (q)
        q->stops_waiting.fetch_sub(1, std::memory_order_acq_rel);
    if (!p)
        return 0;
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        std::atomic_ref<uint8_t>(p->cap_stopping).store(1, std::memory_order_release);
        cancel_ring(p, "usb_ll_cap_stop", cancelled);
    }
    uint8_t b = 0xC2;
    const bool ok =
        usb_ll_exe_cmd(dev, 1, 0xC2, 5, &b, 1, 1000) && usb_ll_check_last_cmd(dev, 0xC2, 5);
    await_ring(p, "usb_ll_cap_stop", "[%s] %d transfers still pending after stop\n");
    unlock(p);
    return ok ? 1 : 0;
}

void end_capture(usb_priv *p, const char *who)
{
    {
        std::lock_guard<std::mutex> g(p->ring_mtx);
        if (p->n_inflight > 0 && !p->closing) {
            std::atomic_ref<uint8_t>(p->cap_stopping).store(1, std::memory_order_release);
            cancel_ring(p, who, true);
        }
    }
    await_ring(p, who, "[%s] %d transfers still pending before the reset\n");
}

void usb_ll_cap_abort(pylox_ll_dev_t *dev)
{
    usb_priv *p = priv_of(dev);
    if (p)
        std::atomic_ref<uint8_t>(p->cap_stopping).store(1, std::memory_order_release);
}

} // namespace usbll
