// The camera's firmware: command protocol, parameters, registers, reset and
// the stream producer.
#include "impl.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace vcam {

std::vector<uint8_t> device_descriptors(const CameraConfig &c);
uint16_t crc16_xmodem(const uint8_t *p, size_t n);

namespace {

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t *p, uint16_t v)
{
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}
void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (v >> (8 * i)) & 0xFF;
}

constexpr uint32_t kUploadFrame = 153600;

enum : uint8_t {
    P_DEV_MODE = 0,
    P_MOD_FREQ = 1,
    P_INFO_TEXT = 2,
    P_PRODUCT = 3,
    P_SERIAL = 5,
    P_VERSION = 6,
    P_SENSOR = 7,
    P_CALIB = 8,
    P_FRAME_RATE = 12,
    P_INTG = 13,
    P_INTG2 = 16,
    P_DCS_CHECK = 17,
};

} // namespace

Camera::Impl::Impl(const CameraConfig &c) : cfg(c)
{
    scene = Scene::wall(2000.0f, 1.0f, cfg.width, cfg.height);
    noise_state = cfg.seed * 0x9E3779B97F4A7C15ull + 1;
    init_params();
    // Sensor registers: a recognisable power-on pattern.
    for (int s = 0; s < 4; ++s)
        for (int i = 0; i < 256; ++i)
            regs[s][i] = static_cast<uint32_t>(s << 16 | i);
}

Camera::Impl::~Impl() = default;

