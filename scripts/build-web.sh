#!/usr/bin/env bash
# Builds the page and the JavaScript module for the browser into web/dist/:
# index.html, its script and style, zoetra.js, the worker and the engine
# (zoetra-engine.js and .wasm), ready for any static folder.
#
#   bash scripts/build-web.sh            # needs emscripten: apt-get install emscripten node-acorn
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if ! command -v emcmake >/dev/null 2>&1; then
  echo "build-web.sh: emscripten is not installed (apt-get install emscripten node-acorn)" >&2
  exit 1
fi
# Debian's emscripten runs its tools on node; a node that is not Debian's
# finds Debian's node modules (acorn) only through NODE_PATH.
export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs:/usr/lib/nodejs"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
emcmake cmake -S "$root" -B build-web "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build-web -j "$(nproc)"
rm -rf web/dist
mkdir -p web/dist
cp web/src/* build-web/web/zoetra-engine.js build-web/web/zoetra-engine.wasm web/dist/
echo "web/dist: $(du -cb web/dist/* | tail -1 | cut -f1) bytes"
