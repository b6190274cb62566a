// A minimal libusb host for the virtual camera's tests: open, commands with
// status polls, a ring of bulk-in transfers, all in plain libusb.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vcam/vcam.h"

namespace vtest {

using Clock = std::chrono::steady_clock;

// Waits until pred() holds or the deadline passes; returns pred().
inline bool wait_for(const std::function<bool()> &pred, int ms = 5000)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end)
            return pred();
        std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

struct Status {
    uint8_t code = 0, type = 0, value = 0;
    std::string text;
};

class Host {
public:
    Host()
    {
        EXPECT_EQ(libusb_init(&ctx), 0);
        ev = std::thread([this] {
            while (!quit.load()) {
                timeval tv{0, 50000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
    }
    ~Host()
    {
        stop_ring();
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        quit = true;
        ev.join();
        // Transfers are freed only once the event thread is gone: libusb still
        // touches a transfer after its last callback has returned.
        for (auto *t : spent)
            libusb_free_transfer(t);
        libusb_exit(ctx);
    }

    // Opens the camera at bus/port (or the first one with 0/0).
    bool open(int bus = 0, int port = 0)
    {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && !h; ++i) {
            libusb_device_descriptor d;
            libusb_get_device_descriptor(list[i], &d);
            if (d.idVendor != 0x111B || d.idProduct != 0x1238)
                continue;
            if (bus &&
                (libusb_get_bus_number(list[i]) != bus || libusb_get_port_number(list[i]) != port))
                continue;
            if (libusb_open(list[i], &h) != 0)
                h = nullptr;
        }
        libusb_free_device_list(list, 1);
        if (!h)
            return false;
        if (libusb_set_configuration(h, 1) != 0)
            return false;
        libusb_set_auto_detach_kernel_driver(h, 1);
        return libusb_claim_interface(h, 0) == 0;
    }

    // Control and bulk-out exchanges as libusb's synchronous calls make them,
    // but each transfer is freed only after the event thread has ended: libusb
    // still touches a transfer after its callback has returned, which a
    // synchronous call racing the event thread would free under it.
    int ctrl(uint8_t rt, uint8_t req, uint16_t val, uint8_t *data, uint16_t len, unsigned to = 1000)
    {
        std::vector<uint8_t> buf(8 + len);
        libusb_fill_control_setup(buf.data(), rt, req, val, 0, len);
        if (!(rt & 0x80) && len)
            std::copy(data, data + len, buf.begin() + 8);
        libusb_transfer *t = libusb_alloc_transfer(0);
        CtrlWait w;
        libusb_fill_control_transfer(t, h, buf.data(), &Host::on_ctrl, &w, to);
        int r = run(t, w);
        if (r > 0 && (rt & 0x80))
            std::copy(buf.begin() + 8, buf.begin() + 8 + r, data);
        park(std::move(buf));
        return r;
    }

    int bulk_out(const uint8_t *data, int len, unsigned to = 1000)
    {
        std::vector<uint8_t> buf(data, data + len);
        libusb_transfer *t = libusb_alloc_transfer(0);
        CtrlWait w;
        libusb_fill_bulk_transfer(t, h, 0x01, buf.data(), len, &Host::on_ctrl, &w, to);
        int r = run(t, w);
        park(std::move(buf));
        return r;
    }

    bool status(Status &s)
    {
        uint8_t b[63] = {};
        int r = ctrl(0xA2, 0xB0, 0, b, 63);
        if (r != 63)
            return false;
        s.code = b[0];
        s.type = b[1];
        s.value = b[2];
        b[62] = 0;
        s.text = reinterpret_cast<char *>(b + 3);
        return true;
    }

    // Polls the status until it is not busy; true when it reports success for
    // (type, value). `polls` counts the status reads.
    bool check(uint8_t type, uint16_t value, int *polls = nullptr, std::string *text = nullptr)
    {
        Status s;
        int n = 0;
        do {
            if (!status(s))
                return false;
            ++n;
        } while (s.code == 0xFE && n < 100);
        if (polls)
            *polls = n;
        if (text)
            *text = s.text;
        return s.code != 0xFF && s.code != 0xFE && s.type == type && s.value == (value & 0xFF);
    }

    bool cmd(uint8_t type, uint16_t value, std::vector<uint8_t> data)
    {
        int r = ctrl(0x22, type, value, data.data(), static_cast<uint16_t>(data.size()));
        return r == static_cast<int>(data.size()) && check(type, value);
    }

    bool read_cmd(uint8_t type, uint16_t value, std::vector<uint8_t> &buf)
    {
        if (!cmd(type, value, buf))
            return false;
        int r = ctrl(0xA2, type, value, buf.data(), static_cast<uint16_t>(buf.size()));
        return r == static_cast<int>(buf.size()) && check(type, value);
    }

    bool param_get(uint8_t id, std::vector<uint8_t> &value, uint8_t *len = nullptr)
    {
        std::vector<uint8_t> item(20, 0);
        item[0] = id;
        if (!read_cmd(0xC0, 4, item))
            return false;
        if (len)
            *len = item[1];
        value.assign(item.begin() + 2, item.end());
        return item[0] == id;
    }

    bool param_set(uint8_t id, const std::vector<uint8_t> &v)
    {
        std::vector<uint8_t> item(20, 0);
        item[0] = id;
        item[1] = static_cast<uint8_t>(v.size());
        std::copy(v.begin(), v.end(), item.begin() + 2);
        return cmd(0xC0, 3, item);
    }

    // --- the bulk-in ring
    struct Done {
        int status;
        int actual;
        std::vector<uint8_t> data; // the first bytes
    };
    static constexpr int kLen = 153600;

    void start_ring(int count = 16, int len = kLen, unsigned timeout = 6000)
    {
        ring_len = len;
        stopping = false;
        for (int i = 0; i < count; ++i) {
            auto *t = libusb_alloc_transfer(0);
            bufs.emplace_back(static_cast<size_t>(len));
            libusb_fill_bulk_transfer(t, h, 0x81, bufs.back().data(), len, &Host::on_bulk, this,
                                      timeout);
            xfers.push_back(t);
        }
        for (auto *t : xfers) {
            if (libusb_submit_transfer(t) == 0)
                live.fetch_add(1);
        }
    }

    void stop_ring()
    {
        stopping = true;
        for (auto *t : xfers)
            libusb_cancel_transfer(t);
        EXPECT_TRUE(wait_for([&] { return live.load() == 0; }));
        spent.insert(spent.end(), xfers.begin(), xfers.end());
        xfers.clear();
        for (auto &b : bufs)
            spent_bufs.push_back(std::move(b));
        bufs.clear();
    }

    // Completed transfers in order; `keep_data` keeps their bytes.
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Done> done;
    std::vector<uint8_t> stream; // every byte received, in order
    bool keep_stream = true;
    std::atomic<bool> stopping{false};
    std::atomic<bool> resubmit_errors{true};
    std::atomic<int> live{0};
    std::function<void(libusb_transfer *)> on_error; // called for stalls etc. on the event thread

    size_t stream_size()
    {
        std::lock_guard<std::mutex> lk(mu);
        return stream.size();
    }
    size_t done_count()
    {
        std::lock_guard<std::mutex> lk(mu);
        return done.size();
    }
    int count_status(int st)
    {
        std::lock_guard<std::mutex> lk(mu);
        int n = 0;
        for (auto &d : done)
            n += d.status == st;
        return n;
    }

    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

private:
    static void LIBUSB_CALL on_bulk(libusb_transfer *t)
    {
        auto *self = static_cast<Host *>(t->user_data);
        {
            std::lock_guard<std::mutex> lk(self->mu);
            Done d{t->status, t->actual_length, {}};
            if (self->keep_stream) {
                self->stream.insert(self->stream.end(), t->buffer, t->buffer + t->actual_length);
            }
            d.data.assign(t->buffer, t->buffer + std::min(t->actual_length, 64));
            self->done.push_back(std::move(d));
        }
        self->cv.notify_all();
        if (t->status != LIBUSB_TRANSFER_COMPLETED && self->on_error)
            self->on_error(t);
        bool again = !self->stopping.load() && t->status != LIBUSB_TRANSFER_CANCELLED &&
                     t->status != LIBUSB_TRANSFER_NO_DEVICE &&
                     (t->status == LIBUSB_TRANSFER_COMPLETED || self->resubmit_errors.load());
        if (again && libusb_submit_transfer(t) == 0)
            return;
        self->live.fetch_sub(1);
    }

    // Submits, waits for the callback, parks the transfer; returns the bytes
    // moved or a libusb error code.
    struct CtrlWait;
    int run(libusb_transfer *t, CtrlWait &w)
    {
        int r = libusb_submit_transfer(t);
        if (r != 0) {
            libusb_free_transfer(t);
            return r;
        }
        {
            std::unique_lock<std::mutex> lk(w.mu);
            w.cv.wait(lk, [&] { return w.done; });
        }
        {
            std::lock_guard<std::mutex> lk(mu);
            spent.push_back(t);
        }
        switch (w.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return w.actual;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            return LIBUSB_ERROR_IO;
        }
    }
    void park(std::vector<uint8_t> &&b)
    {
        std::lock_guard<std::mutex> lk(mu);
        spent_bufs.push_back(std::move(b));
    }

    struct CtrlWait {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        int status = 0, actual = 0;
    };
    static void LIBUSB_CALL on_ctrl(libusb_transfer *t)
    {
        auto *w = static_cast<CtrlWait *>(t->user_data);
        std::lock_guard<std::mutex> lk(w->mu);
        w->status = t->status;
        w->actual = t->actual_length;
        w->done = true;
        w->cv.notify_all();
    }

    std::thread ev;
    std::atomic<bool> quit{false};
    std::vector<libusb_transfer *> xfers, spent;
    std::vector<std::vector<uint8_t>> bufs, spent_bufs;
    int ring_len = kLen;
};

// Walks a byte stream packet by packet; returns false at the first bad header.
struct PacketInfo {
    vcam::StreamHeader h;
    size_t offset; // of the header in the stream
};
inline bool parse_stream(const std::vector<uint8_t> &s, std::vector<PacketInfo> &out,
                         size_t *tail = nullptr)
{
    size_t off = 0;
    while (off + vcam::kHeaderSize <= s.size()) {
        PacketInfo p;
        if (!vcam::read_header(s.data() + off, p.h))
            return false;
        p.offset = off;
        if (off + vcam::kHeaderSize + p.h.len > s.size())
            break;
        out.push_back(p);
        off += vcam::kHeaderSize + p.h.len;
    }
    if (tail)
        *tail = off;
    return true;
}

} // namespace vtest
