// The side file that keeps a collection's text index definitions, "text_indexes.json":
//   {"version":1,"indexes":[{"field":"body","language":"english"},{"field":"title","language":null}]}
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "quarn_core/io.hpp"
#include "quarn_core/text.hpp"

namespace quarn_core::text {

namespace fs = std::filesystem;
using error::fail;
using error::IoError;

namespace {

constexpr std::uint64_t kSpecsVersion = 1;

IoError bad_file(const std::string& why) {
  return IoError::invalid_data(std::string(kTextIndexFileName) + ": " + why);
}

}  // namespace

Result<std::vector<TextIndexSpec>> read_specs(const fs::path& directory) {
  auto bytes = io::read_file(directory / kTextIndexFileName);
  if (!bytes) {
    const auto& e = bytes.error();
    if (e.kind() == error::ErrorKind::Io && e.io_error().kind == error::IoKind::Os &&
        e.io_error().os_code == ENOENT) {
      return std::vector<TextIndexSpec>{};
    }
    return std::unexpected(std::move(bytes.error()));
  }
  auto value =
      json::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value || !value->is_object()) return fail(bad_file("not a JSON object"));
  auto version = value->find("version");
  if (version == value->end() || !version->is_number_unsigned() ||
      version->get<std::uint64_t>() != kSpecsVersion) {
    return fail(bad_file("unknown version"));
  }
  auto indexes = value->find("indexes");
  if (indexes == value->end() || !indexes->is_array()) return fail(bad_file("no list of indexes"));
  std::vector<TextIndexSpec> out;
  for (const auto& entry : *indexes) {
    auto field = entry.is_object() ? entry.find("field") : entry.end();
    auto language = entry.is_object() ? entry.find("language") : entry.end();
    if (!entry.is_object() || field == entry.end() || !field->is_string() ||
        language == entry.end() || !(language->is_null() || language->is_string())) {
      return fail(bad_file("an index needs a field and a language (or null)"));
    }
    TextIndexSpec spec{field->get<std::string>(), std::nullopt};
    if (language->is_string()) {
      spec.language = language->get<std::string>();
      if (auto bad = check_language(*spec.language)) return fail(bad_file(*bad));
    }
    for (const auto& have : out) {
      if (have.field == spec.field) return fail(bad_file("field '" + spec.field + "' twice"));
    }
    out.push_back(std::move(spec));
  }
  return out;
}

Result<void> write_specs(const fs::path& directory, const std::vector<TextIndexSpec>& specs) {
  const fs::path file = directory / kTextIndexFileName;
  if (specs.empty()) {
    if (auto r = io::unlink_path(file); !r) return r;
    return io::sync_directory(directory);
  }
  std::string text = "{\"version\":" + std::to_string(kSpecsVersion) + ",\"indexes\":[";
  for (std::size_t i = 0; i < specs.size(); ++i) {
    if (i > 0) text += ',';
    text += "{\"field\":";
    json::append_quoted(text, specs[i].field);
    text += ",\"language\":";
    if (specs[i].language) {
      json::append_quoted(text, *specs[i].language);
    } else {
      text += "null";
    }
    text += '}';
  }
  text += "]}\n";

  // A fresh temporary file: one left by a failed write is unlinked first, and O_EXCL with
  // O_NOFOLLOW refuses to write through whatever else may have taken its name meanwhile (a
  // link planted in the directory).
  fs::path tmp = file;
  tmp.replace_extension("tmp");
  if (auto r = io::unlink_path(tmp); !r) return r;
  auto fd = io::open_file(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto written = [&]() -> Result<void> {
    if (auto r = io::write_all(fd->get(), text.data(), text.size()); !r) return r;
    if (auto r = io::sync_fd(fd->get()); !r) return r;
    if (::close(fd->release()) != 0) return error::fail_errno();
    return {};
  }();
  if (!written) {
    (void)io::unlink_path(tmp);
    return written;
  }
  if (auto r = io::rename_path(tmp, file); !r) {
    (void)io::unlink_path(tmp);
    return r;
  }
  return io::sync_directory(directory);
}

}  // namespace quarn_core::text
