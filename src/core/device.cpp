// Device list, open, close and reset.
#include "core/clock.h"
#include "core/dev_ctx.h"
#include "core/log.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_drv.h>
#include <pylox/pylox_ll.h>
#include <pylox/tq_log.h>
#include <pylox/tq_stream.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

pylox_dev_t g_default_dev;

// Contexts whose handle was closed while an API call still ran in them after
// the close's wait: they stay allocated (and reachable) so that call never
// touches freed memory.
// The list itself is never destroyed, so they stay reachable to the end.
std::mutex g_abandoned_lock;
std::vector<pylox_dev_ctx_t *> *g_abandoned = new std::vector<pylox_dev_ctx_t *>;

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

pylox_dev_ctx_t *new_ctx(pylox_dev_t *dev)
{
    auto *ctx = static_cast<pylox_dev_ctx_t *>(std::calloc(1, sizeof(pylox_dev_ctx_t)));
    if (ctx)
        copy_identity(&ctx->ll, dev);
    return ctx;
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

// Close steps shared by pylox_dev_close and a reopen of a handle left open:
// stop capture, close the transport, wait for the calls still inside, then
// release what the context holds. Returns false when the context had to be
// abandoned instead of freed.
bool release_ctx(pylox_dev_t *dev)
{
    pylox_dev_ctx_t *ctx = dev->ctx;
    if (pylox::load(ctx->is_capturing) && !pylox_cap_stop(dev))
        LOG_ERR("[%s] stop capture failed!\n");
    pylox_ll_dev_close(&ctx->ll);
    pylox::store(ctx->is_open, uint8_t{0});

    int checks = 0;
    while (std::atomic_ref<uint8_t>(dev->api_busy).load() != 0 && checks < 200) {
        pylox::sleep_ms(100);
        ++checks;
    }
    if (std::atomic_ref<uint8_t>(dev->api_busy).load() != 0) {
        LOG_WRN("[%s]  api wait timeout\n");
        std::lock_guard<std::mutex> lk(g_abandoned_lock);
        g_abandoned->push_back(ctx);
        dev->ctx = nullptr;
        return false;
    }

    pthread_cond_destroy(&ctx->cond);
    pthread_mutex_destroy(&ctx->mutex);
    if (ctx->driver) {
        ctx->driver->ops->uninit(ctx->driver);
        std::free(ctx->driver);
    }
    tq_stream_destroy(ctx->stream);
    std::free(ctx);
    dev->ctx = nullptr;
    return true;
}

pylox_dev_t *open_failed(pylox_dev_t *dev, pylox_dev_ctx_t *ctx)
{
    if (ctx) {
        ctx->is_open = 0;
        std::free(ctx);
    }
    dev->ctx = nullptr;
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
        if (g_default_dev.ctx) {
            LOG_ERR("[%s] default device may not close properly!");
            return nullptr;
        }
        std::memset(&g_default_dev, 0, sizeof g_default_dev);
        g_default_dev.kind = PYLOX_LL_KIND_ANY;
        dev = &g_default_dev;
    }
    if (dev->ctx && dev->ctx->is_open) {
        LOG_WRN("[%s] device not close correctly. close it..\n");
        release_ctx(dev);
    }
    pylox_dev_ctx_t *ctx = dev->ctx;
    if (!ctx) {
        ctx = new_ctx(dev);
        if (!ctx)
            return open_failed(dev, nullptr);
        dev->ctx = ctx;
    }

    LOG_DBG("[%s] open pylox device @ %p\n", static_cast<void *>(dev));
    if (!pylox_ll_dev_open(&ctx->ll)) {
        LOG_ERR("[%s] open device failed!\n");
        return open_failed(dev, ctx);
    }
    copy_identity(dev, &ctx->ll);
    dev->path_prefix = pylox_path_get();
    ctx->is_open = 1;

    pylox_ll_param_t items[4] = {};
    items[0].id = PARAM_INFO_TEXT;
    items[1].id = PARAM_INFO_PRODUCT;
    items[2].id = PARAM_INFO_SERIAL;
    items[3].id = PARAM_INFO_VERSION;
    if (!pylox::param_get_raw(ctx, items, 4)) {
        LOG_WRN("[%s]  cannot get info of device\n");
        pylox_ll_dev_close(&ctx->ll);
        return open_failed(dev, ctx);
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
        pylox_ll_dev_close(&ctx->ll);
        return open_failed(dev, ctx);
    }
    ctx->driver = bind_driver(row);

    if (pthread_cond_init(&ctx->cond, nullptr) != 0) {
        LOG_ERR("[%s] pthread_cond_init failed\n");
        std::exit(-1);
    }
    if (pthread_mutex_init(&ctx->mutex, nullptr) != 0) {
        pthread_cond_destroy(&ctx->cond);
        LOG_ERR("[%s] pthread_mutex_init failed\n");
        std::exit(-1);
    }
    const tq_stream_cfg_t cfg{10};
    ctx->stream = tq_stream_create(&cfg);
    if (!ctx->stream) {
        LOG_ERR("[%s] tq_stream_create failed\n");
        std::exit(-1);
    }

    dev->api_busy = 0;
    ctx->is_capturing = 0;
    ctx->stop_req = 1;
    ctx->driver->ops->init(ctx->driver, dev);
    if (ctx->driver->ops->calib_save(ctx->driver, nullptr, 0, 2) < 0)
        LOG_ERR("[%s] Load calibration data failed\n");
    return dev;
}

PYLOX_API pylox_dev_t *pylox_dev_open_replay(const char *path)
{
    FILE *f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) {
        LOG_ERR("[%s] open file failed: %s\n", path ? path : "(null)");
        return nullptr;
    }
    if (g_default_dev.ctx) {
        // The default handle is still open: leave it alone rather than lose it.
        LOG_ERR("[%s] default device may not close properly!");
        std::fclose(f);
        return nullptr;
    }
    std::memset(&g_default_dev, 0, sizeof g_default_dev);
    g_default_dev.kind = PYLOX_LL_KIND_FILE;
    g_default_dev.loc.file = f;
    LOG_DBG("[%s] open replay file: %s\n", path);
    pylox_dev_t *dev = pylox_dev_open(&g_default_dev);
    if (!dev) {
        std::fclose(f);
        std::memset(&g_default_dev, 0, sizeof g_default_dev);
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
    if (!dev || !dev->ctx)
        return;
    release_ctx(dev);
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
    pylox_dev_ctx_t *ctx = pylox::open_ctx(dev);
    if (!ctx) {
        LOG_ERR("[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    if (target < 0 || target > 8) {
        LOG_ERR("[%s] wrong reset target: %d\n", target);
        return 0;
    }
    pylox::busy_guard busy(dev);
    return pylox_ll_dev_reset(&ctx->ll, target);
}

} // extern "C"
