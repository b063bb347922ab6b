#!/usr/bin/env bash
# Picture quality, file size and time of zoetra's palette modes against
# ffmpeg's two-pass palettegen/paletteuse (Floyd-Steinberg) and gifski, on
# the same pictures.
#
#   bench/palette_modes.sh                    # every set, 3 timed runs each
#   SETS="mandelbrot slideshow" REPS=5 bench/palette_modes.sh
#
# Sets (made once into $DATA, default build-bench/palette-sets):
#   testsrc2, mandelbrot, life   60 frames of 640 x 480 from ffmpeg's sources
#   photoseq     40 frames of 960 x 540 of a hand-held video (cockatoo.mp4 of
#                Debian's python3-imageio)
#   slideshow    five different photos of 800 x 450 (Debian's python3-skimage
#                data), each shown for 5 frames
#   hd1080       20 frames of 1920 x 1080 of that video, scaled up
#   pan1080      20 frames of 1920 x 1080 panning over a 4096 x 4096 wallpaper
#                (Debian's gnome-backgrounds)
# Quality is measured by bench/gif_quality.py (PSNR of the frames as a viewer
# composes them against the pictures). Time is the whole process (median wall
# and CPU seconds); ffmpeg's is both passes together.
#
# Environment: SETS, REPS (default 3), ZOETRA (a binary; otherwise a Release
# build in $BUILD_DIR, default build-release), DATA, GIFSKI (a gifski binary;
# otherwise the npm package gifski is installed into $DATA/npm).
# Missing Debian packages are installed with apt-get.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=${REPS:-3}
SETS=${SETS:-testsrc2 mandelbrot life photoseq slideshow hd1080 pan1080}
DATA=${DATA:-$ROOT/build-bench/palette-sets}
BUILD_DIR=${BUILD_DIR:-$ROOT/build-release}
DELAY_MS=350
say() { printf '%s\n' "$*" >&2; }

# --- tools -------------------------------------------------------------------

need=()
command -v ffmpeg >/dev/null || need+=(ffmpeg)
command -v npm >/dev/null || need+=(npm)
[ -x /usr/bin/time ] || need+=(time)
for p in python3-pil python3-numpy python3-skimage gnome-backgrounds; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  say "installing ${need[*]} ..."
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
PY=/usr/bin/python3
mkdir -p "$DATA"
if [ -z "${GIFSKI:-}" ]; then
  GIFSKI=$DATA/npm/node_modules/gifski/bin/debian/gifski
  if [ ! -x "$GIFSKI" ]; then
    say "installing gifski (npm) ..."
    mkdir -p "$DATA/npm"
    (cd "$DATA/npm" && npm install --silent gifski >/dev/null)
  fi
fi
if [ -z "${ZOETRA:-}" ]; then
  say "building zoetra (Release) ..."
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZOETRA_BUILD_TESTS=OFF -DZOETRA_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD_DIR" --target zoetra_cli -j "$(nproc)" >/dev/null
  ZOETRA=$BUILD_DIR/cli/zoetra
fi

# --- sets --------------------------------------------------------------------

VIDEO=$($PY -c 'import imageio, os; print(os.path.join(os.path.dirname(imageio.__file__), "resources/images/cockatoo.mp4"))')
SKIMAGE=$($PY -c 'import skimage, os; print(os.path.join(os.path.dirname(skimage.__file__), "data"))')
WALLPAPER=/usr/share/backgrounds/gnome/wood-l.webp

make_set() {
  local name=$1 dir=$DATA/$1
  [ -f "$dir/.done" ] && return 0
  rm -rf "$dir"
  mkdir -p "$dir"
  say "making set $name ..."
  case $name in
    testsrc2 | mandelbrot)
      ffmpeg -v error -f lavfi -i "$name=size=640x480:rate=25" -frames:v 60 "$dir/f%03d.png" ;;
    life)
      ffmpeg -v error -f lavfi -i "life=size=640x480:rate=25:mold=10:ratio=0.1:death_color=#C83232:life_color=#00ff00" \
        -frames:v 60 "$dir/f%03d.png" ;;
    photoseq)
      ffmpeg -v error -i "$VIDEO" -vf "select=gte(n\,40),scale=960:540" -vsync 0 -frames:v 40 "$dir/f%03d.png" ;;
    hd1080)
      ffmpeg -v error -i "$VIDEO" -vf "select=gte(n\,100),scale=1920:1080:flags=lanczos" -vsync 0 -frames:v 20 \
        "$dir/f%03d.png" ;;
    slideshow)
      local i=0 photo k
      for photo in astronaut.png chelsea.png coffee.png motorcycle_left.png rocket.jpg; do
        for k in 1 2 3 4 5; do
          i=$((i + 1))
          ffmpeg -v error -y -i "$SKIMAGE/$photo" -vf "scale=800:450:force_original_aspect_ratio=increase,crop=800:450" \
            "$dir/f$(printf %03d $i).png"
        done
      done ;;
    pan1080)
      $PY - "$WALLPAPER" "$dir" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
for i in range(20):
    x, y = 600 + i * 48, 900 + i * 30
    im.crop((x, y, x + 1920, y + 1080)).save(f"{sys.argv[2]}/f{i + 1:03d}.png")
PY
      ;;
    *) say "unknown set $name"; exit 2 ;;
  esac
  touch "$dir/.done"
}

# --- measuring ---------------------------------------------------------------

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# timed_runs CMD...: runs CMD REPS times and sets WALL to the median seconds.
timed_runs() {
  local walls=() start end i
  for ((i = 0; i < REPS; i++)); do
    start=$EPOCHREALTIME
    "$@"
    end=$EPOCHREALTIME
    walls+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')")
  done
  WALL=$(printf '%s\n' "${walls[@]}" | median)
}

run_tool() {
  local tool=$1 set=$2 dir=$DATA/$2 out=$3
  case $tool in
    first | all | frame)
      "$ZOETRA" create -q -o "$out" --delay $DELAY_MS --palette "$tool" "$dir"/f*.png ;;
    ffmpeg)
      ffmpeg -v error -y -i "$dir/f%03d.png" -vf palettegen "$out.palette.png" &&
        ffmpeg -v error -y -framerate 100/35 -i "$dir/f%03d.png" -i "$out.palette.png" \
          -lavfi paletteuse=dither=floyd_steinberg "$out" ;;
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
