// The application-server connection against a scripted server on real TCP:
// what reaches the server, how answers become results or failures, and how a
// lost connection is noticed and restored.
#include "pdm/app_brevalon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "pdm/app_main_system.h"
#include "rdc/rdc_protocol.h"
#include "scripted_server.h"

namespace brevalon {
namespace {

using testing::Ref;
using testing::Reply;
using testing::ScriptedServer;
using testing::Val;
using testing::WireArg;

const std::string kLost = "Потеряно соединение с сервером приложений:\r\n";
const std::string kNotConnected = "Соединение с сервером не установлено";

// A proxy whose sign-in is one "SignIn" call (or what the test puts in
// `restore`), with the protected calls opened up.
class TTestProxy : public TAppBrevalon {
 public:
  TTestProxy() : TAppBrevalon(kMainSystemServerGUID) {}
  using TAppBrevalon::CallDirect;
  using TAppBrevalon::CallMethod;
  using TAppBrevalon::CallMethods;
  using TAppBrevalon::TAppCall;
  using TAppBrevalon::GetRecordset;

  int restores = 0;
  std::function<void(TTestProxy&)> restore;
  int loadFailures = 0;  // LoadPacket fails this many times before it works
  int loadAttempts = 0;

 protected:
  void RestoreSession() override {
    ++restores;
    if (restore) {
      restore(*this);
    } else {
      CallMethod("SignIn", {});
    }
  }
  Dataset LoadPacket(const Variant& packet) override {
    ++loadAttempts;
    if (loadFailures > 0) {
      --loadFailures;
      throw EDatasetFormatException("damaged packet");
    }
    return TAppBrevalon::LoadPacket(packet);
  }
};

class AppBrevalonTest : public ::testing::Test {
 protected:
  AppBrevalonTest() {
    proxy.SetConnectionType(ctSocket);
    proxy.SetServerName("127.0.0.1");
    proxy.SetPort(server.Port());
    proxy.SetOnStartMetod([this](TAppBrevalon&) { events.push_back("start"); });
    proxy.SetOnEndMetod([this](TAppBrevalon&) { events.push_back("end"); });
    proxy.SetOnLostConnection([this](TAppBrevalon&) { events.push_back("lost"); });
  }

  void ConnectNow() {
    proxy.Connect();
    events.clear();
  }

  ScriptedServer server;
  TTestProxy proxy;
  std::vector<std::string> events;
};

template <typename E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected an exception";
  return std::string();
}

TEST_F(AppBrevalonTest, ConnectWithoutAKindFailsAndStillReportsItsEnd) {
  TTestProxy fresh;
  std::vector<std::string> seen;
  fresh.SetOnStartMetod([&](TAppBrevalon&) { seen.push_back("start"); });
  fresh.SetOnEndMetod([&](TAppBrevalon&) { seen.push_back("end"); });
  EXPECT_EQ(MessageOf<Exception>([&] { fresh.Connect(); }), "Неопределен тип соединения");
  EXPECT_EQ(seen, (std::vector<std::string>{"start", "end"}));
  EXPECT_FALSE(fresh.IsConnectedToServer());
}

TEST_F(AppBrevalonTest, ConnectToNobodyRaisesTheTransportFailure) {
  uint16_t deadPort;
  {
    ScriptedServer gone;
    deadPort = gone.Port();
  }
  proxy.SetPort(deadPort);
  EXPECT_THROW(proxy.Connect(), ERdcTransportFailure);
  EXPECT_EQ(events, (std::vector<std::string>{"start", "end"}));
  EXPECT_FALSE(proxy.IsConnectedToServer());
}

TEST_F(AppBrevalonTest, SocketAndHttpKindsReachTheServerClassWithTheIdentity) {
  struct Case {
    int32_t kind;
    std::string serverName;
  };
  const std::vector<Case> cases = {
      {ctSocket, "127.0.0.1"},
      {ctHTTP, "http://127.0.0.1:" + std::to_string(server.Port()) + "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serverName);
    server.ClearCalls();
    TTestProxy p;
    p.SetConnectionType(c.kind);
    p.SetServerName(c.serverName);
    p.SetPort(server.Port());
    p.SetOSIdentity("DOMAIN\\alice");
    p.Connect();
    EXPECT_TRUE(p.IsConnectedToServer());
    p.CallMethod("Ping", {});
    const auto calls = server.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].serverClass, kMainSystemServerGUID);
    EXPECT_EQ(calls[0].identity, "DOMAIN\\alice");
    p.Disconnect();
    EXPECT_FALSE(p.IsConnectedToServer());
  }
}

