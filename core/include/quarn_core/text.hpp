// Full-text search over a metadata string field: the analyzer (ICU word boundaries, Unicode
// case folding, Snowball stop words and stemming), the in-memory inverted index with word
// positions, the query syntax, and BM25 ranking with block-max WAND.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarn_core/error.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/json.hpp"

namespace quarn_core::text {

// ---------------------------------------------------------------------------------------------
// Analysis

namespace detail {
// One language's stop words as Snowball lists them (null-terminated); the analyzer folds
// them as it folds words.
struct StopList {
  const char* language;
  const char* const* words;
};
// Generated from Snowball's lists at configure time; ends with {nullptr, nullptr}.
extern const StopList kStopLists[];
}  // namespace detail

// The languages a text index may have: Snowball's algorithm names ("english", "french",
// "porter", ...), in its order.
std::vector<std::string> languages();
// Why `language` cannot be a text index's language ("unknown text language 'x'; one of
// ..."), or nothing when it can.
std::optional<std::string> check_language(const std::string& language);

// The words of a text as index terms, in order: each with its position, the ordinal of the
// word among all words of the text (stop words count, so that a phrase with a stop word in
// it keeps its gap).
struct Tokens {
  std::string chars;                  // the terms back to back
  std::vector<std::uint32_t> ends;    // end of each term in chars
  std::vector<std::uint32_t> positions;
  std::size_t size() const { return ends.size(); }
  std::string_view term(std::size_t i) const {
    const std::uint32_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(chars).substr(begin, ends[i] - begin);
  }
  void clear() {
    chars.clear();
    ends.clear();
    positions.clear();
  }
};

// Words are what ICU's word-boundary rules find (letters, numbers, kana, ideographs; spaces
// and punctuation are dropped), case-folded with Unicode's full folding ("Straße" is
// "strasse"), the typographic apostrophe U+2019 read as ', words longer than kMaxTermBytes
// skipped. With a language, its Snowball stop words are dropped and the rest stemmed by its
// Snowball stemmer. Cheap to copy; thread-safe (each thread keeps its own ICU iterator and
// stemmers).
class Analyzer {
 public:
  static constexpr std::size_t kMaxTermBytes = 255;

  // No language: no stop words, no stemming.
  Analyzer() = default;
  // REQUIRES: !check_language(language).
  explicit Analyzer(std::string language);

  const std::optional<std::string>& language() const { return language_; }
  // Replaces `out` with the terms of `text` (UTF-8; invalid bytes are read as U+FFFD).
  void analyze(std::string_view text, Tokens& out) const;

 private:
  std::optional<std::string> language_;
  std::shared_ptr<const std::vector<std::string>> stop_words_;  // sorted; null: none
};

// ---------------------------------------------------------------------------------------------
// Queries

// Words are OR-ed: a record matches when it holds at least one of them, and ranks by the sum of
// their scores. "a quoted phrase" matches its words in that order, next to one another (stop
// words keep their place). A word or phrase written +word is required, -word excluded: with a
// required clause, the others only add to the score. A word that analyzes into several terms
// (wi-fi, e1234.5) is read as a phrase of them. A query of excluded clauses only, or of stop
// words only, matches nothing.
struct Clause {
  enum class Occur { Should, Must, MustNot };
  Occur occur = Occur::Should;
  std::vector<std::string> terms;      // one term, or a phrase
  std::vector<std::uint32_t> offsets;  // each term's position relative to the first
};

struct Query {
  std::vector<Clause> clauses;
};

Query parse_query(std::string_view text, const Analyzer& analyzer);

// ---------------------------------------------------------------------------------------------
// The index

// BM25 as Lucene scores it: for each query clause matching a record,
// idf * f / (f + k1 * (1 - b + b * dl / avgdl)) with idf = ln(1 + (N - n + 0.5) / (n + 0.5)),
// where f is the term's (or phrase's) frequency in the record, dl the record's length in
// terms, avgdl the mean length, N the number of records indexed and n the number holding the
// term (for a phrase, idf is the sum of its terms' idfs). Only live records count.
inline constexpr double kBm25K1 = 1.2;
inline constexpr double kBm25B = 0.75;

struct TextHit {
  std::uint32_t slot;
  double score;
};

// What a search may use beside the query: the records it may return (`accept`, null: all),
// and optionally the slots, ascending, that hold every record it may return (a small filter's
// candidates): the search then visits those rather than the posting lists.
struct TextSearchScope {
  const std::function<bool(std::uint32_t)>* accept = nullptr;
  std::optional<std::span<const std::uint32_t>> within;
  bool prune = true;  // false: score every matching record (for measurements and tests)
};

// An inverted index over one field: for every term, the records holding it with the term's
// positions, in slot order. A record is indexed when its metadata is an object whose field
// holds a string with at least one term. Not synchronized: the database's records lock
// guards it.
class TextIndex {
 public:
  TextIndex(std::string field, Analyzer analyzer);

