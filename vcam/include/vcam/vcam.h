// Virtual camera: a device model of the USB time-of-flight camera, attached
// below the real libusb as a Linux usbfs device through umockdev.
//
// A test (or the launcher's preloaded library) creates the first camera
// BEFORE the first libusb_init of the process; libusb then finds the cameras
// on its buses and talks to them through its ordinary Linux back end. The process must run
// under `umockdev-wrapper` (see vcam/README.md and the CMake helper).
//
// Threads: every function here may be called from any thread. The camera
// answers on umockdev's worker thread and streams from a thread of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vcam {

// ---------------------------------------------------------------------------
// Scenes: a true distance (mm) and a reflectivity (0..1) for every pixel, in
// display order (row 0 is the top row of the image the library hands out).
struct Scene {
    int width = 320;
    int height = 240;
    std::vector<float> distance_mm;  // width * height
    std::vector<float> reflectivity; // width * height

    // A flat wall at `distance_mm`.
    static Scene wall(float distance_mm, float reflectivity = 1.0f, int w = 320, int h = 240);
    // A wall with a box in front of it: pixels inside the rectangle
    // [x0, x0 + bw) x [y0, y0 + bh) see the box at `box_mm`.
    static Scene box(float wall_mm, float box_mm, int x0 = 110, int y0 = 80, int bw = 100,
                     int bh = 80, int w = 320, int h = 240);
    // A plane tilted about the vertical axis: distance grows linearly from
    // `left_mm` at column 0 to `right_mm` at the last column.
    static Scene tilted(float left_mm, float right_mm, int w = 320, int h = 240);
    // All pixels at `distance_mm`; set single pixels with at().
    static Scene custom(int w, int h, float distance_mm = 1000.0f);

    float &at(int x, int y) { return distance_mm[static_cast<size_t>(y) * width + x]; }
    float &refl(int x, int y) { return reflectivity[static_cast<size_t>(y) * width + x]; }
};

// What the camera made of the scene, in display order, for the frame
// conditions current at the time of the call (modulation frequency,
// integration time, temperatures of the next frame).
struct Truth {
    int width = 0, height = 0;
    uint32_t range_mm = 0;            // unambiguous range of the modulation frequency
    std::vector<float> distance_mm;   // the scene's true distance
    std::vector<float> fpn_mm;        // per-pixel fixed-pattern error added by the sensor
    std::vector<float> expected_mm;   // (true + fpn) brought into 0..range_mm: what an
                                      // uncalibrated decode should return
    std::vector<float> amplitude;     // amplitude A before clipping
    std::vector<float> phase;         // phase in units of 32768 per period, 0..32767
    std::vector<uint8_t> saturated;   // 1 where a sample clips at 0 or 4095
    int16_t temp_cb = 0, temp_ib = 0; // temperatures (0.1 degC) the phases were made for
};

// ---------------------------------------------------------------------------
struct CameraConfig {
    // Where the camera sits: bus number and port number on that bus (the
    // sysfs name is "<bus>-<port>"). The device address is chosen by the
    // virtual bus and changes at every re-enumeration.
    int bus = 1;
    int port = 1;
    bool full_speed = false; // full speed (12 Mbit/s, 64-byte packets) instead of high speed
    uint16_t vid = 0x111B, pid = 0x1238;

    // Identity parameters.
    std::string info_text = "virtual camera";
    std::string product = "PYLOX-E2-VCAM"; // middle field names the sensor family
    std::vector<uint8_t> serial = {0x56, 0x43, 0x41, 0x4D, 0x00, 0x00, 0x00, 0x01};
    uint16_t hw_version = 3, sw_version = 140, boot_version = 2;
    uint16_t sensor_p = 1, sensor_chip_id = 0x0635, sensor_w = 320;

    // Streaming.
    int width = 320, height = 240;
    uint32_t fps = 0;            // 0 = as fast as the host takes them
    uint32_t packet_payload = 0; // payload bytes per stream packet; 0 = one frame per
                                 // packet; a multiple of the frame size puts several
                                 // frames in one packet
    bool data_checksum = false;
    // Every frame of format 2 starts with a stamp (see FrameStamp) in place of
    // its first sixteen bytes, so that a test can tell each frame it receives
    // from every other the camera sent and check that it arrived whole.
    bool stamp_frames = false;
    int16_t temp_cb = 350, temp_ib = 300;             // 0.1 degC
    float temp_cb_drift = 0.0f, temp_ib_drift = 0.0f; // 0.1 degC per frame

