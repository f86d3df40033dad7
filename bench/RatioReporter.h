// The usual console table, plus "ratio measured / baseline" lines for pairs of benchmarks run in
// the same program, so that figures are read against a baseline from the same machine and moment.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Keeps each run's time per iteration: real (or manual) time for runs that asked for it (their
    // names carry "real_time" or "manual_time"), CPU time otherwise. A run is found by its full name and, for the first
    // run of a function, by the function's name alone (names with "/iterations:N" and the like).
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const std::string name = run.benchmark_name();
            const bool real = name.find("real_time") != std::string::npos ||
                              name.find("manual_time") != std::string::npos;
            const double time = real ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            m_Times[name] = time;
            m_Times.emplace(run.run_name.function_name, time);
        }
    }

    void PrintRatio(const std::string& measured, const std::string& baseline) const {
        auto pMeasured = m_Times.find(measured);
        auto pBaseline = m_Times.find(baseline);
        if (pMeasured == m_Times.end() || pBaseline == m_Times.end() || pBaseline->second <= 0) {
            return;
        }
        std::printf("ratio %s / %s = %.2f\n", measured.c_str(), baseline.c_str(),
                    pMeasured->second / pBaseline->second);
    }

private:
    std::map<std::string, double> m_Times;
};
