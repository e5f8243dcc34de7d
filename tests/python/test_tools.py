"""verify, verify_path, repair, repair_path, health and calibrate from Python, and every
subcommand of the quarn command run as a subprocess on sound and damaged collections."""
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

from quarn import Database

PACKAGE = os.path.join(os.path.dirname(__file__), "..", "..", "python")


def make_collection(path, n=40, deleted=("v3",)):
    """n vectors of dimension 3 with metadata on most, some deleted, saved. Returns the live
    records as id -> (vector, metadata)."""
    rng = random.Random(4)
    db = Database(str(path), 3, metric="l2")
    ids = [f"v{i}" for i in range(n)]
    vectors = [[rng.uniform(-1, 1) for _ in range(3)] for _ in ids]
    metas = [None if i % 4 == 0 else {"i": i, "tag": "t" + str(i % 3)} for i in range(n)]
    db.add_many(ids, vectors, metas)
    for d in deleted:
        db.delete(d)
    db.save()
    return {i: db.get(i) for i in db.ids()}


def destroy_node_records(path, deleted=1):
    """Overwrites every node record of graph.quarn with noise; the header, the deleted list and
    the metadata section (from its magic, the last "ATEM" in the file) stay."""
    graph = pathlib.Path(path) / "graph.quarn"
    data = bytearray(graph.read_bytes())
    start, end = 37 + 4 * deleted, data.rindex(b"ATEM")
    rng = random.Random(9)
    data[start:end] = bytes(rng.randrange(256) for _ in range(end - start))
    graph.write_bytes(data)


def test_calibrate_docstring_names_the_exact_default():
    assert "scanned exactly" in Database.calibrate.__doc__
    assert "max(200, k + floor(10 * sqrt(k)))" in Database.calibrate.__doc__


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.calibrate(0), ValueError, "^target_recall must be above 0 and at most 1$"),
    (lambda db: db.calibrate(1.01), ValueError, "^target_recall must be above 0 and at most 1$"),
    (lambda db: db.calibrate(float("nan")), ValueError, "^target_recall must be above 0"),
    (lambda db: db.calibrate("high"), TypeError, "^argument 'target_recall': "),
    (lambda db: db.calibrate(0.9, k=0), ValueError, "^k must be at least 1$"),
    (lambda db: db.calibrate(0.9, k=-1), OverflowError, ""),
    (lambda db: db.set_exact_scan_limit(-1), OverflowError, ""),
    (lambda db: db.set_exact_scan_limit("many"), TypeError, "^argument 'floats': "),
    (lambda db: db.set_exact_scan_limit(), TypeError, "missing 1 required positional argument: 'floats'"),
    (lambda db: db.set_compressed_search(1), TypeError, "^argument 'on': "),
    (lambda db: db.set_compressed_search(None), TypeError, "^argument 'on': "),
    (lambda db: db.verify(1), TypeError, "takes 0 positional arguments"),
    (lambda db: Database.verify_path(b"x"), TypeError, "^argument 'path': "),
    (lambda db: Database.verify_path("/nonexistent/q"),
     ValueError, "^database not found at '/nonexistent/q'$"),
    (lambda db: Database.repair_path("/nonexistent/q"),
     ValueError, "^database not found at '/nonexistent/q'$"),
])
def test_argument_errors(db, call, error, message):
    with pytest.raises(error, match=message):
        call(db)


def test_sound_collection(tmp_path):
    path = tmp_path / "c"
    records = make_collection(path)
    db = Database(str(path))
    for report in (db.verify(), Database.verify_path(str(path))):
        assert report == {"ok": True, "problems": [], "nodes": 40, "live": 39,
                          "unreachable": 0, "log_records": 0}
    health = db.health()
    assert list(health) == ["num_vectors", "num_deleted", "tombstone_ratio", "layer_counts",
                            "unreachable", "exact_search", "default_ef", "calibrated_ef",
                            "calibrated_k", "estimated_recall", "recall_sample", "recall_source",
                            "suggestions"]
    assert (health["num_vectors"], health["num_deleted"], health["layer_counts"][0]) == (39, 1, 39)
    assert (health["exact_search"], health["estimated_recall"], health["recall_sample"],
            health["recall_source"]) == (True, 1.0, 0, "exact")
    assert health["suggestions"] == []
    assert db.repair() == {"ids": 39, "tombstones_dropped": 1, "log_entries": 0, "lost": []}
    assert db.total_slots == 39 and {i: db.get(i) for i in db.ids()} == records
    assert db.exact_scan_limit == 10_000_000
    db.set_exact_scan_limit(0)  # the graph from the first vector on
    assert (db.exact_scan_limit, db.stats()["uses_brute_force"]) == (0, False)
    db.set_exact_scan_limit(None)
    assert (db.exact_scan_limit, db.stats()["uses_brute_force"]) == (10_000_000, True)
    # Scanned exactly: calibrate measures nothing and returns the default width for k (the
    # side file's handling is the core's health test).
    assert (db.calibrate(0.95), db.calibrate(0.95, k=300)) == (200, 300 + 173)
    assert db.health()["calibrated_ef"] is None


