#include "appserver/app_server.h"

#include <boost/json/parse.hpp>

#include <fstream>
#include <sstream>

#include "appserver/log.h"
#include "appserver/main_system.h"
#include "appserver/workflow.h"

namespace brevalon::appserver {

bool LoadSeedOnce(Store& store, const std::filesystem::path& seed) {
  std::ifstream in(seed, std::ios::binary);
  if (!in) throw ESeedException("cannot read the seed file " + seed.string());
  std::ostringstream text;
  text << in.rdbuf();
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(text.str(), ec);
  if (ec) throw ESeedException("the seed is not valid JSON: " + ec.message());
  size_t present = 0, total = 0;
  if (const auto* root = v.if_object())
    if (const auto* dbs = root->if_contains("databases"); dbs && dbs->is_array())
      for (const auto& d : dbs->as_array())
        if (const auto* o = d.if_object())
          if (const auto* name = o->if_contains("name"); name && name->is_string()) {
            ++total;
            std::string n(name->as_string());
            if (store.Read([&](SqliteDb& db) { return model::FindDatabase(db, n); }) != 0) ++present;
          }
  if (total > 0 && present == total) return false;
  store.LoadSeed(v);
  return true;
}

AppServer::AppServer(AppServerOptions options) : options_(std::move(options)) {
  store_ = std::make_unique<Store>(options_.db, options_.clock);
  store_->SetAnswerCache(options_.answerCache);
  if (!options_.seed.empty()) {
    if (LoadSeedOnce(*store_, options_.seed))
      LogInfo("loaded the seed " + options_.seed.string());
    else
      LogInfo("the databases of the seed " + options_.seed.string() + " are already in the file; not loaded again");
  }
  RdcServerOptions rdcOptions;
  rdcOptions.handler_threads = 4;
  rdc_ = std::make_unique<RdcServer>(rdcOptions);
  Store& store = *store_;
  const int32_t version = options_.appVersion;
  rdc_->RegisterClass(kMainSystemClass, [&store, version](const RdcSessionInfo&) {
    return std::make_unique<MainSystemSession>(store, version);
  });
  rdc_->RegisterClass(kWorkflowClass,
                      [&store](const RdcSessionInfo&) { return std::make_unique<WorkflowSession>(store); });
}

AppServer::~AppServer() { Stop(); }

void AppServer::Start() {
  rdc_->Start(options_.listen, options_.port);
  LogInfo("listening on " + options_.listen + ":" + std::to_string(rdc_->Port()));
}

void AppServer::Stop() {
  if (rdc_) rdc_->Stop();
}

}  // namespace brevalon::appserver
