"""export_json / import_json from Python: arguments, error types and texts, one end-to-end
case per behaviour. The reader's messages, the number layout, the exact round trip and what
an import upserts and logs are in the core's export and json tests."""
import json
import pathlib

import pytest

from quarn import Database


@pytest.fixture
def example(tmp_path):
    """The two-entry collection of the README: a without metadata, b with {"k": 1}."""
    db = Database(str(tmp_path / "ex"), 2)
    db.add("a", [1, 0.5])
    db.add("b", [0, 2], {"k": 1})
    return db


@pytest.mark.parametrize("pretty", [False, True])
def test_worked_example(example, tmp_path, pretty):
    # Entries follow the order of ids(), which is unspecified; the text is exact otherwise.
    # Python's json writes the same layout for these values.
    # Nested and empty containers too; keys given in the sorted order the export writes.
    nested = {"a": {}, "s": "\u0001", "z": [1, {"b": []}, -2.5, None]}
    example.add("c", [3, 4], nested)
    entries = {"a": {"id": "a", "vector": [1.0, 0.5]},
               "b": {"id": "b", "vector": [0.0, 2.0], "metadata": {"k": 1}},
               "c": {"id": "c", "vector": [3.0, 4.0], "metadata": nested}}
    doc = {"version": 1, "dim": 2, "metric": "cosine",
           "vectors": [entries[i] for i in example.ids()]}
    expected = json.dumps(doc, indent=2) if pretty else json.dumps(doc, separators=(",", ":"))
    example.export_json(str(tmp_path / "x.json"), pretty=pretty)
    assert (tmp_path / "x.json").read_bytes().decode() == expected
    copy = Database(str(tmp_path / "copy"), 2)
    copy.import_json(str(tmp_path / "x.json"))
    assert {i: copy.get(i) for i in copy.ids()} == {i: example.get(i) for i in example.ids()}


def test_a_bad_document_imports_nothing(tmp_path, example):
    # Every error of a document comes through the same message; the core's export tests table
    # them (a dimension mismatch among them).
    (tmp_path / "bad.json").write_text(
        '{"version":1,"dim":2,"metric":"c","vectors":[{"id":"x","vector":[1,')
    with pytest.raises(ValueError) as info:
        example.import_json(str(tmp_path / "bad.json"))
    assert str(info.value) == (
        "corrupt data: invalid JSON: EOF while parsing a value at line 1 column 67")
    assert sorted(example.ids()) == ["a", "b"]


def test_file_errors_carry_the_platform_text(tmp_path, example):
    missing = str(tmp_path / "no" / "such.json")
    for call in (lambda: example.export_json(missing), lambda: example.import_json(missing)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
        example.export_json(str(tmp_path))


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda db, p: db.export_json(pathlib.Path(p)), "path"),
        (lambda db, p: db.import_json(pathlib.Path(p)), "path"),
        (lambda db, p: db.export_json(p, pretty=1), "pretty"),
        (lambda db, p: db.export_json(p, "yes"), "pretty"),
    ],
)
def test_argument_types(tmp_path, example, call, argument):
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        call(example, str(tmp_path / "x.json"))
    assert not (tmp_path / "x.json").exists()
