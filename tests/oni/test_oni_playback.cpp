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
    int index = 0;
    uint64_t ts = 0;
    std::vector<uint16_t> px;
};

// k_frames frames of a depth stream, and of an IR stream when with_ir,
// interleaved.
void record_to(const std::string &path, bool with_ir)
{
    oni_recorder_t rec{};
    ASSERT_EQ(oni_open(&rec, path.c_str()), 1);
    const oni_stream_info_t depth = {
        TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 10000, k_w, k_h, 2, 30};
    const oni_stream_info_t ir = {TQ_ONI_NODE_IR, TQ_ONI_PIXEL_GRAY16, 0, k_w, k_h, 2, 30};
    oni_stream_t *d = oni_stream_open(&rec, &depth);
    oni_stream_t *r = with_ir ? oni_stream_open(&rec, &ir) : nullptr;
    for (int f = 1; f <= k_frames; ++f) {
        oni_stream_save_frame(d, depth_frame(f).data(), k_w * k_h * 2, depth_ts(f));
        if (r)
            oni_stream_save_frame(r, ir_frame(f).data(), k_w * k_h * 2, ir_ts(f));
    }
    oni_close(&rec);
}

// OpenNI2's file player on one recording: its depth stream, and its IR stream
// when the file has one, stepped frame by frame (setSpeed(-1)).
class player {
public:
    explicit player(const std::string &path, bool repeat = true)
    {
        if (dev_.open(path.c_str()) != openni::STATUS_OK ||
            depth_.create(dev_, openni::SENSOR_DEPTH) != openni::STATUS_OK ||
            (dev_.hasSensor(openni::SENSOR_IR) &&
             ir_.create(dev_, openni::SENSOR_IR) != openni::STATUS_OK) ||
            !(pc = dev_.getPlaybackControl()) || pc->setSpeed(-1) != openni::STATUS_OK ||
            pc->setRepeatEnabled(repeat) != openni::STATUS_OK) {
            ADD_FAILURE() << "cannot play " << path << ": " << openni::OpenNI::getExtendedError();
            return;
        }
        streams.push_back(&depth_);
        if (ir_.isValid())
            streams.push_back(&ir_);
    }
    ~player()
    {
        for (auto *s : streams) {
            s->stop();
            s->destroy();
        }
        dev_.close();
    }
    bool start()
    {
        for (auto *s : streams)
            if (s->start() != openni::STATUS_OK)
                return false;
        return !streams.empty();
    }
    // The next frame of any stream; its stream's index, -1 when none came
    // within 5 s.
    int next(played &out)
    {
        int idx = -1;
        openni::VideoFrameRef fr;
        if (openni::OpenNI::waitForAnyStream(streams.data(), int(streams.size()), &idx, 5000) !=
                openni::STATUS_OK ||
            streams[idx]->readFrame(&fr) != openni::STATUS_OK)
            return -1;
        EXPECT_EQ(fr.getWidth(), k_w);
        EXPECT_EQ(fr.getHeight(), k_h);
        EXPECT_EQ(fr.getStrideInBytes(), k_w * 2);
        const auto *p = static_cast<const uint16_t *>(fr.getData());
        out = {fr.getFrameIndex(), fr.getTimestamp(),
               std::vector<uint16_t>(p, p + fr.getDataSize() / 2)};
        return idx;
    }

    openni::PlaybackControl *pc = nullptr;
    std::vector<openni::VideoStream *> streams; // depth first

private:
    openni::Device dev_;
    openni::VideoStream depth_, ir_;
};

class OniPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(openni::OpenNI::initialize(), openni::STATUS_OK)
            << openni::OpenNI::getExtendedError();
    }
    static void TearDownTestSuite() { openni::OpenNI::shutdown(); }

    scratch_dir dir_;
};

