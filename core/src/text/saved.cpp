// "postings.quarn": the text indexes as a save leaves them, all numbers little-endian:
//   u32 magic "QTXP", u32 version 1, u32 slots S, u32 index count C, then per index:
//     u32 length + field; u8 has language (+ u32 length + language); u64 analyzer fingerprint;
//     u64 length of the rest of the index, then: S u64 text hashes (0: no text), S u32 lengths,
//     u32 term count, per term: u32 length + term, u32 postings, per posting: u32 slot, u32 f,
//     f u32 positions;
//   u32 CRC-32 of all bytes before it.
#include <unicode/uversion.h>

#include <cstring>

#include "quarn_core/text.hpp"

namespace quarn_core::text {

namespace {

constexpr std::uint32_t kMagic = 0x50585451;  // "QTXP"
constexpr std::uint32_t kVersion = 1;

// FNV-1a: stable across builds and runs, which std::hash is not.
std::uint64_t fnv(std::string_view bytes, std::uint64_t h = 14695981039346656037ull) {
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

// The hash of a slot's text; 0 stands for no text.
std::uint64_t text_hash(const std::string* text) {
  if (text == nullptr) return 0;
  const std::uint64_t h = fnv(*text);
  return h == 0 ? 1 : h;
}

// What the analyzer makes of words that exercise its parts (word boundaries, folding, the
// apostrophe, stop words, stemming), with the ICU version: an analyzer built against other
// rules gives another fingerprint. (No Chinese or Japanese: their dictionaries are large and
// need not be loaded for texts without them.)
std::uint64_t fingerprint(const Analyzer& analyzer) {
  UVersionInfo version;
  u_getVersion(version);
  std::uint64_t h = fnv(std::string_view(reinterpret_cast<const char*>(version), sizeof version));
  Tokens tokens;
  analyzer.analyze(
      "The QUICK brown foxes were running; na\xC3\xAFve caf\xC3\xA9 Stra\xC3\x9F" "e "
      "don\xE2\x80\x99t e-mail 3.14 node.js C++ \xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0 "
      "generously happiness",
      tokens);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    h = fnv(tokens.term(i), h);
    h = fnv(std::string_view(reinterpret_cast<const char*>(&tokens.positions[i]), 4), h);
  }
  return h;
}

// A bounds-checked reader of the saved bytes; every read past the end fails.
class Reader {
 public:
  explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}
  bool u32(std::uint32_t& v) { return take(&v, 4); }
  bool u64(std::uint64_t& v) { return take(&v, 8); }
  bool u8(std::uint8_t& v) { return take(&v, 1); }
  bool string(std::string& s) {
    std::uint32_t n = 0;
    if (!u32(n) || n > remaining()) return false;
    s.assign(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    return true;
  }
  bool skip(std::uint64_t n) {
    if (n > remaining()) return false;
    at_ += static_cast<std::size_t>(n);
    return true;
  }
  std::size_t remaining() const { return bytes_.size() - at_; }
  std::size_t position() const { return at_; }

 private:
  bool take(void* out, std::size_t n) {
    if (n > remaining()) return false;
    std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
    return true;
  }
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

}  // namespace

Result<void> SavedPostings::write(io::BufWriter& writer, const TextIndexes& indexes,
                                  const std::vector<std::optional<json::Value>>& metadata) {
  io::CrcWriter w(writer);
  const auto slots = static_cast<std::uint32_t>(metadata.size());
  if (auto r = w.u32(kMagic); !r) return r;
  if (auto r = w.u32(kVersion); !r) return r;
  if (auto r = w.u32(slots); !r) return r;
  if (auto r = w.u32(static_cast<std::uint32_t>(indexes.all().size())); !r) return r;
  for (const auto& index : indexes.all()) {
    if (auto r = w.string(index->field()); !r) return r;
    const auto& language = index->analyzer().language();
    const std::uint8_t has = language ? 1 : 0;
    if (auto r = w.write(&has, 1); !r) return r;
    if (language) {
      if (auto r = w.string(*language); !r) return r;
    }
    if (auto r = w.u64(fingerprint(index->analyzer())); !r) return r;
    // The length of what follows, for readers looking for another index.
    std::uint64_t size = 12ull * slots + 4;
    for (const auto& [term, postings] : index->terms_) {
      size += 8 + term.size();
      for (const TextIndex::Block& block : postings.blocks) size += 4 * block.data.size();
    }
    if (auto r = w.u64(size); !r) return r;
    for (std::uint32_t s = 0; s < slots; ++s) {
      const std::string* text = s < metadata.size() ? index->text_of(metadata[s]) : nullptr;
      if (auto r = w.u64(text_hash(text)); !r) return r;
    }
    for (std::uint32_t s = 0; s < slots; ++s) {
      if (auto r = w.u32(index->length(s)); !r) return r;
    }
    if (auto r = w.u32(static_cast<std::uint32_t>(index->terms_.size())); !r) return r;
    for (const auto& [term, postings] : index->terms_) {
      if (auto r = w.string(term); !r) return r;
      if (auto r = w.u32(postings.count); !r) return r;
      // A block's data is its postings as the file lays them out.
      for (const TextIndex::Block& block : postings.blocks) {
        if (auto r = w.write(block.data.data(), 4 * block.data.size()); !r) return r;
      }
    }
  }
  const std::uint32_t crc = w.crc();
  if (auto r = writer.write_u32(crc); !r) return r;
  return writer.flush();
}

std::optional<SavedPostings> SavedPostings::read(const std::filesystem::path& directory) {
  auto region = io::map_file(directory / kPostingsFileName);
  if (!region || region->size() < 20) return std::nullopt;
  SavedPostings out;
  out.file_ = std::move(*region);
  const std::span<const std::byte> bytes = out.file_.bytes();
  const std::size_t body = bytes.size() - 4;
  std::uint32_t stored = 0;
  std::memcpy(&stored, bytes.data() + body, 4);
  if (io::crc32_of(bytes.first(body)) != stored) return std::nullopt;
  Reader r(bytes.first(body));
  std::uint32_t magic = 0, version = 0, count = 0;
  if (!r.u32(magic) || magic != kMagic || !r.u32(version) || version != kVersion ||
      !r.u32(out.slots_) || !r.u32(count)) {
    return std::nullopt;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    Entry e;
    std::uint8_t has = 0;
    std::uint64_t size = 0;
    if (!r.string(e.spec.field) || !r.u8(has)) return std::nullopt;
    if (has) {
      std::string language;
      if (!r.string(language)) return std::nullopt;
      e.spec.language = std::move(language);
    }
    if (!r.u64(e.fingerprint) || !r.u64(size)) return std::nullopt;
    e.offset = r.position();
    if (!r.skip(size)) return std::nullopt;
    e.size = static_cast<std::size_t>(size);
    out.entries_.push_back(std::move(e));
  }
  return out;
}

std::unique_ptr<TextIndex> SavedPostings::restore(
    const TextIndexSpec& spec, const std::vector<std::optional<json::Value>>& metadata,
    const std::function<bool(std::uint32_t)>& skip) const {
  const Entry* entry = nullptr;
  for (const Entry& e : entries_) {
    if (e.spec == spec) entry = &e;
  }
  if (entry == nullptr || slots_ != metadata.size()) return nullptr;
  auto index = std::make_unique<TextIndex>(
      spec.field, spec.language ? Analyzer(*spec.language) : Analyzer());
  if (entry->fingerprint != fingerprint(index->analyzer())) return nullptr;
  Reader r(file_.bytes().subspan(entry->offset, entry->size));
  // The texts it was built from must be the ones the records hold now, slot by slot.
  std::vector<bool> has_text(slots_);
  for (std::uint32_t s = 0; s < slots_; ++s) {
    std::uint64_t saved = 0;
    if (!r.u64(saved)) return nullptr;
    const std::string* text = skip && skip(s) ? nullptr : index->text_of(metadata[s]);
    if (saved != text_hash(text)) return nullptr;
    has_text[s] = text != nullptr;
  }
  index->lengths_.resize(slots_);
  for (std::uint32_t s = 0; s < slots_; ++s) {
    if (!r.u32(index->lengths_[s]) || (index->lengths_[s] != 0 && !has_text[s])) return nullptr;
    if (index->lengths_[s] != 0) {
      ++index->documents_;
      index->total_length_ += index->lengths_[s];
    }
  }
  // Each slot's frequencies must add up to its length; the postings are read in slot order
  // into full blocks, as a build in slot order makes them.
  std::vector<std::uint32_t> seen(slots_, 0);
  std::uint32_t terms = 0;
  if (!r.u32(terms)) return nullptr;
  std::string term;
  for (std::uint32_t t = 0; t < terms; ++t) {
    std::uint32_t count = 0;
    if (!r.string(term) || term.empty() || !r.u32(count) || count == 0 ||
        count > r.remaining() / 8) {
      return nullptr;
    }
    auto [it, fresh] = index->terms_.try_emplace(term);
    if (!fresh) return nullptr;
    TextIndex::Postings& postings = it->second;
    postings.blocks.reserve((count + TextIndex::kBlockPostings - 1) / TextIndex::kBlockPostings);
    std::uint32_t previous = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t slot = 0, freq = 0;
      if (!r.u32(slot) || !r.u32(freq) || slot >= slots_ || (i > 0 && slot <= previous) ||
          freq == 0 || freq > r.remaining() / 4 || index->lengths_[slot] == 0) {
        return nullptr;
      }
      previous = slot;
      seen[slot] += freq;
      if (i % TextIndex::kBlockPostings == 0) postings.blocks.emplace_back();
      TextIndex::Block& block = postings.blocks.back();
      const std::size_t at = block.data.size();
      block.data.resize(at + 2 + freq);
      block.data[at] = slot;
      block.data[at + 1] = freq;
      for (std::uint32_t p = 0; p < freq; ++p) {
        if (!r.u32(block.data[at + 2 + p]) || (p > 0 && block.data[at + 2 + p] <= block.data[at + 1 + p])) {
          return nullptr;
        }
      }
      ++block.count;
    }
    for (TextIndex::Block& block : postings.blocks) {
      block.data.shrink_to_fit();
      index->refresh(block);
    }
    postings.count = count;
  }
  if (r.remaining() != 0) return nullptr;
  for (std::uint32_t s = 0; s < slots_; ++s) {
    if (seen[s] != index->lengths_[s]) return nullptr;
  }
  return index;
}

}  // namespace quarn_core::text
