#!/usr/bin/env bash
# The main job's animation: the twelve sample pictures of examples/ (frame01.png to
# frame12.png, and only those), 350 ms each.
#   scripts/sample-anim.sh ZOETRA OUT.gif
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$1" create -o "$2" --delay 350 "$root"/examples/frame[0-9][0-9].png
