#!/usr/bin/env bash
# File size against picture quality: zoetra's quality settings against
# ffmpeg's two passes (Floyd-Steinberg and paletteuse's own dithering; the
# first also through gifsicle -O3, plain and --lossy) and gifski, on the
# sample sets of bench/sets.sh, all at the sets' delay of 350 ms.
#
#   bench/size.sh                              # every set, timed too
#   SETS="life slideshow" SPEED=0 bench/size.sh
#   QUALITIES="100 60 30" bench/size.sh
#
# Prints, and writes $DATA/size/results.csv: set, tool, setting, bytes,
# psnr_mean, psnr_worst (bench/gif_quality.py: frames as a viewer composes
# them, merged frames expanded by their delay), ssimulacra_mean,
# butteraugli_mean (bench/gif_perceptual.py: the same frames, SAMPLES of them
# spread evenly, scored by libjxl-devtools; lower is better). Then a goal
# table: for each peer setting, the smallest zoetra setting at least as sharp
# (mean PSNR) and its bytes over the peer's, "met" at 0.85 or less. Then the
# perceptual table: zoetra's default settings and each peer's, with the
# smallest zoetra setting no worse by both perceptual measures. Then, unless
# SPEED=0, the median wall time of REPS paired runs of zoetra --palette all
# --optimize and ffmpeg's two passes, taking turns.
#
# The peers' GIFs and their scores are kept in $DATA/size and made again only
# when missing or with FORCE=1: they do not change while zoetra does. So is
# "optimize-old", zoetra's --optimize made once by ZOETRA_OLD (default ZOETRA)
# as the baseline that later --optimize work is weighed against.
#
# Environment: SETS, QUALITIES, FRAME_QUALITIES (--palette frame), SPEED (default 1), FORCE, ZOETRA_OLD,
# SAMPLES (pictures scored perceptually per GIF, default 8; 0 leaves those
# columns empty), and those of bench/sets.sh (REPS, DATA, ZOETRA, GIFSKI).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SETS=${SETS:-testsrc2 mandelbrot life photoseq slideshow hd1080 pan1080}
QUALITIES=${QUALITIES:-100 99 98 97 96 95 94 93 92 91 90 89 88 87 86 85 84 83 82 81 80 78 76 74 72 70 67 65 62 60 57 55 52 50 45 40 35 30 20 10}
FRAME_QUALITIES=${FRAME_QUALITIES:-100 95 90 85 80 70 60 50}
SPEED=${SPEED:-1}
FORCE=${FORCE:-0}
SAMPLES=${SAMPLES:-8}
GIFSKI_QUALITIES="90 70 50"
LOSSY_LEVELS="40 80"  # gifsicle --lossy
# shellcheck source=bench/sets.sh
source "$ROOT/bench/sets.sh"
apt_need gifsicle
[ "$SAMPLES" = 0 ] || apt_need libjxl-devtools
ZOETRA_OLD=${ZOETRA_OLD:-$ZOETRA}

SIZE=$DATA/size
RUN=$SIZE/zoetra  # this run's zoetra GIFs
CSV=$SIZE/results.csv
mkdir -p "$SIZE" "$RUN"

zoetra() {  # zoetra BINARY DIR OUT ARGS...
  local bin=$1 dir=$2 out=$3
  shift 3
  "$bin" create -q -o "$out" --delay $DELAY_MS "$@" "$dir"/f*.png
}

# gifski keeps every picture at --fps; a frame equal to the one before is
# merged into it with a longer delay, which the PSNR tool expands again.
gifski() {  # gifski DIR OUT QUALITY
  local size
  size=$($PY -c 'import sys; from PIL import Image; print("%d %d" % Image.open(sys.argv[1]).size)' "$1/f001.png")
  "$GIFSKI" --quiet --no-sort --fps "$(awk -v d=$DELAY_MS 'BEGIN { printf "%.6f", 1000 / d }')" \
    -Q "$3" -W "${size% *}" -H "${size#* }" -o "$2" "$1"/f*.png
}

# ffmpeg_gifsicle DIR OUT GIFSICLE_ARGS...: ffmpeg's GIF (Floyd-Steinberg)
# through gifsicle.
ffmpeg_gifsicle() {
  local two
  two=$SIZE/$(basename "$1")-ffmpeg.gif
  [ -s "$two" ] || ffmpeg_two_pass "$1" "$two"
  gifsicle "${@:3}" "$two" -o "$2"
}

# kept GIF SUFFIX SCRIPT ARGS...: the scores SCRIPT prints for GIF, kept as
# GIF.SUFFIX and made again only when the GIF or SCRIPT is newer.
kept() {
  local gif=$1 out=$1.$2 script=$3
  shift 3
  if [ ! -s "$out" ] || [ "$gif" -nt "$out" ] || [ "$script" -nt "$out" ]; then
    $PY "$script" "$gif" "$@" >"$out.tmp" && mv "$out.tmp" "$out"
  fi
}

