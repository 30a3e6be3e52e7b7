// Data resources the gateway carries inside its program: texts it hands to
// the workflow server when the server lacks something the gateway relies on.
// Constants only; safe from any thread.
//
// "SRIPT_AUTOSTAGE_FINISH" (the name is kept as spelled, other tools look it
// up so) is the script of the auto-operation "Закончить процесс", written in
// the workflow server's scripting convention: one statement per line, and the
// statement FinishProcess ends the process that reaches the operation
// (docs/appserver.md, "Auto-operation scripts").
#pragma once

#include <string>
#include <string_view>

#include "util/exception.h"

namespace brevalon {

inline constexpr std::string_view kScriptAutoStageFinishName = "SRIPT_AUTOSTAGE_FINISH";
inline constexpr std::string_view kScriptAutoStageFinish = "FinishProcess\r\n";

// The text of the resource `Name`, its lines each ended by CR LF. Raises
// brevalon::Exception "Resource <Name> not found" for a name the program does
// not carry.
inline std::string LoadScriptResource(std::string_view Name) {
  if (Name == kScriptAutoStageFinishName) return std::string(kScriptAutoStageFinish);
  throw Exception("Resource " + std::string(Name) + " not found");
}

}  // namespace brevalon
