// A console reporter that keeps each benchmark's time per iteration, so that a program can print
// how its benchmarks compare.
#ifndef VELMO_BENCH_RATIO_REPORTER_H_
#define VELMO_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace velmo::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        // With --benchmark_repetitions, the best run: on a shared machine a neighbour's work only
        // ever adds time.
        const auto [it, first] =
            nanoseconds_.try_emplace(run.benchmark_name(), run.GetAdjustedRealTime());
        if (!first && run.GetAdjustedRealTime() < it->second) {
          it->second = run.GetAdjustedRealTime();
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double Nanoseconds(const std::string& name) const {
    const auto it = nanoseconds_.find(name);
    return it == nanoseconds_.end() ? 0 : it->second;
  }

  // "what: 1.23x (ours ns against base ns)", when both ran.
  void PrintRatio(const std::string& ours, const std::string& base, const char* what) const {
    const double a = Nanoseconds(ours);
    const double b = Nanoseconds(base);
    if (a > 0 && b > 0) std::printf("%s: %.2fx (%.0f ns against %.0f ns)\n", what, a / b, a, b);
  }

 private:
  std::map<std::string, double> nanoseconds_;
};

}  // namespace velmo::bench

#endif  // VELMO_BENCH_RATIO_REPORTER_H_
