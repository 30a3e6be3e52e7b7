#include "server/mobile_server.h"

namespace brevalon {

namespace {

// Limits hit go to the process's event log unless the caller says otherwise.
RemoteServerOptions WithLimitLog(RemoteServerOptions options, TServerMethods& methods) {
  if (!options.LimitEntry)
    options.LimitEntry = [&methods](const std::string& entry) { methods.EventLog().WriteError(entry); };
  return options;
}

}  // namespace

TMobileServer::TMobileServer(RemoteServerOptions options, ServerMethodsOptions methods)
    : FMethods(std::make_unique<TServerMethods>(std::move(methods))),
      FServer(std::make_unique<RemoteMethodServer>(FMethods->GetServerClass(),
                                                   WithLimitLog(std::move(options), *FMethods))) {}

TMobileServer::~TMobileServer() {
  Stop();
  // Destroying the framework's server ends its sessions, which closes their
  // workers; TServerMethods goes only after that.
  FServer.reset();
  FMethods.reset();
}

void TMobileServer::Start() { FServer->Start(); }

void TMobileServer::Stop() { FServer->Stop(); }

bool TMobileServer::Running() const { return FServer->Running(); }

uint16_t TMobileServer::HttpPort() const { return FServer->HttpPort(); }

uint16_t TMobileServer::TcpPort() const { return FServer->TcpPort(); }

std::size_t TMobileServer::SessionCount() const { return FServer->SessionCount(); }

RemoteMethodServer& TMobileServer::Framework() { return *FServer; }

}  // namespace brevalon
