// Tables for people: how brevalon-cli prints the decoded result records of
// the listing methods (tasks, attachments, correspondence, users, search
// results) when not asked for JSON. Columns are aligned by code points, so
// Cyrillic texts line up; dates are shown in local time. Every text from the
// gateway is made safe for a terminal first: control characters (escape
// sequences included) become blanks or '?', and long texts are cut with "…".
//
// The objects are those of DecodeResult (client/result_decoder.h); a key that
// is missing or of another type shows as empty rather than failing. Pure
// functions apart from reading the local time zone; safe from any thread.
#pragma once

#include <boost/json/object.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevalon::client {

// "planned", "sent", "in work", ...; "unknown" for 0 and "state N" outside 0..6.
std::string TaskStateName(int64_t state);

// Wire seconds as local "YYYY-MM-DD HH:MM"; "-" for 0 (no date); the number
// itself when the platform cannot show it.
std::string FormatWireDate(int64_t seconds);

// `text` with control characters replaced (line breaks and tabs by a blank,
// others by '?'), malformed UTF-8 by '?', cut to `maxWidth` code points
// (the last one "…") when longer.
std::string CellText(std::string_view text, size_t maxWidth = 60);

// Code points of a UTF-8 text.
size_t DisplayWidth(std::string_view text);

// An aligned table: the header line, then one line per row; two blanks
// between columns, no blanks at line ends. Cells are shown as given.
std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows);

// Kind 5 (GetTaskList): the tasks, new ones marked "*", then deleted task
// ids, processes with new correspondence and the versions.
std::string FormatTaskList(const boost::json::object& record);
// Kind 4: the task (when present), the files, deleted objects and the version
// (not for a search, whose version is -1).
std::string FormatAttachments(const boost::json::object& record);
// Kind 6 (GetCorrespondence).
std::string FormatLetters(const boost::json::object& record);
// Kind 3 (GetUserList).
std::string FormatUsers(const boost::json::object& record);

}  // namespace brevalon::client
