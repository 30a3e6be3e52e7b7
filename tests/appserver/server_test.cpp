// The reference servers end to end: a real AppServer on port 0 over a
// temporary database loaded from the demo seed, called through the RDC
// client exactly as the gateway's proxies call it (arguments in order, then
// the error pair by reference).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "appserver/app_server.h"
#include "appserver/main_system.h"
#include "appserver/text_util.h"
#include "appserver/workflow.h"
#include "appserver_test_support.h"
#include "data/dataset.h"
#include "rdc/rdc_client.h"

namespace brevalon::appserver {
namespace {

struct Answer {
  Variant result;
  int32_t code = 0;
  std::string message;
};

// One connection to one server class, signed in or not.
class Conn {
 public:
  Conn(uint16_t port, const char* cls, const std::string& identity = {}) {
    RdcEndpoint ep;
    ep.host = "127.0.0.1";
    ep.port = port;
    client_.Open(ep, cls, identity);
  }

  Answer Call(const std::string& name, std::vector<RdcArg> args) {
    Variant code, message;
    args.push_back(RdcArg::Ref(code));
    args.push_back(RdcArg::Ref(message));
    Answer a;
    a.result = client_.Call(name, args);
    a.code = code.IsEmpty() ? 0 : code.AsInteger();
    a.message = message.IsEmpty() ? "" : message.AsString();
    return a;
  }
  // A call that must succeed.
  Variant Ok(const std::string& name, std::vector<RdcArg> args) {
    Answer a = Call(name, std::move(args));
    EXPECT_EQ(a.code, 0) << name << ": " << a.message;
    return a.result;
  }
  Dataset Table(const std::string& name, std::vector<RdcArg> args) {
    Variant r = Ok(name, std::move(args));
    if (r.Type() != VariantType::ByteArray) {
      ADD_FAILURE() << name << " answered " << r.ToDebugString();
      return Dataset();
    }
    return Dataset::LoadFromBytes(r.AsBytes());
  }
  RdcClient& Client() { return client_; }

 private:
  RdcClient client_;
};

std::vector<int32_t> Column(Dataset ds, const char* field) {
  std::vector<int32_t> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsInteger());
  return out;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer(); }

  void StartServer() {
    AppServerOptions o;
    o.db = dir_.Path() / "demo.sqlite";
    o.seed = testing::DemoSeedPath();
    o.port = 0;
    o.clock = [] { return 45500.5; };
    server_ = std::make_unique<AppServer>(o);
    server_->Start();
  }

  std::unique_ptr<Conn> Main(const std::string& user, const std::string& password = "", const char* db = "demo") {
    auto c = std::make_unique<Conn>(server_->Port(), kMainSystemClass);
    c->Ok("ConnectToDBEx", {db, user, password.empty() ? user + "1" : password});
    return c;
  }
  std::unique_ptr<Conn> Workflow(const std::string& user, const char* db = "demo") {
    auto c = std::make_unique<Conn>(server_->Port(), kWorkflowClass);
    c->Ok("ConnectWorkFlowOnDbEx", {db, "127.0.0.1", user, user + "1"});
    return c;
  }
  int32_t UserId(Conn& wf) {
    Dataset me = wf.Table("GetInfoAboutCurrentUser", {});
    return me.FieldByName("_ID").AsInteger();
  }
  int32_t VersionOf(Conn& ms, const std::string& product) {
    int32_t found = 0;
    Dataset ds = ms.Table("GetTree2", {int32_t{0}, "", int32_t{1}});
    for (ds.First(); !ds.Eof(); ds.Next())
      if (ds.FieldByName("_PRODUCT").AsString() == product) found = ds.FieldByName("_ID_VERSION").AsInteger();
    // Children are not top-level; look below the composed document too.
    if (!found) {
      Dataset top = ms.Table("GetTree2", {int32_t{0}, "", int32_t{1}});
      for (top.First(); !top.Eof() && !found; top.Next()) {
        Dataset kids = ms.Table("GetTree2", {top.FieldByName("_ID_VERSION").AsInteger(), "", int32_t{1}});
        for (kids.First(); !kids.Eof(); kids.Next())
          if (kids.FieldByName("_PRODUCT").AsString() == product) found = kids.FieldByName("_ID_VERSION").AsInteger();
      }
    }
    EXPECT_NE(found, 0) << product;
    return found;
  }

  testing::TempDir dir_;
  std::unique_ptr<AppServer> server_;
};

// ---------------------------------------------------------------- sign-in

