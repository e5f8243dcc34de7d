"""Full-text and hybrid search from Python: arguments and errors, BM25 against the formula and
against SQLite FTS5, fusion, and the quarn search command."""
import json
import math
import os
import random
import sqlite3
import subprocess
import sys

import pytest

from quarn import Database

PACKAGE = os.path.join(os.path.dirname(__file__), "..", "..", "python")
# ASCII words separated by single spaces: FTS5's tokenizer and ours find the same words.
WORDS = [f"{a}{b}" for a in ("ka", "lo", "mi", "nu", "pe", "ro", "su", "ti") for b in
         ("ba", "de", "fi", "go", "hu", "ja", "ke", "la")]


@pytest.fixture
def small(tmp_path):
    db = Database(str(tmp_path / "c"), 2)
    db.add_many(["a", "b", "c"], [[1, 0], [0, 1], [1, 1]],
                [{"body": "The quick brown fox", "n": 1}, {"body": "A lazy dog", "n": 2}, None])
    db.create_text_index("body")
    return db


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.create_text_index("body", "klingon"), ValueError,
     "^unknown text language 'klingon'; one of .*english"),
    (lambda db: db.create_text_index("body", "french"), ValueError,
     "^field 'body' has a text index with language 'english': drop it first$"),
    (lambda db: db.create_text_index(1), TypeError, "^argument 'field': "),
    (lambda db: db.search_text("fox", field="title"), ValueError,
     "^no text index on field 'title'$"),
    (lambda db: db.search_text(b"fox"), TypeError, "^argument 'query': "),
    (lambda db: db.search_text("fox", k=-1), OverflowError, ""),
    (lambda db: db.search_text("fox", where_filter={"n": {"$nin": [1]}}), ValueError,
     "^unknown operator: \\$nin$"),
    (lambda db: db.hybrid_search([1, 0, 0], "fox"), ValueError, "^dimension mismatch"),
    (lambda db: db.hybrid_search([1, 0], "fox", weights=(1,)), TypeError,
     "^argument 'weights': expected a pair of numbers$"),
    (lambda db: db.hybrid_search([1, 0], "fox", weights=(1, -1)), ValueError,
     "^weights must be finite numbers of at least 0$"),
    (lambda db: db.hybrid_search([1, 0], "fox", rank_constant=float("inf")), ValueError,
     "^rank_constant must be a finite number of at least 0$"),
    (lambda db: db.hybrid_search([float("nan"), 0], "fox"), ValueError, "non-finite"),
])
def test_argument_errors(small, call, error, message):
    with pytest.raises(error, match=message):
        call(small)


def test_definitions(small, tmp_path):
    assert small.text_indexes() == {"body": "english"}
    small.create_text_index("body", language="english")  # the same again: nothing
    small.create_text_index("title", language=None)
    assert small.text_indexes() == {"body": "english", "title": None}
    with pytest.raises(ValueError, match="^the collection has text indexes on 'body', 'title': "
                                         "name one with field=$"):
        small.search_text("fox")
    assert small.drop_text_index("title") is True and small.drop_text_index("title") is False
    small.save()
    assert Database(str(tmp_path / "c")).text_indexes() == {"body": "english"}
    assert [r.id for r in small.search_text("foxes")] == ["a"]  # stemmed
    assert small.search_text("the") == []  # a stop word only
    assert [r.id for r in small.search_text("fox dog", where_filter={"n": 2})] == ["b"]
    assert small.search_text("fox", k=0) == []


def corpus(n, seed):
    """n texts of 1 to 25 words from WORDS, the low ones common."""
    rng = random.Random(seed)
    weights = [1.0 / (i + 1) for i in range(len(WORDS))]
    return [" ".join(rng.choices(WORDS, weights, k=rng.randint(1, 25))) for _ in range(n)]


def fts5_top(fts, words, limit):
    match = " OR ".join(f'"{w}"' for w in words)
    return fts.execute("SELECT rowid, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY rank "
                       "LIMIT ?", (match, limit)).fetchall()


def tie_aware_overlap(ours, theirs):
    """The share of our top 10 that FTS5 ranks in its top 10, or ties with its 10th."""
    top = [i for i, _ in theirs[:10]]
    if len(theirs) > 10:
        last = theirs[9][1]
        top += [i for i, s in theirs[10:] if math.isclose(s, last, rel_tol=1e-9)]
    mine = [h for h in ours[:10]]
    return len(set(mine) & set(top)) / len(mine) if mine else 1.0


