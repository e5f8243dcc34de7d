#include "quarn_core/storage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace quarn_core::storage {

namespace fs = std::filesystem;
using error::fail;
using error::IoError;

namespace {

// Propagates the error of a Result<T> out of a function returning Result<U>.
#define QUARN_TRY_ASSIGN(var, expr)                                  \
  auto var##_result = (expr);                                        \
  if (!var##_result) return std::unexpected(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

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
  QUARN_TRY_ASSIGN(graph_bytes, io::read_file(graph_path_));
  QUARN_TRY_ASSIGN(vectors_fd, io::open_file(vectors_path_, O_RDONLY));
  struct stat st {};
  if (::fstat(vectors_fd.get(), &st) != 0) return error::fail_errno();
  const auto vectors_size = static_cast<std::size_t>(st.st_size);
  // From here on every early return releases the mapping and the descriptor.
  QUARN_TRY_ASSIGN(region, io::MappedRegion::map(vectors_fd.get(), vectors_size));

  io::ByteCursor cur(graph_bytes);
  QUARN_TRY_ASSIGN(magic, cur.read_u32());
  if (magic != kGraphMagic) return invalid("bad graph magic");
  QUARN_TRY_ASSIGN(version, cur.read_u32());
  if (version != kGraphVersion) {
    return invalid("unsupported graph version: " + std::to_string(version));
  }
  QUARN_TRY_ASSIGN(dim, cur.read_u32());
  QUARN_TRY_ASSIGN(metric_code, cur.read_u8());
  auto metric = distance::metric_from_code(metric_code);
  if (!metric) return invalid("unknown metric: " + std::to_string(metric_code));
  QUARN_TRY_ASSIGN(m, cur.read_u32());
  QUARN_TRY_ASSIGN(ef_construction, cur.read_u32());
  QUARN_TRY_ASSIGN(entry_point, cur.read_u32());
  QUARN_TRY_ASSIGN(max_level, cur.read_u32());
  QUARN_TRY_ASSIGN(n, cur.read_u32());
  QUARN_TRY_ASSIGN(d, cur.read_u32());

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
    QUARN_TRY_ASSIGN(slot, cur.read_u32());
    if (slot >= n) return invalid(slot_message("deleted slot", slot, n));
    graph.deleted.insert(slot);
  }
  if (n > cur.remaining() / 4) return fail(IoError::unexpected_eof());
  graph.layers.resize(n);
  for (std::uint32_t s = 0; s < n; ++s) {
    QUARN_TRY_ASSIGN(layer_count, cur.read_u32());
    if (layer_count > cur.remaining() / 4) return fail(IoError::unexpected_eof());
    auto& layers = graph.layers[s];
    layers.resize(layer_count);
    for (auto& list : layers) {
      QUARN_TRY_ASSIGN(c, cur.read_u32());
      if (c > cur.remaining() / 4) return fail(IoError::unexpected_eof());
      list.resize(c);
      for (auto& neighbour : list) {
        QUARN_TRY_ASSIGN(v, cur.read_u32());
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
    return invalid("vectors.bin holds " + std::to_string(vectors_size) + " bytes, the graph needs " +
                   std::to_string(4 * static_cast<unsigned long long>(n) * (dim + 1ull)));
  }
  graph.vectors = hnsw::VectorStore(std::move(region), floats);
  graph.norms = *graph.vectors.mapped_norms();
  vectors_fd.reset();  // the mapping stays valid without the descriptor

  QUARN_TRY_ASSIGN(index, hnsw::HnswIndex::from_loaded(std::move(graph)));

  std::error_code ec;
  if (fs::exists(quantized_path_, ec)) {
    QUARN_TRY_ASSIGN(sq8_bytes, io::read_file(quantized_path_));
    io::ByteCursor sq8(sq8_bytes);
    QUARN_TRY_ASSIGN(quantizer, quantize::ScalarQuantizer::load(sq8));
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

  QUARN_TRY_ASSIGN(section_magic, cur.read_u32());
  if (section_magic != kMetadataMagic) return invalid("bad metadata section magic");
  QUARN_TRY_ASSIGN(r, cur.read_u32());
  // Every record takes at least 12 bytes.
  if (r > cur.remaining() / 12) return fail(IoError::unexpected_eof());
  std::vector<MetaRecord> records;
  records.reserve(r);
  for (std::uint32_t i = 0; i < r; ++i) {
    QUARN_TRY_ASSIGN(slot, cur.read_u32());
    if (slot >= n) return invalid(slot_message("record slot", slot, n));
    QUARN_TRY_ASSIGN(id_len, cur.read_u32());
    QUARN_TRY_ASSIGN(id_bytes, cur.read_bytes(id_len));
    if (auto bad = io::utf8_error(id_bytes)) return invalid(*bad);
    QUARN_TRY_ASSIGN(md_len, cur.read_u32());
    QUARN_TRY_ASSIGN(md_bytes, cur.read_bytes(md_len));
    MetaRecord record;
    record.slot = slot;
    record.id.assign(reinterpret_cast<const char*>(id_bytes.data()), id_bytes.size());
    if (md_len > 0) {
      // Unparsable metadata loads as none rather than failing the whole collection.
      record.metadata = json::parse(
          std::string_view(reinterpret_cast<const char*>(md_bytes.data()), md_bytes.size()));
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
    QUARN_TRY_ASSIGN(fd, io::open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666));
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
  if (::rename(tmp.c_str(), target.c_str()) != 0) return error::fail_errno();
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
