#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appserver/search.h"
#include "appserver/store.h"
#include "appserver_test_support.h"

namespace brevalon::appserver {
namespace {

// The demo seed with the search evaluated as a given user of "demo".
class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<Store>(dir_.Path() / "s.sqlite");
    store_->LoadSeedFile(testing::DemoSeedPath());
    dbId_ = Id("SELECT id FROM databases WHERE name = 'demo'");
  }

  int64_t Id(const std::string& sql) {
    return store_->Read([&](SqliteDb& db) { return db.QueryInt(sql).value_or(0); });
  }
  int64_t Version(const std::string& product) {
    return Id("SELECT v.id FROM versions v JOIN objects o ON o.id = v.object_id WHERE o.product = '" + product + "'");
  }
  int64_t Attr(const std::string& name) { return Id("SELECT id FROM attributes WHERE name = '" + name + "'"); }
  int64_t Type(const std::string& name) { return Id("SELECT id FROM types WHERE name = '" + name + "'"); }

  std::vector<int64_t> Report(const std::string& params, const std::string& login = "ivanov", bool admin = false) {
    int64_t user = Id("SELECT id FROM principals WHERE name = '" + login + "'");
    return store_->Read([&](SqliteDb& db) { return RunSearch(db, dbId_, user, admin, ParseReportParams(params)); });
  }
  std::vector<int64_t> Xml(const std::string& xml, const std::string& context = "") {
    int64_t user = Id("SELECT id FROM principals WHERE name = 'ivanov'");
    return store_->Read([&](SqliteDb& db) {
      return RunSearch(db, dbId_, user, false, ParseSearchXml(xml, context, SearchCatalog::Load(db, dbId_)));
    });
  }

  testing::TempDir dir_;
  std::unique_ptr<Store> store_;
  int64_t dbId_ = 0;
};

std::string Header() { return "<?xml version=\"1.0\" encoding=\"windows-1251\"?><FIND>"; }
std::string Filter(int id, const std::string& types, const std::string& attr, const std::string& text) {
  std::string cond = attr.empty() ? "" : "<Attribute AttrName=\"" + attr + "\" AttrValue=\"" + attr + " like '%" +
                                             text + "%'\"/>";
  return "<FilterStep id=\"" + std::to_string(id) + "\" stepname=\"Фильтр\"><TypeList>" + types +
         "</TypeList><AttrList>" + cond + "</AttrList><ResultStep id=\"" + std::to_string(id + 1) +
         "\" stepname=\"Результат\" AllResult=\"union\"/></FilterStep>";
}
const std::string kDocTypes = "<Type name=\"Чертёж\"/><Type name=\"Спецификация\"/>";

TEST_F(SearchTest, ReportMatchesPatternAgainstListedAttributesWithinTypes) {
  const std::string name = std::to_string(Attr("Наименование"));
  const std::string drawings = std::to_string(Type("Чертёж"));
  const std::string both = drawings + "," + std::to_string(Type("Спецификация"));
  // "вала" occurs in the route card's name only; "ВАЛ" (any case) in the shaft too.
  EXPECT_EQ(Report("PATTERN=%ВАЛ%\r\nPATTERNATTRS=" + name + "\r\nTYPES=" + drawings + "\r\nSTATES=\r\n"),
            std::vector<int64_t>{Version("Вал приводной")});
  EXPECT_EQ(Report("PATTERN=%ВАЛ%\r\nPATTERNATTRS=" + name + "\r\nTYPES=" + both + "\r\nSTATES=\r\n"),
            (std::vector<int64_t>{Version("Вал приводной"), Version("Маршрутная карта")}));
  // Without a pattern every version of the types matches.
  EXPECT_EQ(Report("TYPES=" + drawings + "\r\nSTATES=\r\n").size(), 3u);
  // A state filter.
  int64_t approved = Id("SELECT id FROM states WHERE name = 'Утверждён'");
  EXPECT_EQ(Report("TYPES=" + both + "\r\nSTATES=" + std::to_string(approved) + "\r\n"),
            (std::vector<int64_t>{Version("Шестерня"), Version("Маршрутная карта")}));
}

TEST_F(SearchTest, ReportSearchesBelowAContext) {
  const std::string ctx = std::to_string(Version("Редуктор"));
  EXPECT_EQ(Report("PATTERN=%\r\nTYPES=\r\nSTATES=\r\nCONTEXT=" + ctx + "\r\nLINKS=\r\n"),
            (std::vector<int64_t>{Version("Вал приводной"), Version("Шестерня")}));
  EXPECT_EQ(Report("PATTERN=%\r\nTYPES=\r\nSTATES=\r\nCONTEXT=" + ctx + "\r\nLINKS=\r\nCONTEXTINCLUDE=1\r\n").size(),
            3u);
  EXPECT_TRUE(Report("TYPES=\r\nCONTEXT=" + ctx + "\r\nLINKS=другая связь\r\n").empty());
}

