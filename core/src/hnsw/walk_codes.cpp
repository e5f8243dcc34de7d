// The compressed traversal's codes on disk: written with every save of a collection that has
// the walk on, read back at open instead of encoding every vector again, so that opening
// neither spends the time nor pages in the whole vector file.

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quarn_core/hnsw.hpp"
#include "quarn_core/io.hpp"
#include "scan_codes.hpp"

namespace quarn_core::hnsw {

namespace {

constexpr std::uint32_t kWalkCodesMagic = 0x31435751;  // "QWC1"
// Version 2 holds 4-bit codes that leave some dimensions out, with a byte per dimension after
// the header (1: kept); codes that keep them all are written as version 1, which builds
// before it read. A build that cannot read a file encodes the vectors again at open.
constexpr std::uint32_t kWalkCodesVersion = 1;
constexpr std::uint32_t kWalkCodesVersionDims = 2;

// The fixed part of the file, as written.
struct Header {
  std::uint32_t magic, version, dim, rows, built_for;
  // walk_sharp and rows_exact came after version 1: files written before them hold 0 there,
  // the cautious choice, and builds before them ignore the bytes.
  std::uint8_t walk_fine, level_chosen, walk_sharp, rows_exact;
  std::uint64_t binding;
  double top_code_norm, top_code_norm4;
};
static_assert(sizeof(Header) == 48);

}  // namespace

bool HnswIndex::has_walk_codes() const {
  return compressed_ && scan_cache_ && scan_cache_->ready.load(std::memory_order_acquire) != nullptr;
}

Result<void> HnswIndex::save_walk_codes(io::BufWriter& w, std::uint64_t binding) const {
  if (!has_walk_codes()) return error::fail(error::IoError::invalid_data("no walk codes to save"));
  const detail::ScanCodes* sc = scan_cache_->ready.load(std::memory_order_acquire);
  const Header h{kWalkCodesMagic,
                 sc->drops4() ? kWalkCodesVersionDims : kWalkCodesVersion,
                 static_cast<std::uint32_t>(sc->dim),
                 static_cast<std::uint32_t>(sc->rows()),
                 static_cast<std::uint32_t>(sc->built_for),
                 static_cast<std::uint8_t>(sc->walk_fine),
                 static_cast<std::uint8_t>(sc->level_chosen),
                 static_cast<std::uint8_t>(sc->walk_sharp),
                 static_cast<std::uint8_t>(sc->rows_exact),
                 binding,
                 sc->top_code_norm,
                 sc->top_code_norm4};
  io::CrcWriter out(w);
  if (auto r = out.write(&h, sizeof h); !r) return r;
  if (sc->drops4()) {
    std::vector<std::uint8_t> kept(sc->dim, 0);
    for (const std::uint32_t j : sc->dims4) kept[j] = 1;
    if (auto r = out.write(kept.data(), kept.size()); !r) return r;
  }
  auto put_vector = [&](const auto& v) { return out.write(v.data(), v.size() * sizeof(v[0])); };
  for (const auto* v : {&sc->mins, &sc->steps, &sc->steps4, &sc->error, &sc->decoded_sq,
                        &sc->norm, &sc->error4, &sc->decoded_sq4}) {
    if (auto r = put_vector(*v); !r) return r;
  }
  if (auto r = put_vector(sc->always); !r) return r;
  if (auto r = put_vector(sc->codes); !r) return r;
  if (auto r = put_vector(sc->codes4); !r) return r;
  if (auto r = w.write_u32(out.crc()); !r) return r;
  return w.flush();
}

namespace {

// The dimensions a file's 4-bit codes keep: all of them in version 1, those marked in version
// 2's bytes (checked to be there and to be 0 or 1).
std::optional<std::vector<std::uint32_t>> kept_dims(std::span<const std::byte> bytes,
                                                     const Header& h, std::size_t dim) {
  std::vector<std::uint32_t> dims;
  if (h.version == kWalkCodesVersion) {
    dims.resize(dim);
    for (std::size_t j = 0; j < dim; ++j) dims[j] = static_cast<std::uint32_t>(j);
    return dims;
  }
  if (bytes.size() < sizeof h + dim) return std::nullopt;
  for (std::size_t j = 0; j < dim; ++j) {
    const auto b = static_cast<std::uint8_t>(bytes[sizeof h + j]);
    if (b > 1) return std::nullopt;
    if (b == 1) dims.push_back(static_cast<std::uint32_t>(j));
  }
  return dims;
}

}  // namespace

std::optional<std::string> walk_codes_problem(std::span<const std::byte> bytes, std::size_t dim,
                                              std::size_t rows, std::uint64_t binding) {
  Header h{};
  if (bytes.size() < sizeof h + 4) return "too short to hold codes";
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.magic != kWalkCodesMagic) return "not a codes file";
  if (h.version != kWalkCodesVersion && h.version != kWalkCodesVersionDims) {
    return "version " + std::to_string(h.version) + " is not one this build reads";
  }
  if (h.binding != binding) return std::string("written with another save of the collection");
  if (h.dim != dim || h.rows != rows || h.built_for > h.rows) {
    return "codes of " + std::to_string(h.rows) + " vectors of " + std::to_string(h.dim) +
           " dimensions, the collection has " + std::to_string(rows) + " of " +
           std::to_string(dim);
  }
  const auto dims = kept_dims(bytes, h, dim);
  if (!dims) return std::string("its list of the dimensions the 4-bit codes keep is damaged");
  const std::size_t flags = h.version == kWalkCodesVersionDims ? dim : 0;
  const std::size_t s8 = detail::ScanCodes::stride_for(dim);
  const std::size_t s4 = detail::ScanCodes::stride4_for(dims->size());
  const std::size_t want =
      sizeof h + flags + (2 * s8 + 2 * s4) * 4 + rows * 5 * 4 + rows * (1 + s8 + s4) + 4;
  if (bytes.size() != want) {
    return "holds " + std::to_string(bytes.size()) + " bytes, its codes need " +
           std::to_string(want);
  }
  std::uint32_t crc = 0;
  std::memcpy(&crc, bytes.data() + want - 4, 4);
  if (io::crc32_of(bytes.first(want - 4)) != crc) return std::string("fails its checksum");
  return std::nullopt;
}

