#include "pdm/app_brevalon.h"

#include <exception>
#include <type_traits>
#include <utility>

#include "rdc/rdc_client.h"

namespace brevalon {

namespace {

// A server reports a failure of its database connection with this code in
// the description; such a failure is handled as a lost connection.
constexpr const char* kDatabaseConnectionCode = "000187CC";

const char* const kUndefinedConnectionType = "Неопределен тип соединения";
const char* const kReconnectRecursion = "Обнаружена рекурсия в процессе переподключения к серверу";
const char* const kNotConnected = "Соединение с сервером не установлено";
const char* const kDatabaseConnectionLost = "Ошибка соединения с сервером баз данных";
const char* const kLostConnection = "Потеряно соединение с сервером приложений:\r\n";

}  // namespace

bool IsErrorCode(const Variant& ErrorCode) { return !(ErrorCode == Variant(int32_t{0})); }

std::string VariantText(const Variant& Value) {
  try {
    return Value.AsString();
  } catch (const EVariantException&) {
    return std::string();
  }
}

// What each of the three connection kinds was last given, and the open
// transport. The DCOM computer name and the socket host are forgotten by
// Disconnect; the HTTP URL is kept.
struct TAppBrevalon::TConnection {
  std::string DCOMComputerName;
  std::string SocketHost;
  int32_t SocketPort = 0;
  std::string WebURL;
  std::string WebProxy;
  std::unique_ptr<RdcClient> Broker;
  bool Server = false;  // the server class was selected on Broker
};

TAppBrevalon::TAppBrevalon(std::string ServerGUID)
    : FServerGUID(std::move(ServerGUID)), FConnection(std::make_unique<TConnection>()) {}

TAppBrevalon::~TAppBrevalon() {
  if (FConnection->Broker) FConnection->Broker->Close();
}

void TAppBrevalon::SetCallTimeout(std::chrono::milliseconds Value) {
  FCallTimeout = Value;
  if (FConnection->Broker && Value.count() > 0) FConnection->Broker->SetCallTimeout(Value);
}

void TAppBrevalon::AssignParams(const TAppBrevalon& Source) {
  FConnectionType = Source.FConnectionType;
  FServerName = Source.FServerName;
  FPort = Source.FPort;
  FProxyName = Source.FProxyName;
  FProxyPort = Source.FProxyPort;
}

void TAppBrevalon::FireNotify(const TNotifyEvent& Event) {
  if (Event) Event(*this);
}

bool TAppBrevalon::HasServer() const { return FConnection->Server; }

bool TAppBrevalon::IsConnectedToServer() const {
  const TConnection& c = *FConnection;
  const bool named = !c.DCOMComputerName.empty() || !c.SocketHost.empty() || !c.WebURL.empty();
  return named && c.Broker && c.Broker->IsOpen() && c.Server;
}

void TAppBrevalon::Connect() {
  FireNotify(FOnStartMetod);
  try {
    RdcEndpoint endpoint;
    TConnection& c = *FConnection;
    switch (FConnectionType) {
      case ctDCOM:
        Disconnect();
        c.DCOMComputerName = FServerName;
        endpoint = RdcEndpoint::FromConnectionKind(ctDCOM, FServerName, FPort);
        break;
      case ctSocket:
        Disconnect();
        c.SocketHost = FServerName;
        c.SocketPort = FPort;
        endpoint = RdcEndpoint::FromConnectionKind(ctSocket, FServerName, FPort);
        break;
      case ctHTTP:
        Disconnect();
        c.WebURL = FServerName;
        c.WebProxy = !FProxyName.empty() && !FProxyPort.empty() ? FProxyName + ":" + FProxyPort : std::string();
        endpoint = RdcEndpoint::FromConnectionKind(ctHTTP, FServerName, FPort, FProxyName, FProxyPort);
        break;
      default:
        throw Exception(kUndefinedConnectionType);
    }
    RdcClientOptions options;
    if (FConnectTimeout.count() > 0) options.connect_timeout = FConnectTimeout;
    if (FCallTimeout.count() > 0) options.call_timeout = FCallTimeout;
    c.Broker = std::make_unique<RdcClient>(options);
    c.Broker->Open(endpoint, FServerGUID, FOSIdentity);
    c.Server = true;
  } catch (...) {
    FireNotify(FOnEndMetod);
    throw;
  }
  FireNotify(FOnEndMetod);
}

void TAppBrevalon::Disconnect() {
  TConnection& c = *FConnection;
  c.Server = false;
  if (c.Broker) c.Broker->Close();
  c.DCOMComputerName.clear();
  c.SocketHost.clear();
}

void TAppBrevalon::Reconnect() {
  FReconnectProgress = true;
  try {
    Connect();
    RestoreSession();
  } catch (...) {
    Disconnect();
    FReconnectProgress = false;
    throw;
  }
  FReconnectProgress = false;
}

void TAppBrevalon::BeginRequest() {
  FInRequests = true;
  // Looked at when the request first uses this connection: many requests
  // use only one of the session's two.
  FPeerCheckPending = true;
}

void TAppBrevalon::CheckClosedByPeer() {
  if (!FPeerCheckPending) return;
  FPeerCheckPending = false;
  TConnection& c = *FConnection;
  if (c.Server && c.Broker && c.Broker->ClosedByPeer()) Disconnect();
}

void TAppBrevalon::SignInForRequest() {
  CheckClosedByPeer();
  if (!FInRequests || FReconnectProgress || IsConnectedToServer()) return;
  try {
    Reconnect();
  } catch (const std::exception&) {
    throw Exception(kNotConnected);  // as CallMethod reports it
  }
}

void TAppBrevalon::AppendRdcArgs(std::vector<RdcArg>& Out, const TAppArgs& Args) {
  for (const TAppArg& arg : Args) {
    std::visit(
        [&Out](auto&& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, Variant*>) {
            Out.push_back(RdcArg::Ref(*value));
          } else if constexpr (std::is_same_v<T, std::string*> || std::is_same_v<T, int32_t*>) {
            Out.push_back(RdcArg::Ref(*value));
          } else {
            Out.push_back(RdcArg(value));
          }
        },
        arg.FValue);
  }
}

