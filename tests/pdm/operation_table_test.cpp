// Every operation of both proxies, as the server receives it: the operation
// name and the argument list in order, with by-reference arguments marked.
// A wrong order, a dropped or extra argument, a value sent where a reference
// belongs, or a selected check-out sent along shows up here.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "scripted_server.h"

namespace brevalon {
namespace {

using testing::Ref;
using testing::Reply;
using testing::ScriptedServer;
using testing::Val;
using testing::WireArg;

const WireArg kEmptyRef = Ref(Variant());

struct Expected {
  std::string name;
  std::vector<WireArg> args;
  bool errorPair = true;  // false: `args` is the whole list (direct calls)
};

struct Case {
  const char* label;
  std::function<void(TAppMainSystem&, TAppWorkFlow&)> call;
  std::vector<Expected> calls;
};

using M = TAppMainSystem;
using W = TAppWorkFlow;

std::vector<uint8_t> DbListPacket() {
  Dataset ds;
  ds.AddField("_X", FieldType::Int32);
  ds.AppendRow({Variant(int32_t{1})});
  return ds.SaveToBytes();
}

std::vector<Case> Cases(const std::string& addr) {
  const Variant va("va");
  return {
      // ---- main system: sign-in and check-outs ----
      {"ConnectToDB",
       [](M& m, W&) {
         m.SetAuthentific(atPassword);
         m.SetUserName("user");
         m.SetPassword("pw");
         m.ConnectToDB();
       },
       {{"ConnectToDBEx", {Val("db"), Val("user"), Val("pw")}}, {"GetTree2", {Val(0), Val(""), Val(1)}}}},
      // Selects 5 until the next case deselects it; otherwise every later case
      // would start with a "DisconnectCheckOut" of its own.
      {"ConnectToCheckOut", [](M& m, W&) { m.ConnectToCheckOut(5); }, {{"ConnectToCheckOut", {Val(5), Val("db")}}}},
      {"DisconnectCheckOut", [](M& m, W&) { m.DisconnectCheckOut(5); },
       {{"DisconnectCheckOut", {Val(5), Val("db")}}}},
      {"CheckOut", [](M& m, W&) { m.CheckOut("type", "prod", "ver", 1); },
       {{"CheckOut", {Val("type"), Val("prod"), Val("ver"), Val(1)}}}},
      {"CheckIn", [](M& m, W&) { m.CheckIn(6); }, {{"CheckIn", {Val(6), Val("db")}}}},
      {"CancelCheckOut", [](M& m, W&) { m.CancelCheckOut(6); }, {{"CancelCheckOut", {Val(6), Val("db")}}}},
      {"SaveChanges", [](M& m, W&) { m.SaveChanges(0); }, {{"SaveChanges", {Val(0), Val("db")}}}},
      {"AddToCheckOut", [](M& m, W&) { m.AddToCheckOut(0, 46, true); },
       {{"AddToCheckOut", {Val(46), Val(true)}}}},
      {"UnlockObject", [](M& m, W&) { m.UnlockObject(0, "type", "prod", "ver", 47, 2); },
       {{"UnlockObject", {Val("type"), Val("prod"), Val("ver"), Val(47), Val(2)}}}},
      {"GetLockedObjects", [](M& m, W&) { m.GetLockedObjects(0, 3); }, {{"GetLockedObjects", {Val(3)}}}},
      // ---- main system: general operations ----
      {"GetInfoAboutCurrentBase", [](M& m, W&) { m.GetInfoAboutCurrentBase(10); },
       {{"GetInfoAboutCurrentBase", {Val(10)}}}},
      {"GetDBList", [](M& m, W&) { m.GetDBList(); }, {{"GetDBList", {}}}},
      {"GetDBProperties", [](M& m, W&) { m.GetDBProperties(); }, {{"GetDBProperties", {}}}},
      {"M.GetInfoAboutCurrentUser", [](M& m, W&) { m.GetInfoAboutCurrentUser(); },
       {{"GetInfoAboutCurrentUser", {}}}},
      {"ClearTempUserDir", [](M& m, W&) { m.ClearTempUserDir(); }, {{"ClearTempUserDir", {}}}},
      {"GetTypeList", [](M& m, W&) { m.GetTypeList(); }, {{"GetTypeList", {}}}},
      {"GetInfoAboutType", [](M& m, W&) { m.GetInfoAboutType("type", 3); },
       {{"GetInfoAboutType", {Val("type"), Val(3)}}}},
      {"GetStateList", [](M& m, W&) { m.GetStateList(); }, {{"GetStateList", {}}}},
      {"GetAttributeList", [](M& m, W&) { m.GetAttributeList(); }, {{"GetAttributeList", {}}}},
      {"GetInfoAboutAttribute", [](M& m, W&) { m.GetInfoAboutAttribute("attr", 4); },
       {{"GetInfoAboutAttribute", {Val("attr"), Val(4)}}}},
      {"GetInfoAboutCard", [](M& m, W&) { m.GetInfoAboutCard("card", 5); },
       {{"GetInfoAboutCard", {Val("card"), Val(5)}}}},
      {"ExistsObject", [](M& m, W&) { m.ExistsObject(0, "type", "prod", "ver", 11); },
       {{"ExistsObject", {Val("type"), Val("prod"), Val("ver"), Val(11)}}}},
      {"CheckUniqueName", [](M& m, W&) { m.CheckUniqueName("type", "prod"); },
       {{"CheckUniqueName", {Val("type"), Val("prod")}}}},
      {"NewObject", [](M& m, W&) { m.NewObject(0, "type", "state", "prod", 12); },
       {{"NewObject", {Val("type"), Val("state"), Val("prod"), Val(12)}}}},
      {"UpObject", [](M& m, W&) { m.UpObject(0, "type", "prod", "newprod"); },
       {{"UpObject", {Val("type"), Val("prod"), Val("newprod")}}}},
      {"IsProject", [](M& m, W&) { m.IsProject("type", "prod", true); },
       {{"IsProject", {Val("type"), Val("prod"), Val(true)}}}},
      {"NewVersionEx",
       [](M& m, W&) {
         Variant files("files");
         m.NewVersionEx(0, "type", "prod", "ver", "state", files, 13, 14);
       },
       {{"NewVersionEx", {Val("type"), Val("prod"), Val("ver"), Val("state"), Ref("files"), Val(13), Val(14)}}}},
      {"KillVersionById", [](M& m, W&) { m.KillVersionById(0, 15); }, {{"KillVersionById", {Val(15)}}}},
      {"KillVersions", [](M& m, W&) { m.KillVersions(0, "1,2", 16); },
       {{"KillVersions", {Val("1,2"), Val(16)}}}},
      {"UpdateStateOnObjectById", [](M& m, W&) { m.UpdateStateOnObjectById(0, 17, "state"); },
       {{"UpdateStateOnObjectById", {Val(17), Val("state")}}}},
      {"InsertObject", [](M& m, W&) { m.InsertObject(0, "pt", "pp", "pv", "ct", "cp", "cv", "lt", "st", false); },
       {{"InsertObject", {Val("pt"), Val("pp"), Val("pv"), Val("ct"), Val("cp"), Val("cv"), Val("lt"), Val("st"),
                          Val(false)}}}},
      {"GetInfoAboutVersion", [](M& m, W&) { m.GetInfoAboutVersion(0, "type", "prod", "ver", 18, 7); },
       {{"GetInfoAboutVersion", {Val("type"), Val("prod"), Val("ver"), Val(18), Val(7)}}}},
      {"GetVersionList", [](M& m, W&) { m.GetVersionList(0, "type", "prod"); },
       {{"GetVersionList", {Val("type"), Val("prod")}}}},
      {"GetVersionList2", [](M& m, W&) { m.GetVersionList2(0, 19, "prod"); },
       {{"GetVersionList2", {Val(19), Val("prod")}}}},
      {"GetPropObjects2", [](M& m, W&) { m.GetPropObjects2(0, "5,7", 0); },
       {{"GetPropObjects2", {Val("5,7"), Val(0)}}}},
      {"GetPropObjects3", [](M& m, W&) { m.GetPropObjects3(0, "5,7", "1,2"); },
       {{"GetPropObjects3", {Val("5,7"), Val("1,2")}}}},
      {"GetAttributesValues2", [](M& m, W&) { m.GetAttributesValues2("5,7", "1,2"); },
       {{"GetAttributesValues2", {Val("5,7"), Val("1,2")}}}},
      {"GetAttrImageValueById", [](M& m, W&) { m.GetAttrImageValueById(0, 20, "attr", 21); },
       {{"GetAttrImageValueById", {Val(20), Val("attr"), Val(21)}}}},
      {"UpAttrValue",
       [va](M& m, W&) {
         Variant v = va;
         m.UpAttrValue(0, "type", "prod", "ver", "attr", v, "unit", true);
       },
       {{"UpAttrValue", {Val("type"), Val("prod"), Val("ver"), Val("attr"), Ref(va), Val("unit"), Val(true)}}}},
      {"UpAttrValueById",
       [va](M& m, W&) {
         Variant v = va;
         m.UpAttrValueById(0, 22, "attr", v, "unit", false);
       },
       {{"UpAttrValueById", {Val(22), Val("attr"), Ref(va), Val("unit"), Val(false)}}}},
      {"GetTree", [](M& m, W&) { m.GetTree(0, "type", "prod", "ver", 23, "lt", true); },
       {{"GetTree", {Val("type"), Val("prod"), Val("ver"), Val(23), Val("lt"), Val(true)}}}},
      {"GetTree2", [](M& m, W&) { m.GetTree2(0, 24, "lt", 1); }, {{"GetTree2", {Val(24), Val("lt"), Val(1)}}}},
      {"GetLinks", [](M& m, W&) { m.GetLinks(0, 25, 26); }, {{"GetLinks", {Val(25), Val(26)}}}},
      {"UpLink",
       [](M& m, W&) {
         Variant lo(1.5), hi(2.5);
         m.UpLink(0, "pt", "pp", "pv", "ct", "cp", "cv", 27, lo, hi, "unit", true, "lt");
       },
       {{"UpLink", {Val("pt"), Val("pp"), Val("pv"), Val("ct"), Val("cp"), Val("cv"), Val(27), Ref(1.5), Ref(2.5),
                    Val("unit"), Val(true), Val("lt")}}}},
      {"GetInfoAboutLink", [](M& m, W&) { m.GetInfoAboutLink(0, 28, 2); },
       {{"GetInfoAboutLink", {Val(28), Val(2)}}}},
      {"GetLinkAttributes", [](M& m, W&) { m.GetLinkAttributes(0, 29); }, {{"GetLinkAttributes", {Val(29)}}}},
      {"GetLinkAttrForTypes", [](M& m, W&) { m.GetLinkAttrForTypes("pt", "ct", "lt"); },
       {{"GetLinkAttrForTypes", {Val("pt"), Val("ct"), Val("lt")}}}},
      {"UpLinkAttrValue",
       [va](M& m, W&) {
         Variant v = va;
         m.UpLinkAttrValue(0, 12, "attr", v, "", false);
       },
       {{"UpLinkAttrValue", {Val(""), Val(""), Val(""), Val(""), Val(""), Val(""), Val(12), Val("attr"), Ref(va),
                             Val(""), Val(false), Val("")}}}},
      {"GetLinkedFast", [](M& m, W&) { m.GetLinkedFast(0, 30, "lt", true); },
       {{"GetLinkedFast", {Val(30), Val("lt"), Val(true)}}}},
      {"GetLinkedFast2", [](M& m, W&) { m.GetLinkedFast2(0, 31, "lt", false); },
       {{"GetLinkedFast2", {Val(31), Val("lt"), Val(false)}}}},
      {"GetAllLinkedObjects", [](M& m, W&) { m.GetAllLinkedObjects(0, "5,7", 3); },
       {{"GetAllLinkedObjects", {Val("5,7"), Val(3)}}}},
      {"GetLinkedObjectsEx",
       [](M& m, W&) { m.GetLinkedObjectsEx(0, "type", "prod", "ver", 32, "lt", true, false, true); },
       {{"GetLinkedObjectsEx", {Val("type"), Val("prod"), Val("ver"), Val(32), Val("lt"), Val(true), Val(false),
                                Val(true)}}}},
      {"GetLinkedObjects2", [](M& m, W&) { m.GetLinkedObjects2(0, 33, "состоит из...", false, true, false); },
       {{"GetLinkedObjects2", {Val(33), Val("состоит из..."), Val(false), Val(true), Val(false)}}}},
      {"GetLinkedObjectsAndFiles",
       [](M& m, W&) { m.GetLinkedObjectsAndFiles(0, "type", "prod", "ver", "lt", true, false); },
       {{"GetLinkedObjectsAndFiles", {Val("type"), Val("prod"), Val("ver"), Val("lt"), Val(true), Val(false)}}}},
      {"GetLObjs", [](M& m, W&) { m.GetLObjs(0, 34, true); }, {{"GetLObjs", {Val(34), Val(true)}}}},
      {"GetFileById", [](M& m, W&) { m.GetFileById(0, 35, "file", "path"); },
       {{"GetFileById", {Val(35), Val("file"), Val("path")}}}},
      {"GetFile", [](M& m, W&) { m.GetFile(0, "type", "prod", "ver", "file", "path"); },
       {{"GetFile", {Val("type"), Val("prod"), Val("ver"), Val("file"), Val("path")}}}},
      {"RegistrationOfFile", [](M& m, W&) { m.RegistrationOfFile(0, "type", "prod", "ver", 36, "file", "path"); },
       {{"RegistrationOfFile", {Val("type"), Val("prod"), Val("ver"), Val(36), Val("file"), Val("path")}}}},
      {"ExtractFile", [](M& m, W&) { m.ExtractFile("type", "prod", "ver", 37, "file", "path", 1); },
       {{"ExtractFile", {Val("type"), Val("prod"), Val("ver"), Val(37), Val("file"), Val("path"), Val(1)}}}},
      {"GetFileData",
       [](M& m, W&) {
         Variant size(int32_t{0}), read(int32_t{0}), crc(int32_t{0});
         m.GetFileData("file", "path", 100, 200, 1, size, read, crc);
       },
       {{"GetFileData",
         {Ref("file"), Ref("path"), Ref(100), Ref(200), Ref(1), Ref(0), Ref(0), Ref(0), kEmptyRef, kEmptyRef},
         false}}},
      {"RenameFileById", [](M& m, W&) { m.RenameFileById(0, 38, "file", "path", "newfile", "newpath"); },
       {{"RenameFileById", {Val(38), Val("file"), Val("path"), Val("newfile"), Val("newpath")}}}},
      {"UpFileById",
       [](M& m, W&) {
         Variant data(std::vector<uint8_t>{1, 2});
         m.UpFileById(0, 39, "file", "path", data, 45000.5, true);
       },
       {{"UpFileById", {Val(39), Val("file"), Val("path"), Ref(std::vector<uint8_t>{1, 2}), Val(45000.5),
                        Val(true)}}}},
      {"GetInfoAboutVersionsFiles", [](M& m, W&) { m.GetInfoAboutVersionsFiles(0, "5,7"); },
       {{"GetInfoAboutVersionsFiles", {Val("5,7")}}}},
      {"SignFile",
       [](M& m, W&) {
         Variant sign("sig");
         m.SignFile(40, sign);
       },
       {{"SignFile", {Val(40), Ref("sig")}}}},
      {"SignObject",
       [](M& m, W&) {
         Variant sign("sig");
         m.SignObject(41, sign);
       },
       {{"SignObject", {Val(41), Ref("sig")}}}},
      {"GetFileSigns", [](M& m, W&) { m.GetFileSigns(42); }, {{"GetFileSigns", {Val(42)}}}},
      {"GetProjectListEx", [](M& m, W&) { m.GetProjectListEx(0, true); }, {{"GetProjectListEx", {Val(true)}}}},
      {"GetProjectList2", [](M& m, W&) { m.GetProjectList2(0, 2); }, {{"GetProjectList2", {Val(2)}}}},
      {"FindObjects", [](M& m, W&) { m.FindObjects(0, "type", "prod", "ver", "state", "cond", "proj", "lt"); },
       {{"FindObjects", {Val("type"), Val("prod"), Val("ver"), Val("state"), Val("cond"), Val("proj"),
                         Val("lt")}}}},
      {"FindObjectsInContext2", [](M& m, W&) { m.FindObjectsInContext2(0, "", "<xml/>", 0); },
       {{"FindObjectsInContext2", {Val(""), Val("<xml/>"), Val(0)}}}},
      {"GetReport",
       [](M& m, W&) {
         Variant list(std::vector<int32_t>{5});
         m.GetReport(0, "rep_SEARCH", list, "text");
       },
       {{"GetReport", {Val("rep_SEARCH"), Ref(std::vector<int32_t>{5}), Val("text")}}}},
      {"NewUserSet", [](M& m, W&) { m.NewUserSet("set", "db2", "parent"); },
       {{"NewUserSet", {Val("set"), Val("db2"), Val("parent")}}}},
      {"UpUserSet", [](M& m, W&) { m.UpUserSet("set", "db2", "newset", "group", 2, false); },
       {{"UpUserSet", {Val("set"), Val("db2"), Val("newset"), Val("group"), Val(2), Val(false)}}}},
      {"OpenUserSet2", [](M& m, W&) { m.OpenUserSet2("set", 3); }, {{"OpenUserSet2", {Val("set"), Val(3)}}}},
      {"GetInfoAboutUserSet", [](M& m, W&) { m.GetInfoAboutUserSet("set", "db2", 1); },
       {{"GetInfoAboutUserSet", {Val("set"), Val("db2"), Val(1)}}}},
      {"UpFindPattern",
       [](M& m, W&) { m.UpFindPattern("pat", "set", "db2", "tp", "pp", "vp", "sp", "cond", "prp", 43, true, false); },
       {{"UpFindPattern", {Val("pat"), Val("set"), Val("db2"), Val("tp"), Val("pp"), Val("vp"), Val("sp"),
                           Val("cond"), Val("prp"), Val(43), Val(true), Val(false)}}}},
      {"M.GetUserList", [](M& m, W&) { m.GetUserList(); }, {{"GetUserList", {}}}},
      {"GetUserGroupList", [](M& m, W&) { m.GetUserGroupList(); }, {{"GetUserGroupList", {}}}},
      {"UpGrantOnVersion", [](M& m, W&) { m.UpGrantOnVersion(0, "type", "prod", "ver", "unit", 0, 0.0, true); },
       {{"UpGrantOnVersion", {Val("type"), Val("prod"), Val("ver"), Val("unit"), Val(0), Val(0.0), Val(true)}}}},
      {"GetInfoAboutVersionsPrivileges", [](M& m, W&) { m.GetInfoAboutVersionsPrivileges("5,7"); },
       {{"GetInfoAboutVersionsPrivileges", {Val("5,7")}}}},
      {"GetPrivilegesForObjects", [](M& m, W&) { m.GetPrivilegesForObjects(0, "5,7", 1); },
       {{"GetPrivilegesForObjects", {Val("5,7"), Val(1)}}}},
      {"GrantRightsForObjects",
       [](M& m, W&) {
         Variant objects("objs");
         m.GrantRightsForObjects(objects);
       },
       {{"GrantRightsForObjects", {Ref("objs")}}}},
      {"GrantRightsForObjectsR",
       [](M& m, W&) {
         Variant objects("objs");
         m.GrantRightsForObjectsR(objects);
       },
       {{"GrantRightsForObjectsR", {Ref("objs")}}}},
      {"Subscribe", [](M& m, W&) { m.Subscribe(44, 1, "ev"); }, {{"Subscribe", {Val(44), Val(1), Val("ev")}}}},
      {"SubscribeObjects",
       [](M& m, W&) {
         Variant ids(std::vector<int32_t>{1, 2});
         m.SubscribeObjects(ids, 2, "ev");
       },
       {{"SubscribeObjects", {Ref(std::vector<int32_t>{1, 2}), Val(2), Val("ev")}}}},
      {"GetNotifies", [](M& m, W&) { m.GetNotifies(1, true); }, {{"GetNotifies", {Val(1), Val(true)}}}},
      {"GetSubscribedObjects", [](M& m, W&) { m.GetSubscribedObjects(false); },
       {{"GetSubscribedObjects", {Val(false)}}}},
      {"GetSubscribes", [](M& m, W&) { m.GetSubscribes(45, true); }, {{"GetSubscribes", {Val(45), Val(true)}}}},

      // ---- workflow ----
      {"W.ConnectToDB",
       [](M&, W& w) {
         w.SetAuthentific(atPassword);
         w.SetUserName("user");
         w.SetPassword("pw");
         w.ConnectToDB(kWorkFlowAppVersion, "db");
       },
       {{"ConnectWorkFlowOnDbEx", {Val("db"), Val(addr), Val("user"), Val("pw")}},
        {"GetInfoAboutCurrentUser", {}}}},
      {"ConnectWorkFlowOnDb", [](M&, W& w) { w.ConnectWorkFlowOnDb("user", "pw"); },
       {{"ConnectWorkFlowOnDb", {Val(addr), Val("user"), Val("pw")}}}},
      {"ConnectWorkFlowOnDbEx", [](M&, W& w) { w.ConnectWorkFlowOnDbEx("db", "user", "pw"); },
       {{"ConnectWorkFlowOnDbEx", {Val("db"), Val(addr), Val("user"), Val("pw")}}}},
      {"SendDbList",
       [](M&, W& w) {
         Dataset ds = Dataset::LoadFromBytes(DbListPacket());
         w.SendDbList(ds);
       },
       {{"SendDbList", {Val(DbListPacket())}, false}}},
      {"DelLetter", [](M&, W& w) { w.DelLetter(1); }, {{"DelLetter", {Val(1)}}}},
      {"GetCorrespondenceList", [](M&, W& w) { w.GetCorrespondenceList(2); },
       {{"GetCorrespondenceList", {Val(2)}}}},
      {"GetIncomingCorrespondence", [](M&, W& w) { w.GetIncomingCorrespondence(2); },
       {{"GetIncomingCorrespondence", {Val(2)}}}},
      {"GetOutcomingCorrespondence", [](M&, W& w) { w.GetOutcomingCorrespondence(3); },
       {{"GetOutcomingCorrespondence", {Val(3)}}}},
      {"SendLetterByBPToOneUser",
       [](M&, W& w) {
         Variant au(int32_t{5}), recRole(int32_t{6}), recUser(int32_t{7});
         w.SendLetterByBPToOneUser(4, au, recRole, recUser, "subj", "body");
       },
       {{"SendLetterByBPToOneUser", {Val(4), Ref(5), Ref(6), Ref(7), Val("subj"), Val("body")}}}},
      {"SetLetterRead",
       [](M&, W& w) {
         Variant role = Variant::Null();
         w.SetLetterRead(8, role, 1);
       },
       {{"SetLetterRead", {Val(8), Ref(Variant::Null()), Val(1)}}}},
      {"W.GetInfoAboutCurrentUser", [](M&, W& w) { w.GetInfoAboutCurrentUser(); },
       {{"GetInfoAboutCurrentUser", {}}}},
      {"W.GetUserList", [](M&, W& w) { w.GetUserList(); }, {{"GetUserList", {}}}},
      {"GetRoleTree", [](M&, W& w) { w.GetRoleTree(4); }, {{"GetRoleTree", {Val(4)}}}},
      {"GetRoleListForUser", [](M&, W& w) { w.GetRoleListForUser(9); }, {{"GetRoleListForUser", {Val(9)}}}},
      {"InsUpdUser",
       [](M&, W& w) {
         Variant sign("sig"), id;
         w.InsUpdUser("name", "descr", "mail", 1, sign, id);
       },
       {{"InsUpdUser", {Val("name"), Val("descr"), Val("mail"), Val(1), Ref("sig"), kEmptyRef}}}},
      {"GetInfoAboutItem", [](M&, W& w) { w.GetInfoAboutItem(10); }, {{"GetInfoAboutItem", {Val(10)}}}},
      {"GetInfoAboutRoute", [](M&, W& w) { w.GetInfoAboutRoute(11); }, {{"GetInfoAboutRoute", {Val(11)}}}},
      {"GetInfoAboutStage", [](M&, W& w) { w.GetInfoAboutStage(12); }, {{"GetInfoAboutStage", {Val(12)}}}},
      {"GetAutoOperationList", [](M&, W& w) { w.GetAutoOperationList(1); },
       {{"GetAutoOperationList", {Val(1)}}}},
      {"GetProcessListByObject", [](M&, W& w) { w.GetProcessListByObject("db", 13); },
       {{"GetProcessListByObject", {Val("db"), Val(13)}}}},
      {"GetProcessListByObjectEx", [](M&, W& w) { w.GetProcessListByObjectEx(14, "db"); },
       {{"GetProcessListByObjectEx", {Val(14), Val("db")}}}},
      {"GetInitialProcessList", [](M&, W& w) { w.GetInitialProcessList(); }, {{"GetInitialProcessList", {}}}},
      {"GetTaskListForActor", [](M&, W& w) { w.GetTaskListForActor(15, 2); },
       {{"GetTaskListForActor", {Val(15), Val(2)}}}},
      {"GetTaskListForObject", [](M&, W& w) { w.GetTaskListForObject(16, 3, 2); },
       {{"GetTaskListForObject", {Val(16), Val(3), Val(2)}}}},
      {"GetTaskListForUser", [](M&, W& w) { w.GetTaskListForUser(17, 3, int8_t{-1}, 2); },
       {{"GetTaskListForUser", {Val(17), Val(3), Val(-1), Val(2)}}}},
      {"CreateNewProcess", [](M&, W& w) { w.CreateNewProcess("db", 18, "route"); },
       {{"CreateNewProcess", {Val("db"), Val(18), Val("route")}}}},
      {"DeleteProcess", [](M&, W& w) { w.DeleteProcess(19); }, {{"DeleteProcess", {Val(19)}}}},
      {"RenameProcess", [](M&, W& w) { w.RenameProcess(20, "new"); },
       {{"RenameProcess", {Val(20), Val("new")}}}},
      {"SetXMLImageToProcess", [](M&, W& w) { w.SetXMLImageToProcess(21, "<xml/>"); },
       {{"SetXMLImageToProcess", {Val(21), Val("<xml/>")}}}},
      {"SetStateOfProcess", [](M&, W& w) { w.SetStateOfProcess(22, 1); },
       {{"SetStateOfProcess", {Val(22), Val(1)}}}},
      {"SetBP_PDMObject", [](M&, W& w) { w.SetBP_PDMObject(23, 24); },
       {{"SetBP_PDMObject", {Val(23), Val(24)}}}},
      {"SetVariable",
       [](M&, W& w) {
         Variant value("v");
         w.SetVariable(25, "name", value, true);
       },
       {{"SetVariable", {Ref(25), Ref("name"), Ref("v"), Val(true), kEmptyRef, kEmptyRef}, false}}},
      {"InsUpdStageIntoBP_V85",
       [](M&, W& w) {
         Variant a("task"), b(int32_t{1}), c(45000.5), d(int32_t{2}), e(int32_t{3}), f(int32_t{4}),
             g(int32_t{5}), h(int32_t{6}), i(int32_t{0});
         w.InsUpdStageIntoBP_V85(a, b, c, d, e, f, g, h, i);
       },
       {{"InsUpdStageIntoBP",
         {Ref("task"), Ref(1), Ref(45000.5), Ref(2), Ref(3), Ref(4), Ref(5), Ref(6), Ref(0), kEmptyRef, kEmptyRef},
         false}}},
      {"InsUpdStageIntoBP_V9",
       [](M&, W& w) {
         Variant a("task"), b(int32_t{1}), c(45000.5), d(int32_t{2}), e(int32_t{3}), f(int32_t{4}),
             g(int32_t{5}), h(int32_t{6}), i(int32_t{7}), j(int32_t{0});
         w.InsUpdStageIntoBP_V9(a, b, c, d, e, f, g, h, i, j);
       },
       {{"InsUpdStageIntoBP",
         {Ref("task"), Ref(1), Ref(45000.5), Ref(2), Ref(3), Ref(4), Ref(5), Ref(6), Ref(7), Ref(0), kEmptyRef,
          kEmptyRef},
         false}}},
      {"InsUpdStageIntoBP_V10",
       [](M&, W& w) {
         Variant a("task"), b(int32_t{1}), c(45000.5), d(int32_t{2}), e(int32_t{3}), f(int32_t{4}),
             g(int32_t{5}), h(int32_t{6}), i(int32_t{7}), j(int32_t{0}), k(int32_t{8}), l(int32_t{9});
         w.InsUpdStageIntoBP_V10(a, b, c, d, e, f, g, h, i, j, k, l);
       },
       {{"InsUpdStageIntoBP",
         {Ref("task"), Ref(1), Ref(45000.5), Ref(2), Ref(3), Ref(4), Ref(5), Ref(6), Ref(7), Ref(0), Ref(8), Ref(9),
          kEmptyRef, kEmptyRef},
         false}}},
      {"AddRouteItemsSeq",
       [](M&, W& w) {
         Variant first(int32_t{26});
         w.AddRouteItemsSeq(first, 27, 1);
       },
       {{"AddRouteItemsSeq", {Ref(26), Val(27), Val(1)}}}},
      {"AddRouteItemsRetSeq",
       [](M&, W& w) {
         Variant first(int32_t{28});
         w.AddRouteItemsRetSeq(first, 29);
       },
       {{"AddRouteItemsRetSeq", {Ref(28), Val(29), Val(0)}}}},
      {"GetRoleListIntoProcess", [](M&, W& w) { w.GetRoleListIntoProcess(30); },
       {{"GetRoleListIntoProcess", {Val(30)}}}},
      {"InsUpdAutoOperation",
       [](M&, W& w) {
         Variant script("s"), id;
         w.InsUpdAutoOperation("name", 1, 1, 0, script, id);
       },
       {{"InsUpdAutoOperation", {Val("name"), Val(1), Val(1), Val(0), Ref("s"), kEmptyRef}}}},
      {"InsUpdOpInstance",
       [](M&, W& w) {
         Variant vars("x=1"), id;
         w.InsUpdOpInstance(31, 0, vars, 32, id);
       },
       {{"InsUpdOpInstance", {Val(31), Val(0), Ref("x=1"), Val(32), kEmptyRef}}}},
      {"SetTaskState", [](M&, W& w) { w.SetTaskState(33, 34, 2, "msg"); },
       {{"SetTaskState", {Val(33), Val(34), Val(2), Val("msg")}}}},
      {"SetItemState", [](M&, W& w) { w.SetItemState(35, 1, 0); },
       {{"SetItemState", {Val(35), Val(1), Val(0)}}}},
      {"SetItemStateInternal", [](M&, W& w) { w.SetItemStateInternal(36, 2); },
       {{"SetItemStateInternal", {Val(36), Val(2)}}}},
      {"StartNextStage", [](M&, W& w) { w.StartNextStage(37, 38, 1); },
       {{"StartNextStage", {Val(37), Val(38), Val(1)}}}},
      {"SetStageExecutor",
       [](M&, W& w) {
         Variant user(int32_t{40}), role = Variant::Null();
         w.SetStageExecutor(39, user, role);
       },
       {{"SetStageExecutor", {Val(39), Ref(40), Ref(Variant::Null())}}}},
      {"SetStageTerm",
       [](M&, W& w) {
         Variant planEnd(45000.5);
         w.SetStageTerm(41, 5, planEnd, 1, 0);
       },
       {{"SetStageTerm", {Val(41), Val(5), Ref(45000.5), Val(1), Val(0)}}}},
      {"SetStageTask",
       [](M&, W& w) {
         Variant task("t");
         w.SetStageTask(42, task);
       },
       {{"SetStageTask", {Val(42), Ref("t")}}}},
      {"AddBPDocument", [](M&, W& w) { w.AddBPDocument(43, 44, 0); },
       {{"AddBPDocument", {Val(43), Val(44), Val(0)}}}},
      {"DelBPDocument", [](M&, W& w) { w.DelBPDocument(45, 46); }, {{"DelBPDocument", {Val(45), Val(46)}}}},
      {"GetAttachDocumentListIntoProcess", [](M&, W& w) { w.GetAttachDocumentListIntoProcess(47); },
       {{"GetAttachDocumentListIntoProcess", {Val(47)}}}},
      {"GetFirstItems", [](M&, W& w) { w.GetFirstItems(48); }, {{"GetFirstItems", {Val(48)}}}},
      {"GetNextItems", [](M&, W& w) { w.GetNextItems(49); }, {{"GetNextItems", {Val(49)}}}},
      {"GetRouteItems", [](M&, W& w) { w.GetRouteItems(50); }, {{"GetRouteItems", {Val(50)}}}},
      {"GetJobsListIntoProcess", [](M&, W& w) { w.GetJobsListIntoProcess(51); },
       {{"GetJobsListIntoProcess", {Val(51)}}}},
      {"rep_ExecutedJobs", [](M&, W& w) { w.rep_ExecutedJobs(52); }, {{"rep_ExecutedJobs", {Val(52)}}}},
  };
}

TEST(OperationTableTest, EveryOperationReachesTheServerWithItsArgumentsInOrder) {
  ScriptedServer server;
  server.On("ApplicationVersion", Reply::Result(Variant(int32_t{20100701})));
  TAppMainSystem main;
  TAppWorkFlow workflow;
  for (TAppBrevalon* proxy : {static_cast<TAppBrevalon*>(&main), static_cast<TAppBrevalon*>(&workflow)}) {
    proxy->SetConnectionType(ctSocket);
    proxy->SetServerName("127.0.0.1");
    proxy->SetPort(server.Port());
    proxy->Connect();
  }
  main.SetDBName("db");
  main.AppVersion();  // cached, so that no case reads it

  for (const Case& c : Cases(GetLocalIPAddress())) {
    SCOPED_TRACE(c.label);
    server.ClearCalls();
    c.call(main, workflow);
    std::vector<testing::RecordedCall> calls;
    for (const auto& call : server.Calls()) {
      if (!call.property) calls.push_back(call);
    }
    ASSERT_EQ(calls.size(), c.calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
      std::vector<WireArg> expected = c.calls[i].args;
      if (c.calls[i].errorPair) {
        expected.push_back(kEmptyRef);
        expected.push_back(kEmptyRef);
      }
      EXPECT_EQ(calls[i].name, c.calls[i].name);
      EXPECT_EQ(calls[i].args, expected);
    }
  }
}

}  // namespace
}  // namespace brevalon
