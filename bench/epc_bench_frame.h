// The frame and the calibration the depth and decode benchmarks share: a
// 320 x 240 raw frame as the camera makes it and a DRNU calibration of twelve
// reference images mounted on a driver state at 12 MHz.
#pragma once

#include "drivers/epc/epc_state.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

namespace pylox_bench {

constexpr int kW = 320, kH = 240, kN = kW * kH;

// DCSk = 2048 + A cos(theta - k pi / 2) with a little noise: a wall tilted
// from 1.2 m to 3.2 m across the image with a box at 0.9 m in front of it,
// at 12 MHz.
inline std::vector<uint16_t> camera_frame()
{
    std::vector<uint16_t> raw(4 * kN);
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (int p = 0; p < kN; ++p) {
        const int x = p % kW, y = p / kW;
        const bool box = x >= 110 && x < 210 && y >= 80 && y < 160;
        const double d = box ? 900.0 : 1200.0 + 2000.0 * x / (kW - 1);
        const double theta = 2 * std::numbers::pi * (d + 2000.0) / 12491.0;
        const double a = std::min(1500.0 / (d * d / 1e6), 1900.0);
        for (int k = 0; k < 4; ++k) {
            const double v = 2048 + a * std::cos(theta - k * std::numbers::pi / 2) + noise(rng);
            raw[static_cast<size_t>(k) * kN + p] =
                static_cast<uint16_t>(std::clamp(std::lround(v), 1L, 4094L));
        }
    }
    return raw;
}

// Mounts twelve reference images 30 cm apart from the box length on, for the
// state's modulation frequency (12 MHz expected, derived values set), with
// calibration temperatures a little below the frame's.
inline void mount_drnu(epc_state_t *st)
{
    st->temp_cb = 400;
    st->temp_ib = 350;
    epc_calib_t *c = st->calib;
    const int n = 12;
    c->img_count = n;
    c->step_um = 300000;
    std::free(c->data);
    c->data = static_cast<uint8_t *>(std::calloc(n, k_epc_ref_bytes));
    for (int k = 0; k < n; ++k)
        for (int p = 0; p < k_epc_ref_pixels; ++p) {
            const auto v = static_cast<uint16_t>((295 + 300 * k + 2000) * 32768 / 12491 + (p % 13));
            std::memcpy(c->data + static_cast<size_t>(k) * k_epc_ref_bytes + k_epc_ref_hdr + 2 * p,
                        &v, 2);
        }
    c->mean_first = static_cast<uint16_t>((295 + 2000) * 32768 / 12491 + 6);
    c->mean_last = static_cast<uint16_t>((295 + 300 * (n - 1) + 2000) * 32768 / 12491 + 6);
    std::memcpy(c->hdr, &st->mod_freq, 4);
    c->cal_cb = 350;
    c->cal_ib = 300;
}

} // namespace pylox_bench
