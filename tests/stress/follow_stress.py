#!/usr/bin/env python3
"""One collection, several processes: a writer killed at random moments and started again,
and readers in other processes that must see every acknowledged change within a bound.

The writer mutates (upserts, deletes, metadata updates and batches), sometimes saves, closes
its handle and opens a new one, or forks a child that must be refused the writer's role; it
acknowledges each call on its standard output once the call has returned, with the time.
The coordinator forwards every acknowledgement to the readers, kills the writer now and
then, and hands over to the next writer: a process that opened the collection when the
writer before it took over and has not touched it since, so that its first call (a save)
must catch up with everything written meanwhile. It then reports the state it holds. Every record carries
the iteration that wrote it (vector[1] and metadata "i"), so a reader can tell whether what
it sees is at least as new as what was acknowledged.

Reported: lost acknowledged changes (in a reopen), divergent reopens (neither the
acknowledged state nor that plus the one call in flight), reads that did not see an
acknowledged change although they were issued later than the bound after it, and the
longest lag from an acknowledgement to the first read that saw it.

  PYTHONPATH=python /usr/bin/python3 tests/stress/follow_stress.py --iterations 2000
"""

import argparse
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

import quarn

DIM = 4
IDS = 32


def key(k):
    return f"id{k}"


def vector(k, i):
    return [float(k), float(i), 1.0, 0.5]


def plan(seed, i):
    """The call of iteration i: (kind, ids), the same in every process."""
    rng = random.Random(seed * 1_000_003 + i)
    roll = rng.random()
    ks = rng.sample(range(IDS), 3)
    if roll < 0.40:
        return "upsert", ks[:1]
    if roll < 0.55:
        return "update", ks[:1]
    if roll < 0.67:
        return "delete", ks[:1]
    if roll < 0.77:
        return "upsert_many", ks
    if roll < 0.82:
        return "delete_many", ks[:2]
    if roll < 0.92:
        return "save", []
    if roll < 0.96:
        return "reopen", []
    if roll < 0.98:
        return "compact", []
    return "fork", []


def apply(model, kind, ks, i):
    """The state after the call: id -> iteration that wrote it."""
    out = dict(model)
    for k in ks:
        if kind in ("upsert", "upsert_many"):
            out[k] = i
        elif kind == "update" and k in out:
            out[k] = i
        elif kind in ("delete", "delete_many"):
            out.pop(k, None)
    return out


def state_of(db):
    out = {}
    for name in db.ids():
        vec, meta = db.get(name)
        out[int(name[2:])] = int(vec[1])
        assert meta == {"i": int(vec[1])}, (name, vec, meta)
    return out


# ---------------------------------------------------------------------------------------------
# The writer


def writer(path, seed, end):
    # Opened now, but told where to start only when the writer before it is gone: its first
    # call, a save, must catch up with everything written meanwhile and lose none of it.
    db = quarn.Database(path)
    start = int(sys.stdin.readline())
    db.save()
    print("state", repr(state_of(db)), flush=True)
    for i in range(start, end):
        kind, ks = plan(seed, i)
        if kind == "upsert":
            db.upsert(key(ks[0]), vector(ks[0], i), {"i": i})
        elif kind == "update":
            if key(ks[0]) in db:
                db.update(key(ks[0]), vector=vector(ks[0], i), metadata={"i": i})
        elif kind == "delete":
            db.delete(key(ks[0]))
        elif kind == "upsert_many":
            db.upsert_many([key(k) for k in ks], [vector(k, i) for k in ks], [{"i": i}] * len(ks))
        elif kind == "delete_many":
            db.delete_many([key(k) for k in ks])
        elif kind == "save":
            db.save()
        elif kind == "reopen":
            db.close()
            db = quarn.Database(path)
        elif kind == "compact":
            db.compact()
        elif kind == "fork":
            db.save()  # so that this process holds the writer's role whatever came before
            pid = os.fork()
            if pid == 0:
                # A save changes nothing the others could tell, should the parent be killed
                # meanwhile (the child may then claim the role, and catches up first).
                try:
                    db.save()
                    code = 1  # a child must not write while its parent holds the role
                except ValueError as error:
                    code = 0 if "being written by another process" in str(error) else 2
                os._exit(code)
            _, status = os.waitpid(pid, 0)
            if os.waitstatus_to_exitcode(status) != 0:
                print("forkfail", i, flush=True)
        print("ack", i, time.monotonic(), flush=True)
    print("done", flush=True)


# ---------------------------------------------------------------------------------------------
# A reader


