#include "quarn_core/storage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace quarn_core::storage {

namespace fs = std::filesystem;
using error::fail;
using error::IoError;

namespace {

std::unexpected<QuarnError> invalid(const std::string& message) {
  return fail(IoError::invalid_data(message));
}

std::string slot_message(const char* what, std::uint32_t slot, std::uint32_t n) {
  return std::string(what) + " " + std::to_string(slot) + " is not below the node count " +
         std::to_string(n);
}

// Reads consecutive u32 fields into `fields`, stopping at the first that is not there.
Result<void> read_u32s(io::ByteCursor& cur, std::initializer_list<std::uint32_t*> fields) {
  for (std::uint32_t* field : fields) {
    auto value = cur.read_u32();
    if (!value) return std::unexpected(std::move(value.error()));
    *field = *value;
  }
  return {};
}

// Reads `count` slots, each below the node count `n` (`what` names them in the error).
template <typename Out>
Result<void> read_slots(io::ByteCursor& cur, std::uint32_t count, std::uint32_t n, const char* what,
                        Out out) {
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot = 0;
    if (auto r = read_u32s(cur, {&slot}); !r) return r;
    if (slot >= n) return invalid(slot_message(what, slot, n));
    out(slot);
  }
  return {};
}

// The graph header up to and including the node and deleted counts.
struct GraphHeader {
  hnsw::LoadedGraph graph;  // the parameters and entry point filled in
  std::uint32_t n = 0;      // node count
  std::uint32_t d = 0;      // deleted count
};

constexpr std::uint32_t kUnnamed = 0xFFFFFFFF;

Result<GraphHeader> decode_header(io::ByteCursor& cur) {
  std::uint32_t magic = 0, version = 0, dim = 0;
  if (auto r = read_u32s(cur, {&magic}); !r) return std::unexpected(std::move(r.error()));
  if (magic != kGraphMagic) return invalid("bad graph magic");
  if (auto r = read_u32s(cur, {&version}); !r) return std::unexpected(std::move(r.error()));
  if (version != kGraphVersion) {
    return invalid("unsupported graph version: " + std::to_string(version));
  }
  if (auto r = read_u32s(cur, {&dim}); !r) return std::unexpected(std::move(r.error()));
  auto metric_code = cur.read_u8();
  if (!metric_code) return std::unexpected(std::move(metric_code.error()));
  auto metric = distance::metric_from_code(*metric_code);
  if (!metric) return invalid("unknown metric: " + std::to_string(*metric_code));
  std::uint32_t m = 0, ef_construction = 0, entry_point = 0, max_level = 0;
  GraphHeader h;
  if (auto r = read_u32s(cur, {&m, &ef_construction, &entry_point, &max_level, &h.n, &h.d}); !r) {
    return std::unexpected(std::move(r.error()));
  }
  // Before anything is sized from them: a new collection's bounds on m, the levels any
  // insert can draw.
  if (m < hnsw::kMinM || m > hnsw::kMaxM) {
    return invalid("m " + std::to_string(m) + " is not between " + std::to_string(hnsw::kMinM) +
                   " and " + std::to_string(hnsw::kMaxM));
  }
  if (max_level > hnsw::HnswIndex::kMaxLevel) {
    return invalid("max_level " + std::to_string(max_level) + " is above " +
                   std::to_string(hnsw::HnswIndex::kMaxLevel));
  }
  h.graph.dim = dim;
  h.graph.m = m;
  h.graph.ef_construction = ef_construction;
  h.graph.metric = *metric;
  h.graph.entry_point = entry_point;
  h.graph.max_level = max_level;
  return h;
}

