// What a mobile client does, end to end over real HTTP: the gateway
// (TMobileServer on a loopback port 0) in front of the reference application
// servers started in-process with the demo seed, each signed-in user in a
// REST session of its own, driven through the client library and through the
// brevalon-cli program's named commands.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli_program.h"
#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "client/cli.h"
#include "client/remote_calls.h"
#include "client/rest_transport.h"
#include "server/event_log.h"
#include "server/mobile_server.h"
#include "session/session_logic.h"
#include "session/settings.h"
#include "protocol/entry_records.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

constexpr const char* kSeededTask = "Доработать чертёж вала";
// 2026-12-20 09:30:00 UTC as wire seconds.
constexpr int64_t kDue = 1797759000;

int64_t Int(const json::value& v) {
  return v.to_number<int64_t>();
}

std::vector<int64_t> Ints(const json::value& v) {
  std::vector<int64_t> ids;
  for (const json::value& id : v.as_array()) ids.push_back(Int(id));
  return ids;
}

bool Has(const json::value& list, int64_t id) {
  const auto ids = Ints(list);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The task with `key` == `value` in an array of task (or other) objects.
const json::object* Find(const json::array& list, const char* key, const json::value& value) {
  for (const json::value& t : list) {
    if (t.as_object().at(key) == value) return &t.as_object();
  }
  return nullptr;
}

// One phone: a REST session signed in as one user, with its UID and the
// versions of the lists it holds.
class Phone {
 public:
  Phone(uint16_t port, const std::string& login) : FUid("phone-" + login) {
    client::RestOptions o;
    o.Host = "127.0.0.1";
    o.Port = port;
    o.Timeout = std::chrono::seconds(30);
    FRest = std::make_unique<client::RestTransport>(o);
    FUserId = client::SignIn(*FRest, "demo", login, login + "1", "").WFUserId;
  }

  int32_t UserId() const { return FUserId; }

  json::object Read(const char* method, json::object fields) {
    return client::ResultRecord(method, client::CallRequestMethod(*FRest, method, fields));
  }
  void Write(const char* method, const json::object& fields) {
    const client::MethodReply reply = client::CallRequestMethod(*FRest, method, fields);
    ASSERT_EQ(reply.ReturnCode, 0) << method << ": " << reply.Message;
    EXPECT_FALSE(reply.HasResult) << method;
  }

  // The task list's difference since the last call (the whole list first).
  json::object Tasks() {
    json::object list = Read("GetTaskList", {{"FStUID", FUid},
                                             {"FNDataSetVersion", FTaskVersion},
                                             {"FNIncommingCorrespVersion", FCorrVersion}});
    FTaskVersion = static_cast<int32_t>(Int(list.at("version")));
    FCorrVersion = static_cast<int32_t>(Int(list.at("correspondenceVersion")));
    return list;
  }
  int32_t TaskVersion() const { return FTaskVersion; }

  json::object Users(int32_t version = 0) {
    return Read("GetUserList", {{"FStUID", FUid}, {"FNDataSetVersion", version}});
  }
  json::object Attachments(int64_t task, int32_t version = 0) {
    return Read("GetTaskAttachments",
                {{"FStUID", FUid}, {"FNDataSetVersion", version}, {"FIdTask", task}});
  }
  json::object Letters(int64_t task) {
    return Read("GetCorrespondence",
                {{"FStUID", FUid}, {"FNDataSetVersion", 0}, {"FIdTask", task}});
  }
  void SetState(int64_t task, int32_t action) {
    Write("SetStateForTask", {{"FIdTask", task}, {"FIdState", action}, {"FSReason", ""}});
  }

 private:
  std::string FUid;
  std::unique_ptr<client::RestTransport> FRest;
  int32_t FUserId = 0;
  int32_t FTaskVersion = 0;
  int32_t FCorrVersion = 0;
};

class DomainFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appserver::AppServerOptions o;
    o.db = dir.Path() / "demo.sqlite";
    o.seed = appserver::testing::DemoSeedPath();
    o.port = 0;
    backEnd = std::make_unique<appserver::AppServer>(o);
    backEnd->Start();
    SetCommonAppDataDir((dir.Path() / "data").string());
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc)
        << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n"
        << "[ServerConnect]\nServerPort=" << backEnd->Port() << "\n";
    RemoteServerOptions options;
    options.Listen = "127.0.0.1";
    options.HttpPort = 0;
    options.TcpPort = 0;
    server = std::make_unique<TMobileServer>(
        options, ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
    server->Start();
  }
  void TearDown() override {
    server.reset();
    backEnd.reset();
    SetCommonAppDataDir("");
  }

  std::unique_ptr<Phone> SignedIn(const std::string& login) {
    return std::make_unique<Phone>(server->HttpPort(), login);
  }

  // The user's id and the id of `role` from a user list.
  static std::pair<int64_t, int64_t> Executor(const json::object& users,
                                              const std::string& fullName,
                                              const std::string& role) {
    for (const json::value& u : users.at("users").as_array()) {
      if (u.at("FUserFullname") == fullName.c_str() && u.at("FRoleName") == role.c_str())
        return {Int(u.at("FIdUser")), Int(u.at("FIdRole"))};
    }
    ADD_FAILURE() << "no " << fullName << " as " << role;
    return {0, 0};
  }

  appserver::testing::TempDir dir;
  std::unique_ptr<appserver::AppServer> backEnd;
  EventLogCapture log;
  std::unique_ptr<TMobileServer> server;
};

