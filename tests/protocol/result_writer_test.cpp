#include "protocol/result_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/base64.h"

namespace brevalon {
namespace {

// Expected records are spelled out byte by byte, independent of the writer.
class Expect {
 public:
  Expect& I(int32_t v) { return Le(static_cast<uint32_t>(v), 4); }
  Expect& L(int64_t v) { return Le(static_cast<uint64_t>(v), 8); }
  Expect& S(const std::string& s) {
    I(static_cast<int32_t>(s.size()));
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  Expect& B(uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  std::vector<uint8_t> bytes;

 private:
  Expect& Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
};

constexpr int32_t kMarker = 20121004;
// 2023-03-15 12:00:00 local; written at bias -180 as 09:00:00 UTC.
constexpr double kDate = 45000.5;
constexpr int64_t kDateWire = (45000LL - 25569) * 86400 + 43200 - 10800;

TEST(ResultWriter, FormatMarkerBytes) {
  TResultWriter w(0);
  EXPECT_EQ(w.Bytes(), (std::vector<uint8_t>{0xAC, 0x05, 0x33, 0x01}));
}

TEST(ResultWriter, ConnectToDb) {
  TResultWriter w(-180);
  w.WriteConnectToDbResult(77, "5.1");
  EXPECT_EQ(w.Bytes(), Expect().I(kMarker).I(2).I(77).S("5.1").bytes);
}

TEST(ResultWriter, UserListPutsRoleIdBeforeRoleName) {
  TResultWriter w(-180);
  w.WriteUserList({TUser(5, "Иван Петров", 9, "Инженер", "Отдел")}, {31, 32}, 4);
  EXPECT_EQ(w.Bytes(), Expect()
                           .I(kMarker).I(3).I(4).I(1)
                           .I(5).S("Иван Петров").I(9).S("Инженер").S("Отдел")
                           .I(2).I(31).I(32)
                           .bytes);
}

TEST(ResultWriter, AttachmentsBeginWithTitleAndCarryAnUnsignedChecksum) {
  const TTaskAttachmentList attachments = {
      TTaskAttachment(1001, 7, "Чертёж", "pdf", static_cast<int32_t>(0xF0000000u), 2048)};
  const TTask task(5, 7, "title", "text", 1, 2, 0.0, kDate, tsInWork, true);

  TResultWriter withTask(-180);
  withTask.WriteTaskAttachments(attachments, {1000}, 3, &task);
  const Expect body = Expect()
                          .I(kMarker).I(4).I(3).I(1)
                          .S("Чертёж").I(7).S("pdf").L(4026531840LL).I(2048).I(1001)
                          .I(1).I(1000);
  EXPECT_EQ(withTask.Bytes(), Expect(body)
                                  .I(5).I(7).S("title").S("text").I(1).I(2)
                                  .L(0).L(kDateWire).B(3).B(1)
                                  .bytes);

  TResultWriter noTask(-180);
  noTask.WriteTaskAttachments(attachments, {1000}, 3, nullptr);
  EXPECT_EQ(noTask.Bytes(), body.bytes);
}

TEST(ResultWriter, EmptySearchResultIs20Bytes) {
  TResultWriter w(-180);
  w.WriteTaskAttachments({}, {}, -1, nullptr);
  EXPECT_EQ(w.Bytes(), Expect().I(kMarker).I(4).I(-1).I(0).I(0).bytes);
}

TEST(ResultWriter, EmptyTaskListIs32Bytes) {
  TResultWriter w(-180);
  w.WriteTasks({}, {}, {}, {}, 6, 8);
  EXPECT_EQ(w.Bytes(), Expect().I(kMarker).I(5).I(6).I(8).I(0).I(0).I(0).I(0).bytes);
}

TEST(ResultWriter, TasksAndTheirThreeIntegerListsInOrder) {
  const TTaskList tasks = {TTask(11, 21, "a", "b", 3, 4, kDate, 0.0, tsComleted, false),
                           TTask(12, 22, "", "", 5, 6, 0.0, 0.0, tsUnknown, true)};
  TResultWriter w(-180);
  // deleted {8}, new tasks {12}, new correspondence routes {21, 22}
  w.WriteTasks(tasks, {8}, {12}, {21, 22}, 9, 10);
  EXPECT_EQ(w.Bytes(), Expect()
                           .I(kMarker).I(5).I(9).I(10).I(2)
                           .I(11).I(21).S("a").S("b").I(3).I(4).L(kDateWire).L(0).B(6).B(0)
                           .I(12).I(22).S("").S("").I(5).I(6).L(0).L(0).B(0).B(1)
                           .I(1).I(12)        // new tasks
                           .I(1).I(8)         // deleted
                           .I(2).I(21).I(22)  // routes with new correspondence
                           .bytes);
}

TEST(ResultWriter, Correspondence) {
  TResultWriter w(-180);
  w.WriteTaskCorrespondence({TTaskACorrespondence(1, 2, "привет", kDate)}, 7);
  EXPECT_EQ(w.Bytes(),
            Expect().I(kMarker).I(6).I(7).I(1).I(1).I(2).S("привет").L(kDateWire).bytes);
}

TEST(ResultWriter, Base64DataIsRepeatableAndWritingGoesOn) {
  TResultWriter w(0);
  TTaskACorrespondenceList letters;
  for (int i = 0; i < 20; ++i) letters.emplace_back(i, i, std::string(i, 'x'), 0.0);
  w.WriteTaskCorrespondence(letters, 1);
  const std::vector<uint8_t> before = w.Bytes();

  const std::string text = w.GetBase64Data();
  EXPECT_EQ(text, w.GetBase64Data());
  EXPECT_EQ(text, Base64Encode(before));
  EXPECT_EQ(text.substr(0, 8), "rAUzAQYA");  // marker, kind 6
  EXPECT_EQ(text.substr(76, 2), "\r\n");
  EXPECT_EQ(Base64Decode(text), before);
  EXPECT_EQ(w.Bytes(), before);

  // The position stayed at the end: nothing is overwritten.
  w.WriteConnectToDbResult(1, "");
  EXPECT_EQ(w.Bytes().size(), before.size() + 12);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), w.Bytes().begin()));
}

}  // namespace
}  // namespace brevalon
