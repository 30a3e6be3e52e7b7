// The version cache's own logic against a scripted main-system server:
// the id hash, version lists, titles built lazily from attribute values,
// loading by id list, and product tokens replaced by titles.
#include "pdm/version_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scripted_server.h"

namespace brevalon {
namespace {

using testing::Reply;
using testing::ScriptedServer;
using testing::Val;
using testing::WireArg;

using Names = std::vector<std::string>;

struct VRow {
  int32_t id;
  std::string product;
  int32_t lock = 0;
  int32_t access = 2;  // server scale: read-write
  int32_t type = 3;
  std::string version = "A";
  int32_t state = 1;
};

// Rows as "GetPropObjects2" returns them, optionally with title columns
// (then shaped like a "GetTree2" answer).
Dataset VersionRows(const std::vector<VRow>& rows, const std::vector<std::string>& titleColumns = {},
                    const std::vector<std::vector<std::string>>& titleValues = {}) {
  Dataset ds;
  ds.AddField("_ID_VERSION", FieldType::Int32);
  ds.AddField("_PRODUCT", FieldType::Text);
  ds.AddField("_ID_TYPE", FieldType::Int32);
  ds.AddField("_VERSION", FieldType::Text);
  ds.AddField("_ID_LOCK", FieldType::Int32);
  ds.AddField("_ACCESSLEVEL", FieldType::Int32);
  ds.AddField("_ID_STATE", FieldType::Int32);
  for (const std::string& column : titleColumns) ds.AddField(column, FieldType::Text);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const VRow& v = rows[r];
    std::vector<Variant> values = {Variant(v.id),   Variant(v.product), Variant(v.type),  Variant(v.version),
                                   Variant(v.lock), Variant(v.access),  Variant(v.state)};
    if (r < titleValues.size()) {
      for (const std::string& value : titleValues[r]) values.emplace_back(value);
    }
    ds.AppendRow(values);
  }
  ds.First();
  return ds;
}

Dataset AttrRows(const std::vector<std::pair<std::string, std::string>>& attrs) {
  Dataset ds;
  ds.AddField("_NAME", FieldType::Text);
  ds.AddField("_VALUE", FieldType::Text);
  for (const auto& [name, value] : attrs) ds.AppendRow({Variant(name), Variant(value)});
  return ds;
}

struct FakeEntity : IPDMEntity {
  FakeEntity(int32_t id, std::string tag) : id_(id), tag(std::move(tag)) {}
  int32_t Id() const override { return id_; }
  int32_t id_;
  std::string tag;
};

std::vector<int32_t> IdsInHashOrder(const TPDMEntityHash& hash) {
  std::vector<int32_t> ids;
  for (THashPosition p = hash.First(); !hash.Eof(p); hash.Next(p)) ids.push_back(hash.GetEntity(p)->Id());
  return ids;
}

std::vector<int32_t> Ids(const TPDMVersionList& list) {
  std::vector<int32_t> ids;
  for (int i = 0; i < list.Count(); ++i) ids.push_back(list.GetItem(i)->Id());
  return ids;
}

TEST(PDMEntityHashTest, BucketsByLowBitsAndKeepsOnePerId) {
  TPDMEntityHash hash;
  for (int32_t id : {65535, 1, 65537, 0, -1}) hash.Add(std::make_shared<FakeEntity>(id, "first"));
  hash.Add(std::make_shared<FakeEntity>(1, "second"));
  hash.Add(nullptr);

  EXPECT_EQ(TPDMEntityHash::BucketOf(65537), 1);
  EXPECT_EQ(TPDMEntityHash::BucketOf(-1), 65535);
  EXPECT_EQ(hash.Count(), 5u);
  EXPECT_EQ(std::static_pointer_cast<FakeEntity>(hash.Get(1))->tag, "first");
  EXPECT_EQ(hash.Get(65537)->Id(), 65537);
  EXPECT_EQ(hash.Get(131073), nullptr);  // bucket 1, not held
  // Bucket order, then insertion order within a bucket.
  EXPECT_EQ(IdsInHashOrder(hash), (std::vector<int32_t>{0, 1, 65537, 65535, -1}));

  hash.Remove(1);
  hash.Remove(42);
  EXPECT_EQ(IdsInHashOrder(hash), (std::vector<int32_t>{0, 65537, 65535, -1}));
  EXPECT_EQ(hash.Get(1), nullptr);

  hash.Clear();
  EXPECT_TRUE(hash.Eof(hash.First()));
  EXPECT_EQ(hash.GetEntity(hash.First()), nullptr);
  EXPECT_EQ(hash.Count(), 0u);
}

TEST(PDMTitleTextTest, JoinAndBracedToken) {
  EXPECT_EQ(JoinNonEmpty("", "b", " - "), "b");
  EXPECT_EQ(JoinNonEmpty("a", "", " - "), "a");
  EXPECT_EQ(JoinNonEmpty("a", "b", " - "), "a - b");

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{0A1B2C3D}Bolt M8", "Bolt M8"},
      {"Bolt M8", "Bolt M8"},
      {"", ""},
      {"{AB}x{AB}y{ab}", "xy{ab}"},   // every exact occurrence
      {"x{out{IN}y}{IN}", "x{outy}"},  // the last "{" before the first "}"
      {"{}Name", "{}Name"},            // empty token: unchanged
      {"a}b{c}", "a}b{c}"},            // no "{" before the first "}"
      {"open {only", "open {only"},
  };
  for (const auto& [product, expected] : cases) EXPECT_EQ(RemoveBracedToken(product), expected) << product;
}

