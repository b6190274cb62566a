// pylox: list, inspect, stream, record and convert from the depth camera.
//   pylox [--replay FILE] [--device N] <subcommand> [options]
// Every subcommand also runs against a recorded raw frame file (--replay).
#include "cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

void add_globals(CLI::App &app, cli::global_opts &g)
{
    app.add_option("--replay", g.replay, "play a raw frame file instead of a camera")
        ->option_text("FILE");
    app.add_option("-d,--device", g.device, "index of the camera in `pylox list` (default 0)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--replay-fps", g.replay_fps,
                   "pace of a replay in frames per second (default 0: as fast as it reads)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--param-dir", g.param_dir,
                   "folder of the cameras' parameter and calibration files (default: the "
                   "current folder)")
        ->option_text("DIR");
    app.add_option("--log", g.log_file, "write the library's log to FILE")->option_text("FILE");
    app.add_flag("-v,--verbose", g.verbose, "show the library's warnings and errors");
}

void add_filter_opts(CLI::App *sub, cli::global_opts &g)
{
    sub->add_option("--filter", g.filters_on,
                    "switch a feature on, NAME or NAME=VALUE (see `pylox filter --list`)")
        ->option_text("NAME[=V]");
    sub->add_option("--no-filter", g.filters_off, "switch a feature off")->option_text("NAME");
}

void add_stream_opts(CLI::App *sub, cli::stream_opts &s)
{
    sub->add_option("-n,--frames", s.frames, "stop after N frames")->check(CLI::PositiveNumber);
    sub->add_option("-s,--seconds", s.seconds, "stop after S seconds")->check(CLI::PositiveNumber);
    sub->add_option("--fps", s.fps, "frame rate to set on the camera")->check(CLI::Range(0, 1000));
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"pylox: the depth camera's command-line tool (cameras, replays, recordings, "
                 "conversions, calibration, flash)",
                 "pylox"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("pylox ") + PYLOX_CLI_VERSION);
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return "pylox: " + std::string(e.what()) + " (try --help)\n";
    });
    cli::global_opts g;
    add_globals(app, g);

    auto *list =
        app.add_subcommand("list", "list the cameras: location, product, serial, versions");
    int watch_seconds = -1;
    list->add_option("-w,--watch", watch_seconds,
                     "report cameras arriving and leaving for SECONDS (0: until interrupted)")
        ->expected(0, 1)
        ->default_str("0");

    auto *info = app.add_subcommand(
        "info", "identity, parameters, calibration state and lens of one camera");

    cli::stream_opts sopt;
    auto *stream = app.add_subcommand(
        "stream", "stream and show live statistics (fps, delivered/dropped/discarded frames, "
                  "temperatures, integration time)");
    add_stream_opts(stream, sopt);
    add_filter_opts(stream, g);

    cli::record_opts ropt;
    auto *record = app.add_subcommand(
        "record", "record to a raw frame file (.raw), a distance file (.dist) or an OpenNI "
                  "recording (.oni)");
    record->add_option("output", ropt.out, "file to write")->required();
    record->add_option("-f,--format", ropt.format, "raw, dist or oni (default: from the name)")
        ->check(CLI::IsMember({"raw", "dist", "oni"}));
    add_stream_opts(record, ropt.s);
    add_filter_opts(record, g);

    cli::convert_opts copt;
    auto *convert = app.add_subcommand(
        "convert", "turn a frame of a raw recording into depth/gray PNG, PLY point cloud or CSV");
    convert->add_option("input", copt.in, "raw frame file")->required();
    convert->add_option("-o,--out-dir", copt.out_dir,
                        "write depth.png, gray.png, cloud.ply and depth.csv into DIR");
    convert->add_option("--depth-png", copt.depth_png, "colourised depth image");
    convert->add_option("--gray-png", copt.gray_png, "gray (amplitude) image");
    convert->add_option("--ply", copt.ply, "point cloud");
    convert->add_flag("--ascii", copt.ply_ascii, "PLY as text instead of binary");
    convert->add_flag("--color", copt.ply_color, "PLY points coloured by depth");
    convert->add_option("--csv", copt.csv, "one row per pixel: x, y, distance_m, gray");
    convert->add_option("--frame", copt.frame, "frame of the recording (default 0)")
        ->check(CLI::NonNegativeNumber);
    convert->add_option("--range", copt.range, "depth colour range in metres (default: image)")
        ->expected(2)
        ->option_text("MIN MAX");
    add_filter_opts(convert, g);

    cli::demo_opts dopt;
    auto *demo = app.add_subcommand(
        "demo", "replay a recording through the whole pipeline, write depth/gray PNG and PLY");
    demo->add_option("input", dopt.in, "raw frame file (default: the bundled sample)");
    demo->add_option("-o,--out-dir", dopt.out_dir, "output folder (default out)");
    demo->add_option("--fps", dopt.fps,
                     "pace of the replay in frames per second (default 30, as recorded; 0: as "
                     "fast as it reads, dropping frames the pipeline cannot keep up with)")
        ->check(CLI::Range(0, 1000));

    cli::calib_opts kopt;
    auto *calib = app.add_subcommand(
        "calib", "show the mounted calibration, fetch or refresh it from the camera");
    calib->add_option("action", kopt.action, "show (default), fetch, refresh")
        ->check(CLI::IsMember({"show", "fetch", "refresh"}));
    calib->add_option("--file", kopt.file, "show this parameter file instead of the camera's");

    cli::flash_opts fopt;
    auto *flash =
        app.add_subcommand("flash", "download or upload data images, upgrade the firmware");
    flash->add_option("action", fopt.action, "download, upload or firmware")
        ->required()
        ->check(CLI::IsMember({"download", "upload", "firmware"}));
    flash
        ->add_option("file", fopt.file, "image file to send (download, firmware) or write (upload)")
        ->required();
    flash
        ->add_option("-t,--type", fopt.type,
                     "image type (slot); firmware: 0 application, 1 boot loader")
        ->check(CLI::Range(0, 255));
    flash->add_option("--image-version", fopt.version, "version number sent with the image")
        ->check(CLI::Range(0, 65535));
    flash->add_flag("-y,--yes", fopt.yes, "confirm a firmware upgrade or calibration overwrite");

    bool filter_list = false;
    auto *filter = app.add_subcommand(
        "filter", "switch runtime features of the camera's driver and show the results");
    filter->add_flag("-l,--list", filter_list, "list the features and their arguments");
    filter->add_option("--on", g.filters_on, "switch a feature on, NAME or NAME=VALUE")
        ->option_text("NAME[=V]");
    filter->add_option("--off", g.filters_off, "switch a feature off")->option_text("NAME");

    for (CLI::App *sub : app.get_subcommands({}))
        sub->fallthrough();

    CLI11_PARSE(app, argc, argv);

    try {
        cli::library lib(g);
        if (*list)
            return watch_seconds >= 0 ? cli::cmd_list_watch(watch_seconds) : cli::cmd_list(g);
        if (*info)
            return cli::cmd_info(g);
        if (*stream)
            return cli::cmd_stream(g, sopt);
        if (*record)
            return cli::cmd_record(g, ropt);
        if (*convert)
            return cli::cmd_convert(g, copt);
        if (*demo)
            return cli::cmd_demo(g, dopt);
        if (*calib)
            return cli::cmd_calib(g, kopt);
        if (*flash)
            return cli::cmd_flash(g, fopt);
        if (*filter)
            return cli::cmd_filter(g, filter_list);
    } catch (const cli::error &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "pylox: %s\n", e.what());
        return 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "pylox: unexpected failure: %s\n", e.what());
        return 1;
    }
    return 1;
}
