#!/usr/bin/env bash
# zoetra against ffmpeg on video clips: wall time of `zoetra create` and of
# ffmpeg's two passes run as one process (split, palettegen, paletteuse), as
# paired runs taking turns REPS times (default 3) with the medians compared;
# zoetra's peak memory (GNU time, one run); and the picture quality of both
# GIFs against the clip's frames as ffmpeg decodes them (turned upright when
# the clip says so), by the PSNR tool (PSNR_TOOL).
#
#   bench/video.sh                                # every clip but minute_720p
#   CLIPS="vp9_webm phone_rot90" REPS=5 ZFLAGS="--palette frame" bench/video.sh
#   MINUTE=1 bench/video.sh
#
# Prints a markdown table: the medians in seconds, their ratio, zoetra's peak
# in MiB, each GIF's PSNR in dB as "mean (worst frame)", and the clip's frame
# count, with a GIF's shown frames after it when they differ. A tool that
# fails gets "fail" and its last messages on stderr; the run goes on.
#
# Clips, made once with ffmpeg into $DATA (default build-bench/video) from
# zooms and pans over examples/photos/ and ffmpeg's mandelbrot source:
#   h264_720p    H.264 1280 x 720, 25 frames/s, 10 s (photo1)
#   testsrc_720p H.264 1280 x 720, 25 frames/s, 10 s (ffmpeg's testsrc2 pattern)
#   vp9_webm     VP9 640 x 360, 25 frames/s, 6 s (mandelbrot)
#   h264_30fps   H.264 640 x 360, 30 frames/s, 6 s (photo2)
#   phone_rot90  H.264 stored 1280 x 720 with a phone's display matrix turning
#                it 90 degrees clockwise to an upright 720 x 1280, 25 frames/s,
#                6 s (photo3)
#   minute_720p  H.264 1280 x 720, 25 frames/s, 60 s (all four photos); only
#                with MINUTE=1 or when CLIPS names it
#
# Environment: CLIPS, REPS, ZFLAGS (added to `zoetra create -q -o OUT`),
# MINUTE, DATA, PSNR_TOOL (default /work/shared/tools/gif-psnr.py when it
# exists, else bench/gif_quality.py, which gives the same figures one frame at
# a time; it is also used when the first would not fit in memory), and those
# of bench/tools.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
REPS=${REPS:-3}
read -ra ZFLAGS <<<"${ZFLAGS:-}"
MINUTE=${MINUTE:-0}
DATA=${DATA:-$ROOT/build-bench/video}
PSNR_TOOL=${PSNR_TOOL:-/work/shared/tools/gif-psnr.py}
[ -f "$PSNR_TOOL" ] || PSNR_TOOL=$ROOT/bench/gif_quality.py
STREAMING_PSNR=$ROOT/bench/gif_quality.py
CLIPS=${CLIPS:-h264_720p testsrc_720p vp9_webm h264_30fps phone_rot90}
[ "$MINUTE" = 1 ] && [[ " $CLIPS " != *" minute_720p "* ]] && CLIPS="$CLIPS minute_720p"
[[ $REPS =~ ^[1-9][0-9]*$ ]] || { echo "REPS is not a count: $REPS" >&2; exit 2; }
# shellcheck source=bench/tools.sh
source "$ROOT/bench/tools.sh"
apt_need python3-pil python3-numpy
[ -x "$ZOETRA" ] || { say "no zoetra binary at $ZOETRA"; exit 1; }
mkdir -p "$DATA"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PHOTOS=$ROOT/examples/photos
say "zoetra: $ZOETRA ($("$ZOETRA" --version 2>/dev/null | sed -n 1p)); $(ffmpeg -version | awk 'NR == 1 { print $1, $3 }')"

# --- clips -------------------------------------------------------------------

x264=(-c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p)
# zoompan_vf W H FPS FRAMES: a slow zoom into the middle of one still, drifting
# right; the still is cropped to the shape and scaled up first so the zoom
# does not step.
zoompan_vf() {
  local sw=$(($1 * 5 / 2)) sh=$(($2 * 5 / 2))
  echo "scale=$sw:$sh:force_original_aspect_ratio=increase,crop=$sw:$sh,zoompan=z='1+0.4*on/$4':x='(iw-iw/zoom)*(0.5+0.3*on/$4)':y='(ih-ih/zoom)/2':d=$4:s=$1x$2:fps=$3,format=yuv420p"
}

