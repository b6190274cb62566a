// convert and demo: raw frames to depth and gray PNG, PLY point clouds, CSV.
#include "cli.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace cli {

#if PYLOX_CLI_HAVE_PRODUCTS
namespace {

// --- writers ------------------------------------------------------------------

struct file_closer {
    void operator()(FILE *f) const
    {
        if (f)
            std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

file_ptr create(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw error("cannot create " + path + ": " + std::strerror(errno));
    return file_ptr(f);
}

void finish(file_ptr &f, const std::string &path)
{
    const bool bad = std::ferror(f.get()) != 0;
    if (std::fclose(f.release()) != 0 || bad)
        throw error("cannot write " + path + " (disk full?)");
}

// 8-bit PNG of w x h pixels with `channels` bytes each (1 gray, 3 RGB).
void write_png(const std::string &path, const uint8_t *px, int w, int h, int channels)
{
    file_ptr f = create(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw error("cannot set up PNG writing");
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw error("cannot write PNG " + path);
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8,
                 channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; ++y)
        png_write_row(png, px + static_cast<size_t>(y) * static_cast<size_t>(w * channels));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    finish(f, path);
}

bool valid_depth(float d)
{
    return d > 0.0f && d < 60.0f; // the library's reserved codes sit at 65.3 m and above
}

struct depth_summary {
    int valid = 0;
    float min = 0, max = 0;
};

depth_summary summarise(const std::vector<float> &dist)
{
    depth_summary s;
    s.min = std::numeric_limits<float>::max();
    s.max = 0;
    for (float d : dist)
        if (valid_depth(d)) {
            ++s.valid;
            s.min = std::min(s.min, d);
            s.max = std::max(s.max, d);
        }
    if (!s.valid)
        s.min = 0;
    return s;
}

void write_gray_png(const std::string &path, const std::vector<float> &gray, int w, int h)
{
    float top = 0;
    for (float v : gray)
        if (v < 65000.0f) // saturated pixels carry a reserved code
            top = std::max(top, v);
    std::vector<uint8_t> px(gray.size());
    for (size_t i = 0; i < gray.size(); ++i) {
        const float v = gray[i] >= 65000.0f ? 255.0f : top > 0 ? gray[i] * 255.0f / top : 0.0f;
        px[i] = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
    }
    write_png(path, px.data(), w, h, 1);
}

void write_csv(const std::string &path, const std::vector<float> &dist,
               const std::vector<float> &gray, int w, int h)
{
    file_ptr f = create(path);
    std::fprintf(f.get(), "x,y,distance_m,gray\n");
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i =
                static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
            const float d = dist[i];
            if (valid_depth(d))
                std::fprintf(f.get(), "%d,%d,%.4f,%.0f\n", x, y, d, gray[i]);
            else
                std::fprintf(f.get(), "%d,%d,,%.0f\n", x, y, gray[i]);
        }
    finish(f, path);
}

void write_depth_png(const std::string &path, const std::vector<float> &dist, int w, int h,
                     float lo, float hi)
{
    std::vector<uint8_t> rgb(dist.size() * 3);
    const int n = pylox_cmap_float(rgb.data(), static_cast<int>(rgb.size()), dist.data(),
                                   static_cast<int>(dist.size()), PYLOX_CMAP_RGB, lo, hi);
    if (n != static_cast<int>(dist.size()))
        throw error("the library's colour map coloured " + std::to_string(n) + " of " +
                    std::to_string(dist.size()) + " pixels");
    write_png(path, rgb.data(), w, h, 3);
}

// Returns the number of points written.
int write_ply(const std::string &path, pylox_dev_t *dev, const std::vector<float> &dist, int w,
              int h, bool ascii, bool color, float lo, float hi)
{
    std::vector<float> pcl(dist.size() * 4 + 4);
    if (color) { // the colour mode takes the global map's range, set by a colouring
        uint8_t one[3];
        const float v = lo;
        pylox_cmap_float(one, sizeof one, &v, 1, PYLOX_CMAP_RGB, lo, hi);
    }
    const int n =
        pylox_frame_get_pcl_xyzd(dev, pcl.data(), static_cast<int>(pcl.size()), dist.data(),
                                 static_cast<int>(dist.size()), w, h, color ? 1 : 0, nullptr);
    if (n <= 0)
        throw error("the library made no point cloud (no valid pixel, or no lens in the driver)");
    file_ptr f = create(path);
    std::fprintf(f.get(),
                 "ply\nformat %s 1.0\ncomment written by pylox\nelement vertex %d\n"
                 "property float x\nproperty float y\nproperty float z\n",
                 ascii ? "ascii" : "binary_little_endian", n);
    if (color)
        std::fprintf(f.get(), "property uchar red\nproperty uchar green\nproperty uchar blue\n");
    std::fprintf(f.get(), "end_header\n");
    for (int i = 0; i < n; ++i) {
        const float *p = &pcl[static_cast<size_t>(i) * 4];
        // The colour travels as a float holding the packed 24-bit value.
        const uint32_t c = color ? static_cast<uint32_t>(p[3]) : 0;
        const uint8_t rgb[3] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8),
                                static_cast<uint8_t>(c >> 16)};
        if (ascii) {
            std::fprintf(f.get(), "%.5f %.5f %.5f", p[0], p[1], p[2]);
            if (color)
                std::fprintf(f.get(), " %u %u %u", rgb[0], rgb[1], rgb[2]);
            std::fputc('\n', f.get());
        } else {
            std::fwrite(p, sizeof(float), 3, f.get()); // little-endian hosts only
            if (color)
                std::fwrite(rgb, 1, 3, f.get());
        }
    }
    finish(f, path);
    return n;
}

