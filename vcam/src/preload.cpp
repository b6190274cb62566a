// Preloaded by vcam/run: plugs virtual cameras into a umockdev test bed before
// the program's main(), so any libusb program finds them.
//
// Settings from the environment:
//   VCAM_COUNT=n            cameras (bus 1, ports 1..n)            [1]
//   VCAM_FPS=n              frames per second, 0 = as fast as taken [0]
//   VCAM_SCENE=wall:MM | box:WALL:BOX | tilted:LEFT:RIGHT | steps:FAR:NEAR [wall:2000]
//   VCAM_PAYLOAD=n          stream packet payload bytes, 0 = a frame per packet
//   VCAM_CHECKSUM=1         data checksums on
//   VCAM_FULL_SPEED=1       full-speed camera
//   VCAM_NOISE=sigma        sample noise
//   VCAM_CALIB=plain|zip    the camera carries its own calibration package
//                           (12 and 24 MHz, six reference images), plainly
//                           or zipped; unset or empty: none
#include "vcam/vcam.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::shared_ptr<vcam::Camera>> *g_cams = nullptr;

long env_long(const char *name, long def)
{
    const char *v = getenv(name);
    return v && *v ? strtol(v, nullptr, 0) : def;
}

vcam::Scene scene_from_env(int w, int h)
{
    const char *v = getenv("VCAM_SCENE");
    std::string s = v ? v : "wall:2000";
    float a = 2000, b = 1000;
    if (s.rfind("box", 0) == 0) {
        sscanf(s.c_str(), "box:%f:%f", &a, &b);
        return vcam::Scene::box(a, b, w * 11 / 32, h / 3, w * 5 / 16, h / 3, w, h);
    }
    if (s.rfind("tilted", 0) == 0) {
        a = 1000, b = 3000;
        sscanf(s.c_str(), "tilted:%f:%f", &a, &b);
        return vcam::Scene::tilted(a, b, w, h);
    }
    if (s.rfind("steps", 0) == 0) {
        // A room: a back wall at a, a floor over the lowest third that comes
        // from a at its far edge to b at the bottom row, and three boxes
        // standing on it, each nearer than the one to its left (a quarter,
        // half and three quarters of the way from a to b).
        a = 2400, b = 900;
        sscanf(s.c_str(), "steps:%f:%f", &a, &b);
        vcam::Scene sc = vcam::Scene::custom(w, h, a);
        const int floor0 = 2 * h / 3;
        for (int y = floor0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                sc.at(x, y) = a + (b - a) * static_cast<float>(y - floor0) / (h - 1 - floor0);
        for (int k = 0; k < 3; ++k)
            for (int y = h / 4; y < floor0; ++y)
                for (int x = w / 16 + k * w * 5 / 16; x < w / 16 + k * w * 5 / 16 + w / 4; ++x)
                    sc.at(x, y) = a + (b - a) * static_cast<float>(k + 1) / 4;
        return sc;
    }
    sscanf(s.c_str(), "wall:%f", &a);
    return vcam::Scene::wall(a, 1.0f, w, h);
}

__attribute__((constructor)) void vcam_preload_init()
{
    g_cams = new std::vector<std::shared_ptr<vcam::Camera>>();
    long n = env_long("VCAM_COUNT", 1);
    for (long i = 0; i < n && i < 16; ++i) {
        vcam::CameraConfig c;
        c.bus = 1;
        c.port = static_cast<int>(i + 1);
        c.fps = static_cast<uint32_t>(env_long("VCAM_FPS", 0));
        c.packet_payload = static_cast<uint32_t>(env_long("VCAM_PAYLOAD", 0));
        c.data_checksum = env_long("VCAM_CHECKSUM", 0) != 0;
        c.full_speed = env_long("VCAM_FULL_SPEED", 0) != 0;
        const char *noise = getenv("VCAM_NOISE");
        if (noise)
            c.noise = static_cast<float>(atof(noise));
        c.serial.back() = static_cast<uint8_t>(i + 1);
        auto cam = vcam::Camera::create(c);
        cam->set_scene(scene_from_env(c.width, c.height));
        const char *calib = getenv("VCAM_CALIB");
        if (calib && *calib) {
            const bool zip = !strcmp(calib, "zip");
            if (!zip && strcmp(calib, "plain") && strcmp(calib, "1"))
                fprintf(stderr,
                        "vcam: VCAM_CALIB=%s is neither plain nor zip; serving it plainly\n",
                        calib);
            cam->serve_calibration(vcam::CalibSpec{}, zip, 5, 7);
        }
        g_cams->push_back(cam);
    }
}

__attribute__((destructor)) void vcam_preload_fini()
{
    if (!g_cams)
        return;
    g_cams->clear();
    delete g_cams;
    g_cams = nullptr;
}

} // namespace