TEST_F(DomainFlowTest, TaskLifeFromCreationToAcceptanceAndDeletion) {
  auto author = SignedIn("ivanov");
  auto executor = SignedIn("sidorov");
  author->Tasks();
  executor->Tasks();
  const int32_t base = executor->TaskVersion();

  const auto [sidorov, designer] =
      Executor(author->Users(), "Сидоров Пётр Алексеевич", "Конструктор");
  ASSERT_EQ(sidorov, executor->UserId());
  const std::string subject = "Проверить посадку подшипника";
  author->Write("CreateTask", {{"FSubject", subject},
                               {"FText", "Посадка 20h7, см. чертёж"},
                               {"FDateCritical", kDue},
                               {"FStartAfterCreate", true},
                               {"FIdUsers", json::array{sidorov}},
                               {"FIdRoles", json::array{designer}}});

  // Issued at once: the executor's next difference brings it as new.
  json::object list = executor->Tasks();
  EXPECT_EQ(executor->TaskVersion(), base + 1);
  const json::object* created = Find(list.at("tasks").as_array(), "FTitle", json::string(subject));
  ASSERT_NE(created, nullptr) << json::serialize(list);
  const int64_t task = Int(created->at("FId"));
  const int64_t route = Int(created->at("FIdRoute"));
  EXPECT_EQ(Int(created->at("FState")), tsSend);
  EXPECT_EQ(created->at("FText"), "Посадка 20h7, см. чертёж");
  EXPECT_EQ(Int(created->at("FIdAuthor")), author->UserId());
  EXPECT_EQ(Int(created->at("FIdExecutor")), sidorov);
  EXPECT_EQ(Int(created->at("FCriticalDate")), kDue) << "the date survives the round trip";
  EXPECT_NE(Int(created->at("FSendDate")), 0);
  EXPECT_EQ(Ints(list.at("newTaskIds")), std::vector<int64_t>{task});

  // Asked again, the list is a difference: nothing changed, next version.
  list = executor->Tasks();
  EXPECT_EQ(executor->TaskVersion(), base + 2);
  EXPECT_TRUE(list.at("tasks").as_array().empty());
  EXPECT_TRUE(list.at("newTaskIds").as_array().empty());
  EXPECT_TRUE(list.at("deletedTaskIds").as_array().empty());

  // Each step shows in both users' differences, as the one changed row.
  const struct {
    Phone* who;
    int32_t action;
    TTaskState state;
  } steps[] = {
      {executor.get(), 2, tsInWork},     // take into work
      {executor.get(), 4, tsInChecked},  // complete
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.action);
    s.who->SetState(task, s.action);
    for (Phone* phone : {author.get(), executor.get()}) {
      list = phone->Tasks();
      ASSERT_EQ(list.at("tasks").as_array().size(), 1u) << json::serialize(list);
      EXPECT_EQ(Int(list.at("tasks").at(0).at("FId")), task);
      EXPECT_EQ(Int(list.at("tasks").at(0).at("FState")), s.state);
    }
  }

  // Letters: the executor asks, the author is told of the process, reads
  // the task's letters and marks them read, and is not told again.
  executor->Write("SendMessage", {{"FIdTask", task}, {"FStMessage", "Готово, прошу проверить"}});
  list = author->Tasks();
  EXPECT_TRUE(Has(list.at("newCorrespondenceRoutes"), route)) << json::serialize(list);
  const json::object letters = author->Letters(task);
  const json::object* letter =
      Find(letters.at("letters").as_array(), "FText", json::string("Готово, прошу проверить"));
  ASSERT_NE(letter, nullptr) << json::serialize(letters);
  EXPECT_EQ(Int(letter->at("FIdAuthor")), sidorov);
  EXPECT_NE(Int(letter->at("FDate")), 0);
  author->Write("SetTaskCorrespondenceRead", {{"FIdRoute", route}});
  list = author->Tasks();
  EXPECT_FALSE(Has(list.at("newCorrespondenceRoutes"), route)) << json::serialize(list);

  author->SetState(task, 5);  // accept
  list = executor->Tasks();
  ASSERT_EQ(list.at("tasks").as_array().size(), 1u);
  EXPECT_EQ(Int(list.at("tasks").at(0).at("FState")), tsComleted);

  // Deleting the process takes the task off the executor's list.
  author->Write("DeleteTask", {{"FIdRoute", route}});
  list = executor->Tasks();
  EXPECT_TRUE(list.at("tasks").as_array().empty());
  EXPECT_TRUE(Has(list.at("deletedTaskIds"), task)) << json::serialize(list);
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(DomainFlowTest, SeededTaskAttachmentsUsersAndSearch) {
  auto executor = SignedIn("sidorov");
  const json::object list = executor->Tasks();
  const json::object* seeded =
      Find(list.at("tasks").as_array(), "FTitle", json::string(kSeededTask));
  ASSERT_NE(seeded, nullptr) << json::serialize(list);
  EXPECT_TRUE(seeded->at("FHasAttachments").as_bool());
  const int64_t task = Int(seeded->at("FId"));

  // The files of the attached documents, then the task itself.
  json::object files = executor->Attachments(task);
  EXPECT_EQ(Int(files.at("task").at("FId")), task);
  EXPECT_EQ(files.at("task").at("FTitle"), kSeededTask);
  const auto& rows = files.at("attachments").as_array();
  ASSERT_FALSE(rows.empty());
  const json::object* shaft = nullptr;
  for (const json::value& f : rows) {
    if (std::string_view(f.at("FTitle").as_string()).find("ПР-101.001") != std::string_view::npos)
      shaft = &f.as_object();
  }
  ASSERT_NE(shaft, nullptr) << json::serialize(files);
  EXPECT_EQ(shaft->at("FExtension"), "txt");
  EXPECT_GT(Int(shaft->at("FSize")), 0);
  for (const json::value& f : rows) {
    EXPECT_NE(f.at("FExtension"), "cache") << "cache files are never offered";
    EXPECT_GE(Int(f.at("FCRC")), 0);
  }
  // The second request is a difference against the version the first gave.
  const int32_t version = static_cast<int32_t>(Int(files.at("version")));
  files = executor->Attachments(task, version);
  EXPECT_TRUE(files.at("attachments").as_array().empty());
  EXPECT_TRUE(files.at("deleted").as_array().empty());
  EXPECT_EQ(Int(files.at("task").at("FId")), task);

  // Every user in each of its roles, with the department above the role.
  json::object users = executor->Users();
  const auto& all = users.at("users").as_array();
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const json::value& u) {
                            return u.at("FUserFullname") == "Волков Денис Андреевич";
                          }),
            2);
  const json::object* designer =
      Find(all, "FUserFullname", json::string("Сидоров Пётр Алексеевич"));
  ASSERT_NE(designer, nullptr);
  EXPECT_EQ(designer->at("FRoleName"), "Конструктор");
  EXPECT_EQ(designer->at("FDepartmentName"), "Конструкторский отдел");
  const int32_t usersVersion = static_cast<int32_t>(Int(users.at("version")));
  users = executor->Users(usersVersion);
  EXPECT_TRUE(users.at("users").as_array().empty());
  EXPECT_EQ(Int(users.at("version")), usersVersion + 1);

  // A search in the demo database: the shaft and the route card, every file
  // but the cache file; no version, no task.
  const json::object found = executor->Read("SearchDocuments", {{"FSearchString", "Вал"}});
  EXPECT_EQ(Int(found.at("version")), -1);
  EXPECT_FALSE(found.contains("task"));
  std::vector<std::string> titles;
  for (const json::value& f : found.at("attachments").as_array())
    titles.emplace_back(f.at("FTitle").as_string());
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"2.4 - Вал приводной - ПР-101.001",
                                              "2.4 - Вал приводной - ПР-101.001",
                                              "Маршрутная карта обработки вала - МК-17",
                                              "Маршрутная карта обработки вала - МК-17"}));
}

