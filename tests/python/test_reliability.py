"""Bounded inputs, non-finite vectors, sync(), the flat batch path and the GIL while waiting."""
import math
import threading
import time

import pytest

from quarn import Client, Database

try:
    import numpy as np
except ImportError:  # CPython 3.13 here has no NumPy
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="NumPy not installed")


# The bounds themselves are the core's table (BoundsTest); m's lower bound is test_convert's
# and test_client's.
@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"dim": 2**24 + 1}, "dim must be between 1 and 16777216"),
        ({"dim": 3, "ef_construction": 10**9}, "ef_construction must be between 1 and 100000"),
    ],
)
def test_parameters_out_of_bounds_are_refused_at_creation(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        Database(str(tmp_path / "d"), **kwargs)
    with pytest.raises(ValueError, match=f"^{message}$"):
        Client(str(tmp_path / "root")).create_collection("c", **kwargs)
    assert not (tmp_path / "d").exists()


BAD = [math.nan, math.inf, -math.inf]


def _entry_points():
    """(name, call(db, bad_value), message) for every way a vector reaches the core."""
    def vec(x):
        return [0.5, x, 0.25]

    return [
        ("add", lambda d, x: d.add("p", vec(x)), "vector of id 'p'"),
        ("upsert", lambda d, x: d.upsert("s", vec(x)), "vector of id 's'"),
        ("update", lambda d, x: d.update("s", vector=vec(x)), "vector of id 's'"),
        ("add_many", lambda d, x: d.add_many(["p", "q"], [vec(1), vec(x)]),
         r"vectors row 1 \(id 'q'\)"),
        ("upsert_many", lambda d, x: d.upsert_many(["p", "s"], [vec(x), vec(1)]),
         r"vectors row 0 \(id 'p'\)"),
        ("search", lambda d, x: d.search(vec(x)), "query vector"),
        ("search_many", lambda d, x: d.search_many([vec(1), vec(1), vec(x)]),
         "query vectors row 2"),
    ]


@pytest.mark.parametrize("bad", BAD, ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("name, call, what", _entry_points(), ids=lambda v: v if isinstance(v, str) else "")
def test_non_finite_components_are_refused_everywhere(tmp_path, name, call, what, bad):
    d = Database(str(tmp_path / "d"), 3)
    d.add("s", [1, 2, 3], {"k": 1})
    kind = "nan" if math.isnan(bad) else ("inf" if bad > 0 else "-inf")
    with pytest.raises(ValueError, match=f"^{what} has a non-finite component \\({kind}\\) at index"):
        call(d, bad)
    assert d.ids() == ["s"] and d.get("s") == ([1.0, 2.0, 3.0], {"k": 1})


@needs_numpy
def test_non_finite_rows_of_an_array_are_refused(tmp_path):
    d = Database(str(tmp_path / "d"), 2)
    rows = np.array([[1, 2], [3, np.inf]], dtype=np.float32)
    with pytest.raises(ValueError, match=r"^vectors row 1 \(id 'b'\) has a non-finite component \(inf\) at index 1$"):
        d.add_many(["a", "b"], rows)
    assert len(d) == 0


def test_too_deep_metadata_is_refused(tmp_path):
    d = Database(str(tmp_path / "d"), 2)
    deep = {"k": 1}
    for _ in range(125):
        deep = {"k": deep}
    with pytest.raises(ValueError, match="^invalid metadata"):
        d.add("a", [1, 2], deep)
    d.add("a", [1, 2], deep["k"])  # 125 levels: the deepest an export can take back
    d.export_json(str(tmp_path / "out.json"))
    copy = Database(str(tmp_path / "copy"), 2)
    copy.import_json(str(tmp_path / "out.json"))
    assert copy.get("a") == d.get("a")


@needs_numpy
@pytest.mark.parametrize("method", ["add_many", "upsert_many"])
def test_a_float32_array_and_lists_give_the_same_collection(tmp_path, method):
    rng = np.random.default_rng(5)
    rows = rng.standard_normal((300, 8)).astype(np.float32)
    ids = [f"v{i}" for i in range(300)]
    metas = [{"i": i} for i in range(300)]
    by_array = Database(str(tmp_path / "a"), 8)
    by_lists = Database(str(tmp_path / "l"), 8)
    getattr(by_array, method)(ids, rows, metas)
    getattr(by_lists, method)(ids, rows.tolist(), metas)
    for i in (0, 150, 299):
        assert by_array.get(ids[i]) == by_lists.get(ids[i])
    # The same checks and messages on the array path.
    with pytest.raises(ValueError, match=r"^dimension mismatch"):
        getattr(by_array, method)(["x"], np.zeros((1, 3), dtype=np.float32))
    with pytest.raises(ValueError, match=r"^ids length \(2\) != vectors length \(1\)$"):
        getattr(by_array, method)(["x", "y"], np.zeros((1, 8), dtype=np.float32))
    if method == "add_many":
        with pytest.raises(ValueError, match="^id 'v3' already exists, use upsert instead$"):
            by_array.add_many(["new", "v3"], rows[:2])
        assert "new" not in by_array


def test_sync_after_changes_and_reopen(tmp_path):
    d = Database(str(tmp_path / "d"), 2)
    d.sync()  # nothing logged yet
    d.add("a", [1, 2])
    d.save()
    d.add("b", [3, 4])
    d.sync()
    del d
    assert sorted(Database(str(tmp_path / "d")).ids()) == ["a", "b"]


@pytest.mark.parametrize("read", [
    lambda d: "v0" in d,
    lambda d: d.get("v0"),
    lambda d: d.ids(),
    lambda d: len(d),
], ids=["contains", "get", "ids", "len"])
def test_a_read_waiting_for_a_long_operation_lets_other_threads_run(tmp_path, read):
    """A compaction holds the id map, a large batch the index, for their whole run; a read
    waiting for either must let the other Python threads run meanwhile."""
    dim, n = 16, 6000
    d = Database(str(tmp_path / "d"), dim)
    rows = [[((i * 31 + j * 7) % 97) / 97.0 for j in range(dim)] for i in range(2 * n)]
    d.add_many([f"v{i}" for i in range(n)], rows[:n])
    d.delete_many([f"v{i}" for i in range(1, n, 2)])
    inside = threading.Event()   # the reader is in a call
    running = threading.Event()  # the long operation has begun
    done = threading.Event()

    def long_operation():
        running.set()
        d.compact()
        d.add_many([f"w{i}" for i in range(n)], rows[n:])
        done.set()

    errors = []

    def reader():
        try:
            while not done.is_set():
                inside.set()
                read(d)
                inside.clear()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)
            inside.clear()

    worker = threading.Thread(target=long_operation)
    waiter = threading.Thread(target=reader)
    worker.start()
    running.wait()
    waiter.start()
    # Time this thread runs while the reader is inside a call. A reader that held the GIL
    # while it waited would leave it one switch interval (5 ms) at most per call that
    # waits, against the whole of the long operation otherwise.
    ran_inside = 0.0
    begin = last = time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        if inside.is_set():
            ran_inside += now - last
        last = now
    duration = time.perf_counter() - begin
    worker.join()
    waiter.join()
    assert errors == []
    assert ran_inside > duration / 4, (ran_inside, duration)
