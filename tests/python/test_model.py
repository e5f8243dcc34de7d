"""A model-based differential test: random sequences of calls on a Database and on a plain-Python
model of it (a dict of id -> (vector, metadata)), compared call by call.

The sequences mix add, upsert, update, delete, delete_many, add_many, upsert_many, compact, save,
reopen (the handle dropped and the directory opened again), the exact-scan limit and quantized
search switched on and off, and get, ids, verify, count, search and search_many with random
filters. The data sit around a centre away from the origin, with duplicates, zero vectors, every
metric, and ints, floats, bools, strings, nulls, lists and objects as metadata values.

What each answer must be:
- Mutations and reads return what the model returns, or raise the error it predicts (duplicate
  id, id not found, dimension mismatch), with the same message.
- count(filter) equals the number of live records the model's filter passes.
- A search on the exact path (live floats below the collection's limit) returns min(k, matching)
  hits, closest first, each at the distance the per-pair formula gives within the tolerance
  below, and no record it leaves out is closer than the last one it returns; search_many gives
  each query the same answer as search, bit for bit.
- A search on the graph path returns live records that pass the filter, min(k, matching) of
  them, sorted, each at the model's distance within the same tolerance.

The model measures in float64 from the stored float32 components (math.fsum), so its distances
are exact to about 2^-52. The engine works in float32: with u = 2^-24 and g(m) = m·u / (1 - m·u),
a sum of n float32 terms is within g(n)·(sum of their magnitudes) of the exact sum whatever the
order of summation (blocked, SIMD or fused), and each further operation adds one u. Hence, for
vectors of n components:
- euclidean: each term (x - y)² carries three roundings and all terms are positive, so the
  distance is within g(n + 3)·d of the exact d.
- dot_product: within g(n + 2)·Σ|x·y|.
- cosine: 1 - x·y / (|x||y|) with x·y within g(n)·Σ|x·y| and the norms within g(n + 2); the
  kernel's reciprocal square roots (1.5·2^-12 refined by one Newton step) add at most 2^-19 of
  the cosine, so the distance is within g(n + 4)·(Σ|x·y| / (|x||y|) + |cos|) + 2^-19·|cos| + u.
A distance outside these bounds is not a rounding difference; a ranking that inverts two records
whose intervals do not overlap is not a tie.

`make test` runs a fixed number of examples with a derandomized seed; `make model-test` runs
more (MODEL_EXAMPLES, MODEL_STEPS, MODEL_SEED for another stream, and with it MODEL_DB to keep
failing examples and shrink them further on the next run). Known faults can be noted and
counted instead of failing the run, so that it can look for others: KNOWN_FAULTS lists the ones
whose mends are under way (none now; all four below are mended), MODEL_TOLERATE replaces that
list for one run. The names it recognises, faults this test has found before:
  exact-l2     the exact Euclidean path's distances or ranking are off (it is not exact away
               from the origin)
  graph-short  an unfiltered graph search returns fewer than min(k, live) hits
  big-int      equality filters with an integer operand in [2^63, 2^64) match as if it were a
               float
  zero-cosine  the exact path without deletions puts two zero vectors at cosine distance 1, where
               the per-pair formula (and the same path after a deletion) gives 0
"""
import array
import collections
import gc
import math
import os
import shutil
import sys
import tempfile

import pytest

from quarn import Database

if sys.version_info[:2] == (3, 11):
    import hypothesis  # Debian's python3-hypothesis: the model test must run here
else:
    hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings, strategies as st  # noqa: E402
from hypothesis.database import DirectoryBasedExampleDatabase  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine, initialize, invariant, precondition, rule, run_state_machine_as_test)

KNOWN_FAULTS = ""
EXAMPLES = int(os.environ.get("MODEL_EXAMPLES", "60"))
STEPS = int(os.environ.get("MODEL_STEPS", "40"))
SEED = os.environ.get("MODEL_SEED")
TOLERATE = set(filter(None, os.environ.get("MODEL_TOLERATE", KNOWN_FAULTS).split(",")))
NOTED = collections.Counter()