// The deleted slots and every node's neighbour lists. Counts come from the file: nothing is
// sized from one before the bytes it promises are known to be there, and no node or list is
// taken beyond the bounds any save keeps (kMaxLevel + 1 layers, 2·m or m neighbours), so
// that the index built from them holds at most a fixed multiple of the file's size.
Result<void> decode_nodes(io::ByteCursor& cur, GraphHeader& h) {
  const std::uint32_t n = h.n;
  if (h.d > cur.remaining() / 4) return fail(IoError::unexpected_eof());
  h.graph.deleted.reserve(h.d);
  auto deleted = [&](std::uint32_t slot) { h.graph.deleted.insert(slot); };
  if (auto r = read_slots(cur, h.d, n, "deleted slot", deleted); !r) return r;
  // A node record is a layer count and at least one list count.
  if (n > cur.remaining() / 8) return fail(IoError::unexpected_eof());
  h.graph.layers.resize(n);
  for (std::uint32_t s = 0; s < n; ++s) {
    auto& layers = h.graph.layers[s];
    std::uint32_t layer_count = 0;
    if (auto r = read_u32s(cur, {&layer_count}); !r) return r;
    if (layer_count > hnsw::HnswIndex::kMaxLevel + 1) {
      return invalid("node " + std::to_string(s) + " claims " + std::to_string(layer_count) +
                     " layers");
    }
    if (layer_count > cur.remaining() / 4) return fail(IoError::unexpected_eof());
    layers.resize(layer_count);
    for (std::size_t l = 0; l < layers.size(); ++l) {
      auto& list = layers[l];
      std::uint32_t c = 0;
      if (auto r = read_u32s(cur, {&c}); !r) return r;
      if (c > cur.remaining() / 4) return fail(IoError::unexpected_eof());
      if (c > (l == 0 ? 2 : 1) * h.graph.m) {
        return invalid("node " + std::to_string(s) + " lists " + std::to_string(c) +
                       " neighbours on layer " + std::to_string(l) + ", more than its limit");
      }
      list.reserve(c);
      auto neighbour = [&](std::uint32_t slot) { list.push_back(slot); };
      if (auto r = read_slots(cur, c, n, "neighbour slot", neighbour); !r) return r;
    }
  }
  return {};
}

// "vectors.bin" must be exactly the N vectors and then the N norms.
Result<void> check_vectors_size(std::size_t bytes, std::uint32_t n, std::size_t dim) {
  std::size_t expected;
  if (__builtin_mul_overflow(static_cast<std::size_t>(n), dim + 1, &expected) ||
      __builtin_mul_overflow(expected, std::size_t{4}, &expected) || expected != bytes) {
    return invalid("vectors.bin holds " + std::to_string(bytes) + " bytes, the graph needs " +
                   std::to_string(4 * static_cast<unsigned long long>(n) * (dim + 1ull)));
  }
  return {};
}

// "vectors.sq8": the quantizer, then at least one code per float of the collection.
Result<void> load_codes(const fs::path& path, std::size_t dim, std::size_t floats,
                        hnsw::HnswIndex& index) {
  auto bytes = io::read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  io::ByteCursor sq8(*bytes);
  auto quantizer = quantize::ScalarQuantizer::load(sq8);
  if (!quantizer) return std::unexpected(std::move(quantizer.error()));
  if (quantizer->dim() != dim) {
    return invalid("vectors.sq8 has dimension " + std::to_string(quantizer->dim()) +
                   ", the collection " + std::to_string(dim));
  }
  auto rest = sq8.rest();
  if (rest.size() < floats) {
    return invalid("vectors.sq8 holds " + std::to_string(rest.size()) +
                   " code bytes, the collection needs " + std::to_string(floats));
  }
  // Codes past the last slot would misplace those of the next insert; they are not ours.
  const auto* codes = reinterpret_cast<const std::uint8_t*>(rest.data());
  index.load_quantized(std::move(*quantizer), std::vector<std::uint8_t>(codes, codes + floats));
  return {};
}

