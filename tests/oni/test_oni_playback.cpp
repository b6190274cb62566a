// Recordings of the OpenNI writer played by OpenNI2's own file player: the
// player must offer the streams with their video modes and frame counts and
// deliver every frame with its pixels, index and timestamp, then start over.
//
// Seeking is checked twice. On the file: the seek-table entry of frames N/2,
// 1 and N leads to the record of that frame, whose contents are those the
// player delivered as that frame. Through PlaybackControl::seek, in a child
// process: Debian's OpenNI2 2.2.0.33 crashes inside that call for every file,
// its own recordings included (a known fault of its core: the seek record it
// hands to the file driver lives on a stack frame already left), so a child
// that dies of that signal turns the check into a skip; a player without the
// fault must land on the frames.
#include "support/frame_files.h"
#include "support/oni_reader.h"

#include <pylox/pylox.h>

#include <OpenNI.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char **environ;

using namespace pylox_test;

namespace {

constexpr int k_w = 320, k_h = 240, k_frames = 20;

uint64_t depth_ts(int f)
{
    return 5000000u + uint64_t(f) * 33333u + uint64_t(f % 4) * 11u;
}

uint64_t ir_ts(int f)
{
    return depth_ts(f) + 500u;
}

std::vector<uint16_t> depth_frame(int f)
{
    std::vector<uint16_t> px(k_w * k_h);
    for (int i = 0; i < k_w * k_h; ++i)
        px[i] = uint16_t((uint32_t(f) * 1009u + uint32_t(i) * 13u) % 10000u);
    return px;
}

std::vector<uint16_t> ir_frame(int f)
{
    std::vector<uint16_t> px(k_w * k_h);
    for (int i = 0; i < k_w * k_h; ++i)
        px[i] = uint16_t((uint32_t(i) * 7u) ^ (uint32_t(f) * 0x9E37u));
    return px;
}

// How a run of this program in a child process ended.
struct child_end {
    bool hung = false;
    int signal = 0; // the signal that ended it, 0 if it exited
    int code = -1;  // its exit status
    std::string output;
};

// Runs the test cases matching filter in a child process of this program with
// more environment variables; output goes to out_path. A child still
// running after timeout_ms is killed and reported as hung.
child_end run_child(const std::string &filter, const std::vector<std::string> &env_vars,
                    const std::string &out_path, int timeout_ms)
{
    child_end end;
    // A sanitized child must die of a crash the way a plain one does, not
    // report it and exit.
    std::string asan = "ASAN_OPTIONS=";
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
            asan += std::string(*e + 13) + ":";
        else
            env.emplace_back(*e);
    }
    env.push_back(asan + "handle_segv=0:handle_sigbus=0:detect_leaks=0");
    env.insert(env.end(), env_vars.begin(), env_vars.end());
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string arg = "--gtest_filter=" + filter;
    char *argv[] = {exe.data(), arg.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << exe << ": " << std::strerror(rc);
        return end;
    }
    const int pfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) == 0) {
            ::kill(pid, SIGKILL);
            end.hung = true;
        }
        ::close(pfd);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    end.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    end.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    end.output = read_all(out_path);
    return end;
}

// What the player delivered for one frame.
struct played {
    int index;
    uint64_t ts;
    std::vector<uint16_t> px;
};

class OniPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(openni::OpenNI::initialize(), openni::STATUS_OK)
            << openni::OpenNI::getExtendedError();
    }
    static void TearDownTestSuite() { openni::OpenNI::shutdown(); }

    // Records k_frames frames of a depth stream, and of an IR stream too when
    // with_ir, frames of the two interleaved.
    void record(bool with_ir) { record_to(path_, with_ir); }
    static void record_to(const std::string &path, bool with_ir)
    {
        oni_recorder_t rec{};
        ASSERT_EQ(oni_open(&rec, path.c_str()), 1);
        const oni_stream_info_t depth = {
            TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 10000, k_w, k_h, 2, 30};
        const oni_stream_info_t ir = {TQ_ONI_NODE_IR, TQ_ONI_PIXEL_GRAY16, 0, k_w, k_h, 2, 30};
        oni_stream_t *d = oni_stream_open(&rec, &depth);
        oni_stream_t *r = with_ir ? oni_stream_open(&rec, &ir) : nullptr;
        ASSERT_NE(d, nullptr);
        for (int f = 1; f <= k_frames; ++f) {
            const auto dp = depth_frame(f);
            oni_stream_save_frame(d, dp.data(), uint32_t(dp.size() * 2), depth_ts(f));
            if (r) {
                const auto ip = ir_frame(f);
                oni_stream_save_frame(r, ip.data(), uint32_t(ip.size() * 2), ir_ts(f));
            }
        }
        oni_close(&rec);
    }

    // Steps the player frame by frame until each stream delivered `want`
    // frames; what each stream delivered, in order.
    std::vector<std::vector<played>> play(std::vector<openni::VideoStream *> streams, int want)
    {
        std::vector<std::vector<played>> got(streams.size());
        auto done = [&] {
            for (const auto &g : got)
                if (int(g.size()) < want)
                    return false;
            return true;
        };
        // Each step delivers one frame; the bound only ends a player gone wrong.
        for (int step = 0; step < 4 * want * int(streams.size()) && !done(); ++step) {
            int idx = -1;
            const openni::Status st =
                openni::OpenNI::waitForAnyStream(streams.data(), int(streams.size()), &idx, 5000);
            if (st != openni::STATUS_OK) {
                ADD_FAILURE() << "no frame within 5 s after " << step << " frames";
                break;
            }
            openni::VideoFrameRef fr;
            if (streams[idx]->readFrame(&fr) != openni::STATUS_OK) {
                ADD_FAILURE() << "readFrame failed";
                break;
            }
            EXPECT_EQ(fr.getWidth(), k_w);
            EXPECT_EQ(fr.getHeight(), k_h);
            EXPECT_EQ(fr.getStrideInBytes(), k_w * 2);
            EXPECT_EQ(fr.getDataSize(), k_w * k_h * 2);
            const auto *p = static_cast<const uint16_t *>(fr.getData());
            got[idx].push_back({fr.getFrameIndex(), fr.getTimestamp(),
                                std::vector<uint16_t>(p, p + fr.getDataSize() / 2)});
        }
        EXPECT_TRUE(done());
        return got;
    }

    // Frames 1..k_frames in order with their timestamps and pixels, then the
    // player starts again at frame 1.
    void expect_all_frames_then_loop(const std::vector<played> &got, uint64_t (*ts)(int),
                                     std::vector<uint16_t> (*pixels)(int), const char *what)
    {
        SCOPED_TRACE(what);
        ASSERT_GE(got.size(), size_t(k_frames + 2));
        for (int f = 1; f <= k_frames + 2; ++f) {
            const int want = (f - 1) % k_frames + 1;
            const played &p = got[size_t(f - 1)];
            EXPECT_EQ(p.index, want) << "delivery " << f;
            EXPECT_EQ(p.ts, ts(want)) << "frame " << want;
            EXPECT_TRUE(p.px == pixels(want)) << "pixels of frame " << want;
        }
    }

    // Where the player's seek to frame k of a node goes: the seek-table entry
    // leads to the record holding what the player delivered as frame k.
    void expect_seek_targets(const oni_file &f, uint32_t node, const std::vector<played> &got)
    {
        const oni_node_added n = decode_node_added(*f.of_type(13, node)[0]);
        const oni_record *table = f.at(n.seek_pos);
        ASSERT_NE(table, nullptr);
        const auto rows = decode_seek_table(*table);
        ASSERT_EQ(rows.size(), size_t(k_frames + 1));
        for (int k : {k_frames / 2, 1, k_frames}) {
            SCOPED_TRACE("node " + std::to_string(node) + " frame " + std::to_string(k));
            const oni_record *r = f.at(rows[size_t(k)].pos);
            ASSERT_NE(r, nullptr) << "seek entry points between records";
            ASSERT_EQ(r->type, 10u);
            EXPECT_EQ(r->node_id, node);
            EXPECT_EQ(decode_new_data(*r).frame, uint32_t(k));
            const played &p = got[size_t(k - 1)];
            EXPECT_EQ(decode_new_data(*r).timestamp, p.ts);
            EXPECT_EQ(r->payload,
                      std::string(reinterpret_cast<const char *>(p.px.data()), p.px.size() * 2));
        }
    }

    scratch_dir dir_;
    std::string path_ = dir_.file("play.oni");
};

