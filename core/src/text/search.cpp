// Queries over a text index: parsing, and BM25 top-k by block-max WAND.
//
// A search walks the posting lists of its clauses in slot order (document at a time). Each
// block of a list bounds the score its postings can add (its largest frequency over its
// shortest record), and each list the largest of its blocks' bounds. Once k records are held,
// a record that cannot beat the k-th score is not scored: WAND picks, in slot order, the first
// record whose lists' bounds together could, and the blocks' bounds at that record then often
// show it cannot, and that no record up to the end of one of those blocks can, so the walk
// jumps past them. Records are scored in clause order whatever the walk, so a pruned search
// returns exactly the scores and order of a full one.
#include <algorithm>
#include <cmath>
#include <limits>

#include "quarn_core/text.hpp"

namespace quarn_core::text {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

Query parse_query(std::string_view text, const Analyzer& analyzer) {
  Query query;
  Tokens tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    Clause clause;
    if (text[i] == '+' || text[i] == '-') {
      clause.occur = text[i] == '+' ? Clause::Occur::Must : Clause::Occur::MustNot;
      ++i;
    }
    std::string_view body;
    if (i < text.size() && text[i] == '"') {
      // A phrase runs to the closing quote, or to the end of an unclosed one.
      const std::size_t close = text.find('"', i + 1);
      const std::size_t end = close == std::string_view::npos ? text.size() : close;
      body = text.substr(i + 1, end - i - 1);
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else {
      std::size_t end = i;
      while (end < text.size() && !is_space(text[end])) ++end;
      body = text.substr(i, end - i);
      i = end;
    }
    analyzer.analyze(body, tokens);
    if (tokens.size() == 0) continue;  // stop words or punctuation only
    for (std::size_t t = 0; t < tokens.size(); ++t) {
      clause.terms.emplace_back(tokens.term(t));
      clause.offsets.push_back(tokens.positions[t] - tokens.positions[0]);
    }
    query.clauses.push_back(std::move(clause));
  }
  return query;
}

// ---------------------------------------------------------------------------------------------
// Scoring

namespace {

constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

// A reading position in one posting list.
class Cursor {
 public:
  explicit Cursor(const TextIndex::Postings* postings) : blocks_(&postings->blocks) { load(); }

  std::uint32_t slot() const { return slot_; }
  std::uint32_t freq() const { return data()[offset_ + 1]; }
  const std::uint32_t* positions() const { return data() + offset_ + 2; }
  const std::vector<TextIndex::Block>& blocks() const { return *blocks_; }

  void next() {
    const TextIndex::Block& block = (*blocks_)[block_];
    offset_ += 2 + block.data[offset_ + 1];
    if (++index_ == block.count) {
      ++block_;
      offset_ = index_ = 0;
    }
    load();
  }
  // To the first posting at or after `target`.
  void advance(std::uint32_t target) {
    if (slot_ >= target) return;
    if ((*blocks_)[block_].last < target) {
      block_ = block_at(target);
      offset_ = index_ = 0;
      load();
    }
    while (slot_ < target) next();
  }
  // The block that holds `target` if any posting at or after the current one does: the
  // first from the current block on whose last slot is at least target; blocks().size()
  // when there is none. Does not move the cursor.
  std::size_t block_at(std::uint32_t target) {
    if (shallow_ < block_) shallow_ = block_;
    if (shallow_ < blocks_->size() && (*blocks_)[shallow_].last < target) {
      shallow_ = static_cast<std::size_t>(
          std::lower_bound(blocks_->begin() + static_cast<std::ptrdiff_t>(shallow_) + 1,
                           blocks_->end(), target,
                           [](const TextIndex::Block& b, std::uint32_t s) { return b.last < s; }) -
          blocks_->begin());
    }
    return shallow_;
  }

 private:
  const std::uint32_t* data() const { return (*blocks_)[block_].data.data(); }
  void load() { slot_ = block_ < blocks_->size() ? data()[offset_] : kEnd; }

