// What this machine lets the daemon have, and the limits on connections,
// sessions and call threads that follow from it when the operator sets none.
//
// Descriptors bound connections and sessions (a client connection is one, a
// signed-in session holds two back-end connections); threads and memory maps
// bound the call threads (each thread's stack is two maps). The figures are
// read once at start; nothing here keeps state. Safe from any thread, but
// RaiseDescriptorLimit changes the process's limit and belongs to start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brevalon {

struct MachineLimits {
  uint64_t Descriptors = 1024;   // RLIMIT_NOFILE (soft, after raising it)
  uint64_t Threads = 4096;       // the lowest of RLIMIT_NPROC and kernel.threads-max
  uint64_t MemoryMaps = 65530;   // vm.max_map_count
};

// Raises the soft open-files limit to the hard one; returns the soft limit
// in force afterwards.
uint64_t RaiseDescriptorLimit();

// Reads the limits of this process and machine (unknown ones keep the
// defaults above).
MachineLimits ReadMachineLimits();

struct DerivedLimits {
  std::size_t MaxConnections = 0;
  std::size_t MaxSessions = 0;
  std::size_t MaxUnsignedSessions = 0;
  std::size_t MaxCallThreads = 0;
};

// The defaults for `machine`:
//   connections = 2/5 of the descriptors (less 256 kept back), 64..20000;
//   sessions = what is left of them, two each, 64..200000;
//   sessions that never signed in = a quarter of the sessions, 64..4096;
//   call threads = a quarter of the threads or maps/8, 16..1024.
DerivedLimits DeriveLimits(const MachineLimits& machine);

// "descriptors 65536, threads 96362, memory maps 65530" for the start line.
std::string Describe(const MachineLimits& machine);

}  // namespace brevalon
