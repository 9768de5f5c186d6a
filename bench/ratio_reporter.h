// A console reporter that also keeps each benchmark's time, so a program can
// print the ratio of two benchmarks measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpu;   // milliseconds of CPU time per iteration
    std::map<std::string, double> real;  // milliseconds of wall-clock time per iteration
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            cpu[r.benchmark_name()] = r.GetAdjustedCPUTime();
            real[r.benchmark_name()] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};