// One record of the metadata section: slot, id, metadata.
Result<MetaRecord> decode_record(io::ByteCursor& cur, std::uint32_t n) {
  MetaRecord record;
  if (auto r = read_u32s(cur, {&record.slot}); !r) return std::unexpected(std::move(r.error()));
  if (record.slot >= n) return invalid(slot_message("record slot", record.slot, n));
  std::uint32_t id_len = 0;
  if (auto r = read_u32s(cur, {&id_len}); !r) return std::unexpected(std::move(r.error()));
  auto id_bytes = cur.read_bytes(id_len);
  if (!id_bytes) return std::unexpected(std::move(id_bytes.error()));
  if (auto bad = io::utf8_error(*id_bytes)) return invalid(*bad);
  std::uint32_t md_len = 0;
  if (auto r = read_u32s(cur, {&md_len}); !r) return std::unexpected(std::move(r.error()));
  auto md_bytes = cur.read_bytes(md_len);
  if (!md_bytes) return std::unexpected(std::move(md_bytes.error()));
  record.id.assign(reinterpret_cast<const char*>(id_bytes->data()), id_bytes->size());
  if (md_len > 0) {
    const std::string_view text(reinterpret_cast<const char*>(md_bytes->data()), md_bytes->size());
    // Nothing we write nests this deep; a value that did would exhaust the stack of the code
    // that later walks it.
    if (json::nested_deeper_than(text, json::kMaxDepth)) {
      return invalid("metadata of id '" + record.id + "' nested deeper than " +
                     std::to_string(json::kMaxDepth) + " levels");
    }
    // Unparsable metadata loads as none rather than failing the whole collection.
    record.metadata = json::parse(text);
  }
  return record;
}

// Every record; a save writes one per id, each naming its own slot, so two records that
// name one id or one slot are damage (the later would silently win the id, and leave the
// earlier slot live under an id that no longer leads to it).
Result<std::vector<MetaRecord>> decode_records(io::ByteCursor& cur, std::uint32_t n) {
  std::uint32_t magic = 0, count = 0;
  if (auto r = read_u32s(cur, {&magic}); !r) return std::unexpected(std::move(r.error()));
  if (magic != kMetadataMagic) return invalid("bad metadata section magic");
  if (auto r = read_u32s(cur, {&count}); !r) return std::unexpected(std::move(r.error()));
  // Every record takes at least 12 bytes.
  if (count > cur.remaining() / 12) return fail(IoError::unexpected_eof());
  std::vector<MetaRecord> records;
  records.reserve(count);
  // Views of the records' ids: the vector never grows beyond its reservation, so they stay.
  std::unordered_map<std::string_view, std::uint32_t> slot_of;
  slot_of.reserve(count);
  std::vector<std::uint32_t> named(n, kUnnamed);  // the record naming each slot
  for (std::uint32_t i = 0; i < count; ++i) {
    auto record = decode_record(cur, n);
    if (!record) return std::unexpected(std::move(record.error()));
    records.push_back(std::move(*record));
    const MetaRecord& r = records.back();
    if (auto [it, fresh] = slot_of.try_emplace(r.id, r.slot); !fresh) {
      return invalid("id '" + r.id + "' is stored twice (slots " + std::to_string(it->second) +
                     " and " + std::to_string(r.slot) + ")");
    }
    if (named[r.slot] != kUnnamed) {
      return invalid("slot " + std::to_string(r.slot) + " is named by both '" +
                     records[named[r.slot]].id + "' and '" + r.id + "'");
    }
    named[r.slot] = i;
  }
  return records;
}

}  // namespace

Storage::Storage(const fs::path& directory)
    : graph_path_(directory / "graph.quarn"),
      vectors_path_(directory / "vectors.bin"),
      quantized_path_(directory / "vectors.sq8"),
      walk_codes_path_(directory / hnsw::kWalkCodesFileName) {}

