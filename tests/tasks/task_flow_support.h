// Support of the task creation, editing and state-change tests: the domain
// fixture with a fixed time-zone bias (so that wire seconds and the servers'
// day counts match exactly), the demo users' ids and roles, requests of the
// three writing methods, and readers of what the workflow server and the
// client (through GetTaskList) then see.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/result_decoder.h"
#include "domain_fixture.h"
#include "protocol/stream.h"
#include "protocol/entry_records.h"

namespace brevalon::testing {

// One item of a process as the workflow server lists it.
struct FlowItem {
  int32_t Id = 0;
  int32_t Type = 0;  // 1 stage, 2 auto-operation instance
  std::string Task;
  int32_t User = 0;
  int32_t Role = 0;
  int32_t State = 0;
  double DatePlan = 0.0;
};

struct FlowLetter {
  int32_t Author = 0;
  int32_t Recipient = 0;
  std::string Subject;
  std::string Body;
};

class TaskFlowTest : public DomainTest {
 protected:
  // 2026-12-20 09:30:00 and 2027-01-15 00:00:00 UTC as wire seconds.
  static constexpr int64_t kDate1 = 1797759000;
  static constexpr int64_t kDate2 = 1799971200;

  void SetUp() override {
    SetTimeZoneBiasOverride(0);
    DomainTest::SetUp();
    admin_ = Proxies("ivanov");
  }
  void TearDown() override {
    admin_ = {};
    DomainTest::TearDown();
    SetTimeZoneBiasOverride(std::nullopt);
  }

  // Restarts the back end over the same database with another main-system
  // version and points the settings file at it.
  void RestartServer(int32_t appVersion) {
    admin_ = {};
    server_.reset();
    appserver::AppServerOptions o;
    o.db = dir_ / "demo.sqlite";
    o.port = 0;
    o.appVersion = appVersion;
    server_ = std::make_unique<appserver::AppServer>(o);
    server_->Start();
    std::ofstream ini(GetSettingsDir() + kSettingsFileName, std::ios::trunc);
    ini << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]"
           "\nServerPort="
        << server_->Port() << "\n";
    ini.close();
    admin_ = Proxies("ivanov");
  }

  static double Day(int64_t wire) { return DateTimeFromWireSeconds(wire, 0); }

  TAppWorkFlow& WF() { return *admin_.WorkFlow; }

  int32_t UserId(const std::string& login) {
    TDataSetPtr users = WF().GetUserList();
    for (users->First(); !users->Eof(); users->Next()) {
      if (users->FieldByName("_NAME").AsString() == login)
        return users->FieldByName("_ID").AsInteger();
    }
    ADD_FAILURE() << "no user " << login;
    return 0;
  }

  int32_t RoleId(const std::string& login, const std::string& role) {
    TDataSetPtr roles = WF().GetRoleListForUser(UserId(login));
    for (roles->First(); !roles->Eof(); roles->Next()) {
      if (roles->FieldByName("_ROLENAME").AsString() == role)
        return roles->FieldByName("_ID_ROLE").AsInteger();
    }
    ADD_FAILURE() << "no role " << role << " of " << login;
    return 0;
  }

  static std::string CreateRequest(const std::string& subject, const std::string& text,
                                   int64_t date, bool start, const std::vector<int32_t>& users,
                                   const std::vector<int32_t>& roles) {
    boost::json::array u(users.begin(), users.end()), r(roles.begin(), roles.end());
    return client::EncodeRequest("CreateTask", {{"FSubject", subject},
                                                {"FText", text},
                                                {"FDateCritical", date},
                                                {"FStartAfterCreate", start},
                                                {"FIdUsers", u},
                                                {"FIdRoles", r}});
  }

  static std::string StateRequest(int32_t task, int32_t action, const std::string& reason = "") {
    return client::EncodeRequest("SetStateForTask",
                                 {{"FIdTask", task}, {"FIdState", action}, {"FSReason", reason}});
  }

  static std::string EditRequest(int32_t task, const std::string& subject, const std::string& text,
                                 int64_t date, int32_t user, int32_t role) {
    return client::EncodeRequest("EditTask", {{"FIdTask", task},
                                              {"FSubjectNew", subject},
                                              {"FTextNew", text},
                                              {"FDateCriticalNew", date},
                                              {"FIdUserNew", user},
                                              {"FIdRoleNew", role}});
  }

