// Streams from a virtual camera through plain libusb for a while and prints
// frames per second and MB/s. Run under umockdev:
//   umockdev-wrapper ./vcam_stream [seconds] [fps] [payload]
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "vcam/vcam.h"

namespace {

constexpr int kTransfers = 16;
constexpr int kLen = 153600;

libusb_device_handle *g_h = nullptr;
std::atomic<bool> g_stop{false};
std::atomic<int> g_live{0};
uint64_t g_bytes = 0, g_frames = 0;

// Counts frame starts in the byte stream (headers may straddle transfers).
std::vector<uint8_t> g_carry;
uint64_t g_skip = 0; // payload bytes still to skip

void scan(const uint8_t *p, size_t n)
{
    while (n) {
        if (g_skip) {
            size_t k = std::min<uint64_t>(g_skip, n);
            g_skip -= k;
            p += k;
            n -= k;
            continue;
        }
        size_t need = vcam::kHeaderSize - g_carry.size();
        size_t k = std::min(need, n);
        g_carry.insert(g_carry.end(), p, p + k);
        p += k;
        n -= k;
        if (g_carry.size() < vcam::kHeaderSize)
            return;
        vcam::StreamHeader h;
        if (!vcam::read_header(g_carry.data(), h)) {
            fprintf(stderr, "bad header\n");
            exit(1);
        }
        if (h.frame_flags & 1)
            g_frames += h.frlen ? std::max<uint32_t>(1, h.len / h.frlen) : 1;
        g_skip = h.len;
        g_carry.clear();
    }
}

void LIBUSB_CALL on_done(libusb_transfer *t)
{
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        g_bytes += static_cast<uint64_t>(t->actual_length);
        scan(t->buffer, static_cast<size_t>(t->actual_length));
    }
    if (!g_stop.load() && t->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(t) == 0)
        return;
    g_live.fetch_sub(1);
}

bool command(uint8_t type, uint16_t value, std::vector<uint8_t> data)
{
    int r = libusb_control_transfer(g_h, 0x22, type, value, 0, data.data(),
                                    static_cast<uint16_t>(data.size()), 1000);
    if (r != static_cast<int>(data.size()))
        return false;
    uint8_t st[63];
    do {
        if (libusb_control_transfer(g_h, 0xA2, 0xB0, 0, 0, st, 63, 1000) != 63)
            return false;
    } while (st[0] == 0xFE);
    return st[0] != 0xFF && st[1] == type && st[2] == (value & 0xFF);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    vcam::CameraConfig cfg;
    cfg.fps = argc > 2 ? static_cast<uint32_t>(atoi(argv[2])) : 0;
    cfg.packet_payload = argc > 3 ? static_cast<uint32_t>(atoi(argv[3])) : 0;
    auto cam = vcam::Camera::create(cfg);
    cam->set_scene(vcam::Scene::box(2000, 1200));

    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    g_h = libusb_open_device_with_vid_pid(ctx, 0x111B, 0x1238);
    if (!g_h) {
        fprintf(stderr, "no camera found (run under umockdev-wrapper)\n");
        return 1;
    }
    libusb_set_configuration(g_h, 1);
    libusb_claim_interface(g_h, 0);

    std::atomic<bool> quit{false};
    std::thread ev([&] {
        while (!quit.load()) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    });

    std::vector<std::vector<uint8_t>> bufs(kTransfers, std::vector<uint8_t>(kLen));
    std::vector<libusb_transfer *> xfers;
    for (int i = 0; i < kTransfers; ++i) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, g_h, 0x81, bufs[i].data(), kLen, on_done, nullptr, 6000);
        if (libusb_submit_transfer(t) == 0)
            g_live.fetch_add(1);
        xfers.push_back(t);
    }
    auto t0 = std::chrono::steady_clock::now();
    if (!command(0xC2, 4, {0, 0, 0, 0})) {
        fprintf(stderr, "stream start failed\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    g_stop = true;
    for (auto *t : xfers)
        libusb_cancel_transfer(t);
    auto t1 = std::chrono::steady_clock::now();
    command(0xC2, 5, {0xC2});
    while (g_live.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double dt = std::chrono::duration<double>(t1 - t0).count();
    printf("%.1f frames/s, %.1f MB/s (%llu frames, %llu bytes in %.2f s)\n", g_frames / dt,
           g_bytes / dt / 1e6, static_cast<unsigned long long>(g_frames),
           static_cast<unsigned long long>(g_bytes), dt);
    quit = true;
    ev.join();
    for (auto *t : xfers)
        libusb_free_transfer(t);
    libusb_release_interface(g_h, 0);
    libusb_close(g_h);
    libusb_exit(ctx);
    return 0;
}
