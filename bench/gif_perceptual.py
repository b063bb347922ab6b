#!/usr/bin/python3
"""Perceptual quality of an animated GIF against the pictures it was made from.

usage: gif_perceptual.py ANIM.gif PICTURE_DIR [DELAY_MS] [SAMPLES]

The frames are those bench/gif_quality.py compares: composed as a viewer shows
them (Pillow applies disposal and local colour tables), a frame shown for k
times DELAY_MS (default 350) standing for k pictures. SAMPLES of the pictures
(default 8), spread evenly from the first to the last, are scored against the
frame shown in their place by two programs of Debian's libjxl-devtools, lower
being better for both:

  ssimulacra_main PICTURE FRAME   below about 0.01 is hard to tell apart
  butteraugli_main PICTURE FRAME  its "3-norm" line; about 1 is just noticeable

Prints one JSON line: the pictures scored, the mean and the worst of each
measure, and the file size. Fails, naming the picture, when a frame is missing
or has another size than its picture: a score of a different picture would
mislead.
"""
import json
import os
import subprocess
import sys
import tempfile

from PIL import Image, ImageSequence

SSIMULACRA = "ssimulacra_main"
BUTTERAUGLI = "butteraugli_main"


def picks(count, samples):
    """Indices of `samples` pictures spread evenly over `count`, first and last included."""
    if samples >= count:
        return list(range(count))
    if samples <= 1:
        return [0][:samples]
    # Steps of at least one picture, so no two samples round to the same one.
    return [round(i * (count - 1) / (samples - 1)) for i in range(samples)]


def number_from(tool, text):
    """The figure a tool prints: butteraugli's 3-norm line, ssimulacra's last line."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if tool == BUTTERAUGLI:
        for line in lines:
            if line.startswith("3-norm"):
                return float(line.split(":", 1)[1])
        raise ValueError(f"{tool} printed no 3-norm line: {text!r}")
    if not lines:
        raise ValueError(f"{tool} printed nothing")
    return float(lines[-1].split()[-1])


def score(picture, frame):
    """Both measures of one frame; the two programs run side by side."""
    runs = {tool: subprocess.Popen([tool, picture, frame], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
            for tool in (SSIMULACRA, BUTTERAUGLI)}
    figures = {}
    for tool, run in runs.items():
        out, err = run.communicate()
        if run.returncode != 0:
            raise RuntimeError(f"{tool} {picture} {frame} failed ({run.returncode}): {err.strip()}")
        figures[tool] = number_from(tool, out)
    return figures


def shown_frames(gif, delay):
    """(index of the picture a composed frame stands for, frame), one frame decoded at a time."""
    shown = 0
    with Image.open(gif) as anim:
        for frame in ImageSequence.Iterator(anim):
            duration = frame.info.get("duration", delay) or delay
            repeat = max(1, round(duration / delay))
            rgb = frame.convert("RGB")
            for k in range(repeat):
                yield shown + k, rgb
            shown += repeat


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().splitlines()[2])
    gif, source = sys.argv[1], sys.argv[2]
    delay = int(sys.argv[3]) if len(sys.argv) > 3 else 350
    samples = int(sys.argv[4]) if len(sys.argv) > 4 else 8
    names = sorted(n for n in os.listdir(source) if n.lower().endswith((".png", ".bmp", ".jpg")))
    wanted = picks(len(names), samples)
    scores = {SSIMULACRA: [], BUTTERAUGLI: []}
    with tempfile.TemporaryDirectory() as tmp:
        picture_png, frame_png = os.path.join(tmp, "picture.png"), os.path.join(tmp, "frame.png")
        pending = list(wanted)
        for index, frame in shown_frames(gif, delay):
            if not pending:
                break
            if index != pending[0]:
                continue
            pending.pop(0)
            name = os.path.join(source, names[index])
            with Image.open(name) as picture:
                picture = picture.convert("RGB")
            if picture.size != frame.size:
                sys.exit(f"{gif}: the frame shown for {name} is {frame.size[0]} x {frame.size[1]},"
                         f" the picture {picture.size[0]} x {picture.size[1]}")
            # Both saved as bare 8-bit RGB. Pillow would otherwise carry a GIF's
            # transparent index over as a PNG colour key (and a picture's colour
            # profile), and butteraugli would take every pixel of that colour
            # as see-through: a lossless GIF scored 2.4 on the life set.
            for image, path in ((picture, picture_png), (frame, frame_png)):
                image.info.clear()
                image.save(path)
            for tool, figure in score(picture_png, frame_png).items():
                scores[tool].append(figure)
        if pending:
            sys.exit(f"{gif}: no frame is shown for {os.path.join(source, names[pending[0]])}"
                     f" (at {delay} ms a picture)")

    def mean(values):
        return round(sum(values) / len(values), 5) if values else None

    print(json.dumps({"pictures": len(names), "frames_scored": len(wanted),
                      "ssimulacra_mean": mean(scores[SSIMULACRA]),
                      "ssimulacra_worst": max(scores[SSIMULACRA], default=None),
                      "butteraugli_mean": mean(scores[BUTTERAUGLI]),
                      "butteraugli_worst": max(scores[BUTTERAUGLI], default=None),
                      "bytes": os.path.getsize(gif)}))


main()
