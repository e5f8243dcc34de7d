#include "quarn_core/storage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <system_error>
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

}  // namespace

Storage::Storage(const fs::path& directory)
    : graph_path_(directory / "graph.quarn"),
      vectors_path_(directory / "vectors.bin"),
      quantized_path_(directory / "vectors.sq8") {}

Result<Storage::Loaded> Storage::load() const {
  auto graph_bytes_read = io::read_file(graph_path_);
  if (!graph_bytes_read) return std::unexpected(std::move(graph_bytes_read.error()));
  auto graph_bytes = std::move(*graph_bytes_read);
  auto vectors_fd_read = io::open_file(vectors_path_, O_RDONLY);
  if (!vectors_fd_read) return std::unexpected(std::move(vectors_fd_read.error()));
  auto vectors_fd = std::move(*vectors_fd_read);
  struct stat st {};
  if (::fstat(vectors_fd.get(), &st) != 0) return error::fail_errno();
  const auto vectors_size = static_cast<std::size_t>(st.st_size);
  // From here on every early return releases the mapping and the descriptor.
  auto region_read = io::MappedRegion::map(vectors_fd.get(), vectors_size);
  if (!region_read) return std::unexpected(std::move(region_read.error()));
  auto region = std::move(*region_read);

  io::ByteCursor cur(graph_bytes);
  auto magic_read = cur.read_u32();
  if (!magic_read) return std::unexpected(std::move(magic_read.error()));
  auto magic = std::move(*magic_read);
  if (magic != kGraphMagic) return invalid("bad graph magic");
  auto version_read = cur.read_u32();
  if (!version_read) return std::unexpected(std::move(version_read.error()));
  auto version = std::move(*version_read);
  if (version != kGraphVersion) {
    return invalid("unsupported graph version: " + std::to_string(version));
  }
  auto dim_read = cur.read_u32();
  if (!dim_read) return std::unexpected(std::move(dim_read.error()));
  auto dim = std::move(*dim_read);
  auto metric_code_read = cur.read_u8();
  if (!metric_code_read) return std::unexpected(std::move(metric_code_read.error()));
  auto metric_code = std::move(*metric_code_read);
  auto metric = distance::metric_from_code(metric_code);
  if (!metric) return invalid("unknown metric: " + std::to_string(metric_code));
  auto m_read = cur.read_u32();
  if (!m_read) return std::unexpected(std::move(m_read.error()));
  auto m = std::move(*m_read);
  auto ef_construction_read = cur.read_u32();
  if (!ef_construction_read) return std::unexpected(std::move(ef_construction_read.error()));
  auto ef_construction = std::move(*ef_construction_read);
  auto entry_point_read = cur.read_u32();
  if (!entry_point_read) return std::unexpected(std::move(entry_point_read.error()));
  auto entry_point = std::move(*entry_point_read);
  auto max_level_read = cur.read_u32();
  if (!max_level_read) return std::unexpected(std::move(max_level_read.error()));
  auto max_level = std::move(*max_level_read);
  auto n_read = cur.read_u32();
  if (!n_read) return std::unexpected(std::move(n_read.error()));
  auto n = std::move(*n_read);
  auto d_read = cur.read_u32();
  if (!d_read) return std::unexpected(std::move(d_read.error()));
  auto d = std::move(*d_read);

  hnsw::LoadedGraph graph;
  graph.dim = dim;
  graph.m = m;
  graph.ef_construction = ef_construction;
  graph.metric = *metric;
  graph.entry_point = entry_point;
  graph.max_level = max_level;

  // Counts come from the file: nothing is sized from one before the bytes it promises are
  // known to be there.
  if (d > cur.remaining() / 4) return fail(IoError::unexpected_eof());
  graph.deleted.reserve(d);
  for (std::uint32_t i = 0; i < d; ++i) {
    auto slot_read = cur.read_u32();
    if (!slot_read) return std::unexpected(std::move(slot_read.error()));
    auto slot = std::move(*slot_read);
    if (slot >= n) return invalid(slot_message("deleted slot", slot, n));
    graph.deleted.insert(slot);
  }
  if (n > cur.remaining() / 4) return fail(IoError::unexpected_eof());
  graph.layers.resize(n);
  for (std::uint32_t s = 0; s < n; ++s) {
    auto layer_count_read = cur.read_u32();
    if (!layer_count_read) return std::unexpected(std::move(layer_count_read.error()));
    auto layer_count = std::move(*layer_count_read);
    if (layer_count > cur.remaining() / 4) return fail(IoError::unexpected_eof());
    auto& layers = graph.layers[s];
    layers.resize(layer_count);
    for (auto& list : layers) {
      auto c_read = cur.read_u32();
      if (!c_read) return std::unexpected(std::move(c_read.error()));
      auto c = std::move(*c_read);
      if (c > cur.remaining() / 4) return fail(IoError::unexpected_eof());
      list.resize(c);
      for (auto& neighbour : list) {
        auto v_read = cur.read_u32();
        if (!v_read) return std::unexpected(std::move(v_read.error()));
        auto v = std::move(*v_read);
        if (v >= n) return invalid(slot_message("neighbour slot", v, n));
        neighbour = v;
      }
    }
  }

  // "vectors.bin" must be exactly the N vectors and then the N norms.
  const std::size_t floats = static_cast<std::size_t>(n) * dim;
  std::size_t expected_size;
  if (__builtin_mul_overflow(static_cast<std::size_t>(n), static_cast<std::size_t>(dim) + 1,
                             &expected_size) ||
      __builtin_mul_overflow(expected_size, std::size_t{4}, &expected_size) ||
      expected_size != vectors_size) {
    return invalid("vectors.bin holds " + std::to_string(vectors_size) +
                   " bytes, the graph needs " +
                   std::to_string(4 * static_cast<unsigned long long>(n) * (dim + 1ull)));
  }
  graph.vectors = hnsw::VectorStore(std::move(region), floats);
  graph.norms = *graph.vectors.mapped_norms();
  vectors_fd.reset();  // the mapping stays valid without the descriptor

  auto index_read = hnsw::HnswIndex::from_loaded(std::move(graph));
  if (!index_read) return std::unexpected(std::move(index_read.error()));
  auto index = std::move(*index_read);

  std::error_code ec;
  if (fs::exists(quantized_path_, ec)) {
    auto sq8_bytes_read = io::read_file(quantized_path_);
    if (!sq8_bytes_read) return std::unexpected(std::move(sq8_bytes_read.error()));
    auto sq8_bytes = std::move(*sq8_bytes_read);
    io::ByteCursor sq8(sq8_bytes);
    auto quantizer_read = quantize::ScalarQuantizer::load(sq8);
    if (!quantizer_read) return std::unexpected(std::move(quantizer_read.error()));
    auto quantizer = std::move(*quantizer_read);
    if (quantizer.dim() != dim) {
      return invalid("vectors.sq8 has dimension " + std::to_string(quantizer.dim()) +
                     ", the collection " + std::to_string(dim));
    }
    auto rest = sq8.rest();
    if (rest.size() < floats) {
      return invalid("vectors.sq8 holds " + std::to_string(rest.size()) +
                     " code bytes, the collection needs " + std::to_string(floats));
    }
    // Codes past the last slot would misplace those of the next insert; they are not ours.
    const auto* codes = reinterpret_cast<const std::uint8_t*>(rest.data());
    index->load_quantized(std::move(quantizer), std::vector<std::uint8_t>(codes, codes + floats));
  }

  auto section_magic_read = cur.read_u32();
  if (!section_magic_read) return std::unexpected(std::move(section_magic_read.error()));
  auto section_magic = std::move(*section_magic_read);
  if (section_magic != kMetadataMagic) return invalid("bad metadata section magic");
  auto r_read = cur.read_u32();
  if (!r_read) return std::unexpected(std::move(r_read.error()));
  auto r = std::move(*r_read);
  // Every record takes at least 12 bytes.
  if (r > cur.remaining() / 12) return fail(IoError::unexpected_eof());
  std::vector<MetaRecord> records;
  records.reserve(r);
  for (std::uint32_t i = 0; i < r; ++i) {
    auto slot_read = cur.read_u32();
    if (!slot_read) return std::unexpected(std::move(slot_read.error()));
    auto slot = std::move(*slot_read);
    if (slot >= n) return invalid(slot_message("record slot", slot, n));
    auto id_len_read = cur.read_u32();
    if (!id_len_read) return std::unexpected(std::move(id_len_read.error()));
    auto id_len = std::move(*id_len_read);
    auto id_bytes_read = cur.read_bytes(id_len);
    if (!id_bytes_read) return std::unexpected(std::move(id_bytes_read.error()));
    auto id_bytes = std::move(*id_bytes_read);
    if (auto bad = io::utf8_error(id_bytes)) return invalid(*bad);
    auto md_len_read = cur.read_u32();
    if (!md_len_read) return std::unexpected(std::move(md_len_read.error()));
    auto md_len = std::move(*md_len_read);
    auto md_bytes_read = cur.read_bytes(md_len);
    if (!md_bytes_read) return std::unexpected(std::move(md_bytes_read.error()));
    auto md_bytes = std::move(*md_bytes_read);
    MetaRecord record;
    record.slot = slot;
    record.id.assign(reinterpret_cast<const char*>(id_bytes.data()), id_bytes.size());
    if (md_len > 0) {
      const std::string_view text(reinterpret_cast<const char*>(md_bytes.data()), md_bytes.size());
      // Nothing we write nests this deep; a value that did would exhaust the stack of the
      // code that later walks it.
      if (json::nested_deeper_than(text, json::kMaxDepth)) {
        return invalid("metadata of id '" + record.id + "' nested deeper than " +
                       std::to_string(json::kMaxDepth) + " levels");
      }
      // Unparsable metadata loads as none rather than failing the whole collection.
      record.metadata = json::parse(text);
    }
    records.push_back(std::move(record));
  }
  return Loaded{std::move(index), std::move(records)};
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
    auto fd_read = io::open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666);
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
    // The graph's backup goes last: while it is there, the others are never taken for
    // leftovers of a finished save.
    if (auto r = io::unlink_path(graph_bak); !r) return r;
    return {};
  }
  if (auto r = remove_if_present(backup_of(storage.vectors_path())); !r) return r;
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
  for (const fs::path* file : {&storage.quantized_path(), &storage.vectors_path()}) {
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
  auto fd = io::open_file(path, O_RDWR | O_CREAT, 0666);
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

// Entries live while a handle holds them. Counting under one mutex (rather than with weak
// pointers) means an entry and its claim are gone before a new entry for the same directory
// can be made, so a handle never finds its own process's dying claim in the way.
std::mutex registry_mutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<SharedDirectory*, std::size_t>>
    registry;

}  // namespace

