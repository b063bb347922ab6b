"""Reads a bitmap file with Pillow: prints width and height, then one line per
row (top-down) of hexadecimal RRGGBB values separated by spaces."""
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    rgb = im.convert("RGB")
    w, h = rgb.size
    print(w, h)
    for y in range(h):
        print(" ".join("%02x%02x%02x" % rgb.getpixel((x, y)) for x in range(w)))
