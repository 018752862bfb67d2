#!/usr/bin/env bash
# Installs what the build needs on a Debian machine (skips what is there).
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  git lld pkgconf file binutils dpkg python3 python3-numpy python3-pandas nlohmann-json3-dev
  pandoc man-db lintian bash-completion logrotate shellcheck libcpp-httplib-dev prometheus
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-matplotlib
  libzstd-dev python3-zstandard python3-crc32c python3-dask python3-distributed python3-venv mkdocs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
