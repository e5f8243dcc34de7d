"""Quarn quickstart: Fashion-MNIST in a vector database.

Loads 28x28 clothing images as 784-dimensional vectors with their class label as metadata,
saves the collection, opens it again and runs plain, filtered and batch searches, then
reports recall@10 against an exact search and the queries per second. By default it indexes
20,000 of the 60,000 training images, which takes seconds; --base 60000 indexes them all.

    PYTHONPATH=python /usr/bin/python3 examples/quickstart.py [--base N] [--data DIR]
"""
import argparse
import gzip
import os
import shutil
import struct
import sys
import tempfile
import time
from array import array

from quarn import Database

try:
    import numpy as np
except ImportError:  # the quickstart still runs; only the recall check needs numpy
    np = None

try:
    from tqdm import tqdm
except ImportError:
    class tqdm:  # noqa: N801  (no progress bar without tqdm)
        def __init__(self, **_):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *_):
            return False

        def update(self, _):
            pass

DATA = "/usr/share/datasets/fashion-mnist"
CLASSES = ["T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
           "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot"]


def read_idx(path, count):
    """The first `count` items of an IDX file: images as float rows in [0, 1], or labels."""
    with gzip.open(path, "rb") as f:
        magic = struct.unpack(">I", f.read(4))[0]
        dims = struct.unpack(">" + "I" * (magic & 0xFF), f.read(4 * (magic & 0xFF)))
        count = min(count, dims[0])
        size = 1
        for d in dims[1:]:
            size *= d
        raw = f.read(count * size)
    if np is not None:
        data = np.frombuffer(raw, dtype=np.uint8)
        return data.astype(np.int64) if size == 1 else \
            (data.reshape(count, size).astype(np.float32) / 255.0)
    data = array("B", raw)
    if size == 1:
        return list(data)
    return [[b / 255.0 for b in data[i * size:(i + 1) * size]] for i in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", type=int, default=20000, help="training images to index")
    parser.add_argument("--queries", type=int, default=1000, help="test images to search")
    parser.add_argument("--data", default=DATA, help="folder with the Fashion-MNIST .gz files")
    args = parser.parse_args()

    def load(name, count):
        return read_idx(os.path.join(args.data, name), count)

    base = load("train-images-idx3-ubyte.gz", args.base)
    labels = load("train-labels-idx1-ubyte.gz", args.base)
    queries = load("t10k-images-idx3-ubyte.gz", args.queries)
    query_labels = load("t10k-labels-idx1-ubyte.gz", args.queries)
    n, dim = len(base), len(base[0])
    print(f"Fashion-MNIST: {n} training images to index, {len(queries)} test images "
          f"as queries, {dim} dimensions")

    workdir = tempfile.mkdtemp(prefix="quarn-quickstart-")
    try:
        # 1. Create a collection and add the images in batches, each with its label.
        db_path = os.path.join(workdir, "fashion")
        db = Database(db_path, dim, metric="l2")
        batch = 1000
        start = time.perf_counter()
        with tqdm(total=n, desc="adding", unit="vec") as bar:
            for lo in range(0, n, batch):
                hi = min(lo + batch, n)
                db.add_many([f"img{i}" for i in range(lo, hi)], base[lo:hi],
                            [{"label": int(labels[i])} for i in range(lo, hi)])
                bar.update(hi - lo)
        print(f"built the index of {len(db)} vectors in {time.perf_counter() - start:.1f} s")

        # 2. Save it, drop it and open it again from disk.
        db.save()
        del db
        db = Database(db_path)
        print(f"saved and reopened: {len(db)} vectors, metric {db.metric}")

        # 3. A plain search: the 5 training images closest to the first test image.
        query = queries[0]
        print(f"\nnearest to a test image of class {CLASSES[query_labels[0]]!r}:")
        for hit in db.search(query, k=5):
            print(f"  {hit.id:>9}  distance {hit.distance:7.3f}  "
                  f"{CLASSES[hit.metadata['label']]}")

        # 4. A filtered search: only sneakers (label 7) may come back. The filter is applied
        #    to the graph's candidates near the query, so ask for a class that lives nearby;
        #    in a collection this large, records far from the query may not be reached.
        sneakers = {"label": 7}
        hits = db.search(query, k=5, where_filter=sneakers)
        assert all(h.metadata["label"] == 7 for h in hits)
        print(f"nearest sneakers: {', '.join(h.id for h in hits)}  "
              f"({db.count(where_filter=sneakers)} sneakers stored)")

        # 5. Queries per second, one query at a time and as one batch.
        start = time.perf_counter()
        for q in queries:
            db.search(q, k=10)
        single_qps = len(queries) / (time.perf_counter() - start)
        start = time.perf_counter()
        results = db.search_many(queries, k=10)
        batch_qps = len(queries) / (time.perf_counter() - start)
        agree = sum(int(query_labels[i]) == r[0].metadata["label"]
                    for i, r in enumerate(results))
        print(f"\nsearch: {single_qps:,.0f} queries/s one at a time, "
              f"{batch_qps:,.0f} queries/s with search_many ({len(queries)} queries, k=10)")
        print(f"the nearest neighbour has the query's class for {agree / len(queries):.1%} "
              "of the queries")

        # 6. Recall@10 against the exact answer for the first 200 queries.
        if np is None:
            print("recall@10: skipped (needs numpy)")
        else:
            m = min(200, len(queries))
            q = queries[:m]
            dist = (q * q).sum(1)[:, None] - 2.0 * q @ base.T + (base * base).sum(1)[None, :]
            exact = np.argpartition(dist, 10, axis=1)[:, :10]
            found = sum(len({f"img{j}" for j in exact[i]} & {h.id for h in results[i]})
                        for i in range(m))
            print(f"recall@10: {found / (10 * m):.4f} over {m} queries "
                  "(exact answers by brute force)")
        print("\nrecall@10 against queries per second beside hnswlib and FAISS, on all "
              "60,000 images: docs/recall-qps.png (`make bench-plot` measures and redraws it)")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
