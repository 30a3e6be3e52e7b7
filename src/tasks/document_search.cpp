#include "tasks/document_search.h"

#include <boost/json.hpp>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/pdm_rows.h"
#include "pdm/version_cache.h"
#include "data/dataset.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/session_logic.h"
#include "tasks/task_attachments.h"

namespace brevalon {

namespace {

// Lower case of Latin and Cyrillic letters (Ё and the other U+0400..U+040F
// letters included) in UTF-8 text: the server's names are in both alphabets
// and are looked up without regard to letter case. Other bytes unchanged.
std::string FoldCase(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
      continue;
    }
    if ((c == 0xD0) && i + 1 < Text.size()) {
      const auto d = static_cast<unsigned char>(Text[i + 1]);
      uint32_t cp = ((c & 0x1Fu) << 6) | (d & 0x3Fu);
      if ((d & 0xC0u) == 0x80u) {
        if (cp >= 0x410 && cp <= 0x42F)
          cp += 0x20;
        else if (cp >= 0x400 && cp <= 0x40F)
          cp += 0x50;
        out += static_cast<char>(0xC0u | (cp >> 6));
        out += static_cast<char>(0x80u | (cp & 0x3Fu));
        ++i;
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  return out;
}

// The "_ID" values of the rows of `List` whose `NameField` equals one of
// `Names` (letter case ignored), in the order of the names, joined by ",";
// names the list lacks are left out.
std::string IdsOf(const std::vector<std::string>& Names, const Dataset& List,
                  std::string_view NameField) {
  if (Names.empty() || List.IsEmpty()) return std::string();
  Dataset rows = List;  // a copy to walk: the caller's cursor stays
  std::string ids;
  for (const std::string& name : Names) {
    const std::string folded = FoldCase(name);
    for (rows.First(); !rows.Eof(); rows.Next()) {
      if (FoldCase(rows.FieldByName(NameField).AsString()) != folded) continue;
      if (!ids.empty()) ids += ',';
      ids += std::to_string(rows.FieldByName("_ID").AsInteger());
      break;
    }
  }
  return ids;
}

// The search text as the value of the PATTERN line. A line break in it would
// start a line of its own and so set any other key of the query; each one
// becomes the one-character wildcard instead, which still matches it.
std::string PatternValue(const std::string& FindText) {
  std::string value = "%";
  for (char c : FindText) value += (c == '\r' || c == '\n') ? '_' : c;
  value += '%';
  return value;
}

std::string Line(std::string_view Key, std::string_view Value) {
  std::string line(Key);
  line += '=';
  line += Value;
  line += "\r\n";
  return line;
}

}  // namespace

// ---- TFindXmlConstructor ----

TFindXmlConstructor::TFindXmlConstructor(TAppMainSystem& AppMS, TAppWorkFlow& AppWF)
    : FAppMainSystem(&AppMS) {
  (void)AppWF;
}

void TFindXmlConstructor::LoadRawTypes(const Dataset& Types) {
  FRawTypes.clear();
  Dataset rows = Types;
  for (rows.First(); !rows.Eof(); rows.Next())
    if (rows.FieldByName("_DOCUMENT").AsInteger() == 1)
      FRawTypes.push_back(rows.FieldByName("_TYPENAME").AsString());
}

bool TFindXmlConstructor::HasSearchReport(Dataset& Procedures) {
  const std::string report = FoldCase(kSearchReportName);
  for (Procedures.First(); !Procedures.Eof(); Procedures.Next())
    if (FoldCase(Procedures.FieldByName("_PROC_NAME").AsString()) == report) return true;
  return false;
}

void TFindXmlConstructor::ComputeSearchLists(const Dataset& Attributes) {
  FSearchTypes.clear();
  for (const std::string& name : FRawTypes)
    if (!name.empty() && name[0] != '#') FSearchTypes.push_back(name);

  FSearchAttrs.clear();
  if (FindText.empty()) return;
  Dataset rows = Attributes;
  for (rows.First(); !rows.Eof(); rows.Next()) {
    std::string name = rows.FieldByName("_NAME").AsString();
    if (name.empty() || name[0] == '!' || name[0] == '#') continue;
    const int32_t kind = rows.FieldByName("_ATTRTYPE").AsInteger();
    if (kind >= 0 && kind <= 2) FSearchAttrs.push_back(std::move(name));
  }
}

std::string TFindXmlConstructor::ParamText(const std::string& AContext,
                                           bool AIncludeContextInSearch, const Dataset& Types,
                                           const Dataset& Attributes, const Dataset& States) {
  ComputeSearchLists(Attributes);
  std::string text;
  if (!FindText.empty()) {
    text += Line("PATTERN", PatternValue(FindText));
    text += Line("PATTERNATTRS", IdsOf(FSearchAttrs, Attributes, "_NAME"));
  }
  text += Line("TYPES", IdsOf(FSearchTypes, Types, "_TYPENAME"));
  text += Line("STATES", IdsOf(FStates, States, "_NAME"));
  if (!AContext.empty()) {
    text += Line("CONTEXT", AContext);
    std::string links;
    for (const std::string& link : FRawLinks) {
      if (!links.empty()) links += '\x01';
      links += link;
    }
    text += Line("LINKS", links);
    if (AIncludeContextInSearch) text += Line("CONTEXTINCLUDE", "1");
  }
  return text;
}

std::string TFindXmlConstructor::EscapeXml(std::string_view Text) {
  // UTF-8 sequences of the characters written as references.
  static constexpr std::pair<std::string_view, std::string_view> kReferences[] = {
      {"\"", "&quot;"},
      {"&", "&amp;"},
      {"<", "&lt;"},
      {">", "&gt;"},
      {"\xC2\xA7", "&sect;"},
      {"\xC2\xA9", "&copy;"},
      {"\xC2\xAB", "&laquo;"},
      {"\xC2\xAE", "&reg;"},
      {"\xC2\xBB", "&raquo;"},
      {"\xE2\x80\x9C", "&ldquo;"},
      {"\xE2\x80\x9E", "&bdquo;"},
      {"\xE2\x84\xA2", "&trade;"},
  };
  std::string out;
  out.reserve(Text.size());
  std::size_t i = 0;
  while (i < Text.size()) {
    bool replaced = false;
    for (const auto& [character, reference] : kReferences) {
      if (Text.substr(i, character.size()) == character) {
        out += reference;
        i += character.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += Text[i++];
  }
  return out;
}

void TFindXmlConstructor::AppendFilterStep(const std::string* Attribute) {
  FXML += "<FilterStep id=\"" + NextStepId() + "\" stepname=\"Фильтр\">";
  FXML += "<TypeList>";
  for (const std::string& type : FSearchTypes) FXML += "<Type name=\"" + EscapeXml(type) + "\"/>";
  FXML += "</TypeList>";
  if (!FStates.empty()) {
    FXML += "<StateList>";
    for (const std::string& state : FStates) FXML += "<State name=\"" + EscapeXml(state) + "\"/>";
    FXML += "</StateList>";
  }
  FXML += "<AttrList>";
  if (Attribute) {
    const std::string name = EscapeXml(*Attribute);
    FXML += "<Attribute AttrName=\"" + name + "\" AttrValue=\"" + name + " like '%" +
            EscapeXml(FindText) + "%'\"/>";
  }
  FXML += "</AttrList>";
  FXML += "<ResultStep id=\"" + NextStepId() + "\" stepname=\"Результат\" AllResult=\"union\"/>";
  FXML += "</FilterStep>";
}

void TFindXmlConstructor::AppendFilterBlock() {
  if (FSearchAttrs.empty()) {
    AppendFilterStep(nullptr);
    return;
  }
  for (const std::string& attribute : FSearchAttrs) AppendFilterStep(&attribute);
}

std::string TFindXmlConstructor::SearchXml(const std::string& AContext,
                                           bool AIncludeContextInSearch,
                                           const Dataset& Attributes) {
  ComputeSearchLists(Attributes);
  FStepId = 1;
  FXML = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>";
  FXML += "<FIND>";
  if (AContext.empty()) {
    AppendFilterBlock();
  } else {
    FXML += "<LinksStep id=\"" + NextStepId() +
            "\" stepname=\"Связи\" direction=\"down\" recursive=\"true\">";
    FXML += "<LinkList>";
    for (const std::string& link : FRawLinks)
      FXML += "<LinkType name=\"" + EscapeXml(link) + "\"/>";
    FXML += "</LinkList>";
    AppendFilterBlock();
    FXML += "</LinksStep>";
    if (AIncludeContextInSearch) AppendFilterBlock();
  }
  FXML += "</FIND>";
  return FXML;
}

TDataSetPtr TFindXmlConstructor::GetData(const std::string& AContext,
                                         bool AIncludeContextInSearch) {
  TAppMainSystem& appMS = *FAppMainSystem;
  TDataSetPtr types = appMS.GetTypeList();
  LoadRawTypes(*types);
  TDataSetPtr procedures = appMS.GetInfoAboutCurrentBase(kCurrentBaseProceduresMode);

  // The attribute list matters only for a text to match, the state list only
  // for states to filter by; neither is asked for otherwise.
  const Dataset none;
  TDataSetPtr attributes = FindText.empty() ? nullptr : appMS.GetAttributeList();
  const Dataset& attributeRows = attributes ? *attributes : none;

  if (HasSearchReport(*procedures)) {
    TDataSetPtr states = FStates.empty() ? nullptr : appMS.GetStateList();
    const std::string params = ParamText(AContext, AIncludeContextInSearch, *types, attributeRows,
                                         states ? *states : none);
    Variant objectList(std::vector<int32_t>{0});
    return appMS.GetReport(0, kSearchReportName, objectList, params);
  }
  const std::string xml = SearchXml(AContext, AIncludeContextInSearch, attributeRows);
  return appMS.FindObjectsInContext2(0, AContext, xml, 0);
}

// ---- TAttachmentsSearcher ----

void TAttachmentsSearcher::Search(const std::string& SearchString, TAppMainSystem& AppMS,
                                  TTaskAttachmentList& AttachmentList, TPDMVersionStorage& Storage,
                                  TAppWorkFlow& AppWF) {
  FSearchString = SearchString;
  FAppMS = &AppMS;
  FAttachmentList = &AttachmentList;
  FStorage = &Storage;
  FAppWF = &AppWF;

  TPDMVersionList versions;
  TFindXmlConstructor constructor(AppMS, AppWF);
  constructor.FindText = FSearchString;
  TDataSetPtr found = constructor.GetData(std::string(), false);

  std::string ids;
  for (found->First(); !found->Eof(); found->Next()) {
    const std::string id = found->FieldByName("_ID_VERSION").AsString();
    if (id.empty()) continue;
    if (!ids.empty()) ids += ',';
    ids += id;
  }
  Storage.LoadListFromIdList(versions, ids);
  for (int i = 0; i < versions.Count(); ++i) AddVersionFiles(versions.GetItem(i)->Id());
}

void TAttachmentsSearcher::AddVersionFiles(int32_t IdVersion) {
  TDataSetPtr files = FAppMS->GetInfoAboutVersion(0, "", "", "", IdVersion, 7);
  TDataSetPtr attributes = FAppMS->GetInfoAboutVersion(0, "", "", "", IdVersion, 2);

  // The attribute values, last to first.
  std::string title;
  for (std::size_t i = attributes->RecordCount(); i-- > 0;) {
    attributes->MoveTo(i);
    title = JoinNonEmpty(title, attributes->FieldByName("_VALUE").AsString(), " - ");
  }

  for (files->First(); !files->Eof(); files->Next()) {
    TFileInfo file;
    ReadFileInfo(file, *files);
    if (IsCacheFileName(file.Name)) continue;
    FAttachmentList->emplace_back(IdVersion, file.Id, title, FileExtension(file.Name),
                                  static_cast<int32_t>(file.CRC), static_cast<int32_t>(file.Size));
  }
}

// ---- handler ----

void TSessionLogic::SearchDocuments(boost::json::object& JSONResult, const std::string& BASE64) {
  CheckConnected();
  // Versions loaded for this request carry this moment's rights and titles;
  // none may outlive it, whichever way it ends.
  struct TClearCacheAtEnd {
    TPDMVersionStorage& Storage;
    ~TClearCacheAtEnd() { Storage.Clear(); }
  } clearCache{VersionStorage()};

  TTaskAttachmentList attachments;
  const TParamsSearchDocument params(BASE64);
  TAttachmentsSearcher searcher;
  searcher.Search(params.FSearchString, AppMainSystem(), attachments, VersionStorage(),
                  AppWorkFlow());
  TResultWriter writer;
  writer.WriteTaskAttachments(attachments, std::vector<int32_t>(), -1, nullptr);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

}  // namespace brevalon