Result<Storage::Loaded> Storage::load() const {
  auto graph_bytes = io::read_file(graph_path_);
  if (!graph_bytes) return std::unexpected(std::move(graph_bytes.error()));
  auto vectors_fd = io::open_file(vectors_path_, O_RDONLY);
  if (!vectors_fd) return std::unexpected(std::move(vectors_fd.error()));
  struct stat st {};
  if (::fstat(vectors_fd->get(), &st) != 0) return error::fail_errno();
  const auto vectors_size = static_cast<std::size_t>(st.st_size);
  // From here on every early return releases the mapping and the descriptor.
  auto region = io::MappedRegion::map(vectors_fd->get(), vectors_size);
  if (!region) return std::unexpected(std::move(region.error()));

  io::ByteCursor cur(*graph_bytes);
  auto header = decode_header(cur);
  if (!header) return std::unexpected(std::move(header.error()));
  hnsw::LoadedGraph& graph = header->graph;
  const std::uint32_t n = header->n;
  const std::size_t dim = graph.dim;
  // The vector file must hold the nodes the header claims before any is allocated.
  if (auto r = check_vectors_size(vectors_size, n, dim); !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = decode_nodes(cur, *header); !r) return std::unexpected(std::move(r.error()));
  const std::size_t floats = static_cast<std::size_t>(n) * dim;
  graph.vectors = hnsw::VectorStore(std::move(*region), floats);
  graph.norms = *graph.vectors.mapped_norms();
  vectors_fd->reset();  // the mapping stays valid without the descriptor

  auto index = hnsw::HnswIndex::from_loaded(std::move(graph));
  if (!index) return std::unexpected(std::move(index.error()));
  std::error_code ec;
  if (fs::exists(quantized_path_, ec)) {
    if (auto r = load_codes(quantized_path_, dim, floats, **index); !r) {
      return std::unexpected(std::move(r.error()));
    }
  }
  auto records = decode_records(cur, n);
  if (!records) return std::unexpected(std::move(records.error()));
  return Loaded{std::move(*index), std::move(*records), io::crc32_of(*graph_bytes)};
}

Result<void> write_metadata_section(io::BufWriter& w, const std::vector<MetaRecord>& records) {
  if (auto r = w.write_u32(kMetadataMagic); !r) return r;
  if (auto r = w.write_u32(static_cast<std::uint32_t>(records.size())); !r) return r;
  std::string text;
  text.reserve(128);
  for (const auto& record : records) {
    if (auto r = w.write_u32(record.slot); !r) return r;
    if (auto r = w.write_u32(static_cast<std::uint32_t>(record.id.size())); !r) return r;
    if (auto r = w.write(record.id.data(), record.id.size()); !r) return r;
    text.clear();
    if (record.metadata) json::append_text(text, *record.metadata);
    if (auto r = w.write_u32(static_cast<std::uint32_t>(text.size())); !r) return r;
    if (auto r = w.write(text.data(), text.size()); !r) return r;
  }
  return w.flush();
}

Result<void> replace_file(const fs::path& target,
                          const std::function<Result<void>(io::BufWriter&)>& fill) {
  fs::path tmp = target;
  tmp.replace_extension("tmp");
  auto written = [&]() -> Result<void> {
    // Whatever holds the temporary name (a file a failed save left, or a link planted in a
    // shared directory) goes first, and the name is created afresh, never opened through a
    // link: a save must not write into a file outside the collection.
    if (auto r = io::unlink_path(tmp); !r) return r;
    auto fd_read = io::open_file(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (!fd_read) return std::unexpected(std::move(fd_read.error()));
    auto fd = std::move(*fd_read);
    io::BufWriter writer(fd.get());
    if (auto r = fill(writer); !r) return r;
    if (auto r = writer.flush(); !r) return r;
    // Durable before the rename: otherwise a power cut could leave the new name on an empty
    // or partial file after the log that could rebuild it is gone.
    if (auto r = io::sync_fd(fd.get()); !r) return r;
    if (::close(fd.release()) != 0) return error::fail_errno();
    return {};
  }();
  if (!written) {
    std::error_code ec;
    fs::remove(tmp, ec);
    return written;
  }
  return io::rename_path(tmp, target);
}

namespace {

fs::path backup_of(const fs::path& file) {
  fs::path b = file;
  b += ".bak";
  return b;
}

// Status of a path without following links; nothing when it does not exist.
Result<std::optional<struct stat>> status_of(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) == 0) return std::optional<struct stat>(st);
  if (errno == ENOENT || errno == ENOTDIR) return std::optional<struct stat>();
  return error::fail_errno();
}

