// The collection directory: file names, the graph and vector file formats, and loading.
#pragma once

#include <atomic>
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
    std::uint32_t graph_crc = 0;  // CRC-32 of "graph.quarn" as read
  };

  // Reads "graph.quarn" whole, maps "vectors.bin" read-only, attaches "vectors.sq8" when
  // present. Every inconsistency between the files is an Io error of kind invalid data: a
  // loaded index never indexes outside its buffers, whatever the files hold.
  Result<Loaded> load() const;

  const std::filesystem::path& graph_path() const { return graph_path_; }
  const std::filesystem::path& vectors_path() const { return vectors_path_; }
  const std::filesystem::path& quantized_path() const { return quantized_path_; }
  const std::filesystem::path& walk_codes_path() const { return walk_codes_path_; }

 private:
  std::filesystem::path graph_path_;
  std::filesystem::path vectors_path_;
  std::filesystem::path quantized_path_;
  std::filesystem::path walk_codes_path_;
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

// Saving replaces up to four files with one rename each, so a crash between renames could
// pair a new "vectors.bin" with the old "graph.quarn". To make the switch all-or-nothing,
// begin_save first renames the current "graph.quarn" to "graph.quarn.bak" (the mark of a save
// under way), then "vectors.sq8", "vectors.codes" and "vectors.bin" to "<file>.bak"; finish_save drops the
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

// What a collection's writer tells the processes that follow it, kept in bytes 0 to 15 of the
// directory's "LOCK" file (little-endian u64s; a shorter file reads as zeros). Older builds
// open that file only to lock bytes 0 and 1 and never read it, so they open collections
// that carry these as before; a writer of an older build does not move them, so readers of
// this build see its changes only when they open the collection again.
struct Counters {
  std::uint64_t generation = 0;  // saves so far: moves when the saved files are replaced
  std::uint64_t changes = 0;     // log appends and saves so far: moves whenever the state does
  friend bool operator==(const Counters&, const Counters&) = default;
};

// What every user of one collection directory in this process shares: the claim to be the
// one process that writes the collection, the directory's change counters, and the
// collection object that the handles of this process share (the db layer keeps it here).
// Obtained per directory (by device and inode); released with its last holder.
class SharedDirectory {
 public:
  // The entry of the directory, created on first use. The directory must exist. An entry
  // whose directory has been deleted (and perhaps created again under the same name) is
  // never handed out again: a new entry takes its place.
  static Result<std::shared_ptr<SharedDirectory>> of(const std::filesystem::path& directory);
  ~SharedDirectory();
  SharedDirectory(const SharedDirectory&) = delete;
  SharedDirectory& operator=(const SharedDirectory&) = delete;

  const std::filesystem::path& directory() const { return directory_; }

  // Held around every append to, cut of and reset of the log.
  // A database takes it under its own log lock and before its index lock.
  Mutex& log_mutex() RETURN_CAPABILITY(log_mutex_) { return log_mutex_; }
  // Serialises the opens of this directory in this process, so that they share one object.
  Mutex& open_mutex() RETURN_CAPABILITY(open_mutex_) { return open_mutex_; }

  // Makes this process the collection's writer (an exclusive lock on byte 1 of "LOCK",
  // kept until the last holder of this entry in this process is gone). Fails, naming the
  // directory, while another process holds it, and with "collection '...' was deleted" once
  // the directory is gone or another directory has taken its name. A claim belongs to the
  // process that made it: after fork() the child holds none, and its first claim is made
  // afresh (and fails while the parent holds the role). Cheap once held.
  // `fresh` is set when this call made the claim (the caller then catches up with whatever
  // other processes wrote before it).
  Result<void> claim_writer(bool* fresh = nullptr) EXCLUDES(claim_mutex_);
  // Whether this process holds the claim (a cheap test, for the readers' fast path).
  bool holds_writer() const;
  // Gives the claim up (a claim whose holder could not catch up must not be written under).
  void release_writer() EXCLUDES(claim_mutex_);

  // The counters as the file holds them now; zeros where there is no file to read
  // (read-only media, where nothing can change).
  Counters read_counters() const;
  // Writes the counters (the writer only). Io error when the file cannot be written.
  Result<void> write_counters(const Counters& counters);

  // Whether the directory at the entry's path is still the one this entry was made for:
  // its "LOCK" file is the one held open here (which keeps its inode from being reused).
  bool still_current() const;
  // Marks the directory deleted by this process: every later claim fails.
  void mark_deleted() { deleted_.store(true); }
  bool deleted() const { return deleted_.load(); }

  // The collection object this process has open on the directory, if any: stored by the db
  // layer as an opaque pointer (held weakly, so the last handle still destroys it).
  std::shared_ptr<void> collection() const EXCLUDES(collection_mutex_);
  void set_collection(std::weak_ptr<void> collection) EXCLUDES(collection_mutex_);

  SharedDirectory(std::filesystem::path directory, std::uint64_t key_dev, std::uint64_t key_ino,
                  io::UniqueFd state, io::MappedRegion counters);

 private:
  friend struct ForkHandlers;
  std::filesystem::path directory_;
  std::uint64_t dev_;
  std::uint64_t ino_;
  // "LOCK", open for the whole life of the entry: the counters are read and written through
  // it, and holding it open keeps the file's inode from being reused while we compare it.
  io::UniqueFd state_;
  // The counters at the start of state_'s file, mapped shared (unmapped where the file could
  // not be made long enough: read-only media, where read_counters reads through state_).
  io::MappedRegion counters_;
  std::size_t holders_ = 0;  // guarded by the registry's mutex
  bool registered_ = true;   // guarded by the registry's mutex
  std::atomic<bool> deleted_{false};
  Mutex log_mutex_;
  Mutex open_mutex_;
  Mutex claim_mutex_;
  io::UniqueFd claim_ GUARDED_BY(claim_mutex_);  // valid once claimed
  // The fork generation the claim was made in (see claim_writer); a claim of an earlier
  // generation was inherited from a parent process and is not ours.
  std::atomic<std::uint64_t> claim_generation_{0};
  std::atomic<bool> claimed_{false};
  mutable Mutex collection_mutex_;
  std::weak_ptr<void> collection_ GUARDED_BY(collection_mutex_);
};

}  // namespace quarn_core::storage
