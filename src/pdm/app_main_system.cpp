#include "pdm/app_main_system.h"

#include <utility>

namespace brevalon {

namespace {

// The server version from which files can be renamed without fetching them
// first.
constexpr int32_t kRenameWithoutFetchVersion = 20090306;

// The list is unsorted, and an unsorted TIntegerList takes duplicates even
// when told not to; a check-out held twice would survive its check-in.
void AddOwnCheckOut(TIntegerList& list, int32_t id) {
  if (!list.HaveItem(id)) list.Add(id);
}

bool ReplyBoolean(const Variant& value) {
  if (value.IsNull()) return false;
  return value.AsBoolean();
}

}  // namespace

TAppMainSystem::TAppMainSystem() : TAppBrevalon(kMainSystemServerGUID) {}

TAppMainSystem::~TAppMainSystem() = default;

void TAppMainSystem::AssignParams(const TAppBrevalon& Source) {
  TAppBrevalon::AssignParams(Source);
  if (const auto* main = dynamic_cast<const TAppMainSystem*>(&Source)) {
    FDBName = main->FDBName;
    FAuthentific = main->FAuthentific;
    FUserName = main->FUserName;
    FPassword = main->FPassword;
  }
}

void TAppMainSystem::Disconnect() {
  FAppVersion = 0;
  TAppBrevalon::Disconnect();
}

void TAppMainSystem::RestoreSession() {
  const int32_t current = FIdCheckOut;
  ConnectToDB();
  FIdCheckOut = current;
  if (current == 0) return;
  try {
    ConnectToCheckOut(current);
  } catch (const EApiException&) {
    // The check-out was closed while the connection was down (another
    // session of the user checked it in). Keeping its id would fail every
    // later call of the session; it goes on without a check-out instead.
    FIdCheckOut = 0;
  }
}

void TAppMainSystem::ConnectToDB() {
  std::string user;
  std::string password;
  if (FAuthentific == atPassword) {
    user = FUserName;
    password = FPassword;
  } else if (FAuthentific != atWindows) {
    throw Exception("Неопределен тип аутентификации");
  }
  const Variant result = CallMethod("ConnectToDBEx", {FDBName, user, password});
  FIsAdmin = result == Variant(1);
  FIdCheckOut = 0;
  LoadTitleAttributes();
}

void TAppMainSystem::LoadTitleAttributes() {
  TDataSetPtr ds = GetTree2(0, 0, "", 1);
  FTitleAttributes.clear();
  // Names are told apart without regard to letter case, by the same rule the
  // datasets use for their field names.
  Dataset seen;
  for (const FieldDef& def : ds->Fields()) {
    const std::string& name = def.name;
    if (name.empty() || name[0] == '_') continue;
    if (seen.FieldIndex(name) >= 0) continue;
    seen.AddField(name, FieldType::Int32);
    FTitleAttributes.push_back(name);
  }
}

int32_t TAppMainSystem::AppVersion() {
  if (FAppVersion == 0) FAppVersion = CallMethod("ApplicationVersion", {}, true).AsInteger();
  return FAppVersion;
}

// ---- check-outs ----

void TAppMainSystem::SelectCheckOut(int32_t IdCheckOut) {
  if (IdCheckOut == FIdCheckOut) return;
  if (IdCheckOut != 0) {
    ConnectToCheckOut(IdCheckOut);
  } else {
    DisconnectCheckOut(FIdCheckOut);
  }
}

bool TAppMainSystem::ConnectToCheckOut(int32_t IdCheckOut) {
  const Variant result = CallMethod("ConnectToCheckOut", {IdCheckOut, FDBName});
  FIdCheckOut = IdCheckOut;
  return ReplyBoolean(result);
}

void TAppMainSystem::DisconnectCheckOut(int32_t IdCheckOut) {
  CallMethod("DisconnectCheckOut", {IdCheckOut, FDBName});
  FIdCheckOut = 0;
}

int32_t TAppMainSystem::CheckOut(const std::string& stTypeName, const std::string& stProductName,
                                 const std::string& stVersionNumber, int32_t inMode) {
  const int32_t id = CallMethod("CheckOut", {stTypeName, stProductName, stVersionNumber, inMode}).AsInteger();
  AddOwnCheckOut(FCheckoutList, id);
  return id;
}

void TAppMainSystem::CheckIn(int32_t IdCheckOut) {
  CallMethod("CheckIn", {IdCheckOut, FDBName});
  if (IdCheckOut == FIdCheckOut) FIdCheckOut = 0;
  FCheckoutList.Remove(IdCheckOut);
}

void TAppMainSystem::CancelCheckOut(int32_t IdCheckOut) {
  CallMethod("CancelCheckOut", {IdCheckOut, FDBName});
  if (IdCheckOut == FIdCheckOut) FIdCheckOut = 0;
  FCheckoutList.Remove(IdCheckOut);
}

void TAppMainSystem::SaveChanges(int32_t IdCheckOut) {
  CallMethod("SaveChanges", {IdCheckOut, FDBName});
  int32_t current = 0;
  if (!TryStrToInt(VariantText(CallMethod("CurrentCheckOut", {}, true)), current)) current = 0;
  FIdCheckOut = current;
}

void TAppMainSystem::AddToCheckOut(int32_t IdCheckOut, int32_t inIdVersion, bool boIsRoot) {
  SelectCheckOut(IdCheckOut);
  CallMethod("AddToCheckOut", {inIdVersion, boIsRoot});
}

void TAppMainSystem::UnlockObject(int32_t IdCheckOut, const std::string& stTypeName,
                                  const std::string& stProductName, const std::string& stVersionNumber,
                                  int32_t inIdVersion, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UnlockObject", {stTypeName, stProductName, stVersionNumber, inIdVersion, inParams});
}

TDataSetPtr TAppMainSystem::GetLockedObjects(int32_t IdCheckOut, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLockedObjects", {inParams});
}

TLocked TAppMainSystem::GetLocked(int32_t IdLock) const {
  if (IdLock == 0) return lFree;
  return FCheckoutList.HaveItem(IdLock) ? lMyLock : lNotMyLock;
}

// ---- general operations ----

TDataSetPtr TAppMainSystem::GetInfoAboutCurrentBase(int32_t inMode) {
  TDataSetPtr ds = GetRecordset("GetInfoAboutCurrentBase", {inMode});
  if (inMode == 2 || inMode == 21) {
    // Built aside first so that a row we cannot read leaves the list intact.
    TIntegerList own(false, false);
    for (ds->First(); !ds->Eof(); ds->Next()) AddOwnCheckOut(own, ds->FieldByName("_CHECKOUTNAME").AsInteger());
    FCheckoutList = std::move(own);
    ds->First();
  }
  return ds;
}

Variant TAppMainSystem::GetDBList() { return CallMethod("GetDBList", {}); }

TDataSetPtr TAppMainSystem::GetDBProperties() { return GetRecordset("GetDBProperties", {}); }

TDataSetPtr TAppMainSystem::GetInfoAboutCurrentUser() { return GetRecordset("GetInfoAboutCurrentUser", {}); }

void TAppMainSystem::ClearTempUserDir() { CallMethod("ClearTempUserDir", {}); }

TDataSetPtr TAppMainSystem::GetTypeList() { return GetRecordset("GetTypeList", {}); }

TDataSetPtr TAppMainSystem::GetInfoAboutType(const std::string& stTypeName, int32_t inMode) {
  return GetRecordset("GetInfoAboutType", {stTypeName, inMode});
}

TDataSetPtr TAppMainSystem::GetStateList() { return GetRecordset("GetStateList", {}); }

TDataSetPtr TAppMainSystem::GetAttributeList() { return GetRecordset("GetAttributeList", {}); }

TDataSetPtr TAppMainSystem::GetInfoAboutAttribute(const std::string& stAttrName, int32_t inMode) {
  return GetRecordset("GetInfoAboutAttribute", {stAttrName, inMode});
}

TDataSetPtr TAppMainSystem::GetInfoAboutCard(const std::string& stCardName, int32_t inMode) {
  return GetRecordset("GetInfoAboutCard", {stCardName, inMode});
}

int32_t TAppMainSystem::ExistsObject(int32_t IdCheckOut, const std::string& stTypeName,
                                     const std::string& stProductName, const std::string& stVersionNumber,
                                     int32_t inIdVersion) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("ExistsObject", {stTypeName, stProductName, stVersionNumber, inIdVersion}).AsInteger();
}

