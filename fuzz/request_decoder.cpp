// Feeds arbitrary text to the request decoders. The first byte picks the
// request class, the rest is the request text as a client would send it.
// Malformed data may only end in the system's own exceptions; anything else
// (a crash, a sanitizer report, another exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "protocol/request_records.h"

namespace {

template <typename T>
void Decode(std::string_view text) {
  T request(text);
  (void)request;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Cache directories named by fuzzed UIDs land in a throw-away folder.
  const std::string dir =
      (std::filesystem::temp_directory_path() / "brevalon-fuzz-request-decoder").string();
  std::filesystem::create_directories(dir);
  setenv("BREVALON_COMMONAPPDATA", dir.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  using namespace brevalon;
  try {
    switch (data[0] % 13) {
      case 0: Decode<TParamsConnectToDb>(text); break;
      case 1: Decode<TParamsGetUserList>(text); break;
      case 2: Decode<TParamsTaskAttachments>(text); break;
      case 3: Decode<TParamsGetTaskList>(text); break;
      case 4: Decode<TParamsTaskCorrespondece>(text); break;
      case 5: Decode<TParamsTaskCreation>(text); break;
      case 6: Decode<TParamsTaskEditing>(text); break;
      case 7: Decode<TParamsChangeTaskState>(text); break;
      case 8: Decode<TParamsSearchDocument>(text); break;
      case 9: Decode<TParamsSendCorrespondeceMessage>(text); break;
      case 10: Decode<TParamsCorrespondenceRead>(text); break;
      case 11: Decode<TParamsDeleteTask>(text); break;
      default: Decode<TParamsGetFile>(text); break;
    }
  } catch (const EDataTypeException&) {
  } catch (const Exception&) {
  }
  return 0;
}
