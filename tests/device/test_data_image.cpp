// Data images on the virtual camera: downloads into its flash and uploads
// back, packet and chunk boundaries, and every way the camera can stop a
// transfer. Image types above 3 have no ending, so nothing here waits.
#include "support/vcam/data_image_util.h"

#include "api/data.h"

#include <pylox/pylox_data.h>

using namespace devtest;
namespace fs = std::filesystem;

namespace {

constexpr uint8_t k_type = 5;

class DataImage : public DataImageTest {};

TEST_F(DataImage, RandomMebibyteGoesIntoFlashAndComesBackByteForByte)
{
    const auto img = random_image(1 << 20, 17);
    const std::string src = write_file("image.bin", img);
    ASSERT_EQ(pylox_data_download(dev_, src.c_str(), k_type, 7, 0), PYLOX_DATA_OK);
    uint16_t version = 0;
    EXPECT_TRUE(stored(k_type, &version) == img) << "the flash differs from the file";
    EXPECT_EQ(version, 7);
    const uint64_t packets = (img.size() + 65529) / 65530;
    EXPECT_EQ(cam_->bulk_out_bytes(), img.size() + 6 * packets);
    EXPECT_TRUE(log_->has("] Data transfer finished."));
    EXPECT_EQ(log_->count("] erase ack,1"), 3); // two reads while erasing, one ready

    cam_->set_image_address(k_type, 0x08765400u);
    log_->clear();
    const std::string back = file("back.bin");
    ASSERT_EQ(pylox_data_upload(dev_, k_type, back.c_str()), 1);
    EXPECT_TRUE(read_file(back) == img) << "the upload differs from the flash";
    EXPECT_TRUE(log_->has("] Version:7,type:5, addr:0x8765400,data size:1048576")) << log_->text();
    EXPECT_EQ(sent(PYLOX_DATA_CMD_PAYLOAD).size(), (img.size() + 449) / 450);
}

TEST_F(DataImage, PacketsOfFullSizeAndTheRest)
{
    for (size_t n : {131060u, 131061u}) {
        const auto img = random_image(n, static_cast<unsigned>(n));
        const std::string src = write_file("edge.bin", img);
        const uint64_t before = cam_->bulk_out_bytes();
        ASSERT_EQ(pylox_data_download(dev_, src.c_str(), k_type, 1, 0), PYLOX_DATA_OK) << n;
        const uint64_t packets = n == 131060 ? 2 : 3; // the third carries 1 byte
        EXPECT_EQ(cam_->bulk_out_bytes() - before, n + 6 * packets) << n;
        EXPECT_TRUE(stored(k_type) == img) << n;
        // INFO and ERASE records as the camera saw them.
        const auto info = sent(PYLOX_DATA_ACT_INFO).back();
        ASSERT_EQ(info.size(), 12u);
        EXPECT_EQ(info[0], k_type);
        EXPECT_EQ(le32_at(info, 4), n);
        const auto erase = sent(PYLOX_DATA_ACT_ERASE).back();
        ASSERT_EQ(erase.size(), 13u);
        EXPECT_EQ(le32_at(erase, 1), n);
        EXPECT_EQ(le32_at(erase, 5), 65530u);
    }
    // The low-level call does the same on the transport record.
    const auto img = random_image(5000, 5);
    ASSERT_EQ(pylox_ll_firmware_upgrade(&dev_->ctx->ll, 9, 44, write_file("fw.bin", img).c_str()),
              PYLOX_DATA_OK);
    uint16_t version = 0;
    EXPECT_TRUE(stored(9, &version) == img);
    EXPECT_EQ(version, 44);
}

TEST_F(DataImage, UploadsInChunksOf450AndTheRest)
{
    const auto img = random_image(1000, 3);
    cam_->set_image(6, 3, img);
    const std::string out = file("up.bin");
    ASSERT_EQ(pylox_data_upload(dev_, 6, out.c_str()), 1);
    EXPECT_TRUE(read_file(out) == img);
    const auto reqs = sent(PYLOX_DATA_CMD_PAYLOAD);
    ASSERT_EQ(reqs.size(), 3u);
    const uint32_t want[] = {450, 450, 100};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(le32_at(reqs[i], 4), want[i]);
        EXPECT_EQ(reqs[i].size(), 12 + want[i]); // request, then room for the chunk
    }

