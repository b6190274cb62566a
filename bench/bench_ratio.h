// Console output of Google Benchmark followed by a table of ratios. Runs are
// named "task/variant"; for every task the CPU time of our variant is set
// against each other variant measured in the same run (their time / ours:
// above 1 means ours is faster). CPU time, since the machine is shared and
// every case runs on one thread.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pylox_bench {

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    explicit ratio_reporter(std::string ours = "ours") : ours_(std::move(ours)) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) {
                continue;
            }
            const std::string full = r.benchmark_name();
            const auto slash = full.find('/');
            if (slash != std::string::npos) {
                times_[full.substr(0, slash)][full.substr(slash + 1)] = r.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-14s %10s  %s\n", "task", (ours_ + " (us)").c_str(),
                    "against: time (us), their time / ours");
        for (const auto &[task, t] : times_) {
            const auto mine = t.find(ours_);
            if (mine == t.end()) {
                continue;
            }
            std::printf("%-14s %10.2f ", task.c_str(), mine->second);
            for (const auto &[variant, v] : t) {
                if (variant != ours_) {
                    std::printf("  %s %.2f (%.2fx)", variant.c_str(), v, v / mine->second);
                }
            }
            std::printf("\n");
        }
    }

private:
    std::string ours_;
    std::map<std::string, std::map<std::string, double>> times_; // task -> variant -> us
};

} // namespace pylox_bench
