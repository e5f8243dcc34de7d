"""Several handles and processes on one collection: one state per process, readers that
follow the writer, a writer that catches up before it writes, fork, delete and close."""

import os
import select
import subprocess
import sys

import pytest

import quarn

# A child process that runs the statements it is sent, one per line, with `quarn`, `path`
# and whatever earlier statements bound; it answers each with "ok <repr of out>" or
# "err <message>".
CHILD = r"""
import sys, quarn
env = {"quarn": quarn, "path": sys.argv[1], "out": None}
for line in sys.stdin:
    env["out"] = None
    try:
        exec(line, env)
        print("ok", repr(env["out"]), flush=True)
    except Exception as error:
        print("err", error, flush=True)
"""


class Child:
    def __init__(self, path):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD, str(path)], text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __call__(self, statement):
        self.proc.stdin.write(statement + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().rstrip("\n")

    def end(self):
        self.proc.stdin.close()
        assert self.proc.wait(timeout=60) == 0

    def kill(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "c")


def ids(db):
    return sorted(db.ids())


def busy(path):
    return f"io error: collection '{path}' is being written by another process"


def test_handles_of_one_process_share_one_state(path):
    first = quarn.Database(path, dim=2)
    first.save()
    second = quarn.Database(path)
    first.add("x", [1, 0])
    second.add("y", [0, 1])
    first.save()  # saves y too, and removes the log that held it
    del first, second
    third = quarn.Database(path)
    assert ids(third) == ["x", "y"]
    fourth = quarn.Database(path)
    third.add("z", [1, 1])
    assert "z" in fourth  # one state: no reopen needed


def test_a_stale_handle_catches_up_before_it_saves(path):
    with quarn.Database(path, dim=2) as db:
        db.add("x", [1, 0])
    del db
    reader = quarn.Database(path)
    other = Child(path)
    assert other("db = quarn.Database(path); db.add('y', [0, 1]); db.add('z', [1, 1])") == "ok None"
    assert other("db.save()") == "ok None"
    other.end()
    reader.save()  # no read in between: the save itself must not write the state it opened
    del reader
    assert ids(quarn.Database(path)) == ["x", "y", "z"]


def test_readers_follow_the_writer_without_reopening(path):
    quarn.Database(path, dim=2).save()
    reader = quarn.Database(path)
    writer = Child(path)
    assert writer("db = quarn.Database(path)") == "ok None"
    for i, step in enumerate(["db.add('a', [1, 0])", "db.upsert('b', [0, 1], {'n': 1})",
                              "db.save()", "db.update('b', metadata={'n': 2})", "db.delete('a')",
                              "db.add_many(['c', 'd'], [[1, 1], [2, 2]])", "db.compact(); db.save()"]):
        assert writer(step) == "ok None", step
        # Read straight after the writer's call returned.
        expected = {0: ["a"], 1: ["a", "b"], 2: ["a", "b"], 3: ["a", "b"], 4: ["b"]}.get(
            i, ["b", "c", "d"])
        assert ids(reader) == expected, step
        assert len(reader.search([0, 1], k=10)) == len(expected)
        if i >= 3:
            assert reader.get("b")[1] == {"n": 2}
    # Settings kept beside the files reach the reader too.
    assert writer("db.update('c', metadata={'t': 'red fox'}); db.create_text_index('t')") == "ok None"
    assert [h.id for h in reader.search_text("fox")] == ["c"]
    assert writer("db.set_exact_scan_limit(0)") == "ok None"
    assert reader.exact_scan_limit == 0
    # The writer role is the writer's: the reader is refused until the writer is gone.
    with pytest.raises(ValueError, match="being written by another process"):
        reader.add("e", [3, 3])
    writer.end()
    reader.add("e", [3, 3])
    assert ids(reader) == ["b", "c", "d", "e"]


def test_a_fork_child_holds_no_claim(path):
    db = quarn.Database(path, dim=2)
    db.add("parent", [1, 0])
    to_parent, from_child = os.pipe()
    to_child, from_parent = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: refused while the parent writes, free once it is gone
        try:
            try:
                db.add("child", [0, 1])
                os.write(from_child, b"added while the parent held the role\n")
            except ValueError as error:
                os.write(from_child, b"refused\n" if busy(path) == str(error) else b"other\n")
            select.select([to_child], [], [], 10)  # the parent has dropped its handle
            os.read(to_child, 1)
            db.add("child", [0, 1])
            db.save()
            os.write(from_child, b"saved\n")
        finally:
            os._exit(0)
    replies = os.fdopen(to_parent)
    assert replies.readline() == "refused\n"
    del db
    os.write(from_parent, b"g")
    assert replies.readline() == "saved\n"
    os.waitpid(pid, 0)
    assert ids(quarn.Database(path)) == ["child", "parent"]


def test_delete_collection_respects_the_writer(tmp_path):
    client = quarn.Client(str(tmp_path))
    client.create_collection("c", 2).save()
    writer = Child(str(tmp_path / "c"))
    assert writer("db = quarn.Database(path); db.add('w', [1, 0])") == "ok None"
    with pytest.raises(ValueError, match="being written by another process"):
        client.delete_collection("c")
    assert os.path.isdir(tmp_path / "c")
    writer.kill()
    mine = client.get_collection("c")
    assert client.delete_collection("c") is True
    client.create_collection("c", 2).save()
    with pytest.raises(ValueError, match="^io error: collection '.*' was deleted$"):
        mine.add("m", [0, 1])
    assert client.get_collection("c").ids() == []


def test_a_collection_never_saved_keeps_what_its_log_holds(tmp_path):
    path = str(tmp_path / "c")
    crash = Child(path)
    assert crash("db = quarn.Database(path, dim=3); db.add_many(['a', 'b'], [[1, 2, 3], [4, 5, 6]])"
                 ) == "ok None"
    assert crash("db.sync()") == "ok None"
    crash.kill()  # no save, no close
    assert ids(quarn.Database(path)) == ["a", "b"]  # no dim needed
    assert quarn.Client(str(tmp_path)).list_collections() == ["c"]
    again = quarn.Database(path, dim=5)  # the stored dimension wins; nothing is skipped
    assert again.dim == 3 and ids(again) == ["a", "b"]


def test_close_releases_the_handle_and_the_writer_role(path):
    db = quarn.Database(path, dim=2)
    db.add("a", [1, 0])
    other = Child(path)
    assert other("db = quarn.Database(path); db.add('b', [0, 1])").startswith("err")
    db.close()
    db.close()  # closing twice is harmless
    for call in (lambda: db.add("c", [1, 1]), lambda: len(db), lambda: db.search([1, 0]),
                 lambda: db.save(), lambda: db.dim):
        with pytest.raises(ValueError, match="^the database is closed$"):
            call()
    assert other("db.add('b', [0, 1]); out = sorted(db.ids())") == "ok ['a', 'b']"
    other.end()
