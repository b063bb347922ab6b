#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a small program
# against it, once through the CMake package and once through pkg-config.
set -euo pipefail
build_dir="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/package/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu" "$work/consumer/consumer"
"$work/consumer/consumer_static"
pc_dir="$(dirname "$(find "$work/prefix" -name zoetra.pc | head -n 1)")"
flags="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --define-prefix --cflags --libs zoetra)"
c++ -std=c++20 "$source_dir/tests/package/consumer/main.cpp" $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu" "$work/pc-consumer"
test -x "$work/prefix/bin/zoetra" || { echo "zoetra command not installed" >&2; exit 1; }
echo "package ok"
