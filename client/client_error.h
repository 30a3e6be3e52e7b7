// EClientError: what the client library raises for input it cannot accept, be
// it a request description from the user (unknown method or field, a value of
// the wrong type) or a result text from the gateway (bad Base64, a record that
// is truncated, inconsistent or followed by stray bytes). The message names the
// field and, for results, the byte offset. Plain data, safe to copy.
#pragma once

#include <string>

#include "util/exception.h"

namespace brevalon::client {

class EClientError : public Exception {
 public:
  explicit EClientError(const std::string& message) : Exception(message) {}
};

}  // namespace brevalon::client
