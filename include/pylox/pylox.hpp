// libpylox for C++17 and later: a header-only layer over the C interface.
//
//   pylox::Context lib;                       // pylox_init / pylox_uninit
//   pylox::Device cam = lib.open_first();     // or lib.open(entry), lib.open_replay(path)
//   cam.start();
//   pylox::Frame f = cam.get_frame_wait();    // bytes, information, arrival time
//   cam.on_frame([](const pylox::FrameView &v) { ... });
//   cam.wait(1000);
//   pylox::HotplugWatch watch([](const pylox::DeviceEntry &e, pylox::Plug p) { ... });
//
// Failures of the C calls become pylox::Error exceptions here, on the C++
// side; nothing is thrown through the library. A Device is move-only and
// closes its camera in its destructor. Frames are pointer + size (and a
// std::span under C++20). Callbacks are std::function objects; they run on the
// thread that calls wait(), get_frames() and friends, as the C callbacks do.
#ifndef PYLOX_HPP
#define PYLOX_HPP

#include <pylox/pylox.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if __cplusplus >= 202002L && __has_include(<span>)
#include <span>
#define PYLOX_HPP_SPAN 1
#endif

namespace pylox {

// A failed call: the C function's name and its result.
class Error : public std::runtime_error {
public:
    Error(const std::string &call, int code)
        : std::runtime_error(call + " failed (" + std::to_string(code) + ")"), code_(code)
    {
    }
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Bytes of one raw frame per pixel block: 320 x 240 x 4 samples x 2 bytes.
inline constexpr size_t default_frame_bytes = 320u * 240u * 8u;

// Arrival time of a frame (host monotonic clock, microseconds; 0 unknown).
inline uint64_t frame_time_us(const pylox_frame_info_t &info)
{
    return PYLOX_FRAME_TIME_US(&info);
}

// A frame lent to a callback: valid only while the callback runs.
struct FrameView {
    const pylox_frame_info_t &info;
    const uint8_t *data;
    size_t size;
    uint64_t time_us() const { return frame_time_us(info); }
#ifdef PYLOX_HPP_SPAN
    std::span<const uint8_t> bytes() const
    {
        return {data, size};
    }
#endif
};

// A frame owned by the application.
struct Frame {
    pylox_frame_info_t info{};
    std::vector<uint8_t> data;
    uint64_t time_us() const { return frame_time_us(info); }
#ifdef PYLOX_HPP_SPAN
    std::span<const uint8_t> bytes() const
    {
        return data;
    }
#endif
};

// A camera found by Context::list(): its identity words, not yet open.
struct DeviceEntry {
    pylox_dev_t handle{};
    std::string product() const { return std::string(handle.product, strnlen(handle.product, 32)); }
    int bus() const { return handle.loc.usb.bus; }
    int port() const { return handle.loc.usb.port; }
    int address() const { return handle.loc.usb.addr; }
};

// What a hot-plug report says of a camera.
enum class Plug { arrived = PYLOX_LL_HOTPLUG_ARRIVED, left = PYLOX_LL_HOTPLUG_LEFT };

namespace detail {

// The C callbacks carry no user pointer: the C++ callbacks are found by the
// handle they are called for.
struct callbacks {
    std::function<void(const FrameView &)> frame;
    std::function<bool(int, uint32_t)> error;
};

inline std::mutex &registry_lock()
{
    static std::mutex m;
    return m;
}

inline std::map<const pylox_dev_t *, std::shared_ptr<callbacks>> &registry()
{
    static std::map<const pylox_dev_t *, std::shared_ptr<callbacks>> r;
    return r;
}

inline std::shared_ptr<callbacks> find(const pylox_dev_t *dev)
{
    std::lock_guard<std::mutex> lk(registry_lock());
    auto it = registry().find(dev);
    return it == registry().end() ? nullptr : it->second;
}

inline std::shared_ptr<callbacks> slot(const pylox_dev_t *dev)
{
    std::lock_guard<std::mutex> lk(registry_lock());
    auto &p = registry()[dev];
    if (!p)
        p = std::make_shared<callbacks>();
    return p;
}

inline void forget(const pylox_dev_t *dev)
{
    std::lock_guard<std::mutex> lk(registry_lock());
    registry().erase(dev);
}

// An exception thrown by a callback must not cross the library: it is kept
// and thrown again from the call that ran the callback. Frames that call hands
// out after the exception do not reach the callback.
inline std::exception_ptr &pending()
{
    static thread_local std::exception_ptr e;
    return e;
}

inline void rethrow_pending()
{
    if (std::exception_ptr e = std::exchange(pending(), nullptr))
        std::rethrow_exception(e);
}

inline void on_frame_c(pylox_dev_t *dev, pylox_frame_t *frame)
{
    auto cb = find(dev);
    if (!cb || !cb->frame || pending())
        return;
    try {
        cb->frame(FrameView{frame->info, frame->data, frame->info.frame_size});
    } catch (...) {
        pending() = std::current_exception();
    }
}

inline int on_error_c(pylox_dev_t *dev, int err, uint32_t arg)
{
    auto cb = find(dev);
    if (!cb || !cb->error)
        return 1;
    try {
        return cb->error(err, arg) ? 1 : 0;
    } catch (...) {
        pending() = std::current_exception();
        return 0;
    }
}

// The one hot-plug callback of the process (the C interface has one slot).
// The watcher thread reaches it through the registry, so a watch that is
// replaced or destroyed is never called again, and the callback that runs
// keeps its state alive even when it ends its own watch.
struct hotplug_state {
    std::function<void(const DeviceEntry &, Plug)> cb;
    std::mutex m;
    std::exception_ptr failure; // the first exception of cb; no reports after it
};

inline std::shared_ptr<hotplug_state> &hotplug_active()
{
    static std::shared_ptr<hotplug_state> s;
    return s;
}

inline void on_hotplug_c(const pylox_dev_t *entry, int event, void *user)
{
    std::shared_ptr<hotplug_state> s;
    {
        std::lock_guard<std::mutex> lk(registry_lock());
        s = hotplug_active();
    }
    if (!s || s.get() != user)
        return;
    {
        std::lock_guard<std::mutex> lk(s->m);
        if (s->failure)
            return;
    }
    try {
        s->cb(DeviceEntry{*entry}, event == PYLOX_LL_HOTPLUG_LEFT ? Plug::left : Plug::arrived);
    } catch (...) {
        std::lock_guard<std::mutex> lk(s->m);
        s->failure = std::current_exception();
    }
}

inline int check(const char *call, int r)
{
    if (r <= 0)
        throw Error(call, r);
    return r;
}

} // namespace detail

class Device {
public:
    Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    Device(Device &&o) noexcept : dev_(std::exchange(o.dev_, nullptr)), own_(std::move(o.own_)) {}
    Device &operator=(Device &&o) noexcept
    {
        if (this != &o) {
            close();
            dev_ = std::exchange(o.dev_, nullptr);
            own_ = std::move(o.own_);
        }
        return *this;
    }
    ~Device() { close(); }

