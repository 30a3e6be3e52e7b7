// The named commands of brevalon-cli, one per thing a mobile client does:
// tasks, attachments, correspondence, send, read, users, create, edit, state,
// delete, search. Each maps its options onto one request record, signs in
// first on the same connection when --db/--user are given (otherwise it
// continues the session of --session), calls the method and prints the result
// as an aligned table, or with --json as `call` does. --dry-run prints the
// requests ("Method {fields}") instead of connecting.
//
// read, delete and edit take a task id; the process id that SetTaskCorrespondenceRead
// and DeleteTask need, and the values that edit leaves unchanged, come from
// the task record that GetTaskAttachments answers (read and delete also take
// --route to skip that lookup).
//
// The client UID defaults to a value kept in "<session file>.uid" (made once,
// mode 0600), or "cli" without a session file.
//
// The parsers below raise EUsage (exit code 2) for text they cannot accept.
// One thread runs a command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "client/cli.h"
#include "client/cli_common.h"

namespace brevalon::client {

void AddDomainCommands(CLI::App& app, CliStreams& io, Connection& c);

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" or "YYYY-MM-DD HH:MM[:SS]" in local
// time as wire seconds (UTC); "none" or "0" is 0, no date. Impossible dates
// (February 30, hour 24) are refused, not carried over.
int64_t ParseLocalDateTime(std::string_view text);

// A state-change action by name (issue, work, revoke, complete, accept,
// reissue, return; a few synonyms) or by its code, any 32-bit integer.
int32_t ParseStateAction(std::string_view text);

// "USER_ID:ROLE_ID".
std::pair<int32_t, int32_t> ParseExecutor(std::string_view text);

// The client UID when none is given: the content of "<sessionFile>.uid",
// made with a random value when missing or implausible; "cli" when
// sessionFile is empty. Raises EClientError when the file cannot be written.
std::string DefaultUid(const std::string& sessionFile);

}  // namespace brevalon::client
