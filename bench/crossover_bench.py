"""Where the bounded exact scan and the graph cross over, by dimension.

For each dimension, N random vectors (standard normal, or with --clustered around 100
centres at a spread of 0.5 per component; squared Euclidean, m 16, ef_construction 200) in
one collection: single-call q/s of the exact scan (the exact-scan
limit raised past the collection) and of the graph (limit 0) at the smallest ef_search in
16, 32, ..., 1024 whose recall@10 against the exact answers reaches 0.99. The exact scan's
cost grows linearly with the collection and the graph's roughly with its logarithm, so the
collection size where they meet is estimated as N times the ratio of the two rates (a
graph that misses 0.99 at ef_search 1024 is reported at 1024, and the exact scan wins).

    PYTHONPATH=python /usr/bin/python3 bench/crossover_bench.py [--n N] [--dims 96,384,...]
                                                          [--clustered]
"""
import argparse
import os
import tempfile
import time

import numpy as np

from quarn import Database


def rate(db, queries, k, ef=None):
    t0 = time.perf_counter()
    out = [db.search(q, k=k, ef_search=ef) for q in queries]
    return len(queries) / (time.perf_counter() - t0), out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--dims", default="96,384,784,1536")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--clustered", action="store_true")
    args = parser.parse_args()
    print(f"{'dim':>5}{'exact q/s':>11}{'graph q/s':>11}{'ef':>6}{'recall':>8}"
          f"{'crossover (vectors)':>21}{'load':>6}")
    for dim in (int(d) for d in args.dims.split(",")):
        rng = np.random.default_rng(dim)
        data = rng.standard_normal((args.n, dim), dtype=np.float32)
        queries = rng.standard_normal((args.queries, dim), dtype=np.float32)
        if args.clustered:
            centres = rng.standard_normal((100, dim), dtype=np.float32)
            data = centres[rng.integers(0, 100, args.n)] + 0.5 * data
            queries = centres[rng.integers(0, 100, args.queries)] + 0.5 * queries
        with tempfile.TemporaryDirectory() as tmp:
            db = Database(os.path.join(tmp, "c"), dim=dim, metric="euclidean")
            db.add_many([str(i) for i in range(args.n)], data)
            db.set_exact_scan_limit(2**62)
            db.search(queries[0], k=args.k)
            exact_rate, truth = rate(db, queries, args.k)
            truth = [set(h.id for h in r) for r in truth]
            db.set_exact_scan_limit(0)
            ef = 8
            while ef < 1024:
                ef *= 2
                graph_rate, got = rate(db, queries, args.k, ef)
                recall = sum(len(t & set(h.id for h in r)) for t, r in zip(truth, got)) / (
                    args.k * len(queries))
                if recall >= 0.99:
                    break
            cross = args.n * exact_rate / graph_rate
            print(f"{dim:>5}{exact_rate:>11.0f}{graph_rate:>11.0f}{ef:>6}{recall:>8.3f}"
                  f"{cross:>21,.0f}{os.getloadavg()[0]:>6.1f}", flush=True)


if __name__ == "__main__":
    main()
