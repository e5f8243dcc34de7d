#include "quarn_core/client.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "quarn_core/storage.hpp"

namespace quarn_core::client {

namespace fs = std::filesystem;
using error::fail;
using error::fail_errno;
using error::IoError;

namespace {

bool is_ascii_name_char(std::int32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Letters and digits of any script: the Alphabetic property, or one of the numeric
// categories (decimal digits, letter numbers such as Roman numerals, other numbers such as
// superscripts).
bool is_unicode_alphanumeric(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const auto type = static_cast<UCharCategory>(u_charType(c));
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

fs::path collection_path(const fs::path& root, std::string_view name) { return root / name; }

}  // namespace

Result<void> validate_name(std::string_view name) {
  if (name.empty()) return fail(QuarnError::invalid_name("name cannot be empty"));
  if (name.find_first_of("/\\") != std::string_view::npos || name == "." || name == "..") {
    return fail(QuarnError::invalid_name("name cannot contain path separators or be '.' or '..'"));
  }
  // Names come from Python strings and so are valid UTF-8; a byte string that is not is
  // rejected like any other character we do not allow.
  if (name.size() > static_cast<std::size_t>(INT32_MAX)) {
    return fail(QuarnError::invalid_name("name must be alphanumeric, hyphens, or underscores"));
  }
  const auto* s = reinterpret_cast<const std::uint8_t*>(name.data());
  const auto length = static_cast<std::int32_t>(name.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    const bool ok = c >= 0 && (c < 0x80 ? is_ascii_name_char(c) : is_unicode_alphanumeric(c));
    if (!ok) {
      return fail(QuarnError::invalid_name("name must be alphanumeric, hyphens, or underscores"));
    }
  }
  return {};
}

Result<void> ensure_root(const fs::path& root) {
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) return fail(IoError::from_errno(ec.value()));
  return {};
}

Result<std::vector<std::string>> list_collections(const fs::path& root) {
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return fail_errno();
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{dir};

  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return fail_errno();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;

    // The type as the entry itself has it: a link to a directory is a link, not a directory.
    bool is_dir;
    if (entry->d_type != DT_UNKNOWN) {
      is_dir = entry->d_type == DT_DIR;
    } else {
      struct stat st {};
      if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail_errno();
      }
      is_dir = S_ISDIR(st.st_mode);
    }
    if (!is_dir || !is_valid_utf8(name)) continue;

    // A save in progress has the graph under its backup name for a moment.
    if (!storage::holds_saved_collection(root / name)) continue;
    names.emplace_back(name);
  }
  // std::string compares its chars as unsigned bytes, which is the byte order of UTF-8.
  std::stable_sort(names.begin(), names.end());
  return names;
}

Result<bool> delete_collection(const fs::path& root, std::string_view name) {
  if (auto r = validate_name(name); !r) return std::unexpected(std::move(r.error()));
  const fs::path path = collection_path(root, name);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (::lstat(path.c_str(), &st) != 0) return fail_errno();

  if (S_ISLNK(st.st_mode)) {
    // Drop the link only: the directory it points to is not this client's to delete.
    if (::unlink(path.c_str()) != 0) return fail_errno();
    return true;
  }
  // Only a directory is a collection. Removing whatever else sits under that name would
  // destroy a file the client never made.
  if (!S_ISDIR(st.st_mode)) return fail(IoError::from_errno(ENOTDIR));
  // The writer's role first: a writer in another process would go on writing into a
  // directory that is gone (or one created again under the name), and so would one of
  // this process unless it learns of the deletion.
  auto shared = storage::SharedDirectory::of(path);
  if (!shared) return std::unexpected(std::move(shared.error()));
  MutexLock open_guard((*shared)->open_mutex());
  if (auto r = (*shared)->claim_writer(); !r) return std::unexpected(std::move(r.error()));
  auto remove = [&]() -> Result<void> {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) return fail(IoError::from_errno(ec.value()));
    return {};
  };
  auto live = std::static_pointer_cast<db::Database>((*shared)->collection());
  if (auto r = live ? live->retire(remove) : remove(); !r) {
    return std::unexpected(std::move(r.error()));
  }
  (*shared)->mark_deleted();
  return true;
}

Result<std::shared_ptr<db::Database>> create_collection(const fs::path& root, std::string_view name,
                                                        std::size_t dim, distance::Metric metric,
                                                        const db::DatabaseConfig& config) {
  if (auto r = validate_name(name); !r) return std::unexpected(std::move(r.error()));
  const fs::path path = collection_path(root, name);
  // lstat, so that a dangling link counts as taken too rather than being created through.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    return fail(QuarnError::collection_exists(std::string(name)));
  }
  return db::Database::open_or_create_with_config(path, dim, metric, config);
}

Result<std::shared_ptr<db::Database>> get_collection(const fs::path& root, std::string_view name) {
  if (auto r = validate_name(name); !r) return std::unexpected(std::move(r.error()));
  return db::Database::open(collection_path(root, name));
}

Result<std::shared_ptr<db::Database>> get_or_create_collection(const fs::path& root,
                                                               std::string_view name,
                                                               std::size_t dim,
                                                               distance::Metric metric) {
  if (auto r = validate_name(name); !r) return std::unexpected(std::move(r.error()));
  const db::DatabaseConfig config{.m = 16, .ef_construction = 200, .quantize = false};
  return db::Database::open_or_create_with_config(collection_path(root, name), dim, metric, config);
}

}  // namespace quarn_core::client
