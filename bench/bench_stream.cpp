// Stream parser throughput against a plain memcpy of the same bytes in the
// same chunks. A camera frame is 614400 bytes (320 x 240 x 4 samples x 2
// bytes); the transport hands over 153600-byte chunks.
//
// Each case runs in a process of its own, started afresh (fork and exec of
// this program), so the parser meets the allocator as an application's first
// capture does: the camera stream reaches the case through a memory file that
// it maps, and nothing the program allocated before can lend the parser its
// heap. Every case reports its minor page faults per frame (getrusage); the
// parent prints each rate as a share of memcpy's.
#include "support/stream_writer.h"

#include <pylox/tq_stream.h>

#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr size_t k_frame = 614400;
constexpr size_t k_chunk = 153600;
constexpr int k_frames = 16;
constexpr const char *k_child_flag = "--stream_case_fds=";

// The two camera streams (without and with the data checksum), mapped from
// the memory files the parent wrote.
struct mapped_stream {
    const uint8_t *data = nullptr;
    size_t size = 0;
};
mapped_stream g_stream[2];

long minor_faults()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_minflt;
}

void BM_parser(benchmark::State &state)
{
    const mapped_stream &b = g_stream[state.range(0) != 0];
    const tq_stream_cfg_t cfg{10};
    const long faults0 = minor_faults();
    tq_stream_t *s = tq_stream_create(&cfg);
    int64_t frames = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < b.size; off += k_chunk) {
            const size_t n = std::min(k_chunk, b.size - off);
            if (tq_stream_feed_input(s, b.data + off, static_cast<int>(n)))
                frames += tq_stream_fetch_frames(s, nullptr, 0, 10, nullptr, 0);
        }
    }
    tq_stream_state_t st{};
    tq_stream_get_state(s, &st);
    tq_stream_destroy(s);
    const long faults = minor_faults() - faults0;
    if (frames != static_cast<int64_t>(state.iterations()) * k_frames || st.frames_discarded)
        state.SkipWithError("frames lost");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(b.size));
    state.counters["minflt_per_frame"] =
        frames ? static_cast<double>(faults) / static_cast<double>(frames) : 0.0;
}
BENCHMARK(BM_parser)->ArgName("checksum")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The baseline: the same bytes, the same chunks, copied into a frame buffer.
void BM_memcpy(benchmark::State &state)
{
    const mapped_stream &b = g_stream[1];
    const long faults0 = minor_faults();
    std::vector<uint8_t> frame(k_frame);
    for (auto _ : state) {
        size_t at = 0;
        for (size_t off = 0; off < b.size; off += k_chunk) {
            const size_t n = std::min(k_chunk, b.size - off);
            if (at + n > frame.size())
                at = 0;
            std::memcpy(frame.data() + at, b.data + off, n);
            at += n;
            benchmark::ClobberMemory();
        }
    }
    const long faults = minor_faults() - faults0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(b.size));
    state.counters["minflt_per_frame"] =
        static_cast<double>(faults) / static_cast<double>(state.iterations() * k_frames);
}
BENCHMARK(BM_memcpy)->Unit(benchmark::kMicrosecond);

const char *const k_cases[] = {"BM_memcpy", "BM_parser/checksum:0", "BM_parser/checksum:1"};

// --- the case process ------------------------------------------------------------

// Console output, and the rate and page faults of the case (the mean with
// repetitions) as one line "name bytes_per_second faults_per_frame" on the
// parent's pipe. Only the first case prints the machine description.
class case_reporter : public benchmark::ConsoleReporter {
public:
    case_reporter(int result_fd, bool first) : fd_(result_fd), first_(first) {}
    bool ReportContext(const Context &context) override
    {
        if (first_)
            return ConsoleReporter::ReportContext(context);
        name_field_width_ = context.name_field_width;
        printed_header_ = false;
        return true;
    }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const auto rate = r.counters.find("bytes_per_second");
            const auto faults = r.counters.find("minflt_per_frame");
            if (rate == r.counters.end() || faults == r.counters.end() || r.error_occurred)
                continue;
            if (r.run_type == Run::RT_Iteration ||
                (r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean"))
                line_ = r.run_name.str() + " " + std::to_string(rate->second.value) + " " +
                        std::to_string(faults->second.value) + "\n";
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::fflush(stdout);
        if (!line_.empty() && ::write(fd_, line_.data(), line_.size()) < 0)
            std::perror("bench_stream: result pipe");
    }

private:
    int fd_;
    bool first_;
    std::string line_;
};

bool map_stream(int fd, mapped_stream &out)
{
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return false;
    void *p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED)
        return false;
    out.data = static_cast<const uint8_t *>(p);
    out.size = static_cast<size_t>(size);
    // Touch every page now, so that the cases count only their own faults.
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < out.size; i += 4096)
        sink = sink + out.data[i];
    return true;
}

