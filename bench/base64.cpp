// Base64 throughput of the protocol framing, both ways. Decoding runs over the
// encoder's own output, CR LF every 76 characters included, as a request or a
// file block would arrive. Counters are bytes of binary data per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "protocol/base64.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> data(n);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

void BM_Base64Encode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = brevalon::Base64Encode(data);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  const std::string text = brevalon::Base64Encode(data);
  for (auto _ : state) {
    std::vector<uint8_t> bytes = brevalon::Base64Decode(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["text_bytes_per_second"] = benchmark::Counter(
      static_cast<double>(text.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Base64Encode)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Base64Decode)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
