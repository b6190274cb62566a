// Layouts of the records applications share with the library, and the names
// of the capture status codes.
#include <pylox/pylox.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

constexpr size_t P = sizeof(void *);

TEST(Records, DeviceHandleLayout)
{
    EXPECT_EQ(offsetof(pylox_dev_t, ctx), 0u);
    EXPECT_EQ(offsetof(pylox_dev_t, kind), P);
    EXPECT_EQ(offsetof(pylox_dev_t, loc), P + 4);
    EXPECT_EQ(offsetof(pylox_dev_t, product), P + 44);
    EXPECT_EQ(offsetof(pylox_dev_t, info_text), P + 76);
    EXPECT_EQ(offsetof(pylox_dev_t, serial), P + 108);
    EXPECT_EQ(offsetof(pylox_dev_t, version), P + 140);
    EXPECT_EQ(offsetof(pylox_dev_t, path_prefix), P + 148);
    EXPECT_EQ(offsetof(pylox_dev_t, located), 2 * P + 160);
    EXPECT_EQ(offsetof(pylox_dev_t, free_on_close), 2 * P + 161);
    EXPECT_EQ(offsetof(pylox_dev_t, api_busy), 2 * P + 162);
    EXPECT_EQ(sizeof(pylox_dev_t), 2 * P + 164);
}

TEST(Records, TransportRecordAndItems)
{
    EXPECT_EQ(offsetof(pylox_ll_dev_t, kind), P);
    EXPECT_EQ(offsetof(pylox_ll_dev_t, loc), P + 4);
    EXPECT_EQ(offsetof(pylox_ll_dev_t, ops), P + 44);
    EXPECT_EQ(offsetof(pylox_ll_dev_t, located), 2 * P + 44);
    // The USB locator bytes lead the 40-byte locator.
    pylox_ll_locator_t loc{};
    loc.usb.bus = 1;
    loc.usb.port = 2;
    loc.usb.addr = 3;
    loc.usb.speed = 4;
    EXPECT_EQ(loc.raw[0], 1);
    EXPECT_EQ(loc.raw[3], 4);
    EXPECT_EQ(sizeof(pylox_ll_param_t), 20u);
    EXPECT_EQ(offsetof(pylox_ll_param_t, val), 2u);
    // The identity words of a handle mirror those of the transport record.
    EXPECT_EQ(offsetof(pylox_dev_t, loc) - offsetof(pylox_dev_t, kind),
              offsetof(pylox_ll_dev_t, loc) - offsetof(pylox_ll_dev_t, kind));
    EXPECT_EQ(offsetof(pylox_dev_ctx_t, ll), 0u);
}

TEST(Records, FrameAndParameterRecords)
{
    EXPECT_EQ(sizeof(pylox_frame_info_t), 32u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, frame_format), 4u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, frame_idx), 6u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, width), 8u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, height), 12u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, depth), 16u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, temp0), 20u);
    EXPECT_EQ(offsetof(pylox_frame_info_t, temp1), 22u);
    EXPECT_EQ(offsetof(pylox_frame_t, data), 32u);

    EXPECT_EQ(sizeof(pylox_param_item_t), 24u);
    EXPECT_EQ(offsetof(pylox_param_item_t, param_val_len), 4u);
    EXPECT_EQ(offsetof(pylox_param_item_t, param_val), 5u);

    EXPECT_EQ(sizeof(tq_stream_hdr_t), 36u);
    EXPECT_EQ(offsetof(tq_stream_hdr_t, frfmt), 14u);
    EXPECT_EQ(offsetof(tq_stream_hdr_t, attr), 16u);
    EXPECT_EQ(offsetof(tq_stream_hdr_t, data_sum), 28u);
    EXPECT_EQ(offsetof(tq_stream_hdr_t, hdr_sum), 34u);
    EXPECT_EQ(sizeof(tq_stream_finfo_t), 20u);
    EXPECT_EQ(sizeof(tq_stream_state_t), 40u);
    EXPECT_EQ(offsetof(tq_stream_state_t, bytes_discarded), 24u);
}

TEST(Records, DriverTablesHaveFifteenSlotsAndANullEnd)
{
    EXPECT_EQ(sizeof(pylox_drv_op_t), 16 * P);
    EXPECT_EQ(sizeof(pylox_ll_op_t), 17 * P);
    EXPECT_EQ(g_pylox_driver_op_epc.end, nullptr);
    EXPECT_EQ(g_pylox_driver_op_ti.end, nullptr);
}

TEST(ErrorNames, KnownCodes)
{
    EXPECT_STREQ(pylox_error_name(PYLOX_OK), "OK");
    EXPECT_STREQ(pylox_error_name(3), "PYLOX_ERR_CAP_FRAME_DISCARD");
    EXPECT_STREQ(pylox_error_name(-5), "PYLOX_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(pylox_error_name(-7), "PYLOX_ERR_CAP_STALL");
    EXPECT_STREQ(pylox_error_name(-8), "PYLOX_ERR_CAP_ERROR");
    EXPECT_STREQ(pylox_error_name(-10), "PYLOX_ERR_CAP_UNKNOWN");
}

TEST(ErrorNames, EveryOtherValueIsUnknown)
{
    for (int v : {-1, -2, -3, -4, -6, -9, 1, 2, 4, -11, 100, -2147483647 - 1, 2147483647})
        EXPECT_STREQ(pylox_error_name(v), "**UNKNOWN**") << v;
}

} // namespace
