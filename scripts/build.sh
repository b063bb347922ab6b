#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh <build-dir> [extra cmake args...]
# The build type is RelWithDebInfo unless the arguments give one
# (-DCMAKE_BUILD_TYPE=Release, for instance).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
build_type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
for arg in "$@"; do
  case "$arg" in -DCMAKE_BUILD_TYPE=*) build_type=() ;; esac
done
cmake -S "$root" -B "$dir" "${generator[@]}" "${build_type[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
