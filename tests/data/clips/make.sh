#!/usr/bin/env bash
# Regenerates the small video and animation clips of this directory and the
# clip_source fuzz seeds. The clips are committed; run this only to change
# them (their facts are in README.md, check them again after a change).
# Needs Debian's ffmpeg and python3-pil (with WebP support).
#   tests/data/clips/make.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
seeds="$root/fuzz/corpus/clip_source"
PY=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$here"

# Same bytes on every run: no encoder version or date in the containers, no
# metadata carried over, one thread per encoder.
ff() { ffmpeg -v error -nostdin -y "$@"; }
bx=(-fflags +bitexact -flags:v +bitexact -map_metadata -1)
x264=(-c:v libx264 -threads 1 -pix_fmt yuv420p)
src() { echo "testsrc2=size=$1:rate=$2"; }

# --- moving pictures, one per codec and container ----------------------------
ff -f lavfi -i "$(src 64x48 25)" -frames:v 50 "${x264[@]}" -crf 28 "${bx[@]}" h264_25.mp4
ff -f lavfi -i "$(src 64x48 30)" -frames:v 90 "${x264[@]}" -crf 28 "${bx[@]}" h264_30.mp4
ff -f lavfi -i "$(src 64x48 25)" -frames:v 25 -c:v libvpx-vp9 -threads 1 -crf 40 -b:v 0 \
  -pix_fmt yuv420p "${bx[@]}" vp9.webm
ff -f lavfi -i "$(src 64x48 25)" -frames:v 25 -c:v libvpx -threads 1 -crf 30 -b:v 200k \
  -pix_fmt yuv420p "${bx[@]}" vp8.webm
ff -f lavfi -i "$(src 64x48 25)" -frames:v 25 -c:v libx265 -tag:v hvc1 -crf 30 -pix_fmt yuv420p \
  -x265-params log-level=error:pools=1:frame-threads=1 "${bx[@]}" h265.mp4
ff -f lavfi -i "$(src 64x48 25)" -frames:v 25 -c:v libaom-av1 -threads 1 -cpu-used 8 -crf 40 \
  -pix_fmt yuv420p "${bx[@]}" av1.mkv
# JPEG frames are large: 10 of them are enough to show the container works.
ff -f lavfi -i "$(src 64x48 25)" -frames:v 10 -c:v mjpeg -q:v 10 -pix_fmt yuvj420p "${bx[@]}" mjpeg.avi

# A damaged file: the header comes first (faststart), so cutting the tail
# keeps the index and loses the frames it points at.
ff -f lavfi -i "$(src 640x360 25)" -frames:v 75 "${x264[@]}" -crf 36 -movflags +faststart "${bx[@]}" \
  "$tmp/whole.mp4"
size=$(stat -c %s "$tmp/whole.mp4")
head -c $((size * 60 / 100)) "$tmp/whole.mp4" >truncated.mp4

# --- pictures of known colours, and the animations ----------------------------
"$PY" - "$tmp" <<'PY'
import random, sys
from PIL import Image

tmp = sys.argv[1]

# Flat 16 x 16 patches: whole 4:2:0 chroma blocks, so each centre decodes
# exactly. Saturated colours move most under the wrong matrix, greys away from
# the middle under the wrong range.
patches = Image.new("RGB", (48, 32))
for (x, y), c in {(0, 0): (255, 0, 0), (16, 0): (0, 255, 0), (32, 0): (0, 0, 255),
                  (0, 16): (128, 128, 128), (16, 16): (40, 40, 40), (32, 16): (220, 220, 220)}.items():
    patches.paste(c, (x, y, x + 16, y + 16))
patches.save(f"{tmp}/patches.png")

# Quadrants tell which way a picture was turned.
quads = Image.new("RGB", (64, 48))
for (x, y), c in {(0, 0): (255, 0, 0), (32, 0): (0, 255, 0), (0, 24): (0, 0, 255),
                  (32, 24): (255, 255, 255)}.items():
    quads.paste(c, (x, y, x + 32, y + 24))
quads.save(f"{tmp}/quadrants.png")

# GIF: frame 1 is four quadrants; each later frame is a smaller rectangle in
# which index 0 is transparent, so only composing over what came before gives
# the right picture. Every frame keeps what it drew (disposal 1).
pal = [255, 0, 255,  0, 0, 0,  255, 255, 255,  255, 0, 0,  0, 255, 0,  0, 0, 255,
       255, 255, 0,  0, 255, 255,  128, 128, 128]
T, BLACK, WHITE, RED, GREEN, BLUE, YELLOW, CYAN, GREY = range(9)
def frame(pixels):
    im = Image.new("P", (32, 24))
    im.putpalette(pal + [0] * (768 - len(pal)))
    im.putdata(pixels)
    im.info["transparency"] = T
    return im
