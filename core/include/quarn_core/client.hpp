// Named collections under one root directory. The directory tree is the registry: collection
// N is the directory root/N, and it is listed once it holds a saved graph file (a collection
// is saved when it is created). Nothing is cached here; every call looks at the file system
// again, and an opened collection is the one Database this process has open on it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/distance.hpp"
#include "quarn_core/error.hpp"

namespace quarn_core::client {

// Accepts a name that can only ever mean one directory entry directly under the root.
// Checks, in this order, each failing with InvalidName and its reason:
// 1. the name is empty: "name cannot be empty";
// 2. it contains '/' or '\', or is "." or "..":
//    "name cannot contain path separators or be '.' or '..'";
// 3. a character is not an ASCII letter or digit, '-' or '_', nor a non-ASCII character
//    that is Unicode Alphabetic or of category Nd, Nl or No (invalid UTF-8 fails here too):
//    "name must be alphanumeric, hyphens, or underscores".
Result<void> validate_name(std::string_view name);

// Creates the root and any missing parents (0777 before the umask); an existing directory
// is fine. Io on failure.
Result<void> ensure_root(const std::filesystem::path& root);

// The names of the saved collections under root, in byte order: entries that are
// directories themselves (a symbolic link is not one), whose names are valid UTF-8, and
// that hold a "graph.quarn" (followed through links; an entry whose check fails is skipped).
// Io when the root cannot be read or an entry's type cannot be determined.
Result<std::vector<std::string>> list_collections(const std::filesystem::path& root);

// Removes root/name with everything under it. False when nothing is there. A symbolic link
// is removed itself, never what it points to. Io when removal fails, including when
// root/name is a regular file or another non-directory ("Not a directory"), and while
// another process writes the collection ("... is being written by another process"): the
// writer's role is claimed first. Handles of this process on it fail from then on with
// "collection '...' was deleted" at their next change or save.
Result<bool> delete_collection(const std::filesystem::path& root, std::string_view name);

// Creates collection `name`. CollectionExists when anything at all is at root/name (a file,
// an empty directory, a dangling link, a collection); the path is then left untouched.
Result<std::shared_ptr<db::Database>> create_collection(const std::filesystem::path& root,
                                                        std::string_view name, std::size_t dim,
                                                        distance::Metric metric,
                                                        const db::DatabaseConfig& config);

// Opens the saved collection `name`; DatabaseNotFound (with the joined path) when there is
// none. Never creates anything.
Result<std::shared_ptr<db::Database>> get_collection(const std::filesystem::path& root,
                                                     std::string_view name);

// Opens collection `name` or creates it with m 16, ef_construction 200 and no quantization.
// An existing collection keeps its stored dimension and metric; dim and metric are then
// ignored.
Result<std::shared_ptr<db::Database>> get_or_create_collection(const std::filesystem::path& root,
                                                               std::string_view name,
                                                               std::size_t dim,
                                                               distance::Metric metric);

}  // namespace quarn_core::client
