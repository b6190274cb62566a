// The pylox tool on replays of the bundled sample and on bad input: exit
// statuses, one-line errors, and outputs that parse.
#include "cli_run.h"
#include "support/oni_reader.h"

#include <cmath>
#include <cstring>

using namespace cli_test;
using pylox_test::check_links;
using pylox_test::oni_file;
using pylox_test::read_oni;

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

// Every subcommand, given what it needs but one thing wrong (an unknown
// option, no camera, a recording that is missing or no recording), fails
// the same way: one "pylox: " line on standard error that names the file at
// fault, nothing on standard output, a non-zero status, and no file made.
TEST(Cli, EverySubcommandFailsInOneLine)
{
    scratch s;
    {
        std::ofstream junk(s / "junk.raw");
        junk << "PYLOX no frames here\n";
    }
    const std::string missing = s / "missing.raw", junk = s / "junk.raw";
    struct sub_case {
        std::string name;
        std::vector<std::string> args;
        bool own_input; // reads its recording itself (the first argument)
    };
    const std::vector<sub_case> subs = {
        {"list", {}, false},
        {"info", {}, false},
        {"stream", {"-n", "1"}, false},
        {"record", {s / "made.raw", "-n", "1"}, false},
        {"convert", {"IN", "--csv", s / "made.csv"}, true},
        {"demo", {"IN", "-o", s / "made"}, true},
        {"calib", {"fetch"}, false},
        {"flash", {"upload", s / "made.bin", "--type", "4"}, false},
        {"filter", {"--on", "spatial=3"}, false},
    };
    ASSERT_EQ(subs.size(), std::size(k_subcommands));
    auto with = [](const sub_case &c, const std::string &input) {
        std::vector<std::string> a = {c.name};
        for (const std::string &x : c.args)
            a.push_back(x == "IN" ? input : x);
        return a;
    };
    for (const sub_case &c : subs) {
        std::vector<std::pair<std::vector<std::string>, std::string>> variants; // args, named file
        auto unknown = with(c, sample());
        unknown.push_back("--no-such-option");
        variants.push_back({unknown, ""});
        for (const std::string &bad : {missing, junk}) {
            if (c.own_input)
                variants.push_back({with(c, bad), bad});
            else {
                auto a = with(c, "");
                a.insert(a.begin(), {"--replay", bad});
                if (c.name != "calib") // a replay carries no package whatever the file
                    variants.push_back({a, bad});
            }
        }
        if (!c.own_input)
            variants.push_back({with(c, ""), ""}); // no camera on this machine
        for (const auto &[args, named] : variants) {
            std::string line;
            for (const auto &a : args)
                line += a + " ";
            const result r = run(args);
            EXPECT_TRUE(one_line_error(r)) << line;
            EXPECT_EQ(r.out, "") << line;
            if (!named.empty()) {
                EXPECT_NE(r.err.find(named), std::string::npos) << line << "\n" << r.err;
            }
        }
    }
    for (const char *made : {"made.raw", "made.csv", "made", "made.bin"})
        EXPECT_FALSE(std::filesystem::exists(s / made)) << made;
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

// The sample's scene (display order, 320 x 240): a back wall at 2.4 m, three
// boxes standing on the floor, each nearer than the one to its left (2.025,
// 1.65 and 1.275 m), a floor over the lowest third coming to 0.9 m at the
// bottom row.
struct region {
    int x, y;
    double metres;
};
const region k_wall{5, 5, 2.4}, k_box0{60, 110, 2.025}, k_box1{160, 110, 1.65},
    k_box2{260, 110, 1.275}, k_floor{160, 239, 0.9};

size_t at(int x, int y)
{
    return static_cast<size_t>(y) * 320 + static_cast<size_t>(x);
}

// Median of a 5 x 5 patch around a region's point.
double patch(const std::vector<float> &img, const region &r)
{
    std::vector<float> v;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            const int x = std::clamp(r.x + dx, 0, 319), y = std::clamp(r.y + dy, 0, 239);
            v.push_back(img[at(x, y)]);
        }
    std::nth_element(v.begin(), v.begin() + 12, v.end());
    return v[12];
}