    // Sample synthesis.
    uint32_t mod_freq = 12000000; // initial PARAM_MOD_FREQ
    uint16_t intg_time = 1000;    // initial PARAM_INTG_TIME
    uint16_t intg_time2 = 0;      // initial PARAM_INTG_TIME2: 0 = none; otherwise the odd
                                  // display rows integrate this long (HDR pairs)
    float ambient = 2048.0f;      // B: the samples' common offset
    float amp_gain = 1500.0f;     // A = refl * amp_gain * (intg / 1000) / max(d_m, 0.2)^2
    float fpn_mm = 3.0f;          // fixed-pattern error: each pixel +-fpn_mm at most
    float noise = 0.0f;           // standard deviation of the sample noise (counts)
    uint64_t seed = 1;            // seed of the fixed pattern and of the noise

    // Reset target 3: time the camera stays off the bus.
    unsigned replug_delay_ms = 300;
};

// One control exchange seen on endpoint 0 (status polls included).
struct ControlRecord {
    uint8_t bmRequestType = 0, bRequest = 0;
    uint16_t wValue = 0, wIndex = 0, wLength = 0;
    std::vector<uint8_t> data; // data stage: sent by the host (OUT) or answered (IN)
    bool completed = true;     // false when the camera left it hanging
};

// One register access the camera carried out (0xC2/0 write, 0xC2/1 read).
struct RegAccess {
    bool write = false;
    uint8_t space = 0;
    uint32_t first = 0;           // first register
    std::vector<uint32_t> values; // written, or answered to the read
    bool operator==(const RegAccess &o) const
    {
        return write == o.write && space == o.space && first == o.first && values == o.values;
    }
};

// ---------------------------------------------------------------------------
// Calibration. The camera's factory calibration: for each modulation
// frequency, reference images of a flat target at `images` box positions
// `step_um` apart, the first at the box length, made with the camera's own
// phase model (its fixed-pattern error, at the temperatures it streams with).
struct CalibSpec {
    std::vector<uint32_t> freqs = {12000000, 24000000};
    uint8_t version = 150;     // 139: old block framing; 149: images one pixel off (old firmware)
    int images = 6;            // reference images (box positions)
    uint32_t step_um = 100000; // between neighbouring positions
    float box_len_cm = 29.5f;  // distance of the first position
    uint32_t scale = 32768;    // full-period value of the stored phases (0 means 30000)
    uint32_t ts = 1000;        // time stamp of the calibration data
};

// Phase (full period 32768) of the camera's pixel (x, y) (display order) for a
// flat target at distance_mm and the given modulation frequency and temperatures.
std::vector<float> model_phases(const CameraConfig &cfg, float distance_mm, uint32_t mod_freq,
                                int16_t temp_cb, int16_t temp_ib);
// A zip archive (libzip) of the given entries; `link` entries are Unix symbolic links.
struct ZipEntry {
    std::string name;
    std::vector<uint8_t> data;
    bool link = false;
};
std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &entries);
// The package as the camera streams it: the 18-byte header (valid, kind,
// device and package time stamps, fsize, dsize), the payload, zero padding to
// whole upload frames of 153600 bytes.
std::vector<uint8_t> calib_package(const std::vector<uint8_t> &payload, uint8_t kind,
                                   uint32_t dev_ts, uint32_t pkg_ts);

enum class StreamFault {
    corrupt_header,   // flip a byte of the next packet's header (checksum fails)
    corrupt_payload,  // flip a byte of the next packet's payload (data checksum fails when on)
    drop_packet,      // the next packet is lost (its sidx is skipped)
    duplicate_packet, // the next packet is sent twice
    drop_bytes,       // the next packet loses 100 bytes from the middle of its payload
};

// Faults of the data-image protocol (0xCC), each for the next occurrence.
enum class ImageFault {
    wrong_info_ack, // the INFO action is acknowledged with status 3 but next 1
    erase_refused,  // the ERASE action fails (0xFF, "flash erase failed")
    erase_error,    // the erase ends with status 2 (failed) instead of 1
    erase_endless,  // the erase never ends: every acknowledgement reports 4
    crc_mismatch,   // a data packet fails the camera's CRC check (the index stays)
    packet_refused, // a data packet's bulk-out transfer stalls (once: the endpoint stays usable)
    skip_index,     // a data packet is acknowledged with an index one too far
    upload_skip,    // an upload chunk comes from one chunk further on (one is lost)
};

