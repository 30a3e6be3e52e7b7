#include "server/mobile_server.h"

namespace brevalon {

TMobileServer::TMobileServer(RemoteServerOptions options, ServerMethodsOptions methods)
    : FMethods(std::make_unique<TServerMethods>(std::move(methods))),
      FServer(std::make_unique<RemoteMethodServer>(FMethods->GetServerClass(), std::move(options))) {}

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

}  // namespace brevalon
