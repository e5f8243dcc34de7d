// The one error type of the core, and the Result every fallible operation returns.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <utility>

namespace quarn_core::error {

// What an I/O failure is: an operating-system error (carrying errno), or one the system
// makes itself from a message (a format problem, a short read or write).
enum class IoKind { Os, InvalidData, UnexpectedEof, WriteZero, Other };

struct IoError {
  IoKind kind = IoKind::Other;
  int os_code = 0;      // errno, meaningful for IoKind::Os only
  std::string message;  // the text, for every kind but IoKind::Os

  // The error's own text: the message, or for an OS error its description and
  // " (os error N)".
  std::string to_string() const;

  static IoError from_errno(int code);
  static IoError invalid_data(std::string message);
  static IoError unexpected_eof();  // "failed to fill whole buffer"
  static IoError write_zero();      // "failed to write whole buffer"
};

enum class ErrorKind {
  DimensionMismatch,
  DuplicateId,
  NotFound,
  DatabaseNotFound,
  Io,
  Corrupt,
  CollectionExists,
  InvalidName,
  InvalidArgument,  // an argument that does not fit the collection's state
};

// Owns its strings; moved, never shared; no cause chain.
class QuarnError {
 public:
  static QuarnError dimension_mismatch(std::size_t expected, std::size_t got);
  static QuarnError duplicate_id(std::string id);
  static QuarnError not_found(std::string id);
  static QuarnError database_not_found(std::string path);
  static QuarnError io(IoError error);
  static QuarnError corrupt(std::string description);
  static QuarnError collection_exists(std::string name);
  static QuarnError invalid_name(std::string reason);
  static QuarnError invalid_argument(std::string reason);

  ErrorKind kind() const { return kind_; }
  // DimensionMismatch only.
  std::size_t expected() const { return expected_; }
  std::size_t got() const { return got_; }
  // The id, path, description, name or reason; empty for DimensionMismatch and Io.
  const std::string& text() const { return text_; }
  // Io only.
  const IoError& io_error() const { return io_; }

  // The display text shown to users, verbatim.
  std::string to_string() const;

 private:
  QuarnError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  std::size_t expected_ = 0;
  std::size_t got_ = 0;
  std::string text_;
  IoError io_;
};

// std::expected that the compiler will not let a caller ignore.
template <class T>
class [[nodiscard]] Result : public std::expected<T, QuarnError> {
 public:
  using std::expected<T, QuarnError>::expected;
  Result(std::expected<T, QuarnError>&& other)  // NOLINT(google-explicit-constructor)
      : std::expected<T, QuarnError>(std::move(other)) {}
};

inline std::unexpected<QuarnError> fail(QuarnError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<QuarnError> fail(IoError e) {
  return std::unexpected(QuarnError::io(std::move(e)));
}
// The current errno as an Io error.
std::unexpected<QuarnError> fail_errno();

}  // namespace quarn_core::error

namespace quarn_core {
using error::QuarnError;
using error::Result;
}  // namespace quarn_core
