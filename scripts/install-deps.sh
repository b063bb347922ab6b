#!/usr/bin/env bash
# Installs the Debian packages a job needs:
#
#   scripts/install-deps.sh build   the library, the zoetra command and the Python
#                                   module (the main job, scripts/run.sh)
#   scripts/install-deps.sh test    all of build, and what the tests, the fuzz
#                                   targets and the benchmarks need (scripts/test.sh;
#                                   also without an argument)
set -euo pipefail
mode="${1:-test}"
# What CMake requires with tests and benchmarks off, and the Python module
# (built when pybind11 and the Python headers are found; numpy at run time),
# and FFmpeg's libraries and libwebp for clips and animated pictures.
build_packages=(
  build-essential cmake ninja-build pkg-config
  libspng-dev libjpeg62-turbo-dev libexif-dev libstb-dev libcli11-dev
  python3 python3-dev pybind11-dev python3-numpy
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libwebp-dev
)
# GoogleTest and Google Benchmark; libcrypto and giflib for the test binaries;
# Pillow and venv for the Python tests; clang for the fuzz targets; the programs the
# tests compare our files with; matplotlib for bench/plot_long_clip.py;
# libjxl-devtools for the perceptual scores of bench/gif_perceptual.py;
# emscripten for the browser build (scripts/build-web.sh) that the web tests load.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libgif-dev python3-pil python3-venv
  clang libclang-rt-14-dev
  imagemagick graphicsmagick ffmpeg gifsicle chromium
  python3-matplotlib libjxl-devtools
  emscripten node-acorn
)
case "$mode" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: $0 build | test" >&2
    exit 2
    ;;
esac
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
