"""export_json / import_json: the document layout, number formats, exact round trips and
the reader's messages."""
import inspect
import json
import math
import pathlib
import random
import struct

import pytest

from quarn import Database


def f32_bits(values):
    return struct.pack(f"<{len(values)}f", *values)


@pytest.fixture
def example(tmp_path):
    """The two-entry collection of the README: a without metadata, b with {"k": 1}."""
    db = Database(str(tmp_path / "ex"), 2)
    db.add("a", [1, 0.5])
    db.add("b", [0, 2], {"k": 1})
    return db


def export_text(db, path, pretty=False):
    db.export_json(str(path), pretty=pretty)
    return path.read_bytes().decode()


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("export_json", "(self, /, path, pretty=False)",
         "Export all vectors and metadata to a JSON file."),
        ("import_json", "(self, /, path)",
         "Import vectors from a JSON file into this database (upsert semantics)."),
    ],
)
def test_signatures_and_docstrings(name, signature, doc):
    method = getattr(Database, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


def test_compact_form(example, tmp_path):
    # Entries follow the order of ids(), which is unspecified; the text is exact otherwise.
    entries = {"a": '{"id":"a","vector":[1.0,0.5]}',
               "b": '{"id":"b","vector":[0.0,2.0],"metadata":{"k":1}}'}
    expected = ('{"version":1,"dim":2,"metric":"cosine","vectors":['
                + ",".join(entries[i] for i in example.ids()) + "]}")
    assert export_text(example, tmp_path / "c.json") == expected


def test_pretty_form(example, tmp_path):
    entries = {
        "a": ['    {', '      "id": "a",', '      "vector": [', '        1.0,', '        0.5',
              '      ]', '    }'],
        "b": ['    {', '      "id": "b",', '      "vector": [', '        0.0,', '        2.0',
              '      ],', '      "metadata": {', '        "k": 1', '      }', '    }'],
    }
    body = []
    for n, i in enumerate(example.ids()):
        lines = list(entries[i])
        if n == 0:
            lines[-1] += ","
        body += lines
    expected = ["{", '  "version": 1,', '  "dim": 2,', '  "metric": "cosine",',
                '  "vectors": ['] + body + ["  ]", "}"]
    assert export_text(example, tmp_path / "p.json", pretty=True) == "\n".join(expected)


@pytest.mark.parametrize("pretty, vectors", [(False, '"vectors":[]'), (True, '"vectors": []')])
def test_empty_collection(tmp_path, pretty, vectors):
    db = Database(str(tmp_path / "e"), 3, metric="dot")
    text = export_text(db, tmp_path / "e.json", pretty)
    assert vectors in text and '"dot_product"' in text
    db.import_json(str(tmp_path / "e.json"))
    assert len(db) == 0


@pytest.mark.parametrize(
    "value, text",
    [
        (1e-7, "1e-7"),
        (0.1, "0.1"),
        (2.5e13, "2.5e+13"),
        (1e12, "1000000000000.0"),
        (1e13, "1e+13"),
        (0.000001, "0.000001"),
        (-0.5, "-0.5"),
        (123456.7, "123456.7"),
        (3.4028234663852886e38, "3.4028235e+38"),
        (1.401298464324817e-45, "1e-45"),
        (16777216.0, "16777216.0"),
    ],
)
def test_vector_component_format(tmp_path, value, text):
    db = Database(str(tmp_path / "n"), 1, metric="l2")
    db.add("x", [value])
    assert export_text(db, tmp_path / "n.json").endswith(f'"vector":[{text}]}}]}}')


@pytest.mark.parametrize(
    "value, text",
    [
        (7, "7"),
        (-2**63, "-9223372036854775808"),
        (2**64 - 1, "18446744073709551615"),
        (0.1, "0.1"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e+16"),
        (0.00001, "0.00001"),
        (1e-6, "1e-6"),
        (1.5e300, "1.5e+300"),
        ("a\"b\\\n\t\x01é", '"a\\"b\\\\\\n\\t\\u0001é"'),
        (True, "true"),
        ([], "[]"),
    ],
)
def test_metadata_value_format(tmp_path, value, text):
    db = Database(str(tmp_path / "n"), 1)
    db.add("x", [1.0], {"v": value})
    assert export_text(db, tmp_path / "n.json").endswith(f'"metadata":{{"v":{text}}}}}]}}')


def awkward_collection(path, dim=5, count=40):
    rng = random.Random(11)
    db = Database(path, dim, metric="l2")
    specials = [0.0, -0.0, 1e-45, 1.17549435e-38, 3.4028235e38, -1e-7, 0.1, 1 / 3]
    ids, vectors, metas = [], [], []
    for i in range(count):
        vec = [rng.choice(specials) if rng.random() < 0.3 else rng.uniform(-1e6, 1e6)
               for _ in range(dim)]
        ids.append(f"id-{i}-\u00e9\"\\")
        vectors.append(struct.unpack(f"<{dim}f", f32_bits(vec)))
        metas.append(None if i % 4 == 0 else {
            "i": i, "f": rng.random() * 10 ** rng.randint(-20, 20), "s": f"s{i}\n",
            "nested": {"z": [1, 2.5, None, True], "a": {"deep": -i}}, "big": 2**64 - 1 - i,
        })
    db.add_many(ids, vectors, metas)
    return db


@pytest.mark.parametrize("pretty", [False, True])
def test_round_trip_is_exact(tmp_path, pretty):
    source = awkward_collection(str(tmp_path / "src"))
    source.export_json(str(tmp_path / "doc.json"), pretty=pretty)
    target = Database(str(tmp_path / "dst"), 5, metric="cosine")
    target.import_json(str(tmp_path / "doc.json"))
    assert sorted(target.ids()) == sorted(source.ids())
    for i in source.ids():
        vec, meta = source.get(i)
        got_vec, got_meta = target.get(i)
        assert f32_bits(got_vec) == f32_bits(vec)
        assert json.dumps(got_meta, sort_keys=True) == json.dumps(meta, sort_keys=True)
    # The document itself is standard JSON.
    assert len(json.loads((tmp_path / "doc.json").read_text())["vectors"]) == 40


def test_import_upserts_and_ignores_the_metric(tmp_path, example):
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


def test_imports_survive_a_reopen_only_through_the_log(tmp_path, example):
    example.save()
    (tmp_path / "d.json").write_text('[1,2,"cosine",[["z",[1,1],null]]]')
    example.import_json(str(tmp_path / "d.json"))
    del example
    again = Database(str(tmp_path / "ex"))
    assert "z" in again


def test_dimension_mismatch_imports_nothing(tmp_path):
    db = Database(str(tmp_path / "four"), 4)
    db.add("keep", [1, 2, 3, 4])
    (tmp_path / "d.json").write_text(
        '{"version":1,"dim":3,"metric":"cosine","vectors":[{"id":"x","vector":[1,2,3]}]}')
    with pytest.raises(ValueError) as info:
        db.import_json(str(tmp_path / "d.json"))
    assert str(info.value) == "dimension mismatch: expected 4, got 3"
    assert db.ids() == ["keep"]


def test_entry_of_the_wrong_length(tmp_path, example):
    (tmp_path / "d.json").write_text(
        '{"version":1,"dim":2,"metric":"cosine","vectors":[{"id":"x","vector":[1,2,3]}]}')
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        example.import_json(str(tmp_path / "d.json"))
    assert "x" not in example


CORRUPT = "corrupt data: invalid JSON: "


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"dim":2,"metric":"c","vectors":[]}', "missing field `version` at line 1 column 35"),
        ('{"version":1,"dim":2,"dim":2,"metric":"c","vectors":[]}',
         "duplicate field `dim` at line 1 column 26"),
        ('{"version":1,"dim":2,"metric":"c","vectors":[{"id":"a"}]}',
         "missing field `vector` at line 1 column 55"),
        ('[1,2,"c"]',
         "invalid length 3, expected struct ExportFormat with 4 elements at line 1 column 9"),
        ('[1,2,"c",[["a",[1,2]]]]',
         "invalid length 2, expected struct ExportVector with 3 elements at line 1 column 21"),
        ('{"version":"x"}', 'invalid type: string "x", expected u32 at line 1 column 14'),
        ('{"version":1,"dim":true}',
         "invalid type: boolean `true`, expected usize at line 1 column 23"),
        ('{"version":1,"dim":2,"metric":5}',
         "invalid type: integer `5`, expected a string at line 1 column 31"),
        ('{"version":1,"dim":2,"metric":"c","vectors":{}}',
         "invalid type: map, expected a sequence at line 1 column 45"),
        ('{"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":[1,null]}]}',
         "invalid type: null, expected f32 at line 1 column 71"),
        ('{"version":1,"dim":2,"metric":"c","vectors":[]} x',
         "trailing characters at line 1 column 49"),
        ('{"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":[1,',
         "EOF while parsing a value at line 1 column 67"),
        ("", "EOF while parsing a value at line 1 column 0"),
    ],
)
def test_reader_errors(tmp_path, example, text, message):
    (tmp_path / "bad.json").write_text(text)
    with pytest.raises(ValueError) as info:
        example.import_json(str(tmp_path / "bad.json"))
    assert str(info.value) == CORRUPT + message
    assert sorted(example.ids()) == ["a", "b"]


def test_file_errors_carry_the_platform_text(tmp_path, example):
    missing = str(tmp_path / "no" / "such.json")
    for call in (lambda: example.export_json(missing), lambda: example.import_json(missing)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
        example.export_json(str(tmp_path))


def test_export_replaces_an_existing_file(tmp_path, example):
    target = tmp_path / "x.json"
    target.write_text("x" * 10000)
    example.export_json(str(target))
    assert json.loads(target.read_text())["dim"] == 2


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


def test_non_finite_components_are_written_as_null(tmp_path):
    db = Database(str(tmp_path / "nan"), 3, metric="l2")
    db.add("x", [math.nan, math.inf, -math.inf])
    assert export_text(db, tmp_path / "n.json").endswith('"vector":[null,null,null]}]}')
