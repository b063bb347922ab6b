#!/usr/bin/env bash
# The test command: installs what the build and the tests need, builds, and runs the whole
# suite three times: a normal build, one with AddressSanitizer and
# UndefinedBehaviorSanitizer (built with the portable code instead of the SSE2
# paths, so both are tested), and one with ThreadSanitizer; then a short run
# of every fuzz target. The browser build (scripts/build-web.sh) is made
# first, and the web tests load it in headless Chromium each time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh test
jobs="$(nproc)"

echo "== browser build (WebAssembly) =="
bash scripts/build-web.sh
# The web tests fail, not skip, should the browser build go missing.
export ZOETRA_WEB_REQUIRED=1

echo "== build and test (release with debug info) =="
bash scripts/build.sh build -DZOETRA_BUILD_TESTS=ON -DZOETRA_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer, portable code) =="
bash scripts/build.sh build-asan -DZOETRA_SANITIZE=ON -DZOETRA_NO_SIMD=ON -DZOETRA_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== build and test (ThreadSanitizer) =="
bash scripts/build.sh build-tsan -DZOETRA_TSAN=ON -DZOETRA_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan_suppressions.txt" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs"

echo "== fuzz targets (short run) =="
bash scripts/fuzz.sh short
echo "All tests passed."