TEST_F(ServerTest, SignInByPasswordOrOperatingSystemIdentity) {
  struct Case {
    const char* identity;
    const char* db;
    const char* user;
    const char* password;
    int32_t code;
    int32_t admin;
  } cases[] = {
      {"", "demo", "petrova", "petrova1", 0, 0},
      {"", "DEMO", "PETROVA", "petrova1", 0, 0},  // names ignore letter case, passwords do not
      {"", "demo", "petrova", "PETROVA1", 2, 0},
      {"", "demo", "ivanov", "ivanov1", 0, 1},
      {"", "nowhere", "ivanov", "ivanov1", 2, 0},
      {"", "demo", "nobody", "x", 2, 0},
      {"ivanov", "demo", "", "", 0, 1},   // by the connection's identity
      {"petrova", "demo", "", "", 2, 0},  // petrova has no identity on record
      {"", "demo", "", "", 2, 0},
  };
  for (const auto& c : cases) {
    Conn ms(server_->Port(), kMainSystemClass, c.identity);
    Answer a = ms.Call("ConnectToDBEx", {c.db, c.user, c.password});
    EXPECT_EQ(a.code, c.code) << c.user << "/" << c.identity << ": " << a.message;
    if (c.code == 0) {
      EXPECT_EQ(a.result.AsInteger(), c.admin) << c.user;
    } else {
      EXPECT_FALSE(a.message.empty());
    }
    Conn wf(server_->Port(), kWorkflowClass, c.identity);
    EXPECT_EQ(wf.Call("ConnectWorkFlowOnDbEx", {c.db, "10.0.0.1", c.user, c.password}).code, c.code) << c.user;
  }
}

TEST_F(ServerTest, CallsAreRefusedBeforeSignInAndUnknownNamesFailResolution) {
  Conn ms(server_->Port(), kMainSystemClass);
  Answer a = ms.Call("GetTypeList", {});
  EXPECT_EQ(a.code, kErrNotSignedIn);
  EXPECT_TRUE(a.result.IsEmpty());
  EXPECT_EQ(ms.Client().GetProperty("ApplicationVersion").AsInteger(), 20100701);
  EXPECT_THROW(ms.Call("NewObject", {int32_t{0}, "", "", "", int32_t{0}}), ERdcUnknownName);
  EXPECT_THROW(ms.Client().GetProperty("Colour"), ERdcUnknownName);
  // Without the error pair there is nothing to report to: the call fails.
  std::vector<RdcArg> noPair = {"demo", "ivanov", "ivanov1"};
  EXPECT_THROW(ms.Client().Call("ConnectToDBEx", noPair), ERdcCallFailure);

  Conn wf(server_->Port(), kWorkflowClass);
  EXPECT_EQ(wf.Call("GetUserList", {}).code, kErrNotSignedIn);
  EXPECT_THROW(wf.Call("DelLetter", {int32_t{1}}), ERdcUnknownName);
}

// ---------------------------------------------------------------- main system

TEST_F(ServerTest, DescribesTheDatabase) {
  auto ms = Main("petrova");
  Dataset props = ms->Table("GetDBProperties", {});
  ASSERT_TRUE(props.Locate("_PARAMNAME", "Internal"));
  EXPECT_EQ(props.FieldByName("_PARAMVALUE").AsString(), "7.1");

  Dataset types = ms->Table("GetTypeList", {});
  ASSERT_TRUE(types.Locate("_TYPENAME", "Изделие"));
  EXPECT_EQ(types.FieldByName("_DOCUMENT").AsInteger(), 0);
  ASSERT_TRUE(types.Locate("_TYPENAME", "Чертёж"));
  EXPECT_EQ(types.FieldByName("_DOCUMENT").AsInteger(), 1);

  Dataset attrs = ms->Table("GetAttributeList", {});
  ASSERT_TRUE(attrs.Locate("_NAME", "Масса"));
  EXPECT_EQ(attrs.FieldByName("_ATTRTYPE").AsInteger(), 2);
  EXPECT_EQ(ms->Table("GetStateList", {}).RecordCount(), 3u);

  // The title attributes are the tree's columns without "_", in title order.
  Dataset tree = ms->Table("GetTree2", {int32_t{0}, "", int32_t{1}});
  std::vector<std::string> titles;
  for (const auto& f : tree.Fields())
    if (f.name[0] != '_') titles.push_back(f.name);
  EXPECT_EQ(titles, (std::vector<std::string>{"Обозначение", "Наименование"}));

  Dataset reports = ms->Table("GetInfoAboutCurrentBase", {int32_t{10}});
  EXPECT_TRUE(reports.Locate("_PROC_NAME", "rep_SEARCH"));
  auto archive = Main("archivist", "archive1", "archive");
  EXPECT_TRUE(archive->Table("GetInfoAboutCurrentBase", {int32_t{10}}).IsEmpty());
  EXPECT_EQ(archive->Call("GetInfoAboutCurrentBase", {int32_t{99}}).code, kErrArgument);
}

