# Shared by the comparison scripts in bench/: the picture sets, made once into
# $DATA (default build-bench/palette-sets), and the tools of bench/tools.sh:
#   testsrc2, mandelbrot, life   60 frames of 640 x 480 from ffmpeg's sources
#   photoseq     40 frames of 960 x 540 of a hand-held video (cockatoo.mp4 of
#                Debian's python3-imageio)
#   video640     60 frames of 640 x 480 of that video
#   slideshow    five different photos of 800 x 450 (Debian's python3-skimage
#                data), each shown for 5 frames
#   slideshow1080  the same photos at 1920 x 1080
#   hd1080       20 frames of 1920 x 1080 of that video, scaled up
#   pan1080      20 frames of 1920 x 1080 panning over a 4096 x 4096 wallpaper
#                (Debian's gnome-backgrounds)
# Environment: REPS (default 3), DATA, and those of bench/tools.sh.
# Sourced with ROOT set to the repository.

REPS=${REPS:-3}
DATA=${DATA:-$ROOT/build-bench/palette-sets}
DELAY_MS=350
# shellcheck source=bench/tools.sh
source "$ROOT/bench/tools.sh"
apt_need python3-pil python3-numpy python3-skimage gnome-backgrounds
mkdir -p "$DATA"

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
    video640)
      ffmpeg -v error -i "$VIDEO" -vf "select=gte(n\,40),scale=640:480" -vsync 0 -frames:v 60 "$dir/f%03d.png" ;;
    hd1080)
      ffmpeg -v error -i "$VIDEO" -vf "select=gte(n\,100),scale=1920:1080:flags=lanczos" -vsync 0 -frames:v 20 \
        "$dir/f%03d.png" ;;
    slideshow | slideshow1080)
      local i=0 photo k size=800:450
      [ "$name" = slideshow1080 ] && size=1920:1080
      for photo in astronaut.png chelsea.png coffee.png motorcycle_left.png rocket.jpg; do
        for k in 1 2 3 4 5; do
          i=$((i + 1))
          ffmpeg -v error -y -i "$SKIMAGE/$photo" -vf "scale=$size:force_original_aspect_ratio=increase,crop=$size" \
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


# ffmpeg_two_pass DIR OUT [DITHER]: ffmpeg's palettegen, then paletteuse with
# DITHER (default floyd_steinberg; "default" leaves it to paletteuse, whose own
# is sierra2_4a), on DIR/f%03d.png at zoetra's default delay.
ffmpeg_two_pass() {
  local use=paletteuse=dither=${3:-floyd_steinberg}
  [ "${3:-}" = default ] && use=paletteuse
  ffmpeg -v error -y -i "$1/f%03d.png" -vf palettegen "$2.palette.png" &&
    ffmpeg -v error -y -framerate 100/35 -i "$1/f%03d.png" -i "$2.palette.png" \
      -lavfi "$use" "$2"
}
