// Document search: the query texts of TFindXmlConstructor pinned over fixed
// server lists, and the SearchDocuments handler against the reference servers
// through both query forms (the "rep_SEARCH" report of the demo database, the
// search XML of the archive database), with what the server received checked
// on its side.
#include "tasks/document_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "appserver/sqlite.h"
#include "client/result_decoder.h"
#include "domain_fixture.h"
#include "pdm/version_cache.h"
#include "data/dataset.h"
#include "protocol/data_type_exception.h"
#include "session/session_logic.h"

namespace brevalon::testing {
namespace {

using appserver::SqliteDb;
using appserver::Statement;

// ---- the query texts over fixed lists ----

Dataset TypeList(const std::vector<std::tuple<int32_t, std::string, int32_t>>& rows) {
  Dataset ds;
  ds.AddField("_ID", FieldType::Int32);
  ds.AddField("_TYPENAME", FieldType::Text);
  ds.AddField("_DOCUMENT", FieldType::Int32);
  for (const auto& [id, name, document] : rows)
    ds.AppendRow({Variant(id), Variant(name), Variant(document)});
  return ds;
}

Dataset NamedList(const std::vector<std::tuple<int32_t, std::string, int32_t>>& rows) {
  Dataset ds;
  ds.AddField("_ID", FieldType::Int32);
  ds.AddField("_NAME", FieldType::Text);
  ds.AddField("_ATTRTYPE", FieldType::Int32);
  for (const auto& [id, name, kind] : rows)
    ds.AppendRow({Variant(id), Variant(name), Variant(kind)});
  return ds;
}

constexpr const char* kHeader = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>";

std::string Step(int id, const std::string& types, const std::string& attr, int resultId) {
  return "<FilterStep id=\"" + std::to_string(id) + "\" stepname=\"Фильтр\"><TypeList>" + types +
         "</TypeList><AttrList>" + attr + "</AttrList><ResultStep id=\"" +
         std::to_string(resultId) + "\" stepname=\"Результат\" AllResult=\"union\"/></FilterStep>";
}

std::string Condition(const std::string& name, const std::string& text) {
  return "<Attribute AttrName=\"" + name + "\" AttrValue=\"" + name + " like '%" + text + "%'\"/>";
}

class FindXmlConstructorTexts : public ::testing::Test {
 protected:
  TFindXmlConstructor Constructor(const std::string& text) {
    TFindXmlConstructor c(*main_, *workflow_);
    c.FindText = text;
    c.LoadRawTypes(types_);
    return c;
  }

