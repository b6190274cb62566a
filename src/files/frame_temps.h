// The temperatures of a raw recording's frames, kept in a companion file
// next to the recording ("<recording>.temps").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pylox {

struct frame_temps {
    int16_t cb = 0, ib = 0; // tenths of a degree
};

// The path of the file open on fd (through /proc/self/fd); empty when unknown.
std::string path_of_fd(int fd);
// "<recording>.temps"
std::string temps_path(const std::string &recording);

enum class temps_status { ok, missing, bad };
// Reads a companion file: out[k] holds frame k's temperatures; frames the
// file does not name take those of the nearest earlier frame (the first named
// frame for leading ones). A bad file is logged (fn names the caller).
temps_status load_temps(const std::string &path, const char *fn, std::vector<frame_temps> &out);

} // namespace pylox
