// Removing what interrupted snapshot saves left behind. A snapshot is written
// to a hidden temporary ".<name>.cds.XXXXXX" beside it and renamed into place
// (data/dataset_io.cpp); a process killed between the two leaves the
// temporary, which no snapshot look-up reads but which would pile up.
//
// Called by the daemon once at start, before it serves: no session exists
// then, so no save is in progress and every temporary is an orphan. Not for
// use while sessions run (it would delete a save in flight).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace brevalon {

// Whether `name` is exactly a snapshot save's temporary: "." + a non-empty
// name + ".cds." + six letters or digits.
bool IsSnapshotTemporaryName(std::string_view name);

struct SnapshotCleanup {
  std::size_t Removed = 0;  // temporaries deleted
  std::size_t Failed = 0;   // temporaries that could not be deleted
  bool Truncated = false;   // the entry bound was reached; the rest was left as it is
};

// Deletes the temporaries in every client folder <cacheDir>/<UID>/. Only
// regular files with the temporary's name are touched; symbolic links are
// never followed (a link in place of a client folder or of a file is left
// alone) and nothing deeper than the client folders is looked at. At most
// `maxEntries` directory entries are examined in all. A missing or unreadable
// cache folder is nothing to clean.
SnapshotCleanup RemoveSnapshotTemporaries(const std::filesystem::path& cacheDir,
                                          std::size_t maxEntries = 1000000);

}  // namespace brevalon
