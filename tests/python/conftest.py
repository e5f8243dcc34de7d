import random

import pytest

from quarn import Database


@pytest.fixture
def db(tmp_path):
    return Database(str(tmp_path / "db"), 3)


@pytest.fixture
def filled(tmp_path):
    """A 4-dimensional euclidean collection of 50 seeded vectors with metadata."""
    rng = random.Random(7)
    d = Database(str(tmp_path / "filled"), 4, metric="l2")
    ids = [f"v{i}" for i in range(50)]
    vectors = [[rng.uniform(-1, 1) for _ in range(4)] for _ in ids]
    metas = [{"i": i, "even": i % 2 == 0, "lang": "en" if i < 20 else "de"} for i in range(50)]
    d.add_many(ids, vectors, metas)
    return d, ids, vectors
