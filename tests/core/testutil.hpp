// Helpers shared by the core tests: a temporary directory removed on scope exit.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace quarn_core::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace quarn_core::testing
