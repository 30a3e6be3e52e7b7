// TMethodsNameType: the number of each request method, as the remote methods
// hand it to the session's worker, with the method number's name and whether
// its handler fills a result object. Plain constants, usable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace brevalon {

enum class TMethodsNameType : int32_t {
  stConnectToDB = 0,
  stGetTaskList = 1,
  stGetTaskAttachments = 2,
  stGetCorrespondence = 3,
  stSendMessage = 4,
  stSetTaskCorrespondenceRead = 5,
  stGetFile = 6,
  stSetStateForTask = 7,
  stGetUserList = 8,
  stCreateTask = 9,
  stEditTask = 10,
  stSearchDocument = 11,
  stDeleteTask = 12,
};

inline constexpr int32_t kMethodsNameTypeCount = 13;

// "stConnectToDB", "stGetTaskList", ...; "" for a value outside the enumeration.
constexpr std::string_view MethodsNameTypeName(TMethodsNameType type) {
  switch (type) {
    case TMethodsNameType::stConnectToDB: return "stConnectToDB";
    case TMethodsNameType::stGetTaskList: return "stGetTaskList";
    case TMethodsNameType::stGetTaskAttachments: return "stGetTaskAttachments";
    case TMethodsNameType::stGetCorrespondence: return "stGetCorrespondence";
    case TMethodsNameType::stSendMessage: return "stSendMessage";
    case TMethodsNameType::stSetTaskCorrespondenceRead: return "stSetTaskCorrespondenceRead";
    case TMethodsNameType::stGetFile: return "stGetFile";
    case TMethodsNameType::stSetStateForTask: return "stSetStateForTask";
    case TMethodsNameType::stGetUserList: return "stGetUserList";
    case TMethodsNameType::stCreateTask: return "stCreateTask";
    case TMethodsNameType::stEditTask: return "stEditTask";
    case TMethodsNameType::stSearchDocument: return "stSearchDocument";
    case TMethodsNameType::stDeleteTask: return "stDeleteTask";
  }
  return "";
}

// Whether the method's handler receives the call's result object (and the
// remote method answers a JSON object).
constexpr bool MethodHasResult(TMethodsNameType type) {
  switch (type) {
    case TMethodsNameType::stConnectToDB:
    case TMethodsNameType::stGetTaskList:
    case TMethodsNameType::stGetTaskAttachments:
    case TMethodsNameType::stGetCorrespondence:
    case TMethodsNameType::stGetFile:
    case TMethodsNameType::stGetUserList:
    case TMethodsNameType::stSearchDocument:
      return true;
    default:
      return false;
  }
}

}  // namespace brevalon
