#include "server/server_methods.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <set>

#include "appserver/appserver_test_support.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace json = boost::json;

// A logic with the real sign-in rule: every handler but ConnectToDB fails
// with 404 until a ConnectToDB with the text "good" succeeded.
struct SignInState {
  std::atomic<int> Created{0};
  std::mutex Mutex;
  std::vector<std::string> Texts;  // guarded by Mutex
};

class SignInLogic : public ISessionLogic {
 public:
  explicit SignInLogic(std::shared_ptr<SignInState> s) : S(std::move(s)) { ++S->Created; }

  void ConnectToDB(json::object& r, const std::string& t) override {
    Seen(t);
    if (t != "good") throw Exception("Bad login");
    FConnected = true;
    r["BASE64"] = "signed in";
  }
  void GetTaskList(json::object& r, const std::string& t) override { Handle("GetTaskList", &r, t); }
  void GetTaskAttachments(json::object& r, const std::string& t) override {
    Handle("GetTaskAttachments", &r, t);
  }
  void SearchDocuments(json::object& r, const std::string& t) override {
    Handle("SearchDocuments", &r, t);
  }
  void GetCorrespondence(json::object& r, const std::string& t) override {
    Handle("GetCorrespondence", &r, t);
  }
  void SetTaskCorrespondenceRead(const std::string& t) override { Handle("", nullptr, t); }
  void SendMessage(const std::string& t) override { Handle("", nullptr, t); }
  void GetFile(json::object& r, const std::string& t) override { Handle("GetFile", &r, t); }
  void SetStateForTask(const std::string& t) override { Handle("", nullptr, t); }
  void GetUserList(json::object& r, const std::string& t) override { Handle("GetUserList", &r, t); }
  void CreateTask(const std::string& t) override { Handle("", nullptr, t); }
  void EditTask(const std::string& t) override { Handle("", nullptr, t); }
  void DeleteTask(const std::string& t) override { Handle("", nullptr, t); }

 private:
  void Seen(const std::string& t) {
    std::lock_guard lock(S->Mutex);
    S->Texts.push_back(t);
  }
  void Handle(const char* name, json::object* r, const std::string& t) {
    Seen(t);
    if (!FConnected) throw EConnectionException(kNotConnectedMessage);
    if (r) (*r)["BASE64"] = name;
  }

  std::shared_ptr<SignInState> S;
  bool FConnected = false;
};

const Method& Find(const ServerClass& cls, const std::string& name) {
  for (const Method& m : cls.Methods)
    if (m.Name == name) return m;
  throw std::runtime_error("no method " + name);
}

json::array Invoke(const ServerClass& cls, DsSession& session, const std::string& name,
                   std::vector<json::value> inputs = {}) {
  MethodCall call{session, std::move(inputs)};
  return Find(cls, name).Invoke(call);
}

class ServerMethodsTest : public ::testing::Test {
 protected:
  std::shared_ptr<SignInState> state = std::make_shared<SignInState>();
  EventLogCapture log;
  TServerMethods methods{ServerMethodsOptions{
      [s = state](const TSessionEnvironment&) -> std::unique_ptr<ISessionLogic> { return std::make_unique<SignInLogic>(s); },
      log.Factory()}};
  ServerClass cls = methods.GetServerClass();
  DsSession session{"1.2.3"};

  json::array Call(const std::string& name, const std::string& text) {
    return Invoke(cls, session, name, {json::string(text)});
  }
  void TearDown() override { session.CloseAll(); }
};

