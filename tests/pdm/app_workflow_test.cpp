// The workflow proxy's own logic against a scripted server: the sign-in by
// interface version, who the user is, the sign-in repeated after a lost
// connection, and the direct calls whose error pair is not examined.
#include "pdm/app_workflow.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "rdc/rdc_protocol.h"
#include "scripted_server.h"

namespace brevalon {
namespace {

using testing::RecordedCall;
using testing::Reply;
using testing::ScriptedServer;
using testing::Val;
using testing::WireArg;

using Names = std::vector<std::string>;

Dataset CurrentUser(int32_t id, const std::string& login, const std::string& fullName) {
  Dataset ds;
  ds.AddField("_ID", FieldType::Int32);
  ds.AddField("_NAME", FieldType::Text, 100);
  ds.AddField("_FULLNAME", FieldType::Text, 255);
  ds.AppendRow({Variant(id), Variant(login), Variant(fullName)});
  return ds;
}

class AppWorkFlowTest : public ::testing::Test {
 protected:
  AppWorkFlowTest() {
    workflow.SetConnectionType(ctSocket);
    workflow.SetServerName("127.0.0.1");
    workflow.SetPort(server.Port());
    workflow.SetAuthentific(atPassword);
    workflow.SetUserName("Ivanov");
    workflow.SetPassword("pw");
    workflow.Connect();
  }