# measure SET TOOL SETTING GIF: one CSV line from the scores kept beside the GIF.
measure() {
  local set=$1 tool=$2 setting=$3 gif=$4 seen=""
  kept "$gif" psnr "$ROOT/bench/gif_quality.py" "$DATA/$set" $DELAY_MS
  if [ "$SAMPLES" != 0 ]; then
    seen=$gif.perceptual$SAMPLES  # another SAMPLES, another file
    kept "$gif" "perceptual$SAMPLES" "$ROOT/bench/gif_perceptual.py" "$DATA/$set" $DELAY_MS "$SAMPLES"
  fi
  $PY - "$gif.psnr" "$seen" "$set" "$tool" "$setting" <<'PY'
import json, sys
q = json.load(open(sys.argv[1]))
if q["frames_shown"] != q["pictures"]:
    sys.exit(f"{sys.argv[1]}: {q['frames_shown']} frames shown for {q['pictures']} pictures")
seen = json.load(open(sys.argv[2])) if sys.argv[2] else {}
print(",".join(sys.argv[3:6] + [str(q["bytes"]), str(q["psnr_mean"]), str(q["psnr_worst"]),
                                str(seen.get("ssimulacra_mean", "")), str(seen.get("butteraugli_mean", ""))]))
PY
}

# cached SET TOOL SETTING GIF CMD...: makes GIF by CMD when missing or FORCE=1.
cached() {
  local set=$1 tool=$2 setting=$3 gif=$4
  shift 4
  if [ "$FORCE" = 1 ] || [ ! -s "$gif" ]; then
    say "$set: $tool $setting ..."
    rm -f "$gif"
    "$@" || { say "$set: $tool $setting failed"; exit 1; }
  fi
  measure "$set" "$tool" "$setting" "$gif"
}

echo "set,tool,setting,bytes,psnr_mean,psnr_worst,ssimulacra_mean,butteraugli_mean" >"$CSV.tmp"
for set in $SETS; do
  make_set "$set"
  dir=$DATA/$set
  {
    cached "$set" ffmpeg two-pass "$SIZE/$set-ffmpeg.gif" ffmpeg_two_pass "$dir" "$SIZE/$set-ffmpeg.gif"
    cached "$set" ffmpeg two-pass-default-dither "$SIZE/$set-ffmpeg-default.gif" \
      ffmpeg_two_pass "$dir" "$SIZE/$set-ffmpeg-default.gif" default
    cached "$set" ffmpeg+gifsicle two-pass-O3 "$SIZE/$set-ffmpeg-O3.gif" \
      ffmpeg_gifsicle "$dir" "$SIZE/$set-ffmpeg-O3.gif" -O3
    for lossy in $LOSSY_LEVELS; do
      cached "$set" ffmpeg+gifsicle "two-pass-O3-lossy$lossy" "$SIZE/$set-ffmpeg-O3-lossy$lossy.gif" \
        ffmpeg_gifsicle "$dir" "$SIZE/$set-ffmpeg-O3-lossy$lossy.gif" -O3 "--lossy=$lossy"
    done
    for q in $GIFSKI_QUALITIES; do
      cached "$set" gifski "Q$q" "$SIZE/$set-gifski-Q$q.gif" gifski "$dir" "$SIZE/$set-gifski-Q$q.gif" "$q"
    done
    cached "$set" zoetra optimize-old "$SIZE/$set-zoetra-optimize-old.gif" \
      zoetra "$ZOETRA_OLD" "$dir" "$SIZE/$set-zoetra-optimize-old.gif" --palette all --optimize
    say "$set: zoetra ..."
    for q in $QUALITIES; do
      zoetra "$ZOETRA" "$dir" "$RUN/$set-Q$q.gif" --palette all --optimize --quality "$q"
      measure "$set" zoetra "Q$q" "$RUN/$set-Q$q.gif"
    done
    zoetra "$ZOETRA" "$dir" "$RUN/$set-plain.gif" --palette all --quality 100
    measure "$set" zoetra no-optimize "$RUN/$set-plain.gif"
    for q in $FRAME_QUALITIES; do
      zoetra "$ZOETRA" "$dir" "$RUN/$set-frame-Q$q.gif" --palette frame --optimize --quality "$q"
      measure "$set" zoetra "frame-Q$q" "$RUN/$set-frame-Q$q.gif"
    done
  } | tee -a "$CSV.tmp"
done
mv "$CSV.tmp" "$CSV"
echo

# The tables, from the CSV: the goal table, the --optimize row and, when the
# GIFs were scored, the perceptual table.
$PY - "$CSV" "$SAMPLES" <<'PY'
import csv, sys
from collections import defaultdict

GOAL = 0.85
OURS = {"no-optimize": "zoetra default", "Q100": "zoetra --optimize",
        "frame-Q100": "zoetra --palette frame --optimize"}
