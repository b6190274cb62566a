// Shared pieces of the data-image tests on the virtual camera: an opened
// camera, image files in a folder of the test's own, and what the camera saw.
#pragma once

#include "support/vcam/device_fixture.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace devtest {

inline std::vector<uint8_t> random_image(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(g());
    return v;
}

inline uint32_t le32_at(const std::vector<uint8_t> &v, size_t i)
{
    return v[i] | (v[i + 1] << 8) | (v[i + 2] << 16) | (static_cast<uint32_t>(v[i + 3]) << 24);
}

class DataImageTest : public DeviceTest {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("pylox_data_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        cam_ = plug();
        start_library();
        ASSERT_NE(open_first(), nullptr);
        cam_->clear_control_log();
    }
    void TearDown() override
    {
        DeviceTest::TearDown();
        cam_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string file(const std::string &name) const { return (dir_ / name).string(); }
    std::string write_file(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        const std::string p = file(name);
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    static std::vector<uint8_t> read_file(const std::string &p)
    {
        std::ifstream f(p, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    // Host-to-camera data stages of 0xCC/value that the camera saw.
    std::vector<std::vector<uint8_t>> sent(uint16_t value) const
    {
        std::vector<std::vector<uint8_t>> r;
        for (const auto &c : cam_->control_log())
            if (c.bmRequestType == 0x22 && c.bRequest == 0xCC && c.wValue == value)
                r.push_back(c.data);
        return r;
    }
    std::vector<uint8_t> stored(uint8_t type, uint16_t *version = nullptr) const
    {
        uint16_t v = 0;
        std::vector<uint8_t> d;
        if (!cam_->image(type, v, d))
            return {};
        if (version)
            *version = v;
        return d;
    }

    std::shared_ptr<vcam::Camera> cam_;
    std::filesystem::path dir_;
};

} // namespace devtest