Result<bool> path_exists(const fs::path& p) {
  auto st = status_of(p);
  if (!st) return std::unexpected(std::move(st.error()));
  return st->has_value();
}

// Unlinks a file that is there; a clean directory costs no unlink at all.
Result<void> remove_if_present(const fs::path& p) {
  auto present = path_exists(p);
  if (!present) return std::unexpected(std::move(present.error()));
  if (!*present) return {};
  return io::unlink_path(p);
}

// Moves the file's backup back over it; without a backup, `absent_means_new` says whether
// the file was created by the save (removed) or never set aside (left alone).
Result<void> restore(const fs::path& file, bool absent_means_new) {
  const fs::path bak = backup_of(file);
  auto has_backup = path_exists(bak);
  if (!has_backup) return std::unexpected(std::move(has_backup.error()));
  if (*has_backup) return io::rename_path(bak, file);
  if (absent_means_new) return remove_if_present(file);
  return {};
}

}  // namespace

Result<void> recover_interrupted_save(const Storage& storage) {
  const fs::path dir = storage.graph_path().parent_path();
  const fs::path graph_bak = backup_of(storage.graph_path());
  auto bak = status_of(graph_bak);
  if (!bak) return std::unexpected(std::move(bak.error()));
  if (*bak) {
    auto graph = status_of(storage.graph_path());
    if (!graph) return std::unexpected(std::move(graph.error()));
    // A graph under its name that is not the backup itself is the new one: the save got
    // past its last rename. (An earlier version backed up by hard link, so the old graph
    // stayed in place under the same inode.)
    const bool committed =
        *graph && ((*graph)->st_ino != (*bak)->st_ino || (*graph)->st_dev != (*bak)->st_dev);
    if (!committed) {
      // "vectors.bin" is set aside last: with its backup present every original was set
      // aside before any new file was written, so files without a backup are new.
      auto all_set_aside = path_exists(backup_of(storage.vectors_path()));
      if (!all_set_aside) return std::unexpected(std::move(all_set_aside.error()));
      if (auto r = restore(storage.quantized_path(), *all_set_aside); !r) return r;
      if (auto r = restore(storage.walk_codes_path(), *all_set_aside); !r) return r;
      if (auto r = restore(storage.vectors_path(), false); !r) return r;
      if (*graph) {
        if (auto r = io::unlink_path(graph_bak); !r) return r;  // a hard-link backup
      } else if (auto r = io::rename_path(graph_bak, storage.graph_path()); !r) {
        return r;
      }
      return io::sync_directory(dir);
    }
    if (auto r = remove_if_present(backup_of(storage.vectors_path())); !r) return r;
    if (auto r = remove_if_present(backup_of(storage.quantized_path())); !r) return r;
    if (auto r = remove_if_present(backup_of(storage.walk_codes_path())); !r) return r;
    // The graph's backup goes last: while it is there, the others are never taken for
    // leftovers of a finished save.
    if (auto r = io::unlink_path(graph_bak); !r) return r;
    return {};
  }
  if (auto r = remove_if_present(backup_of(storage.vectors_path())); !r) return r;
  if (auto r = remove_if_present(backup_of(storage.walk_codes_path())); !r) return r;
  return remove_if_present(backup_of(storage.quantized_path()));
}

Result<void> begin_save(const Storage& storage) {
  if (auto r = recover_interrupted_save(storage); !r) return r;
  auto graph = path_exists(storage.graph_path());
  if (!graph) return std::unexpected(std::move(graph.error()));
  // Before the first save there is nothing to go back to.
  if (!*graph) return {};
  if (auto r = io::rename_path(storage.graph_path(), backup_of(storage.graph_path())); !r) {
    return r;
  }
  for (const fs::path* file :
       {&storage.quantized_path(), &storage.walk_codes_path(), &storage.vectors_path()}) {
    auto present = path_exists(*file);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) continue;
    if (auto r = io::rename_path(*file, backup_of(*file)); !r) return r;
  }
  return io::sync_directory(storage.graph_path().parent_path());
}

