// Command protocol of the USB camera: control exchanges on endpoint 0, the
// status poll that confirms every command, the register and parameter slots
// built on them, and bulk-out data blocks.
#include "ll/usb/usb_priv.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace usbll {

namespace {

using steady = std::chrono::steady_clock;

// Holds the device lock of an open device for one scope.
class open_guard {
public:
    open_guard(pylox_ll_dev_t *dev, const char *who) : p_(lock_open(dev, who)) {}
    ~open_guard()
    {
        if (p_)
            unlock(p_);
    }
    open_guard(const open_guard &) = delete;
    open_guard &operator=(const open_guard &) = delete;
    usb_priv *get() const { return p_; }

private:
    usb_priv *p_;
};

void LIBUSB_CALL on_cmd_finish(libusb_transfer *t)
{
    auto *w = static_cast<xfer_wait *>(t->user_data);
    USB_LOG(TRC, "_usb_ll_on_cmd_finish", "[%s] tx actual_len = %d, status  = %d\n",
            t->actual_length, static_cast<int>(t->status));
    {
        std::lock_guard<std::mutex> g(w->m);
        if (!w->abandoned) {
            w->done = true;
            w->cv.notify_all();
            return; // the waiting caller owns w and t from here
        }
    }
    // The caller gave up on this exchange: it is ours to release.
    usb_priv *p = w->owner;
    {
        std::lock_guard<std::mutex> g(p->orphan_mtx);
        if (w->prev)
            w->prev->next = w->next;
        else
            p->orphans = w->next;
        if (w->next)
            w->next->prev = w->prev;
        --p->n_orphans;
    }
    libusb_free_transfer(t);
    delete w;
}

void put_le32(uint8_t *d, uint32_t v)
{
    d[0] = static_cast<uint8_t>(v);
    d[1] = static_cast<uint8_t>(v >> 8);
    d[2] = static_cast<uint8_t>(v >> 16);
    d[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_le32(const uint8_t *s)
{
    return static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
           static_cast<uint32_t>(s[2]) << 16 | static_cast<uint32_t>(s[3]) << 24;
}

// The 7-byte register header: space, first register, byte count.
void reg_header(uint8_t (&h)[7], uint8_t target, uint32_t reg, uint16_t bytes)
{
    h[0] = target;
    put_le32(h + 1, reg);
    h[5] = static_cast<uint8_t>(bytes);
    h[6] = static_cast<uint8_t>(bytes >> 8);
}

} // namespace

usb_priv *lock_open(pylox_ll_dev_t *dev, const char *who)
{
    usb_priv *p = priv_of(dev);
    if (!p)
        return nullptr;
    p->lock.lock();
    if (!p->ctx || !p->handle || quit_set(p)) {
        if (p->lost)
            USB_LOG(WRN, who, "[%s] camera did not come back after a reset: device closed\n");
        p->lock.unlock();
        return nullptr;
    }
    return p;
}

void unlock(usb_priv *p)
{
    p->lock.unlock();
}

int map_status(const libusb_transfer *t, const char *who)
{
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return t->actual_length;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_IO;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    }
    USB_LOG(WRN, who, "[%s] unrecognised status code %d", static_cast<int>(t->status));
    return LIBUSB_ERROR_OTHER;
}

wait_end run_exchange(usb_priv *p, libusb_transfer *t, bool control, int giveup_ms, int *result)
{
    auto *w = new (std::nothrow) xfer_wait;
    if (!w) {
        *result = LIBUSB_ERROR_NO_MEM;
        return wait_end::submit_failed;
    }
    w->t = t;
    w->owner = p;
    t->user_data = w;
    t->callback = on_cmd_finish;
    const int rc = libusb_submit_transfer(t);
    if (rc < 0) {
        delete w;
        *result = rc;
        return wait_end::submit_failed;
    }

    const auto start = steady::now();
    bool cancelled = false;
    int provisional = 0;
    std::unique_lock<std::mutex> lk(w->m);
    while (!w->done) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
        if (elapsed >= giveup_ms) {
            if (control)
                USB_LOG(ERR, "usb_ll_exe_cmd", "[%s] control transfer timeout !\n");
            // libusb may still complete the transfer: hand it to the orphan
            // list; its completion (or the device's close) releases it.
            w->abandoned = true;
            if (!cancelled)
                libusb_cancel_transfer(t);
            {
                std::lock_guard<std::mutex> g(p->orphan_mtx);
                w->next = p->orphans;
                if (p->orphans)
                    p->orphans->prev = w;
                p->orphans = w;
                ++p->n_orphans;
            }
            *result = provisional ? provisional : LIBUSB_ERROR_TIMEOUT;
            return wait_end::gave_up;
        }
        if (control && !cancelled && elapsed >= k_cmd_cancel_ms) {
            USB_LOG(WRN, "usb_ll_exe_cmd", "[%s] contrl trans timeout , cancel it\n");
            libusb_cancel_transfer(t);
            provisional = LIBUSB_ERROR_TIMEOUT;
            cancelled = true;
        }
        // Wake on completion at once; otherwise look at the clock every 10 ms.
        w->cv.wait_for(lk, std::chrono::milliseconds(10));
    }
    lk.unlock();
    *result = map_status(t, control ? "usb_ll_exe_cmd" : "usb_ll_tx_data");
    delete w;
    return wait_end::done;
}

