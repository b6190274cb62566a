// The pylox tool against the virtual camera, through its launcher.
#include "cli_run.h"

using namespace cli_test;

namespace {

TEST(CliVcam, ListsEveryCamera)
{
    const result r = run({"list"}, true, {"VCAM_COUNT=2"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("0  bus 1 port "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1  bus 1 port "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("serial 5643414d00000001"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("serial 5643414d00000002"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("high speed  PYLOX-E2-VCAM"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("hw 3 sw 140 bl 2"), std::string::npos) << r.out;

    const result none = run({"-d", "2", "info"}, true, {"VCAM_COUNT=2"});
    EXPECT_TRUE(one_line_error(none));
    EXPECT_NE(none.err.find("2 camera(s) found"), std::string::npos) << none.err;
    const result absent = run({"list"});
    EXPECT_TRUE(one_line_error(absent));
}

TEST(CliVcam, Info)
{
    const result r = run({"info"}, true);
    ASSERT_EQ(r.rc, 0) << r.err;
    for (const char *line :
         {"product     PYLOX-E2-VCAM", "info        virtual camera", "versions    hw 3 sw 140 bl 2",
          "modulation  12000000 Hz", "intg time   1000", "sensor      p 1 chip 0x0635 width 320",
          "calib pkg   none in camera", "usb         high speed"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// Statistics of a stream: the frames asked for, the camera's temperatures
// and integration time, and losses that add up: a machine busy enough to
// stall the tool may make the library drop frames, and every drop between
// two delivered frames shows as a gap in the camera's frame indices.
struct stream_line {
    int frames = -1, dropped = -1, discarded = -1, missed = -1, intg = -1;
    float t0 = 0, t1 = 0;
};
stream_line parse_stream_line(const std::string &out)
{
    stream_line l;
    const size_t at = out.find("frames ");
    if (at != std::string::npos)
        std::sscanf(out.c_str() + at,
                    "frames %d  dropped %d  discarded %d  missed %d  temp %f/%f C  intg %d",
                    &l.frames, &l.dropped, &l.discarded, &l.missed, &l.t0, &l.t1, &l.intg);
    return l;
}

TEST(CliVcam, StreamCountsFrames)
{
    const result r = run({"stream", "--frames", "12", "--fps", "30"}, true);
    ASSERT_EQ(r.rc, 0) << r.err;
    const stream_line l = parse_stream_line(r.out);
    EXPECT_EQ(l.frames, 12) << r.out;
    EXPECT_EQ(l.discarded, 0) << r.out;
    EXPECT_GE(l.dropped, 0) << r.out;
    EXPECT_LE(l.missed, l.dropped) << r.out;
    EXPECT_FLOAT_EQ(l.t0, 35.0f);
    EXPECT_FLOAT_EQ(l.t1, 30.0f);
    EXPECT_EQ(l.intg, 1000) << r.out;
    // Exactly one line on a pipe: the updating line is for terminals.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

    const result t = run({"stream", "--seconds", "1", "--fps", "20"}, true);
    ASSERT_EQ(t.rc, 0) << t.err;
    const stream_line lt = parse_stream_line(t.out);
    EXPECT_GT(lt.frames, 0) << t.out;
    EXPECT_LE(lt.missed, lt.dropped) << t.out;
}

// A recording of the camera replays as the frames it recorded, and its
// decoded distances are those of the scene.
TEST(CliVcam, RecordAndReplay)
{
    scratch s;
    const std::string raw = s / "cam.raw";
    const result r = run({"record", raw, "-n", "3"}, true, {"VCAM_SCENE=box:1800:900"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("3 frames written (raw)"), std::string::npos) << r.out;
    int w = 0, h = 0;
    const auto frames = raw_frames(raw, &w, &h);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(w * h, 320 * 240);
    EXPECT_EQ(frames[0].size(), 320u * 240u * 4u);

    const result p = run({"stream", "--replay", raw});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_NE(p.out.find("frames 3  dropped 0"), std::string::npos) << p.out;
#if defined(PYLOX_CLI_TEST_DECODE)
    const result c = run({"convert", raw, "--csv", s / "d.csv", "--frame", "2"});
    ASSERT_EQ(c.rc, 0) << c.err;
    float lo = 0, hi = 0;
    const size_t at = c.out.find("depth ");
    ASSERT_NE(at, std::string::npos) << c.out;
    ASSERT_EQ(std::sscanf(c.out.c_str() + at, "depth %f .. %f m", &lo, &hi), 2) << c.out;
    EXPECT_NEAR(lo, 0.9, 0.03); // the box
    EXPECT_NEAR(hi, 1.8, 0.03); // the wall

    const result o = run({"record", s / "cam.oni", "-n", "2"}, true);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(slurp(s / "cam.oni").substr(0, 4), "NI10");
#endif
}

// Data images: a download reaches the camera, an upload of an empty slot
// and the flash-writing types without confirmation are refused.
TEST(CliVcam, Flash)
{
    scratch s;
    {
        std::ofstream f(s / "img.bin", std::ios::binary);
        for (int i = 0; i < 70000; ++i)
            f.put(static_cast<char>(i * 7));
    }
    const result d = run({"flash", "download", s / "img.bin", "--type", "5"}, true);
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_NE(d.out.find("into slot 5"), std::string::npos) << d.out;

    const result u = run({"flash", "upload", s / "up.bin", "--type", "6"}, true);
    EXPECT_TRUE(one_line_error(u));
    EXPECT_FALSE(std::filesystem::exists(s / "up.bin"));

    const result c = run({"flash", "download", s / "img.bin", "--type", "2"}, true);
    EXPECT_TRUE(one_line_error(c));
    EXPECT_NE(c.err.find("--yes"), std::string::npos);
}

// A camera that carries its calibration package (the launcher's --calib,
// plainly or zipped): the first fetch stores and mounts it, the next finds
// it on the host, a refresh fetches it again; show reads both frequencies'
// blocks back, and info reports the calibration mounted.
TEST(CliVcam, CalibFetchFromTheCamera)
{
    // The library names parameter files in 63 characters: a short folder.
    char tmpl[] = "/tmp/plxcXXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    struct remove_dir {
        std::string d;
        ~remove_dir() { std::filesystem::remove_all(d); }
    } s_dir{tmpl};
    auto sub = [&](const char *name) { return s_dir.d + "/" + name; };
    for (const char *kind : {"--calib", "--calib=zip"}) {
        SCOPED_TRACE(kind);
        const std::string dir = sub(std::string(kind) == "--calib" ? "plain" : "zip");
        auto pylox = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"--param-dir", dir});
            return run(args, true, {}, {kind});
        };
        const result first = pylox({"calib", "fetch"});
        ASSERT_EQ(first.rc, 0) << first.err;
        EXPECT_NE(first.out.find("fetched the calibration package from the camera"),
                  std::string::npos)
            << first.out;
        EXPECT_NE(first.out.find("calibration mounted"), std::string::npos) << first.out;
        size_t files = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            ++files;
            EXPECT_EQ(e.path().filename().string().rfind("pylox_param_", 0), 0u) << e.path();
            EXPECT_GT(e.file_size(), 1000000u) << e.path();
        }
        EXPECT_EQ(files, 1u); // the transfer's own files are gone

        const result show = pylox({"calib", "show"});
        ASSERT_EQ(show.rc, 0) << show.err;
        for (const char *line : {"mounted     yes", "version     150, time stamp 1000, 2 block(s)",
                                 "calibration at 12.000 MHz, 6 reference images 320x240",
                                 "calibration at 24.000 MHz, 6 reference images 320x240"})
            EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
        if (std::string(kind) != "--calib")
            continue; // the rest does not depend on the packing
        const result again = pylox({"calib", "fetch"});
        ASSERT_EQ(again.rc, 0) << again.err;
        EXPECT_NE(again.out.find("is already on this host"), std::string::npos) << again.out;
        const result refresh = pylox({"calib", "refresh"});
        ASSERT_EQ(refresh.rc, 0) << refresh.err;
        EXPECT_NE(refresh.out.find("fetching the calibration package"), std::string::npos);
        EXPECT_NE(refresh.out.find("calibration mounted"), std::string::npos) << refresh.out;

        const result info = pylox({"info"});
        ASSERT_EQ(info.rc, 0) << info.err;
        EXPECT_NE(info.out.find("calibration mounted for the current frequency"), std::string::npos)
            << info.out;
    }
    // Without a package the fetch fails in one line and leaves no file.
    const result none = run({"--param-dir", sub("none"), "calib", "fetch"}, true);
    EXPECT_TRUE(one_line_error(none));
    EXPECT_TRUE(std::filesystem::is_empty(sub("none")));
    // A file where the folder should be, and a folder too long for the names.
    {
        std::ofstream(sub("file")) << "x";
    }
    for (const std::string &bad : {sub("file"), sub(std::string(40, 'd').c_str())}) {
        const result r = run({"--param-dir", bad, "info"}, true);
        EXPECT_TRUE(one_line_error(r));
        EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
    }
}

// Calibration and features: whatever this build offers answers cleanly.
TEST(CliVcam, CalibAndFilter)
{
    const result show = run({"calib"}, true);
    EXPECT_TRUE(one_line_error(show)); // the virtual camera's parameter file is not on this host
    const result fetch = run({"calib", "fetch"}, true);
    EXPECT_TRUE(one_line_error(fetch)); // and it holds no package by default

    const result f =
        run({"filter", "--on", "spatial=3", "--on", "offset=-20", "--off", "amp"}, true);
#if __has_include(<pylox/pylox_filter.h>)
    ASSERT_EQ(f.rc, 0) << f.err;
    EXPECT_NE(f.out.find("spatial       on, value 3"), std::string::npos) << f.out;
    EXPECT_NE(f.out.find("offset        on, value -20"), std::string::npos) << f.out;
    EXPECT_NE(f.out.find("amp           off"), std::string::npos) << f.out;
    const result st = run({"stream", "-n", "3", "--filter", "hdr", "--no-filter", "spatial"}, true);
    EXPECT_EQ(st.rc, 0) << st.err;
#else
    EXPECT_TRUE(one_line_error(f));
    EXPECT_NE(f.err.find("not available in this build"), std::string::npos);
#endif
}

} // namespace