make_clip() {  # make_clip NAME: the clip's path on stdout, made when missing
  local name=$1 out
  case $name in
    vp9_webm) out=$DATA/$name.webm ;;
    h264_720p | h264_30fps | phone_rot90 | minute_720p | testsrc_720p) out=$DATA/$name.mp4 ;;
    *) say "unknown clip $name"; exit 2 ;;
  esac
  if [ ! -s "$out" ]; then
    say "making clip $name ..."
    local tmp=$out.part.${out##*.}
    case $name in
      h264_720p)
        ffmpeg -v error -y -i "$PHOTOS/photo1.jpg" -vf "$(zoompan_vf 1280 720 25 250)" -frames:v 250 "${x264[@]}" "$tmp" ;;
      testsrc_720p)
        ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v 250 "${x264[@]}" "$tmp" ;;
      vp9_webm)
        ffmpeg -v error -y -f lavfi -i mandelbrot=size=640x360:rate=25 -frames:v 150 -c:v libvpx-vp9 -crf 32 -b:v 0 \
          -deadline good -cpu-used 4 -row-mt 1 -pix_fmt yuv420p "$tmp" ;;
      h264_30fps)
        ffmpeg -v error -y -i "$PHOTOS/photo2.jpg" -vf "$(zoompan_vf 640 360 30 180)" -frames:v 180 "${x264[@]}" "$tmp" ;;
      phone_rot90)
        # Upright portrait, stored turned a quarter anticlockwise as a phone's
        # sensor sees it. This ffmpeg's rotate tag is the matrix's
        # counter-clockwise angle: -90 is what phones write.
        ffmpeg -v error -y -i "$PHOTOS/photo3.jpg" -vf "$(zoompan_vf 720 1280 25 150),transpose=cclock" -frames:v 150 \
          "${x264[@]}" "$WORK/stored.mp4"
        ffmpeg -v error -y -i "$WORK/stored.mp4" -c copy -metadata:s:v:0 rotate=-90 "$tmp"
        [ "$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$tmp")" = -90 ] ||
          { say "$name: no display matrix of -90 degrees"; exit 1; } ;;
      minute_720p)
        local i inputs=() graph=""
        for i in 1 2 3 4; do
          inputs+=(-i "$PHOTOS/photo$i.jpg")
          graph+="[$((i - 1)):v]$(zoompan_vf 1280 720 25 375)[v$i];"
        done
        ffmpeg -v error -y "${inputs[@]}" -filter_complex "${graph}[v1][v2][v3][v4]concat=n=4[v]" -map "[v]" \
          -frames:v 1500 "${x264[@]}" "$tmp" ;;
    esac
    mv "$tmp" "$out"
  fi
  echo "$out"
}

# --- measuring ---------------------------------------------------------------

# timed LOG CMD...: wall seconds of one run on stdout, or "fail" when CMD
# fails (its messages are kept in LOG).
timed() {
  local log=$1 start end
  shift
  start=$EPOCHREALTIME
  if ! "$@" >"$log" 2>&1; then echo fail; return 0; fi
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
ffmpeg_gif() {  # ffmpeg_gif CLIP OUT: both passes in one process
  ffmpeg -v error -y -i "$1" -filter_complex "[0:v]split[a][b];[a]palettegen[p];[b][p]paletteuse" "$2"
}
zoetra_gif() {  # zoetra_gif CLIP OUT
  "$ZOETRA" create -q -o "$2" "${ZFLAGS[@]}" "$1"
}
median_of() {  # median_of VALUE...: "fail" when any run failed
  case " $* " in *" fail "*) echo fail ;; *) printf '%s\n' "$@" | median ;; esac
}

