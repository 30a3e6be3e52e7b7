// The user list: the people the client can give tasks to, one entry per user
// and role (other than "everyone"), with the role's department, sent as a
// difference against the client's version of the list.
//
// Runs on the session's worker thread with that session's workflow proxy;
// nothing is kept between calls. The lists passed in belong to the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/entry_records.h"

namespace brevalon {

class Dataset;
class TAppWorkFlow;
class TParamsGetUserList;

// Name of the role every user belongs to, compared without regard to case.
inline constexpr const char* kEveryoneRoleName = "everyone";

// The id of the signed-in user's role named "everyone" (any letter case);
// 0 when the user has no such role.
int32_t FindEveryoneRole(TAppWorkFlow& AppWF);

// For each row of Users (fields "_ID", "_FULLNAME") in order, appends one
// entry per node of the role tree (fields "_ID", "_NAME", "_PARENT") that
// stands for that user, in tree order, skipping the node under EveryoneRole
// (nothing is skipped without one). The node's parent gives the role, the
// role's parent the department; a parent that is not in the tree leaves the
// lookup on the node it started from, so a top-level role names its own
// department and an orphan user node is its own role.
void AppendUsersFromRoleTree(Dataset& UserRows, Dataset& Tree, std::optional<int32_t> EveryoneRole,
                             TUserList& Users);

// The users whose rows are new or changed since the client's version, each
// once per role node it has in the role tree outside "everyone"; DeletedIds
// receives the ids of users gone from the server. Returns the user-list
// version the client holds afterwards.
int32_t LoadUserList(TAppWorkFlow& AppWF, const TParamsGetUserList& Params, TUserList& Users,
                     std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewIds);

}  // namespace brevalon