TEST_F(ServerTest, VersionPropertiesAttributesAndFiles) {
  auto ms = Main("sidorov");
  const int32_t shaft = VersionOf(*ms, "Вал приводной");
  const int32_t gear = VersionOf(*ms, "Шестерня");

  // Ids in list order, each once; junk and 0 skipped; unknown ids left out.
  Dataset props = ms->Table("GetPropObjects2",
                            {std::to_string(gear) + ", abc,0," + std::to_string(shaft) + ",99999," + std::to_string(gear),
                             int32_t{0}});
  EXPECT_EQ(Column(props, "_ID_VERSION"), (std::vector<int32_t>{gear, shaft}));
  props.First();
  EXPECT_EQ(props.FieldByName("_ACCESSLEVEL").AsInteger(), 1);  // everybody reads the gear
  props.Next();
  EXPECT_EQ(props.FieldByName("_ACCESSLEVEL").AsInteger(), 2);  // sidorov may edit the shaft

  EXPECT_EQ(ms->Ok("ExistsObject", {"", "", "", shaft}).AsInteger(), 1);
  EXPECT_EQ(ms->Ok("ExistsObject", {"", "", "", int32_t{99999}}).AsInteger(), 0);
  EXPECT_EQ(ms->Ok("ExistsObject", {"Чертёж", "Шестерня", "2", int32_t{0}}).AsInteger(), 1);

  Dataset attrs = ms->Table("GetInfoAboutVersion", {"", "", "", shaft, int32_t{2}});
  ASSERT_TRUE(attrs.Locate("_NAME", "Обозначение"));
  EXPECT_EQ(attrs.FieldByName("_VALUE").AsString(), "ПР-101.001");

  Dataset info = ms->Table("GetInfoAboutVersion", {"", "", "", shaft, int32_t{15}});
  EXPECT_EQ(info.FieldByName("_TYPENAME").AsString(), "Чертёж");
  EXPECT_EQ(info.FieldByName("_ID_LOCK").AsInteger(), 0);

  Dataset files = ms->Table("GetInfoAboutVersion", {"", "", "", shaft, int32_t{7}});
  EXPECT_EQ(files.RecordCount(), 3u);
  EXPECT_EQ(ms->Call("GetInfoAboutVersion", {"", "", "", shaft, int32_t{3}}).code, kErrArgument);
  EXPECT_EQ(ms->Call("GetInfoAboutVersion", {"", "", "", int32_t{99999}, int32_t{7}}).code, kErrNotFound);

  // A composed document has no files; its children come through the composition link.
  const int32_t reducer = VersionOf(*ms, "Редуктор");
  EXPECT_TRUE(ms->Table("GetInfoAboutVersion", {"", "", "", reducer, int32_t{7}}).IsEmpty());
  Dataset kids = ms->Table("GetLinkedObjects2", {reducer, "состоит из...", false, true, false});
  EXPECT_EQ(Column(kids, "_ID_VERSION"), (std::vector<int32_t>{shaft, gear}));
  EXPECT_EQ(Column(ms->Table("GetLinkedObjects2", {shaft, "состоит из...", true, false, false}), "_ID_VERSION"),
            std::vector<int32_t>{reducer});
  EXPECT_TRUE(ms->Table("GetLinkedObjects2", {reducer, "другая связь", false, true, false}).IsEmpty());
}

