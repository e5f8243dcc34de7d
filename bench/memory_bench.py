"""What a collection costs in memory, and what a query reads of its vectors, per traversal mode.

Fashion-MNIST (60,000 x 784 base as float32, squared Euclidean, m 16, ef_construction 200) is
built and saved once, then copied once per mode: f32 (the graph walked on the mapped
vectors), sq8 (saved with quantize=True, so the walk reads 8-bit codes from vectors.sq8 and
re-ranks at full precision) and compressed (set_compressed_search(True), then a save, which
keeps the walk's 8- and 4-bit codes in vectors.codes for opening to read back). Each copy is measured in a fresh process, so that
nothing the build or another mode left behind counts:

- open time, and resident memory per vector: VmRSS after opening and 200 warm-up queries
  minus VmRSS just before opening (NumPy, quarn and the queries already loaded), split into
  heap (RssAnon) and file pages (RssFile);
- how much of vectors.bin queries read: the file's pages are dropped from the process
  and from the page cache, with read-ahead off, so that each 4 KiB page a query reads is
  counted once; then --queries queries run at a fixed --ef and the mapping's Rss is read
  after the first 100 and after all of them, with recall@10 against the exact answer.

    PYTHONPATH=python /usr/bin/python3 bench/memory_bench.py [--queries N] [--ef E]
        [--modes f32,sq8,compressed]
"""
import argparse
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from hnsw_peers import DATA, K, ground_truth, read_idx, recall

WARMUP = 200
FIRST = 100  # queries after which the footprint is read before queries share many pages
PAGE = os.sysconf("SC_PAGE_SIZE")
MADV_RANDOM, MADV_DONTNEED = 1, 4


