"""get_many, scan, to_pandas, delete_where, update_metadata and load, on both interpreters:
vectors come back as one float32 NumPy array where NumPy imports, as lists where it does not."""
import os
import signal
import threading

import pytest

from quarn import Database

try:
    import numpy
except ImportError:  # CPython 3.13 here: lists
    numpy = None


def rows(vectors):
    """The vectors as lists of floats, once their form is checked for this interpreter."""
    if numpy is not None:
        assert isinstance(vectors, numpy.ndarray) and vectors.dtype == numpy.float32
        assert vectors.ndim == 2
        return vectors.tolist()
    assert isinstance(vectors, list) and all(isinstance(row, list) for row in vectors)
    return vectors


@pytest.mark.parametrize("ids, include, missing, expected", [
    (["v3", "v0", "v3"], ("vectors", "metadata"), "raise", ["v3", "v0", "v3"]),
    (("v1", "zz", "v2"), ["metadata"], "skip", ["v1", "v2"]),
    (["v4"], ("vectors",), "raise", ["v4"]),
    ([], ("vectors", "metadata"), "raise", []),
    (["v1", "zz", "yy"], (), "raise", "^id 'zz' not found$"),
])
def test_get_many_reads_what_get_reads(filled, ids, include, missing, expected):
    d, _, _ = filled
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            d.get_many(ids, include=include, missing=missing)
        return
    got = d.get_many(ids, include=include, missing=missing)
    keys = ["ids"] + [k for k, field in (("vectors", "vectors"), ("metadatas", "metadata"))
                      if field in include]
    assert list(got) == keys and got["ids"] == expected
    one_by_one = [d.get(i) for i in expected]
    if "vectors" in include:
        assert rows(got["vectors"]) == [v for v, _ in one_by_one] or not expected
    if "metadata" in include:
        assert got["metadatas"] == [m for _, m in one_by_one]


def test_scan_yields_each_record_once_across_deletes_and_feeds_add_many(filled, tmp_path):
    d, ids, _ = filled
    before = {i: d.get(i) for i in ids}
    copy = Database(str(tmp_path / "copy"), 4, metric="l2")
    seen, dropped = [], []
    for batch in d.scan(batch_size=7):
        assert len(batch["ids"]) <= 7
        rows(batch["vectors"])
        seen += batch["ids"]
        copy.add_many(**batch)
        # One deletion behind the scan (already yielded) and one ahead of it (never yielded).
        ahead = [i for i in ids if i not in seen and i not in dropped]
        if ahead:
            dropped.append(ahead[0])
            d.delete(ahead[0])
        d.delete(seen[0])
    assert seen == [i for i in ids if i not in dropped]  # in stored order, each once
    assert {i: copy.get(i) for i in seen} == {i: before[i] for i in seen}


def test_scan_with_filters_and_after_compact(filled):
    d, ids, _ = filled
    assert [i for b in d.scan({"lang": "en"}, include=()) for i in b["ids"]] == ids[:20]
    assert list(d.scan({})) == []  # an empty filter selects nothing, as in search
    scan = d.scan(batch_size=10, include=("metadata",))
    assert next(scan)["metadatas"][0] == {"even": True, "i": 0, "lang": "en"}
    d.delete("v30")
    d.compact()
    with pytest.raises(ValueError, match="start the scan again"):
        next(scan)


def test_to_pandas(filled):
    d, ids, vectors = filled
    try:
        import pandas  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match="^to_pandas needs pandas"):
            d.to_pandas()
        return
    frame = d.to_pandas(where_filter={"even": True})
    assert list(frame.columns) == ["id", "vector", "metadata"]
    assert list(frame["id"]) == ids[::2]
    assert [list(v) for v in frame["vector"]] == [d.get(i)[0] for i in ids[::2]]
    assert frame["metadata"][1] == {"even": True, "i": 2, "lang": "en"}
    assert list(d.to_pandas(include=()).columns) == ["id"]


