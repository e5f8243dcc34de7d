// Helpers shared by the core tests: a temporary directory removed on scope exit, and
// assertions on Results that print the error's text.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "quarn_core/error.hpp"

namespace quarn_core::testing {

template <class T>
::testing::AssertionResult Ok(const Result<T>& r) {
  if (r) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.error().to_string();
}

template <class T>
::testing::AssertionResult Fails(const Result<T>& r, error::ErrorKind kind) {
  if (r) return ::testing::AssertionFailure() << "succeeded";
  if (r.error().kind() != kind) {
    return ::testing::AssertionFailure() << "wrong error: " << r.error().to_string();
  }
  return ::testing::AssertionSuccess();
}

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
