// The parameter store against the virtual camera: file names from the
// camera's identity, the calibration package fetched in data-upload mode
// (plain and zipped, several megabytes, lost frames, hostile headers and
// archives).
#include "support/frame_files.h"
#include "support/param_writer.h"
#include "support/vcam/device_fixture.h"

#include "drivers/epc/epc_state.h"

#include <pylox/pylox_epc.h>
#include <pylox/pylox_param.h>

#include <random>

using namespace devtest;

namespace {

class ParamDevice : public DeviceTest {
protected:
    // Library started with the scratch folder as its path prefix.
    void start(const std::string &prefix = "")
    {
        prefix_ = prefix.empty() ? dir_.file("cfg") + "/" : prefix;
        start_library();
        ASSERT_EQ(pylox_path_cfg(prefix_.c_str()), 0);
        ASSERT_NE(open_first(), nullptr);
    }
    std::string param_path() const { return prefix_ + cams_[0]->param_file_name(); }
    bool exists(const std::string &name) const { return std::filesystem::exists(prefix_ + name); }
    // Capture starts the camera saw.
    int stream_starts() const
    {
        int n = 0;
        for (const vcam::ControlRecord &r : cams_[0]->control_log())
            n += r.bmRequestType == 0x22 && r.bRequest == 0xC2 && r.wValue == 4;
        return n;
    }
    int ring_bytes()
    {
        int size = 0;
        pylox_cap_get_frame_buffer(dev_, nullptr, &size);
        return size;
    }

    pylox_test::short_dir dir_;
    std::string prefix_;
};

TEST_F(ParamDevice, FileNamesComeFromSensorAndSerial)
{
    vcam::CameraConfig cfg;
    cfg.sensor_chip_id = 1; // sensor value bytes 2 .. 5 = 01 00 00 00
    cfg.sensor_w = 0;
    cfg.serial = {3, 0, 0, 0, 9, 9};
    plug(cfg);
    start();
    char buf[256];
    ASSERT_NE(pylox_get_param_absolute_name(dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), prefix_ + "pylox_param_2.bin");
    EXPECT_EQ(cams_[0]->param_file_name(), "pylox_param_2.bin");
    ASSERT_NE(pylox_get_param_lens_absolute_name(dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), prefix_ + "pylox_param_lens_2.txt");
    EXPECT_TRUE(log_->has("SENSOR: p/w/cid=1/0/1"));

    // A name that does not fit is refused, never cut short to another name.
    const int exact = static_cast<int>(prefix_.size() + std::strlen("pylox_param_2.bin")) + 1;
    EXPECT_NE(pylox_get_param_absolute_name(dev_, buf, exact), nullptr);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(pylox_get_param_absolute_name(dev_, buf, exact - 1), nullptr);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(pylox_get_param_absolute_name(dev_, nullptr, 64), nullptr);
    EXPECT_EQ(pylox_get_param_absolute_name(nullptr, buf, 64), nullptr);
}

// The package arrives whole and lands as the device's parameter file, the
// transfer's own files are removed, the camera is back in normal mode and
// the frame ring has its size back. Several megabytes come back to back, far
// more than a ring of two frames holds.
TEST_F(ParamDevice, PackageArrivesWholePlainAndZipped)
{
    auto cam = plug();
    start();
    vcam::CalibSpec cal;
    cal.images = 16; // two frequencies: about 4.9 MB, 33 upload frames
    const int ring = ring_bytes();
    for (bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "zipped" : "plain");
        cal.ts = zip ? 2000 : 1000;
        cam->serve_calibration(cal, zip, 5, 7);
        const std::vector<uint8_t> want = cam->calib_param_file(cal);
        if (!zip) {
            ASSERT_GT(want.size(), 4u << 20);
        }
        ASSERT_EQ(pylox_param_load_from_dev(dev_), 1);
        EXPECT_EQ(pylox_test::read_file(param_path()), want);
        EXPECT_FALSE(exists("calibration.bin"));
        EXPECT_FALSE(exists("tmp.zip"));
        EXPECT_EQ(cam_param32(*cam, PARAM_DEV_MODE), 0u);
        EXPECT_EQ(ring_bytes(), ring);
        if (zip) {
            EXPECT_TRUE(log_->has("Extracted: " + cam->param_file_name() + " (1 of 1)"));
        }

        pylox_param_t p;
        ASSERT_EQ(pylox_param_open_file(&p, param_path().c_str()), 1);
        EXPECT_EQ(uint32_t{p.hdr.ts}, cal.ts); // a copy: the record is packed
        EXPECT_EQ(pylox_param_get_blk_cnt(&p), 2);
        pylox_param_close(&p);
    }
}

