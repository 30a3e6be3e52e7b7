// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::GetTaskAttachments(boost::json::object&, const std::string&) {
  CheckConnected();
  throw Exception("GetTaskAttachments: not available yet");
}

}  // namespace brevalon
