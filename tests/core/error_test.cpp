#include "quarn_core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace quarn_core::error {
namespace {

TEST(ErrorTest, DisplayTextsAreExact) {
  struct Case {
    QuarnError error;
    const char* text;
  };
  const Case cases[] = {
      {QuarnError::dimension_mismatch(4, 3), "dimension mismatch: expected 4, got 3"},
      {QuarnError::duplicate_id("it's"), "id 'it's' already exists, use upsert instead"},
      {QuarnError::not_found("x"), "id 'x' not found"},
      {QuarnError::database_not_found("/tmp/db"), "database not found at '/tmp/db'"},
      {QuarnError::io(IoError::invalid_data("bad graph magic")), "io error: bad graph magic"},
      {QuarnError::io(IoError::unexpected_eof()), "io error: failed to fill whole buffer"},
      {QuarnError::io(IoError::write_zero()), "io error: failed to write whole buffer"},
      {QuarnError::io(IoError::from_errno(ENOENT)),
       "io error: No such file or directory (os error 2)"},
      {QuarnError::corrupt("invalid JSON: x"), "corrupt data: invalid JSON: x"},
      {QuarnError::collection_exists("docs"), "collection 'docs' already exists"},
      {QuarnError::invalid_name("empty"), "invalid collection name: empty"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.text);
  }
}

TEST(ErrorTest, ResultCarriesErrorKind) {
  Result<int> r = fail(IoError::from_errno(EACCES));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().io_error().os_code, EACCES);
}

}  // namespace
}  // namespace quarn_core::error
