#!/usr/bin/python3
"""Plots the CSV of bench/size.sh: file size against picture quality.

usage: plot_size.py CSV OUT.png

One panel per set: size (MB, log scale) across, mean PSNR up. zoetra's
--optimize quality settings are a line whose points are labelled by quality;
its other settings and the peers' are labelled markers. A mean PSNR of 99
means the frames are exactly the pictures.
"""
import csv
import math
import re
import sys
from collections import defaultdict

try:
    import matplotlib
except ImportError:
    sys.exit("plot_size.py needs matplotlib: apt-get install python3-matplotlib "
             "(scripts/install-deps.sh test)")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)
from matplotlib.ticker import FuncFormatter  # noqa: E402

COLUMNS = 3
# (tool, setting pattern) -> marker, colour, legend label; first match wins.
STYLES = (
    ("zoetra", r"no-optimize", "s", "C1", "zoetra without --optimize"),
    ("zoetra", r"frame-Q\d+", "D", "C2", "zoetra --palette frame --optimize --quality"),
    ("zoetra", r"optimize-old", "+", "C7", "zoetra --optimize (old)"),
    ("ffmpeg", r".*", "^", "C3", "ffmpeg two-pass"),
    ("ffmpeg+gifsicle", r".*", "v", "C4", "ffmpeg + gifsicle -O3"),
    ("gifski", r".*", "o", "C5", "gifski -Q"),
)
QUALITY = re.compile(r"Q(\d+)$")
# Settings below this mean PSNR are left out: no one posts them, and they would
# stretch the size axis over decades.
LEAST_DB = 25


def read_sets(path):
    sets = defaultdict(list)
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            row["bytes"], row["psnr_mean"] = int(row["bytes"]), float(row["psnr_mean"])
            if row["psnr_mean"] >= LEAST_DB:
                sets[row["set"]].append(row)
    if not sets:
        sys.exit(f"{path}: no rows")
    return sets


def style(row):
    for tool, pattern, marker, colour, label in STYLES:
        if row["tool"] == tool and re.fullmatch(pattern, row["setting"]):
            return marker, colour, label
    return None


def draw(axis, name, rows, seen):
    curve = sorted(((int(m.group(1)), r) for r in rows if r["tool"] == "zoetra"
                    for m in [QUALITY.fullmatch(r["setting"])] if m), key=lambda c: -c[0])
    if curve:
        label = "zoetra --optimize --quality"
        axis.plot([r["bytes"] for _, r in curve], [r["psnr_mean"] for _, r in curve], marker=".",
                  color="C0", label=None if label in seen else label)
        seen.add(label)
        for q, r in curve:
            if q % 10 and q not in (95, 99):
                continue  # every point is drawn; only some are named
            axis.annotate(str(q), (r["bytes"], r["psnr_mean"]), fontsize=6, color="C0",
                          xytext=(3, 3), textcoords="offset points")
    for r in rows:
        if QUALITY.fullmatch(r["setting"]) and r["tool"] == "zoetra":
            continue
        found = style(r)
        if not found:
            continue
        marker, colour, label = found
        axis.plot(r["bytes"], r["psnr_mean"], marker=marker, color=colour, linestyle="none",
                  markersize=7, label=None if label in seen else label)
        seen.add(label)
        if r["tool"] == "gifski" or r["setting"].startswith("frame-"):
            axis.annotate(r["setting"].split("Q")[-1], (r["bytes"], r["psnr_mean"]), fontsize=6, color=colour,
                          xytext=(3, -8), textcoords="offset points")
    axis.set_xscale("log")
    # Sizes in MB; minor ticks labelled where a set spans less than a decade.
    megabytes = FuncFormatter(lambda v, _: f"{v / 1e6:g}")
    axis.xaxis.set_major_formatter(megabytes)
    low, high = axis.get_xlim()
    if high / low < 12:
        axis.xaxis.set_minor_formatter(megabytes)
        axis.tick_params(axis="x", which="minor", labelsize=6)
    axis.set_title(name, fontsize=9)
    axis.tick_params(labelsize=7)
    axis.grid(True, which="both", alpha=0.25)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    sets = read_sets(sys.argv[1])
    rows_count = math.ceil((len(sets) + 1) / COLUMNS)  # one cell kept for the legend
    figure, axes = plt.subplots(rows_count, COLUMNS, figsize=(11, 2.9 * rows_count), squeeze=False)
    cells = axes.flatten()
    seen = set()
    for axis, (name, rows) in zip(cells, sets.items()):
        draw(axis, name, rows, seen)
    for i, axis in enumerate(cells):
        if i % COLUMNS == 0:
            axis.set_ylabel("mean PSNR (dB)", fontsize=8)
        if i >= len(sets):
            axis.axis("off")
    for axis in cells[max(0, len(sets) - COLUMNS):len(sets)]:
        axis.set_xlabel("MB (log scale)", fontsize=8)
    handles, labels = cells[0].get_legend_handles_labels()
    for axis in cells[1:len(sets)]:
        h, l = axis.get_legend_handles_labels()
        handles += h
        labels += l
    cells[len(sets)].legend(handles, labels, loc="center", fontsize=8, frameon=False)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)


main()
