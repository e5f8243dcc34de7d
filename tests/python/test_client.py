"""Client: named collections under a root directory."""
import inspect
import os
import pathlib

import pytest

from quarn import Client, Database

EMPTY = "invalid collection name: name cannot be empty"
SEPARATOR = "invalid collection name: name cannot contain path separators or be '.' or '..'"
CHARS = "invalid collection name: name must be alphanumeric, hyphens, or underscores"
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
    "name, signature, doc",
    [
        ("create_collection",
         "(self, /, name, dim, metric=None, m=None, ef_construction=None, quantize=False)",
         "Create a new collection. Fails if it already exists."),
        ("get_collection", "(self, /, name)", "Get an existing collection by name."),
        ("get_or_create_collection", "(self, /, name, dim, metric=None)",
         "Get or create a collection."),
        ("delete_collection", "(self, /, name)", "Delete a collection and all its data."),
        ("list_collections", "(self, /)", "List all collection names."),
    ],
)
def test_signatures_and_docstrings(name, signature, doc):
    method = getattr(Client, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize(
    "name, message",
    [
        ("", EMPTY),
        ("a/b", SEPARATOR),
        ("a\\b", SEPARATOR),
        (".", SEPARATOR),
        ("..", SEPARATOR),
        ("a.b/c", SEPARATOR),  # the separator check comes before the character check
        ("a.b", CHARS),
        ("a b", CHARS),
        ("a+b", CHARS),
        ("...", CHARS),
        ("x\x00", CHARS),
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
    assert str(info.value) == message
    assert os.listdir(root) == []


@pytest.mark.parametrize("name", ["my-coll_1", "é", "名前", "x²", "Ⅻ", "A0"])
def test_accepted_names(client, name):
    saved(client, name)
    assert client.list_collections() == [name]
    assert client.get_collection(name).dim == 4


def test_metric_is_checked_before_the_name(client):
    with pytest.raises(ValueError, match=f"^{METRIC}$"):
        client.create_collection("a/b", 4, metric="cos")
    with pytest.raises(ValueError, match=f"^{METRIC}$"):
        client.get_or_create_collection("", 4, metric="L2")


@pytest.mark.parametrize("m", [0, 1])
def test_degenerate_m_is_refused(client, root, m):
    with pytest.raises(ValueError, match="^m must be at least 2$"):
        client.create_collection("c", 4, m=m)
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


@pytest.mark.parametrize("kind", ["file", "empty dir", "collection", "dangling link"])
def test_create_over_anything_existing(client, root, kind):
    path = root / "taken"
    if kind == "file":
        path.write_bytes(b"keep me")
    elif kind == "empty dir":
        path.mkdir()
    elif kind == "collection":
        saved(client, "taken")
    else:
        path.symlink_to(root / "nowhere")
    before = sorted(os.listdir(path)) if path.is_dir() else None
    with pytest.raises(ValueError, match="^collection 'taken' already exists$"):
        client.create_collection("taken", 4)
    if kind == "file":
        assert path.read_bytes() == b"keep me"
    elif kind == "dangling link":
        assert path.is_symlink() and not (root / "nowhere").exists()
    else:
        assert sorted(os.listdir(path)) == before


def test_listing_rules(client, root, tmp_path):
    for name in ["b", "B", "_x", "9", "é", "Ａ", "𐐀", "z-z"]:
        saved(client, name)
    (root / "plain-file").write_text("x")
    (root / "empty").mkdir()
    (root / "no-graph").mkdir()
    (root / "no-graph" / "vectors.bin").write_bytes(b"")
    (root / "link").symlink_to(root / "b", target_is_directory=True)
    outside = tmp_path / "outside"
    Database(str(outside), 2).save()
    (root / "link-out").symlink_to(outside, target_is_directory=True)
    # A directory whose name is not UTF-8 is skipped, not an error.
    bad = os.path.join(os.fsencode(root), b"bad\xff")
    os.mkdir(bad)
    open(os.path.join(bad, b"graph.quarn"), "wb").close()
    # A directory holding a graph file but named invalidly is still listed.
    (root / "has.dot").mkdir()
    (root / "has.dot" / "graph.quarn").write_bytes(b"")

    listed = client.list_collections()
    # Code point order is UTF-8 byte order (U+FF21 before U+10400, unlike UTF-16).
    assert listed == ["9", "B", "_x", "b", "has.dot", "z-z", "é", "Ａ", "𐐀"]
    assert listed == sorted(listed, key=lambda s: s.encode())


def test_listing_an_unreadable_root(tmp_path):
    client = Client(str(tmp_path / "r"))
    os.rmdir(tmp_path / "r")
    with pytest.raises(ValueError, match="^io error: No such file or directory"):
        client.list_collections()


def test_unsaved_collection_is_not_yet_listed(client, root):
    db = client.create_collection("new", 4)
    db.add("a", [1, 2, 3, 4])
    assert client.list_collections() == []
    with pytest.raises(ValueError) as info:
        client.get_collection("new")
    assert str(info.value) == f"database not found at '{root / 'new'}'"
    with pytest.raises(ValueError, match="^collection 'new' already exists$"):
        client.create_collection("new", 4)
    db.save()
    assert client.list_collections() == ["new"]
    again = client.get_collection("new")
    assert again is not db and again.get("a")[0] == [1.0, 2.0, 3.0, 4.0]


def test_get_missing(client, root):
    with pytest.raises(ValueError, match="^database not found at '") as info:
        client.get_collection("absent")
    assert str(info.value) == f"database not found at '{root / 'absent'}'"
    assert not (root / "absent").exists()


def test_get_or_create_keeps_the_stored_dimension_and_metric(client):
    db = client.get_or_create_collection("c", 4, metric="dot")
    db.add("a", [1, 0, 0, 0])
    db.save()
    again = client.get_or_create_collection("c", 8, metric="l2")
    assert (again.dim, again.metric, len(again)) == (4, "dot_product", 1)
    assert client.get_or_create_collection("fresh", 8).dim == 8


def test_delete(client, root):
    saved(client, "c")
    saved(client, "d")
    assert client.delete_collection("missing") is False
    assert client.delete_collection("c") is True
    assert client.list_collections() == ["d"] and not (root / "c").exists()
    assert client.delete_collection("c") is False


def test_delete_a_plain_file_fails(client, root):
    (root / "f").write_text("x")
    with pytest.raises(ValueError, match="^io error: Not a directory"):
        client.delete_collection("f")
    assert (root / "f").read_text() == "x"


def test_delete_a_link_keeps_its_target(client, root, tmp_path):
    outside = tmp_path / "outside"
    Database(str(outside), 2).save()
    (root / "l").symlink_to(outside, target_is_directory=True)
    assert client.delete_collection("l") is True
    assert not (root / "l").exists() and (outside / "graph.quarn").exists()


def test_open_database_outlives_its_deletion(client):
    db = saved(client, "c")
    db.add("a", [1, 2, 3, 4])
    assert client.delete_collection("c") is True
    assert db.get("a")[0] == [1.0, 2.0, 3.0, 4.0]


def test_root_is_created_with_its_parents(tmp_path):
    Client(str(tmp_path / "a" / "b" / "c"))
    assert (tmp_path / "a" / "b" / "c").is_dir()
    Client(str(tmp_path / "a"))  # an existing directory is fine


def test_root_that_is_a_file(tmp_path):
    (tmp_path / "f").write_text("x")
    with pytest.raises(ValueError, match="^io error: "):
        Client(str(tmp_path / "f"))


def test_root_must_be_a_str(tmp_path):
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
