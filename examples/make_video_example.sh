#!/usr/bin/env bash
# The video example of docs/video.md: ffmpeg makes a clip that zooms into a sample
# photo and pans across it, zoetra turns it into a GIF, and the GIF's frames
# are laid out as one picture.
#   bash examples/make_video_example.sh [SHEET.png] [ZOETRA]
# SHEET defaults to out/video-frames.png (the manual's copy is docs/images/video-frames.png);
# ZOETRA to build/cli/zoetra, which the main job (scripts/run.sh) builds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sheet="${1:-$root/out/video-frames.png}"
zoetra="${2:-$root/build/cli/zoetra}"
if [ ! -x "$zoetra" ]; then
  echo "make_video_example.sh: no zoetra command at $zoetra; build it first (bash scripts/run.sh)" >&2
  exit 1
fi
mkdir -p "$(dirname "$sheet")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# 4 s at 25 fps, 1280 x 720: a slow zoom to 1.5x drifting right.
ffmpeg -v error -y -loop 1 -i "$root/examples/photos/photo2.jpg" \
  -vf "scale=2560:1440,zoompan=z='1+0.5*on/100':x='iw/2-(iw/zoom/2)+on*2':y='ih/2-(ih/zoom/2)':d=100:s=1280x720:fps=25" \
  -frames:v 100 -pix_fmt yuv420p -c:v libx264 -crf 20 "$work/pan.mp4"

"$zoetra" create -q -o "$work/pan.gif" --fps 10 --width 480 --optimize "$work/pan.mp4"
"$zoetra" info "$work/pan.gif" | head -n 4
"$zoetra" frames -o "$work/frames" "$work/pan.gif" >/dev/null

# Frames 1, 11, 21 and 31 (0, 1, 2 and 3 s), side by side, at half size.
/usr/bin/python3 - "$work/frames" "$sheet" <<'PY'
import pathlib, sys
from PIL import Image
frames = sorted(pathlib.Path(sys.argv[1]).glob("frame-*.bmp"))[::10][:4]
pictures = [Image.open(f).convert("RGB") for f in frames]
w, h = pictures[0].size
sheet = Image.new("RGB", (w * len(pictures) + 8 * (len(pictures) - 1), h), "white")
for i, p in enumerate(pictures):
    sheet.paste(p, (i * (w + 8), 0))
sheet = sheet.resize((sheet.width // 2, sheet.height // 2), Image.LANCZOS)
sheet.save(sys.argv[2], optimize=True)
print(sys.argv[2], sheet.size, "from", [f.name for f in frames])
PY
