// The collection directory: file names, the graph and vector file formats, and loading.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarn_core/error.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/sync.hpp"
#include "quarn_core/json.hpp"

namespace quarn_core::storage {

inline constexpr std::uint32_t kGraphMagic = 0x48535747;  // "GWSH"
inline constexpr std::uint32_t kGraphVersion = 2;
inline constexpr std::uint32_t kMetadataMagic = 0x4D455441;  // "ATEM"

// One persisted id with its metadata and slot.
struct MetaRecord {
  std::string id;
  std::optional<json::Value> metadata;
  std::uint32_t slot = 0;
};

// The paths of one collection; building it touches no file.
class Storage {
 public:
  explicit Storage(const std::filesystem::path& directory);

  struct Loaded {
    std::unique_ptr<hnsw::HnswIndex> index;
    std::vector<MetaRecord> records;
  };

  // Reads "graph.quarn" whole, maps "vectors.bin" read-only, attaches "vectors.sq8" when
  // present. Every inconsistency between the files is an Io error of kind invalid data: a
  // loaded index never indexes outside its buffers, whatever the files hold.
  Result<Loaded> load() const;

  const std::filesystem::path& graph_path() const { return graph_path_; }
  const std::filesystem::path& vectors_path() const { return vectors_path_; }
  const std::filesystem::path& quantized_path() const { return quantized_path_; }

 private:
  std::filesystem::path graph_path_;
  std::filesystem::path vectors_path_;
  std::filesystem::path quantized_path_;
};

// The metadata section that follows the graph in "graph.quarn".
Result<void> write_metadata_section(io::BufWriter& writer, const std::vector<MetaRecord>& records);

// Writes `target` through a temporary file: the target's name with its extension replaced by
// "tmp", filled by `fill` through an 8192-byte buffered writer, flushed, synced, then renamed
// over the target. The target is never written in place (it may be memory-mapped), and no
// link is written through: whatever holds the temporary name is unlinked and the name created
// afresh (O_EXCL, O_NOFOLLOW).
Result<void> replace_file(const std::filesystem::path& target,
                          const std::function<Result<void>(io::BufWriter&)>& fill);

// Saving replaces up to three files with one rename each, so a crash between renames could
// pair a new "vectors.bin" with the old "graph.quarn". To make the switch all-or-nothing,
// begin_save first renames the current "graph.quarn" to "graph.quarn.bak" (the mark of a save
// under way), then "vectors.sq8" and "vectors.bin" to "<file>.bak"; finish_save drops the
// backups once the new graph is in place, the graph's last. Only renames and unlinks are
// used, so saves work on file systems without hard links. recover_interrupted_save, run at
// open and at the start of every save, puts the backups back when the new graph never
// arrived (the log, which that save never reset, still holds every change since the
// restored files) and clears them when it did. A backup made by an earlier version as a hard
// link to the graph (same inode) is rolled back the same way.
//
// Every one of these steps, and the load of a collection, runs under the DirectoryLock.
Result<void> begin_save(const Storage& storage);
Result<void> finish_save(const Storage& storage);
Result<void> recover_interrupted_save(const Storage& storage);

// Whether the directory holds a saved collection, complete or in the middle of a save.
bool holds_saved_collection(const std::filesystem::path& directory);

// Exclusive advisory lock on byte 0 of the file "LOCK" in a collection directory, held by
// open (recovery, load and the log read) and by save for their whole run. It is an
// open-file-description lock: threads of one process, each with its own lock, exclude one
// another as processes do. Acquiring creates the file if needed. A directory where the file
// can be neither created nor opened for writing (read-only media) gets a shared lock when
// the file exists and no lock at all otherwise: nothing there can be saved or recovered.
class DirectoryLock {
 public:
  static Result<DirectoryLock> acquire(const std::filesystem::path& directory);
  DirectoryLock(DirectoryLock&&) noexcept = default;
  DirectoryLock& operator=(DirectoryLock&&) noexcept = default;
  // Closing the descriptor releases the lock.
  ~DirectoryLock() = default;

 private:
  explicit DirectoryLock(io::UniqueFd fd) : fd_(std::move(fd)) {}
  io::UniqueFd fd_;
};

// What the handles of one collection directory in this process share: the mutex that
// orders their log appends and resets, and the claim to be the one process that writes the
// collection. Obtained per directory (by device and inode); released with its last handle.
class SharedDirectory {
 public:
  // The entry of the directory, created on first use. The directory must exist.
  static Result<std::shared_ptr<SharedDirectory>> of(const std::filesystem::path& directory);
  ~SharedDirectory();

  // Held around every append to, cut of and reset of the log by any handle.
  // A database takes it under its own log lock and before its index lock.
  Mutex& log_mutex() RETURN_CAPABILITY(log_mutex_) { return log_mutex_; }

  // Makes this process the collection's writer (an exclusive lock on byte 1 of "LOCK",
  // kept until the last handle of the directory in this process is dropped). Fails, naming
  // the directory, while another process holds it. Cheap once held.
  Result<void> claim_writer() EXCLUDES(claim_mutex_);

  SharedDirectory(std::filesystem::path directory, std::uint64_t key_dev, std::uint64_t key_ino)
      : directory_(std::move(directory)), dev_(key_dev), ino_(key_ino) {}

 private:
  std::filesystem::path directory_;
  std::uint64_t dev_;
  std::uint64_t ino_;
  Mutex log_mutex_;
  Mutex claim_mutex_;
  io::UniqueFd claim_ GUARDED_BY(claim_mutex_);  // valid once claimed
};

}  // namespace quarn_core::storage