class Camera {
public:
    // Creates a camera and plugs it into the virtual bus. The umockdev test bed
    // is created with the first camera of the process: create that one before
    // the first libusb_init. Later cameras (and unplug/replug) reach running
    // libusb contexts through uevents.
    static std::shared_ptr<Camera> create(const CameraConfig &cfg = {});
    ~Camera(); // unplugs; close libusb handles on it first
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // --- identity on the bus
    int bus() const;
    int port() const;
    int address() const;         // current device address
    std::string devnode() const; // "/dev/bus/usb/BBB/DDD"
    bool plugged() const;

    // --- scene and stream settings (take effect at the next frame)
    void set_scene(const Scene &s);
    Truth truth() const;
    void set_fps(uint32_t fps);
    void set_packet_payload(uint32_t bytes);
    void set_data_checksum(bool on);
    void set_temperatures(int16_t cb, int16_t ib, float cb_drift = 0.0f, float ib_drift = 0.0f);
    void set_noise(float sigma, uint64_t seed);
    void set_fpn(float mm);
    // Calibration package streamed in data-upload mode (PARAM_DEV_MODE 9) as
    // frames of format 171; PARAM_INFO_CALIB describes it. Empty = none.
    void set_calib_package(const std::vector<uint8_t> &pkg, uint32_t dev_ts, uint32_t pkg_ts,
                           uint8_t kind);
    // The camera's own calibration (see CalibSpec) as its package: the
    // parameter file plainly or zipped under its file name; PARAM_INFO_CALIB
    // describes it (fsize whole upload frames, dsize the payload).
    void serve_calibration(const CalibSpec &cal, bool zip, uint32_t dev_ts, uint32_t pkg_ts);
    // Any payload as a package of the given kind (1 = zip archive).
    void serve_package(const std::vector<uint8_t> &payload, uint8_t kind, uint32_t dev_ts,
                       uint32_t pkg_ts);
    // The camera's parameter file for its current configuration.
    std::vector<uint8_t> calib_param_file(const CalibSpec &cal) const;
    // "pylox_param_<n>.bin": n = sensor value bytes 2..5 XOR serial bytes 0..3.
    std::string param_file_name() const;

    // --- faults on demand
    void fault_busy(int polls);                    // the next `polls` status polls answer 0xFE
    void fault_fail_next(const std::string &text); // the next command fails (0xFF) with text
    // The next `n` control transfers whose bRequest equals `request`
    // (-1: any) are never completed by the camera (the host must cancel them).
    void fault_hang_control(int n, int request = -1);
    // Discards of hung control transfers are accepted but not completed (a
    // cancellation that never comes back); release_hung() completes every hung
    // control transfer as cancelled.
    void fault_hold_discarded(bool on);
    void release_hung();
    void fault_short_answer(int n);          // the next n IN control answers lack a byte
    void fault_echo_mismatch(int n);         // the next n status blocks echo a wrong value
    void fault_refuse_stream_start(bool on); // 0xC2/4 fails with a text
    void fault_stall_bulk(int n);            // the next n bulk-in transfers stall
    void fault_stop_sending(bool on);        // stream paused: bulk-in transfers time out
    void fault_stream(StreamFault f, int count = 1);
    // The next n bulk-in transfers end with this status (-EPROTO: an error,
    // -EOVERFLOW: babble, ...).
    void fault_bulk_error(int n, int neg_errno);
    // The next n register accesses (read or write) that touch register
    // `index` of `space` fail ("register access refused").
    void fault_reg(int space, uint32_t index, int n = 1);
    void unplug(); // leave the bus now: transfers end with no-device
    void replug(); // come back on the same bus and port, new address

