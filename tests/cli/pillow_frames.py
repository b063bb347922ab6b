"""Composes every frame of a GIF with Pillow and dumps them for the command tests.

usage: pillow_frames.py GIF OUT
OUT gets width, height and frame count (4 bytes each, little-endian), then
each frame as RGBA bytes, rows top-down, at the size of the logical screen.
"""
import struct
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    frames = []
    for n in range(getattr(im, "n_frames", 1)):
        im.seek(n)
        frames.append(im.convert("RGBA").tobytes())
    w, h = im.size
with open(sys.argv[2], "wb") as out:
    out.write(struct.pack("<III", w, h, len(frames)))
    for f in frames:
        out.write(f)
