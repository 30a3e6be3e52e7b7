// Per-client list snapshots and differences, on real files in a temporary
// common application-data folder.
#include "sync/dataset_versions_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <climits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kUid = "client-7F3A";
constexpr int32_t kUser = 10;
constexpr int32_t kOther = 20;

// One row of a task-like list: key, owner, task text (nullopt = null).
struct Row {
  int32_t id;
  int32_t owner;
  std::optional<std::string> task;
};

Dataset MakeList(const std::vector<Row>& rows, const char* key = "_ID_OPERATION") {
  Dataset ds;
  ds.AddField(key, FieldType::Int32);
  ds.AddField("_ID_OWNER", FieldType::Int32);
  ds.AddField("_TASK", FieldType::Text, 255);
  ds.AddField("_DATE_CRITICAL", FieldType::DateTime);
  for (const Row& r : rows) {
    ds.Append();
    ds.FieldByName(key).SetInteger(r.id);
    ds.FieldByName("_ID_OWNER").SetInteger(r.owner);
    if (r.task) ds.FieldByName("_TASK").SetString(*r.task);
    ds.FieldByName("_DATE_CRITICAL").SetDateTime(45000.5);
  }
  return ds;
}

// Unread letters: (_ID_ROUTE, _ID_LETTER), as the task list collects them.
Dataset MakeLetters(const std::vector<std::pair<int32_t, int32_t>>& letters) {
  Dataset ds;
  ds.AddField("_ID_ROUTE", FieldType::Int32);
  ds.AddField("_ID_LETTER", FieldType::Int32);
  for (auto [route, letter] : letters) {
    ds.Append();
    ds.FieldByName("_ID_ROUTE").SetInteger(route);
    ds.FieldByName("_ID_LETTER").SetInteger(letter);
  }
  return ds;
}

// The key column in walk order.
std::vector<int32_t> Keys(Dataset& ds, const char* key = "_ID_OPERATION") {
  std::vector<int32_t> keys;
  for (ds.First(); !ds.Eof(); ds.Next()) keys.push_back(ds.FieldByName(key).AsInteger());
  return keys;
}

struct Answer {
  std::unique_ptr<Dataset> rows;
  std::vector<int32_t> deleted;
  std::vector<int32_t> newKeys;
  int32_t version = 0;
};

class DataSetVersionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "brevalon-sync-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("BREVALON_COMMONAPPDATA", root_.c_str(), 1);
    // The request decoder makes the client directory; the manager never does.
    fs::create_directories(ClientDir());
  }
  void TearDown() override {
    unsetenv("BREVALON_COMMONAPPDATA");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static fs::path ClientDir() { return fs::path(GetSettingsDir()) / "Cache" / kUid; }
  static fs::path Snap(int64_t version, const std::string& list = "TaskList") {
    return ClientDir() / (list + "_" + std::to_string(version) + ".cds");
  }
  static std::set<std::string> Files() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(ClientDir())) names.insert(e.path().filename().string());
    return names;
  }
  static Answer Request(int32_t version, Dataset current, const std::string& list = "TaskList",
                        const std::string& key = "_ID_OPERATION") {
    TDataSetVersionsManager manager(list, kUid, version, key);
    manager.setIdUser(kUser);
    Answer a;
    a.rows = manager.LoadDifference(current, a.deleted, a.newKeys);
    a.version = manager.getActualVersion();
    return a;
  }
  static bool SnapshotHolds(int64_t version, const Dataset& expected, const std::string& list = "TaskList") {
    return Dataset::LoadFromFile(Snap(version, list)).ContentEquals(expected);
  }

  fs::path root_;
};

TEST_F(DataSetVersionsTest, PathsFollowTheCacheLayout) {
  TDataSetVersionsManager manager("CorrespondenceOf_12", kUid, 3, "_ID_LETTER");
  EXPECT_EQ(manager.SnapshotPath(7), ClientDir() / "CorrespondenceOf_12_7.cds");
  EXPECT_EQ(manager.SnapshotPath(-2).filename(), "CorrespondenceOf_12_-2.cds");
  EXPECT_EQ(manager.getActualVersion(), 3);  // untouched without LoadDifference
}

TEST_F(DataSetVersionsTest, UnsafeUidIsRefused) {
  for (const char* uid : {"", ".", "..", "a/b", "a\\b", "a\nb"}) {
    TDataSetVersionsManager manager("TaskList", uid, 0, "_ID_OPERATION");
    Dataset current = MakeList({{1, kOther, "a"}});
    std::vector<int32_t> deleted, added;
    EXPECT_THROW(manager.LoadDifference(current, deleted, added), Exception) << uid;
  }
}

