"""Full-text and hybrid search on the package descriptions of apt's lists, beside SQLite FTS5.

The corpus is what every Debian machine has: the short description of every package in
/var/lib/apt/lists/*_Packages* (read through apt-helper, which undoes their compression),
one document per package name, in name order (about 63,000 on Debian 12 with main,
updates and security). `--dump FILE` writes it as "name<TAB>description" lines, to rerun on
the same documents elsewhere; `--corpus FILE` reads such a file instead of the lists. The
corpus is never kept in the tree.

Each document becomes a record with metadata {"text", "section", "name"} and a 64-dimensional
vector: the normalized sum of fixed random vectors of its words (a stand-in for an embedding,
reproducible from the text alone). The text index has language=None (no stemming, no stop
words), as FTS5's default tokenizer, so that both rank the same words. Reports:

- text index build time (create_text_index over the stored collection) and the memory it
  adds per document (the resident set size of a process that opened the collection, with
  the text index and without);
- open time of the saved collection without the text index, with it (its postings taken
  from the file a save writes), and with it built on open (medians);
- search_text queries per second for 1-, 2- and 4-word queries (words drawn from the
  corpus, OR-ed), against FTS5's `MATCH ... ORDER BY rank LIMIT 10` on the same documents
  in the same process, with the top-10 overlap between the two;
- hybrid_search queries per second.

    PYTHONPATH=python /usr/bin/python3 bench/text_bench.py [--queries N] [--dump FILE]
"""
import argparse
import glob
import hashlib
import os
import random
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

from quarn import Database

DIM = 64


def read_apt_lists():
    docs = {}
    for path in sorted(glob.glob("/var/lib/apt/lists/*_Packages*")):
        text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path], check=True,
                              capture_output=True).stdout.decode("utf-8", "replace")
        for paragraph in text.split("\n\n"):
            fields = {}
            for line in paragraph.split("\n"):
                key, sep, value = line.partition(": ")
                if sep and not line.startswith(" "):
                    fields[key] = value.strip()
            name, description = fields.get("Package"), fields.get("Description")
            if name and description and name not in docs:
                docs[name] = (description, fields.get("Section", ""))
    return [(name, *docs[name]) for name in sorted(docs)]


def read_corpus(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            name, _, rest = line.rstrip("\n").partition("\t")
            description, _, section = rest.partition("\t")
            out.append((name, description, section))
    return out


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def opened_rss(path):
    """Resident set size of a fresh interpreter that has opened the collection at path."""
    code = ("import sys\nfrom quarn import Database\nimport text_bench\n"
            "db = Database(sys.argv[1])\nprint(text_bench.rss_bytes())")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__))] + sys.path))
    out = subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True,
                         env=env).stdout
    return int(out)


