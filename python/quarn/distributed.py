"""Sharded collections across the workers of a Dask distributed cluster.

A `ShardedCollection` spreads one collection over N shards. Each shard is an ordinary quarn
`Database` in a directory on its worker's local disk (``root/name/shard-<i>``), owned by a Dask
actor pinned to that worker, so the vectors stay resident between calls. Ids are routed to
shards by a stable hash of their UTF-8 bytes; searches fan out to every shard with the same
arguments and the per-shard top-k lists are merged into one.

Placement is recorded by worker *name* in ``root/name/manifest.json`` on every worker that holds
a shard, so opening the collection again on the same cluster finds each shard where it was,
even after a worker process restarted under a new address. Give workers stable names
(``dask-worker --name ...``; a LocalCluster numbers them) for this to hold.

Dask distributed is imported here, not by ``import quarn``: the rest of the package does not
need it.
"""
from __future__ import annotations

import fcntl
import hashlib
import json
import os
import time
import uuid
from typing import NamedTuple

import numpy as np

try:
    from distributed import Client
except ImportError as error:  # pragma: no cover - depends on the interpreter
    raise ImportError(f"quarn.distributed needs Dask distributed, which failed to import: "
                      f"{error}") from error

from quarn import Database

__all__ = ["ShardedCollection", "SearchHit", "ShardUnavailableError"]

MANIFEST = "manifest.json"
# Recorded in the manifest: a collection written with one routing rule must never be read
# with another, or ids would be looked up in the wrong shard.
ROUTING = "blake2b-64-le-mod"
# How long a shard actor waits for the previous owner of its directory to let go (an actor
# released when its ShardedCollection was dropped goes away asynchronously).
LOCK_WAIT_SECONDS = 5.0
# How often a waiting call looks at whether the shards it waits for are still alive.
POLL_SECONDS = 0.1
_ABANDONED = object()  # a wait given up because a shard was lost meanwhile


class ShardUnavailableError(RuntimeError):
    """A shard cannot be reached: its worker died or left the cluster.

    `shards` lists the shard numbers concerned and `workers` the names of their workers. Open
    the collection again once the workers are back: each shard recovers from its own files.
    """

    def __init__(self, message, shards, workers):
        super().__init__(message)
        self.shards = list(shards)
        self.workers = list(workers)


class SearchHit(NamedTuple):
    """One hit of a sharded search: `.id`, `.distance` and `.metadata`, as `quarn.SearchResult`
    has (which cannot be built outside a `Database`). Also a tuple (id, distance, metadata)."""

    id: str
    distance: float
    metadata: dict | None

    def __repr__(self):
        return f"SearchHit(id='{self.id}', distance={self.distance:.4f})"


def route(ids, shards):
    """The shard of each id: a stable 64-bit hash of its UTF-8 bytes modulo `shards`.

    Stable across processes and Python versions (unlike the salted built-in `hash`), so a
    reopened collection finds every id where it was written. Returns an int64 array.
    """
    digests = b"".join(hashlib.blake2b(i.encode("utf-8"), digest_size=8).digest() for i in ids)
    return (np.frombuffer(digests, dtype="<u8") % np.uint64(shards)).astype(np.int64)


# --- On the workers ---------------------------------------------------------------------------

