// A console reporter that also keeps each benchmark's median throughput and
// user counters (or its single run's, without repetitions), so a program can
// print its RATIO and FIGURE summary lines after Google Benchmark's own table.
#ifndef ZORBEL_BENCH_THROUGHPUT_RECORDER_H
#define ZORBEL_BENCH_THROUGHPUT_RECORDER_H

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace zorbel {
namespace bench {

class ThroughputRecorder : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal: the summary is read by scripts from a pipe,
    // and a colour code in front of a line would hide it from them.
    ThroughputRecorder() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single)
                for (const auto& counter : run.counters)
                    counters_[run.run_name.str() + "." + counter.first] = counter.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Bytes per second of the named run (as Google Benchmark names it), or 0
    // when it did not run.
    double bytes_per_second(const std::string& name) const { return counter(name, "bytes_per_second"); }

    // A user counter of the named run, or 0 when it did not run.
    double counter(const std::string& name, const std::string& counter_name) const {
        auto it = counters_.find(name + "." + counter_name);
        return it == counters_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> counters_;
};

// The start of every benchmark program's main: runs the benchmarks that the
// command line selects, printing them as usual and recording each one's
// throughput into `recorder` for the summary lines that follow. False when
// the command line holds an argument Google Benchmark does not know.
inline bool run_benchmarks(int& argc, char** argv, ThroughputRecorder& recorder) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();
    return true;
}

}  // namespace bench
}  // namespace zorbel

#endif