    // Opens a listed camera (a copy of its entry becomes the handle).
    static Device open(const DeviceEntry &entry)
    {
        auto h = std::make_unique<pylox_dev_t>(entry.handle);
        h->ctx = nullptr;
        h->api_busy = 0;
        h->free_on_close = 0;
        pylox_dev_t *d = pylox_dev_open(h.get());
        if (!d)
            throw Error("pylox_dev_open", 0);
        Device dev;
        dev.dev_ = d;
        if (d == h.get())
            dev.own_ = std::move(h);
        return dev;
    }
    // The first camera found, on the library's default handle.
    static Device open_first()
    {
        pylox_dev_t *d = pylox_dev_open(nullptr);
        if (!d)
            throw Error("pylox_dev_open", 0);
        return Device(d);
    }
    // A recorded raw frame file played as a camera (default handle).
    static Device open_replay(const std::string &path)
    {
        pylox_dev_t *d = pylox_dev_open_replay(path.c_str());
        if (!d)
            throw Error("pylox_dev_open_replay", 0);
        return Device(d);
    }

    void close() noexcept
    {
        if (!dev_)
            return;
        pylox_dev_close(dev_);
        detail::forget(dev_);
        dev_ = nullptr;
        own_.reset();
    }
    bool is_open() const noexcept { return dev_ != nullptr; }
    pylox_dev_t *handle() const noexcept { return dev_; }
    std::string product() const
    {
        return std::string(h()->product, strnlen(h()->product, sizeof h()->product));
    }