namespace {

// What a call the server refused becomes.
[[noreturn]] void RaiseCallFailure(const ERdcCallFailure& e) {
  const std::string description = e.what();
  if (description.find(kDatabaseConnectionCode) != std::string::npos) throw Exception(kDatabaseConnectionLost);
  throw EAppInternalException(description);
}

}  // namespace

Variant TAppBrevalon::Attempt(const std::string& MethodName, const TAppArgs& Args, bool NoErrorParams) {
  FireNotify(FOnStartMetod);
  try {
    RdcClient* broker = FConnection->Broker.get();
    if (!HasServer() || broker == nullptr) throw Exception(kNotConnected);
    Variant result;
    try {
      if (NoErrorParams) {
        // Property reads take no arguments at all.
        result = broker->GetProperty(MethodName);
      } else {
        Variant errorCode;
        Variant errorMessage;
        std::vector<RdcArg> args;
        args.reserve(Args.size() + 2);
        AppendRdcArgs(args, Args);
        args.push_back(RdcArg::Ref(errorCode));
        args.push_back(RdcArg::Ref(errorMessage));
        result = broker->Call(MethodName, args);
        if (IsErrorCode(errorCode)) throw EApiException(VariantText(errorMessage), errorCode);
      }
    } catch (const ERdcCallFailure& e) {
      RaiseCallFailure(e);
    }
    FireNotify(FOnEndMetod);
    return result;
  } catch (...) {
    FireNotify(FOnEndMetod);
    throw;
  }
}

std::vector<Variant> TAppBrevalon::AttemptBatch(const std::vector<TAppCall>& Calls) {
  for (std::size_t i = 0; i < Calls.size(); ++i) FireNotify(FOnStartMetod);
  auto endAll = [&] {
    for (std::size_t i = 0; i < Calls.size(); ++i) FireNotify(FOnEndMetod);
  };
  try {
    RdcClient* broker = FConnection->Broker.get();
    if (!HasServer() || broker == nullptr) throw Exception(kNotConnected);
    const std::size_t n = Calls.size();
    std::vector<Variant> errorCodes(n), errorMessages(n);
    std::vector<std::vector<RdcArg>> args(n);
    std::vector<RdcBatchCall> batch(n);
    for (std::size_t i = 0; i < n; ++i) {
      args[i].reserve(Calls[i].Args.size() + 2);
      AppendRdcArgs(args[i], Calls[i].Args);
      args[i].push_back(RdcArg::Ref(errorCodes[i]));
      args[i].push_back(RdcArg::Ref(errorMessages[i]));
      batch[i] = RdcBatchCall{Calls[i].MethodName, &args[i]};
    }
    std::vector<RdcBatchAnswer> answers = broker->CallBatch(batch);
    std::vector<Variant> results;
    results.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      try {
        if (answers[i].failure) std::rethrow_exception(answers[i].failure);
      } catch (const ERdcCallFailure& e) {
        RaiseCallFailure(e);
      }
      if (IsErrorCode(errorCodes[i])) throw EApiException(VariantText(errorMessages[i]), errorCodes[i]);
      results.push_back(std::move(answers[i].result));
    }
    endAll();
    return results;
  } catch (...) {
    endAll();
    throw;
  }
}

