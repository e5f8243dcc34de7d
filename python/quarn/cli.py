"""The quarn command: look after a collection directory from the shell.

    quarn info PATH [--json]              statistics of the collection
    quarn health PATH [--json]            graph health, estimated recall, suggestions
    quarn verify PATH [--json]            check the files (exit status 1 on problems)
    quarn repair PATH [--json]            rebuild the graph from what the files hold
    quarn export PATH FILE [--pretty]     write every vector to a JSON file
    quarn import PATH FILE                upsert the vectors of a JSON file
    quarn calibrate PATH --target 0.95    keep the smallest ef_search reaching a recall
    quarn bench PATH --queries N          recall@10 and queries per second per ef_search
    quarn search PATH [--vector FILE | --id ID] [--text QUERY] [--filter JSON]
                                          nearest vectors, full-text or hybrid search
    quarn --version                       the installed version

Exit status: 0 on success, 1 when verify finds problems, 2 on an error (reported on one
line of standard error).
"""
import argparse
import json
import math
import os
import sys
import time

from quarn import Database, __version__

EXIT_OK, EXIT_PROBLEMS, EXIT_ERROR = 0, 1, 2
# Collections with at least this many vectors get a progress bar on export and import.
PROGRESS_FROM = 10_000


class CommandError(Exception):
    """A failure to report on one line, with exit status 2."""


def open_collection(path):
    if not os.path.isdir(path):
        raise CommandError(f"no collection at '{path}'")
    try:
        return Database(path)
    except ValueError:
        pass
    # Opening gives no reason; the check of the files names the first thing wrong.
    try:
        problems = Database.verify_path(path)["problems"]
    except ValueError:
        raise CommandError(f"no collection at '{path}'") from None
    reason = problems[0] if problems else "it does not open"
    raise CommandError(f"cannot open '{path}': {reason} (quarn verify lists every problem, "
                       "quarn repair rebuilds what it can)")


def print_table(rows):
    """Two aligned columns: the name, then the value."""
    width = max((len(name) for name, _ in rows), default=0)
    for name, value in rows:
        print(f"{name:<{width}}  {value}")


def show(value):
    if isinstance(value, float):
        return f"{value:.4f}"
    if isinstance(value, bool) or value is None:
        return "yes" if value is True else "no" if value is False else "-"
    if isinstance(value, list):
        return ", ".join(show(v) for v in value) if value else "-"
    return str(value)


def emit(args, data, rows):
    if args.json:
        print(json.dumps(data, indent=2))
    else:
        print_table(rows)


class Progress:
    """Feeds a tqdm bar from (done, total) calls. The bar appears at the first call that names
    a total of PROGRESS_FROM or more; never without tqdm or when disabled."""

    def __init__(self, desc, enabled):
        self.desc, self.enabled, self.bar = desc, enabled, None

    def __call__(self, done, total):
        if self.bar is None and self.enabled and total >= PROGRESS_FROM:
            self.enabled = False
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, desc=self.desc, unit="vec", file=sys.stderr)
        if self.bar is not None:
            self.bar.update(done - self.bar.n)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# ---------------------------------------------------------------------------------------
# Subcommands


def cmd_info(args):
    db = open_collection(args.path)
    stats = db.stats()
    data = {"path": args.path, "dim": db.dim, "metric": db.metric, "count": len(db),
            "total_slots": db.total_slots, **stats}
    emit(args, data, [(name, show(value)) for name, value in data.items()])
    return EXIT_OK


def cmd_health(args):
    db = open_collection(args.path)
    health = db.health()
    rows = []
    for name, value in health.items():
        if name == "layer_counts":
            value = ", ".join(f"{layer}: {n}" for layer, n in enumerate(value)) or "-"
        elif name == "suggestions":
            continue
        rows.append((name, show(value)))
    rows.append(("suggestions", "; ".join(health["suggestions"]) or "none"))
    emit(args, health, rows)
    return EXIT_OK


def cmd_verify(args):
    try:
        report = Database.verify_path(args.path)
    except ValueError as e:
        raise CommandError(str(e)) from None
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        for problem in report["problems"]:
            print(problem)
        state = "ok" if report["ok"] else f"{len(report['problems'])} problem(s)"
        print(f"{args.path}: {state}; {report['nodes']} nodes, {report['live']} live, "
              f"{report['unreachable']} unreachable, {report['log_records']} log records")
    return EXIT_OK if report["ok"] else EXIT_PROBLEMS


