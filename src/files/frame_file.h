// Raw frame file loading with an explicit loader state, so that the replay
// device reads its file without touching the state of the exported loader.
#pragma once

#include <cstdint>

#include <pylox/pylox_frame_file.h>

namespace pylox {

// Header of the file parsed last by one loader (distance and gray files keep
// n at 1 and no tag).
struct raw_load_state {
    int format = 0;                         // PYLOX_FRAME_SAVE_*
    int sample_bytes = 0;                   // bytes of one sample in the file
    int w = 0, h = 0, n = 0;                // 0 until a header was parsed
    char tag[PYLOX_FRAME_TAG_MAX + 1] = {}; // %32s writes up to 33 bytes
};

enum class load_status {
    ok,        // a whole frame was read
    eof,       // nothing left to read: the end of the file
    truncated, // the file ended (or failed) inside a frame
    failed     // bad header, no header yet, bad arguments or no memory
};

struct raw_load_result {
    int samples = 0; // samples written to dst
    load_status status = load_status::failed;
    long bytes = 0; // bytes of the frame read from the file
};

// The raw loader: parses the header when fd is at position 0 (the log lines
// carry fn as the function name), then reads one frame using st's dimensions.
raw_load_result frame_load_raw(raw_load_state &st, const char *fn, int fd, uint16_t *dst,
                               int dst_len);

} // namespace pylox