  const std::string& field() const { return field_; }
  const Analyzer& analyzer() const { return analyzer_; }

  // Indexes a slot that holds nothing yet. Strong guarantee: on std::bad_alloc the index is
  // as it was.
  void add(std::uint32_t slot, const std::optional<json::Value>& metadata);
  // Takes a slot out; `metadata` is what it was added with. Never fails: without the memory
  // to analyze the old text, it looks for the slot in every posting list.
  void remove(std::uint32_t slot, const std::optional<json::Value>& metadata) noexcept;
  // The same, but a lack of memory is reported (std::bad_alloc, nothing changed) rather than
  // met with a search of every list.
  void remove_strict(std::uint32_t slot, const std::optional<json::Value>& metadata);
  // Whether two metadata values give the field the same text (or both none).
  bool same_text(const std::optional<json::Value>& a, const std::optional<json::Value>& b) const;

  std::size_t documents() const { return documents_; }
  std::size_t term_count() const { return terms_.size(); }
  std::uint32_t length(std::uint32_t slot) const {
    return slot < lengths_.size() ? lengths_[slot] : 0;
  }
  // Records holding the term (0 for an unknown term).
  std::size_t document_frequency(std::string_view term) const;

  // The k best records for the query, best first (equal scores by slot).
  std::vector<TextHit> search(const Query& query, std::size_t k,
                              const TextSearchScope& scope = {}) const;

  // Every (term, slot) with the term's positions in that slot, in term order then slot
  // order: what two indexes over the same records must agree on.
  using Listing = std::vector<std::pair<std::string, std::vector<std::pair<std::uint32_t,
                                                                        std::vector<std::uint32_t>>>>>;
  Listing listing() const;
  // Reports each way in which this index differs from `expected` (built from scratch from
  // the same records), as report(line).
  void compare(const TextIndex& expected,
               const std::function<void(std::string)>& report) const;

  // The postings of one term, in blocks of up to kBlockPostings records in slot order; each
  // posting is its slot, its frequency f and its f positions, ascending. A score grows with
  // f and falls with the record's length, so the best score in a block is that of one of
  // its (frequency, length) pairs that no other beats in both: the block keeps up to
  // kFrontier of them (when there are more, the last stands for the rest with their largest
  // frequency and shortest length), which bound the score of every posting whatever the
  // collection's mean length.
  static constexpr std::uint32_t kBlockPostings = 128;
  static constexpr std::size_t kFrontier = 4;
  struct Point {
    std::uint32_t freq = 0, length = 0;
    bool covers(std::uint32_t f, std::uint32_t l) const { return freq >= f && length <= l; }
  };
  struct Block {
    std::vector<std::uint32_t> data;
    std::uint32_t count = 0;
    std::uint32_t last = 0;  // the slot of the last posting
    std::uint32_t points = 0;
    Point frontier[kFrontier];
    bool covers(std::uint32_t f, std::uint32_t l) const {
      for (std::uint32_t i = 0; i < points; ++i) {
        if (frontier[i].covers(f, l)) return true;
      }
      return false;
    }
  };
  struct Postings {
    std::vector<Block> blocks;
    std::uint32_t count = 0;  // records holding the term
  };

 private:
  struct TermHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  struct TermEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };
  using TermMap = std::unordered_map<std::string, Postings, TermHash, TermEqual>;

  // The slot's text, or null.
  const std::string* text_of(const std::optional<json::Value>& metadata) const;
  void insert_posting(Postings& postings, std::uint32_t slot,
                      std::span<const std::uint32_t> positions);
  void erase_posting(Postings& postings, std::uint32_t slot) noexcept;
  void refresh(Block& block) const noexcept;
  // Takes the slot out of every posting list, without analyzing its text.
  void remove_everywhere(std::uint32_t slot) noexcept;

  std::string field_;
  Analyzer analyzer_;
  TermMap terms_;
  std::vector<std::uint32_t> lengths_;  // terms per slot; 0: not indexed
  std::size_t documents_ = 0;
  std::uint64_t total_length_ = 0;

  friend class Searcher;
  friend class SavedPostings;
};

// ---------------------------------------------------------------------------------------------
// A collection's text indexes

