#!/usr/bin/env bash
# Installs everything Quarn needs to build, test and benchmark on Debian 12, as root.
# Idempotent: packages already present are skipped, and SimSIMD is unpacked only once.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"

apt_packages=(
  build-essential cmake ninja-build pkg-config git
  libopenblas-dev libtbb-dev nlohmann-json3-dev zlib1g-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-numpy python3-pytest python3-tqdm
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

# SimSIMD comes from npm; only its headers and c/lib.c are used, kept out of git.
simsimd_dir="$here/third_party/simsimd"
if [[ ! -f "$simsimd_dir/c/lib.c" ]]; then
  echo "install-deps: fetching simsimd@6.5.5"
  tmp="$(mktemp -d)"
  (cd "$tmp" && npm pack --silent simsimd@6.5.5 >/dev/null && tar xzf simsimd-6.5.5.tgz)
  rm -rf "$simsimd_dir"
  mkdir -p "$simsimd_dir"
  cp -r "$tmp/package/include" "$tmp/package/c" "$tmp/package/LICENSE" "$simsimd_dir/"
  rm -rf "$tmp"
fi
