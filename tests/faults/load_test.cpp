// A short run of the load program's core against the whole gateway in this
// process: sessions of every demo user calling every method, a tenth of the
// requests malformed, sessions closing and sessions left to expire. Every
// answer is checked against what the application servers must hold; at the
// end every session is gone and with it every worker thread, back-end
// connection and descriptor it held.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "bench/soak_load.h"
#include "faults/fault_rig.h"
#include "pdm/app_workflow.h"
#include "tasks/task_correspondence.h"

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
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads + kStandingCallThreads; }))
      << ThreadCount() << " threads, " << threads << " before: " << ThreadNames();
  EXPECT_TRUE(Eventually([&] { return FdCount() <= fds; }))
      << FdCount() << " descriptors, " << fds << " before";
}

// A workflow proxy signed in to the rig's application servers.
std::unique_ptr<TAppWorkFlow> WorkFlow(GatewayRig& rig, const std::string& login) {
  auto wf = std::make_unique<TAppWorkFlow>();
  wf->SetConnectionType(ctSocket);
  wf->SetServerName("127.0.0.1");
  wf->SetPort(rig.BackEnd().Port());
  wf->SetUserName(login);
  wf->SetPassword(login + "1");
  wf->SetAuthentific(atPassword);
  wf->Connect();
  wf->ConnectToDB(20100701, "demo");
  return wf;
}

// Under load, phones of a task's executor marking its letters read failed
// with "Letter with id=[N] not found" whenever the author deleted the task
// between the listing of the executor's unread letters and the marking. The
// letters went with the process: there is nothing left to mark, which is no
// failure. Here the author deletes the process right after the listing.
TEST(LoadTest, LettersOfAProcessDeletedWhileMarkingThemReadAreSkipped) {
  GatewayRig rig;
  rig.StartBackEnd();
  auto author = WorkFlow(rig, "ivanov");
  auto reader = WorkFlow(rig, "sidorov");
  const auto process = [&](const std::string& name) {
    const int32_t route = author->CreateNewProcess("demo", 0, name).AsInteger();
    for (const char* text : {"Первое", "Второе"}) {
      Variant authorRole(static_cast<uint8_t>(0)), recipientRole(0), recipient(reader->ID_User());
      author->SendLetterByBPToOneUser(route, authorRole, recipientRole, recipient, name, text);
    }
    return route;
  };
  const auto unreadOf = [&](int32_t route) {
    TDataSetPtr unread = reader->GetIncomingCorrespondence(2);
    int n = 0;
    for (unread->First(); !unread->Eof(); unread->Next())
      n += unread->FieldByName("_ID_ROUTE").AsInteger() == route;
    return n;
  };

  // Nothing in the way: both letters are marked.
  const int32_t kept = process("Остаётся");
  ASSERT_EQ(unreadOf(kept), 2);
  MarkCorrespondenceRead(*reader, kept);
  EXPECT_EQ(unreadOf(kept), 0);

  // The process goes once the reader has listed its letters.
  const int32_t deleted = process("Удаляется");
  ASSERT_EQ(unreadOf(deleted), 2);
  bool listed = false;
  reader->SetOnEndMetod([&](TAppBrevalon&) {
    if (listed) return;
    listed = true;  // the first call is the listing
    author->DeleteProcess(deleted);
  });
  EXPECT_NO_THROW(MarkCorrespondenceRead(*reader, deleted));
  reader->SetOnEndMetod(nullptr);
  EXPECT_TRUE(listed);

  // One letter: marked when it is there, skipped when it is gone.
  const int32_t third = process("Третий");
  TDataSetPtr unread = reader->GetIncomingCorrespondence(2);
  ASSERT_TRUE(unread->Locate("_ID_ROUTE", static_cast<int64_t>(third)));
  const int32_t letter = unread->FieldByName("_ID_LETTER").AsInteger();
  EXPECT_TRUE(MarkLetterRead(*reader, letter));
  EXPECT_EQ(unreadOf(third), 1);
  author->DeleteProcess(third);
  EXPECT_FALSE(MarkLetterRead(*reader, letter));
}

}  // namespace
}  // namespace brevalon::faults