class SavedPostings;

// One text index's definition.
struct TextIndexSpec {
  std::string field;
  std::optional<std::string> language;  // none: no stop words, no stemming
  bool operator==(const TextIndexSpec&) const = default;
};

// The side file of a collection directory that keeps its text index definitions; builds
// that do not know it ignore it.
inline constexpr const char* kTextIndexFileName = "text_indexes.json";

// The definitions kept in `directory`: none when the file is missing. Io when it cannot be
// read or does not hold definitions (invalid data, naming the file).
Result<std::vector<TextIndexSpec>> read_specs(const std::filesystem::path& directory);
// Replaces the file with `specs` (removes it when there are none): written to a temporary
// file created afresh (O_CREAT | O_EXCL | O_NOFOLLOW, a stale one unlinked first), synced,
// and renamed over it. The caller holds the directory lock.
Result<void> write_specs(const std::filesystem::path& directory,
                         const std::vector<TextIndexSpec>& specs);

// The text indexes of one collection, by field; every change of a slot's metadata reaches
// each of them. Not synchronized.
class TextIndexes {
 public:
  TextIndexes() = default;
  TextIndexes(TextIndexes&&) noexcept = default;
  TextIndexes& operator=(TextIndexes&&) noexcept = default;

  bool empty() const { return indexes_.empty(); }
  std::vector<TextIndexSpec> specs() const;
  const TextIndex* find(const std::string& field) const;
  const std::vector<std::unique_ptr<TextIndex>>& all() const { return indexes_; }

  // An index over `metadata` (by slot), leaving out the slots for which `skip` is true:
  // the one in `saved` if it was saved over these very texts, else built afresh.
  static std::unique_ptr<TextIndex> build(const TextIndexSpec& spec,
                                          const std::vector<std::optional<json::Value>>& metadata,
                                          const std::function<bool(std::uint32_t)>& skip,
                                          const SavedPostings* saved = nullptr);
  // Adds a built index (replacing one on the same field); drops one (false when none).
  void insert(std::unique_ptr<TextIndex> index);
  bool erase(const std::string& field) noexcept;

  // Whether every index sees the same text in both.
  bool same_text(const std::optional<json::Value>& a, const std::optional<json::Value>& b) const;
  // As TextIndex::add and remove, for every index (strong guarantee / never fails).
  void add(std::uint32_t slot, const std::optional<json::Value>& metadata);
  void remove(std::uint32_t slot, const std::optional<json::Value>& metadata) noexcept;
  // Moves a slot from the text of `before` to that of `after` in every index whose text
  // differs. On std::bad_alloc the indexes are put back as they were (best effort: putting
  // back needs memory too).
  void replace(std::uint32_t slot, const std::optional<json::Value>& before,
               const std::optional<json::Value>& after);

 private:
  std::vector<std::unique_ptr<TextIndex>> indexes_;
};

// ---------------------------------------------------------------------------------------------
// Saved postings

// The text indexes as a save leaves them beside the graph, so that an open takes them rather
// than analyzing every text again. The file is a cache: each index in it carries, for every
// slot, a hash of the text it indexed there, and the fingerprint of its analyzer (the ICU
// version and the terms of a probe text); an open uses it only when these match the records
// it loaded, and builds the index afresh otherwise (a save that stopped half way, a file from
// another build, damage: the file also ends with a CRC-32 of its bytes).
inline constexpr const char* kPostingsFileName = "postings.quarn";

class SavedPostings {
 public:
  // Writes `indexes` over `metadata` (by slot; a slot's text is what its metadata holds).
  static Result<void> write(io::BufWriter& writer, const TextIndexes& indexes,
                            const std::vector<std::optional<json::Value>>& metadata);

  // The file of `directory`, checked whole; nothing when it is missing, unreadable or damaged.
  static std::optional<SavedPostings> read(const std::filesystem::path& directory);

  // The index saved for `spec`, when it was saved with the same analyzer over exactly the
  // texts that `metadata` holds in the slots `skip` leaves; nothing otherwise.
  std::unique_ptr<TextIndex> restore(const TextIndexSpec& spec,
                                     const std::vector<std::optional<json::Value>>& metadata,
                                     const std::function<bool(std::uint32_t)>& skip) const;

 private:
  struct Entry {
    TextIndexSpec spec;
    std::uint64_t fingerprint = 0;
    std::size_t offset = 0, size = 0;  // of its postings in bytes_
  };
  io::MappedRegion file_;  // mapped, not read: its pages go back to the system with it
  std::uint32_t slots_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace quarn_core::text
