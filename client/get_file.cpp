#include "client/get_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <random>

#include "client/remote_calls.h"
#include "client/result_decoder.h"

namespace brevalon::client {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// The temporary file beside the target; removed unless committed.
class TempFile {
 public:
  explicit TempFile(const fs::path& target) : FTarget(target) {
    std::random_device rd;
    FPath = target;
    FPath += ".part-" + std::to_string(getpid()) + "-" + std::to_string(rd());
    FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (FFd < 0) Fail("cannot create");
  }
  ~TempFile() {
    if (FFd >= 0) ::close(FFd);
    if (!FCommitted) ::unlink(FPath.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void Write(std::span<const uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Fail("cannot write");
      done += static_cast<std::size_t>(n);
    }
  }

  void Commit() {
    if (::fsync(FFd) != 0) Fail("cannot write");
    const int fd = FFd;
    FFd = -1;
    if (::close(fd) != 0) Fail("cannot write");
    if (std::rename(FPath.c_str(), FTarget.c_str()) != 0) Fail("cannot rename into place");
    FCommitted = true;
  }

 private:
  [[noreturn]] void Fail(const char* what) {
    throw EClientError(std::string(what) + " " + FPath.string() + ": " + std::strerror(errno));
  }

  fs::path FTarget;
  fs::path FPath;
  int FFd = -1;
  bool FCommitted = false;
};

}  // namespace

void DownloadFile(ITransport& transport, const GetFileOptions& options, const ProgressFn& progress) {
  if (options.BlockSize < 1 || options.BlockSize > kMaxBlockSize) {
    throw EClientError("the block size must be 1 to " + std::to_string(kMaxBlockSize));
  }
  // Positions are 32-bit on the wire.
  if (options.Size < 0 || options.Size > INT32_MAX) {
    throw EClientError("the size must be 0 to " + std::to_string(INT32_MAX) + " bytes");
  }
  if (options.Output.empty()) throw EClientError("no output path");

  TempFile file(options.Output);
  Crc32 crc;
  int64_t received = 0;
  if (progress) progress(0, options.Size);
  while (received < options.Size) {
    const int32_t want =
        static_cast<int32_t>(std::min<int64_t>(options.BlockSize, options.Size - received));
    const MethodReply reply = CallRequestMethod(transport, "GetFile",
                                                {{"IdAttachment", options.Attachment},
                                                 {"Extension", options.Extension},
                                                 {"BlockSize", want},
                                                 {"Position", static_cast<int32_t>(received)}});
    if (reply.ReturnCode != 0) throw EMethodFailed("GetFile", reply.ReturnCode, reply.Message);
    const json::value* text =
        reply.Result.is_object() ? reply.Result.as_object().if_contains("Block") : nullptr;
    if (!text || !text->is_string()) {
      throw ETransportError("GetFile answered no block: " +
                            json::serialize(reply.Result).substr(0, 200));
    }
    std::vector<uint8_t> block;
    try {
      block = DecodeBase64Strict(text->get_string());
    } catch (const EClientError& e) {
      throw ETransportError("GetFile answered a malformed block at byte " + std::to_string(received) +
                            ": " + e.Message());
    }
    if (block.size() > static_cast<std::size_t>(want)) {
      throw ETransportError("GetFile answered " + std::to_string(block.size()) + " bytes at byte " +
                            std::to_string(received) + ", " + std::to_string(want) + " were asked");
    }
    if (block.empty()) {
      throw EFileMismatch("the file ended after " + std::to_string(received) + " bytes, " +
                          std::to_string(options.Size) + " were expected");
    }
    file.Write(block);
    crc.Update(block);
    received += static_cast<int64_t>(block.size());
    if (progress) progress(received, options.Size);
  }
  if (crc.Value() != options.Crc) {
    throw EFileMismatch("CRC-32 mismatch: the file has " + Hex(crc.Value()) + ", " +
                        Hex(options.Crc) + " was expected");
  }
  file.Commit();
}

AttachmentFacts LookupAttachment(ITransport& transport, int32_t task, int32_t attachment,
                                 const std::string& extension, const std::string& uid) {
  const MethodReply reply = CallRequestMethod(
      transport, "GetTaskAttachments", {{"FStUID", uid}, {"FNDataSetVersion", 0}, {"FIdTask", task}});
  const json::object record = ResultRecord("GetTaskAttachments", reply);
  const auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  };
  for (const json::value& v : record.at("attachments").as_array()) {
    const json::object& a = v.as_object();
    if (a.at("FObjectId").as_int64() != attachment) continue;
    if (!extension.empty() && !same(a.at("FExtension").as_string(), extension)) continue;
    const int64_t crc = a.at("FCRC").as_int64();
    if (crc < 0 || crc > UINT32_MAX) {
      throw ETransportError("attachment " + std::to_string(attachment) + " has checksum " +
                            std::to_string(crc) + ", not a 32-bit value");
    }
    AttachmentFacts facts;
    facts.Size = a.at("FSize").as_int64();
    facts.Crc = static_cast<uint32_t>(crc);
    facts.Extension = std::string(a.at("FExtension").as_string());
    return facts;
  }
  throw EClientError("task " + std::to_string(task) + " has no attachment " +
                     std::to_string(attachment) +
                     (extension.empty() ? std::string() : " with extension \"" + extension + "\""));
}

}  // namespace brevalon::client
