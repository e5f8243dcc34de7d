"""ShardedCollection on a LocalCluster of two worker processes, against one in-process
Database holding the same data. The workers inherit this interpreter's environment, so they
import the same quarn package as the tests (from PYTHONPATH or an installed copy)."""
import faulthandler
import json
import logging
import os
import pathlib
import re
import signal
import sys
import time

import pytest

try:
    import numpy as np
    from distributed import Client, LocalCluster
except ImportError as error:  # Debian builds NumPy and Dask for its CPython 3.11 only
    last_line = str(error).strip().splitlines()[-1] if str(error).strip() else repr(error)
    pytest.skip(f"NumPy and Dask distributed do not import under Python "
                f"{sys.version_info.major}.{sys.version_info.minor} ({last_line})",
                allow_module_level=True)

import quarn.distributed as qd
from quarn import Database, Where
from quarn.distributed import SearchHit, ShardedCollection, ShardUnavailableError

# The whole module must end within this; a hang dumps every thread's stack and ends the run
# rather than stalling CI.
DEADLINE_SECONDS = 240
WAIT_SECONDS = 60  # for the cluster to notice a killed worker, or to restart it


@pytest.fixture(scope="module")
def client():
    faulthandler.dump_traceback_later(DEADLINE_SECONDS, exit=True)
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster, \
                Client(cluster) as c:
            c.wait_for_workers(2, timeout=WAIT_SECONDS)
            yield c
    finally:
        faulthandler.cancel_dump_traceback_later()


