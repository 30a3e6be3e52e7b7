// Task creation through the CreateTask handler against the reference
// servers: the processes built per executor, their stages and finishing
// operation, the start with its "{NewTask}" notice, the older stage
// interfaces, and the notice body on its own.
#include "tasks/task_creator.h"

#include <gtest/gtest.h>

#include "appserver/sqlite.h"
#include "protocol/data_type_exception.h"
#include "task_flow_support.h"
#include "tasks/resources.h"
#include "tasks/user_list.h"

namespace brevalon::testing {
namespace {

// ---- the notice body and the stage arguments on their own ----

TEST(BPInfoText, Table) {
  const double midnight = DateTimeFromWireSeconds(1799971200, 0);  // 2027-01-15 00:00
  const double morning = DateTimeFromWireSeconds(1797759000, 0);   // 2026-12-20 09:30
  struct Case {
    std::string subj;
    Variant date;
    std::string body;
  } cases[] = {
      {"Отчёт", Variant::Null(), "[BPInfo]\r\nSubj=Отчёт\r\n\r\n"},
      {"Отчёт", Variant(0.0), "[BPInfo]\r\nSubj=Отчёт\r\n\r\n"},
      {"Отчёт", Variant(static_cast<uint8_t>(0)), "[BPInfo]\r\nSubj=Отчёт\r\n\r\n"},
      {"A", Variant(midnight), "[BPInfo]\r\nSubj=A\r\nDatePlan=15.01.2027\r\n\r\n"},
      {"A", Variant(morning), "[BPInfo]\r\nSubj=A\r\nDatePlan=20.12.2026 9:30:00\r\n\r\n"},
      // A subject with a line break breaks the Subj line in two.
      {"two\r\nlines", Variant::Null(), "[BPInfo]\r\nSubj=two\r\nlines\r\n\r\n"},
      {"", Variant::Null(), "[BPInfo]\r\nSubj=\r\n\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeBPInfoText(c.subj, c.date), c.body) << c.subj << " " << c.date.ToDebugString();
  }
  EXPECT_EQ(MakeBPInfoText("A", morning),
            "[BPInfo]\r\nSubj=A\r\nDatePlan=20.12.2026 9:30:00\r\n\r\n");
}

TEST(BPInfoText, DateFormat) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.0, "31.12.1899"},           {2.75, "01.01.1900 18:00:00"},
      {-1.25, "29.12.1899 6:00:00"}, {36526.5 + 1.0 / 86400, "01.01.2000 12:00:01"},
      {-693593.0, "01.01.0001"},     {2958465.0, "31.12.9999"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatBPDateTime(c.value), c.text) << c.value;
  for (double bad : {-693594.0, 2958466.0, 1e300, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(FormatBPDateTime(bad), Exception) << bad;
  }
}

TEST(StageArguments, PerServerVersion) {
  const Variant plan(46000.5);
  const Variant term(static_cast<uint8_t>(0));
  const auto v10 = MakeStageArguments(20100701, "do", term, plan, 5, 6, 7);
  EXPECT_EQ(v10.Interface, TStageInterface::V10);
  const std::vector<Variant> expect10 = {Variant("do"),
                                         term,
                                         plan,
                                         Variant(static_cast<uint8_t>(1)),
                                         Variant(static_cast<uint8_t>(1)),
                                         Variant(5),
                                         Variant(6),
                                         Variant(7),
                                         Variant(static_cast<uint8_t>(0)),
                                         Variant::Null(),
                                         Variant(),
                                         Variant::Null()};
  ASSERT_EQ(v10.Args.size(), expect10.size());
  for (size_t i = 0; i < expect10.size(); ++i) {
    EXPECT_EQ(v10.Args[i].Type(), expect10[i].Type()) << i;
    EXPECT_TRUE(v10.Args[i] == expect10[i]) << i;
  }
  EXPECT_EQ(v10.StageIdIndex, 9u);
  EXPECT_EQ(MakeStageArguments(20090306, "do", term, plan, 5, 6, 7).Interface,
            TStageInterface::V10);

  // The two older interfaces never get the planned date.
  const auto v9 = MakeStageArguments(20080101, "do", term, plan, 5, 6, 7);
  EXPECT_EQ(v9.Interface, TStageInterface::V9);
  ASSERT_EQ(v9.Args.size(), 10u);
  EXPECT_TRUE(v9.Args[2].IsNull());
  EXPECT_EQ(v9.Args[8].Type(), VariantType::Byte);
  EXPECT_EQ(v9.StageIdIndex, 9u);
  const auto v85 = MakeStageArguments(20061001, "do", term, plan, 5, 6, 7);
  EXPECT_EQ(v85.Interface, TStageInterface::V85);
  ASSERT_EQ(v85.Args.size(), 9u);
  EXPECT_TRUE(v85.Args[2].IsNull());
  EXPECT_TRUE(v85.Args[7] == Variant(7));
  EXPECT_EQ(v85.StageIdIndex, 8u);

  for (int32_t version : {0, 20061002, 20080102, 20090305, 20070000}) {
    try {
      MakeStageArguments(version, "do", term, plan, 5, 6, 7);
      ADD_FAILURE() << version;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Не опредлена версия сервера приложений");
    }
  }
}

TEST(ScriptResource, FinishesTheProcess) {
  EXPECT_EQ(LoadScriptResource("SRIPT_AUTOSTAGE_FINISH"), "FinishProcess\r\n");
  EXPECT_THROW(LoadScriptResource("NO_SUCH"), Exception);
}

// ---- through the handler ----

using TaskCreatorTest = TaskFlowTest;

TEST_F(TaskCreatorTest, TwoExecutorsStartedAtOnce) {
  auto author = Session("ivanov");
  auto sidorov = Session("sidorov");
  auto kuznetsova = Session("kuznetsova");
  const int32_t ivanovId = UserId("ivanov");
  const int32_t users[] = {UserId("sidorov"), UserId("kuznetsova")};
  const int32_t roles[] = {RoleId("sidorov", "Конструктор"), RoleId("kuznetsova", "Технолог")};
  const int32_t everyone = RoleId("ivanov", "everyone");

  author->CreateTask(CreateRequest("Сверить чертежи", "Сверить с образцом", kDate1, true,
                                   {users[0], users[1]}, {roles[0], roles[1]}));

  const auto routes = RoutesNamed("ivanov", "{0200000000}Сверить чертежи");
  ASSERT_EQ(routes.size(), 2u);
  std::vector<int32_t> taskIds;
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RouteState(routes[i]), 1);
    const auto items = Items(routes[i]);
    ASSERT_EQ(items.size(), 3u);
    // The executor's stage, issued, with the planned date.
    EXPECT_EQ(items[0].Type, 1);
    EXPECT_EQ(items[0].Task, "Сверить с образцом");
    EXPECT_EQ(items[0].User, users[i]);
    EXPECT_EQ(items[0].Role, roles[i]);
    EXPECT_EQ(items[0].State, 2);
    EXPECT_EQ(items[0].DatePlan, Day(kDate1));
    // The author's check stage, not reached yet.
    EXPECT_EQ(items[1].Type, 1);
    EXPECT_EQ(items[1].Task, "Проверить результат");
    EXPECT_EQ(items[1].User, ivanovId);
    EXPECT_EQ(items[1].Role, everyone);
    EXPECT_EQ(items[1].State, 0);
    EXPECT_EQ(items[1].DatePlan, 0.0);
    // The finishing operation.
    EXPECT_EQ(items[2].Type, 2);
    EXPECT_EQ(items[2].Task, "Закончить процесс");
    EXPECT_EQ(NextItems(items[0].Id), std::vector<int32_t>{items[1].Id});
    EXPECT_EQ(NextItems(items[1].Id), std::vector<int32_t>{items[2].Id});