def cmd_repair(args):
    if not os.path.isdir(args.path):
        raise CommandError(f"no collection at '{args.path}'")
    try:
        db, report = Database.repair_path(args.path)
    except ValueError as e:
        raise CommandError(str(e)) from None
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        for line in report["lost"]:
            print(f"lost: {line}")
        print(f"{args.path}: repaired and saved; {report['ids']} ids, "
              f"{report['tombstones_dropped']} deleted slots dropped, "
              f"{report['log_entries']} log entries replayed, "
              f"{len(report['lost'])} loss(es)")
    return EXIT_OK


def cmd_export(args):
    db = open_collection(args.path)
    bar = Progress("export", not args.no_progress)
    try:
        db._export_with_progress(args.file, args.pretty, bar)
    except ValueError as e:
        raise CommandError(f"cannot export to '{args.file}': {e}") from None
    finally:
        bar.close()
    print(f"exported {len(db)} vectors to {args.file}")
    return EXIT_OK


def document_head(file):
    """dim and metric from the start of an export document, where export_json puts them."""
    import re
    with open(file, "rb") as f:
        head = f.read(4096).decode("utf-8", "replace")
    dim = re.search(r'"dim"\s*:\s*(\d+)', head)
    metric = re.search(r'"metric"\s*:\s*"([a-z_0-9]+)"', head)
    return (int(dim.group(1)) if dim else None), (metric.group(1) if metric else None)


def cmd_import(args):
    if not os.path.isfile(args.file):
        raise CommandError(f"no file '{args.file}'")
    created = False
    saved = any(os.path.exists(os.path.join(args.path, name))
                for name in ("graph.quarn", "vectors.bin"))
    if saved:
        db = open_collection(args.path)
    else:
        # A new collection, with the document's dimension and metric unless given.
        dim, metric = document_head(args.file)
        dim = args.dim if args.dim is not None else dim
        metric = args.metric or metric or "cosine"
        if dim is None:
            raise CommandError(f"'{args.path}' is not a collection and the dimension of "
                               f"'{args.file}' is unknown: give --dim")
        try:
            db = Database(args.path, dim, metric=metric)
        except (ValueError, OverflowError) as e:  # the document's dim may be anything
            raise CommandError(f"cannot create '{args.path}': {e}") from None
        created = True
    before = len(db)
    bar = Progress("import", not args.no_progress)
    try:
        db._import_with_progress(args.file, bar)
        db.save()
    except ValueError as e:
        raise CommandError(f"cannot import '{args.file}': {e}") from None
    finally:
        bar.close()
    print(f"imported '{args.file}' into {'new collection ' if created else ''}{args.path}: "
          f"{len(db)} vectors ({len(db) - before:+d}), saved")
    return EXIT_OK


def cmd_calibrate(args):
    db = open_collection(args.path)
    t0 = time.perf_counter()
    try:
        ef = db.calibrate(args.target, args.k)
    except ValueError as e:
        raise CommandError(str(e)) from None
    seconds = time.perf_counter() - t0
    health = db.health()
    data = {"target_recall": args.target, "k": args.k, "ef_search": ef,
            "exact_search": health["exact_search"], "seconds": round(seconds, 3)}
    rows = [(name, show(value)) for name, value in data.items()]
    if health["exact_search"]:
        rows.append(("note", "searches scan exactly; ef_search has no effect"))
    emit(args, data, rows)
    return EXIT_OK


def cmd_bench(args):
    db = open_collection(args.path)
    efs = args.ef
    if args.plot:
        pyplot()  # before measuring: without matplotlib there would be nothing to draw
    ids, recalls, exact = db._recall_curve(args.queries, args.k, efs, held_out=not args.quick)
    if not ids:
        raise CommandError(f"'{args.path}' holds no vectors to search for")
    queries = [db.get(i)[0] for i in ids]
    db.search_many(queries, k=args.k, ef_search=efs[0])  # warm caches and the thread pool
    rows = []
    for ef, recall in zip(efs, recalls):
        t0 = time.perf_counter()
        db.search_many(queries, k=args.k, ef_search=ef)
        qps = len(queries) / max(time.perf_counter() - t0, 1e-9)
        rows.append({"ef_search": ef, "recall": recall, "qps": qps})
    if args.json:
        print(json.dumps({"queries": len(ids), "k": args.k, "exact_search": exact,
                          "results": rows}, indent=2))
    else:
        print(f"{len(ids)} of the collection's own vectors as queries; recall@{args.k} against "
              f"the exact scan; QPS of one search_many")
        if args.quick:
            print("recall: each query searched for in the collection's own graph as if it were "
                  "not there, health()'s quick estimate, which reads low at narrow widths "
                  "(calibrate's measure matches queries from outside the collection)")
        else:
            print("recall: the queries searched for in a graph built of the other vectors, as "
                  "calibrate measures it: at a width calibrate kept, the figure calibrate and "
                  "health() report")
        if exact:
            print("(searches scan exactly: ef_search has no effect)")
        print(f"{'ef_search':>9}  {'recall@' + str(args.k):>9}  {'QPS':>9}")
        for r in rows:
            print(f"{r['ef_search']:9d}  {r['recall']:9.4f}  {r['qps']:9.0f}")
    if args.plot:
        plot(rows, args)
    return EXIT_OK