def wait_until(condition, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def dataset(n, dim, seed):
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    ids = [f"v{i}" for i in range(n)]
    metas = [{"i": i, "group": i % 3, "even": i % 2 == 0} if i % 10 else None for i in range(n)]
    return ids, vectors, metas


def assert_same_hits(sharded, single):
    assert len(sharded) == len(single)
    for got, want in zip(sharded, single):
        # One collection orders equal distances by slot, the merge by id.
        want = sorted(want, key=lambda h: (h.distance, h.id))
        assert [h.id for h in got] == [h.id for h in want]
        # OpenBLAS may round a row of the exact scan's matrix product one ulp differently
        # when it sits at another position of a smaller matrix; cosine then divides by norms.
        assert [h.distance for h in got] == pytest.approx([h.distance for h in want], rel=1e-6,
                                                                     abs=1e-6)
        assert [h.metadata for h in got] == [h.metadata for h in want]


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot_product"])
def test_exact_path_matches_single_process(client, tmp_path, metric):
    ids, vectors, metas = dataset(1200, 12, seed=1)
    single = Database(str(tmp_path / "single"), 12, metric=metric)
    single.add_many(ids, vectors, metas)
    sharded = ShardedCollection(client, "c", 12, metric=metric, shards=3, root=str(tmp_path))
    sharded.add_many(ids[:700], vectors[:700], metas[:700])
    sharded.upsert_many(ids[600:], vectors[600:], metas[600:])
    queries = np.random.default_rng(2).standard_normal((40, 12)).astype(np.float32)

    cases = [{}, {"k": 1}, {"k": 300}, {"k": 0}, {"where_filter": {"group": 1}},
             {"where_filter": {"i": {"$lt": 100}, "even": True}},
             {"where_filter": {"group": {"$in": [0, 2]}}, "k": 25}, {"where_filter": {}},
             {"where_filter": Where({"$or": [{"group": 1}, {"i": {"$lt": 100}}]})}]
    for options in cases:
        want = single.search_many(queries, **options)
        assert_same_hits(sharded.search_many(queries, **options), want)
        assert_same_hits([sharded.search(queries[3], **options)], [want[3]])
    cut = single.search(queries[0], k=20)[9].distance
    assert_same_hits([sharded.search(queries[0], k=20, max_distance=cut)],
                     [single.search(queries[0], k=20, max_distance=cut)])
    assert sharded.search_many(np.zeros((0, 12), np.float32)) == []

    for where in [None, {"group": 2}, {"even": False, "i": {"$gte": 500}}, {"nothing": 1},
                  Where({"$not": {"group": 2}, "even": {"$exists": True}})]:
        assert sharded.count(where) == single.count(where)
    assert len(sharded) == len(single) == 1200
    assert sharded.get("v17") == single.get("v17") and "v17" in sharded
    assert "v-none" not in sharded
    with pytest.raises(ValueError, match="id 'v-none' not found"):
        sharded.get("v-none")

    assert sharded.delete_many(["v1", "v2", "v-none", "v1"]) == single.delete_many(
        ["v1", "v2", "v-none", "v1"]) == 2
    stats = sharded.stats()
    assert [s["shard"] for s in stats["shards"]] == [0, 1, 2]
    assert stats["total"]["num_vectors"] == 1198 and stats["total"]["num_deleted"] == 2
    assert stats["total"]["uses_brute_force"] is True
    sharded.compact()
    assert sharded.stats()["total"]["num_deleted"] == 0
    assert_same_hits(sharded.search_many(queries), single.search_many(queries))
    sharded.reorder()
    assert_same_hits(sharded.search_many(queries), single.search_many(queries))
    sharded.close()


def test_equal_distances_are_ordered_by_id(client, tmp_path):
    # Twelve copies of one vector land on different shards; the hits come back by id.
    names = [f"t{i:02d}" for i in range(12)]
    assert len(set(qd.route(names, 4).tolist())) > 1
    with ShardedCollection(client, "ties", 3, metric="l2", shards=4, root=str(tmp_path)) as c:
        c.upsert_many(names[::-1], np.ones((12, 3), np.float32))
        for _ in range(2):
            hits = c.search([1.0, 1.0, 1.0], k=5)
            assert [h.id for h in hits] == names[:5]
            assert all(h == SearchHit(h.id, 0.0, None) for h in hits)
        assert repr(hits[0]) == "SearchHit(id='t00', distance=0.0000)"
        assert c.search_many(np.ones((2, 3), np.float32), k=0) == [[], []]


def test_graph_path_recall_matches_single_process(client, tmp_path):
    # Every shard must hold more than the exact scan's limit (count x dim = 10,000,000) so
    # that both sides search graphs. Points near a 12-dimensional subspace keep the graph
    # easy to search, as real embeddings are.
    rng = np.random.default_rng(5)
    n, dim, latent = 5600, 4096, 12
    basis = rng.standard_normal((latent, dim)).astype(np.float32)
    vectors = (rng.standard_normal((n, latent)).astype(np.float32) @ basis
               + 0.1 * rng.standard_normal((n, dim)).astype(np.float32))
    ids = [f"p{i}" for i in range(n)]
    queries = rng.standard_normal((200, latent)).astype(np.float32) @ basis
    options = {"m": 5, "ef_construction": 16}  # a rough graph, built fast
    sharded = ShardedCollection(client, "graph", dim, metric="l2", shards=2,
                                root=str(tmp_path), **options)
    sharded.add_many(ids, vectors)
    assert [s["uses_brute_force"] for s in sharded.stats()["shards"]] == [False, False]
    single = Database(str(tmp_path / "single"), dim, metric="l2", **options)
    single.add_many(ids, vectors)

    distances = (queries * queries).sum(1)[:, None] - 2 * queries @ vectors.T \
        + (vectors * vectors).sum(1)[None, :]
    exact = [{ids[j] for j in row} for row in np.argsort(distances, axis=1)[:, :10]]

    def recall(results):
        return np.mean([len(e & {h.id for h in r}) / 10 for e, r in zip(exact, results)])

    single_recall = recall(single.search_many(queries, k=10, ef_search=40))
    sharded_recall = recall(sharded.search_many(queries, k=10, ef_search=40))
    assert single_recall > 0.6  # the comparison below means something
    assert sharded_recall >= single_recall - 0.01
    sharded.close()


def test_bad_batches_change_no_shard(client, tmp_path):
    ids, vectors, _ = dataset(20, 4, seed=3)
    c = ShardedCollection(client, "bad", 4, shards=2, root=str(tmp_path))
    c.add_many(ids[:10], vectors[:10])
    cases = [
        (["n1", "n2", "n1"], vectors[:3], None, ValueError, "id 'n1' already exists"),
        (["n1", "v3"], vectors[:2], None, ValueError, "id 'v3' already exists"),
        (["n1", "n2"], vectors[:2, :3], None, ValueError, "dimension mismatch: expected 4, got 3"),
        (["n1", "n2"], vectors[:1], None, ValueError, r"ids length \(2\) != vectors length"),
        (["n1", "n2"], [[1, 2, 3, 4], [1, 2]], None, ValueError, "equal-length"),
        (["n1", "n2"], vectors[:2], [None], ValueError, r"metadatas length \(1\)"),
        (["n1", "n2"], vectors[:2], [None, 5], ValueError, "list of dicts"),
        (["n1", "n2"], vectors[:2], [None, {"x": float("nan")}], ValueError, "not JSON compliant"),
        (["n1", "n2"], vectors[:2], [None, {"x": {1}}], TypeError, "set"),
        ("n1", vectors[:2], None, TypeError, "sequence of str"),
        (["n1", 2], vectors[:2], None, TypeError, "sequence of str"),
    ]
    for batch_ids, batch_vectors, batch_metas, error, message in cases:
        with pytest.raises(error, match=message):
            c.add_many(batch_ids, batch_vectors, batch_metas)
        assert len(c) == 10 and "n1" not in c
    with pytest.raises(ValueError, match="unknown operator"):
        c.search(vectors[0], where_filter={"i": {"$bad": 1}})
    with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 2"):
        c.search_many([[1.0, 2.0]])
    c.close()
    with pytest.raises(ValueError, match="closed"):
        len(c)


def test_open_errors(client, tmp_path):
    root = str(tmp_path)
    with pytest.raises(ValueError, match="not found .* specify dim"):
        ShardedCollection(client, "missing", root=root)
    for name, kwargs, message in [("x", {"root": "relative"}, "absolute"),
                                  ("a/b", {"root": root}, "directory name"),
                                  ("x", {"root": root, "shards": 0}, "positive"),
                                  ("x", {"root": root, "metric": "L2"}, "metric must be")]:
        with pytest.raises(ValueError, match=message):
            ShardedCollection(client, name, 4, **kwargs)
    # A manifest that places a shard on a worker the cluster does not have.
    (tmp_path / "ghost").mkdir()
    (tmp_path / "ghost" / "manifest.json").write_text(json.dumps(
        {"format": 1, "routing": qd.ROUTING, "dim": 4, "metric": "cosine",
         "shards": [{"worker": "0"}, {"worker": "elsewhere"}]}))
    with pytest.raises(ShardUnavailableError, match="shard 1 .worker 'elsewhere'.") as caught:
        ShardedCollection(client, "ghost", root=root)
    assert caught.value.shards == [1] and caught.value.workers == ["elsewhere"]


def test_shard_directory_has_one_owner(tmp_path, monkeypatch):
    monkeypatch.setattr(qd, "LOCK_WAIT_SECONDS", 0.0)
    path = str(tmp_path / "c" / "shard-0.lock")
    first = qd._lock(path)
    with pytest.raises(RuntimeError, match="open in another ShardedCollection"):
        qd._lock(path)
    first.close()
    qd._lock(path).close()


def test_routing_is_stable(client, tmp_path):
    # Stored collections depend on these exact values: a changed hash would look ids up in
    # the wrong shard.
    assert qd.route(["", "a", "doc1", "img59999", "ü"], 7).tolist() == [5, 4, 4, 6, 3]
    ids, vectors, metas = dataset(300, 6, seed=4)
    with ShardedCollection(client, "stable", 6, shards=5, root=str(tmp_path)) as c:
        c.add_many(ids, vectors, metas)
        placement = [name for name, _ in c.placement]
        layout = [s["num_vectors"] for s in c.stats()["shards"]]
    assert layout == np.bincount(qd.route(ids, 5), minlength=5).tolist()
    reopened = ShardedCollection(client, "stable", 99, shards=2, root=str(tmp_path))
    assert [name for name, _ in reopened.placement] == placement
    assert [s["num_vectors"] for s in reopened.stats()["shards"]] == layout
    assert (reopened.dim, reopened.metric, reopened.num_shards) == (6, "cosine", 5)
    assert all(reopened.get(i)[1] == m for i, m in zip(ids[::7], metas[::7]))
    reopened.close()


def test_killed_worker_fails_calls_and_reopen_recovers(client, tmp_path):
    root = str(tmp_path)
    ids, vectors, metas = dataset(400, 8, seed=6)
    c = ShardedCollection(client, "kill", 8, metric="l2", shards=4, root=root)
    c.add_many(ids[:300], vectors[:300], metas[:300])
    c.save()
    # Acknowledged after the save: only the shards' logs hold these.
    c.add_many(ids[300:], vectors[300:], metas[300:])
    c.upsert_many(["v5"], vectors[:1] * 2, [{"updated": True}])
    c.delete_many(["v6", "v7"])
    want = c.search_many(vectors[:20], k=5)

    victim = c.placement[1][0]
    on_victim = [s for s, (name, _) in enumerate(c.placement) if name == victim]
    address = c.placement[1][1]
    os.kill(client.run(os.getpid, workers=[address])[address], signal.SIGKILL)
    # The very next call fails, whether or not Dask has noticed the loss yet (then it may
    # know of only the shard it tried first).
    with pytest.raises(ShardUnavailableError) as caught:
        c.search_many(vectors[:3])
    assert caught.value.shards and set(caught.value.shards) <= set(on_victim)
    wait_until(lambda: address not in client.scheduler_info()["workers"], "the worker's loss")

    calls = [lambda: c.search(vectors[0]), lambda: c.search_many(vectors[:3]), lambda: len(c),
             lambda: c.count({"group": 1}), lambda: c.upsert_many(ids[:50], vectors[:50]),
             lambda: c.delete_many(ids[:50]), c.save, c.stats]
    for call in calls:
        with pytest.raises(ShardUnavailableError, match=f"worker '{victim}'") as caught:
            call()
        assert caught.value.shards == on_victim
    c.close()

    wait_until(lambda: victim in {str(w["name"]) for w in
                                  client.scheduler_info()["workers"].values()},
               "the worker's restart")
    reopened = ShardedCollection(client, "kill", root=root)
    assert len(reopened) == 398
    assert reopened.get("v5") == ([2.0 * x for x in vectors[0].tolist()], {"updated": True})
    assert "v6" not in reopened and "v399" in reopened
    assert reopened.search_many(vectors[:20], k=5) == want
    reopened.close()
