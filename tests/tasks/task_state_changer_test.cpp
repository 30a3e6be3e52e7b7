// Task state changes and deletion through the SetStateForTask and DeleteTask
// handlers, with the author and the executor in separate sessions against
// the reference servers: the workflow state after each step, the letter each
// step sends, and the state both users' clients then show.
#include "tasks/task_state_changer.h"

#include <gtest/gtest.h>

#include "appserver/sqlite.h"
#include "pdm/app_brevalon.h"
#include "protocol/data_type_exception.h"
#include "task_flow_support.h"

namespace brevalon::testing {
namespace {

TEST(RevocationText, QuotesTheReasonAsGiven) {
  EXPECT_EQ(RevocationText(""), "Задание отозвано без указания причины");
  EXPECT_EQ(RevocationText(" "), "Задание отозвано по причине: \" \"");
  EXPECT_EQ(RevocationText("нет \"чертежа\""), "Задание отозвано по причине: \"нет \"чертежа\"\"");
}

class TaskStateChangerTest : public TaskFlowTest {
 protected:
  void SetUp() override {
    TaskFlowTest::SetUp();
    author_ = Session("ivanov");
    executor_ = Session("sidorov");
    ivanov_ = UserId("ivanov");
    sidorov_ = UserId("sidorov");
    role_ = RoleId("sidorov", "Конструктор");
  }

  // Creates a task for sidorov and returns its stage (the client's task id).
  int32_t NewTask(const std::string& subject, bool start, int64_t date = 0) {
    author_->CreateTask(CreateRequest(subject, "Текст", date, start, {sidorov_}, {role_}));
    const auto routes = RoutesNamed("ivanov", "{0200000000}" + subject);
    EXPECT_EQ(routes.size(), 1u);
    route_ = routes.empty() ? 0 : routes[0];
    const auto items = Items(route_);
    EXPECT_EQ(items.size(), 3u);
    check_ = items.size() > 1 ? items[1].Id : 0;
    return items.empty() ? 0 : items[0].Id;
  }

  int32_t StageState(int32_t stage) {
    TDataSetPtr info = WF().GetInfoAboutStage(stage);
    if (info->IsEmpty()) return -1;
    info->First();
    return info->FieldByName("_STATE").AsInteger();
  }

  // Both clients show the task in `state`.
  void ExpectBothSee(int32_t task, TTaskState state) {
    EXPECT_EQ(ClientState(*author_, "uid-ivanov", task), state) << "author";
    EXPECT_EQ(ClientState(*executor_, "uid-sidorov", task), state) << "executor";
  }

  std::unique_ptr<TSessionLogic> author_, executor_;
  int32_t ivanov_ = 0, sidorov_ = 0, role_ = 0, route_ = 0, check_ = 0;
};

TEST_F(TaskStateChangerTest, WholeLifeCycle) {
  const int32_t task = NewTask("Жизнь задания", false, kDate1);
  EXPECT_EQ(ClientState(*author_, "uid-ivanov", task), tsPlanned);
  EXPECT_EQ(ClientState(*executor_, "uid-sidorov", task), -1);

  struct Step {
    TSessionLogic* who;
    int32_t action;
    TTaskState state;      // both clients afterwards
    int32_t stage, check;  // stage states afterwards
    FlowLetter letter;     // the letter the step sends
  };
  const Step steps[] = {
      {author_.get(),
       taIssue,
       tsSend,
       2,
       0,
       {ivanov_, sidorov_, "{NewTask}",
        "[BPInfo]\r\nSubj=Жизнь задания\r\nDatePlan=20.12.2026 9:30:00\r\n\r\n"}},
      {executor_.get(),
       taSetToWork,
       tsInWork,
       3,
       0,
       {sidorov_, ivanov_, "{SetToWork}", "Задание взято в работу"}},
      {executor_.get(),
       taComplete,
       tsInChecked,
       4,
       2,
       {sidorov_, ivanov_, "Жизнь задания", "Задание выполнено"}},
      {author_.get(),
       taReturn,
       tsInWork,
       3,
       0,
       {ivanov_, sidorov_, "Жизнь задания", "Задание возвращено"}},
      {executor_.get(),
       taComplete,
       tsInChecked,
       4,
       2,
       {sidorov_, ivanov_, "Жизнь задания", "Задание выполнено"}},
  };
  size_t letters = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.action);
    s.who->SetStateForTask(StateRequest(task, s.action));
    EXPECT_EQ(RouteState(route_), 1);
    EXPECT_EQ(StageState(task), s.stage);
    EXPECT_EQ(StageState(check_), s.check);
    const auto all = Letters(route_);
    ASSERT_EQ(all.size(), ++letters);
    EXPECT_EQ(all.back().Author, s.letter.Author);
    EXPECT_EQ(all.back().Recipient, s.letter.Recipient);
    EXPECT_EQ(all.back().Subject, s.letter.Subject);
    EXPECT_EQ(all.back().Body, s.letter.Body);
    ExpectBothSee(task, s.state);
  }

