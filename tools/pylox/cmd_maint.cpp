// calib, flash and filter.
#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace cli {

// --- calib ------------------------------------------------------------------

#if PYLOX_CLI_HAVE_PARAM
namespace {

int show_block(pylox_param_t *, const pylox_param_blk_desc_t *desc, const uint8_t *data,
               uint32_t len, void *arg)
{
    const int idx = *static_cast<int *>(arg);
    std::printf("block %d     type %u, %u bytes", idx, desc->type, len);
    if (desc->type == 1 && len >= 37) {
        // Calibration block: the driver header of the reference images.
        uint32_t freq, payload, w, h, scale;
        float box;
        int16_t tcb, tib;
        std::memcpy(&freq, data, 4);
        std::memcpy(&box, data + 8, 4);
        std::memcpy(&tcb, data + 16, 2);
        std::memcpy(&tib, data + 18, 2);
        std::memcpy(&payload, data + 21, 4);
        std::memcpy(&w, data + 25, 4);
        std::memcpy(&h, data + 29, 4);
        std::memcpy(&scale, data + 33, 4);
        std::printf(": calibration at %.3f MHz, %u reference images %ux%u, box %.1f cm, "
                    "temps %.1f/%.1f C, phase scale %u",
                    freq / 1e6, data[20], w ? w : 320, h ? h : 240, box, tcb / 10.0, tib / 10.0,
                    scale ? scale : 30000);
        (void)payload;
    }
    std::printf("\n");
    return 1;
}

void show_param_file(const std::string &path)
{
    pylox_param_t p{};
    if (access(path.c_str(), R_OK) != 0)
        throw error("cannot read " + path + ": " + std::strerror(errno));
    if (!pylox_param_open_file(&p, path.c_str()))
        throw error(path + " is not a valid parameter file (header, checksum or blocks)");
    const std::string lens = field_text(p.hdr.lens_name, sizeof p.hdr.lens_name);
    std::printf("file        %s\n", path.c_str());
    std::printf("version     %u, time stamp %u, %d block(s)\n", p.hdr.ver, p.hdr.ts,
                pylox_param_get_blk_cnt(&p));
    if (!lens.empty())
        std::printf("lens        %s, centre %.1f %.1f\n", lens.c_str(), p.hdr.cx, p.hdr.cy);
    const int n = pylox_param_get_blk_cnt(&p);
    int bad = 0;
    for (int i = 0; i < n; ++i)
        if (!pylox_param_parse_blk(&p, i, show_block, &i))
            ++bad;
    pylox_param_close(&p);
    if (bad)
        throw error(std::to_string(bad) + " block(s) of " + path + " could not be read");
}

// True when the parameter file is there and verifies.
bool param_file_ok(const std::string &name)
{
    pylox_param_t p{};
    if (!pylox_param_open_file(&p, name.c_str()))
        return false;
    pylox_param_close(&p);
    return true;
}

std::string param_name(pylox_dev_t *dev)
{
    char name[1024];
    if (!pylox_get_param_absolute_name(dev, name, sizeof name))
        throw error("the camera did not give the identity its parameter file is named by");
    return name;
}

} // namespace
#endif

int cmd_calib(const global_opts &g, const calib_opts &o)
{
#if !PYLOX_CLI_HAVE_PARAM
    (void)g;
    (void)o;
    throw error("calib is not available in this build (no parameter store in the library)");
#else
    const std::string action = o.action.empty() ? "show" : o.action;
    if (action == "show" && !o.file.empty()) {
        show_param_file(o.file);
        return 0;
    }
    if (!o.file.empty())
        throw error("--file goes with show only");
    // Opening a camera fetches its package by itself when the host has no
    // (or an older) parameter file: a file written since now came from this run.
    timespec started{};
    clock_gettime(CLOCK_REALTIME_COARSE, &started); // the clock file times come from
    std::unique_ptr<camera> cam = std::make_unique<camera>(g);
    if (action != "show" && cam->is_replay())
        throw error("a replay holds no calibration package to " + action);
    auto mounted = [&] {
        pylox_drv_t *drv = cam->dev()->ctx ? cam->dev()->ctx->driver : nullptr;
        return drv && epc_calc_calib_loaded(drv);
    };
    if (action == "show") {
        const std::string name = param_name(cam->dev());
        std::printf("mounted     %s\n", mounted() ? "yes, for the current modulation frequency"
                                                  : "no (default scale and offset)");
        if (access(name.c_str(), F_OK) != 0)
            throw error("no parameter file " + name + " on this host (`pylox calib fetch`)");
        show_param_file(name);
        return 0;
    }
    const std::string name = param_name(cam->dev());
    bool fetched = false;
    if (action == "fetch" && param_file_ok(name)) {
        struct stat st {};
        const bool new_file =
            ::stat(name.c_str(), &st) == 0 &&
            (st.st_mtim.tv_sec > started.tv_sec ||
             (st.st_mtim.tv_sec == started.tv_sec && st.st_mtim.tv_nsec >= started.tv_nsec));
        if (!new_file) {
            std::printf("%s is already on this host (`pylox calib refresh` fetches it again)\n",
                        name.c_str());
            return 0;
        }
        std::printf("fetched the calibration package from the camera as it opened\n");
        fetched = true;
    }
    if (!fetched) {
        std::printf("fetching the calibration package from the camera...\n");
        std::fflush(stdout);
        if (!pylox_param_load_from_dev(cam->dev()))
            throw error("the camera gave no usable calibration package (run with -v for details)");
        if (!param_file_ok(name))
            throw error("the fetched parameter file " + name + " does not verify");
    }
    if (!fetched) { // opening again mounts the new calibration
        cam.reset();
        cam = std::make_unique<camera>(g);
    }
    std::printf("stored %s; calibration %s\n", name.c_str(),
                mounted() ? "mounted" : "not mounted (none for the current frequency)");
    return 0;
#endif
}

