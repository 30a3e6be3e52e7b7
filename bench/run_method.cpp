// Hand-over cost of a session worker: one iteration is one RunMethod call -
// queue the call, wake the worker, run a handler that does nothing, wake the
// caller, read the outcome. The session logic is a stand-in whose handlers
// return at once, so what is measured is the queue and the two thread
// switches, not any back-end work. Besides the mean per call, the counters
// p50_us and p99_us give the median and the 99th percentile of single calls.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/event_log.h"
#include "server/session_thread.h"
#include "session/session_logic.h"

namespace {

using namespace brevalon;

// Every handler returns at once; the result handlers write one member so the
// result object is not empty, as a real answer's is not.
class IdleLogic final : public ISessionLogic {
 public:
  void ConnectToDB(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void GetTaskList(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void GetTaskAttachments(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void SearchDocuments(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void GetCorrespondence(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void SetTaskCorrespondenceRead(const std::string&) override {}
  void SendMessage(const std::string&) override {}
  void GetFile(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void SetStateForTask(const std::string&) override {}
  void GetUserList(boost::json::object& r, const std::string&) override { r["BASE64"] = ""; }
  void CreateTask(const std::string&) override {}
  void EditTask(const std::string&) override {}
  void DeleteTask(const std::string&) override {}
};

// Failures are not expected; a writer that drops them keeps syslog out of it.
class NoEventLog final : public IEventLog {
 public:
  void WriteError(const std::string&) override {}
};

double PercentileUs(std::vector<double>& samples, double q) {
  if (samples.empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(k), samples.end());
  return samples[k];
}

void BM_RunMethodIdle(benchmark::State& state) {
  TSessionThread worker([](const TSessionEnvironment&) { return std::make_unique<IdleLogic>(); },
                        [] { return std::make_unique<NoEventLog>(); });
  const std::vector<Variant> params{Variant("QUJD")};
  std::vector<double> samples;
  samples.reserve(1 << 20);
  int32_t code = 0;
  std::string message;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto result = worker.RunMethod(TMethodsNameType::stGetTaskList, code, params, message);
    const auto end = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    if (code != kReturnOk) {
      state.SkipWithError("the call failed");
      break;
    }
    if (samples.size() < samples.capacity())
      samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  state.counters["p50_us"] = PercentileUs(samples, 0.50);
  state.counters["p99_us"] = PercentileUs(samples, 0.99);
  worker.Close();
}
BENCHMARK(BM_RunMethodIdle)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
