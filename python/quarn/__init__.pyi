from typing import Any, Callable, Iterator, Optional, Sequence, Union

_Vector = Union[Sequence[float], Any]  # a sequence of floats or a 1-D numpy array
_Vectors = Union[Sequence[Sequence[float]], Any]  # a sequence of vectors or a 2-D float32 array
__all__ = ["Database", "Client", "SearchResult", "Where"]
__version__: str

# What get_many and each batch of scan return: "ids" always, "vectors" (a float32 NumPy array
# of shape (n, dim), or lists of floats without NumPy) and "metadatas" when included. The
# keys are add_many's parameter names.
_Records = dict[str, Any]
_Include = Sequence[str]  # of "vectors" and "metadata"

class Where:
    """A metadata filter compiled once, accepted wherever a where_filter is.

    `condition` is a dict. Each key is a field (a top-level metadata key) or one of $and,
    $or and $not; several keys must all hold. A field takes a value (equality) or a dict of
    operators, which must all hold:

    | Operator                  | Operand                      | A record matches when              |
    |---------------------------|------------------------------|------------------------------------|
    | a value, `$eq`            | bool, number, str or None    | the field equals it                |
    | `$ne`                     | bool, number, str or None    | the field is missing or differs    |
    | `$in`                     | list of such values          | the field equals one of them       |
    | `$nin`                    | list of such values          | the field is missing or equals none|
    | `$gt`, `$gte`, `$lt`, `$lte` | a number (True is 1.0)    | the field is a number >, >=, <, <= |
    | `$exists`                 | True / False                 | the field is present (null too) / absent |
    | `$contains`               | bool, number, str or None    | the field is an array holding it   |
    | `$and`                    | non-empty list of conditions | every condition holds              |
    | `$or`                     | non-empty list of conditions | some condition holds               |
    | `$not`                    | a condition                  | the condition does not hold        |

    Equality is type-sensitive: 1, 1.0, True and "1" are different values, and an int
    beyond 64 bits is compared as a float. A record without metadata (or whose metadata is
    not a dict) matches no condition, not even $ne, $nin, $not or {"$exists": False}.
    Within a dict the conditions are boolean logic, so a negated condition holds for a
    record that lacks its field: {"$not": {"n": {"$gt": 5}}} matches {"m": 1}.
    Conditions nest at most 64 dicts deep; a Where may stand for a condition. Field names
    starting with "$" are reached only through plain dicts. A malformed condition raises
    ValueError at construction, naming the operator and what it expects.
    repr() shows the condition as compiled (each field's operators in one dict, bounds as
    floats); pickling carries that condition.
    """
    def __new__(cls, condition: "dict[str, Any] | Where") -> "Where": ...

_Filter = Union[dict[str, Any], Where]