  const std::vector<TextIndex::Block>* blocks_;
  std::size_t block_ = 0, offset_ = 0, shallow_ = 0;
  std::uint32_t index_ = 0;
  std::uint32_t slot_ = kEnd;
};

// One clause of a query over the index: a term, or a phrase whose rarest term leads.
struct ClauseState {
  Clause::Occur occur = Clause::Occur::Should;
  double weight = 0.0;  // the sum of the terms' idf
  std::vector<Cursor> terms;
  std::vector<std::uint32_t> offsets;
  std::size_t lead = 0;
  double max_bound = 0.0;
  std::vector<std::pair<const std::uint32_t*, const std::uint32_t*>> scratch;

  Cursor& driver() { return terms[lead]; }
  std::uint32_t slot() const { return terms[lead].slot(); }

  // The clause's frequency in `slot`, where the lead stands: the term's frequency, or the
  // number of places where the phrase's terms follow one another.
  std::uint32_t freq_at(std::uint32_t slot) {
    if (terms.size() == 1) return terms[0].freq();
    for (Cursor& c : terms) {
      c.advance(slot);
      if (c.slot() != slot) return 0;
    }
    // Walk the first term's positions; each other term's positions are read once, in order.
    auto& at = scratch;
    at.clear();
    for (const Cursor& c : terms) at.emplace_back(c.positions(), c.positions() + c.freq());
    std::uint32_t matches = 0;
    for (const std::uint32_t* p = at[0].first; p != at[0].second; ++p) {
      bool all = true;
      for (std::size_t j = 1; j < terms.size() && all; ++j) {
        const std::uint32_t want = *p + offsets[j];
        auto& [q, end] = at[j];
        while (q != end && *q < want) ++q;
        all = q != end && *q == want;
      }
      if (all) ++matches;
    }
    return matches;
  }
};

struct Ranked {
  double score;
  std::uint32_t slot;
};
// Better first: the higher score, then the lower slot.
bool better(const Ranked& a, const Ranked& b) {
  return a.score != b.score ? a.score > b.score : a.slot < b.slot;
}

}  // namespace

class Searcher {
 public:
  Searcher(const TextIndex& index, const Query& query, std::size_t k, const TextSearchScope& scope)
      : index_(index), k_(k), scope_(scope) {
    const double n = static_cast<double>(index.documents_);
    avgdl_ = index.documents_ == 0 ? 1.0
                                   : static_cast<double>(index.total_length_) / n;
    clauses_.reserve(query.clauses.size());
    for (const Clause& clause : query.clauses) {
      ClauseState state;
      state.occur = clause.occur;
      std::size_t rarest = std::numeric_limits<std::size_t>::max();
      bool missing = false;
      for (std::size_t t = 0; t < clause.terms.size(); ++t) {
        auto it = index.terms_.find(clause.terms[t]);
        if (it == index.terms_.end()) {
          missing = true;
          break;
        }
        const double df = it->second.count;
        state.weight += std::log(1.0 + (n - df + 0.5) / (df + 0.5));
        if (it->second.count < rarest) {
          rarest = it->second.count;
          state.lead = t;
        }
        state.terms.emplace_back(&it->second);
      }
      if (missing) {
        // A clause on a term no record holds matches nothing: a required one empties the
        // answer, any other is left out.
        if (clause.occur == Clause::Occur::Must) impossible_ = true;
        continue;
      }
      state.offsets = clause.offsets;
      for (const TextIndex::Block& block : state.driver().blocks()) {
        state.max_bound = std::max(state.max_bound, bound(state, block));
      }
      clauses_.push_back(std::move(state));
    }
  }

  std::vector<TextHit> run() {
    std::vector<TextHit> out;
    if (k_ == 0 || impossible_ || index_.documents_ == 0) return out;
    std::vector<ClauseState*> positive;
    ClauseState* rarest_must = nullptr;
    for (ClauseState& c : clauses_) {
      if (c.occur == Clause::Occur::MustNot) {
        excluded_.push_back(&c);
        continue;
      }
      positive.push_back(&c);
      if (c.occur == Clause::Occur::Must) {
        if (rarest_must == nullptr ||
            c.driver().blocks().size() < rarest_must->driver().blocks().size()) {
          rarest_must = &c;
        }
      }
    }
    positive_ = positive;
    if (positive_.empty()) return out;
    if (scope_.within) {
      drive(*scope_.within);
    } else if (positive_.size() == 1) {
      single(*positive_.front());
    } else if (rarest_must != nullptr) {
      drive_by(*rarest_must);
    } else {
      wand();
    }
    std::sort(heap_.begin(), heap_.end(), better);
    out.reserve(heap_.size());
    for (const Ranked& r : heap_) out.push_back(TextHit{r.slot, r.score});
    return out;
  }

