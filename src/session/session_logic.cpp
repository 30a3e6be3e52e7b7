#include "session/session_logic.h"

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/version_cache.h"
#include "session/connection_settings.h"

namespace brevalon {

TSessionLogic::TSessionLogic()
    : FAppMainSystem(std::make_unique<TAppMainSystem>()),
      FAppWorkFlow(std::make_unique<TAppWorkFlow>()),
      FVersionStorage(std::make_unique<TPDMVersionStorage>(*FAppMainSystem)) {
  LoadConnectionSettings();
}

TSessionLogic::~TSessionLogic() {
  // The cache works through the main-system proxy, so it goes first.
  FVersionStorage.reset();
  FAppMainSystem.reset();
  FAppWorkFlow.reset();
}

void TSessionLogic::CheckConnected() const {
  if (!FConnected) throw EConnectionException(kNotConnectedMessage);
}

void TSessionLogic::LoadConnectionSettings() {
  brevalon::LoadConnectionSettings(*FAppMainSystem, *FAppWorkFlow);
}

void TSessionLogic::ConnectToDB(boost::json::object&, const std::string&) {
  throw Exception("ConnectToDB: not available yet");
}

void TSessionLogic::GetFile(boost::json::object&, const std::string&) {
  CheckConnected();
  throw Exception("GetFile: not available yet");
}

}  // namespace brevalon