template <typename F>
auto TAppBrevalon::WithReconnection(F&& attempt) -> decltype(attempt()) {
  CheckClosedByPeer();
  if (!IsConnectedToServer()) {
    if (FReconnectProgress) throw Exception(kReconnectRecursion);
    try {
      Reconnect();
    } catch (const std::exception&) {
      throw Exception(kNotConnected);
    }
  }
  // A handler of OnLostConnection that restores the connection earns the
  // call one more attempt; never more, so a server that keeps dropping the
  // connection cannot hold the session in a loop.
  bool retried = false;
  for (;;) {
    try {
      return attempt();
    } catch (const EApiException&) {
      throw;
    } catch (const EAppInternalException&) {
      throw;
    } catch (const std::exception& e) {
      if (FReconnectProgress) throw;
      const std::string reason = e.what();
      Disconnect();
      FireNotify(FOnLostConnection);
      if (HasServer() && !retried) {
        retried = true;
        continue;
      }
      throw ELostConnectionException(kLostConnection + reason);
    }
  }
}

std::vector<Variant> TAppBrevalon::CallMethods(const std::vector<TAppCall>& Calls) {
  if (Calls.empty()) return {};
  return WithReconnection([&] { return AttemptBatch(Calls); });
}

std::vector<DatasetPacket> TAppBrevalon::GetPackets(const std::vector<TAppCall>& Calls) {
  std::vector<Variant> answers = CallMethods(Calls);
  std::vector<DatasetPacket> packets;
  packets.reserve(answers.size());
  for (Variant& answer : answers) {
    if (answer.IsEmpty() || answer.IsNull()) {
      packets.emplace_back();
      continue;
    }
    if (answer.Type() != VariantType::ByteArray) {
      throw EDatasetFormatException(std::string("The server's answer is not a data packet: ") +
                                    VariantTypeName(answer.Type()));
    }
    std::vector<uint8_t> bytes = answer.TakeBytes();
    try {
      packets.emplace_back(std::move(bytes));  // takes the bytes only when they pass
    } catch (const std::exception&) {
      packets.emplace_back(std::move(bytes));
    }
  }
  return packets;
}

Variant TAppBrevalon::CallMethod(const std::string& MethodName, const TAppArgs& Args, bool NoErrorParams) {
  return WithReconnection([&] { return Attempt(MethodName, Args, NoErrorParams); });
}

Dataset TAppBrevalon::LoadPacket(const Variant& Packet) {
  if (Packet.Type() != VariantType::ByteArray) {
    throw EDatasetFormatException(std::string("The server's answer is not a data packet: ") +
                                  VariantTypeName(Packet.Type()));
  }
  return Dataset::LoadFromBytes(Packet.AsBytes());
}

TDataSetPtr TAppBrevalon::GetRecordset(const std::string& MethodName, const TAppArgs& Args) {
  return ToRecordset(CallMethod(MethodName, Args));
}

TDataSetPtr TAppBrevalon::ToRecordset(const Variant& packet) {
  if (packet.IsEmpty() || packet.IsNull()) return std::make_unique<Dataset>();
  auto ds = std::make_unique<Dataset>();
  try {
    *ds = LoadPacket(packet);
  } catch (const std::exception&) {
    *ds = LoadPacket(packet);
  }
  ds->First();
  return ds;
}

Variant TAppBrevalon::CallDirect(const std::string& MethodName, const TAppArgs& Args) {
  CheckClosedByPeer();
  RdcClient* broker = FConnection->Broker.get();
  if (!HasServer() || broker == nullptr) throw Exception(kNotConnected);
  std::vector<RdcArg> args;
  args.reserve(Args.size());
  AppendRdcArgs(args, Args);
  return broker->Call(MethodName, args);
}

}  // namespace brevalon
