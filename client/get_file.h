// File download of the reference client: reads a document version's file
// with a series of GetFile calls, block by block, the way a mobile client
// does. The gateway sends only blocks (no size, no end mark, no checksum),
// so the caller brings the file's size and CRC-32 (from the task's
// attachment list, FSize and FCRC); the download stops at that size, checks
// both, and only then puts the file in place: it is written to a temporary
// file beside the target and renamed, so the target is never a torn or wrong
// file. What the gateway sends is untrusted: a block longer than asked for,
// an empty block before the end, or a text that is not Base64 fails the
// download.
//
// Functions for one thread; the transport must be signed in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "client/transport.h"
#include "util/crc32.h"

namespace brevalon::client {

// The file's bytes do not match its stated size or checksum.
class EFileMismatch : public Exception {
 public:
  explicit EFileMismatch(const std::string& message) : Exception(message) {}
};

// CRC-32 (the IEEE polynomial, as zip and PNG), fed piece by piece.
class Crc32 {
 public:
  void Update(std::span<const uint8_t> bytes) { FCrc = Crc32Update(FCrc, bytes); }
  uint32_t Value() const { return Crc32Final(FCrc); }

 private:
  uint32_t FCrc = kCrc32Start;
};

inline constexpr int32_t kDefaultBlockSize = 65536;
inline constexpr int32_t kMaxBlockSize = 16 * 1024 * 1024;

struct GetFileOptions {
  int32_t Attachment = 0;   // IdAttachment: the version (FObjectId of the attachment)
  std::string Extension;    // without the dot
  int64_t Size = 0;         // FSize
  uint32_t Crc = 0;         // FCRC
  int32_t BlockSize = kDefaultBlockSize;
  std::filesystem::path Output;
};

// (bytes received, bytes expected), after every block.
using ProgressFn = std::function<void(int64_t, int64_t)>;

// Downloads and checks the file and renames it into place. Raises
// EClientError for bad options, EMethodFailed when a GetFile call fails,
// EFileMismatch when size or checksum differ, ETransportError for a
// malformed block and transport failures; no file at Output then (an
// existing one is left as it was).
void DownloadFile(ITransport& transport, const GetFileOptions& options, const ProgressFn& progress = {});

// Size and checksum of a task's attachment from GetTaskAttachments (called
// with `uid` and list version 0, the whole list): the attachment whose
// FObjectId is `attachment` and, when `extension` is not empty, whose
// FExtension matches it without regard to case. Raises EClientError when
// there is none.
struct AttachmentFacts {
  int64_t Size = 0;
  uint32_t Crc = 0;
  std::string Extension;
};
AttachmentFacts LookupAttachment(ITransport& transport, int32_t task, int32_t attachment,
                                 const std::string& extension, const std::string& uid);

}  // namespace brevalon::client
