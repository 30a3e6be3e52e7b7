// The task list: task states, which workflow rows are tasks, the lists of the
// seeded users, differences against the client's version, new tasks and new
// correspondence, driven through the GetTaskList handler against the
// reference servers.
#include "tasks/task_list.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>

#include "domain_fixture.h"
#include "list_test_support.h"
#include "protocol/request_records.h"
#include "util/process_name.h"

namespace brevalon::testing {
namespace {

TEST(TaskStateOfTest, FirstMatchingRowDecides) {
  struct Case {
    int32_t wf, stage;
    TTaskState expected;
  };
  const Case cases[] = {
      {0, 0, tsPlanned},  {0, 4, tsPlanned},  {1, 4, tsInChecked}, {2, 3, tsRevoked},
      {2, 4, tsRevoked},  {1, 2, tsSend},     {1, 3, tsInWork},    {1, 6, tsComleted},
      {3, 4, tsComleted}, {3, 6, tsComleted}, {3, 2, tsSend},      {1, 5, tsUnknown},
      {1, 0, tsUnknown},  {7, 3, tsInWork},   {-1, 9, tsUnknown},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TaskStateOf(c.wf, c.stage), c.expected) << c.wf << "/" << c.stage;
}

TEST(IsVisibleTaskTest, OnlyIssuedTaskStagesOfSomebodyElse) {
  constexpr int32_t kMe = 10;
  struct Case {
    const char* route;
    const char* owner;
    const char* executor;
    int32_t wf, idUser;
    bool visible;
  };
  const Case cases[] = {
      {"{0200000000}Задание", "ivanov", "sidorov", 1, 20, true},
      {"{0300000001}Согласовать", "ivanov", "sidorov", 1, 20, true},
      {"{0600000001}Ознакомиться", "ivanov", "sidorov", 1, 20, true},
      {"{0400000000}Старый код", "ivanov", "sidorov", 1, 20, true},
      {"{0100000000}Лист согласования", "ivanov", "sidorov", 1, 20, false},
      {"Общая переписка", "ivanov", "ivanov", 1, 10, false},
      {"Задание без префикса", "ivanov", "sidorov", 1, 20, false},
      {"{0200000000}Без автора", "", "sidorov", 1, 20, false},
      {"{0200000000}Без исполнителя", "ivanov", "", 1, 20, false},
      {"{0200000000}Проверка автором", "ivanov", "ivanov", 1, 10, false},
      {"{0200000000}Регистр имён", "Ivanov", "ivanov", 1, 10, true},
      {"{0200000000}Не выдано, автору", "ivanov", "sidorov", 0, 20, true},
      {"{0200000000}Не выдано, исполнителю", "ivanov", "me", 0, kMe, false},
      {"{0200000000}Выдано исполнителю", "ivanov", "me", 1, kMe, true},
  };
  Dataset rows;
  rows.AddField("_ROUTENAME", FieldType::Text);
  rows.AddField("_OWNERNAME", FieldType::Text);
  rows.AddField("_USERNAME", FieldType::Text);
  rows.AddField("_WF_STATE", FieldType::Int32);
  rows.AddField("_ID_USER", FieldType::Int32);
  for (const Case& c : cases) {
    rows.AppendRow({c.route, c.owner, c.executor, c.wf, c.idUser});
    EXPECT_EQ(IsVisibleTask(rows, kMe), c.visible) << c.route;
  }
}

class TaskListTest : public DomainTest {
 protected:
  static boost::json::object Request(int32_t version, int32_t corrVersion,
                                     const char* uid = "dev1") {
    return {
        {"FStUID", uid}, {"FNDataSetVersion", version}, {"FNIncommingCorrespVersion", corrVersion}};
  }
  boost::json::object TaskList(TSessionLogic& s, int32_t version, int32_t corrVersion,
                               const char* uid = "dev1") {
    return CallReading(s, &TSessionLogic::GetTaskList, "GetTaskList",
                       Request(version, corrVersion, uid));
  }
  static const boost::json::object* TaskTitled(const boost::json::object& list,
                                               const std::string& title) {
    for (const auto& t : list.at("tasks").as_array())
      if (Str(t.at("FTitle")) == title) return &t.as_object();
    return nullptr;
  }
};

TEST_F(TaskListTest, SeededUsersSeeTheirTasksWithStatesAndNewCorrespondence) {
  // (title, state, has attachments) per user; a stage the author executes
  // himself, the common correspondence process and a not yet issued task
  // seen by its executor are never listed.
  using Entry = std::tuple<std::string, int, bool>;
  const std::map<std::string, std::vector<Entry>> expected = {
      {"ivanov",
       {{"Доработать чертёж вала", tsInWork, true},
        {"Обновить спецификацию редуктора", tsPlanned, true},
        {"Проверить допуски шестерни", tsRevoked, true}}},
      {"kuznetsova",
       {{"Разработать техпроцесс обработки вала", tsSend, true},
        {"Проверить допуски шестерни", tsRevoked, true}}},
      {"petrova",
       {{"Разработать техпроцесс обработки вала", tsSend, true},
        {"Согласовать маршрутную карту", tsComleted, true}}},
      {"popova", {{"Согласовать маршрутную карту", tsComleted, true}}},
      {"volkov", {{"Нормоконтроль корпуса", tsInChecked, true}}},
      {"smirnov", {}},
  };
  // Processes with unread letters other than "{NewTask}" notices.
  const std::map<std::string, std::string> newCorrespondence = {
      {"ivanov", "Доработать чертёж вала"}, {"volkov", "Нормоконтроль корпуса"}};

  for (const auto& [login, tasks] : expected) {
    SCOPED_TRACE(login);
    auto s = Session(login);
    const boost::json::object list = TaskList(*s, 0, 0);
    EXPECT_EQ(Int(list.at("version")), 1);
    std::vector<Entry> got;
    for (const auto& t : list.at("tasks").as_array())
      got.emplace_back(Str(t.at("FTitle")), Int(t.at("FState")), t.at("FHasAttachments").as_bool());
    std::sort(got.begin(), got.end());
    std::vector<Entry> want = tasks;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    // A full answer reports no new or deleted ids.
    EXPECT_TRUE(list.at("newTaskIds").as_array().empty());
    EXPECT_TRUE(list.at("deletedTaskIds").as_array().empty());

    auto it = newCorrespondence.find(login);
    if (it == newCorrespondence.end()) {
      EXPECT_TRUE(list.at("newCorrespondenceRoutes").as_array().empty());
      EXPECT_EQ(Int(list.at("correspondenceVersion")), 0);
    } else {
      EXPECT_EQ(Ints(list.at("newCorrespondenceRoutes")),
                std::vector<int32_t>{RouteNamed(s->AppWorkFlow(), "{0200000000}" + it->second)});
      EXPECT_EQ(Int(list.at("correspondenceVersion")), 1);
    }
  }
}

TEST_F(TaskListTest, TaskFieldsComeFromTheStageAndItsProcess) {
  auto s = Session("ivanov");
  const int32_t sidorov = Session("sidorov")->AppWorkFlow().ID_User();
  const boost::json::object list = TaskList(*s, 0, 0);

  const auto* work = TaskTitled(list, "Доработать чертёж вала");
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(Str(work->at("FText")), "Учесть замечания технолога и выпустить вал в версии 2");
  EXPECT_EQ(Int(work->at("FIdRoute")),
            RouteNamed(s->AppWorkFlow(), "{0200000000}Доработать чертёж вала"));
  EXPECT_EQ(Int(work->at("FIdAuthor")), s->AppWorkFlow().ID_User());
  EXPECT_EQ(Int(work->at("FIdExecutor")), sidorov);
  // Planned end 2024-05-20 00:00, process started 2024-05-02 09:00 (both
  // local, so the difference does not depend on the time zone).
  EXPECT_EQ(work->at("FCriticalDate").as_int64() - work->at("FSendDate").as_int64(),
            17 * 86400 + 15 * 3600);

  const auto* planned = TaskTitled(list, "Обновить спецификацию редуктора");
  ASSERT_NE(planned, nullptr);
  EXPECT_EQ(planned->at("FSendDate").as_int64(), 0);  // not started: no date
  EXPECT_NE(planned->at("FCriticalDate").as_int64(), 0);
}

TEST_F(TaskListTest, DifferencesAgainstTheClientsVersion) {
  auto s = Session("ivanov");
  ASSERT_EQ(Int(TaskList(*s, 0, 0).at("version")), 1);

  // Nothing changed: no rows, no ids, and still the next version; the
  // unread letter already reported is not reported again.
  boost::json::object list = TaskList(*s, 1, 1);
  EXPECT_EQ(Int(list.at("version")), 2);
  EXPECT_TRUE(list.at("tasks").as_array().empty());
  EXPECT_TRUE(list.at("deletedTaskIds").as_array().empty());
  EXPECT_TRUE(list.at("newTaskIds").as_array().empty());
  EXPECT_TRUE(list.at("newCorrespondenceRoutes").as_array().empty());
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 2);