class VersionCacheTest : public ::testing::Test {
 protected:
  VersionCacheTest() {
    main.SetConnectionType(ctSocket);
    main.SetServerName("127.0.0.1");
    main.SetPort(server.Port());
    main.SetDBName("db");
    main.SetAuthentific(atPassword);
    main.SetUserName("user");
    main.SetPassword("pw");
    main.Connect();
  }

  // Signs in with a tree whose columns name the title attributes.
  void SignInWithTitleAttributes(const std::vector<std::string>& names) {
    server.On("GetTree2", Reply::Packet(VersionRows({}, names)));
    main.ConnectToDB();
    server.ClearCalls();
  }

  // A version cached from a tree row: title values known, no server call.
  IPDMVersionPtr FromTree(const VRow& row, const std::vector<std::string>& values) {
    std::vector<std::string> columns;
    for (std::size_t i = 0; i < values.size(); ++i) columns.push_back("Attr" + std::to_string(i));
    return storage.LoadVersionFromTree(VersionRows({row}, columns, {values}));
  }

  int Count(const std::string& name) const {
    int n = 0;
    for (const auto& call : server.Calls()) n += call.name == name;
    return n;
  }

  ScriptedServer server;
  TAppMainSystem main;
  TPDMVersionStorage storage{main};
};

TEST_F(VersionCacheTest, TitleJoinsProductAndValues) {
  struct Case {
    std::string product;
    std::vector<std::string> values;
    std::string title;
  };
  const std::vector<Case> cases = {
      {"{00FF12AB}Gearbox", {}, "Gearbox"},
      {"Gearbox", {}, "Gearbox"},
      {"Gearbox", {"GB-1", "Housing"}, "Gearbox - GB-1 - Housing"},
      {"Gearbox", {"Gearbox", "GB-1"}, "Gearbox - GB-1"},  // the product is not repeated
      {"{01}Gearbox", {"{01}Gearbox", "GB-1"}, "Gearbox - GB-1"},
      {"", {"GB-1", "Housing"}, "GB-1 - Housing"},
      {"Gearbox", {"", " \tGB-1\r\n"}, "Gearbox - GB-1"},  // empty skipped, the rest trimmed
  };
  int32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    IPDMVersionPtr v = FromTree({++id, c.product}, c.values);
    EXPECT_EQ(v->Title(), c.title);
  }
  EXPECT_TRUE(server.Calls().empty());
}

