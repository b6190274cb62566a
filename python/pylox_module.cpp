// The Python module "pylox": cameras and recordings as context managers,
// frames and images as numpy arrays, over the library's C interface.
#include <pylox/pylox.h>

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

bool g_started = false;

void ensure_started()
{
    if (!g_started) {
        pylox_init(nullptr);
        g_started = true;
    }
}

py::dict info_dict(const pylox_frame_info_t &fi)
{
    py::dict d;
    d["frame_size"] = fi.frame_size;
    d["frame_format"] = fi.frame_format;
    d["frame_idx"] = fi.frame_idx;
    d["width"] = fi.width;
    d["height"] = fi.height;
    d["depth"] = fi.depth;
    d["temp0"] = fi.temp0 / 10.0;
    d["temp1"] = fi.temp1 / 10.0;
    d["time_us"] = PYLOX_FRAME_TIME_US(&fi);
    return d;
}

py::dict entry_dict(const pylox_dev_t &e)
{
    py::dict d;
    d["kind"] = e.kind;
    d["bus"] = e.loc.usb.bus;
    d["port"] = e.loc.usb.port;
    d["address"] = e.loc.usb.addr;
    d["speed"] = e.loc.usb.speed;
    return d;
}

// An open camera or recording. Listed cameras get a handle of their own; the
// default handle (first camera, recordings) belongs to the library.
class Device {
public:
    explicit Device(pylox_dev_t *dev, std::unique_ptr<pylox_dev_t> own)
        : dev_(dev), own_(std::move(own))
    {
    }
    ~Device() { close(); }

    void close()
    {
        if (!dev_)
            return;
        pylox_dev_t *d = dev_;
        dev_ = nullptr;
        py::gil_scoped_release unlocked;
        pylox_dev_close(d);
        own_.reset();
    }
    bool is_open() const { return dev_ != nullptr; }
    std::string product() const
    {
        const pylox_dev_t *d = h();
        return std::string(d->product, strnlen(d->product, sizeof d->product));
    }
    void start() { check("pylox_cap_start", pylox_cap_start(h())); }
    void stop() { check("pylox_cap_stop", pylox_cap_stop(h())); }
    bool capturing() const { return pylox_cap_is_ongoing(h()) == 1; }

    // One frame as 16-bit samples (frame_size / 2 of them) and its information;
    // None when capture ended or no frame came in time.
    py::object get_frame()
    {
        std::vector<uint8_t> buf(320u * 240u * 8u);
        pylox_frame_info_t fi{};
        int r;
        pylox_dev_t *d = h();
        {
            py::gil_scoped_release unlocked;
            r = pylox_cap_get_frames(d, 1, buf.data(), static_cast<int>(buf.size()), &fi);
        }
        if (r < 0 && r != -2)
            throw std::runtime_error("pylox_cap_get_frames failed (" + std::to_string(r) + ")");
        if (r != 1)
            return py::none();
        const size_t n = std::min<size_t>(fi.frame_size, buf.size()) / 2;
        py::array_t<uint16_t> a(static_cast<py::ssize_t>(n));
        std::memcpy(a.mutable_data(), buf.data(), n * 2);
        return py::make_tuple(a, info_dict(fi));
    }