TEST_F(OniPlayback, DepthPlaysEveryFrameAndStartsOver)
{
    record(false);
    openni::Device dev;
    ASSERT_EQ(dev.open(path_.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    EXPECT_TRUE(dev.isFile());
    EXPECT_FALSE(dev.hasSensor(openni::SENSOR_IR));
    openni::VideoStream depth;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    const openni::VideoMode vm = depth.getVideoMode();
    EXPECT_EQ(vm.getResolutionX(), k_w);
    EXPECT_EQ(vm.getResolutionY(), k_h);
    EXPECT_EQ(vm.getFps(), 30);
    EXPECT_EQ(vm.getPixelFormat(), openni::PIXEL_FORMAT_DEPTH_1_MM);
    EXPECT_EQ(depth.getMaxPixelValue(), 10000);
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->getNumberOfFrames(depth), k_frames);
    EXPECT_TRUE(pc->getRepeatEnabled());
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    ASSERT_EQ(depth.start(), openni::STATUS_OK);

    const auto got = play({&depth}, k_frames + 2);
    expect_all_frames_then_loop(got[0], depth_ts, depth_frame, "depth");
    depth.stop();
    depth.destroy();
    dev.close();

    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    expect_seek_targets(f, 1, got[0]);
}

TEST_F(OniPlayback, DepthAndIrPlayTogether)
{
    record(true);
    openni::Device dev;
    ASSERT_EQ(dev.open(path_.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    openni::VideoStream depth, ir;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    ASSERT_EQ(ir.create(dev, openni::SENSOR_IR), openni::STATUS_OK)
        << openni::OpenNI::getExtendedError();
    EXPECT_EQ(ir.getVideoMode().getPixelFormat(), openni::PIXEL_FORMAT_GRAY16);
    EXPECT_EQ(ir.getVideoMode().getResolutionX(), k_w);
    EXPECT_EQ(ir.getVideoMode().getResolutionY(), k_h);
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->getNumberOfFrames(depth), k_frames);
    EXPECT_EQ(pc->getNumberOfFrames(ir), k_frames);
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    ASSERT_EQ(depth.start(), openni::STATUS_OK);
    ASSERT_EQ(ir.start(), openni::STATUS_OK);

    const auto got = play({&depth, &ir}, k_frames + 2);
    expect_all_frames_then_loop(got[0], depth_ts, depth_frame, "depth");
    expect_all_frames_then_loop(got[1], ir_ts, ir_frame, "IR");
    ir.stop();
    depth.stop();
    ir.destroy();
    depth.destroy();
    dev.close();

    // With two streams the player seeks the other stream through its seek
    // entry 0 as well: it must lead to that stream's first frame.
    const oni_file f = read_oni(path_);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(check_links(f), std::vector<std::string>{});
    for (uint32_t node : {1u, 2u}) {
        expect_seek_targets(f, node, got[node - 1]);
        const auto rows =
            decode_seek_table(*f.at(decode_node_added(*f.of_type(13, node)[0]).seek_pos));
        EXPECT_EQ(rows[0].pos, f.of_type(10, node)[0]->pos) << "node " << node;
    }
}

// OpenNI2's own recording of the frames of src (its Recorder attached to the
// streams the player offers), written to dst.
void record_with_openni(const std::string &src, const std::string &dst)
{
    openni::Device dev;
    ASSERT_EQ(dev.open(src.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    std::vector<openni::VideoStream *> streams;
    openni::VideoStream depth, ir;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK);
    streams.push_back(&depth);
    if (dev.hasSensor(openni::SENSOR_IR)) {
        ASSERT_EQ(ir.create(dev, openni::SENSOR_IR), openni::STATUS_OK);
        streams.push_back(&ir);
    }
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    ASSERT_EQ(pc->setRepeatEnabled(false), openni::STATUS_OK);
    openni::Recorder rec;
    ASSERT_EQ(rec.create(dst.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    for (auto *s : streams) {
        ASSERT_EQ(rec.attach(*s), openni::STATUS_OK);
        ASSERT_EQ(s->start(), openni::STATUS_OK);
    }
    ASSERT_EQ(rec.start(), openni::STATUS_OK);
    for (int n = 0; n < k_frames * int(streams.size()); ++n) {
        int idx = -1;
        ASSERT_EQ(openni::OpenNI::waitForAnyStream(streams.data(), int(streams.size()), &idx, 5000),
                  openni::STATUS_OK);
        openni::VideoFrameRef fr;
        ASSERT_EQ(streams[idx]->readFrame(&fr), openni::STATUS_OK);
    }
    rec.stop();
    rec.destroy();
    for (auto *s : streams) {
        s->stop();
        s->destroy();
    }
    dev.close();
}

// Seeks the depth stream of the file through PlaybackControl::seek in a child
// process (OniSeekChild below).
child_end seek_in_child(const std::string &file, bool index_only, const std::string &out)
{
    std::vector<std::string> env = {"PYLOX_ONI_SEEK_FILE=" + file};
    if (index_only)
        env.push_back("PYLOX_ONI_SEEK_INDEX_ONLY=1");
    return run_child("OniSeekChild.SeeksTheGivenFile", env, out, 10000);
}

// How a child's seek run broke down ("" when it came back).
std::string breakdown(const child_end &e)
{
    if (e.hung)
        return "no return within 10 s";
    if (e.signal)
        return "died of signal " + std::to_string(e.signal);
    return "";
}

TEST_F(OniPlayback, PublicSeekLandsOnHalfFirstAndLastFrame)
{
    const std::string ours[2] = {dir_.file("depth.oni"), dir_.file("depth_ir.oni")};
    record_to(ours[0], false);
    record_to(ours[1], true);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(ours[i]);
        const child_end end = seek_in_child(ours[i], false, dir_.file("child.txt"));
        const std::string how = breakdown(end);
        if (!how.empty()) {
            // The player broke down: a fault of ours only if it seeks in
            // OpenNI2's own recording of the same frames.
            const std::string theirs = dir_.file("openni.oni");
            record_with_openni(ours[i], theirs);
            const child_end ref = seek_in_child(theirs, true, dir_.file("child_ref.txt"));
            const std::string ref_how = breakdown(ref);
            ASSERT_NE(ref_how, "")
                << "OpenNI2 seeks in its own recording, but in ours: " << how << "\n"
                << end.output << "\n--- its own recording:\n"
                << ref.output;
            GTEST_SKIP() << "this OpenNI2's PlaybackControl::seek breaks down on its own "
                            "recordings as well (ours: "
                         << how << "; its own: " << ref_how
                         << "), a fault of its core: seeking was checked on the file only";
        }
        EXPECT_EQ(end.code, 0) << end.output;
        EXPECT_NE(end.output.find("[       OK ] OniSeekChild.SeeksTheGivenFile"), std::string::npos)
            << end.output;
    }
}

// Runs only as the child of OniPlayback.PublicSeekLandsOnHalfFirstAndLastFrame:
// seeks the depth stream of the file PYLOX_ONI_SEEK_FILE names to frames
// N/2, 1 and N. With PYLOX_ONI_SEEK_INDEX_ONLY set the file is OpenNI2's own
// recording, and only the frame index is compared.
TEST(OniSeekChild, SeeksTheGivenFile)
{
    const char *path = std::getenv("PYLOX_ONI_SEEK_FILE");
    if (!path)
        GTEST_SKIP() << "runs as a child of OniPlayback.PublicSeekLandsOnHalfFirstAndLastFrame";
    const bool index_only = std::getenv("PYLOX_ONI_SEEK_INDEX_ONLY") != nullptr;
    ASSERT_EQ(openni::OpenNI::initialize(), openni::STATUS_OK);
    openni::Device dev;
    ASSERT_EQ(dev.open(path), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    std::vector<openni::VideoStream *> streams;
    openni::VideoStream depth, ir;
    ASSERT_EQ(depth.create(dev, openni::SENSOR_DEPTH), openni::STATUS_OK);
    streams.push_back(&depth);
    if (dev.hasSensor(openni::SENSOR_IR)) {
        ASSERT_EQ(ir.create(dev, openni::SENSOR_IR), openni::STATUS_OK);
        streams.push_back(&ir);
    }
    openni::PlaybackControl *pc = dev.getPlaybackControl();
    ASSERT_EQ(pc->setSpeed(-1), openni::STATUS_OK);
    for (auto *s : streams)
        ASSERT_EQ(s->start(), openni::STATUS_OK);
    // The next depth frame, reading the IR frames that come before it.
    auto next_depth = [&](played &out) {
        for (int step = 0; step < 8; ++step) {
            int idx = -1;
            if (openni::OpenNI::waitForAnyStream(streams.data(), int(streams.size()), &idx, 5000) !=
                openni::STATUS_OK)
                return false;
            openni::VideoFrameRef fr;
            if (streams[idx]->readFrame(&fr) != openni::STATUS_OK)
                return false;
            if (idx == 0) {
                const auto *p = static_cast<const uint16_t *>(fr.getData());
                out = {fr.getFrameIndex(), fr.getTimestamp(),
                       std::vector<uint16_t>(p, p + fr.getDataSize() / 2)};
                return true;
            }
        }
        return false;
    };
    played p;
    ASSERT_TRUE(next_depth(p));
    EXPECT_EQ(p.index, 1);
    for (int k : {k_frames / 2, 1, k_frames}) {
        SCOPED_TRACE("seek to frame " + std::to_string(k));
        ASSERT_EQ(pc->seek(depth, k), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
        ASSERT_TRUE(next_depth(p));
        EXPECT_EQ(p.index, k);
        if (!index_only) {
            EXPECT_EQ(p.ts, depth_ts(k));
            EXPECT_TRUE(p.px == depth_frame(k));
        }
    }
    for (auto *s : streams) {
        s->stop();
        s->destroy();
    }
    dev.close();
    openni::OpenNI::shutdown();
}

} // namespace