# psnr GIF FRAME_DIR DELAY_MS FRAMES W H: "mean (worst) decoded-frames"
psnr() {
  local tool=$PSNR_TOOL need avail
  # The first tool keeps every decoded frame as float64.
  need=$(($4 * $5 * $6 * 24))
  avail=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024))
  if [ "$tool" != "$STREAMING_PSNR" ] && [ $need -gt $((avail * 7 / 10)) ]; then
    say "  $(basename "$1"): $((need >> 30)) GiB of frames for $(basename "$tool"); using $(basename "$STREAMING_PSNR")"
    tool=$STREAMING_PSNR
  fi
  "$PY" "$tool" "$1" "$2" "$3" | "$PY" -c '
import json, sys
r = json.loads(sys.stdin.read())
shown = r.get("decoded_frames", r.get("frames_shown"))
print("%.2f (%.2f) %s" % (r["psnr_mean"], r["psnr_worst"], shown))'
}

printf '| clip | ffmpeg s | zoetra s | ratio | zoetra MiB | PSNR ffmpeg | PSNR zoetra | frames |\n'
printf '|---|---:|---:|---:|---:|---:|---:|---:|\n'
for name in $CLIPS; do
  clip=$(make_clip "$name")
  fps=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$clip")
  delay_ms=$(awk -v r="$fps" 'BEGIN { split(r, f, "/"); printf "%d", 1000 * f[2] / f[1] + 0.5 }')

  say "$name: $REPS paired runs ..."
  ff=() zo=()
  for ((i = 0; i < REPS; i++)); do
    ff+=("$(timed "$WORK/ffmpeg.log" ffmpeg_gif "$clip" "$WORK/f.gif")")
    zo+=("$(timed "$WORK/zoetra.log" zoetra_gif "$clip" "$WORK/z.gif")")
  done
  f=$(median_of "${ff[@]}")
  z=$(median_of "${zo[@]}")
  ratio=-
  [ "$f" != fail ] && [ "$z" != fail ] && ratio=$(awk -v f="$f" -v z="$z" 'BEGIN { printf "%.3f", z / f }')
  [ "$f" != fail ] && f=$(printf '%.2f' "$f")
  [ "$z" != fail ] && z=$(printf '%.2f' "$z")

  mib=-
  if [ "$z" != fail ] && /usr/bin/time -f %M -o "$WORK/rss" "$ZOETRA" create -q -o "$WORK/z.gif" "${ZFLAGS[@]}" "$clip" \
    >/dev/null 2>&1; then
    mib=$(awk '{ printf "%.0f", $1 / 1024 }' "$WORK/rss")
  fi

  say "$name: decoding the frames and measuring quality ..."
  rm -rf "$WORK/frames"
  mkdir "$WORK/frames"
  ffmpeg -v error -i "$clip" "$WORK/frames/%05d.png"
  frames=$(find "$WORK/frames" -name '*.png' | wc -l)
  size=$($PY -c 'import sys; from PIL import Image; print(*Image.open(sys.argv[1]).size)' "$WORK/frames/00001.png")
  read -r w h <<<"$size"
  pf=- pz=- shown=""
  if [ "$f" != fail ]; then
    q=$(psnr "$WORK/f.gif" "$WORK/frames" "$delay_ms" "$frames" "$w" "$h")
    read -r mean worst n <<<"$q"
    pf="$mean $worst"
    [ "$n" != "$frames" ] && shown+=", ffmpeg $n"
  fi
  if [ "$z" != fail ]; then
    q=$(psnr "$WORK/z.gif" "$WORK/frames" "$delay_ms" "$frames" "$w" "$h")
    read -r mean worst n <<<"$q"
    pz="$mean $worst"
    [ "$n" != "$frames" ] && shown+=", zoetra $n"
  fi
  rm -rf "$WORK/frames"
  [ -n "$shown" ] && shown=" (shown: ${shown#, })"

  [ "$f" = fail ] && { say "$name: ffmpeg failed:"; tail -n 5 "$WORK/ffmpeg.log" >&2; }
  [ "$z" = fail ] && { say "$name: zoetra failed:"; tail -n 5 "$WORK/zoetra.log" >&2; }
  printf '| %s | %s | %s | %s | %s | %s | %s | %s%s |\n' "$name" "$f" "$z" "$ratio" "$mib" "$pf" "$pz" "$frames" "$shown"
done
