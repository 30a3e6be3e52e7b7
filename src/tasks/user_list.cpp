#include "tasks/user_list.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "pdm/app_workflow.h"
#include "data/dataset.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/session_logic.h"
#include "sync/dataset_versions_manager.h"

namespace brevalon {

namespace {

// "GetRoleTree" mode: departments, roles and one node per member user.
constexpr int32_t kRoleTreeWithUsers = 4;

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::optional<int32_t> FindEveryoneRoleId(TAppWorkFlow& AppWF) {
  TDataSetPtr roles = AppWF.GetRoleListForUser(AppWF.ID_User());
  for (roles->First(); !roles->Eof(); roles->Next()) {
    if (EqualsAsciiNoCase(roles->FieldByName("_ROLENAME").AsString(), kEveryoneRoleName))
      return roles->FieldByName("_ID_ROLE").AsInteger();
  }
  return std::nullopt;
}

// The role tree read once into memory, so that each user costs a lookup of
// its own nodes rather than a walk of the whole tree per user.
struct TRoleTree {
  struct Node {
    bool HasId = false;  // a node with a null id is never found by id
    int32_t Id = 0;
    std::string Name;
    int32_t Parent = 0;
  };
  std::vector<Node> Nodes;                        // in the server's order
  std::unordered_map<int32_t, size_t> FirstById;  // first node with that id
  std::unordered_map<int32_t, std::vector<size_t>> AllById;

  explicit TRoleTree(Dataset& tree) {
    for (tree.First(); !tree.Eof(); tree.Next()) {
      Node n;
      const ConstField id = tree.FieldByName("_ID");
      n.HasId = !id.IsNull();
      n.Id = id.AsInteger();
      n.Name = tree.FieldByName("_NAME").AsString();
      n.Parent = tree.FieldByName("_PARENT").AsInteger();
      const size_t pos = Nodes.size();
      if (n.HasId) {
        FirstById.emplace(n.Id, pos);
        AllById[n.Id].push_back(pos);
      }
      Nodes.push_back(std::move(n));
    }
  }

  // The first node with the id; `from` when there is none (a search that
  // finds nothing leaves the position where it was).
  size_t Find(int32_t id, size_t from) const {
    auto it = FirstById.find(id);
    return it == FirstById.end() ? from : it->second;
  }
};

}  // namespace

void AppendUsersFromRoleTree(Dataset& UserRows, Dataset& Tree, std::optional<int32_t> EveryoneRole,
                             TUserList& Users) {
  const TRoleTree tree(Tree);
  for (UserRows.First(); !UserRows.Eof(); UserRows.Next()) {
    const int32_t idUser = UserRows.FieldByName("_ID").AsInteger();
    auto own = tree.AllById.find(idUser);
    if (own == tree.AllById.end()) continue;
    const std::string fullName = UserRows.FieldByName("_FULLNAME").AsString();
    for (const size_t pos : own->second) {
      const TRoleTree::Node& node = tree.Nodes[pos];
      if (EveryoneRole && node.Parent == *EveryoneRole) continue;
      const size_t rolePos = tree.Find(node.Parent, pos);
      const TRoleTree::Node& role = tree.Nodes[rolePos];
      const size_t departmentPos = tree.Find(role.Parent, rolePos);
      Users.emplace_back(idUser, fullName, role.Id, role.Name, tree.Nodes[departmentPos].Name);
    }
  }
}

int32_t FindEveryoneRole(TAppWorkFlow& AppWF) {
  return FindEveryoneRoleId(AppWF).value_or(0);
}

int32_t LoadUserList(TAppWorkFlow& AppWF, const TParamsGetUserList& Params, TUserList& Users,
                     std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewIds) {
  // Without an "everyone" role no parent is excluded.
  const std::optional<int32_t> everyoneRole = FindEveryoneRoleId(AppWF);
  TDataSetPtr users = AppWF.GetUserList();
  TDataSetPtr treeData = AppWF.GetRoleTree(kRoleTreeWithUsers);
  TDataSetVersionsManager manager("UserList", Params.FStUID, Params.FNDataSetVersion, "_ID");
  std::unique_ptr<Dataset> difference = manager.LoadDifference(*users, DeletedIds, NewIds);

  AppendUsersFromRoleTree(*difference, *treeData, everyoneRole, Users);
  return manager.getActualVersion();
}

void TSessionLogic::GetUserList(boost::json::object& JSONResult, const std::string& Base64) {
  CheckConnected();
  const TParamsGetUserList params(Base64);
  TUserList users;
  std::vector<int32_t> deletedIds;
  std::vector<int32_t> newIds;
  const int32_t version = LoadUserList(AppWorkFlow(), params, users, deletedIds, newIds);
  TResultWriter writer;
  writer.WriteUserList(users, deletedIds, version);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

}  // namespace brevalon