  // A deleted process: both its stages go, also the author's own check stage
  // that was never shown as a task.
  const int32_t route = RouteNamed(s->AppWorkFlow(), "{0200000000}Обновить спецификацию редуктора");
  std::vector<int32_t> stages;
  {
    TDataSetPtr rows = s->AppWorkFlow().GetTaskListForUser(s->AppWorkFlow().ID_User(), 3, 15, 2);
    for (rows->First(); !rows->Eof(); rows->Next())
      if (rows->FieldByName("_ID_ROUTE").AsInteger() == route)
        stages.push_back(rows->FieldByName("_ID_OPERATION").AsInteger());
  }
  ASSERT_EQ(stages.size(), 2u);
  std::sort(stages.rbegin(), stages.rend());
  s->AppWorkFlow().DeleteProcess(route);
  list = TaskList(*s, 2, 2);
  EXPECT_EQ(Int(list.at("version")), 3);
  EXPECT_TRUE(list.at("tasks").as_array().empty());
  EXPECT_EQ(Ints(list.at("deletedTaskIds")), stages);

  // The answer that created version 3 was lost: asking again from 2 gives
  // the same difference.
  list = TaskList(*s, 2, 2);
  EXPECT_EQ(Int(list.at("version")), 3);
  EXPECT_EQ(Ints(list.at("deletedTaskIds")), stages);