Result<void> finish_save(const Storage& storage) {
  const fs::path dir = storage.graph_path().parent_path();
  // The new files must be durable under their names before the way back is removed.
  if (auto r = io::sync_directory(dir); !r) return r;
  if (auto r = remove_if_present(backup_of(storage.vectors_path())); !r) return r;
  if (auto r = remove_if_present(backup_of(storage.quantized_path())); !r) return r;
  if (auto r = remove_if_present(backup_of(storage.walk_codes_path())); !r) return r;
  if (auto r = remove_if_present(backup_of(storage.graph_path())); !r) return r;
  return io::sync_directory(dir);
}

bool holds_saved_collection(const fs::path& directory) {
  const Storage storage(directory);
  struct stat st {};
  return ::stat(storage.graph_path().c_str(), &st) == 0 ||
         ::stat(backup_of(storage.graph_path()).c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------------------------
// Locks

namespace {

constexpr const char* kLockFile = "LOCK";
constexpr off_t kCountersBytes = 2 * sizeof(std::uint64_t);  // at the start of "LOCK"

// An open-file-description lock on one byte; `wait` blocks until it is granted.
int lock_byte(int fd, short type, off_t byte, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

Result<DirectoryLock> DirectoryLock::acquire(const fs::path& directory) {
  const fs::path path = directory / kLockFile;
  // Not through a link: it would create or lock a file outside the collection.
  auto fd = io::open_file(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666);
  short type = F_WRLCK;
  if (!fd) {
    const int e = fd.error().io_error().os_code;
    if (e != EROFS && e != EACCES && e != EPERM) {
      // A directory that does not exist has nothing to lock; the caller finds that out.
      if (e == ENOENT || e == ENOTDIR) return DirectoryLock(io::UniqueFd());
      return std::unexpected(std::move(fd.error()));
    }
    fd = io::open_file(path, O_RDONLY);
    if (!fd) return DirectoryLock(io::UniqueFd());
    type = F_RDLCK;
  }
  if (const int e = lock_byte(fd->get(), type, 0, true); e != 0) {
    return error::fail(IoError::from_errno(e));
  }
  return DirectoryLock(std::move(*fd));
}

namespace {

// Entries live while a holder holds them. Counting under one mutex (rather than with weak
// pointers) means an entry and its claim are gone before a new entry for the same directory
// can be made, so a holder never finds its own process's dying claim in the way.
Mutex registry_mutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, SharedDirectory*> registry
    GUARDED_BY(registry_mutex);
// Every live entry, registered or not: the fork handlers reach their claims through it.
std::set<SharedDirectory*> entries GUARDED_BY(registry_mutex);

// Bumped in the child of every fork(): a claim made in an earlier generation was inherited.
std::atomic<std::uint64_t> fork_generation{1};

struct stat lock_file_status(const fs::path& directory, bool* ok) {
  struct stat st {};
  *ok = ::stat((directory / kLockFile).c_str(), &st) == 0;
  return st;
}

}  // namespace

// A child of fork() inherits the parent's claims as open descriptors of the same open file
// description, which would keep the parent's lock alive after the parent has gone, and
// every mutex as the parent's other threads left it. So the registry and every claim mutex
// are held across fork(), and the child drops the inherited claims before anything else runs.
struct ForkHandlers {
  static void prepare() NO_THREAD_SAFETY_ANALYSIS {
    registry_mutex.lock();
    for (SharedDirectory* e : entries) e->claim_mutex_.lock();
  }
  static void parent() NO_THREAD_SAFETY_ANALYSIS {
    for (SharedDirectory* e : entries) e->claim_mutex_.unlock();
    registry_mutex.unlock();
  }
  static void child() NO_THREAD_SAFETY_ANALYSIS {
    fork_generation.fetch_add(1);
    for (SharedDirectory* e : entries) {
      // Closing our copy leaves the parent's lock in place, held through its own descriptor.
      e->claim_.reset();
      e->claimed_.store(false);
      e->claim_mutex_.unlock();
    }
    registry_mutex.unlock();
  }
};

namespace {

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork(&ForkHandlers::prepare, &ForkHandlers::parent, &ForkHandlers::child);
  });
}

}  // namespace

SharedDirectory::SharedDirectory(fs::path directory, std::uint64_t key_dev, std::uint64_t key_ino,
                                 io::UniqueFd state, io::MappedRegion counters)
    : directory_(std::move(directory)),
      dev_(key_dev),
      ino_(key_ino),
      state_(std::move(state)),
      counters_(std::move(counters)) {}

Result<std::shared_ptr<SharedDirectory>> SharedDirectory::of(const fs::path& directory) {
  install_fork_handlers();
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) return error::fail_errno();
  const std::pair<std::uint64_t, std::uint64_t> key{st.st_dev, st.st_ino};
  // Opened before the registry is locked; dropped again when an entry exists. Read-only
  // media give no file, and nothing there can change.
  io::UniqueFd state;
  io::MappedRegion counters;
  if (auto fd = io::open_file(directory / kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0666)) {
    state = std::move(*fd);
    // A file too short for the counters reads as zeros; zeros written out read the same,
    // and let the counters be mapped (a mapping read past the file's end would fault). A
    // writer's counters written meanwhile are kept: the file only ever grows to this size.
    struct stat held {};
    if (::fstat(state.get(), &held) == 0 && held.st_size < kCountersBytes) {
      (void)!::ftruncate(state.get(), kCountersBytes);
    }
  } else if (auto ro = io::open_file(directory / kLockFile, O_RDONLY | O_NOFOLLOW)) {
    state = std::move(*ro);
  }
  if (state.valid()) {
    struct stat held {};
    if (::fstat(state.get(), &held) == 0 && held.st_size >= kCountersBytes) {
      if (auto mapped = io::MappedRegion::map(state.get(), kCountersBytes)) {
        counters = std::move(*mapped);
      }
    }
  }
  SharedDirectory* entry = nullptr;
  {
    MutexLock guard(registry_mutex);
    auto it = registry.find(key);
    if (it != registry.end() && (it->second->deleted() || !it->second->still_current())) {
      // The directory was deleted; whoever still holds the old entry keeps it.
      it->second->registered_ = false;
      registry.erase(it);
      it = registry.end();
    }
    if (it == registry.end()) {
      auto fresh = std::make_unique<SharedDirectory>(directory, key.first, key.second,
                                                     std::move(state), std::move(counters));
      entries.insert(fresh.get());
      try {
        it = registry.emplace(key, fresh.get()).first;
      } catch (...) {
        entries.erase(fresh.get());
        throw;
      }
      fresh.release();
    }
    entry = it->second;
    ++entry->holders_;
  }
  // Made outside the registry mutex: should the control block fail to allocate, the
  // deleter runs at once and takes that mutex itself.
  return std::shared_ptr<SharedDirectory>(entry, [key](SharedDirectory* e) {
    MutexLock guard(registry_mutex);
    if (--e->holders_ > 0) return;
    if (e->registered_) registry.erase(key);
    entries.erase(e);
    delete e;
  });
}