    void start() { detail::check("pylox_cap_start", pylox_cap_start(h())); }
    void stop() { detail::check("pylox_cap_stop", pylox_cap_stop(h())); }
    bool capturing() const { return pylox_cap_is_ongoing(h()) == 1; }
    // Frame ring capacity in frames.
    void set_ring_frames(int frames)
    {
        detail::check("pylox_cap_set_frame_buffer",
                      pylox_cap_set_frame_buffer(h(), nullptr, frames * PYLOX_CAP_FRAME_UNIT));
    }

    // Waits for n frames into dst (back to back); returns how many came.
    int get_frames(int n, void *dst, size_t len, pylox_frame_info_t *first = nullptr)
    {
        const int r = pylox_cap_get_frames(h(), n, dst, clamp(len), first);
        detail::rethrow_pending();
        if (r < 0)
            throw Error("pylox_cap_get_frames", r);
        return r;
    }
    // Waits for one frame; throws when none came.
    Frame get_frame_wait(size_t max_bytes = default_frame_bytes)
    {
        Frame f;
        f.data.resize(max_bytes);
        if (get_frames(1, f.data.data(), f.data.size(), &f.info) != 1)
            throw Error("pylox_cap_get_frames", 0);
        f.data.resize(std::min<size_t>(f.info.frame_size, max_bytes));
        return f;
    }
    // One frame, starting and stopping capture around it when needed.
    Frame snapshot(size_t max_bytes = default_frame_bytes)
    {
        Frame f;
        f.data.resize(max_bytes);
        detail::check("pylox_cap_snapshot",
                      pylox_cap_snapshot(h(), f.data.data(), clamp(max_bytes), &f.info));
        f.data.resize(std::min<size_t>(f.info.frame_size, max_bytes));
        return f;
    }

    // Callbacks; an empty function removes one.
    void on_frame(std::function<void(const FrameView &)> cb)
    {
        const bool set = static_cast<bool>(cb);
        detail::slot(h())->frame = std::move(cb);
        detail::check(
            "pylox_cap_set_callback_on_frame_ready",
            pylox_cap_set_callback_on_frame_ready(h(), set ? detail::on_frame_c : nullptr));
    }
    // Returns true to go on capturing, false to stop.
    void on_error(std::function<bool(int err, uint32_t arg)> cb)
    {
        const bool set = static_cast<bool>(cb);
        detail::slot(h())->error = std::move(cb);
        detail::check("pylox_cap_set_callback_on_error",
                      pylox_cap_set_callback_on_error(h(), set ? detail::on_error_c : nullptr));
    }
    // Runs the frame callback until capture ends (true) or the timeout passes
    // (false); 0 waits without limit.
    bool wait(int timeout_ms)
    {
        const int r = pylox_cap_wait(h(), timeout_ms);
        detail::rethrow_pending();
        if (r < 0)
            throw Error("pylox_cap_wait", r);
        return r == 1;
    }

    // Parameters: up to 18 value bytes each.
    void set_param(uint32_t id, const void *val, size_t len)
    {
        pylox_param_item_t it{};
        if (len > PYLOX_LL_PARAM_VAL_MAX)
            throw std::invalid_argument("parameter value longer than 18 bytes");
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(len);
        std::memcpy(it.param_val, val, len);
        detail::check("pylox_param_batch_set", pylox_param_batch_set(h(), &it, 1));
    }
    void set_param_u32(uint32_t id, uint32_t v) { set_param(id, &v, sizeof v); }
    std::vector<uint8_t> get_param(uint32_t id, size_t len = 4)
    {
        pylox_param_item_t it{};
        if (len > PYLOX_LL_PARAM_VAL_MAX)
            throw std::invalid_argument("parameter value longer than 18 bytes");
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(len);
        detail::check("pylox_param_batch_get", pylox_param_batch_get(h(), &it, 1));
        return std::vector<uint8_t>(it.param_val,
                                    it.param_val + std::min<size_t>(it.param_val_len, 18));
    }
    uint32_t get_param_u32(uint32_t id)
    {
        const std::vector<uint8_t> v = get_param(id, 4);
        uint32_t r = 0;
        std::memcpy(&r, v.data(), std::min<size_t>(v.size(), 4));
        return r;
    }
    void reg_write(int target, uint32_t base, const std::vector<uint32_t> &vals)
    {
        detail::check(
            "pylox_reg_batch_write",
            pylox_reg_batch_write(h(), target, base, vals.data(), static_cast<int>(vals.size())));
    }
    std::vector<uint32_t> reg_read(int target, uint32_t base, int count)
    {
        std::vector<uint32_t> vals(static_cast<size_t>(count));
        detail::check("pylox_reg_batch_read",
                      pylox_reg_batch_read(h(), target, base, vals.data(), count));
        return vals;
    }

private:
    explicit Device(pylox_dev_t *d) : dev_(d) {}
    pylox_dev_t *h() const
    {
        if (!dev_)
            throw std::logic_error("pylox::Device is not open");
        return dev_;
    }
    static int clamp(size_t len) { return len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len); }

