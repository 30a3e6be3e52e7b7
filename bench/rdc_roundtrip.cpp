// Round trip of a small remote-data-connection call on loopback: the client
// sends "Ping"(int, by-reference variant) and the server echoes; one
// iteration is one complete call. Besides the mean per call, the counters
// p50_us and p99_us give the median and the 99th percentile of the single
// calls. The HTTP kind is measured the same way for comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "rdc/rdc_client.h"
#include "rdc/rdc_server.h"

namespace {

using namespace brevalon;

const char kClass[] = "{392BA982-A82F-44AB-BA8A-69BE25199F73}";

class PingObject : public RdcSessionObject {
 public:
  Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext&) override {
    if (name != "Ping") throw ERdcUnknownName::ForName(name);
    args.at(1) = Variant(0);
    return args.at(0);
  }
  Variant GetProperty(const std::string& name, RdcCallContext&) override { throw ERdcUnknownName::ForName(name); }
};

// One server per thread count, started on first use.
RdcServer& Server(size_t threads) {
  static std::map<size_t, std::unique_ptr<RdcServer>> servers;
  auto& server = servers[threads];
  if (!server) {
    RdcServerOptions options;
    options.handler_threads = threads;
    server = std::make_unique<RdcServer>(options);
    server->RegisterClass(kClass, [](const RdcSessionInfo&) { return std::make_unique<PingObject>(); });
    server->Start("127.0.0.1", 0);
  }
  return *server;
}

void RoundTrip(benchmark::State& state, const RdcEndpoint& endpoint) {
  RdcClient client;
  client.Open(endpoint, kClass, "bench");
  std::vector<double> samples;
  samples.reserve(1 << 20);
  int32_t n = 0;
  for (auto _ : state) {
    Variant code;
    std::vector<RdcArg> args{RdcArg(++n), RdcArg::Ref(code)};
    const auto start = std::chrono::steady_clock::now();
    Variant result = client.Call("Ping", args);
    const auto end = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    if (samples.size() < samples.capacity()) samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  if (!samples.empty()) {
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
  }
}

void BM_RdcRoundTripTcp(benchmark::State& state) {
  RdcEndpoint ep;
  ep.host = "127.0.0.1";
  ep.port = Server(static_cast<size_t>(state.range(0))).Port();
  RoundTrip(state, ep);
}
// Argument: server threads (4 is the default of RdcServerOptions).
BENCHMARK(BM_RdcRoundTripTcp)->Arg(4)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_RdcRoundTripHttp(benchmark::State& state) {
  RoundTrip(state, RdcEndpoint::FromUrl("http://127.0.0.1:" + std::to_string(Server(4).Port()) + "/rdc"));
}
BENCHMARK(BM_RdcRoundTripHttp)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
BENCHMARK_MAIN();
