"""Checks with objdump that the extension modules hold AVX-512 instructions (and, with
--no-avx, any AVX instruction) only in the functions chosen at run time from the CPU's
features: SimSIMD's kernels, named after the CPU generation they need, and our fused SQ8
kernels in their `avx512` and `avx2` namespaces.

    python3 tests/portable/check_isa.py [--no-avx] MODULE.so...

Every instruction of every executable section is looked at, function by function (the
module's symbol table names the local functions too; a stripped module is refused). An
instruction is AVX-512 when it names a zmm or an opmask register, or when its first byte
after the legacy prefixes is the EVEX escape 0x62 (which no other instruction starts with in
64-bit mode): that covers the AVX-512 forms on xmm and ymm registers. It is AVX when that
byte is the VEX escape 0xC4 or 0xC5.
"""
import argparse
import re
import subprocess
import sys

AVX512_CHOSEN = re.compile(r"_(skylake|ice|genoa|sapphire|turin|sierra)$|::avx512::")
AVX_CHOSEN = re.compile(r"_(haswell|skylake|ice|genoa|sapphire|turin|sierra)$|::avx(2|512)::")
LEGACY_PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\t((?:[0-9a-f]{2} )+)\s*\t(.*)$")
AVX512_OPERAND = re.compile(r"%zmm\d|%k[0-7]\b")


def function_name(label):
    """The function a label belongs to: `f [clone .cold]` and `f.part.0` are parts of f."""
    label = re.sub(r" \[clone [^]]*\]", "", label)
    label = re.sub(r"\.(part|isra|constprop|cold|lto_priv)(\.\d+)?", "", label)
    label = label.replace("(anonymous namespace)", "{anonymous}")
    return re.sub(r"\(.*$", "", label)  # C++ arguments


def classify(raw, text):
    """'avx512', 'avx' or None for one instruction."""
    if AVX512_OPERAND.search(text):
        return "avx512"
    for byte in (int(b, 16) for b in raw.split()):
        if byte in LEGACY_PREFIXES:
            continue
        return "avx512" if byte == 0x62 else "avx" if byte in (0xC4, 0xC5) else None
    return None


def check(path, no_avx):
    symbols = subprocess.run(["objdump", "-t", path], check=True, capture_output=True,
                             text=True).stdout
    if "no symbols" in symbols or " F .text" not in symbols:
        return [f"{path}: no symbol table (stripped?), functions cannot be told apart"], 0, 0
    dump = subprocess.run(["objdump", "-d", "-C", "--insn-width=16", path], check=True,
                          capture_output=True, text=True).stdout
    found = {}  # (function, kind) -> count
    function = "?"
    for line in dump.splitlines():
        m = FUNCTION.match(line)
        if m:
            function = function_name(m.group(1))
            continue
        m = INSTRUCTION.match(line)
        if m:
            kind = classify(m.group(1), m.group(2))
            if kind:
                found[function, kind] = found.get((function, kind), 0) + 1
    errors = []
    chosen = 0
    for (function, kind), count in sorted(found.items()):
        allowed = AVX512_CHOSEN if kind == "avx512" else AVX_CHOSEN
        if kind == "avx" and not no_avx:
            continue
        if allowed.search(function):
            chosen += kind == "avx512"
        else:
            errors.append(f"{path}: {count} {kind.upper()} instructions in {function}")
    instructions = sum(c for (_, k), c in found.items() if k == "avx512")
    return errors, chosen, instructions


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-avx", action="store_true",
                        help="refuse any AVX or AVX2 instruction outside the chosen functions")
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args()
    failed = False
    for path in args.modules:
        errors, chosen, instructions = check(path, args.no_avx)
        for e in errors:
            print(e, file=sys.stderr)
        # The kernels must be there, or the check proves nothing about the detection.
        if chosen == 0:
            print(f"{path}: no AVX-512 kernel found at all", file=sys.stderr)
        failed |= bool(errors) or chosen == 0
        if not errors and chosen:
            print(f"{path}: {instructions} AVX-512 instructions, all in the {chosen} functions "
                  f"chosen at run time" + (" (AVX likewise)" if args.no_avx else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