    const auto letters = Letters(routes[i]);
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_EQ(letters[0].Author, ivanovId);
    EXPECT_EQ(letters[0].Recipient, users[i]);
    EXPECT_EQ(letters[0].Subject, "{NewTask}");
    EXPECT_EQ(letters[0].Body,
              "[BPInfo]\r\nSubj=Сверить чертежи\r\nDatePlan=20.12.2026 9:30:00\r\n\r\n");
    taskIds.push_back(items[0].Id);
  }

  // Each executor is shown the task as issued; the author sees both.
  auto seen = ClientTasks(*sidorov, "uid-sidorov");
  ASSERT_TRUE(seen.count(taskIds[0]));
  EXPECT_FALSE(seen.count(taskIds[1]));
  const auto& t = seen[taskIds[0]];
  EXPECT_EQ(t.at("FTitle").as_string(), "Сверить чертежи");
  EXPECT_EQ(t.at("FText").as_string(), "Сверить с образцом");
  EXPECT_EQ(t.at("FIdAuthor").to_number<int64_t>(), ivanovId);
  EXPECT_EQ(t.at("FCriticalDate").to_number<int64_t>(), kDate1);
  EXPECT_EQ(t.at("FState").to_number<int64_t>(), tsSend);
  EXPECT_EQ(ClientState(*kuznetsova, "uid-kuznetsova", taskIds[1]), tsSend);
  EXPECT_EQ(ClientState(*author, "uid-ivanov", taskIds[0]), tsSend);
  EXPECT_EQ(ClientState(*author, "uid-ivanov", taskIds[1]), tsSend);
}

