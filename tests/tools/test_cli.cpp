// The pylox tool on replays of the bundled sample and on bad input: exit
// statuses, one-line errors, and outputs that parse.
#include "cli_run.h"

#include <cmath>

using namespace cli_test;

namespace {

const char *const k_subcommands[] = {"list", "info",  "stream", "record", "convert",
                                     "demo", "calib", "flash",  "filter"};

TEST(Cli, HelpOnEverySubcommand)
{
    for (const char *sub : k_subcommands) {
        const result r = run({sub, "--help"});
        EXPECT_EQ(r.rc, 0) << sub;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << sub;
        EXPECT_NE(r.out.find(sub), std::string::npos) << sub;
    }
    const result top = run({"--help"});
    EXPECT_EQ(top.rc, 0);
    for (const char *sub : k_subcommands)
        EXPECT_NE(top.out.find(sub), std::string::npos) << sub;
}

// Bad options, bad values and missing or unusable files all end in one
// "pylox: " line and a non-zero status, with nothing on standard output.
TEST(Cli, BadInputGivesOneLineError)
{
    scratch s;
    {
        std::ofstream junk(s / "junk.raw");
        junk << "this is no recording\n";
    }
    const std::string missing = s / "missing.raw";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"stream", "--bogus"},
        {"stream", "--frames", "-3", "--replay", sample()},
        {"stream", "--frames", "many", "--replay", sample()},
        {"--replay", missing, "info"},
        {"--replay", s / "junk.raw", "stream"},
        {"--replay", s.dir.string(), "list"},
        {"record"},
        {"record", s / "out.xyz", "--replay", sample()},
        {"record", s / "no/such/dir/out.raw", "--replay", sample()},
        {"record", s / "out.raw", "--format", "tiff", "--replay", sample()},
        {"convert", missing, "--csv", s / "x.csv"},
        {"convert", sample()},
        {"convert", sample(), "--frame", "9", "--csv", s / "x.csv"},
        {"convert", sample(), "--range", "2", "1", "--depth-png", s / "d.png"},
        {"demo", missing},
        {"calib", "show", "--file", missing},
        {"calib", "show", "--file", s / "junk.raw"},
        {"flash", "upload", s / "u.bin", "--type", "4", "--replay", sample()},
        {"flash", "download", missing, "--type", "4"},
        {"flash", "firmware", sample(), "--type", "2", "--yes"},
        {"filter", "--on", "nosuchfeature", "--replay", sample()},
        {"filter", "--on", "spatial", "--replay", sample()},
        {"stream", "--filter", "amp=70000", "--replay", sample()},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const auto &a : args)
            line += a + " ";
        const result r = run(args);
        EXPECT_TRUE(one_line_error(r)) << line;
        EXPECT_EQ(r.out, "") << line;
    }
}

TEST(Cli, ListInfoStreamOnReplay)
{
    const result l = run({"--replay", sample(), "list"});
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_NE(l.out.find("PYLOX-E2-VCAM"), std::string::npos);

    const result i = run({"info", "--replay", sample()});
    ASSERT_EQ(i.rc, 0) << i.err;
    EXPECT_NE(i.out.find("product     PYLOX-E2-VCAM"), std::string::npos) << i.out;
    EXPECT_NE(i.out.find("driver"), std::string::npos);

    // The whole recording plays: four frames, none lost; the limit cuts it short.
    const result all = run({"stream", "--replay", sample()});
    ASSERT_EQ(all.rc, 0) << all.err;
    EXPECT_NE(all.out.find("frames 4  dropped 0  discarded 0  missed 0"), std::string::npos)
        << all.out;
    const result two = run({"stream", "-n", "2", "--replay", sample()});
    ASSERT_EQ(two.rc, 0) << two.err;
    EXPECT_NE(two.out.find("frames 2 "), std::string::npos) << two.out;
    const result more = run({"stream", "-n", "9", "--replay", sample()});
    EXPECT_TRUE(one_line_error(more));
    EXPECT_NE(more.err.find("only 4 of 9 frames"), std::string::npos) << more.err;
}

