// The reference servers as the gateway meets them: its own proxies
// (TAppMainSystem, TAppWorkFlow) over real TCP to an in-process AppServer on
// port 0 with a temporary database from the demo seed. Also the scale of the
// server (thousands of signed-in connections on a small pool) and the program
// itself (port 0, logging level, clean stop on SIGTERM, restart on the file).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "appserver/app_server.h"
#include "appserver_test_support.h"
#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "data/dataset.h"
#include "rdc/rdc_client.h"
#include "util/process_name.h"

extern char** environ;

namespace brevalon::appserver {
namespace {

constexpr int32_t kUnknownId = 987654;
constexpr const char* kComposition = "состоит из...";
constexpr const char* kFinishOperation = "Закончить процесс";
constexpr const char* kCheckTask = "Проверить результат";

// CRC-32 (IEEE 802.3) written out here, so the server's checksums are checked
// against an independent implementation.
uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<int32_t> Ints(Dataset& ds, const char* field) {
  std::vector<int32_t> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsInteger());
  ds.First();
  return out;
}

std::vector<std::string> Texts(Dataset& ds, const char* field) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsString());
  ds.First();
  return out;
}

std::set<std::string> Sorted(std::vector<std::string> v) { return {v.begin(), v.end()}; }

// The error code of the EApiException `f` raises; -1 (and a failure) when it
// raises nothing or something else.
int32_t ApiCode(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EApiException& e) {
    if (message) *message = e.what();
    return e.ErrorCode().AsInteger();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an error pair: " << e.what();
    return -1;
  }
  ADD_FAILURE() << "no error";
  return -1;
}

template <typename Proxy>
void Wire(Proxy& p, uint16_t port) {
  p.SetConnectionType(ctSocket);
  p.SetServerName("127.0.0.1");
  p.SetPort(port);
}

struct Login {
  Login(const char* u, const char* p = "", const char* d = "demo") : user(u), password(p), db(d) {}
  std::string user;
  std::string password;  // empty: the demo rule, login + "1"
  std::string db;
  std::string Password() const { return password.empty() ? user + "1" : password; }
};

// One version as the tree lists it.
struct TreeRow {
  int32_t id = 0, parent = 0, type = 0, state = 0, access = 0;
  std::string product, version;
  std::map<std::string, std::string> titles;
};

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer(0); }

  void StartServer(uint16_t port) {
    AppServerOptions o;
    o.db = dir_.Path() / "demo.sqlite";
    o.seed = testing::DemoSeedPath();
    o.port = port;
    o.clock = [] { return 45500.5; };
    server_ = std::make_unique<AppServer>(o);
    server_->Start();
  }

  std::unique_ptr<TAppMainSystem> Main(const Login& who) {
    auto ms = std::make_unique<TAppMainSystem>();
    Wire(*ms, server_->Port());
    ms->SetDBName(who.db);
    ms->SetAuthentific(atPassword);
    ms->SetUserName(who.user);
    ms->SetPassword(who.Password());
    ms->Connect();
    ms->ConnectToDB();
    return ms;
  }
  std::unique_ptr<TAppWorkFlow> Workflow(const Login& who) {
    auto wf = std::make_unique<TAppWorkFlow>();
    Wire(*wf, server_->Port());
    wf->SetAuthentific(atPassword);
    wf->SetUserName(who.user);
    wf->SetPassword(who.Password());
    wf->Connect();
    wf->ConnectToDB(kWorkFlowAppVersion, who.db);
    return wf;
  }

  // Every version reachable from the top of the tree, by product.
  static std::map<std::string, TreeRow> Tree(TAppMainSystem& ms) {
    std::map<std::string, TreeRow> out;
    std::vector<int32_t> parents = {0};
    while (!parents.empty()) {
      const int32_t parent = parents.back();
      parents.pop_back();
      TDataSetPtr ds = ms.GetTree2(0, parent, "", 1);
      for (ds->First(); !ds->Eof(); ds->Next()) {
        TreeRow r;
        r.id = ds->FieldByName("_ID_VERSION").AsInteger();
        r.parent = ds->FieldByName("_ID_PARENT").AsInteger();
        r.type = ds->FieldByName("_ID_TYPE").AsInteger();
        r.state = ds->FieldByName("_ID_STATE").AsInteger();
        r.access = ds->FieldByName("_ACCESSLEVEL").AsInteger();
        r.product = ds->FieldByName("_PRODUCT").AsString();
        r.version = ds->FieldByName("_VERSION").AsString();
        for (const auto& f : ds->Fields())
          if (f.name[0] != '_') r.titles[f.name] = ds->FieldByName(f.name).AsString();
        if (out.emplace(r.product, r).second) parents.push_back(r.id);
      }
    }
    return out;
  }
  static int32_t Version(TAppMainSystem& ms, const std::string& product) {
    auto tree = Tree(ms);
    EXPECT_TRUE(tree.count(product)) << product;
    return tree.count(product) ? tree[product].id : 0;
  }

  testing::TempDir dir_;
  std::unique_ptr<AppServer> server_;
};

// ---------------------------------------------------------------- sign-in

