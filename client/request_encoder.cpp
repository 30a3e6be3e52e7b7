#include "client/request_encoder.h"

#include <array>
#include <boost/json/parse.hpp>
#include <limits>
#include <optional>

#include "protocol/base64.h"
#include "protocol/stream.h"

namespace brevalon::client {
namespace {

using FT = FieldType;

constexpr std::array<RequestField, 4> kConnectToDb{{
    {"FDBName", FT::kString},
    {"FUser", FT::kString},
    {"FDomain", FT::kString},
    {"FPassword", FT::kString},
}};
constexpr std::array<RequestField, 2> kGetUserList{{
    {"FStUID", FT::kString},
    {"FNDataSetVersion", FT::kInteger},
}};
constexpr std::array<RequestField, 3> kGetTaskAttachments{{
    {"FStUID", FT::kString},
    {"FNDataSetVersion", FT::kInteger},
    {"FIdTask", FT::kInteger},
}};
constexpr std::array<RequestField, 3> kGetTaskList{{
    {"FStUID", FT::kString},
    {"FNDataSetVersion", FT::kInteger},
    {"FNIncommingCorrespVersion", FT::kInteger},
}};
constexpr std::array<RequestField, 3> kGetCorrespondence{{
    {"FStUID", FT::kString},
    {"FNDataSetVersion", FT::kInteger},
    {"FIdTask", FT::kInteger},
}};
constexpr std::array<RequestField, 6> kCreateTask{{
    {"FSubject", FT::kString},
    {"FText", FT::kString},
    {"FDateCritical", FT::kDateTime},
    {"FStartAfterCreate", FT::kBoolean},
    {"FIdUsers", FT::kUserIds},
    {"FIdRoles", FT::kRoleIds},
}};
constexpr std::array<RequestField, 6> kEditTask{{
    {"FIdTask", FT::kInteger},
    {"FSubjectNew", FT::kString},
    {"FTextNew", FT::kString},
    {"FDateCriticalNew", FT::kDateTime},
    {"FIdUserNew", FT::kInteger},
    {"FIdRoleNew", FT::kInteger},
}};
constexpr std::array<RequestField, 3> kSetStateForTask{{
    {"FIdTask", FT::kInteger},
    {"FIdState", FT::kInteger},
    {"FSReason", FT::kString},
}};
constexpr std::array<RequestField, 1> kSearchDocuments{{
    {"FSearchString", FT::kString},
}};
constexpr std::array<RequestField, 2> kSendMessage{{
    {"FIdTask", FT::kInteger},
    {"FStMessage", FT::kString},
}};
constexpr std::array<RequestField, 1> kRouteOnly{{
    {"FIdRoute", FT::kInteger},
}};
constexpr std::array<RequestField, 4> kGetFile{{
    {"IdAttachment", FT::kInteger},
    {"Extension", FT::kString},
    {"BlockSize", FT::kInteger},
    {"Position", FT::kInteger},
}};

const std::array<RequestKind, 13> kKinds{{
    {"ConnectToDB", 2, kConnectToDb},
    {"GetUserList", 3, kGetUserList},
    {"GetTaskAttachments", 4, kGetTaskAttachments},
    {"GetTaskList", 5, kGetTaskList},
    {"GetCorrespondence", 6, kGetCorrespondence},
    {"CreateTask", 7, kCreateTask},
    {"EditTask", 8, kEditTask},
    {"SetStateForTask", 9, kSetStateForTask},
    {"SearchDocuments", 10, kSearchDocuments},
    {"SendMessage", 11, kSendMessage},
    {"SetTaskCorrespondenceRead", 12, kRouteOnly},
    {"DeleteTask", 13, kRouteOnly},
    {"GetFile", 14, kGetFile},
}};

constexpr const char* kHeaderKey = "header";

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Reads one request's JSON object against its table, producing messages that
// name the method and the field.
class FieldReader {
 public:
  FieldReader(const RequestKind& kind, const boost::json::object& fields)
      : kind_(kind), fields_(fields) {}

  void CheckKeys() const {
    for (const auto& entry : fields_) {
      const std::string_view key = entry.key();
      if (key == std::string_view(kHeaderKey) || Find(key) != nullptr) continue;
      std::string message =
          std::string(kind_.method) + ": unknown field \"" + std::string(key) + "\"";
      for (const RequestField& field : kind_.fields) {
        if (EqualsIgnoreCase(field.name, key)) {
          message += " (field names are case-sensitive: did you mean \"" + std::string(field.name) +
                     "\"?)";
          throw EClientError(message);
        }
      }
      message += "; its fields are";
      const char* separator = " ";
      for (const RequestField& field : kind_.fields) {
        message += separator + std::string(field.name);
        separator = ", ";
      }
      throw EClientError(message + " (and \"header\")");
    }
  }

  std::string String(const char* name) const {
    const boost::json::value* value = fields_.if_contains(name);
    if (value == nullptr) return {};
    if (!value->is_string()) Fail(name, "a string");
    return std::string(value->get_string());
  }

  int32_t Integer(const char* name) const {
    const boost::json::value* value = fields_.if_contains(name);
    if (value == nullptr) return 0;
    return ToInt32(*value, name);
  }