  ScriptedServer server;
  TAppWorkFlow workflow;
  const std::string addr = GetLocalIPAddress();
};

TEST_F(AppWorkFlowTest, TheInterfaceVersionChoosesTheSignIn) {
  struct Case {
    int32_t version;
    Names names;
  };
  const std::vector<Case> cases = {
      {20100701, {"ConnectWorkFlowOnDbEx", "GetInfoAboutCurrentUser"}},
      {20090306, {"ConnectWorkFlowOnDbEx", "GetInfoAboutCurrentUser"}},
      {20090305, {"ConnectWorkFlowOnDb", "GetInfoAboutCurrentUser", "SendDbList"}},
      {20061001, {"ConnectWorkFlowOnDb", "GetInfoAboutCurrentUser", "SendDbList"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    server.ClearCalls();
    workflow.ConnectToDB(c.version, "db");
    EXPECT_EQ(server.Names(), c.names);
    if (c.names.back() != "SendDbList") continue;

    // Old servers are told the database through a one-row list.
    const RecordedCall list = server.Calls().back();
    ASSERT_EQ(list.args.size(), 1u);
    EXPECT_FALSE(list.args[0].byRef);
    Dataset ds = Dataset::LoadFromBytes(list.args[0].value.AsBytes());
    const std::vector<FieldDef> expected = {{"_DataBase", FieldType::Text, 255},
                                            {"_UserName", FieldType::Text, 255},
                                            {"_AccessMethod", FieldType::Int32, 0},
                                            {"_Password", FieldType::Text, 255},
                                            {"_Connected", FieldType::Boolean, 0}};
    EXPECT_EQ(ds.Fields(), expected);
    ASSERT_EQ(ds.RecordCount(), 1u);
    ds.First();
    EXPECT_EQ(ds.FieldByName("_DataBase").AsString(), "db");
    EXPECT_EQ(ds.FieldByName("_UserName").AsString(), "");
    EXPECT_EQ(ds.FieldByName("_AccessMethod").AsInteger(), 0);
    EXPECT_EQ(ds.FieldByName("_Password").AsString(), "");
    EXPECT_TRUE(ds.FieldByName("_Connected").AsBoolean());
  }
}

TEST_F(AppWorkFlowTest, CredentialsFollowTheAuthenticationKind) {
  workflow.SetAuthentific(atWindows);
  workflow.ConnectToDB(kWorkFlowAppVersion, "db");
  const auto args = server.Calls().front().args;
  EXPECT_EQ(std::vector<WireArg>(args.begin(), args.end() - 2),
            (std::vector<WireArg>{Val("db"), Val(addr), Val(""), Val("")}));

  server.ClearCalls();
  workflow.SetAuthentific(atUndefined);
  try {
    workflow.ConnectToDB(20080101, "other");
    ADD_FAILURE() << "sign-in with an unknown kind";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Неопределен тип аутентификации");
  }
  EXPECT_TRUE(server.Calls().empty());
  EXPECT_EQ(workflow.AppVersion(), 20080101);
  EXPECT_EQ(workflow.DBName(), "other");
}

TEST_F(AppWorkFlowTest, SignInLearnsWhoTheUserIs) {
  server.On("GetInfoAboutCurrentUser", Reply::Packet(CurrentUser(42, "ivanov", "Иванов Иван Иванович")));
  workflow.ConnectToDB(kWorkFlowAppVersion, "db");
  EXPECT_EQ(workflow.ID_User(), 42);
  EXPECT_EQ(workflow.UserName(), "ivanov");
  EXPECT_EQ(workflow.UserFullName(), "Иванов Иван Иванович");

  // No current-user row: signed in, but nobody known.
  Dataset none = CurrentUser(0, "", "");
  none.First();
  none.Delete();
  server.On("GetInfoAboutCurrentUser", Reply::Packet(none));
  workflow.ConnectToDB(kWorkFlowAppVersion, "db");
  EXPECT_EQ(workflow.ID_User(), 0);
  EXPECT_EQ(workflow.UserName(), "ivanov");
}

TEST_F(AppWorkFlowTest, AfterALostConnectionTheSignInIsRepeatedWithTheServersLoginName) {
  server.On("GetInfoAboutCurrentUser", Reply::Packet(CurrentUser(42, "ivanov", "Иванов И.И.")));
  workflow.ConnectToDB(kWorkFlowAppVersion, "db");
  server.Restart();
  EXPECT_THROW(workflow.GetUserList(), ELostConnectionException);
  EXPECT_EQ(workflow.ID_User(), 0);
  EXPECT_EQ(workflow.UserFullName(), "");

  server.ClearCalls();
  workflow.GetUserList();
  EXPECT_EQ(server.Names(), (Names{"ConnectWorkFlowOnDbEx", "GetInfoAboutCurrentUser", "GetUserList"}));
  const auto args = server.Calls().front().args;
  EXPECT_EQ(std::vector<WireArg>(args.begin(), args.end() - 2),
            (std::vector<WireArg>{Val("db"), Val(addr), Val("ivanov"), Val("pw")}));
  EXPECT_EQ(workflow.ID_User(), 42);
}

TEST_F(AppWorkFlowTest, DirectCallsIgnoreTheErrorPairButNotAFailedCall) {
  server.On("InsUpdStageIntoBP", [](const RecordedCall&) {
    Reply r = Reply::Error(Variant(int32_t{5}), "ignored");
    r.writes[9] = Variant(int32_t{77});
    return r;
  });
  Variant task("task"), term(int32_t{1}), plan(45000.5), control(int32_t{0}), active(int32_t{1}),
      role(int32_t{4}), user(int32_t{5}), process(int32_t{6}), transform(int32_t{0}), stage(int32_t{0});
  EXPECT_NO_THROW(
      workflow.InsUpdStageIntoBP_V9(task, term, plan, control, active, role, user, process, transform, stage));
  EXPECT_EQ(stage.AsInteger(), 77);

  server.On("SetVariable", Reply::Error(Variant(int32_t{5}), "ignored"));
  Variant value("v");
  EXPECT_NO_THROW(workflow.SetVariable(1, "name", value, false));

  server.On("SetVariable", Reply::Failure("boom"));
  EXPECT_THROW(workflow.SetVariable(1, "name", value, false), ERdcCallFailure);
  EXPECT_TRUE(workflow.IsConnectedToServer());
}

TEST(GetLocalIPAddressTest, GivesADottedQuadOrNothing) {
  const std::string addr = GetLocalIPAddress();
  if (addr.empty()) GTEST_SKIP() << "this host's name does not resolve to an IPv4 address";
  EXPECT_TRUE(std::regex_match(addr, std::regex(R"((25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3})")))
      << addr;
}

}  // namespace
}  // namespace brevalon
