"""The exact scan through the Python API: single `search` calls and `search_many`.

By default a collection of 100,000 random 96-dimensional vectors (squared Euclidean), which
stays below the exact-scan threshold, so every query scans it whole; --dim and --n change
the random set, --data fashion takes Fashion-MNIST (60,000 x 784 training images, the first
test images as queries). The collection's exact-scan limit is raised so that every search
scans. Times Q queries asked one `search` call at a time and in one `search_many` call,
checks that both give the same ids and distances, and reports the speed-up. With --repeat R
each is timed R times and the median reported (on a shared machine one timing of a second
or less swings by tens of percent).

With --compare it runs in child processes, once with the bounded scan turned off
(QUARN_PLAIN_EXACT_SCAN=1), from 256 dimensions once with its 8-bit pass alone
(QUARN_EXACT_SCAN_LEVELS=8), and once as built, and checks that every run returns the same
ids and distances.

    PYTHONPATH=python /usr/bin/python3 bench/exact_many_bench.py [--data random|fashion]
        [--n N] [--dim D] [--metric M] [--queries Q] [--k K] [--repeat R] [--compare]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from quarn import Database


def load(args):
    if args.data == "fashion":
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
        from quickstart import DATA, read_idx  # noqa: E402
        base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
        queries = read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), args.queries)
        return (np.ascontiguousarray(base, dtype=np.float32),
                np.ascontiguousarray(queries, dtype=np.float32))
    rng = np.random.default_rng(11)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    return data, queries


def run(args):
    data, queries = load(args)
    n, dim = data.shape
    with tempfile.TemporaryDirectory() as tmp:
        db = Database(os.path.join(tmp, "scan"), dim=dim, metric=args.metric)
        db.add_many([str(i) for i in range(n)], data)
        db.set_exact_scan_limit(2**62)
        assert db.stats()["uses_brute_force"]
        db.search_many(queries[:10], k=args.k)  # warm-up
        db.search(queries[0], k=args.k)
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
        print(f"{n} x {dim} ({args.data}, {args.metric}), {len(queries)} queries, k={args.k}, "
              f"load {os.getloadavg()[0]:.2f}")
        print(f"  loop of search:  {len(queries) / t_loop:8.0f} q/s")
        print(f"  search_many:     {len(queries) / t_many:8.0f} q/s  "
              f"({t_loop / t_many:.1f}x, results identical: {same})", flush=True)
        if args.dump:
            np.savez(args.dump, ids=np.array([[int(h.id) for h in r] for r in loop]),
                     distances=np.array([[h.distance for h in r] for r in loop]),
                     many_ids=np.array([[int(h.id) for h in r] for r in many]),
                     rates=np.array([len(queries) / t_loop, len(queries) / t_many]))


def compare(args, argv):
    with tempfile.TemporaryDirectory() as tmp:
        out = {}
        wide = args.data == "fashion" or args.dim >= 256
        for mode in ("plain", "8-bit", "bounded") if wide else ("plain", "bounded"):
            env = dict(os.environ)
            env.pop("QUARN_PLAIN_EXACT_SCAN", None)
            env.pop("QUARN_EXACT_SCAN_LEVELS", None)
            if mode == "plain":
                env["QUARN_PLAIN_EXACT_SCAN"] = "1"
            elif mode == "8-bit":
                env["QUARN_EXACT_SCAN_LEVELS"] = "8"
            print(f"{mode} scan:", flush=True)
            dump = os.path.join(tmp, f"{mode}.npz")
            subprocess.run([sys.executable, __file__, *argv, "--dump", dump], env=env,
                           check=True)
            out[mode] = np.load(dump)
        plain = out["plain"]
        for mode in out:
            if mode == "plain":
                continue
            run_ = out[mode]
            same = (np.array_equal(plain["ids"], run_["ids"]) and
                    np.array_equal(plain["distances"], run_["distances"]) and
                    np.array_equal(plain["many_ids"], run_["many_ids"]))
            single = run_["rates"][0] / plain["rates"][0]
            many = run_["rates"][1] / plain["rates"][1]
            print(f"{mode} / plain: search {single:.2f}x, search_many {many:.2f}x; "
                  f"same ids and distances: {same}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", choices=["random", "fashion"], default="random")
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=96)
    parser.add_argument("--metric", default="euclidean")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--compare", action="store_true")
    parser.add_argument("--dump", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.compare:
        compare(args, [a for a in sys.argv[1:] if a != "--compare"])
    else:
        run(args)


if __name__ == "__main__":
    main()
