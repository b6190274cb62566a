// list, info, stream and record.
#include "cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>

namespace cli {

namespace {

std::string versions_of(const pylox_dev_t *dev)
{
    uint16_t v[3];
    std::memcpy(v, dev->version, sizeof v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "hw %u sw %u bl %u", v[0], v[1], v[2]);
    return buf;
}

std::string serial_of(const pylox_dev_t *dev)
{
    size_t n = PYLOX_LL_PARAM_VAL_MAX;
    while (n > 8 && dev->serial[n - 1] == 0)
        --n;
    return hex(dev->serial, n);
}

double celsius(uint16_t tenths)
{
    return static_cast<int16_t>(tenths) / 10.0;
}

} // namespace

// --- list -------------------------------------------------------------------

int cmd_list(const global_opts &g)
{
    if (!g.replay.empty()) {
        camera cam(g);
        std::printf("0  %s  %s  serial %s  %s\n", cam.describe().c_str(), cam.product().c_str(),
                    serial_of(cam.dev()).c_str(), versions_of(cam.dev()).c_str());
        return 0;
    }
    std::vector<pylox_dev_t> list(16);
    const int n = pylox_dev_list(list.data(), static_cast<int>(list.size()));
    if (n <= 0)
        throw error("no camera found (is it plugged in?)");
    int opened = 0;
    for (int i = 0; i < n && i < static_cast<int>(list.size()); ++i) {
        pylox_dev_t &d = list[static_cast<size_t>(i)];
        const unsigned bus = d.loc.usb.bus, port = d.loc.usb.port, addr = d.loc.usb.addr;
        const std::string speed = usb_speed_name(d.loc.usb.speed);
        if (pylox_dev_open(&d)) {
            std::printf("%d  bus %u port %u addr %u  %s  %s  serial %s  %s\n", i, bus, port, addr,
                        speed.c_str(), field_text(d.product, sizeof d.product).c_str(),
                        serial_of(&d).c_str(), versions_of(&d).c_str());
            pylox_dev_close(&d);
            ++opened;
        } else {
            std::printf("%d  bus %u port %u addr %u  %s  (cannot open: in use or no permission)\n",
                        i, bus, port, addr, speed.c_str());
        }
    }
    return opened == n ? 0 : 1;
}

// Reports cameras arriving and leaving (those on the bus first) until
// interrupted, or for `seconds` when that is positive.
namespace {
volatile std::sig_atomic_t g_watch_stop = 0;
}

int cmd_list_watch(int seconds)
{
    std::signal(SIGINT, [](int) { g_watch_stop = 1; });
    std::signal(SIGTERM, [](int) { g_watch_stop = 1; });
    auto on_plug = [](const pylox_dev_t *d, int event, void *) {
        std::printf("%s  bus %u port %u addr %u  %s\n",
                    event == PYLOX_LL_HOTPLUG_ARRIVED ? "arrived" : "left   ",
                    static_cast<unsigned>(d->loc.usb.bus), static_cast<unsigned>(d->loc.usb.port),
                    static_cast<unsigned>(d->loc.usb.addr),
                    usb_speed_name(d->loc.usb.speed).c_str());
        std::fflush(stdout);
    };
    if (pylox_dev_set_callback_on_hotplug(on_plug, nullptr) != 1)
        throw error("cannot watch the bus");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_watch_stop && (seconds <= 0 || std::chrono::steady_clock::now() < end))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pylox_dev_set_callback_on_hotplug(nullptr, nullptr);
    return 0;
}

// --- info -------------------------------------------------------------------

