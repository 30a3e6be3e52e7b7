#include "protocol/entry_records.h"

#include <gtest/gtest.h>

namespace brevalon {
namespace {

TEST(EntryRecords, AssignReplacesEveryFieldOfATask) {
  TTask task(5, 7, "title", "text", 1, 2, 0.0, 0.0, tsPlanned, false);
  task.Assign(6, 8, "new title", "new text", 3, 4, 45000.25, 45001.5, tsComleted, true);
  EXPECT_EQ(task.FId, 6);
  EXPECT_EQ(task.FIdRoute, 8);
  EXPECT_EQ(task.FTitle, "new title");
  EXPECT_EQ(task.FText, "new text");
  EXPECT_EQ(task.FIdAuthor, 3);
  EXPECT_EQ(task.FIdExecutor, 4);
  EXPECT_EQ(task.FCriticalDate, 45000.25);
  EXPECT_EQ(task.FSendDate, 45001.5);
  EXPECT_EQ(task.FState, tsComleted);
  EXPECT_TRUE(task.FHasAttachments);
}

// The constructors' argument orders differ from the field orders; a swap
// would compile silently.
TEST(EntryRecords, ConstructorArgumentsLandInTheirFields) {
  const TUser user(1, "Full Name", 2, "Role", "Department");
  EXPECT_EQ(user.FIdUser, 1);
  EXPECT_EQ(user.FUserFullname, "Full Name");
  EXPECT_EQ(user.FIdRole, 2);
  EXPECT_EQ(user.FRoleName, "Role");
  EXPECT_EQ(user.FDepartmentName, "Department");

  const TTaskAttachment a(10, 11, "Title", "pdf", -1, 12);
  EXPECT_EQ(a.FObjectId, 10);
  EXPECT_EQ(a.FId, 11);
  EXPECT_EQ(a.FTitle, "Title");
  EXPECT_EQ(a.FExtension, "pdf");
  EXPECT_EQ(a.FCRC, -1);
  EXPECT_EQ(a.FSize, 12);

  const TTaskACorrespondence l(1, 2, "text", 45000.0);
  EXPECT_EQ(l.FId, 1);
  EXPECT_EQ(l.FIdAuthor, 2);
  EXPECT_EQ(l.FText, "text");
  EXPECT_EQ(l.FDate, 45000.0);
}

TEST(EntryRecords, TaskStateOrdinalsAreTheWireBytes) {
  static_assert(sizeof(TTaskState) == 1);
  EXPECT_EQ(static_cast<int>(tsUnknown), 0);
  EXPECT_EQ(static_cast<int>(tsInWork), 3);
  EXPECT_EQ(static_cast<int>(tsComleted), 6);
}

}  // namespace
}  // namespace brevalon