// Every frame with its index, timestamp and pixels, then frame 1 again; the
// seek-table entries of frames N/2, 1 and N lead to the records holding what
// the player delivered as those frames.
TEST_F(OniPlayback, PlaysEveryFrameAndStartsOver)
{
    for (bool with_ir : {false, true}) {
        SCOPED_TRACE(with_ir ? "depth and IR" : "depth");
        const std::string path = dir_.file(with_ir ? "depth_ir.oni" : "depth.oni");
        record_to(path, with_ir);
        std::vector<std::vector<played>> got(with_ir ? 2 : 1);
        {
            player p(path);
            ASSERT_EQ(p.streams.size(), got.size());
            const openni::PixelFormat formats[] = {openni::PIXEL_FORMAT_DEPTH_1_MM,
                                                   openni::PIXEL_FORMAT_GRAY16};
            for (size_t k = 0; k < got.size(); ++k) {
                const openni::VideoMode vm = p.streams[k]->getVideoMode();
                EXPECT_EQ(vm.getResolutionX(), k_w);
                EXPECT_EQ(vm.getResolutionY(), k_h);
                EXPECT_EQ(vm.getFps(), 30);
                EXPECT_EQ(vm.getPixelFormat(), formats[k]);
                EXPECT_EQ(p.pc->getNumberOfFrames(*p.streams[k]), k_frames);
            }
            EXPECT_EQ(p.streams[0]->getMaxPixelValue(), 10000);
            ASSERT_TRUE(p.start());
            auto done = [&] {
                for (const auto &g : got)
                    if (g.size() < size_t(k_frames + 2))
                        return false;
                return true;
            };
            for (int step = 0; step < 4 * (k_frames + 2) * int(got.size()) && !done(); ++step) {
                played fr;
                const int idx = p.next(fr);
                ASSERT_GE(idx, 0) << "no frame within 5 s after " << step << " frames";
                got[size_t(idx)].push_back(std::move(fr));
            }
        }
        for (size_t k = 0; k < got.size(); ++k) {
            ASSERT_GE(got[k].size(), size_t(k_frames + 2));
            for (int n = 1; n <= k_frames + 2; ++n) {
                const int want = (n - 1) % k_frames + 1;
                const played &fr = got[k][size_t(n - 1)];
                EXPECT_EQ(fr.index, want) << "stream " << k << " delivery " << n;
                EXPECT_EQ(fr.ts, k ? ir_ts(want) : depth_ts(want)) << "frame " << want;
                EXPECT_TRUE(fr.px == (k ? ir_frame(want) : depth_frame(want))) << "frame " << want;
            }
        }

        const oni_file f = read_oni(path);
        ASSERT_EQ(f.error, "");
        EXPECT_EQ(check_links(f), std::vector<std::string>{});
        for (uint32_t node = 1; node <= got.size(); ++node) {
            const oni_record *table = f.at(decode_node_added(*f.of_type(13, node)[0]).seek_pos);
            ASSERT_NE(table, nullptr);
            const auto rows = decode_seek_table(*table);
            ASSERT_EQ(rows.size(), size_t(k_frames + 1));
            for (int k : {k_frames / 2, 1, k_frames}) {
                const oni_record *r = f.at(rows[size_t(k)].pos);
                ASSERT_TRUE(r && r->type == 10 && r->node_id == node) << "frame " << k;
                const played &fr = got[node - 1][size_t(k - 1)];
                EXPECT_EQ(decode_new_data(*r).frame, uint32_t(k));
                EXPECT_EQ(decode_new_data(*r).timestamp, fr.ts);
                EXPECT_EQ(r->payload, std::string(reinterpret_cast<const char *>(fr.px.data()),
                                                  fr.px.size() * 2));
            }
            // With two streams the player seeks the other one through its
            // entry 0: it must lead to that stream's first frame.
            if (with_ir) {
                EXPECT_EQ(rows[0].pos, f.of_type(10, node)[0]->pos) << "node " << node;
            }
        }
    }
}

