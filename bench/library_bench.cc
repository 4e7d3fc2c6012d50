// What the library's hot paths cost against the one system call each of them cannot avoid,
// and what a full start-up costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/builtin_documents.h"
#include "config/configuration.h"
#include "config/parameter_cache.h"
#include "context/application_context.h"
#include "context/startup.h"
#include "fakes.h"
#include "platform/sqlite_registry.h"
#include "platform/text.h"
#include "ratio_reporter.h"
#include "registry/registry_module.h"
#include "users/users.h"

namespace {

namespace fs = std::filesystem;
using namespace velmo;

// Counts what the library asks of the file system.
class CountingFileSystem final : public platform::FileSystem {
 public:
  explicit CountingFileSystem(int& calls)
      : inner_(platform::NewSystemFileSystem()), calls_(calls) {}
  bool DirectoryExists(std::u16string_view p) override {
    return ++calls_, inner_->DirectoryExists(p);
  }
  bool FileExists(std::u16string_view p) override { return ++calls_, inner_->FileExists(p); }
  platform::FileDate LastModified(std::u16string_view p) override {
    return ++calls_, inner_->LastModified(p);
  }
  platform::FileDate Created(std::u16string_view p) override {
    return ++calls_, inner_->Created(p);
  }
  std::optional<platform::FileDates> Dates(std::u16string_view p) override {
    return ++calls_, inner_->Dates(p);
  }

