// A short run of the load program's core against the whole gateway in this
// process: sessions of every demo user calling every method, a tenth of the
// requests malformed, sessions closing and sessions left to expire. Every
// answer is checked against what the application servers must hold; at the
// end every session is gone and with it every worker thread, back-end
// connection and descriptor it held.
#include <gtest/gtest.h>

#include <chrono>

#include "bench/soak_load.h"
#include "faults/fault_rig.h"

namespace brevalon::faults {
namespace {

TEST(LoadTest, ManySessionsMixingEveryMethodAnswerRightAndLeaveNothingBehind) {
  GatewayRig rig;
  rig.StartBackEnd();
  rig.WriteSettings(rig.BackEnd().Port());
  rig.StartGateway(std::chrono::seconds(60));
  const int threads = ThreadCount();
  const int fds = FdCount();

  soak::LoadOptions o;
  o.Port = rig.Gateway().HttpPort();
  o.Sessions = 50;
  o.Duration = std::chrono::seconds(5);
  o.CallTimeout = std::chrono::seconds(60);
  o.RunTag = "load";
  const soak::LoadReport r = soak::RunLoad(o);

  SCOPED_TRACE(r.Summary());
  for (const std::string& w : r.WrongSamples) ADD_FAILURE() << "wrong answer: " << w;
  for (const auto& [message, count] : r.FailureMessages) ADD_FAILURE() << count << " x " << message;
  EXPECT_EQ(r.Wrong, 0u);
  EXPECT_EQ(r.Failed + r.Transport + r.Remote + r.NotSignedIn + r.Expired, 0u);
  EXPECT_GT(r.Invalid, 0u) << "malformed requests were sent";
  EXPECT_GT(r.CyclesCompleted, 0u) << "task cycles were checked to the end";
  EXPECT_GT(r.SessionsAbandoned, 0u);

  // The sessions that were dropped expire; then nothing of the load is left.
  rig.AdvanceClock(std::chrono::seconds(61));
  EXPECT_TRUE(Eventually([&] { return rig.Gateway().SessionCount() == 0; }));
  // The gateway's call pool starts its two standing threads at the first
  // call and keeps them; every other thread of the load must be gone.
  constexpr int kStandingCallThreads = 2;
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads + kStandingCallThreads; })) << ThreadCount() << " threads, " << threads << " before: " << ThreadNames();
  EXPECT_TRUE(Eventually([&] { return FdCount() <= fds; })) << FdCount() << " descriptors, " << fds << " before";
}

}  // namespace
}  // namespace brevalon::faults
