// The inverted index of one text field, and a collection's set of them.
#include <algorithm>
#include <numeric>
#include <utility>

#include "quarn_core/text.hpp"

namespace quarn_core::text {

namespace {

// The offset of the posting after the one at `offset`.
std::size_t next_entry(const std::vector<std::uint32_t>& data, std::size_t offset) {
  return offset + 2 + data[offset + 1];
}

// The first block whose last slot is at least `slot` (blocks.end() when none is).
template <class Blocks>
auto block_for(Blocks& blocks, std::uint32_t slot) {
  return std::lower_bound(blocks.begin(), blocks.end(), slot,
                          [](const TextIndex::Block& b, std::uint32_t s) { return b.last < s; });
}

// Groups the analyzed terms of a text: the token indexes ordered by term, each term's
// positions in ascending order.
void order_by_term(const Tokens& tokens, std::vector<std::uint32_t>& order) {
  order.resize(tokens.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return tokens.term(a) < tokens.term(b);
  });
}

}  // namespace

TextIndex::TextIndex(std::string field, Analyzer analyzer)
    : field_(std::move(field)), analyzer_(std::move(analyzer)) {}

const std::string* TextIndex::text_of(const std::optional<json::Value>& metadata) const {
  if (!metadata || !metadata->is_object()) return nullptr;
  auto it = metadata->find(field_);
  if (it == metadata->end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

bool TextIndex::same_text(const std::optional<json::Value>& a,
                          const std::optional<json::Value>& b) const {
  const std::string* x = text_of(a);
  const std::string* y = text_of(b);
  return x == nullptr ? y == nullptr : y != nullptr && *x == *y;
}

std::size_t TextIndex::document_frequency(std::string_view term) const {
  auto it = terms_.find(term);
  return it == terms_.end() ? 0 : it->second.count;
}

void TextIndex::refresh(Block& block) const noexcept {
  Point points[kBlockPostings];
  std::size_t n = 0, offset = 0;
  for (std::uint32_t i = 0; i < block.count && n < kBlockPostings; ++i) {
    const std::uint32_t slot = block.data[offset];
    block.last = slot;
    points[n++] = Point{block.data[offset + 1], lengths_[slot]};
    offset = next_entry(block.data, offset);
  }
  // The pairs no other beats: by frequency, highest first, each one shorter than all before.
  std::sort(points, points + n, [](const Point& a, const Point& b) {
    return a.freq != b.freq ? a.freq > b.freq : a.length < b.length;
  });
  std::size_t front = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (front == 0 || points[i].length < points[front - 1].length) points[front++] = points[i];
  }
  block.points = static_cast<std::uint32_t>(std::min(front, kFrontier));
  std::copy(points, points + block.points, block.frontier);
  if (front > kFrontier) {
    // The last point covers the rest: their largest frequency (the first of them) and their
    // shortest length (the last).
    block.frontier[kFrontier - 1] = Point{points[kFrontier - 1].freq, points[front - 1].length};
  }
}

void TextIndex::insert_posting(Postings& postings, std::uint32_t slot,
                               std::span<const std::uint32_t> positions) {
  auto& blocks = postings.blocks;
  auto entry = [&](std::vector<std::uint32_t>& data, std::size_t offset) {
    // One insert of the whole posting (strong guarantee), then its values.
    auto it = data.insert(data.begin() + static_cast<std::ptrdiff_t>(offset),
                          2 + positions.size(), 0u);
    it[0] = slot;
    it[1] = static_cast<std::uint32_t>(positions.size());
    std::copy(positions.begin(), positions.end(), it + 2);
  };
  auto at = block_for(blocks, slot);
  if (at == blocks.end()) {
    // After every posting: the common case, a new record taking the next slot. A full last
    // block is left full, so that records added in slot order fill whole blocks.
    if (blocks.empty() || blocks.back().count >= kBlockPostings) {
      Block block;
      entry(block.data, 0);
      block.count = 1;
      refresh(block);
      blocks.push_back(std::move(block));
    } else {
      Block& block = blocks.back();
      entry(block.data, block.data.size());
      ++block.count;
      block.last = slot;
      if (!block.covers(static_cast<std::uint32_t>(positions.size()), lengths_[slot])) {
        refresh(block);
      }
    }
    ++postings.count;
    return;
  }
  std::size_t index = static_cast<std::size_t>(at - blocks.begin());
  if (blocks[index].count >= kBlockPostings) {
    // Split a full block in two halves first, so that the insert below cannot fail with the
    // block half changed.
    Block& full = blocks[index];
    std::size_t middle = 0;
    for (std::uint32_t i = 0; i < full.count / 2; ++i) middle = next_entry(full.data, middle);
    Block upper;
    upper.data.assign(full.data.begin() + static_cast<std::ptrdiff_t>(middle), full.data.end());
    upper.count = full.count - full.count / 2;
    blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(upper));
    Block& lower = blocks[index];
    lower.data.resize(middle);
    lower.count /= 2;
    refresh(lower);
    refresh(blocks[index + 1]);
    if (slot > lower.last) ++index;
  }
  Block& block = blocks[index];
  std::size_t offset = 0;
  while (block.data[offset] < slot) offset = next_entry(block.data, offset);
  entry(block.data, offset);
  ++block.count;
  if (!block.covers(static_cast<std::uint32_t>(positions.size()), lengths_[slot])) refresh(block);
  ++postings.count;
}