TDataSetPtr TAppMainSystem::CheckUniqueName(const std::string& stTypeName, const std::string& stProductName) {
  return GetRecordset("CheckUniqueName", {stTypeName, stProductName});
}

Variant TAppMainSystem::NewObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stStateName,
                                  const std::string& stProductName, int32_t inProject) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("NewObject", {stTypeName, stStateName, stProductName, inProject});
}

Variant TAppMainSystem::UpObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                                 const std::string& stNewProductName) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("UpObject", {stTypeName, stProductName, stNewProductName});
}

void TAppMainSystem::IsProject(const std::string& stTypeName, const std::string& stProductName, bool boIsProject) {
  CallMethod("IsProject", {stTypeName, stProductName, boIsProject});
}

Variant TAppMainSystem::NewVersionEx(int32_t IdCheckOut, const std::string& stTypeName,
                                     const std::string& stProductName, const std::string& stVersionNumber,
                                     const std::string& stStateName, Variant& vaFileList, int32_t inGroup,
                                     int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("NewVersionEx",
                    {stTypeName, stProductName, stVersionNumber, stStateName, vaFileList, inGroup, inParams});
}

void TAppMainSystem::KillVersionById(int32_t IdCheckOut, int32_t inIdVersion) {
  SelectCheckOut(IdCheckOut);
  CallMethod("KillVersionById", {inIdVersion});
}

