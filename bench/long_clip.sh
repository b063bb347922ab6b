#!/usr/bin/env bash
# Peak memory and time against clip length: the first N frames of one clip of
# 1280 x 720 at 25 frames/s, for each N, through zoetra (--palette all and
# --palette frame, both with --optimize), ffmpeg's two passes (palettegen, then
# paletteuse, as bench/compare.sh runs them) and gifski (its default quality).
# Each conversion is measured as a whole process by GNU time (ffmpeg: both
# passes, wall times added, the larger peak). A tool that refuses a clip or
# fails gets a row with its exit status, and its message below the table; the
# run goes on.
#
#   bench/long_clip.sh                            # 100 300 700 1500 frames
#   bench/long_clip.sh --zoetra build/cli/zoetra --frames "100 300" --repeat 3
#   bench/plot_long_clip.py build-bench/long-clip/long_clip.csv long_clip.png
#
# The clip is a slow zoom and pan over examples/photos/photo1.jpg whose hues
# turn once a minute, so one palette has to cover more colours the longer the
# clip. It is made once, with as many frames as the largest N, and kept in the
# out directory with the GIFs of the largest N, GNU time's reports and each
# tool's messages (logs/) and long_clip.csv.
#
# Options:
#   --zoetra PATH     zoetra to measure (default: a Release build, bench/tools.sh)
#   --frames "N ..."  frame counts (default "100 300 700 1500")
#   --out DIR         default build-bench/long-clip
#   --repeat R        runs of each conversion; median wall time and peak (default 1)
#   --psnr            mean PSNR of the largest N's GIFs (bench/gif_quality.py)
#   TOOLS="zoetra-all zoetra-frame"  (environment) the tools to run; default also ffmpeg and gifski
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FRAMES="100 300 700 1500"
OUT=$ROOT/build-bench/long-clip
REPEAT=1
PSNR=0
W=1280
H=720
FPS=25
TOOLS=${TOOLS:-"zoetra-all zoetra-frame ffmpeg gifski"}

usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case $1 in
    --zoetra) ZOETRA=$2; shift 2 ;;
    --frames) FRAMES=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --repeat) REPEAT=$2; shift 2 ;;
    --psnr) PSNR=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
for n in $FRAMES $REPEAT; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "not a count: $n" >&2; exit 2; }
done
[ -n "${FRAMES// /}" ] || { echo "no frame counts" >&2; exit 2; }

# shellcheck source=bench/tools.sh
source "$ROOT/bench/tools.sh"
[ "$PSNR" = 1 ] && apt_need python3-pil python3-numpy
[ -x "$ZOETRA" ] || { say "no zoetra binary at $ZOETRA"; exit 1; }
mkdir -p "$OUT/logs"
OUT=$(cd "$OUT" && pwd)
# shellcheck disable=SC2086 # the counts are words
LARGEST=$(printf '%s\n' $FRAMES | sort -n | tail -1)

# --- the clip ----------------------------------------------------------------

SCENE="scale=2560:1440:flags=lanczos,zoompan=z='1.25+0.25*sin(2*PI*on/600)'"
SCENE+=":x='(iw-iw/zoom)*(0.5+0.5*sin(2*PI*on/900))':y='(ih-ih/zoom)*(0.5+0.5*cos(2*PI*on/700))'"
SCENE+=":d=1:s=${W}x$H:fps=$FPS,hue=H=2*PI*t/60"
CLIP=$OUT/clip
# Frame i is the same for any clip length, so a longer clip serves shorter runs.
if [ ! -f "$CLIP/.scene" ] || [ "$(sed -n 1p "$CLIP/.scene")" != "$SCENE" ] ||
  [ "$(sed -n 2p "$CLIP/.scene")" -lt "$LARGEST" ]; then
  rm -rf "$CLIP"
  mkdir -p "$CLIP"
  say "making the clip: $LARGEST frames of ${W}x$H ..."
  ffmpeg -v error -loop 1 -framerate $FPS -i "$ROOT/examples/photos/photo1.jpg" -vf "$SCENE" \
    -frames:v "$LARGEST" "$CLIP/f%05d.png"
  printf '%s\n%s\n' "$SCENE" "$LARGEST" >"$CLIP/.scene"
fi
CLIP_PICS=("$CLIP"/f*.png)

# --- measuring ---------------------------------------------------------------

# timed REPORT CMD...: runs CMD under GNU time (its report in REPORT, CMD's
# messages appended to RUN_ERR), adds its wall seconds to RUN_WALL and raises
# RUN_PEAK (KiB) to its peak; returns CMD's exit status (128 + n for signal n).
timed() {
  local report=$1 rc=0 wall peak
  shift
  /usr/bin/time -v -o "$report" "$@" >/dev/null 2>>"$RUN_ERR" || rc=$?
  read -r wall peak < <(awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); for (i = 1; i <= n; i++) w = w * 60 + p[i] }
    /Maximum resident set size/ { m = $2 }
    END { printf "%.2f %d\n", w, m }' "$report")
  RUN_WALL=$(awk -v a="$RUN_WALL" -v b="$wall" 'BEGIN { printf "%.2f", a + b }')
  ((peak > RUN_PEAK)) && RUN_PEAK=$peak
  return $rc
}