void TextIndex::erase_posting(Postings& postings, std::uint32_t slot) noexcept {
  auto& blocks = postings.blocks;
  auto at = block_for(blocks, slot);
  if (at == blocks.end()) return;
  Block& block = *at;
  std::size_t offset = 0;
  std::uint32_t i = 0;
  while (i < block.count && block.data[offset] < slot) {
    offset = next_entry(block.data, offset);
    ++i;
  }
  if (i == block.count || block.data[offset] != slot) return;
  const std::size_t end = next_entry(block.data, offset);
  block.data.erase(block.data.begin() + static_cast<std::ptrdiff_t>(offset),
                   block.data.begin() + static_cast<std::ptrdiff_t>(end));
  --block.count;
  --postings.count;
  if (block.count == 0) {
    blocks.erase(at);
    return;
  }
  refresh(block);
  // A block left small joins its successor when both fit in one, so that deletions do not
  // leave long lists of tiny blocks. Joining allocates; when it cannot, the blocks stay
  // apart, which is still a valid list.
  const auto next = at + 1;
  if (block.count < kBlockPostings / 4 && next != blocks.end() &&
      block.count + next->count <= kBlockPostings) {
    try {
      block.data.insert(block.data.end(), next->data.begin(), next->data.end());
    } catch (...) {
      return;
    }
    block.count += next->count;
    blocks.erase(next);
    refresh(blocks[static_cast<std::size_t>(at - blocks.begin())]);
  }
}

void TextIndex::add(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  const std::string* text = text_of(metadata);
  if (text == nullptr) return;
  thread_local Tokens tokens;
  thread_local std::vector<std::uint32_t> order, positions;
  analyzer_.analyze(*text, tokens);
  if (tokens.size() == 0) return;
  order_by_term(tokens, order);
  if (lengths_.size() <= slot) {
    lengths_.resize(std::max<std::size_t>(slot + 1, lengths_.size() + lengths_.size() / 2));
  }
  std::vector<TermMap::value_type*> done;  // the terms whose postings hold the slot
  TermMap::value_type* current = nullptr;
  lengths_[slot] = static_cast<std::uint32_t>(tokens.size());
  try {
    done.reserve(tokens.size());
    for (std::size_t i = 0; i < order.size();) {
      const std::string_view term = tokens.term(order[i]);
      positions.clear();
      std::size_t j = i;
      for (; j < order.size() && tokens.term(order[j]) == term; ++j) {
        positions.push_back(tokens.positions[order[j]]);
      }
      auto it = terms_.find(term);
      if (it == terms_.end()) it = terms_.try_emplace(std::string(term)).first;
      current = &*it;
      insert_posting(it->second, slot, positions);
      done.push_back(current);
      current = nullptr;
      i = j;
    }
  } catch (...) {
    // Every step below only erases.
    auto drop_if_empty = [&](TermMap::value_type* term) {
      if (term->second.count == 0) terms_.erase(terms_.find(term->first));
    };
    for (TermMap::value_type* term : done) {
      erase_posting(term->second, slot);
      drop_if_empty(term);
    }
    if (current != nullptr) drop_if_empty(current);
    lengths_[slot] = 0;
    throw;
  }
  ++documents_;
  total_length_ += tokens.size();
}

