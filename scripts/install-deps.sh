#!/usr/bin/env bash
# Installs everything Quarn needs to build, test and benchmark on Debian 12, as root.
# Idempotent: packages already present are skipped, and SimSIMD is unpacked only once.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"

apt_packages=(
  build-essential cmake ninja-build pkg-config git
  libopenblas-dev libtbb-dev nlohmann-json3-dev zlib1g-dev libicu-dev
  libstemmer-dev liblingua-stopwords-perl
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-numpy python3-pytest python3-hypothesis python3-tqdm python3-pandas
  python3-hnswlib libhnswlib-dev python3-faiss
  dataset-fashion-mnist
  python3-venv python3-dask python3-distributed python3-matplotlib
  clang-14 libclang-rt-14-dev qemu-user
)

missing=()
# npm usually comes with the machine's Node.js; Debian's npm only when there is none.
command -v npm >/dev/null 2>&1 || apt_packages+=(npm)
for p in "${apt_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# SimSIMD comes from npm; only its headers and c/lib.c are used, kept out of git. The version
# is pinned and the tarball must have the checksum recorded here (the registry's own sha512
# integrity for it agrees), so that a republished or tampered package is refused.
simsimd_version=6.5.5
simsimd_sha256=4964f6f12316525513d51e3f37d26dcc895b7489f3aa56bb03b524aa98558321
simsimd_dir="$here/third_party/simsimd"
unpacked_version() {
  awk '/#define SIMSIMD_VERSION_(MAJOR|MINOR|PATCH)/ { v = v (v == "" ? "" : ".") $3 } END { print v }' \
    "$simsimd_dir/include/simsimd/simsimd.h" 2>/dev/null || true
}
if [[ ! -f "$simsimd_dir/c/lib.c" || "$(unpacked_version)" != "$simsimd_version" ]]; then
  echo "install-deps: fetching simsimd@$simsimd_version"
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent "simsimd@$simsimd_version" >/dev/null)
  if ! echo "$simsimd_sha256  $tmp/simsimd-$simsimd_version.tgz" | sha256sum --check --quiet -; then
    echo "install-deps: simsimd-$simsimd_version.tgz does not have the recorded checksum" >&2
    exit 1
  fi
  tar xzf "$tmp/simsimd-$simsimd_version.tgz" -C "$tmp"
  rm -rf "$simsimd_dir"
  mkdir -p "$simsimd_dir"
  cp -r "$tmp/package/include" "$tmp/package/c" "$tmp/package/LICENSE" "$simsimd_dir/"
fi
