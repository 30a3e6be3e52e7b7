#include "sync/snapshot_cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace brevalon {

namespace {

constexpr std::string_view kTemporaryMiddle = ".cds.";
constexpr std::size_t kRandomChars = 6;  // mkstemp's XXXXXX

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Opens the directory `name` under `parent` without following a link.
DirHandle OpenDirectoryAt(int parent, const char* name) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* d = ::fdopendir(fd);
  if (!d) ::close(fd);
  return DirHandle(d);
}

bool IsDotOrDotDot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

bool IsSnapshotTemporaryName(std::string_view name) {
  if (name.size() < 1 + 1 + kTemporaryMiddle.size() + kRandomChars || name.front() != '.')
    return false;
  const std::string_view random = name.substr(name.size() - kRandomChars);
  for (const char c : random) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  const std::string_view rest = name.substr(0, name.size() - kRandomChars);
  return rest.ends_with(kTemporaryMiddle);
}

SnapshotCleanup RemoveSnapshotTemporaries(const std::filesystem::path& cacheDir,
                                          std::size_t maxEntries) {
  SnapshotCleanup result;
  DirHandle cache(::opendir(cacheDir.c_str()));
  if (!cache) return result;
  std::size_t seen = 0;
  while (const dirent* client = ::readdir(cache.get())) {
    if (IsDotOrDotDot(client->d_name)) continue;
    if (++seen > maxEntries) {
      result.Truncated = true;
      break;
    }
    // O_NOFOLLOW: a link in place of a client folder is not entered.
    DirHandle folder = OpenDirectoryAt(::dirfd(cache.get()), client->d_name);
    if (!folder) continue;
    const int folderFd = ::dirfd(folder.get());
    while (const dirent* entry = ::readdir(folder.get())) {
      if (IsDotOrDotDot(entry->d_name)) continue;
      if (++seen > maxEntries) {
        result.Truncated = true;
        return result;
      }
      if (!IsSnapshotTemporaryName(entry->d_name)) continue;
      struct stat st {};
      if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        continue;
      if (::unlinkat(folderFd, entry->d_name, 0) == 0)
        ++result.Removed;
      else
        ++result.Failed;
    }
  }
  return result;
}

}  // namespace brevalon
