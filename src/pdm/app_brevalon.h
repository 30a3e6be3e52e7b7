// TAppBrevalon: one connection to one application server of the PDM product,
// the common base of the main-system and workflow proxies, and the only place
// where a server operation is invoked.
//
// An operation is called by name with positional arguments; the server
// answers with a result and, for almost every operation, an error code and an
// error message written into two trailing by-reference arguments. CallMethod
// turns those answers into exceptions, notices a lost connection, re-opens
// the connection at the next call and lets the concrete proxy sign in again
// (RestoreSession) before that call is made. Table operations answer with a
// data packet that GetRecordset loads into a dataset the caller owns.
//
// Ownership and threads: the session logic owns one proxy of each kind; a
// proxy is created, used and destroyed on the session's worker thread and is
// never shared. It owns its remote data connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/dataset.h"
#include "data/dataset_packet.h"
#include "data/variant.h"
#include "util/exception.h"

namespace brevalon {

class RdcArg;

// A server operation reported a non-zero error code; the message is the
// server's error message and ErrorCode the code exactly as the server wrote it.
class EApiException : public Exception {
 public:
  EApiException(const std::string& message, const Variant& errorCode)
      : Exception(message), FErrorCode(errorCode) {}
  const Variant& ErrorCode() const { return FErrorCode; }

 private:
  Variant FErrorCode;
};

// The server failed the call itself (not through the error pair) for a reason
// other than losing its database; the message is the server's description.
class EAppInternalException : public Exception {
 public:
  using Exception::Exception;
};

// A call failed because the connection was lost and could not be restored at
// once; the next call reconnects.
class ELostConnectionException : public Exception {
 public:
  using Exception::Exception;
};

// True when an error code a server wrote reports a failure: anything that
// does not compare equal to 0 (a code left empty is success, a null one is
// not).
bool IsErrorCode(const Variant& ErrorCode);
// The text of a variant a server wrote; empty for null or a value without a
// text form, so that a damaged reply cannot hide the failure it reports.
std::string VariantText(const Variant& Value);

// Connection kinds (the ConnectionType property).
inline constexpr int32_t ctUndefined = -1;
inline constexpr int32_t ctDCOM = 0;
inline constexpr int32_t ctSocket = 1;
inline constexpr int32_t ctHTTP = 2;

// Authentication kinds of both proxies (their Authentific property).
inline constexpr int32_t atUndefined = -1;
inline constexpr int32_t atWindows = 0;   // the calling operating-system identity
inline constexpr int32_t atPassword = 1;  // user name and password

// A dataset a proxy returns; the caller owns it.
using TDataSetPtr = std::unique_ptr<Dataset>;

// One positional argument of a server operation, in the kinds the proxies
// send: 32-bit integer, Boolean, text, double (date-times) by value, or the
// caller's variant by reference so that the server can write it back. A
// variant goes by value only when asked for explicitly (ByValue); typed
// references (TypedRef) let the server write only a value of their own kind.
// Referenced storage must outlive the call.
class TAppArg {
 public:
  TAppArg(int32_t value) : FValue(std::in_place_type<int32_t>, value) {}
  TAppArg(bool value) : FValue(std::in_place_type<bool>, value) {}
  TAppArg(double value) : FValue(std::in_place_type<double>, value) {}
  TAppArg(std::string value) : FValue(std::in_place_type<std::string>, std::move(value)) {}
  TAppArg(const char* value) : FValue(std::in_place_type<std::string>, value) {}
  TAppArg(Variant& reference) : FValue(std::in_place_type<Variant*>, &reference) {}
  static TAppArg ByValue(Variant value) { return TAppArg(std::in_place_type<Variant>, std::move(value)); }
  static TAppArg TypedRef(std::string& reference) { return TAppArg(std::in_place_type<std::string*>, &reference); }
  static TAppArg TypedRef(int32_t& reference) { return TAppArg(std::in_place_type<int32_t*>, &reference); }

