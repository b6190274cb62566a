// Whole-image steps of the decode chain that work pixel by pixel: the
// minimum-amplitude filter (with and without its hysteresis state) and the
// range invalidation. The plain forms are the definition; the vector forms
// (epc_chain_simd.cpp, the best vector unit of the machine chosen at run time)
// give the same result for every input.
#pragma once

#include <cstdint>

namespace pylox::epc {

constexpr uint16_t k_removed = 65300; // a pixel removed by a filter

// Distances of pixels whose amplitude lies outside t .. 2048 - t become 65300.
void minamp_plain(uint16_t *dist, const uint16_t *amp, int64_t n, int32_t t);
void minamp_vec(uint16_t *dist, const uint16_t *amp, int64_t n, int32_t t);

// With the per-pixel state `valid`: an amplitude in t .. 2048 - t sets it, one
// below t - hy or above 2048 - t + hy clears it, one between keeps it; the
// distance of a pixel whose state is 0 becomes 65300.
void minamp_hyst_plain(uint16_t *dist, const uint16_t *amp, uint8_t *valid, int64_t n, int32_t t,
                       int32_t hy);
void minamp_hyst_vec(uint16_t *dist, const uint16_t *amp, uint8_t *valid, int64_t n, int32_t t,
                     int32_t hy);

// Values v <= 60000 with v <= 100 or v > top become 65300 (top may be
// negative: then every such value goes).
void range_plain(uint16_t *v, int64_t n, int64_t top);
void range_vec(uint16_t *v, int64_t n, int64_t top);

} // namespace pylox::epc