  // Never connected: the text builders make no server call.
  std::unique_ptr<TAppMainSystem> main_ = std::make_unique<TAppMainSystem>();
  std::unique_ptr<TAppWorkFlow> workflow_ = std::make_unique<TAppWorkFlow>();
  Dataset types_ = TypeList({{5, "A", 1}, {6, "#hidden", 1}, {7, "Part", 0}, {8, "", 1}});
  Dataset attributes_ =
      NamedList({{11, "Name", 0}, {12, "!sys", 0}, {14, "Born", 3}, {15, "#x", 1}});
  Dataset twoAttributes_ = NamedList({{11, "Name", 0}, {12, "!sys", 0}, {13, "Code", 1}});
  Dataset states_ = NamedList({{21, "Draft", 0}, {22, "Released", 0}});
};

TEST_F(FindXmlConstructorTexts, ReportParameterText) {
  struct Case {
    const char* what;
    std::string text;
    std::string context;
    bool include;
    std::vector<std::string> links;
    std::string expected;
  };
  const Case cases[] = {
      {"text", "Ab", "", false, {}, "PATTERN=%Ab%\r\nPATTERNATTRS=11\r\nTYPES=5\r\nSTATES=\r\n"},
      {"no text", "", "", false, {}, "TYPES=5\r\nSTATES=\r\n"},
      {"text sent unescaped",
       "a\"&<b>'",
       "",
       false,
       {},
       "PATTERN=%a\"&<b>'%\r\nPATTERNATTRS=11\r\nTYPES=5\r\nSTATES=\r\n"},
      {"line breaks cannot add keys",
       "x\r\nTYPES=6",
       "",
       false,
       {},
       "PATTERN=%x__TYPES=6%\r\nPATTERNATTRS=11\r\nTYPES=5\r\nSTATES=\r\n"},
      {"context",
       "Ab",
       "77",
       false,
       {"L1", "L2"},
       "PATTERN=%Ab%\r\nPATTERNATTRS=11\r\nTYPES=5\r\nSTATES=\r\nCONTEXT=77\r\nLINKS=L1\x01L2\r\n"},
      {"context included",
       "",
       "77",
       true,
       {},
       "TYPES=5\r\nSTATES=\r\nCONTEXT=77\r\nLINKS=\r\nCONTEXTINCLUDE=1\r\n"},
  };
  for (const Case& c : cases) {
    TFindXmlConstructor constructor = Constructor(c.text);
    constructor.RawLinks() = c.links;
    EXPECT_EQ(constructor.ParamText(c.context, c.include, types_, attributes_, states_), c.expected)
        << c.what;
  }
}

TEST_F(FindXmlConstructorTexts, IdsOfNamesLookedUpWithoutLetterCase) {
  // Names come from one list and are looked up in another: letter case does
  // not count (Latin and Cyrillic), names the list lacks are left out.
  TFindXmlConstructor constructor = Constructor("q");
  constructor.States() = {"released", "ЧЕРНОВИК", "gone"};
  const Dataset states = NamedList({{21, "Черновик", 0}, {22, "Released", 0}});
  const Dataset types = TypeList({{5, "a", 1}});
  EXPECT_EQ(constructor.ParamText("", false, types, attributes_, states),
            "PATTERN=%q%\r\nPATTERNATTRS=11\r\nTYPES=5\r\nSTATES=22,21\r\n");
}

TEST_F(FindXmlConstructorTexts, SearchXml) {
  const std::string typeA = "<Type name=\"A\"/>";
  struct Case {
    const char* what;
    std::string text;
    const Dataset* attributes;
    std::string context;
    bool include;
    std::vector<std::string> links;
    std::string expected;
  };
  const Case cases[] = {
      {"one attribute",
       "Ab",
       &attributes_,
       "",
       false,
       {},
       std::string(kHeader) + "<FIND>" + Step(1, typeA, Condition("Name", "Ab"), 2) + "</FIND>"},
      {"two attributes",
       "Ab",
       &twoAttributes_,
       "",
       false,
       {},
       std::string(kHeader) + "<FIND>" + Step(1, typeA, Condition("Name", "Ab"), 2) +
           Step(3, typeA, Condition("Code", "Ab"), 4) + "</FIND>"},
      {"no text",
       "",
       &attributes_,
       "",
       false,
       {},
       std::string(kHeader) + "<FIND>" + Step(1, typeA, "", 2) + "</FIND>"},
      {"escaped text",
       "a\"&'b",
       &attributes_,
       "",
       false,
       {},
       std::string(kHeader) + "<FIND>" + Step(1, typeA, Condition("Name", "a&quot;&amp;'b"), 2) +
           "</FIND>"},
      {"context",
       "Ab",
       &attributes_,
       "77",
       false,
       {"состоит из...", "<ref>"},
       std::string(kHeader) +
           "<FIND><LinksStep id=\"1\" stepname=\"Связи\" direction=\"down\" "
           "recursive=\"true\"><LinkList>"
           "<LinkType name=\"состоит из...\"/><LinkType name=\"&lt;ref&gt;\"/></LinkList>" +
           Step(2, typeA, Condition("Name", "Ab"), 3) + "</LinksStep></FIND>"},
      {"context included",
       "",
       &attributes_,
       "77",
       true,
       {},
       std::string(kHeader) +
           "<FIND><LinksStep id=\"1\" stepname=\"Связи\" direction=\"down\" "
           "recursive=\"true\"><LinkList>"
           "</LinkList>" +
           Step(2, typeA, "", 3) + "</LinksStep>" + Step(4, typeA, "", 5) + "</FIND>"},
  };
  for (const Case& c : cases) {
    TFindXmlConstructor constructor = Constructor(c.text);
    constructor.RawLinks() = c.links;
    EXPECT_EQ(constructor.SearchXml(c.context, c.include, *c.attributes), c.expected) << c.what;
  }
}

TEST_F(FindXmlConstructorTexts, StatesAndNamesAreEscapedInTheXml) {
  TFindXmlConstructor constructor(*main_, *workflow_);
  constructor.FindText = "x";
  constructor.LoadRawTypes(TypeList({{5, "Drawing \"A&B\"", 1}}));
  constructor.States() = {"«New»"};
  const Dataset attributes = NamedList({{11, "Size<mm>", 2}});
  EXPECT_EQ(constructor.SearchXml("", false, attributes),
            std::string(kHeader) +
                "<FIND><FilterStep id=\"1\" stepname=\"Фильтр\"><TypeList><Type name=\"Drawing "
                "&quot;A&amp;B&quot;\"/>"
                "</TypeList><StateList><State name=\"&laquo;New&raquo;\"/></StateList><AttrList>" +
                Condition("Size&lt;mm&gt;", "x") +
                "</AttrList><ResultStep id=\"2\" stepname=\"Результат\" "
                "AllResult=\"union\"/></FilterStep></FIND>");
}

TEST(FindXmlEscaping, EveryCharacterOfTheTable) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"", "&quot;"},
      {"&", "&amp;"},
      {"<", "&lt;"},
      {">", "&gt;"},
      {"\u00A7", "&sect;"},
      {"\u00A9", "&copy;"},
      {"\u00AB", "&laquo;"},
      {"\u00AE", "&reg;"},
      {"\u00BB", "&raquo;"},
      {"\u201C", "&ldquo;"},
      {"\u201E", "&bdquo;"},
      {"\u2122", "&trade;"},
      {"'", "'"},
      {"Вал ПР-101 © «ГОСТ» № 5", "Вал ПР-101 &copy; &laquo;ГОСТ&raquo; № 5"},
      {"\u201D\u00A0\u2013", "\u201D\u00A0\u2013"},  // neighbours of table entries stay
      {"&amp;", "&amp;amp;"},
      {"", ""},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(TFindXmlConstructor::EscapeXml(text), expected) << text;
}

