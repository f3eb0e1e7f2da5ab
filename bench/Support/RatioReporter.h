// Console reporter that also keeps each benchmark's real time, so that main() can print the
// ratio of a measured path to the baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace BenchSupport {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            m_real[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    // Real time of the first benchmark whose name starts with `prefix`; 0 when none ran.
    double Real(const std::string& prefix) const {
        for (const auto& [name, time] : m_real)
            if (name.rfind(prefix, 0) == 0)
                return time;
        return 0;
    }

private:
    std::map<std::string, double> m_real;
};

}  // namespace BenchSupport
