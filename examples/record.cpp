// Records frames of the first camera into a raw frame file that
// `pylox --replay` and pylox_dev_open_replay play back. Frames arrive
// through the frame-ready callback on the thread that waits in pylox_cap_wait.
//   record <out.raw> [frames=10]
#include <pylox/pylox.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct recording {
    int fd = -1;
    int wanted = 0, written = 0;
    std::string tag;
} g_rec;

void on_frame(pylox_dev_t *, pylox_frame_t *f)
{
    if (g_rec.written >= g_rec.wanted)
        return;
    const pylox_frame_info_t &i = f->info;
    // 16-bit samples, i.depth / 2 of them per pixel.
    if (pylox_frame_save_raw(g_rec.fd, PYLOX_FRAME_SAVE_U16,
                             reinterpret_cast<const uint16_t *>(f->data),
                             static_cast<int>(i.frame_size / 2), static_cast<int>(i.width),
                             static_cast<int>(i.height), i.depth / 2, g_rec.tag.c_str()))
        ++g_rec.written;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <out.raw> [frames=10]\n", argv[0]);
        return 2;
    }
    g_rec.wanted = argc > 2 ? std::atoi(argv[2]) : 10;
    pylox_init("/dev/null");
    pylox_log_cfg(TQ_LOG_ERR, TQ_LOG_NONE, TQ_LOG_NONE);
    pylox_dev_t *dev = pylox_dev_open(nullptr); // the first camera
    if (!dev) {
        std::fprintf(stderr, "no camera\n");
        pylox_uninit();
        return 1;
    }
    g_rec.tag = std::string(dev->product, strnlen(dev->product, sizeof dev->product));
    g_rec.fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (g_rec.fd >= 0) {
        pylox_cap_set_callback_on_frame_ready(dev, on_frame);
        if (pylox_cap_start(dev)) {
            // Each wait delivers what arrives within 100 ms.
            for (int k = 0; k < 100 && g_rec.written < g_rec.wanted; ++k)
                if (pylox_cap_wait(dev, 100) == 1)
                    break; // capture ended
            pylox_cap_stop(dev);
        }
        ::close(g_rec.fd);
    }
    std::printf("%s: %d of %d frames\n", argv[1], g_rec.written, g_rec.wanted);
    pylox_dev_close(dev);
    pylox_uninit();
    return g_rec.written == g_rec.wanted ? 0 : 1;
}
