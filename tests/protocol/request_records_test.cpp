#include "protocol/request_records.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;

// Builds request texts the way a client does: header word, operation id,
// fields.
class Request {
 public:
  explicit Request(int32_t op, int32_t header = 0) {
    w.WriteInteger(header);
    w.WriteInteger(op);
  }
  std::string Text() const { return Base64Encode(stream.Bytes()); }
  std::vector<uint8_t> Bytes() const { return stream.Bytes(); }

  TMemoryStream stream;
  TStreamWriter w{stream, 0};
};

std::string TextOf(std::vector<uint8_t> bytes) { return Base64Encode(bytes); }

// Every test runs with its own common application-data folder and UTC dates.
class RequestRecords : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brevalon-requests-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("BREVALON_COMMONAPPDATA", root_.c_str(), 1);
    SetTimeZoneBiasOverride(0);
    cache_ = GetSettingsDir() + "Cache";
  }
  void TearDown() override {
    SetTimeZoneBiasOverride(std::nullopt);
    unsetenv("BREVALON_COMMONAPPDATA");
    fs::remove_all(root_);
  }
  size_t CacheEntries() const {
    if (!fs::exists(cache_)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(cache_), {}));
  }

  std::string root_;
  std::string cache_;
};

struct Case {
  const char* name;
  int32_t op;
  std::function<void(IStreamWriter&)> fields;
  std::function<void(const std::string&)> decodeAndCheck;  // decodes a text, checks fields
};

const double kDate = 45000.5;  // 2023-03-15 12:00:00, whole seconds

std::vector<Case> AllRequests() {
  return {
      {"ConnectToDB", 2,
       [](IStreamWriter& w) {
         w.WriteString("db");
         w.WriteString("Иванов");
         w.WriteString("");
         w.WriteString("pw");
       },
       [](const std::string& t) {
         TParamsConnectToDb r(t);
         EXPECT_EQ(r.FIdOperation, 2);
         EXPECT_EQ(r.FDBName, "db");
         EXPECT_EQ(r.FUser, "Иванов");
         EXPECT_EQ(r.FDomain, "");
         EXPECT_EQ(r.FPassword, "pw");
       }},
      {"GetUserList", 3,
       [](IStreamWriter& w) {
         w.WriteString("uid1");
         w.WriteInteger(17);
       },
       [](const std::string& t) {
         TParamsGetUserList r(t);
         EXPECT_EQ(r.getUid(), "uid1");
         EXPECT_EQ(r.getDataSetVersion(), 17);
       }},
      {"GetTaskAttachments", 4,
       [](IStreamWriter& w) {
         w.WriteString("uid2");
         w.WriteInteger(5);
         w.WriteInteger(-9);
       },
       [](const std::string& t) {
         TParamsTaskAttachments r(t);
         EXPECT_EQ(r.getUid(), "uid2");
         EXPECT_EQ(r.getDataSetVersion(), 5);
         EXPECT_EQ(r.FIdTask, -9);
       }},
      {"GetTaskList", 5,
       [](IStreamWriter& w) {
         w.WriteString("uid3");
         w.WriteInteger(2147483646);
         w.WriteInteger(3);
       },
       [](const std::string& t) {
         TParamsGetTaskList r(t);
         EXPECT_EQ(r.getUid(), "uid3");
         EXPECT_EQ(r.getDataSetVersion(), 2147483646);
         EXPECT_EQ(r.getIncommingCorrespVersion(), 3);
       }},
      {"GetCorrespondence", 6,
       [](IStreamWriter& w) {
         w.WriteString("uid4");
         w.WriteInteger(0);
         w.WriteInteger(42);
       },
       [](const std::string& t) {
         TParamsTaskCorrespondece r(t);
         EXPECT_EQ(r.FStUID, "uid4");
         EXPECT_EQ(r.FNDataSetVersion, 0);
         EXPECT_EQ(r.FIdTask, 42);
       }},
      {"CreateTask", 7,
       [](IStreamWriter& w) {
         w.WriteString("subject");
         w.WriteString("text");
         w.WriteDateTime(kDate);
         w.WriteBoolean(true);
         w.WriteInteger(2);
         for (int32_t v : {10, 20, 11, 21}) w.WriteInteger(v);  // user0 role0 user1 role1
       },
       [](const std::string& t) {
         TParamsTaskCreation r(t);
         EXPECT_EQ(r.FSubject, "subject");
         EXPECT_EQ(r.FText, "text");
         EXPECT_EQ(r.FDateCritical, kDate);
         EXPECT_TRUE(r.FStartAfterCreate);
         EXPECT_EQ(r.FIdUsers, (std::vector<int32_t>{10, 11}));
         EXPECT_EQ(r.FIdRoles, (std::vector<int32_t>{20, 21}));
       }},
      {"EditTask", 8,
       [](IStreamWriter& w) {
         w.WriteInteger(8);
         w.WriteString("new subject");
         w.WriteString("new text");
         w.WriteDateTime(0.0);
         w.WriteInteger(3);
         w.WriteInteger(4);
       },
       [](const std::string& t) {
         TParamsTaskEditing r(t);
         EXPECT_EQ(r.FIdTask, 8);
         EXPECT_EQ(r.FSubjectNew, "new subject");
         EXPECT_EQ(r.FTextNew, "new text");
         EXPECT_EQ(r.FDateCriticalNew, 0.0);
         EXPECT_EQ(r.FIdUserNew, 3);
         EXPECT_EQ(r.FIdRoleNew, 4);
       }},
      {"SetStateForTask", 9,
       [](IStreamWriter& w) {
         w.WriteInteger(77);
         w.WriteInteger(2);
         w.WriteString("причина");
       },
       [](const std::string& t) {
         TParamsChangeTaskState r(t);
         EXPECT_EQ(r.FIdTask, 77);
         EXPECT_EQ(r.FIdState, 2);
         EXPECT_EQ(r.FSReason, "причина");
       }},
      {"SearchDocuments", 10, [](IStreamWriter& w) { w.WriteString("Ab"); },
       [](const std::string& t) { EXPECT_EQ(TParamsSearchDocument(t).FSearchString, "Ab"); }},
      {"SendMessage", 11,
       [](IStreamWriter& w) {
         w.WriteInteger(5);
         w.WriteString("hello");
       },
       [](const std::string& t) {
         TParamsSendCorrespondeceMessage r(t);
         EXPECT_EQ(r.FIdTask, 5);
         EXPECT_EQ(r.FStMessage, "hello");
       }},
      {"SetTaskCorrespondenceRead", 12, [](IStreamWriter& w) { w.WriteInteger(123); },
       [](const std::string& t) { EXPECT_EQ(TParamsCorrespondenceRead(t).FIdRoute, 123); }},
      {"DeleteTask", 13, [](IStreamWriter& w) { w.WriteInteger(321); },
       [](const std::string& t) { EXPECT_EQ(TParamsDeleteTask(t).FIdRoute, 321); }},
      {"GetFile", 14,
       [](IStreamWriter& w) {
         w.WriteInteger(9);
         w.WriteString("pdf");
         w.WriteInteger(65536);
         w.WriteInteger(131072);
       },
       [](const std::string& t) {
         TParamsGetFile r(t);
         EXPECT_EQ(r.IdAttachment, 9);
         EXPECT_EQ(r.Extension, "pdf");
         EXPECT_EQ(r.BlockSize, 65536);
         EXPECT_EQ(r.Position, 131072);
       }},
  };
}

