// EDataTypeException: malformed request data (a wrong operation id, a record
// that ends before its last field, a length that cannot be right, a client UID
// that is not a plain directory name). The session's worker answers it with
// return code 406. Plain data, safe to copy between threads.
#pragma once

#include <string>

#include "util/exception.h"

namespace brevalon {

// The one message the client sees for every kind of malformed request data.
inline constexpr const char* kInvalidDataMessage = "Неверные данные";

class EDataTypeException : public Exception {
 public:
  EDataTypeException() : Exception(kInvalidDataMessage) {}
  explicit EDataTypeException(const std::string& message) : Exception(message) {}
};

}  // namespace brevalon
