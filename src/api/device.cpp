// Device list, open, close and reset.
#include "api/entry.h"
#include "capture/device.h"
#include "core/clock.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>
#include <pylox/pylox_ll.h>
#include <pylox/tq_log.h>
#include <pylox/tq_stream.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

pylox_dev_t g_default_dev;

// Contexts whose handle was closed while an API call still ran in them after
// the close's wait: they stay allocated (and reachable) so that call never
// touches freed memory.
// The list itself is never destroyed, so they stay reachable to the end.
std::mutex g_abandoned_lock;
std::vector<pylox::device *> *g_abandoned = new std::vector<pylox::device *>;

void copy_identity(pylox_dev_t *dev, const pylox_ll_dev_t *ll)
{
    dev->kind = ll->kind;
    dev->loc = ll->loc;
    dev->located = ll->located;
}

void copy_identity(pylox_ll_dev_t *ll, const pylox_dev_t *dev)
{
    ll->kind = dev->kind;
    ll->loc = dev->loc;
    ll->located = dev->located;
}

// The driver descriptor is copied per device, so two cameras of one sensor
// family each keep their own binding and private state.
pylox_drv_t *bind_driver(const pylox_drv_t *row)
{
    auto *drv = static_cast<pylox_drv_t *>(std::malloc(sizeof(pylox_drv_t)));
    if (!drv) {
        LOG_ERR("[%s] malloc failed\n");
        std::exit(-3);
    }
    *drv = *row;
    drv->dev = nullptr;
    drv->priv = nullptr;
    return drv;
}

// Clears the default handle for a new open, all but its api_busy count:
// calls entering and leaving on other threads may hold it at this moment.
void clear_default_handle()
{
    pylox_dev_t *dev = &g_default_dev;
    pylox::publish(dev, nullptr);
    auto *bytes = reinterpret_cast<unsigned char *>(dev);
    const size_t first = offsetof(pylox_dev_t, kind);
    const size_t busy = offsetof(pylox_dev_t, api_busy);
    std::memset(bytes + first, 0, busy - first);
    std::memset(bytes + busy + 1, 0, sizeof(pylox_dev_t) - busy - 1);
}

uint8_t busy_count(pylox_dev_t *dev)
{
    return std::atomic_ref<uint8_t>(dev->api_busy).load();
}

// Waits until no call is counted on the handle, up to 20 s. Returns false on
// a timeout.
bool wait_for_calls(pylox_dev_t *dev)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (busy_count(dev) != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Frees the driver state, the parser and the record.
void destroy_device(pylox::device *d, bool driver_ready)
{
    if (d->pub.driver) {
        if (driver_ready)
            d->pub.driver->ops->uninit(d->pub.driver);
        std::free(d->pub.driver);
    }
    tq_stream_destroy(d->pub.stream);
    pylox::device_destroy(d);
}

// Close steps shared by pylox_dev_close and a reopen of a handle left open.
// The context leaves the handle first, so no new call enters it; capture
// stops, which wakes the calls waiting for frames; the calls still inside
// finish; then the transport closes and the context is freed. Returns false
// false when the handle had no context (another close took it).
bool release_ctx(pylox_dev_t *dev)
{
    pylox::device *d = pylox::unpublish(dev);
    if (!d)
        return false;
    pylox::store(d->pub.is_open, uint8_t{0});
    if (pylox::load(d->pub.is_capturing) && !pylox::cap_stop(d))
        LOG_ERR("[%s] stop capture failed!\n");

    const bool idle = wait_for_calls(dev);
    // A start that was already inside may have started capture again.
    pylox::cap_stop(d);
    pylox_ll_dev_close(&d->pub.ll);
    if (!idle) {
        LOG_WRN("[%s]  api wait timeout\n");
        std::lock_guard<std::mutex> lk(g_abandoned_lock);
        g_abandoned->push_back(d);
        return true;
    }
    destroy_device(d, true);
    return true;
}

// An open that failed: the context leaves the handle (calls the driver made
// during the open may still be counted), the transport closes when it was
// opened, and everything is freed.
pylox_dev_t *open_failed(pylox_dev_t *dev, pylox::device *d, bool ll_open)
{
    if (d) {
        pylox::unpublish(dev, d);
        wait_for_calls(dev);
        if (ll_open)
            pylox_ll_dev_close(&d->pub.ll);
        destroy_device(d, false);
    }
    if (dev->free_on_close)
        std::free(dev);
    return nullptr;
}

// Copies a text item into a 32-character field, zero-padded.
void store_text(char (&field)[32], const pylox_ll_param_t &item)
{
    std::memset(field, 0, sizeof field);
    size_t n = item.len < PYLOX_LL_PARAM_VAL_MAX ? item.len : PYLOX_LL_PARAM_VAL_MAX;
    n = strnlen(reinterpret_cast<const char *>(item.val), n);
    std::memcpy(field, item.val, n);
}

// The application's hot-plug callback, reached from the transport's.
struct hotplug_target {
    pylox_hotplug_cb_t cb;
    void *user;
};
hotplug_target g_hotplug{};

void on_ll_hotplug(const pylox_ll_dev_t *ll, int event, void *user)
{
    const auto *t = static_cast<const hotplug_target *>(user);
    pylox_dev_t entry{};
    copy_identity(&entry, ll);
    t->cb(&entry, event, t->user);
}

} // namespace

