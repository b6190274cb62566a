// The endings of a download by image type: the banner, logging turned off,
// and the waits for the camera (7 s while it writes a data image, a reset and
// 10 s while it boots new firmware). The handle stays busy all along.
#include "support/vcam/data_image_util.h"

#include <pylox/pylox_data.h>

#include <future>

using namespace devtest;
using namespace std::chrono_literals;

namespace {

class DataEnding : public DataImageTest {
protected:
    // Runs the download on another thread; checks that the handle counts it as
    // busy while it waits, and returns its result and duration.
    std::pair<int, std::chrono::milliseconds> download(uint8_t type, uint16_t version,
                                                       const std::vector<uint8_t> &img)
    {
        const std::string src = write_file("img.bin", img);
        const auto t0 = Clock::now();
        auto run = std::async(std::launch::async, [&] {
            return pylox_data_download(dev_, src.c_str(), type, version, 0);
        });
        EXPECT_TRUE(eventually([&] { return log_->has("DO NOT RESET or POWER OFF"); }, 5s));
        EXPECT_EQ(std::atomic_ref<uint8_t>(dev_->api_busy).load(), 1);
        const int r = run.get();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        EXPECT_EQ(std::atomic_ref<uint8_t>(dev_->api_busy).load(), 0);
        return {r, took};
    }
    void expect_banner_then_silence()
    {
        EXPECT_EQ(log_->count("[pylox_bin_data_write] ------------------------------------------"
                              "----------------"),
                  2);
        EXPECT_EQ(log_->count("[pylox_bin_data_write] !!! DO NOT RESET or POWER OFF the board "
                              "until return !!!!"),
                  1);
        // Logging stays off after the ending, errors included.
        const std::string before = log_->text();
        pylox_data_upload(nullptr, 5, nullptr);
        tq_log(TQ_LOG_ERR, "test", "[%s] still quiet\n", "test");
        EXPECT_EQ(log_->text(), before);
    }
};

TEST_F(DataEnding, DataImageWaitsSevenSecondsAfterTheBanner)
{
    const auto img = random_image(70000, 21);
    const auto [r, took] = download(2, 4, img);
    EXPECT_EQ(r, PYLOX_DATA_OK);
    EXPECT_GE(took, 7000ms);
    EXPECT_TRUE(stored(2) == img);
    EXPECT_EQ(cam_->reset_count(), 0u);
    EXPECT_FALSE(log_->has("Wait board to reset"));
    expect_banner_then_silence();
}

TEST_F(DataEnding, FirmwareResetsTheCameraAndWaitsTenSeconds)
{
    const auto img = random_image(200000, 22);
    const auto [r, took] = download(0, 141, img);
    EXPECT_EQ(r, PYLOX_DATA_OK);
    EXPECT_GE(took, 10000ms);
    EXPECT_TRUE(stored(0) == img);
    EXPECT_EQ(cam_->reset_count(), 1u);
    EXPECT_EQ(cam_->last_reset_target(), 0u);
    EXPECT_EQ(cam_->firmware_boots(), 1u);
    EXPECT_EQ(cam_param32(*cam_, 6) >> 16, 141u); // the new software version
    EXPECT_TRUE(log_->has("[pylox_bin_data_write]  * Wait board to reset..."));
    expect_banner_then_silence();
}

TEST_F(DataEnding, UnfinishedFirmwareStillResetsButReportsIncomplete)
{
    cam_->fault_image(vcam::ImageFault::wrong_info_ack);
    const auto [r, took] = download(1, 3, random_image(1000, 23));
    EXPECT_EQ(r, PYLOX_DATA_INCOMPLETE);
    EXPECT_GE(took, 10000ms);
    EXPECT_EQ(cam_->reset_count(), 1u);
    EXPECT_EQ(cam_->firmware_boots(), 0u); // nothing new to boot
    EXPECT_TRUE(log_->has("] Wrong ACK(NUM:1,VER:3)"));
}

} // namespace