TEST_F(SearchTest, XmlUnitesFilterSteps) {
  std::string xml = Header() + Filter(1, kDocTypes, "Обозначение", "101.002") +
                    Filter(3, kDocTypes, "Наименование", "КОРПУС") + "</FIND>";
  EXPECT_EQ(Xml(xml), (std::vector<int64_t>{Version("Шестерня"), Version("Корпус редуктора")}));
  // A single step without a condition finds every version of the listed types.
  EXPECT_EQ(Xml(Header() + Filter(1, "<Type name=\"Спецификация\"/>", "", "") + "</FIND>"),
            (std::vector<int64_t>{Version("Редуктор"), Version("Маршрутная карта")}));
  // Unknown type or attribute names match nothing.
  EXPECT_TRUE(Xml(Header() + Filter(1, "<Type name=\"Нет такого\"/>", "", "") + "</FIND>").empty());
  EXPECT_TRUE(Xml(Header() + Filter(1, kDocTypes, "Нет такого", "") + "</FIND>").empty());
}

TEST_F(SearchTest, XmlValuesAreUnescapedAndApostrophesNeedNoEscaping) {
  int64_t shaft = Version("Вал приводной");
  int64_t attr = Attr("Наименование");
  store_->Write([&](SqliteDb& db) {
    Statement(db, "UPDATE attr_values SET value = ? WHERE version_id = ? AND attr_id = ?")
        .BindAll(std::string("Вал \"O'Brien\" & § ©"), shaft, attr)
        .Run();
  });
  EXPECT_EQ(Xml(Header() + Filter(1, kDocTypes, "Наименование", "&quot;O'Brien&quot; &amp; &sect; &copy;") + "</FIND>"),
            std::vector<int64_t>{shaft});
  // An escaped ampersand before a name stays literal text.
  EXPECT_TRUE(Xml(Header() + Filter(1, kDocTypes, "Наименование", "&amp;sect;") + "</FIND>").empty());
}

TEST_F(SearchTest, OnlyReadableVersionsAreFound) {
  int64_t shaft = Version("Вал приводной");
  int64_t sidorov = Id("SELECT id FROM principals WHERE name = 'sidorov'");
  store_->Write([&](SqliteDb& db) {
    Statement(db, "DELETE FROM grants WHERE version_id = ? AND user_id = ?").BindAll(shaft, sidorov).Run();
  });
  std::string params = "PATTERN=%вал%\r\nTYPES=\r\nSTATES=\r\n";
  auto hasShaft = [&](const std::vector<int64_t>& ids) {
    return std::find(ids.begin(), ids.end(), shaft) != ids.end();
  };
  EXPECT_FALSE(hasShaft(Report(params, "sidorov")));
  EXPECT_TRUE(hasShaft(Report(params, "sidorov", /*admin=*/true)));
  EXPECT_TRUE(hasShaft(Report(params, "smirnov")));
}

TEST(SearchParse, RejectsMalformedInput) {
  SearchCatalog catalog;
  catalog.attributes["name"] = 1;
  const char* badXml[] = {
      "",
      "<FIND>",
      "<OTHER/>",
      "<FIND><Bogus/></FIND>",
      "<FIND><FilterStep><AttrList><Attribute AttrName=\"Name\" AttrValue=\"Name like %x%\"/></AttrList></FilterStep></FIND>",
      "<FIND><FilterStep><AttrList><Attribute AttrName=\"Name\" AttrValue=\"Name ~ 'x'\"/></AttrList></FilterStep></FIND>",
      "<FIND><FilterStep><ResultStep AllResult=\"minus\"/></FilterStep></FIND>",
      "<FIND><LinksStep/></FIND>",  // links without a context
  };
  for (const char* xml : badXml) EXPECT_THROW(ParseSearchXml(xml, "", catalog), ESearchException) << xml;
  EXPECT_THROW(ParseSearchXml("<FIND/>", "abc", catalog), ESearchException);
  EXPECT_THROW(ParseSearchXml(std::string(2 << 20, ' '), "", catalog), ESearchException);

  for (const char* params : {"TYPES=1,x", "PATTERN=a\nPATTERNATTRS=1;2", "CONTEXT=-4", "STATES=99999999999999999999"})
    EXPECT_THROW(ParseReportParams(params), ESearchException) << params;
  // Unknown keys and lines without "=" are ignored.
  EXPECT_EQ(ParseReportParams("FOO=1\r\njunk\r\nTYPES=\r\n").steps.size(), 1u);
}

}  // namespace
}  // namespace brevalon::appserver