TEST_F(TaskCreatorTest, WithoutStartNothingIsIssued) {
  auto author = Session("ivanov");
  auto smirnov = Session("smirnov");
  const int32_t user = UserId("smirnov"), role = RoleId("smirnov", "Конструктор");

  author->CreateTask(CreateRequest("План", "Позже", 0, false, {user}, {role}));

  const auto routes = RoutesNamed("ivanov", "{0200000000}План");
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(RouteState(routes[0]), 0);
  const auto items = Items(routes[0]);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].State, 0);
  EXPECT_EQ(items[0].DatePlan, 0.0);  // no date asked for
  EXPECT_TRUE(Letters(routes[0]).empty());
  // Planned: the author sees it, the executor does not yet.
  EXPECT_EQ(ClientState(*author, "uid-ivanov", items[0].Id), tsPlanned);
  EXPECT_EQ(ClientState(*smirnov, "uid-smirnov", items[0].Id), -1);
}

TEST_F(TaskCreatorTest, NoExecutorsCreatesNothing) {
  auto author = Session("ivanov");
  author->CreateTask(CreateRequest("Пусто", "", 0, true, {}, {}));
  EXPECT_TRUE(RoutesNamed("ivanov", "{0200000000}Пусто").empty());
}

TEST_F(TaskCreatorTest, RefusalsBeforeAnythingIsCreated) {
  auto author = Session("ivanov");
  // Not signed in: 404 whatever the text.
  TSessionLogic fresh;
  EXPECT_THROW(fresh.CreateTask("not base64 at all"), EConnectionException);
  EXPECT_THROW(author->CreateTask("AAAA"), EDataTypeException);
  // A date the notice cannot show.
  const int64_t year20000 = 568971820800LL;
  EXPECT_THROW(
      author->CreateTask(CreateRequest("Далеко", "", year20000, true, {UserId("sidorov")}, {0})),
      Exception);
  EXPECT_TRUE(RoutesNamed("ivanov", "{0200000000}Далеко").empty());
}

TEST_F(TaskCreatorTest, RefusedStageStopsTheBuild) {
  // The server refuses a stage for an unknown executor through the error
  // pair only; the build must stop there instead of issuing a task without
  // a stage.
  auto author = Session("ivanov");
  try {
    author->CreateTask(CreateRequest("Никому", "", 0, true, {999999}, {0}));
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Этап бизнес-процесса не создан");
  }
  // Nothing is undone: the process stays as far as it was built, not started.
  const auto routes = RoutesNamed("ivanov", "{0200000000}Никому");
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(RouteState(routes[0]), 0);
  EXPECT_TRUE(Letters(routes[0]).empty());
}

