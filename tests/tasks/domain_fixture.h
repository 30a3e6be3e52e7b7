// Shared fixture of the task-domain tests: the reference application servers
// in-process on port 0 over a temporary copy of the demo database, a
// temporary data directory whose settings file points at them, and signed-in
// back-end sessions for the seeded users (password = login + "1").
//
// Session() gives a whole TSessionLogic signed in through its ConnectToDB
// handler, so a test drives the handlers exactly as the worker does and
// decodes the answers with the client library. Proxies() gives the bare
// proxies when a test needs to look at the servers' state directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "appserver/app_server.h"
#include "client/request_encoder.h"
#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "session/session_logic.h"
#include "session/settings.h"

namespace brevalon::testing {

class DomainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "domain-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    appserver::AppServerOptions o;
    o.db = dir_ / "demo.sqlite";
    o.seed = std::filesystem::path(BREVALON_SOURCE_DIR) / "appserver" / "seeds" / "demo.json";
    o.port = 0;
    server_ = std::make_unique<appserver::AppServer>(o);
    server_->Start();
    SetCommonAppDataDir((dir_ / "data").string());
    std::ofstream ini(GetSettingsDir() + kSettingsFileName, std::ios::trunc);
    // The port of a SOCKET connection is read from [ServerConnect].
    ini << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]\nServerPort="
        << server_->Port() << "\n";
  }

  void TearDown() override {
    server_.reset();
    SetCommonAppDataDir("");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A session logic signed in as `login` to database `db`.
  std::unique_ptr<TSessionLogic> Session(const std::string& login, const std::string& db = "demo") {
    auto logic = std::make_unique<TSessionLogic>();
    boost::json::object result;
    logic->ConnectToDB(result, client::EncodeRequest("ConnectToDB", {{"FDBName", db},
                                                              {"FUser", login},
                                                              {"FPassword", login + "1"}}));
    return logic;
  }

  // Both proxies signed in as `login`, without a session logic.
  struct SignedInProxies {
    std::unique_ptr<TAppMainSystem> Main = std::make_unique<TAppMainSystem>();
    std::unique_ptr<TAppWorkFlow> WorkFlow = std::make_unique<TAppWorkFlow>();
  };
  SignedInProxies Proxies(const std::string& login, const std::string& db = "demo") {
    SignedInProxies p;
    for (TAppBrevalon* proxy : {static_cast<TAppBrevalon*>(p.Main.get()),
                                static_cast<TAppBrevalon*>(p.WorkFlow.get())}) {
      proxy->SetConnectionType(ctSocket);
      proxy->SetServerName("127.0.0.1");
      proxy->SetPort(Port());
    }
    p.Main->SetUserName(login);
    p.Main->SetPassword(login + "1");
    p.Main->SetDBName(db);
    p.Main->SetAuthentific(atPassword);
    p.Main->Connect();
    p.Main->ConnectToDB();
    p.WorkFlow->SetUserName(login);
    p.WorkFlow->SetPassword(login + "1");
    p.WorkFlow->SetAuthentific(atPassword);
    p.WorkFlow->Connect();
    p.WorkFlow->ConnectToDB(20100701, db);
    return p;
  }

  // The settings directory (holds Cache/<uid>/ snapshot folders).
  std::string SettingsDir() const { return GetSettingsDir(); }
  appserver::AppServer& Server() { return *server_; }
  uint16_t Port() const { return server_->Port(); }

  std::filesystem::path dir_;
  std::unique_ptr<appserver::AppServer> server_;
};

}  // namespace brevalon::testing
