// The decode chain of the EPC driver: a raw frame of format 2 to a distance
// or gray image, as a sequence of named stages over the work images of the
// driver state (nothing is allocated per frame).
#pragma once

#include "drivers/epc/epc_state.h"

#include <cstdint>

namespace pylox {

// One distance decode in progress. `res` is the image holding the result so
// far: a stage reads it and writes the other of dst and a (`other()`), the
// depth stage leaves the amplitudes in b.
struct epc_chain {
    pylox_drv_t *drv;
    epc_state_t *st;
    const uint16_t *raw;
    uint16_t *dst; // caller's destination, n values
    uint16_t *a;   // work image A
    uint16_t *b;   // work image B (the amplitudes)
    uint16_t *res;
    int w, h, n;
    bool ok; // false once a stage failed (the decode then fails)

    uint16_t *other() const { return res == dst ? a : dst; }
};

struct epc_stage {
    const char *name;
    void (*run)(epc_chain &c);
};

// The distance stages in order: depth, hdr, minamp, median, bilateral,
// flypix, holefill, range, undistort, finish. Each checks its own switch.
extern const epc_stage g_epc_dist_stages[];
extern const int g_epc_dist_stage_count;

// Makes the work images hold at least n values each (init: a full frame).
// The process ends (-3) when memory runs out.
void epc_work_reserve(epc_state_t *st, int n);

// Binds a chain to the work images for a w x h frame.
epc_chain epc_chain_begin(pylox_drv_t *drv, uint16_t *dst, const uint16_t *raw, int w, int h);

// The whole gray chain; false when the calculation refused the frame.
bool epc_gray_chain(pylox_drv_t *drv, uint16_t *dst, const uint16_t *raw, int w, int h);

// The frame decode (driver slot 3).
int epc_frame_decode(pylox_drv_t *drv, uint16_t *dst, int dst_size, int kind, const uint8_t *raw,
                     int raw_len, const pylox_frame_info_t *info);

} // namespace pylox
