// Cost of a list difference against the client's snapshot, next to the cost of
// what it cannot avoid: loading that snapshot and saving the new one.
//
// The list is shaped like a task list (13 fields: 7 integers, 2 date-times,
// 4 texts) with its keys in no particular order, as a server returns them; 1%
// of the rows differ from the snapshot. Sizes 10k, 100k and 1M rows show how
// the difference grows with the list.
//
//   bench_dataset_versions --benchmark_filter='Difference|LoadSave'
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "session/settings.h"
#include "sync/dataset_versions_manager.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUid = "bench-client";

// A private common application-data folder for the whole run, removed at exit.
class CacheFolder {
 public:
  CacheFolder() {
    std::string pattern = (fs::temp_directory_path() / "brevalon-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    setenv("BREVALON_COMMONAPPDATA", root_.c_str(), 1);
    fs::create_directories(fs::path(GetSettingsDir()) / "Cache" / kUid);
  }
  ~CacheFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

 private:
  fs::path root_;
};

void EnsureCacheFolder() { static CacheFolder folder; }

Dataset MakeTaskList(std::size_t rows, uint32_t seed) {
  Dataset ds;
  ds.AddField("_ID_OPERATION", FieldType::Int32);
  ds.AddField("_ID_ROUTE", FieldType::Int32);
  ds.AddField("_ROUTENAME", FieldType::Text, 255);
  ds.AddField("_TASK", FieldType::Text, 0);
  ds.AddField("_ID_OWNER", FieldType::Int32);
  ds.AddField("_OWNERNAME", FieldType::Text, 255);
  ds.AddField("_ID_USER", FieldType::Int32);
  ds.AddField("_USERNAME", FieldType::Text, 255);
  ds.AddField("_DATE_CRITICAL", FieldType::DateTime);
  ds.AddField("_DATE_START_BP", FieldType::DateTime);
  ds.AddField("_STATE", FieldType::Int32);
  ds.AddField("_WF_STATE", FieldType::Int32);
  ds.AddField("_PDM_ID", FieldType::Int32);

  std::vector<int32_t> ids(rows);
  std::iota(ids.begin(), ids.end(), 1000);
  std::mt19937 rng(seed);
  std::shuffle(ids.begin(), ids.end(), rng);

  auto f = [&](const char* name) { return ds.FieldByName(name); };
  for (int32_t id : ids) {
    ds.Append();
    f("_ID_OPERATION").SetInteger(id);
    f("_ID_ROUTE").SetInteger(id / 3);
    f("_ROUTENAME").SetString("{02" + std::to_string(10000000 + id % 90000000) + "}Agreement of drawing " +
                              std::to_string(id / 3));
    f("_TASK").SetString("Check the drawing and sign off revision " + std::to_string(id % 17));
    f("_ID_OWNER").SetInteger(id % 50);
    f("_OWNERNAME").SetString("Owner " + std::to_string(id % 50));
    f("_ID_USER").SetInteger(7);
    f("_USERNAME").SetString("Executor Seven");
    f("_DATE_CRITICAL").SetDateTime(45000.0 + id % 365);
    f("_DATE_START_BP").SetDateTime(44900.25 + id % 100);
    f("_STATE").SetInteger(2 + id % 3);
    f("_WF_STATE").SetInteger(1);
    f("_PDM_ID").SetInteger(id % 5 == 0 ? 0 : id * 2);
  }
  return ds;
}

// Every hundredth row (in server order) gets a new task text.
void ChangeOnePercent(Dataset& ds) {
  std::size_t n = 0;
  for (ds.First(); !ds.Eof(); ds.Next(), ++n) {
    if (n % 100 == 0) ds.FieldByName("_TASK").SetString("Revised: " + ds.FieldByName("_TASK").AsString());
  }
}

struct Setup {
  TDataSetVersionsManager probe{"TaskList", kUid, 1, "_ID_OPERATION"};
  Dataset current;
};

// `reordered`: the server lists the same rows in another order than last
// time (the worst case for memory locality); otherwise in the same order.
std::unique_ptr<Setup> Prepare(std::size_t rows, bool reordered = true) {
  EnsureCacheFolder();
  auto setup = std::make_unique<Setup>();
  MakeTaskList(rows, 42).SaveToFile(setup->probe.SnapshotPath(1));
  setup->current = MakeTaskList(rows, reordered ? 43 : 42);
  ChangeOnePercent(setup->current);
  return setup;
}

void BM_LoadDifference(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  auto setup = Prepare(rows, state.range(1) != 0);
  std::size_t changed = 0;
  for (auto _ : state) {
    TDataSetVersionsManager manager("TaskList", kUid, 1, "_ID_OPERATION");
    manager.setIdUser(7);
    std::vector<int32_t> deleted, added;
    auto result = manager.LoadDifference(setup->current, deleted, added);
    changed = result->RecordCount();
    benchmark::DoNotOptimize(result);
  }
  if (changed != (rows + 99) / 100) state.SkipWithError("unexpected difference");
  state.counters["changed"] = static_cast<double>(changed);
}

// The floor: what any difference must do anyway.
void BM_LoadSave(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  auto setup = Prepare(rows);
  const fs::path stored = setup->probe.SnapshotPath(1);
  const fs::path next = setup->probe.SnapshotPath(2);
  for (auto _ : state) {
    Dataset snapshot = Dataset::LoadFromFile(stored);
    setup->current.SaveToFile(next);
    benchmark::DoNotOptimize(snapshot);
  }
}

// The whole list for a client that holds nothing.
void BM_LoadFull(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  auto setup = Prepare(rows);
  for (auto _ : state) {
    TDataSetVersionsManager manager("TaskList", kUid, 0, "_ID_OPERATION");
    std::vector<int32_t> deleted, added;
    auto result = manager.LoadDifference(setup->current, deleted, added);
    benchmark::DoNotOptimize(result);
  }
}

// Second argument: 1 = rows in another order than in the snapshot, 0 = same order.
BENCHMARK(BM_LoadDifference)
    ->ArgNames({"rows", "reordered"})
    ->Args({10'000, 1})
    ->Args({100'000, 1})
    ->Args({1'000'000, 1})
    ->Args({100'000, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSave)->ArgName("rows")->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFull)->ArgName("rows")->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brevalon

BENCHMARK_MAIN();
