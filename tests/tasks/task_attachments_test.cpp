// Task attachments through the GetTaskAttachments handler against the
// reference servers and the demo database: the files of the attached
// documents (composition followed, "cache" files left out), the difference
// against the client's cached list, the task record, the resend of a task
// viewed by somebody other than its executor, and the failures.
#include "tasks/task_attachments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "appserver/sqlite.h"
#include "client/result_decoder.h"
#include "domain_fixture.h"
#include "pdm/version_cache.h"
#include "session/session_logic.h"

namespace brevalon::testing {
namespace {

using appserver::SqliteDb;
using appserver::Statement;

struct FileRow {
  int32_t object;
  int32_t id;
  std::string title;
  std::string extension;
  int64_t crc;
  int64_t size;
  friend bool operator==(const FileRow&, const FileRow&) = default;
};

std::ostream& operator<<(std::ostream& out, const FileRow& r) {
  return out << "{" << r.object << ", " << r.id << ", \"" << r.title << "\", \"" << r.extension
             << "\", " << r.crc << ", " << r.size << "}";
}

class TaskAttachmentsTest : public DomainTest {
 protected:
  int64_t QueryInt(const std::string& sql, const std::string& arg) {
    return Server().GetStore().Read([&](SqliteDb& db) {
      Statement st(db, sql);
      st.BindAll(arg);
      if (!st.Step()) ADD_FAILURE() << "no row for " << sql << " with " << arg;
      return st.Int64(0);
    });
  }
  void Exec(const std::string& sql) {
    Server().GetStore().Write([&](SqliteDb& db) { db.Exec(sql); });
  }

  int32_t VersionOf(const std::string& product) {
    return static_cast<int32_t>(QueryInt(
        "SELECT v.id FROM versions v JOIN objects o ON o.id = v.object_id WHERE o.product = ?",
        product));
  }
  int32_t StageOf(const std::string& task) {
    return static_cast<int32_t>(QueryInt("SELECT id FROM route_items WHERE task = ?", task));
  }
  int32_t RouteOfStage(const std::string& task) {
    return static_cast<int32_t>(QueryInt("SELECT route_id FROM route_items WHERE task = ?", task));
  }
  int32_t UserOf(const std::string& login) {
    return static_cast<int32_t>(
        QueryInt("SELECT id FROM principals WHERE kind = 'U' AND name = ?", login));
  }

  // The stored files of a version as the client should see them, in file id
  // order, "cache" files left out.
  std::vector<FileRow> FilesOf(int32_t version, const std::string& title) {
    return Server().GetStore().Read([&](SqliteDb& db) {
      std::vector<FileRow> rows;
      Statement st(db, "SELECT id, name, crc, size FROM files WHERE version_id = ? ORDER BY id");
      st.BindAll(version);
      while (st.Step()) {
        const std::string name = st.Text(1);
        if (name.find("cache") != std::string::npos) continue;
        rows.push_back({version, st.Int(0), title, name.substr(name.rfind('.') + 1), st.Int64(2),
                        st.Int64(3)});
      }
      return rows;
    });
  }

  static boost::json::object Attachments(TSessionLogic& session, const std::string& uid,
                                         int32_t version, int32_t task) {
    boost::json::object result;
    session.GetTaskAttachments(
        result,
        client::EncodeRequest("GetTaskAttachments",
                              {{"FStUID", uid}, {"FNDataSetVersion", version}, {"FIdTask", task}}));
    return client::DecodeResult(result.at("BASE64").as_string(),
                                client::TaskInAttachments::kWithTask);
  }

  static boost::json::object TaskList(TSessionLogic& session, const std::string& uid,
                                      int32_t version) {
    boost::json::object result;
    session.GetTaskList(result,
                        client::EncodeRequest("GetTaskList", {{"FStUID", uid},
                                                              {"FNDataSetVersion", version},
                                                              {"FNIncommingCorrespVersion", 0}}));
    return client::DecodeResult(result.at("BASE64").as_string(),
                                client::TaskInAttachments::kUnspecified);
  }

  static std::vector<FileRow> Rows(const boost::json::object& answer) {
    std::vector<FileRow> rows;
    for (const auto& a : answer.at("attachments").as_array()) {
      const auto& o = a.as_object();
      rows.push_back({static_cast<int32_t>(o.at("FObjectId").to_number<int64_t>()),
                      static_cast<int32_t>(o.at("FId").to_number<int64_t>()),
                      std::string(o.at("FTitle").as_string()),
                      std::string(o.at("FExtension").as_string()),
                      o.at("FCRC").to_number<int64_t>(), o.at("FSize").to_number<int64_t>()});
    }
    return rows;
  }

  static std::vector<int64_t> Ints(const boost::json::value& v) {
    std::vector<int64_t> out;
    for (const auto& x : v.as_array()) out.push_back(x.to_number<int64_t>());
    return out;
  }