extern "C" {

PYLOX_API int pylox_dev_list(pylox_dev_t *dev_list, int dev_list_num)
{
    if (!dev_list || dev_list_num <= 0) {
        LOG_ERR("[%s]   wrong params: dev_list=%p, dev_list_num=%d \n",
                static_cast<void *>(dev_list), dev_list_num);
        return 0;
    }
    std::memset(dev_list, 0, sizeof(pylox_dev_t) * static_cast<size_t>(dev_list_num));
    auto *recs = static_cast<pylox_ll_dev_t *>(
        std::calloc(static_cast<size_t>(dev_list_num), sizeof(pylox_ll_dev_t)));
    if (!recs)
        return 0;
    const int n = pylox_ll_dev_list(recs, dev_list_num);
    for (int i = 0; i < n && i < dev_list_num; ++i)
        copy_identity(&dev_list[i], &recs[i]);
    std::free(recs);
    return n;
}

PYLOX_API pylox_dev_t *pylox_dev_open(pylox_dev_t *dev)
{
    if (!dev) {
        if (pylox::published(&g_default_dev)) {
            LOG_ERR("[%s] default device may not close properly!");
            return nullptr;
        }
        clear_default_handle();
        g_default_dev.kind = PYLOX_LL_KIND_ANY;
        dev = &g_default_dev;
    }
    if (pylox::published(dev)) {
        LOG_WRN("[%s] device not close correctly. close it..\n");
        release_ctx(dev);
    }
    pylox::device *d = pylox::device_create();
    if (!d)
        return open_failed(dev, nullptr, false);
    pylox_dev_ctx_t *ctx = &d->pub;
    copy_identity(&ctx->ll, dev);
    d->opener.store(std::this_thread::get_id());

    LOG_DBG("[%s] open pylox device @ %p\n", static_cast<void *>(dev));
    if (!pylox_ll_dev_open(&ctx->ll)) {
        LOG_ERR("[%s] open device failed!\n");
        return open_failed(dev, d, false);
    }
    copy_identity(dev, &ctx->ll);
    dev->path_prefix = pylox_path_get();

    pylox_ll_param_t items[4] = {};
    items[0].id = PARAM_INFO_TEXT;
    items[1].id = PARAM_INFO_PRODUCT;
    items[2].id = PARAM_INFO_SERIAL;
    items[3].id = PARAM_INFO_VERSION;
    if (!pylox::param_get_raw(ctx, items, 4)) {
        LOG_WRN("[%s]  cannot get info of device\n");
        return open_failed(dev, d, true);
    }
    store_text(dev->info_text, items[0]);
    store_text(dev->product, items[1]);
    std::memset(dev->serial, 0, sizeof dev->serial);
    std::memcpy(dev->serial, items[2].val, std::min<size_t>(items[2].len, PYLOX_LL_PARAM_VAL_MAX));
    std::memset(dev->version, 0, sizeof dev->version);
    std::memcpy(dev->version, items[3].val, std::min<size_t>(items[3].len, sizeof dev->version));

    const pylox_drv_t *row = pylox_drv_find(dev);
    if (!row) {
        char product[sizeof dev->product + 1] = {};
        std::memcpy(product, dev->product, sizeof dev->product);
        LOG_ERR("[%s] cannot find driver for device: product=%s\n", product);
        return open_failed(dev, d, true);
    }
    ctx->driver = bind_driver(row);
    const tq_stream_cfg_t cfg{10};
    ctx->stream = tq_stream_create(&cfg);
    if (!ctx->stream) {
        LOG_ERR("[%s] tq_stream_create failed\n");
        std::exit(-1);
    }
    ctx->is_capturing = 0;
    ctx->stop_req = 1;

    // The handle gets its context now, for the driver's own calls during its
    // set-up; other threads are admitted only once the context is open.
    pylox::publish(dev, d);
    ctx->driver->ops->init(ctx->driver, dev);
    if (ctx->driver->ops->calib_save(ctx->driver, nullptr, 0, 2) < 0)
        LOG_ERR("[%s] Load calibration data failed\n");
    d->opener.store(std::thread::id{});
    pylox::store(ctx->is_open, uint8_t{1});
    return dev;
}

PYLOX_API pylox_dev_t *pylox_dev_open_replay(const char *path)
{
    FILE *f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) {
        LOG_ERR("[%s] open file failed: %s\n", path ? path : "(null)");
        return nullptr;
    }
    if (pylox::published(&g_default_dev)) {
        // The default handle is still open: leave it alone rather than lose it.
        LOG_ERR("[%s] default device may not close properly!");
        std::fclose(f);
        return nullptr;
    }
    clear_default_handle();
    g_default_dev.kind = PYLOX_LL_KIND_FILE;
    g_default_dev.loc.file = f;
    LOG_DBG("[%s] open replay file: %s\n", path);
    pylox_dev_t *dev = pylox_dev_open(&g_default_dev);
    if (!dev) {
        std::fclose(f);
        clear_default_handle();
    }
    return dev;
}