int cmd_info(const global_opts &g)
{
    camera cam(g);
    pylox_dev_t *dev = cam.dev();
    std::printf("device      %s\n", cam.describe().c_str());
    if (!cam.is_replay())
        std::printf("usb         %s\n", usb_speed_name(dev->loc.usb.speed).c_str());
    std::printf("product     %s\n", cam.product().c_str());
    std::printf("info        %s\n", field_text(dev->info_text, sizeof dev->info_text).c_str());
    std::printf("serial      %s\n", serial_of(dev).c_str());
    std::printf("versions    %s\n", versions_of(dev).c_str());
    const pylox_drv_t *drv = dev->ctx ? dev->ctx->driver : nullptr;
    std::printf("driver      %s\n", drv && drv->name ? drv->name : "(none)");

    uint32_t v = 0;
    auto show_u32 = [&](const char *name, uint32_t id, const char *unit, int bytes) {
        if (param_get_u32(dev, id, v)) {
            if (bytes == 2)
                v &= 0xFFFF;
            else if (bytes == 1)
                v &= 0xFF;
            std::printf("%-11s %u%s\n", name, v, unit);
        } else {
            std::printf("%-11s (not reported)\n", name);
        }
    };
    show_u32("mode", PARAM_DEV_MODE, "", 1);
    show_u32("modulation", PARAM_MOD_FREQ, " Hz", 4);
    show_u32("frame rate", PARAM_FRAME_RATE, " fps", 4);
    show_u32("intg time", PARAM_INTG_TIME, "", 2);
    show_u32("intg time 2", PARAM_INTG_TIME2, "", 2);

    pylox_param_item_t it;
    if (param_get(dev, PARAM_INFO_SENSOR, it) && it.param_val_len >= 6) {
        uint16_t s[3];
        std::memcpy(s, it.param_val, sizeof s);
        std::printf("sensor      p %u chip 0x%04x width %u\n", s[0], s[1], s[2]);
    }
    if (param_get(dev, PARAM_INFO_CALIB, it) && it.param_val_len >= 18) {
        uint32_t dev_ts, pkg_ts, fsize, dsize;
        std::memcpy(&dev_ts, it.param_val + 2, 4);
        std::memcpy(&pkg_ts, it.param_val + 6, 4);
        std::memcpy(&fsize, it.param_val + 10, 4);
        std::memcpy(&dsize, it.param_val + 14, 4);
        if (it.param_val[0] == 1)
            std::printf("calib pkg   in camera: %s, %u bytes (payload %u), time stamp %u\n",
                        it.param_val[1] == 1 ? "zip archive" : "parameter file", fsize, dsize,
                        pkg_ts);
        else
            std::printf("calib pkg   none in camera\n");
    } else {
        std::printf("calib pkg   (not reported)\n");
    }
    if (drv)
        std::printf("calibration %s\n", epc_calc_calib_loaded(const_cast<pylox_drv_t *>(drv))
                                            ? "mounted for the current frequency"
                                            : "none mounted (default scale and offset)");
#if PYLOX_CLI_HAVE_PARAM
    char name[512];
    if (pylox_get_param_absolute_name(dev, name, sizeof name))
        std::printf("param file  %s%s\n", name,
                    access(name, R_OK) == 0 ? "" : " (not on this host; `pylox calib fetch`)");
#endif
    tq_calib_len_param_t lens{};
    if (drv && drv->ops && drv->ops->lens_param_get &&
        drv->ops->lens_param_get(const_cast<pylox_drv_t *>(drv), &lens, 320, 240))
        std::printf("lens        cx %.2f cy %.2f fx %.2f fy %.2f  k1 %.4g k2 %.4g k3 %.4g "
                    "p1 %.4g p2 %.4g\n",
                    lens.cx, lens.cy, lens.fx, lens.fy, lens.k1, lens.k2, lens.k3, lens.p1,
                    lens.p2);
    else
        std::printf("lens        (none from the driver)\n");
    return 0;
}

// --- capture loop shared by stream and record ---------------------------------

