#include "client/result_decoder.h"

#include <boost/json/array.hpp>
#include <string>
#include <utility>

#include "protocol/base64.h"
#include "protocol/stream.h"

namespace brevalon::client {
namespace {

// Smallest wire size of each element record: every String counted as its
// length word alone. A count is accepted only if that many elements fit in
// the bytes left, which bounds every allocation by the input's size.
constexpr size_t kMinTask = 4 + 4 + 4 + 4 + 4 + 4 + 8 + 8 + 1 + 1;
constexpr size_t kMinAttachment = 4 + 4 + 4 + 8 + 4 + 4;
constexpr size_t kMinUser = 4 + 4 + 4 + 4 + 4;
constexpr size_t kMinLetter = 4 + 4 + 4 + 8;
constexpr size_t kMinInteger = 4;

bool IsBase64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool IsBlank(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

std::string Describe(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte < 0x7F) return std::string("'") + c + "'";
  static const char kHex[] = "0123456789ABCDEF";
  return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0x0F];
}

// Bounds-checked little-endian reader over the record. Every read names what
// it reads ("tasks[2].FTitle") so that an error says where the record broke.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t Offset() const { return pos_; }
  size_t Left() const { return bytes_.size() - pos_; }

  // Names what is being read: reads report "<context><field>", for example
  // "tasks[2]." + "FTitle".
  void SetContext(std::string context) { context_ = std::move(context); }

  int32_t Integer(const char* field) {
    const uint8_t* p = Take(4, field);
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
  }

  int64_t Int64(const char* field) {
    const uint8_t* p = Take(8, field);
    uint64_t raw = 0;
    for (int i = 7; i >= 0; --i) raw = (raw << 8) | p[i];
    return static_cast<int64_t>(raw);
  }

  uint8_t Byte(const char* field) { return *Take(1, field); }

  // Byte 1 is true, every other value false, as the protocol reads it.
  bool Boolean(const char* field) { return Byte(field) == 1; }

  std::string String(const char* field) {
    const size_t at = pos_;
    const int32_t length = Integer(field);
    if (length < 0) {
      Fail(field, at, "negative String length " + std::to_string(length));
    }
    if (size_t(length) > Left()) {
      Fail(field, at,
           "String length " + std::to_string(length) + " exceeds the " + std::to_string(Left()) +
               " bytes left");
    }
    const auto* data = reinterpret_cast<const char*>(bytes_.data() + pos_);
    pos_ += size_t(length);
    return ToValidUtf8(std::string_view(data, size_t(length)));
  }

  // A list count; refuses counts that the bytes left cannot hold.
  size_t Count(const char* field, size_t minElementSize) {
    const size_t at = pos_;
    const int32_t count = Integer(field);
    if (count < 0) Fail(field, at, "negative count " + std::to_string(count));
    if (size_t(count) > Left() / minElementSize) {
      Fail(field, at,
           "count " + std::to_string(count) + " needs at least " +
               std::to_string(size_t(count) * minElementSize) + " bytes, " +
               std::to_string(Left()) + " left");
    }
    return size_t(count);
  }

  [[noreturn]] void Fail(const char* field, size_t at, const std::string& problem) const {
    throw EClientError("bad result record: " + Where(field) + " at byte " + std::to_string(at) +
                       ": " + problem);
  }

 private:
  const uint8_t* Take(size_t count, const char* field) {
    if (count > Left()) {
      throw EClientError("result record ends too early: " + Where(field) + " at byte " +
                         std::to_string(pos_) + " needs " + std::to_string(count) + " bytes, " +
                         std::to_string(Left()) + " left");
    }
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += count;
    return p;
  }

  std::string Where(const char* field) const {
    if (*field == '\0' && !context_.empty() && context_.back() == '.') {
      return context_.substr(0, context_.size() - 1);
    }
    return context_ + field;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  std::string context_;
};

std::string ElementContext(const char* list, size_t index) {
  return std::string(list) + "[" + std::to_string(index) + "].";
}

boost::json::array IntegerList(Cursor& in, const char* name) {
  in.SetContext("");
  const size_t count = in.Count(name, kMinInteger);
  boost::json::array list;
  list.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    in.SetContext(ElementContext(name, i));
    list.emplace_back(in.Integer(""));
  }
  in.SetContext("");
  return list;
}

boost::json::object Task(Cursor& in) {
  boost::json::object task;
  task["FId"] = in.Integer("FId");
  task["FIdRoute"] = in.Integer("FIdRoute");
  task["FTitle"] = in.String("FTitle");
  task["FText"] = in.String("FText");
  task["FIdAuthor"] = in.Integer("FIdAuthor");
  task["FIdExecutor"] = in.Integer("FIdExecutor");
  task["FCriticalDate"] = in.Int64("FCriticalDate");
  task["FSendDate"] = in.Int64("FSendDate");
  task["FState"] = in.Byte("FState");
  task["FHasAttachments"] = in.Boolean("FHasAttachments");
  return task;
}

boost::json::object Attachment(Cursor& in) {
  boost::json::object attachment;
  attachment["FTitle"] = in.String("FTitle");
  attachment["FId"] = in.Integer("FId");
  attachment["FExtension"] = in.String("FExtension");
  attachment["FCRC"] = in.Int64("FCRC");
  attachment["FSize"] = in.Integer("FSize");
  attachment["FObjectId"] = in.Integer("FObjectId");
  return attachment;
}