PYLOX_API pylox_dev_t *pylox_dev_open_by_fd(int)
{
    LOG_ERR("[%s] pylox_dev_open_by_fd currently only support in android!\n");
    return nullptr;
}

PYLOX_API void pylox_dev_close(pylox_dev_t *dev)
{
    LOG_DBG("[%s] close pylox device @ %p\n", static_cast<void *>(dev));
    if (!dev || !release_ctx(dev))
        return;
    if (dev->kind == PYLOX_LL_KIND_FILE && dev->loc.file) {
        std::fclose(dev->loc.file);
        dev->loc.file = nullptr;
    }
    if (dev->free_on_close)
        std::free(dev);
}

PYLOX_API int pylox_dev_reset(pylox_dev_t *dev, int target)
{
    LOG_DBG("[%s] rest device (target=%d)\n", target);
    pylox::entry call(dev, __func__);
    if (!call)
        return 0;
    if (target < 0 || target > 8) {
        LOG_ERR("[%s] wrong reset target: %d\n", target);
        return 0;
    }
    return pylox::dev_reset(call.dev(), target);
}

PYLOX_API int pylox_dev_set_callback_on_hotplug(pylox_hotplug_cb_t cb, void *user)
{
    // The watcher is stopped before the target changes under it.
    pylox_ll_hotplug_register(nullptr, nullptr);
    if (!cb)
        return 1;
    g_hotplug = {cb, user};
    return pylox_ll_hotplug_register(on_ll_hotplug, &g_hotplug);
}

} // extern "C"
