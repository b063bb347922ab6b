#!/usr/bin/env bash
# Wall time of zoetra's people's default (--palette all) and its classic
# conversion (--palette first) against ffmpeg's two passes on every sample set,
# as paired runs: the three take turns, REPS times (default 5), and the median
# of each is compared, so a busy moment of the machine falls on all three.
#
#   bench/paired.sh                 # every set of bench/sets.sh
#   SETS="life hd1080" REPS=7 bench/paired.sh
#   ZFLAGS=--optimize bench/paired.sh   # flags added to both zoetra runs
#
# Environment: SETS, ZFLAGS, and those of bench/sets.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
REPS=${REPS:-5}
# shellcheck source=bench/sets.sh
source "$ROOT/bench/sets.sh"
SETS=${SETS:-testsrc2 mandelbrot life photoseq slideshow slideshow1080 hd1080 pan1080}
read -r -a ZFLAGS <<<"${ZFLAGS:-}"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

seconds() {  # seconds CMD...: wall seconds of one run
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'
}

printf '| set | ffmpeg s | all s (ratio) | first s (ratio) |\n|---|---:|---:|---:|\n'
for set in $SETS; do
  make_set "$set"
  dir=$DATA/$set
  ff=() all=() first=()
  for ((i = 0; i < REPS; i++)); do
    ff+=("$(seconds ffmpeg_two_pass "$dir" "$WORK/ffmpeg.gif")")
    all+=("$(seconds "$ZOETRA" create -q -o "$WORK/all.gif" --delay $DELAY_MS --palette all "${ZFLAGS[@]}" "$dir"/f*.png)")
    first+=("$(seconds "$ZOETRA" create -q -o "$WORK/first.gif" --delay $DELAY_MS --palette first "${ZFLAGS[@]}" "$dir"/f*.png)")
  done
  f=$(printf '%s\n' "${ff[@]}" | median)
  a=$(printf '%s\n' "${all[@]}" | median)
  c=$(printf '%s\n' "${first[@]}" | median)
  awk -v s="$set" -v f="$f" -v a="$a" -v c="$c" \
    'BEGIN { printf "| %s | %.2f | %.2f (%.3f) | %.2f (%.3f) |\n", s, f, a, a / f, c, c / f }'
done
