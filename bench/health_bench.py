"""verify, health, repair and calibrate on Fashion-MNIST, through the Python API.

Indexes the 60,000 training images (squared Euclidean, m 16, ef_construction 200), saves the
collection and times verify(), Database.verify_path(), health(), repair() and
Database.repair_path(). It compares two held-out recall estimates with the recall the 10,000
test images reach, width by width: calibrate's (the sample searched for in a graph built of
the other vectors) and the quick one health() makes when it has no calibration to go by (each
vector searched for in the collection's own graph as if it were not there). Then it sets the
three recall figures side by side at the default width and at the widths calibrate picks for
each target recall: calibrate's measurement, health()'s estimated_recall, and recall@10 of the
test images (which the calibration never saw) against the exact answer (NumPy brute force),
with queries per second of one search_many call with ef_search=None.

    PYTHONPATH=python /usr/bin/python3 bench/health_bench.py [--targets 0.95,0.99]
        [--collection DIR]   # keep the built collection in DIR and reuse it next time
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
    parser.add_argument("--targets", default="0.95,0.99")
    parser.add_argument("--collection", help="a directory for the collection, kept and "
                        "reused (the tools that rewrite it are then skipped)")
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
        path = args.collection or os.path.join(tmp, "fmnist")
        if not os.path.exists(os.path.join(path, "graph.quarn")):
            db = Database(path, dim=784, metric="euclidean")
            ids = [str(i) for i in range(len(base))]
            timed(f"build ({len(base)} vectors)", lambda: db.add_many(ids, base))
            db.save()
            db.close()
        db = Database(path)
        if not args.collection:
            report = timed("verify()", db.verify)
            print(f"  ok {report['ok']}, unreachable {report['unreachable']}, "
                  f"problems {report['problems']}")
            timed("Database.verify_path()", lambda: Database.verify_path(path))
            timed("repair()", db.repair)
            db.save()
            db.close()
            db, report = timed("Database.repair_path()", lambda: Database.repair_path(path))
            print(f"  {report['ids']} ids, lost {report['lost']}")
        calibration = os.path.join(path, "calibration.json")
        if os.path.exists(calibration):  # from an earlier run: start uncalibrated
            db.close()
            os.remove(calibration)
            db = Database(path)
        health = timed("health()", db.health)
        print(f"  {health}")

        def test_recall(ef):
            t0 = time.perf_counter()
            results = db.search_many(test, k=k, ef_search=ef)
            qps = len(test) / (time.perf_counter() - t0)
            found = sum(len(truth[i] & {int(h.id) for h in r}) for i, r in enumerate(results))
            return found / (k * len(test)), qps

        if args.curve:
            efs = [int(e) for e in args.curve.split(",")]
            _, held_out, _ = db._recall_curve(4000, k, efs, held_out=True)
            _, quick, _ = db._recall_curve(200, k, efs)
            print(f"\n    ef  calibrate's (4000 held out)  health's quick (200)  "
                  f"test recall@{k}  QPS")
            for ef, estimate, fast in zip(efs, held_out, quick):
                recall, qps = test_recall(ef)
                print(f"{ef:6d}  {estimate:27.4f}  {fast:20.4f}  {recall:14.4f}  {qps:6.0f}",
                      flush=True)

        # The default width, uncalibrated: calibrate's method measured at that width.
        rows = []
        default = health["default_ef"]
        _, (at_default,), _ = db._recall_curve(4000, k, [default], held_out=True)
        rows.append(("default", default, at_default, health, test_recall(None)))
        for target in (float(t) for t in args.targets.split(",")):
            ef = db.calibrate(target, k)
            with open(calibration) as f:
                measured = json.load(f)["recall"]  # on the 4000 held-out self-queries
            rows.append((f"calibrate({target})", ef, measured, db.health(), test_recall(None)))
        print(f"\n{'width from':>18}  {'ef':>4}  {'calibrate':>9}  {'health':>6} "
              f"{'(source)':<11} {'test':>6}  {'test - health':>13}  QPS (search_many)")
        for label, ef, measured, h, (recall, qps) in rows:
            print(f"{label:>18}  {ef:4d}  {measured:9.4f}  {h['estimated_recall']:6.4f} "
                  f"{'(' + h['recall_source'] + ')':<11} {recall:6.4f}  "
                  f"{recall - h['estimated_recall']:+13.4f}  {qps:8.0f}", flush=True)
        if health["suggestions"]:
            print("\nuncalibrated health() suggests: " + "; ".join(health["suggestions"]))

if __name__ == "__main__":
    main()