void Camera::Impl::init_params()
{
    auto set = [&](uint8_t id, const std::vector<uint8_t> &v) {
        std::vector<uint8_t> b(18, 0);
        std::copy_n(v.begin(), std::min<size_t>(18, v.size()), b.begin());
        params[id] = b;
        param_len[id] = static_cast<uint8_t>(std::min<size_t>(18, v.size()));
    };
    auto text = [](const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    auto u32 = [](uint32_t v) {
        std::vector<uint8_t> b(4);
        put32(b.data(), v);
        return b;
    };
    auto u16 = [](uint16_t v) {
        std::vector<uint8_t> b(2);
        put16(b.data(), v);
        return b;
    };
    set(P_DEV_MODE, {0});
    set(P_MOD_FREQ, u32(cfg.mod_freq));
    set(P_INFO_TEXT, text(cfg.info_text));
    set(P_PRODUCT, text(cfg.product));
    set(P_SERIAL, cfg.serial);
    std::vector<uint8_t> ver(8, 0);
    put16(&ver[0], cfg.hw_version);
    put16(&ver[2], cfg.sw_version);
    put16(&ver[4], cfg.boot_version);
    set(P_VERSION, ver);
    std::vector<uint8_t> sen(6, 0);
    put16(&sen[0], cfg.sensor_p);
    put16(&sen[2], cfg.sensor_chip_id);
    put16(&sen[4], cfg.sensor_w);
    set(P_SENSOR, sen);
    set(P_CALIB, std::vector<uint8_t>(18, 0));
    set(P_FRAME_RATE, u32(cfg.fps));
    set(P_INTG, u16(cfg.intg_time));
    set(P_INTG2, u16(cfg.intg_time2));
    set(P_DCS_CHECK, {0, 0, 0});
}

uint32_t Camera::Impl::frame_bytes() const
{
    return static_cast<uint32_t>(cfg.width) * static_cast<uint32_t>(cfg.height) * 8u;
}

void Camera::Impl::fail(const std::string &text)
{
    st_status = 0xFF;
    st_text = text;
}

// ---------------------------------------------------------------------------
// Control exchanges

int Camera::Impl::control(const uint8_t setup[8], const uint8_t *out, std::vector<uint8_t> &in)
{
    const uint8_t rt = setup[0], rq = setup[1];
    const uint16_t val = le16(setup + 2), idx = le16(setup + 4), len = le16(setup + 6);
    const bool is_in = rt & 0x80;
    ControlRecord rec;
    rec.bmRequestType = rt;
    rec.bRequest = rq;
    rec.wValue = val;
    rec.wIndex = idx;
    rec.wLength = len;
    if (!is_in && out)
        rec.data.assign(out, out + len);

    if (f_hang > 0 && (f_hang_req < 0 || f_hang_req == rq)) {
        --f_hang;
        rec.completed = false;
        log.push_back(std::move(rec));
        return 1;
    }

    int r = 0;
    in.clear();
    if ((rt & 0x60) == 0) {
        // Standard requests.
        if (rt == 0x80 && rq == 6) {
            uint8_t dt = val >> 8, di = val & 0xFF;
            std::vector<uint8_t> d = device_descriptors(cfg);
            if (dt == 1) {
                in.assign(d.begin(), d.begin() + 18);
            } else if (dt == 2 && di == 0) {
                in.assign(d.begin() + 18, d.end());
            } else if (dt == 3) {
                if (di == 0) {
                    in = {4, 3, 0x09, 0x04};
                } else if (di <= 3) {
                    std::string s = di == 1 ? "pylox" : di == 2 ? cfg.product : "VCAM0001";
                    in.push_back(static_cast<uint8_t>(2 + 2 * s.size()));
                    in.push_back(3);
                    for (char c : s) {
                        in.push_back(static_cast<uint8_t>(c));
                        in.push_back(0);
                    }
                } else {
                    r = -EPIPE;
                }
            } else {
                r = -EPIPE;
            }
        } else if (rt == 0x80 && rq == 0) {
            in = {0, 0};
        } else if (rt == 0x80 && rq == 8) {
            in = {static_cast<uint8_t>(configuration)};
        } else if (rt == 0x00 && rq == 9) {
            configuration = val & 0xFF;
        } else if (rt == 0x02 && rq == 1 && val == 0) { // CLEAR_FEATURE(ENDPOINT_HALT)
            if ((idx & 0xFF) == 0x81)
                in_halted = false;
            if ((idx & 0xFF) == 0x01)
                out_halted = false;
            ++clear_halts;
            cv.notify_all();
        } else if (rt == 0x01 && rq == 11) { // SET_INTERFACE
        } else {
            r = -EPIPE;
        }
    } else if ((rt == 0xA2 || rt == 0x22) && rq == 0xB0) {
        if (!is_in) {
            r = -EPIPE;
        } else {
            in.assign(63, 0);
            in[0] = st_status;
            in[1] = st_type;
            in[2] = st_value;
            if (f_busy > 0) {
                --f_busy;
                in[0] = 0xFE;
            }
            if (f_echo > 0) {
                --f_echo;
                in[2] = static_cast<uint8_t>(st_value + 1);
            }
            if (st_status == 0xFF) {
                size_t n = std::min<size_t>(st_text.size(), 59);
                memcpy(&in[3], st_text.data(), n);
            }
        }
    } else if (rt == 0xA2 || rt == 0x22) {
        st_type = rq;
        st_value = val & 0xFF;
        st_status = 0;
        st_text.clear();
        if (f_fail) {
            f_fail = false;
            fail(f_fail_text);
            if (is_in)
                in.assign(len, 0);
        } else {
            command(rq, val, out, is_in ? 0 : len, is_in, in, len);
        }
    } else {
        r = -EPIPE;
    }

    if (r == 0 && is_in) {
        if (in.size() > len)
            in.resize(len);
        if (f_short > 0 && !in.empty()) {
            --f_short;
            in.pop_back();
        }
    }
    if (is_in)
        rec.data = in;
    log.push_back(std::move(rec));
    return r;
}

void Camera::Impl::command(uint8_t type, uint16_t value, const uint8_t *d, size_t n, bool in,
                           std::vector<uint8_t> &answer, uint16_t wlen)
{
    auto wrong_dir = [&]() {
        fail("wrong direction for command");
        if (in)
            answer.assign(wlen, 0);
    };
    if (type == 0xC2) {
        switch (value) {
        case 0: { // register write
            if (in)
                return wrong_dir();
            if (n < 7)
                return fail("register header too short");
            uint8_t t = d[0];
            uint32_t first = le32(d + 1);
            uint16_t bytes = le16(d + 5);
            if (bytes % 4 || bytes != n - 7)
                return fail("register block length mismatch");
            if (t >= regs.size())
                return fail("unknown register space");
            uint32_t cnt = bytes / 4;
            if (first > 256 || cnt > 256 - first)
                return fail("register out of range");
            if (take_reg_fault(t, first, cnt))
                return fail("register access refused");
            RegAccess acc{true, t, first, {}};
            for (uint32_t i = 0; i < cnt; ++i) {
                regs[t][first + i] = le32(d + 7 + 4 * i);
                acc.values.push_back(regs[t][first + i]);
            }
            reg_log.push_back(std::move(acc));
            return;
        }
        case 1: { // register read: request, then answer
            if (!in) {
                if (n < 7)
                    return fail("register header too short");
                uint8_t t = d[0];
                uint32_t first = le32(d + 1);
                uint16_t bytes = le16(d + 5);
                if (bytes % 4)
                    return fail("register byte count not a multiple of 4");
                if (t >= regs.size())
                    return fail("unknown register space");
                if (first > 256 || bytes / 4u > 256 - first)
                    return fail("register out of range");
                if (take_reg_fault(t, first, bytes / 4u)) {
                    reg_rd_bytes = 0;
                    return fail("register access refused");
                }
                reg_rd_target = t;
                reg_rd_first = first;
                reg_rd_bytes = bytes;
                return;
            }
            answer.assign(wlen, 0);
            RegAccess acc{false, reg_rd_target, reg_rd_first, {}};
            for (uint32_t i = 0; i < wlen / 4u; ++i) {
                uint32_t r = reg_rd_first + i;
                put32(&answer[4 * i], r < 256 ? regs[reg_rd_target][r] : 0);
                acc.values.push_back(le32(&answer[4 * i]));
            }
            reg_log.push_back(std::move(acc));
            return;
        }
        case 4:
            if (in)
                return wrong_dir();
            if (n < 4)
                return fail("capture argument missing");
            if (f_refuse_start)
                return fail("stream start refused");
            start_stream(le32(d));
            return;
        case 5:
            if (in)
                return wrong_dir();
            stop_stream();
            return;
        default:
            if (in)
                answer.assign(wlen, 0);
            return fail("unknown command");
        }
    }
    if (type == 0xC0) {
        switch (value) {
        case 0: {
            if (in)
                return wrong_dir();
            if (n < 4)
                return fail("reset target missing");
            uint32_t target = le32(d);
            if (target > 8)
                return fail("bad reset target");
            ++resets;
            last_reset_target = target;
            if (target == 0 && boot_pending >= 0) {
                // The new firmware starts: its version shows in the version
                // parameter (software word for type 0, boot loader for type 1).
                auto img = images.find(static_cast<uint8_t>(boot_pending));
                if (img != images.end())
                    put16(&params[P_VERSION][boot_pending == 0 ? 2 : 4], img->second.version);
                boot_pending = -1;
                ++boots;
            }
            if (target == 3) {
                // Drop off the bus shortly after answering, come back later on the
                // same bus and port.
                auto now = std::chrono::steady_clock::now();
                unplug_pending = true;
                unplug_at = now + std::chrono::milliseconds(20);
                replug_pending = true;
                replug_at = unplug_at + std::chrono::milliseconds(cfg.replug_delay_ms);
                cv.notify_all();
            } else if (target == 1) {
                stop_stream();
            }
            return;
        }
        case 3: { // parameter set
            if (in)
                return wrong_dir();
            if (n % 20)
                return fail("parameter block length not a multiple of 20");
            for (size_t i = 0; i < n; i += 20) {
                uint8_t id = d[i];
                const uint8_t *v = d + i + 2;
                switch (id) {
                case P_INFO_TEXT:
                case P_PRODUCT:
                case P_SERIAL:
                case P_VERSION:
                case P_SENSOR:
                case P_CALIB:
                    return fail("parameter is read-only");
                case P_MOD_FREQ:
                    if (le32(v) < 1000000 || le32(v) > 100000000)
                        return fail("modulation frequency out of range");
                    break;
                case P_DEV_MODE:
                    if (v[0] != 0 && v[0] != 9)
                        return fail("unknown device mode");
                    break;
                case P_FRAME_RATE:
                    if (le32(v) > 1000)
                        return fail("frame rate out of range");
                    break;
                default:
                    break;
                }
            }
            for (size_t i = 0; i < n; i += 20) {
                uint8_t id = d[i];
                if (!params.count(id))
                    continue; // unknown IDs are ignored
                std::copy_n(d + i + 2, 18, params[id].begin());
                if (id == P_FRAME_RATE)
                    cfg.fps = le32(d + i + 2);
                if (id == P_DEV_MODE)
                    upload_frame = 0;
            }
            return;
        }
        case 4: { // parameter get: request, then answer
            if (!in) {
                if (n % 20 || n == 0)
                    return fail("parameter block length not a multiple of 20");
                param_rd_items.assign(d, d + n);
                return;
            }
            answer.assign(wlen, 0);
            for (size_t i = 0; i + 20 <= wlen && i < param_rd_items.size(); i += 20) {
                uint8_t id = param_rd_items[i];
                answer[i] = id;
                auto it = params.find(id);
                if (it == params.end())
                    continue; // unknown: length 0, zero bytes
                if (id == P_CALIB) {
                    std::vector<uint8_t> c(18, 0);
                    if (!calib_pkg.empty())
                        c = params[P_CALIB];
                    std::copy(c.begin(), c.end(), answer.begin() + i + 2);
                    answer[i + 1] = 18;
                    continue;
                }
                answer[i + 1] = param_len[id];
                std::copy(it->second.begin(), it->second.end(), answer.begin() + i + 2);
            }
            return;
        }
        default:
            if (in)
                answer.assign(wlen, 0);
            return fail("unknown command");
        }
    }
    if (type == 0xCC)
        return image_command(value, d, n, in, answer, wlen);
    if (in)
        answer.assign(wlen, 0);
    fail("unknown command");
}

// ---------------------------------------------------------------------------
// Data images (0xCC): image info, the INFO/ERASE actions with their
// acknowledgements, data packets on the bulk-out endpoint, upload chunks.

uint16_t crc16_xmodem(const uint8_t *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

void Camera::Impl::image_command(uint16_t value, const uint8_t *d, size_t n, bool in,
                                 std::vector<uint8_t> &answer, uint16_t wlen)
{
    switch (value) {
    case 0: // image info: request (type), then answer
        if (!in) {
            if (n < 1)
                return fail("image info request too short");
            img_info_type = d[0];
            upl_pos = 0; // an upload starts with the image info
            return;
        } else {
            answer.assign(wlen, 0);
            if (wlen < 16)
                return;
            answer[0] = img_info_type;
            auto it = images.find(img_info_type);
            if (it == images.end()) {
                put32(&answer[4], 0xFFFFFFFFu);
            } else {
                put16(&answer[2], it->second.version);
                put32(&answer[4], static_cast<uint32_t>(it->second.data.size()));
                auto a = image_addr.find(img_info_type);
                put32(&answer[8],
                      a != image_addr.end() ? a->second : 0x08000000u + 0x100000u * img_info_type);
            }
            return;
        }
    case 1: // INFO action
        if (in)
            return fail("wrong direction for command"), answer.assign(wlen, 0);
        if (n < 12)
            return fail("INFO record too short");
        dl_type = d[0];
        dl_version = le16(d + 2);
        dl_size = le32(d + 4);
        dl_data.clear();
        dl_next = take_fault(ImageFault::wrong_info_ack) ? 1 : 0;
        dl_status = 3;
        dl_active = false;
        dl_erase_bad = false;
        return;
    case 7: // ERASE action
        if (in)
            return fail("wrong direction for command"), answer.assign(wlen, 0);
        if (n < 13)
            return fail("ERASE record too short");
        if (d[0] != dl_type || le32(d + 1) != dl_size)
            return fail("ERASE does not match INFO");
        if (take_fault(ImageFault::erase_refused))
            return fail("flash erase failed");
        dl_pkt_size = le32(d + 5);
        dl_erase_left = erase_polls;
        if (take_fault(ImageFault::erase_endless))
            dl_erase_left = std::numeric_limits<int>::max();
        dl_erase_bad = take_fault(ImageFault::erase_error);
        if (dl_erase_bad && dl_erase_left <= 0)
            dl_erase_left = 1;
        dl_status = dl_erase_left > 0 ? 4 : 1;
        dl_next = 0;
        dl_active = dl_status == 1;
        return;
    case 4: // ACK
    case 5:
        if (!in) {
            if (value == 4 && f_fail_ack > 0 && --f_fail_ack == 0)
                return fail("acknowledgement failed");
            return; // the request half of a read exchange
        }
        answer.assign(wlen, 0);
        if (value == 4 && wlen >= 13) {
            put32(&answer[0], dl_next);
            answer[4] = dl_status;
            if (dl_status == 4 && --dl_erase_left <= 0) {
                dl_status = dl_erase_bad ? 2 : 1;
                dl_active = !dl_erase_bad;
            }
        }
        return;
    case 17: // upload payload request: record, then the chunk's bytes
        if (!in) {
            if (n < 12)
                return fail("payload request too short");
            upl_request.assign(d, d + 12);
            upl_chunk = le32(d + 4);
            upl_stage = 0;
            if (upl_chunk > 450)
                return fail("chunk too long");
            return;
        }
        answer.assign(wlen, 0);
        if (upl_stage == 0 && upl_request.size() == 12 && (wlen == 12 || wlen == 12 + upl_chunk)) {
            // The request record comes back with the chunk's offset in bytes
            // 0-3; a data stage of 12 + chunk bytes carries the chunk after it.
            if (take_fault(ImageFault::upload_skip))
                upl_pos += upl_chunk;
            std::copy(upl_request.begin(), upl_request.end(), answer.begin());
            put32(&answer[0], static_cast<uint32_t>(upl_pos));
            if (wlen == 12) {
                upl_stage = 1;
                return;
            }
            auto it = images.find(img_info_type);
            if (it == images.end())
                return fail("no image to read");
            for (size_t i = 0; i < upl_chunk && upl_pos + i < it->second.data.size(); ++i)
                answer[12 + i] = it->second.data[upl_pos + i];
            upl_pos += upl_chunk;
            return;
        } else {
            auto it = images.find(img_info_type);
            if (it == images.end())
                return fail("no image to read");
            for (size_t i = 0; i < wlen && upl_pos + i < it->second.data.size(); ++i)
                answer[i] = it->second.data[upl_pos + i];
            upl_pos += wlen;
            upl_stage = 0;
            return;
        }
    default:
        if (in)
            answer.assign(wlen, 0);
        return fail("unknown command");
    }
}

bool Camera::Impl::take_fault(ImageFault f)
{
    auto it = f_image.find(f);
    if (it == f_image.end() || it->second <= 0)
        return false;
    if (--it->second == 0)
        f_image.erase(it);
    return true;
}

bool Camera::Impl::bulk_out_data(const uint8_t *p, size_t n)
{
    if (dl_active && take_fault(ImageFault::packet_refused))
        return false;
    bulk_out += n;
    if (!dl_active || n < 6)
        return true;
    uint16_t crc = le16(p);
    uint32_t len = le32(p + 2);
    if (len != n - 6 || (dl_pkt_size && len > dl_pkt_size) || crc16_xmodem(p + 6, len) != crc ||
        take_fault(ImageFault::crc_mismatch)) {
        dl_status = 2; // packet refused: next stays
        return true;
    }
    dl_data.insert(dl_data.end(), p + 6, p + 6 + len);
    ++dl_next;
    if (take_fault(ImageFault::skip_index))
        ++dl_next;
    dl_status = 0;
    if (dl_data.size() >= dl_size) {
        dl_data.resize(dl_size);
        images[dl_type] = Image{dl_version, dl_data};
        dl_active = false;
        if (dl_type <= 1)
            boot_pending = dl_type;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Streaming

void Camera::Impl::start_stream(uint32_t arg)
{
    cap_arg = arg;
    streaming = true;
    ++stream_gen;
    ++stream_starts;
    sidx = 0;
    fridx = 0;
    frame_no = 0;
    upload_frame = 0;
    cur_valid = false;
    pending_packets.clear();
    t0 = std::chrono::steady_clock::now();
    cv.notify_all();
}

void Camera::Impl::stop_stream()
{
    streaming = false;
    ++stream_gen;
    cur_valid = false;
    pending_packets.clear();
    cv.notify_all();
}

static uint64_t xorshift(uint64_t &s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// Makes the next packets (one frame, a part-split frame, or several frames).
// Called with the lock held; releases it while the samples are made.
bool Camera::Impl::make_packets(std::unique_lock<std::mutex> &lk)
{
    const uint64_t gen = stream_gen;
    const bool upload = params[P_DEV_MODE][0] == 9;
    StreamHeader h;
    // The payload is made behind room for one header, so that a packet that
    // carries all of it needs no second copy.
    std::vector<uint8_t> payload;
    uint32_t nframes = 1;
    uint32_t frlen;
    const uint64_t fno = frame_no;
    const int16_t cb = static_cast<int16_t>(std::lround(cfg.temp_cb + cfg.temp_cb_drift * fno));
    const int16_t ib = static_cast<int16_t>(std::lround(cfg.temp_ib + cfg.temp_ib_drift * fno));
    h.temp_cb = cb;
    h.temp_ib = ib;
    h.attr_word = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());

    if (upload) {
        // Data-upload mode: the calibration package as frames of format 171.
        uint32_t total = static_cast<uint32_t>(calib_pkg.size() / kUploadFrame);
        if (upload_frame >= total)
            return false;
        frlen = kUploadFrame;
        h.frfmt = 171;
        payload.reserve(kHeaderSize + kUploadFrame);
        payload.resize(kHeaderSize);
        payload.insert(payload.end(),
                       calib_pkg.begin() + static_cast<size_t>(upload_frame) * kUploadFrame,
                       calib_pkg.begin() + static_cast<size_t>(upload_frame + 1) * kUploadFrame);
        ++upload_frame;
    } else {
        frlen = frame_bytes();
        h.frfmt = 2;
        h.width = static_cast<uint16_t>(cfg.width);
        h.height = static_cast<uint16_t>(cfg.height);
        if (cfg.packet_payload > frlen)
            nframes = std::max<uint32_t>(1, cfg.packet_payload / frlen);
        // Snapshot what the samples depend on, then make them without the lock.
        // The sample cache `synth` belongs to this (the producer) thread alone.
        CameraConfig c = cfg;
        uint32_t freq = le32(params[P_MOD_FREQ].data());
        uint16_t intg = le16(params[P_INTG].data());
        uint16_t intg2 = le16(params[P_INTG2].data());
        Synth &s = synth;
        bool stale = s.key_scene != scene_version || s.key_freq != freq || s.key_intg != intg ||
                     s.key_intg2 != intg2 || s.key_fpn != c.fpn_mm || s.key_gain != c.amp_gain ||
                     s.key_amb != c.ambient || s.key_seed != c.seed;
        const uint64_t version = scene_version;
        bool tc_moves = c.temp_cb_drift != 0 || c.temp_ib_drift != 0 ||
                        s.key_tc != static_cast<int>(std::lround(temp_offset_mm(cb, ib) * 100));
        Scene sc;
        if (stale || tc_moves)
            sc = scene;
        uint64_t ns = noise_state;
        const uint32_t stream_no = stream_starts;
        lk.unlock();
        payload.reserve(kHeaderSize + static_cast<size_t>(frlen) * nframes);
        payload.resize(kHeaderSize);
        for (uint32_t k = 0; k < nframes; ++k) {
            int16_t fcb =
                static_cast<int16_t>(std::lround(c.temp_cb + c.temp_cb_drift * (fno + k)));
            int16_t fib =
                static_cast<int16_t>(std::lround(c.temp_ib + c.temp_ib_drift * (fno + k)));
            double tc = temp_offset_mm(fcb, fib);
            int tck = static_cast<int>(std::lround(tc * 100));
            if (stale || s.key_tc != tck) {
                synth_planes(c, sc, freq, intg, intg2, tc, s.planes, nullptr, &s.exact);
                s.key_scene = version;
                s.key_freq = freq;
                s.key_intg = intg;
                s.key_intg2 = intg2;
                s.key_fpn = c.fpn_mm;
                s.key_gain = c.amp_gain;
                s.key_amb = c.ambient;
                s.key_seed = c.seed;
                s.key_tc = tck;
                stale = false;
            }
            if (k == 0) {
                h.temp_cb = fcb;
                h.temp_ib = fib;
            }
            const auto *src = reinterpret_cast<const uint8_t *>(s.planes.data());
            payload.insert(payload.end(), src, src + frlen);
            uint8_t *dst = payload.data() + kHeaderSize + static_cast<size_t>(k) * frlen;
            if (c.noise > 0) {
                auto *w = reinterpret_cast<uint16_t *>(dst);
                for (size_t i = 0; i < frlen / 2; ++i) {
                    uint64_t r = xorshift(ns);
                    // Sum of four uniforms: close enough to a normal distribution.
                    double g =
                        (((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48)) /
                             65536.0 -
                         2.0) *
                        1.7320508;
                    // Noise acts on the analog sample, before the 12-bit rounding.
                    double v = std::floor(s.exact[i] + g * c.noise + 0.5);
                    w[i] = static_cast<uint16_t>(std::clamp(v, 0.0, 4095.0));
                }
            }
            if (c.stamp_frames && frlen > FrameStamp::kSize) {
                put32(dst, FrameStamp::kMagic);
                put32(dst + 4, stream_no);
                put32(dst + 8, static_cast<uint32_t>(fno + k));
                put32(dst + 12, stamp_hash(dst + FrameStamp::kSize, frlen - FrameStamp::kSize));
            }
        }
        lk.lock();
        if (gen != stream_gen)
            return false;
        noise_state = ns;
    }

    // Cut into packets.
    const uint32_t total = static_cast<uint32_t>(payload.size() - kHeaderSize);
    const uint8_t *data = payload.data() + kHeaderSize;
    uint32_t plen = total;
    if (!upload && cfg.packet_payload && cfg.packet_payload < frlen)
        plen = cfg.packet_payload;
    if (upload && cfg.packet_payload && cfg.packet_payload < frlen)
        plen = cfg.packet_payload;
    h.frlen = frlen;
    h.fridx = fridx;
    for (uint32_t off = 0; off < total; off += plen) {
        uint32_t n = std::min(plen, total - off);
        Packet pk;
        if (n == total) {
            pk.bytes = std::move(payload); // the header goes into the room left for it
        } else {
            pk.bytes.reserve(kHeaderSize + n);
            pk.bytes.resize(kHeaderSize);
            pk.bytes.insert(pk.bytes.end(), data + off, data + off + n);
        }
        h.sidx = sidx++;
        h.len = n;
        h.frame_flags = off == 0 ? 1 : 0;
        h.cksum_flags = cfg.data_checksum ? 1 : 0;
        h.data_sum = 0;
        if (cfg.data_checksum) {
            uint32_t sum = 0;
            for (uint32_t i = 0; i + 4 <= n; i += 4)
                sum += le32(pk.bytes.data() + kHeaderSize + i);
            h.data_sum = sum;
        }
        write_header(pk.bytes.data(), h);
        pk.frames_ending = off + n == total ? nframes : 0;
        bool drop = false, dup = false;
        if (!f_stream.empty()) {
            StreamFault f = f_stream.front();
            f_stream.pop_front();
            switch (f) {
            case StreamFault::corrupt_header:
                pk.bytes[5] ^= 0x5A;
                break;
            case StreamFault::corrupt_payload:
                pk.bytes[kHeaderSize + n / 2] ^= 0x01;
                break;
            case StreamFault::drop_packet:
                drop = true;
                break;
            case StreamFault::duplicate_packet:
                dup = true;
                break;
            case StreamFault::drop_bytes:
                if (n > 200)
                    pk.bytes.erase(pk.bytes.begin() + kHeaderSize + n / 2,
                                   pk.bytes.begin() + kHeaderSize + n / 2 + 100);
                break;
            }
        }
        if (drop)
            continue;
        if (dup)
            pending_packets.push_back(pk);
        pending_packets.push_back(std::move(pk));
    }
    fridx = static_cast<uint16_t>(fridx + nframes);
    frame_no += nframes;
    return true;
}

// Moves the write in progress into the queued bulk-in URBs, packet by packet
// as the bus would: a URB completes when it is full or when a write ends with
// a short packet.
void Camera::Impl::feed(std::unique_lock<std::mutex> &)
{
    const size_t mps = cfg.full_speed ? 64 : 512;
    while (cur_valid && !in_q.empty() && !in_halted && streaming && !f_stop_sending &&
           f_stall == 0 && f_err == 0) {
        Urb *u = in_q.front();
        size_t space = static_cast<size_t>(u->length - u->actual);
        size_t rem = cur_write.bytes.size() - cur_pos;
        size_t n = std::min(space, rem);
        bool babble = false;
        if (rem > space && space % mps) {
            // The next packet does not fit into what is left of the buffer.
            n = space - space % mps;
            babble = true;
        }
        if (u->staging.capacity() < static_cast<size_t>(u->length))
            u->staging.reserve(static_cast<size_t>(u->length));
        u->staging.insert(u->staging.end(), cur_write.bytes.begin() + static_cast<long>(cur_pos),
                          cur_write.bytes.begin() + static_cast<long>(cur_pos + n));
        u->actual += static_cast<int>(n);
        cur_pos += n;
        bytes_streamed += n;
        bool write_done = cur_pos == cur_write.bytes.size();
        if (write_done) {
            frames_streamed += cur_write.frames_ending;
            if (cur_write.frames_ending) {
                frame_end_times.push_back(std::chrono::steady_clock::now());
                if (frame_end_times.size() > 100000)
                    frame_end_times.pop_front();
            }
            cur_valid = false;
        }
        if (babble) {
            in_q.pop_front();
            finish(u, -EOVERFLOW);
        } else if (u->actual == u->length || (write_done && cur_write.bytes.size() % mps)) {
            in_q.pop_front();
            finish(u, 0);
        }
    }
}

void Camera::Impl::producer_loop()
{
    std::unique_lock<std::mutex> lk(mu);
    while (!quit) {
        const bool urb = cur && !in_q.empty() && !in_halted;
        if (urb && f_stall > 0) {
            Urb *u = in_q.front();
            in_q.pop_front();
            --f_stall;
            in_halted = true;
            finish(u, -EPIPE);
            continue;
        }
        if (urb && f_err > 0) {
            Urb *u = in_q.front();
            in_q.pop_front();
            --f_err;
            finish(u, f_err_code);
            continue;
        }
        if (!(urb && streaming && !f_stop_sending)) {
            cv.wait(lk);
            continue;
        }
        if (!cur_valid) {
            if (pending_packets.empty()) {
                const bool upload = params[P_DEV_MODE][0] == 9;
                if (cfg.fps > 0 && !upload) {
                    auto due = t0 + std::chrono::microseconds(frame_no * 1000000ull / cfg.fps);
                    if (std::chrono::steady_clock::now() < due) {
                        cv.wait_until(lk, due);
                        continue;
                    }
                }
                if (!make_packets(lk) && pending_packets.empty()) {
                    if (upload)
                        cv.wait(lk); // the whole package is out
                }
                continue;
            }
            cur_write = std::move(pending_packets.front());
            pending_packets.pop_front();
            cur_pos = 0;
            cur_valid = true;
        }
        feed(lk);
    }
}

void Camera::Impl::bus_loop()
{
    std::unique_lock<std::mutex> lk(mu);
    while (!quit) {
        auto now = std::chrono::steady_clock::now();
        if (unplug_pending && now >= unplug_at) {
            unplug_pending = false;
            lk.unlock();
            pull_out();
            lk.lock();
            continue;
        }
        if (replug_pending && !unplug_pending && now >= replug_at) {
            replug_pending = false;
            bool need = cur == nullptr;
            lk.unlock();
            if (need)
                plug_in();
            lk.lock();
            st_status = 0;
            continue;
        }
        if (unplug_pending)
            cv.wait_until(lk, unplug_at);
        else if (replug_pending)
            cv.wait_until(lk, replug_at);
        else
            cv.wait(lk);
    }
}

// ---------------------------------------------------------------------------
// Public interface

Camera::Camera(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<Camera> Camera::create(const CameraConfig &cfg)
{
    auto impl = std::make_unique<Impl>(cfg);
    Impl *im = impl.get();
    std::shared_ptr<Camera> cam(new Camera(std::move(impl)));
    im->plug_in();
    im->producer = std::thread([im] { im->producer_loop(); });
    im->bus_thread = std::thread([im] { im->bus_loop(); });
    return cam;
}

Camera::~Camera()
{
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->quit = true;
        impl_->cv.notify_all();
    }
    if (impl_->producer.joinable())
        impl_->producer.join();
    if (impl_->bus_thread.joinable())
        impl_->bus_thread.join();
    impl_->pull_out();
    {
        // Give hosts that still hold the device a moment to reap what the
        // unplug gave back, as they would from a vanished device.
        std::unique_lock<std::mutex> lk(impl_->mu);
        impl_->cv.wait_for(lk, std::chrono::seconds(1), [&] {
            for (auto &c : impl_->conns)
                if (!c.second->done.empty())
                    return false;
            return true;
        });
    }
    impl_->destroy_plugs();
}

int Camera::bus() const
{
    return impl_->cfg.bus;
}
int Camera::port() const
{
    return impl_->cfg.port;
}
int Camera::address() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->plugs.empty() ? 0 : impl_->plugs.back()->address;
}
std::string Camera::devnode() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->plugs.empty() ? std::string() : impl_->plugs.back()->devnode;
}
bool Camera::plugged() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->cur != nullptr;
}

void Camera::set_scene(const Scene &s)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->scene = s;
    ++impl_->scene_version;
}

