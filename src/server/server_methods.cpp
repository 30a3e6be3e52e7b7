#include "server/server_methods.h"

#include <cstring>

#include "remoting/limits.h"

namespace brevalon {

namespace {

// The framework converts a Text input to a JSON string; a missing or "null"
// input arrives as null, which a text parameter receives as "".
std::string InputText(const MethodCall& call) {
  if (call.Inputs.empty()) return {};
  const boost::json::value& v = call.Inputs.front();
  if (v.is_string()) return std::string(v.get_string());
  if (v.is_null()) return {};
  return boost::json::serialize(v);
}

struct RequestMethod {
  const char* Name;
  const char* ParamName;
  TMethodsNameType Number;
};

// In the order the class declares them: the framework's metadata lists them
// so, and client proxies are generated from it.
constexpr RequestMethod kRequestMethods[] = {
    {"ConnectToDB", "Base64", TMethodsNameType::stConnectToDB},
    {"GetTaskList", "Base64", TMethodsNameType::stGetTaskList},
    {"GetTaskAttachments", "Base64", TMethodsNameType::stGetTaskAttachments},
    {"GetCorrespondence", "Base64", TMethodsNameType::stGetCorrespondence},
    {"SendMessage", "Base64", TMethodsNameType::stSendMessage},
    {"SetTaskCorrespondenceRead", "Base64", TMethodsNameType::stSetTaskCorrespondenceRead},
    {"SetStateForTask", "Base64", TMethodsNameType::stSetStateForTask},
    {"GetUserList", "Base64", TMethodsNameType::stGetUserList},
    {"CreateTask", "Base64", TMethodsNameType::stCreateTask},
    {"EditTask", "Base64", TMethodsNameType::stEditTask},
    {"SearchDocuments", "BASE64", TMethodsNameType::stSearchDocument},
    {"GetFile", "Base64", TMethodsNameType::stGetFile},
    {"DeleteTask", "Base64", TMethodsNameType::stDeleteTask},
};

}  // namespace

TServerMethods::TServerMethods(ServerMethodsOptions options)
    : FOptions(std::move(options)),
      FEventLog(FOptions.EventLog),
      FThrottle(FOptions.Throttle, [this](const std::string& entry) { FEventLog.WriteError(entry); }) {}

ServerClass TServerMethods::GetServerClass() {
  ServerClass cls;
  cls.Name = kServerMethodsClassName;
  for (const RequestMethod& m : kRequestMethods) {
    Method method;
    method.Name = m.Name;
    method.Params = {
        {m.ParamName, ParamDirection::In, ParamKind::Text},
        {"inReturnCode", ParamDirection::Out, ParamKind::Int32},
        {"stErrorMessage", ParamDirection::Out, ParamKind::Text},
    };
    const TMethodsNameType number = m.Number;
    if (MethodHasResult(number)) {
      method.Params.push_back({"ReturnParameter", ParamDirection::Return, ParamKind::JsonValue});
      method.Invoke = [this, number](MethodCall& call) {
        // The framework's initial value of an out integer.
        int32_t inReturnCode = 0;
        std::string stErrorMessage;
        std::optional<boost::json::object> result =
            CallWithResult(call.Session, number, InputText(call), inReturnCode, stErrorMessage);
        boost::json::array answer{inReturnCode, boost::json::string(stErrorMessage)};
        if (result)
          answer.emplace_back(std::move(*result));
        else
          answer.emplace_back(nullptr);
        return answer;
      };
    } else {
      method.Invoke = [this, number](MethodCall& call) {
        int32_t inReturnCode = 0;
        std::string stErrorMessage;
        CallWithoutResult(call.Session, number, InputText(call), inReturnCode, stErrorMessage);
        return boost::json::array{inReturnCode, boost::json::string(stErrorMessage)};
      };
    }
    cls.Methods.push_back(std::move(method));
  }

  Method getStream;
  getStream.Name = "GetStream";
  getStream.Params = {
      {"S", ParamDirection::Out, ParamKind::Stream},
      {"ReturnParameter", ParamDirection::Return, ParamKind::Boolean},
  };
  getStream.Invoke = [this](MethodCall&) {
    std::vector<uint8_t> S;
    const bool ok = GetStream(S);
    boost::json::array bytes;
    for (uint8_t b : S) bytes.emplace_back(b);
    return boost::json::array{std::move(bytes), ok};
  };
  cls.Methods.push_back(std::move(getStream));

  Method closeSession;
  closeSession.Name = "CloseSession";
  closeSession.Invoke = [this](MethodCall& call) {
    CloseSession(call.Session);
    return boost::json::array{};
  };
  cls.Methods.push_back(std::move(closeSession));

  cls.OnConnect = [this](DsSession& session) { ServerConnect(session); };
  cls.OnDisconnect = [this](DsSession& session) { ServerDisconnect(session); };
  return cls;
}

void TServerMethods::ServerConnect(DsSession& session) {
  // Look-up and creation are one step per session: never two workers.
  session.FindOrCreate(kSessionThreadKey, [&]() -> std::shared_ptr<SessionObject> {
    TSessionEnvironment environment{session.PeerAddress(), ClientKey(session.PeerAddress()),
                                    &FThrottle};
    return std::make_shared<TSessionThread>(FOptions.LogicFactory, FOptions.EventLog,
                                            std::move(environment));
  });
}

void TServerMethods::ServerDisconnect(DsSession&) {
  // A worker lives as long as its session, not as long as a connection.
}

std::shared_ptr<TSessionThread> TServerMethods::FindSessionThread(DsSession& session) {
  return std::dynamic_pointer_cast<TSessionThread>(session.Find(kSessionThreadKey));
}

std::optional<boost::json::object> TServerMethods::CallWithResult(DsSession& session,
                                                                  TMethodsNameType method,
                                                                  const std::string& text,
                                                                  int32_t& inReturnCode,
                                                                  std::string& stErrorMessage) {
  stErrorMessage.clear();
  std::shared_ptr<TSessionThread> worker = FindSessionThread(session);
  if (!worker) return std::nullopt;
  auto result = worker->RunMethod(method, inReturnCode, {Variant(text)}, stErrorMessage);
  if (method == TMethodsNameType::stConnectToDB && inReturnCode == kReturnOk) session.MarkSignedIn();
  return result;
}

void TServerMethods::CallWithoutResult(DsSession& session, TMethodsNameType method,
                                       const std::string& text, int32_t& inReturnCode,
                                       std::string& stErrorMessage) {
  // The worker's object is dropped at once.
  CallWithResult(session, method, text, inReturnCode, stErrorMessage);
}

bool TServerMethods::GetStream(std::vector<uint8_t>& S) {
  const std::size_t n = std::strlen(kTestStreamText);
  S.assign(kTestStreamText, kTestStreamText + n);
  return true;
}

void TServerMethods::CloseSession(DsSession& session) {
  std::shared_ptr<SessionObject> worker = session.Take(kSessionThreadKey);
  if (worker) worker->Close();
}

}  // namespace brevalon
