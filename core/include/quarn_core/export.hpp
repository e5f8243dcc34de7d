// A whole collection as one JSON document, and back.
//
// The document is an object {"version", "dim", "metric", "vectors"}; each entry of "vectors"
// is {"id", "vector", "metadata"}, with "metadata" left out when the vector has none. Export
// writes it compactly or pretty-printed; import reads it with a strict reader of its own
// whose messages end with the line and column of the fault, then upserts every entry.
//
// The namespace carries a trailing underscore because `export` is a C++ keyword.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/error.hpp"
#include "quarn_core/json.hpp"

namespace quarn_core::export_ {

// One vector of the document.
struct ExportVector {
  std::string id;
  std::vector<float> vector;
  std::optional<json::Value> metadata;  // none: no "metadata" member (or null on import)
};

// The whole document.
struct ExportFormat {
  std::uint32_t version = 1;
  std::size_t dim = 0;
  std::string metric;  // the canonical metric name on export; read but not used on import
  std::vector<ExportVector> vectors;
  // The collection's text index definitions, as "text_indexes": [{"field", "language"}]
  // before "vectors"; the member is written only when there are some, and readers that do
  // not know it skip it (unknown members are skipped).
  std::vector<text::TextIndexSpec> text_indexes;
};

// Why export_json or import_json failed. Users are shown message(): when the file itself
// could not be created (export) or opened (import) that is the platform error's own text,
// as a file error of the host language would read ("No such file or directory (os error
// 2)"); for every other failure it is the error's display text ("io error: ..." for a failed
// write, "corrupt data: invalid JSON: ..." for a bad document, and so on).
struct TransferError {
  QuarnError error;
  bool opening = false;  // set for the create/open failure; error is then an Io error

  std::string message() const { return opening ? error.io_error().to_string() : error.to_string(); }
};

template <class T>
class [[nodiscard]] TransferResult : public std::expected<T, TransferError> {
 public:
  using std::expected<T, TransferError>::expected;
};

// Every live vector with its id and metadata, in the order of Database::ids(), and the
// collection's version-1 header. NotFound when an id disappears between the listing and
// its read.
Result<ExportFormat> snapshot(const db::Database& db);

// The document text: compact (no whitespace at all), or pretty (two-space indentation, every
// member and element on its own line, ": " after keys, [] and {} when empty). Never ends with
// a newline. Vector components use json::format_f32, metadata numbers json::format_f64.
std::string to_document(const ExportFormat& doc, bool pretty);

// Reads a document. Members may come in any order and unknown ones are skipped; either
// record may also be an array of its values in field order. Every failure is Corrupt with
// the description "invalid JSON: {message} at line {L} column {C}".
Result<ExportFormat> parse_document(std::string_view text);

// Told how far a transfer has come: (entries done, entries in all), now and then and once at
// the end. Returning false stops the transfer, which then fails with an Io error
// "interrupted".
using Progress = std::function<bool(std::size_t done, std::size_t total)>;

// Creates (or truncates) the file at path, snapshots the collection and writes the document
// through an 8192-byte buffer. A failed snapshot leaves the file empty; a failed write
// leaves it partly written. With `progress`, it is told after every block of entries written.
TransferResult<void> export_json(const db::Database& db, const std::filesystem::path& path,
                                 bool pretty, const Progress& progress = {});

// Reads the whole file, parses it, checks that its "dim" is the collection's
// (DimensionMismatch with expected = the collection's, got = the document's; nothing is
// changed then) and upserts every entry in document order with one upsert_many call.
// With `progress`, every entry's vector length is checked first (DimensionMismatch for the
// first wrong one, nothing changed), then the entries are upserted in blocks, in order, and
// `progress` is told after each; blocks applied before a stop or a failure stay applied.
TransferResult<void> import_json(db::Database& db, const std::filesystem::path& path,
                                 const Progress& progress = {});

}  // namespace quarn_core::export_
