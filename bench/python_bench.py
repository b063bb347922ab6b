#!/usr/bin/python3
"""Frames in memory to an animated GIF from Python: zoetra with numpy arrays,
zoetra with PNG files (what a user had to do before: write the frames, then
convert), Pillow's save_all and imageio, on the same frames.

    PYTHONPATH=build-release/python bench/python_bench.py [--frames DIR] [--reps N]

Each way runs in a fresh interpreter that first loads the frames as arrays;
the figures are the median wall time of the conversion (PNG writing counted
for the PNG way) and the peak resident memory it added over the loaded frames.
Without --frames, 60 synthetic 640 x 480 frames are drawn.
"""

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r'''
import io, json, os, resource, sys, time, glob
import numpy as np
how, frames_dir, work = sys.argv[1:4]

def load():
    if frames_dir:
        from PIL import Image
        return [np.asarray(Image.open(p).convert("RGB")) for p in sorted(glob.glob(os.path.join(frames_dir, "*.png")))][:60]
    y, x = np.mgrid[0:480, 0:640]
    frames = []
    for k in range(60):
        r = (x + 4 * k) & 0xFF
        g = (y * 2 + 3 * k) & 0xFF
        b = ((x - 320) ** 2 + (y - 240) ** 2 < (60 + 2 * k) ** 2) * 200 + (x ^ y) % 56
        frames.append(np.stack([r, g, b], axis=2).astype(np.uint8))
    return frames

frames = load()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if how == "zoetra-arrays":
    import zoetra
    data = zoetra.create(frames, delay_ms=100, palette="first")
elif how == "zoetra-png-files":
    import zoetra
    from PIL import Image
    paths = []
    for i, f in enumerate(frames):
        p = os.path.join(work, "f%03d.png" % i)
        Image.fromarray(f).save(p)
        paths.append(p)
    data = zoetra.create(paths, delay_ms=100, palette="first")
elif how == "pillow-save_all":
    from PIL import Image
    images = [Image.fromarray(f) for f in frames]
    out = io.BytesIO()
    images[0].save(out, format="GIF", save_all=True, append_images=images[1:], duration=100, loop=0)
    data = out.getvalue()
elif how == "imageio-mimsave":
    import imageio
    out = io.BytesIO()
    imageio.mimsave(out, frames, format="GIF", duration=0.1)
    data = out.getvalue()
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "added_mib": (peak - base) / 1024, "bytes": len(data), "frames": len(frames)}))
'''

WAYS = ["zoetra-arrays", "zoetra-png-files", "pillow-save_all", "imageio-mimsave"]


def available(way):
    module = {"pillow-save_all": "PIL", "imageio-mimsave": "imageio"}.get(way, "zoetra")
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", default="", help="a folder of PNG frames (the first 60 are used)")
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print("| way | s (median) | peak MiB added | KiB | vs zoetra-arrays |")
    print("|---|---:|---:|---:|---:|")
    first = None
    for way in WAYS:
        if not available(way):
            print(f"| {way} | not installed | | | |")
            continue
        runs = []
        for _ in range(args.reps):
            with tempfile.TemporaryDirectory() as work:
                r = subprocess.run([sys.executable, "-c", CHILD, way, args.frames, work],
                                   capture_output=True, text=True, check=True)
                runs.append(json.loads(r.stdout))
        seconds = statistics.median(r["seconds"] for r in runs)
        added = statistics.median(r["added_mib"] for r in runs)
        first = first or seconds
        print(f"| {way} | {seconds:.3f} | {added:.0f} | {runs[0]['bytes'] / 1024:.0f} | {seconds / first:.1f}x |")
    print(f"\n{os.cpu_count()} CPUs; {runs[0]['frames']} frames; median of {args.reps} runs, each in a fresh interpreter.")


if __name__ == "__main__":
    main()
