"""quarn.Where, the condition language, against a plain model of its rules: what count and
search find on the exact and the graph path, its errors, its repr and pickling."""
import math
import pickle
import random

import pytest

from quarn import Database, Where

INT64 = range(-2**63, 2**64)  # what metadata and operands keep as integers


def operand(v):
    """A filter operand as the collection compares it: ints beyond 64 bits become floats,
    non-finite floats null."""
    if isinstance(v, int) and not isinstance(v, bool) and v not in INT64:
        return float(v)
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def same(a, b):
    """JSON equality that tells types apart: 1, 1.0, True and "1" are four values."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def number(x):
    return isinstance(x, (int, float)) and not isinstance(x, bool)


COMPARE = {"$gt": lambda x, b: x > b, "$gte": lambda x, b: x >= b,
           "$lt": lambda x, b: x < b, "$lte": lambda x, b: x <= b}


def holds(condition, m):
    """The rules, for object metadata `m`."""
    for key, value in condition.items():
        if key == "$and":
            ok = all(holds(c, m) for c in value)
        elif key == "$or":
            ok = any(holds(c, m) for c in value)
        elif key == "$not":
            ok = not holds(value, m)
        else:
            present, x = key in m, m.get(key)
            ops = value if isinstance(value, dict) else {"$eq": value}
            ok = True
            for op, arg in ops.items():
                if op == "$eq":
                    ok &= present and same(x, operand(arg))
                elif op == "$ne":
                    ok &= not (present and same(x, operand(arg)))
                elif op in ("$in", "$nin"):
                    hit = present and any(same(x, operand(a)) for a in arg)
                    ok &= hit if op == "$in" else not hit
                elif op == "$exists":
                    ok &= present == arg
                elif op == "$contains":
                    ok &= isinstance(x, list) and any(same(e, operand(arg)) for e in x)
                else:
                    ok &= present and number(x) and COMPARE[op](float(x), float(arg))
        if not ok:
            return False
    return True


def matches(condition, m):
    # A record without (object) metadata matches no condition, negated or not.
    return isinstance(m, dict) and holds(condition, m)


VALUES = [0, 1, 1.0, -0.0, 2, 0.5, 2**63 + 1, -2**63, 2**70, True, False, None, "1", "x", "",
          [1, "x"], ["x", None], [1.0, True], [], [[1]], [{"k": 1}], {"k": 1}, {"a": [1]}]

# Every operator, alone and nested; the records below give each something to tell apart.
CONDITIONS = [
    {"a": 1}, {"a": 1.0}, {"a": True}, {"a": None}, {"a": 2**70}, {"a": 2**63 + 1},
    {"a": {"$eq": "x"}}, {"a": {"$eq": -0.0}}, {"a": {"$ne": 1}}, {"a": {"$ne": None}},
    {"a": {"$in": [1, "x", None]}}, {"a": {"$in": []}}, {"a": {"$nin": [1, 1.0]}},
    {"a": {"$nin": []}}, {"a": {"$gt": 0}}, {"a": {"$gte": True}}, {"a": {"$lt": 2**63}},
    {"a": {"$lte": -0.0}}, {"a": {"$gt": 0, "$lt": 2}}, {"a": {"$gt": float("nan")}},
    {"a": {"$exists": True}}, {"a": {"$exists": False}}, {"b": {"$exists": True}, "a": 1},
    {"tags": {"$contains": "x"}}, {"tags": {"$contains": 1}}, {"tags": {"$contains": None}},
    {"tags": {"$contains": True}}, {"a": {"$contains": 1}},
    {"$or": [{"a": 1}, {"b": "x"}]}, {"$or": [{"a": 1}, {"b": {"$exists": False}}]},
    {"$or": [{"a": None}, {"tags": {"$contains": "x"}}]},
    {"$and": [{"a": {"$ne": 1}}, {"b": {"$ne": 1}}]}, {"$and": [{"a": 1}, {"a": 1.0}]},
    {"$not": {"a": 1}}, {"$not": {"a": None}}, {"$not": {"a": {"$gt": 0}}},
    {"$not": {"a": {"$exists": True}}}, {"$not": {"$not": {"b": 2}}},
    {"$not": {"$or": [{"a": {"$in": [0, 1]}}, {"b": {"$contains": "x"}}]}},
    {"$or": [{"$not": {"a": 1}}, {"$and": [{"b": 1}, {"tags": {"$exists": True}}]}]},
    {"a": {"$nin": [1]}, "$not": {"tags": {"$contains": "x"}}, "b": {"$exists": False}},
    {"$and": [{"$or": [{"a": 1}, {"a": "x"}]}, {"$or": [{"b": {"$lt": 1}}, {"b": True}]}]},
]


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    """Seeded records of every shape: no metadata, missing fields, null, arrays, nested
    objects, big integers and mixed numeric types. The model reads back what was stored
    (an integer beyond 64 bits is stored as a float)."""
    rng = random.Random(5)
    d = Database(str(tmp_path_factory.mktemp("where") / "c"), 3, metric="l2")
    for i in range(120):
        metadata = None if i % 9 == 0 else {
            f: rng.choice(VALUES) for f in ("a", "b", "tags", "o") if rng.random() < 0.7}
        d.add(f"r{i}", [rng.uniform(-1, 1) for _ in range(3)], metadata)
    d.delete("r1")
    stored = {i: d.get(i)[1] for i in d.ids()}
    return d, stored


@pytest.mark.parametrize("condition", CONDITIONS, ids=[repr(c) for c in CONDITIONS])
def test_conditions_against_the_model(model, condition):
    d, stored = model
    want = {i for i, m in stored.items() if matches(condition, m)}
    where = Where(condition)
    assert d.count(where) == len(want)
    query = [0.1, 0.2, 0.3]
    assert {h.id for h in d.search(query, k=len(stored), where_filter=where)} == want
    # Fewer than all: the nearest min(k, matching), the same in a batch.
    hits = d.search(query, k=5, where_filter=where)
    assert len(hits) == min(5, len(want)) and {h.id for h in hits} <= want
    assert [h.id for h in d.search_many([query], k=5, where_filter=where)[0]] == \
        [h.id for h in hits]
    # A Where nested in another, and one back from a pickle, mean the same.
    assert d.count(Where({"$and": [where]})) == d.count(pickle.loads(pickle.dumps(where)))
    assert d.count(pickle.loads(pickle.dumps(where))) == len(want)


def test_graph_path_is_complete(tmp_path):
    # Vectors of 5,000 floats, only 8 of them non-zero, put 2,001 records past the exact
    # scan's 10,000,000 floats; two clusters far apart make filters whose matches lie far
    # from the query.
    np = pytest.importorskip("numpy")
    n, dim, used = 2001, 5000, 8
    rng = np.random.default_rng(3)
    data = np.zeros((n, dim), np.float32)
    data[:, :used] = rng.standard_normal((n, used))
    data[1000:, 0] += 100
    metas = [{"i": i, "far": i >= 1000, "tags": [i % 250]} | ({"rare": None} if i % 400 == 9
                                                             else {}) for i in range(n)]
    d = Database(str(tmp_path / "g"), dim, metric="l2", m=4, ef_construction=16)
    d.add_many([str(i) for i in range(n)], data, metas)
    assert not d.stats()["uses_brute_force"]
    for condition in [{"$not": {"far": True}}, {"$or": [{"far": True}, {"i": {"$lt": 3}}]},
                      {"tags": {"$contains": 17}}, {"rare": {"$exists": True}},
                      {"far": False, "i": {"$nin": list(range(0, 1000, 2))}},
                      {"$or": [{"rare": None}, {"i": 5}]}, {"$not": {"i": {"$gte": 4}}}]:
        want = [i for i in range(n) if matches(condition, metas[i])]
        where = Where(condition)
        for q in (data[7], data[1500]):
            hits = d.search(q, k=10, where_filter=where)
            assert len(hits) == min(10, len(want)), condition
            assert {int(h.id) for h in hits} <= set(want)
            if len(want) <= 50:  # few matches: scanned exactly
                dist = ((data[want] - q) ** 2).sum(axis=1)
                assert [int(h.id) for h in hits] == [want[j] for j in np.argsort(dist)[:10]]


@pytest.mark.parametrize(
    "condition, message",
    [
        ({}, "empty condition: expected a field or $and, $or or $not"),
        ({"a": {}}, "field 'a' has no operator: expected one, as in {'a': {'$eq': value}}"),
        ({"$and": []}, "$and value must be a non-empty list of conditions"),
        ({"$or": [{"a": 1}, 2]}, "$or value must be a non-empty list of conditions"),
        ({"$or": ({"a": 1},)}, "$or value must be a non-empty list of conditions"),
        ({"$not": [{"a": 1}]}, "$not value must be a condition (a dict)"),
        ({"$nor": [{"a": 1}]},
         "unknown operator: $nor (a condition takes fields and $and, $or and $not)"),
        ({"a": {"$regex": "x"}}, "unknown operator: $regex (a field takes $eq, $ne, $in, $nin, "
                                 "$gt, $gte, $lt, $lte, $exists and $contains)"),
        ({"a": {"$not": {"$eq": 1}}}, "$not combines conditions, not a field's operators: "
                                      "write {'$not': ...} beside the fields, not inside "
                                      "{'a': ...}"),
        ({"a": {"$nin": (1,)}}, "$nin value must be a list"),
        ({"a": {"$exists": 1}}, "$exists value must be True or False"),
        ({"a": {"$contains": ["x"]}},
         "$contains value must be one element: a bool, number, string or None"),
        ({"a": {"$eq": [1]}}, "unsupported filter value type"),
        ({"a": {"$gte": "1"}}, "$gte value must be a number"),
        ({"$or": [{"$not": {"a": {"$in": 1}}}]}, "$in value must be a list"),
    ],
)
def test_malformed_conditions(condition, message):
    with pytest.raises(ValueError) as info:
        Where(condition)
    assert str(info.value) == message


def test_nesting_is_bounded_and_arguments_are_checked(tmp_path):
    condition = {"a": 1}
    for _ in range(63):
        condition = {"$not": condition}
    Where(condition)
    with pytest.raises(ValueError, match="^conditions nest more than 64 levels deep$"):
        Where({"$not": condition})
    with pytest.raises(ValueError, match="^conditions nest more than 64 levels deep$"):
        Where({"$or": [Where(condition)]})
    with pytest.raises(TypeError, match="^argument 'condition': 'list' object cannot be"):
        Where([("a", 1)])
    # A class that only carries the name is no Where.
    impostor = type("quarn._quarn.Where", (), {})()
    with pytest.raises(TypeError, match="^argument 'condition': 'quarn._quarn.Where' object"):
        Where(impostor)
    with pytest.raises(TypeError, match="^argument 'where_filter': 'quarn._quarn.Where' object"):
        Database(str(tmp_path / "d"), 2).count(impostor)
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        Where({"$not": {1: 2}})


def test_repr_gathers_each_fields_operators():
    assert repr(Where({"a": 1, "b": {"$gte": 2}, "$or": [{"t": {"$contains": "x"}}],
                       "$not": {"c": {"$exists": True}}})) == \
        "Where({'a': 1, 'b': {'$gte': 2.0}, '$or': [{'t': {'$contains': 'x'}}], " \
        "'c': {'$exists': False}})"
    assert repr(Where({"$and": [{"a": {"$gt": 1}}, {"a": {"$lt": 3}}]})) == \
        "Where({'a': {'$gt': 1.0, '$lt': 3.0}})"
    assert repr(Where({"$and": [{"a": 1}, {"a": 2}]})) == "Where({'$and': [{'a': 1}, {'a': 2}]})"
    assert repr(Where({"a": {"$nin": [2**70, None]}})) == \
        "Where({'a': {'$nin': [1.1805916207174113e+21, None]}})"
