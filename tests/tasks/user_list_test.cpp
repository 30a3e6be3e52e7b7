// The user list: one entry per user and role outside "everyone" with the
// role's department, and its differences against the client's version.
#include "tasks/user_list.h"

#include <algorithm>
#include <tuple>

#include "domain_fixture.h"
#include "list_test_support.h"
#include "sync/dataset_versions_manager.h"

namespace brevalon::testing {
namespace {

using Entry = std::tuple<int32_t, std::string, int32_t, std::string, std::string>;

std::vector<Entry> Entries(const TUserList& users) {
  std::vector<Entry> out;
  for (const TUser& u : users)
    out.emplace_back(u.FIdUser, u.FUserFullname, u.FIdRole, u.FRoleName, u.FDepartmentName);
  return out;
}

TEST(AppendUsersFromRoleTreeTest, RolesDepartmentsAndMissingNodes) {
  Dataset tree;
  tree.AddField("_ID", FieldType::Int32);
  tree.AddField("_NAME", FieldType::Text);
  tree.AddField("_PARENT", FieldType::Int32);
  tree.AppendRow({1, "Отдел", 0});
  tree.AppendRow({10, "Конструктор", 1});
  tree.AppendRow({11, "Технолог", 1});
  tree.AppendRow({20, "everyone", 0});
  tree.AppendRow({30, "Роль без отдела", 0});
  tree.AppendRow({100, "a", 11});  // tree order decides the order of a user's entries
  tree.AppendRow({100, "a", 10});
  tree.AppendRow({100, "a", 20});
  tree.AppendRow({101, "b", 20});  // only "everyone"
  tree.AppendRow({102, "c", 30});
  tree.AppendRow({103, "d", 99});  // parent node missing
  Dataset users;
  users.AddField("_ID", FieldType::Int32);
  users.AddField("_FULLNAME", FieldType::Text);
  for (auto [id, name] : {std::pair{100, "A"}, {101, "B"}, {102, "C"}, {103, "D"}, {104, "E"}})
    users.AppendRow({id, name});

  const std::vector<Entry> withEveryone = {
      {100, "A", 11, "Технолог", "Отдел"},
      {100, "A", 10, "Конструктор", "Отдел"},
      {102, "C", 30, "Роль без отдела",
       "Роль без отдела"},        // a top-level role is its own department
      {103, "D", 103, "d", "d"},  // the lookup stays on the user node
  };
  TUserList got;
  AppendUsersFromRoleTree(users, tree, 20, got);
  EXPECT_EQ(Entries(got), withEveryone);

  // Without an "everyone" role nothing is left out.
  got.clear();
  AppendUsersFromRoleTree(users, tree, std::nullopt, got);
  std::vector<Entry> all = withEveryone;
  all.insert(all.begin() + 2, Entry{100, "A", 20, "everyone", "everyone"});
  all.insert(all.begin() + 3, Entry{101, "B", 20, "everyone", "everyone"});
  EXPECT_EQ(Entries(got), all);
}

class UserListTest : public DomainTest {
 protected:
  boost::json::object UserList(TSessionLogic& s, int32_t version, const char* uid = "dev1") {
    return CallReading(s, &TSessionLogic::GetUserList, "GetUserList",
                       {{"FStUID", uid}, {"FNDataSetVersion", version}});
  }
  static std::vector<std::tuple<std::string, std::string, std::string>> Names(
      const boost::json::object& answer) {
    std::vector<std::tuple<std::string, std::string, std::string>> out;
    for (const auto& u : answer.at("users").as_array())
      out.emplace_back(Str(u.at("FUserFullname")), Str(u.at("FRoleName")),
                       Str(u.at("FDepartmentName")));
    std::sort(out.begin(), out.end());
    return out;
  }
  // Rewrites snapshot `version` of the client's user list.
  template <class Edit>
  void EditSnapshot(int32_t version, Edit edit, const char* uid = "dev1") {
    const auto path = TDataSetVersionsManager("UserList", uid, 0, "_ID").SnapshotPath(version);
    Dataset ds = Dataset::LoadFromFile(path);
    edit(ds);
    ds.SaveToFile(path);
  }
};

TEST_F(UserListTest, EveryUserInEveryRoleWithItsDepartment) {
  auto s = Session("sidorov");
  const boost::json::object answer = UserList(*s, 0);
  EXPECT_EQ(Int(answer.at("version")), 1);
  EXPECT_TRUE(answer.at("deleted").as_array().empty());
  const std::string ko = "Конструкторский отдел", to = "Технологический отдел",
                    od = "Отдел документации";
  std::vector<std::tuple<std::string, std::string, std::string>> expected = {
      {"Иванов Иван Иванович", "Начальник КО", ko},
      {"Сидоров Пётр Алексеевич", "Конструктор", ko},
      {"Смирнов Олег Павлович", "Конструктор", ko},
      {"Петрова Мария Сергеевна", "Начальник ТО", to},
      {"Кузнецова Анна Викторовна", "Технолог", to},
      {"Попова Елена Игоревна", "Технолог", to},
      {"Волков Денис Андреевич", "Нормоконтролёр", od},
      {"Волков Денис Андреевич", "Архивариус", od},
      {"Фёдорова Ольга Николаевна", "Архивариус", od},
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Names(answer), expected);

  // Ids are the workflow's: the user's own id and the id of his role.
  TDataSetPtr roles = s->AppWorkFlow().GetRoleListForUser(s->AppWorkFlow().ID_User());
  ASSERT_TRUE(roles->Locate("_ROLENAME", "Конструктор"));
  bool found = false;
  for (const auto& u : answer.at("users").as_array()) {
    if (Int(u.at("FIdUser")) != s->AppWorkFlow().ID_User()) continue;
    found = true;
    EXPECT_EQ(Int(u.at("FIdRole")), roles->FieldByName("_ID_ROLE").AsInteger());
  }
  EXPECT_TRUE(found);
  EXPECT_NE(FindEveryoneRole(s->AppWorkFlow()), 0);
}

TEST_F(UserListTest, AUserOnlyInEveryoneIsNeitherListedNorDeleted) {
  auto s = Session("admin", "archive");  // only in "everyone" himself
  boost::json::object answer = UserList(*s, 0);
  EXPECT_EQ(Names(answer), (std::vector<std::tuple<std::string, std::string, std::string>>{
                               {"Архивариус", "Хранитель", "Архив"}}));
  answer = UserList(*s, 1);
  EXPECT_EQ(Int(answer.at("version")), 2);
  EXPECT_TRUE(answer.at("users").as_array().empty());
  EXPECT_TRUE(answer.at("deleted").as_array().empty());
}

TEST_F(UserListTest, DifferencesAgainstTheClientsVersion) {
  auto s = Session("ivanov");
  const int32_t sidorov = Session("sidorov")->AppWorkFlow().ID_User();
  ASSERT_EQ(Int(UserList(*s, 0).at("version")), 1);
  boost::json::object answer = UserList(*s, 1);
  EXPECT_EQ(Int(answer.at("version")), 2);
  EXPECT_TRUE(answer.at("users").as_array().empty());
  EXPECT_TRUE(answer.at("deleted").as_array().empty());

  // The client holds a user the server no longer has, and an older row of
  // sidorov: the first is deleted, the second sent again with all his roles.
  EditSnapshot(2, [&](Dataset& ds) {
    ds.AppendRow({int32_t{999999}, "gone", "Ушедший пользователь"});
    ASSERT_TRUE(ds.Locate("_ID", int64_t{sidorov}));
    ds.FieldByName("_FULLNAME").SetString("Сидоров П. А.");
  });
  answer = UserList(*s, 2);
  EXPECT_EQ(Int(answer.at("version")), 3);
  EXPECT_EQ(Ints(answer.at("deleted")), std::vector<int32_t>{999999});
  ASSERT_EQ(answer.at("users").as_array().size(), 1u);
  EXPECT_EQ(Int(answer.at("users").as_array()[0].at("FIdUser")), sidorov);
  EXPECT_EQ(Str(answer.at("users").as_array()[0].at("FUserFullname")), "Сидоров Пётр Алексеевич");

  // A version the cache does not hold: the whole list from version 1.
  answer = UserList(*s, 41);
  EXPECT_EQ(Int(answer.at("version")), 1);
  EXPECT_EQ(answer.at("users").as_array().size(), 9u);
}

}  // namespace
}  // namespace brevalon::testing
