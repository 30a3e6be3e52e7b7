// The main-system proxy's own logic against a scripted server: sign-in, title
// attributes, check-out selection and bookkeeping, the version cache, the
// session restored after a lost connection, and the direct file-block call.
#include "pdm/app_main_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rdc/rdc_protocol.h"
#include "scripted_server.h"

namespace brevalon {
namespace {

using testing::RecordedCall;
using testing::Ref;
using testing::Reply;
using testing::ScriptedServer;
using testing::Val;
using testing::WireArg;

using Names = std::vector<std::string>;

class AppMainSystemTest : public ::testing::Test {
 protected:
  AppMainSystemTest() {
    main.SetConnectionType(ctSocket);
    main.SetServerName("127.0.0.1");
    main.SetPort(server.Port());
    main.SetDBName("db");
    main.SetAuthentific(atPassword);
    main.SetUserName("user");
    main.SetPassword("pw");
    main.Connect();
  }

  // The arguments of the last recorded call without the error pair.
  std::vector<WireArg> LastArgs() const {
    std::vector<WireArg> args = server.Calls().back().args;
    if (args.size() >= 2) args.resize(args.size() - 2);
    return args;
  }

  ScriptedServer server;
  TAppMainSystem main;
};

TEST_F(AppMainSystemTest, SignInSendsTheCredentialsOfItsKind) {
  struct Case {
    int32_t kind;
    Variant result;
    std::vector<WireArg> args;  // empty: refused before anything is sent
    bool admin;
  };
  const std::vector<Case> cases = {
      {atPassword, Variant(int32_t{1}), {Val("db"), Val("user"), Val("pw")}, true},
      {atWindows, Variant(int32_t{0}), {Val("db"), Val(""), Val("")}, false},
      {atWindows, Variant(), {Val("db"), Val(""), Val("")}, false},
      {atUndefined, Variant(), {}, false},
      {7, Variant(), {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    server.ClearCalls();
    server.On("ConnectToDBEx", Reply::Result(c.result));
    main.SetAuthentific(c.kind);
    if (c.args.empty()) {
      try {
        main.ConnectToDB();
        ADD_FAILURE() << "sign-in with an unknown kind";
      } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Неопределен тип аутентификации");
      }
      EXPECT_TRUE(server.Calls().empty());
      continue;
    }
    main.ConnectToDB();
    const auto calls = server.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "ConnectToDBEx");
    EXPECT_EQ(std::vector<WireArg>(calls[0].args.begin(), calls[0].args.end() - 2), c.args);
    EXPECT_EQ(main.IsAdmin(), c.admin);
  }
}

TEST_F(AppMainSystemTest, TitleAttributesAreTheTreeColumnsWithoutUnderscore) {
  Dataset tree;
  tree.AddField("_ID_VERSION", FieldType::Int32);
  tree.AddField("Обозначение", FieldType::Text);
  tree.AddField("_PRODUCT", FieldType::Text);
  tree.AddField("Наименование", FieldType::Text);
  server.On("GetTree2", Reply::Packet(tree));
  main.ConnectToDB();
  EXPECT_EQ(main.TitleAttributes(), (Names{"Обозначение", "Наименование"}));

  // A later sign-in replaces the list.
  Dataset other;
  other.AddField("Масса", FieldType::Double);
  server.On("GetTree2", Reply::Packet(other));
  main.ConnectToDB();
  EXPECT_EQ(main.TitleAttributes(), (Names{"Масса"}));
}

TEST_F(AppMainSystemTest, ARefusedSignInKeepsTheEarlierState) {
  server.On("ConnectToDBEx", Reply::Result(Variant(int32_t{1})));
  main.ConnectToDB();
  main.ConnectToCheckOut(5);
  server.On("ConnectToDBEx", Reply::Error(Variant(int32_t{2}), "Неверный пароль"));
  EXPECT_THROW(main.ConnectToDB(), EApiException);
  EXPECT_TRUE(main.IsAdmin());
  EXPECT_EQ(main.IdCheckOut(), 5);
}

TEST_F(AppMainSystemTest, OperationsSelectTheirCheckOutOnlyWhenItChanges) {
  main.GetLockedObjects(5, 0);
  main.GetLockedObjects(5, 0);
  main.GetLockedObjects(6, 0);
  main.GetLockedObjects(0, 0);
  main.GetLockedObjects(0, 0);
  EXPECT_EQ(server.Names(), (Names{"ConnectToCheckOut", "GetLockedObjects", "GetLockedObjects", "ConnectToCheckOut",
                                   "GetLockedObjects", "DisconnectCheckOut", "GetLockedObjects", "GetLockedObjects"}));
  const auto calls = server.Calls();
  EXPECT_EQ(calls[3].args[0], Val(6));
  EXPECT_EQ(calls[5].args[0], Val(6));  // the one that was current is released
  EXPECT_EQ(calls[5].args[1], Val("db"));
  EXPECT_EQ(main.IdCheckOut(), 0);
}

TEST_F(AppMainSystemTest, OwnCheckOutsDecideWhoHoldsALock) {
  server.On("CheckOut", Reply::Result(Variant(int32_t{7})));
  EXPECT_EQ(main.CheckOut("type", "prod", "ver", 1), 7);
  EXPECT_EQ(main.GetLocked(0), lFree);
  EXPECT_EQ(main.GetLocked(7), lMyLock);
  EXPECT_EQ(main.GetLocked(8), lNotMyLock);

  // A check-in the server refuses changes nothing.
  main.ConnectToCheckOut(7);
  server.On("CheckIn", Reply::Error(Variant(int32_t{3}), "Объект заблокирован"));
  EXPECT_THROW(main.CheckIn(7), EApiException);
  EXPECT_EQ(main.GetLocked(7), lMyLock);
  EXPECT_EQ(main.IdCheckOut(), 7);

  server.On("CheckIn", Reply());
  main.CheckIn(7);
  EXPECT_EQ(main.GetLocked(7), lNotMyLock);
  EXPECT_EQ(main.IdCheckOut(), 0);

  server.On("CheckOut", Reply::Result(Variant(int32_t{9})));
  main.CheckOut("type", "prod", "ver", 1);
  main.CheckOut("type", "prod", "ver", 1);  // the list holds an id once
  EXPECT_EQ(main.CheckoutList().Count(), 1);
  main.CancelCheckOut(9);
  EXPECT_EQ(main.GetLocked(9), lNotMyLock);
}

TEST_F(AppMainSystemTest, CurrentBaseModes2And21ReloadTheOwnCheckOuts) {
  Dataset base;
  base.AddField("_CHECKOUTNAME", FieldType::Text, 50);
  base.AppendRow({Variant("7")});
  base.AppendRow({Variant("9")});
  server.On("GetInfoAboutCurrentBase", Reply::Packet(base));
  server.On("CheckOut", Reply::Result(Variant(int32_t{3})));

  for (int32_t mode : {2, 21}) {
    SCOPED_TRACE(mode);
    main.CheckOut("type", "prod", "ver", 1);
    TDataSetPtr ds = main.GetInfoAboutCurrentBase(mode);
    EXPECT_EQ(ds->RecNo(), 0u);
    EXPECT_EQ(main.GetLocked(7), lMyLock);
    EXPECT_EQ(main.GetLocked(9), lMyLock);
    EXPECT_EQ(main.GetLocked(3), lNotMyLock);
  }
  main.CheckOut("type", "prod", "ver", 1);
  main.GetInfoAboutCurrentBase(10);
  EXPECT_EQ(main.CheckoutList().Items(), (std::vector<int32_t>{7, 9, 3}));
}

TEST_F(AppMainSystemTest, SaveChangesTakesTheCurrentCheckOutTheServerReports) {
  struct Case {
    Variant reported;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {Variant("12"), 12}, {Variant(int32_t{14}), 14}, {Variant("abc"), 0}, {Variant::Null(), 0}, {Variant(), 0}};
  main.ConnectToCheckOut(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reported.ToDebugString());
    server.On("CurrentCheckOut", Reply::Result(c.reported));
    main.SaveChanges(5);
    EXPECT_EQ(main.IdCheckOut(), c.expected);
  }
}

TEST_F(AppMainSystemTest, AppVersionIsReadOncePerConnection) {
  server.On("ApplicationVersion", Reply::Result(Variant(int32_t{20090306})));
  EXPECT_EQ(main.AppVersion(), 20090306);
  EXPECT_EQ(main.AppVersion(), 20090306);
  EXPECT_EQ(server.Names(), (Names{"ApplicationVersion"}));
  main.Disconnect();
  main.Connect();
  EXPECT_EQ(main.AppVersion(), 20090306);
  EXPECT_EQ(server.Names(), (Names{"ApplicationVersion", "ApplicationVersion"}));
}

TEST_F(AppMainSystemTest, AfterALostConnectionTheNextCallSignsInAndReselectsTheCheckOut) {
  server.On("CheckOut", Reply::Result(Variant(int32_t{7})));
  main.ConnectToDB();
  main.CheckOut("type", "prod", "ver", 1);
  main.ConnectToCheckOut(5);
  server.Restart();
  EXPECT_THROW(main.GetLockedObjects(5, 0), ELostConnectionException);

  server.ClearCalls();
  main.GetLockedObjects(5, 0);
  EXPECT_EQ(server.Names(), (Names{"ConnectToDBEx", "GetTree2", "ConnectToCheckOut", "GetLockedObjects"}));
  EXPECT_EQ(server.Calls()[2].args[0], Val(5));
  EXPECT_EQ(main.IdCheckOut(), 5);
  EXPECT_EQ(main.GetLocked(7), lMyLock);  // own check-outs survive the reconnection
}

TEST_F(AppMainSystemTest, ACheckOutClosedWhileTheConnectionWasDownIsDropped) {
  main.ConnectToDB();
  main.ConnectToCheckOut(5);
  server.Restart();
  EXPECT_THROW(main.GetLockedObjects(0, 0), ELostConnectionException);

  // Another session checked it in meanwhile: the server refuses to select it.
  server.On("ConnectToCheckOut", Reply::Error(Variant(int32_t{4}), "no such check-out"));
  main.GetLockedObjects(0, 0);
  EXPECT_EQ(main.IdCheckOut(), 0);
  server.ClearCalls();
  main.GetLockedObjects(0, 0);  // the session goes on without reconnecting again
  EXPECT_EQ(server.Names(), (Names{"GetLockedObjects"}));
}

TEST_F(AppMainSystemTest, OldServersFetchAFileBeforeRenamingIt) {
  server.On("ApplicationVersion", Reply::Result(Variant(int32_t{20080101})));
  main.RenameFileById(0, 38, "file", "path", "new", "newpath");
  EXPECT_EQ(server.Names(), (Names{"ApplicationVersion", "GetFileById", "RenameFileById"}));
  EXPECT_EQ(server.Calls()[1].args[0], Val(38));
}

TEST_F(AppMainSystemTest, FileBlocksComeBackThroughTheReferences) {
  server.On("GetFileData", [](const RecordedCall&) {
    Reply r = Reply::Result(Variant(std::vector<uint8_t>{'a', 'b'}));
    r.writes[5] = Variant(int32_t{1000});
    r.writes[6] = Variant(int32_t{2});
    r.writes[7] = Variant(int32_t{-268435456});
    return r;
  });
  Variant size, read, crc;
  const Variant block = main.GetFileData("file", "path", 0, 2, 1, size, read, crc);
  EXPECT_EQ(block.AsBytes(), (std::vector<uint8_t>{'a', 'b'}));
  EXPECT_EQ(size.AsInteger(), 1000);
  EXPECT_EQ(read.AsInteger(), 2);
  EXPECT_EQ(crc.AsInteger(), -268435456);

  server.On("GetFileData", Reply::Error(Variant(int32_t{4}), "Файл не найден"));
  try {
    main.GetFileData("file", "path", 0, 2, 1, size, read, crc);
    ADD_FAILURE() << "no EApiException";
  } catch (const EApiException& e) {
    EXPECT_STREQ(e.what(), "Файл не найден");
    EXPECT_EQ(e.ErrorCode().AsInteger(), 4);
  }

  // No reconnection for this call: a lost connection reaches the caller.
  server.Restart();
  server.ClearCalls();
  EXPECT_THROW(main.GetFileData("file", "path", 0, 2, 1, size, read, crc), ERdcTransportFailure);
  EXPECT_THROW(main.GetFileData("file", "path", 0, 2, 1, size, read, crc), Exception);
  EXPECT_TRUE(server.Calls().empty());
}

}  // namespace
}  // namespace brevalon
