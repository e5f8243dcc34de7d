"""10,000 calls of each method, failing ones included, leave reference counts and memory flat."""
import gc
import sys
import tracemalloc

import pytest

from quarn import Client, Database, Where

VECTOR = [0.5, 0.25, 0.125]
META = {"lang": "en", "n": 3}
IDS = ["a", "b"]
WHERE = {"lang": {"$in": ["en", "de"]}, "n": {"$gte": 1}}
BAD_WHERE = {"lang": {"$bogus": 1}}
RICH = {"$or": [{"lang": {"$nin": ["fr"]}}, {"n": {"$exists": False}}], "$not": {"t": {"$contains": 1}},
        "n": {"$gt": 0, "$lt": 9}}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def calls(d, client=None, bad_json=None):
    return {
        "add": lambda: d.add("a", VECTOR, META),  # fails: duplicate id
        "add_fresh": lambda: (d.add("fresh", VECTOR, META), d.delete("fresh")),
        "upsert": lambda: d.upsert("a", VECTOR, META),
        "update": lambda: d.update("a", VECTOR, META),
        "add_many": lambda: d.add_many(IDS, [VECTOR, VECTOR], [META, None]),  # duplicate
        "upsert_many": lambda: d.upsert_many(IDS, [VECTOR, VECTOR], [META, None]),
        "search": lambda: d.search(VECTOR, k=2, where_filter=WHERE, max_distance=2.0),
        "search_many": lambda: d.search_many([VECTOR, VECTOR], k=2),
        "get": lambda: d.get("a"),
        "get_missing": lambda: d.get("zz"),
        "delete_many": lambda: d.delete_many(["zz", "yy"]),
        "count": lambda: d.count(WHERE),
        "bad_filter": lambda: d.count(BAD_WHERE),
        "where": lambda: (d.count(Where(RICH)), d.search(VECTOR, k=1, where_filter=Where(RICH)),
                          repr(Where(RICH)), Where(RICH).__reduce__()),
        "where_bad": lambda: Where({"$or": [{"n": 1}, {"n": {"$exists": 2}}]}),
        "ids": lambda: d.ids(),
        "stats": lambda: d.stats(),
        "contains": lambda: "a" in d,
        "len": lambda: len(d),
        "props": lambda: (d.dim, d.metric, d.total_slots, d.deleted_count, d.quantized_search),
        "bad_vector": lambda: d.add("x", "abc"),
        "bad_args": lambda: d.search(VECTOR, 2, None, None, None, 9),
        "bad_meta": lambda: d.add("x", VECTOR, {"v": float("nan")}),
        "result": lambda: [(r.id, r.distance, r.metadata, r[2], repr(r), tuple(r))
                           for r in d.search(VECTOR, k=1)],
        "result_bad_index": lambda: d.search(VECTOR, k=1)[0][7],
        "import_bad": lambda: d.import_json(bad_json),
        "verify": lambda: d.verify(),
        "verify_path_missing": lambda: Database.verify_path(bad_json + ".none"),
        "health": lambda: d.health(),
        "repair": lambda: d.repair(),
        "calibrate": lambda: d.calibrate(0.9),
        "calibrate_bad": lambda: d.calibrate(2.0),
        "recall_curve": lambda: d._recall_curve(2, 1, [10, 20]),
        "get_many": lambda: d.get_many(["b", "a"]),
        "get_many_skip": lambda: d.get_many(["zz", "a"], include=("metadata",), missing="skip"),
        "get_many_missing": lambda: d.get_many(["a", "zz"]),
        "scan": lambda: list(d.scan(WHERE, batch_size=1)),
        "scan_bad": lambda: d.scan(include=("nope",)),
        "delete_where": lambda: d.delete_where({"lang": "xx"}),
        "update_metadata": lambda: d.update_metadata("a", {"lang": "en", "x": None}),
        "update_metadata_missing": lambda: d.update_metadata("zz", META),
        "load": lambda: d.load(IDS, [VECTOR, VECTOR], [META, None]),  # duplicate
        "load_fresh": lambda: (d.load(["fresh"], [VECTOR], progress=lambda *a: None),
                               d.delete("fresh")),
        "reprs": lambda: (repr(d), repr(client)),
        "result_eq": lambda: {*d.search(VECTOR, k=2), *d.search(VECTOR, k=2)},
        "client_list": lambda: client.list_collections(),
        "client_get_missing": lambda: client.get_collection("missing"),
        "client_bad_name": lambda: client.create_collection("a/b", 3),
        "client_bad_metric": lambda: client.get_or_create_collection("c", 3, metric="x"),
    }


def run(f, n):
    for _ in range(n):
        try:
            f()
        except (ValueError, TypeError, OverflowError):
            pass


@pytest.mark.parametrize("name", sorted(calls(None)))
def test_no_leaks(tmp_path, name):
    d = Database(str(tmp_path / "l"), 3)
    d.add_many(IDS, [VECTOR, [0.1, 0.2, 0.3]], [META, None])
    client = Client(str(tmp_path / "root"))
    client.create_collection("saved", 3).save()
    (tmp_path / "bad.json").write_text('{"version":1,"dim":3,"metric":"cosine","vectors":[{')
    # A str made once: pathlib interns path parts, and that churn would show up here.
    f = calls(d, client, str(tmp_path / "bad.json"))[name]
    watched = [VECTOR, META, IDS, WHERE, BAD_WHERE, RICH, d, "a"]
    run(f, 200)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    objects = len(gc.get_objects())
    tracemalloc.start()
    rss = rss_bytes()
    before = tracemalloc.get_traced_memory()[0]
    run(f, 10_000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert len(gc.get_objects()) - objects < 50
    assert grown < 64 * 1024
    # Leaked C++ allocations (strings, vectors) escape tracemalloc but not the RSS.
    assert rss_bytes() - rss < 4 * 1024 * 1024
