#!/usr/bin/env bash
# The main job: installs what the build needs (not the test tools), builds the zoetra command
# (Release) and makes out/anim.gif from the twelve sample pictures in examples/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh build
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DZOETRA_BUILD_TESTS=OFF -DZOETRA_BUILD_BENCH=OFF
if [ ! -x build/cli/zoetra ]; then
  echo "run.sh: build/cli/zoetra was not built; see the build output above" >&2
  exit 1
fi
mkdir -p out
bash scripts/sample-anim.sh build/cli/zoetra out/anim.gif
