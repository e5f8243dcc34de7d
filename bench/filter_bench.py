"""Filtered and unfiltered search on Fashion-MNIST through the Python API.

Indexes the 60,000 training images (squared Euclidean, m 16, ef_construction 200) with four
metadata fields: the class label (each value holds 10% of the records, and records of one
class lie near each other), a bucket of 100 values (1% each), a group of 10 values (10% each)
drawn at random, independent of the image, and a score drawn uniformly from [0, 1). Reports
queries per second for single `search` calls and for `search_many` (one call per filter
value), without a filter and with equality filters on random values of each field, the
query's own class, and a range of the score (10% and 1% wide), and the recall@10 of each
against the exact filtered answer. Before the searches it saves the collection and times
opening it again (the graph file is parsed, the vector file only mapped). The single calls
are timed R times (--repeat, default 3) and the median reported: on a shared machine one
timing of half a second swings by tens of percent.

    PYTHONPATH=python /usr/bin/python3 bench/filter_bench.py [--queries N] [--ef EF] [--repeat R]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from quickstart import DATA, read_idx  # noqa: E402

from quarn import Database  # noqa: E402


def exact_filtered(base, mask, query, k):
    idx = np.flatnonzero(mask)
    d = ((base[idx] - query) ** 2).sum(axis=1)
    top = idx[np.argpartition(d, k)[:k]] if len(idx) > k else idx
    return set(int(i) for i in top)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--ef", type=int, default=None, help="ef_search (default: the library's)")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3,
                        help="time the single calls R times and report the median")
    args = parser.parse_args()

    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    labels = read_idx(os.path.join(DATA, "train-labels-idx1-ubyte.gz"), 60000)
    queries = read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), args.queries)
    query_labels = read_idx(os.path.join(DATA, "t10k-labels-idx1-ubyte.gz"), args.queries)
    n = len(base)
    buckets = np.arange(n) % 100
    draw = np.random.default_rng(5)
    groups = draw.integers(0, 10, n)
    scores = draw.random(n)
    ids = [str(i) for i in range(n)]
    metas = [{"label": int(labels[i]), "bucket": int(buckets[i]), "group": int(groups[i]),
              "score": float(scores[i])} for i in range(n)]
    columns = {"label": labels, "bucket": buckets, "group": groups}

    with tempfile.TemporaryDirectory() as tmp:
        db = Database(os.path.join(tmp, "fmnist"), dim=784, metric="euclidean")
        t0 = time.perf_counter()
        db.add_many(ids, base, metas)
        print(f"build: {n} vectors in {time.perf_counter() - t0:.1f} s "
              f"(exact scan: {db.stats()['uses_brute_force']})")
        t0 = time.perf_counter()
        db.save()
        print(f"save: {time.perf_counter() - t0:.2f} s")
        del db
        opens = []
        for _ in range(5):
            t0 = time.perf_counter()
            db = Database(os.path.join(tmp, "fmnist"))
            opens.append(time.perf_counter() - t0)
            if len(opens) < 5:
                del db
        print(f"open: best {min(opens) * 1000:.0f} ms, median {sorted(opens)[2] * 1000:.0f} ms "
              f"over 5 opens of the saved collection")

        rng = np.random.default_rng(7)
        # Filter values drawn at random for each query, and the query's own class (the usual
        # "more like this of the same kind", where matches lie near the query). A random
        # class mostly names records far from the query; a random group or score is
        # independent of the image.
        cases = [("no filter", None, None), ("label (10%)", "label", 10),
                 ("own label", "label", "own"), ("bucket (1%)", "bucket", 100),
                 ("group (10%)", "group", 10), ("score 10% range", "score", 0.1),
                 ("score 1% range", "score", 0.01)]
        print(f"{'filter':<17}{'search q/s':>12}{'search_many q/s':>17}{'recall@10':>11}")
        for name, field, values in cases:
            filters, masks = [], []
            for qi in range(len(queries)):
                if field is None:
                    filters.append(None)
                    masks.append(None)
                elif field == "score":
                    low = round(float(rng.integers(0, int(1 / values))) * values, 6)
                    filters.append({field: {"$gte": low, "$lt": low + values}})
                    masks.append((scores >= low) & (scores < low + values))
                else:
                    value = int(query_labels[qi]) if values == "own" else \
                        int(rng.integers(0, values))
                    filters.append({field: value})
                    masks.append(columns[field] == value)
            # A few untimed searches first: the first exact scan of the matching records
            # builds the collection's compact codes (under a second for Fashion-MNIST), once.
            for q, f in list(zip(queries, filters))[:20]:
                db.search(q, k=args.k, ef_search=args.ef, where_filter=f)
            rates = []
            for _ in range(args.repeat):
                t0 = time.perf_counter()
                results = [db.search(q, k=args.k, ef_search=args.ef, where_filter=f)
                           for q, f in zip(queries, filters)]
                rates.append(len(queries) / (time.perf_counter() - t0))
            single = statistics.median(rates)
            # search_many takes one filter for the whole batch: one call per filter value.
            by_value = {}
            for qi, f in enumerate(filters):
                by_value.setdefault(repr(f), []).append(qi)
            t0 = time.perf_counter()
            for rows in by_value.values():
                db.search_many(queries[rows], k=args.k, ef_search=args.ef,
                               where_filter=filters[rows[0]])
            many = len(queries) / (time.perf_counter() - t0)
            hits = total = 0
            for qi, res in enumerate(results):
                mask = masks[qi] if masks[qi] is not None else np.ones(n, dtype=bool)
                truth = exact_filtered(base, mask, queries[qi], args.k)
                hits += len(truth & set(int(r.id) for r in res))
                total += len(truth)
            print(f"{name:<17}{single:>12.0f}{many:>17.0f}{hits / total:>11.4f}")


if __name__ == "__main__":
    main()
