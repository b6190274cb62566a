// Fetching the calibration package from the camera: the camera streams it in
// data-upload mode as frames of format 171, the host collects them into
// "calibration.bin", checks the package header and stores the payload as the
// device's parameter file (a zip archive is unpacked into the path prefix).
#include "core/log.h"
#include "drivers/param/param_store.h"

#include <pylox/pylox_api.h>
#include <pylox/pylox_param.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr const char *k_fn = "_load_pylox_param";
constexpr const char *k_fn_pk = "_calib_pk_parse";
constexpr int k_name_size = 64; // the driver keeps the parameter file name in 64 characters
constexpr int k_path_size = 512;
constexpr int k_ring_default = 614400;
constexpr uint32_t k_frame = PYLOX_CALIB_FRAME_SIZE;
constexpr size_t k_copy_piece = 4096;

using pylox::file_ptr;

bool set_mode(pylox_dev_t *dev, uint8_t mode)
{
    pylox_param_item_t it{};
    it.param_id = PARAM_DEV_MODE;
    it.param_val_len = 1;
    it.param_val[0] = mode;
    return pylox_param_batch_set(dev, &it, 1) != 0;
}

uint16_t sw_version(const pylox_dev_t *dev)
{
    uint16_t v;
    std::memcpy(&v, dev->version + 2, sizeof v);
    return v;
}

// Collects the package's frames into f. Every frame must be the next one of
// the package: frame k carries index k. The ring holds the whole package, so
// a fast camera cannot push frames out of it; a frame lost anyway (dropped,
// damaged on the way) fails the transfer rather than leave a shifted or
// shortened package.
bool fetch_frames(pylox_dev_t *dev, FILE *f, uint32_t fr_num, const char *bin)
{
    auto buf = std::make_unique<uint8_t[]>(k_frame);
    if (!pylox_cap_start(dev)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] start capture for calib frames failed\n");
        return false;
    }
    bool ok = true;
    for (uint32_t k = 0; k < fr_num; ++k) {
        pylox_frame_info_t info{};
        const int r = pylox_cap_get_frames(dev, 1, buf.get(), static_cast<int>(k_frame), &info);
        if (r != 1) {
            PYLOX_LOG_AS(TQ_LOG_DBG, k_fn, "[%s] get calib frames failed: ret=%d\n", r);
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] calib frame %u of %u missing\n",
                         static_cast<unsigned>(k), static_cast<unsigned>(fr_num));
            ok = false;
            break;
        }
        if (info.frame_format != PYLOX_CALIB_FRAME_FMT || info.frame_size != k_frame ||
            info.frame_idx != static_cast<uint16_t>(k)) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn,
                         "[%s] calib frame lost: got idx=%u fmt=%u size=%u, expect idx=%u of %u\n",
                         static_cast<unsigned>(info.frame_idx),
                         static_cast<unsigned>(info.frame_format),
                         static_cast<unsigned>(info.frame_size), static_cast<unsigned>(k),
                         static_cast<unsigned>(fr_num));
            ok = false;
            break;
        }
        if (std::fwrite(buf.get(), 1, k_frame, f) != k_frame) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] write calib frames to %s failed\n", bin);
            ok = false;
            break;
        }
    }
    pylox_cap_stop(dev);
    return ok;
}

// Copies dsize bytes from offset 18 of src into the file `dst`.
bool copy_payload(FILE *src, const char *src_name, const char *dst, uint32_t dsize)
{
    file_ptr out(std::fopen(dst, "wb+"));
    if (!out) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] Open %s failed\n", dst);
        return false;
    }
    if (std::fseek(src, sizeof(pylox_calib_pkg_hdr_t), SEEK_SET) != 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] read %s failed: rem_size = %d\n", src_name,
                     static_cast<int>(dsize));
        return false;
    }
    uint8_t piece[k_copy_piece];
    for (uint32_t rem = dsize; rem > 0;) {
        const size_t n = rem < k_copy_piece ? rem : k_copy_piece;
        if (std::fread(piece, 1, n, src) != n) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] read %s failed: rem_size = %d\n", src_name,
                         static_cast<int>(rem));
            return false;
        }
        if (std::fwrite(piece, 1, n, out.get()) != n) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] write %s failed: rem_size = %d\n", dst,
                         static_cast<int>(rem));
            return false;
        }
        rem -= static_cast<uint32_t>(n);
    }
    if (std::fflush(out.get()) != 0) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] write %s failed: rem_size = %d\n", dst, 0);
        return false;
    }
    return true;
}