TEST_F(ServerTest, FilesAreReadInBlocksWithTheirRealBytes) {
  auto ms = Main("kuznetsova");
  const int32_t gear = VersionOf(*ms, "Шестерня");
  Dataset files = ms->Table("GetInfoAboutVersion", {"", "", "", gear, int32_t{7}});
  ASSERT_TRUE(files.Locate("_NAME", "gear.bin"));
  const std::string stored = files.FieldByName("_LOCALNAME").AsString();
  const int64_t size = files.FieldByName("_SIZE").AsInt64();
  const int64_t crc = files.FieldByName("_CRC").AsInt64();
  ASSERT_EQ(size, 32);

  // Reading before extraction is refused.
  Variant fsize, read, sum;
  auto block = [&](const std::string& name, int32_t pos, int32_t count) {
    return ms->Call("GetFileData", {name, stored, pos, count, int32_t{1}, RdcArg::Ref(fsize), RdcArg::Ref(read),
                                    RdcArg::Ref(sum)});
  };
  EXPECT_EQ(block("Файл.bin", 0, 4).code, kErrNotFound);
  EXPECT_EQ(ms->Ok("ExtractFile", {"", "", "", gear, "Файл.bin", stored, int32_t{1}}).AsString(), "Файл.bin");
  EXPECT_EQ(ms->Call("ExtractFile", {"", "", "", gear, "Файл.bin", "nope", int32_t{1}}).code, kErrNotFound);

  std::vector<uint8_t> all;
  for (int32_t pos = 0; pos < 40; pos += 7) {
    Answer a = block("Файл.bin", pos, 7);
    ASSERT_EQ(a.code, 0) << a.message;
    const auto& bytes = a.result.AsBytes();
    EXPECT_EQ(read.AsInteger(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(fsize.AsInteger(), 32);
    EXPECT_EQ(static_cast<uint32_t>(sum.AsInteger()), Crc32(bytes));
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  ASSERT_EQ(all.size(), 32u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i);
  EXPECT_EQ(static_cast<int64_t>(Crc32(all)), crc);

  EXPECT_TRUE(block("Файл.bin", 0, 0).result.AsBytes().empty());
  EXPECT_EQ(block("Файл.bin", -1, 4).code, kErrArgument);
  EXPECT_EQ(block("Файл.bin", 0, -4).code, kErrArgument);
  EXPECT_EQ(block("Файл.bin", 0, 64 * 1024 * 1024).code, kErrArgument);
}

TEST_F(ServerTest, WithdrawnGrantTakesAwayReadAccess) {
  auto admin = Main("ivanov");
  auto reader = Main("smirnov");
  const int32_t gear = VersionOf(*admin, "Шестерня");
  EXPECT_EQ(reader->Call("GetInfoAboutVersion", {"", "", "", gear, int32_t{7}}).code, 0);
  // Only an administrator of the version may change grants.
  EXPECT_EQ(reader->Call("UpGrantOnVersion", {"Чертёж", "Шестерня", "2", "smirnov", int32_t{0}, 0.0, true}).code,
            kErrAccess);
  admin->Ok("UpGrantOnVersion", {"Чертёж", "Шестерня", "2", "smirnov", int32_t{0}, 0.0, true});
  Dataset props = reader->Table("GetPropObjects2", {std::to_string(gear), int32_t{0}});
  EXPECT_EQ(props.FieldByName("_ACCESSLEVEL").AsInteger(), 0);
  EXPECT_EQ(reader->Call("GetInfoAboutVersion", {"", "", "", gear, int32_t{7}}).code, kErrAccess);
  EXPECT_EQ(admin->Call("UpGrantOnVersion", {"Чертёж", "Шестерня", "2", "nobody", int32_t{0}, 0.0, true}).code,
            kErrNotFound);
  admin->Ok("UpGrantOnVersion", {"Чертёж", "Шестерня", "2", "smirnov", int32_t{2}, 0.0, false});
  EXPECT_EQ(reader->Table("GetPropObjects2", {std::to_string(gear), int32_t{0}}).FieldByName("_ACCESSLEVEL").AsInteger(),
            2);
}

TEST_F(ServerTest, SearchThroughTheReportAndThroughXml) {
  auto ms = Main("sidorov");
  Dataset attrs = ms->Table("GetAttributeList", {});
  ASSERT_TRUE(attrs.Locate("_NAME", "Наименование"));
  const std::string name = std::to_string(attrs.FieldByName("_ID").AsInteger());
  Variant objects(std::vector<int32_t>{0});
  Dataset found = ms->Table("GetReport", {"rep_SEARCH", RdcArg::Ref(objects),
                                          "PATTERN=%корпус%\r\nPATTERNATTRS=" + name + "\r\nTYPES=\r\nSTATES=\r\n"});
  EXPECT_EQ(Column(found, "_ID_VERSION"), std::vector<int32_t>{VersionOf(*ms, "Корпус редуктора")});

  std::string xml =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><FIND><FilterStep id=\"1\" stepname=\"Фильтр\"><TypeList>"
      "<Type name=\"Архивный документ\"/></TypeList><AttrList><Attribute AttrName=\"Инвентарный номер\" "
      "AttrValue=\"Инвентарный номер like '%0042%'\"/></AttrList><ResultStep id=\"2\" stepname=\"Результат\" "
      "AllResult=\"union\"/></FilterStep></FIND>";
  auto archive = Main("archivist", "archive1", "archive");
  EXPECT_EQ(archive->Table("FindObjectsInContext2", {"", xml, int32_t{0}}).RecordCount(), 1u);
  EXPECT_EQ(archive->Call("GetReport", {"rep_SEARCH", RdcArg::Ref(objects), "TYPES=\r\n"}).code, kErrNotFound);
  EXPECT_EQ(archive->Call("FindObjectsInContext2", {"", "<FIND><Oops/></FIND>", int32_t{0}}).code, kErrArgument);
}

TEST_F(ServerTest, CheckOutsLockVersions) {
  auto ms = Main("sidorov");
  auto other = Main("ivanov");
  const int32_t shaft = VersionOf(*ms, "Вал приводной");
  int32_t co = ms->Ok("CheckOut", {"Чертёж", "Вал приводной", "1", int32_t{0}}).AsInteger();
  ASSERT_NE(co, 0);
  EXPECT_EQ(ms->Table("GetPropObjects2", {std::to_string(shaft), int32_t{0}}).FieldByName("_ID_LOCK").AsInteger(), co);
  EXPECT_EQ(other->Call("CheckOut", {"Чертёж", "Вал приводной", "1", int32_t{0}}).code, kErrState);
  EXPECT_EQ(other->Call("ConnectToCheckOut", {co, "demo"}).code, kErrAccess);
  EXPECT_TRUE(ms->Ok("ConnectToCheckOut", {co, "demo"}).AsBoolean());
  EXPECT_EQ(ms->Client().GetProperty("CurrentCheckOut").AsString(), std::to_string(co));
  EXPECT_EQ(Column(ms->Table("GetLockedObjects", {int32_t{0}}), "_ID_VERSION"), std::vector<int32_t>{shaft});
  Dataset mine = ms->Table("GetInfoAboutCurrentBase", {int32_t{2}});
  EXPECT_EQ(Column(mine, "_CHECKOUTNAME"), std::vector<int32_t>{co});
  ms->Ok("CheckIn", {co, "demo"});
  EXPECT_EQ(ms->Client().GetProperty("CurrentCheckOut").AsString(), "0");
  EXPECT_EQ(ms->Table("GetPropObjects2", {std::to_string(shaft), int32_t{0}}).FieldByName("_ID_LOCK").AsInteger(), 0);
  EXPECT_EQ(ms->Call("CheckIn", {co, "demo"}).code, kErrNotFound);
}

// ---------------------------------------------------------------- workflow

TEST_F(ServerTest, UsersRolesAndCommonCorrespondence) {
  auto wf = Workflow("sidorov");
  const int32_t me = UserId(*wf);
  Dataset users = wf->Table("GetUserList", {});
  EXPECT_EQ(users.RecordCount(), 8u);
  ASSERT_TRUE(users.Locate("_ID", static_cast<int64_t>(me)));
  EXPECT_EQ(users.FieldByName("_FULLNAME").AsString(), "Сидоров Пётр Алексеевич");

  Dataset roles = wf->Table("GetRoleListForUser", {me});
  std::vector<std::string> names;
  for (roles.First(); !roles.Eof(); roles.Next()) names.push_back(roles.FieldByName("_ROLENAME").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"everyone", "Конструктор"}));

  // In the tree a user node hangs under each of its roles; a role under its department.
  Dataset tree = wf->Table("GetRoleTree", {int32_t{4}});
  std::map<int32_t, std::pair<std::string, int32_t>> node;  // first row per id
  std::vector<int32_t> parentsOfMe;
  for (tree.First(); !tree.Eof(); tree.Next()) {
    int32_t id = tree.FieldByName("_ID").AsInteger();
    node.emplace(id, std::make_pair(tree.FieldByName("_NAME").AsString(), tree.FieldByName("_PARENT").AsInteger()));
    if (id == me) parentsOfMe.push_back(tree.FieldByName("_PARENT").AsInteger());
  }
  ASSERT_EQ(parentsOfMe.size(), 2u);
  std::vector<std::string> roleNames, departments;
  for (int32_t r : parentsOfMe) {
    roleNames.push_back(node[r].first);
    departments.push_back(node.count(node[r].second) ? node[node[r].second].first : "");
  }
  EXPECT_EQ(roleNames, (std::vector<std::string>{"everyone", "Конструктор"}));
  EXPECT_EQ(departments[1], "Конструкторский отдел");
  EXPECT_EQ(wf->Table("GetRoleTree", {int32_t{1}}).RecordCount(), 3u);
  EXPECT_EQ(wf->Call("GetRoleTree", {int32_t{3}}).code, kErrArgument);

  Dataset routes = wf->Table("GetTaskListForUser", {me, int32_t{3}, int32_t{3}, int32_t{2}});
  EXPECT_TRUE(routes.Locate("_ROUTENAME", "Общая переписка"));
  EXPECT_EQ(routes.FieldByName("_ID_OWNER").AsInteger(), me);
}

TEST_F(ServerTest, TaskListHonoursRoleMaskStateMaskAndStageMode) {
  auto wf = Workflow("ivanov");
  const int32_t me = UserId(*wf);
  auto routesOf = [&](int32_t roleMask, int32_t stateMask, int32_t mode) {
    std::map<std::string, int> byName;
    Dataset ds = wf->Table("GetTaskListForUser", {me, roleMask, stateMask, mode});
    for (ds.First(); !ds.Eof(); ds.Next()) byName[ds.FieldByName("_ROUTENAME").AsString()]++;
    return byName;
  };
  // ivanov owns three task processes (running, planned, stopped) with 2 + 2 + 1 stages.
  auto owned = routesOf(2, 15, 2);
  EXPECT_EQ(owned["{0200000000}Доработать чертёж вала"], 2);
  EXPECT_EQ(owned["{0200000000}Обновить спецификацию редуктора"], 2);
  EXPECT_EQ(owned["{0200000000}Проверить допуски шестерни"], 1);
  // Mode 1 adds the auto-operation instances.
  EXPECT_EQ(routesOf(2, 15, 1)["{0200000000}Доработать чертёж вала"], 3);
  // State mask: bit n selects process state n.
  auto planned = routesOf(2, 1, 2);
  EXPECT_EQ(planned.size(), 1u);
  EXPECT_EQ(planned.count("{0200000000}Обновить спецификацию редуктора"), 1u);
  EXPECT_EQ(routesOf(2, 4, 2).count("{0200000000}Проверить допуски шестерни"), 1u);
  // As executor ivanov has only the check stages and his own common process.
  auto executing = routesOf(1, 15, 2);
  EXPECT_EQ(executing["{0200000000}Доработать чертёж вала"], 1);
  // Mode 0: only stages issued or in work.
  EXPECT_EQ(routesOf(1, 15, 0).count("{0200000000}Доработать чертёж вала"), 0u);
  EXPECT_EQ(wf->Call("GetTaskListForUser", {me, int32_t{3}, int32_t{15}, int32_t{7}}).code, kErrArgument);
}

TEST_F(ServerTest, UnknownIdsGiveNoRowsOrAnError) {
  auto wf = Workflow("ivanov");
  for (const char* op : {"GetInfoAboutItem", "GetInfoAboutRoute", "GetInfoAboutStage"})
    EXPECT_TRUE(wf->Table(op, {int32_t{987654}}).IsEmpty()) << op;
  Answer del = wf->Call("DeleteProcess", {int32_t{987654}});
  EXPECT_EQ(del.code, kErrNotFound);
  EXPECT_EQ(del.message, "Process with id=[987654] not found");
}

// The sequence the gateway uses to build, issue, work on, complete and accept
// a task, and to return one for rework.
class TaskFlowTest : public ServerTest {
 protected:
  struct Built {
    int32_t route, work, check, finish;
  };

  Built BuildTask(Conn& author, int32_t executor, int32_t role, int interface = 12) {
    Built b{};
    b.route = author.Ok("CreateNewProcess", {"demo", int32_t{0}, "{0200000000}Новое задание"}).AsInteger();
    EXPECT_NE(b.route, 0);
    Dataset ops = author.Table("GetAutoOperationList", {int32_t{1}});
    EXPECT_TRUE(ops.Locate("_NAME", "Закончить процесс"));
    Variant inst = Variant::Null();
    author.Ok("InsUpdOpInstance", {ops.FieldByName("_ID").AsInteger(), int32_t{0}, RdcArg(Variant::Null()), b.route,
                                   RdcArg::Ref(inst)});
    b.finish = inst.AsInteger();
    b.work = Stage(author, "Сделать", executor, role, b.route, interface);
    author.Ok("AddRouteItemsSeq", {RdcArg(Variant::Null()), b.work, int32_t{0}});
    Dataset everyone = author.Table("GetRoleListForUser", {UserId(author)});
    EXPECT_TRUE(everyone.Locate("_ROLENAME", "everyone"));
    b.check = Stage(author, "Проверить результат", UserId(author), everyone.FieldByName("_ID_ROLE").AsInteger(),
                    b.route, interface);
    Variant first(b.work), second(b.check);
    author.Ok("AddRouteItemsSeq", {RdcArg::Ref(first), b.check, int32_t{0}});
    author.Ok("AddRouteItemsRetSeq", {RdcArg::Ref(second), b.work, int32_t{0}});
    author.Ok("AddRouteItemsSeq", {RdcArg::Ref(second), b.finish, int32_t{0}});
    return b;
  }

  int32_t Stage(Conn& c, const char* task, int32_t user, int32_t role, int32_t route, int interface) {
    Variant t(task), term = Variant::Null(), plan(45510.0), one(uint8_t{1}), zero(uint8_t{0}), r(role), u(user),
        bp(route), id = Variant::Null(), tc, fs = Variant::Null();
    std::vector<RdcArg> args = {RdcArg::Ref(t), RdcArg::Ref(term), RdcArg::Ref(plan), RdcArg::Ref(one),
                                RdcArg::Ref(one), RdcArg::Ref(r), RdcArg::Ref(u), RdcArg::Ref(bp)};
    if (interface >= 10) args.push_back(RdcArg::Ref(zero));
    args.push_back(RdcArg::Ref(id));
    if (interface == 12) {
      args.push_back(RdcArg::Ref(tc));
      args.push_back(RdcArg::Ref(fs));
    }
    c.Ok("InsUpdStageIntoBP", args);
    EXPECT_NE(id.Type(), VariantType::Null);
    return id.IsNull() ? 0 : id.AsInteger();
  }

  std::pair<int32_t, int32_t> States(Conn& c, const Built& b, int32_t stage) {
    int32_t wfState = c.Table("GetInfoAboutRoute", {b.route}).FieldByName("_WF_STATE").AsInteger();
    int32_t st = c.Table("GetInfoAboutStage", {stage}).FieldByName("_STATE").AsInteger();
    return {wfState, st};
  }
};

TEST_F(TaskFlowTest, IssueWorkCompleteAcceptFinishesTheProcess) {
  auto author = Workflow("ivanov");
  auto executor = Workflow("sidorov");
  Dataset roles = executor->Table("GetRoleListForUser", {UserId(*executor)});
  ASSERT_TRUE(roles.Locate("_ROLENAME", "Конструктор"));
  Built b = BuildTask(*author, UserId(*executor), roles.FieldByName("_ID_ROLE").AsInteger());

  EXPECT_EQ(States(*author, b, b.work), std::make_pair(0, 0));
  Dataset stage = author->Table("GetInfoAboutStage", {b.work});
  EXPECT_EQ(stage.FieldByName("_USER_NAME").AsString(), "sidorov");
  EXPECT_DOUBLE_EQ(stage.FieldByName("_DATE_EXECUTION_PLAN").AsDateTime(), 45510.0);
  EXPECT_EQ(author->Table("GetInfoAboutItem", {b.work}).FieldByName("_ID_ROUTE").AsInteger(), b.route);

  author->Ok("SetStateOfProcess", {b.route, int32_t{1}});  // issue
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(1, 2));
  EXPECT_EQ(States(*author, b, b.check), std::make_pair(1, 0));

  executor->Ok("SetTaskState", {b.route, b.work, int32_t{3}, ""});  // into work
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(1, 3));

  executor->Ok("SetItemState", {b.work, int32_t{4}, int32_t{0}});  // complete
  executor->Ok("StartNextStage", {b.route, b.work, int32_t{2}});
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(1, 4));
  Dataset next = author->Table("GetNextItems", {b.work});
  EXPECT_EQ(next.FieldByName("_ID_ITEM").AsInteger(), b.check);
  EXPECT_EQ(next.FieldByName("_ITEM_TYPE").AsInteger(), 1);
  EXPECT_EQ(next.FieldByName("_ITEM_STATE").AsInteger(), 2);

  author->Ok("SetTaskState", {b.route, b.check, int32_t{3}, ""});  // accept
  author->Ok("SetItemState", {b.check, int32_t{4}, int32_t{0}});
  author->Ok("StartNextStage", {b.route, b.check, int32_t{2}});
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(3, 4));
  EXPECT_EQ(author->Table("GetInfoAboutItem", {b.finish}).FieldByName("_ITEM_STATE").AsInteger(), 4);
  // A finished process can neither be restarted nor moved on.
  EXPECT_EQ(author->Call("SetStateOfProcess", {b.route, int32_t{1}}).code, kErrState);
  EXPECT_EQ(author->Call("StartNextStage", {b.route, b.check, int32_t{2}}).code, kErrState);
}

