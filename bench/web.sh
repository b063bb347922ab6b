#!/usr/bin/env bash
# The page in headless Chromium against the command on one thread, for the
# same 60 pictures of 640 x 480 and the page's defaults (10 frames a second,
# one palette, only what changes): paired runs that take turns, the median of
# each, and whether the bytes are the same (bench/web_page.mjs).
#
#   bench/web.sh                      # needs web/dist (scripts/build-web.sh)
#   SETS="life" REPS=7 bench/web.sh
#
# Environment: SETS, and those of bench/sets.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
REPS=${REPS:-5}
# shellcheck source=bench/sets.sh
source "$ROOT/bench/sets.sh"
SETS=${SETS:-testsrc2 mandelbrot life video640}
[ -f "$ROOT/web/dist/index.html" ] || { say "web/dist is not built: bash scripts/build-web.sh"; exit 2; }
SITE=$(mktemp -d)
trap 'rm -rf "$SITE"' EXIT
cp -r "$ROOT/web/dist/." "$SITE/"
for set in $SETS; do
  make_set "$set"
  printf '%-12s ' "$set"
  node "$ROOT/bench/web_page.mjs" "$SITE" "$ZOETRA" "$REPS" "$DATA/$set"/f*.png
done