TEST_F(VersionCacheTest, TitleValuesAreFetchedOnceUntilRefreshed) {
  server.On("GetInfoAboutVersion", Reply::Packet(AttrRows({{"Designation", "  GB-1\t"}, {"Mass", ""}, {"Name", "Housing"}})));
  IPDMVersionPtr v = storage.LoadVersionFromVersionInfo({42, 0, alReadWrite, "{0A}Gearbox", 3, "B", 1});
  EXPECT_TRUE(server.Calls().empty());

  EXPECT_EQ(v->Title(), "Gearbox - GB-1 - Housing");
  EXPECT_EQ(v->Title(), "Gearbox - GB-1 - Housing");
  EXPECT_EQ(v->TitleAttrCount(), 2);
  EXPECT_EQ(v->GetTitleAttr(0), "GB-1");
  EXPECT_EQ(v->GetAttrValue("name"), "Housing");
  EXPECT_EQ(v->GetAttrValue("Mass"), "");
  EXPECT_THROW(v->GetTitleAttr(2), Exception);
  ASSERT_EQ(server.Names(), (Names{"GetInfoAboutVersion"}));
  const std::vector<WireArg> args = server.Calls()[0].args;
  EXPECT_EQ(std::vector<WireArg>(args.begin(), args.end() - 2),
            (std::vector<WireArg>{Val(""), Val(""), Val(""), Val(42), Val(2)}));

  storage.LazyRefreshTitle(v);
  server.On("GetInfoAboutVersion", Reply::Packet(AttrRows({{"Name", "Cover"}})));
  EXPECT_EQ(v->Title(), "Gearbox - Cover");
  EXPECT_EQ(Count("GetInfoAboutVersion"), 2);
}

TEST_F(VersionCacheTest, TitleAttributesChooseAndOrderTheValues) {
  SignInWithTitleAttributes({"Обозначение", "Наименование"});
  struct Case {
    std::vector<std::pair<std::string, std::string>> rows;
    std::string title;
  };
  const std::vector<Case> cases = {
      {{{"Наименование", "Корпус"}, {"Масса", "12"}, {"Обозначение", "КП-1"}}, "Изделие - КП-1 - Корпус"},
      {{{"Наименование", "Корпус"}}, "Изделие - Корпус"},
      {{{"наименование", "Корпус"}}, "Изделие"},  // names match exactly
      {{}, "Изделие"},
  };
  int32_t id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    server.On("GetInfoAboutVersion", Reply::Packet(AttrRows(c.rows)));
    IPDMVersionPtr v = storage.LoadVersionFromVersionInfo({++id, 0, alReadWrite, "Изделие", 3, "A", 1});
    EXPECT_EQ(v->Title(), c.title);
  }
}

TEST_F(VersionCacheTest, AFailedTitleFetchIsRetriedAtTheNextRead) {
  IPDMVersionPtr v = FromTree({7, "Gearbox"}, {"GB-1"});
  storage.LazyRefreshTitle(v);
  server.On("GetInfoAboutVersion", Reply::Error(Variant(int32_t{5}), "Нет доступа"));
  EXPECT_THROW(v->Title(), EApiException);
  server.On("GetInfoAboutVersion", Reply::Packet(AttrRows({{"Name", "Housing"}})));
  EXPECT_EQ(v->Title(), "Gearbox - Housing");
  EXPECT_EQ(Count("GetInfoAboutVersion"), 2);
}