 private:
  double norm(std::uint32_t length) const {
    return kBm25K1 * (1.0 - kBm25B + kBm25B * static_cast<double>(length) / avgdl_);
  }
  // The most the clause can add to a record of the block: the best score of its frontier's
  // pairs, by the same operations as a score, which are monotonic in frequency and length
  // (so rounding keeps it at or above every score it covers).
  double bound(const ClauseState& c, const TextIndex::Block& block) const {
    double best = 0.0;
    for (std::uint32_t i = 0; i < block.points; ++i) {
      const double f = block.frontier[i].freq;
      best = std::max(best, c.weight * (f / (f + norm(block.frontier[i].length))));
    }
    return best;
  }
  // The bound of the block of the clause's lead that holds `slot` (0 past its last block).
  double block_bound(ClauseState& c, std::uint32_t slot, std::uint32_t* block_end) {
    Cursor& lead = c.driver();
    const std::size_t b = lead.block_at(slot);
    if (b >= lead.blocks().size()) return 0.0;
    if (block_end != nullptr) *block_end = std::min(*block_end, lead.blocks()[b].last);
    return bound(c, lead.blocks()[b]);
  }
  bool full() const { return heap_.size() == k_; }
  std::size_t clause_index(const ClauseState* c) const {
    return static_cast<std::size_t>(std::find(positive_.begin(), positive_.end(), c) -
                                    positive_.begin());
  }
  // The score a record must exceed to enter (-inf until k are held, or without pruning).
  double threshold() const {
    return scope_.prune && full() ? heap_.front().score
                                  : -std::numeric_limits<double>::infinity();
  }

  // Scores `slot`, whose positive clauses' leads stand at it or beyond, and keeps it if it
  // matches, passes, and ranks among the k best so far.
  void evaluate(std::uint32_t slot) {
    const double norm_here = norm(index_.length(slot));
    double score = 0.0;
    bool any = false;
    for (ClauseState* c : positive_) {
      std::uint32_t f = 0;
      if (c->slot() == slot) f = c->freq_at(slot);
      if (f == 0) {
        if (c->occur == Clause::Occur::Must) return;
        continue;
      }
      const double fd = f;
      score += c->weight * (fd / (fd + norm_here));
      any = true;
    }
    if (!any) return;
    // Slots are visited in ascending order: a record scoring the same as the k-th held one
    // comes after it.
    if (full() && score <= heap_.front().score) return;
    for (ClauseState* c : excluded_) {
      c->driver().advance(slot);
      if (c->slot() == slot && c->freq_at(slot) > 0) return;
    }
    if (scope_.accept != nullptr && !(*scope_.accept)(slot)) return;
    auto worse_on_top = [](const Ranked& a, const Ranked& b) { return better(a, b); };
    if (full()) {
      std::pop_heap(heap_.begin(), heap_.end(), worse_on_top);
      heap_.pop_back();
    }
    heap_.push_back(Ranked{score, slot});
    std::push_heap(heap_.begin(), heap_.end(), worse_on_top);
  }