@pytest.mark.parametrize("where, deleted", [
    ({"lang": "de"}, 30), ({"i": {"$lt": 5}}, 5), ({"lang": {"$ne": "en"}}, 30), ({}, 0),
])
def test_delete_where(filled, where, deleted):
    d, _, _ = filled
    assert d.delete_where(where) == deleted
    assert len(d) == 50 - deleted and d.count(where) == 0
    with pytest.raises(TypeError, match="^argument 'where_filter': delete_where needs a filter"):
        d.delete_where(None)


def test_update_metadata_merges_and_the_filter_index_follows(filled):
    d, _, vectors = filled
    d.update_metadata("v1", {"lang": "fr", "even": None, "tags": ["a"]})
    d.update_metadata("v1", {"i": 100})
    assert d.get("v1")[1] == {"i": 100, "lang": "fr", "tags": ["a"]}
    assert [h.id for h in d.search(vectors[0], k=50, where_filter={"lang": "fr"})] == ["v1"]
    assert (d.count({"lang": "en"}), d.count({"even": False}), d.count({"i": 1})) == (19, 24, 0)
    assert d.count({"i": {"$gte": 100}}) == 1
    with pytest.raises(TypeError, match="^argument 'patch': 'NoneType' object cannot be "):
        d.update_metadata("v1", None)
    with pytest.raises(ValueError, match="^id 'zz' not found$"):
        d.update_metadata("zz", {"a": 1})


@pytest.mark.parametrize("form", ["lists", "array"])
def test_load_checks_every_row_first(tmp_path, form):
    if form == "array" and numpy is None:
        pytest.skip("NumPy not installed")
    d = Database(str(tmp_path / "l"), 4)
    d.add("x7", [1, 2, 3, 4])
    vectors = [[float(i), 1.0, 0.0, 0.5] for i in range(200)]
    if form == "array":
        vectors = numpy.array(vectors, dtype=numpy.float32)
    ids = [f"y{i}" for i in range(200)]
    calls = []
    assert d.load(ids, vectors, batch_size=60, progress=lambda *a: calls.append(a)) == 200
    assert calls == [(60, 200), (120, 200), (180, 200), (200, 200)] and len(d) == 201
    # A stored id (or one named twice) late in the rows: refused before any batch is added.
    for late in ("x7", "z0"):
        with pytest.raises(ValueError, match=f"^id '{late}' already exists, use upsert instead$"):
            d.load([f"z{i}" for i in range(150)] + [late], list(vectors[:151]), batch_size=50)
        assert len(d) == 201
    with pytest.raises(ValueError, match="^batch_size must be at least 1$"):
        d.load(["a"], [[1, 2, 3, 4]], batch_size=0)
    with pytest.raises(TypeError, match="^argument 'progress': expected None, True, False or "):
        d.load(["a"], [[1, 2, 3, 4]], progress="yes")


def test_load_interrupted_by_a_signal_keeps_exactly_the_acknowledged_prefix(tmp_path):
    path = str(tmp_path / "l")
    d = Database(path, 4)
    ids = [f"x{i}" for i in range(400)]
    vectors = [[float(i), 1.0, 2.0, 3.0] for i in range(400)]
    first_batch, sent = threading.Event(), threading.Event()

    def timer():  # Ctrl-C from another thread once the first batch is in
        first_batch.wait()
        os.kill(os.getpid(), signal.SIGINT)
        sent.set()

    def progress(done, total):
        if not first_batch.is_set():
            first_batch.set()
            sent.wait()

    thread = threading.Thread(target=timer)
    thread.start()
    with pytest.raises(KeyboardInterrupt, match="^load interrupted after 50 of 400 rows: those "
                                                "rows are stored, the rest are not$") as info:
        d.load(ids, vectors, [{"i": i} for i in range(400)], batch_size=50, progress=progress)
    thread.join()
    assert info.value.rows_loaded == 50
    d.close()
    again = Database(path)  # from the files saved at creation and the log
    assert sorted(again.ids(), key=lambda i: int(i[1:])) == ids[:50]
    assert again.get("x49") == (vectors[49], {"i": 49})
