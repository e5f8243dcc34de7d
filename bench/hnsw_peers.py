"""The Python peers of bench/hnsw_bench.cpp, on the same data with the same parameters.

Fashion-MNIST (60,000 x 784 base, the 10,000 test images as queries, raw pixel values as
float32, squared Euclidean): python3-hnswlib and faiss IndexHNSWFlat, M=16,
ef_construction=200, built on 2 threads, then recall@10 and single-thread queries per second
at each ef. Then NumPy's exact scan of 100,000 x 96 random vectors (matrix-vector product
plus argpartition), one query at a time, the figure our exact scan is compared with.

Run with /usr/bin/python3 (numpy, hnswlib and faiss come from Debian's packages):
    /usr/bin/python3 bench/hnsw_peers.py [--queries N] [--skip-graph] [--skip-exact] [--csv FILE]

--csv writes every measured point to FILE (system,variant,ef,recall_at_10,qps,build_seconds)
for bench/plot_recall_qps.py.
"""

import argparse
import gzip
import time

import numpy as np

DATA = "/usr/share/datasets/fashion-mnist"
EFS = [10, 16, 32, 64, 100, 200, 400]
K = 10


def read_idx(path):
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, n, rows, cols = np.frombuffer(raw[:16], dtype=">u4")
    assert magic == 0x803, path
    return np.frombuffer(raw[16:], dtype=np.uint8).reshape(n, rows * cols).astype(np.float32)


def ground_truth(base, queries):
    norms = (base.astype(np.float64) ** 2).sum(1)
    truth = np.empty((len(queries), K), dtype=np.int64)
    for start in range(0, len(queries), 500):
        q = queries[start:start + 500].astype(np.float64)
        d = norms[None, :] - 2 * q @ base.T.astype(np.float64)
        part = np.argpartition(d, K, axis=1)[:, :K]
        order = np.take_along_axis(d, part, 1).argsort(1, kind="stable")
        truth[start:start + 500] = np.take_along_axis(part, order, 1)
    return truth


def recall(found, truth):
    return sum(len(set(f) & set(t)) for f, t in zip(found, truth)) / truth.size


def curve(name, set_ef, search, queries, truth):
    """Prints the curve and returns its (ef, recall, qps) points."""
    print(f"{name:22s} {'ef':>6s} {'recall@10':>9s} {'QPS':>10s}")
    points = []
    for ef in EFS:
        set_ef(ef)
        found = []
        t0 = time.perf_counter()
        for q in queries:
            found.append(search(q))
        qps = len(queries) / (time.perf_counter() - t0)
        points.append((ef, recall(found, truth), qps))
        print(f"{'':22s} {ef:6d} {points[-1][1]:9.4f} {qps:10.0f}")
    return points


def graph(nq, csv_path):
    import faiss
    import hnswlib

    base = read_idx(f"{DATA}/train-images-idx3-ubyte.gz")
    queries = read_idx(f"{DATA}/t10k-images-idx3-ubyte.gz")[:nq]
    truth = ground_truth(base, queries)
    n, dim = base.shape
    print(f"Fashion-MNIST: {n} x {dim} base, {len(queries)} queries, M=16, ef_construction=200")

    index = hnswlib.Index(space="l2", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=200)
    t0 = time.perf_counter()
    index.add_items(base, np.arange(n), num_threads=2)
    hnswlib_build = time.perf_counter() - t0
    print(f"python3-hnswlib build: {hnswlib_build:.2f} s on 2 threads")
    hnswlib_points = curve("python3-hnswlib", index.set_ef,
                           lambda q: index.knn_query(q, k=K, num_threads=1)[0][0], queries,
                           truth)

    faiss.omp_set_num_threads(2)
    flat = faiss.IndexHNSWFlat(dim, 16)
    flat.hnsw.efConstruction = 200
    t0 = time.perf_counter()
    flat.add(base)
    faiss_build = time.perf_counter() - t0
    print(f"faiss IndexHNSWFlat build: {faiss_build:.2f} s on 2 threads")
    faiss.omp_set_num_threads(1)

    def set_ef(ef):
        flat.hnsw.efSearch = ef

    faiss_points = curve("faiss IndexHNSWFlat", set_ef,
                         lambda q: flat.search(q[None, :], K)[1][0], queries, truth)
    if csv_path:
        with open(csv_path, "w") as out:
            out.write("system,variant,ef,recall_at_10,qps,build_seconds\n")
            for system, points, build in (("hnswlib-python", hnswlib_points, hnswlib_build),
                                          ("faiss", faiss_points, faiss_build)):
                for ef, r, qps in points:
                    out.write(f"{system},-,{ef},{r:.4f},{qps:.1f},{build:.2f}\n")


def exact():
    rng = np.random.default_rng(7)
    n, dim, nq = 100_000, 96, 1000
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((nq, dim), dtype=np.float32)
    norms = (data * data).sum(1)

    def scan(q):
        d = norms - 2 * (data @ q)
        top = np.argpartition(d, K)[:K]
        return top[np.argsort(d[top], kind="stable")]

    for q in queries[:20]:
        scan(q)
    t0 = time.perf_counter()
    for q in queries:
        scan(q)
    qps = nq / (time.perf_counter() - t0)
    print(f"\nNumPy exact scan, {n} x {dim}, k=10, one query at a time: {qps:.0f} QPS "
          f"({1e6 / qps:.0f} us/query)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--skip-graph", action="store_true")
    parser.add_argument("--skip-exact", action="store_true")
    parser.add_argument("--csv", help="write the measured points to this file")
    args = parser.parse_args()
    if not args.skip_graph:
        graph(args.queries, args.csv)
    if not args.skip_exact:
        exact()


if __name__ == "__main__":
    main()