TEST_F(AppBrevalonTest, ArgumentsGoFirstToLastThenTheErrorPairAndReferencesComeBack) {
  ConnectNow();
  server.On("Op", [](const testing::RecordedCall&) {
    Reply r = Reply::Result(Variant("done"));
    r.writes[4] = Variant(int32_t{99});
    return r;
  });
  Variant out("in");
  const Variant result = proxy.CallMethod("Op", {int32_t{7}, true, "text", 1.5, out});
  EXPECT_EQ(result.AsString(), "done");
  EXPECT_EQ(out.AsInteger(), 99);
  const auto calls = server.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].property);
  EXPECT_EQ(calls[0].args, (std::vector<WireArg>{Val(int32_t{7}), Val(true), Val("text"), Val(1.5), Ref("in"),
                                                 Ref(Variant()), Ref(Variant())}));
  EXPECT_EQ(events, (std::vector<std::string>{"start", "end"}));

  // A property read carries no argument at all.
  server.ClearCalls();
  server.On("ApplicationVersion", Reply::Result(Variant(int32_t{20100701})));
  EXPECT_EQ(proxy.CallMethod("ApplicationVersion", {}, true).AsInteger(), 20100701);
  const auto reads = server.Calls();
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_TRUE(reads[0].property);
  EXPECT_TRUE(reads[0].args.empty());
}

TEST_F(AppBrevalonTest, TheErrorPairDecidesSuccessAndKeepsTheConnection) {
  struct Case {
    const char* what;
    Variant code;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"zero", Variant(int32_t{0}), false},
      {"left empty", Variant(), false},
      {"non-zero", Variant(int32_t{5}), true},
      {"negative", Variant(int32_t{-1}), true},
      {"null", Variant::Null(), true},
      {"text", Variant("7"), true},
  };
  ConnectNow();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.On("Op", Reply::Error(c.code, "Нет прав на объект"));
    if (c.fails) {
      try {
        proxy.CallMethod("Op", {});
        ADD_FAILURE() << "no EApiException";
      } catch (const EApiException& e) {
        EXPECT_STREQ(e.what(), "Нет прав на объект");
        EXPECT_EQ(e.ErrorCode().Type(), c.code.Type());
        EXPECT_TRUE(e.ErrorCode() == c.code);
      }
    } else {
      EXPECT_NO_THROW(proxy.CallMethod("Op", {}));
    }
    EXPECT_TRUE(proxy.IsConnectedToServer());
  }
  EXPECT_EQ(server.SessionsOpened(), 1);
  EXPECT_EQ(proxy.restores, 0);
}

TEST_F(AppBrevalonTest, ServerFailuresAreInternalErrorsOrALostConnection) {
  struct Case {
    const char* what;
    Reply reply;
    bool lost;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"plain failure", Reply::Failure("Access violation at 0040"), false, "Access violation at 0040"},
      {"database gone", Reply::Failure("[DBNETLIB] 000187CC: General network error"), true,
       kLost + "Ошибка соединения с сервером баз данных"},
      {"unknown operation", Reply::UnknownName(), true, kLost + "Unknown name: Op"},
  };
  ConnectNow();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.On("Op", c.reply);
    events.clear();
    const int restoresBefore = proxy.restores;
    if (c.lost) {
      EXPECT_EQ(MessageOf<ELostConnectionException>([&] { proxy.CallMethod("Op", {}); }), c.message);
      EXPECT_EQ(events, (std::vector<std::string>{"start", "end", "lost"}));
      EXPECT_FALSE(proxy.IsConnectedToServer());
      // The next call reconnects and signs in before it is made.
      server.ClearCalls();
      proxy.CallMethod("Next", {});
      EXPECT_EQ(proxy.restores, restoresBefore + 1);
      EXPECT_EQ(server.Names(), (std::vector<std::string>{"SignIn", "Next"}));
    } else {
      EXPECT_EQ(MessageOf<EAppInternalException>([&] { proxy.CallMethod("Op", {}); }), c.message);
      EXPECT_EQ(events, (std::vector<std::string>{"start", "end"}));
      EXPECT_TRUE(proxy.IsConnectedToServer());
      EXPECT_EQ(proxy.restores, restoresBefore);
    }
  }
}

TEST_F(AppBrevalonTest, ADroppedConnectionFailsOneCallAndTheNextOneReconnects) {
  ConnectNow();
  proxy.CallMethod("Op", {});
  server.Restart();
  const std::string message = MessageOf<ELostConnectionException>([&] { proxy.CallMethod("Op", {}); });
  EXPECT_EQ(message.rfind(kLost, 0), 0u) << message;
  EXPECT_GT(message.size(), kLost.size());  // the transport's own reason follows
  EXPECT_FALSE(proxy.IsConnectedToServer());
  EXPECT_EQ(proxy.restores, 0);

  server.ClearCalls();
  proxy.CallMethod("Op", {});
  EXPECT_EQ(proxy.restores, 1);
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"SignIn", "Op"}));
  EXPECT_TRUE(proxy.IsConnectedToServer());
}

