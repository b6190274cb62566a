// Copy of payload words with their running 32-bit sum, in one pass.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pylox {

// Copies `words` 32-bit little-endian words from src to dst (the two do not
// overlap; neither needs alignment) and returns sum plus their wrapping sum.
uint32_t stream_copy_sum_words(uint8_t *dst, const uint8_t *src, size_t words, uint32_t sum);

} // namespace pylox