// A frame lost on the way (dropped, or damaged and discarded) fails the
// transfer with a log line; the parameter file already there stays as it was.
TEST_F(ParamDevice, LostFrameFailsTheTransferAndKeepsTheOldFile)
{
    vcam::CameraConfig cfg;
    cfg.data_checksum = true;
    auto cam = plug(cfg);
    start();
    vcam::CalibSpec cal;
    cal.freqs = {12000000};
    cal.images = 4;
    cam->serve_calibration(cal, false, 5, 7);
    const std::vector<uint8_t> old = {1, 2, 3, 4};
    ASSERT_TRUE(pylox_test::write_file(param_path(), old));
    for (vcam::StreamFault f :
         {vcam::StreamFault::drop_packet, vcam::StreamFault::corrupt_payload}) {
        log_->clear();
        cam->fault_stream(f); // the package's first frame
        EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
        EXPECT_TRUE(log_->has("calib frame lost: got idx=1 fmt=171 size=153600, expect idx=0"))
            << log_->text();
        EXPECT_EQ(pylox_test::read_file(param_path()), old);
        EXPECT_EQ(cam_param32(*cam, PARAM_DEV_MODE), 0u);
    }
}

// The package header decides before capture whether a transfer starts, and
// the received file must be exactly the announced size.
TEST_F(ParamDevice, PackageHeaderChecks)
{
    auto cam = plug();
    start();
    std::vector<uint8_t> payload(307182);
    std::mt19937 rng(3);
    for (uint8_t &b : payload)
        b = static_cast<uint8_t>(rng());
    // fsize 307200 and dsize 307182: two frames, accepted and stored as they are.
    cam->serve_package(payload, 0, 5, 7);
    ASSERT_EQ(pylox_param_load_from_dev(dev_), 1);
    EXPECT_EQ(pylox_test::read_file(param_path()), payload);
    EXPECT_TRUE(log_->has("valid:1, fsize:307200, fr_num: 2"));

    auto info = [&](uint8_t valid, uint32_t ts, uint32_t fsize, uint32_t dsize) {
        std::vector<uint8_t> v(18, 0);
        v[0] = valid;
        std::memcpy(&v[6], &ts, 4);
        std::memcpy(&v[10], &fsize, 4);
        std::memcpy(&v[14], &dsize, 4);
        return v;
    };
    struct refused {
        const char *what;
        std::vector<uint8_t> info;
    };
    const refused before_capture[] = {
        {"not valid", info(0, 7, 307200, 100)},
        {"package time stamp 0", info(1, 0, 307200, 100)},
        {"larger than 10 MiB", info(1, 7, 0xA00001, 100)},
        {"payload beyond the package", info(1, 7, 307200, 307183)},
        {"payload size wraps", info(1, 7, 307200, 0xFFFFFFF0)},
        {"less than a frame", info(1, 7, 153599, 100)},
    };
    for (const refused &r : before_capture) {
        SCOPED_TRACE(r.what);
        cam->set_param(PARAM_INFO_CALIB, r.info);
        const int starts = stream_starts();
        EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
        EXPECT_EQ(stream_starts(), starts);
        EXPECT_EQ(cam_param32(*cam, PARAM_DEV_MODE), 0u);
    }

    // fsize 153618 fetches one frame, whose file is 153600 bytes: refused.
    std::vector<uint8_t> pkg = vcam::calib_package(std::vector<uint8_t>(1000, 1), 0, 5, 7);
    const uint32_t odd = 153618;
    std::memcpy(&pkg[10], &odd, 4);
    cam->set_calib_package(pkg, 5, 7, 0);
    cam->set_param(PARAM_INFO_CALIB, std::vector<uint8_t>(pkg.begin(), pkg.begin() + 18));
    log_->clear();
    EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
    EXPECT_TRUE(log_->has("header verify failed: valid=1, ts=7, fsize=153618 (expect=153600)"))
        << log_->text();
    EXPECT_EQ(pylox_test::read_file(param_path()), payload);
}

TEST_F(ParamDevice, OldFirmwareHasNoPackageToFetch)
{
    vcam::CameraConfig cfg;
    cfg.sw_version = 132;
    auto cam = plug(cfg);
    start();
    cam->serve_calibration(vcam::CalibSpec{}, false, 5, 7);
    EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
    EXPECT_EQ(stream_starts(), 0);
    EXPECT_FALSE(std::filesystem::exists(param_path()));
}

// An archive from the camera is untrusted: entries that would leave the path
// prefix fail the extraction before anything is written.
TEST_F(ParamDevice, ZipSlipPackageIsRefused)
{
    auto cam = plug();
    start();
    const std::vector<uint8_t> data = {1, 2, 3};
    for (const char *name : {"../escaped.bin", "/tmp/escaped.bin", "sub/../../escaped.bin"}) {
        SCOPED_TRACE(name);
        log_->clear();
        cam->serve_package(vcam::zip_archive({{"pylox_param_1.bin", data}, {name, data}}), 1, 5, 7);
        EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
        EXPECT_TRUE(log_->has("unzip " + prefix_ + "tmp.zip failed"));
        EXPECT_FALSE(std::filesystem::exists(dir_.file("escaped.bin")));
        EXPECT_FALSE(exists("pylox_param_1.bin"));
    }
    cam->serve_package(vcam::zip_archive({{"lnk", data, true}}), 1, 5, 7);
    EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
    EXPECT_FALSE(exists("lnk"));
}

