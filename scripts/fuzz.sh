#!/usr/bin/env bash
# Builds and runs the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer).
#
#   scripts/fuzz.sh short            every target for 8 s (the test command runs this)
#   scripts/fuzz.sh long [SECONDS]   every target for SECONDS each (default 600)
#   scripts/fuzz.sh build [DIR]      only configure and build the targets
#
# ZOETRA_FUZZ_TARGETS="gif_reader lzw_decoder" limits a run to some targets;
# ZOETRA_FUZZ_BUILD sets the build directory (default build-fuzz); ZOETRA_FUZZ_JOBS
# runs that many targets side by side in long mode (default 1).
# New inputs that find coverage collect in <build>/corpus/<target>/ (the
# committed seeds in fuzz/corpus/ are only read). A crash stops the run; its
# input is in <build>/artifacts/<target>/. Keep it as a regression test by
# copying it to tests/data/regress/<target>/ and fix the bug.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-short}"
all_targets=(gif_reader lzw_decoder bmp_reader module_resources clipboard picture_loader gif_round_trip exif_orientation clip_source)
read -r -a targets <<< "${ZOETRA_FUZZ_TARGETS:-${all_targets[*]}}"

build_fuzzers() {
  local dir="$1"
  local generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZOETRA_BUILD_FUZZ=ON -DZOETRA_BUILD_TESTS=OFF -DZOETRA_BUILD_BENCH=OFF -DZOETRA_BUILD_CLI=OFF >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target zoetra_fuzzers zoetra_corpus_gen
}

run_target() {
  local dir="$1" name="$2" seconds="$3"
  local work="$dir/corpus/$name" artifacts="$dir/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  echo "-- $name: ${seconds} s"
  # The allocation cap catches any single allocation the limits let through.
  "$dir/fuzz/${name}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=256 \
    -timeout=20 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$root/fuzz/corpus/$name" > "$dir/$name.log" 2>&1 || {
      tail -n 60 "$dir/$name.log"
      echo "fuzz target $name failed; the input is in $artifacts/" >&2
      return 1
    }
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$dir/$name.log" | tr '\n' ' '
  echo
}

dir="${ZOETRA_FUZZ_BUILD:-$root/build-fuzz}"
case "$mode" in
  build)
    build_fuzzers "${2:-$dir}"
    ;;
  short|long)
    seconds=8
    [ "$mode" = long ] && seconds="${2:-600}"
    build_fuzzers "$dir"
    jobs=1
    [ "$mode" = long ] && jobs="${ZOETRA_FUZZ_JOBS:-1}"
    failed=0
    running=0
    for name in "${targets[@]}"; do
      if [ "$jobs" -gt 1 ]; then
        run_target "$dir" "$name" "$seconds" &
        running=$((running + 1))
        if [ "$running" -ge "$jobs" ]; then wait -n || failed=1; running=$((running - 1)); fi
      else
        run_target "$dir" "$name" "$seconds" || failed=1
      fi
    done
    while [ "$running" -gt 0 ]; do wait -n || failed=1; running=$((running - 1)); done
    exit "$failed"
    ;;
  *)
    echo "usage: $0 short | long [SECONDS] | build [DIR]" >&2
    exit 2
    ;;
esac
