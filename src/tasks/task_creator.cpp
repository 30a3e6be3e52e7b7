// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::CreateTask(const std::string&) {
  CheckConnected();
  throw Exception("CreateTask: not available yet");
}

}  // namespace brevalon
