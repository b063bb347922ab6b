#!/usr/bin/env bash
# zoetra on one thread against all cores, and against ffmpeg's two-pass
# palettegen/paletteuse, on the same pictures; with the peak memory of each
# run and a check that every thread count writes the same bytes.
#
#   bench/threads.sh                      # every set, 5 paired rounds
#   SETS="mandelbrot" REPS=9 bench/threads.sh
#
# Each round runs the tools one after the other (ffmpeg, one thread, all
# cores, and the same two for --palette all), so slow moments of the machine
# fall on all of them alike; the table gives medians over the rounds. Time is
# the whole process. Sets and tools: bench/sets.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SETS=${SETS:-testsrc2 mandelbrot life photoseq slideshow hd1080}
REPS=${REPS:-5}
# shellcheck source=bench/sets.sh
source "$ROOT/bench/sets.sh"

# run NAME CMD...: one timed run; appends wall seconds to T_NAME and keeps the peak RSS (KiB) in M_NAME.
declare -A T=() M=()
run() {
  local name=$1 start end
  shift
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$OUT/rss" "$@"
  end=$EPOCHREALTIME
  T[$name]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }') "
  M[$name]=$(cat "$OUT/rss")
}
med() { printf '%s\n' ${T[$1]} | median; }

export -f ffmpeg_two_pass
OUT=$DATA/out
mkdir -p "$OUT"
printf '| set | ffmpeg s | 1 thread s | %s threads s | speed-up | vs ffmpeg | peak MiB (1 / all) | all: 1 thread s | all: %s threads s | all vs ffmpeg |\n' "$(nproc)" "$(nproc)"
printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n'
for set in $SETS; do
  make_set "$set"
  dir=$DATA/$set
  pics=("$dir"/f*.png)
  z=("$ZOETRA" create -q --palette first --delay $DELAY_MS)
  # The same bytes for every thread count, in the modes and switches timed here and a few more.
  for args in "" "--optimize" "--palette all" "--palette frame --optimize" "--gray" "--swap-rg --optimize"; do
    ref=""
    for j in 1 2 3 0; do
      # shellcheck disable=SC2086
      "${z[@]}" $args -j $j -o "$OUT/$set-j$j.gif" "${pics[@]}"
      sum=$(md5sum <"$OUT/$set-j$j.gif")
      [ -z "$ref" ] && ref=$sum
      [ "$sum" = "$ref" ] || { say "$set ($args): -j $j wrote other bytes than -j 1"; exit 1; }
    done
  done
  T=() M=()
  for ((r = 0; r < REPS; r++)); do
    run ffmpeg bash -c 'ffmpeg_two_pass "$@"' _ "$dir" "$OUT/$set-ffmpeg.gif"
    run one "${z[@]}" -j 1 -o "$OUT/$set-one.gif" "${pics[@]}"
    run all "${z[@]}" -o "$OUT/$set-all.gif" "${pics[@]}"
    run pone "${z[@]}" --palette all -j 1 -o "$OUT/$set-pone.gif" "${pics[@]}"
    run pall "${z[@]}" --palette all -o "$OUT/$set-pall.gif" "${pics[@]}"
  done
  f=$(med ffmpeg) one=$(med one) all=$(med all) pone=$(med pone) pall=$(med pall)
  printf '| %s | %s | %s | %s | %s | %s | %s / %s | %s | %s | %s |\n' "$set" "$f" "$one" "$all" \
    "$(awk -v a="$one" -v b="$all" 'BEGIN { printf "%.2fx", a / b }')" \
    "$(awk -v a="$f" -v b="$all" 'BEGIN { printf "%.1fx", a / b }')" \
    "$((M[one] / 1024))" "$((M[all] / 1024))" "$pone" "$pall" \
    "$(awk -v a="$f" -v b="$pall" 'BEGIN { printf "%.1fx", a / b }')"
done
echo
echo "$(nproc) CPUs; median of $REPS paired rounds; zoetra's default palette unless marked 'all' (--palette all)."
