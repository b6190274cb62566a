// Internal state of a virtual camera: the usbfs side (URBs, plug instances,
// readiness FIFO) and the firmware side (commands, parameters, registers,
// stream producer).
#pragma once

#include "vcam/vcam.h"

#include <umockdev.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vcam {

// One URB the host submitted.
struct Urb {
    UMockdevIoctlClient *client = nullptr; // connection it came from (ref held)
    UMockdevIoctlData *arg = nullptr;      // the usbdevfs_urb (ref held)
    UMockdevIoctlData *buf = nullptr;      // its data buffer (ref held), null when empty
    unsigned long addr = 0;                // the URB's address in the host process
    uint8_t type = 0, ep = 0;
    int length = 0;               // buffer length
    int actual = 0;               // bytes transferred (control: without setup)
    int status = 0;               // 0 or a negative errno once done
    std::vector<uint8_t> staging; // IN data, written back when reaped
    size_t data_offset = 0;       // where staging goes in the buffer (8 for control)
};

struct Plug;

// One open file descriptor on a device node.
struct Conn {
    UMockdevIoctlClient *client = nullptr;
    Plug *plug = nullptr;
    std::deque<Urb *> done; // completed, waiting to be reaped
};

// One appearance of the camera on the bus (a new one after every re-enumeration).
struct Plug {
    Camera::Impl *cam = nullptr;
    int address = 0;
    std::string devnode;   // /dev/bus/usb/BBB/DDD
    std::string syspath;   // /sys/devices/...
    std::string fifo_path; // the node's file in the test bed
    UMockdevIoctlBase *handler = nullptr;
    gulong sig_ioctl = 0, sig_vanished = 0;
    int fifo = -1;
    bool fifo_full = false;
    bool alive = true;
};

// Cached sensor-order samples for the current conditions.
struct Synth {
    uint64_t key_scene = ~0ull;
    uint32_t key_freq = 0;
    uint16_t key_intg = 0, key_intg2 = 0;
    int key_tc = 0x7fffffff; // temperature offset in 1/100 mm
    float key_fpn = -1, key_gain = -1, key_amb = -1;
    uint64_t key_seed = 0;
    std::vector<uint16_t> planes; // 4 planes of w*h samples, sensor row order
    std::vector<float> exact;     // the same samples before the converter's rounding
};

struct Packet {
    std::vector<uint8_t> bytes; // header + payload: one write on the bulk endpoint
    uint32_t frames_ending = 0; // frames whose last byte is in this packet
};

struct Camera::Impl {
    CameraConfig cfg;
    mutable std::mutex mu;
    std::condition_variable cv; // producer and bus thread wake-ups

    // --- bus side
    std::vector<std::unique_ptr<Plug>> plugs; // all plug instances, newest last
    Plug *cur = nullptr;                      // the live one, or null while unplugged
    std::map<UMockdevIoctlClient *, std::unique_ptr<Conn>> conns;
    std::deque<Urb *> in_q;  // bulk-in URBs waiting for data
    std::vector<Urb *> hung; // control URBs the camera never answers
    bool in_halted = false, out_halted = false;
    int configuration = 1;

    // --- firmware side
    uint8_t st_status = 0, st_type = 0, st_value = 0;
    std::string st_text;
    std::array<std::array<uint32_t, 256>, 4> regs{};
    std::map<uint8_t, std::vector<uint8_t>> params; // 18 value bytes each
    std::map<uint8_t, uint8_t> param_len;
    uint8_t reg_rd_target = 0;
    uint32_t reg_rd_first = 0;
    uint16_t reg_rd_bytes = 0;
    std::vector<uint8_t> param_rd_items; // items of the pending parameter read
    std::vector<uint8_t> calib_pkg;

    // --- data images
    struct Image {
        uint16_t version = 0;
        std::vector<uint8_t> data;
    };
    std::map<uint8_t, Image> images;
    uint8_t img_info_type = 0;
    uint8_t dl_type = 0, dl_status = 0;
    uint16_t dl_version = 0;
    uint32_t dl_size = 0, dl_next = 0, dl_pkt_size = 0;
    int dl_erase_left = 0, erase_polls = 2;
    bool dl_active = false, dl_erase_bad = false;
    std::vector<uint8_t> dl_data;
    std::map<uint8_t, uint32_t> image_addr;
    std::map<ImageFault, int> f_image;
    bool take_fault(ImageFault f); // under mu: consumes one occurrence
    int f_fail_ack = 0;            // acknowledgement reads left until the failing one
    int boot_pending = -1;         // type (0, 1) of a firmware stored since the last boot
    uint32_t boots = 0;
    std::vector<uint8_t> upl_request;
    uint32_t upl_chunk = 0;
    size_t upl_pos = 0;
    int upl_stage = 0;