samples = int(sys.argv[2])
rows = defaultdict(list)
for r in csv.DictReader(open(sys.argv[1])):
    r["bytes"], r["psnr_mean"] = int(r["bytes"]), float(r["psnr_mean"])
    if samples:
        r["ssim"], r["butter"] = float(r["ssimulacra_mean"]), float(r["butteraugli_mean"])
    rows[r["set"]].append(r)


def ours(rs):
    return [r for r in rs if r["tool"] == "zoetra" and r["setting"] != "optimize-old"]


print("| set | peer | peer bytes | peer dB | zoetra | zoetra bytes | zoetra dB | ratio | goal |")
print("|---|---|---:|---:|---|---:|---:|---:|---|")
for s, rs in rows.items():
    for p in (r for r in rs if r["tool"] != "zoetra"):
        sharp = [r for r in ours(rs) if r["psnr_mean"] >= p["psnr_mean"]]
        head = f"| {s} | {p['tool']} {p['setting']} | {p['bytes']} | {p['psnr_mean']:.2f} |"
        if not sharp:
            print(head + " none as sharp | | | | MISS |")
            continue
        best = min(sharp, key=lambda r: r["bytes"])
        ratio = best["bytes"] / p["bytes"]
        print(head + f" {best['setting']} | {best['bytes']} | {best['psnr_mean']:.2f} | {ratio:.3f} |"
              f" {'met' if ratio <= GOAL else 'MISS'} |")
print()
print("| set | Q100 --optimize bytes | without --optimize | ratio | old --optimize | ratio |")
print("|---|---:|---:|---:|---:|---:|")
for s, rs in rows.items():
    by = {r["setting"]: r["bytes"] for r in rs if r["tool"] == "zoetra"}
    if not {"Q100", "no-optimize", "optimize-old"} <= by.keys():
        continue
    q = by["Q100"]
    print(f"| {s} | {q} | {by['no-optimize']} | {q / by['no-optimize']:.3f} |"
          f" {by['optimize-old']} | {q / by['optimize-old']:.3f} |")
print()
print(f"ratio = zoetra's bytes over the other's; goal: {GOAL} or less at no lower mean PSNR.")
if not samples:
    sys.exit()

# What each GIF looks like, and for each peer the smallest zoetra setting no
# worse by both perceptual measures.
print()
print("| set | GIF | bytes | PSNR dB | SSIMULACRA | butteraugli | smallest zoetra no worse | its bytes | ratio |")
print("|---|---|---:|---:|---:|---:|---|---:|---:|")
for s, rs in rows.items():
    mine = {r["setting"]: r for r in ours(rs)}
    for r in [mine[k] for k in OURS if k in mine] + [r for r in rs if r["tool"] != "zoetra"]:
        name = OURS[r["setting"]] if r["tool"] == "zoetra" else f"{r['tool']} {r['setting']}"
        line = (f"| {s} | {name} | {r['bytes']} | {r['psnr_mean']:.2f} | {r['ssim']:.4f} |"
                f" {r['butter']:.3f} |")
        if r["tool"] == "zoetra":
            print(line + " | | |")
            continue
        good = [z for z in mine.values() if z["ssim"] <= r["ssim"] and z["butter"] <= r["butter"]]
        if not good:
            print(line + " none | | |")
            continue
        best = min(good, key=lambda z: z["bytes"])
        print(line + f" {best['setting']} | {best['bytes']} | {best['bytes'] / r['bytes']:.3f} |")
print()
print(f"SSIMULACRA and butteraugli (3-norm): means over {samples} pictures of each set spread evenly,"
      " lower is better; ratio = zoetra's bytes over the peer's.")
PY

[ "$SPEED" = 0 ] && exit 0

seconds() {  # seconds CMD...: wall seconds of one run
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || { say "failed: $*"; return 1; }
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'
}

echo
printf '| set | zoetra --optimize s | ffmpeg two-pass s | ratio |\n|---|---:|---:|---:|\n'
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for set in $SETS; do
  dir=$DATA/$set
  ours=() theirs=()
  for ((i = 0; i < REPS; i++)); do
    ours+=("$(seconds zoetra "$ZOETRA" "$dir" "$WORK/z.gif" --palette all --optimize --quality 100)")
    theirs+=("$(seconds ffmpeg_two_pass "$dir" "$WORK/f.gif")")
  done
  z=$(printf '%s\n' "${ours[@]}" | median)
  f=$(printf '%s\n' "${theirs[@]}" | median)
  awk -v s="$set" -v z="$z" -v f="$f" 'BEGIN { printf "| %s | %.2f | %.2f | %.3f |\n", s, z, f, z / f }'
done
echo
echo "$(nproc) CPUs; median of $REPS paired runs; ratio = zoetra's wall time over ffmpeg's."