 private:
  std::unique_ptr<platform::FileSystem> inner_;
  int& calls_;
};

// An installed add-in in a scratch directory: the store, an application and a user directory.
struct Installation {
  Installation() {
    std::string pattern = (fs::temp_directory_path() / "velmo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    Write("app/dat/velmo.cfg", "[Units]\nLength = mm\nAngle = deg\n");
    Write("app/Dat/Geometrie.dat", "[HEA100]\nh = 96\n");
    Write("user/dat/velmo.cfg", "[Units]\nLength = cm\n");
    Write("params/beam.pp", "Profile = IPE200\nLength = 4500\n");
    registry = std::make_shared<testing::ObservedRegistry>(
        platform::NewSqliteRegistry({dir / "machine.db", dir / "user.db"}));
    const std::u16string release = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2";
    registry::RegWriteString(*registry, registry::RegRootLocalMachine, release, u"PATH",
                             platform::FromUtf8((dir / "app").string()));
    registry::RegWriteString(*registry, registry::RegRootCurrentUser, release, u"USER",
                             platform::FromUtf8((dir / "user").string()));
  }
  ~Installation() { fs::remove_all(dir); }

  void Write(const std::string& relative, const std::string& text) const {
    fs::create_directories((dir / relative).parent_path());
    std::ofstream(dir / relative) << text;
  }

  ApplicationContext Context() {
    ApplicationContext context(Platform{});
    context.platform.registry = registry;
    context.platform.message_box = std::make_shared<testing::RecordingMessageBox>();
    context.platform.new_file_system = [this] {
      return std::make_unique<CountingFileSystem>(fs_calls);
    };
    context.platform.documents = NewBuiltInDocuments();
    return context;
  }

  fs::path dir;
  std::shared_ptr<testing::ObservedRegistry> registry;
  int fs_calls = 0;
};

Installation& TheInstallation() {
  static Installation installation;
  return installation;
}

void BM_GetPPHit(benchmark::State& state) {
  Installation& at = TheInstallation();
  ApplicationContext context = at.Context();
  MOLTRAG_Init(context, u"2010");
  const std::u16string file = platform::FromUtf8((at.dir / "params/beam.pp").string());
  std::shared_ptr<PPDocument> pp;
  if (MOLTRAG_GetPP(context, file, pp) != 0) state.SkipWithError("first load failed");
  for (auto _ : state) {
    if (MOLTRAG_GetPP(context, file, pp) != 0) state.SkipWithError("hit failed");
    benchmark::DoNotOptimize(pp);
  }
}
BENCHMARK(BM_GetPPHit);

void BM_StatOfTheParameterFile(benchmark::State& state) {
  const std::string file = (TheInstallation().dir / "params/beam.pp").string();
  struct stat st {};
  for (auto _ : state) {
    if (::stat(file.c_str(), &st) != 0) state.SkipWithError("stat failed");
    benchmark::DoNotOptimize(st);
  }
}
BENCHMARK(BM_StatOfTheParameterFile);

void BM_VelmoCFGRead(benchmark::State& state) {
  Installation& at = TheInstallation();
  ApplicationContext context = at.Context();
  MOLTRAG_Init(context, u"2010");
  for (auto _ : state) {
    std::shared_ptr<ConfigDocument> config = GetVelmoCFG(context);
    if (!config) state.SkipWithError("no configuration");
    benchmark::DoNotOptimize(config);
  }
}
BENCHMARK(BM_VelmoCFGRead);

void BM_StatxOfTheUserFile(benchmark::State& state) {
  const std::string file = (TheInstallation().dir / "user/dat/velmo.cfg").string();
  struct statx stx {};
  for (auto _ : state) {
    if (::statx(AT_FDCWD, file.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
      state.SkipWithError("statx failed");
    }
    benchmark::DoNotOptimize(stx);
  }
}
BENCHMARK(BM_StatxOfTheUserFile);

// Each iteration switches the version, so that each is a whole start-up.
void BM_FullStartUp(benchmark::State& state) {
  Installation& at = TheInstallation();
  ApplicationContext context = at.Context();
  MOLTRAG_Init(context, u"2010");
  bool flip = false;
  const int registry_before = at.registry->calls;
  const int files_before = at.fs_calls;
  for (auto _ : state) {
    flip = !flip;
    // A new user directory each time would be unfair to nobody: start-up reloads the
    // configuration only when the user directory changed, which here it does not.
    MOLTRAG_Init(context, flip ? u"2" : u"2010");
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["registry_calls"] = (at.registry->calls - registry_before) / runs;
  state.counters["file_system_calls"] = (at.fs_calls - files_before) / runs;
}
BENCHMARK(BM_FullStartUp);

// What a switch between two users asks of the registry and the file system: the same for every
// switch, whatever was asked before.
void BM_UserSwitch(benchmark::State& state) {
  Installation& at = TheInstallation();
  at.Write("other/dat/velmo.cfg", "[Units]\nLength = m\n");
  ApplicationContext context = at.Context();
  MOLTRAG_Init(context, u"2010");
  const std::u16string users[] = {platform::FromUtf8((at.dir / "other").string()),
                                  platform::FromUtf8((at.dir / "user").string())};
  const int registry_before = at.registry->calls;
  const int files_before = at.fs_calls;
  size_t next = 0;
  for (auto _ : state) {
    if (SwitchUser(context, users[next], {}) != 0) state.SkipWithError("switch failed");
    next = 1 - next;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["registry_calls"] = (at.registry->calls - registry_before) / runs;
  state.counters["file_system_calls"] = (at.fs_calls - files_before) / runs;
}
BENCHMARK(BM_UserSwitch);

// Two files in turn through slot 0, the four others being used more: every request is a miss
// that reloads slot 0.
void BM_GetPPMiss(benchmark::State& state) {
  Installation& at = TheInstallation();
  std::vector<std::u16string> files;
  for (int i = 0; i < 7; ++i) {
    const std::string name = "params/miss" + std::to_string(i) + ".pp";
    at.Write(name, "Length = 1\n");
    files.push_back(platform::FromUtf8((at.dir / name).string()));
  }
  ApplicationContext context = at.Context();
  MOLTRAG_Init(context, u"2010");
  std::shared_ptr<PPDocument> pp;
  for (int i = 0; i < 5; ++i) MOLTRAG_GetPP(context, files[i], pp);
  for (int i = 1; i < 5; ++i) MOLTRAG_GetPP(context, files[i], pp);
  const int files_before = at.fs_calls;
  size_t next = 5;
  for (auto _ : state) {
    if (MOLTRAG_GetPP(context, files[next], pp) != 0) state.SkipWithError("load failed");
    next = next == 5 ? 6 : 5;
  }
  state.counters["file_system_calls"] =
      (at.fs_calls - files_before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_GetPPMiss);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_GetPPHit", "BM_StatOfTheParameterFile", "MOLTRAG_GetPP hit / stat()");
  reporter.PrintRatio("BM_VelmoCFGRead", "BM_StatxOfTheUserFile", "VelmoCFG read / statx()");
  if (const double startup = reporter.Nanoseconds("BM_FullStartUp"); startup > 0) {
    std::printf("full start-up: %.1f us\n", startup / 1000);
  }
  benchmark::Shutdown();
  return 0;
}
