// Library start-up and shut-down: logging, the path prefix, the transport and
// the global colour map.
#include "api/library.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/path.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_ll.h>
#include <pylox/tq_cmap.h>

#include <cstdio>

namespace {

tq_cmap_t g_cmap;
char g_log_name[64];

} // namespace

namespace pylox {

tq_cmap_t *global_cmap()
{
    return &g_cmap;
}

} // namespace pylox

extern "C" {

PYLOX_API int pylox_init(const char *log_file)
{
    tq_log_enable(0, TQ_LOG_WRN, nullptr);
    pylox::path_set_default();
    if (!log_file || !*log_file) {
        const pylox::wall_time w = pylox::clock_now();
        std::snprintf(g_log_name, sizeof g_log_name, "pylox_%04u%02u%02u.log",
                      static_cast<unsigned>(w.local.tm_year + 1900),
                      static_cast<unsigned>(w.local.tm_mon + 1),
                      static_cast<unsigned>(w.local.tm_mday));
        log_file = g_log_name;
    }
    tq_log_enable(1, TQ_LOG_DBG, log_file);
    PYLOX_LOG_AS(TQ_LOG_INF, "pylox_init", "[%s] \n --- %s %s(compile at %s %s) log start -----\n",
                 "PYLOX", PYLOX_VERSION_TEXT, __DATE__, __TIME__);
    pylox_ll_init();
    tq_cmap_init(&g_cmap, 30000);
    return pylox_param_init();
}

PYLOX_API int pylox_uninit(void)
{
    PYLOX_LOG_AS(TQ_LOG_DBG, "pylox_uninit", "[%s] ----- AL log END ----\n\n");
    tq_cmap_uninit(&g_cmap);
    tq_log_disable();
    pylox_ll_uninit();
    return tq_log_disable();
}

PYLOX_API int pylox_log_cfg(int console_level, int file_level, int usb_level)
{
    pylox_log_set_thresholds(console_level, file_level);
    // The transport's set_debug has no result; the configuration always succeeds.
    pylox_ll_set_debug(usb_level);
    return 1;
}

} // extern "C"
