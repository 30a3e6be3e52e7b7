// TAppMainSystem: the proxy of the main-system application server (objects,
// versions, links, attributes, files, rights, searches). It keeps the sign-in
// data of one user and signs in with it, also again after a lost connection;
// it keeps track of the check-out the server currently works in and of the
// check-outs this user holds; it caches the server's version; and it offers
// one method per server operation.
//
// Operations whose first parameter is IdCheckOut first make that check-out
// the server's current one (nothing is sent when it already is) and do not
// send it. Datasets returned are owned by the caller. A parameter taken as
// Variant& is sent by reference: the server may write it.
//
// Owned by the session logic; used only on the session's worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pdm/app_brevalon.h"
#include "pdm/pdm_rows.h"
#include "data/dataset.h"
#include "data/variant.h"
#include "util/integer_list.h"

namespace brevalon {

inline constexpr const char* kMainSystemServerGUID = "{392BA982-A82F-44AB-BA8A-69BE25199F73}";

class TAppMainSystem : public TAppBrevalon {
 public:
  TAppMainSystem();
  ~TAppMainSystem() override;

  // ---- properties ----
  // The server's date-coded version (yyyymmdd), read once per connection.
  int32_t AppVersion();
  const std::string& DBName() const { return FDBName; }
  void SetDBName(std::string Value) { FDBName = std::move(Value); }
  int32_t Authentific() const { return FAuthentific; }
  void SetAuthentific(int32_t Value) { FAuthentific = Value; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string Value) { FUserName = std::move(Value); }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string Value) { FPassword = std::move(Value); }
  bool IsAdmin() const { return FIsAdmin; }
  // Names of the attributes that make up an object's title, in field order.
  const std::vector<std::string>& TitleAttributes() const { return FTitleAttributes; }
  // The check-out currently selected on the server (0 = none) and the
  // check-outs held by this user.
  int32_t IdCheckOut() const { return FIdCheckOut; }
  const TIntegerList& CheckoutList() const { return FCheckoutList; }

  // ---- overrides ----
  void AssignParams(const TAppBrevalon& Source) override;
  void Disconnect() override;

  // Signs in with DBName and the credentials of Authentific, then reads the
  // title attributes. Raises Exception "Неопределен тип аутентификации" for
  // an unknown kind (nothing sent).
  void ConnectToDB();