Result<std::shared_ptr<SharedDirectory>> SharedDirectory::of(const fs::path& directory) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) return error::fail_errno();
  const std::pair<std::uint64_t, std::uint64_t> key{st.st_dev, st.st_ino};
  SharedDirectory* entry = nullptr;
  {
    std::lock_guard guard(registry_mutex);
    auto [it, inserted] = registry.try_emplace(key, nullptr, 0);
    if (inserted) {
      try {
        it->second.first = new SharedDirectory(directory, key.first, key.second);
      } catch (...) {
        registry.erase(it);
        throw;
      }
    }
    ++it->second.second;
    entry = it->second.first;
  }
  // Made outside the registry mutex: should the control block fail to allocate, the
  // deleter runs at once and takes that mutex itself.
  return std::shared_ptr<SharedDirectory>(entry, [key](SharedDirectory*) {
    std::lock_guard guard(registry_mutex);
    auto it = registry.find(key);
    if (it == registry.end() || --it->second.second > 0) return;
    delete it->second.first;
    registry.erase(it);
  });
}

SharedDirectory::~SharedDirectory() = default;

Result<void> SharedDirectory::claim_writer() {
  std::lock_guard guard(claim_mutex_);
  if (claim_.valid()) return {};
  auto fd = io::open_file(directory_ / kLockFile, O_RDWR | O_CREAT, 0666);
  if (!fd) return std::unexpected(std::move(fd.error()));
  const int e = lock_byte(fd->get(), F_WRLCK, 1, false);
  if (e == EAGAIN || e == EACCES) {
    return error::fail(
        IoError{error::IoKind::Other, 0,
                "collection '" + directory_.string() + "' is being written by another process"});
  }
  if (e != 0) return error::fail(IoError::from_errno(e));
  claim_ = std::move(*fd);
  return {};
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
