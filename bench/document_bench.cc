// Loading configuration and parameter files of 10,000 and 100,000 lines: the time grows with the
// file, so the ratio printed last should be about 10.
#include <benchmark/benchmark.h>

#include <string>

#include "config/builtin_documents.h"
#include "ratio_reporter.h"
#include "temp_dir.h"

namespace velmo {
namespace {

// Sections of 100 values; every tenth value repeats an earlier name in another case, which the
// first-line-wins rule must find.
std::string Configuration(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    if (i % 100 == 0) text += "[Section" + std::to_string(i / 100) + "]\n";
    const int name = i % 10 == 9 ? i - 5 : i;
    text +=
        (i % 10 == 9 ? "VALUE" : "value") + std::to_string(name) + " = " + std::to_string(i) + "\n";
  }
  return text;
}

template <class Document>
void BM_Load(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  velmo::testing::TempDir dir;
  dir.Write(u"file.cfg", Configuration(lines));
  const std::u16string path = dir.path() + u"file.cfg";
  for (auto _ : state) {
    Document document;
    if (!document.Load(path)) state.SkipWithError("did not load");
    benchmark::DoNotOptimize(document);
  }
}
BENCHMARK(BM_Load<IniDocument>)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Load<ParameterDocument>)->Arg(10000)->Arg(100000);

}  // namespace
}  // namespace velmo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_Load<IniDocument>/100000", "BM_Load<IniDocument>/10000",
                      "configuration, 100,000 lines against 10,000");
  reporter.PrintRatio("BM_Load<ParameterDocument>/100000", "BM_Load<ParameterDocument>/10000",
                      "parameters, 100,000 lines against 10,000");
  benchmark::Shutdown();
  return 0;
}