Truth Camera::truth() const
{
    CameraConfig c;
    Scene sc;
    uint32_t freq;
    uint16_t intg, intg2;
    int16_t cb, ib;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        c = impl_->cfg;
        sc = impl_->scene;
        freq = le32(impl_->params[P_MOD_FREQ].data());
        intg = le16(impl_->params[P_INTG].data());
        intg2 = le16(impl_->params[P_INTG2].data());
        cb = static_cast<int16_t>(std::lround(c.temp_cb + c.temp_cb_drift * impl_->frame_no));
        ib = static_cast<int16_t>(std::lround(c.temp_ib + c.temp_ib_drift * impl_->frame_no));
    }
    Truth t;
    std::vector<uint16_t> planes;
    synth_planes(c, sc, freq, intg, intg2, temp_offset_mm(cb, ib), planes, &t);
    t.temp_cb = cb;
    t.temp_ib = ib;
    return t;
}

void Camera::set_fps(uint32_t fps)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->cfg.fps = fps;
    put32(impl_->params[P_FRAME_RATE].data(), fps);
    impl_->cv.notify_all();
}
void Camera::set_packet_payload(uint32_t bytes)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->cfg.packet_payload = bytes;
}
void Camera::set_data_checksum(bool on)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->cfg.data_checksum = on;
}
void Camera::set_temperatures(int16_t cb, int16_t ib, float cb_drift, float ib_drift)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    // Drift counts from the next frame on.
    impl_->cfg.temp_cb = static_cast<int16_t>(cb - std::lround(cb_drift * impl_->frame_no));
    impl_->cfg.temp_ib = static_cast<int16_t>(ib - std::lround(ib_drift * impl_->frame_no));
    impl_->cfg.temp_cb_drift = cb_drift;
    impl_->cfg.temp_ib_drift = ib_drift;
}
void Camera::set_noise(float sigma, uint64_t seed)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->cfg.noise = sigma;
    impl_->noise_state = seed * 0x9E3779B97F4A7C15ull + 1;
}
void Camera::set_fpn(float mm)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->cfg.fpn_mm = mm;
}
void Camera::set_calib_package(const std::vector<uint8_t> &pkg, uint32_t dev_ts, uint32_t pkg_ts,
                               uint8_t kind)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->calib_pkg = pkg;
    auto &c = impl_->params[P_CALIB];
    std::fill(c.begin(), c.end(), 0);
    if (!pkg.empty()) {
        c[0] = 1;
        c[1] = kind;
        put32(&c[2], dev_ts);
        put32(&c[6], pkg_ts);
        put32(&c[10], static_cast<uint32_t>(pkg.size()));
        put32(&c[14], static_cast<uint32_t>(pkg.size() >= 18 ? pkg.size() - 18 : 0));
    }
}