TEST_F(VersionCacheTest, IdListLoadsOnceInListOrder) {
  server.On("GetPropObjects2", Reply::Packet(VersionRows({{7, "Seven"}, {5, "Five"}, {9, "Nine"}})));
  TPDMVersionList list;
  storage.LoadListFromIdList(list, "5,word,0,7,5, 11");
  EXPECT_EQ(Ids(list), (std::vector<int32_t>{5, 7}));
  ASSERT_EQ(server.Names(), (Names{"GetPropObjects2"}));
  const std::vector<WireArg> args = server.Calls()[0].args;
  EXPECT_EQ(std::vector<WireArg>(args.begin(), args.end() - 2),
            (std::vector<WireArg>{Val("5,word,0,7,5, 11"), Val(0)}));
  EXPECT_EQ(storage.Hash().Get(9), nullptr);  // returned but not asked for

  // Blanks separate too; a later load refreshes the cached version in place.
  IPDMVersionPtr five = list.Find(5);
  EXPECT_EQ(five->Title(), "Five");  // no title values known: fetched (empty answer)
  server.On("GetPropObjects2", Reply::Packet(VersionRows({{5, "Five v2", 8, 0, 99, "Z", 4}})));
  TPDMVersionList again;
  storage.LoadListFromIdList(again, "7 5");
  ASSERT_EQ(Ids(again), (std::vector<int32_t>{5}));
  EXPECT_EQ(again.GetItem(0), five);
  EXPECT_EQ(five->Product(), "Five v2");
  EXPECT_EQ(five->IdLock(), 8);
  EXPECT_EQ(five->AccessLevel(), alNoAccess);
  EXPECT_EQ(five->IdState(), 4);
  EXPECT_EQ(five->IdType(), 3);      // identity stays
  EXPECT_EQ(five->Version(), "A");
  EXPECT_EQ(five->Title(), "Five v2");  // title values kept: no new fetch
  EXPECT_EQ(Count("GetInfoAboutVersion"), 1);
}

TEST_F(VersionCacheTest, GetVersionAsksTheServerOnlyForUncachedIds) {
  server.On("GetInfoAboutVersion", Reply::Packet(VersionRows({{12, "Gearbox", 0}})));
  IPDMVersionPtr v = storage.GetVersion(12, 4);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->IdLock(), 4);
  EXPECT_EQ(server.Names(), (Names{"ConnectToCheckOut", "GetInfoAboutVersion"}));
  const std::vector<WireArg> args = server.Calls()[1].args;
  EXPECT_EQ(std::vector<WireArg>(args.begin(), args.end() - 2),
            (std::vector<WireArg>{Val(""), Val(""), Val(""), Val(12), Val(15)}));

  EXPECT_EQ(storage.GetVersion(12, 0), v);
  EXPECT_EQ(Count("GetInfoAboutVersion"), 1);

  server.On("GetInfoAboutVersion", Reply::Packet(VersionRows({})));
  EXPECT_EQ(storage.GetVersion(13, 0), nullptr);
  EXPECT_EQ(storage.Hash().Get(13), nullptr);
}

TEST_F(VersionCacheTest, UpdateVersionParamsTouchesOnlyCachedVersions) {
  IPDMVersionPtr v = FromTree({3, "Gearbox"}, {"GB-1"});
  const Dataset attrs = AttrRows({{"Name", "Cover"}});
  storage.UpdateVersionParams(3, 6, nullptr);
  EXPECT_EQ(v->IdLock(), 6);
  EXPECT_EQ(v->Title(), "Gearbox - GB-1");
  storage.UpdateVersionParams(3, 0, &attrs);
  EXPECT_EQ(v->IdLock(), 0);
  EXPECT_EQ(v->Title(), "Gearbox - Cover");
  storage.UpdateVersionParams(4, 6, &attrs);
  EXPECT_EQ(storage.Hash().Get(4), nullptr);

  // A tree row refreshes identity data and title values of a cached version.
  IPDMVersionPtr same = FromTree({3, "Gearbox II", 0, 1}, {"GB-2"});
  EXPECT_EQ(same, v);
  EXPECT_EQ(v->Title(), "Gearbox II - GB-2");
  EXPECT_EQ(v->AccessLevel(), alReadOnly);
  EXPECT_TRUE(server.Calls().empty());
}

