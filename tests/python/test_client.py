"""Client from Python: argument checks, error types and texts, one end-to-end case per rule.
The name, listing and deletion tables live in the core's client tests."""
import os
import pathlib

import pytest

from quarn import Client, Database

METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


@pytest.fixture
def client(tmp_path):
    return Client(str(tmp_path / "root"))


@pytest.fixture
def root(tmp_path):
    return tmp_path / "root"


def saved(client, name, dim=4):
    db = client.create_collection(name, dim)
    db.save()
    return db


@pytest.mark.parametrize(
    "name, message",
    [
        ("", "name cannot be empty"),
        ("..", "name cannot contain path separators or be '.' or '..'"),
        ("a b", "name must be alphanumeric, hyphens, or underscores"),
        ("x\x00", "name must be alphanumeric, hyphens, or underscores"),  # not cut at the NUL
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda c, n: c.create_collection(n, 4),
        lambda c, n: c.get_collection(n),
        lambda c, n: c.get_or_create_collection(n, 4),
        lambda c, n: c.delete_collection(n),
    ],
    ids=["create", "get", "get_or_create", "delete"],
)
def test_invalid_names(client, root, call, name, message):
    with pytest.raises(ValueError) as info:
        call(client, name)
    assert str(info.value) == "invalid collection name: " + message
    assert os.listdir(root) == []


@pytest.mark.parametrize(
    "call, message",
    [
        # The metric is checked before the name.
        (lambda c: c.create_collection("a/b", 4, metric="cos"), METRIC),
        (lambda c: c.get_or_create_collection("", 4, metric="L2"), METRIC),
        (lambda c: c.create_collection("c", 4, m=0), "m must be at least 2"),
        (lambda c: c.create_collection("c", 4, m=1), "m must be at least 2"),
    ],
)
def test_argument_checks_come_first(client, root, call, message):
    with pytest.raises(ValueError) as info:
        call(client)
    assert str(info.value) == message
    assert os.listdir(root) == []


def test_create_passes_its_settings(client, root):
    db = client.create_collection("c", 3, metric="l2", m=8, ef_construction=50, quantize=True)
    assert isinstance(db, Database)
    assert (db.dim, db.metric) == (3, "euclidean")
    db.add_many(["a", "b"], [[0, 0, 0], [1, 1, 1]])
    assert db.search([1, 1, 1], k=1)[0].id == "b"
    db.save()
    assert (root / "c" / "vectors.sq8").exists()
    plain = client.create_collection("d", 3)
    plain.add("a", [1, 2, 3])
    plain.save()
    assert plain.metric == "cosine" and not (root / "d" / "vectors.sq8").exists()


def test_created_collection_lists_and_opens_at_once(client, root):
    # A name beyond ASCII goes through as text both ways; the listing's order and what it
    # skips are tabled in the core's client tests. The collection is saved when created, so
    # what its log holds is never the only trace of it.
    db = client.create_collection("né", 4)
    db.add("a", [1, 2, 3, 4])
    assert client.list_collections() == ["né"]
    with pytest.raises(ValueError, match="^collection 'né' already exists$"):
        client.create_collection("né", 4)
    saved(client, "b")
    assert client.list_collections() == ["b", "né"]
    again = client.get_collection("né")
    assert again is not db and again.get("a")[0] == [1.0, 2.0, 3.0, 4.0]


def test_delete(client, root):
    db = saved(client, "c")
    db.add("a", [1, 2, 3, 4])
    saved(client, "d")
    assert client.delete_collection("missing") is False
    assert client.delete_collection("c") is True
    assert client.list_collections() == ["d"] and not (root / "c").exists()
    assert db.get("a")[0] == [1.0, 2.0, 3.0, 4.0]  # an open handle outlives the deletion
    (root / "f").write_text("x")
    with pytest.raises(ValueError, match="^io error: Not a directory"):
        client.delete_collection("f")
    assert (root / "f").read_text() == "x"


def test_root(tmp_path):
    # Creating its parents, and keeping an existing directory, are the core's EnsureRoot test.
    (tmp_path / "f").write_text("x")
    with pytest.raises(ValueError, match="^io error: "):
        Client(str(tmp_path / "f"))
    with pytest.raises(TypeError, match="^argument 'path': "):
        Client(pathlib.Path(tmp_path))
    with pytest.raises(TypeError, match="^argument 'name': "):
        Client(str(tmp_path)).get_collection(b"c")


def test_relative_root_follows_the_working_directory(tmp_path, monkeypatch):
    (tmp_path / "one").mkdir()
    (tmp_path / "two").mkdir()
    monkeypatch.chdir(tmp_path / "one")
    client = Client("root")
    saved(client, "c")
    monkeypatch.chdir(tmp_path / "two")
    with pytest.raises(ValueError, match="^io error: No such file or directory"):
        client.list_collections()
    saved(client, "d")  # root/d is created here, with its parents
    assert client.list_collections() == ["d"]