def read_vector(file):
    """A vector from a file (or - for standard input): a JSON array of numbers, or numbers
    separated by blanks or commas."""
    try:
        if file == "-":
            text = sys.stdin.read()
        else:
            with open(file, encoding="utf-8") as f:
                text = f.read()
    except OSError as e:
        raise CommandError(f"cannot read '{file}': {e.strerror or e}") from None
    try:
        value = json.loads(text)
    except ValueError:
        value = text.replace(",", " ").split()
    if not isinstance(value, list) or not value:
        raise CommandError(f"'{file}' holds no vector: give a JSON array or numbers")
    try:
        return [float(x) for x in value]
    except (TypeError, ValueError):
        raise CommandError(f"'{file}' holds something that is not a number") from None


def cmd_search(args):
    if args.vector is not None and args.id is not None:
        raise CommandError("give --vector or --id, not both")
    where = None
    if args.filter is not None:
        try:
            where = json.loads(args.filter)
        except ValueError as e:
            raise CommandError(f"--filter is not JSON: {e}") from None
        if not isinstance(where, dict):
            raise CommandError("--filter must be a JSON object, like {\"lang\": \"en\"}")
    db = open_collection(args.path)
    vector = None
    if args.vector is not None:
        vector = read_vector(args.vector)
    elif args.id is not None:
        if args.id not in db:
            raise CommandError(f"no id '{args.id}' in '{args.path}'")
        vector = db.get(args.id)[0]
    if vector is None and args.text is None:
        raise CommandError("give a vector (--vector or --id), a query (--text), or both")
    try:
        if vector is not None and args.text is not None:
            hits = db.hybrid_search(vector, args.text, k=args.k, where_filter=where,
                                    field=args.field, ef_search=args.ef)
        elif vector is not None:
            hits = db.search(vector, k=args.k, ef_search=args.ef, where_filter=where)
        else:
            hits = db.search_text(args.text, k=args.k, where_filter=where, field=args.field)
    except ValueError as e:
        raise CommandError(str(e)) from None
    if args.json:
        print(json.dumps([{"id": h.id, "distance": h.distance, "metadata": h.metadata}
                          for h in hits], indent=2))
        return EXIT_OK
    if not hits:
        print("no results")
        return EXIT_OK
    width = max(len(h.id) for h in hits)
    print(f"{'#':>3}  {'id':<{width}}  {'distance':>10}  metadata")
    for rank, h in enumerate(hits, 1):
        meta = "-" if h.metadata is None else json.dumps(h.metadata, ensure_ascii=False)
        if len(meta) > 80:
            meta = meta[:77] + "..."
        print(f"{rank:>3}  {h.id:<{width}}  {h.distance:>10.4f}  {meta}")
    return EXIT_OK


def pyplot():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CommandError("--plot needs matplotlib (Debian's python3-matplotlib)") from None
    return plt


def plot(rows, args):
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(6, 4))
    ax.plot([r["recall"] for r in rows], [r["qps"] for r in rows], marker="o")
    for r in rows:
        ax.annotate(str(r["ef_search"]), (r["recall"], r["qps"]), textcoords="offset points",
                    xytext=(4, 4), fontsize=8)
    ax.set_xlabel(f"recall@{args.k}")
    ax.set_ylabel("queries per second")
    ax.set_yscale("log")
    ax.set_title(os.path.basename(os.path.normpath(args.path)) + ": recall against speed")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    try:
        fig.savefig(args.plot)
    except (OSError, ValueError) as e:
        raise CommandError(f"cannot write the plot '{args.plot}': {e}") from None
    finally:
        plt.close(fig)
    print(f"plot written to {args.plot}")


# ---------------------------------------------------------------------------------------
# Arguments


def target(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (0.0 < value <= 1.0) or math.isnan(value):
        raise argparse.ArgumentTypeError("must be above 0 and at most 1")
    return value


# No collection holds more vectors than a u32 counts, so no count or width beyond it means
# anything; the bound also keeps every value within what the library's calls take.
MAX_COUNT = 2**32 - 1
METRICS = ("cosine", "euclidean", "l2", "dot_product", "dot")


def positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    if value > MAX_COUNT:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_COUNT}")
    return value


