// Task editing through the EditTask handler against the reference servers:
// what changes on the workflow server, the letters to the previous and the
// new executor, and what the clients then show.
#include "tasks/task_editor.h"

#include <gtest/gtest.h>

#include "protocol/data_type_exception.h"
#include "task_flow_support.h"
#include "tasks/task_creator.h"
#include "tasks/task_state_changer.h"

namespace brevalon::testing {
namespace {

class TaskEditorTest : public TaskFlowTest {
 protected:
  void SetUp() override {
    TaskFlowTest::SetUp();
    author_ = Session("ivanov");
    sidorov_ = UserId("sidorov");
    smirnov_ = UserId("smirnov");
    role_ = RoleId("sidorov", "Конструктор");
  }

  // A task for sidorov; returns its stage.
  int32_t NewTask(const std::string& subject, bool start, int64_t date) {
    author_->CreateTask(CreateRequest(subject, "Старый текст", date, start, {sidorov_}, {role_}));
    const auto routes = RoutesNamed("ivanov", "{0200000000}" + subject);
    EXPECT_EQ(routes.size(), 1u);
    route_ = routes.empty() ? 0 : routes[0];
    const auto items = Items(route_);
    return items.empty() ? 0 : items[0].Id;
  }

  FlowItem Stage(int32_t id) {
    for (const auto& i : Items(route_))
      if (i.Id == id) return i;
    ADD_FAILURE() << "no stage " << id;
    return {};
  }

