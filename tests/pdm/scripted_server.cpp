#include "scripted_server.h"

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"

namespace brevalon::testing {

bool operator==(const WireArg& a, const WireArg& b) {
  // Kinds must match exactly: a variant comparison alone would let 0 equal
  // an empty variant or "0".
  return a.byRef == b.byRef && a.value.Type() == b.value.Type() && a.value == b.value;
}

std::ostream& operator<<(std::ostream& os, const WireArg& arg) {
  return os << (arg.byRef ? "ref " : "") << arg.value.ToDebugString();
}

class ScriptedServer::Session : public RdcSessionObject {
 public:
  Session(ScriptedServer& owner, RdcSessionInfo info) : owner_(owner), info_(std::move(info)) {}
  Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) override {
    return owner_.Serve(info_, name, false, args, ctx);
  }
  Variant GetProperty(const std::string& name, RdcCallContext& ctx) override {
    std::vector<Variant> none;
    return owner_.Serve(info_, name, true, none, ctx);
  }

 private:
  ScriptedServer& owner_;
  RdcSessionInfo info_;
};

ScriptedServer::ScriptedServer() { StartServer(); }

ScriptedServer::~ScriptedServer() {
  Release();
  server_->Stop();
}

void ScriptedServer::StartServer() {
  auto server = std::make_unique<RdcServer>();
  for (const char* guid : {kMainSystemServerGUID, kWorkFlowServerGUID}) {
    server->RegisterClass(guid, [this](const RdcSessionInfo& info) -> std::unique_ptr<RdcSessionObject> {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sessions_;
      }
      return std::make_unique<Session>(*this, info);
    });
  }
  server->Start("127.0.0.1", port_);
  port_ = server->Port();
  server_ = std::move(server);
}

void ScriptedServer::Restart() {
  server_->Stop();
  server_.reset();
  StartServer();
}

void ScriptedServer::On(const std::string& name, Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[name] = std::move(script);
}

void ScriptedServer::On(const std::string& name, Reply reply) {
  On(name, [reply](const RecordedCall&) { return reply; });
}

void ScriptedServer::Hold(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = name;
  releasing_ = false;
}

void ScriptedServer::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    releasing_ = true;
  }
  released_.notify_all();
}

std::vector<RecordedCall> ScriptedServer::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> ScriptedServer::Names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const RecordedCall& c : calls_) names.push_back(c.name);
  return names;
}

void ScriptedServer::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

int ScriptedServer::SessionsOpened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

Variant ScriptedServer::Serve(const RdcSessionInfo& info, const std::string& name, bool property,
                              std::vector<Variant>& args, RdcCallContext& ctx) {
  RecordedCall call;
  call.serverClass = info.server_class;
  call.identity = info.identity;
  call.name = name;
  call.property = property;
  for (size_t i = 0; i < args.size(); ++i) call.args.push_back(WireArg{args[i], ctx.IsByRef(i)});

  Script script;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    calls_.push_back(call);
    if (!held_.empty() && held_ == name) released_.wait(lock, [this] { return releasing_; });
    auto it = scripts_.find(name);
    if (it != scripts_.end()) script = it->second;
  }
  Reply reply = script ? script(call) : Reply();
  if (reply.unknownName) throw ERdcUnknownName::ForName(name);
  if (reply.failure) throw Exception(*reply.failure);
  for (const auto& [index, value] : reply.writes) {
    if (index < args.size()) args[index] = value;
  }
  // Operations end with the error code and message by reference; property
  // reads and direct calls without the pair are left alone.
  const bool hasErrorPair = args.size() >= 2 && ctx.IsByRef(args.size() - 2) && ctx.IsByRef(args.size() - 1);
  if (hasErrorPair && !reply.writes.count(args.size() - 2) && !reply.writes.count(args.size() - 1)) {
    args[args.size() - 2] = reply.errorCode ? *reply.errorCode : Variant(int32_t{0});
    args[args.size() - 1] = Variant(reply.errorMessage);
  }
  return reply.result;
}

}  // namespace brevalon::testing