def reader(path, seed, bound):
    db = quarn.Database(path)
    pending = {}  # k -> (iteration, present, acknowledged at): its latest change not yet seen
    history = {}  # k -> [(iteration, acknowledged at)] of its changes
    suspects = {}  # k -> (iteration awaited, read issued at): a late read that missed it
    checks = late = errors = 0
    max_lag = 0.0
    model = {}
    last_ack = 0.0  # acknowledgements arrive in order: all before this one have arrived

    def missed(k, i, issued):
        return not any(j > i and at <= issued for j, at in history[k])

    stdin = sys.stdin.fileno()
    buffer = b""
    while True:
        ready, _, _ = select.select([stdin], [], [], 0.002)
        if ready:
            chunk = os.read(stdin, 65536)
            if not chunk:  # every acknowledgement is in
                late += sum(1 for k, (i, issued) in suspects.items() if missed(k, i, issued))
                break
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            for line in lines:
                words = line.decode().split()
                if words[0] == "model":  # after a restart: with or without the call in flight
                    fresh = eval(line.decode()[6:])
                    for k in set(model) | set(fresh):
                        if model.get(k) != fresh.get(k):
                            pending.pop(k, None)  # that call superseded the change awaited
                            suspects.pop(k, None)
                    model = fresh
                    continue
                i, at = int(words[1]), float(words[2])
                last_ack = at
                kind, ks = plan(seed, i)
                after = apply(model, kind, ks, i)
                for k in ks:
                    if after.get(k) != model.get(k) or kind.startswith("delete"):
                        pending[k] = (i, k in after, at)
                        history.setdefault(k, []).append((i, at))
                model = after
        # A read that missed its change is late unless a later change of the same id was
        # acknowledged before the read: judged once every acknowledgement up to the read is in.
        for k, (i, issued) in list(suspects.items()):
            if last_ack <= issued:
                continue
            late += missed(k, i, issued)
            del suspects[k]
        for k, (i, present, at) in list(pending.items()):
            issued = time.monotonic()
            try:
                got = db.get(key(k))
                seen = int(got[0][1])
            except ValueError as error:
                if "not found" not in str(error):
                    errors += 1
                seen = None
            checks += 1
            if (seen is not None and seen >= i) if present else (seen is None or seen > i):
                max_lag = max(max_lag, issued - at)
                del pending[k]
            elif issued - at > bound:
                suspects[k] = (i, issued)
                del pending[k]  # counted at most once
    print("reader", checks, late, errors, max_lag, flush=True)


# ---------------------------------------------------------------------------------------------
# The coordinator


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=2000)
    parser.add_argument("--readers", type=int, default=3)
    parser.add_argument("--kills", type=int, default=12, help="writer kills spread over the run")
    parser.add_argument("--bound-ms", type=float, default=50.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--role", choices=["writer", "reader"], help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role == "writer":
        return writer(args.path, args.seed, args.iterations)
    if args.role == "reader":
        return reader(args.path, args.seed, args.bound_ms / 1000)

    rng = random.Random(args.seed)
    me = [sys.executable, os.path.abspath(__file__), "--seed", str(args.seed),
          "--iterations", str(args.iterations), "--bound-ms", str(args.bound_ms)]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "c")
        quarn.Database(path, dim=DIM).close()
        readers = [subprocess.Popen(me + ["--role", "reader", "--path", path],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                   for _ in range(args.readers)]
        kill_at = sorted(rng.sample(range(1, args.iterations), args.kills))
        model, acked, start = {}, -1, 0
        lost = divergent = reopens = forkfails = 0
        started = time.monotonic()

        def spawn_writer():
            return subprocess.Popen(me + ["--role", "writer", "--path", path], text=True,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)

        following = spawn_writer()
        while True:
            # The next writer opens the collection now and waits: a stale handle by the time
            # it takes over.
            w, following = following, spawn_writer()
            w.stdin.write(f"{start}\n")
            w.stdin.flush()
            state = eval(w.stdout.readline()[6:])
            reopens += 1
            if start > 0:
                # The call in flight when the writer was killed may or may not have happened;
                # the readers learn which, as the model they check against.
                kind, ks = plan(args.seed, start - 1)
                with_it = apply(model, kind, ks, start - 1)
                if state == with_it:
                    model = with_it
                elif state != model:
                    print("diverged at", start - 1, kind, ks, "\n model", model, "\n state", state,
                          file=sys.stderr)
                    divergent += 1
                    lost += sum(1 for k, i in model.items() if state.get(k, -1) < i)
                    model = state
                for r in readers:
                    r.stdin.write(f"model {model!r}\n".encode())
                    r.stdin.flush()
            killed = False

            def take(line):
                nonlocal acked, model, forkfails
                words = line.split()
                if words[0] == "forkfail":
                    forkfails += 1
                    return
                acked = int(words[1])
                kind, ks = plan(args.seed, acked)
                model = apply(model, kind, ks, acked)
                for r in readers:
                    r.stdin.write(line.encode())
                    r.stdin.flush()

            for line in w.stdout:
                if line.startswith("done"):
                    break
                take(line)
                if kill_at and acked >= kill_at[0]:
                    kill_at.pop(0)
                    time.sleep(rng.random() * 0.01)  # somewhere inside a later call
                    w.send_signal(signal.SIGKILL)
                    killed = True
                    break
            w.wait()
            if not killed:
                break
            # What the writer acknowledged before it died is still in the pipe; the call
            # after the last acknowledgement was in flight, and the next writer starts behind it.
            for line in w.stdout:
                take(line)
            start = acked + 2
        # A final reopen in a fresh process must hold exactly the acknowledged state.
        final = following.communicate(f"{args.iterations}\n")[0]
        state = eval(final.splitlines()[0][6:])
        if state != model:
            divergent += 1
            lost += sum(1 for k, i in model.items() if state.get(k, -1) < i)
        for r in readers:
            r.stdin.close()
        stats = [r.stdout.read().decode().split() for r in readers]
        for r in readers:
            r.wait()
    checks = sum(int(s[1]) for s in stats)
    late = sum(int(s[2]) for s in stats)
    errors = sum(int(s[3]) for s in stats)
    max_lag = max(float(s[4]) for s in stats)
    print(f"iterations {args.iterations}, writer kills {args.kills}, reopens {reopens}, "
          f"readers {args.readers}, {time.monotonic() - started:.1f} s")
    print(f"lost acknowledged changes: {lost}")
    print(f"divergent reopens: {divergent}")
    print(f"changes missed by a read later than {args.bound_ms:g} ms: {late} ({checks} reads)")
    print(f"reader errors: {errors}; forked children that could write: {forkfails}")
    print(f"longest lag from acknowledgement to a read that saw it: {max_lag * 1000:.2f} ms")
    return 1 if lost or divergent or late or errors or forkfails else 0


if __name__ == "__main__":
    sys.exit(main())
