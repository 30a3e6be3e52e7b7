// Feeds arbitrary text to the client's result decoder, in both kind-4 modes.
// A well-formed EClientError (or another of the system's exceptions) is the
// expected answer to garbage; anything else - a crash, a sanitizer report, a
// foreign exception - is a finding. What decodes is printed as the CLI prints
// it, and the printed text must parse back to the same JSON.
#include "client/result_decoder.h"

#include <boost/json/parse.hpp>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/json_format.h"

namespace {

void DecodeOnce(std::string_view text, brevalon::client::TaskInAttachments task) {
  try {
    const boost::json::object result = brevalon::client::DecodeResult(text, task);
    // The printed form must be valid JSON whatever the record's Strings held.
    const std::string printed = brevalon::client::FormatJson(result);
    if (boost::json::parse(printed) != boost::json::value(result)) __builtin_trap();
  } catch (const brevalon::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  DecodeOnce(text, brevalon::client::TaskInAttachments::kWithTask);
  DecodeOnce(text, brevalon::client::TaskInAttachments::kWithoutTask);
  DecodeOnce(text, brevalon::client::TaskInAttachments::kUnspecified);
  return 0;
}
