#!/usr/bin/env bash
# Builds the suite with ThreadSanitizer and runs every test; any report fails the run.
# Usage: scripts/tsan.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-tsan}"
shift || true
cmake -S . -B "$BUILD_DIR" -G Ninja -DKELVANE_TSAN=ON -DKELVANE_BUILD_QT=OFF -DKELVANE_BUILD_BENCH=OFF "$@"
cmake --build "$BUILD_DIR"
# halt_on_error ends the test binary at the first report, with a failing exit code.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# The slow label (real time-outs, lossy links, a 33 MiB file) only waits longer under the sanitizer.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -LE slow
