#!/usr/bin/python3
"""Plots the CSV of bench/size.sh: file size against picture quality.

usage: plot_size.py CSV OUT.png

Per set, size (MB, log scale) across and a measure up: mean PSNR in one panel
and, where the CSV has it, mean SSIMULACRA in a panel beside it (log scale,
upside down so that better is up there too; a lossless GIF's 0 has no place
on it and is left out). zoetra's --optimize quality
settings are a line whose points are labelled by quality; its other settings
and the peers' are labelled markers. A mean PSNR of 99 means the frames are
exactly the pictures.
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
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter  # noqa: E402

# (CSV column, axis label, log scale and upside down): what a set's panels plot.
MEASURES = (
    ("psnr_mean", "mean PSNR (dB)", False),
    ("ssimulacra_mean", "mean SSIMULACRA (lower is better)", True),
)
# (tool, setting pattern) -> marker, colour, legend label; first match wins.
STYLES = (
    ("zoetra", r"no-optimize", "s", "C1", "zoetra without --optimize"),
    ("zoetra", r"frame-Q\d+", "D", "C2", "zoetra --palette frame --optimize --quality"),
    ("zoetra", r"optimize-old", "+", "C7", "zoetra --optimize (old)"),
    ("ffmpeg", r"two-pass-default-dither", "<", "C8", "ffmpeg two-pass, its default dithering"),
    ("ffmpeg", r".*", "^", "C3", "ffmpeg two-pass, Floyd-Steinberg"),
    ("ffmpeg+gifsicle", r".*lossy\d+", ">", "C9", "ffmpeg + gifsicle -O3 --lossy"),
    ("ffmpeg+gifsicle", r".*", "v", "C4", "ffmpeg + gifsicle -O3"),
    ("gifski", r".*", "o", "C5", "gifski -Q"),
)
QUALITY = re.compile(r"Q(\d+)$")
# The number a marker is named by: gifski's and --palette frame's quality, gifsicle's --lossy.
LEVEL = re.compile(r"(?:Q|lossy)(\d+)$")
# Settings below this mean PSNR are left out: no one posts them, and they would
# stretch the size axis over decades.
LEAST_DB = 25


def read_sets(path):
    sets = defaultdict(list)
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            row["bytes"], row["psnr_mean"] = int(row["bytes"]), float(row["psnr_mean"])
            # Empty where bench/size.sh did not score the GIF (SAMPLES=0, older CSVs).
            row["ssimulacra_mean"] = float(row["ssimulacra_mean"]) if row.get("ssimulacra_mean") else None
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


def draw(axis, title, rows, key, seen):
    """One panel: bytes across, the CSV column `key` up; rows without it are left out."""
    rows = [r for r in rows if r[key] is not None]
    curve = sorted(((int(m.group(1)), r) for r in rows if r["tool"] == "zoetra"
                    for m in [QUALITY.fullmatch(r["setting"])] if m), key=lambda c: -c[0])
    if curve:
        label = "zoetra --optimize --quality"
        axis.plot([r["bytes"] for _, r in curve], [r[key] for _, r in curve], marker=".",
                  color="C0", label=None if label in seen else label)
        seen.add(label)
        for q, r in curve:
            if q % 10 and q not in (95, 99):
                continue  # every point is drawn; only some are named
            axis.annotate(str(q), (r["bytes"], r[key]), fontsize=6, color="C0",
                          xytext=(3, 3), textcoords="offset points")
    for r in rows:
        if QUALITY.fullmatch(r["setting"]) and r["tool"] == "zoetra":
            continue
        found = style(r)
        if not found:
            continue
        marker, colour, label = found
        axis.plot(r["bytes"], r[key], marker=marker, color=colour, linestyle="none",
                  markersize=7, label=None if label in seen else label)
        seen.add(label)
        named = LEVEL.search(r["setting"])
        if named and (r["tool"] != "zoetra" or r["setting"].startswith("frame-")):
            axis.annotate(named.group(1), (r["bytes"], r[key]), fontsize=6, color=colour,
                          xytext=(3, -8), textcoords="offset points")
    axis.set_xscale("log")
    # Sizes in MB; minor ticks labelled where a set spans less than a decade.
    megabytes = FuncFormatter(lambda v, _: f"{v / 1e6:g}")
    axis.xaxis.set_major_formatter(megabytes)
    low, high = axis.get_xlim()
    if high / low < 12:
        axis.xaxis.set_minor_formatter(megabytes)
        axis.tick_params(axis="x", which="minor", labelsize=6)
    axis.set_title(title, fontsize=9)
    axis.tick_params(labelsize=7)
    axis.grid(True, which="both", alpha=0.25)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    sets = read_sets(sys.argv[1])
    measures = [m for m in MEASURES if any(r[m[0]] is not None for rows in sets.values() for r in rows)]
    # A set's panels side by side, three sets a row with one measure, two with two.
    columns = len(measures) * (3 if len(measures) == 1 else 2)
    panels = [(name, rows, m) for name, rows in sets.items() for m in measures]
    rows_count = math.ceil((len(panels) + 1) / columns)  # one cell kept for the legend
    figure, axes = plt.subplots(rows_count, columns, figsize=(3.7 * columns, 2.9 * rows_count), squeeze=False)
    cells = axes.flatten()
    seen = set()
    for axis, (name, rows, (key, label, upside_down)) in zip(cells, panels):
        draw(axis, name if key == "psnr_mean" else f"{name}: SSIMULACRA", rows, key, seen)
        axis.set_ylabel(label, fontsize=8)
        if upside_down:
            axis.set_yscale("log")
            axis.invert_yaxis()
            axis.yaxis.set_major_locator(LogLocator(subs=(1, 2, 5)))
            axis.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
            axis.yaxis.set_minor_formatter(NullFormatter())
    for axis in cells[len(panels):]:
        axis.axis("off")
    for axis in cells[max(0, len(panels) - columns):len(panels)]:
        axis.set_xlabel("MB (log scale)", fontsize=8)
    handles, labels = [], []
    for axis in cells[:len(panels)]:
        h, l = axis.get_legend_handles_labels()
        handles += h
        labels += l
    cells[len(panels)].legend(handles, labels, loc="center", fontsize=8, frameon=False)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)


main()
