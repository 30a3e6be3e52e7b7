// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::SetStateForTask(const std::string&) {
  CheckConnected();
  throw Exception("SetStateForTask: not available yet");
}

void TSessionLogic::DeleteTask(const std::string&) {
  CheckConnected();
  throw Exception("DeleteTask: not available yet");
}

}  // namespace brevalon
