// TSessionLogic carries out the requests of one session: a handler per
// remote method, the not-signed-in guard, the sign-in and the file download.
// It owns the session's main-system proxy, workflow proxy and version cache.
//
// Created, used and destroyed by the session's worker thread (TSessionThread),
// one handler at a time; it shares nothing with other sessions and takes no
// lock. Handlers report failure by raising; the worker alone turns a failure
// into a return code. The task-domain handlers are defined next to their
// domain operations under tasks/ (one file per domain), the sign-in and the
// file download in session_logic.cpp.
#pragma once

#include <boost/json.hpp>
#include <memory>
#include <string>

#include "util/exception.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;
class TPDMVersionStorage;
class Dataset;
class SignInThrottle;
class TParamsConnectToDb;

// What a session's logic is made with: the session's client (its address as
// the transport saw it, and the key per-client limits count it under) and the
// process's sign-in throttle (null: none).
struct TSessionEnvironment {
  std::string ClientAddress;
  std::string ClientKey;
  SignInThrottle* Throttle = nullptr;
};

inline constexpr const char* kNotConnectedMessage = "Соединение не установленно";

// Raised by CheckConnected before sign-in; answered with return code 404.
class EConnectionException : public Exception {
 public:
  using Exception::Exception;
};

// The handlers as the worker sees them. TSessionLogic is the one real
// implementation; the worker's tests give their own.
class ISessionLogic {
 public:
  virtual ~ISessionLogic() = default;
  virtual void ConnectToDB(boost::json::object& JSONResult, const std::string& Base64) = 0;
  virtual void GetTaskList(boost::json::object& JSONResult, const std::string& Base64) = 0;
  virtual void GetTaskAttachments(boost::json::object& JSONResult, const std::string& BASE64) = 0;
  virtual void SearchDocuments(boost::json::object& JSONResult, const std::string& BASE64) = 0;
  virtual void GetCorrespondence(boost::json::object& JSONResult, const std::string& Base64) = 0;
  virtual void SetTaskCorrespondenceRead(const std::string& Base64) = 0;
  virtual void SendMessage(const std::string& Base64) = 0;
  virtual void GetFile(boost::json::object& JSONResult, const std::string& Base64) = 0;
  virtual void SetStateForTask(const std::string& Base64) = 0;
  virtual void GetUserList(boost::json::object& JSONResult, const std::string& Base64) = 0;
  virtual void CreateTask(const std::string& Base64) = 0;
  virtual void EditTask(const std::string& Base64) = 0;
  virtual void DeleteTask(const std::string& Base64) = 0;
};

class TSessionLogic : public ISessionLogic {
 public:
  // Creates both proxies and the version cache and applies the settings
  // file to the proxies (LoadConnectionSettings); raises when the settings
  // file is missing or names an unknown connection type. ConnectToDB asks
  // the environment's throttle before it signs in.
  explicit TSessionLogic(TSessionEnvironment environment = {});
  ~TSessionLogic() override;
  TSessionLogic(const TSessionLogic&) = delete;
  TSessionLogic& operator=(const TSessionLogic&) = delete;

  // session_logic.cpp
  void ConnectToDB(boost::json::object& JSONResult, const std::string& Base64) override;
  void GetFile(boost::json::object& JSONResult, const std::string& Base64) override;
  // tasks/task_list.cpp
  void GetTaskList(boost::json::object& JSONResult, const std::string& Base64) override;
  // tasks/task_attachments.cpp
  void GetTaskAttachments(boost::json::object& JSONResult, const std::string& BASE64) override;
  // tasks/document_search.cpp
  void SearchDocuments(boost::json::object& JSONResult, const std::string& BASE64) override;
  // tasks/task_correspondence.cpp
  void GetCorrespondence(boost::json::object& JSONResult, const std::string& Base64) override;
  void SetTaskCorrespondenceRead(const std::string& Base64) override;
  void SendMessage(const std::string& Base64) override;
  // tasks/task_state_changer.cpp
  void SetStateForTask(const std::string& Base64) override;
  void DeleteTask(const std::string& Base64) override;
  // tasks/user_list.cpp
  void GetUserList(boost::json::object& JSONResult, const std::string& Base64) override;
  // tasks/task_creator.cpp
  void CreateTask(const std::string& Base64) override;
  // tasks/task_editor.cpp
  void EditTask(const std::string& Base64) override;

  bool Connected() const { return FConnected; }
  TAppMainSystem& AppMainSystem() { return *FAppMainSystem; }
  TAppWorkFlow& AppWorkFlow() { return *FAppWorkFlow; }
  TPDMVersionStorage& VersionStorage() { return *FVersionStorage; }

 private:
  // Raises EConnectionException "Соединение не установленно" before sign-in.
  void CheckConnected() const;
  void ConnectToServers(const std::string& DBName, const std::string& UserName,
                        const std::string& Password, int32_t Authentific);
  void ImpersonateUser(const std::string& Domain, const std::string& User,
                       const std::string& Password);
  std::string ReadInternalProperty();
  // Signs in to both servers as ConnectToDB asks, through the throttle:
  // refused at once while it holds this user or client back, and every
  // refusal by the servers (or the operating system) counted.
  void SignIn(const TParamsConnectToDb& params);
  void LoadConnectionSettings();
  // The dataset of the version's files, or null when the version does not exist.
  std::unique_ptr<Dataset> GetVersionInfo(int32_t IdVersion);

  std::unique_ptr<TAppMainSystem> FAppMainSystem;
  std::unique_ptr<TAppWorkFlow> FAppWorkFlow;
  std::unique_ptr<TPDMVersionStorage> FVersionStorage;
  bool FConnected = false;
  const TSessionEnvironment FEnvironment;
  // The operating-system identity of a domain sign-in; once set it is
  // presented on every back-end connection the session opens afterwards.
  std::string FOSIdentity;
};

}  // namespace brevalon