def widths(text):
    """A comma-separated list of search widths, each as positive() takes it."""
    if not text.strip():
        raise argparse.ArgumentTypeError("expected widths separated by commas, e.g. 10,20,40")
    return sorted({positive(part) for part in text.split(",")})


def metric_name(text):
    if text not in METRICS:
        raise argparse.ArgumentTypeError(f"unknown metric {text!r} (one of {', '.join(METRICS)})")
    return text


class Parser(argparse.ArgumentParser):
    """Usage errors on one line, pointing at --help."""

    def error(self, message):
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    parser = Parser(
        prog="quarn", description="Look after a Quarn collection directory.",
        epilog="Exit status: 0 on success, 1 when verify finds problems, 2 on an error.")
    parser.add_argument("--version", action="version", version=f"quarn {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, fn, help, json_flag=True):
        p = sub.add_parser(name, help=help, description=help)
        p.add_argument("path", metavar="PATH", help="the collection directory")
        if json_flag:
            p.add_argument("--json", action="store_true", help="print JSON for machines")
        p.set_defaults(fn=fn)
        return p

    command("info", cmd_info, "Print the collection's statistics.")
    command("health", cmd_health, "Print graph health: layers, tombstones, unreachable "
            "vectors, estimated recall and suggestions.")
    command("verify", cmd_verify, "Check the collection's files without opening it for "
            "writing; exit status 1 when problems are found.")
    command("repair", cmd_repair, "Rebuild the collection from what its files still hold, "
            "replay its log and save it; report what could not be recovered.")
    p = command("export", cmd_export, "Write every vector with its id and metadata to a JSON "
                "file.", json_flag=False)
    p.add_argument("file", metavar="FILE", help="the JSON file to write")
    p.add_argument("--pretty", action="store_true", help="indent the document")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p = command("import", cmd_import, "Upsert the vectors of a JSON export into the collection "
                "(created when missing) and save it.", json_flag=False)
    p.add_argument("file", metavar="FILE", help="the JSON file to read")
    p.add_argument("--dim", type=positive, help="dimension of a new collection (default: "
                   "the document's)")
    p.add_argument("--metric", type=metric_name,
                   help="metric of a new collection (default: the document's)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p = command("calibrate", cmd_calibrate, "Find and keep the smallest ef_search that "
                "reaches a target recall on the collection's own vectors.")
    p.add_argument("--target", type=target, required=True, help="target recall, e.g. 0.95")
    p.add_argument("--k", type=positive, default=10, help="results per query (default 10)")
    p = command("bench", cmd_bench, "Measure recall and queries per second per ef_search on "
                "the collection's own vectors.")
    p.add_argument("--queries", type=positive, required=True, help="how many stored vectors "
                   "to search for")
    p.add_argument("--k", type=positive, default=10, help="results per query (default 10)")
    p.add_argument("--ef", type=widths, default="10,20,40,80,160,320",
                   help="widths to measure, comma-separated (default 10,20,40,80,160,320)")
    p.add_argument("--plot", metavar="FILE", help="also draw recall against QPS into FILE "
                   "(PNG, SVG or PDF, by its extension)")
    p.add_argument("--quick", action="store_true", help="estimate recall as health() does "
                   "without a calibration, in the collection's own graph (no graph is built; "
                   "reads low at narrow widths)")
    p = command("search", cmd_search, "Search the collection: the nearest vectors to a vector "
                "(--vector or --id), the best full-text matches of a query (--text), or both "
                "fused (hybrid search). Distances: for text, the BM25 score negated; for both, "
                "the fused score negated.")
    p.add_argument("--vector", metavar="FILE", help="the query vector: a JSON array or numbers "
                   "separated by blanks or commas, in FILE (- reads standard input)")
    p.add_argument("--id", help="use the vector stored under this id")
    p.add_argument("--text", metavar="QUERY", help='a full-text query: words, "a phrase", '
                   "+required, -excluded")
    p.add_argument("--filter", metavar="JSON", help='a metadata filter, e.g. \'{"lang": "en"}\'')
    p.add_argument("--k", type=positive, default=10, help="results (default 10)")
    p.add_argument("--field", help="the text-indexed field (needed when there are several)")
    p.add_argument("--ef", type=positive, help="ef_search of the vector search")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.fn(args)
    except CommandError as e:
        print(f"quarn {args.command}: error: {e}", file=sys.stderr)
    except BrokenPipeError:
        # The reader went away (quarn info PATH | head): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except OSError as e:
        print(f"quarn {args.command}: error: {e.strerror or e}"
              f"{': ' + repr(e.filename) if e.filename else ''}", file=sys.stderr)
    except KeyboardInterrupt:
        print(f"quarn {args.command}: interrupted", file=sys.stderr)
        return 130
    return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
