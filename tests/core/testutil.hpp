// Helpers shared by the core tests: a temporary directory removed on scope exit, assertions
// on Results that print the error's text, opening a collection, counting its log records,
// a collection's records as plain values, and whole files as text.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/error.hpp"
#include "quarn_core/wal.hpp"

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

// The value of a Result that must have succeeded (a default value otherwise).
template <class T>
T value(Result<T> r) {
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : T{};
}

// A temporary directory; `in_memory` puts it on /dev/shm where there is one, for tests that
// save over and over (saves fsync, which tmpfs makes free).
class TempDir {
 public:
  explicit TempDir(bool in_memory = false) {
    const bool shm = in_memory && ::access("/dev/shm", W_OK) == 0;
    const std::filesystem::path base =
        shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "quarn-test-XXXXXX").string();
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

// A collection opened or created at `path`, or null after a failed test expectation.
inline std::shared_ptr<db::Database> create(const std::filesystem::path& path, std::size_t dim,
                                            distance::Metric metric = distance::Metric::Euclidean,
                                            db::DatabaseConfig config = {}) {
  auto r = db::Database::open_or_create_with_config(path, dim, metric, config);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

// A saved collection opened again, or null after a failed test expectation.
inline std::shared_ptr<db::Database> reopen(const std::filesystem::path& path) {
  auto r = db::Database::open(path);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

// Search options for the k nearest, at width ef_search when given.
inline db::SearchOptions nearest(std::size_t k, std::optional<std::size_t> ef_search = {}) {
  db::SearchOptions o;
  o.k = k;
  o.ef_search = ef_search;
  return o;
}

// The number of records in a collection's log.
inline std::size_t log_records(const std::filesystem::path& dir) {
  return value(wal::Wal(dir / wal::kWalFileName).read_all()).size();
}

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

// Allocation failure, through the operator new that fault_test.cpp puts in the test binary:
// from now on the n-th allocation of this thread throws std::bad_alloc (n = -1 disarms).
// allocation_failed() tells whether that failure was thrown since the last arming.
void fail_nth_allocation(long n);
bool allocation_failed();

inline std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_text(const std::filesystem::path& p, std::string_view text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// Whether any of the lines contains `part`.
inline bool mentions(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& l : lines) {
    if (l.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace quarn_core::testing
