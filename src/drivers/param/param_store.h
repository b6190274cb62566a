// Internal helpers of the parameter store.
#pragma once

#include <pylox/pylox_param.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace pylox {

// Fletcher-16 (sums modulo 255; result s1 + 256 * s2). A previous result as
// seed continues the sum over a further piece.
uint16_t param_fletcher16(const uint8_t *p, size_t n, uint16_t seed = 0);

// Joins prefix and name into out (size bytes); false when it does not fit.
bool param_join(char *out, size_t size, const char *prefix, const char *name);

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A file opened for reading with its leading header read: f is null when the
// file does not open, length is its size in bytes (-1 when it cannot be
// told), head_read is false when the file is shorter than the header. The
// file stands just after the header.
struct param_head_file {
    file_ptr f;
    long length = -1;
    bool head_read = false;
};
param_head_file param_open_head(const char *path, void *head, size_t size);

// The calibration package header the camera reports (PARAM_INFO_CALIB);
// false when the camera does not answer.
bool param_calib_info(pylox_dev_t *dev, pylox_calib_pkg_hdr_t *info);

// Unpacks every entry of a zip archive into the folder dir (which ends in a
// separator or is empty for the current folder). Entries are untrusted: an
// absolute name, a ".." component or a link is refused and fails the whole
// extraction before anything is written, and nothing is written through a
// link found in the folder. on_entry is called after each extracted entry
// with its name and running number; it returns 0 to go on. true on success.
using zip_entry_cb = int (*)(const char *name, void *arg);
bool zip_extract(const char *archive, const char *dir, zip_entry_cb on_entry, void *arg);

} // namespace pylox
