// Runs the pylox tool as a user would and reads back what it wrote.
#pragma once

#include <pylox/pylox.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cli_test {

struct result {
    int rc = -1;
    std::string out, err;
    // Lines of standard error.
    std::vector<std::string> err_lines() const
    {
        std::vector<std::string> v;
        std::istringstream s(err);
        for (std::string l; std::getline(s, l);)
            v.push_back(l);
        return v;
    }
};

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A scratch folder per test, removed afterwards.
struct scratch {
    std::filesystem::path dir;
    scratch()
    {
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("pylox_cli_" + std::string(t->name()) + "_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    ~scratch() { std::filesystem::remove_all(dir); }
    std::string operator/(const std::string &name) const { return (dir / name).string(); }
};

// Runs pylox with args (under the virtual camera's launcher when vcam is
// set, given launcher_opts, with extra "NAME=value" environment entries),
// limited to 120 s.
inline result run(const std::vector<std::string> &args, bool vcam = false,
                  const std::vector<std::string> &env = {},
                  const std::vector<std::string> &launcher_opts = {})
{
    const std::string base =
        std::filesystem::temp_directory_path() / ("pylox_cli_run_" + std::to_string(::getpid()));
    std::vector<std::string> argv = {"env"};
    for (const auto &e : env)
        argv.push_back(e);
    argv.insert(argv.end(), {"timeout", "120"});
    if (vcam) {
        argv.push_back(PYLOX_VCAM_RUN);
        argv.insert(argv.end(), launcher_opts.begin(), launcher_opts.end());
    }
    argv.push_back(PYLOX_CLI_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char *> cargv;
        for (auto &a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        ::execvp("env", cargv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result r;
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

// A failure as the tool promises it: non-zero status, one line on standard
// error that starts with "pylox: ".
inline ::testing::AssertionResult one_line_error(const result &r)
{
    const auto lines = r.err_lines();
    if (r.rc == 0)
        return ::testing::AssertionFailure() << "exit status 0; stdout: " << r.out;
    if (lines.size() != 1 || lines[0].rfind("pylox: ", 0) != 0)
        return ::testing::AssertionFailure() << "stderr is not one 'pylox: ' line:\n" << r.err;
    return ::testing::AssertionSuccess();
}

struct png_read_back {
    int w = 0, h = 0, channels = 0, bit_depth = 0;
    std::vector<uint8_t> px;
};

// Reads a PNG back with libpng; false when it does not decode.
inline bool read_png(const std::string &path, png_read_back &img)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    img.w = static_cast<int>(png_get_image_width(png, info));
    img.h = static_cast<int>(png_get_image_height(png, info));
    img.channels = png_get_channels(png, info);
    img.bit_depth = png_get_bit_depth(png, info);
    const size_t row = png_get_rowbytes(png, info);
    img.px.resize(row * static_cast<size_t>(img.h));
    for (int y = 0; y < img.h; ++y)
        png_read_row(png, img.px.data() + row * static_cast<size_t>(y), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return true;
}

// Raw frames of a raw frame file, read with the library's own loader.
inline std::vector<std::vector<uint16_t>> raw_frames(const std::string &path, int *w = nullptr,
                                                     int *h = nullptr)
{
    std::vector<std::vector<uint16_t>> frames;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return frames;
    std::vector<uint16_t> buf(320 * 240 * 4 * 2);
    for (;;) {
        const int n = pylox_frame_load_raw(fd, buf.data(), static_cast<int>(buf.size()), w, h,
                                           nullptr, nullptr, 0);
        if (n <= 0)
            break;
        frames.emplace_back(buf.begin(), buf.begin() + n);
    }
    ::close(fd);
    return frames;
}

#if __has_include(<pylox/pylox_frame.h>)
// The library's own distances and gray values of every frame of a raw
// recording, taken as the tool takes them (the replay device, capture), to
// hold the tool's outputs against.
struct decoded_frame {
    std::vector<float> dist, gray;
};
inline std::vector<decoded_frame> library_decode(const std::string &path)
{
    std::vector<decoded_frame> out;
    pylox_init("/dev/null");
    pylox_log_cfg(TQ_LOG_NONE, TQ_LOG_NONE, TQ_LOG_NONE);
    pylox_dev_t *dev = pylox_dev_open_replay(path.c_str());
    if (dev) {
        pylox_param_item_t rate{};
        rate.param_id = PARAM_FRAME_RATE;
        rate.param_val_len = 4; // zero: as fast as the file reads
        pylox_param_batch_set(dev, &rate, 1);
        std::vector<uint8_t> buf(2u * 320 * 240 * 8);
        pylox_frame_info_t fi{};
        if (pylox_cap_start(dev)) {
            while (pylox_cap_get_frames(dev, 1, buf.data(), static_cast<int>(buf.size()), &fi) ==
                   1) {
                const int pix = static_cast<int>(fi.width * fi.height);
                decoded_frame d;
                d.dist.resize(static_cast<size_t>(pix));
                d.gray.resize(static_cast<size_t>(pix));
                if (pylox_frame_get_distance(dev, d.dist.data(), pix, buf.data(),
                                             static_cast<int>(fi.frame_size), &fi) != pix ||
                    pylox_frame_get_gray(dev, d.gray.data(), pix, buf.data(),
                                         static_cast<int>(fi.frame_size), &fi) != pix)
                    break;
                out.push_back(std::move(d));
            }
            pylox_cap_stop(dev);
        }
        pylox_dev_close(dev);
    }
    pylox_uninit();
    return out;
}
#endif

inline std::string sample()
{
    return std::string(PYLOX_SOURCE_DIR) + "/samples/vcam_box_e2.raw";
}

} // namespace cli_test
