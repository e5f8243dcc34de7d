"""Quarn on Dask: Fashion-MNIST in four shards held by a two-worker LocalCluster.

Starts a LocalCluster of two worker processes, loads the training images into a
ShardedCollection of four shards (two per worker) with a progress bar, and the same images
into one in-process Database; then runs the test images through search_many on both and
prints add and search throughput and recall@10 (against an exact search) side by side.
By default it indexes all 60,000 training images and searches with all 10,000 test images.

    PYTHONPATH=python /usr/bin/python3 examples/distributed.py [--base N] [--queries N]

On one machine the shards share its cores with each other, so this shows the cost of the
fan-out and merge rather than a speed-up; docs/scaling.md explains what changes when every
worker has a machine of its own.
"""
import argparse
import gzip
import logging
import os
import shutil
import sys
import tempfile
import time

# Run as a script, this file's folder comes first on the import path, where its name would
# shadow Dask's `distributed` package: take the folder off the path before importing Dask.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != HERE]

import numpy as np  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402
from tqdm import tqdm  # noqa: E402

from quarn import Database  # noqa: E402
from quarn.distributed import ShardedCollection  # noqa: E402

DATA = "/usr/share/datasets/fashion-mnist"


def read_idx(path, count):
    """The first `count` items of an IDX file: images as float32 rows in [0, 1], or labels."""
    with gzip.open(path, "rb") as f:
        header = f.read(4)
        dims = np.frombuffer(f.read(4 * header[3]), dtype=">u4")
        count = min(count, int(dims[0]))
        size = int(np.prod(dims[1:]))
        data = np.frombuffer(f.read(count * size), dtype=np.uint8)
    return data.astype(np.int64) if size == 1 else data.reshape(count, size) / np.float32(255)


def add_all(collection, ids, vectors, metadatas, batch, desc):
    """Add in batches behind a progress bar; returns vectors per second."""
    start = time.perf_counter()
    with tqdm(total=len(ids), desc=desc, unit="vec") as bar:
        for lo in range(0, len(ids), batch):
            hi = min(lo + batch, len(ids))
            collection.add_many(ids[lo:hi], vectors[lo:hi], metadatas[lo:hi])
            bar.update(hi - lo)
    return len(ids) / (time.perf_counter() - start)


def timed_search(collection, queries, k, ef_search):
    collection.search_many(queries[:100], k=k)  # warm up: pages, threads, connections
    start = time.perf_counter()
    results = collection.search_many(queries, k=k, ef_search=ef_search)
    return results, len(queries) / (time.perf_counter() - start)


def exact_top(base, queries, k, chunk=500):
    """Indices of the k nearest training images of each query, by brute force."""
    norms = (base * base).sum(1)
    out = []
    for lo in range(0, len(queries), chunk):
        q = queries[lo:lo + chunk]
        dist = norms[None, :] - 2.0 * q @ base.T
        out.append(np.argpartition(dist, k, axis=1)[:, :k])
    return np.concatenate(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", type=int, default=60000, help="training images to index")
    parser.add_argument("--queries", type=int, default=10000, help="test images to search")
    parser.add_argument("--recall-queries", type=int, default=1000,
                        help="queries whose recall@10 is checked by brute force")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--shards", type=int, default=4, help="shards of the collection")
    parser.add_argument("--ef-search", type=int, default=None,
                        help="search width on both sides (default: the library's, 200)")
    parser.add_argument("--batch", type=int, default=5000, help="vectors per add_many call")
    parser.add_argument("--via-scheduler", action="store_true",
                        help="send shard calls through the scheduler instead of straight to "
                             "the workers")
    parser.add_argument("--data", default=DATA, help="folder with the Fashion-MNIST .gz files")
    args = parser.parse_args()

    def load(name, count):
        return read_idx(os.path.join(args.data, name), count)

    base = load("train-images-idx3-ubyte.gz", args.base)
    labels = load("train-labels-idx1-ubyte.gz", args.base)
    queries = load("t10k-images-idx3-ubyte.gz", args.queries)
    n, dim = base.shape
    ids = [f"img{i}" for i in range(n)]
    metadatas = [{"label": int(label)} for label in labels]
    print(f"Fashion-MNIST: {n} training images, {len(queries)} queries, {dim} dimensions; "
          f"{args.shards} shards on {args.workers} workers against one process")

    workdir = tempfile.mkdtemp(prefix="quarn-distributed-")
    try:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                Client(cluster, direct_to_workers=not args.via_scheduler) as client:
            sharded = ShardedCollection(client, "fashion", dim, metric="l2",
                                        shards=args.shards, root=workdir)
            sharded_add = add_all(sharded, ids, base, metadatas, args.batch, "sharded")
            single = Database(os.path.join(workdir, "single"), dim, metric="l2")
            single_add = add_all(single, ids, base, metadatas, args.batch, "single ")
            per_shard = [s["num_vectors"] for s in sharded.stats()["shards"]]
            print(f"vectors per shard: {per_shard}; workers: "
                  f"{[name for name, _ in sharded.placement]}")

            sharded_hits, sharded_qps = timed_search(sharded, queries, 10, args.ef_search)
            single_hits, single_qps = timed_search(single, queries, 10, args.ef_search)
            sharded.close()

        m = min(args.recall_queries, len(queries))
        exact = exact_top(base, queries[:m], 10)
        truth = [{ids[j] for j in row} for row in exact]

        def recall(results):
            return sum(len(t & {h.id for h in r}) for t, r in zip(truth, results)) / (10 * m)

        print(f"\n{'':28}{'add vec/s':>12}{'search_many q/s':>17}{'recall@10':>11}")
        print(f"{f'{args.shards} shards on {args.workers} workers':28}{sharded_add:12,.0f}"
              f"{sharded_qps:17,.0f}{recall(sharded_hits):11.4f}")
        print(f"{'one process':28}{single_add:12,.0f}{single_qps:17,.0f}"
              f"{recall(single_hits):11.4f}")
        print(f"(search_many of {len(queries)} queries, k=10, ef_search "
              f"{args.ef_search or 'default'}; recall over the first {m})")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
