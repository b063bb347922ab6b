#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libspng-dev libjpeg62-turbo-dev libexif-dev libstb-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libgif-dev libssl-dev python3 python3-pil python3-numpy python3-dev pybind11-dev
  clang libclang-rt-14-dev
  imagemagick graphicsmagick ffmpeg gifsicle chromium
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
