#!/usr/bin/env bash
# Picture quality, file size and time of zoetra's palette modes against
# ffmpeg's two-pass palettegen/paletteuse (Floyd-Steinberg) and gifski, on
# the same pictures.
#
#   bench/palette_modes.sh                    # every set, 3 timed runs each
#   SETS="mandelbrot slideshow" REPS=5 bench/palette_modes.sh
#
# Sets and tools: bench/sets.sh.
# Quality is measured by bench/gif_quality.py (PSNR of the frames as a viewer
# composes them against the pictures). Time is the whole process (median wall
# and CPU seconds); ffmpeg's is both passes together.
#
# Environment: SETS, and those of bench/sets.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SETS=${SETS:-testsrc2 mandelbrot life photoseq slideshow hd1080 pan1080}
# shellcheck source=bench/sets.sh
source "$ROOT/bench/sets.sh"

run_tool() {
  local tool=$1 set=$2 dir=$DATA/$2 out=$3
  case $tool in
    first | all | frame)
      "$ZOETRA" create -q -o "$out" --delay $DELAY_MS --palette "$tool" "$dir"/f*.png ;;
    ffmpeg) ffmpeg_two_pass "$dir" "$out" ;;
    gifski)
      "$GIFSKI" --quiet --no-sort -W 1920 -H 1080 -o "$out" "$dir"/f*.png ;;
  esac
}

OUT=$DATA/out
mkdir -p "$OUT"
printf '| set | tool | PSNR mean dB | worst frame dB | MiB | wall s | vs ffmpeg |\n'
printf '|---|---|---:|---:|---:|---:|---:|\n'
for set in $SETS; do
  make_set "$set"
  declare -A wall=()
  for tool in ffmpeg gifski first all frame; do
    out=$OUT/$set-$tool.gif
    run_tool "$tool" "$set" "$out"  # warm-up
    timed_runs run_tool "$tool" "$set" "$out"
    wall[$tool]=$WALL
    delay=$DELAY_MS
    [ "$tool" = gifski ] && delay=50  # gifski's default 20 frames/s, its merged frames expanded
    q=$($PY "$ROOT/bench/gif_quality.py" "$out" "$DATA/$set" "$delay")
    mean=$($PY -c 'import json,sys; print(json.loads(sys.argv[1])["psnr_mean"])' "$q")
    worst=$($PY -c 'import json,sys; print(json.loads(sys.argv[1])["psnr_worst"])' "$q")
    mib=$($PY -c 'import json,sys; print("%.1f" % (json.loads(sys.argv[1])["bytes"] / 1048576))' "$q")
    speed=$(awk -v f="${wall[ffmpeg]}" -v t="$WALL" 'BEGIN { printf "%.1fx", f / t }')
    printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$set" "$tool" "$mean" "$worst" "$mib" "$WALL" "$speed"
  done
  unset wall
done
echo
echo "$(nproc) CPUs; median of $REPS runs; vs ffmpeg = ffmpeg's two passes' wall time over the tool's."