namespace {

struct capture_stats {
    uint64_t delivered = 0;     // frames handed to the tool
    uint64_t idx_gaps = 0;      // frames missing between camera frame indices
    uint32_t dropped = 0;       // ring full: frames the library dropped
    uint32_t discarded = 0;     // incomplete or damaged frames thrown away
    uint32_t status_events = 0; // timeouts, stalls, errors reported
    int last_status = 0;
    double temp0 = NAN, temp1 = NAN;
    int last_idx = -1;
};

struct capture_run {
    pylox_dev_t *dev;
    const stream_opts &o;
    std::function<void(const pylox_frame_t &)> sink; // may throw cli::error
    capture_stats st;
    bool limit_reached = false;
    std::string sink_error;
};

capture_run *g_run = nullptr;

void on_frame(pylox_dev_t *, pylox_frame_t *f)
{
    capture_run *r = g_run;
    if (!r || r->limit_reached || !r->sink_error.empty())
        return;
    capture_stats &s = r->st;
    const int idx = f->info.frame_idx;
    if (s.last_idx >= 0)
        s.idx_gaps += static_cast<uint16_t>(idx - s.last_idx - 1);
    s.last_idx = idx;
    s.temp0 = celsius(f->info.temp0);
    s.temp1 = celsius(f->info.temp1);
    try {
        if (r->sink)
            r->sink(*f);
    } catch (const std::exception &e) {
        r->sink_error = e.what();
        return;
    }
    ++s.delivered;
    if (r->o.frames > 0 && s.delivered >= static_cast<uint64_t>(r->o.frames))
        r->limit_reached = true;
}

int on_status(pylox_dev_t *, int err, uint32_t)
{
    if (g_run && err < 0) {
        ++g_run->st.status_events;
        g_run->st.last_status = err;
    }
    return 1;
}

void read_stream_state(pylox_dev_t *dev, capture_stats &s)
{
    if (!dev->ctx || !dev->ctx->stream)
        return;
    tq_stream_state_t st{};
    if (tq_stream_get_state(dev->ctx->stream, &st)) {
        s.dropped = st.frames_dropped;
        s.discarded = st.frames_discarded;
    }
}

std::string stats_line(const capture_stats &s, double fps, uint32_t intg, bool have_intg)
{
    char buf[256];
    int n = std::snprintf(buf, sizeof buf,
                          "%6.1f fps  frames %llu  dropped %u  discarded %u  missed %llu", fps,
                          static_cast<unsigned long long>(s.delivered), s.dropped, s.discarded,
                          static_cast<unsigned long long>(s.idx_gaps));
    if (!std::isnan(s.temp0))
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "  temp %.1f/%.1f C",
                           s.temp0, s.temp1);
    if (have_intg)
        std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "  intg %u", intg);
    return buf;
}

// Runs capture until the limits, the end of a replay, or Ctrl-C. Returns the
// statistics; prints the updating line when `live`.
capture_stats run_capture(camera &cam, const stream_opts &o,
                          std::function<void(const pylox_frame_t &)> sink, const char *verb)
{
    pylox_dev_t *dev = cam.dev();
    if (o.fps >= 0 && !param_set_u32(dev, PARAM_FRAME_RATE, static_cast<uint32_t>(o.fps), 4))
        throw error("the camera did not take frame rate " + std::to_string(o.fps));
    uint32_t intg = 0;
    bool have_intg = !cam.is_replay() && param_get_u32(dev, PARAM_INTG_TIME, intg);
    intg &= 0xFFFF;

    capture_run run{dev, o, std::move(sink), {}, false, {}};
    g_run = &run;
    pylox_cap_set_callback_on_frame_ready(dev, on_frame);
    pylox_cap_set_callback_on_error(dev, on_status);
    install_interrupt_handler();
    if (!pylox_cap_start(dev)) {
        g_run = nullptr;
        throw error("capture did not start (run with -v for the library's reason)");
    }
    const bool live = stdout_is_tty();
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    auto t_line = t0;
    uint64_t frames_at_line = 0;
    double fps = 0;
    bool ended = false;
    for (;;) {
        const int r = pylox_cap_wait(dev, 200);
        const auto now = clock::now();
        if (r == 1)
            ended = true;
        const double since = std::chrono::duration<double>(now - t_line).count();
        if (since >= 1.0) {
            fps = (run.st.delivered - frames_at_line) / since;
            frames_at_line = run.st.delivered;
            t_line = now;
            if (live) {
                read_stream_state(dev, run.st);
                if (!cam.is_replay() && param_get_u32(dev, PARAM_INTG_TIME, intg))
                    intg &= 0xFFFF;
                std::printf("\r%s %s\033[K", verb,
                            stats_line(run.st, fps, intg, have_intg).c_str());
                std::fflush(stdout);
            }
        }
        if (ended || run.limit_reached || !run.sink_error.empty() || g_interrupted)
            break;
        if (o.seconds > 0 && std::chrono::duration<double>(now - t0).count() >= o.seconds)
            break;
    }
    pylox_cap_stop(dev);
    read_stream_state(dev, run.st);
    pylox_cap_set_callback_on_frame_ready(dev, nullptr);
    pylox_cap_set_callback_on_error(dev, nullptr);
    g_run = nullptr;
    const double secs = std::chrono::duration<double>(clock::now() - t0).count();
    const double mean_fps = secs > 0 ? run.st.delivered / secs : 0;
    if (live)
        std::printf("\r\033[K");
    std::printf("%s %s  in %.2f s%s\n", verb, stats_line(run.st, mean_fps, intg, have_intg).c_str(),
                secs,
                g_interrupted              ? " (interrupted)"
                : ended && cam.is_replay() ? " (end of file)"
                                           : "");
    if (!run.sink_error.empty())
        throw error(run.sink_error);
    if (ended && !cam.is_replay() && !g_interrupted)
        throw error(std::string("capture ended by the camera: ") +
                    pylox_error_name(run.st.last_status));
    if (run.st.delivered == 0)
        throw error("no frame arrived");
    if (o.frames > 0 && run.st.delivered < static_cast<uint64_t>(o.frames) && !g_interrupted &&
        !(o.seconds > 0))
        throw error("only " + std::to_string(run.st.delivered) + " of " + std::to_string(o.frames) +
                    " frames arrived");
    return run.st;
}

} // namespace