  int64_t DateTime(const char* name) const {
    const boost::json::value* value = fields_.if_contains(name);
    if (value == nullptr) return 0;
    if (value->is_int64()) return value->get_int64();
    if (value->is_uint64() &&
        value->get_uint64() <= uint64_t(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(value->get_uint64());
    }
    Fail(name, "an integer count of seconds since 1970-01-01 UTC in the 64-bit range");
  }

  bool Boolean(const char* name) const {
    const boost::json::value* value = fields_.if_contains(name);
    if (value == nullptr) return false;
    if (!value->is_bool()) Fail(name, "true or false");
    return value->get_bool();
  }

  std::vector<int32_t> IntegerArray(const char* name) const {
    const boost::json::value* value = fields_.if_contains(name);
    if (value == nullptr) return {};
    if (!value->is_array()) Fail(name, "an array of 32-bit integers");
    std::vector<int32_t> result;
    result.reserve(value->get_array().size());
    for (const boost::json::value& item : value->get_array()) {
      result.push_back(ToInt32(item, name, "an array of 32-bit integers"));
    }
    return result;
  }

  [[noreturn]] void Fail(const char* name, const char* expected) const {
    throw EClientError(std::string(kind_.method) + ": field \"" + name + "\" must be " + expected);
  }

 private:
  const RequestField* Find(std::string_view key) const {
    for (const RequestField& field : kind_.fields) {
      if (key == field.name) return &field;
    }
    return nullptr;
  }

  int32_t ToInt32(const boost::json::value& value, const char* name,
                  const char* expected = "an integer in the 32-bit range") const {
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (value.is_int64() && value.get_int64() >= kMin && value.get_int64() <= kMax) {
      return static_cast<int32_t>(value.get_int64());
    }
    if (value.is_uint64() && value.get_uint64() <= uint64_t(kMax)) {
      return static_cast<int32_t>(value.get_uint64());
    }
    Fail(name, expected);
  }

  const RequestKind& kind_;
  const boost::json::object& fields_;
};

}  // namespace

std::span<const RequestKind> RequestKinds() {
  return kKinds;
}

const RequestKind* FindRequestKind(std::string_view method) {
  for (const RequestKind& kind : kKinds) {
    if (EqualsIgnoreCase(kind.method, method)) return &kind;
  }
  return nullptr;
}

std::vector<uint8_t> EncodeRequestBytes(std::string_view method,
                                        const boost::json::object& fields) {
  const RequestKind* kind = FindRequestKind(method);
  if (kind == nullptr) {
    std::string message = "unknown method \"" + std::string(method) + "\"; methods are";
    const char* separator = " ";
    for (const RequestKind& known : kKinds) {
      message += separator + std::string(known.method);
      separator = ", ";
    }
    throw EClientError(message);
  }
  const FieldReader reader(*kind, fields);
  reader.CheckKeys();

  TMemoryStream stream;
  TStreamWriter writer(stream);
  writer.WriteInteger(reader.Integer(kHeaderKey));  // the header word
  writer.WriteInteger(kind->operationId);
  for (const RequestField& field : kind->fields) {
    switch (field.type) {
      case FieldType::kString:
        writer.WriteString(reader.String(field.name));
        break;
      case FieldType::kInteger:
        writer.WriteInteger(reader.Integer(field.name));
        break;
      case FieldType::kDateTime:
        // The JSON holds the wire value; WriteDateTime would apply the bias.
        writer.WriteInt64(reader.DateTime(field.name));
        break;
      case FieldType::kBoolean:
        writer.WriteBoolean(reader.Boolean(field.name));
        break;
      case FieldType::kUserIds: {
        const std::vector<int32_t> users = reader.IntegerArray("FIdUsers");
        const std::vector<int32_t> roles = reader.IntegerArray("FIdRoles");
        if (users.size() != roles.size()) {
          throw EClientError(std::string(kind->method) + ": FIdUsers has " +
                             std::to_string(users.size()) + " entries but FIdRoles has " +
                             std::to_string(roles.size()) + "; they are sent as pairs");
        }
        if (users.size() > size_t(std::numeric_limits<int32_t>::max())) {
          reader.Fail("FIdUsers", "an array of at most 2147483647 entries");
        }
        writer.WriteInteger(static_cast<int32_t>(users.size()));
        for (size_t i = 0; i < users.size(); ++i) {
          writer.WriteInteger(users[i]);
          writer.WriteInteger(roles[i]);
        }
        break;
      }
      case FieldType::kRoleIds:
        break;  // written with the users
    }
  }
  return stream.Bytes();
}

std::string EncodeRequest(std::string_view method, const boost::json::object& fields) {
  return Base64Encode(EncodeRequestBytes(method, fields), /*ALineBreaks=*/false);
}

boost::json::object ParseJsonObject(std::string_view text) {
  boost::json::error_code error;
  boost::json::value value = boost::json::parse(text, error);
  if (error) throw EClientError("not valid JSON: " + error.message());
  if (!value.is_object()) throw EClientError("a JSON object {...} is expected");
  return std::move(value.get_object());
}

}  // namespace brevalon::client