Result<void> HnswIndex::load_walk_codes(std::span<const std::byte> bytes,
                                        std::uint64_t binding) {
  if (auto problem = walk_codes_problem(bytes, dim_, node_count(), binding)) {
    return error::fail(
        error::IoError::invalid_data(std::string(kWalkCodesFileName) + ": " + *problem));
  }
  Header h{};
  std::memcpy(&h, bytes.data(), sizeof h);
  auto sc = std::make_unique<detail::ScanCodes>(std::span<const float>(), dim_);
  const std::size_t rows = h.rows;
  std::size_t at = sizeof h;
  if (h.version == kWalkCodesVersionDims) {
    sc->set_dims4(*kept_dims(bytes, h, dim_));  // checked above
    at += dim_;
  }
  auto take = [&](auto& v, std::size_t count) {
    v.resize(count);
    std::memcpy(v.data(), bytes.data() + at, count * sizeof(v[0]));
    at += count * sizeof(v[0]);
  };
  take(sc->mins, sc->stride);
  take(sc->steps, sc->stride);
  take(sc->steps4, 2 * sc->stride4);
  sc->derive_dims4();
  for (auto* v : {&sc->error, &sc->decoded_sq, &sc->norm, &sc->error4, &sc->decoded_sq4}) {
    take(*v, rows);
  }
  take(sc->always, rows);
  take(sc->codes, rows * sc->stride);
  take(sc->codes4, rows * sc->stride4);
  sc->built_for = h.built_for;
  sc->walk_fine = h.walk_fine != 0;
  sc->level_chosen = h.level_chosen != 0;
  sc->walk_sharp = h.walk_sharp != 0;
  sc->rows_exact = h.rows_exact != 0;
  sc->top_code_norm = h.top_code_norm;
  sc->top_code_norm4 = h.top_code_norm4;
  sc->set_walk_terms();
  if (!scan_cache_) scan_cache_ = std::make_unique<detail::ScanCodesCache>();
  MutexLock lock(scan_cache_->mutex);
  scan_cache_->codes = std::move(sc);
  scan_cache_->ready.store(scan_cache_->codes.get(), std::memory_order_release);
  return {};
}

}  // namespace quarn_core::hnsw
