"""Portable against native: runs bench/arch_bench of several build directories in turns on
Fashion-MNIST and prints, per build, the graph's build time on 2 threads and the
single-thread queries per second at recall@10 = 0.95, with f32 and with SQ8 traversal. All
builds search one saved collection, so they find the same neighbours and only their speed
differs; medians over the rounds, in CPU time (what a build costs however busy the machine
is) and in wall time. The turns keep a change of load from landing on one build only.

    cmake -S . -B build-native -G Ninja -DQUARN_NATIVE=ON
    cmake --build build-native --target arch_bench   # likewise build-v3, -DQUARN_ARCH=x86-64-v3
    /usr/bin/python3 bench/compare_builds.py build build-v3 build-native
"""
import argparse
import os
import pathlib
import statistics
import struct
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from hnsw_peers import DATA, ground_truth, read_idx  # noqa: E402

TARGET = 0.95
EFS = "16,24,32,48,64,100"


def qps_at(curve, recall):
    """Linear interpolation between the measured points, as hnsw_bench does."""
    for i, (r, q) in enumerate(curve):
        if r >= recall:
            if i == 0:
                return q
            r0, q0 = curve[i - 1]
            return q if r == r0 else q0 + (recall - r0) / (r - r0) * (q - q0)
    return 0.0


def arch_bench(build, *args):
    return subprocess.run([os.path.join(build, "bench", "arch_bench"), *map(str, args)],
                          check=True, capture_output=True, text=True).stdout.split("\n")


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def turns(builds, rounds):
    """(round, build) pairs; each round starts with the next build."""
    for r in range(rounds):
        k = r % len(builds)
        for build in builds[k:] + builds[:k]:
            yield r, build


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--search-rounds", type=int, default=7)
    parser.add_argument("--build-rounds", type=int, default=3)
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--work", default="/tmp/quarn-compare-builds",
                        help="where the exact answers and the saved collection are kept")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    truth, collection = f"{args.work}/truth.bin", f"{args.work}/fashion-mnist"
    if not os.path.exists(truth):
        queries = read_idx(f"{DATA}/t10k-images-idx3-ubyte.gz")
        exact = ground_truth(read_idx(f"{DATA}/train-images-idx3-ubyte.gz"), queries)
        with open(truth, "wb") as f:
            f.write(struct.pack("<Q", len(exact)) + exact.astype("<u4").tobytes())
    if not os.path.exists(f"{collection}/graph.quarn"):
        arch_bench(args.builds[0], "save", collection)

    search = {b: {} for b in args.builds}  # build -> (variant, ef) -> [(recall, cpu, wall)]
    for r, build in turns(args.builds, args.search_rounds):
        curves = {"f32": [], "sq8": []}
        for line in arch_bench(build, "search", collection, truth, args.queries, EFS):
            if line:
                variant, ef, recall, cpu, wall = line.split()
                search[build].setdefault((variant, int(ef)), []).append(
                    (float(recall), float(cpu), float(wall)))
                curves[variant].append((float(recall), float(cpu)))
        print(f"search round {r + 1} {build}: QPS at recall {TARGET} in CPU time, f32 "
              f"{qps_at(curves['f32'], TARGET):.0f}, SQ8 {qps_at(curves['sq8'], TARGET):.0f} "
              f"(load {load()})", flush=True)
    builds = {b: [] for b in args.builds}
    for r, build in turns(args.builds, args.build_rounds):
        cpu, wall = map(float, arch_bench(build, "build")[0].split()[1:])
        builds[build].append((cpu, wall))
        print(f"build round {r + 1} {build}: {cpu:.1f} s CPU, {wall:.1f} s wall "
              f"(load {load()})", flush=True)

    recalls = {k: v[0][0] for k, v in search[args.builds[0]].items()}
    print("\nrecall@10 per ef (the same for every build):",
          ", ".join(f"{v} ef {ef} {r:.4f}" for (v, ef), r in recalls.items()))
    if any(r != recalls[k] for s in search.values() for k, rows in s.items() for r, _, _ in rows):
        print("warning: the builds' recalls differ")
    print(f"\nmedians; build seconds on 2 threads, queries per second at recall@10 {TARGET}")
    print(f"{'':20s} {'build CPU':>10s} {'build wall':>10s} {'f32 CPU':>9s} {'f32 wall':>9s} "
          f"{'SQ8 CPU':>9s} {'SQ8 wall':>9s}")
    for build in args.builds:
        row = [statistics.median(c for c, _ in builds[build]),
               statistics.median(w for _, w in builds[build])]
        for variant in ("f32", "sq8"):
            for column in (1, 2):
                curve = sorted((recalls[variant, ef], statistics.median(x[column] for x in rows))
                               for (v, ef), rows in search[build].items() if v == variant)
                row.append(qps_at(curve, TARGET))
        print(f"{build:20s} {row[0]:10.1f} {row[1]:10.1f} " +
              " ".join(f"{x:9.0f}" for x in row[2:]))


if __name__ == "__main__":
    main()
