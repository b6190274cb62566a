// Library start-up, opening the camera or replay, parameters and filters.
#include "cli.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

volatile int g_interrupted = 0;

namespace {
void on_sigint(int)
{
    g_interrupted = 1;
}
} // namespace

void install_interrupt_handler()
{
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool stdout_is_tty()
{
    return isatty(STDOUT_FILENO) != 0;
}

library::library(const global_opts &g)
{
    // The library always opens a log file; without --log it goes nowhere.
    pylox_init(g.log_file.empty() ? "/dev/null" : g.log_file.c_str());
    pylox_log_cfg(g.verbose ? TQ_LOG_WRN : TQ_LOG_NONE,
                  g.log_file.empty() ? TQ_LOG_NONE : TQ_LOG_DBG, TQ_LOG_NONE);
    if (!g.param_dir.empty()) {
        // The library puts its prefix in front of file names as it stands (and
        // cuts a long one short, which would name another folder).
        std::string dir = g.param_dir;
        if (dir.back() != '/')
            dir += '/';
        // The driver keeps a parameter file's name in 63 characters, and
        // "pylox_param_<id>.bin" takes up to 27 of them.
        constexpr size_t k_max_dir = 63 - 27;
        if (dir.size() > k_max_dir)
            throw error("--param-dir " + g.param_dir +
                        " is too long: the library names "
                        "parameter files in 63 characters, which leaves " +
                        std::to_string(k_max_dir) + " for the folder");
        struct stat st {};
        if (pylox_path_cfg(dir.c_str()) != 0 || dir != pylox_path_get() ||
            ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            access(dir.c_str(), W_OK) != 0) {
            pylox_uninit();
            throw error("cannot use " + g.param_dir + " as the folder of parameter files");
        }
    }
}

library::~library()
{
    pylox_uninit();
}

camera::camera(const global_opts &g)
{
    if (!g.replay.empty()) {
        struct stat st {};
        if (::stat(g.replay.c_str(), &st) != 0)
            throw error("cannot open " + g.replay + ": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            throw error(g.replay + " is not a file");
        dev_ = pylox_dev_open_replay(g.replay.c_str());
        if (!dev_)
            throw error(g.replay + " is not a raw frame recording the library can play");
        replay_ = true;
        path_ = g.replay;
        param_set_u32(dev_, PARAM_FRAME_RATE, static_cast<uint32_t>(g.replay_fps), 4);
    } else {
        list_.resize(16);
        const int n = pylox_dev_list(list_.data(), static_cast<int>(list_.size()));
        if (n <= 0)
            throw error("no camera found (is it plugged in? --replay FILE plays a recording)");
        if (g.device >= n)
            throw error("no camera " + std::to_string(g.device) + ": " + std::to_string(n) +
                        " camera(s) found");
        dev_ = pylox_dev_open(&list_[static_cast<size_t>(g.device)]);
        if (!dev_)
            throw error("cannot open camera " + std::to_string(g.device) +
                        " (in use, not answering, or no permission: the udev rules of "
                        "packaging/, share/pylox/udev when installed, let users open it; "
                        "run with -v)");
    }
    apply_filters(dev_, g, false);
}

camera::~camera()
{
    if (dev_) {
        if (pylox_cap_is_ongoing(dev_) > 0)
            pylox_cap_stop(dev_);
        pylox_dev_close(dev_);
    }
}

std::string camera::product() const
{
    return field_text(dev_->product, sizeof dev_->product);
}

std::string camera::describe() const
{
    if (replay_)
        return "replay " + path_;
    char buf[64];
    std::snprintf(buf, sizeof buf, "bus %u port %u addr %u", dev_->loc.usb.bus, dev_->loc.usb.port,
                  dev_->loc.usb.addr);
    return buf;
}

std::string field_text(const void *p, size_t n)
{
    const char *c = static_cast<const char *>(p);
    std::string s(c, strnlen(c, n));
    for (char &ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7e)
            ch = '?';
    return s;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string usb_speed_name(int speed)
{
    switch (speed) {
    case 1:
        return "low speed";
    case 2:
        return "full speed";
    case 3:
        return "high speed";
    case 4:
        return "super speed";
    case 5:
        return "super speed+";
    default:
        return "speed unknown";
    }
}

bool param_get(pylox_dev_t *dev, uint32_t id, pylox_param_item_t &out)
{
    out = pylox_param_item_t{};
    out.param_id = id;
    return pylox_param_batch_get(dev, &out, 1) > 0;
}

bool param_get_u32(pylox_dev_t *dev, uint32_t id, uint32_t &v)
{
    pylox_param_item_t it;
    if (!param_get(dev, id, it) || it.param_val_len == 0)
        return false;
    v = 0;
    std::memcpy(&v, it.param_val, std::min<size_t>(it.param_val_len, 4));
    return true;
}

bool param_set_u32(pylox_dev_t *dev, uint32_t id, uint32_t v, int len)
{
    pylox_param_item_t it{};
    it.param_id = id;
    it.param_val_len = static_cast<uint8_t>(len);
    std::memcpy(it.param_val, &v, static_cast<size_t>(len));
    return pylox_param_batch_set(dev, &it, 1) > 0;
}

// --- runtime features ------------------------------------------------------

namespace {

struct filter_row {
    const char *name;
    int id;
    int arg_bytes; // 0 none, 1 unsigned 8 bits, 2 unsigned 16 bits, 4 signed 32 bits
    const char *what;
};

constexpr filter_row k_filters[] = {
    {"lens", 0, 0, "lens undistortion (off by default)"},
    {"calib", 1, 0, "frequency calibration (on when one was mounted)"},
    {"spatial", 2, 1, "spatial filter chain, strength 0..255 (on, 5)"},
    {"amp", 4, 2, "minimum amplitude (on, 30)"},
    {"auto-intg", 5, 2, "automatic integration time, saturation per mille (off)"},
    {"phase-check", 6, 2, "phase-pair sum check (off)"},
    {"temp-monitor", 7, 2, "temperature log every 10 s (on, 75)"},
    {"hdr", 8, 0, "merge of rows of two integration times (off)"},
    {"offset", 9, 4, "distance offset in mm, signed (on, 0)"},
};

const filter_row &filter_row_of(const std::string &name)
{
    for (const filter_row &r : k_filters)
        if (name == r.name || name == std::to_string(r.id))
            return r;
    throw error("unknown feature '" + name + "' (see `pylox filter --list`)");
}

[[maybe_unused]] long parse_long(const std::string &s, const std::string &what)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || errno == ERANGE)
        throw error("not a number for " + what + ": '" + s + "'");
    return v;
}

} // namespace

int filter_id_of(const std::string &name)
{
    return filter_row_of(name).id;
}

void print_filter_table()
{
    std::printf("%-13s %3s  %s\n", "feature", "id", "what (default)");
    for (const filter_row &r : k_filters)
        std::printf("%-13s %3d  %s\n", r.name, r.id, r.what);
}

void apply_filters(pylox_dev_t *dev, const global_opts &g, bool report)
{
    if (g.filters_on.empty() && g.filters_off.empty())
        return;
#if PYLOX_CLI_HAVE_FILTER
    for (const std::string &item : g.filters_off) {
        const filter_row &r = filter_row_of(item);
        const int rc = pylox_filter_disable(dev, r.id);
        if (rc < 0)
            throw error("the camera's driver refused to switch " + item + " off");
        if (report)
            std::printf("%-13s off\n", r.name);
    }
    for (const std::string &item : g.filters_on) {
        const size_t eq = item.find('=');
        const filter_row &r = filter_row_of(item.substr(0, eq));
        if (r.arg_bytes == 0 && eq != std::string::npos)
            throw error(std::string("feature ") + r.name + " takes no value");
        if (r.arg_bytes != 0 && eq == std::string::npos)
            throw error(std::string("feature ") + r.name + " needs a value: " + r.name + "=V");
        long v = r.arg_bytes ? parse_long(item.substr(eq + 1), r.name) : 0;
        uint8_t u8 = 0;
        uint16_t u16 = 0;
        int32_t s32 = 0;
        void *arg = nullptr;
        if (r.arg_bytes == 1) {
            if (v < 0 || v > 255)
                throw error(std::string("value of ") + r.name + " out of 0..255");
            u8 = static_cast<uint8_t>(v);
            arg = &u8;
        } else if (r.arg_bytes == 2) {
            if (v < 0 || v > 65535)
                throw error(std::string("value of ") + r.name + " out of 0..65535");
            u16 = static_cast<uint16_t>(v);
            arg = &u16;
        } else if (r.arg_bytes == 4) {
            if (v < INT32_MIN || v > INT32_MAX)
                throw error(std::string("value of ") + r.name + " out of range");
            s32 = static_cast<int32_t>(v);
            arg = &s32;
        }
        const int rc = pylox_filter_enable(dev, r.id, arg);
        if (rc < 0)
            throw error("no driver serves this camera; cannot switch " + item);
        if (report) {
            if (r.id == 1)
                std::printf("%-13s on (%s)\n", r.name,
                            rc ? "calibration loaded" : "no calibration for this frequency");
            else
                std::printf("%-13s on%s%s\n", r.name, r.arg_bytes ? ", value " : "",
                            r.arg_bytes ? std::to_string(v).c_str() : "");
        }
    }
#else
    (void)dev;
    (void)report;
    throw error("switching features is not available in this build (no pylox_filter_enable)");
#endif
}

} // namespace cli