// Frame `index` of a replay, taken through capture as from a camera, so that
// it comes with what the recording keeps besides the samples (temperatures).
struct raw_frame {
    std::vector<uint8_t> data;
    pylox_frame_info_t info{};
    int w = 0, h = 0;
};

raw_frame capture_frame(camera &cam, const std::string &path, int index)
{
    pylox_dev_t *dev = cam.dev();
    param_set_u32(dev, PARAM_FRAME_RATE, 0, 4); // as fast as the file reads
    raw_frame fr;
    fr.data.resize(PYLOX_FRAME_FILE_MAX_BYTES);
    if (!pylox_cap_start(dev))
        throw error("cannot play " + path);
    int rc = 0;
    for (int k = 0; k <= index; ++k) {
        rc = pylox_cap_get_frames(dev, 1, fr.data.data(), static_cast<int>(fr.data.size()),
                                  &fr.info);
        if (rc != 1)
            break;
    }
    pylox_cap_stop(dev);
    if (rc != 1)
        throw error(index == 0 ? path + " holds no raw frame"
                               : path + " has no frame " + std::to_string(index));
    fr.w = static_cast<int>(fr.info.width);
    fr.h = static_cast<int>(fr.info.height);
    if (fr.w <= 0 || fr.h <= 0 || fr.info.frame_size == 0 || fr.info.frame_size > fr.data.size())
        throw error(path + ": frame " + std::to_string(index) + " is not a whole raw frame");
    fr.data.resize(fr.info.frame_size);
    fr.data.shrink_to_fit();
    return fr;
}

void decode(pylox_dev_t *dev, const uint8_t *raw, const pylox_frame_info_t &fi,
            std::vector<float> &dist, std::vector<float> &gray)
{
    const int pix = static_cast<int>(fi.width * fi.height);
    dist.resize(static_cast<size_t>(pix));
    gray.resize(static_cast<size_t>(pix));
    if (pylox_frame_get_distance(dev, dist.data(), pix, raw, static_cast<int>(fi.frame_size),
                                 &fi) != pix ||
        pylox_frame_get_gray(dev, gray.data(), pix, raw, static_cast<int>(fi.frame_size), &fi) !=
            pix)
        throw error("the library could not decode a frame of format " +
                    std::to_string(fi.frame_format) + " (run with -v for its reason)");
}

void make_dir(const std::string &dir)
{
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw error("cannot create folder " + dir + ": " + std::strerror(errno));
}

} // namespace
#endif

// --- convert -------------------------------------------------------------------

int cmd_convert(const global_opts &g0, const convert_opts &o)
{
#if !PYLOX_CLI_HAVE_PRODUCTS
    (void)g0;
    (void)o;
    throw error("convert is not available in this build (no frame products in the library)");
#else
    if (!g0.replay.empty())
        throw error("convert reads its input file itself; drop --replay");
    convert_opts c = o;
    if (!c.out_dir.empty()) {
        make_dir(c.out_dir);
        const std::string d = c.out_dir + "/";
        if (c.depth_png.empty())
            c.depth_png = d + "depth.png";
        if (c.gray_png.empty())
            c.gray_png = d + "gray.png";
        if (c.ply.empty())
            c.ply = d + "cloud.ply";
        if (c.csv.empty())
            c.csv = d + "depth.csv";
    }
    if (c.depth_png.empty() && c.gray_png.empty() && c.ply.empty() && c.csv.empty())
        throw error("nothing to write: give --out-dir, --depth-png, --gray-png, --ply or --csv");
    if (c.range.size() == 2 && !(c.range[0] < c.range[1]))
        throw error("--range needs MIN below MAX");

    // The file plays the camera: its product tag picks the driver that decodes.
    global_opts g = g0;
    g.replay = c.in;
    camera cam(g);
    const raw_frame fr = capture_frame(cam, c.in, c.frame);
    std::vector<float> dist, gray;
    decode(cam.dev(), fr.data.data(), fr.info, dist, gray);
    const depth_summary s = summarise(dist);
    const float lo = c.range.size() == 2 ? c.range[0] : s.min;
    const float hi = c.range.size() == 2 ? c.range[1] : std::max(s.max, lo + 0.001f);
    std::printf("%s frame %d: %dx%d, %d valid pixels, depth %.3f .. %.3f m\n", c.in.c_str(),
                c.frame, fr.w, fr.h, s.valid, s.min, s.max);
    if (!c.depth_png.empty()) {
        write_depth_png(c.depth_png, dist, fr.w, fr.h, lo, hi);
        std::printf("wrote %s\n", c.depth_png.c_str());
    }
    if (!c.gray_png.empty()) {
        write_gray_png(c.gray_png, gray, fr.w, fr.h);
        std::printf("wrote %s\n", c.gray_png.c_str());
    }
    if (!c.ply.empty()) {
        const int n =
            write_ply(c.ply, cam.dev(), dist, fr.w, fr.h, c.ply_ascii, c.ply_color, lo, hi);
        std::printf("wrote %s (%d points)\n", c.ply.c_str(), n);
    }
    if (!c.csv.empty()) {
        write_csv(c.csv, dist, gray, fr.w, fr.h);
        std::printf("wrote %s\n", c.csv.c_str());
    }
    return 0;
#endif
}