  // The ids of the processes named `name`, in id order (all users' processes:
  // the admin owns or may see them through the owner's list).
  std::vector<int32_t> RoutesNamed(const std::string& owner, const std::string& name) {
    std::vector<int32_t> ids;
    TDataSetPtr rows = WF().GetTaskListForUser(UserId(owner), 2, 15, 1);
    for (rows->First(); !rows->Eof(); rows->Next()) {
      const int32_t id = rows->FieldByName("_ID_ROUTE").AsInteger();
      if (rows->FieldByName("_ROUTENAME").AsString() == name && (ids.empty() || ids.back() != id))
        ids.push_back(id);
    }
    return ids;
  }

  // The items of a process: its stages in id order, then its auto-operation
  // instances (the finishing instance is made before the stages).
  std::vector<FlowItem> Items(int32_t route) {
    std::vector<FlowItem> items;
    TDataSetPtr info = WF().GetInfoAboutRoute(route);
    if (info->IsEmpty()) return items;
    info->First();
    TDataSetPtr rows =
        WF().GetTaskListForUser(info->FieldByName("_ID_OWNER").AsInteger(), 2, 15, 1);
    for (rows->First(); !rows->Eof(); rows->Next()) {
      if (rows->FieldByName("_ID_ROUTE").AsInteger() != route) continue;
      items.push_back(
          {rows->FieldByName("_ID_OPERATION").AsInteger(),
           rows->FieldByName("_ITEM_TYPE").AsInteger(), rows->FieldByName("_TASK").AsString(),
           rows->FieldByName("_ID_USER").AsInteger(), rows->FieldByName("_ID_ROLE").AsInteger(),
           rows->FieldByName("_STATE").AsInteger(),
           rows->FieldByName("_DATE_CRITICAL").AsDateTime()});
    }
    std::stable_partition(items.begin(), items.end(),
                          [](const FlowItem& i) { return i.Type == 1; });
    return items;
  }

  int32_t RouteState(int32_t route) {
    TDataSetPtr info = WF().GetInfoAboutRoute(route);
    if (info->IsEmpty()) return -1;
    info->First();
    return info->FieldByName("_WF_STATE").AsInteger();
  }

  std::string RouteName(int32_t route) {
    TDataSetPtr info = WF().GetInfoAboutRoute(route);
    if (info->IsEmpty()) return "";
    info->First();
    return info->FieldByName("_ROUTENAME").AsString();
  }

  std::vector<int32_t> NextItems(int32_t item) {
    std::vector<int32_t> ids;
    TDataSetPtr rows = WF().GetNextItems(item);
    for (rows->First(); !rows->Eof(); rows->Next())
      ids.push_back(rows->FieldByName("_ID_ITEM").AsInteger());
    return ids;
  }

  std::vector<FlowLetter> Letters(int32_t route) {
    std::vector<FlowLetter> letters;
    TDataSetPtr rows = WF().GetCorrespondenceList(route);
    for (rows->First(); !rows->Eof(); rows->Next()) {
      letters.push_back({rows->FieldByName("_AUTHOR_ID").AsInteger(),
                         rows->FieldByName("_RECIPIENT_ID").AsInteger(),
                         rows->FieldByName("_MSG_SUBJECT").AsString(),
                         rows->FieldByName("_MSG_BODY").AsString()});
    }
    return letters;
  }

  // The user's whole task list as the client receives it (version 0), by task id.
  static std::map<int64_t, boost::json::object> ClientTasks(TSessionLogic& session,
                                                            const std::string& uid) {
    boost::json::object result;
    session.GetTaskList(
        result, client::EncodeRequest(
                    "GetTaskList",
                    {{"FStUID", uid}, {"FNDataSetVersion", 0}, {"FNIncommingCorrespVersion", 0}}));
    std::map<int64_t, boost::json::object> tasks;
    const boost::json::object decoded = client::DecodeResult(
        result.at("BASE64").as_string(), client::TaskInAttachments::kUnspecified);
    for (const auto& t : decoded.at("tasks").as_array())
      tasks[t.at("FId").to_number<int64_t>()] = t.as_object();
    return tasks;
  }

  // The client's state of task `task` for the user of `session`; -1 when the
  // client is not shown the task.
  static int64_t ClientState(TSessionLogic& session, const std::string& uid, int32_t task) {
    auto tasks = ClientTasks(session, uid);
    auto it = tasks.find(task);
    return it == tasks.end() ? -1 : it->second.at("FState").to_number<int64_t>();
  }

  SignedInProxies admin_;
};

}  // namespace brevalon::testing