SharedDirectory::~SharedDirectory() = default;

bool SharedDirectory::still_current() const {
  if (!state_.valid()) return true;
  bool ok = false;
  const struct stat named = lock_file_status(directory_, &ok);
  struct stat held {};
  if (!ok || ::fstat(state_.get(), &held) != 0) return false;
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

bool SharedDirectory::holds_writer() const {
  return claimed_.load(std::memory_order_acquire) &&
         claim_generation_.load(std::memory_order_relaxed) == fork_generation.load();
}

Result<void> SharedDirectory::claim_writer(bool* fresh) {
  if (fresh != nullptr) *fresh = false;
  if (holds_writer() && !deleted()) return {};
  MutexLock guard(claim_mutex_);
  if (deleted() || !still_current()) {
    return error::fail(IoError{error::IoKind::Other, ENOENT,
                               "collection '" + directory_.string() + "' was deleted"});
  }
  if (claimed_.load() && claim_generation_.load() == fork_generation.load()) return {};
  // An inherited claim (see ForkHandlers) was dropped in the child already.
  auto fd = io::open_file(directory_ / kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0666);
  if (!fd) return std::unexpected(std::move(fd.error()));
  const int e = lock_byte(fd->get(), F_WRLCK, 1, false);
  if (e == EAGAIN || e == EACCES) {
    return error::fail(
        IoError{error::IoKind::Other, 0,
                "collection '" + directory_.string() + "' is being written by another process"});
  }
  if (e != 0) return error::fail(IoError::from_errno(e));
  claim_ = std::move(*fd);
  claim_generation_.store(fork_generation.load());
  claimed_.store(true, std::memory_order_release);
  if (fresh != nullptr) *fresh = true;
  return {};
}

void SharedDirectory::release_writer() {
  MutexLock guard(claim_mutex_);
  claimed_.store(false);
  claim_.reset();
}

Counters SharedDirectory::read_counters() const {
  Counters out;
  if (counters_.data() != nullptr) {
    // The page the writer's pwrite changes: no system call on every read of a follower.
    const auto* raw = static_cast<const std::uint64_t*>(counters_.data());
    out.generation = __atomic_load_n(&raw[0], __ATOMIC_ACQUIRE);
    out.changes = __atomic_load_n(&raw[1], __ATOMIC_ACQUIRE);
    return out;
  }
  if (!state_.valid()) return out;
  std::uint64_t raw[2] = {0, 0};
  for (;;) {
    const ssize_t n = ::pread(state_.get(), raw, sizeof raw, 0);
    if (n >= 0 || errno != EINTR) break;
  }
  out.generation = raw[0];
  out.changes = raw[1];
  return out;
}

Result<void> SharedDirectory::write_counters(const Counters& counters) {
  if (!state_.valid()) return error::fail(IoError::from_errno(EBADF));
  const std::uint64_t raw[2] = {counters.generation, counters.changes};
  return io::pwrite_all(state_.get(), raw, sizeof raw, 0);
}

std::shared_ptr<void> SharedDirectory::collection() const {
  MutexLock guard(collection_mutex_);
  return collection_.lock();
}

void SharedDirectory::set_collection(std::weak_ptr<void> collection) {
  MutexLock guard(collection_mutex_);
  collection_ = std::move(collection);
}

}  // namespace quarn_core::storage

