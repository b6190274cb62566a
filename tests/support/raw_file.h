// Writes raw frame files ("TQ_RAW" header line, then little-endian samples)
// independently of the library, for replay tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pylox_test {

struct raw_file_layout {
    int width = 320;
    int height = 240;
    int count = 4; // 16-bit samples per pixel
    std::string tag = "PYLOX-E2-R320";
    bool u32 = false; // store samples as 32-bit words
};

// Frame k's sample i is pattern(k, i): every frame differs and is recognisable.
uint16_t raw_pattern(int frame, size_t sample);

// Writes frames 0..frames-1 with raw_pattern; returns the bytes of one frame
// in the file. A nonzero cut_last drops that many bytes from the end.
size_t write_raw_file(const std::string &path, const raw_file_layout &lay, int frames,
                      size_t cut_last = 0);

// The samples of frame k as the library hands them out (16-bit).
std::vector<uint16_t> raw_frame(const raw_file_layout &lay, int frame);

// A fresh scratch file name under the temporary directory.
std::string scratch_path(const std::string &stem);

} // namespace pylox_test
