#!/usr/bin/env bash
# Times `zoetra create` against ImageMagick's convert and ffmpeg's two-pass
# palettegen/paletteuse on the same 60 PNG frames of 640 x 480 (ffmpeg's
# testsrc2 pattern), and prints wall time, CPU time and peak memory of each
# whole process with the ratios.
#
#   bench/compare.sh                 # 5 repetitions each, median reported
#   REPS=3 SOURCE=mandelbrot bench/compare.sh
#
# Environment: REPS (repetitions, default 5), FRAMES (default 60), SIZE
# (default 640x480), SOURCE (an ffmpeg test source: testsrc2, mandelbrot,
# smptehdbars, ...), ZOETRA (a zoetra binary to use instead of building one),
# BUILD_DIR (default build-release), KEEP=1 keeps the work directory.
# Missing tools (ffmpeg, imagemagick, GNU time) are installed with apt-get.
set -euo pipefail

REPS=${REPS:-5}
FRAMES=${FRAMES:-60}
SIZE=${SIZE:-640x480}
SOURCE=${SOURCE:-testsrc2}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-release}
DELAY_MS=350
DELAY_CS=35

say() { printf '%s\n' "$*" >&2; }

# --- tools -------------------------------------------------------------------

apt_install() {
  local runner=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { say "need root (or sudo) to install: $*"; exit 1; }
    runner=(sudo)
  fi
  say "installing $* ..."
  "${runner[@]}" apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive "${runner[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# ImageMagick's convert; a `convert` earlier on PATH may be something else.
find_convert() {
  local c
  for c in "$(command -v convert 2>/dev/null || true)" /usr/bin/convert /usr/bin/convert-im6.q16; do
    if [ -n "$c" ] && [ -x "$c" ] && "$c" -version 2>/dev/null | grep -q ImageMagick; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

missing=()
command -v ffmpeg >/dev/null || missing+=(ffmpeg)
find_convert >/dev/null || missing+=(imagemagick)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi
CONVERT=$(find_convert) || { say "ImageMagick's convert not found after installing"; exit 1; }
GNU_TIME=/usr/bin/time

# --- zoetra, built in Release when no binary is given -------------------------

if [ -z "${ZOETRA:-}" ]; then
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    say "configuring a Release build in $BUILD_DIR ..."
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DZOETRA_BUILD_TESTS=OFF -DZOETRA_BUILD_BENCH=OFF >/dev/null
  fi
  say "building zoetra (Release) ..."
  cmake --build "$BUILD_DIR" --target zoetra_cli -j2 >/dev/null
  ZOETRA=$BUILD_DIR/cli/zoetra
fi
[ -x "$ZOETRA" ] || { say "no zoetra binary at $ZOETRA"; exit 1; }

# --- input frames ------------------------------------------------------------

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zoetra-compare-XXXXXX")
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$WORK"' EXIT; fi
mkdir -p "$WORK/frames"
say "generating $FRAMES frames of $SIZE ($SOURCE) ..."
ffmpeg -v error -f lavfi -i "$SOURCE=size=$SIZE:rate=25" -frames:v "$FRAMES" "$WORK/frames/f%04d.png"
shopt -s nullglob
frames=("$WORK"/frames/*.png)
[ ${#frames[@]} -eq "$FRAMES" ] || { say "ffmpeg made ${#frames[@]} frames, not $FRAMES"; exit 1; }

# --- measuring ---------------------------------------------------------------

# step_command NAME: sets CMD to the command of one step of a conversion.
step_command() {
  case $1 in
    zoetra) CMD=("$ZOETRA" create -q -o "$WORK/zoetra.gif" --palette first --delay "$DELAY_MS" "${frames[@]}") ;;
    convert) CMD=("$CONVERT" -delay "$DELAY_CS" -loop 0 "${frames[@]}" "$WORK/convert.gif") ;;
    palettegen) CMD=(ffmpeg -v error -y -i "$WORK/frames/f%04d.png" -vf palettegen "$WORK/palette.png") ;;
    paletteuse)
      CMD=(ffmpeg -v error -y -framerate "100/$DELAY_CS" -i "$WORK/frames/f%04d.png" -i "$WORK/palette.png"
        -lavfi paletteuse -loop 0 "$WORK/ffmpeg.gif")
      ;;
  esac
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure LABEL STEP...: runs the steps in order REPS times, after one warm-up
# run that also fills the page cache, and sets RESULT to the medians of
# "wall cpu rss": wall and cpu (user + system) in seconds over all steps, rss
# the largest peak resident size of any step in KiB.
measure() {
  local label=$1
  shift
  local step walls=() cpus=() rsss=() start end wall cpu rss u s m i
  for step in "$@"; do
    step_command "$step"
    "${CMD[@]}" >/dev/null
  done
  for ((i = 0; i < REPS; i++)); do
    cpu=0
    rss=0
    start=$EPOCHREALTIME
    for step in "$@"; do
      step_command "$step"
      "$GNU_TIME" -f '%U %S %M' -o "$WORK/time.txt" "${CMD[@]}" >/dev/null
      read -r u s m <"$WORK/time.txt"
      cpu=$(awk -v a="$cpu" -v b="$u" -v c="$s" 'BEGIN { printf "%.2f", a + b + c }')
      if ((m > rss)); then rss=$m; fi
    done
    end=$EPOCHREALTIME
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    walls+=("$wall")
    cpus+=("$cpu")
    rsss+=("$rss")
    say "  $label run $((i + 1))/$REPS: $wall s wall, $cpu s cpu, $((rss / 1024)) MiB peak"
  done
  RESULT="$(printf '%s\n' "${walls[@]}" | median) $(printf '%s\n' "${cpus[@]}" | median) $(printf '%s\n' "${rsss[@]}" | median)"
}

say "timing zoetra ..."
measure zoetra zoetra
read -r z_wall z_cpu z_rss <<<"$RESULT"
say "timing ffmpeg (palettegen + paletteuse) ..."
measure ffmpeg palettegen paletteuse
read -r f_wall f_cpu f_rss <<<"$RESULT"
say "timing ImageMagick convert ..."
measure convert convert
read -r c_wall c_cpu c_rss <<<"$RESULT"

size_of() { stat -c %s "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }

echo
echo "$FRAMES frames of $SIZE ($SOURCE), median of $REPS runs, $(nproc) CPUs"
printf '%-28s %10s %10s %12s %12s\n' "" "wall s" "cpu s" "peak MiB" "GIF bytes"
printf '%-28s %10s %10s %12s %12s\n' "zoetra" "$z_wall" "$z_cpu" "$(awk -v k="$z_rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$(size_of "$WORK/zoetra.gif")"
printf '%-28s %10s %10s %12s %12s\n' "ffmpeg palettegen+paletteuse" "$f_wall" "$f_cpu" "$(awk -v k="$f_rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$(size_of "$WORK/ffmpeg.gif")"
printf '%-28s %10s %10s %12s %12s\n' "ImageMagick convert" "$c_wall" "$c_cpu" "$(awk -v k="$c_rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$(size_of "$WORK/convert.gif")"
echo
echo "zoetra is $(ratio "$f_wall" "$z_wall")x faster than ffmpeg (wall), $(ratio "$f_cpu" "$z_cpu")x (cpu); aim 3x"
echo "zoetra is $(ratio "$c_wall" "$z_wall")x faster than ImageMagick (wall), $(ratio "$c_cpu" "$z_cpu")x (cpu); aim 15x"
frames_mib=$(awk -v n="$FRAMES" -v s="$SIZE" 'BEGIN { split(s, d, "x"); printf "%.1f", n * d[1] * d[2] / 1048576 }')
echo "zoetra peak memory $(awk -v k="$z_rss" 'BEGIN { printf "%.1f", k / 1024 }') MiB; the 8-bit frames alone are $frames_mib MiB"
