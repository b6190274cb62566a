// Private state of the USB back end, shared by its three parts: device
// management (usb_dev.cpp), the command exchange (usb_cmd.cpp) and the bulk
// capture ring (usb_cap.cpp).
#pragma once

#include <pylox/pylox_ll.h>

#include <libusb-1.0/libusb.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/fair_mutex.h"
#include "core/log.h"

namespace usbll {

constexpr uint16_t k_vid = 0x111B;
constexpr uint16_t k_pid = 0x1238;
constexpr int k_ring = 16;         // bulk-in transfers kept in flight while streaming
constexpr int k_xfer_len = 153600; // bytes per bulk-in transfer
constexpr unsigned k_bulk_timeout = 6000;
constexpr uint8_t k_ep_in = 0x81;
constexpr uint8_t k_ep_out = 0x01;
constexpr int k_cmd_cancel_ms = 1000; // host-side limits of one control exchange
constexpr int k_cmd_giveup_ms = 2000;
constexpr int k_busy_giveup_ms = 2000; // how long the status poll accepts "busy" answers
constexpr int k_setup_len = 8;
// Longest data stage of one control transfer: wLength allows 65,535 bytes,
// but Linux usbfs (and so libusb there) takes at most 4,096.
constexpr int k_ctrl_max = 4096;
constexpr int k_status_len = 63;
constexpr int k_reg_read_chunk = 16;
constexpr int k_param_batch = 3;
constexpr int k_reg_write_chunk = (k_ctrl_max - 7) / 4; // 1,022 registers per block

// One control or bulk-out exchange waited for by a caller. When the caller
// gives up before libusb completed it, the exchange is "abandoned": it moves to
// the device's orphan list and is freed by its own completion, or at close.
struct xfer_wait {
    libusb_transfer *t = nullptr;
    struct usb_priv *owner = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    xfer_wait *prev = nullptr; // orphan list links, under owner->orphan_mtx
    xfer_wait *next = nullptr;
};

struct usb_priv {
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
    libusb_transfer *transfers[k_ring] = {};
    uint8_t *buffers[k_ring] = {};
    uint8_t cap_stopping = 0; // written by callers, read by the event thread (atomic_ref)
    pylox_ll_cap_cb_t callback = nullptr; // under ring_mtx
    void *user = nullptr;                 // under ring_mtx
    pthread_t thread{};
    int quit = 0;        // libusb's completion flag of the event loop (atomic_ref for our side)
    uint8_t running = 0; // atomic_ref
    // The device lock: serialises commands, capture start and stop, reset and
    // close. Fair, so that a start or stop issued while another thread sends
    // commands back to back waits only for the commands queued before it.
    pylox::fair_mutex lock;

    bool thread_started = false; // under lock
    bool lost = false;           // under lock: a reset did not get the camera back
    // The capture ring: which slots libusb holds, guarded by ring_mtx so that a
    // stop cannot miss a transfer that the event thread is about to resubmit.
    std::mutex ring_mtx;
    std::condition_variable ring_cv;
    bool inflight[k_ring] = {};
    int n_inflight = 0;
    int in_callback = 0;  // completions handing bytes to the callback right now
    bool closing = false; // close is draining: no callback, no resubmission
    // Stops waiting for the device lock: a start holding it gives up rather
    // than poll a busy camera on while a stop waits behind it.
    std::atomic<int> stops_waiting{0};
    // Exchanges given up by their callers while libusb still held them.
    std::mutex orphan_mtx;
    xfer_wait *orphans = nullptr;
    int n_orphans = 0;
};

inline usb_priv *priv_of(pylox_ll_dev_t *dev)
{
    return dev ? static_cast<usb_priv *>(dev->priv) : nullptr;
}

inline bool quit_set(usb_priv *p)
{
    return std::atomic_ref<int>(p->quit).load(std::memory_order_acquire) != 0;
}

// Takes the device lock when the device is open (state, context and handle
// present, quit not set); returns the state with the lock held, else null.
// The state lives from open to close: a reset keeps it and swaps the camera's
// handle inside under the lock. A device whose camera did not come back
// after a reset is refused with a log line under who's name.
usb_priv *lock_open(pylox_ll_dev_t *dev, const char *who);
void unlock(usb_priv *p);

// Map a finished transfer's status to a byte count or a libusb error code.
int map_status(const libusb_transfer *t, const char *who);

// How a waited-for exchange ended.
enum class wait_end { done, gave_up, submit_failed };

// Submits t and waits for its completion, which the event thread delivers.
// control: the fixed host-side limits of a command exchange (cancel after
// 1000 ms, give up after 2000 ms); otherwise (bulk out) the exchange is given up
// giveup_ms after submission. done: *result holds the mapped status, the
// caller reads and frees t. submit_failed: *result holds libusb's code, the
// caller frees t. gave_up: t belongs to the orphan list now; the caller must
// not touch it again.
wait_end run_exchange(usb_priv *p, libusb_transfer *t, bool control, int giveup_ms, int *result);

// Command protocol (lock held by the caller).
bool usb_ll_exe_cmd(pylox_ll_dev_t *dev, uint8_t write, uint8_t type, uint16_t value, void *buf,
                    int len, int timeout_ms);
// Polls the status of the last command; a busy camera is polled for up to
// 2 s, or until give_up (when given) turns positive.
bool usb_ll_check_last_cmd(pylox_ll_dev_t *dev, uint8_t type, uint16_t value,
                           const std::atomic<int> *give_up = nullptr);

// Releases every abandoned exchange (after libusb_close detached them).
void free_orphans(usb_priv *p);

// Ends a running capture before the camera leaves the bus: the ring is
// cancelled, its cancellations reach the callback (event -3) and the callback
// is forgotten. The caller holds the device lock.
void end_capture(usb_priv *p, const char *who);

// Bulk capture completion.
void LIBUSB_CALL on_usb_trans_event(libusb_transfer *t);

// Process-wide libusb debug level for new contexts.
int debug_level();
void apply_debug(libusb_context *ctx);

// Slots (defined in the three parts, collected in the table of usb_ll.cpp).
int usb_ll_init();
void usb_ll_uninit();
void usb_ll_set_debug(int level);
pylox_ll_dev_t *usb_ll_dev_open(pylox_ll_dev_t *dev);
pylox_ll_dev_t *usb_ll_dev_open_by_fd(pylox_ll_dev_t *dev, int fd);
void usb_ll_dev_close(pylox_ll_dev_t *dev);
int usb_ll_dev_list(pylox_ll_dev_t *entries, int max);
int usb_ll_exe_cmd_slot(pylox_ll_dev_t *dev, uint8_t write, uint8_t type, uint16_t value, void *buf,
                        int len, int timeout_ms);
int usb_ll_tx_data(pylox_ll_dev_t *dev, const void *buf, int len);
void usb_ll_cap_abort(pylox_ll_dev_t *dev);
int usb_ll_cap_start(pylox_ll_dev_t *dev, uint32_t arg, pylox_ll_cap_cb_t cb, void *user);
int usb_ll_cap_stop(pylox_ll_dev_t *dev);
int usb_ll_dev_reset(pylox_ll_dev_t *dev, uint8_t target);
int usb_ll_reg_write(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                     uint16_t count);
int usb_ll_reg_read(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                    uint16_t count);
int usb_ll_param_set(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);
int usb_ll_param_get(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count);

} // namespace usbll

// Logs under a fixed function name (several steps log under their caller's name).
#define USB_LOG(level, name, fmt, ...) PYLOX_LOG_AS(TQ_LOG_##level, name, fmt, ##__VA_ARGS__)