// OpenNI2's own recording of the frames of src (its Recorder attached to the
// streams the player offers), written to dst.
void record_with_openni(const std::string &src, const std::string &dst)
{
    player p(src, false);
    openni::Recorder rec;
    ASSERT_EQ(rec.create(dst.c_str()), openni::STATUS_OK) << openni::OpenNI::getExtendedError();
    for (auto *s : p.streams)
        ASSERT_EQ(rec.attach(*s), openni::STATUS_OK);
    ASSERT_TRUE(p.start());
    ASSERT_EQ(rec.start(), openni::STATUS_OK);
    played fr;
    for (size_t n = 0; n < k_frames * p.streams.size(); ++n)
        ASSERT_GE(p.next(fr), 0);
    rec.stop();
    rec.destroy();
}

// Seeks the depth stream of the file through PlaybackControl::seek in a child
// process (OniSeekChild below).
// With record_from given, the child first has OpenNI2 record that file into
// `file` (OpenNI2's file player has been seen to crash in its own thread while
// doing so: the child keeps such a crash away from this process).
child_end seek_in_child(const std::string &file, bool index_only, const std::string &out,
                        const std::string &record_from = "")
{
    std::vector<std::string> env = {"PYLOX_ONI_SEEK_FILE=" + file};
    if (index_only)
        env.push_back("PYLOX_ONI_SEEK_INDEX_ONLY=1");
    if (!record_from.empty())
        env.push_back("PYLOX_ONI_SEEK_RECORD_FROM=" + record_from);
    return run_child("OniSeekChild.SeeksTheGivenFile", env, out, 10000);
}

// How a child's seek run broke down ("" when it came back).
std::string breakdown(const child_end &e)
{
    if (e.hung)
        return "no return within 10 s";
    return e.signal ? "died of signal " + std::to_string(e.signal) : "";
}

TEST_F(OniPlayback, PublicSeekLandsOnHalfFirstAndLastFrame)
{
    for (bool with_ir : {false, true}) {
        const std::string ours = dir_.file(with_ir ? "depth_ir.oni" : "depth.oni");
        SCOPED_TRACE(ours);
        record_to(ours, with_ir);
        const child_end end = seek_in_child(ours, false, dir_.file("child.txt"));
        const std::string how = breakdown(end);
        if (!how.empty()) {
            // The player broke down: a fault of ours only if it seeks in
            // OpenNI2's own recording of the same frames.
            const std::string theirs = dir_.file("openni.oni");
            const child_end ref = seek_in_child(theirs, true, dir_.file("child_ref.txt"), ours);
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
// seeks the depth stream of the file PYLOX_ONI_SEEK_FILE names to frames N/2,
// 1 and N. With PYLOX_ONI_SEEK_INDEX_ONLY set the file is OpenNI2's own
// recording, and only the frame index is compared.
TEST(OniSeekChild, SeeksTheGivenFile)
{
    const char *path = std::getenv("PYLOX_ONI_SEEK_FILE");
    if (!path)
        GTEST_SKIP() << "runs as a child of OniPlayback.PublicSeekLandsOnHalfFirstAndLastFrame";
    const bool index_only = std::getenv("PYLOX_ONI_SEEK_INDEX_ONLY") != nullptr;
    ASSERT_EQ(openni::OpenNI::initialize(), openni::STATUS_OK);
    if (const char *from = std::getenv("PYLOX_ONI_SEEK_RECORD_FROM"))
        record_with_openni(from, path);
    {
        player p(path);
        ASSERT_TRUE(p.start());
        played fr;
        auto next_depth = [&] {
            for (int step = 0; step < 8; ++step) {
                const int idx = p.next(fr);
                if (idx <= 0)
                    return idx == 0;
            }
            return false;
        };
        ASSERT_TRUE(next_depth());
        EXPECT_EQ(fr.index, 1);
        for (int k : {k_frames / 2, 1, k_frames}) {
            SCOPED_TRACE("seek to frame " + std::to_string(k));
            ASSERT_EQ(p.pc->seek(*p.streams[0], k), openni::STATUS_OK);
            ASSERT_TRUE(next_depth());
            EXPECT_EQ(fr.index, k);
            if (!index_only) {
                EXPECT_EQ(fr.ts, depth_ts(k));
                EXPECT_TRUE(fr.px == depth_frame(k));
            }
        }
    }
    openni::OpenNI::shutdown();
}

} // namespace