// ---- the brevalon-cli program's named commands

using testing::ProgramRun;
using testing::RunProgram;

TEST_F(DomainFlowTest, CliCreatesATaskAndListsIt) {
  const auto [sidorov, designer] =
      Executor(SignedIn("ivanov")->Users(), "Сидоров Пётр Алексеевич", "Конструктор");
  const std::string url = "--url http://127.0.0.1:" + std::to_string(server->HttpPort());
  const std::string authorSession = " --session " + (dir.Path() / "ivanov.session").string();
  const std::string executorSession = " --session " + (dir.Path() / "sidorov.session").string();

  // The executor's phone takes its whole list first: the seeded task.
  const ProgramRun first = RunProgram(
      dir.Path(), url + executorSession + " tasks --db demo --user sidorov --password sidorov1");
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.out.rfind("NEW  ID  ROUTE  STATE    DUE               TITLE", 0), 0u)
      << first.out;
  EXPECT_NE(first.out.find("  in work  2024-05-20 "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("  Доработать чертёж вала  yes\n"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("\nversion 1, correspondence version"), std::string::npos) << first.out;

  const ProgramRun create = RunProgram(
      dir.Path(), url + authorSession +
                      " create --db demo --user ivanov --password ivanov1 --subject 'Снять размеры "
                      "корпуса' --text 'Три точки' --date 2026-12-20T09:30 --start --executor " +
                      std::to_string(sidorov) + ":" + std::to_string(designer));
  ASSERT_EQ(create.code, 0) << create.err;
  EXPECT_EQ(create.out, "task created and issued\n");
  EXPECT_EQ(create.err, "");

  // The stored session and UID continue: against version 1 the new task
  // is the one row, marked new, its date shown as it was given.
  const ProgramRun tasks = RunProgram(dir.Path(), url + executorSession + " tasks --version 1");
  ASSERT_EQ(tasks.code, 0) << tasks.err;
  std::istringstream rows(tasks.out);
  std::vector<std::string> lines;
  for (std::string row; std::getline(rows, row);) lines.push_back(row);
  ASSERT_EQ(lines.size(), 3u) << tasks.out;
  EXPECT_EQ(lines[0].rfind("NEW  ID", 0), 0u) << tasks.out;
  EXPECT_EQ(lines[1].rfind("*    ", 0), 0u) << tasks.out;
  EXPECT_NE(lines[1].find("  sent   2026-12-20 09:30  Снять размеры корпуса  no"),
            std::string::npos)
      << tasks.out;
  EXPECT_EQ(lines[2], "version 2, correspondence version 0");

  // Nothing changed since: an empty difference; --json shows the decoded record.
  const ProgramRun again =
      RunProgram(dir.Path(), url + executorSession + " tasks --version 2 --json --compact");
  ASSERT_EQ(again.code, 0) << again.err;
  const json::value shown = json::parse(again.out);
  EXPECT_EQ(shown.at("returnCode"), 0);
  EXPECT_EQ(shown.at("result").at("kind"), 5);
  EXPECT_EQ(shown.at("result").at("version"), 3);
  EXPECT_TRUE(shown.at("result").at("tasks").as_array().empty());

  // In-process now, the commands that find a task's process or its other
  // values through GetTaskAttachments.
  const int64_t task = std::stoll(lines[1].substr(5));
  const auto cli = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--url=http://127.0.0.1:" + std::to_string(server->HttpPort()),
                               "--session=" + (dir.Path() / "ivanov.session").string()});
    std::istringstream in;
    std::ostringstream out, err;
    const int code = client::RunCli(args, {in, out, err});
    return ProgramRun{code, out.str(), err.str()};
  };
  const std::string id = std::to_string(task);
  ProgramRun r = cli({"edit", "--task", id, "--subject", "Снять размеры корпуса и крышки"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "task " + id + " edited\n");
  // Only the subject changed: text, date and executor kept.
  r = cli({"attachments", "--task", id, "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const json::value edited = json::parse(r.out).at("result").at("task");
  EXPECT_EQ(edited.at("FText"), "Три точки");
  EXPECT_EQ(Int(edited.at("FIdExecutor")), sidorov);
  const int64_t route = Int(edited.at("FIdRoute"));
  r = cli({"attachments", "--task", id});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "task " + id + " (process " + std::to_string(route) +
                "): Снять размеры корпуса и крышки, sent, due 2026-12-20 09:30");
  r = cli({"read", "--task", id});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "correspondence marked read in process " + std::to_string(route) + "\n");
  r = cli({"delete", "--task", id});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "deleted process " + std::to_string(route) + "\n");
  r = cli({"attachments", "--task", id});
  EXPECT_EQ(r.code, 5) << r.out;

  // A failing method: exit code 5 and the gateway's message.
  const ProgramRun refused =
      RunProgram(dir.Path(), url + executorSession + " state --task 999999 --action work");
  EXPECT_EQ(refused.code, 5);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(
      refused.err.find("SetStateForTask answered 1: Process with operation id=[999999] not found"),
      std::string::npos)
      << refused.err;
}

}  // namespace
}  // namespace brevalon
