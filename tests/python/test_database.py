"""Every method, property and protocol of Database and SearchResult, end to end, and the text
signatures of Database (the tools included) and Client."""
import inspect
import random

import pytest

import quarn
from quarn import Client, Database, SearchResult


def test_module_surface():
    from quarn import _quarn
    assert _quarn.__all__ == ["Database", "SearchResult", "Client", "Where"]
    assert _quarn.__doc__ == ""
    assert Database.__name__ == "Database" and SearchResult.__name__ == "SearchResult"
    assert quarn.Database is _quarn.Database
    with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
        SearchResult()


@pytest.mark.parametrize(
    "owner, name, signature, doc",
    [
        (Database, "add", "(self, /, id, vector, metadata=None)", None),
        (Database, "search",
         "(self, /, vector, k=10, ef_search=None, where_filter=None, max_distance=None)",
         "Search for the k nearest neighbors.\n"),
        (Database, "upsert_many", "(self, /, ids, vectors, metadatas=None)",
         "Batch upsert — inserts new vectors, updates existing ones."),
        (Database, "__exit__", "(self, /, _exc_type=None, _exc_val=None, _exc_tb=None)", None),
        (Database, "count", "(self, /, where_filter=None)",
         "Count vectors matching a filter, or all vectors if no filter."),
        (Database, "export_json", "(self, /, path, pretty=False)",
         "Export all vectors and metadata to a JSON file."),
        (Database, "import_json", "(self, /, path)",
         "Import vectors from a JSON file into this database (upsert semantics)."),
        (Database, "verify", "(self, /)", "Check the collection without changing it.\n"),
        (Database, "verify_path", "(path)", "Check the files of a collection, also one that "
                                            "cannot be opened, without opening it.\n"),
        (Database, "repair", "(self, /)",
         "Rebuild the graph from the stored vectors of every live id.\n"),
        (Database, "repair_path", "(path)", "Rebuild the collection at path from what its "
                                            "files still hold, and open it.\n"),
        (Database, "health", "(self, /)", "Graph health figures, cheap enough to call often.\n"),
        (Database, "calibrate", "(self, /, target_recall, k=10)",
         "Find and keep the smallest ef_search that reaches target_recall.\n"),
        (Database, "create_text_index", "(self, /, field, language='english')",
         "Index the string values of a metadata field for search_text and hybrid_search.\n"),
        (Database, "drop_text_index", "(self, /, field)",
         "Drop the text index of a field. Returns True if there was one."),
        (Database, "text_indexes", "(self, /)", "The text indexes as a dict: field -> "
                                               "language (None: no stemming, no stop words)."),
        (Database, "search_text", "(self, /, query, k=10, where_filter=None, field=None)",
         "Full-text search: up to k SearchResult objects by descending BM25 score.\n"),
        (Database, "hybrid_search",
         "(self, /, vector, text, k=10, where_filter=None, field=None, ef_search=None, "
         "rank_constant=60, weights=None)",
         "Vector and full-text search fused by reciprocal rank fusion.\n"),
        (Database, "get_many", "(self, /, ids, include=('vectors', 'metadata'), missing='raise')",
         "Read many records at once, in the order of ids.\n"),
        (Database, "scan",
         "(self, /, where_filter=None, batch_size=1000, include=('vectors', 'metadata'))",
         "Iterate over the collection (or the records where_filter selects) in batches.\n"),
        (Database, "load",
         "(self, /, ids, vectors, metadatas=None, batch_size=None, progress=None)",
         "add_many in batches of batch_size rows, each logged as one batch; returns the rows\n"),
        (Database, "update_metadata", "(self, /, id, patch)",
         "Merge the top-level keys of the dict patch into the record's metadata.\n"),
        (Client, "create_collection",
         "(self, /, name, dim, metric=None, m=None, ef_construction=None, quantize=False)",
         "Create a new collection. Fails if it already exists."),
        (Client, "get_collection", "(self, /, name)", "Get an existing collection by name."),
        (Client, "get_or_create_collection", "(self, /, name, dim, metric=None)",
         "Get or create a collection."),
        (Client, "delete_collection", "(self, /, name)", "Delete a collection and all its data."),
        (Client, "list_collections", "(self, /)", "List all collection names."),
    ],
)
def test_signatures_and_docstrings(owner, name, signature, doc):
    """doc: the whole docstring, or its first line when given with its newline."""
    method = getattr(owner, name)
    assert str(inspect.signature(method)) == signature
    if doc is None:
        assert not method.__doc__
    elif doc.endswith("\n"):
        assert method.__doc__.startswith(doc)
    else:
        assert method.__doc__ == doc


def test_class_signature():
    assert str(inspect.signature(Database)) == (
        "(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)")
    assert str(inspect.signature(Client)) == "(path)"
    assert str(inspect.signature(quarn.Where)) == "(condition)"


def test_crud_and_protocols(db):
    db.add("a", [1, 0, 0], {"k": "v"})
    db.upsert("b", [0, 1, 0])
    db.upsert("b", [0, 0, 1])
    assert len(db) == 2 and "a" in db and "zz" not in db
    assert sorted(db.ids()) == ["a", "b"]
    assert db.get("b") == ([0.0, 0.0, 1.0], None)
    with pytest.raises(ValueError, match="^id 'a' already exists, use upsert instead$"):
        db.add("a", [1, 1, 1])
    with pytest.raises(ValueError, match="^id 'q' not found$"):
        db.get("q")
    assert db.delete("a") is True and db.delete("a") is False
    assert "a" not in db and len(db) == 1
    assert db.deleted_count == 1 and db.total_slots == 2
    db.compact()
    assert db.deleted_count == 0 and db.total_slots == 1
    assert db.delete_many(["b", "nope"]) == 1 and len(db) == 0


