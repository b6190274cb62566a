// Records raw frames of the first camera into a raw frame file ("TQ_RAW",
// 16-bit samples, tagged with the camera's product string) and the frames'
// temperatures into "<file>.temps" next to it, which the replay device plays
// back together:
//   pylox-record <file> [frames=4] [fps]
// Works on the transport directly: the camera's byte stream goes through the
// stream parser and whole frames of format 2 are saved as they came.
#include <pylox/pylox.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct sink {
    tq_stream_t *stream = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    int error = 0;

    static int on_event(pylox_ll_dev_t *, int event, const uint8_t *data, int len, void *user)
    {
        auto *self = static_cast<sink *>(user);
        bool ready = false;
        if (event == PYLOX_LL_EVT_DATA)
            ready = tq_stream_feed_input(self->stream, data, len) != 0;
        std::lock_guard<std::mutex> lk(self->mu);
        if (event != PYLOX_LL_EVT_DATA && event != PYLOX_LL_EVT_TIMEOUT)
            self->error = event;
        if (ready || self->error)
            self->cv.notify_all();
        return 0;
    }
};

std::string product_of(pylox_ll_dev_t *dev)
{
    pylox_ll_param_t item{};
    item.id = PARAM_INFO_PRODUCT;
    if (!pylox_ll_param_get(dev, &item, 1))
        return {};
    const size_t n = std::min<size_t>(item.len, sizeof item.val);
    return std::string(reinterpret_cast<const char *>(item.val),
                       strnlen(reinterpret_cast<const char *>(item.val), n));
}

// The temperatures of the frames just saved, as each frame's header carried them.
bool save_temps(int fd, const std::vector<tq_stream_finfo_t> &infos)
{
    std::vector<pylox_frame_info_t> fi(infos.size());
    for (size_t k = 0; k < infos.size(); ++k) {
        fi[k].temp0 = infos[k].attr.temp0;
        fi[k].temp1 = infos[k].attr.temp1;
    }
    return pylox_frame_save_temps(fd, fi.data(), static_cast<int>(fi.size())) == 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file> [frames=4] [fps]\n", argv[0]);
        return 2;
    }
    const int want = argc > 2 ? std::atoi(argv[2]) : 4;
    const int fps = argc > 3 ? std::atoi(argv[3]) : 0;
    if (want < 1 || want > 1000) {
        std::fprintf(stderr, "frames must be 1..1000\n");
        return 2;
    }
    tq_log_enable(0, TQ_LOG_WRN, nullptr);
    pylox_ll_init();

    pylox_ll_dev_t dev{};
    dev.kind = PYLOX_LL_KIND_USB;
    if (!pylox_ll_dev_open(&dev)) {
        std::fprintf(stderr, "no camera\n");
        return 1;
    }
    const std::string product = product_of(&dev);
    if (product.empty()) {
        std::fprintf(stderr, "the camera gave no product string\n");
        pylox_ll_dev_close(&dev);
        return 1;
    }
    if (fps > 0) {
        pylox_ll_param_t item{};
        item.id = PARAM_FRAME_RATE;
        item.len = 4;
        const uint32_t v = static_cast<uint32_t>(fps);
        std::memcpy(item.val, &v, 4);
        pylox_ll_param_set(&dev, &item, 1);
    }

    sink s;
    tq_stream_cfg_t cfg{static_cast<uint32_t>(want + 2)};
    s.stream = tq_stream_create(&cfg);
    int rc = 1;
    std::vector<uint8_t> frames;
    std::vector<tq_stream_finfo_t> infos;
    if (s.stream && pylox_ll_cap_start(&dev, 0, &sink::on_event, &s)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::unique_lock<std::mutex> lk(s.mu);
        // The first frame may have begun before the capture: skip it.
        const int target = want + 1;
        s.cv.wait_until(lk, deadline, [&] {
            tq_stream_state_t st{};
            tq_stream_get_state(s.stream, &st);
            return s.error != 0 || st.frames_ready >= static_cast<uint32_t>(target);
        });
        lk.unlock();
        pylox_ll_cap_stop(&dev);
        tq_stream_fetch_frames(s.stream, nullptr, 0, 1, nullptr, 0);
        for (int k = 0; k < want; ++k) {
            tq_stream_finfo_t fi{};
            uint8_t first = 0; // a peek copies the information only along with data
            if (tq_stream_fetch_frames(s.stream, &first, 1, 1, &fi, 1) != 1)
                break;
            const size_t at = frames.size();
            frames.resize(at + fi.frame_size);
            tq_stream_fetch_frames(s.stream, frames.data() + at, static_cast<int>(fi.frame_size), 1,
                                   nullptr, 0);
            infos.push_back(fi);
        }
    }
    pylox_ll_dev_close(&dev);

    if (static_cast<int>(infos.size()) < want) {
        std::fprintf(stderr, "got %zu of %d frames (event %d)\n", infos.size(), want, s.error);
    } else {
        const tq_stream_finfo_t &fi = infos[0];
        const int w = fi.attr.width, h = fi.attr.height;
        const size_t per = static_cast<size_t>(w) * h * 4;
        bool same = fi.frame_format == 2 && per * 2 == fi.frame_size;
        for (const auto &i : infos)
            same = same && i.frame_size == fi.frame_size && i.frame_format == 2;
        if (!same) {
            std::fprintf(stderr, "frames of format %u and %u bytes are no %dx%d phase frames\n",
                         fi.frame_format, fi.frame_size, w, h);
        } else {
            const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0 &&
                pylox_frame_save_raw(
                    fd, PYLOX_FRAME_SAVE_U16, reinterpret_cast<const uint16_t *>(frames.data()),
                    static_cast<int>(frames.size() / 2), w, h, 4, product.c_str()) &&
                save_temps(fd, infos)) {
                std::printf("%s: %d frames of %dx%dx4, product %s\n", argv[1], want, w, h,
                            product.c_str());
                rc = 0;
            } else {
                std::fprintf(stderr, "cannot write %s\n", argv[1]);
            }
            if (fd >= 0)
                ::close(fd);
        }
    }
    if (s.stream)
        tq_stream_destroy(s.stream);
    pylox_ll_uninit();
    return rc;
}
