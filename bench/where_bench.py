"""Compiled filters (`quarn.Where`) on Fashion-MNIST through the Python API.

`make DIR` indexes the 60,000 training images (squared Euclidean, m 16, ef_construction 200)
with metadata that gives every part of the filter language something to work on: the class
label, a group of 10 values drawn at random, a uniform score, `tags` (an array of 1 to 4 of
40 words), `note` (a string in half of the records, absent from the others) and `extra` (an
object in a tenth of them), and saves it. `open DIR` times opening the saved collection,
which rebuilds the metadata index (values, array elements and field presence) from the
stored metadata; the files are the same for every build, so one saved collection serves to
compare builds. `search DIR` reports queries per second and recall@10 against the exact
filtered answer (over the first 50 queries) for each kind of condition, one `search` call
per query.

    PYTHONPATH=python /usr/bin/python3 bench/where_bench.py make /tmp/fmnist-where
    PYTHONPATH=python /usr/bin/python3 bench/where_bench.py open /tmp/fmnist-where
    PYTHONPATH=python /usr/bin/python3 bench/where_bench.py search /tmp/fmnist-where
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from quickstart import DATA, read_idx  # noqa: E402

import quarn  # noqa: E402

WORDS = [f"w{i}" for i in range(40)]


def metadata(n):
    rng = np.random.default_rng(11)
    labels = read_idx(os.path.join(DATA, "train-labels-idx1-ubyte.gz"), n)
    groups = rng.integers(0, 10, n)
    scores = rng.random(n)
    out = []
    for i in range(n):
        m = {"label": int(labels[i]), "group": int(groups[i]), "score": float(scores[i]),
             "tags": [WORDS[j] for j in sorted(set(rng.integers(0, 40, rng.integers(1, 5))))]}
        if i % 2 == 0:
            m["note"] = f"n{i % 7}"
        if i % 10 == 0:
            m["extra"] = {"k": i % 3}
        out.append(m)
    return out


def make(path):
    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    db = quarn.Database(path, dim=784, metric="euclidean")
    t0 = time.perf_counter()
    db.add_many([str(i) for i in range(len(base))], base, metadata(len(base)))
    print(f"build: {len(base)} vectors in {time.perf_counter() - t0:.1f} s")
    db.save()


def open_times(path, rounds):
    # Wall-clock and CPU time (the open runs on the calling thread): on a shared machine the
    # CPU time varies less.
    wall, cpu = [], []
    for _ in range(rounds):
        t0, c0 = time.perf_counter(), time.process_time()
        db = quarn.Database(path)
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
        del db
    wall.sort()
    cpu.sort()
    print(f"open: best {wall[0] * 1000:.0f} ms, median {wall[len(wall) // 2] * 1000:.0f} ms; "
          f"CPU best {cpu[0] * 1000:.0f} ms, median {cpu[len(cpu) // 2] * 1000:.0f} ms "
          f"over {rounds} opens ({os.path.dirname(quarn.__file__)})")


def model(condition, m):
    """Whether metadata `m` (an object) passes a Where condition, by the documented rules."""
    ok = True
    for key, value in condition.items():
        if key == "$and":
            ok = ok and all(model(c, m) for c in value)
        elif key == "$or":
            ok = ok and any(model(c, m) for c in value)
        elif key == "$not":
            ok = ok and not model(value, m)
        else:
            ops = value if isinstance(value, dict) else {"$eq": value}
            for op, arg in ops.items():
                present = key in m
                v = m.get(key)
                same = lambda a, b: type(a) is type(b) and a == b  # noqa: E731
                if op == "$eq":
                    ok = ok and present and same(v, arg)
                elif op == "$ne":
                    ok = ok and not (present and same(v, arg))
                elif op == "$in":
                    ok = ok and present and any(same(v, a) for a in arg)
                elif op == "$nin":
                    ok = ok and not (present and any(same(v, a) for a in arg))
                elif op == "$exists":
                    ok = ok and present == arg
                elif op == "$contains":
                    ok = ok and isinstance(v, list) and any(same(e, arg) for e in v)
                elif op in ("$gt", "$gte", "$lt", "$lte"):
                    num = isinstance(v, (int, float)) and not isinstance(v, bool)
                    cmp = {"$gt": lambda a: a > arg, "$gte": lambda a: a >= arg,
                           "$lt": lambda a: a < arg, "$lte": lambda a: a <= arg}[op]
                    ok = ok and present and num and cmp(v)
    return ok


CONDITIONS = [
    ("$contains, 1 word (~6%)", lambda r: {"tags": {"$contains": f"w{r.integers(40)}"}}),
    ("$or of 2 labels (20%)", lambda r: {"$or": [{"label": int(r.integers(10))},
                                                  {"label": int(r.integers(10))}]}),
    ("$nin 8 groups (20%)", lambda r: {"group": {"$nin": [int(g) for g in
                                                          r.permutation(10)[:8]]}}),
    ("$not group (90%)", lambda r: {"$not": {"group": int(r.integers(10))}}),
    ("$exists extra (10%)", lambda r: {"extra": {"$exists": True}}),
    ("$exists note false (50%)", lambda r: {"note": {"$exists": False}}),
    ("group and not tag (~9%)", lambda r: {"group": int(r.integers(10)),
                                            "$not": {"tags": {"$contains": "w1"}}}),
    ("$or label, $contains (~16%)", lambda r: {"$or": [{"label": int(r.integers(10))},
                                                        {"tags": {"$contains": "w2"}}]}),
    ("$or of 2 score ranges (1%)", lambda r: {"$or": [{"score": {"$lt": 0.005}},
                                                       {"score": {"$gte": 0.995}}]}),
]


def search(path, queries, k):
    db = quarn.Database(path)
    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    qs = read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), queries)
    metas = metadata(len(base))
    rng = np.random.default_rng(3)
    # Wall-clock rate, and the rate per CPU-second of this process (the searches run on the
    # calling thread), which a shared machine disturbs less.
    print(f"{'condition':32} {'share':>7} {'q/s':>8} {'q/CPU-s':>8} {'recall@10':>9}")
    for name, draw in CONDITIONS:
        conds = [draw(rng) for _ in range(queries)]
        wheres = [quarn.Where(c) for c in conds]
        t0, c0 = time.perf_counter(), time.process_time()
        answers = [db.search(q, k=k, where_filter=w) for q, w in zip(qs, wheres)]
        rate = queries / (time.perf_counter() - t0)
        cpu_rate = queries / (time.process_time() - c0)
        hits = total = shares = 0
        masks = {}
        for q, c, got in zip(qs[:50], conds[:50], answers[:50]):
            key = repr(c)
            if key not in masks:
                masks[key] = np.fromiter((model(c, m) for m in metas), bool, len(metas))
            mask = masks[key]
            shares += mask.mean()
            idx = np.flatnonzero(mask)
            d = ((base[idx] - q) ** 2).sum(axis=1)
            want = set(idx[np.argsort(d, kind="stable")[:k]].tolist())
            hits += len(want & {int(h.id) for h in got})
            total += len(want)
        print(f"{name:32} {shares / 50:7.1%} {rate:8.0f} {cpu_rate:8.0f} "
              f"{hits / max(total, 1):9.4f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["make", "open", "search"])
    parser.add_argument("path")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    args = parser.parse_args()
    if args.action == "make":
        make(args.path)
    elif args.action == "open":
        open_times(args.path, args.rounds)
    else:
        search(args.path, args.queries, args.k)


if __name__ == "__main__":
    main()