    // Distances in metres / gray values of a frame from get_frame, as a
    // height x width float32 image.
    py::array_t<float> frame_product(const py::array_t<uint16_t, py::array::c_style> &samples,
                                     const py::dict &info, bool distance)
    {
        pylox_frame_info_t fi = info_of(info);
        const size_t n = static_cast<size_t>(fi.width) * fi.height;
        if (n == 0 || n > (1u << 24) || static_cast<size_t>(samples.size()) * 2 < fi.frame_size)
            throw std::invalid_argument("samples and frame information do not agree");
        py::array_t<float> img(
            {static_cast<py::ssize_t>(fi.height), static_cast<py::ssize_t>(fi.width)});
        int r;
        pylox_dev_t *d = h();
        {
            py::gil_scoped_release unlocked;
            const auto *src = reinterpret_cast<const uint8_t *>(samples.data());
            r = distance ? pylox_frame_get_distance(d, img.mutable_data(), static_cast<int>(n), src,
                                                    static_cast<int>(fi.frame_size), &fi)
                         : pylox_frame_get_gray(d, img.mutable_data(), static_cast<int>(n), src,
                                                static_cast<int>(fi.frame_size), &fi);
        }
        check(distance ? "pylox_frame_get_distance" : "pylox_frame_get_gray", r);
        return img;
    }
    // Points (x, y, z per valid pixel) of a distance image, as an N x 3 array.
    py::array_t<float> point_cloud(const py::array_t<float, py::array::c_style> &dist,
                                   py::object lens_obj)
    {
        pylox_lens_param_t lens{};
        const bool has_lens = !lens_obj.is_none();
        if (has_lens) {
            const auto v = lens_obj.cast<std::vector<float>>();
            if (v.size() != 4 && v.size() != 5)
                throw std::invalid_argument("lens is (cx, cy, fx, fy[, dist_scale])");
            lens = {v[0], v[1], v[2], v[3], v.size() == 5 ? v[4] : 1.0f};
        }
        if (dist.ndim() != 2)
            throw std::invalid_argument("a 2-D distance image is needed");
        const int hgt = static_cast<int>(dist.shape(0));
        const int wid = static_cast<int>(dist.shape(1));
        std::vector<float> pts(static_cast<size_t>(wid) * hgt * 3);
        int n;
        pylox_dev_t *d = h();
        {
            py::gil_scoped_release unlocked;
            n = pylox_frame_get_pcl(d, pts.data(), static_cast<int>(pts.size()), dist.data(),
                                    static_cast<int>(dist.size()), wid, hgt,
                                    has_lens ? &lens : nullptr);
        }
        if (n < 0)
            throw std::runtime_error("pylox_frame_get_pcl failed");
        py::array_t<float> out({static_cast<py::ssize_t>(n), py::ssize_t{3}});
        std::memcpy(out.mutable_data(), pts.data(), static_cast<size_t>(n) * 3 * sizeof(float));
        return out;
    }

    // Resets a part of the camera (target 0..8); the camera's answer. Target 3
    // drops it off the bus: it comes back at a new address, the device opens
    // it again and the call reports false.
    bool reset(int target)
    {
        if (target < 0 || target > 8)
            throw std::invalid_argument("reset targets are 0..8");
        pylox_dev_t *d = h();
        int r;
        {
            py::gil_scoped_release unlocked;
            r = pylox_dev_reset(d, target);
        }
        return r == 1;
    }

    // Runtime features of the sensor driver (FILTER_*), with the value the
    // feature takes where it has one.
    void enable_filter(int id, py::object value)
    {
        uint8_t u8 = 0;
        uint16_t u16 = 0;
        int32_t i32 = 0;
        void *arg = nullptr;
        if (!value.is_none()) {
            const long long v = value.cast<long long>();
            if (id == FILTER_ID_SPATIAL) {
                if (v < 0 || v > 255)
                    throw std::invalid_argument("the spatial filter takes 0..255");
                u8 = static_cast<uint8_t>(v);
                arg = &u8;
            } else if (id == FILTER_ID_OFFSET) {
                if (v < INT32_MIN || v > INT32_MAX)
                    throw std::invalid_argument("the offset is a 32-bit number of mm");
                i32 = static_cast<int32_t>(v);
                arg = &i32;
            } else if (id == FILTER_ID_AMP || id == FILTER_ID_AUTO_INTG ||
                       id == FILTER_ID_PHASE_CHECK || id == FILTER_ID_TEMP_MONITOR) {
                if (v < 0 || v > 65535)
                    throw std::invalid_argument("this feature takes 0..65535");
                u16 = static_cast<uint16_t>(v);
                arg = &u16;
            } else {
                throw std::invalid_argument("this feature takes no value");
            }
        }
        pylox_dev_t *d = h();
        const int r = pylox_filter_enable(d, id, arg);
        if (r < 0)
            throw std::runtime_error("pylox_filter_enable failed (" + std::to_string(r) + ")");
    }
    void disable_filter(int id)
    {
        const int r = pylox_filter_disable(h(), id);
        if (r < 0)
            throw std::runtime_error("pylox_filter_disable failed (" + std::to_string(r) + ")");
    }