void TextIndex::remove_strict(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  if (slot >= lengths_.size() || lengths_[slot] == 0) return;
  const std::string* text = text_of(metadata);
  if (text == nullptr) {
    // Not the text it was added with; only a search of every list finds its terms.
    remove_everywhere(slot);
  } else {
    thread_local Tokens tokens;
    thread_local std::vector<std::uint32_t> order;
    analyzer_.analyze(*text, tokens);
    order_by_term(tokens, order);
    // From here on nothing allocates.
    for (std::size_t i = 0; i < order.size(); ++i) {
      const std::string_view term = tokens.term(order[i]);
      if (i > 0 && term == tokens.term(order[i - 1])) continue;
      auto it = terms_.find(term);
      if (it == terms_.end()) continue;
      erase_posting(it->second, slot);
      if (it->second.count == 0) terms_.erase(it);
    }
  }
  --documents_;
  total_length_ -= lengths_[slot];
  lengths_[slot] = 0;
}

void TextIndex::remove(std::uint32_t slot, const std::optional<json::Value>& metadata) noexcept {
  try {
    remove_strict(slot, metadata);
  } catch (...) {
    // Analyzing the old text needs memory; without it, every list is searched instead.
    remove_everywhere(slot);
    --documents_;
    total_length_ -= lengths_[slot];
    lengths_[slot] = 0;
  }
}

void TextIndex::remove_everywhere(std::uint32_t slot) noexcept {
  for (auto it = terms_.begin(); it != terms_.end();) {
    erase_posting(it->second, slot);
    it = it->second.count == 0 ? terms_.erase(it) : std::next(it);
  }
}