  // A version whose snapshot is gone (another device's numbering, a cleared
  // cache) gives the whole list again from version 1.
  list = TaskList(*s, 57, 0);
  EXPECT_EQ(Int(list.at("version")), 1);
  EXPECT_EQ(list.at("tasks").as_array().size(), 2u);
  EXPECT_TRUE(list.at("deletedTaskIds").as_array().empty());
  std::filesystem::remove_all(TUIDManager::CachePath("dev1"));
  // ... also when the client's whole cache directory went away.
  list = TaskList(*s, 3, 0);
  EXPECT_EQ(Int(list.at("version")), 1);
  EXPECT_EQ(list.at("tasks").as_array().size(), 2u);
}

TEST_F(TaskListTest, ATaskIssuedBySomebodyElseIsNewAndItsNoticeIsConsumed) {
  auto executor = Session("sidorov");
  auto author = Session("ivanov");
  const int32_t sidorov = executor->AppWorkFlow().ID_User();
  ASSERT_EQ(Int(TaskList(*executor, 0, 0).at("version")), 1);
  ASSERT_EQ(Int(TaskList(*author, 0, 0, "dev2").at("version")), 1);

  TAppWorkFlow& wf = author->AppWorkFlow();
  BuiltProcess p =
      BuildProcess(wf, EncodeProcessName(bpkTask, 0, "Проверить крепёж"), 0, {{sidorov, 0}});
  wf.SetStateOfProcess(p.Route, 1);
  const int32_t notice = SendLetter(wf, p.Route, sidorov, kNewTaskLetterSubject, "[BPInfo]\r\n");
  ASSERT_EQ(UnreadLetters(executor->AppWorkFlow()), std::vector<int32_t>{notice});

  boost::json::object list = TaskList(*executor, 1, 0);
  ASSERT_EQ(list.at("tasks").as_array().size(), 1u);
  const auto& task = list.at("tasks").as_array()[0].as_object();
  EXPECT_EQ(Str(task.at("FTitle")), "Проверить крепёж");
  EXPECT_EQ(Int(task.at("FState")), tsSend);
  EXPECT_FALSE(task.at("FHasAttachments").as_bool());  // no PDM object
  EXPECT_EQ(Ints(list.at("newTaskIds")), p.Stages);
  // The notice is read now and never counts as correspondence.
  EXPECT_TRUE(list.at("newCorrespondenceRoutes").as_array().empty());
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 0);
  EXPECT_TRUE(UnreadLetters(executor->AppWorkFlow()).empty());

