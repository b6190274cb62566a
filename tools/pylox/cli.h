// The pylox command-line tool: shared pieces of the subcommands. The tool
// uses the library's public C interface only.
#pragma once

#include <pylox/pylox.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Calls that arrive with later library versions: the subcommands that need
// them report "not available in this build" without them.
#if __has_include(<pylox/pylox_frame.h>)
#include <pylox/pylox_frame.h>
#define PYLOX_CLI_HAVE_PRODUCTS 1
#else
#define PYLOX_CLI_HAVE_PRODUCTS 0
#endif
#if __has_include(<pylox/pylox_filter.h>)
#include <pylox/pylox_filter.h>
#define PYLOX_CLI_HAVE_FILTER 1
#else
#define PYLOX_CLI_HAVE_FILTER 0
#endif
#if __has_include(<pylox/pylox_param.h>)
#include <pylox/pylox_param.h>
#define PYLOX_CLI_HAVE_PARAM 1
#else
#define PYLOX_CLI_HAVE_PARAM 0
#endif

namespace cli {

// A failure the user should read: main prints "pylox: <what>" as one line
// and exits with status 1.
struct error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Options every subcommand takes.
struct global_opts {
    std::string replay;                   // raw frame file played as a camera
    int device = 0;                       // index in the camera list
    std::string log_file;                 // library log (none by default)
    std::string param_dir;                // parameter and calibration files (default: ./)
    bool verbose = false;                 // library warnings on the console
    int replay_fps = 0;                   // pace of a replay, 0 = as fast as it reads
    std::vector<std::string> filters_on;  // name[=value] switched on after open
    std::vector<std::string> filters_off; // names switched off after open
};

// Library start-up and shutdown around one run of the tool.
struct library {
    explicit library(const global_opts &g);
    ~library();
    library(const library &) = delete;
    library &operator=(const library &) = delete;
};

// An open camera (or replay): closed by the destructor.
class camera {
public:
    explicit camera(const global_opts &g);
    ~camera();
    camera(const camera &) = delete;
    camera &operator=(const camera &) = delete;

    pylox_dev_t *dev() const { return dev_; }
    bool is_replay() const { return replay_; }
    std::string product() const;
    std::string describe() const; // "bus 1 port 2" or the replay file

private:
    std::vector<pylox_dev_t> list_;
    pylox_dev_t *dev_ = nullptr;
    bool replay_ = false;
    std::string path_;
};

// Text of a fixed-size, possibly unterminated field.
std::string field_text(const void *p, size_t n);
std::string hex(const uint8_t *p, size_t n);
std::string usb_speed_name(int speed);

// One parameter read; false when the camera does not answer it.
bool param_get(pylox_dev_t *dev, uint32_t id, pylox_param_item_t &out);
bool param_get_u32(pylox_dev_t *dev, uint32_t id, uint32_t &v);
bool param_set_u32(pylox_dev_t *dev, uint32_t id, uint32_t v, int len);

// Filter switches given by name ("spatial=5", "calib") or number.
int filter_id_of(const std::string &name);
void apply_filters(pylox_dev_t *dev, const global_opts &g, bool report);
void print_filter_table();

// Set by SIGINT; long-running subcommands stop at the next frame.
extern volatile int g_interrupted;
void install_interrupt_handler();

bool stdout_is_tty();

// --- subcommands ---------------------------------------------------------
struct stream_opts {
    int frames = 0;     // 0: no limit
    double seconds = 0; // 0: no limit
    int fps = -1;       // camera frame rate to set, -1 leaves it
};
struct record_opts {
    std::string out;
    std::string format; // raw, dist, oni; empty: from the file name
    stream_opts s;
};
struct convert_opts {
    std::string in;
    std::string out_dir;
    std::string depth_png, gray_png, ply, csv;
    bool ply_ascii = false;
    bool ply_color = false;
    int frame = 0;
    std::vector<float> range; // metres: min max, empty: from the image
};
struct demo_opts {
    std::string in;
    std::string out_dir = "out";
    int fps = 30; // pace of the replay, as the camera recorded it; 0: as fast as it reads
};
struct flash_opts {
    std::string action; // download, upload, firmware
    std::string file;
    int type = -1;
    int version = 0;
    bool yes = false;
};
struct calib_opts {
    std::string action; // show, fetch, refresh
    std::string file;
};

int cmd_list(const global_opts &g);
int cmd_list_watch(int seconds);
int cmd_info(const global_opts &g);
int cmd_stream(const global_opts &g, const stream_opts &o);
int cmd_record(const global_opts &g, const record_opts &o);
int cmd_convert(const global_opts &g, const convert_opts &o);
int cmd_demo(const global_opts &g, const demo_opts &o);
int cmd_calib(const global_opts &g, const calib_opts &o);
int cmd_flash(const global_opts &g, const flash_opts &o);
int cmd_filter(const global_opts &g, bool list_only);

} // namespace cli
