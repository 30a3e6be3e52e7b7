#include "os/machine_limits.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>

namespace brevalon {

namespace {

constexpr uint64_t kDescriptorsKeptBack = 256;

// A number from a file of /proc/sys, or `fallback`.
uint64_t ReadProcNumber(const char* path, uint64_t fallback) {
  std::ifstream in(path);
  uint64_t value = 0;
  if (in >> value && value > 0) return value;
  return fallback;
}

std::size_t Clamp(uint64_t value, uint64_t low, uint64_t high) {
  return static_cast<std::size_t>(std::clamp(value, low, high));
}

}  // namespace

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

MachineLimits ReadMachineLimits() {
  MachineLimits m;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    m.Descriptors = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  uint64_t threads = ReadProcNumber("/proc/sys/kernel/threads-max", m.Threads);
  if (getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    threads = std::min<uint64_t>(threads, limit.rlim_cur);
  m.Threads = threads;
  m.MemoryMaps = ReadProcNumber("/proc/sys/vm/max_map_count", m.MemoryMaps);
  return m;
}

DerivedLimits DeriveLimits(const MachineLimits& m) {
  DerivedLimits d;
  const uint64_t usable = m.Descriptors > kDescriptorsKeptBack ? m.Descriptors - kDescriptorsKeptBack : 0;
  d.MaxConnections = Clamp(usable / 5 * 2, 64, 20000);
  const uint64_t left = usable > d.MaxConnections ? usable - d.MaxConnections : 0;
  d.MaxSessions = Clamp(left / 2, 64, 200000);
  d.MaxUnsignedSessions = Clamp(d.MaxSessions / 4, 64, 4096);
  d.MaxCallThreads = Clamp(std::min(m.Threads / 4, m.MemoryMaps / 8), 16, 1024);
  return d;
}

std::string Describe(const MachineLimits& m) {
  return "descriptors " + std::to_string(m.Descriptors) + ", threads " + std::to_string(m.Threads) +
         ", memory maps " + std::to_string(m.MemoryMaps);
}

}  // namespace brevalon
