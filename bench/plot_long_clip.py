#!/usr/bin/python3
"""Plots the CSV of bench/long_clip.sh: peak memory and wall time against frames.

usage: plot_long_clip.py CSV OUT.png

One line per tool through its successful runs; a run that failed (a refusal
too) is an x at what it measured before stopping, and its tool's legend entry
says at which frame counts.
"""
import csv
import sys
from collections import defaultdict

try:
    import matplotlib
except ImportError:
    sys.exit("plot_long_clip.py needs matplotlib: apt-get install python3-matplotlib "
             "(scripts/install-deps.sh test)")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)

PANELS = (("peak_mib", "peak memory (MiB)"), ("wall_s", "wall time (s)"))


def read_runs(path):
    runs = defaultdict(list)
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            runs[row["tool"]].append(row)
    if not runs:
        sys.exit(f"{path}: no runs")
    for rows in runs.values():
        rows.sort(key=lambda r: int(r["frames"]))
    return runs


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    runs = read_runs(sys.argv[1])
    frames = sorted({int(r["frames"]) for rows in runs.values() for r in rows})
    figure, axes = plt.subplots(1, len(PANELS), figsize=(12, 4.8))
    for axis, (column, label) in zip(axes, PANELS):
        for i, (tool, rows) in enumerate(sorted(runs.items())):
            colour = f"C{i}"
            done = [r for r in rows if r["exit_status"] == "0"]
            failed = [r for r in rows if r["exit_status"] != "0"]
            name = tool
            if failed:
                name += " (failed at " + ", ".join(r["frames"] for r in failed) + ")"
            axis.plot([int(r["frames"]) for r in done], [float(r[column]) for r in done],
                      marker="o", color=colour, label=name)
            axis.plot([int(r["frames"]) for r in failed], [float(r[column]) for r in failed],
                      marker="x", markersize=10, linestyle="none", color=colour)
        axis.set_xlabel("frames (1280 x 720)")
        axis.set_ylabel(label)
        axis.set_xticks(frames)
        axis.set_xlim(left=0)
        axis.set_ylim(bottom=0)
        axis.grid(True, alpha=0.3)
    axes[0].legend()
    axes[0].set_title("Peak memory against clip length")
    axes[1].set_title("Wall time against clip length")
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)


main()
