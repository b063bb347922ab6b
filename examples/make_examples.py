#!/usr/bin/python3
"""Draws the sample pictures in examples/: a ball bouncing over a sunset, 12 frames.

The pictures are the project's own; run this script to redraw them.
"""
import math
import os

from PIL import Image, ImageDraw

W, H, FRAMES = 200, 150, 12
here = os.path.dirname(os.path.abspath(__file__))

for i in range(FRAMES):
    img = Image.new("RGB", (W, H))
    px = img.load()
    for y in range(H):
        t = y / (H - 1)
        sky = (int(40 + 200 * t), int(60 + 90 * t * t), int(160 - 110 * t))
        for x in range(W):
            px[x, y] = sky
    d = ImageDraw.Draw(img)
    d.rectangle([0, H - 30, W, H], fill=(40, 110, 50))
    phase = i / FRAMES
    cx = 20 + (W - 40) * phase
    cy = H - 45 - abs(math.sin(phase * 2 * math.pi)) * 70
    d.ellipse([cx - 14, cy - 14, cx + 14, cy + 14], fill=(230, 60, 40), outline=(120, 20, 10))
    d.ellipse([cx - 7, cy - 9, cx - 1, cy - 3], fill=(255, 200, 190))
    img.save(os.path.join(here, f"frame{i + 1:02d}.png"), optimize=True)