// A raw recording of a replay holds the replayed frames bit for bit.
TEST(Cli, RecordRawRoundTrip)
{
    scratch s;
    const std::string out = s / "copy.raw";
    const result r = run({"record", out, "--replay", sample()});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("4 frames written (raw)"), std::string::npos) << r.out;
    int w = 0, h = 0;
    const auto got = raw_frames(out, &w, &h);
    const auto want = raw_frames(sample());
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got == want);
    EXPECT_NE(slurp(out).find("PYLOX-E2-VCAM"), std::string::npos);
}

TEST(Cli, FilterList)
{
    const result r = run({"filter", "--list"});
    ASSERT_EQ(r.rc, 0);
    for (const char *f : {"lens", "calib", "spatial", "amp", "hdr", "offset"})
        EXPECT_NE(r.out.find(f), std::string::npos) << f;
}

#if defined(PYLOX_CLI_TEST_DECODE)

// PLY header: vertex count and whether points carry colours.
struct ply_info {
    bool ok = false, ascii = false, color = false;
    long vertices = -1;
    size_t body = 0; // offset of the data
};

ply_info parse_ply(const std::string &text)
{
    ply_info p;
    std::istringstream s(text);
    std::string line;
    if (!std::getline(s, line) || line != "ply")
        return p;
    while (std::getline(s, line)) {
        if (line == "format ascii 1.0")
            p.ascii = true;
        else if (line.rfind("element vertex ", 0) == 0)
            p.vertices = std::stol(line.substr(15));
        else if (line == "property uchar red")
            p.color = true;
        else if (line == "end_header") {
            p.body = static_cast<size_t>(s.tellg());
            p.ok = true;
            break;
        }
    }
    return p;
}