TDataSetPtr TAppMainSystem::KillVersions(int32_t IdCheckOut, const std::string& stIds, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("KillVersions", {stIds, inParams});
}

void TAppMainSystem::UpdateStateOnObjectById(int32_t IdCheckOut, int32_t inIdVersion,
                                             const std::string& stStateName) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UpdateStateOnObjectById", {inIdVersion, stStateName});
}

Variant TAppMainSystem::InsertObject(int32_t IdCheckOut, const std::string& stParentType,
                                     const std::string& stParentProduct, const std::string& stParentVersion,
                                     const std::string& stChildType, const std::string& stChildProduct,
                                     const std::string& stChildVersion, const std::string& stLinkType,
                                     const std::string& stState, bool boKeyInsert) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("InsertObject", {stParentType, stParentProduct, stParentVersion, stChildType, stChildProduct,
                                     stChildVersion, stLinkType, stState, boKeyInsert});
}

TDataSetPtr TAppMainSystem::GetInfoAboutVersion(int32_t IdCheckOut, const std::string& stTypeName,
                                                const std::string& stProductName,
                                                const std::string& stVersionNumber, int32_t inIdVersion,
                                                int32_t inMode) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetInfoAboutVersion", {stTypeName, stProductName, stVersionNumber, inIdVersion, inMode});
}

TDataSetPtr TAppMainSystem::GetVersionList(int32_t IdCheckOut, const std::string& stTypeName,
                                           const std::string& stProductName) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetVersionList", {stTypeName, stProductName});
}

TDataSetPtr TAppMainSystem::GetVersionList2(int32_t IdCheckOut, int32_t inIdType, const std::string& stProductName) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetVersionList2", {inIdType, stProductName});
}