  // Visits the given slots, each with every positive clause moved to it.
  template <class Slots>
  void visit(Slots& slots) {
    for (std::uint32_t slot : slots) {
      if (slot == kEnd) break;
      if (scope_.prune && full()) {
        // Summed in clause order, as scores are: a sum of larger terms over more clauses,
        // in the same order, never rounds below the score.
        double sum = 0.0;
        for (ClauseState* c : positive_) sum += block_bound(*c, slot, nullptr);
        if (sum <= threshold()) continue;
      }
      for (ClauseState* c : positive_) c->driver().advance(slot);
      evaluate(slot);
    }
  }
  void drive(std::span<const std::uint32_t> slots) { visit(slots); }
  // A required clause's records are the only candidates: walk its lead.
  void drive_by(ClauseState& lead) {
    struct Walk {
      Cursor cursor;
      struct It {
        Cursor* c;
        std::uint32_t operator*() const { return c->slot(); }
        It& operator++() {
          c->next();
          return *this;
        }
        bool operator!=(const It&) const { return c->slot() != kEnd; }
      };
      It begin() { return It{&cursor}; }
      It end() { return It{&cursor}; }
    } walk{lead.driver()};
    visit(walk);
  }

  // One list: its blocks are skipped whole while their bound cannot beat the k-th score.
  void single(ClauseState& c) {
    Cursor& cursor = c.driver();
    while (cursor.slot() != kEnd) {
      if (scope_.prune && full()) {
        const TextIndex::Block& block = cursor.blocks()[cursor.block_at(cursor.slot())];
        if (bound(c, block) <= threshold()) {
          cursor.advance(block.last == kEnd - 1 ? kEnd : block.last + 1);
          continue;
        }
      }
      evaluate(cursor.slot());
      cursor.next();
    }
  }

  void wand() {
    std::vector<ClauseState*> order = positive_;
    auto by_slot = [](const ClauseState* a, const ClauseState* b) { return a->slot() < b->slot(); };
    std::vector<std::size_t> at_pivot;  // positions in positive_ (clause order)
    while (true) {
      std::sort(order.begin(), order.end(), by_slot);
      const double theta = threshold();
      // The pivot: the first record at which the lists so far could together beat theta.
      // These sums run in slot order, not clause order; a margin far above rounding keeps
      // the pivot from passing a record that could.
      double sum = 0.0;
      std::size_t pivot = order.size();
      for (std::size_t i = 0; i < order.size() && order[i]->slot() != kEnd; ++i) {
        sum += order[i]->max_bound;
        if (sum * (1.0 + 1e-12) > theta) {
          pivot = i;
          break;
        }
      }
      if (pivot == order.size()) return;
      const std::uint32_t slot = order[pivot]->slot();
      while (pivot + 1 < order.size() && order[pivot + 1]->slot() == slot) ++pivot;
      if (full() && scope_.prune) {
        // The block bounds of the lists up to the pivot, summed in clause order (see visit).
        at_pivot.clear();
        for (std::size_t i = 0; i <= pivot; ++i) at_pivot.push_back(clause_index(order[i]));
        std::sort(at_pivot.begin(), at_pivot.end());
        double blocks = 0.0;
        std::uint32_t block_end = kEnd;
        for (std::size_t i : at_pivot) blocks += block_bound(*positive_[i], slot, &block_end);
        if (blocks <= theta) {
          // Nothing before the end of the first of these blocks, nor before the next list's
          // record, can beat theta.
          std::uint32_t skip_to = block_end == kEnd ? kEnd : block_end + 1;
          if (pivot + 1 < order.size()) skip_to = std::min(skip_to, order[pivot + 1]->slot());
          for (std::size_t i = 0; i <= pivot; ++i) order[i]->driver().advance(skip_to);
          continue;
        }
      }
      if (order[0]->slot() == slot) {
        evaluate(slot);
        for (std::size_t i = 0; i <= pivot; ++i) order[i]->driver().next();
      } else {
        for (std::size_t i = 0; i < pivot; ++i) order[i]->driver().advance(slot);
      }
    }
  }

  const TextIndex& index_;
  std::size_t k_;
  TextSearchScope scope_;
  double avgdl_ = 1.0;
  bool impossible_ = false;
  std::vector<ClauseState> clauses_;
  std::vector<ClauseState*> positive_, excluded_;
  std::vector<Ranked> heap_;  // the k best so far, the worst on top
};

std::vector<TextHit> TextIndex::search(const Query& query, std::size_t k,
                                       const TextSearchScope& scope) const {
  return Searcher(*this, query, k, scope).run();
}

}  // namespace quarn_core::text