first = [[RED if x < 16 else GREEN for x in range(32)] if y < 12 else
         [BLUE if x < 16 else GREY for x in range(32)] for y in range(24)]
rects = [  # (x0, y0, x1, y1) inclusive, and the colour of pixel (x, y) inside
    ((4, 2, 11, 9), lambda x, y: WHITE if (x + y) % 2 == 0 else T),
    ((20, 14, 27, 21), lambda x, y: YELLOW if x >= 24 else T),
    ((12, 8, 19, 15), lambda x, y: T if 14 <= x <= 17 and 10 <= y <= 13 else CYAN),
    ((0, 20, 31, 23), lambda x, y: BLACK if x % 2 == 0 else T),
]
raw = [row[:] for row in first]
frames = [frame(sum(raw, []))]
for (x0, y0, x1, y1), colour in rects:
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            raw[y][x] = colour(x, y)
    frames.append(frame(sum(raw, [])))
frames[0].save("anim.gif", save_all=True, append_images=frames[1:], duration=[100, 200, 300, 50, 500],
               disposal=1, loop=0, optimize=False, transparency=T)
# The writer picks each frame's rectangle itself: hold it to the ones above.
check = Image.open("anim.gif")
got = []
for i in range(check.n_frames):
    check.seek(i)
    got.append((check.dispose_extent, check.info["duration"]))
want = [((0, 0, 32, 24), 100)] + [((x0, y0, x1 + 1, y1 + 1), ms)
                                   for ((x0, y0, x1, y1), _), ms in zip(rects, [200, 300, 50, 500])]
assert got == want, f"anim.gif has frames {got}, not {want}"

# APNG and WebP: a gradient, then a red and a blue square added.
base = Image.new("RGB", (32, 24))
base.putdata([(x * 8, y * 10, 128) for y in range(24) for x in range(32)])
second = base.copy()
second.paste((255, 0, 0), (4, 4, 12, 12))
third = second.copy()
third.paste((0, 0, 255), (18, 10, 28, 20))
anim = [base, second, third]
anim[0].save("anim.png", save_all=True, append_images=anim[1:], duration=[100, 200, 300], loop=0)
anim[0].save("anim.webp", save_all=True, append_images=anim[1:], duration=[100, 200, 300], loop=0,
             lossless=True, method=6)

# Not a video at all.
random.seed(1)
with open("random.mp4", "wb") as f:
    f.write(random.randbytes(4096))
PY

# Colour matrix and range: the RGB to YUV conversion is told the matrix and
# range the stream is tagged with, so a decoder honouring the tags gets the
# patches back. Lossless (qp 0), 5 frames.
still() { ff -loop 1 -framerate 25 -i "$tmp/$1" -frames:v "$2" "${x264[@]}" -qp 0 "${@:3}"; }
still patches.png 5 -vf scale=out_color_matrix=bt709:out_range=tv:flags=neighbor+accurate_rnd,format=yuv420p -colorspace bt709 -color_primaries bt709 \
  -color_trc bt709 -color_range tv "${bx[@]}" bt709_limited.mp4
still patches.png 5 -vf scale=out_color_matrix=bt601:out_range=pc:flags=neighbor+accurate_rnd,format=yuv420p -colorspace bt470bg -color_primaries bt470bg \
  -color_trc smpte170m -color_range pc "${bx[@]}" bt601_full.mp4

# Stored landscape, shown portrait: a phone's display matrix turning it 90
# degrees clockwise.
# This ffmpeg's rotate tag is the matrix's counter-clockwise angle, so -90;
# the check below holds it to what phones write.
ff -loop 1 -framerate 25 -i "$tmp/quadrants.png" -frames:v 25 "${x264[@]}" -crf 18 "${bx[@]}" "$tmp/stored.mp4"
ff -i "$tmp/stored.mp4" -c copy -metadata:s:v:0 rotate=-90 "${bx[@]}" rotated90.mp4
ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 rotated90.mp4 |
  grep -qx -- -90 || { echo "rotated90.mp4: no display matrix of -90 degrees" >&2; exit 1; }

# Display matrices a GIF cannot follow: a turn of 45 degrees, and a mirror
# (x negated). The 90 degree clip with the matrix of its track header replaced.
"$PY" - <<'PY'
import math, struct
c = round(math.cos(math.pi / 4) * 65536)
for name, matrix in (("rotated45.mp4", [c, c, 0, -c, c, 0, 0, 0, 1 << 30]),
                     ("mirrored.mp4", [-65536, 0, 0, 0, 65536, 0, 0, 0, 1 << 30])):
    data = bytearray(open("rotated90.mp4", "rb").read())
    at = data.index(b"tkhd")
    assert data[at + 4] == 0, "tkhd of version 0 expected"
    data[at + 44:at + 80] = struct.pack(">9i", *matrix)
    open(name, "wb").write(bytes(data))