TextIndex::Listing TextIndex::listing() const {
  Listing out;
  out.reserve(terms_.size());
  for (const auto& [term, postings] : terms_) {
    auto& entry = out.emplace_back(term, decltype(out[0].second){});
    for (const Block& block : postings.blocks) {
      std::size_t offset = 0;
      for (std::uint32_t i = 0; i < block.count; ++i) {
        const std::uint32_t* p = block.data.data() + offset;
        entry.second.emplace_back(p[0], std::vector<std::uint32_t>(p + 2, p + 2 + p[1]));
        offset = next_entry(block.data, offset);
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

void TextIndex::compare(const TextIndex& expected,
                        const std::function<void(std::string)>& report) const {
  const std::string name = "text index '" + field_ + "': ";
  if (documents_ != expected.documents_ || total_length_ != expected.total_length_) {
    report(name + std::to_string(documents_) + " records of " + std::to_string(total_length_) +
           " terms, where the records hold " + std::to_string(expected.documents_) + " of " +
           std::to_string(expected.total_length_));
  }
  const std::size_t slots = std::max(lengths_.size(), expected.lengths_.size());
  for (std::uint32_t s = 0; s < slots; ++s) {
    if (length(s) != expected.length(s)) {
      report(name + "slot " + std::to_string(s) + " has length " + std::to_string(length(s)) +
             ", its text " + std::to_string(expected.length(s)));
    }
  }
  // The blocks' bounds must hold for their postings, or ranking would skip records.
  for (const auto& [term, postings] : terms_) {
    std::uint32_t count = 0, previous = 0;
    bool first = true;
    for (const Block& block : postings.blocks) {
      std::size_t offset = 0;
      for (std::uint32_t i = 0; i < block.count; ++i) {
        const std::uint32_t slot = block.data[offset], freq = block.data[offset + 1];
        if ((!first && slot <= previous) || !block.covers(freq, length(slot)) ||
            slot > block.last) {
          report(name + "the postings of '" + term + "' are out of order or out of their bounds");
        }
        first = false;
        previous = slot;
        offset = next_entry(block.data, offset);
        ++count;
      }
    }
    if (count != postings.count) {
      report(name + "'" + term + "' counts " + std::to_string(postings.count) + " records, holds " +
             std::to_string(count));
    }
  }
  const Listing have = listing(), want = expected.listing();
  if (have == want) return;
  // The first few differences, by term.
  std::size_t a = 0, b = 0, shown = 0;
  while ((a < have.size() || b < want.size()) && shown < 10) {
    if (b == want.size() || (a < have.size() && have[a].first < want[b].first)) {
      report(name + "holds term '" + have[a++].first + "', which no record's text has");
      ++shown;
    } else if (a == have.size() || want[b].first < have[a].first) {
      report(name + "lacks term '" + want[b++].first + "'");
      ++shown;
    } else {
      if (have[a].second != want[b].second) {
        report(name + "the postings of '" + have[a].first + "' differ from the records' texts");
        ++shown;
      }
      ++a;
      ++b;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TextIndexes

std::vector<TextIndexSpec> TextIndexes::specs() const {
  std::vector<TextIndexSpec> out;
  for (const auto& index : indexes_) {
    out.push_back(TextIndexSpec{index->field(), index->analyzer().language()});
  }
  return out;
}

const TextIndex* TextIndexes::find(const std::string& field) const {
  for (const auto& index : indexes_) {
    if (index->field() == field) return index.get();
  }
  return nullptr;
}

std::unique_ptr<TextIndex> TextIndexes::build(
    const TextIndexSpec& spec, const std::vector<std::optional<json::Value>>& metadata,
    const std::function<bool(std::uint32_t)>& skip, const SavedPostings* saved) {
  if (saved != nullptr) {
    if (auto restored = saved->restore(spec, metadata, skip)) return restored;
  }
  auto index = std::make_unique<TextIndex>(
      spec.field, spec.language ? Analyzer(*spec.language) : Analyzer());
  for (std::size_t i = 0; i < metadata.size(); ++i) {
    const auto slot = static_cast<std::uint32_t>(i);
    if (!skip || !skip(slot)) index->add(slot, metadata[i]);
  }
  return index;
}

void TextIndexes::insert(std::unique_ptr<TextIndex> index) {
  for (auto& have : indexes_) {
    if (have->field() == index->field()) {
      have = std::move(index);
      return;
    }
  }
  indexes_.push_back(std::move(index));
}

bool TextIndexes::erase(const std::string& field) noexcept {
  for (auto it = indexes_.begin(); it != indexes_.end(); ++it) {
    if ((*it)->field() == field) {
      indexes_.erase(it);
      return true;
    }
  }
  return false;
}

bool TextIndexes::same_text(const std::optional<json::Value>& a,
                            const std::optional<json::Value>& b) const {
  for (const auto& index : indexes_) {
    if (!index->same_text(a, b)) return false;
  }
  return true;
}

void TextIndexes::add(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  std::size_t done = 0;
  try {
    for (; done < indexes_.size(); ++done) indexes_[done]->add(slot, metadata);
  } catch (...) {
    while (done-- > 0) indexes_[done]->remove(slot, metadata);
    throw;
  }
}

void TextIndexes::remove(std::uint32_t slot, const std::optional<json::Value>& metadata) noexcept {
  for (auto& index : indexes_) index->remove(slot, metadata);
}

void TextIndexes::replace(std::uint32_t slot, const std::optional<json::Value>& before,
                          const std::optional<json::Value>& after) {
  std::size_t done = 0;
  try {
    for (; done < indexes_.size(); ++done) {
      TextIndex& index = *indexes_[done];
      if (index.same_text(before, after)) continue;
      index.remove_strict(slot, before);  // throws with nothing changed
      try {
        index.add(slot, after);
      } catch (...) {
        index.add(slot, before);
        throw;
      }
    }
  } catch (...) {
    try {
      while (done-- > 0) {
        TextIndex& index = *indexes_[done];
        if (index.same_text(before, after)) continue;
        index.remove(slot, after);
        index.add(slot, before);
      }
    } catch (...) {
    }
    throw;
  }
}

}  // namespace quarn_core::text
