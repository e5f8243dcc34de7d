"""Per-call cost of one single-query search from Python, against hnswlib's knn_query.

Run with /usr/bin/python3 (python3-hnswlib, numpy) and PYTHONPATH=python:
    PYTHONPATH=python /usr/bin/python3 bench/python_search_bench.py
"""
import tempfile
import time

import hnswlib
import numpy as np

from quarn import Database
from peers import hnswlib_note

DIM, N, K, CALLS = 784, 20_000, 10, 2_000


def per_call(f, queries):
    for q in queries[:100]:
        f(q)
    start = time.perf_counter()
    for i in range(CALLS):
        f(queries[i % len(queries)])
    return (time.perf_counter() - start) / CALLS * 1e6


def main():
    rng = np.random.default_rng(42)
    data = rng.random((N, DIM), dtype=np.float32)
    queries = rng.random((500, DIM), dtype=np.float32)
    ids = [str(i) for i in range(N)]

    with tempfile.TemporaryDirectory() as tmp:
        db = Database(tmp + "/b", DIM, metric="l2", ef_construction=100)
        db.add_many(ids, data)
        print(hnswlib_note())
        index = hnswlib.Index(space="l2", dim=DIM)
        index.init_index(max_elements=N, M=16, ef_construction=100)
        index.add_items(data, np.arange(N))
        index.set_ef(200)
        index.set_num_threads(1)

        mode = "exact scan" if db.stats()["uses_brute_force"] else "HNSW"
        print(f"{N} x {DIM} float32, k={K}, quarn path: {mode}")
        print(f"quarn  search(ndarray)      {per_call(lambda q: db.search(q, k=K), queries):8.1f} us/call")
        lists = [q.tolist() for q in queries]
        print(f"quarn  search(list)         {per_call(lambda q: db.search(q, k=K), lists):8.1f} us/call")
        print(f"hnswlib knn_query(ndarray)  {per_call(lambda q: index.knn_query(q, k=K), queries):8.1f} us/call")
        # The conversion alone: an empty-k search still converts the vector.
        print(f"quarn  search(ndarray, k=0) {per_call(lambda q: db.search(q, k=0), queries):8.1f} us/call")
        print(f"quarn  search(list, k=0)    {per_call(lambda q: db.search(q, k=0), lists):8.1f} us/call")


if __name__ == "__main__":
    main()