// --- stream -------------------------------------------------------------------

int cmd_stream(const global_opts &g, const stream_opts &o)
{
    camera cam(g);
    run_capture(cam, o, nullptr, "stream");
    return 0;
}

// --- record -------------------------------------------------------------------

namespace {

std::string format_of(const record_opts &o)
{
    if (!o.format.empty())
        return o.format;
    auto ends = [&](const char *ext) {
        const size_t n = std::strlen(ext);
        return o.out.size() > n && o.out.compare(o.out.size() - n, n, ext) == 0;
    };
    if (ends(".oni"))
        return "oni";
    if (ends(".dist"))
        return "dist";
    if (ends(".raw"))
        return "raw";
    throw error("cannot tell the format of " + o.out + " (use .raw, .dist, .oni or --format)");
}

struct fd_file {
    int fd = -1;
    explicit fd_file(const std::string &path)
    {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            throw error("cannot create " + path + ": " + std::strerror(errno));
    }
    ~fd_file()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

int cmd_record(const global_opts &g, const record_opts &o)
{
    const std::string fmt = format_of(o);
#if !PYLOX_CLI_HAVE_PRODUCTS
    if (fmt != "raw")
        throw error("recording " + fmt + " is not available in this build (no frame products)");
#endif
    camera cam(g);
    [[maybe_unused]] pylox_dev_t *dev = cam.dev();
    const std::string product = cam.product();
    if (product.empty() || product.find(' ') != std::string::npos)
        throw error("the camera's product name '" + product + "' cannot tag a raw file");

    std::unique_ptr<fd_file> file;
    std::vector<float> img;
#if PYLOX_CLI_HAVE_PRODUCTS
    std::vector<float> gray;
    std::vector<uint16_t> u16;
    oni_recorder_t rec{};
    oni_stream_t *depth_stream = nullptr, *ir_stream = nullptr;
    bool oni_open_ok = false;
#endif
    if (fmt == "oni") {
#if PYLOX_CLI_HAVE_PRODUCTS
        if (!oni_open(&rec, o.out.c_str()))
            throw error("cannot create OpenNI recording " + o.out);
        oni_open_ok = true;
#endif
    } else {
        file = std::make_unique<fd_file>(o.out);
    }
    uint64_t written = 0;

    auto sink = [&](const pylox_frame_t &f) {
        const pylox_frame_info_t &fi = f.info;
        const int w = static_cast<int>(fi.width), h = static_cast<int>(fi.height);
        const int pix = w * h;
        if (fmt == "raw") {
            const int n = fi.depth / 2;
            if (fi.depth % 2 || n < 1 || static_cast<uint64_t>(pix) * fi.depth != fi.frame_size)
                throw error("frame of " + std::to_string(fi.frame_size) + " bytes does not fit " +
                            std::to_string(w) + "x" + std::to_string(h) + "x" +
                            std::to_string(fi.depth) + " bytes");
            if (!pylox_frame_save_raw(
                    file->fd, PYLOX_FRAME_SAVE_U16, reinterpret_cast<const uint16_t *>(f.data),
                    static_cast<int>(fi.frame_size / 2), w, h, n, product.c_str()))
                throw error("cannot write " + o.out + " (disk full?)");
#if PYLOX_CLI_HAVE_PRODUCTS
            // The temperatures go beside the samples ("<file>.temps"): the
            // distances of a replay depend on them.
            if (!pylox_frame_save_temps(file->fd, &fi, 1))
                throw error("cannot write the temperatures beside " + o.out);
#endif
            ++written;
            return;
        }
#if PYLOX_CLI_HAVE_PRODUCTS
        img.resize(static_cast<size_t>(pix));
        if (pylox_frame_get_distance(dev, img.data(), pix, f.data, static_cast<int>(fi.frame_size),
                                     &fi) != pix)
            throw error("the library could not decode camera frame " +
                        std::to_string(fi.frame_idx) + " (run with -v for its reason)");
        if (fmt == "dist") {
            if (!pylox_frame_save_distance(file->fd, PYLOX_FRAME_SAVE_F32, img.data(), pix, w, h))
                throw error("cannot write " + o.out + " (disk full?)");
            ++written;
            return;
        }
        gray.resize(static_cast<size_t>(pix));
        if (pylox_frame_get_gray(dev, gray.data(), pix, f.data, static_cast<int>(fi.frame_size),
                                 &fi) != pix)
            throw error("the library could not decode camera frame " +
                        std::to_string(fi.frame_idx) + " (run with -v for its reason)");
        if (!depth_stream) {
            oni_stream_info_t si{TQ_ONI_NODE_DEPTH,
                                 TQ_ONI_PIXEL_DEPTH_1MM,
                                 10000,
                                 static_cast<uint32_t>(w),
                                 static_cast<uint32_t>(h),
                                 2,
                                 30};
            depth_stream = oni_stream_open(&rec, &si);
            si.node_type = TQ_ONI_NODE_IR;
            si.pixel_format = TQ_ONI_PIXEL_GRAY16;
            si.max_depth = 0;
            ir_stream = oni_stream_open(&rec, &si);
            if (!depth_stream || !ir_stream)
                throw error("cannot add streams to " + o.out);
        }
        u16.resize(static_cast<size_t>(pix));
        // Millimetres; pixels without a distance (reserved codes, > 10 m) become 0.
        for (int i = 0; i < pix; ++i) {
            const float mm = img[static_cast<size_t>(i)] * 1000.0f;
            u16[static_cast<size_t>(i)] =
                (mm > 0 && mm < 10000.0f) ? static_cast<uint16_t>(mm + 0.5f) : 0;
        }
        oni_stream_save_frame(depth_stream, u16.data(), static_cast<uint32_t>(pix * 2), 0);
        tq_conv_f32_u16(u16.data(), gray.data(), pix, 1.0f);
        oni_stream_save_frame(ir_stream, u16.data(), static_cast<uint32_t>(pix * 2), 0);
        ++written;
#endif
    };

    capture_stats st;
    try {
        st = run_capture(cam, o.s, sink, "record");
    } catch (...) {
#if PYLOX_CLI_HAVE_PRODUCTS
        if (oni_open_ok)
            oni_close(&rec);
#endif
        throw;
    }
#if PYLOX_CLI_HAVE_PRODUCTS
    if (oni_open_ok)
        oni_close(&rec);
#endif
    const uint64_t lost = st.dropped + st.discarded + st.idx_gaps;
    std::printf("%s: %llu frames written (%s)%s\n", o.out.c_str(),
                static_cast<unsigned long long>(written), fmt.c_str(),
                lost ? "; frames were lost, see dropped/discarded/missed above" : "");
    return 0;
}

} // namespace cli
