// Task correspondence between a task's author and its executor, each in his
// own session: sending, reading as a difference, marking read; the choice of
// the recipient; the common correspondence process left alone.
#include "tasks/task_correspondence.h"

#include <algorithm>

#include "domain_fixture.h"
#include "list_test_support.h"
#include "tasks/task_list.h"
#include "util/process_name.h"

namespace brevalon::testing {
namespace {

class TaskCorrespondenceTest : public DomainTest {
 protected:
  static constexpr const char* kShaftRoute = "{0200000000}Доработать чертёж вала";

  boost::json::object Letters(TSessionLogic& s, int32_t idTask, int32_t version,
                              const char* uid = "dev1") {
    return CallReading(s, &TSessionLogic::GetCorrespondence, "GetCorrespondence",
                       {{"FStUID", uid}, {"FNDataSetVersion", version}, {"FIdTask", idTask}});
  }
  static void Send(TSessionLogic& s, int32_t idTask, const std::string& text) {
    s.SendMessage(
        client::EncodeRequest("SendMessage", {{"FIdTask", idTask}, {"FStMessage", text}}));
  }
  static void MarkRead(TSessionLogic& s, int32_t idRoute) {
    s.SetTaskCorrespondenceRead(
        client::EncodeRequest("SetTaskCorrespondenceRead", {{"FIdRoute", idRoute}}));
  }
  // The stage of `route` that `login`'s session executes.
  static int32_t StageOf(TSessionLogic& s, int32_t route) {
    TAppWorkFlow& wf = s.AppWorkFlow();
    TDataSetPtr rows = wf.GetTaskListForUser(wf.ID_User(), 1, 15, 2);
    for (rows->First(); !rows->Eof(); rows->Next())
      if (rows->FieldByName("_ID_ROUTE").AsInteger() == route)
        return rows->FieldByName("_ID_OPERATION").AsInteger();
    return 0;
  }
  static std::vector<std::string> Texts(const boost::json::object& answer) {
    std::vector<std::string> texts;
    for (const auto& l : answer.at("letters").as_array()) texts.push_back(Str(l.at("FText")));
    std::sort(texts.begin(), texts.end());
    return texts;
  }
};

TEST_F(TaskCorrespondenceTest, AuthorAndExecutorExchangeMessages) {
  auto author = Session("ivanov");
  auto executor = Session("sidorov");
  const int32_t route = RouteNamed(author->AppWorkFlow(), kShaftRoute);
  const int32_t task = StageOf(*executor, route);
  ASSERT_NE(task, 0);

  // The executor writes; the message goes to the author, trimmed, under the
  // full process name.
  Send(*executor, task, " \t Размер 20h7?\r\n ");
  boost::json::object answer = Letters(*author, task, 0);
  EXPECT_EQ(Int(answer.at("version")), 1);
  // The seeded "{NewTask}" notice is never shown.
  EXPECT_EQ(Texts(answer), (std::vector<std::string>{"Взял в работу, вопрос по допускам.",
                                                     "Допуски по ГОСТ 25347.", "Размер 20h7?"}));
  for (const auto& l : answer.at("letters").as_array()) {
    if (Str(l.at("FText")) != "Размер 20h7?") continue;
    EXPECT_EQ(Int(l.at("FIdAuthor")), executor->AppWorkFlow().ID_User());
    EXPECT_NE(l.at("FDate").as_int64(), 0);
  }
  TDataSetPtr sent = author->AppWorkFlow().GetCorrespondenceList(route);
  sent->Last();
  EXPECT_EQ(sent->FieldByName("_MSG_SUBJECT").AsString(), kShaftRoute);
  EXPECT_EQ(sent->FieldByName("_RECIPIENT_ID").AsInteger(), author->AppWorkFlow().ID_User());

  // The task list reports the process; reading it clears the report, and the
  // new-correspondence version stays where it was once nothing qualifies.
  boost::json::object list =
      CallReading(*author, &TSessionLogic::GetTaskList, "GetTaskList",
                  {{"FStUID", "dev1"}, {"FNDataSetVersion", 0}, {"FNIncommingCorrespVersion", 0}});
  EXPECT_EQ(Ints(list.at("newCorrespondenceRoutes")), std::vector<int32_t>{route});
  MarkRead(*author, route);
  EXPECT_TRUE(UnreadLetters(author->AppWorkFlow()).empty());
  list =
      CallReading(*author, &TSessionLogic::GetTaskList, "GetTaskList",
                  {{"FStUID", "dev1"}, {"FNDataSetVersion", 1}, {"FNIncommingCorrespVersion", 1}});
  EXPECT_TRUE(list.at("newCorrespondenceRoutes").as_array().empty());
  EXPECT_EQ(Int(list.at("correspondenceVersion")), 1);

  // Reading marks nothing in the letters themselves: the author's list is
  // unchanged; his answer reaches the executor and is the only new letter.
  answer = Letters(*author, task, 1);
  EXPECT_EQ(Int(answer.at("version")), 2);
  EXPECT_TRUE(answer.at("letters").as_array().empty());
  Send(*author, task, "Да, 20h7.");
  EXPECT_EQ(Texts(Letters(*author, task, 2)), std::vector<std::string>{"Да, 20h7."});
  EXPECT_EQ(UnreadLetters(executor->AppWorkFlow()).size(), 1u);
  EXPECT_EQ(Texts(Letters(*executor, task, 0, "dev2")).size(), 4u);
}

TEST_F(TaskCorrespondenceTest, RecipientIsTheLastOtherParticipantOfASmallProcess) {
  auto author = Session("ivanov");
  const int32_t me = author->AppWorkFlow().ID_User();
  const int32_t sidorov = Session("sidorov")->AppWorkFlow().ID_User();
  const int32_t smirnov = Session("smirnov")->AppWorkFlow().ID_User();
  const int32_t popova = Session("popova")->AppWorkFlow().ID_User();
  struct Case {
    const char* name;
    std::vector<int32_t> executors;  // the owner is added as a participant when not among them
    const char* message;
    int32_t recipient;  // 0: nothing is sent
    const char* body;
  };
  const Case cases[] = {
      {"one executor", {sidorov}, "Вопрос", sidorov, "Вопрос"},
      {"blanks only", {sidorov}, "  \t\r\n", sidorov, ""},
      {"two executors: the later one", {sidorov, smirnov}, "Вопрос", smirnov, "Вопрос"},
      {"four participants", {sidorov, smirnov, popova}, "Вопрос", 0, ""},
      {"only the user himself", {me}, "Вопрос", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<int32_t, int32_t>> stages;
    for (int32_t u : c.executors) stages.emplace_back(u, 0);
    BuiltProcess p =
        BuildProcess(author->AppWorkFlow(), EncodeProcessName(bpkTask, 7, c.name), 0, stages);
    Send(*author, p.Stages.front(), c.message);
    TDataSetPtr letters = author->AppWorkFlow().GetCorrespondenceList(p.Route);
    if (c.recipient == 0) {
      EXPECT_TRUE(letters->IsEmpty());
      continue;
    }
    ASSERT_EQ(letters->RecordCount(), 1u);
    letters->First();
    EXPECT_EQ(letters->FieldByName("_RECIPIENT_ID").AsInteger(), c.recipient);
    EXPECT_EQ(letters->FieldByName("_MSG_BODY").AsString(), c.body);
    EXPECT_EQ(letters->FieldByName("_MSG_SUBJECT").AsString(),
              EncodeProcessName(bpkTask, 7, c.name));
  }
}

TEST_F(TaskCorrespondenceTest, UnknownTasksAndUnnamedProcessesFail) {
  auto s = Session("ivanov");
  const int32_t sidorov = Session("sidorov")->AppWorkFlow().ID_User();
  boost::json::object answer;
  try {
    s->GetCorrespondence(answer, client::EncodeRequest("GetCorrespondence",
                                                       {{"FStUID", "dev1"}, {"FIdTask", 987654}}));
    ADD_FAILURE() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Process with operation id=[987654] not found");
  }
  EXPECT_TRUE(answer.empty());
  try {
    Send(*s, 987654, "Вопрос");
    ADD_FAILURE() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Process with operation id=[987654] not found");
  }

  BuiltProcess p = BuildProcess(s->AppWorkFlow(), "", 0, {{sidorov, 0}});
  try {
    Send(*s, p.Stages.front(), "Вопрос");
    ADD_FAILURE() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Ошибка инициализации TLCorrespondence: не передано ProcessName");
  }
  EXPECT_TRUE(s->AppWorkFlow().GetCorrespondenceList(p.Route)->IsEmpty());
}

TEST_F(TaskCorrespondenceTest, MarkingReadTouchesOnlyTheNamedProcessNeverTheCommonOne) {
  auto ivanov = Session("ivanov");
  auto sidorov = Session("sidorov");
  TAppWorkFlow& wf = sidorov->AppWorkFlow();
  const int32_t me = ivanov->AppWorkFlow().ID_User();
  const int32_t common = FindCommonCorrespondenceRoute(ivanov->AppWorkFlow());
  const int32_t gear = RouteNamed(ivanov->AppWorkFlow(), "{0200000000}Проверить допуски шестерни");
  const int32_t shaft = RouteNamed(ivanov->AppWorkFlow(), kShaftRoute);
  const int32_t inCommon = SendLetter(wf, common, me, "Привет", "Общий вопрос");
  const int32_t inGear = SendLetter(wf, gear, me, "Вопрос", "По шестерне");

  MarkRead(*ivanov, common);
  EXPECT_EQ(UnreadLetters(ivanov->AppWorkFlow()).size(),
            3u);  // + the seeded one in the shaft process
  MarkRead(*ivanov, shaft);
  EXPECT_EQ(UnreadLetters(ivanov->AppWorkFlow()), (std::vector<int32_t>{inCommon, inGear}));
  MarkRead(*ivanov, shaft);  // nothing left to mark
  EXPECT_EQ(UnreadLetters(ivanov->AppWorkFlow()).size(), 2u);
}

}  // namespace
}  // namespace brevalon::testing