 private:
  using Holder = std::variant<int32_t, bool, double, std::string, Variant*, Variant, std::string*, int32_t*>;
  template <typename T, typename V>
  TAppArg(std::in_place_type_t<T> kind, V&& value) : FValue(kind, std::forward<V>(value)) {}
  friend class TAppBrevalon;

  Holder FValue;
};
using TAppArgs = std::vector<TAppArg>;

class TAppBrevalon {
 public:
  using TNotifyEvent = std::function<void(TAppBrevalon& Sender)>;

  // ServerGUID selects the server class on the remote side.
  explicit TAppBrevalon(std::string ServerGUID);
  virtual ~TAppBrevalon();
  TAppBrevalon(const TAppBrevalon&) = delete;
  TAppBrevalon& operator=(const TAppBrevalon&) = delete;

  // ---- connection properties ----
  int32_t ConnectionType() const { return FConnectionType; }
  void SetConnectionType(int32_t Value) { FConnectionType = Value; }
  // DCOM: the computer that runs the server; SOCKET: host name or address;
  // HTTP: the URL of the server's HTTP endpoint.
  const std::string& ServerName() const { return FServerName; }
  void SetServerName(std::string Value) { FServerName = std::move(Value); }
  // SOCKET: the TCP port.
  int32_t Port() const { return FPort; }
  void SetPort(int32_t Value) { FPort = Value; }
  // HTTP: proxy host and port (text); either empty means no proxy.
  const std::string& ProxyName() const { return FProxyName; }
  void SetProxyName(std::string Value) { FProxyName = std::move(Value); }
  const std::string& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(std::string Value) { FProxyPort = std::move(Value); }
  const std::string& ServerGUID() const { return FServerGUID; }

  // Transport limits handed to the remote data connection; zero means the
  // connection's own default.
  std::chrono::milliseconds ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::chrono::milliseconds Value) { FConnectTimeout = Value; }
  std::chrono::milliseconds CallTimeout() const { return FCallTimeout; }
  void SetCallTimeout(std::chrono::milliseconds Value);

  // The operating-system identity presented to the server when a connection
  // is opened (empty: the process's own). The session sets it after an
  // operating-system sign-in; it takes effect at the next Connect.
  const std::string& OSIdentity() const { return FOSIdentity; }
  void SetOSIdentity(std::string Value) { FOSIdentity = std::move(Value); }

  // ---- notifications (may be unset) ----
  // Before each connect and each call attempt.
  const TNotifyEvent& OnStartMetod() const { return FOnStartMetod; }
  void SetOnStartMetod(TNotifyEvent Value) { FOnStartMetod = std::move(Value); }
  // After each connect and each call attempt, also a failed one.
  const TNotifyEvent& OnEndMetod() const { return FOnEndMetod; }
  void SetOnEndMetod(TNotifyEvent Value) { FOnEndMetod = std::move(Value); }
  // When a call found the connection lost, after it was torn down. A handler
  // that reconnects lets the call try once more.
  const TNotifyEvent& OnLostConnection() const { return FOnLostConnection; }
  void SetOnLostConnection(TNotifyEvent Value) { FOnLostConnection = std::move(Value); }

  // ---- connection ----
  // Copies ConnectionType, ServerName, Port, ProxyName and ProxyPort.
  virtual void AssignParams(const TAppBrevalon& Source);
  // Opens the connection of the current kind. Raises Exception
  // "Неопределен тип соединения" for an unknown kind; a transport failure
  // propagates as the remote data connection raised it.
  void Connect();
  // Tears the connection down; never raises. Proxies extend it to forget
  // their per-connection state.
  virtual void Disconnect();
  // Connect, then RestoreSession; on failure Disconnect and re-raise.
  void Reconnect();
  // A server address is set, the transport is open and the server class is
  // selected.
  bool IsConnectedToServer() const;
  // Called by the session before each of its requests. Forgets a connection
  // the server closed while it was idle (looked at when the request first
  // uses the connection): nothing of the request has been sent on it yet, so
  // the request's first call reconnects and repeats nothing, instead of
  // failing on it. Never raises.
  void BeginRequest();

 protected:
  // Signs in again after a reconnection.
  virtual void RestoreSession() = 0;