U = 2.0 ** -24
DEFAULT_LIMIT = 10_000_000
MAX_DIM = 6
IDS = list("abcdefgh")
FIELDS = ["a", "b", "c"]
SCALARS = [0, 1, -1, 2, 1.0, 0.5, -0.0, True, False, "x", "y", "", None,
           2**63 - 1, 2**63, 2**64 - 1, -2**63, 2**64]
VALUES = SCALARS + [[1, "x"], [], {"n": 1}]
BOUNDS = [0, 1, -1, 0.5, 1.5, 2, True, 2**63, -2**63, 2**64]


def f32(values):
    return array.array("f", values).tolist()


def gamma(m):
    return m * U / (1 - m * U)


# ---- JSON values as the engine keeps and compares them ----------------------------------

def is_int(v):
    return type(v) is int


def stored(v):
    """A metadata value as it comes back: integers beyond 64 bits become floats."""
    if is_int(v):
        return v if -2**63 <= v < 2**64 else float(v)
    if isinstance(v, list):
        return [stored(x) for x in v]
    if isinstance(v, dict):
        return {k: stored(x) for k, x in v.items()}
    return v


def operand(v, sound=True):
    """A filter operand as the engine reads it. `sound` False: unsigned 64-bit integers
    become floats (a known fault, see MODEL_TOLERATE)."""
    if is_int(v):
        return v if -2**63 <= v < (2**64 if sound else 2**63) else float(v)
    if type(v) is float and not math.isfinite(v):
        return None
    return v


def json_equal(a, b):
    if is_int(a) or is_int(b):
        return is_int(a) and is_int(b) and a == b
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return a == b


def range_number(v):
    if is_int(v) or type(v) is float:
        return float(v)
    return None


def conditions(where):
    for field, cond in where.items():
        for op, arg in (cond.items() if isinstance(cond, dict) else [("$eq", cond)]):
            yield field, op, arg


def matches(where, metadata, sound=True):
    """Whether a record passes; a filter of no conditions at all ({} or {"f": {}}) is a
    conjunction of nothing, which the engine resolves to no record at all."""
    if not isinstance(metadata, dict) or not any(True for _ in conditions(where)):
        return False
    for field, op, arg in conditions(where):
        present = field in metadata
        value = metadata.get(field)
        if op == "$eq":
            ok = present and json_equal(value, operand(arg, sound))
        elif op == "$ne":
            ok = not present or not json_equal(value, operand(arg, sound))
        elif op == "$in":
            ok = present and any(json_equal(value, operand(x, sound)) for x in arg)
        else:
            x, bound = range_number(value) if present else None, float(arg)
            ok = x is not None and {"$gt": x > bound, "$gte": x >= bound,
                                    "$lt": x < bound, "$lte": x <= bound}[op]
        if not ok:
            return False
    return True


def has_big_operand(where):
    def big(v):
        return is_int(v) and 2**63 <= v < 2**64
    return any(op in ("$eq", "$ne") and big(arg) or op == "$in" and any(map(big, arg))
               for _, op, arg in conditions(where or {}))


# ---- Distances and their tolerance --------------------------------------------------------

def reference(metric, x, q, zero_cosine=0.0):
    """(distance, tolerance) of stored vector x from query q; see the module's docstring.
    `zero_cosine` is the cosine distance of two zero vectors (1.0: a known fault)."""
    n = len(x)
    if metric == "euclidean":
        d = math.fsum((a - b) ** 2 for a, b in zip(x, q))
        return d, gamma(n + 3) * d
    products = [a * b for a, b in zip(x, q)]
    dot, magnitude = math.fsum(products), math.fsum(map(abs, products))
    if metric == "dot_product":
        return -dot, gamma(n + 2) * magnitude
    xx, qq = math.fsum(a * a for a in x), math.fsum(b * b for b in q)
    if xx == 0 and qq == 0:
        return zero_cosine, 0.0
    if xx == 0 or qq == 0:
        return 1.0, U
    norms = math.sqrt(xx * qq)
    cos = dot / norms
    return max(0.0, 1.0 - cos), (gamma(n + 4) * (magnitude / norms + abs(cos))
                                 + 2.0 ** -19 * abs(cos) + U)