TEST(FindXmlReport, ReportFoundWithoutLetterCase) {
  const std::pair<std::vector<std::string>, bool> cases[] = {{{"rep_SEARCH"}, true},
                                                             {{"proc_x", "REP_search"}, true},
                                                             {{"rep_SEARCH2", "search"}, false},
                                                             {{}, false}};
  for (const auto& [names, expected] : cases) {
    Dataset procs;
    procs.AddField("_PROC_NAME", FieldType::Text);
    for (const std::string& n : names) procs.AppendRow({Variant(n)});
    EXPECT_EQ(TFindXmlConstructor::HasSearchReport(procs), expected) << names.size();
  }
}

// ---- SearchDocuments against the reference servers ----

struct Found {
  int32_t object;
  std::string title;
  std::string extension;
  friend bool operator==(const Found&, const Found&) = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  return out << "{" << f.object << ", \"" << f.title << "\", \"" << f.extension << "\"}";
}

class DocumentSearchTest : public DomainTest {
 protected:
  // The ids of the rows `sql` yields, joined by ",".
  std::string Ids(const std::string& sql) {
    return Server().GetStore().Read([&](SqliteDb& db) {
      Statement st(db, sql);
      std::string ids;
      while (st.Step()) ids += (ids.empty() ? "" : ",") + std::to_string(st.Int64(0));
      return ids;
    });
  }
  int32_t VersionOf(const std::string& product) {
    return std::stoi(
        Ids("SELECT v.id FROM versions v JOIN objects o ON o.id = v.object_id WHERE o.product = '" +
            product + "'"));
  }
  void Exec(const std::string& sql) {
    Server().GetStore().Write([&](SqliteDb& db) { db.Exec(sql); });
  }
  appserver::Store::SearchInputs Received() { return Server().GetStore().LastSearchInputs(); }

  static boost::json::object Search(TSessionLogic& session, const std::string& text) {
    boost::json::object result;
    session.SearchDocuments(result,
                            client::EncodeRequest("SearchDocuments", {{"FSearchString", text}}));
    return client::DecodeResult(result.at("BASE64").as_string(),
                                client::TaskInAttachments::kWithoutTask);
  }

  static std::vector<Found> Rows(const boost::json::object& answer) {
    std::vector<Found> rows;
    for (const auto& a : answer.at("attachments").as_array()) {
      const auto& o = a.as_object();
      rows.push_back({static_cast<int32_t>(o.at("FObjectId").to_number<int64_t>()),
                      std::string(o.at("FTitle").as_string()),
                      std::string(o.at("FExtension").as_string())});
    }
    return rows;
  }
};