// --- flash ------------------------------------------------------------------

int cmd_flash(const global_opts &g, const flash_opts &o)
{
    const bool firmware = o.action == "firmware";
    const int type = o.type >= 0 ? o.type : firmware ? 0 : -1;
    if (type < 0)
        throw error("give the image type with --type");
    if (firmware && type > 1)
        throw error("firmware types are 0 (application) and 1 (boot loader)");
    if (o.action != "upload") {
        struct stat st {};
        if (::stat(o.file.c_str(), &st) != 0)
            throw error("cannot read " + o.file + ": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode) || st.st_size == 0)
            throw error(o.file + " is empty or not a file");
        // Types 0..3 write flash that the camera needs to work; the camera must not lose
        // power while it writes them.
        if (type <= 3 && !o.yes)
            throw error("writing image type " + std::to_string(type) + " replaces the camera's " +
                        (type <= 1 ? "firmware" : "calibration") + "; confirm with --yes");
    }
    camera cam(g);
    if (cam.is_replay())
        throw error("flash needs a camera; a replay has no flash");
    pylox_dev_t *dev = cam.dev();
    if (o.action == "upload") {
        ::unlink(o.file.c_str());
        const int rc = pylox_data_upload(dev, static_cast<uint8_t>(type), o.file.c_str());
        struct stat st {};
        if (rc != 1 && ::stat(o.file.c_str(), &st) != 0)
            throw error("slot " + std::to_string(type) +
                        " could not be read (empty, or the "
                        "transfer failed; run with -v)");
        if (rc != 1)
            throw error("upload of slot " + std::to_string(type) + " failed");
        if (::stat(o.file.c_str(), &st) != 0)
            throw error("slot " + std::to_string(type) + " holds no image");
        std::printf("uploaded slot %d: %lld bytes to %s\n", type,
                    static_cast<long long>(st.st_size), o.file.c_str());
        return 0;
    }
    if (type <= 3)
        std::printf("writing slot %d; do not unplug the camera until this ends (%s)\n", type,
                    type <= 1 ? "about 20 s" : "about 10 s");
    std::fflush(stdout);
    const int rc = firmware
                       ? pylox_firmware_upgrade(dev, static_cast<uint8_t>(type),
                                                static_cast<uint16_t>(o.version), o.file.c_str())
                       : pylox_data_download(dev, o.file.c_str(), static_cast<uint8_t>(type),
                                             static_cast<uint16_t>(o.version), 0);
    // Downloads of the flash-writing types switch the library's log off; back on.
    pylox_log_cfg(g.verbose ? TQ_LOG_WRN : TQ_LOG_NONE,
                  g.log_file.empty() ? TQ_LOG_NONE : TQ_LOG_DBG, TQ_LOG_NONE);
    if (rc == PYLOX_DATA_INCOMPLETE)
        throw error("the camera stopped taking the image; slot " + std::to_string(type) +
                    " may hold a partly written image");
    if (rc != PYLOX_DATA_OK)
        throw error("download to slot " + std::to_string(type) + " failed (code " +
                    std::to_string(rc) + ")");
    std::printf("%s %s into slot %d\n", firmware ? "firmware upgraded from" : "downloaded",
                o.file.c_str(), type);
    return 0;
}

// --- filter -----------------------------------------------------------------

int cmd_filter(const global_opts &g, bool list_only)
{
    if (list_only || (g.filters_on.empty() && g.filters_off.empty())) {
        print_filter_table();
        if (!list_only)
            std::printf("\nswitch with --on NAME[=V] / --off NAME here, or with --filter / "
                        "--no-filter on stream, record and convert\n");
        return 0;
    }
#if !PYLOX_CLI_HAVE_FILTER
    throw error("switching features is not available in this build (no pylox_filter_enable)");
#else
    global_opts plain = g;
    plain.filters_on.clear();
    plain.filters_off.clear();
    camera cam(plain);
    apply_filters(cam.dev(), g, true);
    std::printf("(switches last while a program keeps the camera open)\n");
    return 0;
#endif
}

} // namespace cli