TDataSetPtr TAppMainSystem::GetPropObjects2(int32_t IdCheckOut, const std::string& stObjects, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetPropObjects2", {stObjects, inParams});
}

TDataSetPtr TAppMainSystem::GetPropObjects3(int32_t IdCheckOut, const std::string& Ids,
                                            const std::string& stAttrIds) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetPropObjects3", {Ids, stAttrIds});
}

TDataSetPtr TAppMainSystem::GetAttributesValues2(const std::string& stIds, const std::string& stAttrIds) {
  return GetRecordset("GetAttributesValues2", {stIds, stAttrIds});
}

TDataSetPtr TAppMainSystem::GetAttrImageValueById(int32_t IdCheckOut, int32_t inIdVersion,
                                                  const std::string& stAttrName, int32_t inIdLink) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetAttrImageValueById", {inIdVersion, stAttrName, inIdLink});
}

void TAppMainSystem::UpAttrValue(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                                 const std::string& stVersionNumber, const std::string& stAttrName,
                                 Variant& vaAttrValue, const std::string& stIdUnit, bool boDel) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UpAttrValue",
             {stTypeName, stProductName, stVersionNumber, stAttrName, vaAttrValue, stIdUnit, boDel});
}

void TAppMainSystem::UpAttrValueById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stAttrName,
                                     Variant& vaAttrValue, const std::string& stIdUnit, bool boDel) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UpAttrValueById", {inIdVersion, stAttrName, vaAttrValue, stIdUnit, boDel});
}

TDataSetPtr TAppMainSystem::GetTree(int32_t IdCheckOut, const std::string& stTypeName,
                                    const std::string& stProductName, const std::string& stVersionNumber,
                                    int32_t inIdVersion, const std::string& stLinkType, bool boWithAttrs) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetTree",
                      {stTypeName, stProductName, stVersionNumber, inIdVersion, stLinkType, boWithAttrs});
}

TDataSetPtr TAppMainSystem::GetTree2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                                     int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetTree2", {inIdVersion, stLinkType, inParams});
}

TDataSetPtr TAppMainSystem::GetLinks(int32_t IdCheckOut, int32_t inIdVersion1, int32_t inIdVersion2) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinks", {inIdVersion1, inIdVersion2});
}

Variant TAppMainSystem::UpLink(int32_t IdCheckOut, const std::string& stParentType,
                               const std::string& stParentProduct, const std::string& stParentVersion,
                               const std::string& stChildType, const std::string& stChildProduct,
                               const std::string& stChildVersion, int32_t inIdLink, Variant& reMinQuantity,
                               Variant& reMaxQuantity, const std::string& stIdUnit, bool boDel,
                               const std::string& stLinkType) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("UpLink", {stParentType, stParentProduct, stParentVersion, stChildType, stChildProduct,
                               stChildVersion, inIdLink, reMinQuantity, reMaxQuantity, stIdUnit, boDel,
                               stLinkType});
}

TDataSetPtr TAppMainSystem::GetInfoAboutLink(int32_t IdCheckOut, int32_t inIdLink, int32_t inMode) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetInfoAboutLink", {inIdLink, inMode});
}

TDataSetPtr TAppMainSystem::GetLinkAttributes(int32_t IdCheckOut, int32_t inIdLink) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkAttributes", {inIdLink});
}

TDataSetPtr TAppMainSystem::GetLinkAttrForTypes(const std::string& stParentType, const std::string& stChildType,
                                                const std::string& stLinkType) {
  return GetRecordset("GetLinkAttrForTypes", {stParentType, stChildType, stLinkType});
}

void TAppMainSystem::UpLinkAttrValue(int32_t IdCheckOut, int32_t inIdLink, const std::string& stAttrName,
                                     Variant& vaAttrValue, const std::string& stIdUnit, bool boDel) {
  SelectCheckOut(IdCheckOut);
  // The server's operation addresses the link either by its ends (the six
  // leading texts) or by its id; the proxy always uses the id.
  CallMethod("UpLinkAttrValue",
             {"", "", "", "", "", "", inIdLink, stAttrName, vaAttrValue, stIdUnit, boDel, ""});
}

