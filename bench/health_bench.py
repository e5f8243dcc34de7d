"""verify, health, repair and calibrate on Fashion-MNIST, through the Python API.

Indexes the 60,000 training images (squared Euclidean, m 16, ef_construction 200), saves the
collection and times verify(), Database.verify_path(), health(), repair() and
Database.repair_path(). It compares the held-out recall estimate of calibrate with the recall
the 10,000 test images reach, width by width. Then, for each target recall, calibrates the default search width on
the collection's own vectors and measures what that width reaches on the 10,000 test images,
which the calibration never saw: recall@10 against the exact answer (NumPy brute force) and
queries per second of one search_many call with ef_search=None.

    PYTHONPATH=python /usr/bin/python3 bench/health_bench.py [--targets 0.9,0.95,0.99]
"""
import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from quickstart import DATA, read_idx  # noqa: E402

from quarn import Database  # noqa: E402


def exact_top(base, queries, k):
    norms = (base * base).sum(axis=1)
    out = []
    for lo in range(0, len(queries), 500):
        d = norms[None, :] - 2.0 * queries[lo:lo + 500] @ base.T
        out.extend(set(map(int, row)) for row in np.argpartition(d, k, axis=1)[:, :k])
    return out


def timed(label, fn):
    t0 = time.perf_counter()
    result = fn()
    print(f"{label}: {time.perf_counter() - t0:.3f} s", flush=True)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--targets", default="0.9,0.95,0.99")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--curve", default="10,15,20,30,40,60,80,120,200,300,400",
                        help="widths at which to compare the held-out estimate with the test "
                             "queries ('' to skip)")
    args = parser.parse_args()
    k = args.k

    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    test = read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), 10000)
    truth = exact_top(base, test, k)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fmnist")
        db = Database(path, dim=784, metric="euclidean")
        ids = [str(i) for i in range(len(base))]
        timed(f"build ({len(base)} vectors)", lambda: db.add_many(ids, base))
        db.save()
        del db
        db = Database(path)
        report = timed("verify()", db.verify)
        print(f"  ok {report['ok']}, unreachable {report['unreachable']}, "
              f"problems {report['problems']}")
        timed("Database.verify_path()", lambda: Database.verify_path(path))
        health = timed("health()", db.health)
        print(f"  {health}")
        timed("repair()", db.repair)
        db.save()
        del db
        db, report = timed("Database.repair_path()", lambda: Database.repair_path(path))
        print(f"  {report['ids']} ids, lost {report['lost']}")

        if args.curve:
            efs = [int(e) for e in args.curve.split(",")]
            _, held_out, _ = db._recall_curve(4000, k, efs)
            print(f"\n    ef  held-out recall@{k} (4000 own vectors)  test recall@{k}  QPS")
            for ef, estimate in zip(efs, held_out):
                t0 = time.perf_counter()
                results = db.search_many(test, k=k, ef_search=ef)
                qps = len(test) / (time.perf_counter() - t0)
                found = sum(len(truth[i] & {int(h.id) for h in r}) for i, r in enumerate(results))
                print(f"{ef:6d}  {estimate:37.4f}  {found / (k * len(test)):14.4f}  {qps:6.0f}",
                      flush=True)

        print(f"\ntarget  ef_search  sample recall  test recall@{k}  QPS (search_many)")
        for target in (float(t) for t in args.targets.split(",")):
            t0 = time.perf_counter()
            ef = db.calibrate(target, k)
            seconds = time.perf_counter() - t0
            with open(os.path.join(path, "calibration.json")) as f:
                sample = json.load(f)["recall"]  # on the 4000 held-out self-queries
            t0 = time.perf_counter()
            results = db.search_many(test, k=k)
            qps = len(test) / (time.perf_counter() - t0)
            found = sum(len(truth[i] & {int(h.id) for h in r}) for i, r in enumerate(results))
            print(f"{target:6.2f}  {ef:9d}  {sample:13.4f}  {found / (k * len(test)):14.4f}  "
                  f"{qps:10.0f}   (calibrated in {seconds:.1f} s)", flush=True)


if __name__ == "__main__":
    main()
