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
#include "quarn_core/json.hpp"

namespace quarn_core::storage {

inline constexpr std::uint32_t kGraphMagic = 0x48535747;     // "GWSH"
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
// over the target. The target is never written in place (it may be memory-mapped).
Result<void> replace_file(const std::filesystem::path& target,
                          const std::function<Result<void>(io::BufWriter&)>& fill);

// Saving replaces up to three files with one rename each, so a crash between renames could
// pair a new "vectors.bin" with the old "graph.quarn". To make the switch all-or-nothing,
// begin_save keeps the current files under hard links named "<file>.bak" ("graph.quarn.bak"
// made last, so that it marks a complete set) before anything is renamed; finish_save drops
// them once the new graph is in place. recover_interrupted_save, run at open and at the start
// of every save, undoes a save that stopped before its new graph was renamed in (the log,
// which that save never reset, still holds every change since the restored files) and clears
// the backups of one that got past it.
Result<void> begin_save(const Storage& storage);
Result<void> finish_save(const Storage& storage);
Result<void> recover_interrupted_save(const Storage& storage);

}  // namespace quarn_core::storage
