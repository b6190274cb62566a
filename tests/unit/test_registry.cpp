// Driver choice from the product text, the TI stub, and the frame
// description of the EPC driver.
#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

pylox_dev_t with_product(const std::string &text)
{
    pylox_dev_t dev{};
    std::memcpy(dev.product, text.data(), std::min(text.size(), sizeof dev.product));
    return dev;
}

const pylox_drv_t *find(const std::string &text)
{
    pylox_dev_t dev = with_product(text);
    return pylox_drv_find(&dev);
}

TEST(Registry, MiddleFieldPicksTheDriver)
{
    const pylox_drv_t *e2 = find("PYLOX-E2-R320");
    ASSERT_NE(e2, nullptr);
    EXPECT_STREQ(e2->key, "E2");
    EXPECT_STREQ(e2->name, "EPC chip driver");
    EXPECT_EQ(e2->ops, &g_pylox_driver_op_epc);

    const pylox_drv_t *e1 = find("A-E1-B");
    const pylox_drv_t *e3 = find("A-E3-B");
    ASSERT_NE(e1, nullptr);
    ASSERT_NE(e3, nullptr);
    // Each family has its own descriptor so devices of different families can be open together.
    EXPECT_NE(e1, e2);
    EXPECT_NE(e2, e3);

    const pylox_drv_t *ti = find("X-T0-Y");
    ASSERT_NE(ti, nullptr);
    EXPECT_STREQ(ti->name, "TI OP8241 chip driver");
    EXPECT_EQ(ti->ops, &g_pylox_driver_op_ti);
}

TEST(Registry, NothingMatchesMalformedOrUnknownTexts)
{
    EXPECT_EQ(find("PYLOX-E2"), nullptr); // two fields
    EXPECT_EQ(find("E2"), nullptr);
    EXPECT_EQ(find(""), nullptr);
    EXPECT_EQ(find("PYLOX-e2-R320"), nullptr); // case matters
    EXPECT_EQ(find("PYLOX-E4-R320"), nullptr);
    EXPECT_EQ(find("PYLOX-E2 -R320"), nullptr); // exact comparison
    EXPECT_EQ(find("PYLOX--E2-R320"), nullptr); // empty field
    EXPECT_EQ(pylox_drv_find(nullptr), nullptr);
}

TEST(Registry, FieldLengthLimits)
{
    const std::string f16(16, 'A'), f17(17, 'A');
    EXPECT_NE(find(f16 + "-E1-x"), nullptr);
    EXPECT_EQ(find(f17 + "-E1-x"), nullptr);                        // first field too long
    EXPECT_EQ(find("x-E1" + std::string(14, 'B') + "-y"), nullptr); // second field > 16
    EXPECT_NE(find("x-E3-" + std::string(25, 'C')), nullptr);       // third is cut, harmless
}

TEST(Registry, UnterminatedProductTextIsReadSafely)
{
    pylox_dev_t dev{};
    std::memset(dev.product, 'Z', sizeof dev.product);
    std::memcpy(dev.product, "AB-E2-", 6);
    const pylox_drv_t *d = pylox_drv_find(&dev);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->key, "E2");
}

