// What one settings read costs on the portable store, against the least SQLite can do: one
// prepared point lookup in a one-table database holding as many values.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "context/application_context.h"
#include "platform/sqlite_registry.h"
#include "ratio_reporter.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"

namespace {

namespace fs = std::filesystem;
constexpr int kValues = 1000;

fs::path ScratchDir() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "velmo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return fs::path(pattern);
  }();
  return dir;
}

std::u16string Name(int i) {
  const std::string name = "Value" + std::to_string(i);
  return std::u16string(name.begin(), name.end());
}

void BM_RegReadInterfaceValue(benchmark::State& state) {
  const velmo::platform::HivePaths paths{ScratchDir() / "machine.db", ScratchDir() / "user.db"};
  velmo::ApplicationContext context(
      velmo::Platform{.registry = velmo::platform::NewSqliteRegistry(paths)});
  context.version_info().Select(u"2010");
  for (int i = 0; i < kValues; ++i) {
    velmo::registry::RegWriteInterfaceValue_(context, Name(i), u"C:\\Users\\Łukasz\\設計\\");
  }
  const std::u16string wanted = Name(kValues / 2);
  for (auto _ : state) {
    std::u16string text = velmo::registry::RegReadInterfaceValue_(context, wanted);
    benchmark::DoNotOptimize(text);
    if (text.empty()) state.SkipWithError("value not found");
  }
}
BENCHMARK(BM_RegReadInterfaceValue);

void BM_BareSqlitePointLookup(benchmark::State& state) {
  const fs::path file = ScratchDir() / "bare.db";
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA synchronous = FULL;"
               "CREATE TABLE IF NOT EXISTS vals (name TEXT PRIMARY KEY, data BLOB NOT NULL)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO vals VALUES (?1, ?2)", -1, &insert, nullptr);
  const std::u16string data = u"C:\\Users\\Łukasz\\設計\\";
  for (int i = 0; i < kValues; ++i) {
    const std::string name = "Value" + std::to_string(i);
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert, 2, data.data(), static_cast<int>(data.size() * 2), SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);

  sqlite3_stmt* lookup = nullptr;
  sqlite3_prepare_v2(db, "SELECT data FROM vals WHERE name = ?1", -1, &lookup, nullptr);
  const std::string wanted = "Value" + std::to_string(kValues / 2);
  for (auto _ : state) {
    sqlite3_bind_text(lookup, 1, wanted.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(lookup) != SQLITE_ROW) state.SkipWithError("row not found");
    benchmark::DoNotOptimize(sqlite3_column_blob(lookup, 0));
    sqlite3_reset(lookup);
  }
  sqlite3_finalize(lookup);
  sqlite3_close(db);
}
BENCHMARK(BM_BareSqlitePointLookup);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_RegReadInterfaceValue", "BM_BareSqlitePointLookup",
                      "RegReadInterfaceValue_ / bare lookup");
  fs::remove_all(ScratchDir());
  benchmark::Shutdown();
  return 0;
}
