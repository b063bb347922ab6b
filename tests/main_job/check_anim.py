"""The main job's animation (scripts/sample-anim.sh): one frame for each sample
picture of examples/ and nothing else, in their order, each close to its picture.

    check_anim.py ZOETRA SOURCE_DIR WORK_DIR
"""
import pathlib
import subprocess
import sys

import numpy
from PIL import Image, ImageSequence

zoetra, source, work = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
work.mkdir(parents=True, exist_ok=True)
out = work / "anim.gif"
subprocess.run(["bash", str(source / "scripts/sample-anim.sh"), zoetra, str(out)], check=True)

samples = sorted(source.glob("examples/frame*.png"))
pictures = [numpy.asarray(Image.open(p).convert("RGB"), dtype=numpy.float64) for p in samples]
with Image.open(out) as gif:
    frames = [numpy.asarray(f.convert("RGB"), dtype=numpy.float64) for f in ImageSequence.Iterator(gif)]


def psnr(a, b):
    if a.shape != b.shape:
        return 0.0
    mse = numpy.mean((a - b) ** 2)
    return 99.0 if mse == 0 else 10 * numpy.log10(255.0**2 / mse)


failures = []
if len(samples) != 12:
    failures.append(f"examples/ holds {len(samples)} sample pictures frame*.png, not 12")
if len(frames) != len(samples):
    failures.append(f"{out} has {len(frames)} frames for {len(samples)} sample pictures")
for i, frame in enumerate(frames[: len(pictures)]):
    scores = [psnr(frame, p) for p in pictures]
    best = max(range(len(scores)), key=scores.__getitem__)
    if best != i or scores[i] < 30:
        failures.append(f"frame {i + 1} is closest to {samples[best].name} ({scores[best]:.1f} dB), "
                        f"{scores[i]:.1f} dB from {samples[i].name}")
print("\n".join(failures) or f"{len(frames)} frames, each closest to its own sample picture")
sys.exit(1 if failures else 0)
