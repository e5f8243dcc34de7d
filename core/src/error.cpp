#include "quarn_core/error.hpp"

#include <cerrno>
#include <cstring>

namespace quarn_core::error {

std::string IoError::to_string() const {
  if (kind != IoKind::Os) return message;
  // strerror_r (GNU flavour) may return a static string instead of filling buf.
  char buf[256];
  const char* text = strerror_r(os_code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(os_code) + ")";
}

IoError IoError::from_errno(int code) { return IoError{IoKind::Os, code, {}}; }
IoError IoError::invalid_data(std::string message) {
  return IoError{IoKind::InvalidData, 0, std::move(message)};
}
IoError IoError::unexpected_eof() {
  return IoError{IoKind::UnexpectedEof, 0, "failed to fill whole buffer"};
}
IoError IoError::write_zero() { return IoError{IoKind::WriteZero, 0, "failed to write whole buffer"}; }

QuarnError QuarnError::dimension_mismatch(std::size_t expected, std::size_t got) {
  QuarnError e(ErrorKind::DimensionMismatch, {});
  e.expected_ = expected;
  e.got_ = got;
  return e;
}
QuarnError QuarnError::duplicate_id(std::string id) {
  return {ErrorKind::DuplicateId, std::move(id)};
}
QuarnError QuarnError::not_found(std::string id) { return {ErrorKind::NotFound, std::move(id)}; }
QuarnError QuarnError::database_not_found(std::string path) {
  return {ErrorKind::DatabaseNotFound, std::move(path)};
}
QuarnError QuarnError::io(IoError error) {
  QuarnError e(ErrorKind::Io, {});
  e.io_ = std::move(error);
  return e;
}
QuarnError QuarnError::corrupt(std::string description) {
  return {ErrorKind::Corrupt, std::move(description)};
}
QuarnError QuarnError::collection_exists(std::string name) {
  return {ErrorKind::CollectionExists, std::move(name)};
}
QuarnError QuarnError::invalid_name(std::string reason) {
  return {ErrorKind::InvalidName, std::move(reason)};
}

QuarnError QuarnError::invalid_argument(std::string reason) {
  return {ErrorKind::InvalidArgument, std::move(reason)};
}

std::string QuarnError::to_string() const {
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case ErrorKind::DuplicateId:
      return "id '" + text_ + "' already exists, use upsert instead";
    case ErrorKind::NotFound:
      return "id '" + text_ + "' not found";
    case ErrorKind::DatabaseNotFound:
      return "database not found at '" + text_ + "'";
    case ErrorKind::Io:
      return "io error: " + io_.to_string();
    case ErrorKind::Corrupt:
      return "corrupt data: " + text_;
    case ErrorKind::CollectionExists:
      return "collection '" + text_ + "' already exists";
    case ErrorKind::InvalidName:
      return "invalid collection name: " + text_;
    case ErrorKind::InvalidArgument:
      return text_;
  }
  return {};
}

std::unexpected<QuarnError> fail_errno() { return fail(IoError::from_errno(errno)); }

}  // namespace quarn_core::error