@pytest.mark.parametrize("on", [True, False])
def test_compressed_search_is_kept_across_reopen(tmp_path, on):
    path = tmp_path / "c"
    make_collection(path)
    db = Database(str(path))
    assert db.compressed_search is False
    db.set_compressed_search(True)
    db.set_compressed_search(on)
    for _ in range(2):
        assert (db.compressed_search, db.stats()["uses_compressed_search"]) == (on, on)
        file = path / "traversal.json"
        assert (json.loads(file.read_text()) if file.exists() else None) == (
            {"compressed": True} if on else None)
        db.close()
        db = Database(str(path))
    db.save()  # with the walk on, its codes are kept for the next open to read back
    assert (path / "vectors.codes").exists() == on


# ---------------------------------------------------------------------------------------
# The quarn command


def quarn(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "quarn", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=120)


def has_matplotlib():
    try:
        import matplotlib.pyplot  # noqa: F401
    except ImportError:
        return False
    return True


def one_line_error(result, start):
    assert result.returncode == 2, result
    assert result.stderr.count("\n") == 1 and result.stderr.startswith(start), result.stderr


@pytest.fixture(scope="module")
def collections(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    good, damaged = root / "good", root / "damaged"
    records = make_collection(good)
    make_collection(damaged)
    destroy_node_records(damaged)
    return root, good, damaged, records


@pytest.mark.parametrize("command", ["info", "health", "verify", "repair", "export", "import",
                                     "calibrate", "bench"])
def test_every_subcommand_has_help(command):
    result = quarn(command, "--help")
    assert result.returncode == 0 and result.stdout.startswith(f"usage: quarn {command} ")


def test_version():
    import quarn as package
    assert quarn("--version").stdout == f"quarn {package.__version__}\n"
    assert package.__version__.count(".") == 2


def test_usage_errors_are_one_line():
    one_line_error(quarn(), "quarn: error: the following arguments are required: COMMAND")
    one_line_error(quarn("verify"), "quarn verify: error: the following arguments are required")
    one_line_error(quarn("frobnicate", "x"), "quarn: error: argument COMMAND: invalid choice")


def run_cli(capsys, *args):
    """The quarn command in this process: (exit status, standard error)."""
    from quarn import cli
    try:
        status = cli.main([str(a) for a in args])
    except SystemExit as e:
        status = e.code
    return status, capsys.readouterr().err


HUGE = str(2**70)


@pytest.mark.parametrize("args, start", [
    (["bench", "{good}", "--queries", "3", "--ef", "abc"], "argument --ef: not a whole number"),
    (["bench", "{good}", "--queries", "3", "--ef", ""], "argument --ef: expected widths"),
    (["bench", "{good}", "--queries", "3", "--ef", HUGE], "argument --ef: must be at most"),
    (["bench", "{good}", "--queries", HUGE], "argument --queries: must be at most"),
    (["bench", "{good}", "--queries", "3", "--k", HUGE], "argument --k: must be at most"),
    (["bench", "{good}", "--queries", "3", "--plot", "{tmp}/none/p.png"], "quarn bench: error:"),
    (["calibrate", "{good}", "--target", "nan"], "argument --target: must be above 0"),
    (["calibrate", "{good}", "--target", "0.9", "--k", HUGE], "argument --k: must be at most"),
    (["import", "{tmp}/new", "{doc}", "--dim", HUGE], "argument --dim: must be at most"),
    (["import", "{tmp}/new", "{doc}", "--metric", ""], "argument --metric: unknown"),
    (["import", "{tmp}/new", "{huge_dim}"], "quarn import: error: cannot create"),
    (["import", "{tmp}/new", "{tmp}"], "quarn import: error: no file"),
    (["export", "{good}", "{tmp}"], "quarn export: error: cannot export to"),
    (["info", ""], "quarn info: error: no collection at ''"),
    (["verify", "{doc}"], "quarn verify: error: database not found"),
    (["repair", "{doc}"], "quarn repair: error: no collection at"),
    (["health", "{good}", "--json", "extra"], "quarn: error: unrecognized arguments: extra"),
])
def test_every_bad_argument_is_one_line_and_status_2(collections, tmp_path, capsys, args, start):
    _, good, _, _ = collections
    doc = tmp_path / "doc.json"
    doc.write_text('{"version":1,"dim":3,"metric":"euclidean","vectors":[]}')
    huge_dim = tmp_path / "huge.json"
    huge_dim.write_text('{"version":1,"dim":' + HUGE + ',"metric":"cosine","vectors":[]}')
    args = [a.format(good=good, tmp=tmp_path, doc=doc, huge_dim=huge_dim) for a in args]
    status, err = run_cli(capsys, *args)
    assert status == 2, err
    assert err.count("\n") == 1 and start in err, err


def test_info_and_health(collections):
    _, good, damaged, _ = collections
    result = quarn("info", good)
    assert result.returncode == 0 and "num_vectors" in result.stdout
    assert json.loads(quarn("info", good, "--json").stdout)["num_vectors"] == 39
    result = quarn("health", good)
    assert result.returncode == 0 and "estimated_recall  1.0000" in result.stdout
    assert json.loads(quarn("health", good, "--json").stdout)["layer_counts"][0] == 39
    document = collections[0] / "document.json"
    document.write_text('{"version":1,"dim":3,"metric":"euclidean","vectors":[]}')
    for command in ("info", "health", "export", "import", "calibrate", "bench"):
        extra = {"export": ["out.json"], "import": [document], "calibrate": ["--target", "0.9"],
                 "bench": ["--queries", "5"]}.get(command, [])
        one_line_error(quarn(command, damaged, *extra),
                       f"quarn {command}: error: cannot open '{damaged}'")
    one_line_error(quarn("info", collections[0] / "none"), "quarn info: error: no collection at")


def test_verify_exit_status(collections):
    root, good, damaged, _ = collections
    result = quarn("verify", good)
    assert result.returncode == 0 and result.stdout.startswith(f"{good}: ok; 40 nodes, 39 live")
    result = quarn("verify", damaged)
    assert result.returncode == 1
    assert result.stdout.splitlines()[0].startswith("graph.quarn: ")
    assert json.loads(quarn("verify", damaged, "--json").stdout)["ok"] is False
    one_line_error(quarn("verify", root / "none"), "quarn verify: error: database not found at")


def test_repair(collections, tmp_path):
    _, _, damaged, records = collections
    copy = tmp_path / "copy"
    subprocess.run(["cp", "-r", str(damaged), str(copy)], check=True)
    result = quarn("repair", copy)
    assert result.returncode == 0 and "repaired and saved; 39 ids" in result.stdout
    assert quarn("verify", copy).returncode == 0
    db = Database(str(copy))
    assert {i: db.get(i) for i in db.ids()} == records
    one_line_error(quarn("repair", tmp_path / "none"), "quarn repair: error: no collection at")


def test_export_and_import(collections, tmp_path):
    _, good, _, records = collections
    out = tmp_path / "out.json"
    result = quarn("export", good, out, "--pretty")
    assert result.returncode == 0 and result.stdout == f"exported 39 vectors to {out}\n"
    assert json.loads(out.read_text())["dim"] == 3
    fresh = tmp_path / "fresh"
    result = quarn("import", fresh, out)
    assert result.returncode == 0 and "into new collection" in result.stdout
    db = Database(str(fresh))
    assert (db.metric, {i: db.get(i) for i in db.ids()}) == ("euclidean", records)
    other = tmp_path / "other"
    Database(str(other), 5).save()
    one_line_error(quarn("import", other, out),
                   "quarn import: error: cannot import '" + str(out) +
                   "': dimension mismatch: expected 5, got 3")
    one_line_error(quarn("export", good, tmp_path / "no" / "x.json"),
                   "quarn export: error: cannot export to")
    one_line_error(quarn("import", fresh, tmp_path / "missing.json"),
                   "quarn import: error: no file")


def test_export_and_import_show_progress_on_large_collections(tmp_path):
    big = tmp_path / "big"
    db = Database(str(big), 2)
    db.add_many([str(i) for i in range(10_000)], [[i, 1.0] for i in range(10_000)])
    db.save()
    out = tmp_path / "big.json"
    result = quarn("export", big, out)
    assert result.returncode == 0 and "export: 100%" in result.stderr
    result = quarn("import", tmp_path / "copy", out)
    assert result.returncode == 0 and "import: 100%" in result.stderr
    assert "100%" not in quarn("export", big, out, "--no-progress").stderr


def test_calibrate_and_bench(collections, tmp_path):
    _, good, _, _ = collections
    result = quarn("calibrate", good, "--target", "0.95")
    assert result.returncode == 0 and "ef_search      200" in result.stdout
    assert "searches scan exactly" in result.stdout
    one_line_error(quarn("calibrate", good, "--target", "1.5"),
                   "quarn calibrate: error: argument --target: must be above 0 and at most 1")
    result = quarn("bench", good, "--queries", "10", "--ef", "10,40")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("10 of the collection's own vectors as queries")
    assert lines[1].startswith("recall: the queries searched for in a graph built of the other")
    assert [line.split()[:2] for line in lines[4:6]] == [["10", "1.0000"], ["40", "1.0000"]]
    assert quarn("bench", good, "--queries", "3", "--quick").stdout.splitlines()[1].startswith(
        "recall: each query searched for in the collection's own graph")
    plot = tmp_path / "curve.png"
    result = quarn("bench", good, "--queries", "10", "--plot", plot)
    if has_matplotlib():
        assert result.returncode == 0 and plot.read_bytes()[:4] == b"\x89PNG"
    else:  # Debian's matplotlib is built for its own Python only: refused before measuring
        one_line_error(result, "quarn bench: error: --plot needs matplotlib")
        assert result.stdout == ""
    rows = json.loads(quarn("bench", good, "--queries", "3", "--json").stdout)["results"]
    assert [r["ef_search"] for r in rows] == [10, 20, 40, 80, 160, 320]