// The usual course for one client and one list, including a lost answer and
// a version whose snapshot is gone.
TEST_F(DataSetVersionsTest, LifecycleOfOneList) {
  const Dataset v1 = MakeList({{3, kOther, "c"}, {1, kOther, "a"}, {2, kUser, "b"}});

  Answer a = Request(0, v1);
  EXPECT_EQ(a.version, 1);
  EXPECT_THAT(Keys(*a.rows), ElementsAre(3, 1, 2));  // the whole list, in its own order
  EXPECT_EQ(a.rows->Fields(), v1.Fields());
  EXPECT_THAT(a.deleted, IsEmpty());
  EXPECT_THAT(a.newKeys, IsEmpty());  // a full answer reports nothing as new
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_1.cds"}));

  // No change: no rows, no keys, but still the next version and a new snapshot.
  a = Request(1, v1);
  EXPECT_EQ(a.version, 2);
  EXPECT_EQ(a.rows->RecordCount(), 0u);
  EXPECT_THAT(a.deleted, IsEmpty());
  EXPECT_THAT(a.newKeys, IsEmpty());
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_1.cds", "TaskList_2.cds"}));

  const Dataset v3 = MakeList({{4, kOther, "d"}, {3, kOther, "c"}, {2, kUser, "B"}});
  a = Request(2, v3);
  EXPECT_EQ(a.version, 3);
  EXPECT_THAT(Keys(*a.rows), ElementsAre(4, 2));
  EXPECT_THAT(a.deleted, ElementsAre(1));
  EXPECT_THAT(a.newKeys, ElementsAre(4));
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_2.cds", "TaskList_3.cds"}));
  EXPECT_TRUE(SnapshotHolds(3, v3));

  // The answer was lost; the client asks again from 2 and gets the same.
  const Dataset v3b = MakeList({{5, kOther, "e"}, {4, kOther, "d"}, {3, kOther, "c"}, {2, kUser, "B"}});
  a = Request(2, v3b);
  EXPECT_EQ(a.version, 3);
  EXPECT_THAT(Keys(*a.rows), ElementsAre(5, 4, 2));
  EXPECT_THAT(a.deleted, ElementsAre(1));
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_2.cds", "TaskList_3.cds"}));
  EXPECT_TRUE(SnapshotHolds(3, v3b));

  // The deleted row is not carried into the next version.
  a = Request(3, v3b);
  EXPECT_EQ(a.version, 4);
  EXPECT_THAT(a.deleted, IsEmpty());
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_3.cds", "TaskList_4.cds"}));

  // A version whose snapshot is gone: whole list, numbering restarts at 1,
  // older files stay.
  a = Request(57, v1);
  EXPECT_EQ(a.version, 1);
  EXPECT_EQ(a.rows->RecordCount(), 3u);
  EXPECT_EQ(Files(), (std::set<std::string>{"TaskList_1.cds", "TaskList_3.cds", "TaskList_4.cds"}));
  EXPECT_TRUE(SnapshotHolds(1, v1));
}