  // Accepting completes the check stage; the route reaches the finishing
  // operation and the process ends. No letter.
  author_->SetStateForTask(StateRequest(task, taAccept));
  EXPECT_EQ(StageState(check_), 4);
  EXPECT_EQ(RouteState(route_), 3);
  EXPECT_EQ(Letters(route_).size(), letters);
  ExpectBothSee(task, tsComleted);

  // The check stage is no longer open: accepting or returning again changes
  // nothing and sends nothing.
  author_->SetStateForTask(StateRequest(task, taAccept));
  author_->SetStateForTask(StateRequest(task, taReturn));
  EXPECT_EQ(StageState(task), 4);
  EXPECT_EQ(Letters(route_).size(), letters);
}

TEST_F(TaskStateChangerTest, RevokeAndReissue) {
  const int32_t task = NewTask("Отзыв", true);
  executor_->SetStateForTask(StateRequest(task, taSetToWork));

  const struct {
    std::string reason;
    std::string body;
  } revocations[] = {
      {"", "Задание отозвано без указания причины"},
      {" ", "Задание отозвано по причине: \" \""},
      {"Нет чертежа", "Задание отозвано по причине: \"Нет чертежа\""},
  };
  for (const auto& r : revocations) {
    SCOPED_TRACE(r.reason);
    author_->SetStateForTask(StateRequest(task, taRevoke, r.reason));
    EXPECT_EQ(RouteState(route_), 2);
    auto letters = Letters(route_);
    EXPECT_EQ(letters.back().Recipient, sidorov_);
    EXPECT_EQ(letters.back().Subject, "Отзыв");
    EXPECT_EQ(letters.back().Body, r.body);
    ExpectBothSee(task, tsRevoked);

    author_->SetStateForTask(StateRequest(task, taReissue));
    EXPECT_EQ(RouteState(route_), 1);
    letters = Letters(route_);
    EXPECT_EQ(letters.back().Recipient, sidorov_);
    EXPECT_EQ(letters.back().Subject, "Отзыв");
    EXPECT_EQ(letters.back().Body, "Задание выдано повторно");
    // Resuming leaves the stage as it was: still in work.
    ExpectBothSee(task, tsInWork);
  }
}

TEST_F(TaskStateChangerTest, RevokingWithdrawsTheExecutorsGrants) {
  // Seeded: ivanov's running process "Доработать чертёж вала", executed by
  // sidorov, with the documents "Вал приводной" (sidorov read-write) and
  // "Редуктор" attached; ivanov administers both.
  TDataSetPtr rows = WF().GetTaskListForUser(sidorov_, 1, 15, 2);
  int32_t task = 0, route = 0;
  for (rows->First(); !rows->Eof(); rows->Next()) {
    if (rows->FieldByName("_ROUTENAME").AsString() == "{0200000000}Доработать чертёж вала") {
      task = rows->FieldByName("_ID_OPERATION").AsInteger();
      route = rows->FieldByName("_ID_ROUTE").AsInteger();
    }
  }
  ASSERT_NE(task, 0);
  TDataSetPtr docs = WF().GetAttachDocumentListIntoProcess(route);
  std::string ids;
  for (docs->First(); !docs->Eof(); docs->Next())
    ids +=
        (ids.empty() ? "" : ",") + std::to_string(docs->FieldByName("_PDM_OBJECT_ID").AsInteger());
  ASSERT_FALSE(ids.empty());

  auto levels = [&] {
    auto p = Proxies("sidorov");
    std::map<int32_t, int32_t> out;
    TDataSetPtr v = p.Main->GetPropObjects2(0, ids, 0);
    for (v->First(); !v->Eof(); v->Next())
      out[v->FieldByName("_ID_VERSION").AsInteger()] = v->FieldByName("_ACCESSLEVEL").AsInteger();
    return out;
  };
  const auto before = levels();
  ASSERT_EQ(before.size(), 2u);
  EXPECT_TRUE(
      std::any_of(before.begin(), before.end(), [](const auto& kv) { return kv.second == 2; }));

  author_->SetStateForTask(StateRequest(task, taRevoke, "Отменено"));
  EXPECT_EQ(RouteState(route), 2);
  for (const auto& [id, level] : levels()) EXPECT_EQ(level, 0) << id;
  ExpectBothSee(task, tsRevoked);
}

