#include "os/machine_limits.h"

#include <gtest/gtest.h>

namespace brevalon {
namespace {

TEST(MachineLimitsTest, LimitsFollowWhatTheMachineAllows) {
  struct Case {
    MachineLimits Machine;
    DerivedLimits Expected;
  } cases[] = {
      // A unit's LimitNOFILE=65536 on a large machine.
      {{65536, 96362, 65530}, {20000, 22640, 4096, 1024}},
      // The default soft limit of a shell.
      {{1024, 96362, 65530}, {306, 231, 64, 1024}},
      // Few threads or maps: call threads follow them.
      {{65536, 400, 65530}, {20000, 22640, 4096, 100}},
      {{65536, 96362, 1000}, {20000, 22640, 4096, 125}},
      // Next to nothing: the floors.
      {{100, 20, 40}, {64, 64, 64, 16}},
      // Unlimited descriptors: the ceilings.
      {{UINT64_MAX, UINT64_MAX, UINT64_MAX}, {20000, 200000, 4096, 1024}},
  };
  for (const Case& c : cases) {
    const DerivedLimits d = DeriveLimits(c.Machine);
    SCOPED_TRACE(Describe(c.Machine));
    EXPECT_EQ(d.MaxConnections, c.Expected.MaxConnections);
    EXPECT_EQ(d.MaxSessions, c.Expected.MaxSessions);
    EXPECT_EQ(d.MaxUnsignedSessions, c.Expected.MaxUnsignedSessions);
    EXPECT_EQ(d.MaxCallThreads, c.Expected.MaxCallThreads);
  }
}

TEST(MachineLimitsTest, ThisMachineIsRead) {
  const uint64_t soft = RaiseDescriptorLimit();
  const MachineLimits m = ReadMachineLimits();
  EXPECT_EQ(m.Descriptors, soft);
  EXPECT_GT(m.Threads, 0u);
  EXPECT_GT(m.MemoryMaps, 0u);
}

}  // namespace
}  // namespace brevalon