TEST_F(ServerMethodsTest, PublishesTheFifteenMethodsWithTheirParameters) {
  const std::vector<ParamInfo> request = {
      {"Base64", ParamDirection::In, ParamKind::Text},
      {"inReturnCode", ParamDirection::Out, ParamKind::Int32},
      {"stErrorMessage", ParamDirection::Out, ParamKind::Text},
  };
  auto withResult = [&](const char* in) {
    auto p = request;
    p[0].Name = in;
    p.push_back({"ReturnParameter", ParamDirection::Return, ParamKind::JsonValue});
    return p;
  };
  const std::vector<std::pair<std::string, std::vector<ParamInfo>>> expected = {
      {"ConnectToDB", withResult("Base64")},
      {"GetTaskList", withResult("Base64")},
      {"GetTaskAttachments", withResult("Base64")},
      {"GetCorrespondence", withResult("Base64")},
      {"SendMessage", request},
      {"SetTaskCorrespondenceRead", request},
      {"SetStateForTask", request},
      {"GetUserList", withResult("Base64")},
      {"CreateTask", request},
      {"EditTask", request},
      {"SearchDocuments", withResult("BASE64")},
      {"GetFile", withResult("Base64")},
      {"DeleteTask", request},
      {"GetStream",
       {{"S", ParamDirection::Out, ParamKind::Stream},
        {"ReturnParameter", ParamDirection::Return, ParamKind::Boolean}}},
      {"CloseSession", {}},
  };
  EXPECT_EQ(cls.Name, "TServerMethods");
  ASSERT_EQ(cls.Methods.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(cls.Methods[i].Name, expected[i].first);
    ASSERT_EQ(cls.Methods[i].Params.size(), expected[i].second.size());
    for (std::size_t k = 0; k < expected[i].second.size(); ++k) {
      EXPECT_EQ(cls.Methods[i].Params[k].Name, expected[i].second[k].Name);
      EXPECT_EQ(cls.Methods[i].Params[k].Direction, expected[i].second[k].Direction);
      EXPECT_EQ(cls.Methods[i].Params[k].Kind, expected[i].second[k].Kind);
    }
  }
  EXPECT_TRUE(cls.OnConnect);
  EXPECT_TRUE(cls.OnDisconnect);
}

TEST_F(ServerMethodsTest, WithoutAWorkerRequestsReturnAtOnceWithNothing) {
  for (const Method& m : cls.Methods) {
    if (m.Name == "GetStream" || m.Name == "CloseSession") continue;
    SCOPED_TRACE(m.Name);
    json::array answer = Call(m.Name, "anything");
    const bool hasResult = m.Params.back().Direction == ParamDirection::Return;
    if (hasResult)
      EXPECT_EQ(answer, (json::array{0, "", nullptr}));
    else
      EXPECT_EQ(answer, (json::array{0, ""}));
  }
  EXPECT_EQ(state->Created.load(), 0) << "no session logic runs";
  EXPECT_EQ(Invoke(cls, session, "CloseSession"), json::array{}) << "nothing to close";
}

TEST_F(ServerMethodsTest, GetStreamAnswersTheTestBytesInAnySession) {
  const std::string text = "eitupweirtpwietupwe";
  json::array bytes;
  for (unsigned char c : text) bytes.emplace_back(static_cast<int>(c));
  ASSERT_EQ(bytes.size(), 19u);
  const json::array expected{bytes, true};
  EXPECT_EQ(Invoke(cls, session, "GetStream"), expected) << "without a worker";
  cls.OnConnect(session);
  EXPECT_EQ(Invoke(cls, session, "GetStream"), expected) << "not signed in";
  EXPECT_EQ(Call("ConnectToDB", "good")[0], 0);
  EXPECT_EQ(Invoke(cls, session, "GetStream"), expected) << "signed in";
}

TEST_F(ServerMethodsTest, ASessionGetsOneWorkerEvenWhenConnectsRace) {
  std::vector<std::future<void>> connects;
  for (int i = 0; i < 8; ++i)
    connects.push_back(std::async(std::launch::async, [&] { cls.OnConnect(session); }));
  for (auto& c : connects) c.get();
  auto worker = session.Find("CONNECTION");  // keys ignore letter case
  ASSERT_TRUE(std::dynamic_pointer_cast<TSessionThread>(worker));
  EXPECT_EQ(Call("ConnectToDB", "good"), (json::array{0, "", {{"BASE64", "signed in"}}}));
  // A second connect keeps the worker, and with it the sign-in.
  cls.OnConnect(session);
  cls.OnDisconnect(session);
  EXPECT_EQ(session.Find("connection"), worker);
  EXPECT_EQ(Call("GetUserList", "q"), (json::array{0, "", {{"BASE64", "GetUserList"}}}));
  EXPECT_EQ(state->Created.load(), 1);

  DsSession other("4.5.6");
  cls.OnConnect(other);
  EXPECT_NE(other.Find("connection"), worker);
  EXPECT_EQ(Invoke(cls, other, "GetUserList", {json::string("q")})[0], 404);
  other.CloseAll();
}

