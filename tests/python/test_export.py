"""export_json / import_json from Python: arguments, error types and texts, one end-to-end
case per behaviour. The reader's messages and the number layout are tabled in the core's
export and json tests."""
import json
import pathlib
import struct

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
    entries = {"a": {"id": "a", "vector": [1.0, 0.5]},
               "b": {"id": "b", "vector": [0.0, 2.0], "metadata": {"k": 1}}}
    doc = {"version": 1, "dim": 2, "metric": "cosine",
           "vectors": [entries[i] for i in example.ids()]}
    expected = json.dumps(doc, indent=2) if pretty else json.dumps(doc, separators=(",", ":"))
    example.export_json(str(tmp_path / "x.json"), pretty=pretty)
    assert (tmp_path / "x.json").read_bytes().decode() == expected


def test_number_layout(tmp_path):
    db = Database(str(tmp_path / "n"), 4, metric="l2")
    db.add("x", [1e-7, 0.1, 2.5e13, 1e12], {"lo": -2**63, "hi": 2**64 - 1, "f": 1e-6})
    db.export_json(str(tmp_path / "n.json"))
    assert (tmp_path / "n.json").read_text().endswith(
        '"vector":[1e-7,0.1,2.5e+13,1000000000000.0],'
        '"metadata":{"f":1e-6,"hi":18446744073709551615,"lo":-9223372036854775808}}]}')


@pytest.mark.parametrize("pretty", [False, True])
def test_round_trip_is_exact(tmp_path, pretty):
    specials = [0.0, -0.0, 1e-45, 1.17549435e-38, 3.4028235e38, -1e-7, 0.1, 1 / 3]
    source = Database(str(tmp_path / "src"), 8, metric="l2")
    for i in range(8):
        meta = None if i % 4 == 0 else {"i": i, "f": 0.1 * 10 ** (3 * i - 10), "s": f"s{i}\n",
                                        "nested": {"z": [1, 2.5, None, True], "a": {"d": -i}},
                                        "big": 2**64 - 1 - i}
        source.add(f"id-{i}-\u00e9\"\\", specials[i:] + specials[:i], meta)
    source.export_json(str(tmp_path / "doc.json"), pretty=pretty)
    target = Database(str(tmp_path / "dst"), 8, metric="cosine")
    target.import_json(str(tmp_path / "doc.json"))
    assert sorted(target.ids()) == sorted(source.ids())
    for i in source.ids():
        vec, meta = source.get(i)
        got_vec, got_meta = target.get(i)
        assert struct.pack("<8f", *got_vec) == struct.pack("<8f", *vec)
        assert json.dumps(got_meta, sort_keys=True) == json.dumps(meta, sort_keys=True)
    # The document itself is standard JSON.
    assert len(json.loads((tmp_path / "doc.json").read_text())["vectors"]) == 8


def test_import_upserts_keeps_the_metric_and_is_logged(tmp_path, example):
    example.save()
    doc = {"version": 9, "dim": 2, "metric": "dot_product", "vectors": [
        {"id": "a", "vector": [3, 4], "metadata": {"new": True}},
        {"id": "c", "vector": [5.5, 1e-3], "metadata": None},
        ["d", [1, 2], {"arr": 1}],
    ]}
    (tmp_path / "d.json").write_text(json.dumps(doc, indent=3) + "\n\t ")
    example.import_json(str(tmp_path / "d.json"))
    assert example.metric == "cosine"
    assert sorted(example.ids()) == ["a", "b", "c", "d"]
    assert example.get("a") == ([3.0, 4.0], {"new": True})
    assert example.get("b") == ([0.0, 2.0], {"k": 1})
    assert example.get("c") == ([5.5, struct.unpack("<f", struct.pack("<f", 1e-3))[0]], None)
    assert example.get("d") == ([1.0, 2.0], {"arr": 1})
    again = Database(str(tmp_path / "ex"))  # saved before the import: it replays from the log
    assert {i: again.get(i) for i in again.ids()} == {i: example.get(i) for i in example.ids()}


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"version":1,"dim":3,"metric":"cosine","vectors":[{"id":"x","vector":[1,2]}]}',
         "dimension mismatch: expected 2, got 3"),
        ('{"version":1,"dim":2,"metric":"cosine","vectors":[{"id":"x","vector":[1,2,3]}]}',
         "dimension mismatch: expected 2, got 3"),
        ('{"dim":2,"metric":"c","vectors":[]}',
         "corrupt data: invalid JSON: missing field `version` at line 1 column 35"),
        ('{"version":1,"dim":2,"metric":"c","vectors":[{"id":"x","vector":[1,',
         "corrupt data: invalid JSON: EOF while parsing a value at line 1 column 67"),
    ],
    ids=["document dim", "entry length", "missing field", "truncated"],
)
def test_bad_documents_import_nothing(tmp_path, example, text, message):
    (tmp_path / "bad.json").write_text(text)
    with pytest.raises(ValueError) as info:
        example.import_json(str(tmp_path / "bad.json"))
    assert str(info.value) == message
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