    // --- what the camera saw
    std::vector<ControlRecord> control_log() const;
    void clear_control_log();
    uint64_t bytes_streamed() const;  // bytes delivered into bulk-in transfers
    uint64_t frames_streamed() const; // frames whose last byte was delivered
    // When the last byte of each streamed frame went out (newest 100,000), in order.
    std::vector<std::chrono::steady_clock::time_point> frame_end_times() const;
    uint64_t bulk_out_bytes() const;   // bytes accepted on endpoint 0x01
    uint32_t clear_halt_count() const; // CLEAR_HALT requests
    uint32_t reset_count() const;      // 0xC0/0 commands
    uint32_t last_reset_target() const;
    bool streaming() const;
    uint32_t capture_arg() const;    // argument of the last 0xC2/4
    uint32_t urbs_in_flight() const; // bulk-in transfers queued at the camera
    uint64_t usbfs_calls() const;    // usbfs ioctls received (an idle host makes none)

    // Register accesses in order (refused ones are not in it).
    std::vector<RegAccess> reg_log() const;
    void clear_reg_log();

    // --- the camera's own state
    uint32_t reg(int space, uint32_t index) const;
    void set_reg(int space, uint32_t index, uint32_t value);
    // Raw 18 value bytes of a parameter and its length; false for unknown IDs.
    bool param(uint8_t id, std::vector<uint8_t> &value) const;
    void set_param(uint8_t id, const std::vector<uint8_t> &value);
    uint32_t mod_freq() const;

    // Data images in the camera's flash, by image type (0xCC protocol: image
    // info, INFO and ERASE actions, acknowledgements, CRC-checked data packets
    // on endpoint 0x01, upload chunks).
    void set_image(uint8_t type, uint16_t version, const std::vector<uint8_t> &data);
    bool image(uint8_t type, uint16_t &version, std::vector<uint8_t> &data) const;
    void set_erase_polls(int n); // ACK reads that still report "erasing" (4); default 2
    // Flash address the image info reports for a type (default 0x08000000 +
    // type x 0x100000).
    void set_image_address(uint8_t type, uint32_t address);
    uint32_t image_address(uint8_t type) const;
    // The next `count` occurrences of the fault.
    void fault_image(ImageFault f, int count = 1);
    // The nth acknowledgement read (0xCC/4) from now on fails (0xFF,
    // "acknowledgement failed"); 1 is the next one, 0 disarms.
    void fault_fail_ack(int nth);
    // Firmware boots: a reset with target 0 after a completed download of
    // type 0 (software) or 1 (boot loader) starts that image, and the version
    // parameter (ID 6) then carries its version in the software or
    // boot-loader word.
    uint32_t firmware_boots() const;

    struct Impl;

private:
    explicit Camera(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Root folder of the umockdev test bed (empty before the first camera).
std::string testbed_root();

// Frame helpers for tests that check a stream by hand (independent of the
// library): Fletcher-16 as the stream header uses it, and the 36-byte header.
uint16_t fletcher16(const uint8_t *p, size_t n, uint16_t seed = 0);
struct StreamHeader {
    uint16_t sidx = 0;
    uint32_t len = 0, frlen = 0;
    uint16_t fridx = 0, frfmt = 0;
    uint16_t width = 0, height = 0;
    int16_t temp_cb = 0, temp_ib = 0;
    uint32_t attr_word = 0;
    uint32_t data_sum = 0;
    uint8_t frame_flags = 0, cksum_flags = 0;
};
constexpr size_t kHeaderSize = 36;
void write_header(uint8_t out[kHeaderSize], const StreamHeader &h);
// Parses and checks sync and header checksum; false when either is wrong.
bool read_header(const uint8_t in[kHeaderSize], StreamHeader &h);

// The stamp a camera with `stamp_frames` writes over the first 16 bytes of
// each frame: a magic word, the number of the stream (stream starts since the
// camera was created, from 1), the frame's number within that stream (from 0,
// frames lost on the wire included) and a hash of the frame's remaining bytes.
struct FrameStamp {
    static constexpr uint32_t kMagic = 0x504D5453; // "STMP"
    static constexpr size_t kSize = 16;
    uint32_t stream = 0;
    uint32_t frame = 0;
    uint32_t hash = 0;
};
uint32_t stamp_hash(const uint8_t *p, size_t n);
// False when the frame carries no stamp or its bytes do not match the hash.
bool read_stamp(const uint8_t *frame, size_t n, FrameStamp &out);

// Range of a modulation frequency in mm, as the camera reckons it.
uint32_t range_mm(uint32_t mod_freq_hz);

} // namespace vcam