// The library's colours of distances over a range, as RGB bytes.
std::vector<uint8_t> library_colours(const std::vector<float> &dist, float lo, float hi)
{
    std::vector<uint8_t> rgb(dist.size() * 3);
    pylox_init("/dev/null"); // the map lives between start-up and shutdown
    pylox_log_cfg(TQ_LOG_NONE, TQ_LOG_NONE, TQ_LOG_NONE);
    pylox_cmap_float(rgb.data(), static_cast<int>(rgb.size()), dist.data(),
                     static_cast<int>(dist.size()), PYLOX_CMAP_RGB, lo, hi);
    pylox_uninit();
    return rgb;
}

bool valid_distance(float d)
{
    return d > 0.0f && d < 60.0f;
}

// Every output of one frame of the sample held against the library's own
// decoding of that frame: the CSV's distances and gray values, the depth
// PNG's colours, the PLY's points (one per valid pixel, in pixel order, each
// at its pixel's distance and on its side of the image), and the scene's
// depth order in all of them.
TEST(Cli, ConvertOutputsParse)
{
    const std::vector<decoded_frame> lib = library_decode(sample());
    ASSERT_EQ(lib.size(), 4u);
    const decoded_frame &f = lib[1];
    long lib_valid = 0;
    for (float d : f.dist)
        lib_valid += valid_distance(d);
    ASSERT_GT(lib_valid, 320 * 240 / 2);

    scratch s;
    const result r =
        run({"convert", sample(), "-o", s.dir.string(), "--frame", "1", "--range", "0.5", "3"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find(std::to_string(lib_valid) + " valid pixels"), std::string::npos) << r.out;

    // CSV: a row per pixel in raster order, the library's distance to the
    // 0.1 mm written, empty where the library has none.
    std::istringstream csv(slurp(s / "depth.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "x,y,distance_m,gray");
    std::vector<float> csv_dist(320 * 240, -1.0f);
    long rows = 0, valid = 0, wrong = 0;
    while (std::getline(csv, line)) {
        int x = -1, y = -1, n = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d,%d,%n", &x, &y, &n), 2) << line;
        ASSERT_EQ(at(x, y), static_cast<size_t>(rows)) << line;
        const size_t i = at(x, y);
        double d = 0, g = 0;
        if (std::sscanf(line.c_str() + n, "%lf,%lf", &d, &g) == 2) {
            ++valid;
            csv_dist[i] = static_cast<float>(d);
            wrong += !valid_distance(f.dist[i]) || std::fabs(d - f.dist[i]) > 0.00006 ||
                     std::fabs(g - f.gray[i]) > 0.51;
        } else {
            wrong += valid_distance(f.dist[i]) || line.find(",,") == std::string::npos;
        }
        ++rows;
    }
    EXPECT_EQ(rows, 320 * 240);
    EXPECT_EQ(valid, lib_valid);
    EXPECT_EQ(wrong, 0);
    // The scene as the CSV has it: nearer and nearer from the wall to the floor's edge.
    double last = 1e9;
    for (const region &g : {k_wall, k_box0, k_box1, k_box2, k_floor}) {
        const double d = patch(csv_dist, g);
        EXPECT_NEAR(d, g.metres, 0.05) << g.x << "," << g.y;
        EXPECT_LT(d, last) << g.x << "," << g.y;
        last = d;
    }

    // Depth PNG: every pixel the library's colour of its distance over the range.
    png_read_back depth, gray;
    ASSERT_TRUE(read_png(s / "depth.png", depth));
    ASSERT_EQ(depth.w, 320);
    ASSERT_EQ(depth.h, 240);
    ASSERT_EQ(depth.channels, 3);
    ASSERT_EQ(depth.bit_depth, 8);
    const std::vector<uint8_t> want = library_colours(f.dist, 0.5f, 3.0f);
    long off = 0;
    for (size_t i = 0; i < want.size(); ++i)
        off += depth.px[i] != want[i];
    EXPECT_EQ(off, 0);
    auto rgb = [&](const region &g) {
        const uint8_t *p = &depth.px[at(g.x, g.y) * 3];
        return (p[0] << 16) | (p[1] << 8) | p[2];
    };
    EXPECT_NE(rgb(k_wall), rgb(k_box1));
    EXPECT_NE(rgb(k_box0), rgb(k_box2));

    // Gray PNG: the echo weakens with distance, so nearer boxes are brighter.
    ASSERT_TRUE(read_png(s / "gray.png", gray));
    ASSERT_EQ(gray.w * gray.h, 320 * 240);
    ASSERT_EQ(gray.channels, 1);
    std::vector<float> gray_f(gray.px.begin(), gray.px.end());
    double dimmer = -1;
    for (const region &g : {k_wall, k_box0, k_box1, k_box2}) {
        const double v = patch(gray_f, g);
        EXPECT_GT(v, dimmer) << g.x << "," << g.y;
        dimmer = v;
    }

    // Binary PLY: one point per valid pixel in raster order, each at the
    // pixel's distance from the camera, in front of it, with x rising along
    // a row and y down the image.
    const std::string ply = slurp(s / "cloud.ply");
    const ply_info p = parse_ply(ply);
    ASSERT_TRUE(p.ok);
    EXPECT_FALSE(p.ascii);
    EXPECT_FALSE(p.color);
    ASSERT_EQ(p.vertices, lib_valid);
    ASSERT_EQ(ply.size() - p.body, static_cast<size_t>(p.vertices) * 12);
    std::vector<float> pts(static_cast<size_t>(p.vertices) * 3);
    std::memcpy(pts.data(), ply.data() + p.body, pts.size() * sizeof(float));
    long k = 0, bad_range = 0, bad_order = 0;
    float prev_x = 0, col_y[320];
    std::fill(std::begin(col_y), std::end(col_y), -1e9f);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            const float d = f.dist[at(x, y)];
            if (!valid_distance(d))
                continue;
            const float *q = &pts[static_cast<size_t>(k) * 3];
            const double r3 = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
            bad_range += std::fabs(r3 - d) > 1e-4 * d || !(q[2] > 0);
            // Along a row x grows with the pixel's column (the depth changes
            // only at the box edges, where the ray's slope still wins), down
            // a column y with the row.
            const bool same_row = k > 0 && x > 0 && valid_distance(f.dist[at(x - 1, y)]);
            bad_order += (same_row && q[0] / q[2] <= prev_x) || q[1] / q[2] <= col_y[x];
            prev_x = q[0] / q[2];
            col_y[x] = q[1] / q[2];
            ++k;
        }
    EXPECT_EQ(bad_range, 0);
    EXPECT_EQ(bad_order, 0);

    // ASCII PLY with colours: the same points, each in its pixel's colour of the depth PNG.
    const result a = run({"convert", sample(), "--frame", "1", "--range", "0.5", "3", "--ply",
                          s / "a.ply", "--ascii", "--color"});
    ASSERT_EQ(a.rc, 0) << a.err;
    const std::string at_text = slurp(s / "a.ply");
    const ply_info pa = parse_ply(at_text);
    ASSERT_TRUE(pa.ok && pa.ascii && pa.color);
    ASSERT_EQ(pa.vertices, p.vertices);
    std::istringstream body(at_text.substr(pa.body));
    k = 0;
    long bad_point = 0, bad_colour = 0;
    for (int i = 0; i < 320 * 240; ++i) {
        if (!valid_distance(f.dist[static_cast<size_t>(i)]))
            continue;
        float x, y, z;
        unsigned cr, cg, cb;
        ASSERT_TRUE(std::getline(body, line));
        ASSERT_EQ(std::sscanf(line.c_str(), "%f %f %f %u %u %u", &x, &y, &z, &cr, &cg, &cb), 6)
            << line;
        const float *q = &pts[static_cast<size_t>(k) * 3];
        bad_point += std::fabs(x - q[0]) > 1e-5f || std::fabs(y - q[1]) > 1e-5f ||
                     std::fabs(z - q[2]) > 1e-5f;
        const uint8_t *c = &want[static_cast<size_t>(i) * 3];
        bad_colour += cr != c[0] || cg != c[1] || cb != c[2];
        ++k;
    }
    EXPECT_EQ(bad_point, 0);
    EXPECT_EQ(bad_colour, 0);
    EXPECT_FALSE(std::getline(body, line)) << "a point too many: " << line;
}

// The demo takes every frame of the sample through the pipeline: its summary
// gives the library's figures over the four frames, and its files are the
// last frame's.
TEST(Cli, DemoWritesUnderOut)
{
    const std::vector<decoded_frame> lib = library_decode(sample());
    ASSERT_EQ(lib.size(), 4u);
    long valid_sum = 0, last_valid = 0;
    float lo = 1e9f, hi = 0;
    for (const decoded_frame &f : lib) {
        last_valid = 0;
        for (float d : f.dist)
            if (valid_distance(d)) {
                ++last_valid;
                lo = std::min(lo, d);
                hi = std::max(hi, d);
            }
        valid_sum += last_valid;
    }

    scratch s;
    const result r = run({"demo", sample(), "-o", s / "out"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("frames      4 of 320x240"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("lost"), std::string::npos) << r.out;
    char want[96];
    std::snprintf(want, sizeof want, "valid       %.1f %% of pixels per frame",
                  100.0 * static_cast<double>(valid_sum) / 4 / (320 * 240));
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    std::snprintf(want, sizeof want, "depth       %.3f .. %.3f m", lo, hi);
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    EXPECT_NEAR(lo, 0.9, 0.05);
    EXPECT_NEAR(hi, 2.4, 0.05);
    EXPECT_NE(r.out.find("(" + std::to_string(last_valid) + " points)"), std::string::npos)
        << r.out;

    png_read_back img;
    ASSERT_TRUE(read_png(s / "out/depth.png", img));
    EXPECT_EQ(img.w * img.h * img.channels, 320 * 240 * 3);
    ASSERT_TRUE(read_png(s / "out/gray.png", img));
    EXPECT_EQ(img.w * img.h * img.channels, 320 * 240);
    const std::string ply = slurp(s / "out/cloud.ply");
    const ply_info p = parse_ply(ply);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.color);
    EXPECT_EQ(p.vertices, last_valid);
    EXPECT_EQ(ply.size() - p.body, static_cast<size_t>(p.vertices) * 15);
}

// Distance files and OpenNI recordings of a replay hold the library's
// distances of every frame: as floats, and as whole millimetres (0 where
// there is none) beside the gray values.
TEST(Cli, RecordDistanceAndOni)
{
    const std::vector<decoded_frame> lib = library_decode(sample());
    ASSERT_EQ(lib.size(), 4u);
    scratch s;
    const result d = run({"record", s / "d.dist", "--replay", sample()});
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_NE(d.out.find("4 frames written (dist)"), std::string::npos) << d.out;
    const int fd = ::open((s / "d.dist").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<float> dist(320 * 240);
    int w = 0, h = 0;
    size_t frames = 0;
    while (pylox_frame_load_distance(fd, dist.data(), static_cast<int>(dist.size()), &w, &h) ==
           320 * 240) {
        ASSERT_LT(frames, lib.size());
        EXPECT_TRUE(dist == lib[frames].dist) << "frame " << frames;
        ++frames;
    }
    ::close(fd);
    EXPECT_EQ(frames, 4u);
    EXPECT_NEAR(dist[at(k_box1.x, k_box1.y)], k_box1.metres, 0.05);

    const result o = run({"record", s / "r.oni", "--replay", sample()});
    ASSERT_EQ(o.rc, 0) << o.err;
    const oni_file oni = read_oni(s / "r.oni");
    ASSERT_EQ(oni.error, "");
    EXPECT_EQ(oni.header.substr(0, 4), "NI10");
    EXPECT_EQ(check_links(oni), std::vector<std::string>{});
    const auto depth = oni.of_type(10, 1), ir = oni.of_type(10, 2);
    ASSERT_EQ(depth.size(), 4u);
    ASSERT_EQ(ir.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(depth[i]->payload.size(), 320u * 240u * 2u);
        ASSERT_EQ(ir[i]->payload.size(), 320u * 240u * 2u);
        std::vector<uint16_t> mm(320 * 240), g(320 * 240);
        std::memcpy(mm.data(), depth[i]->payload.data(), depth[i]->payload.size());
        std::memcpy(g.data(), ir[i]->payload.data(), ir[i]->payload.size());
        long wrong = 0;
        for (size_t j = 0; j < mm.size(); ++j) {
            const float m = lib[i].dist[j] * 1000.0f;
            const long want_mm = m > 0 && m < 10000.0f ? std::lround(m) : 0;
            const double gv = std::clamp<double>(lib[i].gray[j], 0, 65535);
            wrong += std::labs(mm[j] - want_mm) > 1 || std::fabs(g[j] - gv) > 1.0;
        }
        EXPECT_EQ(wrong, 0) << "frame " << i;
    }
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