TEST_F(TaskCreatorTest, FinishOperationCreatedOncePerDatabaseAndEndsTheProcess) {
  // The archive database has no "Закончить процесс" yet.
  auto admin = Session("admin", "archive");
  auto proxies = Proxies("admin", "archive");
  TDataSetPtr users = proxies.WorkFlow->GetUserList();
  int32_t archivist = 0;
  for (users->First(); !users->Eof(); users->Next())
    if (users->FieldByName("_NAME").AsString() == "archivist")
      archivist = users->FieldByName("_ID").AsInteger();
  ASSERT_NE(archivist, 0);

  admin->CreateTask(CreateRequest("Первая", "", 0, true, {archivist}, {0}));
  admin->CreateTask(CreateRequest("Вторая", "", 0, true, {archivist}, {0}));

  TDataSetPtr ops = proxies.WorkFlow->GetAutoOperationList(1);
  int count = 0;
  for (ops->First(); !ops->Eof(); ops->Next())
    count += ops->FieldByName("_NAME").AsString() == "Закончить процесс";
  EXPECT_EQ(count, 1);
  const std::string script = Server().GetStore().Read([](appserver::SqliteDb& db) {
    appserver::Statement st(db,
                            "SELECT script FROM auto_operations WHERE name = 'Закончить процесс' "
                            "AND db_id = (SELECT id FROM databases WHERE name = 'archive')");
    return st.Step() ? st.Text(0) : std::string("<none>");
  });
  EXPECT_EQ(script, "FinishProcess\r\n");

  // The route reaches the operation when the author accepts: the process ends.
  TDataSetPtr rows = proxies.WorkFlow->GetTaskListForUser(proxies.WorkFlow->ID_User(), 2, 15, 2);
  int32_t task = 0, route = 0;
  for (rows->First(); !rows->Eof(); rows->Next()) {
    if (rows->FieldByName("_ROUTENAME").AsString() == "{0200000000}Первая" &&
        rows->FieldByName("_ID_USER").AsInteger() == archivist) {
      task = rows->FieldByName("_ID_OPERATION").AsInteger();
      route = rows->FieldByName("_ID_ROUTE").AsInteger();
    }
  }
  ASSERT_NE(task, 0);
  for (int32_t action : {2, 4, 5}) admin->SetStateForTask(StateRequest(task, action));
  TDataSetPtr info = proxies.WorkFlow->GetInfoAboutRoute(route);
  info->First();
  EXPECT_EQ(info->FieldByName("_WF_STATE").AsInteger(), 3);
}

TEST_F(TaskCreatorTest, OlderServersGetNoPlannedDate) {
  for (int32_t version : {20080101, 20061001}) {
    SCOPED_TRACE(version);
    RestartServer(version);
    auto author = Session("ivanov");
    const std::string subject = "Старый " + std::to_string(version);
    author->CreateTask(CreateRequest(subject, "т", kDate2, true, {UserId("sidorov")}, {0}));
    const auto routes = RoutesNamed("ivanov", "{0200000000}" + subject);
    ASSERT_EQ(routes.size(), 1u);
    const auto items = Items(routes[0]);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].State, 2);
    EXPECT_EQ(items[0].DatePlan, 0.0);
    // The notice still carries the date.
    const auto letters = Letters(routes[0]);
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_EQ(letters[0].Body, "[BPInfo]\r\nSubj=" + subject + "\r\nDatePlan=15.01.2027\r\n\r\n");
  }
}

TEST_F(TaskCreatorTest, UnsupportedServerVersionFailsAfterTheProcessWasCreated) {
  RestartServer(20090101);
  auto author = Session("ivanov");
  try {
    author->CreateTask(CreateRequest("Неизвестно", "т", 0, true, {UserId("sidorov")}, {0}));
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Не опредлена версия сервера приложений");
  }
  // The process exists and holds nothing but its finishing instance.
  const auto routes = RoutesNamed("ivanov", "{0200000000}Неизвестно");
  ASSERT_EQ(routes.size(), 1u);
  const auto items = Items(routes[0]);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Type, 2);
  EXPECT_EQ(RouteState(routes[0]), 0);
}

TEST_F(TaskCreatorTest, BuilderRefusesOtherKindsAndKeepsKindAndTag) {
  auto p = Proxies("ivanov");
  TBProcTask wrong(*p.WorkFlow, *p.Main, FindEveryoneRole(*p.WorkFlow));
  try {
    wrong.CreatePocess("x", "y", 0, 0, 0, UserId("sidorov"), Variant::Null(), Variant::Null(), true,
                       bpkAgreeList, *p.WorkFlow);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Неверный тип бизнес-процесса");
  }
  EXPECT_EQ(wrong.ProcessId(), 0);

  TBProcTask agree(*p.WorkFlow, *p.Main, 0);
  agree.CreatePocess("Согласовать", "т", 0, 7, 0, UserId("sidorov"), Variant::Null(),
                     Variant::Null(), false, bpkTaskAgree, *p.WorkFlow);
  EXPECT_EQ(RouteName(agree.ProcessId()), "{0300000007}Согласовать");
  const auto items = Items(agree.ProcessId());
  ASSERT_EQ(items.size(), 2u);  // no check stage asked for
  EXPECT_EQ(NextItems(items[0].Id), std::vector<int32_t>{agree.IdAutoStageFinish()});
}

}  // namespace
}  // namespace brevalon::testing
