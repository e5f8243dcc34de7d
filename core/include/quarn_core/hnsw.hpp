// The HNSW index of one collection: slots, vectors, norms and neighbour
// lists; insertion and re-linking; layer searches, the exact scan and quantized traversal.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "quarn_core/distance.hpp"
#include "quarn_core/error.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/quantize.hpp"

namespace quarn_core::hnsw {

// One (slot, distance) pair; every search step produces these. Smaller is closer.
struct Candidate {
  std::uint32_t slot;
  float distance;

  friend bool operator==(const Candidate&, const Candidate&) = default;
};

// Searches descend the layers from kDescentBeamFrom up with a beam of kDescentBeam, whose
// best enters the layer below, and the layers under them greedily.
//
// Over tight clusters that lie about equally far apart (500,000 x 128 in 1,000 clusters,
// cosine), greedy walks of the sparse upper layers stopped in the wrong cluster for 1.5-2% of
// queries, and layer 0's beam then stayed there: those queries found none of their neighbours
// at any ef (15 of 1,000 at ef 64, 5 at ef 256). A beam of 4 on layers 2 and up left one so
// at ef 16 and none from ef 24: recall@10 at ef 32 and 64 rose from 0.965 and 0.983 to 0.986
// and 0.998 walking on the codes, from 0.951 and 0.980 to 0.977 and 0.997 on full vectors. On
// Fashion-MNIST it costs 0-5% of queries per second. On layer 1, with a sixteenth of the
// nodes, a beam cost more than it found.
inline constexpr std::size_t kDescentBeam = 4;
inline constexpr std::size_t kDescentBeamFrom = 2;

// The entry point of an empty index.
inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
// Live floats (count × dim) below which `search` scans exactly instead of walking the graph,
// unless a collection chose another limit (Database::set_exact_scan_limit).
inline constexpr std::size_t kExactScanFloats = 10'000'000;
// The leading vectors of a batch that are always linked one by one on the calling thread.
// After them only the vectors that raise the top level are (see batch_insert).
inline constexpr std::size_t kSequentialBatch = 128;
// The bounds on m, for new collections and loaded files alike: the level multiplier is
// 1/ln(m), and every node's layer-0 list has room for 2·m + 1 neighbours from the start.
inline constexpr std::size_t kMinM = 2;
inline constexpr std::size_t kMaxM = 2048;
// Queries per matrix-matrix product of search_exact_many.
inline constexpr std::size_t kExactQueryBlock = 256;

// Leaves the min(k, n) smallest distances of `pairs`, ascending, and drops the rest: a
// partial selection of the k smallest (when there are more than k) followed by a stable
// sort of those. Equal distances carry no order beyond that.
void select_k(std::vector<Candidate>& pairs, std::size_t k);
// Leaves the min(k, n) nearest pairs ordered by (distance, slot), NaN distances last: the one
// answer whatever order the pairs came in. The selection of the exact scans.
void select_nearest(std::vector<Candidate>& pairs, std::size_t k);

// Euclidean norm as the index stores it: the sum of squares in f32, then its square root.
float vector_norm(std::span<const float> v);

// Stable ascending sort by distance (insertion sort below 21 elements, merge sort above).
// `riders`, when given, holds one byte per pair, moved with it (an insertion sort whatever
// the length).
void stable_sort_by_distance(std::span<Candidate> pairs, std::span<std::uint8_t> riders = {});

namespace detail {

struct Scratch;
struct ScanCodes;
struct ScanCodesCache;
struct WalkQuery;

// Memory for the large per-slot arrays. Blocks of 2 MiB and more are mapped on their own,
// aligned to 2 MiB and marked for transparent huge pages: scans and graph walks touch these
// arrays all over, and with 4 KiB pages the TLB misses and the hardware prefetcher's stops at
// every page boundary cost more than the arithmetic. Smaller blocks come from operator new.
void* allocate_large(std::size_t bytes);
void free_large(void* p, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_large(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace detail

// The vectors of an index, slot-major: an owned array, or a read-only mapping of a saved
// vector file whose first `len` floats are the vectors (the per-slot norms follow them).
// Move-only. Not thread-safe for writing; readers need no lock.
class VectorStore {
 public:
  // An empty owned store.
  VectorStore() = default;
  using Owned = std::vector<float, detail::LargeAllocator<float>>;

  // Owned, holding a copy of the given floats (n × dim of them).
  explicit VectorStore(std::span<const float> floats) : owned_(floats.begin(), floats.end()) {}
  explicit VectorStore(const std::vector<float>& floats)
      : VectorStore(std::span<const float>(floats)) {}
  // Owned, taking the floats.
  explicit VectorStore(Owned&& floats) : owned_(std::move(floats)) {}
  // Mapped: the first `len` floats of `region` are the vectors. REQUIRES: region holds at
  // least `len` floats.
  VectorStore(io::MappedRegion region, std::size_t len)
      : region_(std::move(region)), len_(len), mapped_(true) {}

  VectorStore(VectorStore&&) noexcept = default;
  VectorStore& operator=(VectorStore&&) noexcept = default;
  VectorStore(const VectorStore&) = delete;
  VectorStore& operator=(const VectorStore&) = delete;

  bool is_mapped() const { return mapped_; }
  // The vector region: the owned floats, or the first `len` floats of the mapping. Valid
  // until the next mutation of the store.
  std::span<const float> data() const {
    if (mapped_) return {static_cast<const float*>(region_.data()), len_};
    return owned_;
  }
  std::size_t size() const { return mapped_ ? len_ : owned_.size(); }

  // Mapped: copies the vector floats into an owned array and releases the mapping. Owned:
  // nothing. Only memory exhaustion can fail it (fatally).
  void ensure_owned();
  // Mapped: a copy of every float after the first `len` (the stored norms). Owned: nothing.
  std::optional<std::vector<float>> mapped_norms() const;
  // The owned array, for writing. REQUIRES: owned ("cannot mutate mmap'd vectors — save
  // and reopen, or use owned mode").
  Owned& owned();

 private:
  Owned owned_;
  io::MappedRegion region_;
  std::size_t len_ = 0;
  bool mapped_ = false;
};

// SQ8 state: a quantizer and dim codes per slot, slot-major.
struct QuantizedSearch {
  quantize::ScalarQuantizer quantizer;
  std::vector<std::uint8_t> codes;
};

// Everything the file loader read, handed over whole to `HnswIndex::from_loaded`.
struct LoadedGraph {
  std::size_t dim = 0;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  distance::Metric metric = distance::Metric::Cosine;
  std::uint32_t entry_point = kNoEntry;
  std::size_t max_level = 0;
  // Per node, per layer (layer 0 first), the neighbour slots in stored order.
  std::vector<std::vector<std::vector<std::uint32_t>>> layers;
  std::unordered_set<std::uint32_t> deleted;
  VectorStore vectors;       // node count × dim floats
  std::vector<float> norms;  // one per node
};

// The graph node of one slot, as a view: its level and its neighbour lists live in the
// index's own arrays (a flat block for layer 0, one block per node for the layers above).
// Each list has a fixed capacity of its limit plus one (the entry appended before pruning)
// and a one-word lock of its own.
struct Node {
  std::uint32_t level = 0;  // top layer; the node has lists on layers 0..level
};

// The file of a collection directory that keeps the compressed traversal's codes.
inline constexpr const char* kWalkCodesFileName = "vectors.codes";
// What HnswIndex::load_walk_codes would refuse in such a file, for a collection of `rows`
// vectors of `dim` floats whose saved files have `binding`; nothing when it would load.
std::optional<std::string> walk_codes_problem(std::span<const std::byte> bytes, std::size_t dim,
                                              std::size_t rows, std::uint64_t binding);

// A hierarchical navigable small-world graph over dense f32 vectors, addressed by slot.
//
// Thread safety: the const members (searches, accessors) may run on many threads at once,
// and they read neighbour lists without locks: no list may change while one runs.
// `connect_node` may run concurrently with other `connect_node` calls (the linking phase of
// a batch), but not with searches; it reads and writes lists only under their own lock, and
// no code path holds two list locks at once. `insert`, `batch_insert`, `update_vector`,
// `mark_deleted`, `enable_quantized_search`, `load_quantized` and `disable_quantized_search`
// need exclusive access (the database holds its index lock for writing, and shared for
// searches).
//
// Movable (not while anyone else uses it); not copyable.
class HnswIndex {
 public:
  // An empty index: owned empty store, no entry point, max_level 0, m0 = 2·m,
  // ml = 1 / ln(m). m below 2 is degenerate (see random_level).
  HnswIndex(std::size_t dim, std::size_t m, std::size_t ef_construction, distance::Metric metric);
  static std::unique_ptr<HnswIndex> create(std::size_t dim, std::size_t m,
                                           std::size_t ef_construction, distance::Metric metric) {
    return std::make_unique<HnswIndex>(dim, m, ef_construction, metric);
  }

  // Builds a loaded index: count = N − D. Rejects inconsistent pieces as Io
  // invalid-data errors: a vector region that is not N × dim floats, a norm list that is not
  // N long, a node with no layer, a neighbour, deleted slot or entry point not below N, an
  // entry point whose level is not max_level (or none with N > 0), a list longer than its
  // limit, an m outside [kMinM, kMaxM] or a max_level above kMaxLevel.
  static Result<std::unique_ptr<HnswIndex>> from_loaded(LoadedGraph&& graph);

  HnswIndex(HnswIndex&& other) noexcept;
  HnswIndex& operator=(HnswIndex&& other) noexcept;
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;
  ~HnswIndex();

  // ---- Construction ----

  // The level of a new node: ⌊−ln(u) × ml⌋ with u uniform in (0, 1) from this thread's
  // generator (u = 0 is drawn again). Capped at kMaxLevel, which only m < 2 can reach.
  std::size_t random_level() const;
  static constexpr std::size_t kMaxLevel = 64;

  // Appends one vector and links it; returns its slot. REQUIRES: vector.size() == dim.
  std::uint32_t insert(std::span<const float> vector);
  // Appends many vectors and links them: the first 128 one by one in input order, then,
  // also one by one, each later vector whose level is above the top at that point (so that
  // the top layers exist before the rest link), then the rest in parallel from the entry
  // point as it stands: those with upper layers in input order, then the others grouped by
  // region. Every node is then given an incoming link where the lists allow one. Returns the
  // slots in input order. REQUIRES: every vector has dim floats.
  std::vector<std::uint32_t> batch_insert(std::span<const std::vector<float>> vectors);
  // The same over n × dim floats back to back.
  std::vector<std::uint32_t> batch_insert_flat(std::span<const float> data);
  // Makes room for `extra` more nodes (and copies a mapped store into memory), so that a
  // later insert of that many allocates only while linking. A database calls it before it
  // logs an insert: an allocation failure here changes nothing.
  void reserve(std::size_t extra);
  // Replaces a stored vector and re-links its node. REQUIRES: slot < node_count().
  void update_vector(std::uint32_t slot, std::span<const float> vector);
  // Links an appended node into layers min(level, max_level) .. 0 starting from `entry`:
  // on each layer a beam search of width ef_construction, then the diversity rule (see
  // select_neighbors) picks up to m0 (layer 0) or m neighbours, and each of them links back,
  // pruning its list by the same rule when it overflows. May run on several threads at once,
  // never beside a search.
  void connect_node(std::uint32_t slot, std::size_t level, std::uint32_t entry);

  // Test hooks: the same as insert and batch_insert with the levels given instead of drawn.
  std::uint32_t insert_with_level(std::span<const float> vector, std::size_t level);
  std::vector<std::uint32_t> batch_insert_with_levels(std::span<const float> data,
                                                      std::span<const std::size_t> levels);
  // Whether search_exact_among over `count` slots reads the compact codes first (several
  // times cheaper per slot than reading each vector).
  bool filtered_scan_reads_codes(std::size_t count, std::size_t k) const;
  // Test hook: the bounded exact scan over `slots` (every live slot when empty), whatever
  // the counts; nullopt for a query it cannot bound (see scan_bounded).
  std::optional<std::vector<Candidate>> search_bounded(std::span<const float> q, std::size_t k,
                                                       std::span<const std::uint32_t> slots) const;

  // ---- Search; all const and thread-safe ----

  // Greedy walk on one layer from `entry`; the closest slot reached.
  std::uint32_t search_layer_single(std::span<const float> q, std::uint32_t entry,
                                    std::size_t layer) const;
  // Beam search of width ef on one layer: at most max(ef, 1) pairs, ascending.
  std::vector<Candidate> search_layer(std::span<const float> q, std::uint32_t entry, std::size_t ef,
                                      std::size_t layer) const;
  // The same with quantized distances. REQUIRES: quantized() != nullptr. The beam variant
  // works on layer 0.
  std::uint32_t search_layer_single_quantized(std::span<const float> q, std::uint32_t entry,
                                              std::size_t layer) const;
  std::vector<Candidate> search_layer_quantized(std::span<const float> q, std::uint32_t entry,
                                                std::size_t ef) const;
  // Distance between q and the slot's dequantized vector, decoded into scratch (dim floats).
  // REQUIRES: quantized() != nullptr.
  float quantized_distance(std::span<const float> q, std::uint32_t slot,
                           std::span<float> scratch) const;
  // The descent from the entry point through layers max_level .. 1 that searches start
  // layer 0 from (quantized walk when quantized search is on); the layer-0 starting slot, or
  // kNoEntry for an empty index.
  std::uint32_t layer0_entry(std::span<const float> q) const;

  // The k nearest live slots, ascending: exact scan below `exact_scan_floats` live floats,
  // the graph from there on. Every distance returned is the pair kernel's (distance::distance).
  // REQUIRES: q.size() == dim ("query dimension mismatch").
  std::vector<Candidate> search(std::span<const float> q, std::size_t k, std::size_t ef,
                                std::size_t exact_scan_floats = kExactScanFloats) const;
  // The two paths of `search`, callable directly (benchmarks, tests). The graph search
  // returns min(k, count()) pairs: when the beam ends with fewer live ones (deleted nodes
  // filled it, or k exceeds what it met) the live slots are scanned exactly instead. The
  // exact scan returns the k nearest by the pair kernel, ordered by (distance, slot).
  std::vector<Candidate> search_graph(std::span<const float> q, std::size_t k,
                                      std::size_t ef) const;
  std::vector<Candidate> search_exact(std::span<const float> q, std::size_t k) const;
  // The k nearest of `slots` (live, distinct, below node_count()) by the pair kernel, ordered
  // by (distance, slot): what rescoring each of them would give, found by the bounded scan
  // when that pays.
  std::vector<Candidate> search_exact_among(std::span<const float> q,
                                            std::span<const std::uint32_t> slots,
                                            std::size_t k) const;
  // search_exact for every query, in query order; each answer equals search_exact's for that
  // query alone (distances and order included). REQUIRES: every query has dim floats.
  std::vector<std::vector<Candidate>> search_exact_many(std::span<const std::vector<float>> queries,
                                                        std::size_t k) const;

  // Trains SQ8 on every stored vector and encodes them all; nothing on an empty index.
  void enable_quantized_search();
  // Installs saved SQ8 state (no size check; the loader passes codes for every slot).
  void load_quantized(quantize::ScalarQuantizer quantizer, std::vector<std::uint8_t> codes);
  // Drops the SQ8 state.
  void disable_quantized_search();

  // Compressed traversal: the layer-0 walk scores each node's neighbours together from their
  // 4-bit codes (an integer dot product per neighbour, no full-precision read), and only the
  // beam it ends with is measured at full precision. Takes precedence over SQ8 on layer 0.
  // Exclusive access. Builds the codes now if they are not built yet.
  void enable_compressed_search();
  void disable_compressed_search() { compressed_ = false; }
  bool compressed_search() const { return compressed_; }

  // ---- Deletion (the database's delete and its replay) ----

  // Adds the slot to `deleted` and decrements count; false (and nothing changes) if it was
  // already deleted. Exclusive access.
  bool mark_deleted(std::uint32_t slot);
  // Undoes mark_deleted (a batch of deletions that failed half way). Exclusive access.
  void unmark_deleted(std::uint32_t slot);
  bool is_deleted(std::uint32_t slot) const {
    return slot < deleted_flags_.size() && deleted_flags_[slot] != 0;
  }
  const std::unordered_set<std::uint32_t>& deleted() const { return deleted_; }

  // ---- Renumbering ----

  // An order of every slot in which rows near one another in space sit near one another:
  // the rows grouped by the nearest of up to 1,024 centres (evenly spaced rows, about one
  // per 64), in slot order within a group. A search's rows, codes and lists then lie in a
  // few short stretches of memory instead of all over it. order[i] is the slot that becomes
  // slot i; the identity for fewer than 128 nodes.
  std::vector<std::uint32_t> locality_order() const;
  // This index with slot order[i] renumbered i: the same graph, vectors, deletions and search
  // modes (the codes encoded afresh from the same ranges), so searches find the same answers;
  // only ties between equal distances may come out in another order. REQUIRES: order is a
  // permutation of [0, node_count()).
  Result<std::unique_ptr<HnswIndex>> renumbered(std::span<const std::uint32_t> order) const;

  // ---- Persistence (defined in storage.cpp) ----

  // Writes the header, the deleted slots and the nodes, then flushes.
  Result<void> save_graph(io::BufWriter& writer) const;

  // ---- The compressed traversal's codes on disk (walk_codes.cpp) ----

  // Whether the walk is on and its codes are built: what save_walk_codes writes.
  bool has_walk_codes() const;
  // Writes those codes with their ranges, bounds and a checksum, then flushes. `binding`
  // names the vectors they were made from (the caller's fingerprint of the saved files).
  Result<void> save_walk_codes(io::BufWriter& writer, std::uint64_t binding) const;
  // Installs codes that save_walk_codes wrote for exactly these vectors (the same binding),
  // in place of encoding them again. Fails, changing nothing, on another binding, bytes of
  // another shape or a checksum that does not match. Exclusive access.
  Result<void> load_walk_codes(std::span<const std::byte> bytes, std::uint64_t binding);

  // ---- Read access ----

  std::size_t node_count() const { return levels_.size(); }
  // The node's top layer. REQUIRES: slot < node_count().
  std::size_t node_level(std::uint32_t slot) const { return levels_[slot]; }
  // A copy of the node's list on `layer`, taken under that list's lock. Empty when the node
  // has no list there.
  std::vector<std::uint32_t> neighbors(std::uint32_t slot, std::size_t layer) const;
  std::uint32_t entry_point() const { return entry_point_; }
  std::size_t max_level() const { return max_level_; }
  std::size_t m() const { return m_; }
  std::size_t m0() const { return m0_; }
  std::size_t ef_construction() const { return ef_construction_; }
  double ml() const { return ml_; }
  std::size_t dim() const { return dim_; }
  distance::Metric metric() const { return metric_; }
  // Live (not deleted) slots.
  std::size_t count() const { return count_.load(std::memory_order_relaxed); }
  std::span<const float> vector(std::uint32_t slot) const {
    return vectors_.data().subspan(static_cast<std::size_t>(slot) * dim_, dim_);
  }
  std::span<const float> vectors() const { return vectors_.data(); }
  std::span<const float> norms() const { return norms_; }
  const QuantizedSearch* quantized() const { return quantized_ ? &*quantized_ : nullptr; }
  bool is_mapped() const { return vectors_.is_mapped(); }
  // Bytes held by the index's own arrays (vectors, norms, lists, codes, deleted slots); a
  // mapped store counts its vector region.
  std::size_t memory_usage() const;
  const VectorStore& vector_store() const { return vectors_; }

 private:
  // The words of one list: [lock, count, incoming links, ids × capacity].
  std::uint32_t* list_words(std::uint32_t slot, std::size_t layer) const;
  std::size_t list_capacity(std::size_t layer) const { return (layer == 0 ? m0_ : m_) + 1; }
  std::size_t list_stride(std::size_t layer) const { return list_capacity(layer) + 3; }
  // Appends the per-slot data of one vector (codes, norm, floats, node) without linking.
  void append_unlinked(std::span<const float> vector, std::size_t level);
  void reserve_nodes(std::size_t extra);
  template <class Get>
  std::vector<std::uint32_t> batch_insert_generic(std::size_t n, Get get,
                                                  std::span<const std::size_t> levels);
  // Reorders slots (all in [first, first + n)) grouped by the nearest of up to 1,024 centres,
  // evenly spaced rows of that range (about one per 64), in their given order within a
  // group. Fewer than 128 rows leave them as they are.
  void group_by_region(std::span<std::uint32_t> slots, std::uint32_t first, std::size_t n) const;
  float dist(const float* a, const float* b) const;
  // The distance between two stored rows as linking measures it: under cosine from their
  // stored norms and one dot product, about a third less time than the pair kernel's three
  // sums. Linking compares its distances only with each other (its layer searches measure
  // the same way), so the graph is built on one consistent measure.
  float link_dist(std::uint32_t a, std::uint32_t b) const;
  // The k nearest of `slots` by the pair kernel's distance, ordered by (distance, slot).
  std::vector<Candidate> rescore_exact(std::span<const float> q,
                                       std::span<const std::uint32_t> slots, std::size_t k) const;
  // The k nearest live slots by the pair kernel's distance, every live slot measured.
  std::vector<Candidate> scan_live(std::span<const float> q, std::size_t k) const;
  // The bounded exact scan (exact.cpp): the same answer as scan_live (over `slots` when
  // given, every live slot otherwise), measuring only the slots whose codes cannot rule them
  // out. nullopt when the query is one it cannot bound (a non-finite component, or a cosine
  // query of zero or extreme norm): the caller then measures every slot.
  std::optional<std::vector<Candidate>> scan_bounded(std::span<const float> q, std::size_t k,
                                                     const detail::ScanCodes& codes,
                                                     const std::uint32_t* slots,
                                                     std::size_t count) const;
  // Whether the bounded scan pays for `count` slots and k.
  bool bounded_scan_applies(std::size_t count, std::size_t k) const;
  // Whether the bounded scan pays for `count` slots and k, and its codes (built on first
  // use) if so; null otherwise.
  const detail::ScanCodes* bounded_codes(std::size_t count, std::size_t k) const;
  // The codes, built on first use; null in a moved-from index.
  const detail::ScanCodes* scan_codes() const;
  // The codes layer-0 linking walks on: those of every node under compressed traversal, if
  // built; null otherwise (linking then measures full distances).
  const detail::ScanCodes* linking_codes() const;
  // Whether the compressed walk can use these codes (see linking_codes).
  bool walkable(const detail::ScanCodes* codes) const;
  const float* row(std::uint32_t slot) const {
    return vectors_.data().data() + static_cast<std::size_t>(slot) * dim_;
  }
  // Links a node as connect_node does; `seeds`, when given, holds per layer further
  // starting points for its beam search (the former neighbours of a re-linked entry node).
  void link_node(std::uint32_t slot, std::size_t level, std::uint32_t entry,
                 const std::vector<std::vector<std::uint32_t>>* seeds, detail::Scratch& s);
  // The diversity rule: walks `sorted` (candidates in ascending distance from one node) and
  // keeps a candidate only if no candidate kept before it is closer to it than the node is,
  // up to `limit` of them. s.kept receives their positions in `sorted`, ascending, and
  // s.verdicts one of kKept, kCopy (dropped as a copy of a kept entry) and kDropped per
  // position.
  // `settled`, when given, marks per position the candidates the last run of the rule over
  // this list kept (see PruneMemo): none of them covers another, so those tests are skipped.
  void select_neighbors(std::span<const Candidate> sorted, std::size_t limit, detail::Scratch& s,
                        const std::uint8_t* settled = nullptr) const;
  static constexpr std::uint8_t kDropped = 0, kKept = 1, kCopy = 2;
  // A prune that leaves an entry with fewer incoming links than this on the layer has the
  // entry's closest kept neighbour link to it (see add_link).
  static constexpr std::uint32_t kRescueBelow = 3;
  // Appends `slot` to n's list on layer lc; a list that overflows `limit` is cut back by the
  // diversity rule, except that on layer 0 an entry this list alone links to stays while
  // there is room.
  void add_link(std::uint32_t n, std::uint32_t slot, std::size_t lc, std::size_t limit,
                detail::Scratch& s);
  // Links each entry queued in s.rescue from its queued owner if it still has no incoming
  // layer-0 link.
  void drain_rescues(detail::Scratch& s);
  // Gives every node from `first` on that no list of one of its layers holds an incoming
  // link there: from its closest neighbour by the rule's rescue, else by force_link from the
  // closest of its neighbours that can take it.
  void link_orphans(std::uint32_t first, detail::Scratch& s);
  // Puts e into owner's list on layer lc without the diversity rule: appended if there is
  // room, else in place of the entry farthest from owner among those that keep an incoming
  // link elsewhere (or have no list on the layer). Nothing changes when there is none.
  void force_link(std::uint32_t owner, std::uint32_t e, std::size_t lc);
  // The layer searches. kLocked reads each list under its lock (the linking phase, where
  // other nodes' lists change; its q is a stored row, measured as link_dist does); otherwise
  // lists are read as they stand. Both leave their
  // working memory in `s`; the beam search leaves its result, ascending, in s.results.
  template <bool kQuantized, bool kLocked>
  std::uint32_t greedy_walk(std::span<const float> q, std::uint32_t entry, std::size_t layer,
                            detail::Scratch& s) const;
  template <bool kQuantized, bool kLocked>
  void beam_search(std::span<const float> q, std::span<const std::uint32_t> entries, std::size_t ef,
                   std::size_t layer, detail::Scratch& s) const;
  // The descent to layer 1's closest node found, on the codes of `walk` when given: a beam of
  // kDescentBeam on layers kDescentBeamFrom and up, whose best enters the layer below, and a
  // greedy walk on the layers under them.
  std::uint32_t descend(std::span<const float> q, detail::Scratch& s,
                        const detail::WalkQuery* walk = nullptr) const;
  // The compressed traversal's layer searches, on estimated distances: a greedy walk of an
  // upper layer, and a layer's beam search from `entries`, which leaves the estimates in
  // s.results, ascending. kLocked as for beam_search.
  template <bool kLocked>
  std::uint32_t greedy_walk_codes(const detail::WalkQuery& walk, std::uint32_t entry,
                                  std::size_t layer, detail::Scratch& s) const;
  template <bool kLocked>
  void beam_search_codes(const detail::WalkQuery& walk, std::span<const std::uint32_t> entries,
                         std::size_t ef, std::size_t layer, detail::Scratch& s) const;
  // The k nearest live slots of s.results by the pair kernel's distance, ascending; the
  // exact scan when the beam holds too few live ones. After beam_search_codes, given its
  // walk, candidates the codes bound beyond the k-th distance measured are not read: the
  // same answer.
  std::vector<Candidate> rerank_beam(std::span<const float> q, std::size_t k, detail::Scratch& s,
                                     const detail::WalkQuery* walk = nullptr) const;

  std::size_t dim_;
  std::size_t m_;
  std::size_t m0_;
  std::size_t ef_construction_;
  double ml_;
  distance::Metric metric_;

  VectorStore vectors_;
  std::vector<float> norms_;
  // Node levels, one per slot; node_count() is their number.
  std::vector<std::uint32_t> levels_;
  // Layer 0 of every node, slot-major, list_stride(0) words per slot. The vector grows only
  // under exclusive access; the lists are edited in place under their lock words.
  std::vector<std::uint32_t, detail::LargeAllocator<std::uint32_t>> layer0_;
  // Layers 1..level of each node (null for level 0), level × list_stride(1) words.
  std::vector<std::unique_ptr<std::uint32_t[]>> upper_;
  std::optional<QuantizedSearch> quantized_;
  bool compressed_ = false;
  std::unordered_set<std::uint32_t> deleted_;
  std::vector<std::uint8_t> deleted_flags_;  // mirror of deleted_, one byte per slot
  // What the last prune of a node's layer-0 list (add_link, or link_node writing the list)
  // left: the list's version after it, the count of vector updates then, and how many
  // entries at the list's front the rule kept. While neither has moved (appends and reads
  // under the lock carry the version along), none of those entries covers another, and the
  // next prune need not test them against one another: the rule's pair distances are most
  // of a build's work.
  struct PruneMemo {
    std::uint32_t version = 1;  // odd: no list version matches
    std::uint32_t updates = 0;
    std::uint32_t settled = 0;
  };
  std::vector<PruneMemo> prune_memo_;  // one per slot, used only under the list's lock
  std::uint32_t vector_updates_ = 0;   // update_vector calls, for PruneMemo
  std::size_t max_level_ = 0;
  std::atomic<std::size_t> count_{0};
  std::uint32_t entry_point_ = kNoEntry;
  // The bounded exact scan's codes; null only in a moved-from index.
  std::unique_ptr<detail::ScanCodesCache> scan_cache_;
};

}  // namespace quarn_core::hnsw
