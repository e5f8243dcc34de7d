"""Argument parsing and value conversion: accepted forms and the exact error texts."""
import math
import struct
from collections import UserList

import pytest

from quarn import Database


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda d: d.add("x"), TypeError,
         "Database.add() missing 1 required positional argument: 'vector'"),
        (lambda d: d.add(), TypeError,
         "Database.add() missing 2 required positional arguments: 'id' and 'vector'"),
        (lambda d: d.add("x", [1, 2, 3], None, 4), TypeError,
         "Database.add() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda d: d.add("x", [1, 2, 3], id="y"), TypeError,
         "Database.add() got multiple values for argument 'id'"),
        (lambda d: d.add("x", [1, 2, 3], foo=1), TypeError,
         "Database.add() got an unexpected keyword argument 'foo'"),
        (lambda d: d.ids(1), TypeError,
         "Database.ids() takes 0 positional arguments but 1 was given"),
        (lambda d: d.add(1, [1, 2, 3]), TypeError,
         "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (lambda d: d.add("x", [1, 2, 3], [1]), TypeError,
         "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        (lambda d: d.search([1, 2, 3], k="a"), TypeError,
         "argument 'k': 'str' object cannot be interpreted as an integer"),
        (lambda d: d.search([1, 2, 3], k=-1), OverflowError,
         "can't convert negative int to unsigned"),
        (lambda d: d.search([1, 2, 3], ef_search=-5), OverflowError,
         "can't convert negative int to unsigned"),
        (lambda d: d.search([1, 2, 3], k=2**64), OverflowError, None),
        (lambda d: d.search([1, 2, 3], max_distance="a"), TypeError,
         "argument 'max_distance': must be real number, not str"),
        (lambda d: d.delete_many("ab"), TypeError,
         "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda d: d.delete_many([1]), TypeError,
         "argument 'ids': 'int' object cannot be converted to 'PyString'"),
        (lambda d: d.add_many(["a"], [[1, 2, 3]], (None,)), TypeError,
         "argument 'metadatas': 'tuple' object cannot be converted to 'PyList'"),
        (lambda d: d.add_many(["a", "b"], [[1, 2, 3]], [None]), ValueError,
         "ids length (2) != vectors length (1)"),
        (lambda d: d.add_many(["a"], [[1, 2, 3]], [3, 4]), ValueError,
         "metadatas length (2) != ids length (1)"),
        (lambda d: d.upsert_many(["a"], [[1, 2, 3]], [3]), ValueError,
         "metadatas must be list of dicts or None"),
        (lambda d: d.add("x", [1, 2, 3], {"v": float("nan")}), ValueError, "invalid metadata: "),
        (lambda d: d.add("x", [1, 2, 3], {"v": object()}), TypeError, None),
        (lambda d: d.add("x", [1.0, 2.0]), ValueError, "dimension mismatch: expected 3, got 2"),
        (lambda d: d.add("x", [1, 2, 10**400]), TypeError, "OverflowError: int too large"),
        (lambda d: 5 in d, TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(db, call, exc, message):
    with pytest.raises(exc) as info:
        call(db)
    if message is not None:
        text = str(info.value)
        assert text == message or text.startswith(message) or message in text
    assert len(db) == 0


@pytest.mark.parametrize(
    "value, list_cause, numpy_cause",
    [
        ("abc", "TypeError: Can't extract `str` to `Vec`",
         "TypeError: 'str' object cannot be converted to 'PyArray<T, D>'"),
        (5, "TypeError: 'int' object cannot be converted to 'Sequence'",
         "TypeError: 'int' object cannot be converted to 'PyArray<T, D>'"),
        ([1, "x", 3], "TypeError: must be real number, not str",
         "TypeError: 'list' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_vector_union_error_text(db, value, list_cause, numpy_cause):
    with pytest.raises(TypeError) as info:
        db.add("x", value)
    assert str(info.value) == (
        "argument 'vector': failed to extract enum VectorInput ('List | Numpy')\n"
        "- variant List (List): TypeError: failed to extract field VectorInput::List.0, "
        f"caused by {list_cause}\n"
        "- variant Numpy (Numpy): TypeError: failed to extract field VectorInput::Numpy.0, "
        f"caused by {numpy_cause}"
    )


def test_batch_union_error_text(db):
    with pytest.raises(TypeError) as info:
        db.add_many(["a"], [[1, 2, 3], "xyz"])
    assert str(info.value) == (
        "argument 'vectors': failed to extract enum BatchVectorInput ('Numpy | Lists')\n"
        "- variant Numpy (Numpy): TypeError: failed to extract field BatchVectorInput::Numpy.0, "
        "caused by TypeError: 'list' object cannot be converted to 'PyArray<T, D>'\n"
        "- variant Lists (Lists): TypeError: failed to extract field BatchVectorInput::Lists.0, "
        "caused by TypeError: Can't extract `str` to `Vec`"
    )


# A number only through __float__, one only through __index__.
Floaty = type("Floaty", (), {"__float__": lambda self: 0.5})
Indexy = type("Indexy", (), {"__index__": lambda self: 2})


@pytest.mark.parametrize(
    "vector, expected",
    [
        ([0.1, 0.2, 0.3], [f32(0.1), f32(0.2), f32(0.3)]),
        ((1, True, 3), [1.0, 1.0, 3.0]),
        ([Floaty(), Indexy(), 1e30], [0.5, 2.0, f32(1e30)]),
        (UserList([1.5, 2.5, 3.5]), [1.5, 2.5, 3.5]),  # a sequence, neither list nor tuple
    ],
)
def test_vector_forms_round_trip(db, vector, expected):
    db.add("x", vector)
    assert db.get("x")[0] == expected


STORED = {"b": 1, "a": 2.5, 3: (1, 2), "big": 2**70, "u64": 2**64 - 1, "i64": -2**63,
          "one": 1.0, "neg0": -0.0, "tiny": 5e-324, "huge": 1e300, "t": True, "f": False,
          "none": None, "text": "é☃\x00\n\"\\", "nested": {"z": [None, {"y": []}], "a": {}}}
# As json.loads reads the stored text: keys as strings in byte order, tuples as lists,
# integers beyond 64 bits as floats, every other number in its own type.
LOADED = {"3": [1, 2], "a": 2.5, "b": 1, "big": float(2**70), "f": False, "huge": 1e300,
          "i64": -2**63, "neg0": -0.0, "nested": {"a": {}, "z": [None, {"y": []}]},
          "none": None, "one": 1.0, "t": True, "text": "é☃\x00\n\"\\", "tiny": 5e-324,
          "u64": 2**64 - 1}


def same_values(a, b):
    """Equal with the same types, key order and sign of zero, all the way down."""
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(
            same_values(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return type(b) is list and len(a) == len(b) and all(map(same_values, a, b))
    return type(a) is type(b) and a == b and str(a) == str(b)


def test_metadata_comes_back_as_json_loads_reads_it(db):
    db.add("x", [1, 2, 3], STORED)
    assert same_values(db.get("x")[1], LOADED)
    hit = db.search([1, 2, 3], k=1)[0]
    assert same_values(hit.metadata, LOADED)
    # Each access builds new objects: changing one leaves the result as it was.
    mine = hit.metadata
    mine["nested"]["z"].append(1)
    mine["a"] = 0
    assert same_values(hit.metadata, LOADED) and same_values(db.get("x")[1], LOADED)


def test_update_keeps_or_replaces_metadata(db):
    db.add("x", [1, 2, 3], {"a": 1})
    db.update("x", [3, 2, 1])
    assert db.get("x") == ([3.0, 2.0, 1.0], {"a": 1})
    db.update("x", metadata={"b": 2})
    assert db.get("x") == ([3.0, 2.0, 1.0], {"b": 2})


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"dim": 4, "metric": "L2"}, ValueError,
         "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"),
        ({"dim": 4, "quantize": 1}, TypeError,
         "argument 'quantize': 'int' object cannot be converted to 'PyBool'"),
        ({"dim": 4, "m": 1}, ValueError, "m must be at least 2"),
        ({"dim": 4, "m": 0}, ValueError, "m must be at least 2"),
        ({"dim": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({}, ValueError, "database not found — specify dim to create a new one"),
        ({"dim": 4, "foo": 1}, TypeError,
         "Database.__new__() got an unexpected keyword argument 'foo'"),
    ],
)
def test_constructor_errors(tmp_path, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Database(str(tmp_path / "c"), **kwargs)
    assert str(info.value) == message


def test_path_object_refused(tmp_path):
    with pytest.raises(TypeError) as info:
        Database(tmp_path / "c", 2)
    assert str(info.value) == (
        "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")


# The names the core accepts are its MetricTest's table; the binding passes them on.
@pytest.mark.parametrize("alias, name", [("dot", "dot_product"), (None, "cosine")])
def test_metric_aliases(tmp_path, alias, name):
    assert Database(str(tmp_path / "c"), 2, metric=alias).metric == name


# ---- NumPy forms (skipped where NumPy is not installed) -------------------------------------

def test_numpy_single_vectors(db):
    numpy = pytest.importorskip("numpy")
    db.add("f64", numpy.array([0.1, 0.2, 0.3], dtype=numpy.float64))
    assert db.get("f64")[0] == [f32(0.1), f32(0.2), f32(0.3)]
    db.add("strided", numpy.arange(6, dtype=numpy.float32)[::2])
    assert db.get("strided")[0] == [0.0, 2.0, 4.0]
    db.add("int", numpy.array([1, 2, 3], dtype=numpy.int64))
    assert db.get("int")[0] == [1.0, 2.0, 3.0]
    db.add("be", numpy.array([1.5, 2.5, 3.5], dtype=">f4"))  # byte-swapped
    assert db.get("be")[0] == [1.5, 2.5, 3.5]


def test_numpy_batches(tmp_path):
    numpy = pytest.importorskip("numpy")
    c = numpy.arange(12, dtype=numpy.float32).reshape(4, 3) / 7
    d1 = Database(str(tmp_path / "c"), 3)
    d2 = Database(str(tmp_path / "f"), 3)
    ids = list("abcd")
    d1.add_many(ids, c)
    d2.add_many(ids, numpy.asfortranarray(c))
    assert [d1.get(i)[0] for i in ids] == [d2.get(i)[0] for i in ids] == c.tolist()

    sliced = numpy.arange(24, dtype=numpy.float32).reshape(4, 6)[:, ::2]
    with pytest.raises(TypeError) as info:
        d1.upsert_many(ids, sliced)
    assert str(info.value) == "The given array is not contiguous"
    d1.upsert_many(ids, sliced.astype(numpy.float64))
    assert d1.get("b")[0] == [6.0, 8.0, 10.0]

    d1.add_many([], numpy.zeros((0, 3), dtype=numpy.float32))
    assert len(d1) == 4
    res = d1.search_many(c[:2], k=1)
    assert [r[0].id for r in res] == ["a", "b"]
    assert d1.search(c[1], k=1)[0].id == "b"
