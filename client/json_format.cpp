#include "client/json_format.h"

#include <boost/json/serialize.hpp>

namespace brevalon::client {
namespace {

void Append(std::string& out, const boost::json::value& value, size_t depth) {
  const auto newline = [&out](size_t level) {
    out += '\n';
    out.append(level * 2, ' ');
  };
  if (value.is_object()) {
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      out += "{}";
      return;
    }
    out += '{';
    bool first = true;
    for (const auto& entry : object) {
      if (!first) out += ',';
      first = false;
      newline(depth + 1);
      out += boost::json::serialize(boost::json::value(entry.key()));
      out += ": ";
      Append(out, entry.value(), depth + 1);
    }
    newline(depth);
    out += '}';
  } else if (value.is_array()) {
    const boost::json::array& array = value.get_array();
    if (array.empty()) {
      out += "[]";
      return;
    }
    // Lists of ids stay on one line; lists of records get a line each.
    bool scalars = true;
    for (const boost::json::value& item : array) {
      scalars = scalars && !item.is_object() && !item.is_array();
    }
    if (scalars) {
      out += '[';
      for (size_t i = 0; i < array.size(); ++i) {
        if (i != 0) out += ", ";
        out += boost::json::serialize(array[i]);
      }
      out += ']';
      return;
    }
    out += '[';
    bool first = true;
    for (const boost::json::value& item : array) {
      if (!first) out += ',';
      first = false;
      newline(depth + 1);
      Append(out, item, depth + 1);
    }
    newline(depth);
    out += ']';
  } else {
    out += boost::json::serialize(value);
  }
}

}  // namespace

std::string FormatJson(const boost::json::value& value, bool pretty) {
  if (!pretty) return boost::json::serialize(value);
  std::string out;
  Append(out, value, 0);
  return out;
}

}  // namespace brevalon::client
