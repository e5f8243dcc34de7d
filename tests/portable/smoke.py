"""Import, add, search, save and reopen: the run that `make test` repeats under qemu-x86_64
with CPU models that lack AVX-512 (Haswell) or any AVX (Nehalem, the x86-64-v2 baseline),
where one instruction the CPU does not have ends the process with SIGILL.

    qemu-x86_64 -cpu Haswell /usr/bin/python3 tests/portable/smoke.py [--graph]

By default the collection is small enough for the exact scan, which keeps the emulated run
to seconds (the C++ graph tests cover the graph under emulation); --graph adds ten million
floats, so that the HNSW graph is built and traversed with SQ8 codes (minutes under qemu).
"""
import sys
import tempfile

import numpy as np

import quarn


def main():
    graph = "--graph" in sys.argv[1:]
    # 36 and 840 dimensions leave tails after the 8- and 16-wide SIMD blocks.
    n, dim = (12_000, 840) if graph else (3_000, 36)
    rng = np.random.default_rng(3)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    ids = [f"v{i}" for i in range(n)]
    with tempfile.TemporaryDirectory() as tmp:
        db = quarn.Database(f"{tmp}/smoke", dim, metric="cosine", m=8, ef_construction=24)
        db.add_many(ids, data, [{"even": i % 2 == 0} for i in range(n)])
        db.enable_quantized_search()
        assert db.stats()["uses_brute_force"] != graph, db.stats()
        # Sound answers: k hits, closest first, each at the distance NumPy computes for it
        # (a quantized traversal re-ranks with full-precision distances).
        for i in range(0, n, n // 20):
            hits = db.search(data[i], k=10)
            distances = [h.distance for h in hits]
            assert len(hits) == 10 and distances == sorted(distances), hits
            exact = 1 - unit[[int(h.id[1:]) for h in hits]] @ unit[i]
            assert np.allclose(distances, exact, atol=1e-4), (distances, exact)
            if not graph:  # the exact scan finds the query's own vector
                assert hits[0].id == ids[i], hits
        odd = db.search(data[7], k=5, where_filter={"even": False})
        assert odd and all(not h.metadata["even"] for h in odd), odd
        db.save()
        expected = [(h.id, h.distance) for h in db.search(data[11], k=10)]
        del db
        reopened = quarn.Database(f"{tmp}/smoke")
        assert len(reopened) == n
        assert [(h.id, h.distance) for h in reopened.search(data[11], k=10)] == expected
    print(f"smoke: {n} x {dim} added, searched, saved and reopened "
          f"({'graph with SQ8 traversal' if graph else 'exact scan'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
