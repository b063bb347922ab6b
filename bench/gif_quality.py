#!/usr/bin/python3
"""Picture quality of an animated GIF against the pictures it was made from.

usage: gif_quality.py ANIM.gif PICTURE_DIR [DELAY_MS]

Frames are decoded as a viewer composes them (Pillow applies disposal and
local colour tables). A frame shown for k times DELAY_MS stands for k source
pictures, so tools that merge repeated frames are compared fairly. Prints one
JSON line: frame counts, PSNR of the mean squared error over all frames and
channels ("psnr_mean"; 99.0 when identical), the worst frame's PSNR, and the
file size. A frame whose size differs from its picture counts as 0 dB.
"""
import json
import math
import os
import sys

import numpy as np
from PIL import Image, ImageSequence


def psnr(mse):
    if mse == 0:
        return 99.0
    if math.isinf(mse):
        return 0.0
    return 10 * math.log10(255 ** 2 / mse)


def main():
    gif, source = sys.argv[1], sys.argv[2]
    delay = int(sys.argv[3]) if len(sys.argv) > 3 else 350
    names = sorted(n for n in os.listdir(source) if n.lower().endswith((".png", ".bmp", ".jpg")))
    # One decoded frame at a time: a long clip's frames would not fit in memory.
    shown = 0
    errors = []
    for frame in ImageSequence.Iterator(Image.open(gif)):
        picture = np.asarray(frame.convert("RGB"), dtype=np.float64)
        duration = frame.info.get("duration", delay) or delay
        for _ in range(max(1, round(duration / delay))):
            if shown < len(names):
                want = np.asarray(Image.open(os.path.join(source, names[shown])).convert("RGB"), dtype=np.float64)
                errors.append(float(np.mean((want - picture) ** 2)) if want.shape == picture.shape else math.inf)
            shown += 1
    print(json.dumps({"pictures": len(names), "frames_shown": shown,
                      "psnr_mean": round(psnr(sum(errors) / max(1, len(errors))), 2),
                      "psnr_worst": round(psnr(max(errors)), 2) if errors else None,
                      "bytes": os.path.getsize(gif)}))


main()