def test_reorder_keeps_records_and_answers_through_save_and_reopen(tmp_path):
    rng = random.Random(3)
    path = str(tmp_path / "r")
    db = Database(path, 4, metric="l2")
    ids = [f"v{i}" for i in range(300)]
    db.add_many(ids, [[rng.uniform(-1, 1) for _ in range(4)] for _ in ids],
                [{"g": i % 3} for i in range(300)])
    db.delete_many(ids[::9])
    queries = [[rng.uniform(-1, 1) for _ in range(4)] for _ in range(20)]

    def state(d):
        hits = [[(h.id, h.distance) for h in d.search(q, k=5, where_filter={"g": 1})]
                for q in queries]
        return hits, {i: d.get(i) for i in d.ids()}, d.count({"g": 2}), d.deleted_count

    want = state(db)
    assert db.reorder() is None
    assert state(db) == want
    db.save()
    db.close()
    db = Database(path)
    assert state(db) == want and db.verify()["ok"]
    with pytest.raises(TypeError):
        db.reorder(1)


def test_search_results(filled):
    d, ids, vectors = filled
    hits = d.search(vectors[3], k=5)
    assert len(hits) == 5 and hits[0].id == "v3" and hits[0].distance == 0.0
    assert all(a.distance <= b.distance for a, b in zip(hits, hits[1:]))
    first = hits[0]
    assert first.metadata == {"even": False, "i": 3, "lang": "en"}
    assert first.metadata is not first.metadata  # a new dict each time
    assert (first[0], first[1], first[2]) == (first.id, first.distance, first.metadata)
    hid, dist, meta = first
    assert (hid, dist, meta["i"]) == ("v3", 0.0, 3)
    assert list(first) == [first.id, first.distance, first.metadata]
    with pytest.raises(ValueError, match="^index out of range$"):
        first[3]
    with pytest.raises(OverflowError):
        first[-1]
    with pytest.raises(TypeError, match="^argument 'idx': "):
        first["a"]
    assert d.search(vectors[3], k=5, max_distance=0.0)[0].id == "v3"
    many = d.search_many(vectors[:3], k=2, where_filter={"lang": "en"})
    assert [r[0].id for r in many] == ["v0", "v1", "v2"]


def test_repr_equality_and_hash(db, tmp_path):
    db.add("ab'c", [1, 0, 0], {"n": 1})
    db.add("other", [0.5, 0.5, 0.0])
    far = db.search([1, 0, 0], k=2)[1]
    assert repr(db.search([1, 0, 0], k=1)[0]) == "SearchResult(id='ab'c', distance=0.0000)"
    assert repr(far) == f"SearchResult(id='other', distance={far.distance:.4f})"
    # The same hits found twice are equal and hash alike; another hit, distance or metadata
    # is not equal.
    first, again = db.search([1, 0, 0], k=2), db.search([1, 0, 0], k=2)
    assert first == again and len({*first, *again}) == 2 and first[0] != first[1]
    assert first[0] != first[0].id and (first[0] == (first[0].id, 0.0, {"n": 1})) is False
    assert db.search([1, 0.1, 0], k=1)[0] != first[0]
    db.update_metadata("ab'c", {"n": 1.0})  # 1.0 is not 1 for the store
    assert db.search([1, 0, 0], k=1)[0] != first[0]
    assert repr(db) == f"<Database path={str(tmp_path / 'db')!r} dim=3 metric='cosine' count=2>"
    client = Client(str(tmp_path / "root"))
    assert repr(client) == f"<Client root={str(tmp_path / 'root')!r} collections=[]>"
    for i in range(12):
        client.create_collection(f"c{i:02d}", 2)
    shown = [f"c{i:02d}" for i in range(10)]
    assert repr(client) == f"<Client root={str(tmp_path / 'root')!r} collections={shown} and 2 more>"
    db.close()
    assert repr(db) == f"<Database path={str(tmp_path / 'db')!r} closed>"


def test_stats_keys_in_order_and_quantized_toggle(filled):
    d, _, _ = filled
    stats = d.stats()
    assert list(stats) == [
        "num_vectors", "num_deleted", "num_layers", "avg_degree_layer0", "max_degree_layer0",
        "min_degree_layer0", "memory_vectors_bytes", "memory_graph_bytes",
        "memory_quantized_bytes", "uses_brute_force", "uses_quantized_search",
        "uses_compressed_search"]
    assert stats["num_vectors"] == 50 and stats["uses_brute_force"] is True
    d.enable_quantized_search()
    assert d.quantized_search is True and d.stats()["uses_quantized_search"] is True
    d.disable_quantized_search()
    assert d.quantized_search is False


def test_with_block_saves_even_when_body_raises(tmp_path):
    path = str(tmp_path / "w")
    with pytest.raises(RuntimeError):
        with Database(path, 2) as d:
            assert d.__enter__() is d
            d.add("a", [1.0, 2.0])
            raise RuntimeError("body")
    reopened = Database(path)
    assert reopened.ids() == ["a"] and reopened.dim == 2