void Camera::fault_busy(int polls)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_busy = polls;
}
void Camera::fault_fail_next(const std::string &text)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_fail = true;
    impl_->f_fail_text = text;
}
void Camera::fault_hang_control(int n, int request)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_hang = n;
    impl_->f_hang_req = request;
}
void Camera::fault_hold_discarded(bool on)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_hold_discarded = on;
}
void Camera::release_hung()
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    for (Urb *u : impl_->hung)
        impl_->finish(u, -ENOENT);
    impl_->hung.clear();
    impl_->cv.notify_all();
}
void Camera::fault_short_answer(int n)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_short = n;
}
void Camera::fault_echo_mismatch(int n)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_echo = n;
}
void Camera::fault_refuse_stream_start(bool on)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_refuse_start = on;
}
void Camera::fault_stall_bulk(int n)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_stall = n;
    impl_->cv.notify_all();
}
void Camera::fault_stop_sending(bool on)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_stop_sending = on;
    impl_->cv.notify_all();
}
void Camera::fault_stream(StreamFault f, int count)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    for (int i = 0; i < count; ++i)
        impl_->f_stream.push_back(f);
}
void Camera::fault_bulk_error(int n, int neg_errno)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_err = n;
    impl_->f_err_code = neg_errno;
    impl_->cv.notify_all();
}
void Camera::unplug()
{
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->replug_pending = impl_->unplug_pending = false;
    }
    impl_->pull_out();
}
void Camera::replug()
{
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (impl_->cur)
            return;
        impl_->replug_pending = impl_->unplug_pending = false;
    }
    impl_->plug_in();
}