// An unchanged list takes a shortcut to its next snapshot; any change at all,
// also one that sends no row, must still leave the current list as the new
// version, and the client's version must stay as it was.
TEST_F(DataSetVersionsTest, NextSnapshotHoldsTheCurrentList) {
  const Dataset widerText = [] {
    Dataset ds;
    ds.AddField("_ID_OPERATION", FieldType::Int32);
    ds.AddField("_ID_OWNER", FieldType::Int32);
    ds.AddField("_TASK", FieldType::Text, 1024);
    ds.AddField("_DATE_CRITICAL", FieldType::DateTime);
    for (int32_t id : {2, 1}) {
      ds.Append();
      ds.FieldByName("_ID_OPERATION").SetInteger(id);
      ds.FieldByName("_ID_OWNER").SetInteger(kUser);
      ds.FieldByName("_TASK").SetString(id == 2 ? "b" : "a");
      ds.FieldByName("_DATE_CRITICAL").SetDateTime(45000.5);
    }
    return ds;
  }();
  struct Case {
    const char* name;
    Dataset current;
    size_t rows;
  };
  const Dataset stored = MakeList({{2, kUser, "b"}, {1, kUser, "a"}});
  const std::vector<Case> cases = {
      {"unchanged", MakeList({{2, kUser, "b"}, {1, kUser, "a"}}), 0},
      {"other row order", MakeList({{1, kUser, "a"}, {2, kUser, "b"}}), 0},
      {"row deleted", MakeList({{2, kUser, "b"}}), 0},
      {"value changed", MakeList({{2, kUser, "b"}, {1, kUser, std::nullopt}}), 1},
      {"text field widened", widerText, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
    stored.SaveToFile(Snap(1));
    Answer a = Request(1, c.current);
    EXPECT_EQ(a.version, 2);
    EXPECT_EQ(a.rows->RecordCount(), c.rows);
    const Dataset next = Dataset::LoadFromFile(Snap(2));
    EXPECT_TRUE(next.ContentEquals(c.current));
    EXPECT_EQ(next.Fields(), c.current.Fields());
    EXPECT_TRUE(SnapshotHolds(1, stored));

    // Both versions stay usable on their own: the client moves on from 2,
    // a lost answer makes it ask from 1 again.
    const Dataset later = MakeList({{3, kOther, "c"}, {2, kUser, "b"}});
    a = Request(2, later);
    EXPECT_EQ(a.version, 3);
    EXPECT_TRUE(SnapshotHolds(2, c.current));
    EXPECT_TRUE(SnapshotHolds(3, later));
    stored.SaveToFile(Snap(1));
    a = Request(1, later);
    EXPECT_EQ(a.version, 2);
    EXPECT_TRUE(SnapshotHolds(1, stored));
    EXPECT_TRUE(SnapshotHolds(2, later));
  }
}

// The merged walk, one case per row: the stored snapshot of version 1 against
// the current list.
TEST_F(DataSetVersionsTest, DifferenceWalk) {
  struct Case {
    const char* name;
    std::vector<Row> stored, current;
    std::vector<int32_t> rows, deleted, newKeys;
  };
  const std::vector<Case> cases = {
      {"unchanged", {{1, kUser, "a"}, {2, kOther, "b"}}, {{2, kOther, "b"}, {1, kUser, "a"}}, {}, {}, {}},
      {"text differs only in letter case", {{1, kUser, "task"}}, {{1, kUser, "Task"}}, {1}, {}, {}},
      {"null against empty text", {{1, kUser, std::nullopt}}, {{1, kUser, ""}}, {1}, {}, {}},
      {"null against null", {{1, kUser, std::nullopt}}, {{1, kUser, std::nullopt}}, {}, {}, {}},
      {"owner changed is a change, not new", {{1, kUser, "a"}}, {{1, kOther, "a"}}, {1}, {}, {}},
      {"deleted rows, in descending key order",
       {{1, kUser, "a"}, {9, kUser, "i"}, {5, kUser, "e"}, {3, kUser, "c"}},
       {{5, kUser, "e"}},
       {},
       {9, 3, 1},
       {}},
      {"new rows: only others' are reported",
       {{5, kUser, "e"}},
       {{7, kUser, "g"}, {5, kUser, "e"}, {6, kOther, "f"}, {2, kOther, "b"}},
       {7, 6, 2},
       {},
       {6, 2}},
      {"empty before, two tasks from others", {}, {{4, kOther, "d"}, {8, kOther, "h"}}, {8, 4}, {}, {8, 4}},
      {"everything gone", {{4, kOther, "d"}, {8, kOther, "h"}}, {}, {}, {8, 4}, {}},
      {"negative keys order below zero",
       {{-3, kUser, "x"}, {0, kUser, "z"}},
       {{-1, kOther, "y"}, {0, kUser, "z"}},
       {-1},
       {-3},
       {-1}},
      {"mixed", {{10, kUser, "j"}, {20, kUser, "t"}, {30, kUser, "x"}},
       {{40, kOther, "n"}, {30, kUser, "X"}, {10, kUser, "j"}},
       {40, 30},
       {20},
       {40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Dataset stored = MakeList(c.stored);
    stored.SaveToFile(Snap(1));
    const Dataset current = MakeList(c.current);
    Answer a = Request(1, current);
    EXPECT_EQ(a.version, 2);
    EXPECT_THAT(Keys(*a.rows), ElementsAreArray(c.rows));
    EXPECT_THAT(a.deleted, ElementsAreArray(c.deleted));
    EXPECT_THAT(a.newKeys, ElementsAreArray(c.newKeys));
    EXPECT_TRUE(SnapshotHolds(2, current));
    fs::remove(Snap(2));
  }
}

// The walk as plainly as it can be written: both lists indexed by the key,
// descending, and walked side by side.
struct Walked {
  std::vector<std::pair<int32_t, std::string>> rows;  // key, task text
  std::vector<int32_t> deleted, newKeys;
};
Walked PlainWalk(Dataset stored, Dataset current, int32_t user) {
  Walked w;
  stored.SetDescendingIndex("_ID_OPERATION");
  current.SetDescendingIndex("_ID_OPERATION");
  auto ko = stored.FieldByName("_ID_OPERATION");
  auto kc = current.FieldByName("_ID_OPERATION");
  auto take = [&] {
    w.rows.emplace_back(kc.AsInteger(), current.FieldByName("_TASK").AsString());
  };
  auto added = [&] {
    if (current.FieldByName("_ID_OWNER").AsInteger() != user) w.newKeys.push_back(kc.AsInteger());
    take();
  };
  while (!stored.Eof() && !current.Eof()) {
    if (ko.AsInteger() == kc.AsInteger()) {
      if (!stored.SameValuesAs(current)) take();
      stored.Next();
      current.Next();
    } else if (ko.AsInteger() > kc.AsInteger()) {
      w.deleted.push_back(ko.AsInteger());
      stored.Next();
    } else {
      added();
      current.Next();
    }
  }
  for (; !current.Eof(); current.Next()) added();
  for (; !stored.Eof(); stored.Next()) w.deleted.push_back(ko.AsInteger());
  return w;
}

// Random lists with repeated, negative and extreme keys, against the plain walk.
TEST_F(DataSetVersionsTest, AgreesWithThePlainWalk) {
  std::mt19937 rng(20240611);
  auto randomKey = [&](int range) -> int32_t {
    switch (rng() % 20) {
      case 0: return INT32_MIN + static_cast<int32_t>(rng() % 3);
      case 1: return INT32_MAX - static_cast<int32_t>(rng() % 3);
      default: return static_cast<int32_t>(rng() % range) - range / 4;
    }
  };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const int range = round % 2 == 0 ? 50 : 5000;  // dense with many repeats, or sparse
    std::vector<Row> before, after;
    for (int i = 0, n = static_cast<int>(rng() % 400); i < n; ++i) {
      before.push_back({randomKey(range), rng() % 2 ? kUser : kOther, "t" + std::to_string(rng() % 4)});
    }
    for (const Row& r : before) {
      if (rng() % 10 == 0) continue;  // gone
      Row copy = r;
      if (rng() % 10 == 0) copy.task = "changed";
      after.push_back(copy);
    }
    for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
      after.push_back({randomKey(range), rng() % 2 ? kUser : kOther, std::nullopt});
    }
    std::shuffle(after.begin(), after.end(), rng);

    const Dataset stored = MakeList(before);
    const Dataset current = MakeList(after);
    stored.SaveToFile(Snap(1));
    const Walked expected = PlainWalk(stored, current, kUser);
    Answer a = Request(1, current);
    std::vector<std::pair<int32_t, std::string>> rows;
    for (a.rows->First(); !a.rows->Eof(); a.rows->Next()) {
      rows.emplace_back(a.rows->FieldByName("_ID_OPERATION").AsInteger(), a.rows->FieldByName("_TASK").AsString());
    }
    EXPECT_EQ(rows, expected.rows);
    EXPECT_EQ(a.deleted, expected.deleted);
    EXPECT_EQ(a.newKeys, expected.newKeys);
    fs::remove(Snap(2));
  }
}

// Result rows carry the current values, not the stored ones.
TEST_F(DataSetVersionsTest, ResultRowsHoldCurrentValues) {
  MakeList({{1, kUser, "old"}}).SaveToFile(Snap(1));
  Answer a = Request(1, MakeList({{1, kUser, "new"}, {2, kOther, std::nullopt}}));
  ASSERT_EQ(a.rows->RecordCount(), 2u);
  a.rows->First();
  EXPECT_EQ(a.rows->FieldByName("_ID_OPERATION").AsInteger(), 2);
  EXPECT_TRUE(a.rows->FieldByName("_TASK").IsNull());
  a.rows->Next();
  EXPECT_EQ(a.rows->FieldByName("_TASK").AsString(), "new");
  EXPECT_DOUBLE_EQ(a.rows->FieldByName("_DATE_CRITICAL").AsDateTime(), 45000.5);
}

// The caller's list keeps its rows and its walk order.
TEST_F(DataSetVersionsTest, CurrentListKeepsItsOrder) {
  MakeList({{1, kUser, "a"}}).SaveToFile(Snap(1));
  Dataset current = MakeList({{1, kUser, "a"}, {3, kUser, "c"}, {2, kUser, "b"}});
  TDataSetVersionsManager manager("TaskList", kUid, 1, "_ID_OPERATION");
  std::vector<int32_t> deleted, added;
  manager.LoadDifference(current, deleted, added);
  EXPECT_THAT(Keys(current), ElementsAre(1, 3, 2));
}

TEST_F(DataSetVersionsTest, NewLettersReportTheirRouteOnce) {
  MakeLetters({{100, 1}}).SaveToFile(Snap(1, "New_correspondence"));
  TDataSetVersionsManager manager("New_correspondence", kUid, 1, "_ID_LETTER");
  Dataset current = MakeLetters({{100, 1}, {200, 2}, {300, 3}, {200, 4}, {300, 5}});
  std::vector<int32_t> scratch;
  std::vector<int32_t> routes = {300};  // already reported by the caller
  auto rows = manager.LoadDifference(current, scratch, routes);
  EXPECT_THAT(Keys(*rows, "_ID_LETTER"), ElementsAre(5, 4, 3, 2));
  EXPECT_THAT(routes, ElementsAre(300, 200));
}

TEST_F(DataSetVersionsTest, OtherListsReportNoNewKeys) {
  MakeList({{1, kOther, "a"}}, "_ID").SaveToFile(Snap(1, "UserList"));
  Answer a = Request(1, MakeList({{1, kOther, "a"}, {2, kOther, "b"}}, "_ID"), "UserList", "_ID");
  EXPECT_THAT(Keys(*a.rows, "_ID"), ElementsAre(2));
  EXPECT_THAT(a.newKeys, IsEmpty());
}

// Several files of one document share the key of an attachment list.
TEST_F(DataSetVersionsTest, DuplicateKeysArePairedInOrder) {
  MakeList({{5, 0, "a.txt"}, {5, 0, "b.txt"}}, "_PDM_OBJECT_ID").SaveToFile(Snap(1, "AttachListOf_12"));
  Answer a = Request(1, MakeList({{5, 0, "a.txt"}}, "_PDM_OBJECT_ID"), "AttachListOf_12", "_PDM_OBJECT_ID");
  EXPECT_EQ(a.rows->RecordCount(), 0u);
  EXPECT_THAT(a.deleted, ElementsAre(5));
}

// Which file is dropped and which saved, by the client's version and the
// snapshots present.
TEST_F(DataSetVersionsTest, SnapshotRotation) {
  struct Case {
    std::vector<int64_t> present;
    int32_t version;
    bool full;
    int32_t expectedVersion;
    std::set<std::string> after;
  };
  const std::vector<Case> cases = {
      {{4, 5}, 5, false, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {{4, 5}, 4, false, 5, {"TaskList_4.cds", "TaskList_5.cds"}},  // S(5) dropped, written anew
      {{5}, 5, false, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {{0, 1}, 0, true, 1, {"TaskList_0.cds", "TaskList_1.cds"}},
      {{0, 1}, 1, false, 2, {"TaskList_1.cds", "TaskList_2.cds"}},
      {{3}, 57, true, 1, {"TaskList_1.cds", "TaskList_3.cds"}},
      {{2147483645, 2147483646}, 2147483646, false, 1, {"TaskList_2147483646.cds", "TaskList_1.cds"}},
      {{2147483646}, 2147483646, false, 1, {"TaskList_2147483646.cds", "TaskList_1.cds"}},
      // Versions no manager writes never take the difference path.
      {{2147483647}, 2147483647, true, 1, {"TaskList_2147483647.cds", "TaskList_1.cds"}},
      {{-1}, -1, true, 1, {"TaskList_-1.cds", "TaskList_1.cds"}},
  };
  const Dataset old = MakeList({{1, kUser, "a"}});
  const Dataset now = MakeList({{1, kUser, "a"}, {2, kOther, "b"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
    for (int64_t v : c.present) old.SaveToFile(Snap(v));
    Answer a = Request(c.version, now);
    EXPECT_EQ(a.version, c.expectedVersion);
    EXPECT_THAT(Keys(*a.rows), ElementsAreArray(c.full ? std::vector<int32_t>{1, 2} : std::vector<int32_t>{2}));
    EXPECT_EQ(Files(), c.after);
    EXPECT_TRUE(SnapshotHolds(a.version, now));
  }
}

// An unchanged list keeps its snapshots by second names of the stored file
// (renaming or linking instead of writing); the names that remain, and what
// they hold, must be those of the plain rotation above, whatever the other
// snapshots are: other names of the same file, copies of the same list, or
// other lists.
TEST_F(DataSetVersionsTest, UnchangedListRotatesLikeAChangedOne) {
  enum Kind { kLinked, kCopy, kOther };
  struct Case {
    const char* name;
    int64_t version;                               // asked; its snapshot holds the list
    std::vector<std::pair<int64_t, Kind>> others;  // further snapshots
    int32_t expectedVersion;
    std::set<std::string> after;
  };
  const std::vector<Case> cases = {
      {"usual course", 5, {{4, kLinked}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"before is a copy", 5, {{4, kCopy}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"before is another list", 5, {{4, kOther}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"asked again", 5, {{6, kLinked}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"asked again, other answer", 5, {{6, kOther}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"all three names", 5, {{4, kLinked}, {6, kLinked}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"three, next another list", 5, {{4, kLinked}, {6, kOther}}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"alone", 5, {}, 6, {"TaskList_5.cds", "TaskList_6.cds"}},
      {"first version", 1, {}, 2, {"TaskList_1.cds", "TaskList_2.cds"}},
      {"wrap", 2147483646, {{2147483645, kLinked}}, 1, {"TaskList_2147483646.cds", "TaskList_1.cds"}},
      {"wrap over another list", 2147483646, {{1, kOther}}, 1, {"TaskList_2147483646.cds", "TaskList_1.cds"}},
  };
  const Dataset list = MakeList({{1, kUser, "a"}, {2, kOther, "b"}});
  const Dataset other = MakeList({{1, kUser, "a"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
    list.SaveToFile(Snap(c.version));
    for (const auto& [v, kind] : c.others) {
      if (kind == kLinked) fs::create_hard_link(Snap(c.version), Snap(v));
      if (kind == kCopy) list.SaveToFile(Snap(v));
      if (kind == kOther) other.SaveToFile(Snap(v));
    }
    Answer a = Request(static_cast<int32_t>(c.version), list);
    EXPECT_EQ(a.version, c.expectedVersion);
    EXPECT_TRUE(a.rows->IsEmpty());
    EXPECT_TRUE(a.deleted.empty());
    EXPECT_TRUE(a.newKeys.empty());
    EXPECT_EQ(Files(), c.after);
    EXPECT_TRUE(SnapshotHolds(c.version, list));
    EXPECT_TRUE(SnapshotHolds(a.version, list));
  }
}

// A list handed over in its binary form gets exactly the answer, the
// version and the files its dataset would get, on every path; only a list
// that differs from the stored one is taken out of the packet.
TEST_F(DataSetVersionsTest, APacketIsAnsweredAsItsDataset) {
  const Dataset stored = MakeList({{3, kUser, "c"}, {2, kOther, "b"}, {1, kUser, "a"}});
  struct Case {
    const char* name;
    int32_t version;
    bool snapshot;  // S(version) holds `stored`
    Dataset current;
    bool takenOut;
  };
  const std::vector<Case> cases = {
      {"unchanged", 1, true, MakeList({{3, kUser, "c"}, {2, kOther, "b"}, {1, kUser, "a"}}), false},
      {"a row changed", 1, true, MakeList({{3, kUser, "c"}, {2, kOther, "B"}, {1, kUser, "a"}}), true},
      {"a row new, one gone", 1, true, MakeList({{4, kOther, "d"}, {3, kUser, "c"}, {2, kOther, "b"}}), true},
      {"no snapshot", 5, false, MakeList({{3, kUser, "c"}}), true},
      {"holds nothing", 0, true, MakeList({{3, kUser, "c"}}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::set<std::string> filesAfter[2];
    Answer answers[2];
    for (int asPacket = 0; asPacket < 2; ++asPacket) {
      for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
      if (c.snapshot) stored.SaveToFile(Snap(c.version));
      TDataSetVersionsManager manager("TaskList", kUid, c.version, "_ID_OPERATION");
      manager.setIdUser(kUser);
      Answer& a = answers[asPacket];
      if (asPacket) {
        DatasetPacket packet(c.current.SaveToBytes());
        a.rows = manager.LoadDifference(packet, a.deleted, a.newKeys);
        EXPECT_EQ(packet.IsEmpty() && packet.Fields().empty(), c.takenOut);
      } else {
        Dataset list = c.current;
        a.rows = manager.LoadDifference(list, a.deleted, a.newKeys);
      }
      a.version = manager.getActualVersion();
      filesAfter[asPacket] = Files();
      EXPECT_TRUE(SnapshotHolds(a.version, c.current));
    }
    EXPECT_EQ(Keys(*answers[1].rows), Keys(*answers[0].rows));
    EXPECT_EQ(answers[1].rows->Fields(), answers[0].rows->Fields());
    EXPECT_EQ(answers[1].deleted, answers[0].deleted);
    EXPECT_EQ(answers[1].newKeys, answers[0].newKeys);
    EXPECT_EQ(answers[1].version, answers[0].version);
    EXPECT_EQ(filesAfter[1], filesAfter[0]);
  }
  DatasetPacket keyless(MakeList({{1, kUser, "a"}}).SaveToBytes());
  MakeList({{1, kUser, "a"}}).SaveToFile(Snap(1, "UserList"));
  TDataSetVersionsManager manager("UserList", kUid, 1, "_ID");
  std::vector<int32_t> deleted, newKeys;
  EXPECT_THROW(manager.LoadDifference(keyless, deleted, newKeys), EDatasetException);
}

// A snapshot that is there but unreadable as a list is as good as missing.
TEST_F(DataSetVersionsTest, DamagedSnapshotGivesTheWholeList) {
  const Dataset stored = MakeList({{1, kUser, "a"}, {2, kUser, "b"}, {3, kUser, "c"}});
  stored.SaveToFile(Snap(3));
  const auto size = fs::file_size(Snap(3));
  std::string good;
  {
    std::ifstream in(Snap(3), std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_EQ(good.size(), size);

  struct Damage {
    const char* name;
    std::string bytes;
  };
  std::vector<Damage> damages = {
      {"empty", ""},
      {"truncated", good.substr(0, good.size() / 2)},
      {"one byte short", good.substr(0, good.size() - 1)},
      {"foreign text", "this is not a dataset\n"},
  };
  for (std::size_t at : {std::size_t{0}, good.size() / 2, good.size() - 1}) {
    std::string flipped = good;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
    damages.push_back({"flipped byte", flipped});
  }
  const Dataset current = MakeList({{3, kUser, "c"}, {4, kOther, "d"}});
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
    {
      std::ofstream out(Snap(3), std::ios::binary | std::ios::trunc);
      out << d.bytes;
    }
    stored.SaveToFile(Snap(2));
    Answer a = Request(3, current);
    EXPECT_EQ(a.version, 1);
    EXPECT_THAT(Keys(*a.rows), ElementsAre(3, 4));
    EXPECT_THAT(a.deleted, IsEmpty());
    EXPECT_TRUE(SnapshotHolds(1, current));
    EXPECT_TRUE(fs::exists(Snap(2)));  // other snapshots are left alone
  }
}

// A list whose fields changed cannot be compared by position with the old
// snapshot.
TEST_F(DataSetVersionsTest, SnapshotOfAnotherShapeGivesTheWholeList) {
  Dataset stored;
  stored.AddField("_ID_OPERATION", FieldType::Int32);
  stored.AddField("_TASK", FieldType::Text, 255);
  stored.Append();
  stored.FieldByName("_ID_OPERATION").SetInteger(1);
  stored.SaveToFile(Snap(1));
  Answer a = Request(1, MakeList({{1, kUser, "a"}}));
  EXPECT_EQ(a.version, 1);
  EXPECT_EQ(a.rows->RecordCount(), 1u);
}

TEST_F(DataSetVersionsTest, MissingClientDirectoryRaises) {
  fs::remove_all(ClientDir());
  for (int32_t version : {0, 1}) {
    EXPECT_THROW(Request(version, MakeList({{1, kUser, "a"}})), EDatasetException);
  }
  EXPECT_FALSE(fs::exists(ClientDir()));
}

TEST_F(DataSetVersionsTest, MissingKeyFieldRaises) {
  MakeList({{1, kUser, "a"}}).SaveToFile(Snap(1, "UserList"));
  EXPECT_THROW(Request(1, MakeList({{1, kUser, "a"}}), "UserList", "_ID"), EDatasetException);
}

// A forgotten row comes back as new whichever of its two versions the client
// compares against, also where the version numbers change their width.
TEST_F(DataSetVersionsTest, DeletedRowIsSentAgainAsNew) {
  const Dataset list = MakeList({{6, kOther, "f"}, {7, kOther, "g"}, {8, kUser, "h"}});
  for (int32_t latest : {2, 10, 100}) {
    SCOPED_TRACE(latest);
    for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
    list.SaveToFile(Snap(latest - 1));
    list.SaveToFile(Snap(latest));

    TDataSetVersionsManager("TaskList", kUid, 0, "_ID_OPERATION").deleteRowFromCachedDs(7);
    const Dataset previous = Dataset::LoadFromFile(Snap(latest - 1));
    const Dataset last = Dataset::LoadFromFile(Snap(latest));

    for (int32_t version : {latest, latest - 1}) {
      SCOPED_TRACE(version);
      for (const auto& e : fs::directory_iterator(ClientDir())) fs::remove(e.path());
      previous.SaveToFile(Snap(latest - 1));
      last.SaveToFile(Snap(latest));
      Answer a = Request(version, list);
      EXPECT_THAT(Keys(*a.rows), ElementsAre(7));
      EXPECT_THAT(a.newKeys, ElementsAre(7));
    }
  }
}

TEST_F(DataSetVersionsTest, DeleteRowLeavesOtherFilesAlone) {
  const Dataset list = MakeList({{6, kOther, "f"}, {7, kOther, "g"}});
  list.SaveToFile(Snap(4));
  list.SaveToFile(ClientDir() / "TaskListArchive_4.cds");
  list.SaveToFile(Snap(4, "AttachListOf_1"));
  list.SaveToFile(Snap(4, "AttachListOf_12"));
  const auto stamp = fs::last_write_time(Snap(4));

  TDataSetVersionsManager tasks("TaskList", kUid, 0, "_ID_OPERATION");
  tasks.deleteRowFromCachedDs(99);  // not there: nothing rewritten
  EXPECT_EQ(fs::last_write_time(Snap(4)), stamp);

  tasks.deleteRowFromCachedDs(7);
  Dataset rewritten = Dataset::LoadFromFile(Snap(4));
  EXPECT_THAT(Keys(rewritten), ElementsAre(6));
  EXPECT_TRUE(Dataset::LoadFromFile(ClientDir() / "TaskListArchive_4.cds").ContentEquals(list));

  TDataSetVersionsManager("AttachListOf_1", kUid, 0, "_ID_OPERATION").deleteRowFromCachedDs(6);
  EXPECT_TRUE(Dataset::LoadFromFile(Snap(4, "AttachListOf_12")).ContentEquals(list));
  EXPECT_FALSE(Dataset::LoadFromFile(Snap(4, "AttachListOf_1")).ContentEquals(list));
}

TEST_F(DataSetVersionsTest, DeleteRowWithoutSnapshotsDoesNothing) {
  TDataSetVersionsManager manager("TaskList", kUid, 0, "_ID_OPERATION");
  EXPECT_NO_THROW(manager.deleteRowFromCachedDs(7));
  std::ofstream(Snap(3), std::ios::binary) << "damaged";
  EXPECT_NO_THROW(manager.deleteRowFromCachedDs(7));
  fs::remove_all(ClientDir());
  EXPECT_NO_THROW(manager.deleteRowFromCachedDs(7));
}

// Two sessions of the same client UID work on the same files without a lock.
// Whatever interleaving happens, every snapshot a reader finds loads whole.
TEST_F(DataSetVersionsTest, ConcurrentSessionsNeverLeaveATornFile) {
  constexpr int kRounds = 60;
  constexpr int kRows = 3000;
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> failures{0};
  std::mutex failureMutex;
  std::string firstFailure;  // guarded by failureMutex

  auto session = [&](int seed) {
    int32_t version = 0;
    for (int round = 0; round < kRounds; ++round) {
      std::vector<Row> rows;
      for (int i = 0; i < kRows; ++i) {
        rows.push_back({i, (i + seed) % 3 == 0 ? kOther : kUser, "task " + std::to_string((i * seed + round) % 97)});
      }
      try {
        Answer a = Request(version, MakeList(rows));
        version = a.version;
      } catch (const std::exception& e) {
        if (++failures == 1) {
          std::lock_guard lock(failureMutex);
          firstFailure = e.what();
        }
      }
    }
  };
  auto reader = [&] {
    while (!stop) {
      std::error_code ec;
      for (fs::directory_iterator it(ClientDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.ends_with(".cds")) continue;
        try {
          Dataset::LoadFromFile(it->path());
        } catch (const EDatasetFormatException&) {
          ++torn;
        } catch (const EDatasetIOException&) {
          // dropped by a session meanwhile
        }
      }
    }
  };

  std::thread r(reader);
  std::thread a(session, 1);
  std::thread b(session, 2);
  a.join();
  b.join();
  stop = true;
  r.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(failures.load(), 0) << firstFailure;
  std::size_t snapshots = 0;
  for (const auto& e : fs::directory_iterator(ClientDir())) {
    if (e.path().extension() != ".cds") {
      ADD_FAILURE() << "left behind: " << e.path().filename();
      continue;
    }
    ++snapshots;
    EXPECT_NO_THROW(Dataset::LoadFromFile(e.path())) << e.path().filename();
  }
  EXPECT_GT(snapshots, 0u);
}

}  // namespace
}  // namespace brevalon