TEST_F(ProxyTest, SignInByPasswordAndByOperatingSystemIdentity) {
  struct Case {
    const char* what;
    int32_t authentific;
    const char* identity;  // presented when the connection opens
    const char* db;
    const char* user;
    const char* password;
    int32_t code;
    bool admin;
    const char* login;  // what the workflow proxy learns
  } cases[] = {
      {"password", atPassword, "", "demo", "petrova", "petrova1", 0, false, "petrova"},
      {"administrator", atPassword, "", "demo", "ivanov", "ivanov1", 0, true, "ivanov"},
      {"names ignore letter case", atPassword, "", "DEMO", "SIDOROV", "sidorov1", 0, false, "sidorov"},
      {"other database", atPassword, "", "archive", "archivist", "archive1", 0, false, "archivist"},
      {"wrong password", atPassword, "", "demo", "petrova", "PETROVA1", 2, false, ""},
      {"user of another database", atPassword, "", "archive", "ivanov", "ivanov1", 2, false, ""},
      {"unknown database", atPassword, "", "nowhere", "ivanov", "ivanov1", 2, false, ""},
      // The identity kind sends neither name nor password: these would fail.
      {"identity", atWindows, "ivanov", "demo", "petrova", "wrong", 0, true, "ivanov"},
      {"identity, letter case", atWindows, "IVANOV", "demo", "", "", 0, true, "ivanov"},
      {"identity not on record", atWindows, "petrova", "demo", "petrova", "petrova1", 2, false, ""},
      {"no identity", atWindows, "", "demo", "ivanov", "ivanov1", 2, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TAppMainSystem ms;
    Wire(ms, server_->Port());
    ms.SetOSIdentity(c.identity);
    ms.SetAuthentific(c.authentific);
    ms.SetDBName(c.db);
    ms.SetUserName(c.user);
    ms.SetPassword(c.password);
    ms.Connect();
    TAppWorkFlow wf;
    Wire(wf, server_->Port());
    wf.SetOSIdentity(c.identity);
    wf.SetAuthentific(c.authentific);
    wf.SetUserName(c.user);
    wf.SetPassword(c.password);
    wf.Connect();
    if (c.code != 0) {
      EXPECT_EQ(ApiCode([&] { ms.ConnectToDB(); }), c.code);
      EXPECT_EQ(ApiCode([&] { wf.ConnectToDB(kWorkFlowAppVersion, c.db); }), c.code);
      // Still not signed in on either connection.
      EXPECT_EQ(ApiCode([&] { ms.GetTypeList(); }), 1);
      EXPECT_EQ(ApiCode([&] { wf.GetUserList(); }), 1);
      continue;
    }
    ASSERT_NO_THROW(ms.ConnectToDB());
    EXPECT_EQ(ms.IsAdmin(), c.admin);
    EXPECT_EQ(ms.AppVersion(), 20100701);
    const std::vector<std::string> titles =
        std::string(c.db) == "archive" ? std::vector<std::string>{"Инвентарный номер"}
                                       : std::vector<std::string>{"Обозначение", "Наименование"};
    EXPECT_EQ(ms.TitleAttributes(), titles);
    ASSERT_NO_THROW(wf.ConnectToDB(kWorkFlowAppVersion, c.db));
    EXPECT_NE(wf.ID_User(), 0);
    EXPECT_EQ(wf.UserName(), c.login);
    EXPECT_FALSE(wf.UserFullName().empty());
  }

  // An unknown kind is refused before anything is sent.
  TAppMainSystem ms;
  Wire(ms, server_->Port());
  ms.SetDBName("demo");
  EXPECT_THROW(ms.ConnectToDB(), Exception);
  EXPECT_FALSE(ms.IsConnectedToServer());
}

// ---------------------------------------------------------------- task life cycle

// A task process built and driven exactly as the gateway's task operations
// do it: one executor stage, the author's check stage with a return link, and
// an instance of the finishing auto-operation.
class TaskLifeCycle {
 public:
  TaskLifeCycle(TAppMainSystem& authorMs, TAppWorkFlow& author, TAppWorkFlow& executor)
      : authorMs_(authorMs), author_(author), executor_(executor) {}

  int32_t route = 0, work = 0, check = 0, finish = 0;

  void Create(const std::string& subject, const std::string& text, int32_t role, int32_t document, double plan) {
    subject_ = subject;
    TDataSetPtr roles = author_.GetRoleListForUser(author_.ID_User());
    ASSERT_TRUE(roles->Locate("_ROLENAME", "everyone"));
    const int32_t everyone = roles->FieldByName("_ID_ROLE").AsInteger();

    route = author_.CreateNewProcess(authorMs_.DBName(), document, EncodeProcessName(bpkTask, 0, subject)).AsInteger();
    ASSERT_NE(route, 0);
    TDataSetPtr ops = author_.GetAutoOperationList(1);
    int32_t op = 0;
    for (ops->First(); !ops->Eof(); ops->Next())
      if (ops->FieldByName("_NAME").AsString() == kFinishOperation) op = ops->FieldByName("_ID").AsInteger();
    if (op == 0) {
      Variant script("FinishProcess"), id = Variant::Null();
      author_.InsUpdAutoOperation(kFinishOperation, 1, 1, 1, script, id);
      op = id.IsNull() ? 0 : id.AsInteger();
      ASSERT_NE(op, 0);
    }
    Variant variables = Variant::Null(), instance = Variant::Null();
    author_.InsUpdOpInstance(op, 0, variables, route, instance);
    finish = instance.IsNull() ? 0 : instance.AsInteger();
    ASSERT_NE(finish, 0);

    ASSERT_EQ(authorMs_.AppVersion(), 20100701);  // the newest stage interface
    work = InsertStage(text, Variant(uint8_t{0}), Variant(plan), role, executor_.ID_User());
    Variant none = Variant::Null();
    author_.AddRouteItemsSeq(none, work, 0);
    check = InsertStage(kCheckTask, Variant::Null(), Variant::Null(), everyone, author_.ID_User());
    Variant first(work), second(check);
    author_.AddRouteItemsSeq(first, check, 0);
    author_.AddRouteItemsRetSeq(second, work);
    author_.AddRouteItemsSeq(second, finish, 0);
  }

  // What the state changer reads before every action.
  struct Known {
    int32_t role = 0, executor = 0, author = 0;
    std::string executorName;
  };
  Known Read() {
    Known k;
    TDataSetPtr stage = author_.GetInfoAboutStage(work);
    EXPECT_FALSE(stage->IsEmpty());
    if (stage->IsEmpty()) return k;
    EXPECT_EQ(stage->FieldByName("_ID_ROUTE").AsInteger(), route);
    k.role = stage->FieldByName("_ID_ROLE").AsInteger();
    k.executor = stage->FieldByName("_ID_USER").AsInteger();
    k.executorName = stage->FieldByName("_USER_NAME").AsString();
    TDataSetPtr r = author_.GetInfoAboutRoute(route);
    EXPECT_FALSE(r->IsEmpty());
    if (!r->IsEmpty()) k.author = r->FieldByName("_ID_OWNER").AsInteger();
    return k;
  }

  void LetterToExecutor(TAppWorkFlow& from, const std::string& subject, const std::string& body) {
    Known k = Read();
    Variant auRole(uint8_t{0}), recRole(k.role), recUser(k.executor);
    from.SendLetterByBPToOneUser(route, auRole, recRole, recUser, subject, body);
  }
  void LetterToAuthor(TAppWorkFlow& from, const std::string& subject, const std::string& body) {
    Known k = Read();
    Variant auRole(k.role), recRole(uint8_t{0}), recUser(k.author);
    from.SendLetterByBPToOneUser(route, auRole, recRole, recUser, subject, body);
  }
  void CompleteItem(TAppWorkFlow& wf, int32_t item) {
    wf.SetItemState(item, 4, 0);
    wf.StartNextStage(route, item, 2);
  }
  // The first next item, when it is an open check stage.
  int32_t OpenCheckItem() {
    TDataSetPtr next = author_.GetNextItems(work);
    if (next->IsEmpty()) return 0;
    const int32_t type = next->FieldByName("_ITEM_TYPE").AsInteger();
    const int32_t state = next->FieldByName("_ITEM_STATE").AsInteger();
    return type == 1 && (state == 2 || state == 6) ? next->FieldByName("_ID_ITEM").AsInteger() : 0;
  }
  void WithdrawExecutorGrants() {
    Known k = Read();
    TDataSetPtr docs = author_.GetAttachDocumentListIntoProcess(route);
    std::string ids;
    for (docs->First(); !docs->Eof(); docs->Next())
      ids += (ids.empty() ? "" : ",") + std::to_string(docs->FieldByName("_PDM_OBJECT_ID").AsInteger());
    if (ids.empty()) return;
    TDataSetPtr versions = authorMs_.GetPropObjects2(0, ids, 0);
    TDataSetPtr types = authorMs_.GetTypeList();
    for (versions->First(); !versions->Eof(); versions->Next()) {
      ASSERT_TRUE(types->Locate("_ID", static_cast<int64_t>(versions->FieldByName("_ID_TYPE").AsInteger())));
      if (types->FieldByName("_DOCUMENT").AsInteger() != 1 || versions->FieldByName("_ACCESSLEVEL").AsInteger() != 3)
        continue;
      authorMs_.UpGrantOnVersion(0, types->FieldByName("_TYPENAME").AsString(),
                                 versions->FieldByName("_PRODUCT").AsString(),
                                 versions->FieldByName("_VERSION").AsString(), k.executorName, 0, 0.0, true);
    }
  }

  const std::string& Subject() const { return subject_; }

 private:
  int32_t InsertStage(const std::string& task, Variant term, Variant plan, int32_t role, int32_t user) {
    Variant t(task), control(uint8_t{1}), active(uint8_t{1}), r(role), u(user), bp(route), transform(uint8_t{0}),
        id = Variant::Null(), constraint, fromStart = Variant::Null();
    author_.InsUpdStageIntoBP_V10(t, term, plan, control, active, r, u, bp, transform, id, constraint, fromStart);
    EXPECT_FALSE(id.IsNull()) << task;
    return id.IsNull() ? 0 : id.AsInteger();
  }

  TAppMainSystem& authorMs_;
  TAppWorkFlow& author_;
  TAppWorkFlow& executor_;
  std::string subject_;
};

struct LifeCycleCase {
  const char* name;
  Login author, executor;
  const char* executorRole;
  const char* document;  // attached; the executor's grant on it is withdrawn
};

void PrintTo(const LifeCycleCase& c, std::ostream* os) { *os << c.name; }

class ProxyLifeCycleTest : public ProxyTest, public ::testing::WithParamInterface<LifeCycleCase> {};

// Process state, work stage, check stage and finishing item after each step.
struct States {
  int32_t process, work, check, finish;
  bool operator==(const States&) const = default;
};
std::ostream& operator<<(std::ostream& os, const States& s) {
  return os << "{process " << s.process << ", work " << s.work << ", check " << s.check << ", finish " << s.finish
            << "}";
}

TEST_P(ProxyLifeCycleTest, TaskMovesThroughEveryStepWithLettersAndGrants) {
  const LifeCycleCase& c = GetParam();
  auto authorMs = Main(c.author);
  auto author = Workflow(c.author);
  auto executor = Workflow(c.executor);
  auto executorMs = Main(c.executor);
  TDataSetPtr roles = executor->GetRoleListForUser(executor->ID_User());
  ASSERT_TRUE(roles->Locate("_ROLENAME", c.executorRole));
  const int32_t role = roles->FieldByName("_ID_ROLE").AsInteger();
  const int32_t document = Version(*authorMs, c.document);
  ASSERT_GT(executorMs->GetPropObjects2(0, std::to_string(document), 0)->FieldByName("_ACCESSLEVEL").AsInteger(), 0);

  TaskLifeCycle task(*authorMs, *author, *executor);
  ASSERT_NO_FATAL_FAILURE(task.Create("Подготовить отчёт", "Собрать данные за квартал", role, document, 45510.0));
  author->AddBPDocument(task.route, document, 0);

  auto states = [&] {
    auto route = author->GetInfoAboutRoute(task.route);
    return States{route->FieldByName("_WF_STATE").AsInteger(),
                  author->GetInfoAboutStage(task.work)->FieldByName("_STATE").AsInteger(),
                  author->GetInfoAboutStage(task.check)->FieldByName("_STATE").AsInteger(),
                  author->GetInfoAboutItem(task.finish)->FieldByName("_ITEM_STATE").AsInteger()};
  };

  // As built: not started, everything waiting, the stages as given.
  EXPECT_EQ(states(), (States{0, 0, 0, 0}));
  TDataSetPtr stage = author->GetInfoAboutStage(task.work);
  EXPECT_EQ(stage->FieldByName("_TASK").AsString(), "Собрать данные за квартал");
  EXPECT_EQ(stage->FieldByName("_USER_NAME").AsString(), c.executor.user);
  EXPECT_EQ(stage->FieldByName("_ID_ROLE").AsInteger(), role);
  EXPECT_DOUBLE_EQ(stage->FieldByName("_DATE_EXECUTION_PLAN").AsDateTime(), 45510.0);
  TDataSetPtr checkStage = author->GetInfoAboutStage(task.check);
  EXPECT_EQ(checkStage->FieldByName("_TASK").AsString(), kCheckTask);
  EXPECT_EQ(checkStage->FieldByName("_ID_USER").AsInteger(), author->ID_User());
  TDataSetPtr route = author->GetInfoAboutRoute(task.route);
  EXPECT_EQ(ProcessNameTitle(route->FieldByName("_ROUTENAME").AsString()), task.Subject());
  EXPECT_EQ(route->FieldByName("_PDM_ID").AsInteger(), document);
  EXPECT_EQ(route->FieldByName("_OWNERNAME").AsString(), c.author.user);
  TDataSetPtr afterCheck = author->GetNextItems(task.check);
  EXPECT_EQ(Ints(*afterCheck, "_ID_ITEM"), std::vector<int32_t>{task.finish});
  EXPECT_EQ(afterCheck->FieldByName("_ITEM_TYPE").AsInteger(), 2);
  // Exactly one finishing operation in the database, whether found or created.
  TDataSetPtr ops = author->GetAutoOperationList(1);
  auto names = Texts(*ops, "_NAME");
  EXPECT_EQ(std::count(names.begin(), names.end(), kFinishOperation), 1);

  enum Recipient { kNobody, kToExecutor, kToAuthor };
  struct Step {
    const char* name;
    std::function<void()> act;
    States after;
    Recipient letter;
    std::string subject;
  };
  const std::string& title = task.Subject();
  const std::vector<Step> steps = {
      {"issue",
       [&] {
         author->SetStateOfProcess(task.route, 1);
         task.LetterToExecutor(*author, "{NewTask}", "[BPInfo]\r\nSubj=" + title + "\r\n\r\n");
       },
       {1, 2, 0, 0}, kToExecutor, "{NewTask}"},
      {"take into work",
       [&] {
         executor->SetTaskState(task.route, task.work, 3, "");
         task.LetterToAuthor(*executor, "{SetToWork}", "Задание взято в работу");
       },
       {1, 3, 0, 0}, kToAuthor, "{SetToWork}"},
      {"complete",
       [&] {
         task.CompleteItem(*executor, task.work);
         task.LetterToAuthor(*executor, title, "Задание выполнено");
       },
       {1, 4, 2, 0}, kToAuthor, title},
      {"return for rework",
       [&] {
         const int32_t checkItem = task.OpenCheckItem();
         ASSERT_EQ(checkItem, task.check);
         author->SetItemStateInternal(checkItem, 0);
         for (int32_t s : {0, 2, 3}) author->SetItemStateInternal(task.work, s);
         task.LetterToExecutor(*author, title, "Задание возвращено");
       },
       {1, 3, 0, 0}, kToExecutor, title},
      {"complete again",
       [&] {
         ASSERT_EQ(task.OpenCheckItem(), 0);  // nothing to return or accept while the check waits
         task.CompleteItem(*executor, task.work);
         task.LetterToAuthor(*executor, title, "Задание выполнено");
       },
       {1, 4, 2, 0}, kToAuthor, title},
      {"revoke",
       [&] {
         task.WithdrawExecutorGrants();
         task.LetterToExecutor(*author, title, "Задание отозвано без указания причины");
         author->SetStateOfProcess(task.route, 2);
       },
       {2, 4, 2, 0}, kToExecutor, title},
      {"reissue",
       [&] {
         author->SetStateOfProcess(task.route, 1);
         task.LetterToExecutor(*author, title, "Задание выдано повторно");
       },
       {1, 4, 2, 0}, kToExecutor, title},
      {"check",
       [&] {
         const int32_t checkItem = task.OpenCheckItem();
         ASSERT_EQ(checkItem, task.check);
         author->SetTaskState(task.route, checkItem, 3, "");
       },
       {1, 4, 3, 0}, kNobody, ""},
      {"accept",
       [&] {
         task.CompleteItem(*author, task.check);
         task.WithdrawExecutorGrants();
       },
       {3, 4, 4, 4}, kNobody, ""},
  };

  size_t letters = author->GetCorrespondenceList(task.route)->RecordCount();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    ASSERT_NO_FATAL_FAILURE(step.act());
    EXPECT_EQ(states(), step.after);
    TDataSetPtr list = author->GetCorrespondenceList(task.route);
    ASSERT_EQ(list->RecordCount(), letters + (step.letter == kNobody ? 0 : 1));
    letters = list->RecordCount();
    if (step.letter == kNobody) continue;
    list->Last();
    const int32_t letter = list->FieldByName("_ID_LETTER").AsInteger();
    EXPECT_EQ(list->FieldByName("_MSG_SUBJECT").AsString(), step.subject);
    TAppWorkFlow& recipient = step.letter == kToExecutor ? *executor : *author;
    TAppWorkFlow& sender = step.letter == kToExecutor ? *author : *executor;
    EXPECT_EQ(list->FieldByName("_RECIPIENT_ID").AsInteger(), recipient.ID_User());
    EXPECT_EQ(list->FieldByName("_AUTHOR_ID").AsInteger(), sender.ID_User());
    // Delivered unread; the recipient reads it, and only the recipient may.
    TDataSetPtr unread = recipient.GetIncomingCorrespondence(2);
    ASSERT_TRUE(unread->Locate("_ID_LETTER", static_cast<int64_t>(letter)));
    EXPECT_EQ(unread->FieldByName("_ID_ROUTE").AsInteger(), task.route);
    Variant noRole = Variant::Null();
    EXPECT_EQ(ApiCode([&] { sender.SetLetterRead(letter, noRole, 1); }), 5);
    recipient.SetLetterRead(letter, noRole, 1);
    EXPECT_FALSE(recipient.GetIncomingCorrespondence(2)->Locate("_ID_LETTER", static_cast<int64_t>(letter)));
    EXPECT_TRUE(recipient.GetIncomingCorrespondence(1)->Locate("_ID_LETTER", static_cast<int64_t>(letter)));
    if (std::string(step.name) == "issue") {
      // The executor's current work now holds the stage.
      TDataSetPtr tasks = executor->GetTaskListForUser(executor->ID_User(), 1, 15, 0);
      ASSERT_TRUE(tasks->Locate("_ID_OPERATION", static_cast<int64_t>(task.work)));
      EXPECT_EQ(tasks->FieldByName("_STATE").AsInteger(), 2);
    }
    if (std::string(step.name) == "revoke") {
      EXPECT_EQ(executorMs->GetPropObjects2(0, std::to_string(document), 0)->FieldByName("_ACCESSLEVEL").AsInteger(),
                0);
      EXPECT_EQ(ApiCode([&] { executorMs->GetInfoAboutVersion(0, "", "", "", document, 7); }), 5);
    }
  }

  // Finished: it can be neither restarted nor moved on; only its owner deletes it.
  EXPECT_EQ(ApiCode([&] { author->SetStateOfProcess(task.route, 1); }), 6);
  EXPECT_EQ(ApiCode([&] { author->StartNextStage(task.route, task.check, 2); }), 6);
  EXPECT_EQ(ApiCode([&] { executor->DeleteProcess(task.route); }), 5);
  author->DeleteProcess(task.route);
  EXPECT_TRUE(author->GetInfoAboutRoute(task.route)->IsEmpty());
  EXPECT_TRUE(author->GetInfoAboutStage(task.work)->IsEmpty());
  // Its letters went with it.
  const auto letterRoutes = Ints(*executor->GetIncomingCorrespondence(0), "_ID_ROUTE");
  EXPECT_EQ(std::count(letterRoutes.begin(), letterRoutes.end(), task.route), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Databases, ProxyLifeCycleTest,
    ::testing::Values(
        // The demo database declares the finishing operation.
        LifeCycleCase{"demo", {"ivanov"}, {"sidorov"}, "Конструктор", "Вал приводной"},
        // The archive has none: the first task creates it.
        LifeCycleCase{
            "archive", {"admin", "admin1", "archive"}, {"archivist", "archive1", "archive"}, "Хранитель",
            "Паспорт станка"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- letters

TEST_F(ProxyTest, LettersInCommonCorrespondenceAndReadFlags) {
  auto sidorov = Workflow({"sidorov"});
  auto petrova = Workflow({"petrova"});
  // The common correspondence is found among the user's routes.
  TDataSetPtr routes = sidorov->GetTaskListForUser(sidorov->ID_User(), 3, 3, 2);
  ASSERT_TRUE(routes->Locate("_ROUTENAME", "Общая переписка"));
  const int32_t common = routes->FieldByName("_ID_ROUTE").AsInteger();

  Variant auRole(uint8_t{0}), recRole(int32_t{0}), recUser(petrova->ID_User());
  const int32_t letter =
      sidorov->SendLetterByBPToOneUser(common, auRole, recRole, recUser, "Вопрос", "Когда совещание?").AsInteger();
  ASSERT_NE(letter, 0);
  TDataSetPtr in = petrova->GetIncomingCorrespondence(0);
  ASSERT_TRUE(in->Locate("_ID_LETTER", static_cast<int64_t>(letter)));
  EXPECT_EQ(in->FieldByName("_ROUTENAME").AsString(), "Общая переписка");
  EXPECT_EQ(in->FieldByName("_AUTHOR_NAME").AsString(), "sidorov");
  EXPECT_EQ(in->FieldByName("_MSG_BODY").AsString(), "Когда совещание?");
  EXPECT_EQ(in->FieldByName("_IS_READ").AsInteger(), 0);

  // The read flag goes both ways and shows in the read/unread modes.
  Variant noRole = Variant::Null();
  for (int32_t flag : {1, 0, 1}) {
    petrova->SetLetterRead(letter, noRole, flag);
    EXPECT_EQ(petrova->GetIncomingCorrespondence(flag ? 1 : 2)->Locate("_ID_LETTER", static_cast<int64_t>(letter)),
              true)
        << flag;
    EXPECT_EQ(petrova->GetIncomingCorrespondence(flag ? 2 : 1)->Locate("_ID_LETTER", static_cast<int64_t>(letter)),
              false)
        << flag;
  }
  // The seeded unread letter of the demo process is ivanov's to read.
  auto ivanov = Workflow({"ivanov"});
  TDataSetPtr unread = ivanov->GetIncomingCorrespondence(2);
  EXPECT_EQ(Texts(*unread, "_AUTHOR_NAME"), std::vector<std::string>{"sidorov"});

  struct Bad {
    const char* what;
    std::function<void()> call;
    int32_t code;
  };
  Variant nobody(int32_t{0}), unknownUser(kUnknownId);
  const Bad bad[] = {
      {"no recipient", [&] { sidorov->SendLetterByBPToOneUser(common, auRole, recRole, nobody, "s", "b"); }, 3},
      {"unknown recipient", [&] { sidorov->SendLetterByBPToOneUser(common, auRole, recRole, unknownUser, "s", "b"); },
       4},
      {"unknown route", [&] { sidorov->SendLetterByBPToOneUser(kUnknownId, auRole, recRole, recUser, "s", "b"); }, 4},
      {"someone else's letter", [&] { sidorov->SetLetterRead(letter, noRole, 1); }, 5},
      {"unknown letter", [&] { petrova->SetLetterRead(kUnknownId, noRole, 1); }, 4},
      {"unknown mode", [&] { petrova->GetIncomingCorrespondence(3); }, 3},
  };
  for (const auto& b : bad) EXPECT_EQ(ApiCode(b.call), b.code) << b.what;
}

// ---------------------------------------------------------------- users and roles

TEST_F(ProxyTest, UserListAndRoleTree) {
  auto wf = Workflow({"ivanov"});
  TDataSetPtr users = wf->GetUserList();
  EXPECT_EQ(users->RecordCount(), 8u);
  std::map<std::string, int32_t> idOf;
  for (users->First(); !users->Eof(); users->Next()) {
    idOf[users->FieldByName("_NAME").AsString()] = users->FieldByName("_ID").AsInteger();
    EXPECT_FALSE(users->FieldByName("_FULLNAME").AsString().empty());
  }
  ASSERT_TRUE(users->Locate("_ID", static_cast<int64_t>(wf->ID_User())));
  EXPECT_EQ(users->FieldByName("_FULLNAME").AsString(), wf->UserFullName());
  EXPECT_EQ(wf->GetInfoAboutCurrentUser()->FieldByName("_ID").AsInteger(), wf->ID_User());

  // The tree: departments at the top, roles under them ("everyone" on top), a
  // user node under each role of the user.
  TDataSetPtr tree = wf->GetRoleTree(4);
  std::map<int32_t, std::pair<std::string, int32_t>> node;  // department and role nodes
  std::map<int32_t, std::set<std::string>> rolesOfUser;
  for (tree->First(); !tree->Eof(); tree->Next()) {
    const int32_t id = tree->FieldByName("_ID").AsInteger(), parent = tree->FieldByName("_PARENT").AsInteger();
    if (tree->FieldByName("_KIND").AsInteger() == 3) {
      ASSERT_TRUE(node.count(parent)) << "a user node before its role";
      rolesOfUser[id].insert(node[parent].first);
    } else {
      node[id] = {tree->FieldByName("_NAME").AsString(), parent};
    }
  }
  auto departmentOf = [&](const std::string& role) {
    for (const auto& [id, n] : node)
      if (n.first == role) return n.second == 0 ? std::string() : node[n.second].first;
    return std::string("?");
  };
  struct Case {
    const char* login;
    std::set<std::string> roles;
    const char* department;  // of the role other than "everyone"
  } cases[] = {
      {"ivanov", {"everyone", "Начальник КО"}, "Конструкторский отдел"},
      {"sidorov", {"everyone", "Конструктор"}, "Конструкторский отдел"},
      {"kuznetsova", {"everyone", "Технолог"}, "Технологический отдел"},
      {"fedorova", {"everyone", "Архивариус"}, "Отдел документации"},
      {"volkov", {"everyone", "Нормоконтролёр", "Архивариус"}, "Отдел документации"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.login);
    const int32_t id = idOf[c.login];
    ASSERT_NE(id, 0);
    EXPECT_EQ(rolesOfUser[id], c.roles);
    EXPECT_EQ(Sorted(Texts(*wf->GetRoleListForUser(id), "_ROLENAME")), c.roles);
    for (const auto& r : c.roles) EXPECT_EQ(departmentOf(r), r == "everyone" ? "" : c.department) << r;
  }
  EXPECT_EQ(wf->GetRoleTree(1)->RecordCount(), 3u);
  EXPECT_EQ(ApiCode([&] { wf->GetRoleTree(3); }), 3);
}

// ---------------------------------------------------------------- versions, titles, composition

TEST_F(ProxyTest, VersionsWithTitlesAndComposition) {
  auto ms = Main({"sidorov"});
  auto tree = Tree(*ms);
  ASSERT_EQ(tree.size(), 5u);
  std::set<std::string> top;
  for (const auto& [product, row] : tree)
    if (row.parent == 0) top.insert(product);
  EXPECT_EQ(top, (std::set<std::string>{"Корпус редуктора", "Редуктор", "Маршрутная карта"}));
  const TreeRow& reducer = tree["Редуктор"];
  EXPECT_EQ(tree["Вал приводной"].parent, reducer.id);
  EXPECT_EQ(tree["Шестерня"].parent, reducer.id);
  EXPECT_EQ(reducer.titles,
            (std::map<std::string, std::string>{{"Обозначение", "ПР-101"}, {"Наименование", "Редуктор цилиндрический"}}));

  TDataSetPtr types = ms->GetTypeList();
  TDataSetPtr stateList = ms->GetStateList();
  // Every version: the tree's titles are its title attribute values, and the
  // other views of the version agree with the tree.
  for (const auto& [product, row] : tree) {
    SCOPED_TRACE(product);
    TDataSetPtr attrs = ms->GetInfoAboutVersion(0, "", "", "", row.id, 2);
    for (const auto& title : ms->TitleAttributes()) {
      std::string value;
      if (attrs->Locate("_NAME", title)) value = attrs->FieldByName("_VALUE").AsString();
      EXPECT_EQ(row.titles.at(title), value) << title;
    }
    TDataSetPtr props = ms->GetPropObjects2(0, std::to_string(row.id), 0);
    ASSERT_EQ(props->RecordCount(), 1u);
    EXPECT_EQ(props->FieldByName("_PRODUCT").AsString(), product);
    EXPECT_EQ(props->FieldByName("_ID_TYPE").AsInteger(), row.type);
    EXPECT_EQ(props->FieldByName("_VERSION").AsString(), row.version);
    EXPECT_EQ(props->FieldByName("_ACCESSLEVEL").AsInteger(), row.access);
    EXPECT_EQ(props->FieldByName("_ID_STATE").AsInteger(), row.state);
    TDataSetPtr info = ms->GetInfoAboutVersion(0, "", "", "", row.id, 15);
    ASSERT_TRUE(types->Locate("_ID", static_cast<int64_t>(row.type)));
    EXPECT_EQ(info->FieldByName("_TYPENAME").AsString(), types->FieldByName("_TYPENAME").AsString());
    ASSERT_TRUE(stateList->Locate("_ID", static_cast<int64_t>(row.state)));
    EXPECT_EQ(info->FieldByName("_STATENAME").AsString(), stateList->FieldByName("_NAME").AsString());
    EXPECT_EQ(ms->ExistsObject(0, "", "", "", row.id), 1);
    // By name as well as by id.
    EXPECT_EQ(ms->ExistsObject(0, types->FieldByName("_TYPENAME").AsString(), product, row.version, 0), 1);
  }
  EXPECT_EQ(ms->ExistsObject(0, "", "", "", kUnknownId), 0);
  EXPECT_EQ(tree["Вал приводной"].access, 2);  // sidorov's own grant
  EXPECT_EQ(tree["Шестерня"].access, 1);

  // Composition, both ways, as the document lists read it.
  const int32_t shaft = tree["Вал приводной"].id, gear = tree["Шестерня"].id;
  TDataSetPtr kids = ms->GetLinkedObjects2(0, reducer.id, kComposition, false, true, false);
  EXPECT_EQ(Ints(*kids, "_ID_VERSION"), (std::vector<int32_t>{shaft, gear}));
  EXPECT_EQ(Ints(*kids, "_ID_TYPE"), (std::vector<int32_t>{tree["Вал приводной"].type, tree["Шестерня"].type}));
  EXPECT_EQ(Texts(*kids, "_LINKTYPE"), (std::vector<std::string>{kComposition, kComposition}));
  EXPECT_EQ(Ints(*ms->GetLinkedObjects2(0, gear, kComposition, true, false, false), "_ID_VERSION"),
            std::vector<int32_t>{reducer.id});
  EXPECT_TRUE(ms->GetLinkedObjects2(0, reducer.id, "другая связь", false, true, false)->IsEmpty());
  EXPECT_TRUE(ms->GetLinkedObjects2(0, shaft, kComposition, false, true, false)->IsEmpty());
  EXPECT_EQ(Ints(*ms->GetTree2(0, reducer.id, kComposition, 1), "_ID_VERSION"), (std::vector<int32_t>{shaft, gear}));
}

// ---------------------------------------------------------------- files

TEST_F(ProxyTest, FilesReadInBlocksMatchTheirSizeAndChecksum) {
  ASSERT_EQ(Crc32({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xCBF43926u);
  auto ms = Main({"petrova"});
  auto tree = Tree(*ms);
  const std::map<std::string, std::string> known = {
      {"shaft.txt", "Вал приводной ПР-101.001\nМатериал: сталь 40Х\nДлина: 420 мм\n"},
      {"gear.txt", "Шестерня z=32, модуль 2\n"},
  };
  size_t filesSeen = 0;
  for (const auto& [product, row] : tree) {
    TDataSetPtr files = ms->GetInfoAboutVersion(0, "", "", "", row.id, 7);
    for (files->First(); !files->Eof(); files->Next()) {
      const std::string name = files->FieldByName("_NAME").AsString();
      const std::string stored = files->FieldByName("_LOCALNAME").AsString();
      const int64_t size = files->FieldByName("_SIZE").AsInt64();
      const int64_t crc = files->FieldByName("_CRC").AsInt64();
      SCOPED_TRACE(product + "/" + name);
      ++filesSeen;
      EXPECT_EQ(ms->ExtractFile("", "", "", row.id, name, stored, 1), name);
      for (int32_t block : {7, 1000}) {
        std::vector<uint8_t> all;
        for (int32_t pos = 0;; pos += block) {
          Variant fileSize, read, sum;
          Variant bytes = ms->GetFileData(name, stored, pos, block, 1, fileSize, read, sum);
          const std::vector<uint8_t> got = bytes.IsEmpty() || bytes.IsNull() ? std::vector<uint8_t>{} : bytes.AsBytes();
          EXPECT_EQ(fileSize.AsInteger(), size);
          EXPECT_EQ(read.AsInteger(), static_cast<int32_t>(got.size()));
          EXPECT_EQ(static_cast<uint32_t>(sum.AsInteger()), Crc32(got));
          EXPECT_EQ(got.size(), static_cast<size_t>(std::clamp<int64_t>(size - pos, 0, block)));
          all.insert(all.end(), got.begin(), got.end());
          if (got.empty()) break;
        }
        EXPECT_EQ(static_cast<int64_t>(all.size()), size) << block;
        EXPECT_EQ(static_cast<int64_t>(Crc32(all)), crc) << block;
        if (name == "gear.bin") {
          ASSERT_EQ(all.size(), 32u);
          for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i);
        }
        if (auto k = known.find(name); k != known.end()) {
          EXPECT_EQ(std::string(all.begin(), all.end()), k->second);
        }
      }
    }
  }
  EXPECT_EQ(filesSeen, 9u);

  // Extraction is per session and per stored name.
  const int32_t gear = tree["Шестерня"].id;
  TDataSetPtr files = ms->GetInfoAboutVersion(0, "", "", "", gear, 7);
  const std::string stored = files->FieldByName("_LOCALNAME").AsString();
  auto other = Main({"kuznetsova"});
  Variant a, b, c;
  EXPECT_EQ(ApiCode([&] { other->GetFileData("gear.txt", stored, 0, 10, 1, a, b, c); }), 4);
  EXPECT_EQ(ApiCode([&] { other->ExtractFile("", "", "", gear, "gear.txt", "no-such-file", 1); }), 4);
  EXPECT_EQ(ApiCode([&] { ms->GetFileData("gear.txt", stored, -1, 10, 1, a, b, c); }), 3);
}

// ---------------------------------------------------------------- searches

TEST_F(ProxyTest, SearchByReportAndByXml) {
  auto ms = Main({"sidorov"});
  auto tree = Tree(*ms);
  TDataSetPtr attrs = ms->GetAttributeList();
  ASSERT_TRUE(attrs->Locate("_NAME", "Наименование"));
  const std::string name = std::to_string(attrs->FieldByName("_ID").AsInteger());
  TDataSetPtr types = ms->GetTypeList();
  ASSERT_TRUE(types->Locate("_TYPENAME", "Спецификация"));
  const std::string specs = std::to_string(types->FieldByName("_ID").AsInteger());
  const std::string reducer = std::to_string(tree["Редуктор"].id);

  // The report exists in this database: that is how the gateway chooses the path.
  EXPECT_TRUE(ms->GetInfoAboutCurrentBase(10)->Locate("_PROC_NAME", "rep_SEARCH"));
  auto products = [&](Dataset& ds) {
    std::set<std::string> out;
    for (int32_t id : Ints(ds, "_ID_VERSION")) {
      for (const auto& [p, row] : tree)
        if (row.id == id) out.insert(p);
    }
    return out;
  };
  struct Case {
    std::string params;
    std::set<std::string> found;
  } reports[] = {
      {"PATTERN=%корпус%\r\nPATTERNATTRS=" + name + "\r\nTYPES=\r\nSTATES=\r\n", {"Корпус редуктора"}},
      {"PATTERN=ш%\r\nTYPES=\r\nSTATES=\r\n", {"Шестерня"}},  // the product, letter case ignored
      {"TYPES=" + specs + "\r\nSTATES=\r\n", {"Редуктор", "Маршрутная карта"}},
      {"PATTERN=%\r\nTYPES=\r\nSTATES=\r\nCONTEXT=" + reducer + "\r\nLINKS=\r\n", {"Вал приводной", "Шестерня"}},
      {"PATTERN=нет такого\r\n", {}},
  };
  for (const auto& c : reports) {
    Variant objects(std::vector<int32_t>{0});
    TDataSetPtr found = ms->GetReport(0, "rep_SEARCH", objects, c.params);
    EXPECT_EQ(products(*found), c.found) << c.params;
  }

  auto filter = [](const std::string& types, const std::string& cond) {
    return "<FilterStep id=\"1\" stepname=\"Фильтр\"><TypeList>" + types + "</TypeList><AttrList>" + cond +
           "</AttrList><ResultStep id=\"2\" stepname=\"Результат\" AllResult=\"union\"/></FilterStep>";
  };
  const std::string head = "<?xml version=\"1.0\" encoding=\"windows-1251\"?><FIND>";
  const Case xmls[] = {
      {head + filter("<Type name=\"Чертёж\"/>", "") + "</FIND>", {"Вал приводной", "Шестерня", "Корпус редуктора"}},
      {head +
           filter("<Type name=\"Чертёж\"/><Type name=\"Спецификация\"/>",
                  "<Attribute AttrName=\"Обозначение\" AttrValue=\"Обозначение like '%101.00_'\"/>") +
           "</FIND>",
       {"Вал приводной", "Шестерня", "Корпус редуктора"}},
      {head + filter("", "<Attribute AttrName=\"Наименование\" AttrValue=\"Наименование = 'Шестерня z=32'\"/>") +
           "</FIND>",
       {"Шестерня"}},
      {head + filter("<Type name=\"Нет такого\"/>", "") + "</FIND>", {}},
  };
  for (const auto& c : xmls) EXPECT_EQ(products(*ms->FindObjectsInContext2(0, "", c.params, 0)), c.found) << c.params;

  EXPECT_EQ(ApiCode([&] { ms->FindObjectsInContext2(0, "", "<FIND><Oops/></FIND>", 0); }), 3);
  auto archive = Main({"archivist", "archive1", "archive"});
  EXPECT_FALSE(archive->GetInfoAboutCurrentBase(10)->Locate("_PROC_NAME", "rep_SEARCH"));
  Variant objects(std::vector<int32_t>{0});
  EXPECT_EQ(ApiCode([&] { archive->GetReport(0, "rep_SEARCH", objects, "TYPES=\r\n"); }), 4);
}

// ---------------------------------------------------------------- error pairs

TEST_F(ProxyTest, UnknownIdsAnswerTheErrorPairOrNoRows) {
  auto ms = Main({"ivanov"});
  auto wf = Workflow({"ivanov"});
  Variant user(wf->ID_User()), role(int32_t{0}), none = Variant::Null(), term(0.0), task("x"), a, b, c;
  struct Case {
    const char* what;
    std::function<void()> call;
    int32_t code;
  } cases[] = {
      {"GetInfoAboutVersion", [&] { ms->GetInfoAboutVersion(0, "", "", "", kUnknownId, 7); }, 4},
      {"GetInfoAboutVersion by name", [&] { ms->GetInfoAboutVersion(0, "Чертёж", "Нет такого", "1", 0, 2); }, 4},
      {"GetInfoAboutVersion mode", [&] { ms->GetInfoAboutVersion(0, "", "", "", Version(*ms, "Шестерня"), 3); }, 3},
      {"GetTree2", [&] { ms->GetTree2(0, kUnknownId, "", 1); }, 4},
      {"GetLinkedObjects2", [&] { ms->GetLinkedObjects2(0, kUnknownId, kComposition, false, true, false); }, 4},
      {"ExtractFile", [&] { ms->ExtractFile("", "", "", kUnknownId, "a.txt", "1_a.txt", 1); }, 4},
      {"GetFileData", [&] { ms->GetFileData("a.txt", "1_a.txt", 0, 10, 1, a, b, c); }, 4},
      {"UpGrantOnVersion", [&] { ms->UpGrantOnVersion(0, "Чертёж", "Нет такого", "1", "sidorov", 0, 0.0, true); }, 4},
      {"UpGrantOnVersion user", [&] { ms->UpGrantOnVersion(0, "Чертёж", "Шестерня", "2", "nobody", 0, 0.0, true); }, 4},
      {"ConnectToCheckOut", [&] { ms->ConnectToCheckOut(kUnknownId); }, 4},
      {"DeleteProcess", [&] { wf->DeleteProcess(kUnknownId); }, 4},
      {"SetStateOfProcess", [&] { wf->SetStateOfProcess(kUnknownId, 1); }, 4},
      {"RenameProcess", [&] { wf->RenameProcess(kUnknownId, "x"); }, 4},
      {"SetTaskState", [&] { wf->SetTaskState(kUnknownId, kUnknownId, 3, ""); }, 4},
      {"SetItemState", [&] { wf->SetItemState(kUnknownId, 4, 0); }, 4},
      {"SetItemStateInternal", [&] { wf->SetItemStateInternal(kUnknownId, 0); }, 4},
      {"StartNextStage", [&] { wf->StartNextStage(kUnknownId, kUnknownId, 2); }, 4},
      {"GetNextItems", [&] { wf->GetNextItems(kUnknownId); }, 4},
      {"SetStageExecutor", [&] { wf->SetStageExecutor(kUnknownId, user, role); }, 4},
      {"SetStageTask", [&] { wf->SetStageTask(kUnknownId, task); }, 4},
      {"SetStageTerm", [&] { wf->SetStageTerm(kUnknownId, 0, term, 0, 0); }, 4},
      {"AddBPDocument", [&] { wf->AddBPDocument(kUnknownId, 1, 0); }, 4},
      {"AddRouteItemsSeq", [&] { wf->AddRouteItemsSeq(none, kUnknownId, 0); }, 4},
      {"GetCorrespondenceList", [&] { wf->GetCorrespondenceList(kUnknownId); }, 4},
      {"GetRoleListIntoProcess", [&] { wf->GetRoleListIntoProcess(kUnknownId); }, 4},
      {"GetAttachDocumentListIntoProcess", [&] { wf->GetAttachDocumentListIntoProcess(kUnknownId); }, 4},
      {"InsUpdOpInstance", [&] { wf->InsUpdOpInstance(1, 0, none, kUnknownId, a); }, 4},
      {"CreateNewProcess in another database", [&] { wf->CreateNewProcess("archive", 0, "x"); }, 4},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(ApiCode(c.call, &message), c.code) << c.what;
    EXPECT_FALSE(message.empty()) << c.what;
  }
  std::string message;
  ApiCode([&] { wf->DeleteProcess(kUnknownId); }, &message);
  EXPECT_EQ(message, "Process with id=[987654] not found");
  // The readers the state changer starts with answer no row instead.
  EXPECT_TRUE(wf->GetInfoAboutStage(kUnknownId)->IsEmpty());
  EXPECT_TRUE(wf->GetInfoAboutRoute(kUnknownId)->IsEmpty());
  EXPECT_TRUE(wf->GetInfoAboutItem(kUnknownId)->IsEmpty());
  // The connections are still good after all those failures.
  EXPECT_EQ(wf->GetUserList()->RecordCount(), 8u);
  EXPECT_TRUE(ms->IsConnectedToServer());
}

// ---------------------------------------------------------------- restart

TEST_F(ProxyTest, RestartOnTheSameFileLosesNothingAndProxiesSignInAgain) {
  auto ivanovMs = Main({"ivanov"});
  auto ivanov = Workflow({"ivanov"});
  auto sidorov = Workflow({"sidorov"});
  const int32_t gear = Version(*ivanovMs, "Шестерня"), shaft = Version(*ivanovMs, "Вал приводной");

  // Changes of every kind: a process with a stage, started; a letter; a grant; a check-out.
  const int32_t route = ivanov->CreateNewProcess("demo", gear, "{0200000000}Пережить перезапуск").AsInteger();
  Variant t("Сделать"), term = Variant::Null(), plan(45511.0), one(uint8_t{1}), r(int32_t{0}), u(sidorov->ID_User()),
      bp(route), zero(uint8_t{0}), stage = Variant::Null(), tc, fs = Variant::Null();
  ivanov->InsUpdStageIntoBP_V10(t, term, plan, one, one, r, u, bp, zero, stage, tc, fs);
  ASSERT_FALSE(stage.IsNull());
  ivanov->SetStateOfProcess(route, 1);
  Variant auRole(uint8_t{0}), recRole(int32_t{0}), recUser(sidorov->ID_User());
  const int32_t letter =
      ivanov->SendLetterByBPToOneUser(route, auRole, recRole, recUser, "{NewTask}", "[BPInfo]\r\n").AsInteger();
  ivanovMs->UpGrantOnVersion(0, "Чертёж", "Шестерня", "2", "smirnov", 2, 0.0, false);
  const int32_t co = ivanovMs->CheckOut("Чертёж", "Вал приводной", "1", 0);
  ASSERT_TRUE(ivanovMs->ConnectToCheckOut(co));

  const uint16_t port = server_->Port();
  server_->Stop();
  server_.reset();
  StartServer(port);  // the same file, the same seed, the same port

  // Without a handler the call that finds the connection gone fails, and the
  // next one reconnects and signs in again.
  EXPECT_THROW(sidorov->GetIncomingCorrespondence(2), ELostConnectionException);
  EXPECT_EQ(sidorov->ID_User(), 0);
  TDataSetPtr unread = sidorov->GetIncomingCorrespondence(2);
  EXPECT_TRUE(unread->Locate("_ID_LETTER", static_cast<int64_t>(letter)));
  EXPECT_NE(sidorov->ID_User(), 0);
  EXPECT_EQ(sidorov->UserName(), "sidorov");

  // A handler that reconnects lets the very call go through; the check-out
  // that was current is selected again.
  ivanovMs->SetOnLostConnection([](TAppBrevalon& p) { p.Reconnect(); });
  TDataSetPtr locked = ivanovMs->GetLockedObjects(co, 0);
  EXPECT_EQ(Ints(*locked, "_ID_VERSION"), std::vector<int32_t>{shaft});
  EXPECT_EQ(ivanovMs->IdCheckOut(), co);
  EXPECT_TRUE(ivanovMs->IsAdmin());
  EXPECT_EQ(Ints(*ivanovMs->GetInfoAboutCurrentBase(2), "_CHECKOUTNAME"), std::vector<int32_t>{co});

  EXPECT_THROW(ivanov->GetInfoAboutRoute(route), ELostConnectionException);
  TDataSetPtr r2 = ivanov->GetInfoAboutRoute(route);
  ASSERT_EQ(r2->RecordCount(), 1u);
  EXPECT_EQ(r2->FieldByName("_WF_STATE").AsInteger(), 1);
  EXPECT_EQ(ivanov->GetInfoAboutStage(stage.AsInteger())->FieldByName("_STATE").AsInteger(), 2);
  EXPECT_DOUBLE_EQ(ivanov->GetInfoAboutStage(stage.AsInteger())->FieldByName("_DATE_EXECUTION_PLAN").AsDateTime(),
                   45511.0);
  auto smirnov = Main({"smirnov"});
  EXPECT_EQ(smirnov->GetPropObjects2(0, std::to_string(gear), 0)->FieldByName("_ACCESSLEVEL").AsInteger(), 2);
  // The seed was not loaded a second time.
  EXPECT_EQ(ivanov->GetUserList()->RecordCount(), 8u);
  auto names = Texts(*ivanov->GetAutoOperationList(1), "_NAME");
  EXPECT_EQ(std::count(names.begin(), names.end(), kFinishOperation), 1);
  EXPECT_EQ(Tree(*smirnov).size(), 5u);
}

// ---------------------------------------------------------------- scale

size_t ThreadCount() {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// Every gateway session holds two connections; a thousand sessions must not
// cost a thousand threads.
TEST_F(ProxyTest, TwoThousandSignedInConnectionsShareASmallPool) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  getrlimit(RLIMIT_NOFILE, &rl);
  // Both ends of every connection are in this process.
  if (rl.rlim_cur < 5000) GTEST_SKIP() << "the descriptor limit " << rl.rlim_cur << " is below 5000";

  int32_t shaft = 0;
  {
    auto ms = Main({"ivanov"});
    shaft = Version(*ms, "Вал приводной");
  }
  struct User {
    const char* login;
    int32_t shaftLevel;
    bool admin;
  };
  const User users[] = {{"ivanov", 3, true},      {"petrova", 1, false}, {"sidorov", 2, false}, {"kuznetsova", 1, false},
                        {"smirnov", 1, false},    {"popova", 1, false},  {"volkov", 1, false},  {"fedorova", 1, false}};
  constexpr int kPairs = 1000;  // 2000 connections
  constexpr int kWorkers = 8;

  std::atomic<bool> done{false};
  std::atomic<size_t> maxThreads{0};
  std::thread sampler([&] {
    while (!done.load()) {
      size_t n = ThreadCount();
      size_t seen = maxThreads.load();
      while (n > seen && !maxThreads.compare_exchange_weak(seen, n)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  std::mutex failuresMutex;
  std::vector<std::string> failures;
  auto fail = [&](const std::string& what) {
    std::lock_guard lock(failuresMutex);
    if (failures.size() < 10) failures.push_back(what);
  };
  std::atomic<int> opened{0}, answered{0}, written{0};
  std::barrier allOpen(kWorkers);
  RdcEndpoint ep;
  ep.host = "127.0.0.1";
  ep.port = server_->Port();

  auto call = [](RdcClient& c, const char* name, std::vector<RdcArg> args) {
    Variant code, message;
    args.push_back(RdcArg::Ref(code));
    args.push_back(RdcArg::Ref(message));
    Variant r = c.Call(name, args);
    if (!code.IsEmpty() && code.AsInteger() != 0) throw Exception(std::string(name) + ": " + message.AsString());
    return r;
  };

  struct Pair {
    int index;
    const User* user;
    std::unique_ptr<RdcClient> ms, wf;
  };
  std::mutex keptMutex;
  std::vector<Pair> kept;  // every connection, still open when the workers end
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::vector<Pair> mine;
      try {
        for (int i = w; i < kPairs; i += kWorkers) {
          const User& u = users[i % std::size(users)];
          Pair p{i, &u, std::make_unique<RdcClient>(), std::make_unique<RdcClient>()};
          p.ms->Open(ep, kMainSystemServerGUID, "");
          const std::string password = std::string(u.login) + "1";
          if (call(*p.ms, "ConnectToDBEx", {"demo", u.login, password}).AsInteger() != (u.admin ? 1 : 0))
            fail(std::string("admin flag of ") + u.login);
          p.wf->Open(ep, kWorkFlowServerGUID, "");
          call(*p.wf, "ConnectWorkFlowOnDbEx", {"demo", "127.0.0.1", u.login, password});
          opened += 2;
          mine.push_back(std::move(p));
        }
      } catch (const std::exception& e) {
        fail(std::string("opening: ") + e.what());
      }
      allOpen.arrive_and_wait();  // every connection is open from here on
      for (Pair& p : mine) {
        try {
          Dataset me = Dataset::LoadFromBytes(call(*p.wf, "GetInfoAboutCurrentUser", {}).AsBytes());
          if (me.FieldByName("_NAME").AsString() == p.user->login) ++answered;
          else fail("workflow session of " + std::string(p.user->login) + " answered " + me.FieldByName("_NAME").AsString());
          Dataset props = Dataset::LoadFromBytes(call(*p.ms, "GetPropObjects2", {std::to_string(shaft), int32_t{0}}).AsBytes());
          if (props.RecordCount() == 1 && props.FieldByName("_ACCESSLEVEL").AsInteger() == p.user->shaftLevel) ++answered;
          else fail("main-system session of " + std::string(p.user->login) + " saw another access level");
          if (p.index % 10 == 0) {
            // Some sessions write at the same time: each change whole, none lost.
            const std::string name = "{0200000000}Нагрузка " + std::to_string(p.index);
            const int32_t route = call(*p.wf, "CreateNewProcess", {"demo", int32_t{0}, name}).AsInteger();
            Dataset r = Dataset::LoadFromBytes(call(*p.wf, "GetInfoAboutRoute", {route}).AsBytes());
            if (r.RecordCount() == 1 && r.FieldByName("_ROUTENAME").AsString() == name &&
                r.FieldByName("_OWNERNAME").AsString() == p.user->login)
              ++written;
            else fail("process " + name + " read back wrong");
          }
        } catch (const std::exception& e) {
          fail(std::string("calling: ") + e.what());
        }
      }
      allOpen.arrive_and_wait();  // still all open while the others call
      std::lock_guard lock(keptMutex);
      for (Pair& p : mine) kept.push_back(std::move(p));
    });
  }
  for (auto& t : workers) t.join();
  done = true;
  sampler.join();

  // Stopping with every connection open closes them all.
  server_->Stop();
  size_t closed = 0;
  for (Pair& p : kept) {
    for (RdcClient* c : {p.ms.get(), p.wf.get()}) {
      try {
        c->GetProperty("ApplicationVersion");
      } catch (const ERdcTransportFailure&) {
        ++closed;
      } catch (const std::exception&) {
      }
    }
  }
  EXPECT_EQ(closed, 2u * kPairs);

  for (const auto& f : failures) ADD_FAILURE() << f;
  EXPECT_EQ(opened.load(), 2 * kPairs);
  EXPECT_EQ(answered.load(), 2 * kPairs);
  EXPECT_EQ(written.load(), kPairs / 10);
  // The test's own threads included: no thread per connection.
  EXPECT_LT(maxThreads.load(), 100u);
  RecordProperty("max_threads", static_cast<int>(maxThreads.load()));
}

// ---------------------------------------------------------------- the program

class AppServerProgramTest : public ::testing::Test {
 protected:
  struct Child {
    pid_t pid = -1;
    int out = -1;  // standard output, read end
  };

  void SetUp() override {
    program_ = std::filesystem::path(BREVALON_BIN_DIR) / "brevalon-appserver";
    if (!std::filesystem::exists(program_)) GTEST_SKIP() << program_ << " is not built";
  }
  void TearDown() override {
    if (child_.pid > 0) {
      kill(child_.pid, SIGKILL);
      waitpid(child_.pid, nullptr, 0);
    }
    if (child_.out >= 0) close(child_.out);
  }

  void Spawn(const std::vector<std::string>& args, const std::filesystem::path& errFile) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all = {program_.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&child_.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    child_.out = fds[0];
    ASSERT_EQ(rc, 0) << "cannot start " << program_;
  }

  // The port from the line "listening on ADDRESS:PORT"; 0 when the program
  // ends or says nothing of the kind within a generous bound.
  uint16_t ReadPort() {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{child_.out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(child_.out, buf, sizeof buf);
      if (n <= 0) return 0;
      text.append(buf, static_cast<size_t>(n));
      const auto nl = text.find('\n');
      if (nl == std::string::npos) continue;
      const std::string line = text.substr(0, nl);
      const auto colon = line.rfind(':');
      if (line.rfind("listening on 127.0.0.1:", 0) != 0 || colon == std::string::npos) return 0;
      return static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
    }
    return 0;
  }

  // Sends the signal and waits for the exit; the exit status, or -1 when the
  // program did not end within a bound that only a hang exceeds.
  int Stop(int signal) {
    kill(child_.pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(child_.pid, &status, WNOHANG) == child_.pid) {
        child_.pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // The log's lines by level; a line of any other form is a failure.
  static std::map<std::string, std::vector<std::string>> LogLines(const std::filesystem::path& file) {
    static const std::regex form(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (info|debug) .*)");
    std::ifstream in(file);
    std::map<std::string, std::vector<std::string>> out;
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      EXPECT_LT(line.size(), 8192u);
      if (std::regex_match(line, m, form)) {
        out[m[1]].push_back(line);
      } else {
        ADD_FAILURE() << "not a log line: " << line;
      }
    }
    return out;
  }

  std::filesystem::path program_;
  Child child_;
  testing::TempDir dir_;
};

TEST_F(AppServerProgramTest, StopsCleanlyOnSignalLogsCallsOnlyAtDebugAndRestartsOnTheFile) {
  const auto db = dir_.Path() / "program.sqlite";
  int32_t route = 0;
  struct Run {
    const char* level;
    size_t callLines;  // one per call with the error pair
    int signal;
  } runs[] = {{"debug", 5, SIGTERM}, {"info", 0, SIGINT}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.level);
    const auto err = dir_.Path() / (std::string(run.level) + ".log");
    ASSERT_NO_FATAL_FAILURE(Spawn({"--db", db.string(), "--seed", testing::DemoSeedPath().string(), "--port", "0",
                                   "--log-level", run.level},
                                  err));
    const uint16_t port = ReadPort();
    ASSERT_NE(port, 0);

    // A signed-in connection stays open across the stop.
    RdcClient wf;
    RdcEndpoint ep;
    ep.host = "127.0.0.1";
    ep.port = port;
    wf.Open(ep, kWorkFlowServerGUID, "");
    auto call = [&](const char* name, std::vector<RdcArg> args) {
      Variant code, message;
      args.push_back(RdcArg::Ref(code));
      args.push_back(RdcArg::Ref(message));
      Variant r = wf.Call(name, args);
      EXPECT_EQ(code.AsInteger(), 0) << name << ": " << message.AsString();
      return r;
    };
    call("ConnectWorkFlowOnDbEx", {"demo", "127.0.0.1", "ivanov", "ivanov1"});
    if (route == 0) {
      route = call("CreateNewProcess", {"demo", int32_t{0}, "{0200000000}Из первого запуска"}).AsInteger();
      ASSERT_NE(route, 0);
    } else {
      // The restart found the first run's process and did not load the seed again.
      Dataset r = Dataset::LoadFromBytes(call("GetInfoAboutRoute", {route}).AsBytes());
      ASSERT_EQ(r.RecordCount(), 1u);
      EXPECT_EQ(r.FieldByName("_ROUTENAME").AsString(), "{0200000000}Из первого запуска");
    }
    EXPECT_EQ(Dataset::LoadFromBytes(call("GetUserList", {}).AsBytes()).RecordCount(), 8u);
    {
      // A failure whose message quotes the caller's text, line breaks and all,
      // however long, is still one line of the log, of bounded length.
      Variant code, message;
      std::vector<RdcArg> args = {"demo\ninfo forged line" + std::string(100000, 'x'), int32_t{0}, "x",
                                  RdcArg::Ref(code), RdcArg::Ref(message)};
      wf.Call("CreateNewProcess", args);
      EXPECT_EQ(code.AsInteger(), 4);
    }
    EXPECT_FALSE(Dataset::LoadFromBytes(call("GetInfoAboutCurrentUser", {}).AsBytes()).IsEmpty());

    EXPECT_EQ(Stop(run.signal), 0);
    // The connection was closed by the stop.
    EXPECT_THROW(call("GetUserList", {}), ERdcTransportFailure);

    auto log = LogLines(err);
    const auto& debug = log["debug"];
    EXPECT_EQ(debug.size(), run.callLines);
    if (!debug.empty()) {
      EXPECT_NE(debug.back().find("GetInfoAboutCurrentUser code=0"), std::string::npos) << debug.back();
    }
    const auto& info = log["info"];
    ASSERT_FALSE(info.empty());
    EXPECT_NE(info.back().find("stopped"), std::string::npos) << info.back();
    if (std::string(run.level) == "info") {
      EXPECT_TRUE(std::any_of(info.begin(), info.end(),
                              [](const std::string& l) { return l.find("not loaded again") != std::string::npos; }));
    }
  }
}

}  // namespace
}  // namespace brevalon::appserver
