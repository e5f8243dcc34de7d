"""Portable against native: runs bench/hnsw_bench of several build directories in turns on
Fashion-MNIST and prints, per build, the graph's build time and the queries per second at
recall@10 = 0.95 with f32 and with SQ8 traversal (median over the rounds; the turns keep
a change of machine load from landing on one build only).

    cmake -S . -B build-native -G Ninja -DQUARN_NATIVE=ON && cmake --build build-native --target hnsw_bench
    cmake -S . -B build-v3 -G Ninja -DQUARN_ARCH=x86-64-v3 && cmake --build build-v3 --target hnsw_bench
    /usr/bin/python3 bench/compare_builds.py build build-v3 build-native [--rounds 3]
"""
import argparse
import os
import re
import statistics
import subprocess

TARGET = 0.95
EFS = "16,32,48,64,100"


def qps_at(curve, recall):
    """Linear interpolation between the measured points, as hnsw_bench does."""
    for i, (r, q) in enumerate(curve):
        if r >= recall:
            if i == 0:
                return q
            r0, q0 = curve[i - 1]
            return q if r == r0 else q0 + (recall - r0) / (r - r0) * (q - q0)
    return 0.0


def run(build, queries, cache):
    out = subprocess.run(
        [os.path.join(build, "bench", "hnsw_bench"), "--skip-hnswlib", "--skip-exact",
         "--efs", EFS, "--queries", str(queries), "--cache", cache],
        check=True, capture_output=True, text=True).stdout
    build_seconds = float(re.search(r"quarn\s+build: ([\d.]+) s", out).group(1))
    curves, current = {}, None
    for line in out.splitlines():
        if line.startswith("quarn (f32)"):
            current = curves.setdefault("f32", [])
        elif line.startswith("quarn (SQ8"):
            current = curves.setdefault("sq8", [])
        elif current is not None and re.match(r"^\s+\d+\s+[\d.]+\s+\d+$", line):
            _, recall, qps = line.split()
            current.append((float(recall), float(qps)))
        else:
            current = None
    return build_seconds, qps_at(curves["f32"], TARGET), qps_at(curves["sq8"], TARGET)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--cache", default="/tmp/quarn-fmnist-gt.bin")
    args = parser.parse_args()
    results = {b: [] for b in args.builds}
    for round_ in range(args.rounds):
        # Each round starts with the next build, so that no build always runs first.
        order = args.builds[round_ % len(args.builds):] + args.builds[:round_ % len(args.builds)]
        for build in order:
            results[build].append(run(build, args.queries, args.cache))
            with open("/proc/loadavg") as f:
                load = f.read().split()[0]
            print(f"round {round_ + 1} {build}: build {results[build][-1][0]:.2f} s, "
                  f"f32 {results[build][-1][1]:.0f} QPS, SQ8 {results[build][-1][2]:.0f} QPS "
                  f"(load {load})", flush=True)
    print(f"\nmedian of {args.rounds}: build seconds, QPS at recall {TARGET} (f32, SQ8)")
    for build, rows in results.items():
        b, f, s = (statistics.median(col) for col in zip(*rows))
        print(f"{build:24s} {b:8.2f} s {f:9.0f} {s:9.0f}")


if __name__ == "__main__":
    main()
