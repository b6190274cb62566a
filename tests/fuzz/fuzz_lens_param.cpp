// libFuzzer target of the lens intrinsics file ("lens_param.txt") and of what
// the driver builds from it at open: the undistortion map, the intrinsics
// scaled to a frame size, and one undistorted frame. Input: the file.
//
// A file may name images up to 2048 x 2048; the map of such a lens is built
// for the same lens at a size of at most k_map_cells cells (focal lengths and
// centre scaled with the size, the distortion as it is), which goes through
// the same per-row code at a fraction of the time.
#include "drivers/epc/epc_driver.h"
#include "fuzz_util.h"

#include <pylox/tq_calib_len.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const tq_calib_len_param_t k_defaults = {160.0, 120.0, 210.0, 210.0, 0.0, 0.0,
                                         0.0,   0.0,   0.0,   320,   240};

constexpr int64_t k_map_cells = 40 * 30;

// The lens p at a size of at most k_map_cells cells.
tq_calib_len_param_t map_size(const tq_calib_len_param_t &p)
{
    const int64_t cells = static_cast<int64_t>(p.width) * p.height;
    if (p.width <= 0 || p.height <= 0 || cells <= k_map_cells)
        return p;
    const double s = std::sqrt(static_cast<double>(k_map_cells) / static_cast<double>(cells));
    tq_calib_len_param_t q = p;
    q.width = std::max(1, static_cast<int>(p.width * s));
    q.height = std::max(1, static_cast<int>(p.height * s));
    const double sx = static_cast<double>(q.width) / p.width;
    const double sy = static_cast<double>(q.height) / p.height;
    q.fx *= sx;
    q.cx *= sx;
    q.fy *= sy;
    q.cy *= sy;
    return q;
}

// Every cell names a source cell or none (-1), the valid area lies inside
// the map, and a frame undistorts to what the cells name.
FUZZ_NO_COVERAGE void check_map(const tq_calib_len_map_t &map, int32_t cells)
{
    for (int32_t i = 0; i < cells; ++i)
        FUZZ_CHECK(map.map[i] >= -1 && map.map[i] < cells);
    FUZZ_CHECK(map.valid_x >= 0 && map.valid_y >= 0 && map.valid_w >= 0 && map.valid_h >= 0 &&
               map.valid_x + map.valid_w <= map.width && map.valid_y + map.valid_h <= map.height);
    static std::vector<uint16_t> src, dst;
    src.resize(static_cast<size_t>(cells));
    dst.resize(src.size());
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint16_t>(i);
    FUZZ_CHECK(tq_calib_len_undistort_u16(&map, dst.data(), cells, src.data(), map.width,
                                          map.height, 65500) == 1);
    for (int32_t i = 0; i < cells; ++i)
        FUZZ_CHECK(dst[i] == (map.map[i] < 0 ? 65500 : static_cast<uint16_t>(map.map[i])));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    static const std::string prefix = fuzz::scratch_dir("lens") + "/";
    static const std::string path = prefix + pylox::k_lens_file;
    fuzz::write_file(path, data, size);
    tq_calib_len_param_t p = k_defaults;
    const int ok = pylox::_tq_update_len_param(prefix.c_str(), &p);
    FUZZ_CHECK(ok == 0 || ok == 1);

    // As the driver's open: the map of whatever the file left.
    const tq_calib_len_param_t m = map_size(p);
    tq_calib_len_map_t map{};
    const int32_t cells = tq_calib_len_init_map(&map, &m);
    FUZZ_CHECK(cells >= 0);
    FUZZ_CHECK((cells > 0) == (map.valid == 1));
    if (cells > 0) {
        FUZZ_CHECK(cells == map.width * map.height && map.width == m.width &&
                   map.height == m.height);
        check_map(map, cells);
    }
    tq_calib_len_uninit_map(&map);

    // The intrinsics for the frame sizes the products ask for.
    const tq_calib_len_param_t saved = g_epc_lens_param;
    g_epc_lens_param = p;
    for (const int div : {1, 2}) {
        tq_calib_len_param_t q{};
        if (pylox::epc_lens_param_get(nullptr, &q, 320 / div, 240 / div)) {
            FUZZ_CHECK(p.width % (320 / div) == 0 && p.height % (240 / div) == 0);
            FUZZ_CHECK(q.width == 320 / div && q.height == 240 / div);
            FUZZ_CHECK(std::isfinite(q.cx) == std::isfinite(p.cx));
        }
    }
    g_epc_lens_param = saved;
    return 0;
}