void ExpectInvalidData(const std::function<void()>& decode) {
  try {
    decode();
    ADD_FAILURE() << "decoded without an error";
  } catch (const EDataTypeException& e) {
    EXPECT_STREQ(e.what(), "Неверные данные");
  }
}

TEST_F(RequestRecords, EveryRequestDecodesItsFields) {
  for (const Case& c : AllRequests()) {
    SCOPED_TRACE(c.name);
    // Any header word is accepted.
    for (int32_t header : {0, 20121004, -1}) {
      Request req(c.op, header);
      c.fields(req.w);
      c.decodeAndCheck(req.Text());
      // Trailing bytes are ignored; line breaks in the text are harmless.
      req.w.WriteInteger(0x5A5A5A5A);
      req.w.WriteString("tail");
      c.decodeAndCheck(req.Text());
      c.decodeAndCheck(Base64Encode(req.Bytes(), false));
    }
  }
}

TEST_F(RequestRecords, WrongOperationIdFailsBeforeAnyFieldIsRead) {
  for (const Case& c : AllRequests()) {
    SCOPED_TRACE(c.name);
    for (int32_t wrong : {1, c.op == 14 ? 2 : c.op + 1, 0, -1}) {
      Request req(wrong);
      c.fields(req.w);
      ExpectInvalidData([&] { c.decodeAndCheck(req.Text()); });
    }
  }
  EXPECT_EQ(CacheEntries(), 0u);  // not even the UID was looked at
}

TEST_F(RequestRecords, EveryTruncationIsInvalidData) {
  for (const Case& c : AllRequests()) {
    SCOPED_TRACE(c.name);
    Request req(c.op);
    c.fields(req.w);
    const std::vector<uint8_t> full = req.Bytes();
    for (size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(cut);
      const std::string text = TextOf({full.begin(), full.begin() + static_cast<long>(cut)});
      ExpectInvalidData([&] { c.decodeAndCheck(text); });
    }
  }
}