def embed(texts):
    """Normalized sums of fixed random word vectors (64 dims): reproducible, not semantic."""
    table = np.random.default_rng(11).standard_normal((1 << 14, DIM)).astype(np.float32)
    out = np.zeros((len(texts), DIM), dtype=np.float32)
    for i, text in enumerate(texts):
        words = re.findall(r"\w+", text.lower())
        for w in words:
            out[i] += table[zlib.crc32(w.encode()) & ((1 << 14) - 1)]
        norm = np.linalg.norm(out[i])
        out[i] = out[i] / norm if norm > 0 else table[i % len(table)]
    return out


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def rate(fn, queries):
    fn(queries[0])  # warm
    t0 = time.perf_counter()
    results = [fn(q) for q in queries]
    return len(queries) / (time.perf_counter() - t0), results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--corpus", help="read the documents from this file instead")
    parser.add_argument("--dump", help="write the documents to this file and go on")
    parser.add_argument("--opens", type=int, default=7, help="opens timed per variant")
    args = parser.parse_args()

    docs = read_corpus(args.corpus) if args.corpus else read_apt_lists()
    digest = hashlib.sha256("\n".join(f"{n}\t{d}" for n, d, _ in docs).encode()).hexdigest()
    print(f"corpus: {len(docs)} documents, {sum(len(d) for _, d, _ in docs)} bytes of text, "
          f"sha256 {digest[:16]}")
    if args.dump:
        with open(args.dump, "w", encoding="utf-8") as f:
            for name, description, section in docs:
                f.write(f"{name}\t{description}\t{section}\n")
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
          "(1, 5, 15 min) at the start")

    ids = [name for name, _, _ in docs]
    texts = [description for _, description, _ in docs]
    metas = [{"text": d, "section": s, "name": n} for n, d, s in docs]
    vectors = embed(texts)

    tmp = tempfile.mkdtemp(prefix="quarn-text-bench-")
    try:
        path = os.path.join(tmp, "packages")
        db = Database(path, dim=DIM, metric="cosine")
        db.add_many(ids, vectors, metas)
        db.save()
        del db
        db = Database(path)

        t0 = time.perf_counter()
        db.create_text_index("text", language=None)
        build = time.perf_counter() - t0
        print(f"text index build: {build:.3f} s for {len(docs)} documents "
              f"({len(docs) / build:,.0f} documents/s)")
        db.save()
        del db

        # The same saved collection without the text index, and with it but without its saved
        # postings (built on open).
        bare = os.path.join(tmp, "bare")
        shutil.copytree(path, bare)
        os.remove(os.path.join(bare, "text_indexes.json"))
        os.remove(os.path.join(bare, "postings.quarn"))
        rebuilt = os.path.join(tmp, "rebuilt")
        shutil.copytree(path, rebuilt)
        os.remove(os.path.join(rebuilt, "postings.quarn"))
        grown = opened_rss(path) - opened_rss(bare)
        print(f"memory: resident set of a process that opened the collection +{grown / 2**20:.1f} "
              f"MiB with the text index, {grown / len(docs):.0f} bytes per document")
        without = timed(lambda: Database(bare), args.opens)
        with_index = timed(lambda: Database(path), args.opens)
        built = timed(lambda: Database(rebuilt), args.opens)
        print(f"open: {without * 1000:.1f} ms without the text index, {with_index * 1000:.1f} ms "
              f"with it ({with_index / without:.2f}x), {built * 1000:.1f} ms building it "
              f"({built / without:.2f}x); medians of {args.opens}")

        db = Database(path)
        fts = sqlite3.connect(":memory:")
        fts.execute("CREATE VIRTUAL TABLE docs USING fts5(text)")
        t0 = time.perf_counter()
        fts.executemany("INSERT INTO docs(rowid, text) VALUES (?, ?)",
                        ((i + 1, t) for i, t in enumerate(texts)))
        fts.commit()
        print(f"FTS5 build: {time.perf_counter() - t0:.3f} s")

        # Query words: drawn from the corpus, weighted by how often they occur.
        rng = random.Random(7)
        vocabulary = [w for t in texts for w in re.findall(r"[a-z0-9]+", t.lower())]
        for words in (1, 2, 4):
            queries = [" ".join(rng.choice(vocabulary) for _ in range(words))
                       for _ in range(args.queries)]
            ours, ours_hits = rate(lambda q: db.search_text(q, k=10), queries)

            def fts_query(q):
                match = " OR ".join('"' + w + '"' for w in q.split())
                return fts.execute("SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY rank "
                                   "LIMIT 10", (match,)).fetchall()

            theirs, fts_hits = rate(fts_query, queries)
            overlap = []
            for mine, other in zip(ours_hits, fts_hits):
                want = {ids[r - 1] for (r,) in other}
                if want:
                    overlap.append(len(want & {h.id for h in mine}) / len(want))
            print(f"{words}-word queries: search_text {ours:,.0f} q/s, FTS5 {theirs:,.0f} q/s "
                  f"({ours / theirs:.1f}x); top-10 overlap {statistics.mean(overlap):.4f}")

        queries = [(vectors[rng.randrange(len(docs))],
                    " ".join(rng.choice(vocabulary) for _ in range(2)))
                   for _ in range(args.queries)]
        hybrid, _ = rate(lambda q: db.hybrid_search(q[0], q[1], k=10), queries)
        vector_only, _ = rate(lambda q: db.search(q[0], k=10), queries)
        print(f"hybrid_search (2 words): {hybrid:,.0f} q/s; search alone {vector_only:,.0f} q/s")
        print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
              "(1, 5, 15 min) at the end")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
