#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds small programs
# against it: C++ through the CMake package, C through pkg-config (shared, and
# static through zoetra-static beside it and from a copy of the prefix moved elsewhere,
# without the shared library),
# and Python from a virtual environment when the package is built. Each
# checks that its headers, the library and the package tell one version:
# check.sh <build dir> <source dir> [python]
set -euo pipefail
build_dir="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/zoetra" || { echo "zoetra command not installed" >&2; exit 1; }

# Only the public headers are installed, and the shared library exports no internals.
for internal in le_bytes.hpp picture_codecs.hpp gdi_objects.hpp ordered_parallel.hpp worker_pool.hpp mdfile.hpp; do
  if find "$work/prefix/include" -name "$internal" | grep -q .; then
    echo "internal header $internal installed" >&2
    exit 1
  fi
done
# One include folder: the front door at <zoetra/...>, the building blocks at
# <zoetra/blocks/...>, and each header compiles alone with that folder only.
include="$work/prefix/include"
for header in zoetra.h zoetra.hpp compat.h version.h; do
  test -f "$include/zoetra/$header" || { echo "<zoetra/$header> not installed" >&2; exit 1; }
done
if find "$include/zoetra" -mindepth 1 -maxdepth 1 -type d ! -name blocks | grep . >&2; then
  echo "folders beside zoetra/blocks installed (above)" >&2
  exit 1
fi
while IFS= read -r header; do
  name="${header#"$include"/}"
  printf '#include <%s>\n' "$name" >"$work/alone.cpp"
  c++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$include" "$work/alone.cpp" ||
    { echo "installed <$name> does not compile alone" >&2; exit 1; }
  case "$name" in
    *.h)
      printf '#include <%s>\nint zoetra_alone;\n' "$name" >"$work/alone.c"
      cc -std=c99 -pedantic-errors -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$include" "$work/alone.c" ||
        { echo "installed <$name> does not compile alone as C" >&2; exit 1; } ;;
  esac
done < <(find "$include" -type f | sort)

so="$(find "$work/prefix" -name 'libzoetra.so.*.*' | head -n 1)"
if nm -DC --defined-only "$so" | grep -E 'detail::|anonymous namespace' >&2; then
  echo "the shared library exports internal symbols (above)" >&2
  exit 1
fi

pc="$(find "$work/prefix" -name zoetra.pc)"
export PKG_CONFIG_PATH="$(dirname "$pc")"
version="$(pkg-config --modversion zoetra)"
read -r -a include_flags <<<"$(pkg-config --cflags-only-I zoetra)"
if [ "${#include_flags[@]}" -ne 1 ] || [ "$(realpath "${include_flags[0]#-I}")" != "$(realpath "$include")" ]; then
  echo "pkg-config gives other include folders than $include: ${include_flags[*]}" >&2
  exit 1
fi

cmake -S "$source_dir/tests/package/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
libdirs="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu"
LD_LIBRARY_PATH="$libdirs" "$work/consumer/consumer"
"$work/consumer/consumer_static"

picture="$source_dir/examples/frame01.png"

# The Python package, when built: installed where the interpreter CMake found
# searches for the prefix. A virtual environment made from that interpreter
# imports it from its own prefix with no PYTHONPATH, and it makes the
# installed command's bytes; for /usr/local the folder is one the interpreter
# searches already.
python="${3:-}"  # the interpreter the package is built for; empty without it
if [ -n "$python" ]; then
  "$work/prefix/bin/zoetra" create -q -o "$work/cli.gif" "$picture" "$picture"
  find "$work/prefix" -path '*/zoetra/_zoetra*.so' | grep -q . || { echo "Python package not installed" >&2; exit 1; }
  "$python" -m venv --without-pip --system-site-packages "$work/venv"
  cmake --install "$build_dir" --prefix "$work/venv" --component python >/dev/null
  (cd "$work" && env -u PYTHONPATH "$work/venv/bin/python" - "$picture" "$work/cli.gif" "$work/venv" "$version" <<'PY'
import sys, zoetra
picture, made, venv, version = sys.argv[1:5]
assert zoetra.__file__.startswith(venv + "/lib/"), zoetra.__file__
assert zoetra.__version__ == version, (zoetra.__version__, version)
assert zoetra.create([picture, picture]) == open(made, "rb").read(), "the installed module's bytes differ"
PY
  )
  "$python" - "$source_dir/python/install_dir.py" <<'PY'
import os, subprocess, sys, sysconfig
if "posix_local" in sysconfig.get_scheme_names():  # Debian's python3, whose modules for /usr/local go here
    folder = subprocess.run([sys.executable, sys.argv[1], "/usr/local"], check=True, capture_output=True,
                            text=True).stdout.strip()
    target = os.path.join("/usr/local", folder)
    assert target == sysconfig.get_path("platlib", "posix_local"), target
    assert not os.path.isdir(target) or target in sys.path, (target, sys.path)
PY
fi
cc -std=c99 -Wall -Werror "$source_dir/tests/package/c_consumer.c" $(pkg-config --cflags --libs zoetra) \
  -o "$work/c-shared"
LD_LIBRARY_PATH="$libdirs" "$work/c-shared" "$picture" "$work/shared.gif" "$version"

# FFmpeg is opened when a clip is: neither the library nor a host built
# through either package links it.
links_no_ffmpeg() {
  for file in "$@"; do
    if readelf -d "$file" | grep -E 'NEEDED.*lib(av|sw)' >&2; then
      echo "$(basename "$file") links FFmpeg's libraries (above)" >&2
      exit 1
    fi
  done
}
links_no_ffmpeg "$so" "$work/consumer/consumer" "$work/consumer/consumer_static" "$work/c-shared"

# Static beside the shared library: zoetra-static names the archive itself.
cc -std=c99 -Wall -Werror "$source_dir/tests/package/c_consumer.c" $(pkg-config --cflags --libs zoetra-static) \
  -o "$work/c-static-beside"
if readelf -d "$work/c-static-beside" | grep -q 'NEEDED.*libzoetra'; then
  echo "zoetra-static still links libzoetra.so" >&2
  exit 1
fi
"$work/c-static-beside" "$picture" "$work/static-beside.gif" "$version"
cmp "$work/shared.gif" "$work/static-beside.gif"

# The prefix is found from the .pc file's place: move the tree, drop the
# shared library, and link the static one with what it needs.
mv "$work/prefix" "$work/moved"
find "$work/moved" -name 'libzoetra.so*' -delete
export PKG_CONFIG_PATH="${PKG_CONFIG_PATH/$work\/prefix/$work/moved}"
cc -std=c99 -Wall -Werror "$source_dir/tests/package/c_consumer.c" $(pkg-config --static --cflags --libs zoetra) \
  -o "$work/c-static"
if readelf -d "$work/c-static" | grep -q 'NEEDED.*libzoetra'; then
  echo "the static build still needs libzoetra.so" >&2
  exit 1
fi
"$work/c-static" "$picture" "$work/static.gif" "$version"
cmp "$work/shared.gif" "$work/static.gif"
links_no_ffmpeg "$work/c-static"
echo "package ok"