TEST_F(RequestRecords, AbsurdOrNegativeStringLengths) {
  Request absurd(TParamsSearchDocument::OperationId);
  absurd.w.WriteInteger(0x7FFFFFFF);
  absurd.w.WriteString("abc");
  ExpectInvalidData([&] { TParamsSearchDocument r(absurd.Text()); });

  // A negative length is the empty text; the next field follows the length.
  Request negative(TParamsConnectToDb::OperationId);
  negative.w.WriteInteger(-5);
  negative.w.WriteString("user");
  negative.w.WriteString("");
  negative.w.WriteString("pw");
  TParamsConnectToDb r(negative.Text());
  EXPECT_EQ(r.FDBName, "");
  EXPECT_EQ(r.FUser, "user");
  EXPECT_EQ(r.FPassword, "pw");
}

TEST_F(RequestRecords, TaskCreationPairCounts) {
  auto creation = [](int32_t n, int pairs) {
    Request req(TParamsTaskCreation::OperationId);
    req.w.WriteString("s");
    req.w.WriteString("t");
    req.w.WriteDateTime(0.0);
    req.w.WriteBoolean(false);
    req.w.WriteInteger(n);
    for (int i = 0; i < pairs; ++i) {
      req.w.WriteInteger(100 + i);
      req.w.WriteInteger(200 + i);
    }
    return req.Text();
  };
  TParamsTaskCreation none(creation(0, 0));
  EXPECT_TRUE(none.FIdUsers.empty());
  EXPECT_TRUE(none.FIdRoles.empty());
  EXPECT_FALSE(none.FStartAfterCreate);

  ExpectInvalidData([&] { TParamsTaskCreation r(creation(-1, 0)); });
  ExpectInvalidData([&] { TParamsTaskCreation r(creation(INT32_MIN, 2)); });
  ExpectInvalidData([&] { TParamsTaskCreation r(creation(0x7FFFFFFF, 2)); });
  ExpectInvalidData([&] { TParamsTaskCreation r(creation(3, 2)); });
  TParamsTaskCreation extra(creation(1, 2));  // the second pair is trailing data
  EXPECT_EQ(extra.FIdUsers, (std::vector<int32_t>{100}));
  EXPECT_EQ(extra.FIdRoles, (std::vector<int32_t>{200}));
}

std::string TaskListRequest(const std::string& uid) {
  Request req(TParamsGetTaskList::OperationId);
  req.w.WriteString(uid);
  req.w.WriteInteger(0);
  req.w.WriteInteger(0);
  return req.Text();
}

TEST_F(RequestRecords, UidNamesTheClientCacheDirectory) {
  const std::vector<std::string> accepted = {"abc", "a.b", "..a", "a b", "Клиент-1",
                                             std::string(128, 'u')};
  for (const std::string& uid : accepted) {
    SCOPED_TRACE(uid);
    TParamsGetTaskList r(TaskListRequest(uid));
    EXPECT_EQ(r.getUid(), uid);
    EXPECT_TRUE(fs::is_directory(cache_ + "/" + uid));
    TParamsGetTaskList again(TaskListRequest(uid));  // existing directory is fine
  }
  EXPECT_EQ(CacheEntries(), accepted.size());
  EXPECT_EQ(TUIDManager::CachePath("abc"), cache_ + "/abc");
}

TEST_F(RequestRecords, UidMustReject) {
  const std::vector<std::string> rejected = {
      "", ".", "..", "a/b", "/tmp", "../x", "a\\b", "..\\x", std::string("a\0b", 3), "a\x01",
      "a\nb", "\t", "a\x7F", std::string(129, 'u'),
      // Lookalikes of dots and slashes, invisible characters, bytes that are not UTF-8.
      "\uFF0E\uFF0E", "\u2025", "a\u2215b", "a\uFF0Fb", "a\uFF3Cb", "\u200B", "a\u202Eb",
      "a\u0085", "\xC0\xAF", "a\xFF", "\xE2\x80"};
  for (const std::string& uid : rejected) {
    SCOPED_TRACE(testing::PrintToString(uid));
    ExpectInvalidData([&] { TParamsGetTaskList r(TaskListRequest(uid)); });
    ExpectInvalidData([&] { TUIDManager::checkUID(uid); });
  }
  EXPECT_EQ(CacheEntries(), 0u);
  EXPECT_FALSE(fs::exists(root_ + "/QUORV/BrevalonMobile/x"));
}

TEST_F(RequestRecords, CheckUidReportsADirectoryItCannotCreate) {
  fs::create_directories(cache_);
  std::ofstream(cache_ + "/blocked") << "a file, not a directory";
  const std::string path = GetSettingsDir() + "Cache/blocked";
  try {
    TUIDManager::checkUID("blocked");
    ADD_FAILURE() << "no exception";
  } catch (const EDataTypeException&) {
    ADD_FAILURE() << "not a data error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Can not create " + path + " directory");
  }
}

}  // namespace
}  // namespace brevalon
