// Base of every failure the gateway raises. Each failure class of the system
// (EDataTypeException, EIntegerListException, EApiException, ...) derives from
// it and carries a message; the session's worker alone turns one into a return
// code. Plain data, safe to copy between threads.
#pragma once

#include <stdexcept>
#include <string>

namespace brevalon {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  const std::string Message() const { return what(); }
};

}  // namespace brevalon
