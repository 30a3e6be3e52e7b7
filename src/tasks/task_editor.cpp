// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::EditTask(const std::string&) {
  CheckConnected();
  throw Exception("EditTask: not available yet");
}

}  // namespace brevalon