void free_orphans(usb_priv *p)
{
    std::lock_guard<std::mutex> g(p->orphan_mtx);
    while (xfer_wait *w = p->orphans) {
        p->orphans = w->next;
        libusb_free_transfer(w->t);
        delete w;
    }
    p->n_orphans = 0;
}

bool usb_ll_exe_cmd(pylox_ll_dev_t *dev, uint8_t write, uint8_t type, uint16_t value, void *buf,
                    int len, int timeout_ms)
{
    usb_priv *p = priv_of(dev);
    if (!p || !p->handle) {
        USB_LOG(ERR, "usb_ll_exe_cmd", "[%s]  USB handler Is NULL!\r\n");
        return false;
    }
    if (len < 0 || len > k_ctrl_max || (len > 0 && !buf)) {
        USB_LOG(ERR, "usb_ll_exe_cmd", "[%s] bad command buffer (len=%d)\n", len);
        return false;
    }
    libusb_transfer *t = libusb_alloc_transfer(0);
    auto *data = static_cast<uint8_t *>(std::calloc(1, static_cast<size_t>(len) + k_setup_len));
    if (!t || !data) {
        USB_LOG(ERR, "usb_ll_exe_cmd", "[%s] no memory\n");
        libusb_free_transfer(t);
        std::free(data);
        return false;
    }
    libusb_fill_control_setup(data, write ? 0x22 : 0xA2, type, value, 0,
                              static_cast<uint16_t>(len));
    if (write && len > 0)
        std::memcpy(data + k_setup_len, buf, static_cast<size_t>(len));
    libusb_fill_control_transfer(t, p->handle, data, nullptr, nullptr,
                                 timeout_ms > 0 ? static_cast<unsigned>(timeout_ms) : 0);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;

    int result = 0;
    switch (run_exchange(p, t, true, k_cmd_giveup_ms, &result)) {
    case wait_end::submit_failed:
        USB_LOG(ERR, "usb_ll_exe_cmd", "[%s] libusb_submit_transfer failed\n");
        libusb_free_transfer(t);
        return false;
    case wait_end::gave_up:
        return false;
    case wait_end::done:
        break;
    }
    if (!write && result > 0) {
        // Never more than the caller asked for, whatever the transfer reports.
        const int n = result < len ? result : len;
        std::memcpy(buf, data + k_setup_len, static_cast<size_t>(n));
    }
    libusb_free_transfer(t);
    if (result != len) {
        USB_LOG(ERR, "usb_ll_exe_cmd", "[%s] exe usb cmd failed: %s\n", libusb_error_name(result));
        return false;
    }
    return true;
}

