/* The public records as a strict C99 compiler lays them out, for the C++
   side of test_records to compare with its own view. */
#include "records_layout.h"

/* Alignment without C11: the offset of a record placed after one char. */
#define PYLOX_TEST_ALIGN_HOLDER(T)                                                                 \
    struct records_align_##T {                                                                     \
        char c;                                                                                    \
        T t;                                                                                       \
    };
PYLOX_TEST_RECORDS(PYLOX_TEST_ALIGN_HOLDER)

/* Where the layout is part of the interface (the wire header, the handle
   applications allocate, the driver and back-end tables) it is pinned here
   beyond the headers' own checks, in C's view; the C++ view is compared at
   run time. */
#define P_ sizeof(void *)
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, loc) == P_ + 4, t_dev_loc);
PYLOX_STATIC_ASSERT(offsetof(pylox_dev_t, free_on_close) == 2 * P_ + 161, t_dev_free);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_dev_t, kind) == P_, t_ll_kind);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_dev_t, loc) == P_ + 4, t_ll_loc);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_dev_t, ops) == P_ + 44, t_ll_ops);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_dev_t, located) == 2 * P_ + 44, t_ll_located);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_locator_t, usb.speed) == 3, t_loc_speed);
PYLOX_STATIC_ASSERT(offsetof(pylox_ll_param_t, val) == 2, t_param_val);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, frame_format) == 4, t_fi_format);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, frame_idx) == 6, t_fi_idx);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, width) == 8, t_fi_width);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, height) == 12, t_fi_height);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_info_t, temp1) == 22, t_fi_temp1);
PYLOX_STATIC_ASSERT(offsetof(pylox_frame_t, data) == 32, t_frame_data);
PYLOX_STATIC_ASSERT(offsetof(pylox_param_item_t, param_val_len) == 4, t_item_len);
PYLOX_STATIC_ASSERT(offsetof(tq_stream_hdr_t, frfmt) == 14, t_hdr_frfmt);
PYLOX_STATIC_ASSERT(offsetof(tq_stream_hdr_t, attr) == 16, t_hdr_attr);
PYLOX_STATIC_ASSERT(offsetof(tq_stream_hdr_t, data_sum) == 28, t_hdr_data_sum);
PYLOX_STATIC_ASSERT(offsetof(tq_stream_hdr_t, hdr_sum) == 34, t_hdr_hdr_sum);
PYLOX_STATIC_ASSERT(offsetof(tq_stream_state_t, bytes_discarded) == 24, t_state_discarded);
PYLOX_STATIC_ASSERT(sizeof(pylox_drv_op_t) == 16 * P_, t_drv_op_slots);
PYLOX_STATIC_ASSERT(sizeof(pylox_ll_op_t) == 17 * P_, t_ll_op_slots);

size_t records_layout_c(records_layout_entry *out, size_t max)
{
#define PYLOX_TEST_C_RECORD(T) {#T, offsetof(struct records_align_##T, t), sizeof(T)},
#define PYLOX_TEST_C_ENUM(T) {#T, 0, sizeof(T)},
#define PYLOX_TEST_C_MEMBER(T, m) {#T "." #m, offsetof(T, m), sizeof(((T *)0)->m)},
    static const records_layout_entry all[] = {PYLOX_TEST_RECORDS(PYLOX_TEST_C_RECORD)
                                                   PYLOX_TEST_ENUMS(PYLOX_TEST_C_ENUM)
                                                       PYLOX_TEST_MEMBERS(PYLOX_TEST_C_MEMBER)};
    const size_t n = sizeof all / sizeof all[0];
    size_t i;
    for (i = 0; i < n && i < max; ++i)
        out[i] = all[i];
    return n;
}

int records_stream_c(const uint8_t *bytes, int count, uint32_t out[8])
{
    tq_stream_cfg_t cfg;
    tq_stream_t *s;
    tq_stream_finfo_t fi;
    uint8_t probe = 0;
    int got;
    cfg.max_frames = 4;
    s = tq_stream_create(&cfg);
    if (!s)
        return -1;
    tq_stream_feed_input(s, bytes, count);
    /* A destination without room: only the information is copied. */
    got = tq_stream_fetch_frames(s, &probe, 0, 1, &fi, 1);
    if (got == 1) {
        out[0] = fi.frame_size;
        out[1] = fi.frame_idx;
        out[2] = fi.frame_format;
        out[3] = fi.attr.width;
        out[4] = fi.attr.height;
        out[5] = fi.attr.temp0;
        out[6] = fi.attr.temp1;
        out[7] = fi.attr.word;
    }
    tq_stream_destroy(s);
    return got;
}