  std::unique_ptr<TSessionLogic> author_;
  int32_t sidorov_ = 0, smirnov_ = 0, role_ = 0, route_ = 0;
};

TEST_F(TaskEditorTest, NewExecutorOfATaskInWork) {
  auto sidorov = Session("sidorov");
  auto smirnov = Session("smirnov");
  const int32_t task = NewTask("Передать", true, kDate1);
  sidorov->SetStateForTask(StateRequest(task, taSetToWork));
  const size_t before = Letters(route_).size();

  author_->EditTask(EditRequest(task, "Передать", "Старый текст", kDate1, smirnov_, role_));

  const FlowItem s = Stage(task);
  EXPECT_EQ(s.User, smirnov_);
  EXPECT_EQ(s.Role, role_);
  EXPECT_EQ(s.State, 2);  // issued anew, not in work
  EXPECT_EQ(RouteState(route_), 1);
  const auto letters = Letters(route_);
  ASSERT_EQ(letters.size(), before + 2);
  EXPECT_EQ(letters[before].Recipient, sidorov_);
  EXPECT_EQ(letters[before].Subject, "Передать");
  EXPECT_EQ(letters[before].Body, "Изменен исполнитель\r\n");
  EXPECT_EQ(letters[before + 1].Recipient, smirnov_);
  EXPECT_EQ(letters[before + 1].Subject, "{NewTask}");
  EXPECT_EQ(letters[before + 1].Body,
            "[BPInfo]\r\nSubj=Передать\r\nDatePlan=20.12.2026 9:30:00\r\n\r\n");

  EXPECT_EQ(ClientState(*smirnov, "uid-smirnov", task), tsSend);
  EXPECT_EQ(ClientState(*sidorov, "uid-sidorov", task), -1);
  EXPECT_EQ(ClientState(*author_, "uid-ivanov", task), tsSend);
}

TEST_F(TaskEditorTest, SubjectTextAndDateOfARunningTask) {
  auto sidorov = Session("sidorov");
  const int32_t task = NewTask("Тема", true, kDate1);
  const size_t before = Letters(route_).size();

  author_->EditTask(EditRequest(task, "Новая тема", "Новый текст", kDate2, sidorov_, role_));

  EXPECT_EQ(RouteName(route_), "{0200000000}Новая тема");
  const FlowItem s = Stage(task);
  EXPECT_EQ(s.Task, "Новый текст");
  EXPECT_EQ(s.DatePlan, Day(kDate2));
  EXPECT_EQ(s.State, 2);
  EXPECT_EQ(RouteState(route_), 1);
  // One letter to the executor, under the previous subject, the lines in
  // the order the changes were applied.
  const auto letters = Letters(route_);
  ASSERT_EQ(letters.size(), before + 1);
  EXPECT_EQ(letters.back().Recipient, sidorov_);
  EXPECT_EQ(letters.back().Subject, "Тема");
  EXPECT_EQ(letters.back().Body,
            "Изменена тема задания\r\nИзменен срок выполнения\r\nИзменен текст задания\r\n");

  const auto tasks = ClientTasks(*sidorov, "uid-sidorov");
  ASSERT_TRUE(tasks.count(task));
  EXPECT_EQ(tasks.at(task).at("FTitle").as_string(), "Новая тема");
  EXPECT_EQ(tasks.at(task).at("FText").as_string(), "Новый текст");
  EXPECT_EQ(tasks.at(task).at("FCriticalDate").to_number<int64_t>(), kDate2);

  // Clearing the date: the term becomes 0.
  author_->EditTask(EditRequest(task, "Новая тема", "Новый текст", 0, sidorov_, role_));
  EXPECT_EQ(Stage(task).DatePlan, 0.0);
  EXPECT_EQ(Letters(route_).back().Body, "Изменен срок выполнения\r\n");
  EXPECT_EQ(Letters(route_).back().Subject, "Новая тема");
}

TEST_F(TaskEditorTest, UnchangedOrRoleOnlyChangesNothing) {
  const int32_t task = NewTask("Без изменений", true, kDate1);
  const size_t before = Letters(route_).size();
  author_->EditTask(EditRequest(task, "Без изменений", "Старый текст", kDate1, sidorov_, role_));
  // The role alone is not compared.
  author_->EditTask(EditRequest(task, "Без изменений", "Старый текст", kDate1, sidorov_, 0));
  EXPECT_EQ(Letters(route_).size(), before);
  EXPECT_EQ(Stage(task).Role, role_);
  EXPECT_EQ(RouteState(route_), 1);
}

TEST_F(TaskEditorTest, PlannedTaskChangesSilently) {
  auto smirnov = Session("smirnov");
  const int32_t task = NewTask("План", false, 0);

  author_->EditTask(EditRequest(task, "План 2", "Другой текст", kDate2, smirnov_, role_));

  EXPECT_EQ(RouteState(route_), 0);
  EXPECT_EQ(RouteName(route_), "{0200000000}План 2");
  const FlowItem s = Stage(task);
  EXPECT_EQ(s.User, smirnov_);
  EXPECT_EQ(s.Task, "Другой текст");
  EXPECT_EQ(s.DatePlan, Day(kDate2));
  EXPECT_EQ(s.State, 0);
  EXPECT_TRUE(Letters(route_).empty());
  EXPECT_EQ(ClientState(*author_, "uid-ivanov", task), tsPlanned);
  EXPECT_EQ(ClientState(*smirnov, "uid-smirnov", task), -1);
}

TEST_F(TaskEditorTest, SubjectKeepsKindAndTag) {
  auto p = Proxies("ivanov");
  TBProcTask agree(*p.WorkFlow, *p.Main, 0);
  agree.CreatePocess("Согласовать", "т", 0, 7, role_, sidorov_, Variant::Null(), Variant::Null(),
                     true, bpkTaskAgree, *p.WorkFlow);
  route_ = agree.ProcessId();
  const int32_t task = Items(route_)[0].Id;
  author_->EditTask(EditRequest(task, "Согласовать срочно", "т", 0, sidorov_, role_));
  EXPECT_EQ(RouteName(route_), "{0300000007}Согласовать срочно");
}

TEST_F(TaskEditorTest, Refusals) {
  TSessionLogic fresh;
  EXPECT_THROW(fresh.EditTask("%%%"), EConnectionException);
  EXPECT_THROW(author_->EditTask("AAAA"), EDataTypeException);
  try {
    author_->EditTask(EditRequest(876543, "x", "y", 0, sidorov_, role_));
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Process with operation id=[876543] not found");
  }
}

}  // namespace
}  // namespace brevalon::testing