def test_bm25_equals_the_formula_and_ranks_as_fts5(tmp_path):
    texts = corpus(1500, 3)
    db = Database(str(tmp_path / "c"), 2)
    db.add_many([str(i + 1) for i in range(len(texts))], [[1.0, 0.0]] * len(texts),
                [{"text": t} for t in texts])
    db.create_text_index("text", language=None)
    fts = sqlite3.connect(":memory:")
    fts.execute("CREATE VIRTUAL TABLE docs USING fts5(text)")
    fts.executemany("INSERT INTO docs(rowid, text) VALUES (?, ?)",
                    ((i + 1, t) for i, t in enumerate(texts)))
    docs = [t.split() for t in texts]
    n, avgdl = len(docs), sum(len(d) for d in docs) / len(docs)
    df = {w: sum(w in d for d in docs) for w in WORDS}

    def bm25(words, doc):
        score = 0.0
        for w in words:
            f = doc.count(w)
            if f:
                idf = math.log(1 + (n - df[w] + 0.5) / (df[w] + 0.5))
                score += idf * f / (f + 1.2 * (1 - 0.75 + 0.75 * len(doc) / avgdl))
        return score

    rng = random.Random(8)
    overlap = {1: [], 2: [], 4: []}
    for size in overlap:
        for _ in range(120):
            words = rng.sample(WORDS, size)
            hits = db.search_text(" ".join(words), k=40)
            for h in hits:
                assert -h.distance == pytest.approx(bm25(words, docs[int(h.id) - 1]), rel=1e-5)
            overlap[size].append(tie_aware_overlap([int(h.id) for h in hits],
                                                   fts5_top(fts, words, 40)))
    mean = {size: sum(v) / len(v) for size, v in overlap.items()}
    # One word ranks by frequency and length alone, which both count alike; several words
    # weigh them by idf, where FTS5's ln((N - n + 0.5) / (n + 0.5)) differs from Lucene's.
    assert mean[1] >= 0.99, mean
    assert mean[2] >= 0.8 and mean[4] >= 0.8, mean  # about 0.9 measured


def test_hybrid_search_fuses_and_is_complete_under_a_filter(tmp_path):
    rng = random.Random(2)
    texts = corpus(300, 5)
    db = Database(str(tmp_path / "c"), 4)
    db.add_many([f"d{i}" for i in range(300)],
                [[rng.uniform(-1, 1) for _ in range(4)] for _ in range(300)],
                [{"text": t, "g": i % 10} for i, t in enumerate(texts)])
    db.create_text_index("text", language=None)
    query = [0.3, -0.2, 0.5, 0.1]
    text = f"{WORDS[3]} {WORDS[7]}"
    # A weight of 0 leaves the other ranking's order.
    assert [h.id for h in db.hybrid_search(query, text, k=10, weights=(1, 0))] == \
        [h.id for h in db.search(query, k=10)]
    assert [h.id for h in db.hybrid_search(query, text, k=10, weights=(0, 1))] == \
        [h.id for h in db.search_text(text, k=10)]
    fused = db.hybrid_search(query, text, k=10, rank_constant=10)
    vector_rank = {h.id: r for r, h in enumerate(db.search(query, k=100), 1)}
    text_rank = {h.id: r for r, h in enumerate(db.search_text(text, k=100), 1)}
    for h in fused:
        want = sum(1 / (10 + ranks[h.id]) for ranks in (vector_rank, text_rank) if h.id in ranks)
        assert -h.distance == pytest.approx(want, rel=1e-6)
    # Three records pass the filter, and one of them holds none of the words.
    db.upsert("d0", [0, 0, 0, 1], {"text": "nothing here", "g": 99})
    db.upsert("d1", [0, 0, 1, 0], {"text": text, "g": 99})
    db.upsert("d2", [0, 1, 0, 0], {"text": WORDS[3], "g": 99})
    hits = db.hybrid_search(query, text, k=10, where_filter={"g": 99})
    assert sorted(h.id for h in hits) == ["d0", "d1", "d2"]


def quarn(*args, stdin=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE] + sys.path))
    return subprocess.run([sys.executable, "-m", "quarn.cli", *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=env)


def test_search_command(small, tmp_path):
    small.save()
    path = tmp_path / "c"
    vector_file = tmp_path / "q.json"
    vector_file.write_text("[1, 0]")
    cases = [
        (["--text", "fox"], ["a"]),
        (["--vector", vector_file], ["a", "c", "b"]),
        (["--id", "b", "--k", "1"], ["b"]),
        (["--vector", "-", "--text", "dog", "--filter", '{"n": 2}'], ["b"]),
    ]
    for args, ids in cases:
        result = quarn("search", path, *args, "--json", stdin="0 1")
        assert result.returncode == 0, result.stderr
        assert [h["id"] for h in json.loads(result.stdout)] == ids, args
    table = quarn("search", path, "--text", "lazy dog")
    assert table.returncode == 0 and table.stdout.splitlines()[1].split()[:2] == ["1", "b"]
    for args, error in [
        ([], "give a vector (--vector or --id), a query (--text), or both"),
        (["--id", "zz"], "no id 'zz'"),
        (["--text", "x", "--filter", "[1]"], "--filter must be a JSON object"),
        (["--text", "x", "--field", "nope"], "no text index on field 'nope'"),
    ]:
        result = quarn("search", path, *args)
        assert result.returncode == 2 and error in result.stderr, (args, result.stderr)