def status():
    """VmRSS, RssAnon and RssFile of this process, in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key = line.split(":")[0]
            if key in ("VmRSS", "RssAnon", "RssFile"):
                out[key] = int(line.split()[1]) * 1024
    return out


def mapped(path):
    """(start, length, smaps fields in bytes) of every mapping of `path` in this process."""
    maps, ours = [], False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split(maxsplit=5)
            if not head[0].endswith(":"):  # a mapping's first line: range, ..., path
                ours = len(head) == 6 and head[5].rstrip("\n") == path
                if ours:
                    lo, hi = (int(x, 16) for x in head[0].split("-"))
                    maps.append((lo, hi - lo, {}))
            elif ours and head[2:3] == ["kB"]:
                maps[-1][2][head[0]] = int(head[1]) * 1024
    return maps


def resident(path, field="Rss:"):
    return sum(fields.get(field, 0) for _, _, fields in mapped(path))


def drop_pages(path, maps):
    """Unmaps this process' pages of `path` and empties the page cache of the file, so that
    every page a query reads afterwards is read on its own and counted once.

    Dropping the process' pages alone is not enough: on a fault the kernel also maps the
    cached pages around the one read (64 KiB by default), and a large folio whole (ext4 caches
    a file in folios of up to 2 MiB), so one 3,136-byte vector can bring 64 KiB to 2 MiB into
    Rss. With the cache empty and read-ahead off (MADV_RANDOM) each fault reads and maps the
    one 4 KiB page it needs (a major fault: the timing is not a query's, the count of pages
    is). Returns the pages of the file still cached afterwards."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    libc.madvise.restype = ctypes.c_int
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    libc.mincore.restype = ctypes.c_int
    for addr, length, _ in maps:
        for advice in (MADV_DONTNEED, MADV_RANDOM):
            if libc.madvise(addr, length, advice) != 0:
                raise OSError(ctypes.get_errno(), f"madvise({advice}) of {path}")
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # the copy may still be dirty, and dirty pages are not dropped
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    cached = 0
    for addr, length, _ in maps:
        vec = (ctypes.c_ubyte * ((length + PAGE - 1) // PAGE))()
        if libc.mincore(addr, length, vec) != 0:
            raise OSError(ctypes.get_errno(), f"mincore of {path}")
        cached += sum(b & 1 for b in vec)
    return cached


def child(mode, path, nq, ef):
    import quarn

    work = os.path.dirname(path)
    queries = np.load(os.path.join(work, "queries.npy"))
    truth = np.load(os.path.join(work, "truth.npy"))
    before = status()
    t0 = time.perf_counter()
    db = quarn.Database(path)
    out = {"open": time.perf_counter() - t0}
    for q in queries[:WARMUP]:
        db.search(q, k=K, ef_search=ef)
    after = status()
    n = len(db)
    out.update({k: (after[k] - before[k]) / n for k in after})
    st = db.stats()
    out["walk"] = ("brute force" if st["uses_brute_force"] else "compressed"
                   if st["uses_compressed_search"] else "sq8"
                   if st["uses_quantized_search"] else "f32")
    vectors = os.path.realpath(os.path.join(path, "vectors.bin"))
    out["size"] = os.path.getsize(vectors)
    maps = mapped(vectors)
    out["mapped"] = bool(maps)
    if maps:
        out["pmd"] = resident(vectors, "FilePmdMapped:")
        out["cached"] = drop_pages(vectors, maps)
        out["dropped"] = resident(vectors)
    found = []
    for i, q in enumerate(queries[:nq]):
        if i == FIRST and maps:
            out["first"] = resident(vectors)
        found.append([int(h.id) for h in db.search(q, k=K, ef_search=ef)])
    if maps:
        out["all"] = resident(vectors)
        out.setdefault("first", out["all"])  # fewer queries than FIRST
    out["recall"] = recall(found, truth[:nq])
    print(json.dumps(out))


def prepare(mode, path):
    """Turns a copy of the saved collection into one that opens in `mode`."""
    from quarn import Database

    if mode == "sq8":
        # The option is read when the handle opens, and a save under it writes vectors.sq8,
        # which every later open loads as the walk's codes.
        db = Database(path, dim=784, metric="euclidean", quantize=True)
        db.save()
        db.close()
        assert os.path.exists(os.path.join(path, "vectors.sq8"))
    elif mode == "compressed":
        db = Database(path)
        db.set_compressed_search(True)  # kept in traversal.json
        db.save()
        db.close()
        assert os.path.exists(os.path.join(path, "vectors.codes"))


def footprint(res, key, nq):
    if not res["mapped"]:
        return "vectors.bin not mmap'd"
    b = res[key]
    return f"{b / 1024:,.0f} KiB {100 * b / res['size']:.1f}% {b / nq / 1024:.1f} KiB/q"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--queries", type=int, default=10000)
    ap.add_argument("--ef", type=int, default=16)
    ap.add_argument("--modes", default="f32,sq8,compressed")
    ap.add_argument("--child", nargs=2, metavar=("MODE", "DIR"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], args.queries, args.ef)
    modes = args.modes.split(",")
    assert set(modes) <= {"f32", "sq8", "compressed"}, modes

    base = read_idx(f"{DATA}/train-images-idx3-ubyte.gz")
    tests = read_idx(f"{DATA}/t10k-images-idx3-ubyte.gz")
    nq = min(args.queries, len(tests))
    queries = tests[:max(nq, WARMUP)]
    t0 = time.perf_counter()
    truth = ground_truth(base, queries[:nq])
    print(f"Fashion-MNIST: {len(base)} x {base.shape[1]} base, {nq} queries at ef {args.ef}, "
          f"k {K}; exact answers in {time.perf_counter() - t0:.1f} s; "
          f"load {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")

    from quarn import Database

    results = {}
    with tempfile.TemporaryDirectory() as work:
        np.save(os.path.join(work, "queries.npy"), queries)
        np.save(os.path.join(work, "truth.npy"), truth)
        saved = os.path.join(work, "saved")
        db = Database(saved, dim=base.shape[1], metric="euclidean", m=16, ef_construction=200)
        t0 = time.perf_counter()
        db.add_many([str(i) for i in range(len(base))], base)
        db.save()
        db.close()
        print(f"build and save: {time.perf_counter() - t0:.1f} s")
        del base
        for mode in modes:
            path = os.path.join(work, mode)
            shutil.copytree(saved, path)  # each mode on its own files
            prepare(mode, path)
            run = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, path,
                                  "--queries", str(nq), "--ef", str(args.ef)],
                                 stdout=subprocess.PIPE, text=True, check=True)
            results[mode] = res = json.loads(run.stdout.strip().splitlines()[-1])
            if res["walk"] != mode:
                print(f"warning: the {mode} copy opened with a {res['walk']} walk")
            if res.get("cached", 0) or res.get("dropped", 0):
                print(f"warning: {res['cached']} pages of {mode}'s vectors.bin stayed cached, "
                      f"{res['dropped']} bytes mapped")
            shutil.rmtree(path)

    print(f"\nresident vectors.bin: size {results[modes[0]]['size'] / 1024:,.0f} KiB; each page "
          f"counted once, when a query first reads it (distinct pages touched)")
    print(f"{'mode':10s} {'open s':>7s} {'RSS B/vector (heap+file)':>25s} "
          f"{f'after {FIRST} q':>28s} {f'after {nq} q':>28s} {f'recall@10 ef {args.ef}':>16s}")
    for mode in modes:
        r = results[mode]
        rss = f"{r['VmRSS']:,.0f} ({r['RssAnon']:,.0f}+{r['RssFile']:,.0f})"
        first, every = footprint(r, "first", min(FIRST, nq)), footprint(r, "all", nq)
        print(f"{mode:10s} {r['open']:7.2f} {rss:>25s} {first:>28s} {every:>28s} "
              f"{r['recall']:16.4f}")
    blocks = ", ".join(f"{m} {r['pmd'] / 1024:,.0f} KiB" for m, r in results.items()
                       if r["mapped"])
    print("RssFile after the warm-up counts what the kernel maps around each page read (64 KiB "
          f"windows of cached pages, large folios whole; in 2 MiB blocks: {blocks})")
    if "compressed" in modes:
        print("compressed: opening reads the walk's 8- and 4-bit codes from vectors.codes; "
              "without that file it encodes every vector")
    print(f"load {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
