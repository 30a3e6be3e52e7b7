// Helpers of the task-list, correspondence and user-list tests: calling a
// reading handler as the worker does and decoding its answer with the client
// library, and building small processes straight on the workflow server.
#pragma once

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client/request_encoder.h"
#include "client/result_decoder.h"
#include "pdm/app_workflow.h"
#include "data/dataset.h"
#include "session/session_logic.h"

namespace brevalon::testing {

using ReadingHandler = void (TSessionLogic::*)(boost::json::object&, const std::string&);

// Calls a reading handler with the request built from `fields` and decodes
// the pair "BASE64" of its answer.
inline boost::json::object CallReading(TSessionLogic& session, ReadingHandler handler,
                                       const char* method, const boost::json::object& fields) {
  boost::json::object answer;
  (session.*handler)(answer, client::EncodeRequest(method, fields));
  const boost::json::string& text = answer.at("BASE64").as_string();
  return client::DecodeResult(std::string_view(text.data(), text.size()),
                              client::TaskInAttachments::kUnspecified);
}

inline std::vector<int32_t> Ints(const boost::json::value& v) {
  std::vector<int32_t> out;
  for (const auto& x : v.as_array()) out.push_back(x.to_number<int32_t>());
  return out;
}

inline int32_t Int(const boost::json::value& v) {
  return v.to_number<int32_t>();
}

inline std::string Str(const boost::json::value& v) {
  return std::string(v.as_string().data(), v.as_string().size());
}

// A process owned by the proxy's user with one stage per (executor, role),
// neither linked nor started.
struct BuiltProcess {
  int32_t Route = 0;
  std::vector<int32_t> Stages;
};

inline BuiltProcess BuildProcess(TAppWorkFlow& wf, const std::string& name, int32_t pdmObject,
                                 const std::vector<std::pair<int32_t, int32_t>>& executors) {
  BuiltProcess p;
  p.Route = wf.CreateNewProcess(wf.DBName(), pdmObject, name).AsInteger();
  for (const auto& [user, role] : executors) {
    Variant task("Сделать"), term(int32_t{0}), plan(45510.0), one(uint8_t{1}), zero(uint8_t{0}),
        r(role), u(user), route(p.Route), id = Variant::Null(), tc(int32_t{0}), fs(int32_t{0});
    wf.InsUpdStageIntoBP_V10(task, term, plan, one, one, r, u, route, zero, id, tc, fs);
    p.Stages.push_back(id.AsInteger());
  }
  return p;
}

// Sends a letter from the proxy's user to `recipient` within `route`.
inline int32_t SendLetter(TAppWorkFlow& wf, int32_t route, int32_t recipient,
                          const std::string& subject, const std::string& body) {
  Variant auRole(uint8_t{0}), recRole(int32_t{0}), recUser(recipient);
  return wf.SendLetterByBPToOneUser(route, auRole, recRole, recUser, subject, body).AsInteger();
}

// Ids of the proxy user's unread incoming letters.
inline std::vector<int32_t> UnreadLetters(TAppWorkFlow& wf) {
  std::vector<int32_t> ids;
  TDataSetPtr in = wf.GetIncomingCorrespondence(2);
  for (in->First(); !in->Eof(); in->Next())
    ids.push_back(in->FieldByName("_ID_LETTER").AsInteger());
  return ids;
}

// The route id of the first process with this exact name among the user's.
inline int32_t RouteNamed(TAppWorkFlow& wf, const std::string& name) {
  TDataSetPtr rows = wf.GetTaskListForUser(wf.ID_User(), 3, 15, 2);
  return rows->Locate("_ROUTENAME", name) ? rows->FieldByName("_ID_ROUTE").AsInteger() : 0;
}

}  // namespace brevalon::testing