TDataSetPtr TAppMainSystem::GetLinkedFast(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                                          bool boInverse) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkedFast", {inIdVersion, stLinkType, boInverse});
}

TDataSetPtr TAppMainSystem::GetLinkedFast2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                                           bool boInverse) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkedFast2", {inIdVersion, stLinkType, boInverse});
}

TDataSetPtr TAppMainSystem::GetAllLinkedObjects(int32_t IdCheckOut, const std::string& Ids, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetAllLinkedObjects", {Ids, inParams});
}

TDataSetPtr TAppMainSystem::GetLinkedObjectsEx(int32_t IdCheckOut, const std::string& stTypeName,
                                               const std::string& stProductName,
                                               const std::string& stVersionNumber, int32_t inIdVersion,
                                               const std::string& stLinkType, bool boInverse, bool boFullLink,
                                               bool boGroupByProduct) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkedObjectsEx", {stTypeName, stProductName, stVersionNumber, inIdVersion, stLinkType,
                                             boInverse, boFullLink, boGroupByProduct});
}

TDataSetPtr TAppMainSystem::GetLinkedObjects2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                                              bool boInverse, bool boFullLink, bool boGroupByProduct) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkedObjects2", {inIdVersion, stLinkType, boInverse, boFullLink, boGroupByProduct});
}

TDataSetPtr TAppMainSystem::GetLinkedObjectsAndFiles(int32_t IdCheckOut, const std::string& stTypeName,
                                                     const std::string& stProductName,
                                                     const std::string& stVersionNumber,
                                                     const std::string& stLinkType, bool boFullLink,
                                                     bool boViewOnlyDocuments) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLinkedObjectsAndFiles", {stTypeName, stProductName, stVersionNumber, stLinkType,
                                                   boFullLink, boViewOnlyDocuments});
}

TDataSetPtr TAppMainSystem::GetLObjs(int32_t IdCheckOut, int32_t inIdVersion, bool boInverse) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetLObjs", {inIdVersion, boInverse});
}

Variant TAppMainSystem::GetFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                                    const std::string& stFullFilePath) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("GetFileById", {inIdVersion, stFileName, stFullFilePath});
}

Variant TAppMainSystem::GetFile(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                                const std::string& stVersionNumber, const std::string& stFileName,
                                const std::string& stFullFilePath) {
  SelectCheckOut(IdCheckOut);
  return CallMethod("GetFile", {stTypeName, stProductName, stVersionNumber, stFileName, stFullFilePath});
}

void TAppMainSystem::RegistrationOfFile(int32_t IdCheckOut, const std::string& stTypeName,
                                        const std::string& stProductName, const std::string& stVersionNumber,
                                        int32_t inIdVersion, const std::string& stFileName,
                                        const std::string& stFullFilePath) {
  SelectCheckOut(IdCheckOut);
  CallMethod("RegistrationOfFile",
             {stTypeName, stProductName, stVersionNumber, inIdVersion, stFileName, stFullFilePath});
}

std::string TAppMainSystem::ExtractFile(const std::string& stTypeName, const std::string& stProductName,
                                        const std::string& stVersionNumber, int32_t inIdVersion,
                                        const std::string& stFileName, const std::string& stFullFilePath,
                                        int32_t inParams) {
  return CallMethod("ExtractFile",
                    {stTypeName, stProductName, stVersionNumber, inIdVersion, stFileName, stFullFilePath, inParams})
      .AsString();
}

