"""Bulk reads and loads on Fashion-MNIST (60,000 x 784, squared Euclidean), through the API.

Builds the collection with add_many and with load (batches of the default size, no progress
bar) in turns, `--rounds` times each in fresh directories, and reports each build's seconds
and load's time against add_many's. On the last collection it times get_many of all 60,000
vectors (vectors only, and with their metadata), the same through a loop of get(), and
scan's throughput at two batch sizes. Every record carries {"label": its class}.

    PYTHONPATH=python /usr/bin/python3 bench/bulk_bench.py [--rounds 2]

The machine's load matters: run `uptime` before and after, and quote it with the figures.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from quickstart import DATA, read_idx  # noqa: E402

from quarn import Database  # noqa: E402


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def best(fn, repeats=3):
    return min(timed(fn)[0] for _ in range(repeats))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    base = read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000)
    labels = read_idx(os.path.join(DATA, "train-labels-idx1-ubyte.gz"), 60000)
    ids = [str(i) for i in range(len(base))]
    metadatas = [{"label": int(label)} for label in labels]

    with tempfile.TemporaryDirectory() as tmp:
        seconds = {"add_many": [], "load": []}
        path = None
        for r in range(args.rounds):
            for how in ("add_many", "load"):
                path = os.path.join(tmp, f"{how}{r}")
                db = Database(path, dim=784, metric="euclidean")
                call = db.add_many if how == "add_many" else (
                    lambda *a: db.load(*a, progress=False))
                took, _ = timed(lambda: call(ids, base, metadatas))
                seconds[how].append(took)
                print(f"round {r + 1}: {how:8s} {took:6.1f} s", flush=True)
                if r < args.rounds - 1 or how == "add_many":
                    db.close()
                    shutil.rmtree(path)
        add, load = statistics.median(seconds["add_many"]), statistics.median(seconds["load"])
        print(f"median: add_many {add:.1f} s, load {load:.1f} s "
              f"(load / add_many = {load / add:.3f})")

        everything = db.ids()
        for include in (("vectors",), ("vectors", "metadata")):
            took = best(lambda: db.get_many(everything, include=include))
            print(f"get_many of {len(everything)} records, include={include}: {took:.3f} s")
        got = db.get_many(everything[:100])["vectors"]
        assert np.array_equal(got, base[[int(i) for i in everything[:100]]])
        took, _ = timed(lambda: [db.get(i) for i in everything])
        print(f"a loop of get() over the same records: {took:.2f} s")
        for batch in (1000, 10000):
            took = best(lambda: sum(len(b["ids"]) for b in db.scan(batch_size=batch)))
            print(f"scan, batch_size={batch}: {took:.3f} s, {len(everything) / took:,.0f} "
                  f"records/s")
        took = best(lambda: sum(len(b["ids"]) for b in db.scan({"label": 3}, batch_size=1000)))
        print(f"scan of one class (6,000 records), batch_size=1000: {took:.3f} s")


if __name__ == "__main__":
    main()