struct extract_count {
    int done = 0;
};

} // namespace

namespace pylox {

bool param_calib_info(pylox_dev_t *dev, pylox_calib_pkg_hdr_t *info)
{
    pylox_param_item_t it{};
    it.param_id = PARAM_INFO_CALIB;
    if (!pylox_param_batch_get(dev, &it, 1))
        return false;
    std::memcpy(info, it.param_val, sizeof *info);
    return true;
}

} // namespace pylox

// Per-entry callback of the extraction.
static int on_extract_to_folder_entry(const char *filename, void *arg)
{
    auto *c = static_cast<extract_count *>(arg);
    ++c->done;
    LOG_DBG("[%s] Extracted: %s (%d of %d)\n", filename, c->done, 1);
    return 0;
}

namespace {

// Checks the package in `bin` and stores its payload. true when the
// parameter file (or the archive's files) are in place.
bool store_package(pylox_dev_t *dev, const char *prefix, const char *bin, const char *param_name)
{
    pylox_calib_pkg_hdr_t h{};
    pylox::param_head_file hf = pylox::param_open_head(bin, &h, sizeof h);
    file_ptr &f = hf.f;
    if (!f) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] Open %s failed\n", bin);
        return false;
    }
    if (!hf.head_read) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] Read header of %s falied\n", bin);
        return false;
    }
    const long flen = hf.length;
    const uint32_t fsize = h.fsize, dsize = h.dsize, pkg_ts = h.pkg_ts;
    PYLOX_LOG_AS(TQ_LOG_TRC, k_fn_pk, "[%s] fsize, dsize = %d, %d\n", static_cast<int>(fsize),
                 static_cast<int>(dsize));
    if (h.valid == 0 || flen < 0 || static_cast<uint64_t>(flen) != fsize || dsize == 0 ||
        pkg_ts == 0 || static_cast<uint64_t>(fsize) < static_cast<uint64_t>(dsize) + 18) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk,
                     "[%s] %s header verify failed: valid=%d, ts=%u, fsize=%d (expect=%d), "
                     "dsize=%d)\n",
                     bin, h.valid, static_cast<unsigned>(pkg_ts), static_cast<int>(fsize),
                     static_cast<int>(flen), static_cast<int>(dsize));
        return false;
    }

    char target[k_path_size];
    const bool zipped = h.kind == 1;
    if (zipped) {
        if (!pylox::param_join(target, sizeof target, prefix, "tmp.zip")) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] Open %s failed\n", "tmp.zip");
            return false;
        }
        std::remove(target);
    } else if (!pylox::param_join(target, sizeof target, param_name, ".part")) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] Open %s failed\n", param_name);
        return false;
    }
    // A plain package goes to "<name>.part" first and replaces the parameter
    // file only when complete: a failed copy leaves the old file as it was.
    if (!copy_payload(f.get(), bin, target, dsize)) {
        if (!zipped)
            std::remove(target);
        return false;
    }
    f.reset();
    if (!zipped) {
        if (std::rename(target, param_name) != 0) {
            PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] write %s failed: rem_size = %d\n", param_name,
                         0);
            std::remove(target);
            return false;
        }
        std::remove(bin);
        return true;
    }
    extract_count count;
    if (!pylox::zip_extract(target, prefix, on_extract_to_folder_entry, &count)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn_pk, "[%s] unzip %s failed\n", target);
        return false;
    }
    PYLOX_LOG_AS(TQ_LOG_DBG, k_fn_pk, "[%s] unzip %s OK\n", target);
    std::remove(target);
    std::remove(bin);
    (void)dev;
    return true;
}

} // namespace