TEST_F(AppBrevalonTest, AFailedReconnectionReportsNoConnectionAndTearsDown) {
  ConnectNow();
  server.On("SignIn", Reply::Error(Variant(int32_t{2}), "Неверный пароль"));
  server.Restart();
  EXPECT_THROW(proxy.CallMethod("Op", {}), ELostConnectionException);
  server.ClearCalls();
  EXPECT_EQ(MessageOf<Exception>([&] { proxy.CallMethod("Op", {}); }), kNotConnected);
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"SignIn"}));  // the pending call was not made
  EXPECT_FALSE(proxy.IsConnectedToServer());
  EXPECT_EQ(proxy.restores, 1);
}

TEST_F(AppBrevalonTest, ReconnectionDoesNotRecurse) {
  // A sign-in that finds the connection down again must fail at once.
  proxy.restore = [](TTestProxy& p) {
    p.Disconnect();
    p.CallMethod("SignIn", {});
  };
  EXPECT_EQ(MessageOf<Exception>([&] { proxy.Reconnect(); }),
            "Обнаружена рекурсия в процессе переподключения к серверу");
  EXPECT_FALSE(proxy.IsConnectedToServer());
  EXPECT_EQ(MessageOf<Exception>([&] { proxy.CallMethod("Op", {}); }), kNotConnected);
  EXPECT_EQ(proxy.restores, 2);  // one per Reconnect, none nested

  // A connection lost inside the sign-in is not handled as a lost connection
  // of its own: the failure reaches Reconnect unchanged.
  proxy.restore = nullptr;
  server.On("SignIn", Reply::Failure("000187CC"));
  events.clear();
  EXPECT_EQ(MessageOf<Exception>([&] { proxy.Reconnect(); }), "Ошибка соединения с сервером баз данных");
  EXPECT_EQ(std::count(events.begin(), events.end(), "lost"), 0);
  EXPECT_FALSE(proxy.IsConnectedToServer());
}

TEST_F(AppBrevalonTest, ALostConnectionHandlerThatReconnectsEarnsOneMoreAttemptOnly) {
  ConnectNow();
  int handled = 0;
  proxy.SetOnLostConnection([&](TAppBrevalon& sender) {
    ++handled;
    sender.Connect();
  });

  // Transient: the second attempt succeeds.
  int attempts = 0;
  server.On("Op", [&attempts](const testing::RecordedCall&) {
    return ++attempts == 1 ? Reply::Failure("000187CC") : Reply::Result(Variant("ok"));
  });
  EXPECT_EQ(proxy.CallMethod("Op", {}).AsString(), "ok");
  EXPECT_EQ(handled, 1);

  // Persistent: two attempts, then the call gives up.
  server.ClearCalls();
  server.On("Op", Reply::Failure("000187CC"));
  EXPECT_THROW(proxy.CallMethod("Op", {}), ELostConnectionException);
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"Op", "Op"}));
  EXPECT_EQ(handled, 3);
}

// Calls sent together are judged one by one in their order: every answer is
// read, the first failure raises (an error pair, a refusal, a lost
// connection, as CallMethod judges them), and the connection is then as
// after that one failure. Notifications come in start/end pairs per call.
TEST_F(AppBrevalonTest, CallsSentTogetherAreJudgedInOrder) {
  ConnectNow();
  server.On("A", Reply::Result(Variant("a")));
  server.On("B", Reply::Result(Variant("b")));
  const std::vector<TTestProxy::TAppCall> calls = {{"A", {int32_t{1}}}, {"Op", {}}, {"B", {"x"}}};

  server.On("Op", Reply::Result(Variant(int32_t{7})));
  std::vector<Variant> results = proxy.CallMethods(calls);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0], Variant("a"));
  EXPECT_EQ(results[1], Variant(int32_t{7}));
  EXPECT_EQ(results[2], Variant("b"));
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"A", "Op", "B"}));
  EXPECT_EQ(server.Calls()[0].args.size(), 3u);  // the argument, then the error pair
  EXPECT_EQ(events, (std::vector<std::string>{"start", "start", "start", "end", "end", "end"}));

  server.On("Op", Reply::Error(Variant(int32_t{5}), "Нет прав на объект"));
  server.ClearCalls();
  EXPECT_EQ(MessageOf<EApiException>([&] { proxy.CallMethods(calls); }), "Нет прав на объект");
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"A", "Op", "B"}));  // all were made
  EXPECT_TRUE(proxy.IsConnectedToServer());

  server.On("Op", Reply::Failure("Access violation at 0040"));
  EXPECT_EQ(MessageOf<EAppInternalException>([&] { proxy.CallMethods(calls); }), "Access violation at 0040");
  EXPECT_TRUE(proxy.IsConnectedToServer());

  server.On("Op", Reply::Failure("000187CC"));
  events.clear();
  EXPECT_EQ(MessageOf<ELostConnectionException>([&] { proxy.CallMethods(calls); }),
            kLost + "Ошибка соединения с сервером баз данных");
  EXPECT_EQ(events, (std::vector<std::string>{"start", "start", "start", "end", "end", "end", "lost"}));
  EXPECT_FALSE(proxy.IsConnectedToServer());

  // Down: the batch reconnects and signs in first; dropped by the server
  // meanwhile, it fails once and the next one reconnects.
  server.On("Op", Reply::Result(Variant(int32_t{7})));
  server.ClearCalls();
  EXPECT_EQ(proxy.CallMethods(calls).size(), 3u);
  EXPECT_EQ(server.Names(), (std::vector<std::string>{"SignIn", "A", "Op", "B"}));
  server.Restart();
  EXPECT_THROW(proxy.CallMethods(calls), ELostConnectionException);
  EXPECT_EQ(proxy.CallMethods(calls).size(), 3u);
  EXPECT_TRUE(proxy.CallMethods({}).empty());
}

