// Shared set-up of the capture tests on the virtual camera: cameras are
// plugged in before the library starts, and removed after it closed them.
#pragma once

#include "support/log_capture.h"
#include "support/raw_file.h"
#include "support/wait.h"

#include <pylox/pylox.h>
#include <vcam/vcam.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace devtest {

using Clock = std::chrono::steady_clock;
using pylox_test::eventually;

class DeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<vcam::Camera> plug(const vcam::CameraConfig &cfg = {})
    {
        cams_.push_back(vcam::Camera::create(cfg));
        return cams_.back();
    }
    void start_library()
    {
        // The library's own log file is the capture's: a failed test keeps it.
        log_.emplace(TQ_LOG_DBG, "pylox_dev_log");
        pylox_init(log_->path().c_str());
        tq_log_enable(0, TQ_LOG_NONE, nullptr);
    }
    pylox_dev_t *open_first()
    {
        dev_ = pylox_dev_open(nullptr);
        return dev_;
    }
    void TearDown() override
    {
        if (dev_ && dev_->ctx)
            pylox_dev_close(dev_);
        pylox_uninit();
        cams_.clear();
        log_.reset();
    }
    bool set_param32(uint32_t id, uint32_t v, uint8_t len = 4)
    {
        pylox_param_item_t it{};
        it.param_id = id;
        it.param_val_len = len;
        std::memcpy(it.param_val, &v, 4);
        return pylox_param_batch_set(dev_, &it, 1) == 1;
    }
    static uint32_t cam_param32(const vcam::Camera &cam, uint8_t id)
    {
        std::vector<uint8_t> v;
        uint32_t r = 0;
        if (cam.param(id, v))
            std::memcpy(&r, v.data(), std::min<size_t>(4, v.size()));
        return r;
    }

    std::vector<std::shared_ptr<vcam::Camera>> cams_;
    pylox_dev_t *dev_ = nullptr;
    std::optional<pylox_test::log_capture> log_;
};

// Checks a raw frame of format 2 against the camera's ground truth with plain
// arithmetic: sensor rows come from the middle outwards, and each pixel's
// phase is atan2(d1 - d3, d0 - d2). Returns the number of pixels whose phase
// is off by more than the 12-bit rounding of its samples allows (about 0.75/A
// radians) plus slack units (of 32768 per period), skipping saturated ones.
inline int phase_mismatches(const uint8_t *raw, const vcam::Truth &t, double slack)
{
    const int w = t.width, h = t.height;
    const size_t plane = static_cast<size_t>(w) * h;
    auto sample = [&](int k, int row, int x) {
        uint16_t v;
        std::memcpy(&v, raw + 2 * (k * plane + static_cast<size_t>(row) * w + x), 2);
        return static_cast<double>(v & 0xFFF);
    };
    int bad = 0;
    for (int y = 0; y < h; ++y) {
        const int row = y < h / 2 ? 2 * (h / 2 - 1 - y) : 2 * (y - h / 2) + 1;
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            if (t.saturated[i])
                continue;
            double th = std::atan2(sample(1, row, x) - sample(3, row, x),
                                   sample(0, row, x) - sample(2, row, x));
            if (th < 0)
                th += 2 * M_PI;
            double d = th * 32768.0 / (2 * M_PI) - t.phase[i];
            d = std::fabs(std::remainder(d, 32768.0));
            const double tol =
                slack + 1.2 * 0.75 / std::max(1.0f, t.amplitude[i]) * 32768.0 / (2 * M_PI);
            if (d > tol)
                ++bad;
        }
    }
    return bad;
}

} // namespace devtest
