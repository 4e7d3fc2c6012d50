// Loading configuration and parameter files of 10,000 and 100,000 lines: the time grows with the
// file, so the ratios printed should be about 10. Then the memory a load costs, at its peak and
// once loaded, against the file's size, for files of 16 MiB of three kinds; every allocation of
// the program is counted.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "config/builtin_documents.h"
#include "ratio_reporter.h"
#include "temp_dir.h"

namespace {

std::atomic<std::size_t> live{0}, peak{0};

void* Counted(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t now = live += malloc_usable_size(p);
  std::size_t seen = peak;
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return p;
}

void Uncounted(void* p) {
  if (p == nullptr) return;
  live -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return Counted(size); }
void* operator new[](std::size_t size) { return Counted(size); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { Uncounted(p); }

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

// Peak and retained bytes of loading `text` as a Document, against the text's size.
template <class Document>
void PrintMemory(const char* kind, const char* what, const std::string& text) {
  velmo::testing::TempDir dir;
  dir.Write(u"file", text);
  const std::size_t before = live;
  peak = before;
  auto document = std::make_unique<Document>();
  if (!document->Load(dir.path() + u"file")) std::printf("%s, %s: did not load\n", kind, what);
  const double size = static_cast<double>(text.size());
  std::printf("%-13s %-38s %5.1f MiB: peak %6.1fx, kept %6.1fx the file\n", kind, what,
              size / (1 << 20), static_cast<double>(peak - before) / size,
              static_cast<double>(live - before) / size);
}

void PrintMemoryPerFileSize() {
  constexpr std::size_t kSize = 16 << 20;
  std::string empty(kSize, '\n'), shortest, ordinary;
  for (int i = 0; shortest.size() < kSize; ++i) shortest += std::to_string(i) + "=\n";
  for (int i = 0; ordinary.size() < kSize; ++i) {
    ordinary += "Parameter" + std::to_string(i) + " = " + std::to_string(i * 7) + ".5\n";
  }
  const std::string configuration = Configuration(600000);
  PrintMemory<ParameterDocument>("parameters", "empty lines", empty);
  PrintMemory<ParameterDocument>("parameters", "\"N=\" lines (shortest distinct)", shortest);
  PrintMemory<ParameterDocument>("parameters", "\"ParameterN = M.5\" lines", ordinary);
  PrintMemory<IniDocument>("configuration", "empty lines", empty);
  PrintMemory<IniDocument>("configuration", "sections of 100 \"valueN = M\" lines", configuration);
}

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
  velmo::PrintMemoryPerFileSize();
  benchmark::Shutdown();
  return 0;
}