bool usb_ll_check_last_cmd(pylox_ll_dev_t *dev, uint8_t type, uint16_t value,
                           const std::atomic<int> *give_up)
{
    const auto start = steady::now();
    for (int polls = 1;; ++polls) {
        uint8_t st[k_status_len];
        if (!usb_ll_exe_cmd(dev, 0, 0xB0, 0, st, k_status_len, 1000))
            return false;
        if (st[1] != type || st[2] != static_cast<uint8_t>(value)) {
            USB_LOG(WRN, "usb_ll_check_last_cmd",
                    "[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", st[1], st[2],
                    static_cast<unsigned>(type), static_cast<unsigned>(value & 0xFF));
            return false;
        }
        if (st[0] == 0xFF) {
            // The camera's text, bounded by the block even when not terminated.
            char text[k_status_len - 2];
            std::memcpy(text, st + 3, sizeof text - 1);
            text[sizeof text - 1] = '\0';
            USB_LOG(ERR, "usb_ll_check_last_cmd", "[%s] %s\n", text);
            return false;
        }
        if (st[0] != 0xFE)
            return true;
        if (give_up && give_up->load(std::memory_order_acquire) > 0) {
            USB_LOG(DBG, "usb_ll_check_last_cmd",
                    "[%s] camera busy (t=%u,v=%u), poll given up for a waiting stop\n",
                    static_cast<unsigned>(type), static_cast<unsigned>(value & 0xFF));
            return false;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count();
        if (elapsed >= k_busy_giveup_ms) {
            USB_LOG(ERR, "usb_ll_check_last_cmd",
                    "[%s] camera still busy after %d polls (t=%u,v=%u), give up\n", polls,
                    static_cast<unsigned>(type), static_cast<unsigned>(value & 0xFF));
            return false;
        }
    }
}

int usb_ll_exe_cmd_slot(pylox_ll_dev_t *dev, uint8_t write, uint8_t type, uint16_t value, void *buf,
                        int len, int timeout_ms)
{
    open_guard g(dev, "usb_ll_exe_cmd");
    if (!g.get())
        return 0;
    if (!usb_ll_exe_cmd(dev, 1, type, value, buf, len, timeout_ms))
        return 0;
    if (!usb_ll_check_last_cmd(dev, type, value))
        return 0;
    if (write)
        return 1;
    if (!usb_ll_exe_cmd(dev, 0, type, value, buf, len, timeout_ms))
        return 0;
    return usb_ll_check_last_cmd(dev, type, value) ? 1 : 0;
}

int usb_ll_reg_write(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                     uint16_t count)
{
    if (count > 0 && !vals) {
        USB_LOG(ERR, "usb_ll_reg_write", "[%s] no register values given\n");
        return 0;
    }
    // One control transfer carries at most 1,022 registers here (16,382 by
    // its length field alone); a larger write is sent as consecutive blocks,
    // each with its own header and confirmed before the next.
    int done = 0;
    do {
        const int n = (count - done) < k_reg_write_chunk ? (count - done) : k_reg_write_chunk;
        const size_t size = 7 + 4 * static_cast<size_t>(n);
        std::vector<uint8_t> block;
        try {
            block.resize(size);
        } catch (...) {
            USB_LOG(ERR, "usb_ll_reg_write", "[%s] malloc failed\n");
            return 0;
        }
        uint8_t h[7];
        reg_header(h, target, reg_base + static_cast<uint32_t>(done), static_cast<uint16_t>(4 * n));
        std::memcpy(block.data(), h, sizeof h);
        for (int i = 0; i < n; ++i)
            put_le32(block.data() + 7 + 4 * i, vals[done + i]);

        open_guard g(dev, "usb_ll_reg_write");
        if (!g.get())
            return 0;
        if (!usb_ll_exe_cmd(dev, 1, 0xC2, 0, block.data(), static_cast<int>(size), 1000) ||
            !usb_ll_check_last_cmd(dev, 0xC2, 0))
            return 0;
        done += n;
    } while (done < count);
    return 1;
}

int usb_ll_reg_read(pylox_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                    uint16_t count)
{
    if (count == 0) {
        open_guard g(dev, "usb_ll_reg_read"); // nothing to read, but only from an open device
        return g.get() ? 1 : 0;
    }
    if (!vals) {
        USB_LOG(ERR, "usb_ll_reg_read", "[%s] no register buffer given\n");
        return 0;
    }
    int done = 0;
    while (done < count) {
        const int n = (count - done) < k_reg_read_chunk ? (count - done) : k_reg_read_chunk;
        open_guard g(dev, "usb_ll_reg_read");
        if (!g.get())
            return 0;
        uint8_t h[7];
        reg_header(h, target, reg_base + static_cast<uint32_t>(done), static_cast<uint16_t>(4 * n));
        if (!usb_ll_exe_cmd(dev, 1, 0xC2, 1, h, sizeof h, 1000) ||
            !usb_ll_check_last_cmd(dev, 0xC2, 1)) {
            USB_LOG(ERR, "usb_ll_reg_read", "[%s] write phase failed\n");
            return 0;
        }
        uint8_t *out = reinterpret_cast<uint8_t *>(vals + done);
        if (!usb_ll_exe_cmd(dev, 0, 0xC2, 1, out, 4 * n, 1000) ||
            !usb_ll_check_last_cmd(dev, 0xC2, 1)) {
            USB_LOG(ERR, "usb_ll_reg_read", "[%s] read phase failed\n");
            return 0;
        }
        for (int i = 0; i < n; ++i) // the camera's words are little-endian
            vals[done + i] = get_le32(out + 4 * i);
        done += n;
    }
    return 1;
}

int usb_ll_param_set(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    if (count < 0 || count > k_ctrl_max / static_cast<int>(sizeof(pylox_ll_param_t)) ||
        (count > 0 && !items)) {
        USB_LOG(ERR, "usb_ll_param_set", "[%s] bad parameter items (count=%d)\n", count);
        return 0;
    }
    open_guard g(dev, "usb_ll_param_set");
    if (!g.get())
        return 0;
    if (!usb_ll_exe_cmd(dev, 1, 0xC0, 3, items, count * static_cast<int>(sizeof *items), 1000))
        return 0;
    return usb_ll_check_last_cmd(dev, 0xC0, 3) ? 1 : 0;
}

int usb_ll_param_get(pylox_ll_dev_t *dev, pylox_ll_param_t *items, int count)
{
    if (count <= 0) {
        open_guard g(dev, "usb_ll_param_get");
        return (g.get() && count == 0) ? 1 : 0;
    }
    if (!items) {
        USB_LOG(ERR, "usb_ll_param_get", "[%s] no parameter items given\n");
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        items[i].len = 0;
        std::memset(items[i].val, 0, sizeof items[i].val);
    }
    for (int done = 0; done < count;) {
        const int n = (count - done) < k_param_batch ? (count - done) : k_param_batch;
        pylox_ll_param_t *batch = items + done;
        const int bytes = n * static_cast<int>(sizeof *batch);
        open_guard g(dev, "usb_ll_param_get");
        if (!g.get())
            return 0;
        if (!usb_ll_exe_cmd(dev, 1, 0xC0, 4, batch, bytes, 1000) ||
            !usb_ll_check_last_cmd(dev, 0xC0, 4)) {
            USB_LOG(ERR, "usb_ll_param_get", "[%s] write phase failed\n");
            return 0;
        }
        if (!usb_ll_exe_cmd(dev, 0, 0xC0, 4, batch, bytes, 1000) ||
            !usb_ll_check_last_cmd(dev, 0xC0, 4)) {
            USB_LOG(ERR, "usb_ll_param_get", "[%s] read phase failed\n");
            return 0;
        }
        for (int i = 0; i < n; ++i) {
            if (batch[i].len > PYLOX_LL_PARAM_VAL_MAX) {
                USB_LOG(WRN, "usb_ll_param_get", "[%s] param %u: length %u cut to %d\n",
                        batch[i].id, batch[i].len, PYLOX_LL_PARAM_VAL_MAX);
                batch[i].len = PYLOX_LL_PARAM_VAL_MAX;
            }
        }
        done += n;
    }
    return 1;
}

int usb_ll_tx_data(pylox_ll_dev_t *dev, const void *buf, int len)
{
    open_guard g(dev, "usb_ll_tx_data");
    usb_priv *p = g.get();
    if (!p)
        return LIBUSB_ERROR_NO_DEVICE;
    if (len < 0 || (len > 0 && !buf)) {
        USB_LOG(ERR, "usb_ll_tx_data", "[%s] bad data block (len=%d)\n", len);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) {
        USB_LOG(ERR, "usb_ll_tx_data", "[%s] no memory\n");
        return 0;
    }
    // The camera reads the block before the transfer completes; libusb never
    // frees a buffer it was lent.
    libusb_fill_bulk_transfer(t, p->handle, k_ep_out,
                              static_cast<unsigned char *>(const_cast<void *>(buf)), len, nullptr,
                              nullptr, k_bulk_timeout);
    USB_LOG(TRC, "usb_ll_tx_data", "[%s] trans[%d] issue: txlen=%d\n", 0, len);
    int result = 0;
    // The transfer's own timeout ends it; the host gives up 2000 ms later only
    // when no completion arrives at all (event thread gone).
    switch (
        run_exchange(p, t, false, static_cast<int>(k_bulk_timeout) + k_cmd_giveup_ms, &result)) {
    case wait_end::submit_failed:
        USB_LOG(ERR, "usb_ll_tx_data", "[%s] trans[%d] issue failed\n", 0);
        libusb_free_transfer(t);
        return result;
    case wait_end::gave_up:
        USB_LOG(ERR, "usb_ll_tx_data", "[%s] no completion of trans[%d], give up\n", 0);
        return result;
    case wait_end::done:
        break;
    }
    libusb_free_transfer(t);
    return result;
}

} // namespace usbll
