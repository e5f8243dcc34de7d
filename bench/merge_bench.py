"""Client-side cost of merging sharded search answers: microseconds per query for S shards,
k = 10, 10,000 queries, ids like "img12345", with and without a small metadata dict; and the
pickled size of one shard's answer per query. Needs no cluster.

    PYTHONPATH=python /usr/bin/python3 bench/merge_bench.py
"""
import pickle
import time

import numpy as np

from quarn.distributed import merge


def answers(shards, queries, k, metadata, rng):
    out = []
    for _ in range(shards):
        ids = [f"img{i}" for i in rng.integers(0, 60000, queries * k).tolist()]
        distances = np.sort(rng.random((queries, k), dtype=np.float32), axis=1).ravel()
        metas = [{"label": 3} if metadata else None for _ in range(queries * k)]
        out.append((np.full(queries, k, np.int64), ids, distances, metas))
    return out


def main():
    rng = np.random.default_rng(0)
    queries, k = 10000, 10
    print(f"{'shards':>6} {'metadata':>8} {'us/query':>9} {'bytes/query/shard':>18}")
    for shards in (2, 4, 8, 16):
        for metadata in (False, True):
            parts = answers(shards, queries, k, metadata, rng)
            best = min(_timed(merge, parts, queries, k) for _ in range(3))
            size = sum(len(pickle.dumps(p, protocol=5)) for p in parts) / (shards * queries)
            print(f"{shards:>6} {str(metadata):>8} {best * 1e6 / queries:>9.1f} {size:>18.0f}")


def _timed(*call):
    start = time.perf_counter()
    call[0](*call[1:])
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