TEST_F(DocumentSearchTest, DatabaseWithReportGetsTheParameterText) {
  auto session = Session("ivanov");
  const auto answer = Search(*session, "Вал");

  const std::string attrs =
      Ids("SELECT a.id FROM attributes a JOIN databases d ON d.id = a.db_id WHERE d.name = 'demo' "
          "AND a.name IN "
          "('Обозначение', 'Наименование', 'Масса') ORDER BY a.id");
  const std::string types =
      Ids("SELECT t.id FROM types t JOIN databases d ON d.id = t.db_id WHERE d.name = 'demo' AND "
          "t.is_document = 1 "
          "ORDER BY t.id");
  ASSERT_EQ(std::count(attrs.begin(), attrs.end(), ','), 2);
  ASSERT_EQ(std::count(types.begin(), types.end(), ','), 1);
  EXPECT_EQ(Received().reportParams,
            "PATTERN=%Вал%\r\nPATTERNATTRS=" + attrs + "\r\nTYPES=" + types + "\r\nSTATES=\r\n");
  EXPECT_EQ(Received().searchXml, "");

  // The shaft by its name, the route card by "...обработки вала"; every file
  // but the cache file, titled by the attribute values from last to first.
  const int32_t shaft = VersionOf("Вал приводной");
  const int32_t card = VersionOf("Маршрутная карта");
  const std::string shaftTitle = "2.4 - Вал приводной - ПР-101.001";
  const std::string cardTitle = "Маршрутная карта обработки вала - МК-17";
  EXPECT_EQ(Rows(answer), (std::vector<Found>{{shaft, shaftTitle, "txt"},
                                              {shaft, shaftTitle, "txt"},
                                              {card, cardTitle, "txt"},
                                              {card, cardTitle, "txt"}}));
  EXPECT_EQ(answer.at("version").to_number<int64_t>(), -1);
  EXPECT_TRUE(answer.at("deleted").as_array().empty());
  EXPECT_FALSE(answer.contains("task"));
  EXPECT_EQ(session->VersionStorage().Hash().Count(), 0u);
}

TEST_F(DocumentSearchTest, DatabaseWithoutReportGetsTheSearchXml) {
  auto session = Session("admin", "archive");
  const auto answer = Search(*session, "а-00");
  EXPECT_EQ(Received().searchXml, std::string(kHeader) + "<FIND>" +
                                      Step(1, "<Type name=\"Архивный документ\"/>",
                                           Condition("Инвентарный номер", "а-00"), 2) +
                                      "</FIND>");
  EXPECT_EQ(Received().reportParams, "");
  EXPECT_EQ(Rows(answer), (std::vector<Found>{{VersionOf("Паспорт станка"), "А-0042", "txt"}}));
}

TEST_F(DocumentSearchTest, SpecialCharactersAreEscapedInTheXmlAndSentAsTheyAreInTheReport) {
  const std::string value = "Паспорт «16К20» & \"Ко\" <A> O'B © ™";
  Exec("UPDATE attr_values SET value = '" + std::string("Паспорт «16К20» & \"Ко\" <A> O''B © ™") +
       "' WHERE version_id = " + std::to_string(VersionOf("Паспорт станка")));
  const std::string text = "«16К20» & \"Ко\" <A> O'B ©";

  auto archive = Session("admin", "archive");
  const auto answer = Search(*archive, text);
  EXPECT_EQ(Received().searchXml,
            std::string(kHeader) + "<FIND>" +
                Step(1, "<Type name=\"Архивный документ\"/>",
                     Condition("Инвентарный номер",
                               "&laquo;16К20&raquo; &amp; &quot;Ко&quot; &lt;A&gt; O'B &copy;"),
                     2) +
                "</FIND>");
  // The server decodes the references back and finds the document.
  EXPECT_EQ(Rows(answer), (std::vector<Found>{{VersionOf("Паспорт станка"), value, "txt"}}));

  auto demo = Session("ivanov");
  EXPECT_TRUE(Search(*demo, text).at("attachments").as_array().empty());
  EXPECT_EQ(Received().reportParams.substr(0, Received().reportParams.find("\r\n")),
            "PATTERN=%" + text + "%");
}

TEST_F(DocumentSearchTest, EmptyTextListsEveryReadableDocumentOfADocumentType) {
  auto session = Session("ivanov");
  const auto answer = Search(*session, "");
  const std::string types =
      Ids("SELECT t.id FROM types t JOIN databases d ON d.id = t.db_id WHERE d.name = 'demo' AND "
          "t.is_document = 1 "
          "ORDER BY t.id");
  EXPECT_EQ(Received().reportParams, "TYPES=" + types + "\r\nSTATES=\r\n");
  // Shaft, gear, housing, route card: two files each; the reducer has none.
  EXPECT_EQ(Rows(answer).size(), 8u);
}

TEST_F(DocumentSearchTest, FailedRequestStillEmptiesTheVersionCache) {
  auto session = Session("ivanov");
  session->VersionStorage().LoadVersions(std::to_string(VersionOf("Шестерня")));
  ASSERT_EQ(session->VersionStorage().Hash().Count(), 1u);
  boost::json::object result;
  EXPECT_THROW(
      session->SearchDocuments(result, client::EncodeRequest("GetUserList", {{"FStUID", "x"}})),
      EDataTypeException);
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(session->VersionStorage().Hash().Count(), 0u);
}

}  // namespace
}  // namespace brevalon::testing