boost::json::object User(Cursor& in) {
  boost::json::object user;
  user["FIdUser"] = in.Integer("FIdUser");
  user["FUserFullname"] = in.String("FUserFullname");
  user["FIdRole"] = in.Integer("FIdRole");
  user["FRoleName"] = in.String("FRoleName");
  user["FDepartmentName"] = in.String("FDepartmentName");
  return user;
}

boost::json::object Letter(Cursor& in) {
  boost::json::object letter;
  letter["FId"] = in.Integer("FId");
  letter["FIdAuthor"] = in.Integer("FIdAuthor");
  letter["FText"] = in.String("FText");
  letter["FDate"] = in.Int64("FDate");
  return letter;
}

template <typename ReadElement>
boost::json::array List(Cursor& in, const char* name, size_t minElementSize, ReadElement read) {
  in.SetContext("");
  const size_t count = in.Count(name, minElementSize);
  boost::json::array list;
  list.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    in.SetContext(ElementContext(name, i));
    list.emplace_back(read(in));
  }
  in.SetContext("");
  return list;
}

}  // namespace

std::vector<uint8_t> DecodeBase64Strict(std::string_view text) {
  size_t significant = 0;  // alphabet characters and "=" seen so far
  size_t padding = 0;      // "=" seen so far; only the last group may hold them
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsBlank(c)) continue;
    const auto fail = [&](const std::string& problem) {
      throw EClientError("bad Base64 text: " + Describe(c) + " at position " + std::to_string(i) +
                         " " + problem);
    };
    if (c == '=') {
      // "=" takes the third and fourth place of a group, or the fourth alone.
      const size_t place = significant % 4;
      if (padding == 0 ? place < 2 : place != 3) fail("is a misplaced \"=\"");
      ++padding;
      ++significant;
      continue;
    }
    if (!IsBase64Letter(c)) fail("is not a Base64 character");
    if (padding > 0) fail("follows the \"=\" padding");
    ++significant;
  }
  if (significant % 4 != 0) {
    throw EClientError("bad Base64 text: " + std::to_string(significant) +
                       " characters do not make whole groups of four");
  }
  return Base64Decode(text);
}

int32_t PeekResultKind(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8) return 0;
  Cursor in(bytes);
  if (in.Integer("marker") != kResultMarker) return 0;
  return in.Integer("kind");
}

boost::json::object DecodeResultBytes(std::span<const uint8_t> bytes, TaskInAttachments task) {
  Cursor in(bytes);
  boost::json::object result;
  const int32_t marker = in.Integer("marker");
  if (marker != kResultMarker) {
    in.Fail("marker", 0,
            "found " + std::to_string(marker) + ", a result record starts with " +
                std::to_string(kResultMarker));
  }
  result["marker"] = marker;
  const int32_t kind = in.Integer("kind");
  result["kind"] = kind;
  switch (kind) {
    case 2:
      result["WFUserId"] = in.Integer("WFUserId");
      result["MSDatabseVer"] = in.String("MSDatabseVer");
      break;
    case 3:
      result["version"] = in.Integer("version");
      result["users"] = List(in, "users", kMinUser, User);
      result["deleted"] = IntegerList(in, "deleted");
      break;
    case 4:
      if (task == TaskInAttachments::kUnspecified) {
        throw EClientError(
            "a kind-4 record (attachments) does not say whether a task follows; say with task "
            "for GetTaskAttachments or without task for SearchDocuments");
      }
      result["version"] = in.Integer("version");
      result["attachments"] = List(in, "attachments", kMinAttachment, Attachment);
      result["deleted"] = IntegerList(in, "deleted");
      if (task == TaskInAttachments::kWithTask) {
        in.SetContext("task.");
        result["task"] = Task(in);
        in.SetContext("");
      }
      break;
    case 5:
      result["version"] = in.Integer("version");
      result["correspondenceVersion"] = in.Integer("correspondenceVersion");
      result["tasks"] = List(in, "tasks", kMinTask, Task);
      result["newTaskIds"] = IntegerList(in, "newTaskIds");
      result["deletedTaskIds"] = IntegerList(in, "deletedTaskIds");
      result["newCorrespondenceRoutes"] = IntegerList(in, "newCorrespondenceRoutes");
      break;
    case 6:
      result["version"] = in.Integer("version");
      result["letters"] = List(in, "letters", kMinLetter, Letter);
      break;
    default:
      in.Fail("kind", 4, "unknown result kind " + std::to_string(kind) + " (known: 2 to 6)");
  }
  if (in.Left() != 0) {
    throw EClientError("bad result record: " + std::to_string(in.Left()) + " stray bytes at byte " +
                       std::to_string(in.Offset()) + " after the end of the kind-" +
                       std::to_string(kind) + " record");
  }
  return result;
}

boost::json::object DecodeResult(std::string_view text, TaskInAttachments task) {
  const std::vector<uint8_t> bytes = DecodeBase64Strict(text);
  return DecodeResultBytes(bytes, task);
}

}  // namespace brevalon::client
