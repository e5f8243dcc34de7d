"""Filtered and unfiltered search on Fashion-MNIST through the Python API.

Indexes the 60,000 training images (squared Euclidean, m 16, ef_construction 200) with two
metadata fields: the class label (each value holds 10% of the records) and a bucket of 100
values (1% each). Reports queries per second for single `search` calls and for one
`search_many` call, without a filter and with a 10% and a 1% equality filter, and the
recall@10 of the filtered graph search against the exact filtered answer. Before the
searches it saves the collection and times opening it again (the graph file is parsed, the
vector file only mapped).

    PYTHONPATH=python /usr/bin/python3 bench/filter_bench.py [--queries N] [--ef EF]
"""
import argparse
import os
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
    args = parser.parse_args()

    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    labels = read_idx(os.path.join(DATA, "train-labels-idx1-ubyte.gz"), 60000)
    queries = read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), args.queries)
    query_labels = read_idx(os.path.join(DATA, "t10k-labels-idx1-ubyte.gz"), args.queries)
    n = len(base)
    buckets = np.arange(n) % 100
    ids = [str(i) for i in range(n)]
    metas = [{"label": int(labels[i]), "bucket": int(buckets[i])} for i in range(n)]

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
        # Filter values drawn at random, and the query's own class (the usual "more like this
        # of the same kind", where matches lie near the query).
        cases = [("no filter", None, False), ("label (10%)", "label", False),
                 ("own label", "label", True), ("bucket (1%)", "bucket", False)]
        print(f"{'filter':<14}{'search q/s':>12}{'search_many q/s':>17}{'recall@10':>11}")
        for name, field, own in cases:
            filters, masks = [], []
            for qi in range(len(queries)):
                if field is None:
                    filters.append(None)
                    masks.append(None)
                else:
                    value = int(query_labels[qi]) if own else \
                        int(rng.integers(0, 10 if field == "label" else 100))
                    filters.append({field: value})
                    masks.append((labels if field == "label" else buckets) == value)
            t0 = time.perf_counter()
            results = [db.search(q, k=args.k, ef_search=args.ef, where_filter=f)
                       for q, f in zip(queries, filters)]
            single = len(queries) / (time.perf_counter() - t0)
            # search_many takes one filter for the whole batch: time it per filter value.
            t0 = time.perf_counter()
            if field is None:
                db.search_many(queries, k=args.k, ef_search=args.ef)
            else:
                by_value = {}
                for qi, f in enumerate(filters):
                    by_value.setdefault(f[field], []).append(qi)
                for value, rows in by_value.items():
                    db.search_many(queries[rows], k=args.k, ef_search=args.ef,
                                   where_filter={field: value})
            many = len(queries) / (time.perf_counter() - t0)
            hits = total = 0
            for qi, res in enumerate(results):
                mask = masks[qi] if masks[qi] is not None else np.ones(n, dtype=bool)
                truth = exact_filtered(base, mask, queries[qi], args.k)
                hits += len(truth & set(int(r.id) for r in res))
                total += len(truth)
            print(f"{name:<14}{single:>12.0f}{many:>17.0f}{hits / total:>11.4f}")


if __name__ == "__main__":
    main()
