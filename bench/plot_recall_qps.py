"""Draws recall@10 against single-thread queries per second (log scale) from the CSV files
that bench/hnsw_bench and bench/hnsw_peers.py write with --csv: quarn with f32, SQ8 and
compressed traversal, hnswlib's C++ and Python bindings, FAISS. `make bench-plot` runs all three:

    /usr/bin/python3 bench/plot_recall_qps.py build/recall-qps-cpp.csv \\
        build/recall-qps-py.csv -o docs/recall-qps.png
"""
import argparse
import csv
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter  # noqa: E402

# (system, variant) -> label and style, in legend order.
SERIES = {
    ("quarn", "f32"): ("quarn, f32", dict(color="tab:blue", marker="o")),
    ("quarn", "sq8"): ("quarn, SQ8 traversal", dict(color="tab:cyan", marker="s")),
    ("quarn", "compressed"): ("quarn, compressed traversal",
                              dict(color="tab:brown", marker="*")),
    ("hnswlib-cpp", "-"): ("hnswlib (C++)", dict(color="tab:orange", marker="^")),
    ("quarn-python", "f32"): ("quarn (Python), f32", dict(color="tab:purple", marker="P")),
    ("quarn-python", "compressed"): ("quarn (Python), compressed traversal",
                                     dict(color="tab:pink", marker="X")),
    ("hnswlib-python", "-"): ("hnswlib (Python)", dict(color="tab:red", marker="v")),
    ("faiss", "-"): ("FAISS IndexHNSWFlat", dict(color="tab:green", marker="D")),
}


def read_points(paths):
    """(system, variant) -> (build seconds, [(recall, qps, ef)] by recall)."""
    series = {}
    for path in paths:
        with open(path, newline="") as f:
            for row in csv.DictReader(f):
                key = (row["system"], row["variant"])
                build, points = series.setdefault(key, (float(row["build_seconds"]), []))
                points.append((float(row["recall_at_10"]), float(row["qps"]), int(row["ef"])))
    for _, points in series.values():
        points.sort()
    return series


def machine():
    """The CPU model and its count of logical CPUs, for the chart's caption."""
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} logical CPUs"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", nargs="+", help="files written by --csv")
    parser.add_argument("-o", "--output", default="docs/recall-qps.png")
    args = parser.parse_args()
    series = read_points(args.csv)
    unknown = set(series) - set(SERIES)
    if unknown:
        raise SystemExit(f"unknown systems in the CSV: {sorted(unknown)}")

    fig, ax = plt.subplots(figsize=(8, 5.2), dpi=120)
    for key, (label, style) in SERIES.items():
        if key not in series:
            continue
        build, points = series[key]
        recalls, qps, efs = zip(*points)
        ax.plot(recalls, qps, label=f"{label} (build {build:.1f} s)", linewidth=1.5,
                markersize=4, **style)
        ax.annotate(f"ef {efs[-1]}", (recalls[-1], qps[-1]), textcoords="offset points",
                    xytext=(4, -3), fontsize=7, color=style["color"])
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(LogLocator(subs=(1, 2, 5)))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    ax.yaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second (one thread, one query at a time)")
    ax.set_title("Fashion-MNIST, 60,000 x 784, squared Euclidean, M=16, ef_construction=200",
                 fontsize=10)
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize=8, loc="lower left")
    fig.text(0.99, 0.01, f"measured on {machine()}; builds on 2 threads", ha="right",
             va="bottom", fontsize=7, color="gray")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    fig.savefig(args.output, metadata={"Software": None})
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
