// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::GetCorrespondence(boost::json::object&, const std::string&) {
  CheckConnected();
  throw Exception("GetCorrespondence: not available yet");
}

void TSessionLogic::SetTaskCorrespondenceRead(const std::string&) {
  CheckConnected();
  throw Exception("SetTaskCorrespondenceRead: not available yet");
}

void TSessionLogic::SendMessage(const std::string&) {
  CheckConnected();
  throw Exception("SendMessage: not available yet");
}

}  // namespace brevalon