    // An empty image gives an empty file; without a path it is "calib.bin".
    cam_->set_image(6, 3, {});
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    const int r = pylox_data_upload(dev_, 6, nullptr);
    fs::current_path(cwd);
    EXPECT_EQ(r, 1);
    ASSERT_TRUE(fs::exists(dir_ / "calib.bin"));
    EXPECT_EQ(fs::file_size(dir_ / "calib.bin"), 0u);
}

TEST_F(DataImage, UploadOfAnEmptySlotOrWithoutAnInfoCreatesNoFile)
{
    const std::string out = file("none.bin");
    EXPECT_EQ(pylox_data_upload(dev_, 12, out.c_str()), -1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(log_->has("] No valid data to read, please check"));

    // A failed info read leaves the size unknown: no file, no success.
    cam_->set_image(12, 1, random_image(900, 1));
    cam_->fault_fail_next("info refused");
    log_->clear();
    EXPECT_EQ(pylox_data_upload(dev_, 12, out.c_str()), -1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(log_->has("[al_get_data_info] Cmd:(0xcc,0x0) failed")) << log_->text();
}

TEST_F(DataImage, LostUploadChunkRemovesThePartialFile)
{
    cam_->set_image(6, 3, random_image(2000, 4));
    cam_->fault_image(vcam::ImageFault::upload_skip);
    const std::string out = file("partial.bin");
    EXPECT_EQ(pylox_data_upload(dev_, 6, out.c_str()), -1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(log_->has("] chunk of offset 450 answered for offset 0")) << log_->text();
    EXPECT_TRUE(log_->has("] data upload failed!"));
}

TEST_F(DataImage, HandleLevelCallsOnAClosedHandleAreRefused)
{
    const std::string src = write_file("x.bin", random_image(10, 1));
    pylox_dev_t closed{};
    for (pylox_dev_t *d : {static_cast<pylox_dev_t *>(nullptr), &closed}) {
        log_->clear();
        EXPECT_EQ(pylox_data_download(d, src.c_str(), k_type, 1, 0), -1);
        EXPECT_EQ(pylox_data_upload(d, k_type, file("y.bin").c_str()), -1);
        EXPECT_EQ(pylox_firmware_upgrade(d, k_type, 1, src.c_str()), -1);
        EXPECT_EQ(log_->count("] Wrong params"), 3) << log_->text();
        EXPECT_TRUE(log_->has("[pylox_data_upload] Wrong params"));
    }
    EXPECT_FALSE(fs::exists(file("y.bin")));
    EXPECT_TRUE(sent(PYLOX_DATA_ACT_INFO).empty());
}

TEST_F(DataImage, BadFilesFailBeforeTheCameraHearsOfThem)
{
    EXPECT_EQ(pylox_data_download(dev_, file("missing.bin").c_str(), k_type, 1, 0), -1);
    EXPECT_TRUE(log_->has("] File open failed"));
    EXPECT_EQ(pylox_data_download(dev_, write_file("empty.bin", {}).c_str(), k_type, 1, 0), -1);
    EXPECT_TRUE(log_->has("[pylox_bin_data_write] data upgrade failed!"));
    EXPECT_EQ(pylox_data_download(dev_, nullptr, k_type, 1, 0), -1);
    EXPECT_TRUE(sent(PYLOX_DATA_ACT_INFO).empty());
}

// Each way the camera stops a download: the result, the last log line of the
// transfer, and what the camera holds afterwards.
struct fault_case {
    const char *name;
    std::function<void(vcam::Camera &)> arm;
    int result;
    const char *line;
    bool erased; // the camera received the ERASE action
};

TEST_F(DataImage, EveryFaultEndsWithItsMessageAndNeverAsSuccess)
{
    using F = vcam::ImageFault;
    const fault_case cases[] = {
        {"wrong INFO ack", [](vcam::Camera &c) { c.fault_image(F::wrong_info_ack); },
         PYLOX_DATA_INCOMPLETE, "[pylox_bin_data_write] Wrong ACK(NUM:1,VER:7)", false},
        {"INFO ack unread", [](vcam::Camera &c) { c.fault_fail_ack(1); }, PYLOX_DATA_FAILED,
         "[al_data_read_action_info] Cmd:(0xcc,0x4) failed", false},
        {"erase refused", [](vcam::Camera &c) { c.fault_image(F::erase_refused); },
         PYLOX_DATA_FAILED, "] wait cfm failed.....", true},
        {"erase ack unread", [](vcam::Camera &c) { c.fault_fail_ack(2); }, PYLOX_DATA_FAILED,
         "] DATA ACK failed", true},
        {"erase failed", [](vcam::Camera &c) { c.fault_image(F::erase_error); },
         PYLOX_DATA_INCOMPLETE, "] erase ended with next=0, status=2", true},
        {"erase endless", [](vcam::Camera &c) { c.fault_image(F::erase_endless); },
         PYLOX_DATA_INCOMPLETE, "] erase still running after 300 ms", true},
        {"CRC mismatch", [](vcam::Camera &c) { c.fault_image(F::crc_mismatch); },
         PYLOX_DATA_INCOMPLETE, "] Data transfer failed A.indx0, 0", true},
        {"index skipped", [](vcam::Camera &c) { c.fault_image(F::skip_index); },
         PYLOX_DATA_INCOMPLETE, "] Data transfer failed B.", true},
        {"data ack unread", [](vcam::Camera &c) { c.fault_fail_ack(5); }, PYLOX_DATA_FAILED,
         "] Data transfer failed C.", true},
        {"packet refused", [](vcam::Camera &c) { c.fault_image(F::packet_refused); },
         -9 /* the transport's stall */, "[pylox_data_pk_transf] tx data failed", true},
    };
    pylox::data::erase_limit_ms = 300;
    const auto img = random_image(131061, 8);
    const std::string src = write_file("f.bin", img);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto cam = cam_;
        cam->clear_control_log();
        c.arm(*cam);
        log_->clear();
        const uint64_t before = cam->bulk_out_bytes();
        EXPECT_EQ(pylox_data_download(dev_, src.c_str(), k_type, 7, 0), c.result) << log_->text();
        EXPECT_TRUE(log_->has(c.line)) << log_->text();
        EXPECT_EQ(!sent(PYLOX_DATA_ACT_ERASE).empty(), c.erased);
        EXPECT_FALSE(log_->has("] Data transfer finished."));
        EXPECT_FALSE(stored(k_type) == img);
        EXPECT_EQ(log_->has("] data upgrade failed!"), c.result != PYLOX_DATA_INCOMPLETE);
        EXPECT_TRUE(c.erased || cam->bulk_out_bytes() == before);
        cam->fault_fail_ack(0);
    }
    // A download after all that still goes through.
    log_->clear();
    EXPECT_EQ(pylox_data_download(dev_, src.c_str(), k_type, 7, 0), PYLOX_DATA_OK) << log_->text();
    EXPECT_TRUE(stored(k_type) == img);
    pylox::data::erase_limit_ms = pylox::data::k_erase_limit_ms;
}

TEST_F(DataImage, FailedInfoReadOnlyCostsTheDownloadItsLogLine)
{
    const auto img = random_image(3000, 2);
    cam_->fault_fail_next("info refused");
    EXPECT_EQ(pylox_data_download(dev_, write_file("i.bin", img).c_str(), k_type, 2, 0),
              PYLOX_DATA_OK);
    EXPECT_TRUE(log_->has("[al_get_data_info] Cmd:(0xcc,0x0) failed"));
    EXPECT_TRUE(log_->has("] Version:0,type:0, addr:0x0,data size:0")) << log_->text();
    EXPECT_TRUE(stored(k_type) == img);
}

} // namespace