std::vector<ControlRecord> Camera::control_log() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->log;
}
void Camera::clear_control_log()
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->log.clear();
}
uint64_t Camera::bytes_streamed() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->bytes_streamed;
}
uint64_t Camera::frames_streamed() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->frames_streamed;
}
std::vector<std::chrono::steady_clock::time_point> Camera::frame_end_times() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return {impl_->frame_end_times.begin(), impl_->frame_end_times.end()};
}
uint64_t Camera::bulk_out_bytes() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->bulk_out;
}
uint32_t Camera::clear_halt_count() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->clear_halts;
}
uint32_t Camera::reset_count() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->resets;
}
uint32_t Camera::last_reset_target() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->last_reset_target;
}
bool Camera::streaming() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->streaming;
}
uint32_t Camera::capture_arg() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->cap_arg;
}
uint32_t Camera::urbs_in_flight() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return static_cast<uint32_t>(impl_->in_q.size());
}
void Camera::set_image(uint8_t type, uint16_t version, const std::vector<uint8_t> &data)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->images[type] = Impl::Image{version, data};
    impl_->upl_pos = 0;
}
bool Camera::image(uint8_t type, uint16_t &version, std::vector<uint8_t> &data) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    auto it = impl_->images.find(type);
    if (it == impl_->images.end())
        return false;
    version = it->second.version;
    data = it->second.data;
    return true;
}
void Camera::set_image_address(uint8_t type, uint32_t address)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->image_addr[type] = address;
}
uint32_t Camera::image_address(uint8_t type) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    auto a = impl_->image_addr.find(type);
    return a != impl_->image_addr.end() ? a->second : 0x08000000u + 0x100000u * type;
}
void Camera::fault_image(ImageFault f, int count)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_image[f] += count;
}
void Camera::fault_fail_ack(int nth)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_fail_ack = nth;
}
uint32_t Camera::firmware_boots() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->boots;
}
void Camera::set_erase_polls(int n)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->erase_polls = n;
}
uint64_t Camera::usbfs_calls() const
{
    return impl_->ioctl_calls.load();
}
bool Camera::Impl::take_reg_fault(uint8_t space, uint32_t first, uint32_t count)
{
    for (RegFault &f : f_reg)
        if (f.left > 0 && f.space == space && f.index >= first && f.index - first < count) {
            --f.left;
            return true;
        }
    return false;
}
void Camera::fault_reg(int space, uint32_t index, int n)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->f_reg.push_back({static_cast<uint8_t>(space), index, n});
}
std::vector<RegAccess> Camera::reg_log() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->reg_log;
}
void Camera::clear_reg_log()
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->reg_log.clear();
}

uint32_t Camera::reg(int space, uint32_t index) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (space < 0 || space >= 4 || index >= 256)
        return 0;
    return impl_->regs[space][index];
}
void Camera::set_reg(int space, uint32_t index, uint32_t value)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (space < 0 || space >= 4 || index >= 256)
        return;
    impl_->regs[space][index] = value;
}
bool Camera::param(uint8_t id, std::vector<uint8_t> &value) const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    auto it = impl_->params.find(id);
    if (it == impl_->params.end())
        return false;
    value = it->second;
    return true;
}
void Camera::set_param(uint8_t id, const std::vector<uint8_t> &value)
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    std::vector<uint8_t> b(18, 0);
    std::copy_n(value.begin(), std::min<size_t>(18, value.size()), b.begin());
    impl_->params[id] = b;
    impl_->param_len[id] = static_cast<uint8_t>(std::min<size_t>(18, value.size()));
    if (id == P_FRAME_RATE)
        impl_->cfg.fps = le32(b.data());
}
uint32_t Camera::mod_freq() const
{
    std::lock_guard<std::mutex> lk(impl_->mu);
    return le32(impl_->params[P_MOD_FREQ].data());
}

} // namespace vcam