TEST_F(ServerMethodsTest, RepliesCarryCodeMessageAndResultOrEe) {
  cls.OnConnect(session);
  EXPECT_EQ(Call("GetTaskList", "not base64 at all!"),
            (json::array{404, "Соединение не установленно", {{"e", "e"}}}));
  EXPECT_EQ(Call("SendMessage", "x"), (json::array{404, "Соединение не установленно"}));
  EXPECT_EQ(Call("ConnectToDB", "bad"), (json::array{1, "Bad login", {{"e", "e"}}}));
  EXPECT_EQ(Call("ConnectToDB", "good"), (json::array{0, "", {{"BASE64", "signed in"}}}));
  EXPECT_EQ(Call("SearchDocuments", "q"), (json::array{0, "", {{"BASE64", "SearchDocuments"}}}));
  EXPECT_EQ(Call("DeleteTask", "q"), (json::array{0, ""}));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"Соединение не установленно",
                                                     "Соединение не установленно", "Bad login"}));

  // A missing or null input reaches the handler as an empty text.
  Invoke(cls, session, "EditTask", {nullptr});
  Invoke(cls, session, "EditTask", {});
  std::lock_guard lock(state->Mutex);
  ASSERT_GE(state->Texts.size(), 2u);
  EXPECT_EQ(state->Texts[state->Texts.size() - 2], "");
  EXPECT_EQ(state->Texts.back(), "");
}

TEST_F(ServerMethodsTest, CloseSessionEndsTheWorkerAndTheSignIn) {
  cls.OnConnect(session);
  ASSERT_EQ(Call("ConnectToDB", "good")[0], 0);
  auto worker = std::dynamic_pointer_cast<TSessionThread>(session.Find("connection"));
  ASSERT_TRUE(worker);

  EXPECT_EQ(Invoke(cls, session, "CloseSession"), json::array{});
  EXPECT_EQ(session.Find("connection"), nullptr);
  EXPECT_TRUE(worker->Terminated());
  EXPECT_EQ(Call("GetTaskList", "q"), (json::array{0, "", nullptr})) << "no worker until the next connect";

  cls.OnConnect(session);
  EXPECT_NE(session.Find("connection"), worker);
  EXPECT_EQ(Call("GetTaskList", "q")[0], 404) << "the new worker is not signed in";
  EXPECT_EQ(Call("ConnectToDB", "good")[0], 0);
  EXPECT_EQ(Call("GetTaskList", "q")[0], 0);
  EXPECT_EQ(state->Created.load(), 2);
}

// With the real session logic: no back end is needed to see the sign-in guard.
TEST(ServerMethodsRealLogic, RequestsBeforeSignInAnswer404WhateverTheText) {
  appserver::testing::TempDir dir;
  SetCommonAppDataDir(dir.Path().string());
  EventLogCapture log;
  TServerMethods methods(ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
  ServerClass cls = methods.GetServerClass();
  DsSession session("7.8.9");
  cls.OnConnect(session);
  for (const char* name : {"GetTaskList", "SearchDocuments", "GetFile"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Invoke(cls, session, name, {json::string("%%% not base64 \x01\xff")}),
              (json::array{404, "Соединение не установленно", {{"e", "e"}}}));
  }
  EXPECT_EQ(log.Entries().size(), 3u);
  session.CloseAll();
  SetCommonAppDataDir("");
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Ten thousand idle sessions must fit: a worker with its real session logic
// stays well below 64 KiB resident, and an idle worker holds no CPU.
TEST(ServerMethodsRealLogic, IdleSessionsStaySmall) {
#if defined(BREVALON_ASAN) || defined(BREVALON_TSAN)
  GTEST_SKIP() << "sanitizers change the memory picture";
#endif
  appserver::testing::TempDir dir;
  SetCommonAppDataDir(dir.Path().string());
  EventLogCapture log;
  TServerMethods methods(ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
  ServerClass cls = methods.GetServerClass();
  constexpr int kSessions = 500;
  std::vector<std::unique_ptr<DsSession>> sessions;
  const long before = ResidentKiB();
  for (int i = 0; i < kSessions; ++i) {
    sessions.push_back(std::make_unique<DsSession>(std::to_string(i)));
    cls.OnConnect(*sessions.back());
    // One call each, so that every worker has built its logic.
    ASSERT_EQ(Invoke(cls, *sessions.back(), "GetUserList", {json::string("x")})[0], 404);
  }
  const long perSession = (ResidentKiB() - before) / kSessions;
  EXPECT_LT(perSession, 64) << "KiB resident per idle session";
  for (auto& s : sessions) s->CloseAll();
  SetCommonAppDataDir("");
}

}  // namespace
}  // namespace brevalon