  // Invokes one operation: the arguments in order, then (unless
  // NoErrorParams) the error code and the error message by reference.
  // Reconnects first when the connection is down; raises EApiException,
  // EAppInternalException, ELostConnectionException or Exception as the
  // connection's rules say. NoErrorParams is used only for property reads.
  Variant CallMethod(const std::string& MethodName, const TAppArgs& Args, bool NoErrorParams = false);

  // CallMethod with the error pair; the result packet loaded into a new
  // dataset positioned on its first row. An empty or null result gives a
  // dataset without fields and rows.
  TDataSetPtr GetRecordset(const std::string& MethodName, const TAppArgs& Args);

  // One operation of CallMethods: its name and arguments (the error pair is
  // added).
  struct TAppCall {
    std::string MethodName;
    TAppArgs Args;
  };
  // Several operations in one exchange with the server (the remote data
  // connection's batch): one round trip instead of one per call, the server
  // running them one after another as separate calls. For reads that do not
  // depend on each other. Each is checked as CallMethod checks it, in order,
  // and the first failure raises once every answer is in; reconnection, the
  // one retry after a restored connection and the notifications (a start and
  // an end per operation) are as in CallMethod, for the batch as a whole.
  std::vector<Variant> CallMethods(const std::vector<TAppCall>& Calls);
  // CallMethods, each result kept as a packet: its checksum and field
  // definitions checked (twice, as GetRecordset loads), the rows when used.
  // An empty or null result gives an empty packet.
  std::vector<DatasetPacket> GetPackets(const std::vector<TAppCall>& Calls);

  // A call straight on the server object: the arguments exactly as given
  // (references are written back), no error pair added, no reconnection, no
  // retry, no notification; failures reach the caller unchanged. Raises
  // Exception "Соединение с сервером не установлено" when not connected.
  Variant CallDirect(const std::string& MethodName, const TAppArgs& Args);

  // Turns a result packet into a dataset. GetRecordset tries it twice.
  virtual Dataset LoadPacket(const Variant& Packet);

  bool ReconnectProgress() const { return FReconnectProgress; }

  // Within a session's request (after BeginRequest): when the connection is
  // down, reconnects and signs in now, as the request's next call would, so
  // that what the proxy learns at sign-in is known before that call. Raises
  // like that call when it cannot. Outside requests, and while a
  // reconnection runs, it does nothing.
  void SignInForRequest();

 private:
  struct TConnection;  // the remote data connection and the server object

  void FireNotify(const TNotifyEvent& Event);
  // BeginRequest's look at the connection, once per request.
  void CheckClosedByPeer();
  // One attempt of CallMethod, between its start and end notifications.
  Variant Attempt(const std::string& MethodName, const TAppArgs& Args, bool NoErrorParams);
  std::vector<Variant> AttemptBatch(const std::vector<TAppCall>& Calls);
  // Runs attempt() as CallMethod runs its attempts: reconnecting first,
  // once more after the lost-connection handler restored the connection.
  template <typename F>
  auto WithReconnection(F&& attempt) -> decltype(attempt());
  TDataSetPtr ToRecordset(const Variant& Packet);
  // The server object is held.
  bool HasServer() const;
  // The remote data connection's form of the arguments.
  static void AppendRdcArgs(std::vector<RdcArg>& Out, const TAppArgs& Args);

  std::string FServerGUID;
  int32_t FConnectionType = ctUndefined;
  std::string FServerName;
  int32_t FPort = 0;
  std::string FProxyName;
  std::string FProxyPort;
  std::chrono::milliseconds FConnectTimeout{0};
  std::chrono::milliseconds FCallTimeout{0};
  std::string FOSIdentity;
  std::unique_ptr<TConnection> FConnection;
  bool FReconnectProgress = false;
  bool FInRequests = false;  // BeginRequest was called: a session drives the proxy
  bool FPeerCheckPending = false;  // BeginRequest's look at the connection is still to be made
  TNotifyEvent FOnStartMetod;
  TNotifyEvent FOnEndMetod;
  TNotifyEvent FOnLostConnection;
};

}  // namespace brevalon
