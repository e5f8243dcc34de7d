"""Exact-scan search_many against a loop of single searches, through the Python API.

A collection of 100,000 random 96-dimensional vectors (squared Euclidean) stays below the
exact-scan threshold, so every query scans it whole. Times 1,000 queries asked one `search`
call at a time and in one `search_many` call, checks that both give the same ids and
distances, and reports the speed-up. With --repeat R each is timed R times and the median
reported (on a shared machine one timing of a second or less swings by tens of percent).

    PYTHONPATH=python /usr/bin/python3 bench/exact_many_bench.py [--n N] [--queries Q]
                                                                 [--repeat R]
"""
import argparse
import os
import statistics
import tempfile
import time

import numpy as np

from quarn import Database


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=96)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        db = Database(os.path.join(tmp, "scan"), dim=args.dim, metric="euclidean")
        db.add_many([str(i) for i in range(args.n)], data)
        assert db.stats()["uses_brute_force"]
        db.search_many(queries[:10], k=args.k)  # warm-up
        loops, manys = [], []
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            loop = [db.search(q, k=args.k) for q in queries]
            loops.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            many = db.search_many(queries, k=args.k)
            manys.append(time.perf_counter() - t0)
        t_loop, t_many = statistics.median(loops), statistics.median(manys)
        same = all([(h.id, h.distance) for h in a] == [(h.id, h.distance) for h in b]
                   for a, b in zip(loop, many))
        print(f"{args.n} x {args.dim}, {args.queries} queries, k={args.k}")
        print(f"  loop of search:  {args.queries / t_loop:8.0f} q/s")
        print(f"  search_many:     {args.queries / t_many:8.0f} q/s  "
              f"({t_loop / t_many:.1f}x, results identical: {same})")


if __name__ == "__main__":
    main()
