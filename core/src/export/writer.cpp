// Export: a collection's snapshot as a JSON document, compact or indented, written to a
// file one entry at a time.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "quarn_core/distance.hpp"
#include "quarn_core/export.hpp"
#include "quarn_core/io.hpp"
#include "transfer.hpp"

namespace quarn_core::export_ {

using detail::failed;
using detail::interrupted;
using error::IoError;

namespace {

void indent(std::string& out, int level) {
  out += '\n';
  out.append(static_cast<std::size_t>(level) * 2, ' ');
}

// Metadata in the pretty layout; scalars share the compact text (and its number layout).
void append_pretty(std::string& out, const json::Value& value, int level) {
  if (value.is_array()) {
    const auto& items = value.get_ref<const json::Value::array_t&>();
    if (items.empty()) {
      out += "[]";
      return;
    }
    out += '[';
    bool first = true;
    for (const auto& item : items) {
      if (!first) out += ',';
      first = false;
      indent(out, level + 1);
      append_pretty(out, item, level + 1);
    }
    indent(out, level);
    out += ']';
    return;
  }
  if (value.is_object()) {
    const auto& members = value.get_ref<const json::Value::object_t&>();
    if (members.empty()) {
      out += "{}";
      return;
    }
    out += '{';
    bool first = true;
    for (const auto& [key, item] : members) {
      if (!first) out += ',';
      first = false;
      indent(out, level + 1);
      json::append_quoted(out, key);
      out += ": ";
      append_pretty(out, item, level + 1);
    }
    indent(out, level);
    out += '}';
    return;
  }
  json::append_text(out, value);
}

// Everything before the first entry.
void append_head(std::string& out, const ExportFormat& doc, bool pretty) {
  const char* sep = pretty ? ": " : ":";
  out += pretty ? "{\n  " : "{";
  out += "\"version\"";
  out += sep;
  out += std::to_string(doc.version);
  out += pretty ? ",\n  " : ",";
  out += "\"dim\"";
  out += sep;
  out += std::to_string(doc.dim);
  out += pretty ? ",\n  " : ",";
  out += "\"metric\"";
  out += sep;
  json::append_quoted(out, doc.metric);
  out += pretty ? ",\n  " : ",";
  if (!doc.text_indexes.empty()) {
    out += "\"text_indexes\"";
    out += sep;
    out += '[';
    for (std::size_t i = 0; i < doc.text_indexes.size(); ++i) {
      const text::TextIndexSpec& spec = doc.text_indexes[i];
      if (i > 0) out += pretty ? ", " : ",";
      out += "{\"field\"";
      out += sep;
      json::append_quoted(out, spec.field);
      out += pretty ? ", \"language\"" : ",\"language\"";
      out += sep;
      if (spec.language) {
        json::append_quoted(out, *spec.language);
      } else {
        out += "null";
      }
      out += '}';
    }
    out += ']';
    out += pretty ? ",\n  " : ",";
  }
  out += "\"vectors\"";
  out += sep;
  out += '[';
}

// One entry of "vectors", preceded by its separator.
void append_entry(std::string& out, const ExportVector& entry, bool pretty, bool first) {
  if (!first) out += ',';
  if (!pretty) {
    out += "{\"id\":";
    json::append_quoted(out, entry.id);
    out += ",\"vector\":[";
    for (std::size_t i = 0; i < entry.vector.size(); ++i) {
      if (i > 0) out += ',';
      json::append_f32(out, entry.vector[i]);
    }
    out += ']';
    if (entry.metadata) {
      out += ",\"metadata\":";
      json::append_text(out, *entry.metadata);
    }
    out += '}';
    return;
  }
  // The entry sits at level 2 (inside the document and its "vectors" array).
  indent(out, 2);
  out += '{';
  indent(out, 3);
  out += "\"id\": ";
  json::append_quoted(out, entry.id);
  out += ',';
  indent(out, 3);
  out += "\"vector\": ";
  if (entry.vector.empty()) {
    out += "[]";
  } else {
    out += '[';
    for (std::size_t i = 0; i < entry.vector.size(); ++i) {
      if (i > 0) out += ',';
      indent(out, 4);
      json::append_f32(out, entry.vector[i]);
    }
    indent(out, 3);
    out += ']';
  }
  if (entry.metadata) {
    out += ',';
    indent(out, 3);
    out += "\"metadata\": ";
    append_pretty(out, *entry.metadata, 3);
  }
  indent(out, 2);
  out += '}';
}

void append_tail(std::string& out, bool pretty, bool empty) {
  if (pretty && !empty) indent(out, 1);
  out += ']';
  if (pretty) out += '\n';
  out += '}';
}

// Entries between two progress reports of an export: about a hundred over the document.
std::size_t export_step(std::size_t total) { return std::max<std::size_t>(1000, total / 100); }

}  // namespace

Result<ExportFormat> snapshot(const db::Database& db) {
  ExportFormat doc;
  const std::vector<std::string> ids = db.ids();
  doc.vectors.reserve(ids.size());
  for (const std::string& id : ids) {
    auto record = db.get(id);
    if (!record) return std::unexpected(std::move(record.error()));
    doc.vectors.push_back(ExportVector{id, std::move(record->first), std::move(record->second)});
  }
  doc.version = 1;
  doc.dim = db.dim();
  doc.metric = std::string(distance::metric_name(db.metric()));
  doc.text_indexes = db.text_indexes();
  return doc;
}

std::string to_document(const ExportFormat& doc, bool pretty) {
  std::string out;
  append_head(out, doc, pretty);
  for (std::size_t i = 0; i < doc.vectors.size(); ++i) {
    append_entry(out, doc.vectors[i], pretty, i == 0);
  }
  append_tail(out, pretty, doc.vectors.empty());
  return out;
}

TransferResult<void> export_json(const db::Database& db, const std::filesystem::path& path,
                                 bool pretty, const Progress& progress) {
  auto fd = io::open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return std::unexpected(failed(std::move(fd.error()), true));
  auto doc = snapshot(db);
  if (!doc) return std::unexpected(failed(std::move(doc.error())));

  // Entries are laid out one at a time, so that only the snapshot and not also its whole
  // text is held in memory.
  io::BufWriter writer(fd->get());
  std::string chunk;
  auto put = [&]() -> Result<void> {
    auto r = writer.write(chunk.data(), chunk.size());
    chunk.clear();
    return r;
  };
  append_head(chunk, *doc, pretty);
  if (auto r = put(); !r) return std::unexpected(failed(std::move(r.error())));
  const std::size_t total = doc->vectors.size(), step = export_step(total);
  for (std::size_t i = 0; i < total; ++i) {
    append_entry(chunk, doc->vectors[i], pretty, i == 0);
    if (auto r = put(); !r) return std::unexpected(failed(std::move(r.error())));
    if (progress && ((i + 1) % step == 0 || i + 1 == total) && !progress(i + 1, total)) {
      return std::unexpected(interrupted());
    }
  }
  append_tail(chunk, pretty, doc->vectors.empty());
  if (auto r = put(); !r) return std::unexpected(failed(std::move(r.error())));
  if (auto r = writer.flush(); !r) return std::unexpected(failed(std::move(r.error())));
  // A deferred write error (such as a full disk on some file systems) can show only here.
  if (::close(fd->release()) != 0 && errno != EINTR) {
    return std::unexpected(failed(QuarnError::io(IoError::from_errno(errno))));
  }
  return {};
}

}  // namespace quarn_core::export_
