// Stream parser throughput against a plain memcpy of the same bytes in the
// same chunks. A camera frame is 614400 bytes (320 x 240 x 4 samples x 2
// bytes); the transport hands over 153600-byte chunks.
#include "support/stream_writer.h"

#include <pylox/tq_stream.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t k_frame = 614400;
constexpr size_t k_chunk = 153600;
constexpr int k_frames = 16;

const pylox_test::bytes_t &camera_stream(bool checksum)
{
    static std::map<bool, pylox_test::bytes_t> streams;
    auto it = streams.find(checksum);
    if (it == streams.end()) {
        pylox_test::stream_writer::options o;
        o.max_payload = k_frame; // one packet per frame
        o.checksum = checksum;
        pylox_test::stream_writer w(o);
        for (int i = 0; i < k_frames; ++i)
            w.frame(pylox_test::pattern_bytes(k_frame, static_cast<uint32_t>(i)));
        it = streams.emplace(checksum, w.bytes()).first;
    }
    return it->second;
}

void BM_parser(benchmark::State &state)
{
    const pylox_test::bytes_t &b = camera_stream(state.range(0) != 0);
    const tq_stream_cfg_t cfg{10};
    tq_stream_t *s = tq_stream_create(&cfg);
    int64_t frames = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < b.size(); off += k_chunk) {
            const size_t n = std::min(k_chunk, b.size() - off);
            if (tq_stream_feed_input(s, b.data() + off, static_cast<int>(n)))
                frames += tq_stream_fetch_frames(s, nullptr, 0, 10, nullptr, 0);
        }
    }
    tq_stream_state_t st{};
    tq_stream_get_state(s, &st);
    if (frames != static_cast<int64_t>(state.iterations()) * k_frames || st.frames_discarded)
        state.SkipWithError("frames lost");
    tq_stream_destroy(s);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(b.size()));
}
BENCHMARK(BM_parser)->ArgName("checksum")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The baseline: the same bytes, the same chunks, copied into a frame buffer.
void BM_memcpy(benchmark::State &state)
{
    const pylox_test::bytes_t &b = camera_stream(true);
    std::vector<uint8_t> frame(k_frame);
    for (auto _ : state) {
        size_t at = 0;
        for (size_t off = 0; off < b.size(); off += k_chunk) {
            const size_t n = std::min(k_chunk, b.size() - off);
            if (at + n > frame.size())
                at = 0;
            std::memcpy(frame.data() + at, b.data() + off, n);
            at += n;
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(b.size()));
}
BENCHMARK(BM_memcpy)->Unit(benchmark::kMicrosecond);

// Console output plus the parser's bandwidth as a share of memcpy's.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end() || r.error_occurred)
                continue;
            // With repetitions the mean stands for the benchmark.
            if (r.run_type == Run::RT_Iteration ||
                (r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean"))
                rates_[r.run_name.str()] = it->second.value;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto base = rates_.find("BM_memcpy");
        if (base == rates_.end() || base->second <= 0)
            return;
        std::printf("memcpy: %.2f GB/s\n", base->second / 1e9);
        for (const auto &[name, rate] : rates_)
            if (name != "BM_memcpy")
                std::printf("%s: %.2f GB/s, %.2f of memcpy\n", name.c_str(), rate / 1e9,
                            rate / base->second);
    }

private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
