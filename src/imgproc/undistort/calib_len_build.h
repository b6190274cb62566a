// Steps of building an undistortion map, reachable by the tests.
#pragma once

#include <pylox/tq_calib_len.h>

#include <cstddef>
#include <cstdint>

namespace pylox {

// Rectangles (x, y, width, height) of the 9 x 9 grid of source points at
// (width * i / 8, height * j / 8) after undistortion and projection by the
// row-major matrix p: the bounding box of all points and the rectangle inside
// the first and last grid row and column.
struct calib_len_rects {
    float outer[4];
    float inner[4];
};
calib_len_rects calib_len_rectangles(const tq_calib_len_param_t &lens, const double p[9]);

// Camera matrix (row-major) of the corrected image that keeps the whole
// source in view, and the valid region (x, y, width, height) in it. False
// when the lens gives no finite camera.
bool calib_len_new_camera(const tq_calib_len_param_t &lens, double k_new[9], int32_t valid[4]);

// Allocator of the map entries (tests replace it to provoke a failure).
extern void *(*calib_len_alloc)(std::size_t bytes);

} // namespace pylox