    void set_param(uint32_t id, uint64_t value, int length)
    {
        if (length < 1 || length > 8)
            throw std::invalid_argument("length must be 1..8 bytes");
        pylox_param_item_t it{};
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(length);
        std::memcpy(it.param_val, &value, static_cast<size_t>(length));
        check("pylox_param_batch_set", pylox_param_batch_set(h(), &it, 1));
    }
    uint64_t get_param(uint32_t id, int length)
    {
        if (length < 1 || length > 8)
            throw std::invalid_argument("length must be 1..8 bytes");
        pylox_param_item_t it{};
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(length);
        check("pylox_param_batch_get", pylox_param_batch_get(h(), &it, 1));
        uint64_t v = 0;
        std::memcpy(&v, it.param_val, static_cast<size_t>(length));
        return v;
    }

private:
    static pylox_frame_info_t info_of(const py::dict &info)
    {
        pylox_frame_info_t fi{};
        fi.frame_size = info["frame_size"].cast<uint32_t>();
        fi.frame_format = info["frame_format"].cast<uint16_t>();
        fi.frame_idx = info["frame_idx"].cast<uint16_t>();
        fi.width = info["width"].cast<uint32_t>();
        fi.height = info["height"].cast<uint32_t>();
        fi.depth = info["depth"].cast<uint8_t>();
        fi.temp0 = static_cast<uint16_t>(info["temp0"].cast<double>() * 10.0 + 0.5);
        fi.temp1 = static_cast<uint16_t>(info["temp1"].cast<double>() * 10.0 + 0.5);
        const uint64_t t = info["time_us"].cast<uint64_t>();
        fi.reserved2[0] = static_cast<uint32_t>(t);
        fi.reserved2[1] = static_cast<uint32_t>(t >> 32);
        return fi;
    }
    pylox_dev_t *h() const
    {
        if (!dev_)
            throw std::runtime_error("device is closed");
        return dev_;
    }
    static void check(const char *call, int r)
    {
        if (r <= 0)
            throw std::runtime_error(std::string(call) + " failed (" + std::to_string(r) + ")");
    }

    pylox_dev_t *dev_;
    std::unique_ptr<pylox_dev_t> own_;
};

std::unique_ptr<Device> open_entry(py::object entry)
{
    ensure_started();
    if (entry.is_none()) {
        pylox_dev_t *d;
        {
            py::gil_scoped_release unlocked;
            d = pylox_dev_open(nullptr);
        }
        if (!d)
            throw std::runtime_error("no camera could be opened");
        return std::make_unique<Device>(d, nullptr);
    }
    auto own = std::make_unique<pylox_dev_t>();
    std::memset(own.get(), 0, sizeof *own);
    const py::dict e = entry.cast<py::dict>();
    own->kind = e["kind"].cast<uint32_t>();
    own->loc.usb.bus = e["bus"].cast<uint8_t>();
    own->loc.usb.port = e["port"].cast<uint8_t>();
    own->loc.usb.addr = e["address"].cast<uint8_t>();
    own->loc.usb.speed = e["speed"].cast<uint8_t>();
    own->located = 1;
    pylox_dev_t *d;
    {
        py::gil_scoped_release unlocked;
        d = pylox_dev_open(own.get());
    }
    if (!d)
        throw std::runtime_error("the camera could not be opened");
    return std::make_unique<Device>(d, std::move(own));
}

// 2-D uint16 image in, same shape out.
using u16img = py::array_t<uint16_t, py::array::c_style | py::array::forcecast>;

template <typename Fn> u16img filter_u16(const u16img &src, Fn fn)
{
    if (src.ndim() != 2 || src.shape(0) < 2 || src.shape(1) < 2)
        throw std::invalid_argument("a 2-D image of at least 2 x 2 pixels is needed");
    const auto h = static_cast<int32_t>(src.shape(0));
    const auto w = static_cast<int32_t>(src.shape(1));
    u16img dst({src.shape(0), src.shape(1)});
    {
        py::gil_scoped_release unlocked;
        fn(dst.mutable_data(), src.data(), w, h);
    }
    return dst;
}