TEST_F(VersionCacheTest, ReadOnlyAndDocumentFlags) {
  struct Case {
    int32_t access;  // server scale
    int32_t lock;
    bool readOnly;
  };
  const std::vector<Case> cases = {{1, 0, true}, {2, 0, false}, {2, 5, true}, {3, 0, false}, {0, 0, false}};
  int32_t id = 0;
  for (const Case& c : cases) {
    IPDMVersionPtr v = FromTree({++id, "P", c.lock, c.access}, {});
    EXPECT_EQ(v->IsReadOnly(), c.readOnly) << c.access << "/" << c.lock;
  }
  try {
    storage.GetVersion(1, 0)->IsDocument();
    ADD_FAILURE() << "IsDocument answered";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Получение признака IsDocument не реализовано");
  }
}

TEST_F(VersionCacheTest, ProductTokensBecomeTitles) {
  FromTree({1, "{A1B2-C3}"}, {"Gear"});
  FromTree({2, "{FF-00}"}, {"Shaft"});
  FromTree({3, "{AB}"}, {"{FF-00}"});  // a title that looks like a token
  FromTree({4, "Plain"}, {"Unused"});

  EXPECT_EQ(storage.ProductGuidToTitle("{a1b2-c3}"), "Gear");
  EXPECT_EQ(storage.ProductGuidToTitle("{1234}"), "{1234}");

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"see {A1B2-C3}", "see Gear"},
      {"{A1B2-C3} and {ff-00}.", "Gear and Shaft."},
      {"{{A1B2-C3}", "{Gear"},          // a "{" restarts the token
      {"{A1G2}{FF-00}", "{A1G2}Shaft"},  // any other character abandons it
      {"{0000} stays", "{0000} stays"},
      {"{AB}", "{FF-00}"},  // inserted titles are not scanned again
      {"{} {", "{} {"},
      {"no tokens", "no tokens"},
      {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(storage.ReplaceGuidsToTitle(text), expected) << text;
  EXPECT_TRUE(server.Calls().empty());
}

TEST_F(VersionCacheTest, ListsKeepTheirVersionsAfterClear) {
  server.On("GetPropObjects2", Reply::Packet(VersionRows({{5, "Five"}, {7, "Seven"}})));
  TPDMVersionList list;
  storage.LoadListFromIdList(list, "5,7");
  storage.Clear();
  EXPECT_EQ(storage.Hash().Count(), 0u);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetItem(1)->Product(), "Seven");

  TPDMVersionList fresh;
  storage.LoadListFromIdList(fresh, "7");
  EXPECT_NE(fresh.GetItem(0), list.GetItem(1));  // cached anew
}

TEST_F(VersionCacheTest, VersionListHoldsEachIdOnce) {
  TPDMVersionList a, b;
  IPDMVersionPtr v1 = FromTree({1, "One"}, {});
  IPDMVersionPtr v2 = FromTree({2, "Two"}, {});
  IPDMVersionPtr v3 = FromTree({3, "Three"}, {});
  EXPECT_TRUE(a.EqualsIds());
  a.Add(v1);
  a.Add(v2);
  a.Add(v1);
  a.Add(nullptr);
  EXPECT_EQ(Ids(a), (std::vector<int32_t>{1, 2}));
  EXPECT_FALSE(a.EqualsIds());

  b.Add(v2);
  b.Add(v3);
  b.Add(a);
  EXPECT_EQ(Ids(b), (std::vector<int32_t>{2, 3, 1}));
  EXPECT_EQ(b.Find(3), v3);
  EXPECT_EQ(b.Find(4), nullptr);
  EXPECT_FALSE(a.EqualsIds(&b));
  b.Delete(1);
  EXPECT_FALSE(a.EqualsIds(&b));  // same ids, other order
  b.Delete(0);
  b.Add(v2);
  EXPECT_TRUE(a.EqualsIds(&b));
  EXPECT_THROW(b.Delete(2), Exception);
  EXPECT_THROW(b.GetItem(-1), Exception);
  EXPECT_EQ(b.GetArray().size(), 2u);
}

}  // namespace
}  // namespace brevalon
