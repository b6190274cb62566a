// Demo: plays a recorded raw frame file through the library as if it were a
// camera and prints what arrives. Without an argument it plays the sample
// recording that ships with the sources.
#include <pylox/pylox.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef PYLOX_SAMPLE_FILE
#define PYLOX_SAMPLE_FILE "samples/vcam_box_e2.raw"
#endif

namespace {

unsigned g_frames = 0;
uint64_t g_bytes = 0;

void on_frame(pylox_dev_t *, pylox_frame_t *f)
{
    ++g_frames;
    g_bytes += f->info.frame_size;
    std::printf("frame %5u  idx %5u  %7u bytes  %ux%u x%u  fmt %u  temps %.1f / %.1f C\n", g_frames,
                f->info.frame_idx, f->info.frame_size, f->info.width, f->info.height, f->info.depth,
                f->info.frame_format, static_cast<int16_t>(f->info.temp0) / 10.0,
                static_cast<int16_t>(f->info.temp1) / 10.0);
}

int on_error(pylox_dev_t *, int err, uint32_t arg)
{
    std::printf("capture status %s (%u)\n", pylox_error_name(err), arg);
    return 1;
}

void usage()
{
    std::printf("usage: pylox-demo [--fps N] [file.raw]\n"
                "  --fps N  replay rate (default 30; 0 = as fast as possible)\n"
                "Plays a raw frame file (default: the bundled sample) and prints each frame.\n");
}

} // namespace

int main(int argc, char **argv)
{
    std::string path = PYLOX_SAMPLE_FILE;
    uint32_t fps = 30; // the pace of a camera; 0 plays as fast as the file reads
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--fps") && i + 1 < argc) {
            fps = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            usage();
            return 0;
        } else {
            path = argv[i];
        }
    }

    pylox_init("pylox_demo.log");
    pylox_dev_t *dev = pylox_dev_open_replay(path.c_str());
    if (!dev) {
        std::fprintf(stderr, "cannot open %s as a recording\n", path.c_str());
        pylox_uninit();
        return 1;
    }
    std::printf("playing %s: product %s\n", path.c_str(), dev->product);

    pylox_param_item_t rate{};
    rate.param_id = PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    std::memcpy(rate.param_val, &fps, sizeof fps);
    pylox_param_batch_set(dev, &rate, 1);
    pylox_cap_set_callback_on_frame_ready(dev, on_frame);
    pylox_cap_set_callback_on_error(dev, on_error);

    const auto t0 = std::chrono::steady_clock::now();
    int rc = 0;
    if (!pylox_cap_start(dev)) {
        std::fprintf(stderr, "capture did not start\n");
        rc = 1;
    } else {
        pylox_cap_wait(dev, 0); // returns when the recording ends
        pylox_cap_stop(dev);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%u frames, %.1f MB in %.3f s: %.1f fps\n", g_frames, g_bytes / 1e6, secs,
                secs > 0 ? g_frames / secs : 0.0);
    pylox_dev_close(dev);
    pylox_uninit();
    return rc != 0 || g_frames == 0;
}