TEST(TiStub, DescribesFramesAndRefusesTheRest)
{
    pylox_drv_t drv{"t", "T0", &g_pylox_driver_op_ti, nullptr, nullptr};
    pylox_dev_t dev{};
    const pylox_drv_op_t &op = g_pylox_driver_op_ti;
    ASSERT_EQ(op.init(&drv, &dev), 1);
    EXPECT_EQ(drv.dev, &dev);

    tq_stream_finfo_t fi{};
    fi.frame_size = 307200;
    fi.frame_format = 5;
    fi.frame_idx = 77;
    pylox_frame_info_t info{};
    EXPECT_EQ(op.frame_get_info(&drv, &info, &fi), 1);
    EXPECT_EQ(info.frame_size, 307200u);
    EXPECT_EQ(info.frame_format, 5);
    EXPECT_EQ(info.frame_idx, 77);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.depth, 4);

    uint16_t out[8] = {};
    const uint8_t raw[32] = {};
    EXPECT_LT(op.frame_decode(&drv, out, sizeof out, 1, raw, sizeof raw, &info), 0);
    // Every slot a caller reaches without a null test is filled.
    EXPECT_EQ(op.filter_enable(&drv, 1, nullptr), 0);
    EXPECT_EQ(op.filter_disable(&drv, 1), 0);
    op.update_intg_time(&drv, 100, 0);
    op.update_mod_freq(&drv, 12000000, 0);
    EXPECT_GE(op.calib_save(&drv, nullptr, 0, 2), 0);
    EXPECT_EQ(op.reserved2(&drv, nullptr, 42), 42);
    EXPECT_EQ(op.reserved3(&drv, nullptr, 0), 1);
    EXPECT_EQ(op.frame_raw_get, nullptr);
    EXPECT_EQ(op.frame_raw_proc, nullptr);
    op.uninit(&drv);
}

class EpcInfo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(g_pylox_driver_op_epc.init(&drv_, &dev_), 1); }
    void TearDown() override { g_pylox_driver_op_epc.uninit(&drv_); }
    int info(uint32_t size, uint16_t fmt, uint16_t w, uint16_t h, int16_t cb, int16_t ib)
    {
        tq_stream_finfo_t fi{};
        fi.frame_size = size;
        fi.frame_format = fmt;
        fi.frame_idx = 9;
        fi.attr.width = w;
        fi.attr.height = h;
        fi.attr.temp0 = static_cast<uint16_t>(cb);
        fi.attr.temp1 = static_cast<uint16_t>(ib);
        return g_pylox_driver_op_epc.frame_get_info(&drv_, &out_, &fi);
    }
    pylox_drv_t drv_{"EPC chip driver", "E2", &g_pylox_driver_op_epc, nullptr, nullptr};
    pylox_dev_t dev_{};
    pylox_frame_info_t out_{};
};

TEST_F(EpcInfo, ZeroSizeMeansTheFullSensor)
{
    ASSERT_EQ(info(614400, 2, 0, 0, 300, 310), 1);
    EXPECT_EQ(out_.width, 320u);
    EXPECT_EQ(out_.height, 240u);
    EXPECT_EQ(out_.depth, 8);
    EXPECT_EQ(out_.frame_idx, 9);
    EXPECT_EQ(out_.temp0, 300);
    EXPECT_EQ(out_.temp1, 310);
}

TEST_F(EpcInfo, SizeMustBeAWholeNumberOfPixelsExceptCalibrationFrames)
{
    EXPECT_EQ(info(614401, 2, 320, 240, 300, 300), 0);
    ASSERT_EQ(info(614401, 171, 320, 240, 300, 300), 1);
    EXPECT_EQ(out_.depth, 8);
}

TEST_F(EpcInfo, ImplausibleTemperaturesAreCorrected)
{
    ASSERT_EQ(info(614400, 2, 320, 240, 300, 950), 1);
    EXPECT_EQ(static_cast<int16_t>(out_.temp1), 200);
    ASSERT_EQ(info(614400, 2, 320, 240, 1010, 800), 1); // CB out of range is kept
    EXPECT_EQ(static_cast<int16_t>(out_.temp0), 1010);
    EXPECT_EQ(static_cast<int16_t>(out_.temp1), 800);
    ASSERT_EQ(info(614400, 2, 320, 240, 1010, 250), 1); // differ by more than 600
    EXPECT_EQ(static_cast<int16_t>(out_.temp1), 910);
    ASSERT_EQ(info(614400, 2, 320, 240, 200, -301), 1);
    EXPECT_EQ(static_cast<int16_t>(out_.temp1), 100);
}

} // namespace
