// Helpers shared by the core tests: a temporary directory removed on scope exit, assertions
// on Results that print the error's text, and a collection's records as plain values.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quarn_core/db.hpp"
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

// prefix + std::to_string(i) without the string operator+ (which trips -Wrestrict in GCC 12).
inline std::string name(const char* prefix, std::uint64_t i) {
  std::string out(prefix);
  out += std::to_string(i);
  return out;
}

inline std::string text(const db::Metadata& m) { return m ? json::to_text(*m) : "<none>"; }

// Every live record of a collection as id -> (vector, metadata text).
using Records = std::map<std::string, std::pair<std::vector<float>, std::string>>;
inline Records records_of(const db::Database& db) {
  Records out;
  for (const auto& id : db.ids()) {
    auto r = db.get(id);
    EXPECT_TRUE(Ok(r)) << id;
    if (r) out[id] = {r->first, text(r->second)};
  }
  return out;
}

// Whether any of the lines contains `part`.
inline bool mentions(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& l : lines) {
    if (l.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace quarn_core::testing
