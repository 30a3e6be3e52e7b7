// JSON text for people: Boost.JSON serialises on one line, the client prints
// results indented by two spaces per level, keys in the object's order. Pure
// function: safe from any thread.
#pragma once

#include <boost/json/value.hpp>
#include <string>

namespace brevalon::client {

// Indented text when pretty, else the compact one-line form. Empty objects
// and arrays print as {} and [], arrays of plain values on one line.
std::string FormatJson(const boost::json::value& value, bool pretty = true);

}  // namespace brevalon::client
