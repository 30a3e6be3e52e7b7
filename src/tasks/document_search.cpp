// Placeholder until the domain operation lands; replaced by its owner.
#include "session/session_logic.h"

namespace brevalon {

void TSessionLogic::SearchDocuments(boost::json::object&, const std::string&) {
  CheckConnected();
  throw Exception("SearchDocuments: not available yet");
}

}  // namespace brevalon
