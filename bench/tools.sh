# Shared by the comparison scripts in bench/: the programs they run, installed
# when missing (ffmpeg, npm and GNU time from Debian, gifski from npm) and a
# Release build of zoetra.
# Environment: ZOETRA (a binary; otherwise a Release build in $BUILD_DIR,
# default build-release), GIFSKI (a gifski binary; otherwise the npm package
# gifski is installed into $NPM_DIR, default build-bench/npm).
# Sourced with ROOT set to the repository; sets ZOETRA, GIFSKI and PY.

BUILD_DIR=${BUILD_DIR:-$ROOT/build-release}
NPM_DIR=${NPM_DIR:-$ROOT/build-bench/npm}
PY=/usr/bin/python3
say() { printf '%s\n' "$*" >&2; }

# apt_need PKG...: installs those of the Debian packages that are not installed.
apt_need() {
  local p need=() sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  say "installing ${need[*]} ..."
  $sudo apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

tools_need=()
command -v ffmpeg >/dev/null || tools_need+=(ffmpeg)
command -v npm >/dev/null || tools_need+=(npm)
[ -x /usr/bin/time ] || tools_need+=(time)
apt_need "${tools_need[@]}"

if [ -z "${GIFSKI:-}" ]; then
  GIFSKI=$NPM_DIR/node_modules/gifski/bin/debian/gifski
  if [ ! -x "$GIFSKI" ]; then
    say "installing gifski (npm) ..."
    mkdir -p "$NPM_DIR"
    (cd "$NPM_DIR" && npm install --silent gifski >/dev/null)
  fi
fi
if [ -z "${ZOETRA:-}" ]; then
  say "building zoetra (Release) ..."
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZOETRA_BUILD_TESTS=OFF -DZOETRA_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD_DIR" --target zoetra_cli -j "$(nproc)" >/dev/null
  ZOETRA=$BUILD_DIR/cli/zoetra
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