// --- demo ----------------------------------------------------------------------

#if PYLOX_CLI_HAVE_PRODUCTS
namespace {

// The bundled sample: next to the installed tool (<prefix>/share/pylox), where
// it was to be installed, or in the sources the tool was built from.
std::string bundled_sample()
{
    std::vector<std::string> places;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir.erase(dir.find_last_of('/') + 1);
        places.push_back(dir + "../share/pylox/samples/vcam_box_e2.raw");
    }
    places.push_back(PYLOX_CLI_SAMPLE);
    places.push_back(PYLOX_CLI_SAMPLE_SRC);
    for (const std::string &p : places)
        if (access(p.c_str(), R_OK) == 0)
            return p;
    throw error("the bundled sample is missing; give a recording: pylox demo FILE");
}

} // namespace
#endif

int cmd_demo(const global_opts &g0, const demo_opts &o)
{
#if !PYLOX_CLI_HAVE_PRODUCTS
    (void)g0;
    (void)o;
    throw error("demo is not available in this build (no frame products in the library)");
#else
    global_opts g = g0;
    g.replay = o.in.empty() ? bundled_sample() : o.in;
    g.replay_fps = o.fps;
    camera cam(g);
    pylox_dev_t *dev = cam.dev();
    std::printf("replaying %s (product %s)\n", g.replay.c_str(), cam.product().c_str());

    // Frames arrive through capture as from a camera; the last one is kept.
    static std::vector<uint8_t> last;
    static pylox_frame_info_t last_info;
    static unsigned frames;
    static long long valid_sum;
    static float dmin, dmax;
    frames = 0;
    valid_sum = 0;
    dmin = std::numeric_limits<float>::max();
    dmax = 0;
    static pylox_dev_t *s_dev;
    s_dev = dev;
    pylox_cap_set_callback_on_frame_ready(dev, [](pylox_dev_t *, pylox_frame_t *f) {
        last.assign(f->data, f->data + f->info.frame_size);
        last_info = f->info;
        std::vector<float> dist, gray;
        try {
            decode(s_dev, last.data(), last_info, dist, gray);
        } catch (const error &) {
            return;
        }
        const depth_summary s = summarise(dist);
        ++frames;
        valid_sum += s.valid;
        if (s.valid) {
            dmin = std::min(dmin, s.min);
            dmax = std::max(dmax, s.max);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    if (!pylox_cap_start(dev))
        throw error("capture of the replay did not start");
    while (pylox_cap_wait(dev, 1000) == 0) {
    }
    pylox_cap_stop(dev);
    pylox_cap_set_callback_on_frame_ready(dev, nullptr);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (frames == 0)
        throw error("the library could not decode any frame of " + g.replay +
                    " (run with -v for its reason)");

    make_dir(o.out_dir);
    std::vector<float> dist, gray;
    decode(dev, last.data(), last_info, dist, gray);
    const int w = static_cast<int>(last_info.width), h = static_cast<int>(last_info.height);
    const std::string d = o.out_dir + "/";
    write_depth_png(d + "depth.png", dist, w, h, dmin, std::max(dmax, dmin + 0.001f));
    write_gray_png(d + "gray.png", gray, w, h);
    const int points = write_ply(d + "cloud.ply", dev, dist, w, h, false, true, dmin,
                                 std::max(dmax, dmin + 0.001f));
    std::printf("frames      %u of %ux%u in %.3f s (%.1f fps)\n", frames, w, h, secs,
                secs > 0 ? frames / secs : 0.0);
    // Frames the pipeline could not keep up with are dropped as from a camera.
    tq_stream_state_t st{};
    if (dev->ctx && dev->ctx->stream && tq_stream_get_state(dev->ctx->stream, &st) &&
        (st.frames_dropped || st.frames_discarded))
        std::printf("lost        %u dropped, %u discarded (the pipeline fell behind the replay; "
                    "a lower --fps keeps up)\n",
                    static_cast<unsigned>(st.frames_dropped),
                    static_cast<unsigned>(st.frames_discarded));
    std::printf("valid       %.1f %% of pixels per frame\n",
                100.0 * static_cast<double>(valid_sum) / frames / (w * h));
    std::printf("depth       %.3f .. %.3f m\n", dmin, dmax);
    std::printf("wrote       %sdepth.png %sgray.png %scloud.ply (%d points)\n", d.c_str(),
                d.c_str(), d.c_str(), points);
    return 0;
#endif
}

} // namespace cli
