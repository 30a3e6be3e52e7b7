// Document search: finds PDM document versions by a piece of text on the
// main-system server and lists every file of every version found as an
// attachment record.
//
// TFindXmlConstructor turns the search text into the server's query: the
// parameter text of the database's own search report "rep_SEARCH" when the
// database has it, otherwise a search XML for the server's generic search.
// TAttachmentsSearcher runs that query and collects the files. The handler
// (TSessionLogic::SearchDocuments, document_search.cpp) owns the result list
// and clears the session's version cache when it ends. Used on the session's
// worker thread only; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pdm/app_brevalon.h"
#include "protocol/entry_records.h"

namespace brevalon {

class Dataset;
class TAppMainSystem;
class TAppWorkFlow;
class TPDMVersionStorage;

// The database's own search report.
inline constexpr const char* kSearchReportName = "rep_SEARCH";
// "GetInfoAboutCurrentBase" mode that lists the database's procedures and reports.
inline constexpr int32_t kCurrentBaseProceduresMode = 10;

class TFindXmlConstructor {
 public:
  // Keeps `AppMS` (borrowed: it must outlive the constructor); `AppWF` is not
  // kept.
  TFindXmlConstructor(TAppMainSystem& AppMS, TAppWorkFlow& AppWF);

  // The versions found ("_ID_VERSION"), searching the whole database when
  // `AContext` is empty, else what is linked below the context version (and
  // the context itself too with `AIncludeContextInSearch`). Once per
  // constructor; server failures propagate.
  TDataSetPtr GetData(const std::string& AContext, bool AIncludeContextInSearch);

  // The text searched for; set before GetData.
  std::string FindText;

  // ---- the pieces of GetData, over server lists already fetched ----

  // FRawTypes := "_TYPENAME" of the rows of a "GetTypeList" answer whose
  // "_DOCUMENT" is 1, in row order.
  void LoadRawTypes(const Dataset& Types);
  // True when a "GetInfoAboutCurrentBase" (mode 10) answer lists the report
  // "rep_SEARCH" (letter case ignored).
  static bool HasSearchReport(Dataset& Procedures);
  // The "rep_SEARCH" parameter text: KEY=VALUE lines, each ended by CR LF.
  // Names are turned into ids through the server lists ("GetTypeList",
  // "GetAttributeList", "GetStateList"); `Attributes` also yields the search
  // attributes.
  std::string ParamText(const std::string& AContext, bool AIncludeContextInSearch,
                        const Dataset& Types, const Dataset& Attributes, const Dataset& States);
  // The search XML for "FindObjectsInContext2", one line.
  std::string SearchXml(const std::string& AContext, bool AIncludeContextInSearch,
                        const Dataset& Attributes);
  // `Text` with the characters the search XML cannot carry as they are
  // written as character references (&quot; &amp; &lt; &gt; &sect; &copy;
  // &laquo; &reg; &raquo; &ldquo; &bdquo; &trade;).
  static std::string EscapeXml(std::string_view Text);

  const std::vector<std::string>& SearchTypes() const { return FSearchTypes; }
  const std::vector<std::string>& SearchAttrs() const { return FSearchAttrs; }
  // Filters of a search in a context; the document search fills neither.
  std::vector<std::string>& States() { return FStates; }
  std::vector<std::string>& RawLinks() { return FRawLinks; }

 private:
  // FSearchTypes from FRawTypes, FSearchAttrs from the attribute list and
  // FindText.
  void ComputeSearchLists(const Dataset& Attributes);
  void AppendFilterBlock();
  void AppendFilterStep(const std::string* Attribute);
  std::string NextStepId() { return std::to_string(FStepId++); }

  TAppMainSystem* FAppMainSystem;  // not owned
  std::vector<std::string> FStates;
  std::vector<std::string> FSearchTypes;
  std::vector<std::string> FSearchAttrs;
  std::vector<std::string> FRawTypes;
  std::vector<std::string> FRawLinks;
  std::string FXML;
  int32_t FStepId = 1;
};

struct TAttachmentsSearcher {
  std::string FSearchString;
  TAppMainSystem* FAppMS = nullptr;
  TAppWorkFlow* FAppWF = nullptr;  // kept, not used by the search
  TPDMVersionStorage* FStorage = nullptr;
  TTaskAttachmentList* FAttachmentList = nullptr;  // the caller's

  // Stores the arguments and appends to `AttachmentList` one record per file
  // (files named with "cache" left out) of every version the search finds,
  // in the order found. Server failures propagate; the list may then hold
  // part of the result.
  void Search(const std::string& SearchString, TAppMainSystem& AppMS,
              TTaskAttachmentList& AttachmentList, TPDMVersionStorage& Storage,
              TAppWorkFlow& AppWF);

 private:
  void AddVersionFiles(int32_t IdVersion);
};

}  // namespace brevalon