extern "C" {

PYLOX_API int pylox_param_load_from_dev(pylox_dev_t *dev)
{
    if (!dev) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s]  Device handler Is NULL!\r\n");
        return 0;
    }
    const char *prefix = dev->path_prefix ? dev->path_prefix : pylox_path_get();
    // The names first: a transfer whose result could not be stored is not started.
    char param_name[k_name_size];
    char bin[k_path_size];
    if (!pylox_get_param_absolute_name(dev, param_name, sizeof param_name)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] cannot get param name!\n");
        return 0;
    }
    if (!pylox::param_join(bin, sizeof bin, prefix, "calibration.bin")) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] open %s failed\n", "calibration.bin");
        return 0;
    }

    int ring = 0;
    pylox_cap_get_frame_buffer(dev, nullptr, &ring);
    pylox_cap_set_frame_buffer(dev, nullptr, k_ring_default);
    pylox_cap_set_callback_on_frame_ready(dev, nullptr);
    pylox_cap_set_callback_on_error(dev, nullptr);

    if (!set_mode(dev, PYLOX_DEV_MODE_DATA_UP)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s]  set mode to DATA_UP failed!\n");
        if (ring > 0)
            pylox_cap_set_frame_buffer(dev, nullptr, ring);
        return 0;
    }

    bool result = false;
    pylox_calib_pkg_hdr_t info{};
    if (!pylox::param_calib_info(dev, &info)) {
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s]  get param of calib data failed!\n");
    } else {
        const uint32_t fsize = info.fsize, dsize = info.dsize, pkg_ts = info.pkg_ts;
        const uint32_t fr_num = fsize / k_frame;
        PYLOX_LOG_AS(TQ_LOG_DBG, k_fn, "[%s] valid:%d, fsize:%d, fr_num: %d\n", info.valid,
                     static_cast<int>(fsize), static_cast<int>(fr_num));
        const bool usable = info.valid == 1 && sw_version(dev) > 132 && pkg_ts != 0 &&
                            fsize <= PYLOX_CALIB_PKG_MAX &&
                            static_cast<uint64_t>(fsize) >= static_cast<uint64_t>(dsize) + 18 &&
                            fr_num > 0;
        if (!usable) {
            PYLOX_LOG_AS(TQ_LOG_DBG, k_fn,
                         "[%s] no usable calib package on device: valid=%d, sw=%d, ts=%u, "
                         "fsize=%u, dsize=%u\n",
                         info.valid, sw_version(dev), static_cast<unsigned>(pkg_ts),
                         static_cast<unsigned>(fsize), static_cast<unsigned>(dsize));
        } else {
            file_ptr f(std::fopen(bin, "wb+"));
            if (!f) {
                PYLOX_LOG_AS(TQ_LOG_ERR, k_fn, "[%s] open %s failed\n", bin);
            } else {
                // Room for the whole package in the ring, whatever the
                // camera's pace against ours.
                pylox_cap_set_frame_buffer(dev, nullptr,
                                           static_cast<int>((fr_num + 1) * PYLOX_CAP_FRAME_UNIT));
                const bool fetched = fetch_frames(dev, f.get(), fr_num, bin);
                const bool closed = std::fclose(f.release()) == 0;
                result = fetched && closed && store_package(dev, prefix, bin, param_name);
            }
        }
    }

    if (!set_mode(dev, PYLOX_DEV_MODE_NORMAL) && !set_mode(dev, PYLOX_DEV_MODE_NORMAL))
        PYLOX_LOG_AS(TQ_LOG_ERR, k_fn,
                     "[%s] Device set back to normal mode failed! It may not work\n");
    if (ring > 0)
        pylox_cap_set_frame_buffer(dev, nullptr, ring);
    return result ? 1 : 0;
}

} // extern "C"