  static std::vector<int64_t> TaskIds(const boost::json::object& taskList) {
    std::vector<int64_t> ids;
    for (const auto& t : taskList.at("tasks").as_array())
      ids.push_back(t.as_object().at("FId").to_number<int64_t>());
    return ids;
  }

  static constexpr const char* kShaftStage =
      "Учесть замечания технолога и выпустить вал в версии 2";
  static constexpr const char* kReducerStage = "Добавить корпус в спецификацию";
  static constexpr const char* kShaftTitle = "Вал приводной - ПР-101.001";
  static constexpr const char* kGearTitle = "Шестерня - ПР-101.002 - Шестерня z=32";
};

TEST_F(TaskAttachmentsTest, ExecutorGetsEveryFileOfTheAttachedDocumentsAndTheTask) {
  // The process lists the shaft drawing (three files, one of them a cache
  // file) and the reducer's parts list (type "Спецификация"), which has no
  // file and is composed of the shaft and the gear: the shaft is listed once, the gear through
  // the composition.
  auto session = Session("sidorov");
  const auto answer = Attachments(*session, "phone-1", 0, StageOf(kShaftStage));

  std::vector<FileRow> expected = FilesOf(VersionOf("Вал приводной"), kShaftTitle);
  ASSERT_EQ(expected.size(), 2u);
  for (const FileRow& r : FilesOf(VersionOf("Шестерня"), kGearTitle)) expected.push_back(r);
  EXPECT_EQ(Rows(answer), expected);
  EXPECT_EQ(expected[0].extension, "txt");
  EXPECT_EQ(expected[3].extension, "bin");
  EXPECT_EQ(answer.at("version").to_number<int64_t>(), 1);
  EXPECT_TRUE(answer.at("deleted").as_array().empty());

  const auto& task = answer.at("task").as_object();
  EXPECT_EQ(task.at("FId").to_number<int64_t>(), StageOf(kShaftStage));
  EXPECT_EQ(task.at("FIdRoute").to_number<int64_t>(), RouteOfStage(kShaftStage));
  EXPECT_EQ(task.at("FTitle").as_string(), "Доработать чертёж вала");
  EXPECT_EQ(task.at("FText").as_string(), kShaftStage);
  EXPECT_EQ(task.at("FIdAuthor").to_number<int64_t>(), UserOf("ivanov"));
  EXPECT_EQ(task.at("FIdExecutor").to_number<int64_t>(), UserOf("sidorov"));
  EXPECT_NE(task.at("FCriticalDate").to_number<int64_t>(), 0);
  EXPECT_NE(task.at("FSendDate").to_number<int64_t>(), 0);
  EXPECT_EQ(task.at("FState").to_number<int64_t>(), tsInWork);
  EXPECT_TRUE(task.at("FHasAttachments").as_bool());

  // The versions loaded for the request do not outlive it.
  EXPECT_EQ(session->VersionStorage().Hash().Count(), 0u);
}

TEST_F(TaskAttachmentsTest, ProcessWithoutDocumentListUsesItsOwnComposedDocument) {
  // The reducer process lists no documents: its own object, the reducer,
  // stands for them; it has no file and yields the files of the two
  // documents it is composed of, under their own titles.
  auto session = Session("ivanov");
  const auto answer = Attachments(*session, "tablet-7", 0, StageOf(kReducerStage));

  std::vector<FileRow> expected = FilesOf(VersionOf("Вал приводной"), kShaftTitle);
  for (const FileRow& r : FilesOf(VersionOf("Шестерня"), kGearTitle)) expected.push_back(r);
  EXPECT_EQ(Rows(answer), expected);
  const auto& task = answer.at("task").as_object();
  EXPECT_EQ(task.at("FState").to_number<int64_t>(), tsPlanned);
  EXPECT_EQ(task.at("FIdExecutor").to_number<int64_t>(), UserOf("smirnov"));
}

TEST_F(TaskAttachmentsTest, CompositionSkipsNonDocumentsAndEndsOnACycle) {
  const int32_t reducer = VersionOf("Редуктор");
  // A part (type without the document flag) with a file of its own, and a
  // file-less parts list composed of the reducer, which in turn is made
  // composed of both: the part contributes nothing, the loop ends.
  Exec(
      "INSERT INTO objects(id, db_id, type_id, product) SELECT 9001, db_id, id, 'Болт' FROM types "
      "WHERE name = 'Изделие';"
      "INSERT INTO versions(id, object_id, version) VALUES(9001, 9001, '1');"
      "INSERT INTO files(version_id, name, local_name, size, crc, content) "
      "VALUES(9001, 'bolt.txt', '9001_bolt.txt', 1, 0, x'41');"
      "INSERT INTO objects(id, db_id, type_id, product) SELECT 9002, db_id, id, 'Узел' FROM types "
      "WHERE name = 'Спецификация';"
      "INSERT INTO versions(id, object_id, version) VALUES(9002, 9002, '1');"
      "INSERT INTO grants(version_id, user_id, level) SELECT 9001, id, 1 FROM principals WHERE "
      "kind = 'U';"
      "INSERT INTO grants(version_id, user_id, level) SELECT 9002, id, 1 FROM principals WHERE "
      "kind = 'U';"
      "INSERT INTO links(parent_id, child_id, link_type) VALUES(" +
      std::to_string(reducer) +
      ", 9001, 'состоит из...');"
      "INSERT INTO links(parent_id, child_id, link_type) VALUES(" +
      std::to_string(reducer) +
      ", 9002, 'состоит из...');"
      "INSERT INTO links(parent_id, child_id, link_type) VALUES(9002, " +
      std::to_string(reducer) + ", 'состоит из...');");

  auto session = Session("ivanov");
  const auto answer = Attachments(*session, "tablet-7", 0, StageOf(kReducerStage));
  std::vector<FileRow> expected = FilesOf(VersionOf("Вал приводной"), kShaftTitle);
  for (const FileRow& r : FilesOf(VersionOf("Шестерня"), kGearTitle)) expected.push_back(r);
  EXPECT_EQ(Rows(answer), expected);
}

TEST_F(TaskAttachmentsTest, SecondRequestSendsOnlyTheDifference) {
  auto session = Session("sidorov");
  const int32_t task = StageOf(kShaftStage);
  const int32_t route = RouteOfStage(kShaftStage);
  const auto first = Attachments(*session, "phone-1", 0, task);
  ASSERT_EQ(first.at("version").to_number<int64_t>(), 1);

  const auto unchanged = Attachments(*session, "phone-1", 1, task);
  EXPECT_TRUE(unchanged.at("attachments").as_array().empty());
  EXPECT_TRUE(unchanged.at("deleted").as_array().empty());
  EXPECT_EQ(unchanged.at("version").to_number<int64_t>(), 2);

  // The reducer (and with it the gear) leaves the process, the housing comes.
  const int32_t housing = VersionOf("Корпус редуктора");
  Exec("DELETE FROM route_documents WHERE route_id = " + std::to_string(route) +
       " AND pdm_object_id = " + std::to_string(VersionOf("Редуктор")) + ";" +
       "INSERT INTO route_documents(route_id, pdm_object_id, seq) VALUES(" + std::to_string(route) +
       ", " + std::to_string(housing) + ", 9);");
  const auto changed = Attachments(*session, "phone-1", 2, task);
  EXPECT_EQ(Rows(changed), FilesOf(housing, "Корпус редуктора - ПР-101.003"));
  // The client held two rows of the gear: each is reported gone.
  const int64_t gear = VersionOf("Шестерня");
  EXPECT_EQ(Ints(changed.at("deleted")), (std::vector<int64_t>{gear, gear}));
  EXPECT_EQ(changed.at("version").to_number<int64_t>(), 3);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(SettingsDir()) / "Cache" / "phone-1" /
                                      ("AttachListOf_" + std::to_string(route) + "_3.cds")));
}

