// Session of the reference main-system server (objects, versions, files,
// attributes, searches, rights, check-outs) for one connection: its signed-in
// user, its current check-out and the files extracted for reading. The
// operations and their answers are described in docs/appserver.md.
//
// Created by the RDC server's session factory per connection and called one
// call at a time; shares only the Store.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "appserver/session_base.h"

namespace brevalon::appserver {

inline constexpr const char* kMainSystemClass = "{392BA982-A82F-44AB-BA8A-69BE25199F73}";

class MainSystemSession : public SessionBase {
 public:
  MainSystemSession(Store& store, int32_t appVersion) : SessionBase(store, "main"), appVersion_(appVersion) {}

  Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) override;
  Variant GetProperty(const std::string& name, RdcCallContext& ctx) override;

 private:
  using Op = Operation<MainSystemSession>;
  static const std::vector<Op>& Operations();

  Variant ConnectToDBEx(Args& a, RdcCallContext& ctx);
  Variant GetDBProperties(Args& a, RdcCallContext& ctx);
  Variant GetTypeList(Args& a, RdcCallContext& ctx);
  Variant GetAttributeList(Args& a, RdcCallContext& ctx);
  Variant GetStateList(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutCurrentBase(Args& a, RdcCallContext& ctx);
  Variant GetTree2(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutVersion(Args& a, RdcCallContext& ctx);
  Variant ExistsObject(Args& a, RdcCallContext& ctx);
  Variant GetPropObjects2(Args& a, RdcCallContext& ctx);
  Variant GetLinkedObjects2(Args& a, RdcCallContext& ctx);
  Variant GetReport(Args& a, RdcCallContext& ctx);
  Variant FindObjectsInContext2(Args& a, RdcCallContext& ctx);
  Variant ExtractFile(Args& a, RdcCallContext& ctx);
  Variant GetFileData(Args& a, RdcCallContext& ctx);
  Variant UpGrantOnVersion(Args& a, RdcCallContext& ctx);
  Variant ConnectToCheckOut(Args& a, RdcCallContext& ctx);
  Variant DisconnectCheckOut(Args& a, RdcCallContext& ctx);
  Variant CheckOut(Args& a, RdcCallContext& ctx);
  Variant CheckIn(Args& a, RdcCallContext& ctx);
  Variant CancelCheckOut(Args& a, RdcCallContext& ctx);
  Variant SaveChanges(Args& a, RdcCallContext& ctx);
  Variant AddToCheckOut(Args& a, RdcCallContext& ctx);
  Variant UnlockObject(Args& a, RdcCallContext& ctx);
  Variant GetLockedObjects(Args& a, RdcCallContext& ctx);

  // Helpers running inside a transaction.
  int64_t ResolveVersion(SqliteDb& db, const std::string& type, const std::string& product,
                         const std::string& version, int32_t id) const;
  int32_t AccessLevel(SqliteDb& db, int64_t versionId) const;
  void RequireAccess(SqliteDb& db, int64_t versionId, int32_t level) const;
  void RequireOwnCheckOut(SqliteDb& db, int32_t checkOut) const;
  void CheckDatabaseName(const std::string& name) const;
  Variant VersionRows(const std::string& where, const std::vector<int64_t>& ids) const;
  Variant ReleaseCheckOut(int32_t checkOut, const std::string& dbName);

  const int32_t appVersion_;
  int32_t checkOut_ = 0;
  // (file name, stored name) -> file id, for the files ExtractFile made
  // readable in this session.
  std::map<std::pair<std::string, std::string>, int64_t> extracted_;
};

}  // namespace brevalon::appserver