namespace quarn_core::hnsw {

Result<void> HnswIndex::save_graph(io::BufWriter& w) const {
  const std::uint32_t header[] = {storage::kGraphMagic, storage::kGraphVersion,
                                  static_cast<std::uint32_t>(dim_)};
  if (auto r = w.write(header, sizeof header); !r) return r;
  if (auto r = w.write_u8(static_cast<std::uint8_t>(metric_)); !r) return r;
  const std::uint32_t rest[] = {static_cast<std::uint32_t>(m_),
                                static_cast<std::uint32_t>(ef_construction_),
                                entry_point_,
                                static_cast<std::uint32_t>(max_level_),
                                static_cast<std::uint32_t>(node_count()),
                                static_cast<std::uint32_t>(deleted_.size())};
  if (auto r = w.write(rest, sizeof rest); !r) return r;
  for (std::uint32_t slot : deleted_) {
    if (auto r = w.write_u32(slot); !r) return r;
  }
  const std::size_t n = node_count();
  for (std::size_t i = 0; i < n; ++i) {
    const auto slot = static_cast<std::uint32_t>(i);
    const std::size_t layers = node_level(slot) + 1;
    if (auto r = w.write_u32(static_cast<std::uint32_t>(layers)); !r) return r;
    for (std::size_t l = 0; l < layers; ++l) {
      const auto list = neighbors(slot, l);
      if (auto r = w.write_u32(static_cast<std::uint32_t>(list.size())); !r) return r;
      if (auto r = w.write(list.data(), list.size() * 4); !r) return r;
    }
  }
  return w.flush();
}

}  // namespace quarn_core::hnsw