    // --- stream
    bool streaming = false;
    uint32_t cap_arg = 0;
    uint64_t stream_gen = 0; // bumped at every start/stop: drops the write in progress
    std::chrono::steady_clock::time_point t0;
    uint64_t frame_no = 0;      // frames produced since start
    uint32_t stream_starts = 0; // streams started since creation (frame stamps)
    uint16_t sidx = 0, fridx = 0;
    std::deque<Packet> pending_packets; // produced, not yet written
    Packet cur_write;
    size_t cur_pos = 0;
    bool cur_valid = false;
    Scene scene;
    uint64_t scene_version = 1;
    Synth synth;
    uint64_t noise_state = 0;
    uint32_t upload_frame = 0;

    // --- faults
    int f_busy = 0;
    bool f_fail = false;
    std::string f_fail_text;
    int f_hang = 0, f_hang_req = -1;
    bool f_hold_discarded = false; // discards of hung control URBs accepted, never completed
    int f_short = 0;
    int f_echo = 0;
    bool f_refuse_start = false;
    int f_stall = 0;
    bool f_stop_sending = false;
    std::deque<StreamFault> f_stream;
    int f_err = 0, f_err_code = 0;
    struct RegFault {
        uint8_t space;
        uint32_t index;
        int left;
    };
    std::vector<RegFault> f_reg;
    bool take_reg_fault(uint8_t space, uint32_t first, uint32_t count); // under mu

    // --- records
    std::vector<ControlRecord> log;
    std::vector<RegAccess> reg_log;
    uint64_t bytes_streamed = 0, frames_streamed = 0, bulk_out = 0;
    // When the last byte of each frame went into a transfer (the newest kept).
    std::deque<std::chrono::steady_clock::time_point> frame_end_times;
    uint32_t clear_halts = 0, resets = 0, last_reset_target = 0;
    std::atomic<uint64_t> ioctl_calls{0};

    // --- threads
    bool quit = false;
    std::thread producer;
    std::thread bus_thread;
    bool replug_pending = false;
    std::chrono::steady_clock::time_point replug_at, unplug_at;
    bool unplug_pending = false;

    explicit Impl(const CameraConfig &c);
    ~Impl();

    // bus (usbfs.cpp)
    void plug_in();  // adds a new plug instance (takes mu itself)
    void pull_out(); // removes the live plug (takes mu itself)
    void destroy_plugs();
    gboolean on_ioctl(Plug *p, UMockdevIoctlClient *client);
    void on_vanished(Plug *p, UMockdevIoctlClient *client);
    void finish(Urb *u, int status); // under mu: move to its connection's done list
    void update_ready(Plug *p);      // under mu: FIFO readiness follows the done lists
    void fail_all_urbs(int status);  // under mu
    Conn *conn_of(Plug *p, UMockdevIoctlClient *c);

    // firmware (camera.cpp)
    void init_params();
    // Answers one control exchange; returns 0 or a negative errno (-EPIPE = stall).
    int control(const uint8_t setup[8], const uint8_t *out, std::vector<uint8_t> &in);
    void command(uint8_t type, uint16_t value, const uint8_t *d, size_t n, bool in,
                 std::vector<uint8_t> &answer, uint16_t wlen);
    void fail(const std::string &text);
    void image_command(uint16_t value, const uint8_t *d, size_t n, bool in,
                       std::vector<uint8_t> &answer, uint16_t wlen);
    // Takes a data packet; false when the camera refuses the transfer (stall).
    bool bulk_out_data(const uint8_t *p, size_t n);
    void start_stream(uint32_t arg);
    void stop_stream();
    void bus_loop();
    void producer_loop();
    bool make_packets(std::unique_lock<std::mutex> &lk);
    void feed(std::unique_lock<std::mutex> &lk);
    uint32_t frame_bytes() const;
};

// synthesis (scene.cpp)
// `exact`, when given, receives the samples before rounding and clipping (the
// analog values the noise acts on before the converter). With intg2 not 0 the
// odd display rows integrate for intg2, the even ones for intg.
void synth_planes(const CameraConfig &cfg, const Scene &sc, uint32_t mod_freq, uint16_t intg,
                  uint16_t intg2, double tc_mm, std::vector<uint16_t> &planes, Truth *truth,
                  std::vector<float> *exact = nullptr);
double temp_offset_mm(int16_t cb, int16_t ib);
int sensor_row_to_display(int s, int h);

// test bed (usbfs.cpp)
UMockdevTestbed *testbed();

} // namespace vcam
