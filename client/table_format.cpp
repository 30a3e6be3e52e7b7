#include "client/table_format.h"

#include <algorithm>
#include <boost/json.hpp>
#include <ctime>

namespace brevalon::client {
namespace {

namespace json = boost::json;

constexpr const char* kEllipsis = "\xE2\x80\xA6";  // …

int64_t Int(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  if (v && v->is_int64()) return v->get_int64();
  if (v && v->is_uint64()) return static_cast<int64_t>(v->get_uint64());
  return 0;
}

std::string Str(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

const json::array& Array(const json::object& o, std::string_view key) {
  static const json::array kEmpty;
  const json::value* v = o.if_contains(key);
  return v && v->is_array() ? v->get_array() : kEmpty;
}

std::string IdList(const json::array& ids) {
  std::string text;
  for (const json::value& id : ids) {
    if (!text.empty()) text += ", ";
    text += id.is_int64() ? std::to_string(id.get_int64()) : std::string("?");
  }
  return text;
}

// Length of the UTF-8 sequence starting at text[i], 0 when malformed.
size_t SequenceLength(std::string_view text, size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  size_t n = 0;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF)
    n = 2;
  else if (b >= 0xE0 && b <= 0xEF)
    n = 3;
  else if (b >= 0xF0 && b <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

std::string TaskRow(const json::object& t) {
  return "task " + std::to_string(Int(t, "FId")) + " (process " +
         std::to_string(Int(t, "FIdRoute")) + "): " + CellText(Str(t, "FTitle")) + ", " +
         TaskStateName(Int(t, "FState")) + ", due " + FormatWireDate(Int(t, "FCriticalDate"));
}

}  // namespace

std::string TaskStateName(int64_t state) {
  static const char* const kNames[] = {"unknown", "planned",     "sent",     "in work",
                                       "revoked", "in checking", "completed"};
  if (state >= 0 && state <= 6) return kNames[state];
  return "state " + std::to_string(state);
}

std::string FormatWireDate(int64_t seconds) {
  if (seconds == 0) return "-";
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[32];
  if (static_cast<int64_t>(t) != seconds || localtime_r(&t, &tm) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

std::string CellText(std::string_view text, size_t maxWidth) {
  std::string cleaned;
  size_t width = 0;
  std::vector<size_t> starts;  // where each code point starts in `cleaned`
  for (size_t i = 0; i < text.size();) {
    const size_t n = SequenceLength(text, i);
    starts.push_back(cleaned.size());
    ++width;
    if (n == 0) {
      cleaned += '?';
      ++i;
      continue;
    }
    const auto b = static_cast<unsigned char>(text[i]);
    if (n == 1 && (b < 0x20 || b == 0x7F)) {
      cleaned += (b == '\n' || b == '\r' || b == '\t') ? ' ' : '?';
    } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      cleaned += '?';  // C1 controls, 8-bit escape sequences among them
    } else {
      cleaned.append(text.substr(i, n));
    }
    i += n;
  }
  if (maxWidth > 0 && width > maxWidth) {
    cleaned.resize(starts[maxWidth - 1]);
    cleaned += kEllipsis;
  }
  return cleaned;
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++width;
  }
  return width;
}

std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(header.size(), 0);
  const auto measure = [&widths](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size() && i < widths.size(); ++i)
      widths[i] = std::max(widths[i], DisplayWidth(cells[i]));
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  std::string text;
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string& cell = i < cells.size() ? cells[i] : std::string();
      out += cell;
      if (i + 1 < widths.size()) out += std::string(widths[i] - DisplayWidth(cell) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    text += out + '\n';
  };
  line(header);
  for (const auto& row : rows) line(row);
  return text;
}

std::string FormatTaskList(const json::object& record) {
  const json::array& newIds = Array(record, "newTaskIds");
  std::vector<std::vector<std::string>> rows;
  for (const json::value& v : Array(record, "tasks")) {
    if (!v.is_object()) continue;
    const json::object& t = v.get_object();
    const int64_t id = Int(t, "FId");
    const bool isNew = std::any_of(newIds.begin(), newIds.end(), [id](const json::value& n) {
      return n.is_int64() && n.get_int64() == id;
    });
    rows.push_back(
        {isNew ? "*" : "", std::to_string(id), std::to_string(Int(t, "FIdRoute")),
         TaskStateName(Int(t, "FState")), FormatWireDate(Int(t, "FCriticalDate")),
         CellText(Str(t, "FTitle")),
         t.contains("FHasAttachments") && t.at("FHasAttachments") == true ? "yes" : "no"});
  }
  std::string text =
      rows.empty() ? "no changed tasks\n"
                   : FormatTable({"NEW", "ID", "ROUTE", "STATE", "DUE", "TITLE", "FILES"}, rows);
  if (!Array(record, "deletedTaskIds").empty())
    text += "deleted tasks: " + IdList(Array(record, "deletedTaskIds")) + "\n";
  if (!Array(record, "newCorrespondenceRoutes").empty())
    text += "new correspondence in processes: " + IdList(Array(record, "newCorrespondenceRoutes")) +
            "\n";
  text += "version " + std::to_string(Int(record, "version")) + ", correspondence version " +
          std::to_string(Int(record, "correspondenceVersion")) + "\n";
  return text;
}

std::string FormatAttachments(const json::object& record) {
  std::string text;
  if (const json::value* task = record.if_contains("task"); task && task->is_object())
    text += TaskRow(task->get_object()) + "\n";
  std::vector<std::vector<std::string>> rows;
  for (const json::value& v : Array(record, "attachments")) {
    if (!v.is_object()) continue;
    const json::object& a = v.get_object();
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08llX",
                  static_cast<unsigned long long>(Int(a, "FCRC")) & 0xFFFFFFFFull);
    rows.push_back({std::to_string(Int(a, "FObjectId")), std::to_string(Int(a, "FId")),
                    CellText(Str(a, "FExtension"), 16), std::to_string(Int(a, "FSize")), crc,
                    CellText(Str(a, "FTitle"))});
  }
  text += rows.empty() ? "no files\n"
                       : FormatTable({"OBJECT", "FILE", "EXT", "SIZE", "CRC32", "TITLE"}, rows);
  if (!Array(record, "deleted").empty())
    text += "deleted objects: " + IdList(Array(record, "deleted")) + "\n";
  if (Int(record, "version") >= 0)
    text += "version " + std::to_string(Int(record, "version")) + "\n";
  return text;
}

std::string FormatLetters(const json::object& record) {
  std::vector<std::vector<std::string>> rows;
  for (const json::value& v : Array(record, "letters")) {
    if (!v.is_object()) continue;
    const json::object& l = v.get_object();
    rows.push_back({std::to_string(Int(l, "FId")), std::to_string(Int(l, "FIdAuthor")),
                    FormatWireDate(Int(l, "FDate")), CellText(Str(l, "FText"), 100)});
  }
  std::string text =
      rows.empty() ? "no new letters\n" : FormatTable({"ID", "AUTHOR", "DATE", "TEXT"}, rows);
  return text + "version " + std::to_string(Int(record, "version")) + "\n";
}

std::string FormatUsers(const json::object& record) {
  std::vector<std::vector<std::string>> rows;
  for (const json::value& v : Array(record, "users")) {
    if (!v.is_object()) continue;
    const json::object& u = v.get_object();
    rows.push_back({std::to_string(Int(u, "FIdUser")), CellText(Str(u, "FUserFullname")),
                    std::to_string(Int(u, "FIdRole")), CellText(Str(u, "FRoleName")),
                    CellText(Str(u, "FDepartmentName"))});
  }
  std::string text = rows.empty()
                         ? "no changed users\n"
                         : FormatTable({"USER", "NAME", "ROLE", "ROLE NAME", "DEPARTMENT"}, rows);
  if (!Array(record, "deleted").empty())
    text += "deleted: " + IdList(Array(record, "deleted")) + "\n";
  return text + "version " + std::to_string(Int(record, "version")) + "\n";
}

}  // namespace brevalon::client