TEST_F(TaskFlowTest, StopResumeAndReturnForRework) {
  auto author = Workflow("petrova");
  auto executor = Workflow("popova");
  Built b = BuildTask(*author, UserId(*executor), 0, 9);
  author->Ok("SetStateOfProcess", {b.route, int32_t{1}});
  author->Ok("SetStateOfProcess", {b.route, int32_t{2}});  // revoke
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(2, 2));
  EXPECT_EQ(executor->Call("StartNextStage", {b.route, b.work, int32_t{2}}).code, kErrState);
  author->Ok("SetStateOfProcess", {b.route, int32_t{1}});  // reissue leaves the stage as it was
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(1, 2));

  executor->Ok("SetItemState", {b.work, int32_t{4}, int32_t{0}});
  executor->Ok("StartNextStage", {b.route, b.work, int32_t{2}});
  // Return for rework: the check item back to waiting, the work stage to in work.
  for (auto [item, state] : {std::pair{b.check, 0}, {b.work, 0}, {b.work, 2}, {b.work, 3}})
    author->Ok("SetItemStateInternal", {item, int32_t{state}});
  EXPECT_EQ(States(*author, b, b.work), std::make_pair(1, 3));
  EXPECT_EQ(States(*author, b, b.check), std::make_pair(1, 0));

  for (int32_t bad : {1, 5, 7, -1})
    EXPECT_EQ(author->Call("SetItemState", {b.work, bad, int32_t{0}}).code, kErrArgument) << bad;
  EXPECT_EQ(author->Call("SetStateOfProcess", {b.route, int32_t{3}}).code, kErrArgument);
  EXPECT_EQ(author->Call("StartNextStage", {b.route, b.work, int32_t{0}}).code, kErrArgument);
}