  // The author sees the task change too, but it is not new to him.
  list = TaskList(*author, 1, 1, "dev2");
  EXPECT_EQ(list.at("tasks").as_array().size(), 1u);
  EXPECT_TRUE(list.at("newTaskIds").as_array().empty());
}

TEST_F(TaskListTest, NewCorrespondenceReportsEachProcessOnceAndSkipsTheCommonProcess) {
  auto ivanov = Session("ivanov");
  auto sidorov = Session("sidorov");
  TAppWorkFlow& wf = sidorov->AppWorkFlow();
  const int32_t me = ivanov->AppWorkFlow().ID_User();
  const int32_t shaft = RouteNamed(wf, "{0200000000}Доработать чертёж вала");
  const int32_t common = FindCommonCorrespondenceRoute(ivanov->AppWorkFlow());
  ASSERT_NE(common, 0);
  EXPECT_EQ(common, RouteNamed(ivanov->AppWorkFlow(), kCommonCorrespondenceRouteName));
  EXPECT_NE(common, FindCommonCorrespondenceRoute(wf));

  // Letters in ivanov's common process, a "{NewTask}" one among them, are
  // neither reported nor consumed.
  const int32_t c1 = SendLetter(wf, common, me, "Привет", "Общий вопрос");
  const int32_t c2 = SendLetter(wf, common, me, kNewTaskLetterSubject, "[BPInfo]\r\n");
  SendLetter(wf, shaft, me, "{0200000000}Доработать чертёж вала", "Ещё вопрос");

  const boost::json::object list = TaskList(*ivanov, 0, 0);
  EXPECT_EQ(Ints(list.at("newCorrespondenceRoutes")), std::vector<int32_t>{shaft});
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 1);
  const std::vector<int32_t> unread = UnreadLetters(ivanov->AppWorkFlow());
  EXPECT_NE(std::find(unread.begin(), unread.end(), c1), unread.end());
  EXPECT_NE(std::find(unread.begin(), unread.end(), c2), unread.end());
}

TEST_F(TaskListTest, TheFirstLetterReachesAClientThatHadNoNewCorrespondence) {
  auto ivanov = Session("ivanov");
  auto sidorov = Session("sidorov");
  // sidorov has read everything: his new-correspondence version stays 0.
  boost::json::object list = TaskList(*sidorov, 0, 0);
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 0);
  EXPECT_TRUE(list.at("newCorrespondenceRoutes").as_array().empty());

  const int32_t shaft = RouteNamed(ivanov->AppWorkFlow(), "{0200000000}Доработать чертёж вала");
  SendLetter(ivanov->AppWorkFlow(), shaft, sidorov->AppWorkFlow().ID_User(), "Тема", "Первое");
  SendLetter(ivanov->AppWorkFlow(), shaft, sidorov->AppWorkFlow().ID_User(), "Тема", "Второе");
  list = TaskList(*sidorov, 1, 0);
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 1);
  EXPECT_EQ(Ints(list.at("newCorrespondenceRoutes")), std::vector<int32_t>{shaft});

  // A third letter is new against version 1; the process is reported once.
  SendLetter(ivanov->AppWorkFlow(), shaft, sidorov->AppWorkFlow().ID_User(), "Тема", "Третье");
  list = TaskList(*sidorov, 2, 1);
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 2);
  EXPECT_EQ(Ints(list.at("newCorrespondenceRoutes")), std::vector<int32_t>{shaft});
}

TEST_F(TaskListTest, HandlerRefusesBeforeSignInAndMalformedRequests) {
  TSessionLogic fresh;
  boost::json::object answer;
  EXPECT_THROW(fresh.GetTaskList(answer, "not base64 at all!"), EConnectionException);
  EXPECT_TRUE(answer.empty());

  auto s = Session("ivanov");
  EXPECT_THROW(s->GetTaskList(answer, client::EncodeRequest("GetUserList", {{"FStUID", "dev1"}})),
               EDataTypeException);
  EXPECT_THROW(s->GetTaskList(answer, client::EncodeRequest("GetTaskList", {{"FStUID", "../x"}})),
               EDataTypeException);
  EXPECT_TRUE(answer.empty());
  EXPECT_TRUE(s->Connected());
}

}  // namespace
}  // namespace brevalon::testing
