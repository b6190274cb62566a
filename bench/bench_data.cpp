// The CRC of a data packet (65,530 payload bytes) against two baselines in the
// same run: copying the packet (memcpy, what building a packet costs anyway)
// and the bit-by-bit CRC the table replaces. The summary divides times.
#include <benchmark/benchmark.h>
#include <pylox/pylox_data.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <random>
#include <vector>

namespace {

constexpr size_t kPacket = PYLOX_DATA_PACKET_PAYLOAD;

std::vector<uint8_t> payload()
{
    std::mt19937 g(1);
    std::vector<uint8_t> v(kPacket);
    for (auto &b : v)
        b = static_cast<uint8_t>(g());
    return v;
}

uint16_t crc_bitwise(const uint8_t *p, size_t n)
{
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        c ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021)
                             : static_cast<uint16_t>(c << 1);
    }
    return c;
}

void BM_crc_table(benchmark::State &state)
{
    const auto p = payload();
    for (auto _ : state)
        benchmark::DoNotOptimize(al_data_calc_crc(p.data(), static_cast<uint32_t>(p.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacket));
}

void BM_crc_bitwise(benchmark::State &state)
{
    const auto p = payload();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc_bitwise(p.data(), p.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacket));
}

void BM_memcpy(benchmark::State &state)
{
    const auto p = payload();
    std::vector<uint8_t> d(kPacket);
    for (auto _ : state) {
        std::memcpy(d.data(), p.data(), kPacket);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacket));
}

BENCHMARK(BM_crc_table);
BENCHMARK(BM_crc_bitwise);
BENCHMARK(BM_memcpy);

// Mean time per iteration of every run, by name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double t = ns_["BM_crc_table"], b = ns_["BM_crc_bitwise"], m = ns_["BM_memcpy"];
        if (t > 0 && m > 0)
            std::printf("\nratios (CPU time): bitwise CRC / table CRC = %.2f, table CRC / memcpy = "
                        "%.2f\n",
                        b / t, t / m);
    }

private:
    std::map<std::string, double> ns_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    return 0;
}