TEST_F(TaskFlowTest, StageInterfacesAndEdits) {
  auto author = Workflow("ivanov");
  auto other = Workflow("smirnov");
  for (int interface : {9, 10, 12}) {
    Built b = BuildTask(*author, UserId(*other), 0, interface);
    EXPECT_NE(b.work, b.check) << interface;
  }
  // Eleven arguments are none of the three interfaces.
  Variant v[11];
  std::vector<RdcArg> eleven;
  for (auto& x : v) eleven.push_back(RdcArg::Ref(x));
  EXPECT_EQ(author->Call("InsUpdStageIntoBP", eleven).code, kErrArgument);

  Built b = BuildTask(*author, UserId(*other), 0);
  Variant user(UserId(*author)), role(int32_t{0}), plan(uint8_t{0}), task("Новый текст");
  author->Ok("SetStageExecutor", {b.work, RdcArg::Ref(user), RdcArg::Ref(role)});
  author->Ok("SetStageTerm", {b.work, int32_t{0}, RdcArg::Ref(plan), int32_t{0}, int32_t{0}});
  author->Ok("SetStageTask", {b.work, RdcArg::Ref(task)});
  author->Ok("RenameProcess", {b.route, "{0200000000}Другое"});
  Dataset stage = author->Table("GetInfoAboutStage", {b.work});
  EXPECT_EQ(stage.FieldByName("_ID_USER").AsInteger(), UserId(*author));
  EXPECT_DOUBLE_EQ(stage.FieldByName("_DATE_EXECUTION_PLAN").AsDateTime(), 0.0);
  EXPECT_EQ(stage.FieldByName("_TASK").AsString(), "Новый текст");
  EXPECT_EQ(author->Table("GetInfoAboutRoute", {b.route}).FieldByName("_ROUTENAME").AsString(), "{0200000000}Другое");
  Variant nobody(int32_t{987654});
  EXPECT_EQ(author->Call("SetStageExecutor", {b.work, RdcArg::Ref(nobody), RdcArg::Ref(role)}).code, kErrNotFound);
}