    pylox_dev_t *dev_ = nullptr;
    std::unique_ptr<pylox_dev_t> own_; // the handle, unless it is the library's default
};

// Hot-plug reports for the lifetime of the object: cb(entry, Plug::arrived)
// for each camera on the bus at once, then for cameras arriving, and
// Plug::left for cameras leaving. The entry opens with Device::open. cb runs
// on a thread of the library (on the constructing thread for the cameras
// already present where libusb reports them itself). There is one watch per
// process: a new one replaces the one before, which then reports nothing.
// The destructor ends the watch and waits for a report in progress, unless it
// runs inside cb. An exception of cb ends the reports; failure() holds it and
// rethrow() throws it.
class HotplugWatch {
public:
    using Callback = std::function<void(const DeviceEntry &, Plug)>;

    HotplugWatch() = default;
    explicit HotplugWatch(Callback cb)
    {
        if (!cb)
            throw std::invalid_argument("pylox::HotplugWatch needs a callback");
        auto s = std::make_shared<detail::hotplug_state>();
        s->cb = std::move(cb);
        {
            std::lock_guard<std::mutex> lk(detail::registry_lock());
            detail::hotplug_active() = s;
        }
        state_ = s;
        if (pylox_dev_set_callback_on_hotplug(detail::on_hotplug_c, s.get()) != 1) {
            stop();
            throw Error("pylox_dev_set_callback_on_hotplug", 0);
        }
    }
    HotplugWatch(const HotplugWatch &) = delete;
    HotplugWatch &operator=(const HotplugWatch &) = delete;
    HotplugWatch(HotplugWatch &&o) noexcept : state_(std::move(o.state_)) {}
    HotplugWatch &operator=(HotplugWatch &&o) noexcept
    {
        if (this != &o) {
            stop();
            state_ = std::move(o.state_);
        }
        return *this;
    }
    ~HotplugWatch() { stop(); }

    // Ends the watch (when it is still the process's current one).
    void stop() noexcept
    {
        if (!state_)
            return;
        bool current;
        {
            std::lock_guard<std::mutex> lk(detail::registry_lock());
            current = detail::hotplug_active() == state_;
            if (current)
                detail::hotplug_active().reset();
        }
        if (current)
            pylox_dev_set_callback_on_hotplug(nullptr, nullptr);
        state_.reset();
    }
    // True while this watch is the process's current one.
    bool active() const
    {
        std::lock_guard<std::mutex> lk(detail::registry_lock());
        return state_ && detail::hotplug_active() == state_;
    }
    std::exception_ptr failure() const
    {
        if (!state_)
            return nullptr;
        std::lock_guard<std::mutex> lk(state_->m);
        return state_->failure;
    }
    void rethrow() const
    {
        if (std::exception_ptr e = failure())
            std::rethrow_exception(e);
    }

private:
    std::shared_ptr<detail::hotplug_state> state_;
};

// The library, started for the lifetime of the object.
class Context {
public:
    explicit Context(const std::string &log_file = {})
    {
        detail::check("pylox_init", pylox_init(log_file.empty() ? nullptr : log_file.c_str()));
    }
    ~Context() { pylox_uninit(); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;

    static std::vector<DeviceEntry> list(int max = 16)
    {
        std::vector<pylox_dev_t> h(static_cast<size_t>(max));
        std::memset(h.data(), 0, h.size() * sizeof(pylox_dev_t));
        const int n = pylox_dev_list(h.data(), max);
        std::vector<DeviceEntry> out;
        for (int k = 0; k < n && k < max; ++k)
            out.push_back(DeviceEntry{h[static_cast<size_t>(k)]});
        return out;
    }
    Device open(const DeviceEntry &e) const { return Device::open(e); }
    Device open_first() const { return Device::open_first(); }
    Device open_replay(const std::string &path) const { return Device::open_replay(path); }
    HotplugWatch watch_hotplug(HotplugWatch::Callback cb) const
    {
        return HotplugWatch(std::move(cb));
    }
};

} // namespace pylox

#endif
