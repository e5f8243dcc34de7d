"""What following a writer costs a reader: single-call search q/s on Fashion-MNIST (60,000 x
784, L2) in a process that only reads, with nothing changing and with a writer appending in
another process, for this build and, in the same run, for other builds (another checkout's
`python/` directory: a build before readers followed, say).

    PYTHONPATH=python /usr/bin/python3 bench/follow_bench.py --other main=../base/python

Each measurement runs in its own process (so each build imports its own module), opens the
one collection saved at the start and times single-call searches of the test images; the
rounds alternate between builds and the best round is kept. The writer upserts 100 records a
second (of ids the queries do not depend on); a reader of this build applies each of them.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from quickstart import DATA, read_idx  # noqa: E402

HERE = os.path.abspath(__file__)


def measure(path, ef, queries):
    from quarn import Database

    db = Database(path)
    qs = np.asarray(read_idx(os.path.join(DATA, "t10k-images-idx3-ubyte.gz"), queries),
                    dtype=np.float32)
    for q in qs[:200]:
        db.search(q, k=10, ef_search=ef)
    start = time.perf_counter()
    for q in qs:
        db.search(q, k=10, ef_search=ef)
    print(len(qs) / (time.perf_counter() - start))


def write(path, rate):
    from quarn import Database

    db = Database(path)
    rng = np.random.default_rng(7)
    i = 0
    while True:
        db.upsert(f"writer{i % 100}", rng.random(784, dtype=np.float32))
        i += 1
        time.sleep(1.0 / rate)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--other", action="append", default=[], metavar="NAME=PYTHONPATH",
                        help="another build to measure in the same run")
    parser.add_argument("--ef", type=int, nargs="+", default=[32, 200])
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rate", type=float, default=100.0, help="writer upserts per second")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    parser.add_argument("--write", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        return measure(args.measure, args.ef[0], args.queries)
    if args.write:
        return write(args.write, args.rate)

    from quarn import Database

    builds = [("this build", os.environ.get("PYTHONPATH", ""))]
    builds += [tuple(o.split("=", 1)) for o in args.other]
    base = np.asarray(read_idx(os.path.join(DATA, "train-images-idx3-ubyte.gz"), 60000),
                      dtype=np.float32)
    print(f"load {os.getloadavg()[0]:.1f}; Fashion-MNIST 60,000 x 784, L2, m 16, "
          f"ef_construction 200; {args.queries} single-call searches, k 10, best of "
          f"{args.rounds} rounds")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fmnist")
        db = Database(path, dim=784, metric="l2")
        db.add_many([str(i) for i in range(len(base))], base)
        db.save()
        db.close()
        best = {}
        for _ in range(args.rounds):
            for writer in (False, True):
                for name, pythonpath in builds:
                    env = dict(os.environ, PYTHONPATH=pythonpath)
                    w = None
                    if writer:
                        w = subprocess.Popen([sys.executable, HERE, "--write", path, "--rate",
                                              str(args.rate)], env=env)
                        time.sleep(1.0)
                    for ef in args.ef:
                        out = subprocess.run([sys.executable, HERE, "--measure", path, "--ef",
                                              str(ef), "--queries", str(args.queries)],
                                             env=env, capture_output=True, text=True, check=True)
                        key = (name, writer, ef)
                        best[key] = max(best.get(key, 0.0), float(out.stdout))
                    if w is not None:
                        w.kill()
                        w.wait()
    print(f"load {os.getloadavg()[0]:.1f} at the end")
    print(f"{'build':<14}{'ef':>5}{'nothing changing':>18}{'writer appending':>18}")
    for name, _ in builds:
        for ef in args.ef:
            quiet, busy = best[(name, False, ef)], best[(name, True, ef)]
            print(f"{name:<14}{ef:>5}{quiet:>14,.0f} q/s{busy:>14,.0f} q/s")


if __name__ == "__main__":
    main()