# run_conversion TOOL N GIF LOG: one conversion of the first N frames of the
# clip; GNU time's reports in LOG.*time, the tool's messages in LOG.err.
run_conversion() {
  local dir=$OUT/frames-$2
  RUN_WALL=0
  RUN_PEAK=0
  RUN_ERR=$4.err
  rm -f "$3" "$RUN_ERR"
  case $1 in
    zoetra-all | zoetra-frame)
      timed "$4.time" "$ZOETRA" create -q --palette "${1#zoetra-}" --optimize --fps $FPS --list "$dir.list" -o "$3" ;;
    ffmpeg)
      timed "$4.palettegen.time" ffmpeg -v error -y -i "$dir/f%05d.png" -vf palettegen "$3.palette.png" &&
        timed "$4.paletteuse.time" ffmpeg -v error -y -framerate $FPS -i "$dir/f%05d.png" -i "$3.palette.png" \
          -lavfi paletteuse -loop 0 "$3" ;;
    gifski)
      # Without -W and -H gifski scales frames down to about 800 x 600.
      timed "$4.time" "$GIFSKI" --quiet --fps $FPS -W $W -H $H -o "$3" "$dir"/f*.png ;;
  esac
}

CSV=$OUT/long_clip.csv
echo "frames,tool,wall_s,peak_mib,bytes,exit_status,psnr_mean,message" >"$CSV"
failures=()
printf '| frames | tool | wall s | peak MiB | bytes | exit status |%s\n' "$([ $PSNR = 1 ] && echo ' PSNR dB |')"
printf '|---:|---|---:|---:|---:|---:|%s\n' "$([ $PSNR = 1 ] && echo '---:|')"
for n in $FRAMES; do
  dir=$OUT/frames-$n
  rm -rf "$dir"
  mkdir -p "$dir"
  ln -s -t "$dir" "${CLIP_PICS[@]:0:n}"
  printf '%s\n' "$dir"/f*.png >"$dir.list"
  cat "$dir"/f*.png >/dev/null  # the same warm page cache for every tool
  for tool in $TOOLS; do
    say "$n frames: $tool ..."
    gif=$OUT/$n-$tool.gif
    log=$OUT/logs/$n-$tool
    walls=() peaks=() status=0
    for ((r = 0; r < REPEAT; r++)); do
      if run_conversion "$tool" "$n" "$gif" "$log"; then status=0; else status=$?; fi
      walls+=("$RUN_WALL")
      peaks+=("$RUN_PEAK")
      [ $status -eq 0 ] || break
    done
    wall=$(printf '%s\n' "${walls[@]}" | median)
    mib=$(printf '%s\n' "${peaks[@]}" | median | awk '{ printf "%.1f", $1 / 1024 }')
    bytes="" psnr="" message=""
    if [ $status -eq 0 ] && [ -f "$gif" ]; then
      bytes=$(stat -c %s "$gif")
      if [ $PSNR = 1 ] && [ "$n" = "$LARGEST" ]; then
        say "$n frames: $tool: PSNR ..."
        psnr=$($PY "$ROOT/bench/gif_quality.py" "$gif" "$dir" $((1000 / FPS)) |
          $PY -c 'import json, sys; print(json.load(sys.stdin)["psnr_mean"])') || psnr=""
      fi
    else
      message=$(grep -v '^[[:space:]]*$' "$log.err" 2>/dev/null | sed -n 1p || true)
      if [ $status -eq 0 ]; then
        status=no-gif
        message="exited 0 without writing the GIF"
      fi
      message=${message:-no message}
      failures+=("$n frames, $tool (status $status): $message")
    fi
    [ "$n" = "$LARGEST" ] || rm -f "$gif"
    rm -f "$gif.palette.png"
    shown=$status
    [ "$status" = 0 ] || shown="**$status** (failed)"
    printf '| %s | %s | %s | %s | %s | %s |%s\n' "$n" "$tool" "$wall" "$mib" "${bytes:--}" "$shown" \
      "$([ $PSNR = 1 ] && echo " ${psnr:--} |")"
    printf '%s,%s,%s,%s,%s,%s,%s,"%s"\n' "$n" "$tool" "$wall" "$mib" "$bytes" "$status" "$psnr" \
      "${message//\"/\"\"}" >>"$CSV"
  done
done
echo
echo "$(nproc) CPUs; ${W}x$H at $FPS frames/s; median of $REPEAT run(s); whole process (ffmpeg: both passes)."
echo "zoetra: $ZOETRA ($("$ZOETRA" --version 2>/dev/null | sed -n 1p)); gifski $("$GIFSKI" --version | awk '{ print $2 }'); $(ffmpeg -version | awk 'NR == 1 { print $1, $3 }')"
if [ ${#failures[@]} -gt 0 ]; then
  echo "Failed:"
  printf '  %s\n' "${failures[@]}"
fi
echo "CSV: $CSV"
