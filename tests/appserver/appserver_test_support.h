// Shared helpers of the application-server tests: a temporary directory
// removed at the end of the test, and the path of the demo seed.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace brevalon::appserver::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "appserver-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path DemoSeedPath() {
  return std::filesystem::path(BREVALON_SOURCE_DIR) / "appserver" / "seeds" / "demo.json";
}

}  // namespace brevalon::appserver::testing
