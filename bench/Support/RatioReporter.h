// Console reporter that also keeps each benchmark's real and CPU time, so that the ratio of a
// measured path to the baseline measured in the same run can be printed (in main(), or in
// Finalize() of a derived reporter).
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace BenchSupport {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            m_real[run.benchmark_name()] = run.GetAdjustedRealTime();
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                m_cpu[run.benchmark_name().substr(0, run.benchmark_name().find('/'))] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Real time of the first benchmark whose name starts with `prefix`; 0 when none ran.
    double Real(const std::string& prefix) const {
        for (const auto& [name, time] : m_real)
            if (name.rfind(prefix, 0) == 0)
                return time;
        return 0;
    }

    // CPU time (in the benchmark's unit) of the benchmark named `base`, without its "/..." suffix;
    // 0 when it did not run.
    double Cpu(const std::string& base) const {
        auto it = m_cpu.find(base);
        return it == m_cpu.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> m_real;
    std::map<std::string, double> m_cpu;
};

}  // namespace BenchSupport
