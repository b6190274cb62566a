#include "support/raw_file.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace pylox_test {

uint16_t raw_pattern(int frame, size_t sample)
{
    return static_cast<uint16_t>((sample * 7u + static_cast<size_t>(frame) * 1009u) & 0xFFFu);
}

std::vector<uint16_t> raw_frame(const raw_file_layout &lay, int frame)
{
    const size_t n = static_cast<size_t>(lay.width) * lay.height * lay.count;
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = raw_pattern(frame, i);
    return v;
}

size_t write_raw_file(const std::string &path, const raw_file_layout &lay, int frames,
                      size_t cut_last)
{
    std::string bytes;
    char head[256];
    std::snprintf(head, sizeof head, "TQ_RAW,%s,%d,%d,%d,%s\n", lay.u32 ? "U32" : "U16", lay.width,
                  lay.height, lay.count, lay.tag.c_str());
    bytes += head;
    const size_t per = lay.u32 ? 4 : 2;
    for (int k = 0; k < frames; ++k) {
        for (uint16_t s : raw_frame(lay, k)) {
            bytes.push_back(static_cast<char>(s & 0xFF));
            bytes.push_back(static_cast<char>(s >> 8));
            if (lay.u32) {
                bytes.push_back(0);
                bytes.push_back(0);
            }
        }
    }
    bytes.resize(bytes.size() - std::min(cut_last, bytes.size()));
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<size_t>(lay.width) * lay.height * lay.count * per;
}

std::string scratch_path(const std::string &stem)
{
    static std::atomic<int> n{0};
    return (std::filesystem::temp_directory_path() /
            (stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(n++)))
        .string();
}

} // namespace pylox_test