Variant TAppMainSystem::GetFileData(const std::string& stFileName, const std::string& stFullFilePath,
                                    int32_t inPosition, int32_t inCount, int32_t inParams, Variant& inFileSize,
                                    Variant& inReadingByte, Variant& caCRC) {
  // Every argument travels by reference; what the server writes into the
  // name, path, position, count and mode is of no interest to the caller.
  std::string name = stFileName;
  std::string path = stFullFilePath;
  Variant errorCode;
  Variant errorMessage;
  Variant result = CallDirect("GetFileData", {TAppArg::TypedRef(name), TAppArg::TypedRef(path),
                                              TAppArg::TypedRef(inPosition), TAppArg::TypedRef(inCount),
                                              TAppArg::TypedRef(inParams), inFileSize, inReadingByte, caCRC, errorCode,
                                              errorMessage});
  if (IsErrorCode(errorCode)) throw EApiException(VariantText(errorMessage), errorCode);
  return result;
}

void TAppMainSystem::RenameFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                                    const std::string& stFullFilePath, const std::string& stNewFileName,
                                    const std::string& stNewFullFilePath) {
  if (AppVersion() < kRenameWithoutFetchVersion) GetFileById(IdCheckOut, inIdVersion, stFileName, stFullFilePath);
  SelectCheckOut(IdCheckOut);
  CallMethod("RenameFileById", {inIdVersion, stFileName, stFullFilePath, stNewFileName, stNewFullFilePath});
}

void TAppMainSystem::UpFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                                const std::string& stFullFilePath, Variant& vaFileData, TDateTime dtDateOfCreate,
                                bool boDel) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UpFileById", {inIdVersion, stFileName, stFullFilePath, vaFileData, dtDateOfCreate, boDel});
}

TDataSetPtr TAppMainSystem::GetInfoAboutVersionsFiles(int32_t IdCheckOut, const std::string& stIds) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetInfoAboutVersionsFiles", {stIds});
}

void TAppMainSystem::SignFile(int32_t inIdFile, Variant& vaSign) { CallMethod("SignFile", {inIdFile, vaSign}); }

void TAppMainSystem::SignObject(int32_t inIdVersion, Variant& vaSign) {
  CallMethod("SignObject", {inIdVersion, vaSign});
}

TDataSetPtr TAppMainSystem::GetFileSigns(int32_t inIdFile) { return GetRecordset("GetFileSigns", {inIdFile}); }

TDataSetPtr TAppMainSystem::GetProjectListEx(int32_t IdCheckOut, bool boWithAttrs) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetProjectListEx", {boWithAttrs});
}

TDataSetPtr TAppMainSystem::GetProjectList2(int32_t IdCheckOut, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetProjectList2", {inParams});
}

TDataSetPtr TAppMainSystem::FindObjects(int32_t IdCheckOut, const std::string& stTypeName,
                                        const std::string& stProductName, const std::string& stVersionNumber,
                                        const std::string& stStateName, const std::string& stAttrCondition,
                                        const std::string& stProjects, const std::string& stLinkType) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("FindObjects", {stTypeName, stProductName, stVersionNumber, stStateName, stAttrCondition,
                                      stProjects, stLinkType});
}

TDataSetPtr TAppMainSystem::FindObjectsInContext2(int32_t IdCheckOut, const std::string& stContext,
                                                  const std::string& stSearchXML, int32_t inParams) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("FindObjectsInContext2", {stContext, stSearchXML, inParams});
}

TDataSetPtr TAppMainSystem::GetReport(int32_t IdCheckOut, const std::string& ReportName, Variant& vaObjectList,
                                      const std::string& Params) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetReport", {ReportName, vaObjectList, Params});
}

void TAppMainSystem::NewUserSet(const std::string& stUserSet, const std::string& stDBName,
                                const std::string& stParentUserSet) {
  CallMethod("NewUserSet", {stUserSet, stDBName, stParentUserSet});
}

void TAppMainSystem::UpUserSet(const std::string& stUserSet, const std::string& stDBName,
                               const std::string& stNewUserSet, const std::string& stGroupName,
                               int32_t inGroupOperation, bool boDel) {
  CallMethod("UpUserSet", {stUserSet, stDBName, stNewUserSet, stGroupName, inGroupOperation, boDel});
}