TEST_F(TaskStateChangerTest, ActionCodes) {
  const int32_t task = NewTask("Коды", false);
  // Codes outside 1..7 after the seven-bit selection change nothing.
  for (int32_t code : {0, 8, 127, 128}) {
    author_->SetStateForTask(StateRequest(task, code));
    EXPECT_EQ(RouteState(route_), 0) << code;
    EXPECT_TRUE(Letters(route_).empty()) << code;
  }
  // 129 selects the issue.
  author_->SetStateForTask(StateRequest(task, 129));
  EXPECT_EQ(RouteState(route_), 1);
  const auto letters = Letters(route_);
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(letters[0].Subject, "{NewTask}");
  // Without a planned date the notice has no DatePlan line.
  EXPECT_EQ(letters[0].Body, "[BPInfo]\r\nSubj=Коды\r\n\r\n");
  // Returning while the check stage is not open does nothing.
  author_->SetStateForTask(StateRequest(task, taReturn));
  EXPECT_EQ(StageState(task), 2);
  EXPECT_EQ(Letters(route_).size(), 1u);
}

TEST_F(TaskStateChangerTest, NoLetterToAnAuthorlessProcess) {
  const int32_t task = NewTask("Без автора", true);
  const size_t before = Letters(route_).size();
  // A process whose owner is unknown (0) to the workflow server.
  Server().GetStore().Write([&](appserver::SqliteDb& db) {
    appserver::Statement(db, "UPDATE routes SET owner_id = 0 WHERE id = ?")
        .Bind(1, int64_t{route_})
        .Run();
  });
  executor_->SetStateForTask(StateRequest(task, taSetToWork));
  executor_->SetStateForTask(StateRequest(task, taComplete));
  EXPECT_EQ(StageState(task), 4);
  EXPECT_EQ(Letters(route_).size(), before);
}

TEST_F(TaskStateChangerTest, Refusals) {
  TSessionLogic fresh;
  EXPECT_THROW(fresh.SetStateForTask("%%%"), EConnectionException);
  EXPECT_THROW(fresh.DeleteTask("%%%"), EConnectionException);
  EXPECT_THROW(author_->SetStateForTask("AAAA"), EDataTypeException);
  EXPECT_THROW(author_->DeleteTask("AAAA"), EDataTypeException);
  try {
    author_->SetStateForTask(StateRequest(987654, taIssue));
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Process with operation id=[987654] not found");
  }
}

TEST_F(TaskStateChangerTest, DeleteTask) {
  const int32_t task = NewTask("Удалить", true);
  ASSERT_NE(task, 0);
  // Only the owner may delete; the server's refusal comes back unchanged.
  EXPECT_THROW(executor_->DeleteTask(client::EncodeRequest("DeleteTask", {{"FIdRoute", route_}})),
               EApiException);
  EXPECT_EQ(RouteState(route_), 1);

  author_->DeleteTask(client::EncodeRequest("DeleteTask", {{"FIdRoute", route_}}));
  EXPECT_EQ(RouteState(route_), -1);
  EXPECT_EQ(ClientState(*author_, "uid-ivanov", task), -1);
  EXPECT_EQ(ClientState(*executor_, "uid-sidorov", task), -1);

  try {
    author_->DeleteTask(client::EncodeRequest("DeleteTask", {{"FIdRoute", route_}}));
    FAIL() << "no failure";
  } catch (const EApiException& e) {
    EXPECT_EQ(std::string(e.what()), "Process with id=[" + std::to_string(route_) + "] not found");
  }
}

}  // namespace
}  // namespace brevalon::testing
