#!/usr/bin/env bash
# The Python suite against the installed package. For each interpreter given: a fresh venv,
# `pip install .` (offline, with build isolation; the backend reuses the build directory, so
# nothing is compiled that `make build` compiled already), `import quarn` from outside the
# source tree with no PYTHONPATH, the objdump check of the installed module, the console
# script, and the tests run from outside the tree against that install. The last interpreter
# then gets an editable install, checked to import from the source tree.
#
#   BUILD=build scripts/test-installed.sh /usr/bin/python3 ~/.pyenv/versions/3.13.0/bin/python3
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="$(realpath -m "${BUILD:-build}")"
away="$(mktemp -d)"
trap 'rm -rf "$away"' EXIT
# What the objdump check may demand of this build: nothing of a native one; of an x86-64-v2
# one (the default), no AVX at all outside the kernels chosen at run time.
isa_check=yes
isa_flags=(--no-avx)
if grep -qs '^QUARN_NATIVE:BOOL=ON$' "$build/CMakeCache.txt"; then
  isa_check=no
elif ! grep -qs '^QUARN_ARCH:STRING=x86-64-v2$' "$build/CMakeCache.txt"; then
  isa_flags=()
fi

for py in "$@"; do
  version="$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
  venv="$build/venv-py$version"
  rm -rf "$venv"
  # An interpreter with NumPy and pytest of its own (Debian's) lends them to the venv; another
  # gets pytest and Hypothesis alone, from Debian's pure-Python packages on PYTHONPATH, for the
  # test run only.
  if "$py" -c 'import numpy, pytest' 2>/dev/null; then
    "$py" -m venv --system-site-packages "$venv"
    test_env=()
  else
    "$py" -m venv "$venv"
    test_env=(PYTHONPATH=/usr/lib/python3/dist-packages PYTEST_DISABLE_PLUGIN_AUTOLOAD=1)
  fi
  echo "test-installed: pip install . into a fresh venv of $("$py" --version)"
  QUARN_BUILD_DIR="$build" "$venv/bin/python" -m pip install --no-index --quiet \
    --disable-pip-version-check "$root"
  module=("$venv"/lib/python*/site-packages/quarn/_quarn.*so)
  (cd "$away" && env -u PYTHONPATH "$venv/bin/python" -c \
    'import quarn, sys; assert quarn.__file__.startswith(sys.prefix + "/"), quarn.__file__')
  if [[ $isa_check == yes ]]; then
    "$py" tests/portable/check_isa.py "${isa_flags[@]}" "${module[@]}"
  fi
  test -x "$venv/bin/quarn"
  if [[ -f python/quarn/cli.py ]]; then
    (cd "$away" && env -u PYTHONPATH "$venv/bin/quarn" --help >/dev/null)
  fi
  (cd "$away" && env "${test_env[@]}" QUARN_TEST_INSTALLED="$venv" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
done

echo "test-installed: pip install -e . into $venv"
QUARN_BUILD_DIR="$build" "$venv/bin/python" -m pip install --no-index --quiet \
  --disable-pip-version-check -e "$root"
(cd "$away" && env -u PYTHONPATH "$venv/bin/python" -c \
  "import quarn; assert quarn.__file__ == '$root/python/quarn/__init__.py', quarn.__file__")