def check_hits(hits, passing, ref, k, exact, max_distance, relax=()):
    """Why `hits` is not an answer the model allows, or None."""
    ids = [h.id for h in hits]
    ds = [h.distance for h in hits]
    if len(set(ids)) != len(ids):
        return f"an id is returned twice: {ids}"
    for i, d in zip(ids, ds):
        if i not in passing:
            return f"{i!r} is returned but is not live or does not pass the filter"
        want, tol = ref[i]
        if "distance" not in relax and not abs(d - want) <= tol:
            return f"{i!r} at distance {d!r}, the model's is {want!r} ± {tol:.3g}"
    if any(not ds[j] <= ds[j + 1] for j in range(len(ds) - 1)):
        return f"distances are not ascending: {ds}"
    if max_distance is not None and any(not d <= max_distance for d in ds):
        return f"a distance beyond max_distance {max_distance!r}: {ds}"
    want = min(k, len(passing))
    if max_distance is None and len(hits) != want and not ("count" in relax and len(hits) < want):
        return f"{len(hits)} hits, expected min(k={k}, matching={len(passing)}) = {want}"
    if exact and "rank" not in relax:
        bound = ds[-1] if hits and len(hits) == k else (
            max_distance if max_distance is not None and len(hits) < want else None)
        if bound is not None:
            for r in sorted(passing - set(ids)):
                if ref[r][0] + ref[r][1] < bound:
                    return (f"{r!r} (model distance {ref[r][0]!r}) is left out although closer "
                            f"than {bound!r}")
    return None


def tolerated(fault):
    if fault in TOLERATE:
        NOTED[fault] += 1
        return True
    return False


# ---- Strategies -----------------------------------------------------------------------------

ids = st.sampled_from(IDS)
# A vector: offsets from the collection's centre in units of a quarter of its spread, a zero
# vector, or a copy of a stored one; `bad` changes its length.
vectors = st.one_of(
    st.tuples(st.just("at"), st.lists(st.integers(-8, 8), min_size=MAX_DIM, max_size=MAX_DIM)),
    st.just(("zero",)),
    st.tuples(st.just("copy"), ids))
bad_dim = st.sampled_from([0] * 12 + [-1, 1])
metadata = st.one_of(st.none(), st.dictionaries(st.sampled_from(FIELDS),
                                                st.sampled_from(VALUES), max_size=3))
operands = st.sampled_from(SCALARS + [float("nan")])
op_entries = st.one_of(
    st.tuples(st.just("$ne"), operands),
    st.tuples(st.just("$in"), st.lists(operands, max_size=3)),
    st.tuples(st.sampled_from(["$gt", "$gte", "$lt", "$lte"]), st.sampled_from(BOUNDS)))
filters = st.one_of(
    st.none(),
    st.dictionaries(st.sampled_from(FIELDS),
                    st.one_of(operands, st.lists(op_entries, max_size=2).map(dict)),
                    max_size=2))
limits = st.sampled_from([None, 0, "boundary", "above", 2**64 - 1])


