"""What the Python peers are, for the benchmarks' output: a ratio against a peer means little
without how the peer was built."""
import os


def hnswlib_note():
    import hnswlib

    where = os.path.realpath(hnswlib.__file__)
    if where.startswith("/usr/lib/python3/dist-packages/"):
        return (f"hnswlib: Debian's python3-hnswlib ({where}), built for the x86-64 baseline "
                "without AVX; a pip build with -march=native runs faster, so ratios against it "
                "flatter us")
    return f"hnswlib: {where} (a build of its own; its flags are not known here)"
