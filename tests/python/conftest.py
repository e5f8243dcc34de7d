import os
import pathlib
import random

import pytest

import quarn
from quarn import Database

# `make test` runs this suite against the package pip installed into a fresh venv, named by
# QUARN_TEST_INSTALLED: a quarn found anywhere else (the source tree's python/) would be the
# wrong thing under test.
_installed = os.environ.get("QUARN_TEST_INSTALLED")
if _installed and not pathlib.Path(quarn.__file__).resolve().is_relative_to(
        pathlib.Path(_installed).resolve()):
    raise RuntimeError(f"quarn comes from {quarn.__file__}, not from the install in {_installed}")


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