TEST_F(TaskFlowTest, LettersAreDeliveredReadAndDeletedWithTheirProcess) {
  auto author = Workflow("ivanov");
  auto executor = Workflow("sidorov");
  const int32_t exec = UserId(*executor);
  Built b = BuildTask(*author, exec, 0);
  author->Ok("AddBPDocument", {b.route, int32_t{77}, int32_t{0}});
  author->Ok("AddBPDocument", {b.route, int32_t{55}, int32_t{0}});
  EXPECT_EQ(Column(author->Table("GetAttachDocumentListIntoProcess", {b.route}), "_PDM_OBJECT_ID"),
            (std::vector<int32_t>{77, 55}));

  Variant auRole(uint8_t{0}), recRole(int32_t{0}), recUser(exec);
  int32_t letter = author->Ok("SendLetterByBPToOneUser", {b.route, RdcArg::Ref(auRole), RdcArg::Ref(recRole),
                                                          RdcArg::Ref(recUser), "{NewTask}", "[BPInfo]\r\n"})
                       .AsInteger();
  Dataset unread = executor->Table("GetIncomingCorrespondence", {int32_t{2}});
  ASSERT_TRUE(unread.Locate("_ID_LETTER", static_cast<int64_t>(letter)));
  EXPECT_EQ(unread.FieldByName("_ID_ROUTE").AsInteger(), b.route);
  EXPECT_EQ(unread.FieldByName("_MSG_SUBJECT").AsString(), "{NewTask}");
  // Only the recipient marks a letter read.
  EXPECT_EQ(author->Call("SetLetterRead", {letter, RdcArg(Variant::Null()), int32_t{1}}).code, kErrAccess);
  executor->Ok("SetLetterRead", {letter, RdcArg(Variant::Null()), int32_t{1}});
  EXPECT_FALSE(executor->Table("GetIncomingCorrespondence", {int32_t{2}}).Locate("_ID_LETTER", static_cast<int64_t>(letter)));
  EXPECT_TRUE(executor->Table("GetIncomingCorrespondence", {int32_t{1}}).Locate("_ID_LETTER", static_cast<int64_t>(letter)));

  Dataset list = author->Table("GetCorrespondenceList", {b.route});
  ASSERT_EQ(list.RecordCount(), 1u);
  EXPECT_EQ(list.FieldByName("_AUTHOR_ID").AsInteger(), UserId(*author));
  // Participants: the executor in the work stage's role, the author in "everyone".
  EXPECT_EQ(Column(author->Table("GetRoleListIntoProcess", {b.route}), "_USER_ID"),
            (std::vector<int32_t>{exec, UserId(*author)}));

  EXPECT_EQ(executor->Call("DeleteProcess", {b.route}).code, kErrAccess);
  author->Ok("DeleteProcess", {b.route});
  EXPECT_TRUE(author->Table("GetInfoAboutRoute", {b.route}).IsEmpty());
  EXPECT_TRUE(author->Table("GetInfoAboutStage", {b.work}).IsEmpty());
  EXPECT_FALSE(executor->Table("GetIncomingCorrespondence", {int32_t{0}}).Locate("_ID_LETTER", static_cast<int64_t>(letter)));
}

TEST_F(TaskFlowTest, EverythingSurvivesARestart) {
  int32_t route = 0;
  {
    auto author = Workflow("ivanov");
    Built b = BuildTask(*author, UserId(*Workflow("sidorov")), 0);
    author->Ok("SetStateOfProcess", {b.route, int32_t{1}});
    route = b.route;
  }
  server_->Stop();
  server_.reset();
  StartServer();  // the same file and the same seed: nothing is loaded twice
  auto author = Workflow("ivanov");
  Dataset r = author->Table("GetInfoAboutRoute", {route});
  ASSERT_EQ(r.RecordCount(), 1u);
  EXPECT_EQ(r.FieldByName("_WF_STATE").AsInteger(), 1);
  EXPECT_EQ(author->Table("GetUserList", {}).RecordCount(), 8u);
}

}  // namespace
}  // namespace brevalon::appserver