def _read_manifest(root, name):
    """Run on each worker: the manifest text of `name` under `root`, or None."""
    try:
        with open(os.path.join(root, name, MANIFEST), encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return None


def _write_manifest(root, name, text):
    """Run on each worker that holds a shard: write the manifest by temp file and rename."""
    folder = os.path.join(root, name)
    os.makedirs(folder, exist_ok=True)
    # Workers may share a disk (a LocalCluster does): each writes a temporary file of its own.
    tmp = os.path.join(folder, f"{MANIFEST}.{os.getpid()}.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, os.path.join(folder, MANIFEST))


def _lock(path):
    """An exclusive lock on `path`, held while the returned file stays open. Two owners of one
    shard directory would both append to its log and corrupt it."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    f = open(path, "a+b")  # noqa: SIM115 - kept open as the lock
    deadline = time.monotonic() + LOCK_WAIT_SECONDS
    while True:
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            return f
        except BlockingIOError:
            if time.monotonic() >= deadline:
                f.close()
                raise RuntimeError(f"shard directory '{path[:-len('.lock')]}' is open in another "
                                   "ShardedCollection; close() that one first") from None
            time.sleep(0.05)


class ShardActor:
    """One shard: a `Database` kept open in a worker process. Created through Dask as an actor
    pinned to its worker; its methods run in the worker's actor thread, one call at a time.

    Search results leave the worker in columns (ids, distances, metadata, counts per query) so
    that no `SearchResult` needs to be pickled.
    """

    def __init__(self, path, dim, metric, options):
        self._lock = _lock(path + ".lock")
        try:
            if dim is None:
                self.db = Database(path)
            else:
                self.db = Database(path, dim, metric=metric, **options)
                if (self.db.dim, self.db.metric) != (dim, metric):
                    raise ValueError(f"'{path}' already holds a collection of dimension "
                                     f"{self.db.dim} and metric '{self.db.metric}'")
                # A collection is recovered from its log only once it has been saved, so save
                # the empty shard now: from here on every acknowledged write survives a crash.
                self.db.save()
        except BaseException:
            self._lock.close()
            raise

    def info(self):
        return self.db.dim, self.db.metric

    def add_many(self, ids, vectors, metadatas):
        self.db.add_many(ids, vectors, metadatas)

    def upsert_many(self, ids, vectors, metadatas):
        self.db.upsert_many(ids, vectors, metadatas)

    def first_present(self, ids):
        return next((i for i in ids if i in self.db), None)

    def delete_many(self, ids):
        return self.db.delete_many(ids)

    def get(self, id):  # noqa: A002 - the name of the Database method
        return self.db.get(id)

    def contains(self, id):  # noqa: A002
        return id in self.db

    def count(self, where_filter):
        return self.db.count(where_filter=where_filter)

    def search_many(self, vectors, k, ef_search, where_filter, max_distance):
        found = self.db.search_many(vectors, k=k, ef_search=ef_search,
                                    where_filter=where_filter, max_distance=max_distance)
        counts = np.fromiter(map(len, found), dtype=np.int64, count=len(found))
        hits = [hit for hits in found for hit in hits]
        distances = np.fromiter((hit.distance for hit in hits), dtype=np.float32,
                                count=len(hits))
        return counts, [hit.id for hit in hits], distances, [hit.metadata for hit in hits]

    def save(self):
        self.db.save()

    def compact(self):
        self.db.compact()

    def reorder(self):
        self.db.reorder()

    def stats(self):
        return self.db.stats()

    def length(self):
        return len(self.db)

    def close(self):
        """Drop the Database (unsaved changes stay in its log) and free the directory."""
        self.db = None
        self._lock.close()


# --- On the client ----------------------------------------------------------------------------

class ShardedCollection:
    """A collection split into shards held by the workers of a Dask cluster.

    ShardedCollection(client, name, dim=None, metric=None, *, root, shards=None, m=None,
                      ef_construction=None, quantize=False)

    `client` is a `distributed.Client`. `root` is an absolute directory on the workers' local
    disks; shard i lives in ``root/name/shard-i`` on the worker that holds it. With `dim` a new
    collection is created (one shard per worker unless `shards` says otherwise) when `root`
    holds none of this name on any worker; otherwise, as `quarn.Database` does, the stored
    collection is opened and its dimension, metric and shard count win. Without `dim` the
    collection must exist.

    Every call either succeeds on every shard or raises: a shard whose worker is gone raises
    `ShardUnavailableError` naming it, never a partial answer. A batch write that fails on one
    shard may have been applied on others (each shard's part is atomic, the batch is not);
    `upsert_many` can be retried. Search results are `SearchHit`s. Dropping the object or
    `close()` releases the shards without saving: as with `Database`, each shard's log keeps
    every acknowledged change for the next open. A `with` block saves and closes.

    Dask sends actor calls through the scheduler unless the client was made with
    `direct_to_workers=True`, which sends query vectors and answers straight to the workers.
    """

    def __init__(self, client, name, dim=None, metric=None, *, root, shards=None, m=None,
                 ef_construction=None, quantize=False):
        if not isinstance(client, Client):
            raise TypeError("client must be a distributed.Client")
        if not isinstance(name, str) or name in ("", ".", "..") or "/" in name or "\0" in name:
            raise ValueError("name must be a non-empty directory name")
        if not isinstance(root, str) or not os.path.isabs(root):
            raise ValueError("root must be an absolute path (every worker resolves it)")
        if shards is not None and (not isinstance(shards, int) or shards < 1):
            raise ValueError("shards must be a positive int")
        self._client = client
        self.name = name
        self.root = root
        self._actors = []
        self._futures = []
        self._workers = []  # (worker name, address) per shard

        manifest = self._find_manifest()
        if manifest is None and dim is None:
            raise ValueError(f"sharded collection '{name}' not found under '{root}' on any "
                             "worker — specify dim to create a new one")
        try:
            if manifest is None:
                options = {"m": m, "ef_construction": ef_construction, "quantize": quantize}
                self._create(dim, metric, shards, options)
            else:
                self._open(manifest)
        except BaseException:
            self.close()  # no shard stays locked by a collection that failed to open
            raise

    # -- construction --

    def _alive(self):
        """Worker name -> address of every worker the scheduler knows now."""
        workers = self._client.scheduler_info()["workers"]
        return {str(info["name"]): address for address, info in workers.items()}

    def _find_manifest(self):
        texts = {t for t in self._client.run(_read_manifest, self.root, self.name).values()
                 if t is not None}
        if not texts:
            return None
        manifests = [json.loads(t) for t in texts]
        if any(m != manifests[0] for m in manifests):
            raise ValueError(f"the workers hold different manifests for '{self.name}' under "
                             f"'{self.root}'")
        manifest = manifests[0]
        if manifest.get("routing") != ROUTING:
            raise ValueError(f"'{self.name}' routes ids by '{manifest.get('routing')}', which "
                             "this version cannot read")
        return manifest

    def _shard_path(self, shard):
        return os.path.join(self.root, self.name, f"shard-{shard}")

    def _create(self, dim, metric, shards, options):
        alive = self._alive()
        if not alive:
            raise ValueError("the cluster has no workers")
        names = sorted(alive)
        count = shards if shards is not None else len(names)
        placement = [names[i % len(names)] for i in range(count)]
        metric_name = _canonical_metric(metric)
        self._start([(w, alive[w]) for w in placement], dim, metric_name, options)
        self.dim, self.metric = dim, metric_name
        # The manifest goes last: a creation that failed part-way leaves no collection behind
        # that could be opened with shards missing.
        text = json.dumps({"format": 1, "routing": ROUTING, "dim": dim, "metric": metric_name,
                           "shards": [{"worker": w} for w in placement]}, indent=1)
        holders = sorted({alive[w] for w in placement})
        self._client.run(_write_manifest, self.root, self.name, text, workers=holders)

    def _open(self, manifest):
        alive = self._alive()
        placement = [entry["worker"] for entry in manifest["shards"]]
        missing = [i for i, w in enumerate(placement) if w not in alive]
        if missing:
            raise _unavailable(self.name, missing, [placement[i] for i in missing],
                               "is not in the cluster")
        self._start([(w, alive[w]) for w in placement], None, None, {})
        infos = self._call("info")
        if any(info != infos[0] for info in infos):
            raise ValueError(f"the shards of '{self.name}' disagree on dimension or metric")
        self.dim, self.metric = infos[0]

    def _start(self, workers, dim, metric, options):
        token = uuid.uuid4().hex[:8]
        futures = [
            self._client.submit(ShardActor, self._shard_path(i), dim, metric, options,
                                key=f"quarn-shard-{self.name}-{i}-{token}", actor=True,
                                workers=[address], allow_other_workers=False, pure=False)
            for i, (_, address) in enumerate(workers)
        ]
        self._futures, self._workers = futures, list(workers)
        for i, future in enumerate(futures):
            try:
                self._actors.append(future.result())
            except Exception as error:
                _note(error, self.name, i, workers[i][0])
                raise

    # -- calling the shards --

    def _call(self, method, per_shard=None, shards=None):
        """Call `method` on the given shards (all by default), each with its own arguments
        from `per_shard` (a list of tuples, one per shard called) or none; the results in
        shard order. Raises ShardUnavailableError if any of them is or becomes unreachable,
        otherwise the first shard error in shard order."""
        if not self._actors:
            raise ValueError(f"sharded collection '{self.name}' is closed")
        shards = range(len(self._actors)) if shards is None else shards
        self._check(shards)
        pending, results, errors, lost = [], [], [], []
        for n, shard in enumerate(shards):
            args = per_shard[n] if per_shard is not None else ()
            try:
                pending.append((shard, getattr(self._actors[shard], method)(*args)))
            except ValueError:  # the actor proxy saw its worker lost since the check above
                if not self._dead([shard]):
                    raise
                lost.append(shard)
        for shard, call in pending:
            outcome = self._wait(call, shards)
            if outcome is _ABANDONED:
                break  # a shard died: the call fails whatever the others answer
            if isinstance(outcome, OSError):
                lost.append(shard)
            elif isinstance(outcome, Exception):
                errors.append((shard, outcome))
            else:
                results.append(outcome[0])
        dead = sorted(set(lost) | set(self._dead(shards)))
        if dead:
            raise self._unavailable(dead)
        if errors:
            shard, error = errors[0]
            _note(error, self.name, shard, self._workers[shard][0])
            raise error
        return results

    def _wait(self, call, shards):
        """(result,) of an actor call, or the exception it raised. A call into a worker that
        died may never finish, so while waiting, watch the liveness of `shards` instead of
        trusting a connection to time out: if one of them is lost, give up the wait and
        return _ABANDONED."""
        while not call.done():
            try:
                call.result(timeout=POLL_SECONDS)
            except Exception:  # noqa: BLE001 - a timeout, or the call's error: read below
                if not call.done() and self._dead(shards):
                    return _ABANDONED
        try:
            return (call.result(),)
        except Exception as error:  # noqa: BLE001 - handed back to the caller
            return error

    def _dead(self, shards):
        return [s for s in shards if self._futures[s].status != "finished"]

    def _check(self, shards):
        dead = self._dead(shards)
        if dead:
            raise self._unavailable(dead)

    def _unavailable(self, shards):
        return _unavailable(self.name, shards, [self._workers[s][0] for s in shards],
                            "is gone")

    # -- writes --

    def _split(self, ids, vectors, metadatas):
        """Validate a batch and cut it into per-shard (ids, vectors, metadatas) parts; shards
        that receive nothing are left out. Everything a shard could refuse about the form of
        the batch is checked here, before any shard changes."""
        ids = _id_list(ids)
        try:
            vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        except (TypeError, ValueError) as error:
            raise ValueError(f"vectors must be a 2-D array or a list of equal-length vectors: "
                             f"{error}") from None
        if vectors.ndim == 1 and vectors.size == 0:
            vectors = vectors.reshape(0, self.dim)
        if vectors.ndim != 2:
            raise ValueError("vectors must be a 2-D array or a list of equal-length vectors")
        if len(ids) != len(vectors):
            raise ValueError(f"ids length ({len(ids)}) != vectors length ({len(vectors)})")
        if vectors.shape[1] != self.dim:
            raise ValueError(f"dimension mismatch: expected {self.dim}, got {vectors.shape[1]}")
        if metadatas is not None:
            if not isinstance(metadatas, list) or not all(
                    m is None or isinstance(m, dict) for m in metadatas):
                raise ValueError("metadatas must be list of dicts or None")
            if len(metadatas) != len(ids):
                raise ValueError(f"metadatas length ({len(metadatas)}) != ids length "
                                 f"({len(ids)})")
            for m in metadatas:
                if m is not None:
                    json.dumps(m, allow_nan=False)  # what the shard would refuse, refused now
        shard_of = route(ids, len(self._actors))
        order = np.argsort(shard_of, kind="stable")
        bounds = np.searchsorted(shard_of[order], np.arange(len(self._actors) + 1))
        parts, shards = [], []
        for shard in range(len(self._actors)):
            rows = order[bounds[shard]:bounds[shard + 1]]
            if len(rows) == 0:
                continue
            picked = rows.tolist()
            parts.append(([ids[r] for r in picked], vectors[rows],
                          None if metadatas is None else [metadatas[r] for r in picked]))
            shards.append(shard)
        return parts, shards

    def add_many(self, ids, vectors, metadatas=None):
        """Add new vectors; refuses the whole batch, before any shard changes, if an id is
        repeated in it or already stored."""
        parts, shards = self._split(ids, vectors, metadatas)
        seen = set()
        for i in ids:
            if i in seen:
                raise ValueError(f"id '{i}' already exists, use upsert instead")
            seen.add(i)
        present = self._call("first_present", [(part[0],) for part in parts], shards)
        for found in present:
            if found is not None:
                raise ValueError(f"id '{found}' already exists, use upsert instead")
        self._call("add_many", parts, shards)

    def upsert_many(self, ids, vectors, metadatas=None):
        """Insert new vectors and replace existing ones (the last of repeated ids wins)."""
        parts, shards = self._split(ids, vectors, metadatas)
        self._call("upsert_many", parts, shards)

    def delete_many(self, ids):
        """Delete ids; returns how many were stored."""
        ids = _id_list(ids)
        shard_of = route(ids, len(self._actors)).tolist()
        groups = {}
        for i, shard in zip(ids, shard_of):
            groups.setdefault(shard, []).append(i)
        shards = sorted(groups)
        return sum(self._call("delete_many", [(groups[s],) for s in shards], shards))

    # -- reads --

    def _shard_of(self, id):  # noqa: A002
        if not isinstance(id, str):
            raise TypeError("id must be a str")
        return int(route([id], len(self._actors))[0]) if self._actors else 0

    def get(self, id):  # noqa: A002
        """(vector as a list of floats, metadata dict or None); ValueError if absent."""
        shard = self._shard_of(id)
        return self._call("get", [(id,)], [shard])[0]

    def __contains__(self, id):  # noqa: A002
        shard = self._shard_of(id)
        return self._call("contains", [(id,)], [shard])[0]

    def count(self, where_filter=None):
        """Live vectors in all shards, or those whose metadata match `where_filter`."""
        return sum(self._call("count", [(where_filter,)] * len(self._actors)))

    def __len__(self):
        return sum(self._call("length"))

    def search(self, vector, k=10, ef_search=None, where_filter=None, max_distance=None):
        """The k nearest neighbours of one vector over all shards, closest first."""
        query = np.asarray(vector, dtype=np.float32)
        if query.ndim != 1:
            raise ValueError("vector must be one-dimensional")
        return self.search_many(query.reshape(1, -1), k, ef_search, where_filter,
                                max_distance)[0]

    def search_many(self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None):
        """One list of `SearchHit`s per query. Every shard answers every query with the same
        k, ef_search, filter and max_distance; each query's hits are the k closest of all
        shards' answers, equal distances ordered by id."""
        queries = np.ascontiguousarray(vectors, dtype=np.float32)
        if queries.ndim == 1 and queries.size == 0:
            queries = queries.reshape(0, self.dim)
        if queries.ndim != 2:
            raise ValueError("vectors must be a 2-D array or a list of equal-length vectors")
        if queries.shape[1] != self.dim:  # refused here rather than by every shard
            raise ValueError(f"dimension mismatch: expected {self.dim}, got {queries.shape[1]}")
        if not isinstance(k, int) or k < 0:
            raise ValueError("k must be a non-negative int")
        args = (queries, k, ef_search, where_filter, max_distance)
        answers = self._call("search_many", [args] * len(self._actors))
        return merge(answers, len(queries), k)

    # -- maintenance --

    def save(self):
        """Save every shard."""
        self._call("save")

    def compact(self):
        """Compact every shard."""
        self._call("compact")

    def reorder(self):
        """Renumber every shard's vectors for locality (see `Database.reorder`)."""
        self._call("reorder")

    def stats(self):
        """{"shards": [each shard's `Database.stats()` with its "shard" number and "worker"
        name], "total": the counts and byte sizes summed, "num_layers" and
        "max_degree_layer0" the largest, "min_degree_layer0" the smallest over non-empty
        shards, "avg_degree_layer0" weighted by vectors, the flags true when true for every
        shard}."""
        per_shard = self._call("stats")
        for shard, stats in enumerate(per_shard):
            stats["shard"], stats["worker"] = shard, self._workers[shard][0]
        total = {key: sum(s[key] for s in per_shard) for key in (
            "num_vectors", "num_deleted", "memory_vectors_bytes", "memory_graph_bytes",
            "memory_quantized_bytes")}
        live = [s for s in per_shard if s["num_vectors"] > 0]
        total["num_layers"] = max(s["num_layers"] for s in per_shard)
        total["max_degree_layer0"] = max(s["max_degree_layer0"] for s in per_shard)
        total["min_degree_layer0"] = min((s["min_degree_layer0"] for s in live), default=0)
        total["avg_degree_layer0"] = (
            sum(s["avg_degree_layer0"] * s["num_vectors"] for s in live) /
            total["num_vectors"] if total["num_vectors"] else 0.0)
        for flag in ("uses_brute_force", "uses_quantized_search", "uses_compressed_search"):
            total[flag] = all(s[flag] for s in per_shard)
        return {"shards": per_shard, "total": total}

    @property
    def placement(self):
        """[(worker name, worker address)] per shard."""
        return list(self._workers)

    @property
    def num_shards(self):
        return len(self._workers)

    def close(self):
        """Release the shards without saving (their logs keep every acknowledged change).
        Shards whose worker is gone are skipped. The object is unusable afterwards."""
        closing = []
        for shard, actor in enumerate(self._actors):
            try:
                closing.append((shard, actor.close()))
            except ValueError:  # the proxy knows its worker is gone: nothing to release
                pass
        for shard, call in closing:
            self._wait(call, [shard])  # a worker lost meanwhile has nothing left to release
        for future in self._futures:
            future.release()
        self._actors, self._futures = [], []

    def __enter__(self):
        return self

    def __exit__(self, *_):
        try:
            self.save()
        finally:
            self.close()
        return False

    def __repr__(self):
        return (f"ShardedCollection(name='{self.name}', shards={self.num_shards}, "
                f"root='{self.root}')")


def merge(answers, queries, k):
    """Merge per-shard answers (counts per query, ids, float32 distances, metadata; one
    query's hits after the other's) into one list of at most k `SearchHit`s per query,
    ordered by distance and then id."""
    if queries == 0:
        return []
    width = sum(int(counts.max(initial=0)) for counts, *_ in answers)
    if width == 0 or k == 0:
        return [[] for _ in range(queries)]
    distance = np.full((queries, width), np.inf, dtype=np.float32)
    source = np.full((queries, width), -1, dtype=np.int64)  # index into the joined lists
    ids, metadata = [], []
    column = 0
    for counts, shard_ids, shard_distances, shard_metadata in answers:
        rows = np.repeat(np.arange(queries), counts)
        starts = np.cumsum(counts) - counts
        columns = column + np.arange(len(shard_ids)) - np.repeat(starts, counts)
        distance[rows, columns] = shard_distances
        source[rows, columns] = len(ids) + np.arange(len(shard_ids))
        ids.extend(shard_ids)
        metadata.extend(shard_metadata)
        column += int(counts.max(initial=0))
    # Sort by distance alone (empty cells are +inf and go last); only rows where two hits at
    # or next to the cut share a distance need their ids compared, which is rare.
    order = np.argsort(distance, axis=1, kind="stable")[:, :k + 1]
    sorted_distance = np.take_along_axis(distance, order, axis=1)
    sorted_source = np.take_along_axis(source, order, axis=1)
    both = (sorted_source[:, :-1] >= 0) & (sorted_source[:, 1:] >= 0)
    tied = np.flatnonzero((both & (sorted_distance[:, :-1] == sorted_distance[:, 1:])).any(1))
    picked = sorted_source[:, :k].tolist()
    distances = sorted_distance[:, :k].tolist()
    for row in tied.tolist():
        cells = [(d, ids[s], s) for d, s in zip(distance[row].tolist(), source[row].tolist())
                 if s >= 0]
        cells.sort()
        picked[row] = [s for _, _, s in cells[:k]]
        distances[row] = [d for d, _, _ in cells[:k]]
    hit = tuple.__new__  # SearchHit(...) costs a Python-level call per hit
    return [[hit(SearchHit, (ids[s], d, metadata[s])) for s, d in zip(row, dist) if s >= 0]
            for row, dist in zip(picked, distances)]


def _id_list(ids):
    ids = None if isinstance(ids, str) else list(ids)
    if ids is None or not all(isinstance(i, str) for i in ids):
        raise TypeError("ids must be a sequence of str")
    return ids


def _canonical_metric(metric):
    aliases = {None: "cosine", "cosine": "cosine", "euclidean": "euclidean", "l2": "euclidean",
               "dot": "dot_product", "dot_product": "dot_product"}
    if not isinstance(metric, (str, type(None))) or metric not in aliases:
        raise ValueError("metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'")
    return aliases[metric]


def _unavailable(name, shards, workers, state):
    which = ", ".join(f"shard {s} (worker '{w}')" for s, w in zip(shards, workers))
    return ShardUnavailableError(
        f"sharded collection '{name}': {which} unavailable: the worker {state}; open the "
        "collection again once it is back", shards, workers)


def _note(error, name, shard, worker):
    if hasattr(error, "add_note"):
        error.add_note(f"raised by shard {shard} of '{name}' on worker '{worker}'")