TEST_F(TaskAttachmentsTest, TaskViewedBySomebodyButItsExecutorIsResentByTheTaskList) {
  const int32_t task = StageOf(kShaftStage);
  auto author = Session("ivanov");
  auto executor = Session("sidorov");
  for (auto* session : {author.get(), executor.get()}) {
    const std::string uid = session == author.get() ? "author-phone" : "executor-phone";
    const auto full = TaskList(*session, uid, 0);
    ASSERT_EQ(full.at("version").to_number<int64_t>(), 1);
    const std::vector<int64_t> ids = TaskIds(full);
    ASSERT_EQ(std::count(ids.begin(), ids.end(), task), 1) << uid;
    ASSERT_TRUE(TaskList(*session, uid, 1).at("tasks").as_array().empty()) << uid;
    Attachments(*session, uid, 0, task);
  }
  // The author's cached list lost the task, so it comes again as new; the
  // executor's list is untouched.
  const auto authorList = TaskList(*author, "author-phone", 2);
  EXPECT_EQ(TaskIds(authorList), std::vector<int64_t>{task});
  EXPECT_TRUE(TaskList(*executor, "executor-phone", 2).at("tasks").as_array().empty());
}

TEST_F(TaskAttachmentsTest, ProcessWithoutObjectKeepsTheClientVersionAndWritesNoList) {
  const int32_t route = RouteOfStage(kShaftStage);
  Exec("UPDATE routes SET pdm_id = 0 WHERE id = " + std::to_string(route));
  auto session = Session("sidorov");
  const auto answer = Attachments(*session, "phone-1", 7, StageOf(kShaftStage));
  EXPECT_EQ(answer.at("version").to_number<int64_t>(), 7);
  EXPECT_TRUE(answer.at("attachments").as_array().empty());
  EXPECT_FALSE(answer.at("task").as_object().at("FHasAttachments").as_bool());
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(SettingsDir()) / "Cache" / "phone-1"))
    EXPECT_EQ(entry.path().filename().string().find("AttachListOf_"), std::string::npos)
        << entry.path();
}

