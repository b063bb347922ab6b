#!/usr/bin/env bash
# Regenerates the seed corpus in fuzz/corpus/<target>/: our own writers and
# hand-built bytes (fuzz/make_corpus.cpp), plus PNG, JPEG, bitmap and GIF files
# written by Pillow when a Python with Pillow is found. The seeds are committed;
# run this only to change them.
#   fuzz/make_corpus.sh [fuzz-build-dir]   (default build-fuzz)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-fuzz}"
corpus="$root/fuzz/corpus"

bash "$root/scripts/fuzz.sh" build "$build"
rm -rf "$corpus"
mkdir -p "$corpus"
"$build/fuzz/zoetra_corpus_gen" "$corpus"

python=""
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c "import PIL" >/dev/null 2>&1; then python="$candidate"; break; fi
done
if [ -z "$python" ]; then
  echo "no Python with Pillow: PNG and JPEG seeds skipped" >&2
  exit 0
fi
"$python" - "$corpus" <<'PY'
import io, os, sys
from PIL import Image

corpus = sys.argv[1]
def save(target, name, img, fmt, **kw):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    img.save(os.path.join(corpus, target, name), fmt, **kw)

def gradient(mode, w, h):
    img = Image.new("RGBA", (w, h))
    img.putdata([((x * 37) % 256, (y * 53) % 256, (x * y * 11) % 256, (x * 29 + y) % 256)
                 for y in range(h) for x in range(w)])
    return img.convert(mode) if mode != "RGBA" else img

for mode, name in [("RGB", "rgb"), ("RGBA", "rgba"), ("L", "grey"), ("LA", "grey_alpha"), ("P", "palette"), ("1", "bilevel")]:
    save("picture_loader", name + ".png", gradient(mode, 13, 7), "PNG")
save("picture_loader", "interlaced.png", gradient("RGB", 9, 9), "PNG", interlace=1)
img16 = Image.new("I;16", (5, 4))
img16.putdata([i * 3000 for i in range(20)])
save("picture_loader", "grey16.png", img16, "PNG")
save("picture_loader", "baseline.jpg", gradient("RGB", 24, 16), "JPEG", quality=80)
save("picture_loader", "progressive.jpg", gradient("RGB", 17, 9), "JPEG", progressive=True)
save("picture_loader", "grey.jpg", gradient("L", 16, 16), "JPEG")
save("picture_loader", "cmyk.jpg", gradient("RGB", 8, 8).convert("CMYK"), "JPEG")
save("picture_loader", "pillow_p.bmp", gradient("P", 11, 5), "BMP")
save("bmp_reader", "pillow_rgb.bmp", gradient("RGB", 11, 5), "BMP")
save("bmp_reader", "pillow_rgba.bmp", gradient("RGBA", 6, 3), "BMP")
save("bmp_reader", "pillow_grey.bmp", gradient("L", 9, 2), "BMP")
frames = [gradient("P", 10, 6), gradient("P", 10, 6).rotate(180)]
save("gif_reader", "pillow_anim.gif", frames[0], "GIF", save_all=True, append_images=frames[1:], loop=0,
     duration=[40, 70], transparency=0, disposal=2)
save("gif_reader", "pillow_interlaced.gif", gradient("P", 12, 12), "GIF", interlace=True)
save("picture_loader", "pillow_anim.gif", frames[0], "GIF", save_all=True, append_images=frames[1:])
for n in (3, 6, 8):
    exif = Image.Exif()
    exif[0x0112] = n
    save("exif_orientation", "orientation_%d.jpg" % n, gradient("RGB", 8, 8), "JPEG", exif=exif)
save("exif_orientation", "no_exif.jpg", gradient("RGB", 8, 8), "JPEG")

# Animated pictures of odd sizes, and bombs: headers that claim a canvas far
# beyond their bytes. clip_source takes a file after a first byte of 0.
import struct, zlib
def raw(target, name, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    with open(os.path.join(corpus, target, name), "wb") as f:
        f.write(data)
def encoded(img, fmt, **kw):
    out = io.BytesIO()
    img.save(out, fmt, **kw)
    return bytearray(out.getvalue())
def anim(w, h, fmt, **kw):
    frames = [gradient("RGBA", w, h), gradient("RGBA", w, h).rotate(180)]
    return encoded(frames[0], fmt, save_all=True, append_images=frames[1:], duration=[30, 50], loop=0, **kw)
def webp_canvas(data, w, h):
    at = data.find(b"VP8X") + 12
    data[at:at + 6] = struct.pack("<I", w - 1)[:3] + struct.pack("<I", h - 1)[:3]
    return data
def png_canvas(data, w, h):
    data[16:24] = struct.pack(">II", w, h)
    data[29:33] = struct.pack(">I", zlib.crc32(bytes(data[12:29])))
    return data
def gif_screen(w, h, frames):
    b = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80, 0, 0) + bytes([0, 0, 0, 255, 255, 255])
    b += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"
    for i in range(frames):
        b += b"\x21\xf9\x04\x04\x0a\x00\x00\x00\x2c" + struct.pack("<HHHHB", i % w, 0, 1, 1, 0) + b"\x02\x02\x4c\x01\x00"
    return b + b"\x3b"
raw("clip_source", "anim_3x5.webp", b"\0" + anim(3, 5, "WEBP", lossless=True))
raw("clip_source", "anim_7x2_lossy.webp", b"\0" + anim(7, 2, "WEBP"))
raw("clip_source", "anim_5x3.png", b"\0" + anim(5, 3, "PNG"))
raw("clip_source", "bomb_canvas_11585.webp", b"\0" + webp_canvas(anim(4, 4, "WEBP", lossless=True), 11585, 11585))
raw("clip_source", "bomb_canvas_8192.png", b"\0" + png_canvas(anim(4, 4, "PNG"), 8192, 8192))
raw("clip_source", "bomb_screen_16384x8192.gif", b"\0" + gif_screen(16384, 8192, 2))
raw("clip_source", "many_frames.gif", b"\0" + gif_screen(7, 3, 300))
raw("gif_reader", "bomb_screen_16384x8192.gif", gif_screen(16384, 8192, 2))
raw("gif_reader", "many_frames.gif", gif_screen(7, 3, 300))
PY
du -sh "$corpus"