PY
ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 rotated45.mp4 |
  grep -qx -- -45 || { echo "rotated45.mp4: no display matrix of -45 degrees" >&2; exit 1; }

# --- frames that tell their number --------------------------------------------
# 32x8, eight 4x8 patches: patch i (from the left) white when bit i of the
# frame number is set, else black.
counter() { echo "nullsrc=s=32x8:r=$1,format=gray,geq=lum='if(bitand(N\,pow(2\,floor(X/4)))\,255\,0)'"; }
# 30 fps for 6 s in ticks of 1/600, as phones write them.
ff -f lavfi -i "$(counter 30)" -frames:v 180 "${x264[@]}" -qp 20 -video_track_timescale 600 "${bx[@]}" counter30.mp4
# MPEG-TS at 10 fps for 3 s: its times begin at 1.4 s, as the muxer writes them.
ff -f lavfi -i "$(counter 10)" -frames:v 30 "${x264[@]}" -qp 20 -bf 0 -g 10 -sc_threshold 0 -pat_period 10 -sdt_period 10 "${bx[@]}" \
  counter10.ts
# The same with B-frames and one key frame only, as an encoder's defaults make
# a short clip: a seek by time can land past that key frame.
ff -f lavfi -i "$(counter 10)" -frames:v 30 "${x264[@]}" -qp 20 -g 250 -pat_period 10 -sdt_period 10 "${bx[@]}" \
  counter10_onekey.ts
for f in counter10.ts counter10_onekey.ts; do
  ffprobe -v error -select_streams v:0 -show_entries stream=start_time -of csv=p=0 $f | grep . | uniq |
    grep -qx '1\.[46]00000' || { echo "$f: times do not begin at 1.4 s (1.6 s with B-frames)" >&2; exit 1; }
done

# --- tiny frames of odd sizes ---------------------------------------------------
# libswscale writes whole vectors, past the end of rows this narrow. Three
# frames each: flat (200, 50, 20) in ffv1 and H.264 (4:4:4 where a side is
# odd), and in lossless ffv1 RGB (bgr0) a pattern whose every pixel is known:
# (x, y) of frame n is (8x, 8y, 40 + 60n).
tiny_sizes=(2x2 3x5 7x7 8x8 30x30)
for size in "${tiny_sizes[@]}"; do
  w=${size%x*} h=${size#*x}
  flat="color=c=0xC83214:size=$size:rate=25,format=yuv444p"
  ff -f lavfi -i "$flat" -frames:v 3 -c:v ffv1 -pix_fmt yuv420p "${bx[@]}" "tiny_$size.mkv"
  fmt=yuv420p
  [ $((w % 2)) -eq 1 ] || [ $((h % 2)) -eq 1 ] && fmt=yuv444p
  ff -f lavfi -i "$flat" -frames:v 3 -c:v libx264 -threads 1 -pix_fmt $fmt -qp 0 "${bx[@]}" "tiny_$size.mp4"
done
for size in 3x5 30x30; do
  ff -f lavfi -i "nullsrc=s=$size:r=25,format=gbrp,geq=r='8*X':g='8*Y':b='40+60*N'" -frames:v 3 -c:v ffv1 \
    -pix_fmt bgr0 "${bx[@]}" "pattern_$size.mkv"
done

# --- fuzz seeds: the smallest clips, at most 16 KiB each ----------------------
rm -rf "$seeds"
mkdir -p "$seeds"
# The target's first byte chooses: 0 a whole file (the clip follows), 1 the
# timing arithmetic alone (its bytes follow).
for f in h264_25.mp4 vp9.webm av1.mkv rotated90.mp4 anim.gif truncated.mp4 rotated45.mp4 counter10.ts \
  tiny_2x2.mkv tiny_3x5.mkv tiny_7x7.mp4 tiny_30x30.mp4 pattern_3x5.mkv; do
  { printf '\000'; head -c 16384 "$f"; } >"$seeds/$f"
done
# 25 fps in 1/12800 (frames 512 ticks apart), resampled to 10.5 fps, from 0.5 s for 2 s.
printf '\001\377\061\023\010\020\000' >"$seeds/timing_25fps"
for _ in $(seq 1 60); do printf '\000\002'; done >>"$seeds/timing_25fps"
# Frames going backwards and jumping far ahead, kept at their own times.
printf '\001\143\000\000\000\000\000\004\000\374\377\000\200\377\177\001\000' >"$seeds/timing_jumps"