TEST_F(TaskAttachmentsTest, UnknownTaskFailsWithItsId) {
  ASSERT_FALSE(Server().GetStore().Read([](SqliteDb& db) {
    return db.QueryInt("SELECT id FROM route_items WHERE id = 42").has_value();
  }));
  auto session = Session("sidorov");
  boost::json::object result;
  try {
    session->GetTaskAttachments(
        result,
        client::EncodeRequest("GetTaskAttachments",
                              {{"FStUID", "phone-1"}, {"FNDataSetVersion", 0}, {"FIdTask", 42}}));
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Process with operation id=[42] not found");
  }
  EXPECT_TRUE(result.empty());
  EXPECT_TRUE(session->Connected());
}

TEST_F(TaskAttachmentsTest, FailedRequestStillEmptiesTheVersionCache) {
  // Without a read grant on the gear the file list of the gear is refused,
  // after the versions were loaded into the cache.
  Exec("DELETE FROM grants WHERE version_id = " + std::to_string(VersionOf("Шестерня")) +
       " AND user_id = " + std::to_string(UserOf("sidorov")));
  auto session = Session("sidorov");
  boost::json::object result;
  EXPECT_THROW(
      session->GetTaskAttachments(
          result, client::EncodeRequest("GetTaskAttachments", {{"FStUID", "phone-1"},
                                                               {"FNDataSetVersion", 0},
                                                               {"FIdTask", StageOf(kShaftStage)}})),
      Exception);
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(session->VersionStorage().Hash().Count(), 0u);
}

TEST_F(TaskAttachmentsTest, HandlersRefuseBeforeSignIn) {
  TSessionLogic session;
  boost::json::object result;
  for (const std::string& text :
       {std::string("not base64 at all"),
        client::EncodeRequest("GetTaskAttachments", {{"FStUID", "x"}, {"FIdTask", 1}})}) {
    EXPECT_THROW(session.GetTaskAttachments(result, text), EConnectionException);
    EXPECT_THROW(session.SearchDocuments(result, text), EConnectionException);
  }
  EXPECT_TRUE(result.empty());
}

// ---- the file rules and the collector, alone ----

TEST(AttachmentFileRules, CacheFilesAndExtensions) {
  struct Case {
    const char* name;
    bool cache;
    const char* extension;
  };
  const Case cases[] = {
      {"drawing.v2.pdf", false, "pdf"}, {"README", false, ""},
      {"part.cache", true, "cache"},    {"cache_01.dat", true, "dat"},
      {"Cache.dat", false, "dat"},      {"thumb.CACHE", false, "CACHE"},
      {"archive.", false, ""},          {".profile", false, "profile"},
      {"чертёж.дwg", false, "дwg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCacheFileName(c.name), c.cache) << c.name;
    EXPECT_EQ(FileExtension(c.name), c.extension) << c.name;
  }
}

TEST(AttachmentCollector, RowsInFieldOrderWithTextsCutToTheirFields) {
  TDataSetFinalTaskAttachments collector;
  const std::string longTitle(200, 'x');
  std::string cyrillicExtension;
  for (int i = 0; i < 20; ++i) cyrillicExtension += "ж";
  collector.putRecord(300, 501, longTitle, cyrillicExtension, -268435456, 48213);
  collector.putRecord(300, 502, "Чертёж", "pdf", 7, 1);

  Dataset& ds = collector.ResultDataSet();
  std::vector<std::string> names;
  for (const FieldDef& f : ds.Fields()) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"_PDM_OBJECT_ID", "IdFile", "Title", "Extension",
                                             "CRC", "Size"}));
  ASSERT_EQ(ds.RecordCount(), 2u);
  ds.First();
  EXPECT_EQ(ds.FieldByName("_PDM_OBJECT_ID").AsInteger(), 300);
  EXPECT_EQ(ds.FieldByName("Title").AsString(), std::string(128, 'x'));
  EXPECT_EQ(ds.FieldByName("Extension").AsString().size(), 16u * 2);  // 16 two-byte characters
  EXPECT_EQ(ds.FieldByName("CRC").AsInteger(), -268435456);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("IdFile").AsInteger(), 502);
  EXPECT_EQ(ds.FieldByName("Title").AsString(), "Чертёж");
}

}  // namespace
}  // namespace brevalon::testing