int run_case(int argc, char **argv, const char *fds)
{
    int stream_fd[2], result_fd, first;
    if (std::sscanf(fds, "%d,%d,%d,%d", &stream_fd[0], &stream_fd[1], &result_fd, &first) != 4 ||
        !map_stream(stream_fd[0], g_stream[0]) || !map_stream(stream_fd[1], g_stream[1])) {
        std::fprintf(stderr, "bench_stream: bad case arguments %s\n", fds);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    case_reporter reporter(result_fd, first != 0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// --- the parent ------------------------------------------------------------------

// Writes one camera stream (one packet per frame) into a memory file.
int stream_file(bool checksum)
{
    pylox_test::stream_writer::options o;
    o.max_payload = k_frame;
    o.checksum = checksum;
    pylox_test::stream_writer w(o);
    for (int i = 0; i < k_frames; ++i)
        w.frame(pylox_test::pattern_bytes(k_frame, static_cast<uint32_t>(i)));
    const pylox_test::bytes_t b = w.bytes();
    const int fd = ::memfd_create(checksum ? "stream_checksum" : "stream_plain", 0);
    if (fd < 0)
        return -1;
    for (size_t off = 0; off < b.size();) {
        const ssize_t n = ::write(fd, b.data() + off, b.size() - off);
        if (n <= 0)
            return -1;
        off += static_cast<size_t>(n);
    }
    return fd;
}

// Runs one case in a new process; returns its result line.
std::string spawn_case(const std::vector<std::string> &args, const char *name, int fd0, int fd1,
                       bool first)
{
    int pipe_fd[2];
    if (::pipe(pipe_fd) != 0)
        return {};
    std::vector<std::string> a = args;
    a.push_back(std::string("--benchmark_filter=^") + name + "$");
    a.push_back(k_child_flag + std::to_string(fd0) + "," + std::to_string(fd1) + "," +
                std::to_string(pipe_fd[1]) + "," + (first ? "1" : "0"));
    std::vector<char *> argv;
    for (std::string &s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fd[0]);
        ::execv("/proc/self/exe", argv.data());
        std::perror("bench_stream: exec");
        ::_exit(127);
    }
    ::close(pipe_fd[1]);
    std::string line;
    char buf[256];
    for (ssize_t n; (n = ::read(pipe_fd[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(pipe_fd[0]);
    int status = 0;
    if (pid > 0)
        ::waitpid(pid, &status, 0);
    return line;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], k_child_flag, std::strlen(k_child_flag)) == 0) {
            const char *fds = argv[i] + std::strlen(k_child_flag);
            for (int j = i; j + 1 < argc; ++j)
                argv[j] = argv[j + 1];
            return run_case(argc - 1, argv, fds);
        }

    // The parent: the user's flags go to every case; a filter of the user's
    // picks the cases.
    std::vector<std::string> args{argv[0]};
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--benchmark_filter=", 0) == 0)
            filter = a.substr(std::strlen("--benchmark_filter="));
        else
            args.push_back(a);
    }
    const int fd0 = stream_file(false);
    const int fd1 = stream_file(true);
    if (fd0 < 0 || fd1 < 0) {
        std::perror("bench_stream: memory file");
        return 1;
    }
    std::map<std::string, std::pair<double, double>> results; // rate, faults per frame
    bool first = true;
    for (const char *name : k_cases) {
        if (!filter.empty() && !std::regex_search(name, std::regex(filter)))
            continue;
        const std::string line = spawn_case(args, name, fd0, fd1, first);
        first = false;
        char got[64];
        double rate = 0, faults = 0;
        if (std::sscanf(line.c_str(), "%63s %lf %lf", got, &rate, &faults) == 3)
            results[got] = {rate, faults};
        else
            std::printf("%s: no result\n", name);
    }
    const auto base = results.find("BM_memcpy");
    for (const auto &[name, r] : results) {
        if (base != results.end() && base->second.first > 0 && name != base->first)
            std::printf("%s: %.2f GB/s, %.2f of memcpy, %.3f minor page faults per frame\n",
                        name.c_str(), r.first / 1e9, r.first / base->second.first, r.second);
        else
            std::printf("%s: %.2f GB/s, %.3f minor page faults per frame\n", name.c_str(),
                        r.first / 1e9, r.second);
    }
    return 0;
}
