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


def faiss_note():
    import faiss

    where = os.path.realpath(faiss.__file__)
    options = faiss.get_compile_options() if hasattr(faiss, "get_compile_options") else "unknown"
    debian = where.startswith("/usr/lib/python3/")
    source = "Debian's python3-faiss" if debian else "a build of its own"
    return (f"faiss: {source} ({where}), compile options {options!r}"
            + ("; the generic build uses no AVX kernels, so ratios against it flatter us"
               if "GENERIC" in options else ""))