// The hot-plug callback: a Python callable run on the library's watcher thread.
// Every access happens with the interpreter lock held; the watcher calls a
// reference of its own, so the callback may replace or remove itself.
std::unique_ptr<py::function> g_hotplug;

void on_hotplug(const pylox_dev_t *e, int event, void *)
{
    py::gil_scoped_acquire locked;
    if (!g_hotplug)
        return;
    const py::function fn = *g_hotplug;
    try {
        fn(entry_dict(*e), event == PYLOX_LL_HOTPLUG_ARRIVED ? "arrived" : "left");
    } catch (py::error_already_set &err) {
        err.discard_as_unraisable("pylox hot-plug callback");
    }
}

void set_hotplug(py::object cb)
{
    ensure_started();
    {
        // The watcher ends first: it may be waiting for the interpreter lock.
        py::gil_scoped_release unlocked;
        pylox_dev_set_callback_on_hotplug(nullptr, nullptr);
    }
    g_hotplug.reset(cb.is_none() ? nullptr : new py::function(cb.cast<py::function>()));
    if (cb.is_none())
        return;
    int r;
    {
        py::gil_scoped_release unlocked;
        r = pylox_dev_set_callback_on_hotplug(on_hotplug, nullptr);
    }
    if (r != 1)
        throw std::runtime_error("the hot-plug watcher could not start");
}

} // namespace

