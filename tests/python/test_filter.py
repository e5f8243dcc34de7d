"""Filters given as dicts: what they match and how bad ones are reported."""
import pytest


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"lang": "en"}, 20),
        ({"lang": {"$ne": "en"}}, 30),
        ({"i": {"$in": [1, 2, 3, 99]}}, 3),
        ({"i": {"$gte": 10, "$lt": 20}}, 10),
        ({"i": {"$gt": True}}, 48),  # True is 1.0
        ({"even": True, "lang": "en"}, 10),
        ({"even": 1}, 0),  # JSON integer, not bool
        ({"i": 3.0}, 0),  # float, not integer
        ({"i": 2**70}, 0),
        ({"missing": None}, 0),
    ],
)
def test_count_and_search_agree(filled, where, expected):
    d, _, vectors = filled
    assert d.count(where) == expected
    assert len(d.search(vectors[0], k=100, where_filter=where)) == expected


@pytest.mark.parametrize(
    "where, message",
    [
        ({"a": [1]}, "unsupported filter value type"),
        ({"a": (1,)}, "unsupported filter value type"),
        ({"a": object()}, "unsupported filter value type"),
        ({"a": {"$eq": 1}}, "unknown operator: $eq"),
        ({"a": {"$or": 1}}, "unknown operator: $or"),
        # The operators of quarn.Where are not part of the dict syntax.
        ({"n": {"$nin": [1]}}, "unknown operator: $nin"),
        ({"n": {"$exists": True}}, "unknown operator: $exists"),
        ({"n": {"$contains": 1}}, "unknown operator: $contains"),
        ({"$or": [{"a": 1}]}, "unsupported filter value type"),  # a field named $or
        ({"a": {"$in": (1,)}}, "$in value must be a list"),
        ({"a": {"$in": [[1]]}}, "unsupported filter value type"),
        ({"a": {"$gt": "x"}}, "$gt value must be a number"),
        ({"a": {"$lte": None}}, "$lte value must be a number"),
        ({"ok": 1, "a": {"$ne": []}}, "unsupported filter value type"),
    ],
)
def test_bad_filters(filled, where, message):
    d, _, vectors = filled
    for call in (lambda: d.count(where), lambda: d.search(vectors[0], where_filter=where)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_non_str_keys_are_type_errors(filled):
    d, _, _ = filled
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        d.count({1: 2})
    with pytest.raises(TypeError, match="^argument 'where_filter': 'list' object"):
        d.count([("a", 1)])


def test_nan_and_infinity_operands_are_null(db):
    db.add("n", [1, 2, 3], {"v": None})
    db.add("m", [1, 2, 4], {"v": 1.5})
    for where in ({"v": None}, {"v": float("nan")}, {"v": {"$in": [float("inf")]}}):
        assert db.count(where) == 1
        assert [r.id for r in db.search([1, 2, 4], where_filter=where)] == ["n"]


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("big", [2**63, 2**63 + 5, 2**64 - 1])
def test_integers_above_the_signed_range_keep_their_type(db, big):
    # Stored as an unsigned integer, so an equality must be one too; the float nearest to it
    # is another value.
    db.add("u", [1, 2, 3], {"x": big})
    db.add("f", [1, 2, 4], {"x": float(big)})
    for where, ids in (({"x": big}, ["u"]), ({"x": Index(big)}, ["u"]),
                       ({"x": {"$in": [big, 7]}}, ["u"]), ({"x": {"$ne": big}}, ["f"]),
                       ({"x": float(big)}, ["f"]), ({"x": {"$gte": big}}, ["f", "u"])):
        assert db.count(where) == len(ids), where
        assert sorted(r.id for r in db.search([1, 2, 3], where_filter=where)) == ids, where
