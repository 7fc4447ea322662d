// A console reporter that also keeps each benchmark's median CPU time, so a
// benchmark can print its ratios against a reference measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cvn::bench {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                m_times[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    /// The median CPU time of the named benchmark; none when it did not run with repetitions.
    std::optional<double> Median(const std::string& name) const
    {
        const auto found = m_times.find(name);
        return found == m_times.end() ? std::nullopt : std::optional<double>(found->second);
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace cvn::bench