PYBIND11_MODULE(pylox, m)
{
    m.doc() = "libpylox: USB time-of-flight depth camera (320 x 240)";
    m.def(
        "init",
        [](const std::string &log_file) {
            if (g_started)
                pylox_uninit();
            pylox_init(log_file.empty() ? nullptr : log_file.c_str());
            g_started = true;
        },
        py::arg("log_file") = "", "Starts the library (log file name, empty: pylox_<date>.log)");
    m.def(
        "list_devices",
        [] {
            ensure_started();
            std::vector<pylox_dev_t> h(16);
            int n;
            {
                py::gil_scoped_release unlocked;
                n = pylox_dev_list(h.data(), static_cast<int>(h.size()));
            }
            py::list out;
            for (int k = 0; k < n && k < 16; ++k)
                out.append(entry_dict(h[static_cast<size_t>(k)]));
            return out;
        },
        "Cameras on the bus: dicts of kind, bus, port, address, speed");
    m.def("open", &open_entry, py::arg("entry") = py::none(),
          "Opens a listed camera, or the first one");
    m.def(
        "open_replay",
        [](const std::string &path) {
            ensure_started();
            pylox_dev_t *d;
            {
                py::gil_scoped_release unlocked;
                d = pylox_dev_open_replay(path.c_str());
            }
            if (!d)
                throw std::runtime_error("cannot replay " + path);
            return std::make_unique<Device>(d, nullptr);
        },
        py::arg("path"), "Plays a raw recording as a camera");
    m.def("set_hotplug_callback", &set_hotplug, py::arg("callback"),
          "callback(entry, 'arrived' | 'left') on a library thread; None removes it. Cameras "
          "already on the bus are reported first.");

    // A watcher thread must not call into an interpreter that is going away.
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { set_hotplug(py::none()); }));

    m.attr("PARAM_FRAME_RATE") = static_cast<int>(PARAM_FRAME_RATE);
    m.attr("PARAM_MOD_FREQ") = static_cast<int>(PARAM_MOD_FREQ);
    m.attr("PARAM_INTG_TIME") = static_cast<int>(PARAM_INTG_TIME);
    m.attr("PARAM_INTG_TIME2") = static_cast<int>(PARAM_INTG_TIME2);
    m.attr("FILTER_LENS_UNDIST") = static_cast<int>(FILTER_ID_LENS_UNDIST);
    m.attr("FILTER_CALIB") = static_cast<int>(FILTER_ID_CALIB);
    m.attr("FILTER_SPATIAL") = static_cast<int>(FILTER_ID_SPATIAL);
    m.attr("FILTER_AMP") = static_cast<int>(FILTER_ID_AMP);
    m.attr("FILTER_AUTO_INTG") = static_cast<int>(FILTER_ID_AUTO_INTG);
    m.attr("FILTER_PHASE_CHECK") = static_cast<int>(FILTER_ID_PHASE_CHECK);
    m.attr("FILTER_TEMP_MONITOR") = static_cast<int>(FILTER_ID_TEMP_MONITOR);
    m.attr("FILTER_HDR") = static_cast<int>(FILTER_ID_HDR);
    m.attr("FILTER_OFFSET") = static_cast<int>(FILTER_ID_OFFSET);

    py::class_<Device>(m, "Device")
        .def("close", &Device::close)
        .def_property_readonly("is_open", &Device::is_open)
        .def_property_readonly("product", &Device::product)
        .def("start", &Device::start)
        .def("stop", &Device::stop)
        .def_property_readonly("capturing", &Device::capturing)
        .def("get_frame", &Device::get_frame,
             "(samples as uint16 array, info dict) or None when capture ended; info['time_us'] "
             "is the arrival time on the host's monotonic clock")
        .def(
            "distance",
            [](Device &d, const py::array_t<uint16_t, py::array::c_style> &s, const py::dict &i) {
                return d.frame_product(s, i, true);
            },
            py::arg("samples"), py::arg("info"), "Distances in metres (height x width float32)")
        .def(
            "gray",
            [](Device &d, const py::array_t<uint16_t, py::array::c_style> &s, const py::dict &i) {
                return d.frame_product(s, i, false);
            },
            py::arg("samples"), py::arg("info"), "Gray (amplitude) image (height x width float32)")
        .def("point_cloud", &Device::point_cloud, py::arg("distance"), py::arg("lens") = py::none(),
             "x, y, z of each valid pixel (0 < d < 60 m) through the camera's lens, or the "
             "given (cx, cy, fx, fy[, dist_scale]) (N x 3)")
        .def("reset", &Device::reset, py::arg("target"),
             "Resets a part of the camera (0..8), True when it acknowledged; 3 drops it off the "
             "bus, "
             "it comes back at a new address and is opened again (and reports False)")
        .def("enable_filter", &Device::enable_filter, py::arg("filter_id"),
             py::arg("value") = py::none(),
             "Switches a feature of the sensor driver on (FILTER_*), with its value: spatial "
             "0..255, amplitude/auto integration/phase check/temperature 0..65535, offset mm")
        .def("disable_filter", &Device::disable_filter, py::arg("filter_id"))
        .def("set_param", &Device::set_param, py::arg("param_id"), py::arg("value"),
             py::arg("length") = 4)
        .def("get_param", &Device::get_param, py::arg("param_id"), py::arg("length") = 4)
        .def("__enter__", [](Device &d) -> Device & { return d; })
        .def("__exit__", [](Device &d, py::args) { d.close(); });

    py::module_ f = m.def_submodule("filters", "Filters over 2-D uint16 images");
    f.def("median3", [](const u16img &s) { return filter_u16(s, tq_median2d_u16_k3); });
    f.def("median5", [](const u16img &s) { return filter_u16(s, tq_median2d_u16_k5); });
    f.def("box3", [](const u16img &s) { return filter_u16(s, tq_box2d_u16_k3); });
    f.def("gauss3", [](const u16img &s) { return filter_u16(s, tq_gauss2d_u16_k3); });
    f.def("fill_holes3", [](const u16img &s) {
        return filter_u16(s, [](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
            tq_fhole_u16_k3(d, p, w, h, 0);
        });
    });
    f.def(
        "flying_pixels",
        [](const u16img &s, uint32_t thr) {
            return filter_u16(s, [thr](uint16_t *d, const uint16_t *p, int32_t w, int32_t h) {
                tq_flypix_u16_k3(d, p, w, h, thr);
            });
        },
        py::arg("image"), py::arg("threshold"));
}