  // ---- check-outs ----
  bool ConnectToCheckOut(int32_t IdCheckOut);
  void DisconnectCheckOut(int32_t IdCheckOut);
  int32_t CheckOut(const std::string& stTypeName, const std::string& stProductName,
                   const std::string& stVersionNumber, int32_t inMode);
  void CheckIn(int32_t IdCheckOut);
  void CancelCheckOut(int32_t IdCheckOut);
  void SaveChanges(int32_t IdCheckOut);
  void AddToCheckOut(int32_t IdCheckOut, int32_t inIdVersion, bool boIsRoot);
  void UnlockObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                    const std::string& stVersionNumber, int32_t inIdVersion, int32_t inParams);
  TDataSetPtr GetLockedObjects(int32_t IdCheckOut, int32_t inParams);
  // Who holds a lock; no server call.
  TLocked GetLocked(int32_t IdLock) const;

  // ---- general operations ----
  // With inMode 2 or 21 the rows' "_CHECKOUTNAME" become the own check-outs.
  TDataSetPtr GetInfoAboutCurrentBase(int32_t inMode);
  Variant GetDBList();
  TDataSetPtr GetDBProperties();
  TDataSetPtr GetInfoAboutCurrentUser();
  void ClearTempUserDir();
  TDataSetPtr GetTypeList();
  TDataSetPtr GetInfoAboutType(const std::string& stTypeName, int32_t inMode);
  TDataSetPtr GetStateList();
  TDataSetPtr GetAttributeList();
  TDataSetPtr GetInfoAboutAttribute(const std::string& stAttrName, int32_t inMode);
  TDataSetPtr GetInfoAboutCard(const std::string& stCardName, int32_t inMode);
  int32_t ExistsObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                       const std::string& stVersionNumber, int32_t inIdVersion);
  TDataSetPtr CheckUniqueName(const std::string& stTypeName, const std::string& stProductName);
  Variant NewObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stStateName,
                    const std::string& stProductName, int32_t inProject);
  Variant UpObject(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                   const std::string& stNewProductName);
  void IsProject(const std::string& stTypeName, const std::string& stProductName, bool boIsProject);
  Variant NewVersionEx(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                       const std::string& stVersionNumber, const std::string& stStateName, Variant& vaFileList,
                       int32_t inGroup, int32_t inParams);
  void KillVersionById(int32_t IdCheckOut, int32_t inIdVersion);
  TDataSetPtr KillVersions(int32_t IdCheckOut, const std::string& stIds, int32_t inParams);
  void UpdateStateOnObjectById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stStateName);
  Variant InsertObject(int32_t IdCheckOut, const std::string& stParentType, const std::string& stParentProduct,
                       const std::string& stParentVersion, const std::string& stChildType,
                       const std::string& stChildProduct, const std::string& stChildVersion,
                       const std::string& stLinkType, const std::string& stState, bool boKeyInsert);
  TDataSetPtr GetInfoAboutVersion(int32_t IdCheckOut, const std::string& stTypeName,
                                  const std::string& stProductName, const std::string& stVersionNumber,
                                  int32_t inIdVersion, int32_t inMode);
  TDataSetPtr GetVersionList(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName);
  TDataSetPtr GetVersionList2(int32_t IdCheckOut, int32_t inIdType, const std::string& stProductName);
  TDataSetPtr GetPropObjects2(int32_t IdCheckOut, const std::string& stObjects, int32_t inParams);
  TDataSetPtr GetPropObjects3(int32_t IdCheckOut, const std::string& Ids, const std::string& stAttrIds);
  TDataSetPtr GetAttributesValues2(const std::string& stIds, const std::string& stAttrIds);
  TDataSetPtr GetAttrImageValueById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stAttrName,
                                    int32_t inIdLink);
  void UpAttrValue(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                   const std::string& stVersionNumber, const std::string& stAttrName, Variant& vaAttrValue,
                   const std::string& stIdUnit, bool boDel);
  void UpAttrValueById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stAttrName,
                       Variant& vaAttrValue, const std::string& stIdUnit, bool boDel);
  TDataSetPtr GetTree(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                      const std::string& stVersionNumber, int32_t inIdVersion, const std::string& stLinkType,
                      bool boWithAttrs);
  TDataSetPtr GetTree2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType, int32_t inParams);
  TDataSetPtr GetLinks(int32_t IdCheckOut, int32_t inIdVersion1, int32_t inIdVersion2);
  Variant UpLink(int32_t IdCheckOut, const std::string& stParentType, const std::string& stParentProduct,
                 const std::string& stParentVersion, const std::string& stChildType,
                 const std::string& stChildProduct, const std::string& stChildVersion, int32_t inIdLink,
                 Variant& reMinQuantity, Variant& reMaxQuantity, const std::string& stIdUnit, bool boDel,
                 const std::string& stLinkType);
  TDataSetPtr GetInfoAboutLink(int32_t IdCheckOut, int32_t inIdLink, int32_t inMode);
  TDataSetPtr GetLinkAttributes(int32_t IdCheckOut, int32_t inIdLink);
  TDataSetPtr GetLinkAttrForTypes(const std::string& stParentType, const std::string& stChildType,
                                  const std::string& stLinkType);
  // Sent as six empty texts, inIdLink, stAttrName, vaAttrValue, stIdUnit,
  // boDel and an empty text.
  void UpLinkAttrValue(int32_t IdCheckOut, int32_t inIdLink, const std::string& stAttrName, Variant& vaAttrValue,
                       const std::string& stIdUnit, bool boDel);
  TDataSetPtr GetLinkedFast(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType, bool boInverse);
  TDataSetPtr GetLinkedFast2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                             bool boInverse);
  TDataSetPtr GetAllLinkedObjects(int32_t IdCheckOut, const std::string& Ids, int32_t inParams);
  TDataSetPtr GetLinkedObjectsEx(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                                 const std::string& stVersionNumber, int32_t inIdVersion,
                                 const std::string& stLinkType, bool boInverse, bool boFullLink,
                                 bool boGroupByProduct);
  TDataSetPtr GetLinkedObjects2(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stLinkType,
                                bool boInverse, bool boFullLink, bool boGroupByProduct);
  TDataSetPtr GetLinkedObjectsAndFiles(int32_t IdCheckOut, const std::string& stTypeName,
                                       const std::string& stProductName, const std::string& stVersionNumber,
                                       const std::string& stLinkType, bool boFullLink, bool boViewOnlyDocuments);
  TDataSetPtr GetLObjs(int32_t IdCheckOut, int32_t inIdVersion, bool boInverse);
  Variant GetFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                      const std::string& stFullFilePath);
  Variant GetFile(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                  const std::string& stVersionNumber, const std::string& stFileName,
                  const std::string& stFullFilePath);
  void RegistrationOfFile(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                          const std::string& stVersionNumber, int32_t inIdVersion, const std::string& stFileName,
                          const std::string& stFullFilePath);
  std::string ExtractFile(const std::string& stTypeName, const std::string& stProductName,
                          const std::string& stVersionNumber, int32_t inIdVersion, const std::string& stFileName,
                          const std::string& stFullFilePath, int32_t inParams);
  // Direct call: every argument by reference, then the error pair, which is
  // checked (EApiException); no reconnection, retry or notification. Returns
  // the bytes read; size, bytes read and checksum are written back.
  Variant GetFileData(const std::string& stFileName, const std::string& stFullFilePath, int32_t inPosition,
                      int32_t inCount, int32_t inParams, Variant& inFileSize, Variant& inReadingByte,
                      Variant& caCRC);
  // Servers older than 20090306 need the file fetched (GetFileById) first.
  void RenameFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                      const std::string& stFullFilePath, const std::string& stNewFileName,
                      const std::string& stNewFullFilePath);
  void UpFileById(int32_t IdCheckOut, int32_t inIdVersion, const std::string& stFileName,
                  const std::string& stFullFilePath, Variant& vaFileData, TDateTime dtDateOfCreate, bool boDel);
  TDataSetPtr GetInfoAboutVersionsFiles(int32_t IdCheckOut, const std::string& stIds);
  void SignFile(int32_t inIdFile, Variant& vaSign);
  void SignObject(int32_t inIdVersion, Variant& vaSign);
  TDataSetPtr GetFileSigns(int32_t inIdFile);
  TDataSetPtr GetProjectListEx(int32_t IdCheckOut, bool boWithAttrs);
  TDataSetPtr GetProjectList2(int32_t IdCheckOut, int32_t inParams);
  TDataSetPtr FindObjects(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                          const std::string& stVersionNumber, const std::string& stStateName,
                          const std::string& stAttrCondition, const std::string& stProjects,
                          const std::string& stLinkType);
  TDataSetPtr FindObjectsInContext2(int32_t IdCheckOut, const std::string& stContext,
                                    const std::string& stSearchXML, int32_t inParams);
  TDataSetPtr GetReport(int32_t IdCheckOut, const std::string& ReportName, Variant& vaObjectList,
                        const std::string& Params);
  void NewUserSet(const std::string& stUserSet, const std::string& stDBName, const std::string& stParentUserSet);
  void UpUserSet(const std::string& stUserSet, const std::string& stDBName, const std::string& stNewUserSet,
                 const std::string& stGroupName, int32_t inGroupOperation, bool boDel);
  TDataSetPtr OpenUserSet2(const std::string& stUserSet, int32_t inParams);
  TDataSetPtr GetInfoAboutUserSet(const std::string& stUserSet, const std::string& stDBName, int32_t inMode);
  void UpFindPattern(const std::string& stFindPattern, const std::string& stUserSet, const std::string& stDBName,
                     const std::string& stTypePattern, const std::string& stProductPattern,
                     const std::string& stVersionPattern, const std::string& stStatePattern,
                     const std::string& stAttrCondition, const std::string& stProjectPattern, int32_t nIdPattern,
                     bool boActive, bool boDel);
  TDataSetPtr GetUserList();
  TDataSetPtr GetUserGroupList();
  void UpGrantOnVersion(int32_t IdCheckOut, const std::string& stTypeName, const std::string& stProductName,
                        const std::string& stVersionNumber, const std::string& stOrgUnitName, int32_t inPriveleges,
                        TDateTime dtFinishTime, bool boDel);
  TDataSetPtr GetInfoAboutVersionsPrivileges(const std::string& stIds);
  TDataSetPtr GetPrivilegesForObjects(int32_t IdCheckOut, const std::string& stIds, int32_t Mode);
  TDataSetPtr GrantRightsForObjects(Variant& objects);
  TDataSetPtr GrantRightsForObjectsR(Variant& objects);
  void Subscribe(int32_t inIdVersion, int32_t inDeliveryType, const std::string& stEventCodes);
  void SubscribeObjects(Variant& ids, int32_t deliveryType, const std::string& events);
  TDataSetPtr GetNotifies(int32_t inDeliveryType, bool boClearNotifies);
  TDataSetPtr GetSubscribedObjects(bool boOnlyStandart);
  TDataSetPtr GetSubscribes(int32_t inIdVersion, bool boOnlyStandart);

 protected:
  // Signs in again with the stored data and re-selects the check-out that
  // was current.
  void RestoreSession() override;

 private:
  // Makes IdCheckOut the server's current check-out.
  void SelectCheckOut(int32_t IdCheckOut);
  void LoadTitleAttributes();

  bool FIsAdmin = false;
  int32_t FAppVersion = 0;
  std::string FDBName;
  int32_t FIdCheckOut = 0;
  int32_t FAuthentific = atUndefined;
  std::string FUserName;
  std::string FPassword;
  TIntegerList FCheckoutList{false, false};
  std::vector<std::string> FTitleAttributes;
};

}  // namespace brevalon
