// OpenNI recording of 320 x 240 depth frames: oni_stream_save_frame against
// writing the same record bytes (40-byte header, then the frame) with plain
// fwrite calls into a file of the same kind, both measured in the same run.
// Files live in /dev/shm when it exists (the disk's write-back would drown
// the difference) and are started afresh every 512 frames outside the
// timing. Each is repeated; the line at the end divides the median CPU time
// of the writer by that of the plain write.
#include <benchmark/benchmark.h>
#include <pylox/tq_oni.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kW = 320, kH = 240, kBytes = kW * kH * 2;
constexpr int kPerFile = 512;

std::string scratch_file(const char *name)
{
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ec)
                                          ? std::filesystem::path("/dev/shm")
                                          : std::filesystem::temp_directory_path();
    return (dir / ("pylox_bench_oni_" + std::to_string(::getpid()) + "_" + name)).string();
}

std::vector<uint16_t> depth_frame()
{
    std::vector<uint16_t> v(kW * kH);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint16_t>((i * 13u) % 10000u);
    return v;
}

void BM_oni_save_frame(benchmark::State &state)
{
    const std::string path = scratch_file("writer.oni");
    const auto px = depth_frame();
    const oni_stream_info_t info = {
        TQ_ONI_NODE_DEPTH, TQ_ONI_PIXEL_DEPTH_1MM, 10000, kW, kH, 2, 30};
    oni_recorder_t rec{};
    oni_stream_t *s = nullptr;
    int n = kPerFile;
    uint64_t ts = 0;
    for (auto _ : state) {
        if (n == kPerFile) {
            state.PauseTiming();
            if (s)
                oni_close(&rec);
            if (!oni_open(&rec, path.c_str())) {
                state.SkipWithError("cannot create the recording");
                break;
            }
            s = oni_stream_open(&rec, &info);
            n = 0;
            state.ResumeTiming();
        }
        oni_stream_save_frame(s, px.data(), kBytes, ts += 33333);
        ++n;
    }
    if (s)
        oni_close(&rec);
    std::remove(path.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_plain_fwrite(benchmark::State &state)
{
    const std::string path = scratch_file("plain.bin");
    const auto px = depth_frame();
    uint8_t hdr[40] = {'N', 'I', 'R', 0};
    FILE *f = nullptr;
    int n = kPerFile;
    for (auto _ : state) {
        if (n == kPerFile) {
            state.PauseTiming();
            if (f)
                std::fclose(f);
            f = std::fopen(path.c_str(), "wb+");
            if (!f) {
                state.SkipWithError("cannot create the file");
                break;
            }
            n = 0;
            state.ResumeTiming();
        }
        std::fwrite(hdr, 1, sizeof hdr, f);
        std::fwrite(px.data(), 1, kBytes, f);
        ++n;
    }
    if (f)
        std::fclose(f);
    std::remove(path.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median" || r.error_occurred)
                continue;
            const std::string name = r.benchmark_name();
            if (name.rfind("BM_oni_save_frame", 0) == 0)
                oni_ = r.GetAdjustedCPUTime();
            else if (name.rfind("BM_plain_fwrite", 0) == 0)
                plain_ = r.GetAdjustedCPUTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        if (oni_ > 0 && plain_ > 0)
            std::printf("\nframe of %u bytes, median CPU us: writer %.1f, plain fwrite %.1f, "
                        "ratio %.2fx\n",
                        kBytes, oni_, plain_, oni_ / plain_);
    }

private:
    double oni_ = 0, plain_ = 0;
};

} // namespace

BENCHMARK(BM_oni_save_frame)->Unit(benchmark::kMicrosecond)->Repetitions(7);
BENCHMARK(BM_plain_fwrite)->Unit(benchmark::kMicrosecond)->Repetitions(7);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
