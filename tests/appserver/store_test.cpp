#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "appserver/store.h"
#include "appserver/text_util.h"
#include "appserver_test_support.h"

namespace brevalon::appserver {
namespace {

using testing::DemoSeedPath;
using testing::TempDir;

int64_t Count(Store& store, const std::string& sql) {
  return store.Read([&](SqliteDb& db) { return db.QueryInt(sql).value_or(-1); });
}

TEST(TextUtil, ChecksumsMatchKnownVectors) {
  std::string nine = "123456789";
  EXPECT_EQ(Crc32({reinterpret_cast<const uint8_t*>(nine.data()), nine.size()}), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Two blocks of padding.
  EXPECT_EQ(Sha256Hex(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

TEST(TextUtil, ParsesDateTimes) {
  struct Case {
    const char* text;
    double days;
  } ok[] = {{"1899-12-30", 0.0}, {"1900-01-01", 2.0}, {"2024-05-02", 45414.0}, {"2024-05-02 12:00", 45414.5},
            {"2024-05-02 06:00:00", 45414.25}, {"2024-02-29", 45351.0}};
  for (const auto& c : ok) {
    auto d = ParseDateTime(c.text);
    ASSERT_TRUE(d.has_value()) << c.text;
    EXPECT_DOUBLE_EQ(*d, c.days) << c.text;
  }
  for (const char* bad : {"", "2024-5-2", "2024-13-01", "2023-02-29", "2024-05-02 24:00", "2024-05-02x", "yesterday",
                          "2024-05-02 12:00:"})
    EXPECT_FALSE(ParseDateTime(bad).has_value()) << bad;
}

TEST(TextUtil, LikeMatchIgnoresCaseOfLatinAndCyrillic) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  } cases[] = {
      {"%ab%", "xxABxx", true},       {"ab", "ab", true},         {"ab", "abc", false},
      {"a_c", "abc", true},           {"a_c", "ac", false},       {"%", "", true},
      {"%вал%", "Вал приводной", true}, {"ВАЛ%", "вал", true},      {"%ёж%", "ЕЖ", false},
      {"%ЁЖ%", "чертёж", true},       {"%a%b%c%", "aXbYc", true}, {"%a%b%c%", "aXcYb", false},
      {"_", "ж", true},               {"", "", true},             {"", "x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(LikeMatch(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
  EXPECT_EQ(FoldCase("ПРИВЕТ World Ё"), "привет world ё");
}

// Compiled statements are reused: a reused one starts from its first row
// with nothing bound, one abandoned half-read holds no lock, and texts past
// the cache's size still run.
TEST(SqliteDb, ReusedStatementsStartAfresh) {
  TempDir dir;
  SqliteDb db(dir.Path() / "t.sqlite");
  db.Exec("PRAGMA journal_mode=WAL; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
  for (int i = 1; i <= 3; ++i) {
    Statement(db, "INSERT INTO t (id, v) VALUES (?, ?)").BindAll(i, "v" + std::to_string(i)).Run();
  }
  constexpr const char* kSelect = "SELECT id FROM t WHERE id >= ? ORDER BY id";
  {
    Statement st(db, kSelect);
    st.Bind(1, int64_t{2});
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.Int64(0), 2);  // left half-read
  }
  {
    Statement st(db, kSelect);  // the same compiled statement, unbound: NULL matches nothing
    EXPECT_FALSE(st.Step());
  }
  {
    Statement st(db, kSelect);
    st.Bind(1, int64_t{1});
    std::vector<int64_t> ids;
    while (st.Step()) ids.push_back(st.Int64(0));
    EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 3}));
  }
  // The same text twice at once gets two statements.
  {
    Statement outer(db, kSelect), inner(db, kSelect);
    outer.Bind(1, int64_t{3});
    inner.Bind(1, int64_t{1});
    ASSERT_TRUE(outer.Step());
    ASSERT_TRUE(inner.Step());
    EXPECT_EQ(outer.Int64(0), 3);
    EXPECT_EQ(inner.Int64(0), 1);
  }
  // No statement left open keeps a read transaction: another connection can
  // checkpoint the whole log.
  {
    Statement st(db, "SELECT v FROM t");
    ASSERT_TRUE(st.Step());
  }
  SqliteDb other(dir.Path() / "t.sqlite");
  other.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  EXPECT_EQ(other.QueryInt("PRAGMA wal_checkpoint(TRUNCATE)").value_or(-1), 0);  // not busy
  for (int i = 0; i < 600; ++i) {
    EXPECT_EQ(db.QueryInt("SELECT " + std::to_string(i) + " + count(*) FROM t").value_or(-1), i + 3);
  }
}

TEST(Store, DemoSeedLoadsAndSurvivesReopen) {
  TempDir dir;
  auto file = dir.Path() / "demo.sqlite";
  {
    Store store(file);
    store.LoadSeedFile(DemoSeedPath());
    EXPECT_EQ(Count(store, "SELECT count(*) FROM databases"), 2);
    EXPECT_EQ(Count(store,
                    "SELECT count(*) FROM principals p JOIN databases d ON d.id = p.db_id "
                    "WHERE d.name = 'demo' AND p.kind = 'U'"),
              8);
  }
  Store store(file);
  // Every user is in "everyone" and owns a running "Общая переписка" with one stage.
  EXPECT_EQ(Count(store,
                  "SELECT count(*) FROM principals u WHERE u.kind = 'U' AND NOT EXISTS ("
                  "SELECT 1 FROM memberships m JOIN principals r ON r.id = m.role_id "
                  "WHERE m.user_id = u.id AND r.name = 'everyone')"),
            0);
  EXPECT_EQ(Count(store,
                  "SELECT count(*) FROM routes r WHERE r.name = 'Общая переписка' AND r.state = 1 "
                  "AND (SELECT count(*) FROM route_items i WHERE i.route_id = r.id) = 1"),
            10);
  // File contents, sizes and checksums agree.
  store.Read([](SqliteDb& db) {
    Statement st(db, "SELECT content, size, crc, local_name, id FROM files");
    int n = 0;
    while (st.Step()) {
      auto content = st.Blob(0);
      EXPECT_EQ(st.Int64(1), static_cast<int64_t>(content.size()));
      EXPECT_EQ(st.Int64(2), static_cast<int64_t>(Crc32(content)));
      EXPECT_EQ(st.Text(3).substr(0, st.Text(3).find('_')), std::to_string(st.Int64(4)));
      ++n;
    }
    EXPECT_GE(n, 10);
  });
  EXPECT_EQ(Count(store, "SELECT count(*) FROM links WHERE link_type = 'состоит из...'"), 2);
  EXPECT_EQ(Count(store, "SELECT count(*) FROM reports r JOIN databases d ON d.id = r.db_id WHERE d.name='archive'"),
            0);
}

// A kept answer stands only while nothing changed: a write through the
// store, a commit by another connection (the sqlite3 shell) and turning the
// cache off each make the next read go to the database; a failed read is
// not kept.
TEST(Store, CachedAnswersLastUntilTheDatabaseChanges) {
  TempDir dir;
  const auto file = dir.Path() / "c.sqlite";
  Store store(file);
  store.LoadSeedFile(DemoSeedPath());
  auto now = std::chrono::steady_clock::time_point{};
  store.SetExternalChangeInterval(std::chrono::milliseconds(2), [&] { return now; });
  int runs = 0;
  auto unread = [&] {
    return store
        .ReadCached("unread",
                    [&](SqliteDb& db) {
                      ++runs;
                      return Variant(static_cast<int32_t>(
                          db.QueryInt("SELECT count(*) FROM letters WHERE is_read = 0").value_or(-1)));
                    })
        .AsInteger();
  };
  const int32_t before = unread();
  EXPECT_GT(before, 0);
  EXPECT_EQ(unread(), before);
  EXPECT_EQ(runs, 1);

  store.Write([](SqliteDb& db) { db.Exec("UPDATE letters SET is_read = 1 WHERE id = (SELECT min(id) FROM letters WHERE is_read = 0)"); });
  EXPECT_EQ(unread(), before - 1);
  EXPECT_EQ(runs, 2);

  {
    SqliteDb shell(file);
    shell.Exec("UPDATE letters SET is_read = 0");
  }
  // Another connection's commit is seen once the interval has passed.
  now += std::chrono::milliseconds(1);
  EXPECT_EQ(unread(), before - 1);
  EXPECT_EQ(runs, 2);
  now += std::chrono::milliseconds(1);
  const int32_t all = unread();
  EXPECT_GT(all, before - 1);
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(unread(), all);
  EXPECT_EQ(runs, 3);

  // Other keys are other answers.
  EXPECT_EQ(store.ReadCached("other", [](SqliteDb&) { return Variant(int32_t{7}); }).AsInteger(), 7);
  EXPECT_EQ(unread(), all);
  EXPECT_EQ(runs, 3);

  int failures = 0;
  auto failing = [&] {
    return store.ReadCached("failing", [&](SqliteDb&) -> Variant {
      ++failures;
      throw ESqliteException("no such table");
    });
  };
  EXPECT_THROW(failing(), ESqliteException);
  EXPECT_THROW(failing(), ESqliteException);
  EXPECT_EQ(failures, 2);

  store.SetAnswerCache(false);
  unread();
  unread();
  EXPECT_EQ(runs, 5);
}

TEST(Store, PasswordsAreCheckedAndNeverStoredAsText) {
  TempDir dir;
  Store store(dir.Path() / "p.sqlite");
  store.LoadSeedFile(DemoSeedPath());
  store.Read([](SqliteDb& db) {
    int64_t id = db.QueryInt("SELECT id FROM principals WHERE name = 'petrova'").value();
    EXPECT_TRUE(model::CheckPassword(db, id, "petrova1"));
    EXPECT_FALSE(model::CheckPassword(db, id, "Petrova1"));
    EXPECT_FALSE(model::CheckPassword(db, id, ""));
    EXPECT_EQ(db.QueryInt("SELECT count(*) FROM principals WHERE password_hash LIKE '%petrova1%' "
                          "OR password_salt LIKE '%petrova1%'"),
              0);
  });
}

TEST(Store, RefusedSeedLeavesTheFileUnchanged) {
  TempDir dir;
  Store store(dir.Path() / "s.sqlite");
  store.LoadSeedText(R"({"databases":[{"name":"one","users":[{"login":"a"}]}]})");
  const int64_t routes = Count(store, "SELECT count(*) FROM routes");

  const char* bad[] = {
      "not json",
      R"({"databases":[{"name":"one"}]})",                               // already in the file
      R"({"databases":[{"name":"ONE"}]})",                               // names ignore letter case
      R"({"databases":[{"name":"x","colour":"red"}]})",                  // unknown member
      R"({"databases":[{"name":"x","users":[{"login":"a"},{"login":"A"}]}]})",
      R"({"databases":[{"name":"x","users":[{"login":"a"}],"processes":[{"title":"t","owner":"b"}]}]})",
      R"({"databases":[{"name":"x","users":[{"login":"a"}],"processes":[{"title":"t","owner":"a","date_start":"May"}]}]})",
      R"({"databases":[{"name":"x","users":[{"login":"a"}],"processes":[{"title":"t","owner":"a",
          "stages":[{"executor":"a","state":5}]}]}]})",
      R"({"databases":[{"name":"x","types":[{"name":"T"}],"documents":[{"key":"k","type":"T","product":"p",
          "composed_of":["nope"]}]}]})",
      R"({"databases":[{"name":"x","types":[{"name":"T"}],"documents":[{"key":"k","type":"T","product":"p",
          "files":[{"name":"f","base64":"@@@"}]}]}]})",
      R"({"databases":[{"name":"x","users":[{"login":"a"}],"departments":[{"name":"D","roles":[{"name":"everyone"}]}]}]})",
  };
  for (const char* seed : bad) {
    EXPECT_THROW(store.LoadSeedText(seed), ESeedException) << seed;
    EXPECT_EQ(Count(store, "SELECT count(*) FROM databases"), 1) << seed;
    EXPECT_EQ(Count(store, "SELECT count(*) FROM routes"), routes) << seed;
  }
}

TEST(Store, RefusesAFileWithAnotherSchemaVersion) {
  TempDir dir;
  auto file = dir.Path() / "v.sqlite";
  {
    SqliteDb db(file);
    db.Exec("PRAGMA user_version=99");
  }
  EXPECT_THROW(Store store(file), ESqliteException);
}

}  // namespace
}  // namespace brevalon::appserver