class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> Optional[dict[str, Any]]: ...
    def __getitem__(self, idx: int) -> Any: ...
    def __iter__(self) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Database:
    def __new__(
        cls,
        path: str,
        dim: Optional[int] = None,
        metric: Optional[str] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        quantize: bool = False,
    ) -> "Database": ...
    def add(self, id: str, vector: _Vector, metadata: Optional[dict[str, Any]] = None) -> None: ...
    def upsert(self, id: str, vector: _Vector, metadata: Optional[dict[str, Any]] = None) -> None:
        """Add or update a vector."""
    def add_many(
        self, ids: Sequence[str], vectors: _Vectors,
        metadatas: Optional[list[Optional[dict[str, Any]]]] = None,
    ) -> None: ...
    def search(
        self, vector: _Vector, k: int = 10, ef_search: Optional[int] = None,
        where_filter: Optional[_Filter] = None, max_distance: Optional[float] = None,
    ) -> list[SearchResult]:
        """Search for the k nearest neighbors.
        Returns list of SearchResult objects with .id, .distance, .metadata attributes.
        `where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}
        `max_distance`: optional float — discard results beyond this distance."""
    def search_many(
        self, vectors: _Vectors, k: int = 10, ef_search: Optional[int] = None,
        where_filter: Optional[_Filter] = None, max_distance: Optional[float] = None,
    ) -> list[list[SearchResult]]:
        """Search multiple queries in parallel. Returns list of list of SearchResult.
        `where_filter`: optional metadata filter (same syntax as search).
        `max_distance`: optional float — discard results beyond this distance."""
    def get(self, id: str) -> tuple[list[float], Optional[dict[str, Any]]]: ...
    def delete(self, id: str) -> bool: ...
    def delete_many(self, ids: Sequence[str]) -> int: ...
    def update(
        self, id: str, vector: Optional[_Vector] = None,
        metadata: Optional[dict[str, Any]] = None,
    ) -> None: ...
    def upsert_many(
        self, ids: Sequence[str], vectors: _Vectors,
        metadatas: Optional[list[Optional[dict[str, Any]]]] = None,
    ) -> None:
        """Batch upsert — inserts new vectors, updates existing ones."""
    def count(self, where_filter: Optional[_Filter] = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
    def ids(self) -> list[str]: ...
    def save(self) -> None: ...
    def sync(self) -> None:
        """Make every change acknowledged so far durable against power loss (fsync of the log)."""
    def close(self) -> None:
        """Release this handle without saving (changes stay in the log). When it is this
        process's last handle of the collection, the writer's role, the mapped vectors and
        the log file are released too. Any later call on this handle raises ValueError."""
    def refresh(self) -> None:
        """Catch up now with what other processes saved and logged (every read does so
        by itself)."""
    def compact(self) -> None:
        """Rebuild the index with only live vectors, reclaiming deleted slots.
        Call this after many deletes to reduce memory usage and disk size."""
    def reorder(self) -> None:
        """Renumber the stored vectors so that vectors near one another in space sit near one
        another in memory: searches of a large collection then read fewer scattered pages. Ids,
        vectors, metadata and search answers stay as they are. Not saved: call save()."""
    def enable_quantized_search(self) -> None:
        """Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal
        with full-precision re-ranking. Automatically enabled when quantize=True is set."""
    def disable_quantized_search(self) -> None:
        """Disable quantized search."""
    def stats(self) -> dict[str, Any]:
        """Get graph-level statistics for diagnostics.
        Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,
        max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,
        memory_quantized_bytes, uses_brute_force, uses_quantized_search,
        uses_compressed_search."""
    def __enter__(self) -> "Database":
        """Context manager: auto-save on exit."""
    def __exit__(self, _exc_type: Any = None, _exc_val: Any = None, _exc_tb: Any = None) -> bool: ...
    def export_json(self, path: str, pretty: bool = False) -> None:
        """Export all vectors and metadata to a JSON file."""
    def import_json(self, path: str) -> None:
        """Import vectors from a JSON file into this database (upsert semantics)."""
    def create_text_index(self, field: str, language: Optional[str] = "english") -> None:
        """Index the string values of a metadata field for search_text and hybrid_search.
        Words are found by ICU's word boundaries and case-folded; with a language (a Snowball
        name: "english", "french", "german", ...) its stop words are dropped and the rest
        stemmed, with language=None neither. A record is indexed when its metadata holds a
        string in the field. The index is kept in memory, in step with every change; its
        definition is kept in text_indexes.json in the collection directory, and a save writes
        its postings to postings.quarn for the next open.
        Creating an index that exists with the same language does nothing; ValueError for an
        unknown language or a field already indexed with another one."""
    def drop_text_index(self, field: str) -> bool:
        """Drop the text index of a field. Returns True if there was one."""
    def text_indexes(self) -> dict[str, Optional[str]]:
        """The text indexes as a dict: field -> language (None: no stemming, no stop words)."""
    def search_text(
        self, query: str, k: int = 10, where_filter: Optional[_Filter] = None,
        field: Optional[str] = None,
    ) -> list[SearchResult]:
        """Full-text search: up to k SearchResult objects by descending BM25 score.
        `.distance` is the BM25 score negated, so that smaller is closer as for vectors.
        Query syntax: words are OR-ed; "a quoted phrase" matches its words in order, next to
        one another; +word (or +"phrase") is required and -word excluded. The query is
        analyzed as the field is (case folding, stemming, stop words).
        `where_filter`: optional metadata filter (same syntax as search).
        `field`: the indexed field to search; may be left out when there is one text index."""
    def hybrid_search(
        self, vector: _Vector, text: str, k: int = 10, where_filter: Optional[_Filter] = None,
        field: Optional[str] = None, ef_search: Optional[int] = None,
        rank_constant: float = 60, weights: Optional[tuple[float, float]] = None,
    ) -> list[SearchResult]:
        """Vector and full-text search fused by reciprocal rank fusion.
        Each ranking (nearest vectors, best BM25 scores, both under where_filter) contributes
        its best max(k, 100) records; a record ranked r-th (from 1) adds
        weight / (rank_constant + r). Returns up to k SearchResult objects by descending fused
        score; `.distance` is that score negated. With a filter, min(k, matching) results.
        `weights`: (vector weight, text weight), (1.0, 1.0) by default.
        `ef_search`: the width of the vector search, as in search."""
    def verify(self) -> dict[str, Any]:
        """Check the collection without changing it.
        Returns a dict: ok (bool), problems (list of str, each naming the file or structure it
        concerns), nodes, live, unreachable (live nodes that no search from the entry point
        reaches on layer 0: a count, not a problem, as an undamaged graph can have them) and
        log_records. Checks the saved files among themselves (sizes,
        counts, every record of graph.quarn, the stored norms, the log up to where a replay
        stops, with the offset) and the state in memory (neighbour lists, entry point,
        reachability, the id maps, the metadata index against the metadata, each text index
        against one built afresh). Runs without the GIL; mutations wait until it ends."""
    @staticmethod
    def verify_path(path: str) -> dict[str, Any]:
        """Check the files of a collection, also one that cannot be opened, without opening it.
        Every file is only read: nothing is recovered, cut or locked. Returns the dict of
        verify(), with the graph, id and reachability checks made on the files. Raises
        ValueError when the directory holds no collection."""
    def repair(self) -> dict[str, Any]:
        """Rebuild the graph from the stored vectors of every live id.
        Deleted slots are dropped as compact() drops them, also when nothing is deleted; ids,
        vectors and metadata stay as they are. Returns a dict: ids, tombstones_dropped,
        log_entries and lost (list of str: what could not be kept, such as vectors no id
        names). Not saved: call save()."""
    @classmethod
    def repair_path(cls, path: str) -> tuple["Database", dict[str, Any]]:
        """Rebuild the collection at path from what its files still hold, and open it.
        The vectors come from vectors.bin, the ids and metadata from the metadata section of
        graph.quarn, found and checked even when the node records before it are damaged; the
        log is then replayed and the collection saved. Returns (Database, report), the report
        as repair()'s, its lost listing everything that could not be recovered (nothing is
        made up). Raises ValueError when too little is left to rebuild from (the dimension or
        metric cannot be told, no id is readable) or when an id that graph.quarn names would
        be dropped, its vector being in neither vectors.bin nor the log; the files are then
        left as they are."""
    def health(self) -> dict[str, Any]:
        """Graph health figures, cheap enough to call often.
        Returns a dict: num_vectors, num_deleted, tombstone_ratio, layer_counts (live nodes per
        layer, layer 0 first), unreachable (live nodes no search reaches), exact_search,
        default_ef (the width of a k=10 search without ef_search), calibrated_ef and
        calibrated_k (None without a calibration), estimated_recall (recall@10 at default_ef
        against the exact scan), recall_sample (the queries it was measured on), recall_source
        and suggestions. recall_source says where estimated_recall comes from: 'calibrate'
        when a width calibrated for k=10 is in use (what calibrate measured there on its
        held-out sample, while the collection has not grown or shrunk by more than 10% since),
        'sample' when it was measured now on a fixed-seed sample of at most 200 stored vectors,
        each searched for as if it were not in the graph (this reads low at narrow widths:
        about 0.92 where unseen queries reach 0.95 on Fashion-MNIST), 'exact' when searches
        scan exactly (1.0, a sample of 0). Suggestions: compact when more than 20% of the
        slots are deleted, repair when more than one live vector is unreachable, calibrate
        when searches run at the built-in default width (naming the speed measured there and
        at a width estimated to reach recall 0.95) or when the collection has changed by more
        than 10% since it was calibrated."""
    def calibrate(self, target_recall: float, k: int = 10) -> int:
        """Find and keep the smallest ef_search that reaches target_recall.
        recall@k is measured on a fixed-seed sample of the collection's own vectors (up
        to 4000, at most a tenth of the collection), searched for in a graph built from all
        the others with the collection's parameters (about the cost of one build). The width found becomes the default of search and search_many when
        ef_search is None (for a larger k it grows in proportion, ef * k / k_calibrated) and
        is kept in calibration.json in the collection directory, so it survives save and
        reopen. Returns it. Raises ValueError when no width reaches the target.
        On a collection small enough to be scanned exactly every search is exact: calibrate
        then measures nothing, drops any earlier calibration and returns the built-in default
        for k, max(200, k + floor(10 * sqrt(k)))."""
    def set_exact_scan_limit(self, floats: Optional[int]) -> None:
        """Choose when this collection is scanned exactly rather than searched through its graph.
        Searches scan exactly while the live vectors hold fewer than `floats` floats in all
        (len(db) * dim), and walk the graph from there on: 0 always walks the graph, a very
        large number always scans. None restores the default, 10,000,000. The choice applies
        to search, search_many, filtered searches, stats, health and calibrate, and is kept at
        once in exact_scan.json in the collection directory, so it survives save and reopen
        (handles already open elsewhere keep the limit they read when they opened)."""
    def set_compressed_search(self, on: bool) -> None:
        """Walk the graph on 4-bit codes of the vectors and measure only the final candidates at
        full precision: faster searches on large collections, same results in most cases. Kept
        in traversal.json in the collection directory, so it survives save and reopen."""
    def get_many(
        self, ids: Sequence[str], include: _Include = ("vectors", "metadata"),
        missing: str = "raise",
    ) -> _Records:
        """Read many records at once, in the order of ids.
        Returns a dict: ids (the ids read), vectors (one float32 NumPy array of shape (n, dim),
        or a list of lists of floats without NumPy) and metadatas (a list of dicts or None),
        each only when named in include. The keys are add_many's parameter names, so a result
        can be passed on as add_many(**result). An id that is not stored raises ValueError
        naming the first one; missing='skip' leaves such ids out instead."""
    def scan(
        self, where_filter: Optional[_Filter] = None, batch_size: int = 1000,
        include: _Include = ("vectors", "metadata"),
    ) -> Iterator[_Records]:
        """Iterate over the collection (or the records where_filter selects) in batches.
        Yields dicts as get_many returns them, of up to batch_size records each, in the order
        the records were stored. No lock is held between batches, so the collection may be
        changed meanwhile: every record that stays stored is yielded exactly once, a deleted
        one is not yielded after its deletion, and one added is yielded if the scan has not
        passed its place. After compact(), repair() or reorder() the scan raises ValueError."""
    def to_pandas(
        self, where_filter: Optional[_Filter] = None, include: _Include = ("vectors", "metadata"),
    ) -> Any:
        """The collection (or the records where_filter selects) as a pandas DataFrame.
        Columns: id, vector (one float32 array per row) and metadata (a dict or None), the
        last two when named in include; rows in stored order. Needs pandas (the optional
        extra quarn[pandas], or Debian's python3-pandas)."""
    def delete_where(self, where_filter: _Filter) -> int:
        """Delete every record where_filter selects; returns how many were deleted.
        Logged as one batch, as delete_many is. where_filter=None is refused (it would select
        every record); an empty dict selects none."""
    def update_metadata(self, id: str, patch: dict[str, Any]) -> None:
        """Merge the top-level keys of the dict patch into the record's metadata.
        A key whose value is None is removed; any other is set, replacing what it held. The
        merged metadata is logged as one record, and concurrent patches of one record each
        apply on top of the other. update(id, metadata=...) replaces the metadata instead."""
    def load(
        self, ids: Sequence[str], vectors: _Vectors,
        metadatas: Optional[list[Optional[dict[str, Any]]]] = None,
        batch_size: Optional[int] = None,
        progress: Union[None, bool, Callable[[int, int], Any]] = None,
    ) -> int:
        """add_many in batches of batch_size rows, each logged as one batch; returns the rows
        added. Every row is checked first, duplicate ids included, so a load fails before it
        adds anything or not at all. progress: None shows a tqdm bar on a terminal once the
        load has run for 2 seconds; True always; False never; a callable is called as
        progress(done, total) after each batch. Signals are handled between batches: on
        Ctrl-C the load stops and raises KeyboardInterrupt saying how many rows were added.
        Those rows are stored (durable as any acknowledged write), the rest are not; the
        exception's rows_loaded attribute holds their number, as it does for any exception
        raised once the first batch has been added. batch_size=None takes a size at which
        a load runs about as fast as one add_many."""
    def __len__(self) -> int: ...
    def __contains__(self, id: str) -> bool: ...
    def __repr__(self) -> str: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> str: ...
    @property
    def quantized_search(self) -> bool:
        """Whether quantized search is currently enabled."""
    @property
    def deleted_count(self) -> int:
        """Number of deleted slots that haven't been reclaimed."""
    @property
    def total_slots(self) -> int:
        """Total allocated slots (active + deleted)."""
    @property
    def exact_scan_limit(self) -> int:
        """Live floats (len * dim) below which searches scan exactly; see set_exact_scan_limit."""
    @property
    def compressed_search(self) -> bool:
        """Whether graph searches walk on 4-bit codes; see set_compressed_search."""

class Client:
    def __new__(cls, path: str) -> "Client": ...
    def create_collection(
        self, name: str, dim: int, metric: Optional[str] = None, m: Optional[int] = None,
        ef_construction: Optional[int] = None, quantize: bool = False,
    ) -> Database:
        """Create a new collection. Fails if it already exists."""
    def get_collection(self, name: str) -> Database:
        """Get an existing collection by name."""
    def get_or_create_collection(
        self, name: str, dim: int, metric: Optional[str] = None,
    ) -> Database:
        """Get or create a collection."""
    def delete_collection(self, name: str) -> bool:
        """Delete a collection and all its data."""
    def list_collections(self) -> list[str]:
        """List all collection names."""
    def __repr__(self) -> str: ...