class Collection(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="quarn-model-")
        self.path = os.path.join(self.dir, "c")
        self.records = {}  # id -> (vector, metadata)
        self.limit = None
        self.db = None

    def teardown(self):
        self.db = None
        gc.collect()
        shutil.rmtree(self.dir, ignore_errors=True)

    @initialize(metric=st.sampled_from(["cosine", "euclidean", "dot_product"]),
                dim=st.integers(1, MAX_DIM),
                centre=st.sampled_from([0.0, 1.0, -30.0, 1000.0, 20000.0]),
                spread=st.sampled_from([1.0, 0.1, 0.001]),
                m=st.sampled_from([16, 2, 4]), ef_construction=st.sampled_from([200, 1, 8]),
                quantize=st.booleans(), limit=limits)
    def setup(self, metric, dim, centre, spread, m, ef_construction, quantize, limit):
        self.metric, self.dim, self.centre, self.spread = metric, dim, centre, spread
        self.db = Database(self.path, dim, metric=metric, m=m, ef_construction=ef_construction,
                           quantize=quantize)
        self.set_limit(limit)

    # ---- helpers ----

    def vector(self, spec, bad=0):
        if spec[0] == "zero":
            v = [0.0] * self.dim
        elif spec[0] == "copy" and spec[1] in self.records:
            v = list(self.records[spec[1]][0])
        else:
            offsets = spec[1] if spec[0] == "at" else [0] * MAX_DIM
            v = f32([self.centre + self.spread * j / 4 for j in offsets[:self.dim]])
        return v[:self.dim - 1] if bad < 0 else v + [0.5] * bad

    def call(self, fn):
        try:
            return ("ok", fn())
        except (ValueError, TypeError, OverflowError) as e:
            return ("error", type(e).__name__, str(e))

    def expect(self, got, want, what):
        assert got == want, f"{what}: the engine gave {got!r}, the model {want!r}"

    def mismatch(self, n):
        return ("error", "ValueError", f"dimension mismatch: expected {self.dim}, got {n}")

    def exact(self):
        limit = DEFAULT_LIMIT if self.limit is None else self.limit
        return len(self.records) * self.dim < limit

    def set_limit(self, limit):
        if limit == "boundary":
            limit = len(self.records) * self.dim
        elif limit == "above":
            limit = len(self.records) * self.dim + 1
        self.db.set_exact_scan_limit(limit)
        self.limit = limit

    # ---- mutations ----

    @rule(i=ids, v=vectors, bad=bad_dim, md=metadata, upsert=st.booleans())
    def put(self, i, v, bad, md, upsert):
        vec = self.vector(v, bad)
        got = self.call(lambda: (self.db.upsert if upsert else self.db.add)(i, vec, md))
        if len(vec) != self.dim:
            want = self.mismatch(len(vec))
        elif i in self.records and not upsert:
            want = ("error", "ValueError", f"id '{i}' already exists, use upsert instead")
        else:
            want = ("ok", None)
            self.records[i] = (vec, stored(md))
        self.expect(got, want, "upsert" if upsert else "add")

    @rule(i=ids, v=st.one_of(st.none(), vectors), bad=bad_dim, md=metadata)
    def update(self, i, v, bad, md):
        vec = None if v is None else self.vector(v, bad)
        got = self.call(lambda: self.db.update(i, vec, md))
        if i not in self.records:
            want = ("error", "ValueError", f"id '{i}' not found")
        elif vec is not None and len(vec) != self.dim:
            want = self.mismatch(len(vec))
        else:
            want = ("ok", None)
            old_vec, old_md = self.records[i]
            self.records[i] = (old_vec if vec is None else vec,
                               old_md if md is None else stored(md))
        self.expect(got, want, "update")

    @rule(i=ids)
    def delete(self, i):
        self.expect(self.call(lambda: self.db.delete(i)), ("ok", i in self.records), "delete")
        self.records.pop(i, None)

    @rule(names=st.lists(ids, max_size=5))
    def delete_many(self, names):
        want = ("ok", len(set(names) & self.records.keys()))
        self.expect(self.call(lambda: self.db.delete_many(names)), want, "delete_many")
        for i in names:
            self.records.pop(i, None)

    @rule(batch=st.lists(st.tuples(ids, vectors, bad_dim, metadata), max_size=5),
          upsert=st.booleans(), with_metadata=st.booleans())
    def put_many(self, batch, upsert, with_metadata):
        names = [i for i, _, _, _ in batch]
        vecs = [self.vector(v, bad) for _, v, bad, _ in batch]
        mds = [md for _, _, _, md in batch] if with_metadata else None
        fn = self.db.upsert_many if upsert else self.db.add_many
        got = self.call(lambda: fn(names, vecs, mds))
        wrong = [len(v) for v in vecs if len(v) != self.dim]
        seen, dup = set(), None
        for i in names:
            if dup is None and not upsert and (i in self.records or i in seen):
                dup = i
            seen.add(i)
        if wrong:
            want = self.mismatch(wrong[0])
        elif dup is not None:
            want = ("error", "ValueError", f"id '{dup}' already exists, use upsert instead")
        else:
            want = ("ok", None)
            for j, i in enumerate(names):
                self.records[i] = (vecs[j], stored(mds[j]) if mds else None)
        self.expect(got, want, "upsert_many" if upsert else "add_many")

    @rule()
    def compact(self):
        self.db.compact()

    @rule()
    def save(self):
        self.db.save()

    @rule()
    def reopen(self):
        self.db = None
        gc.collect()
        # Also a collection that was never saved: its log is the only copy, and opening it with
        # its shape replays it.
        self.db = Database(self.path, self.dim, metric=self.metric)
        self.expect(self.db.exact_scan_limit, DEFAULT_LIMIT if self.limit is None else self.limit,
                    "exact_scan_limit after reopen")

    @rule(limit=limits)
    def limit(self, limit):
        self.set_limit(limit)

    @rule(on=st.booleans())
    def quantized(self, on):
        (self.db.enable_quantized_search if on else self.db.disable_quantized_search)()

    # ---- reads ----

    @rule(i=ids)
    def get(self, i):
        got = self.call(lambda: self.db.get(i))
        if i not in self.records:
            self.expect(got, ("error", "ValueError", f"id '{i}' not found"), "get")
            return
        vec, md = self.records[i]
        assert got[0] == "ok" and got[1][0] == vec, f"get {i!r}: {got!r}, the model {vec!r}"
        assert json_equal(got[1][1], md), f"get {i!r}: metadata {got[1][1]!r}, the model {md!r}"

    @rule(where=filters)
    def count(self, where):
        got = self.call(lambda: self.db.count(where))
        want = sum(matches(where, md) for _, md in self.records.values()) if where is not None \
            else len(self.records)
        if got != ("ok", want) and has_big_operand(where) and got == (
                "ok", sum(matches(where, md, False) for _, md in self.records.values())) \
                and tolerated("big-int"):
            return
        self.expect(got, ("ok", want), f"count({where!r})")

    def answer(self, query, hits, k, where, max_distance, exact):
        """Checks one query's hits; a failure that a tolerated known fault explains is noted."""
        if len(query) != self.dim:
            return
        variants = [(True, (), 0.0)]
        if has_big_operand(where) and "big-int" in TOLERATE:
            variants.append((False, (), 0.0))
        if exact and self.metric == "euclidean" and "exact-l2" in TOLERATE:
            variants += [(s, ("distance", "rank"), z) for s, _, z in list(variants)]
        if exact and self.metric == "cosine" and "zero-cosine" in TOLERATE:
            variants += [(s, r, 1.0) for s, r, _ in list(variants)]
        if not exact and where is None and "graph-short" in TOLERATE:
            variants.append((True, ("count",), 0.0))
        first = None
        for sound, relax, zero in variants:
            ref = {i: reference(self.metric, vec, query, zero)
                   for i, (vec, _) in self.records.items()}
            passing = {i for i, (_, md) in self.records.items()
                       if where is None or matches(where, md, sound)}
            why = check_hits(hits, passing, ref, k, exact, max_distance, relax)
            if why is None:
                if not sound:
                    tolerated("big-int")
                if relax == ("count",):
                    tolerated("graph-short")
                elif relax:
                    tolerated("exact-l2")
                if zero:
                    tolerated("zero-cosine")
                return
            first = first or why
        ref = {i: reference(self.metric, vec, query) for i, (vec, _) in self.records.items()}
        closest = sorted(((ref[i][0], i) for i in ref if where is None
                          or matches(where, self.records[i][1])))[:k + 2]
        raise AssertionError(
            f"{'exact' if exact else 'graph'} search, k={k}, filter={where!r}, "
            f"max_distance={max_distance!r}: {first}\n  hits: "
            f"{[(h.id, h.distance) for h in hits]}\n  model: {closest}")

    @rule(q=vectors, bad=bad_dim, k=st.integers(1, 12),
          ef=st.one_of(st.none(), st.integers(1, 20)), where=filters,
          cut=st.one_of(st.none(), st.tuples(ids, st.sampled_from([0.0, 1e-3, -1e-3]))))
    def search(self, q, bad, k, ef, where, cut):
        query = self.vector(q, bad)
        max_distance = None
        if cut is not None and cut[0] in self.records and len(query) == self.dim:
            d = reference(self.metric, self.records[cut[0]][0], query)[0]
            max_distance = f32([d + cut[1] * abs(d)])[0]
        got = self.call(lambda: self.db.search(query, k=k, ef_search=ef, where_filter=where,
                                               max_distance=max_distance))
        if len(query) != self.dim:
            self.expect(got, self.mismatch(len(query)), "search")
            return
        assert got[0] == "ok", f"search: {got!r}"
        exact = self.exact()
        self.answer(query, got[1], k, where, max_distance, exact)
        if exact and max_distance is None:
            many = self.db.search_many([query], k=k, ef_search=ef, where_filter=where)
            assert [(h.id, h.distance) for h in many[0]] == [(h.id, h.distance) for h in got[1]], \
                "search_many differs from search on the exact path"

    @rule(qs=st.lists(st.tuples(vectors, bad_dim), max_size=4), k=st.integers(1, 12),
          ef=st.one_of(st.none(), st.integers(1, 20)), where=filters)
    def search_many(self, qs, k, ef, where):
        queries = [self.vector(q, bad) for q, bad in qs]
        got = self.call(lambda: self.db.search_many(queries, k=k, ef_search=ef,
                                                    where_filter=where))
        wrong = [len(q) for q in queries if len(q) != self.dim]
        if wrong:
            self.expect(got, self.mismatch(wrong[0]), "search_many")
            return
        assert got[0] == "ok" and len(got[1]) == len(queries), f"search_many: {got!r}"
        for query, hits in zip(queries, got[1]):
            self.answer(query, hits, k, where, None, self.exact())

    @invariant()
    def sizes_and_path(self):
        if self.db is None:
            return
        assert len(self.db) == len(self.records)
        assert self.db.stats()["uses_brute_force"] == self.exact()

    @precondition(lambda self: self.db is not None)
    @rule()
    def ids_agree(self):
        assert sorted(self.db.ids()) == sorted(self.records)

    @precondition(lambda self: self.db is not None)
    @rule()
    def verify(self):
        report = self.db.verify()
        assert report["ok"] and report["live"] == len(self.records), report


def test_database_against_its_model():
    options = dict(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
                   suppress_health_check=list(HealthCheck), database=None)
    machine = Collection
    if SEED is None:
        options["derandomize"] = True
    else:
        machine = hypothesis.seed(int(SEED))(type("SeededCollection", (Collection,), {}))
        # A directory of failing examples: the next run resumes shrinking where this one gave up.
        if os.environ.get("MODEL_DB"):
            options["database"] = DirectoryBasedExampleDatabase(os.environ["MODEL_DB"])
    try:
        run_state_machine_as_test(machine, settings=settings(**options))
    finally:
        if NOTED:
            print(f"\nknown faults noted (MODEL_TOLERATE): {dict(NOTED)}")