TEST_F(AppBrevalonTest, RecordsetsLoadTheirPacketWithOneSecondChance) {
  Dataset rows;
  rows.AddField("_ID", FieldType::Int32);
  rows.AddField("_NAME", FieldType::Text, 50);
  rows.AppendRow({Variant(int32_t{1}), Variant("first")});
  rows.AppendRow({Variant(int32_t{2}), Variant("second")});
  server.On("Rows", Reply::Packet(rows));
  server.On("Damaged", Reply::Result(Variant(std::vector<uint8_t>{1, 2, 3})));
  server.On("Nothing", Reply::Result(Variant()));
  ConnectNow();

  TDataSetPtr ds = proxy.GetRecordset("Rows", {int32_t{1}});
  EXPECT_EQ(ds->RecordCount(), 2u);
  EXPECT_EQ(ds->FieldByName("_NAME").AsString(), "first");

  proxy.loadFailures = 1;
  proxy.loadAttempts = 0;
  ds = proxy.GetRecordset("Rows", {});
  EXPECT_EQ(proxy.loadAttempts, 2);
  EXPECT_TRUE(ds->ContentEquals(rows));

  proxy.loadAttempts = 0;
  EXPECT_THROW(proxy.GetRecordset("Damaged", {}), EDatasetFormatException);
  EXPECT_EQ(proxy.loadAttempts, 2);
  EXPECT_TRUE(proxy.IsConnectedToServer());

  ds = proxy.GetRecordset("Nothing", {});
  EXPECT_EQ(ds->FieldCount(), 0u);
  EXPECT_TRUE(ds->IsEmpty());

  server.On("Rows", Reply::Error(Variant(int32_t{4}), "Нет такой версии"));
  proxy.loadAttempts = 0;
  EXPECT_THROW(proxy.GetRecordset("Rows", {}), EApiException);
  EXPECT_EQ(proxy.loadAttempts, 0);
}

TEST_F(AppBrevalonTest, DirectCallsBypassReconnectionRetryAndNotifications) {
  EXPECT_EQ(MessageOf<Exception>([&] { proxy.CallDirect("Op", {}); }), kNotConnected);
  EXPECT_EQ(proxy.restores, 0);
  EXPECT_TRUE(events.empty());

  ConnectNow();
  server.On("Op", [](const testing::RecordedCall&) {
    Reply r = Reply::Failure("boom");
    return r;
  });
  EXPECT_EQ(MessageOf<ERdcCallFailure>([&] { proxy.CallDirect("Op", {int32_t{1}}); }), "boom");
  EXPECT_TRUE(events.empty());
  const auto calls = server.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<WireArg>{Val(int32_t{1})}));  // no error pair added

  server.Restart();
  EXPECT_THROW(proxy.CallDirect("Op", {}), ERdcTransportFailure);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(proxy.restores, 0);
}

TEST_F(AppBrevalonTest, TheCallTimeoutReachesTheTransport) {
  proxy.SetCallTimeout(std::chrono::milliseconds(100));
  ConnectNow();
  server.Hold("Slow");
  EXPECT_THROW(proxy.CallMethod("Slow", {}), ELostConnectionException);
  server.Release();
  EXPECT_FALSE(proxy.IsConnectedToServer());
}

}  // namespace
}  // namespace brevalon
