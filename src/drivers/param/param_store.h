// Internal helpers of the parameter store.
#pragma once

#include <pylox/pylox_param.h>

#include <cstddef>
#include <cstdint>

namespace pylox {

// Fletcher-16 (sums modulo 255; result s1 + 256 * s2). A previous result as
// seed continues the sum over a further piece.
uint16_t param_fletcher16(const uint8_t *p, size_t n, uint16_t seed = 0);

// Joins prefix and name into out (size bytes); false when it does not fit.
bool param_join(char *out, size_t size, const char *prefix, const char *name);

// Unpacks every entry of a zip archive into the folder dir (which ends in a
// separator or is empty for the current folder). Entries are untrusted: an
// absolute name, a ".." component or a link is refused and fails the whole
// extraction before anything is written, and nothing is written through a
// link found in the folder. on_entry is called after each extracted entry
// with its name and running number; it returns 0 to go on. true on success.
using zip_entry_cb = int (*)(const char *name, void *arg);
bool zip_extract(const char *archive, const char *dir, zip_entry_cb on_entry, void *arg);

} // namespace pylox