// Every output of one frame of the sample: the PNGs decode at the frame's
// size, the PLY holds as many points as the CSV has valid distances, and
// the distances are those of the recorded scene (a back wall at 2.4 m, the
// middle box at 1.65 m, the floor's bottom row at 0.9 m).
TEST(Cli, ConvertOutputsParse)
{
    scratch s;
    const result r = run({"convert", sample(), "-o", s.dir.string(), "--frame", "1"});
    ASSERT_EQ(r.rc, 0) << r.err;

    png_read_back depth, gray;
    ASSERT_TRUE(read_png(s / "depth.png", depth));
    EXPECT_EQ(depth.w, 320);
    EXPECT_EQ(depth.h, 240);
    EXPECT_EQ(depth.channels, 3);
    ASSERT_TRUE(read_png(s / "gray.png", gray));
    EXPECT_EQ(gray.w * gray.h, 320 * 240);
    EXPECT_EQ(gray.channels, 1);
    // Centre and corner differ in depth, so they differ in colour.
    auto rgb = [&](int x, int y) {
        const uint8_t *p = &depth.px[(static_cast<size_t>(y) * 320 + x) * 3];
        return (p[0] << 16) | (p[1] << 8) | p[2];
    };
    EXPECT_NE(rgb(160, 120), rgb(5, 5));

    std::istringstream csv(slurp(s / "depth.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "x,y,distance_m,gray");
    long rows = 0, valid = 0;
    double centre = 0, corner = 0, bottom = 0;
    while (std::getline(csv, line)) {
        int x = 0, y = 0;
        double d = 0;
        ++rows;
        if (std::sscanf(line.c_str(), "%d,%d,%lf", &x, &y, &d) == 3) {
            ++valid;
            if (x == 160 && y == 120)
                centre = d;
            if (x == 5 && y == 5)
                corner = d;
            if (x == 160 && y == 239)
                bottom = d;
        }
    }
    EXPECT_EQ(rows, 320 * 240);
    EXPECT_NEAR(centre, 1.65, 0.05);
    EXPECT_NEAR(corner, 2.4, 0.05);
    EXPECT_NEAR(bottom, 0.9, 0.05);

    const std::string ply = slurp(s / "cloud.ply");
    const ply_info p = parse_ply(ply);
    ASSERT_TRUE(p.ok);
    EXPECT_FALSE(p.ascii);
    EXPECT_EQ(p.vertices, valid);
    EXPECT_EQ(ply.size() - p.body, static_cast<size_t>(p.vertices) * 12);
    // Every point lies at its pixel's distance from the camera.
    const float *pt = reinterpret_cast<const float *>(ply.data() + p.body);
    for (long i = 0; i < p.vertices; i += 97) {
        const double r3 = std::sqrt(pt[i * 3] * pt[i * 3] + pt[i * 3 + 1] * pt[i * 3 + 1] +
                                    pt[i * 3 + 2] * pt[i * 3 + 2]);
        EXPECT_GT(r3, 0.85);
        EXPECT_LT(r3, 2.45);
    }

    // ASCII with colours: one line per vertex, six fields each.
    const result a = run({"convert", sample(), "--ply", s / "a.ply", "--ascii", "--color"});
    ASSERT_EQ(a.rc, 0) << a.err;
    const std::string at = slurp(s / "a.ply");
    const ply_info pa = parse_ply(at);
    ASSERT_TRUE(pa.ok && pa.ascii && pa.color);
    std::istringstream body(at.substr(pa.body));
    long n = 0;
    while (std::getline(body, line)) {
        float x, y, z;
        unsigned cr, cg, cb;
        ASSERT_EQ(std::sscanf(line.c_str(), "%f %f %f %u %u %u", &x, &y, &z, &cr, &cg, &cb), 6)
            << line;
        ++n;
    }
    EXPECT_EQ(n, pa.vertices);
}

TEST(Cli, DemoWritesUnderOut)
{
    scratch s;
    const result r = run({"demo", sample(), "-o", s / "out"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("frames      4 of 320x240"), std::string::npos) << r.out;
    float lo = 0, hi = 0;
    const size_t at = r.out.find("depth       ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "depth %f .. %f m", &lo, &hi), 2);
    EXPECT_NEAR(lo, 0.9, 0.05);
    EXPECT_NEAR(hi, 2.4, 0.05);
    png_read_back img;
    EXPECT_TRUE(read_png(s / "out/depth.png", img));
    EXPECT_TRUE(read_png(s / "out/gray.png", img));
    EXPECT_TRUE(parse_ply(slurp(s / "out/cloud.ply")).ok);
}

// Distance files and OpenNI recordings of a replay.
TEST(Cli, RecordDistanceAndOni)
{
    scratch s;
    const result d = run({"record", s / "d.dist", "--replay", sample()});
    ASSERT_EQ(d.rc, 0) << d.err;
    const int fd = ::open((s / "d.dist").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<float> dist(320 * 240);
    int w = 0, h = 0, frames = 0;
    while (pylox_frame_load_distance(fd, dist.data(), static_cast<int>(dist.size()), &w, &h) ==
           320 * 240)
        ++frames;
    ::close(fd);
    EXPECT_EQ(frames, 4);
    EXPECT_NEAR(dist[120 * 320 + 160], 1.65, 0.05);

    const result o = run({"record", s / "r.oni", "--replay", sample()});
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(slurp(s / "r.oni").substr(0, 4), "NI10");
}

#else

// Without the driver's depth decoding the depth outputs fail in one clear line.
TEST(Cli, WithoutDecodingDepthOutputsFailClearly)
{
    scratch s;
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"convert", sample(), "--csv", s / "x.csv"},
                                               {"demo", sample(), "-o", s / "out"},
                                               {"record", s / "x.dist", "--replay", sample()}}) {
        const result r = run(args);
        EXPECT_TRUE(one_line_error(r)) << args[0];
        EXPECT_NE(r.err.find("could not decode"), std::string::npos) << r.err;
    }
}

#endif

} // namespace