TDataSetPtr TAppMainSystem::OpenUserSet2(const std::string& stUserSet, int32_t inParams) {
  return GetRecordset("OpenUserSet2", {stUserSet, inParams});
}

TDataSetPtr TAppMainSystem::GetInfoAboutUserSet(const std::string& stUserSet, const std::string& stDBName,
                                                int32_t inMode) {
  return GetRecordset("GetInfoAboutUserSet", {stUserSet, stDBName, inMode});
}

void TAppMainSystem::UpFindPattern(const std::string& stFindPattern, const std::string& stUserSet,
                                   const std::string& stDBName, const std::string& stTypePattern,
                                   const std::string& stProductPattern, const std::string& stVersionPattern,
                                   const std::string& stStatePattern, const std::string& stAttrCondition,
                                   const std::string& stProjectPattern, int32_t nIdPattern, bool boActive,
                                   bool boDel) {
  CallMethod("UpFindPattern", {stFindPattern, stUserSet, stDBName, stTypePattern, stProductPattern,
                               stVersionPattern, stStatePattern, stAttrCondition, stProjectPattern, nIdPattern,
                               boActive, boDel});
}

TDataSetPtr TAppMainSystem::GetUserList() { return GetRecordset("GetUserList", {}); }

TDataSetPtr TAppMainSystem::GetUserGroupList() { return GetRecordset("GetUserGroupList", {}); }

void TAppMainSystem::UpGrantOnVersion(int32_t IdCheckOut, const std::string& stTypeName,
                                      const std::string& stProductName, const std::string& stVersionNumber,
                                      const std::string& stOrgUnitName, int32_t inPriveleges,
                                      TDateTime dtFinishTime, bool boDel) {
  SelectCheckOut(IdCheckOut);
  CallMethod("UpGrantOnVersion", {stTypeName, stProductName, stVersionNumber, stOrgUnitName, inPriveleges,
                                  dtFinishTime, boDel});
}

TDataSetPtr TAppMainSystem::GetInfoAboutVersionsPrivileges(const std::string& stIds) {
  return GetRecordset("GetInfoAboutVersionsPrivileges", {stIds});
}

TDataSetPtr TAppMainSystem::GetPrivilegesForObjects(int32_t IdCheckOut, const std::string& stIds, int32_t Mode) {
  SelectCheckOut(IdCheckOut);
  return GetRecordset("GetPrivilegesForObjects", {stIds, Mode});
}

TDataSetPtr TAppMainSystem::GrantRightsForObjects(Variant& objects) {
  return GetRecordset("GrantRightsForObjects", {objects});
}

TDataSetPtr TAppMainSystem::GrantRightsForObjectsR(Variant& objects) {
  return GetRecordset("GrantRightsForObjectsR", {objects});
}

void TAppMainSystem::Subscribe(int32_t inIdVersion, int32_t inDeliveryType, const std::string& stEventCodes) {
  CallMethod("Subscribe", {inIdVersion, inDeliveryType, stEventCodes});
}

void TAppMainSystem::SubscribeObjects(Variant& ids, int32_t deliveryType, const std::string& events) {
  CallMethod("SubscribeObjects", {ids, deliveryType, events});
}

TDataSetPtr TAppMainSystem::GetNotifies(int32_t inDeliveryType, bool boClearNotifies) {
  return GetRecordset("GetNotifies", {inDeliveryType, boClearNotifies});
}

TDataSetPtr TAppMainSystem::GetSubscribedObjects(bool boOnlyStandart) {
  return GetRecordset("GetSubscribedObjects", {boOnlyStandart});
}

TDataSetPtr TAppMainSystem::GetSubscribes(int32_t inIdVersion, bool boOnlyStandart) {
  return GetRecordset("GetSubscribes", {inIdVersion, boOnlyStandart});
}

}  // namespace brevalon
