// Workflow process names that carry a business-process kind, a numeric tag
// and a title at once: "{KKTTTTTTTT}Title", with the kind code KK and the tag
// TTTTTTTT in upper-case hexadecimal. Every program that uses the same
// workflow database reads and writes names of this form, so the format is
// fixed. Pure functions without state, safe on any thread.
//
// Byte layout of a name (texts are UTF-8; the first twelve bytes of a name
// that decodes are ASCII):
//   0      "{"
//   1-2    kind code: 02 task, 03 task with agreement, 06 task for
//          familiarisation; 04 and 05 are read as 02 and 03; written FF for
//          any other kind, which does not decode
//   3-10   tag, 32-bit two's complement
//   11     "}" (not checked when reading: the title starts after the first
//          "}" of the name, which may stand later)
//   12...  title, possibly empty, may itself hold "}"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brevalon {

enum TBProcessKind : uint8_t {
  bpkAgreeList,
  bpkFamiliarizationList,
  bpkTask,
  bpkTaskAgree,
  bpkTaskFamiliarization,
  bpkUnknown,
};

struct TBProcessInfo {
  TBProcessKind Kind = bpkUnknown;
  int32_t Tag = 0;
  std::string Title;
};

std::string EncodeProcessName(const TBProcessInfo& info);
std::string EncodeProcessName(TBProcessKind Kind, int32_t Tag, std::string_view Title);

// True and the three fields when `name` decodes; false and `info` untouched
// otherwise.
bool DecodeProcessName(std::string_view name, TBProcessInfo& info);

// The title of a name that decodes, the empty text for any other name.
std::string ProcessNameTitle(std::string_view name);
// The kind of a name that decodes, bpkUnknown for any other name.
TBProcessKind ProcessNameKind(std::string_view name);

}  // namespace brevalon