// A path prefix so long that the parameter file name no longer fits into the
// driver's 64 characters: no transfer, a clean failure.
TEST_F(ParamDevice, NameTooLongForItsBufferFailsBeforeTheTransfer)
{
    auto cam = plug();
    const std::string deep = dir_.file(std::string(40, 'd')) + "/";
    start(deep);
    ASSERT_GT(deep.size() + cam->param_file_name().size(), 63u);
    cam->serve_calibration(vcam::CalibSpec{}, false, 5, 7);
    EXPECT_EQ(pylox_param_load_from_dev(dev_), 0);
    EXPECT_TRUE(log_->has("cannot get param name"));
    EXPECT_EQ(stream_starts(), 0);
    EXPECT_EQ(cam_param32(*cam, PARAM_DEV_MODE), 0u);
}

// The open brings the calibration up to date and mounts it: the first open
// fetches the package and mounts the first block (12 MHz) with a summary that
// follows the camera's own phase model (its distance offset is the 2000 mm
// and the temperature term the camera adds); the second open uses the cache;
// a frequency change remounts; a newer device time stamp fetches again (zipped).
TEST_F(ParamDevice, OpenFetchesCachesRefreshesAndMounts)
{
    auto cam = plug();
    vcam::CalibSpec cal;
    cal.ts = 10;
    cam->serve_calibration(cal, false, 5, 7);
    start();
    EXPECT_EQ(stream_starts(), 1);
    EXPECT_EQ(pylox_test::read_file(param_path()), cam->calib_param_file(cal));
    auto state = [&] { return static_cast<epc_state_t *>(dev_->ctx->driver->priv); };
    auto mounted_freq = [&] {
        uint32_t f;
        std::memcpy(&f, state()->calib->hdr, 4);
        return f;
    };
    const vcam::CameraConfig cfg;
    const double tc_mm = cfg.temp_cb * 1.45 + cfg.temp_ib * 0.33765;
    auto check_summary = [&](uint32_t f) {
        SCOPED_TRACE(f);
        epc_state_t *st = state();
        EXPECT_EQ(st->calib_en, 1);
        EXPECT_EQ(st->mod_freq, f);
        EXPECT_EQ(mounted_freq(), f);
        EXPECT_EQ(epc_calc_calib_loaded(dev_->ctx->driver), 1);
        epc_calib_t *c = st->calib;
        EXPECT_EQ(c->img_count, cal.images);
        EXPECT_EQ(c->cal_cb, cfg.temp_cb);
        EXPECT_EQ(c->cal_ib, cfg.temp_ib);
        EXPECT_NEAR(c->step_um, cal.step_um, cal.step_um * 0.002);
        EXPECT_NEAR(c->cal_offset_mm, -(2000 + tc_mm), 3.0);
        const std::vector<float> ph = vcam::model_phases(cfg, 295.0f, f, cfg.temp_cb, cfg.temp_ib);
        double mean = 0;
        for (float v : ph)
            mean += v;
        EXPECT_NEAR(c->mean_first, mean / ph.size(), 1.0);
    };
    check_summary(12000000);
    EXPECT_EQ(cam_param32(*cam, PARAM_MOD_FREQ), 12000000u);

    // A frequency change remounts the block of the new frequency.
    ASSERT_TRUE(set_param32(PARAM_MOD_FREQ, 24000000));
    check_summary(24000000);
    pylox_dev_close(dev_);

    // The cache is current: no transfer.
    cam->clear_control_log();
    ASSERT_NE(open_first(), nullptr);
    EXPECT_EQ(stream_starts(), 0);
    check_summary(12000000);
    pylox_dev_close(dev_);

    // The camera's data are newer than the file: fetched again, zipped this time.
    cal.ts = 20;
    cal.step_um = 90000;
    cam->serve_calibration(cal, true, 20, 8);
    cam->clear_control_log();
    log_->clear();
    ASSERT_NE(open_first(), nullptr);
    EXPECT_TRUE(log_->has("local param (ts=10) is not up-to-date (dev ts=20)"));
    EXPECT_EQ(stream_starts(), 1);
    EXPECT_EQ(pylox_test::read_file(param_path()), cam->calib_param_file(cal));
    check_summary(12000000);
}

// Without a calibration on the camera the driver runs uncalibrated at 12 MHz.
TEST_F(ParamDevice, NoCalibrationMeansDefaultsAt12MHz)
{
    vcam::CameraConfig cfg;
    cfg.mod_freq = 24000000;
    plug(cfg);
    start();
    auto *st = static_cast<epc_state_t *>(dev_->ctx->driver->priv);
    EXPECT_EQ(st->calib_en, 0);
    EXPECT_EQ(st->mod_freq, 12000000u);
    EXPECT_EQ(st->calib->data, nullptr);
    EXPECT_EQ(st->calib->cal_scale_um, 1000);
    EXPECT_EQ(st->calib->cal_offset_mm, -2000);
    EXPECT_EQ(st->range_mm, 12491u);
}

} // namespace
