from typing import Any, Optional, Sequence, Union

_Vector = Union[Sequence[float], Any]  # a sequence of floats or a 1-D numpy array
_Vectors = Union[Sequence[Sequence[float]], Any]  # a sequence of vectors or a 2-D float32 array
_Filter = dict[str, Any]

__all__ = ["Database", "Client", "SearchResult"]

class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> Optional[dict[str, Any]]: ...
    def __getitem__(self, idx: int) -> Any: ...
    def __iter__(self) -> Any: ...

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
    def compact(self) -> None:
        """Rebuild the index with only live vectors, reclaiming deleted slots.
        Call this after many deletes to reduce memory usage and disk size."""
    def enable_quantized_search(self) -> None:
        """Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal
        with full-precision re-ranking. Automatically enabled when quantize=True is set."""
    def disable_quantized_search(self) -> None:
        """Disable quantized search."""
    def stats(self) -> dict[str, Any]:
        """Get graph-level statistics for diagnostics.
        Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,
        max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,
        memory_quantized_bytes, uses_brute_force, uses_quantized_search."""
    def __enter__(self) -> "Database":
        """Context manager: auto-save on exit."""
    def __exit__(self, _exc_type: Any = None, _exc_val: Any = None, _exc_tb: Any = None) -> bool: ...
    def export_json(self, path: str, pretty: bool = False) -> None:
        """Export all vectors and metadata to a JSON file."""
    def import_json(self, path: str) -> None:
        """Import vectors from a JSON file into this database (upsert semantics)."""
    def __len__(self) -> int: ...
    def __contains__(self, id: str) -> bool: ...
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
